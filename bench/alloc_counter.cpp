#include "alloc_counter.hpp"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace vorn_bench {
namespace {

// Counters of the calling thread. The library starts no threads and every
// benchmark here runs on the main thread, so these are the run's own
// figures; plain thread-local integers keep the counting itself nearly
// free (an atomic per allocation would inflate exactly the code that
// allocates most).
thread_local std::int64_t t_live = 0;
thread_local std::int64_t t_peak = 0;
thread_local std::uint64_t t_allocations = 0;
thread_local std::uint64_t t_allocated = 0;

void note_alloc(void* p) noexcept {
  const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
  ++t_allocations;
  t_allocated += static_cast<std::uint64_t>(size);
  t_live += size;
  if (t_live > t_peak) t_peak = t_live;
}

void note_free(void* p) noexcept {
  if (p) t_live -= static_cast<std::int64_t>(malloc_usable_size(p));
}

void* allocate(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
  const auto a = static_cast<std::size_t>(align);
  void* p = std::aligned_alloc(a, (size + a - 1) / a * a);
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}

void release(void* p) noexcept {
  note_free(p);
  std::free(p);
}

}  // namespace

AllocSnapshot alloc_snapshot() noexcept { return AllocSnapshot{t_live, t_allocations, t_allocated}; }

void reset_alloc_peak() noexcept { t_peak = t_live; }

std::int64_t alloc_peak() noexcept { return t_peak; }

}  // namespace vorn_bench

// ---- replaced global allocation functions ---------------------------------------

void* operator new(std::size_t size) { return vorn_bench::allocate(size); }
void* operator new[](std::size_t size) { return vorn_bench::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return vorn_bench::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return vorn_bench::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) { return vorn_bench::allocate_aligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return vorn_bench::allocate_aligned(size, align); }

void operator delete(void* p) noexcept { vorn_bench::release(p); }
void operator delete[](void* p) noexcept { vorn_bench::release(p); }
void operator delete(void* p, std::size_t) noexcept { vorn_bench::release(p); }
void operator delete[](void* p, std::size_t) noexcept { vorn_bench::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { vorn_bench::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { vorn_bench::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { vorn_bench::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { vorn_bench::release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { vorn_bench::release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { vorn_bench::release(p); }
