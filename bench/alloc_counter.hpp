// Counts every heap allocation of the benchmark binary: the global
// operator new/delete are replaced (alloc_counter.cpp), so library code,
// coroutine frames and the standard library are all seen.
//
// Sizes are what malloc really hands out (`malloc_usable_size`), so a figure
// is the memory a run holds, rounding included. Figures are those of the
// calling thread (the benchmarks are single-threaded).
#pragma once

#include <cstdint>

namespace vorn_bench {

struct AllocSnapshot {
  std::int64_t live_bytes;         // held now
  std::uint64_t allocations;       // made so far
  std::uint64_t allocated_bytes;   // handed out so far
};

AllocSnapshot alloc_snapshot() noexcept;
// Starts a fresh peak at the current live size.
void reset_alloc_peak() noexcept;
// Highest live size since the last reset.
std::int64_t alloc_peak() noexcept;

}  // namespace vorn_bench
