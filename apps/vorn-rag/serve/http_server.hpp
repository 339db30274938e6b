// The HTTP front end: routes of the JSON API, OpenAI-compatible chat
// completions (whole or streamed as server-sent events), the web page,
// health and metrics, over cpp-httplib.
//
// Connections wait between requests with no thread (IdleConnections). A
// request thread (as many as engine workers) serves a request that arrived
// whole from start to end, an offline answer included, in one of the
// engine's lanes; what would wait (a request still arriving, work on the
// engine, a stream) goes on a connection thread, which hands work to the
// engine's event loops and waits.
// Guards, in the order a request meets them: a request-arrival deadline
// (SocketStream's), header and URI line limits
// (the library's 8 KiB), the bearer token, the body limit, JSON validation,
// the engine's bounded queue (503 + Retry-After when full). Every error is
// answered as JSON with a stable code.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine.hpp"
#include "metrics.hpp"
#include "service.hpp"

namespace vorn_serve {

struct HttpOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port (see bind())
  // Required as `Authorization: Bearer TOKEN` on every route but GET /,
  // GET /healthz and CORS preflights; absent: no authentication.
  std::optional<std::string> token;
  // Origins browsers may call from ("*" for any); empty: no CORS headers.
  std::vector<std::string> cors_origins;
  std::size_t max_body_bytes = 1 << 20;
  std::chrono::milliseconds read_timeout{5000};   // each read, and the keep-alive wait
  std::chrono::milliseconds write_timeout{5000};  // each write
  // Time a client has to deliver a whole request once it starts one.
  std::chrono::milliseconds request_deadline{10000};
  // Connection threads: requests that wait (a request not all there yet,
  // work on the engine, a stream, a client slow to read) served at once.
  // Connections between requests and requests that arrive whole need none.
  std::size_t connection_threads = 128;
  // A connection thread idle this long exits (see ConnectionPool).
  std::chrono::milliseconds idle_thread_timeout{20000};
  int retry_after_seconds = 1;
};

class HttpServer {
 public:
  HttpServer(HttpOptions options, RagService& service, Engine& engine);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the listening socket; returns the port (the chosen one for port 0).
  // Throws `vorn_core::RuntimeError` when the address cannot be bound.
  int bind();
  // Accepts and serves until shutdown(); returns once in-flight requests
  // have been answered.
  void serve();
  // Stops accepting; requests already read are answered, later ones on open
  // connections get 503 VORN-SERVE-SHUTTING-DOWN. Safe from any thread and
  // from a signal-handling thread; returns at once.
  void shutdown();

  const Metrics& metrics() const noexcept;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn_serve
