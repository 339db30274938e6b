#include "vorn_core/task.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/callable.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"

namespace {

using vorn_core::EventLoop;
using vorn_core::Task;
using vorn_test::EventLog;
using vorn_test::EventLogPtr;

// A user error type the host does not know; awaiting must keep it.
struct CustomFailure : std::runtime_error {
  CustomFailure(std::string m, int c) : std::runtime_error(std::move(m)), code(c) {}
  int code;
};

Task<int> fail_after(int yields) {
  for (int i = 0; i < yields; ++i) co_await vorn_core::yield_now();
  throw CustomFailure("deep", 7);
  co_return 0;
}

Task<int> pass_through(int yields) { co_return co_await fail_after(yields) + 1; }

class TaskErrorTest : public ::testing::TestWithParam<int> {};

TEST_P(TaskErrorTest, ExceptionKeepsItsDynamicTypeThroughNestedAwaits) {
  try {
    vorn_test::run(pass_through(GetParam()));
    FAIL() << "expected CustomFailure";
  } catch (const CustomFailure& e) {
    EXPECT_EQ(e.code, 7);
    EXPECT_STREQ(e.what(), "deep");
  }
}

// 0: fails synchronously; 1 and 3: fails after being resumed by the loop.
INSTANTIATE_TEST_SUITE_P(Yields, TaskErrorTest, ::testing::Values(0, 1, 3));

Task<int> one() { co_return 1; }

Task<long> sum_of_synchronous_tasks(int n) {
  long total = 0;
  for (int i = 0; i < n; ++i) total += co_await one();
  co_return total;
}

TEST(TaskTest, MillionSynchronousAwaitsDoNotGrowTheStack) {
  EXPECT_EQ(vorn_test::run(sum_of_synchronous_tasks(1'000'000)), 1'000'000);
}

Task<long> sum_of_ready_values(int n) {
  long total = 0;
  for (int i = 0; i < n; ++i) total += co_await vorn_core::ready_task(1);
  co_return total;
}

TEST(TaskTest, MillionReadyTasksInsideASuspendingTask) {
  // The outer coroutine is resumed by the loop first, then completes its
  // synchronous awaits from there.
  auto outer = []() -> Task<long> {
    co_await vorn_core::yield_now();
    co_return co_await sum_of_ready_values(1'000'000);
  };
  EXPECT_EQ(vorn_test::run(outer()), 1'000'000);
}

Task<std::string> yield_then(std::string text, int yields) {
  for (int i = 0; i < yields; ++i) co_await vorn_core::yield_now();
  co_return text;
}

Task<std::string> concat_after_yields() {
  std::string out;
  for (int i = 0; i < 100; ++i) out += co_await yield_then(std::to_string(i % 10), i % 3);
  co_return out;
}

TEST(TaskTest, SuspendingTasksResumeTheirAwaiter) {
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += std::to_string(i % 10);
  EXPECT_EQ(vorn_test::run(concat_after_yields()), expected);
}

TEST(TaskTest, UnstartedTaskIsDestroyedWithoutRunning) {
  auto ran = std::make_shared<bool>(false);
  auto destroyed = std::make_shared<bool>(false);
  {
    auto body = [](std::shared_ptr<bool> ran, vorn_test::DestructionFlag) -> Task<void> {
      *ran = true;
      co_return;
    };
    Task<void> t = body(ran, vorn_test::DestructionFlag(destroyed));
    EXPECT_FALSE(t.done());
  }
  EXPECT_FALSE(*ran) << "tasks start only when awaited";
  EXPECT_TRUE(*destroyed);
}

Task<bool> loop_is_visible() {
  const bool before = EventLoop::current() != nullptr;
  co_await vorn_core::yield_now();
  co_return before && EventLoop::current() != nullptr;
}

TEST(EventLoopTest, CurrentIsSetOnlyWhileALoopRuns) {
  EXPECT_EQ(EventLoop::current(), nullptr);
  EXPECT_TRUE(vorn_test::run(loop_is_visible()));
  EXPECT_EQ(EventLoop::current(), nullptr);
  EXPECT_FALSE(EventLoop::running_in_current_thread());
}

Task<void> nested_run_sync() {
  vorn_core::run_sync(one());
  co_return;
}

TEST(EventLoopTest, BlockingRunInsideARunningLoopIsRefused) {
  EXPECT_THROW(vorn_test::run(nested_run_sync()), vorn_core::RuntimeError);
  // The refusal leaves the thread without a loop, and a new run works.
  EXPECT_EQ(EventLoop::current(), nullptr);
  EXPECT_EQ(vorn_test::run(one()), 1);
}

TEST(EventLoopTest, SyncifyWrapsAnAsyncFunction) {
  auto add = [](int a, int b) -> Task<int> {
    co_await vorn_core::yield_now();
    co_return a + b;
  };
  EXPECT_EQ(vorn_core::syncify(add)(2, 3), 5);
}

Task<void> never_finishes(std::shared_ptr<bool> destroyed) {
  vorn_test::DestructionFlag guard(std::move(destroyed));
  co_await vorn_core::NeverAwaiter{};
}

TEST(EventLoopTest, StarvedLoopReportsInsteadOfHanging) {
  auto destroyed = std::make_shared<bool>(false);
  EXPECT_THROW(vorn_test::run(never_finishes(destroyed)), vorn_core::RuntimeError);
  EXPECT_TRUE(*destroyed) << "the stuck frame is destroyed, not leaked";
  EXPECT_EQ(EventLoop::current(), nullptr);
}

Task<int> with_timeout_of(Task<int> inner, std::chrono::milliseconds limit) {
  co_return co_await vorn_core::with_timeout(std::move(inner), limit);
}

Task<int> never_int(std::shared_ptr<bool> destroyed) {
  vorn_test::DestructionFlag guard(std::move(destroyed));
  co_await vorn_core::NeverAwaiter{};
  co_return 0;
}

Task<int> slow_int(int v, std::chrono::milliseconds d) {
  co_await vorn_core::sleep_for(d);
  co_return v;
}

TEST(TimeoutTest, ExpiredDeadlineThrowsAndTheLoopDestroysTheAbandonedTask) {
  auto destroyed = std::make_shared<bool>(false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(vorn_test::run(with_timeout_of(never_int(destroyed), std::chrono::milliseconds(20))),
               vorn_core::TimeoutError);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_TRUE(*destroyed);
}

TEST(TimeoutTest, ResultsAndErrorsWithinTheDeadlinePassThrough) {
  EXPECT_EQ(vorn_test::run(with_timeout_of(one(), std::chrono::seconds(5))), 1);
  EXPECT_EQ(vorn_test::run(with_timeout_of(slow_int(4, std::chrono::milliseconds(1)), std::chrono::seconds(5))), 4);
  EXPECT_THROW(vorn_test::run(with_timeout_of(fail_after(1), std::chrono::seconds(5))), CustomFailure);
}

TEST(TimeoutTest, OutsideALoopIsRefused) {
  // The check happens when the task runs; run it by hand without a loop.
  Task<int> t = vorn_core::with_timeout(one(), std::chrono::seconds(1));
  auto driver = [](Task<int> t) -> Task<int> { co_return co_await std::move(t); };
  Task<int> d = driver(std::move(t));
  d.handle().resume();
  ASSERT_TRUE(d.done());
  EXPECT_THROW(d.handle().promise().take(), vorn_core::RuntimeError);
}

// ---- when_all -------------------------------------------------------------

Task<std::string> logged(EventLogPtr log, std::string name, int yields) {
  log->add("start:" + name);
  for (int i = 0; i < yields; ++i) co_await vorn_core::yield_now();
  log->add("end:" + name);
  co_return name;
}

Task<std::vector<std::string>> gather(std::vector<Task<std::string>> tasks) {
  co_return co_await vorn_core::when_all(std::move(tasks));
}

TEST(WhenAllTest, OverlapsCallsAndKeepsInputOrder) {
  auto log = std::make_shared<EventLog>();
  std::vector<Task<std::string>> tasks;
  tasks.push_back(logged(log, "a", 3));
  tasks.push_back(logged(log, "b", 0));
  tasks.push_back(logged(log, "c", 1));
  EXPECT_EQ(vorn_test::run(gather(std::move(tasks))), (std::vector<std::string>{"a", "b", "c"}));
  // Every suspending task started before the slowest one ended; they finish
  // in order of their yield counts.
  EXPECT_LT(log->index_of("start:c"), log->index_of("end:a"));
  EXPECT_LT(log->index_of("end:b"), log->index_of("end:c"));
  EXPECT_LT(log->index_of("end:c"), log->index_of("end:a"));
}

Task<std::string> failing_named(EventLogPtr log, std::string name, int yields) {
  co_await logged(log, name, yields);
  throw CustomFailure("failed " + name, 1);
  co_return name;
}

TEST(WhenAllTest, ErrorSurfacesAfterEveryTaskFinished) {
  auto log = std::make_shared<EventLog>();
  std::vector<Task<std::string>> tasks;
  tasks.push_back(logged(log, "a", 0));
  tasks.push_back(failing_named(log, "bad", 1));
  tasks.push_back(failing_named(log, "worse", 0));
  tasks.push_back(logged(log, "slow", 4));
  try {
    vorn_test::run(gather(std::move(tasks)));
    FAIL() << "expected CustomFailure";
  } catch (const CustomFailure& e) {
    EXPECT_STREQ(e.what(), "failed bad") << "the first failing task by position wins";
  }
  EXPECT_GE(log->index_of("end:slow"), 0) << "the slow task ran to its end";
}

TEST(WhenAllTest, EmptyInputGivesEmptyResult) {
  EXPECT_TRUE(vorn_test::run(gather({})).empty());
  auto void_all = []() -> Task<void> { co_await vorn_core::when_all(std::vector<Task<void>>{}); };
  EXPECT_NO_THROW(vorn_test::run(void_all()));
}

// ---- callables ------------------------------------------------------------

Task<vorn_core::Value> counted_echo(std::shared_ptr<int> counter, vorn_core::List args) {
  ++*counter;
  co_await vorn_core::yield_now();
  co_return args.at(0);
}

Task<vorn_core::List> call_both(vorn_core::CallablePtr a, vorn_core::CallablePtr s) {
  // g++ 12 rejects braced lists inside an awaited expression; build them first.
  vorn_core::List args(1, vorn_core::Value("arg"));
  vorn_core::Dict kwargs;
  kwargs.set("k", 9);
  vorn_core::List out;
  out.push_back(co_await vorn_core::resolve(a->call(std::move(args), vorn_core::Dict())));
  out.push_back(co_await vorn_core::resolve(s->call(vorn_core::List(), std::move(kwargs))));
  co_return out;
}

TEST(CallableTest, ResolveAwaitsTaskResultsOnceAndPassesValuesThrough) {
  auto counter = std::make_shared<int>(0);
  auto async_fn = vorn_core::make_function(
      "async", [counter](vorn_core::List args) { return counted_echo(counter, std::move(args)); });
  auto sync_fn = vorn_core::make_function("sync", [](vorn_core::Dict kwargs) { return kwargs.get("k"); });
  EXPECT_EQ(vorn_test::run(call_both(async_fn, sync_fn)), (vorn_core::List{"arg", 9}));
  EXPECT_EQ(*counter, 1);
}

}  // namespace

// ---- coroutine frame cache -------------------------------------------------------

namespace frames {

using vorn_core::detail::allocate_frame;
using vorn_core::detail::deallocate_frame;

// A coroutine whose frame holds `N` bytes of its own, filled and checked
// across a suspension: a frame handed out too small, or handed out twice,
// shows up as a wrong sum.
template <std::size_t N>
Task<std::size_t> sized_frame(unsigned char seed) {
  unsigned char bytes[N];
  for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<unsigned char>(seed + i);
  co_await vorn_core::yield_now();
  std::size_t sum = 0;
  for (std::size_t i = 0; i < N; ++i) sum += bytes[i];
  co_return sum;
}

template <std::size_t N>
std::size_t expected_sum(unsigned char seed) {
  std::size_t sum = 0;
  for (std::size_t i = 0; i < N; ++i) sum += static_cast<unsigned char>(seed + i);
  return sum;
}

Task<std::size_t> mixed_sizes(unsigned char seed) {
  std::vector<Task<std::size_t>> tasks;
  tasks.push_back(sized_frame<8>(seed));
  tasks.push_back(sized_frame<200>(seed));
  tasks.push_back(sized_frame<900>(seed));
  tasks.push_back(sized_frame<5000>(seed));  // beyond the cached sizes
  std::vector<std::size_t> sums = co_await vorn_core::when_all(std::move(tasks));
  std::size_t total = 0;
  for (auto s : sums) total += s;
  co_return total;
}

std::size_t expected_mixed(unsigned char seed) {
  return expected_sum<8>(seed) + expected_sum<200>(seed) + expected_sum<900>(seed) + expected_sum<5000>(seed);
}

}  // namespace frames

TEST(FrameCache, FramesOfEverySizeKeepTheirContentWhileOthersComeAndGo) {
  for (int round = 0; round < 50; ++round) {
    const auto seed = static_cast<unsigned char>(round);
    EXPECT_EQ(vorn_core::run_sync(frames::mixed_sizes(seed)), frames::expected_mixed(seed)) << round;
  }
}

TEST(FrameCache, AFreedFrameIsNeverHandedOutForALargerSize) {
  void* small = frames::allocate_frame(100);
  frames::deallocate_frame(small, 100);
  void* large = frames::allocate_frame(400);
  EXPECT_NE(large, small);
  std::memset(large, 0xab, 400);
  frames::deallocate_frame(large, 400);
  // Many frames of one size freed at once: the cache keeps a bounded number
  // and returns the rest; every one of them is usable again.
  std::vector<void*> many;
  for (int i = 0; i < 2000; ++i) many.push_back(frames::allocate_frame(96));
  for (void* f : many) frames::deallocate_frame(f, 96);
  for (auto& f : many) {
    f = frames::allocate_frame(96);
    std::memset(f, 0xcd, 96);
  }
  for (void* f : many) frames::deallocate_frame(f, 96);
}

// A task made on one thread may run and be destroyed on another (a task
// handed to a worker, or a thread's loop ending after its creator's).
TEST(FrameCache, TasksMadeOnOneThreadRunAndEndOnOthers) {
  constexpr int kThreads = 4;
  constexpr int kTasks = 200;
  std::vector<std::vector<Task<std::size_t>>> made(kThreads);
  {
    std::vector<std::thread> makers;
    for (int t = 0; t < kThreads; ++t) {
      makers.emplace_back([&, t] {
        for (int i = 0; i < kTasks; ++i) made[t].push_back(frames::mixed_sizes(static_cast<unsigned char>(t + i)));
      });
    }
    for (auto& m : makers) m.join();  // the makers' caches are gone now
  }
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> runners;
  for (int t = 0; t < kThreads; ++t) {
    // Each runner takes another maker's tasks.
    runners.emplace_back([&, t] {
      const int from = (t + 1) % kThreads;
      for (int i = 0; i < kTasks; ++i) {
        const std::size_t sum = vorn_core::run_sync(std::move(made[from][i]));
        if (sum != frames::expected_mixed(static_cast<unsigned char>(from + i))) ++wrong[t];
      }
      made[from].clear();
    });
  }
  for (auto& r : runners) r.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << t;
}
