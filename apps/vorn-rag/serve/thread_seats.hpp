// A fixed number of seats, each held by one thread from the first time it
// asks until it exits.
//
// The server answers an idle engine's offline requests on the connection
// thread that read them; a thread that answers keeps per-thread state warm
// afterwards (allocator caches, scratch buffers, its own event loop). Seats
// bound how many connection threads build that state: one without a seat
// hands its request to the engine's workers instead, which answer with
// theirs.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace vorn_serve {

class ThreadSeats {
 public:
  explicit ThreadSeats(std::size_t seats) : free_(std::make_shared<std::atomic<std::size_t>>(seats)) {}
  // A thread may outlive the seats it took (a connection served on the
  // listening thread when no thread could be started): the count it hands
  // back at exit is shared, not owned by this object.
  ~ThreadSeats() = default;
  ThreadSeats(const ThreadSeats&) = delete;
  ThreadSeats& operator=(const ThreadSeats&) = delete;

  // Whether the calling thread holds a seat, taking a free one if it has
  // none. A thread holds a seat of one ThreadSeats at most.
  bool hold() noexcept;

 private:
  friend struct SeatHolder;
  std::shared_ptr<std::atomic<std::size_t>> free_;
};

}  // namespace vorn_serve
