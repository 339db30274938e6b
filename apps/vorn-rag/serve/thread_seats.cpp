#include "thread_seats.hpp"

namespace vorn_serve {

// The calling thread's seat, handed back when the thread exits.
struct SeatHolder {
  ThreadSeats* seats = nullptr;
  ~SeatHolder() {
    if (seats != nullptr) seats->free_.fetch_add(1, std::memory_order_relaxed);
  }
};

namespace {
thread_local SeatHolder t_seat;
}  // namespace

bool ThreadSeats::hold() noexcept {
  if (t_seat.seats != nullptr) return t_seat.seats == this;
  std::size_t free = free_.load(std::memory_order_relaxed);
  while (free > 0) {
    if (free_.compare_exchange_weak(free, free - 1, std::memory_order_relaxed)) {
      t_seat.seats = this;
      return true;
    }
  }
  return false;
}

}  // namespace vorn_serve
