// Progress lines of verbose training, written straight to file descriptor 1.
#pragma once

#include <string>

#include "runtime/cancellation.h"

namespace plovek {

// `value` in fixed notation with `decimals` digits after the point ("0.734512").
std::string format_fixed(float value, int decimals);

// Writes `line` (which ends in '\n') to file descriptor 1 in full, bypassing any
// buffering, so the line is out as soon as its newline is written. A write that a
// signal interrupts asks `cancellation` (when given) before it is retried: a reader
// that stopped reading must not keep a cancelled training waiting. Throws Cancelled
// when the check answers yes.
void write_progress_line(const std::string& line, CancellationPoints* cancellation);

}  // namespace plovek
