// The cause of the latest failed serial or TCP operation, kept for the
// window's detail line (read with GetFailureDetail).
#pragma once

#include <QString>

namespace runtime::detail {

void SetFailureDetail(const QString& text);

}  // namespace runtime::detail
