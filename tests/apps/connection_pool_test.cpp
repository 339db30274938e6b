// The threads that serve `vorn-rag serve`'s connections: how many exist,
// which one takes the next connection, what happens to idle ones, and how
// many of them may answer requests themselves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "connection_pool.hpp"
#include "thread_seats.hpp"

namespace {

using namespace std::chrono_literals;
using vorn_serve::ConnectionPool;

// Jobs that hold their thread until released.
class Gate {
 public:
  std::function<void()> job() {
    return [this] {
      started_.fetch_add(1);
      released_.wait();
    };
  }
  void wait_started(int n) const {
    while (started_.load() < n) std::this_thread::sleep_for(1ms);
  }
  void release() { release_.set_value(); }
  int started() const { return started_.load(); }

 private:
  std::atomic<int> started_{0};
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
};

// Gives the pool `n` jobs that hold their threads, waits until all run, then
// lets them finish: afterwards the pool has `n` threads.
void occupy_then_release(ConnectionPool& pool, Gate& gate, int n) {
  for (int i = 0; i < n; ++i) pool.enqueue(gate.job());
  gate.wait_started(n);
  gate.release();
}

// Runs one job and waits for it, returning the thread it ran on.
std::thread::id run_one(ConnectionPool& pool) {
  std::promise<std::thread::id> ran;
  auto on = ran.get_future();
  pool.enqueue([&ran] { ran.set_value(std::this_thread::get_id()); });
  return on.get();
}

TEST(ConnectionPool, StartsThreadsOnDemandUpToTheMaximumThenQueues) {
  ConnectionPool pool(3, 10s);
  EXPECT_EQ(pool.threads(), 0u) << "no connection, no thread";
  Gate gate;
  for (int i = 0; i < 5; ++i) pool.enqueue(gate.job());
  gate.wait_started(3);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(gate.started(), 3) << "two wait for a thread to come free";
  EXPECT_EQ(pool.threads(), 3u);
  gate.release();
  pool.shutdown();
  EXPECT_EQ(gate.started(), 5) << "shutdown runs what was already given";
}

// After a burst, connections one at a time keep going to the same, most
// recently used thread: the others stay cold instead of each warming up.
TEST(ConnectionPool, TheMostRecentlyIdledThreadTakesTheNextJob) {
  ConnectionPool pool(8, 10s);
  Gate gate;
  occupy_then_release(pool, gate, 4);
  const auto all_idle = [&pool] {
    while (pool.idle_threads() < 4) std::this_thread::sleep_for(1ms);
  };
  std::set<std::thread::id> used;
  for (int i = 0; i < 20; ++i) {
    all_idle();
    used.insert(run_one(pool));
  }
  EXPECT_EQ(used.size(), 1u);
  EXPECT_EQ(pool.threads(), 4u);
}

TEST(ConnectionPool, IdleThreadsExitAndNewWorkStartsOneAgain) {
  ConnectionPool pool(4, 30ms);
  Gate gate;
  occupy_then_release(pool, gate, 4);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (pool.threads() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(pool.threads(), 0u);
  EXPECT_NE(run_one(pool), std::thread::id{});
}

TEST(ConnectionPool, AJobThatThrowsLeavesTheThreadServing) {
  ConnectionPool pool(1, 10s);
  pool.enqueue([] { throw std::runtime_error("connection failed"); });
  const auto first = run_one(pool);
  EXPECT_EQ(run_one(pool), first);
  EXPECT_EQ(pool.threads(), 1u);
}

// Out of threads (pthread_create refused), a connection is still served:
// by a thread that comes free, or by the caller when there is none.
TEST(ConnectionPool, AConnectionIsNotLostWhenNoThreadCanBeStarted) {
  std::atomic<int> allowed{0};
  ConnectionPool pool(4, 10s, [&allowed](std::function<void()> body) {
    if (allowed.fetch_sub(1) <= 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  });
  EXPECT_EQ(run_one(pool), std::this_thread::get_id()) << "no thread at all: the caller serves it";

  allowed = 1;
  Gate gate;
  pool.enqueue(gate.job());
  gate.wait_started(1);
  std::promise<void> ran;
  pool.enqueue([&ran] { ran.set_value(); });  // no second thread: it waits
  EXPECT_EQ(pool.threads(), 1u);
  gate.release();
  EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
}

// Threads that ask for a seat while every one of them still runs: as many
// get one as there are seats; once a holder exits, its seat is free again.
class SeatsTaken : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SeatsTaken, AsManyAsSeatsAndFreedWhenTheirThreadsExit) {
  const auto [seats, threads] = GetParam();
  vorn_serve::ThreadSeats table(static_cast<std::size_t>(seats));
  std::atomic<int> held{0}, held_again{0};
  Gate gate;
  std::vector<std::thread> all;
  for (int i = 0; i < threads; ++i) {
    all.emplace_back([&] {
      const bool mine = table.hold();
      held += mine ? 1 : 0;
      // Asking again neither takes a second seat nor loses the first.
      held_again += table.hold() == mine ? 1 : 0;
      gate.job()();  // no thread exits before all have asked
    });
  }
  gate.wait_started(threads);
  gate.release();
  for (auto& t : all) t.join();
  EXPECT_EQ(held.load(), std::min(seats, threads));
  EXPECT_EQ(held_again.load(), threads);
  int later = 0;
  for (int i = 0; i < seats; ++i) std::thread([&] { later += table.hold() ? 1 : 0; }).join();
  EXPECT_EQ(later, seats) << "seats of exited threads are free again";
}

// The listening thread serves a connection itself when no thread can be
// started, and may outlive the server's seats; its exit must not touch them.
TEST(ThreadSeatsLifetime, AThreadMayOutliveTheSeatsItHolds) {
  std::thread holder([] {
    auto doomed = std::make_unique<vorn_serve::ThreadSeats>(1);
    EXPECT_TRUE(doomed->hold());
    doomed.reset();
    vorn_serve::ThreadSeats next(1);
    EXPECT_FALSE(next.hold()) << "one seat per thread";
  });
  holder.join();  // the seat is handed back here, after its table is gone
}

INSTANTIATE_TEST_SUITE_P(Table, SeatsTaken,
                         ::testing::Values(std::pair{1, 1}, std::pair{2, 5}, std::pair{4, 4}, std::pair{4, 9},
                                           std::pair{0, 3}));

}  // namespace
