// Bounded text copies.
#include "text_copy.h"

#include <cstring>

namespace runtime::ui {

bool CopyBounded(const QByteArray& text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    std::size_t length = static_cast<std::size_t>(text.size());
    const bool whole = length <= size - 1;
    if (!whole) {
        length = size - 1;
        // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer, text.constData(), length);
    buffer[length] = '\0';
    return whole;
}

}  // namespace runtime::ui
