// A driver that fails from its very first call, as the Linux GPIB library does
// with no configuration file (EARG) or no device file it may open (EDVR, with
// the errno of that open as the count). While ORVEX_GPIB_FIRST_CALL_FAILS is
// set, the first call after the library is loaded fails so, and so does the
// first after a board was taken offline with ibonl(board, 0), which is where
// a real driver opens the board's device file again. ibonl itself never fails so.
#pragma once

#include <optional>

namespace standin {

// The status word of this call's failure (already reported) when it is the
// one to fail; nothing otherwise.
std::optional<int> FailAsFirstCall();
// A board went offline: its next call is a first call again.
void RearmFirstCallFault();

}  // namespace standin
