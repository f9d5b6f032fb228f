// Handing text to the program's fixed-size buffers.
#pragma once

#include <QByteArray>

#include <cstddef>

namespace runtime::ui {

// Copies at most size - 1 bytes of `text` into `buffer` and terminates it,
// never cutting a UTF-8 sequence in two. True when the whole text fitted;
// false when it had to be cut (a cut text could mean something else, such as
// another file's path) or the buffer is null or empty.
bool CopyBounded(const QByteArray& text, char* buffer, std::size_t size);

}  // namespace runtime::ui
