#include "engine/distinct_rows.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "runtime/huge_page_allocator.h"
#include "runtime/thread_pool.h"

namespace plovek {

namespace {

// A row of D values as their bits: rows are equal when their bits are (0.0 and -0.0
// differ, which only costs a search).
template <std::size_t D>
struct RowKey {
  std::uint32_t bits[D];
  bool operator==(const RowKey&) const = default;

  static RowKey of(const float* row) {
    RowKey key;
    for (std::size_t t = 0; t < D; ++t) key.bits[t] = std::bit_cast<std::uint32_t>(row[t]);
    return key;
  }
  std::uint64_t hash() const {
    RowBitsHash hash;
    for (std::size_t t = 0; t < D; ++t) hash.add(bits[t]);
    return hash.value();
  }
};

// Positions of distinct rows by their keys, open addressing; the table doubles at half
// full. A slot holds the key, so that a probe reads no row.
template <std::size_t D>
class PositionTable {
 public:
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
  PositionTable() = default;
  // `slots` at first, doubling up to `most_slots` (powers of two).
  PositionTable(std::size_t slots, std::size_t most_slots) : slots_(slots), most_slots_(most_slots) {}

  // The position of `key`, or kEmpty with the slot where it belongs in `slot`.
  std::uint32_t find(const RowKey<D>& key, std::uint64_t hash, std::size_t& slot) const {
    const std::size_t mask = slots_.size() - 1;
    for (slot = hash & mask;; slot = (slot + 1) & mask) {
      const Slot& s = slots_[slot];
      if (s.position == kEmpty || s.key == key) return s.position;
    }
  }
  // Fills `slot` (from find) with a new key's position, the count of keys so far;
  // false where the table is full (at half its most slots).
  bool insert(const RowKey<D>& key, std::size_t slot, std::uint32_t position) {
    slots_[slot] = Slot{key, position};
    if (2 * (std::size_t{position} + 1) <= slots_.size()) return true;
    if (slots_.size() >= most_slots_) return false;
    grow();
    return true;
  }
  // Asks for the cache line of the slot where a probe for `hash` starts.
  void fetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

 private:
  struct Slot {
    RowKey<D> key{};
    std::uint32_t position = kEmpty;
  };
  void grow() {
    Slots old(2 * slots_.size());
    old.swap(slots_);
    std::size_t slot = 0;
    for (const Slot& s : old) {
      if (s.position == kEmpty) continue;
      find(s.key, s.key.hash(), slot);
      slots_[slot] = s;
    }
  }
  using Slots = std::vector<Slot, HugePageAllocator<Slot>>;
  Slots slots_;
  std::size_t most_slots_ = 0;
};

// The scan gives up where nearly all the rows read so far are distinct (more than
// kMostDistinctEarly of them: data that does not repeat), judged first after
// kFirstCheck rows and then at every doubling, and at the end where more than half are.
// A photograph may open on a detailed region: one whose first 8,192 pixels were 62%
// distinct held 11% distinct pixels in all.
constexpr double kMostDistinctEarly = 0.9;
constexpr std::size_t kFirstCheck = 8192;
// Rows hashed (and their slots fetched) ahead of their probes.
constexpr std::size_t kRowsAhead = 32;

// The distinct rows of a run of rows, in order of first appearance there.
template <std::size_t D>
struct RunScan {
  PositionTable<D> table;
  std::vector<std::size_t> first_rows;  // the row where each first appears
};

// Calls visit(j, key, hash) for the rows row_at(j), j = 0, 1, ..., count - 1, in order,
// each row's key and hash made (and its slot in `table` fetched) kRowsAhead rows before
// its visit; stops where a visit returns false. Returns whether all were visited.
template <std::size_t D, class RowAt, class Visit>
bool visit_keys(const MatrixView& data, const PositionTable<D>& table, std::size_t count, RowAt row_at,
                Visit visit) {
  RowKey<D> keys[kRowsAhead];
  std::uint64_t hashes[kRowsAhead];
  const auto read_ahead = [&](std::size_t j) {
    if (j >= count) return;
    RowKey<D>& key = keys[j % kRowsAhead];
    key = RowKey<D>::of(data.row(row_at(j), nullptr));
    hashes[j % kRowsAhead] = key.hash();
    table.fetch(hashes[j % kRowsAhead]);
  };
  for (std::size_t j = 0; j < kRowsAhead; ++j) read_ahead(j);
  for (std::size_t j = 0; j < count; ++j) {
    const RowKey<D> key = keys[j % kRowsAhead];
    const std::uint64_t hash = hashes[j % kRowsAhead];
    read_ahead(j + kRowsAhead);
    if (!visit(j, key, hash)) return false;
  }
  return true;
}

// The position of `key` in `table`, or else a new one, its row (`row`) noted in
// `first_rows`; kEmpty where the table is full.
template <std::size_t D>
std::uint32_t position_or_new(PositionTable<D>& table, const RowKey<D>& key, std::uint64_t hash, std::size_t row,
                              std::vector<std::size_t>& first_rows) {
  std::size_t slot = 0;
  std::uint32_t position = table.find(key, hash, slot);
  if (position != PositionTable<D>::kEmpty) return position;
  position = static_cast<std::uint32_t>(first_rows.size());
  first_rows.push_back(row);
  return table.insert(key, slot, position) ? position : PositionTable<D>::kEmpty;
}

// Reads rows [begin, end) of D columns into `run` and their positions among its
// distinct rows into `position_of`; false once too few repeat, or once `gave_up` (set
// then) says another run found so.
template <std::size_t D>
bool scan_run(const MatrixView& data, std::size_t begin, std::size_t end, std::uint32_t* position_of,
              RunScan<D>& run, std::atomic<bool>& gave_up) {
  std::size_t next_check = std::min(end - begin, kFirstCheck);
  const auto row_at = [begin](std::size_t j) { return begin + j; };
  return visit_keys(data, run.table, end - begin, row_at,
                    [&](std::size_t j, const RowKey<D>& key, std::uint64_t hash) {
                      const std::uint32_t position = position_or_new(run.table, key, hash, begin + j, run.first_rows);
                      if (position == PositionTable<D>::kEmpty) return false;
                      position_of[begin + j] = position;
                      const std::size_t read = j + 1;
                      if (read != next_check) return true;
                      next_check = std::min(end - begin, 2 * read);
                      if (gave_up.load(std::memory_order_relaxed)) return false;
                      if (static_cast<double>(run.first_rows.size()) <= kMostDistinctEarly * static_cast<double>(read))
                        return true;
                      gave_up.store(true, std::memory_order_relaxed);
                      return false;
                    });
}

// Reads every row of D columns into `position_of` and the distinct rows' first rows
// (see DistinctRows); false where too few repeat. The workers scan a run of rows each;
// the runs' distinct rows are then merged into the first run's table, run after run, so
// that every distinct row keeps its place in order of first appearance.
template <std::size_t D>
bool scan_rows(const MatrixView& data, std::uint32_t* position_of, std::vector<std::size_t>& first_rows) {
  const std::size_t n = data.rows(), runs = std::min(global_pool_size(), n / kFirstCheck);
  // Sized for an eighth of each run's rows distinct, and never more slots than rows (at
  // most 16 bytes a row for rows of 3 values, while the scan runs).
  const std::size_t most_slots = std::bit_ceil(n / 2);
  const auto run_begin = [&](std::size_t r) { return r * n / runs; };
  std::vector<RunScan<D>> scans(runs);
  std::atomic<bool> gave_up = false;
  std::vector<unsigned char> repeats(runs, 0);
  parallel_for(runs, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t r = first; r < last; ++r) {
      const std::size_t slots = std::bit_ceil(std::max<std::size_t>((run_begin(r + 1) - run_begin(r)) / 4, 1024));
      scans[r].table = PositionTable<D>(std::min(most_slots, slots), most_slots);
      repeats[r] = scan_run(data, run_begin(r), run_begin(r + 1), position_of, scans[r], gave_up);
    }
  });
  if (std::find(repeats.begin(), repeats.end(), 0) != repeats.end()) return false;
  PositionTable<D>& table = scans[0].table;
  first_rows = std::move(scans[0].first_rows);
  for (std::size_t r = 1; r < runs; ++r) {
    // The run's positions become positions among all the distinct rows so far.
    const std::vector<std::size_t>& run_rows = scans[r].first_rows;
    std::vector<std::uint32_t> merged(run_rows.size());
    const auto row_at = [&](std::size_t q) { return run_rows[q]; };
    if (!visit_keys(data, table, run_rows.size(), row_at, [&](std::size_t q, const RowKey<D>& key, std::uint64_t hash) {
          merged[q] = position_or_new(table, key, hash, run_rows[q], first_rows);
          return merged[q] != PositionTable<D>::kEmpty;
        }))
      return false;
    parallel_for(run_begin(r + 1) - run_begin(r), kFirstCheck, [&](std::size_t first, std::size_t last) {
      std::uint32_t* positions = position_of + run_begin(r);
      for (std::size_t i = first; i < last; ++i) positions[i] = merged[positions[i]];
    });
  }
  return static_cast<double>(first_rows.size()) <= 0.5 * static_cast<double>(n);
}

}  // namespace

std::unique_ptr<DistinctRows> DistinctRows::find(const MatrixView& data, std::size_t k,
                                                 std::span<const float> point_norms) {
  const std::size_t n = data.rows(), d = data.cols();
  if (d == 0 || d > kMostColumns || n < kLeastRows || k < kLeastCentroids || n > PositionTable<1>::kEmpty ||
      !data.rows_are_direct())
    return nullptr;
  try {
    auto found = std::make_unique<DistinctRows>();
    found->columns_ = d;
    found->row_count_ = n;
    found->position_of_.reset(new std::uint32_t[n]);
    std::vector<std::size_t> first_rows;
    const auto scan = [&]<std::size_t D>() { return scan_rows<D>(data, found->position_of_.get(), first_rows); };
    const bool repeats = d == 1   ? scan.operator()<1>()
                         : d == 2 ? scan.operator()<2>()
                         : d == 3 ? scan.operator()<3>()
                                  : scan.operator()<4>();
    if (!repeats) return nullptr;
    found->rows_.reserve(first_rows.size());
    for (const std::size_t row : first_rows) found->rows_.push_back(data.row(row, nullptr));
    if (!point_norms.empty()) {
      found->norms_.reserve(first_rows.size());
      for (const std::size_t row : first_rows) found->norms_.push_back(point_norms[row]);
    }
    return found;
  } catch (const std::bad_alloc&) {
    return nullptr;  // the search of every row needs none of this
  }
}

bool DistinctRows::sums_by_repeats(std::size_t chunk_rows) {
  if (chunk_rows == repeats_chunk_rows_) return sums_by_repeats_;
  if (repeats_chunk_rows_ != 0) return false;  // listed for another chunk size
  repeats_chunk_rows_ = chunk_rows;
  try {
    sums_by_repeats_ = sums_exact(chunk_rows);
    if (sums_by_repeats_) list_repeats(chunk_rows);
  } catch (const std::bad_alloc&) {
    sums_by_repeats_ = false;  // the rows are summed one by one instead
    values_ = {}, chunk_repeats_ = {}, rows_repeating_ = {};
  }
  return sums_by_repeats_;
}

bool DistinctRows::sums_exact(std::size_t chunk_rows) const {
  // Every value is a multiple of 2^finest (its unit in last place or a multiple of
  // it), and so is every product by a count and every partial sum; below 2^(finest +
  // 53) in magnitude such a multiple is a double.
  // A float's unit in last place is 2^(exponent - 23), its exponent no lower than the
  // smallest normal one's (subnormals share that unit).
  using Float = std::numeric_limits<float>;
  constexpr int kLeastExponent = Float::min_exponent - 1, kFractionDigits = Float::digits - 1;
  int finest = std::numeric_limits<int>::max();
  float largest = 0.0f;
  for (const float* row : rows_) {
    for (std::size_t t = 0; t < columns_; ++t) {
      const float v = std::abs(row[t]);
      if (!std::isfinite(v)) return false;
      if (v == 0.0f) continue;
      finest = std::min(finest, std::max(std::ilogb(v), kLeastExponent) - kFractionDigits);
      largest = std::max(largest, v);
    }
  }
  if (largest == 0.0f) return true;
  return static_cast<double>(chunk_rows) * largest <
         std::ldexp(1.0, finest + std::numeric_limits<double>::digits);
}

void DistinctRows::list_repeats(std::size_t chunk_rows) {
  const std::size_t n = row_count_, m = rows_.size();
  constexpr std::uint32_t kNone = ~std::uint32_t{0};
  // The chunks are listed apart, each worker taking an equal run of them. Its entry_of
  // says where a distinct row stands in the chunk's list (kNone: not there yet) and is
  // cleared after each chunk by the list itself.
  chunk_repeats_.resize((n + chunk_rows - 1) / chunk_rows);
  const std::size_t chunks_per_worker = (chunk_repeats_.size() + global_pool_size() - 1) / global_pool_size();
  parallel_for(chunk_repeats_.size(), chunks_per_worker, [&](std::size_t first, std::size_t last) {
    std::vector<std::uint32_t> entry_of(m, kNone);
    std::vector<Repeats> listed;
    for (std::size_t c = first; c < last; ++c) {
      listed.clear();
      for (std::size_t i = c * chunk_rows; i < std::min(n, (c + 1) * chunk_rows); ++i) {
        const std::uint32_t p = position_of_[i];
        if (entry_of[p] == kNone) {
          entry_of[p] = static_cast<std::uint32_t>(listed.size());
          listed.push_back({.position = p, .count = 0});
        }
        ++listed[entry_of[p]].count;
      }
      for (const Repeats& repeat : listed) entry_of[repeat.position] = kNone;
      chunk_repeats_[c].assign(listed.begin(), listed.end());
    }
  });
  rows_repeating_.assign(m, 0);
  for (const std::vector<Repeats>& listed : chunk_repeats_)
    for (const Repeats& repeat : listed) rows_repeating_[repeat.position] += repeat.count;
  values_.resize(m * columns_);
  for (std::size_t p = 0; p < m; ++p)
    for (std::size_t t = 0; t < columns_; ++t) values_[p * columns_ + t] = rows_[p][t];
}

}  // namespace plovek
