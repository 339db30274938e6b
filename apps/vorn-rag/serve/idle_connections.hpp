// Keep-alive connections between two requests, held by no thread.
//
// A connection waits here, in one epoll set, until the first bytes of its
// next request arrive (or its client closes it); then one thread takes it
// and serves that request. A server that kept a thread blocked on every
// open connection would wake that thread for each request and hand the
// request to another to answer, two thread switches a request; taken from
// here, a request is read, answered and written by the thread that took it,
// and under load that thread finds the next one ready without sleeping.
// Connections idle past the keep-alive time are closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "socket_stream.hpp"

namespace vorn_serve {

// One accepted connection: its socket (closed with it) and its buffered stream.
struct Connection {
  Connection(int socket, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout)
      : socket(socket), stream(socket, read_timeout, write_timeout) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const int socket;
  SocketStream stream;
  std::size_t served = 0;  // requests answered on it
  bool watched = false;    // in an epoll set already (disarmed while taken)
};

class IdleConnections {
 public:
  using Clock = std::chrono::steady_clock;

  explicit IdleConnections(std::chrono::milliseconds keep_alive);
  ~IdleConnections();  // closes the connections it holds
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  // Holds the connection until its next request begins to arrive; once
  // closed, lets it go (and so closes it) instead.
  void add(std::shared_ptr<Connection> connection);

  // A connection with bytes (or its client's close) to read, waiting up to
  // `wait` for one; null when none came or once closed. Connections idle
  // past the keep-alive time are closed on the way.
  std::shared_ptr<Connection> take(std::chrono::milliseconds wait);

  // Closes every connection held and wakes the threads waiting in take().
  // Idempotent.
  void close();

  std::size_t size() const;

 private:
  struct Held {
    std::shared_ptr<Connection> connection;
    Clock::time_point since;
  };
  // Under the lock: the connections idle too long, out of `held_`.
  void take_expired(Clock::time_point now, std::vector<std::shared_ptr<Connection>>& expired);

  const std::chrono::milliseconds keep_alive_;
  const int epoll_;
  const int wake_;  // an eventfd, readable once closed
  mutable std::mutex mutex_;
  // By a number of their own, never reused: an event taken from the epoll
  // set just before its connection expired names no other connection.
  std::unordered_map<std::uint64_t, Held> held_;
  std::uint64_t next_id_ = 1;
  Clock::time_point next_sweep_;
  bool closed_ = false;
};

}  // namespace vorn_serve
