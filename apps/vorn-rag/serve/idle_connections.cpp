#include "idle_connections.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <utility>
#include <vector>

namespace vorn_serve {
namespace {

constexpr std::uint64_t kWakeId = 0;
// How often connections are looked over for the keep-alive time.
constexpr std::chrono::milliseconds kSweepInterval{100};

int checked(int fd, const char* what) {
  if (fd < 0) throw std::system_error(errno, std::generic_category(), what);
  return fd;
}

}  // namespace

Connection::~Connection() {
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

IdleConnections::IdleConnections(std::chrono::milliseconds keep_alive)
    : keep_alive_(keep_alive),
      epoll_(checked(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wake_(checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")),
      next_sweep_(Clock::now() + kSweepInterval) {
  epoll_event event{};
  event.events = EPOLLIN;  // level-triggered: wakes every waiting thread once closed
  event.data.u64 = kWakeId;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
}

IdleConnections::~IdleConnections() {
  close();
  ::close(wake_);
  ::close(epoll_);
}

void IdleConnections::add(std::shared_ptr<Connection> connection) {
  std::unique_lock lock(mutex_);
  if (closed_) {
    lock.unlock();
    return;  // `connection` goes, and closes, here
  }
  const std::uint64_t id = next_id_++;
  const int socket = connection->socket;
  const bool watched = std::exchange(connection->watched, true);
  held_.emplace(id, Held{std::move(connection), Clock::now()});
  // Armed for one event: the thread that takes it is its only reader.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  event.data.u64 = id;
  // Under the lock: close() or an expiry could otherwise close the socket
  // (and let its number be reused) between the two.
  ::epoll_ctl(epoll_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event);
}

void IdleConnections::take_expired(Clock::time_point now, std::vector<std::shared_ptr<Connection>>& expired) {
  if (now < next_sweep_) return;
  next_sweep_ = now + kSweepInterval;
  for (auto it = held_.begin(); it != held_.end();) {
    if (now - it->second.since >= keep_alive_) {
      expired.push_back(std::move(it->second.connection));
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<Connection> IdleConnections::take(std::chrono::milliseconds wait) {
  epoll_event event{};
  int n;
  do {
    n = ::epoll_wait(epoll_, &event, 1, static_cast<int>(wait.count()));
  } while (n < 0 && errno == EINTR);
  std::vector<std::shared_ptr<Connection>> expired;  // closed outside the lock
  std::shared_ptr<Connection> taken;
  {
    std::lock_guard lock(mutex_);
    take_expired(Clock::now(), expired);
    if (closed_) return nullptr;
    if (n == 1 && event.data.u64 != kWakeId) {
      if (auto it = held_.find(event.data.u64); it != held_.end()) {
        taken = std::move(it->second.connection);
        held_.erase(it);
      }
    }
  }
  return taken;
}

void IdleConnections::close() {
  std::unordered_map<std::uint64_t, Held> held;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    held.swap(held_);
  }
  const std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
}

std::size_t IdleConnections::size() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

}  // namespace vorn_serve
