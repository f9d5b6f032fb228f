// Splitting the unit's identification reply and deciding whether it may be updated.
#pragma once

#include <cstddef>

#include "state.h"

namespace orvex {

inline constexpr std::size_t kValidEntries = 1;
inline constexpr char valid_models[kValidEntries][kFieldSize] = {"ZR"};
inline constexpr char valid_revisions[kValidEntries][kFieldSize] = {"8.00"};

// Fills Make, Unit, Model, CalDate, SerialNo and Rev from `reply` and sets
// ok_to_use. Joins the " LAN" and " ROD" model suffixes in place, so `reply`
// is modified. Reads no further than `capacity` bytes even without a
// terminator; fields longer than 39 characters are cut.
void extract_info(char* reply, std::size_t capacity);
template <std::size_t N>
void extract_info(char (&reply)[N]) {
    extract_info(reply, N);
}

// The number a revision text stands for: read from its second character on,
// in the C locale; 0 when there is none.
double revision_number(const char* revision);

}  // namespace orvex
