#include "curl_api.hpp"
#include "curl_multi_engine.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vorn_inference::detail {
namespace {

// Kept-alive connections stay in the cache up to this count, across all
// endpoints; far above any sensible in-flight limit.
constexpr long kMaxCachedConnections = 256;
// The I/O thread wakes at least this often even when nothing happens, so
// that a queued request's deadline is never overslept by much.
constexpr long kMaxPollMs = 200;

}  // namespace

Transfer::~Transfer() {
  if (easy) detail::curl_api().easy_cleanup(easy);
  if (header_list) detail::curl_api().slist_free_all(header_list);
}

void Transfer::wake_locked() {
  finished_cv.notify_all();
  if (abandoned || !waiter) return;
  // `loop` stays set: the hold it took is released by the resumed waiter.
  loop->post(std::exchange(waiter, {}));
}

CurlMultiEngine& CurlMultiEngine::instance() {
  static CurlMultiEngine engine;
  return engine;
}

CurlMultiEngine::CurlMultiEngine() {
  multi_ = detail::curl_api().multi_init();
  if (!multi_) throw std::bad_alloc();
  detail::curl_api().multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxCachedConnections);
  detail::curl_api().multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  thread_ = std::thread([this] { run(); });
}

CurlMultiEngine::~CurlMultiEngine() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  detail::curl_api().multi_wakeup(multi_);
  thread_.join();
  for (auto& [easy, transfer] : active_) {
    detail::curl_api().multi_remove_handle(multi_, easy);
    std::lock_guard lock(transfer->mutex);
    transfer->outcome = Transfer::Outcome::kCancelled;
    transfer->wake_locked();
  }
  active_.clear();
  for (auto& [key, origin] : origins_) {
    for (auto& transfer : origin.queued) {
      std::lock_guard lock(transfer->mutex);
      transfer->outcome = Transfer::Outcome::kCancelled;
      transfer->wake_locked();
    }
  }
  origins_.clear();
  detail::curl_api().multi_cleanup(multi_);
}

void CurlMultiEngine::submit(TransferPtr transfer) {
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(Command{Command::Kind::kSubmit, std::move(transfer)});
  }
  detail::curl_api().multi_wakeup(multi_);
}

void CurlMultiEngine::cancel(TransferPtr transfer) {
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(Command{Command::Kind::kCancel, std::move(transfer)});
  }
  detail::curl_api().multi_wakeup(multi_);
}

void CurlMultiEngine::run() {
  while (true) {
    std::vector<Command> commands;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      commands.swap(commands_);
    }
    for (auto& command : commands) apply(std::move(command));
    expire_queued();
    int running = 0;
    detail::curl_api().multi_perform(multi_, &running);
    collect_completions();
    detail::curl_api().multi_poll(multi_, nullptr, 0, static_cast<int>(poll_timeout_ms()), nullptr);
  }
}

void CurlMultiEngine::apply(Command command) {
  const TransferPtr& transfer = command.transfer;
  {
    std::lock_guard lock(transfer->mutex);
    if (transfer->finished_locked()) return;
  }
  Origin& origin = origins_[transfer->origin];
  if (command.kind == Command::Kind::kSubmit) {
    if (origin.in_flight < transfer->max_in_flight) {
      start(transfer);
    } else {
      origin.queued.push_back(transfer);
    }
    return;
  }
  // Cancel: a queued request leaves its queue, a running one its handle.
  const auto queued = std::find(origin.queued.begin(), origin.queued.end(), transfer);
  if (queued != origin.queued.end()) {
    origin.queued.erase(queued);
    finish(transfer, Transfer::Outcome::kCancelled, CURLE_ABORTED_BY_CALLBACK);
    return;
  }
  const bool was_running = active_.erase(transfer->easy) > 0;
  if (was_running) {
    detail::curl_api().multi_remove_handle(multi_, transfer->easy);
    --origin.in_flight;
  }
  finish(transfer, Transfer::Outcome::kCancelled, CURLE_ABORTED_BY_CALLBACK);
  start_queued(transfer->origin);
}

void CurlMultiEngine::start(const TransferPtr& transfer) {
  // The time spent queued counts: curl gets what is left of the deadline.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline - Transfer::Clock::now());
  if (left.count() <= 0) {
    finish(transfer, Transfer::Outcome::kQueueTimeout, CURLE_OPERATION_TIMEDOUT);
    return;
  }
  detail::curl_api().easy_setopt(transfer->easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
  if (detail::curl_api().multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
    finish(transfer, Transfer::Outcome::kCurl, CURLE_OUT_OF_MEMORY);
    return;
  }
  active_.emplace(transfer->easy, transfer);
  ++origins_[transfer->origin].in_flight;
}

void CurlMultiEngine::start_queued(const std::string& key) {
  Origin& origin = origins_[key];
  while (!origin.queued.empty() && origin.in_flight < origin.queued.front()->max_in_flight) {
    TransferPtr next = std::move(origin.queued.front());
    origin.queued.pop_front();
    start(next);
  }
  if (origin.in_flight == 0 && origin.queued.empty()) origins_.erase(key);
}

void CurlMultiEngine::finish(const TransferPtr& transfer, Transfer::Outcome outcome, CURLcode code) {
  if (outcome == Transfer::Outcome::kCurl) {
    long status = 0;
    detail::curl_api().easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    transfer->response.status = status;
  }
  std::lock_guard lock(transfer->mutex);
  transfer->outcome = outcome;
  transfer->code = code;
  transfer->wake_locked();
}

void CurlMultiEngine::collect_completions() {
  int left = 0;
  while (CURLMsg* message = detail::curl_api().multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    const auto found = active_.find(easy);
    if (found == active_.end()) continue;
    TransferPtr transfer = std::move(found->second);
    active_.erase(found);
    detail::curl_api().multi_remove_handle(multi_, easy);
    --origins_[transfer->origin].in_flight;
    finish(transfer, Transfer::Outcome::kCurl, code);
    start_queued(transfer->origin);
  }
}

void CurlMultiEngine::expire_queued() {
  const auto now = Transfer::Clock::now();
  for (auto& [key, origin] : origins_) {
    for (auto it = origin.queued.begin(); it != origin.queued.end();) {
      if ((*it)->deadline <= now) {
        finish(*it, Transfer::Outcome::kQueueTimeout, CURLE_OPERATION_TIMEDOUT);
        it = origin.queued.erase(it);
      } else {
        ++it;
      }
    }
  }
}

long CurlMultiEngine::poll_timeout_ms() {
  long wait = kMaxPollMs;
  long curl_wants = -1;
  detail::curl_api().multi_timeout(multi_, &curl_wants);
  if (curl_wants >= 0) wait = std::min(wait, curl_wants);
  const auto now = Transfer::Clock::now();
  for (const auto& [key, origin] : origins_) {
    for (const auto& transfer : origin.queued) {
      const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline - now).count();
      wait = std::min<long>(wait, std::max<long>(0, static_cast<long>(until) + 1));
    }
  }
  return wait;
}

// ---- waiting ------------------------------------------------------------------

bool TransferAwaiter::await_ready() {
  std::lock_guard lock(transfer.mutex);
  return transfer.ready_locked();
}

bool TransferAwaiter::await_suspend(std::coroutine_handle<> handle) {
  vorn_core::EventLoop* loop = vorn_core::EventLoop::current();
  std::unique_lock lock(transfer.mutex);
  if (!loop) {
    // No loop to go back to: this thread waits, as a blocking call would.
    transfer.finished_cv.wait(lock, [this] { return transfer.ready_locked(); });
    return false;
  }
  if (transfer.ready_locked()) return false;
  transfer.waiter = handle;
  transfer.loop = loop;
  // Taken under the transfer's lock, so the I/O thread cannot post before
  // the loop knows to wait for it.
  loop->hold();
  return true;
}

void TransferAwaiter::await_resume() {
  vorn_core::EventLoop* loop = nullptr;
  {
    std::lock_guard lock(transfer.mutex);
    loop = std::exchange(transfer.loop, nullptr);
  }
  if (loop) loop->release();
}

TransferGuard::~TransferGuard() {
  vorn_core::EventLoop* loop = nullptr;
  bool running = false;
  {
    std::lock_guard lock(transfer_->mutex);
    transfer_->abandoned = true;
    transfer_->waiter = {};
    loop = std::exchange(transfer_->loop, nullptr);
    running = !transfer_->finished_locked();
  }
  if (running) CurlMultiEngine::instance().cancel(transfer_);
  if (loop) loop->release();
}

std::string origin_of(std::string_view url) {
  std::string scheme = "http";
  if (const auto sep = url.find("://"); sep != std::string_view::npos) {
    scheme = std::string(url.substr(0, sep));
    url.remove_prefix(sep + 3);
  }
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  std::string_view authority = url.substr(0, url.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string host(authority);
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  // An explicit port stays; otherwise the scheme's.
  const auto bracket = host.rfind(']');
  const auto colon = host.rfind(':');
  const bool has_port = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (!has_port) host += scheme == "https" ? ":443" : ":80";
  return scheme + "://" + host;
}

}  // namespace vorn_inference::detail
