#include "runtime/progress.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace plovek {

std::string format_fixed(float value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // f32 -> double is exact, so this rounds the f32 value itself.
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, static_cast<double>(value));
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, length);
  std::string large(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(large.data(), large.size(), "%.*f", decimals, static_cast<double>(value));
  large.resize(static_cast<std::size_t>(length));
  return large;
}

void write_progress_line(const std::string& line, CancellationPoints* cancellation) {
  const char* next = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, next, left);
    if (written < 0) {
      if (errno != EINTR) return;  // progress output is best effort: a closed stdout must not fail training
      if (cancellation != nullptr) cancellation->check_now();
      continue;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace plovek
