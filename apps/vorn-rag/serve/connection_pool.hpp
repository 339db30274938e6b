// The threads that serve the HTTP server's connections, one connection per
// thread at a time.
//
// A thread is started only when a connection finds none idle, up to a
// maximum; past it, connections wait for the next thread to come free. The
// most recently idled thread takes the next connection (last in, first
// out), so the threads in use are about as many as the connections served
// at once, not every thread in turn: a thread that serves requests grows
// its own stack pages, allocator caches and thread-local scratch (an answer
// computed on it warms all three), and a first-in-first-out pool spreads
// that over every thread it has. A thread idle for `idle_timeout` exits,
// handing that memory back after a burst of connections.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace vorn_serve {

class ConnectionPool final : public httplib::TaskQueue {
 public:
  // Starts a thread running its argument; `std::thread` unless a test
  // needs thread creation to fail. May throw std::system_error.
  using Spawn = std::function<std::thread(std::function<void()>)>;

  ConnectionPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout, Spawn spawn = {});
  ~ConnectionPool() override;  // shutdown()
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Runs `job` on an idle thread, else on a new one while under the
  // maximum, else on the first thread to come free.
  void enqueue(std::function<void()> job) override;
  // Runs the jobs already given, then joins every thread. Idempotent.
  void shutdown() override;

  // Threads alive now (serving, idle, or exiting), and those idle.
  std::size_t threads() const;
  std::size_t idle_threads() const;

 private:
  // A thread waiting for work; handed its next job directly.
  struct Idle {
    std::condition_variable wake;
    std::function<void()> job;
    bool stop = false;
  };
  using Handle = std::list<std::thread>::iterator;

  void work(Handle self, std::function<void()> job);
  // Under the lock: takes the threads that exited, to be joined outside it.
  std::list<std::thread> take_exited();

  const std::size_t max_threads_;
  const std::chrono::milliseconds idle_timeout_;
  const Spawn spawn_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> waiting_;  // jobs no thread could take yet
  std::vector<Idle*> idle_;                    // the most recently idled last
  std::list<std::thread> running_, exited_;
  std::size_t alive_ = 0;
  bool stopping_ = false;
  std::condition_variable all_exited_;
};

}  // namespace vorn_serve
