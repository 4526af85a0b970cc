// The table of a level's kernels, one per level (kernels.cpp): included through
// foreach_level.h, after the level's `Kernels`; no include guard.
inline constexpr kernels::KernelTable kernel_table = kernels::table_of<Kernels>();
