// A hint inside a spin loop that the thread is waiting (frees the core's resources).
#pragma once

namespace plovek {

inline void relax_cpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace plovek
