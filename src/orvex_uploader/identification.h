// Splitting the unit's identification reply and deciding whether it may be updated.
#pragma once

#include <cstddef>

namespace orvex {

inline constexpr std::size_t kFieldSize = 40;      // one identity field
inline constexpr std::size_t kUnitModelSize = 80;  // Unit, a space, Model

// The unit as it identified itself, and its revision before and after the update.
struct UnitIdentity {
    char Make[kFieldSize] = {};
    char Unit[kFieldSize] = {};  // the model family code
    char Model[kFieldSize] = {};
    char CalDate[kFieldSize] = {};
    char SerialNo[kFieldSize] = {};
    char Rev[kFieldSize] = {};
    char UnitModel[kUnitModelSize] = {};  // what the Model field shows
    char Oldrev[kFieldSize] = {};
    char Newrev[kFieldSize] = {};
};
inline UnitIdentity identity;

// Despite its name, valid_models lists the family codes this program must NOT
// update; valid_revisions the lowest revision it updates otherwise.
inline constexpr std::size_t kValidEntries = 1;
inline constexpr char valid_models[kValidEntries][kFieldSize] = {"ZR"};
inline constexpr char valid_revisions[kValidEntries][kFieldSize] = {"8.00"};

// Fills the identity's Make, Unit, Model, CalDate, SerialNo and Rev from
// `reply` and sets run.ok_to_use. Joins the " LAN" and " ROD" model suffixes in place, so `reply`
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
