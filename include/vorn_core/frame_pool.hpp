// Allocation of coroutine frames.
//
// A pipeline run creates and destroys a few dozen small coroutine frames
// (one per step, per stage call, per component call), each of which would be
// a trip through the general-purpose allocator. `Task`'s promise takes its
// frames from here instead: each thread keeps the frames it freed, by size
// class, and hands them out again. A frame may be freed on another thread
// than the one that made it; it then joins that thread's cache.
//
// The cache of a thread is bounded (a few hundred frames per size class) and
// released when the thread ends. Frames larger than the biggest class go
// straight to `operator new`. Under AddressSanitizer every frame does, so
// that a use after free of a frame is still reported.
#pragma once

#include <cstddef>

namespace vorn_core::detail {

void* allocate_frame(std::size_t size);
void deallocate_frame(void* frame, std::size_t size) noexcept;

}  // namespace vorn_core::detail
