// Progress lines of verbose training, written straight to file descriptor 1.
#pragma once

#include <string>

namespace plovek {

// `value` in fixed notation with `decimals` digits after the point ("0.734512").
std::string format_fixed(float value, int decimals);

// Writes `line` (which ends in '\n') to file descriptor 1 in full, bypassing any
// buffering, so the line is out as soon as its newline is written.
void write_progress_line(const std::string& line);

}  // namespace plovek
