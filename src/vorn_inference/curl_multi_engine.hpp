// Private to vorn_inference: the process-wide I/O thread that drives every
// HTTP exchange through one libcurl multi handle.
//
// One multi handle means one connection cache: exchanges with the same
// endpoint reuse its kept-alive connections (or share one HTTP/2 connection)
// instead of paying a new TCP and TLS handshake each time. The thread only
// moves bytes; whoever waits for an exchange is woken by it (a coroutine is
// posted back to its own event loop, a blocking caller is notified) and does
// all the decoding on its own thread.
//
// Requests beyond an endpoint's in-flight limit wait in a queue of that
// endpoint (origin: scheme, host and port) in arrival order; the wait counts
// against the exchange's deadline.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "vorn_core/event_loop.hpp"
#include "vorn_inference/http_client.hpp"

namespace vorn_inference::detail {

// One exchange, shared by its waiter and the I/O thread.
class Transfer {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Outcome { kPending, kCurl, kCancelled, kQueueTimeout };

  Transfer() = default;
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // ---- set before submission, then read-only ------------------------------
  CURL* easy = nullptr;
  curl_slist* header_list = nullptr;
  std::string url;
  std::string body;  // curl reads the request body from here
  std::string origin;
  std::size_t max_in_flight = 1;
  std::size_t max_response_bytes = 0;
  Clock::time_point deadline;
  // The 2xx body goes to `pending` piece by piece for the waiter to take.
  bool streaming = false;

  // ---- written by the I/O thread, read by the waiter once finished ---------
  HttpResponse response;
  char error_buffer[CURL_ERROR_SIZE] = {};
  bool over_limit = false;
  std::size_t received = 0;

  // ---- guarded by `mutex` ---------------------------------------------------
  std::mutex mutex;
  std::condition_variable finished_cv;
  std::string pending;
  Outcome outcome = Outcome::kPending;
  CURLcode code = CURLE_OK;
  // The suspended coroutine and the loop that resumes it.
  std::coroutine_handle<> waiter;
  vorn_core::EventLoop* loop = nullptr;
  // The waiter's frame went away: nothing may be resumed any more.
  bool abandoned = false;

  bool finished_locked() const noexcept { return outcome != Outcome::kPending; }
  // Whether a waiter has something to act on.
  bool ready_locked() const noexcept { return finished_locked() || !pending.empty(); }
  // Wakes whoever waits. Caller holds `mutex`.
  void wake_locked();
};
using TransferPtr = std::shared_ptr<Transfer>;

class CurlMultiEngine {
 public:
  // The engine of this process, started on first use.
  static CurlMultiEngine& instance();

  ~CurlMultiEngine();
  CurlMultiEngine(const CurlMultiEngine&) = delete;
  CurlMultiEngine& operator=(const CurlMultiEngine&) = delete;

  void submit(TransferPtr transfer);
  // Stops the exchange unless it already ended; it then ends as cancelled.
  // Any thread; does not wait.
  void cancel(TransferPtr transfer);

 private:
  CurlMultiEngine();

  struct Command {
    enum class Kind { kSubmit, kCancel } kind;
    TransferPtr transfer;
  };
  struct Origin {
    std::size_t in_flight = 0;
    std::deque<TransferPtr> queued;
  };

  void run();
  void apply(Command command);
  void start(const TransferPtr& transfer);
  void start_queued(const std::string& origin);
  void finish(const TransferPtr& transfer, Transfer::Outcome outcome, CURLcode code);
  void collect_completions();
  void expire_queued();
  long poll_timeout_ms();

  CURLM* multi_ = nullptr;
  std::mutex mutex_;
  std::vector<Command> commands_;
  bool stopping_ = false;
  // I/O thread only.
  std::unordered_map<CURL*, TransferPtr> active_;
  std::unordered_map<std::string, Origin> origins_;
  std::thread thread_;
};

// Waits for a transfer to have news (a streamed piece or its end): suspends
// the coroutine on its event loop, which is kept open meanwhile; without a
// loop in this thread it blocks the thread instead.
struct TransferAwaiter {
  Transfer& transfer;
  vorn_core::EventLoop* held = nullptr;

  bool await_ready();
  bool await_suspend(std::coroutine_handle<> handle);
  void await_resume();
};

// Owns the waiter's side of a transfer: when the coroutine frame goes away
// before the exchange ended (the loop was torn down, an error was thrown),
// the transfer stops and will never resume the frame.
class TransferGuard {
 public:
  explicit TransferGuard(TransferPtr transfer) : transfer_(std::move(transfer)) {}
  ~TransferGuard();
  TransferGuard(const TransferGuard&) = delete;
  TransferGuard& operator=(const TransferGuard&) = delete;

 private:
  TransferPtr transfer_;
};

// The origin ("https://host:443") a URL's in-flight limit counts against.
std::string origin_of(std::string_view url);

}  // namespace vorn_inference::detail
