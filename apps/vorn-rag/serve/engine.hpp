// Where requests run: a few worker threads, each driving one of the
// library's event loops, fed from one bounded queue.
//
// A front-end thread hands over a job and waits for its outcome; a full
// queue refuses the job at once (the caller answers 503) instead of letting
// work pile up behind slow requests. Jobs are spawned on the worker's loop,
// so a job that awaits I/O lets the next one start on the same thread.
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

  // Runs every queued and running job to its end, then joins the workers.
  // Later submissions are refused. Idempotent.
  void stop();

  std::size_t queued() const;
  std::size_t running() const;
  const EngineOptions& options() const noexcept { return options_; }

 private:
  struct Worker;
  struct NextJob;
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
  bool stopping_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace vorn_serve
