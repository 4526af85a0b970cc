// Compiles a body once per SIMD level, Highway-style: the file that includes this one
// first defines PLOVEK_SIMD_BODY as the body's path (or leaves it undefined to reach
// the levels' `Kernels` alone), and the body is then included in
// namespace plovek::scalar, and on x86-64 in plovek::avx2 and plovek::avx512 under
// that level's target pragma, each time after the level's `Kernels` (and, for the
// vector levels, its traits `V`). PLOVEK_AT_LEVEL (level.h) picks a level's
// definition at run time.
//
// The target is set by pragma after the standard headers, not by per-file compiler
// flags: inline functions of shared headers (the standard library's) must not be
// compiled for AVX-512 in one object file and then picked by the linker for all.
// No include guard: each translation unit includes it once.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "simd/centroid_panels.h"
#include "simd/kernels.h"

namespace plovek::scalar {
#include "simd/scalar_kernels.h"
#ifdef PLOVEK_SIMD_BODY
#include PLOVEK_SIMD_BODY
#endif
}  // namespace plovek::scalar

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace plovek::avx2 {
#include "simd/vector_avx2.h"
#include "simd/vector_kernels.h"
#ifdef PLOVEK_SIMD_BODY
#include PLOVEK_SIMD_BODY
#endif
}  // namespace plovek::avx2
#pragma GCC pop_options

// GCC 12's AVX-512 headers initialise their "undefined" vectors from themselves and
// then warn about them where the intrinsics are inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma")
namespace plovek::avx512 {
#include "simd/vector_avx512.h"
#include "simd/vector_kernels.h"
#ifdef PLOVEK_SIMD_BODY
#include PLOVEK_SIMD_BODY
#endif
}  // namespace plovek::avx512
#pragma GCC pop_options
#pragma GCC diagnostic pop

#endif

#undef PLOVEK_SIMD_BODY
