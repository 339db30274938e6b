#include "thread_seats.hpp"

namespace vorn_serve {

// The calling thread's seat, handed back when the thread exits.
struct SeatHolder {
  std::shared_ptr<std::atomic<std::size_t>> free;
  ~SeatHolder() {
    if (free) free->fetch_add(1, std::memory_order_relaxed);
  }
};

namespace {
thread_local SeatHolder t_seat;
}  // namespace

bool ThreadSeats::hold() noexcept {
  if (t_seat.free) return t_seat.free == free_;
  std::size_t free = free_->load(std::memory_order_relaxed);
  while (free > 0) {
    if (free_->compare_exchange_weak(free, free - 1, std::memory_order_relaxed)) {
      t_seat.free = free_;
      return true;
    }
  }
  return false;
}

}  // namespace vorn_serve
