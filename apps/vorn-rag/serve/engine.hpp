// Where requests run: a few worker threads, each driving one of the
// library's event loops, fed from one bounded queue.
//
// A front-end thread hands over a job and waits for its outcome; a full
// queue refuses the job at once (the caller answers 503) instead of letting
// work pile up behind slow requests. Jobs are spawned on the worker's loop,
// so a job that awaits I/O lets the next one start on the same thread.
//
// Work that never waits on I/O (an offline answer) need not cross threads
// at all: its caller takes a lane (enter()) and runs it itself. Lanes are
// as many as workers and shared with them (a worker running jobs holds
// one), so such work is bounded like jobs are: callers wait for a lane in
// arrival order, and the waiting ones count against the same queue capacity.
#pragma once

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vorn_core/event_loop.hpp"
#include "vorn_core/task.hpp"

namespace vorn_serve {

struct EngineOptions {
  std::size_t workers = 2;           // threads, each with its own event loop
  std::size_t queue_capacity = 256;  // jobs waiting for a worker
  // Jobs one worker's loop runs at once; more wait in the queue.
  std::size_t jobs_per_worker = 8;
};

class Engine {
 public:
  using Job = std::function<vorn_core::Task<void>()>;

  explicit Engine(EngineOptions options);
  ~Engine();  // stop()
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Queues the job; false when the queue is full or the engine stopped. The
  // job's task must not throw (a job reports its own outcome).
  bool try_submit(Job job);

  enum class Entry { kEntered, kRefused, kGaveUp };

  // A lane held by the calling thread; released when destroyed.
  class Lane {
   public:
    Lane() = default;
    ~Lane() { leave(); }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
    void leave() noexcept;

   private:
    friend class Engine;
    Engine* engine_ = nullptr;
  };

  // Takes a lane for `lane`, waiting for one after those already waiting.
  // kRefused when the queue is full or the engine stopped; kGaveUp when
  // `give_up`, asked every `interval` while waiting, returned true first.
  Entry enter(Lane& lane, const std::function<bool()>& give_up = {},
              std::chrono::milliseconds interval = std::chrono::milliseconds(100));

  // Runs every queued and running job to its end, waits for the lanes to be
  // left, then joins the workers. Later submissions and entries are refused.
  // Idempotent.
  void stop();

  // Jobs and lane-waiters queued; jobs running and lanes held.
  std::size_t queued() const;
  std::size_t running() const;
  const EngineOptions& options() const noexcept { return options_; }

 private:
  struct Worker;
  struct NextJob;
  struct LaneWaiter;
  bool lane_free() const noexcept { return lanes_held_ + busy_workers_ < options_.workers; }
  // Under the lock: hands free lanes to waiters, first come first served.
  void grant_lanes();
  void leave_lane() noexcept;
  // Under the lock: takes a job for `worker` or decides it should exit
  // (true: resume now), else parks `self` until work arrives (false).
  bool take_or_park(Worker& worker, std::coroutine_handle<> self, Job& job, bool& exit);
  void worker_main(Worker& worker);
  vorn_core::Task<void> dispatch(Worker& worker);
  vorn_core::Task<void> run_job(Worker& worker, Job job);

  EngineOptions options_;
  std::mutex stop_mutex_;
  mutable std::mutex mutex_;
  std::deque<Job> queue_;
  std::size_t running_ = 0;
  std::deque<LaneWaiter*> lane_waiters_;
  std::size_t lanes_held_ = 0;
  std::size_t busy_workers_ = 0;  // workers with at least one job
  std::condition_variable lanes_left_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace vorn_serve
