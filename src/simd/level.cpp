// CPU feature detection (cpuid plus the OS's register-state check via xgetbv) and the
// dispatch level, read once.
#include <atomic>
#include <cstdint>

#include "simd/level.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace plovek::kernels {

namespace {

#if defined(__x86_64__) || defined(__i386__)
std::uint64_t read_xcr0() {
  std::uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

SimdLevel detect() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return SimdLevel::Scalar;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool fma = (ecx & (1u << 12)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx || !fma) return SimdLevel::Scalar;
  const std::uint64_t xcr0 = read_xcr0();
  const bool os_saves_ymm = (xcr0 & 0x6) == 0x6;
  const bool os_saves_zmm = (xcr0 & 0xE6) == 0xE6;
  if (!os_saves_ymm) return SimdLevel::Scalar;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return SimdLevel::Scalar;
  const bool avx2 = (ebx & (1u << 5)) != 0;
  const bool avx512f = (ebx & (1u << 16)) != 0;
  const bool avx512dq = (ebx & (1u << 17)) != 0;
  const bool avx512bw = (ebx & (1u << 30)) != 0;
  const bool avx512vl = (ebx & (1u << 31)) != 0;
  if (avx512f && avx512dq && avx512bw && avx512vl && os_saves_zmm) return SimdLevel::Avx512;
  if (avx2) return SimdLevel::Avx2;
  return SimdLevel::Scalar;
}

// AMD's family 19h (Zen 3 and Zen 4; of them only Zen 4 has AVX-512) splits 512-bit
// operations; Intel's AVX-512 cores and AMD's Zen 5 run them whole.
bool detect_split_512_bit() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return false;
  const bool amd = ebx == 0x68747541u && edx == 0x69746e65u && ecx == 0x444d4163u;  // "AuthenticAMD"
  if (!amd || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const unsigned base_family = (eax >> 8) & 0xF, extended_family = (eax >> 20) & 0xFF;
  return base_family + (base_family == 0xF ? extended_family : 0) == 0x19;
}
#else
SimdLevel detect() { return SimdLevel::Scalar; }
bool detect_split_512_bit() { return false; }
#endif

}  // namespace

std::atomic<int> active_level_value{-1};

SimdLevel settle_active_level() {
  int expected = -1;
  active_level_value.compare_exchange_strong(expected, static_cast<int>(detected_simd_level()),
                                             std::memory_order_relaxed);
  return static_cast<SimdLevel>(active_level_value.load(std::memory_order_relaxed));
}

SimdLevel detected_simd_level() {
  static const SimdLevel level = detect();
  return level;
}

bool splits_512_bit_operations() {
  static const bool splits = detect_split_512_bit();
  return splits;
}

SimdLevel force_simd_level_for_testing(SimdLevel level) {
  if (static_cast<int>(level) > static_cast<int>(detected_simd_level())) level = detected_simd_level();
  active_level_value.store(static_cast<int>(level), std::memory_order_relaxed);
  return level;
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx512: return "avx512";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Scalar: return "scalar";
  }
  return "unknown";
}

}  // namespace plovek::kernels
