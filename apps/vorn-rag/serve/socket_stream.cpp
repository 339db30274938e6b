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
  if (begin_ < end_) return true;
  return flush() && poll_for(POLLIN, timeout) > 0;
}

bool SocketStream::peer_closed() const {
  if (begin_ < end_) return false;
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
  if (begin_ < end_) return true;
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
  if (begin_ == end_) {
    if (!is_readable()) return -1;
    ssize_t n;
    do {
      n = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
  }
  std::size_t n = std::min(size, end_ - begin_);
  if (head_budget_ != SIZE_MAX) {
    if (n > head_budget_) {
      head_overflow_ = true;
      return -1;
    }
    head_budget_ -= n;
  }
  std::memcpy(ptr, buffer_.data() + begin_, n);
  begin_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t SocketStream::write(const char* ptr, size_t size) {
  if (out_failed_) return -1;
  out_.append(ptr, size);
  if (out_.size() >= kOutputBuffer && !flush()) return -1;
  return static_cast<ssize_t>(size);
}

bool SocketStream::flush() const {
  if (out_failed_) return false;
  std::size_t sent = 0;
  while (sent < out_.size()) {
    if (!is_writable()) break;
    const ssize_t n = ::send(socket_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  // What could not be sent never will be: the connection is done for.
  out_failed_ = sent < out_.size();
  out_.clear();
  return !out_failed_;
}

void SocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, ip, port);
}

void SocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, ip, port);
}

}  // namespace vorn_serve
