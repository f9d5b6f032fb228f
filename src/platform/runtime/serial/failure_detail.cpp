#include "failure_detail.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>

#include "runtime.h"

namespace runtime {
namespace {

// Every port and connection is used from the one user-interface thread.
QByteArray g_detail;

}  // namespace

namespace detail {

void SetFailureDetail(const QString& text) { g_detail = text.toUtf8(); }

}  // namespace detail

int GetFailureDetailText(char* text, std::size_t size) {
    if (text == nullptr || size == 0) return kErrBufferTooSmall;
    const std::size_t length = std::min(size - 1, std::size_t(g_detail.size()));
    std::memcpy(text, g_detail.constData(), length);
    text[length] = '\0';
    return int(length);
}

void ClearFailureDetail() { g_detail.clear(); }

}  // namespace runtime
