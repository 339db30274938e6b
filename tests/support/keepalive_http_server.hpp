// A concurrent HTTP/1.1 server on 127.0.0.1 that keeps connections alive,
// for tests and benchmarks of clients that overlap and reuse connections.
// Header-only.
//
//   KeepAliveHttpServer server([](const RecordedRequest&) {
//     return FakeReply{.body = R"({"ok": true})", .delay = 100ms};
//   });
//   ... server.url("/v1/chat/completions") ...
//   server.connections_opened();      // TCP connections accepted
//   server.max_concurrent_requests(); // most requests being answered at once
//
// Each connection gets its own thread and may carry any number of requests.
// A reply may be streamed in pieces (chunked encoding) with a pause before
// each. While it waits before answering it watches the socket, so a client
// that gives up is noticed (`abandoned_requests`). Everything is bounded:
// the server's lifetime, reads (the server stops waiting when it stops) and
// the request size.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loopback_http_server.hpp"

namespace vorn_test {

struct FakeReply {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type = "application/json";
  // Wait before answering.
  std::chrono::milliseconds delay{0};
  // When not empty: the body is sent in these pieces (chunked), each after
  // `piece_delay`; `body` is ignored.
  std::vector<std::string> pieces;
  std::chrono::milliseconds piece_delay{0};
  // Close the connection after this reply.
  bool close = false;
  // Streamed replies: close the connection after the pieces, without the
  // final chunk (a stream cut off midway).
  bool truncate = false;
};

class KeepAliveHttpServer {
 public:
  using Handler = std::function<FakeReply(const RecordedRequest&)>;

  explicit KeepAliveHttpServer(Handler handler, std::chrono::milliseconds lifetime = std::chrono::seconds(60))
      : handler_(std::move(handler)), deadline_(std::chrono::steady_clock::now() + lifetime) {
    listen_fd_ = loopback::listen_on_loopback(1024, "keep-alive server", port_);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~KeepAliveHttpServer() {
    stop_.store(true);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mutex_);
      workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
    ::close(listen_fd_);
  }

  KeepAliveHttpServer(const KeepAliveHttpServer&) = delete;
  KeepAliveHttpServer& operator=(const KeepAliveHttpServer&) = delete;

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url(std::string_view path) const { return base_url() + std::string(path); }

  int connections_opened() const noexcept { return connections_.load(); }
  // Replies fully sent (the client may have read one before it counts).
  int requests_served() const noexcept { return served_.load(); }
  int max_concurrent_requests() const noexcept { return max_concurrent_.load(); }
  // Requests whose client closed the connection before the answer went out.
  int abandoned_requests() const noexcept { return abandoned_.load(); }
  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  bool should_stop() const { return stop_.load() || std::chrono::steady_clock::now() >= deadline_; }

  void accept_loop() {
    while (!should_stop()) {
      pollfd waiting{listen_fd_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      connections_.fetch_add(1);
      std::lock_guard lock(mutex_);
      workers_.emplace_back([this, fd] {
        serve(fd);
        ::close(fd);
      });
    }
  }

  // Waits for readable data; false when the server stops first.
  bool wait_readable(int fd) {
    while (!should_stop()) {
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, 20);
      if (r > 0) return true;
      if (r < 0) return false;
    }
    return false;
  }

  // True when the client closed its side (or the socket failed).
  static bool client_gone(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  void serve(int fd) {
    std::string buffer;
    while (!should_stop()) {
      auto request = read_request(fd, buffer);
      if (!request) return;
      const int now = in_progress_.fetch_add(1) + 1;
      for (int seen = max_concurrent_.load(); now > seen && !max_concurrent_.compare_exchange_weak(seen, now);) {
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
      }
      const FakeReply reply = handler_(*request);
      const bool answered = answer(fd, reply);
      in_progress_.fetch_sub(1);
      if (!answered) {
        abandoned_.fetch_add(1);
        return;
      }
      served_.fetch_add(1);
      if (reply.close) return;
    }
  }

  std::optional<RecordedRequest> read_request(int fd, std::string& data) {
    return loopback::take_request(data, [&](std::string& into) {
      if (!wait_readable(fd)) return false;
      char chunk[64 * 1024];
      const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) return false;
      into.append(chunk, static_cast<std::size_t>(n));
      return true;
    });
  }

  // Pauses, watching for a client that gives up; false when it did.
  bool pause(int fd, std::chrono::milliseconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
      if (stop_.load() || client_gone(fd)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return !client_gone(fd);
  }

  bool send_all(int fd, const std::string& out) {
    for (std::size_t sent = 0; sent < out.size();) {
      if (stop_.load()) return false;
      const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool answer(int fd, const FakeReply& reply) {
    if (!pause(fd, reply.delay)) return false;
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Fake\r\n";
    head += "Content-Type: " + reply.content_type + "\r\n";
    head += reply.close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    if (reply.pieces.empty()) {
      head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
      return send_all(fd, head + reply.body);
    }
    head += "Transfer-Encoding: chunked\r\n\r\n";
    if (!send_all(fd, head)) return false;
    for (const auto& piece : reply.pieces) {
      if (!pause(fd, reply.piece_delay)) return false;
      char size[32];
      std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
      if (!piece.empty() && !send_all(fd, std::string(size) + piece + "\r\n")) return false;
    }
    if (reply.truncate) return false;
    return send_all(fd, "0\r\n\r\n");
  }

  Handler handler_;
  std::chrono::steady_clock::time_point deadline_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> served_{0};
  std::atomic<int> in_progress_{0};
  std::atomic<int> max_concurrent_{0};
  std::atomic<int> abandoned_{0};
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace vorn_test
