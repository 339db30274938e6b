#include "connection_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace vorn_serve {

ConnectionPool::ConnectionPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout, Spawn spawn)
    : max_threads_(std::max<std::size_t>(max_threads, 1)),
      idle_timeout_(idle_timeout),
      spawn_(spawn ? std::move(spawn) : [](std::function<void()> body) { return std::thread(std::move(body)); }) {}

ConnectionPool::~ConnectionPool() { shutdown(); }

std::list<std::thread> ConnectionPool::take_exited() {
  std::list<std::thread> exited;
  exited.splice(exited.end(), exited_);
  return exited;
}

void ConnectionPool::enqueue(std::function<void()> job) {
  std::list<std::thread> exited;
  bool run_here = false;
  {
    std::lock_guard lock(mutex_);
    exited = take_exited();
    if (!idle_.empty()) {
      Idle* idle = idle_.back();
      idle_.pop_back();
      idle->job = std::move(job);
      idle->wake.notify_one();
    } else if (alive_ < max_threads_ && !stopping_) {
      // The job waits in the queue, not in the new thread's closure: if the
      // thread cannot be started, the closure is destroyed with it, and the
      // connection it owns must not go with it.
      waiting_.push_back(std::move(job));
      const Handle self = running_.emplace(running_.end());
      try {
        // `self` is filled in under the lock the new thread takes before it
        // looks at it.
        *self = spawn_([this, self] { work(self, nullptr); });
        ++alive_;
      } catch (const std::system_error&) {
        running_.erase(self);
        // Out of threads: a thread that comes free takes it, or, with none
        // left at all, the caller serves it rather than lose the connection.
        if (alive_ == 0) {
          job = std::move(waiting_.back());
          waiting_.pop_back();
          run_here = true;
        }
      }
    } else {
      waiting_.push_back(std::move(job));
    }
  }
  for (auto& t : exited) t.join();
  if (run_here) job();
}

void ConnectionPool::work(Handle self, std::function<void()> job) {
  ::pthread_setname_np(::pthread_self(), "vorn-connection");
  for (;;) {
    if (job) {
      try {
        job();
      } catch (...) {
        // A connection's failure ends that connection, not the thread.
      }
      job = nullptr;  // its captures go before the wait, not after it
    }
    std::unique_lock lock(mutex_);
    if (!waiting_.empty()) {
      job = std::move(waiting_.front());
      waiting_.pop_front();
      continue;
    }
    if (stopping_) break;
    Idle idle;
    idle_.push_back(&idle);
    idle.wake.wait_for(lock, idle_timeout_, [&idle] { return idle.job || idle.stop; });
    if (idle.job) {  // handed a job, even if the wait timed out as it was
      job = std::move(idle.job);
      continue;
    }
    if (const auto it = std::find(idle_.begin(), idle_.end(), &idle); it != idle_.end()) idle_.erase(it);
    break;
  }
  std::lock_guard lock(mutex_);
  exited_.splice(exited_.end(), running_, self);
  if (--alive_ == 0) all_exited_.notify_all();
}

void ConnectionPool::shutdown() {
  std::list<std::thread> exited;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    for (Idle* idle : idle_) {
      idle->stop = true;
      idle->wake.notify_one();
    }
    idle_.clear();
    all_exited_.wait(lock, [this] { return alive_ == 0; });
    exited = take_exited();
  }
  for (auto& t : exited) t.join();
}

std::size_t ConnectionPool::threads() const {
  std::lock_guard lock(mutex_);
  return alive_;
}

std::size_t ConnectionPool::idle_threads() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

}  // namespace vorn_serve
