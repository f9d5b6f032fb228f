#include "hex_stream.h"

#include <stdio.h>  // fmemopen

#include "panel_handles.h"
#include "run_observers.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

// The percentage on the progress slide while a file streams; none before.
constexpr int kNoPercentShown = -1;
int shown_percent = kNoPercentShown;

}  // namespace

bool open_hex_file() {
    close_hex_file();
    if (!firmware.image.empty())
        firmware.fileprg = ::fmemopen(firmware.image.data(), firmware.image.size(), "rb");
    if (firmware.fileprg == nullptr) {
        DisplayPanel(file_handle);
        return false;
    }
    return true;
}

void close_hex_file() {
    if (firmware.fileprg != nullptr) {
        std::fclose(firmware.fileprg);
        firmware.fileprg = nullptr;
    }
}

void measure_hex_file() { firmware.f_lg = static_cast<std::int64_t>(firmware.image.size()); }

bool read_piece() {
    firmware.lg = 0;
    if (firmware.fileprg == nullptr ||
        std::fgets(firmware.wrtBuf, kPieceReadSize, firmware.fileprg) == nullptr)
        return false;
    firmware.lg = StringLength(firmware.wrtBuf);
    return true;
}

void compute_progress() {
    // An empty file has nothing to send: its end is 100 %, not a division by zero.
    const std::int64_t percent = firmware.f_lg > 0 ? firmware.ii * 100 / firmware.f_lg : 100;
    firmware.k = static_cast<int>(percent > 100 ? 100 : percent);
}

void show_progress() {
    // A repaint costs more than a record takes to send; the slide changes
    // only with the percentage, some hundred records apart in a large file.
    if (firmware.k != shown_percent) {
        SetCtrlVal(update_handle, ids::UPDATE_NUMERICSLIDE, firmware.k);
        shown_percent = firmware.k;
        notify_progress(firmware.k);
    }
    firmware.ii += firmware.lg;
    // Drawing events on every piece, even with nothing to repaint, is what
    // tells event processing that this loop works between its calls rather
    // than waits: without it a bus that sends without awaiting a reply would
    // be put to sleep on every piece.
    ProcessDrawEvents();
    ProcessSystemEvents();
}

bool stream_hex_file(const std::function<bool(Piece)>& send_piece,
                     const std::function<bool(int percent)>& before_showing) {
    firmware.ii = 0;
    shown_percent = kNoPercentShown;
    for (;;) {
        const bool have_piece = read_piece();
        if (have_piece && !send_piece(Piece{firmware.wrtBuf, firmware.lg})) {
            ProcessDrawEvents();
            ProcessSystemEvents();
            return false;
        }
        compute_progress();
        if (before_showing && !before_showing(firmware.k)) return false;
        show_progress();
        // The stream ends only at the end of the bytes that were checked.
        if (!have_piece)
            return firmware.fileprg != nullptr && std::ferror(firmware.fileprg) == 0 &&
                   firmware.ii == firmware.f_lg;
    }
}

bool piece_is_record(Piece piece) { return piece.length > 0 && piece.data[0] == ':'; }

bool piece_is_code_test(Piece piece) {
    return piece.length > 0 && (piece.data[0] == 'T' || piece.data[0] == 't');
}

}  // namespace orvex
