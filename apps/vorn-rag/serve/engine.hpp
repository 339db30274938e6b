// Where requests run: a few worker threads, each driving one of the
// library's event loops, fed from one bounded queue.
//
// A front-end thread hands over a job and waits for its outcome; a full
// queue refuses the job at once (the caller answers 503) instead of letting
// work pile up behind slow requests. Jobs are spawned on the worker's loop,
// so a job that awaits I/O lets the next one start on the same thread.
//
// Work that never waits on I/O (an offline answer) need not cross threads
// when the engine is idle: its caller takes a lane (try_enter()) and runs
// it itself, sparing the two thread wake-ups of a hand-off, which cost more
// than the answer itself switches when requests come one at a time. Lanes
// are as many as workers and shared with them (a worker running jobs holds
// one), and one is free only while nothing waits in the queue: work taken
// this way never passes queued work, and what runs on callers' threads
// never outnumbers the workers. Under load, with the workers busy, the work
// is queued instead: workers that never sleep between jobs answer it with
// warmer caches than a different connection thread per request would.
#pragma once

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

  // Takes a lane for `lane` when one is free and no job waits; false (the
  // lane left empty) otherwise, or once the engine stopped.
  bool try_enter(Lane& lane);

  // Runs every queued and running job to its end, joins the workers, then
  // waits for the lanes to be left. Later submissions and entries are
  // refused. Idempotent.
  void stop();

  // Jobs queued; jobs running and lanes held.
  std::size_t queued() const;
  std::size_t running() const;
  const EngineOptions& options() const noexcept { return options_; }

 private:
  struct Worker;
  struct NextJob;
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
  std::size_t lanes_held_ = 0;
  std::size_t busy_workers_ = 0;  // workers with at least one job
  std::condition_variable lanes_left_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace vorn_serve
