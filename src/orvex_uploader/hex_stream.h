// The HEX file of a run: read whole and checked at START, opened from those
// bytes after the unit is unlocked, read in pieces and streamed to the unit
// while the progress slide shows how much was sent. A file that changes on
// disk during a run changes nothing the unit receives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "bus.h"
#include "run_state.h"

namespace orvex {

// A piece is one line with its line end, or at most 63 bytes of a longer one
// (a 64-byte read leaves room for the terminator).
inline constexpr int kPieceReadSize = 64;

struct HexStream {
    char filename[kPathSize] = {};
    std::vector<char> image;       // the file's bytes as START read and checked them
    bool image_read = false;       // `image` holds the whole file
    std::FILE* fileprg = nullptr;  // the open file: a stream over `image`
    // Sizes and offsets are 64-bit so that the percentage never overflows,
    // whatever the size of the file.
    std::int64_t f_lg = 0;           // the file's size
    std::int64_t ii = 0;             // bytes sent before the current piece
    int lg = 0;                      // length of the current piece
    int k = 0;                       // the percentage shown
    char wrtBuf[kCommandSize] = {};  // the current piece
};
inline HexStream firmware;

// Opens the file's checked bytes for reading; on failure shows the
// file-error panel and returns false.
bool open_hex_file();
void close_hex_file();
// firmware.f_lg = size of the file.
void measure_hex_file();
// Reads the next piece into wrtBuf and sets lg; false at the end of the file.
bool read_piece();
// k = percentage of the file sent before the current piece.
void compute_progress();
// Shows k, counts the current piece as sent, repaints and processes events.
void show_progress();

// Streams the open file from its start: each piece goes to `send_piece`, and
// after it the progress is computed, offered to `before_showing` and shown.
// True only when every byte of the file went to `send_piece` and the last
// pass (which only shows the figure) was made; false as soon as
// `send_piece` or `before_showing` returned false.
bool stream_hex_file(const std::function<bool(Piece)>& send_piece,
                     const std::function<bool(int percent)>& before_showing = {});

// True for a HEX record (':'), and for a code test line ('T' or 't').
bool piece_is_record(Piece piece);
bool piece_is_code_test(Piece piece);

}  // namespace orvex
