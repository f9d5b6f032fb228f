// The two panels of the program, loaded once at start-up and used by every
// callback for the whole run of the process.
#pragma once

namespace orvex {

inline int update_handle = 0;  // the main panel
inline int file_handle = 0;    // the file-error panel

}  // namespace orvex
