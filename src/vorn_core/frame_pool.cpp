#include "vorn_core/frame_pool.hpp"

#include <array>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VORN_FRAME_POOL_ENABLED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_FRAME_POOL_ENABLED 0
#endif
#endif
#ifndef VORN_FRAME_POOL_ENABLED
#define VORN_FRAME_POOL_ENABLED 1
#endif

namespace vorn_core::detail {

#if VORN_FRAME_POOL_ENABLED
namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 64;  // frames up to 1 KiB
constexpr std::size_t kMaxCachedPerClass = 256;

struct FreeFrame {
  FreeFrame* next;
};

// Trivially destructible on purpose: a frame freed while the thread's
// thread_local objects are being destroyed (a task held by another
// thread_local, say) must still find valid storage here; `alive` tells it
// to go back to the allocator instead.
struct FrameCache {
  std::array<FreeFrame*, kClasses> heads{};
  std::array<std::size_t, kClasses> counts{};
  bool alive = false;
};

thread_local FrameCache t_cache;

// Returns the cached frames to the allocator when the thread ends.
struct FrameCacheReleaser {
  FrameCacheReleaser() noexcept { t_cache.alive = true; }
  ~FrameCacheReleaser() {
    t_cache.alive = false;
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (FreeFrame* f = t_cache.heads[c]) {
        t_cache.heads[c] = f->next;
        ::operator delete(static_cast<void*>(f));
      }
      t_cache.counts[c] = 0;
    }
  }
};

thread_local FrameCacheReleaser t_releaser;

constexpr std::size_t size_class(std::size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }

}  // namespace

void* allocate_frame(std::size_t size) {
  const std::size_t c = size_class(size);
  if (c >= kClasses) return ::operator new(size);
  // Touching the releaser constructs it (and marks the cache alive) on the
  // thread's first frame.
  static_cast<void>(&t_releaser);
  if (FreeFrame* f = t_cache.heads[c]) {
    t_cache.heads[c] = f->next;
    --t_cache.counts[c];
    return f;
  }
  return ::operator new((c + 1) * kGranule);
}

void deallocate_frame(void* frame, std::size_t size) noexcept {
  const std::size_t c = size_class(size);
  if (c >= kClasses) {
    ::operator delete(frame);
    return;
  }
  if (!t_cache.alive || t_cache.counts[c] >= kMaxCachedPerClass) {
    ::operator delete(frame);
    return;
  }
  auto* f = static_cast<FreeFrame*>(frame);
  f->next = t_cache.heads[c];
  t_cache.heads[c] = f;
  ++t_cache.counts[c];
}

#else

void* allocate_frame(std::size_t size) { return ::operator new(size); }
void deallocate_frame(void* frame, std::size_t) noexcept { ::operator delete(frame); }

#endif

}  // namespace vorn_core::detail
