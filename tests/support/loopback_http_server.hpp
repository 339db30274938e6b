// A scripted HTTP/1.1 server on 127.0.0.1 for testing HTTP clients without
// the network. Header-only.
//
//   LoopbackHttpServer server({ScriptedReply{.status = 429, .headers = {{"Retry-After", "0"}}},
//                              ScriptedReply{.body = R"({"ok": true})"}});
//   client.post_json(server.url("/v1/chat/completions"), ...);
//   server.requests();  // what the client sent, in order
//
// It listens on an ephemeral port, serves one connection at a time on one
// thread and answers each request with the next scripted reply, then closes
// the connection. It stops by itself once the script is used up or its
// lifetime has passed, and at the latest when destroyed; it never waits on a
// client for long (bounded reads, bounded request size).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorn_test {

struct ScriptedReply {
  int status = 200;
  std::string body;
  // Extra response headers.
  std::vector<std::pair<std::string, std::string>> headers;
  // Wait before answering (a slow endpoint).
  std::chrono::milliseconds delay{0};
  // False: no Content-Length; the body ends when the connection closes.
  bool send_content_length = true;
  // Close the connection without answering (a failing network).
  bool drop_connection = false;
};

struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;

  // The header's value, or "" when it was not sent.
  std::string header(std::string_view name) const {
    for (const auto& [n, v] : headers)
      if (n == name) return v;
    return {};
  }
  bool has_header(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return h.first == name; });
  }
};

// What the loopback servers share: listening, and reading a request.
namespace loopback {

inline constexpr std::size_t kMaxRequestBytes = 16 * 1024 * 1024;

// A socket listening on 127.0.0.1 at a port the kernel picks (stored in
// `port`); throws naming `server` when that fails.
inline int listen_on_loopback(int backlog, const char* server, int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string(server) + ": socket() failed");
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error(std::string(server) + ": cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// The Content-Length a request head declares, capped at the request limit.
inline std::size_t content_length(const std::string& head) {
  std::string lowered = head;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto at = lowered.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::min<std::size_t>(std::stoull(lowered.substr(at + 17)), kMaxRequestBytes);
}

// The request at the start of `data`, whose head ends at `header_end` and
// whose body is `body_length` bytes (all of it already in `data`).
inline RecordedRequest parse_request(const std::string& data, std::size_t header_end, std::size_t body_length) {
  RecordedRequest request;
  const std::string head = data.substr(0, header_end);
  std::size_t line_end = head.find("\r\n");
  const std::string request_line = head.substr(0, line_end);
  const auto space1 = request_line.find(' ');
  const auto space2 = request_line.find(' ', space1 + 1);
  request.method = request_line.substr(0, space1);
  request.target = request_line.substr(space1 + 1, space2 - space1 - 1);
  while (line_end != std::string::npos && line_end < head.size()) {
    const std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string line = head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers.emplace_back(std::move(name), std::move(value));
  }
  request.body = data.substr(header_end + 4, body_length);
  return request;
}

// Takes one request off the front of `data`, calling `receive(data)` to
// append more bytes while it is incomplete; nullopt when `receive` gives up
// (false) or the request grows over the limit.
template <class Receive>
std::optional<RecordedRequest> take_request(std::string& data, Receive receive) {
  std::size_t header_end = std::string::npos;
  std::size_t body_length = 0;
  while (true) {
    if (header_end == std::string::npos) {
      header_end = data.find("\r\n\r\n");
      if (header_end != std::string::npos) body_length = content_length(data.substr(0, header_end));
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + body_length) break;
    if (data.size() > kMaxRequestBytes || !receive(data)) return std::nullopt;
  }
  RecordedRequest request = parse_request(data, header_end, body_length);
  data.erase(0, header_end + 4 + body_length);
  return request;
}

}  // namespace loopback

class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(std::vector<ScriptedReply> script,
                              std::chrono::milliseconds lifetime = std::chrono::seconds(20))
      : script_(std::move(script)), deadline_(std::chrono::steady_clock::now() + lifetime) {
    listen_fd_ = loopback::listen_on_loopback(16, "loopback server", port_);
    thread_ = std::thread([this] { serve(); });
  }

  ~LoopbackHttpServer() {
    stop_.store(true);
    thread_.join();
    ::close(listen_fd_);
  }

  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const noexcept { return port_; }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url(std::string_view path) const { return base_url() + std::string(path); }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  bool should_stop() const { return stop_.load() || std::chrono::steady_clock::now() >= deadline_; }

  void serve() {
    for (std::size_t next = 0; next < script_.size() && !should_stop();) {
      pollfd waiting{listen_fd_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (auto request = read_request(fd)) {
        {
          std::lock_guard lock(mutex_);
          requests_.push_back(std::move(*request));
        }
        answer(fd, script_[next++]);
      }
      ::close(fd);
    }
  }

  // Reads one request; nullopt when the client sends nothing usable in time.
  std::optional<RecordedRequest> read_request(int fd) {
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    std::string data;
    return loopback::take_request(data, [&](std::string& into) {
      if (should_stop()) return false;
      char buffer[64 * 1024];
      const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      into.append(buffer, static_cast<std::size_t>(n));
      return true;
    });
  }

  void answer(int fd, const ScriptedReply& reply) {
    const auto until = std::chrono::steady_clock::now() + reply.delay;
    while (std::chrono::steady_clock::now() < until && !stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (reply.drop_connection || stop_.load()) return;
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\n";
    out += "Content-Type: application/json\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
    if (reply.send_content_length) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "\r\n";
    out += reply.body;
    // A client that gave up (timeout, body limit) makes send fail: fine.
    for (std::size_t sent = 0; sent < out.size() && !stop_.load();) {
      const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
  }

  std::vector<ScriptedReply> script_;
  std::chrono::steady_clock::time_point deadline_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

}  // namespace vorn_test
