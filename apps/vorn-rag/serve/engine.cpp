#include "engine.hpp"

#include <pthread.h>

#include <string>
#include <utility>

namespace vorn_serve {

struct Engine::Worker {
  vorn_core::EventLoop loop;
  std::thread thread;
  // The worker's dispatcher while it waits for work; guarded by the engine's mutex.
  std::coroutine_handle<> parked;
  std::size_t active = 0;  // jobs on this loop; guarded by the engine's mutex
};

// Waits until the engine has a job this worker may take, or until it should
// exit. Decides under the engine's lock, so a submission cannot slip in
// between "nothing to do" and "parked". Plain pointers only: g++ 12
// destroys some temporaries of a co_await expression twice.
struct Engine::NextJob {
  Engine* engine;
  Worker* worker;
  Job* job;
  bool* exit;
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> self) { return !engine->take_or_park(*worker, self, *job, *exit); }
  void await_resume() const noexcept {}
};

bool Engine::take_or_park(Worker& worker, std::coroutine_handle<> self, Job& job, bool& exit) {
  std::lock_guard lock(mutex_);
  if (!queue_.empty() && worker.active < options_.jobs_per_worker) {
    job = std::move(queue_.front());
    queue_.pop_front();
    if (worker.active++ == 0) ++busy_workers_;
    ++running_;
    return true;
  }
  exit = stopping_ && queue_.empty() && worker.active == 0;
  if (exit) return true;
  worker.parked = self;
  return false;
}

Engine::Engine(EngineOptions options) : options_(options) {
  if (options_.workers == 0) options_.workers = 1;
  if (options_.jobs_per_worker == 0) options_.jobs_per_worker = 1;
  for (std::size_t i = 0; i < options_.workers; ++i) workers_.push_back(std::make_unique<Worker>());
  for (auto& worker : workers_) {
    Worker& w = *worker;
    w.thread = std::thread([this, &w] { worker_main(w); });
  }
}

Engine::~Engine() { stop(); }

void Engine::worker_main(Worker& worker) {
  // Named, so that `top -H`, perf and the load benchmark tell the answering
  // threads from the connection threads.
  ::pthread_setname_np(::pthread_self(), "vorn-engine");
  // Held open: the dispatcher waits for posts from submitting threads.
  worker.loop.hold();
  worker.loop.run_until_complete(dispatch(worker));
  worker.loop.release();
}

vorn_core::Task<void> Engine::dispatch(Worker& worker) {
  for (;;) {
    Job job;
    bool exit = false;
    co_await NextJob{this, &worker, &job, &exit};
    if (exit) co_return;
    if (job) worker.loop.spawn(run_job(worker, std::move(job)));
  }
}

vorn_core::Task<void> Engine::run_job(Worker& worker, Job job) {
  try {
    co_await job();
  } catch (...) {
    // A job reports its own outcome; one that throws anyway must not take
    // the worker down with it.
  }
  std::coroutine_handle<> wake;
  {
    std::lock_guard lock(mutex_);
    if (--worker.active == 0) --busy_workers_;
    --running_;
    if (worker.parked && (!queue_.empty() || stopping_)) wake = std::exchange(worker.parked, {});
  }
  if (wake) worker.loop.schedule(wake);
}

bool Engine::try_submit(Job job) {
  Worker* target = nullptr;
  std::coroutine_handle<> wake;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= options_.queue_capacity) return false;
    queue_.push_back(std::move(job));
    for (auto& worker : workers_) {
      if (worker->parked && worker->active < options_.jobs_per_worker) {
        target = worker.get();
        wake = std::exchange(worker->parked, {});
        break;
      }
    }
  }
  if (wake) target->loop.post(wake);
  return true;
}

bool Engine::try_enter(Lane& lane) {
  lane.leave();
  std::lock_guard lock(mutex_);
  if (stopping_ || !queue_.empty() || lanes_held_ + busy_workers_ >= options_.workers) return false;
  ++lanes_held_;
  lane.engine_ = this;
  return true;
}

void Engine::Lane::leave() noexcept {
  if (engine_ != nullptr) std::exchange(engine_, nullptr)->leave_lane();
}

void Engine::leave_lane() noexcept {
  std::lock_guard lock(mutex_);
  if (--lanes_held_ == 0 && stopping_) lanes_left_.notify_all();
}

void Engine::stop() {
  std::lock_guard stopping(stop_mutex_);  // one caller joins; the others wait for it
  std::vector<std::pair<Worker*, std::coroutine_handle<>>> wakes;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& worker : workers_) {
      if (worker->parked) wakes.emplace_back(worker.get(), std::exchange(worker->parked, {}));
    }
  }
  for (auto& [worker, handle] : wakes) worker->loop.post(handle);
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  std::unique_lock lock(mutex_);
  lanes_left_.wait(lock, [this] { return lanes_held_ == 0; });
}

std::size_t Engine::queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t Engine::running() const {
  std::lock_guard lock(mutex_);
  return running_ + lanes_held_;
}

}  // namespace vorn_serve
