// The dispatched kernels: a table of each level's kernels, generated from the list,
// and every call through the table of the level it runs at.
#include <cstddef>
#include <cstdint>

#include "simd/kernels.h"

namespace plovek::kernels {

struct KernelTable {
  std::size_t panel_width;
  bool fused_centroid_dots;
#define PLOVEK_KERNEL(name, result, parameters, arguments, level) result(*name) parameters;
#include "simd/kernel_list.h"
#undef PLOVEK_KERNEL
};

template <class K>
constexpr KernelTable table_of() {
  return {.panel_width = K::kPanelWidth,
          .fused_centroid_dots = K::kFusedCentroidDots,
#define PLOVEK_KERNEL(name, result, parameters, arguments, level) .name = &K::name,
#include "simd/kernel_list.h"
#undef PLOVEK_KERNEL
  };
}

}  // namespace plovek::kernels

#define PLOVEK_SIMD_BODY "simd/kernel_table.h"
#include "simd/foreach_level.h"

namespace plovek::kernels {

namespace {

const KernelTable& table(SimdLevel level) { return PLOVEK_AT_LEVEL(level, kernel_table); }

}  // namespace

std::size_t panel_width(SimdLevel level) { return table(level).panel_width; }

bool centroid_dots_are_fused(SimdLevel level) { return table(level).fused_centroid_dots; }

#define PLOVEK_KERNEL(name, result, parameters, arguments, level) \
  result name parameters { return table(level).name arguments; }
#include "simd/kernel_list.h"
#undef PLOVEK_KERNEL

}  // namespace plovek::kernels
