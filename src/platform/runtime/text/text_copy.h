// Handing text to the program's fixed-size buffers.
#pragma once

#include <QByteArray>

#include <cstddef>

namespace runtime::ui {

// Copies at most size - 1 bytes of `text` into `buffer` and terminates it,
// never cutting a UTF-8 sequence in two. False for a null or empty buffer.
bool CopyBounded(const QByteArray& text, char* buffer, std::size_t size);

}  // namespace runtime::ui
