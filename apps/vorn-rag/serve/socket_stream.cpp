#include "socket_stream.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn_serve {
namespace {

// Output held back at most; a larger write goes out at once.
constexpr std::size_t kOutputBuffer = 16 * 1024;
// The input buffer's size between requests.
constexpr std::size_t kInputBuffer = 8 * 1024;
// Bytes of one request kept to be read again at most: a larger request,
// read without waiting, is left to a thread that may wait (which keeps
// none), so a large body never stays in a connection's buffer.
constexpr std::size_t kReplayLimit = 64 * 1024;

void address_of(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    port = ntohs(a.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
    ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    port = ntohs(a.sin6_port);
  }
  ip = text;
}

}  // namespace

SocketStream::SocketStream(int socket, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout)
    : socket_(socket), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

void SocketStream::begin_request(std::chrono::milliseconds deadline, std::size_t head_budget) {
  deadline_ = Clock::now() + deadline;
  head_budget_ = head_budget;
  head_overflow_ = false;
  deadline_passed_ = false;
  start_ = pos_;
  sent_any_ = false;
  if (in_.size() > kInputBuffer && end_ - pos_ <= kInputBuffer) {
    // A large request before this one grew the buffer: it goes back to its size.
    std::vector<char> smaller(kInputBuffer);
    std::memcpy(smaller.data(), in_.data() + pos_, end_ - pos_);
    in_.swap(smaller);
    end_ -= pos_;
    start_ = pos_ = 0;
  }
}

void SocketStream::replay(std::size_t head_budget) {
  pos_ = start_;
  head_budget_ = head_budget;
  head_overflow_ = false;
  deadline_passed_ = false;
  starved_ = false;
  out_.clear();
}

void SocketStream::set_waiting(bool waiting) noexcept {
  waiting_ = waiting;
  starved_ = false;
}

ssize_t SocketStream::receive(int flags) {
  if (end_ == in_.size()) {
    // What may be read again is kept: the current request's bytes when
    // reading without waiting, else none that were read.
    const std::size_t keep_from = waiting_ ? pos_ : start_;
    if (keep_from > 0) {
      std::memmove(in_.data(), in_.data() + keep_from, end_ - keep_from);
      pos_ -= keep_from;
      end_ -= keep_from;
      start_ = start_ > keep_from ? start_ - keep_from : 0;
    }
    if (end_ == in_.size()) {
      if (!waiting_ && in_.size() >= kReplayLimit) {
        errno = EWOULDBLOCK;
        return -1;
      }
      in_.resize(std::max(kInputBuffer, in_.size() * 2));
    }
  }
  ssize_t n;
  do {
    n = ::recv(socket_, in_.data() + end_, in_.size() - end_, flags);
  } while (n < 0 && errno == EINTR);
  if (n > 0) end_ += static_cast<std::size_t>(n);
  return n;
}

int SocketStream::poll_for(short events, std::chrono::milliseconds timeout) const {
  pollfd fd{socket_, events, 0};
  for (;;) {
    const int n = ::poll(&fd, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && (fd.revents & (events | POLLHUP | POLLERR))) return 1;
    return n < 0 ? -1 : 0;
  }
}

std::chrono::milliseconds SocketStream::read_wait() const {
  if (deadline_ == Clock::time_point::max()) return read_timeout_;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
  return std::min(read_timeout_, std::max(left, std::chrono::milliseconds(0)));
}

bool SocketStream::wait_readable(std::chrono::milliseconds timeout) const {
  if (buffered()) return true;
  return flush() && poll_for(POLLIN, timeout) > 0;
}

bool SocketStream::peer_closed() const {
  if (buffered()) return false;
  pollfd fd{socket_, POLLIN, 0};
  int n = 0;
  do {
    n = ::poll(&fd, 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  if ((fd.revents & (POLLHUP | POLLERR)) != 0) return true;
  char byte = 0;
  ssize_t got = 0;
  do {
    got = ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool SocketStream::is_readable() const {
  if (buffered()) return true;
  if (!waiting_) {
    // Whether bytes wait on the socket; nothing is sent first: output
    // written so far (a 100 Continue) goes out only once the request is
    // known to be read through.
    pollfd fd{socket_, POLLIN, 0};
    if (::poll(&fd, 1, 0) > 0) return true;
    starved_ = true;
    return false;
  }
  if (!flush()) return false;
  if (Clock::now() >= deadline_) {
    deadline_passed_ = true;
    return false;
  }
  const auto wait = read_wait();
  if (poll_for(POLLIN, wait) > 0) return true;
  // A wait the deadline cut short ended at the deadline.
  if (wait < read_timeout_) deadline_passed_ = true;
  return false;
}

bool SocketStream::is_writable() const { return poll_for(POLLOUT, write_timeout_) > 0; }

ssize_t SocketStream::read(char* ptr, size_t size) {
  if (!buffered()) {
    if (waiting_) {
      if (!is_readable()) return -1;
      const ssize_t n = receive(0);
      if (n <= 0) return n;
    } else {
      const ssize_t n = receive(MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        starved_ = true;
        return -1;
      }
      if (n <= 0) return n;
    }
  }
  std::size_t n = std::min(size, end_ - pos_);
  if (head_budget_ != SIZE_MAX) {
    if (n > head_budget_) {
      head_overflow_ = true;
      return -1;
    }
    head_budget_ -= n;
  }
  std::memcpy(ptr, in_.data() + pos_, n);
  pos_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t SocketStream::write(const char* ptr, size_t size) {
  if (out_failed_) return -1;
  out_.append(ptr, size);
  if (out_.size() >= kOutputBuffer && !(waiting_ ? flush() : flush_available())) return -1;
  return static_cast<ssize_t>(size);
}

bool SocketStream::send_out(bool wait) const {
  std::size_t sent = 0;
  while (sent < out_.size()) {
    // Sent first, waited for only when the socket takes no more: under
    // load it takes a response at once, and a poll before each send would
    // be a system call for nothing.
    const ssize_t n = ::send(socket_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) break;  // the rest waits for a flush that may wait
      if (is_writable()) continue;
    }
    out_failed_ = true;
    break;
  }
  if (sent > 0) sent_any_ = true;
  out_.erase(0, sent);
  return !out_failed_;
}

bool SocketStream::flush() const {
  if (out_failed_) return false;
  send_out(/*wait=*/true);
  // What could not be sent never will be: the connection is done for.
  if (!out_.empty()) out_failed_ = true;
  out_.clear();
  return !out_failed_;
}

bool SocketStream::flush_available() {
  if (out_failed_) return false;
  return send_out(/*wait=*/false);
}

// The library asks for both addresses with every request; they do not
// change over a connection, so each is looked up once.
void SocketStream::cached_address(Address& cache, int (*lookup)(int, sockaddr*, socklen_t*), std::string& ip,
                                  int& port) const {
  if (!cache.known) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (lookup(socket_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, cache.ip, cache.port);
    cache.known = true;
  }
  ip = cache.ip;
  port = cache.port;
}

void SocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  cached_address(remote_, ::getpeername, ip, port);
}

void SocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
  cached_address(local_, ::getsockname, ip, port);
}

}  // namespace vorn_serve
