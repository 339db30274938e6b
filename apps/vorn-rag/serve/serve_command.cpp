#include "serve_command.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "components.hpp"
#include "engine.hpp"
#include "http_server.hpp"
#include "mcp_server.hpp"
#include "service.hpp"
#include "vorn_core/error.hpp"

namespace vorn_cli {
namespace {

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

vorn_serve::ServiceOptions service_options(const StoreOptions& store, const ModelOptions& model,
                                           const std::string& strategy, const std::string& retriever,
                                           std::int64_t top_k) {
  vorn_serve::ServiceOptions o;
  o.store = store;
  o.model = model;
  o.defaults.strategy = strategy;
  o.defaults.retriever = retriever;
  o.defaults.top_k = top_k;
  return o;
}

bool is_loopback(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// SIGTERM and SIGINT are blocked in every thread (the mask is set before
// any starts, and threads inherit it) and taken by one waiting thread, which
// starts the graceful shutdown; no other thread is interrupted by them.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  const sigset_t& set() const noexcept { return set_; }

 private:
  sigset_t set_{}, previous_{};
};

// Runs `action` on the first blocked signal; joined before what `action`
// touches goes away (declare it after that).
class SignalWaiter {
 public:
  template <class F>
  SignalWaiter(const BlockedSignals& signals, F action)
      : thread_([this, set = signals.set(), action] {
          const timespec tick{0, 200'000'000};
          while (!stop_.load()) {
            if (sigtimedwait(&set, nullptr, &tick) > 0) {
              action();
              return;
            }
          }
        }) {}
  ~SignalWaiter() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

CLI::App* add_serve_command(CLI::App& app, ServeOptions& o) {
  auto* cmd = app.add_subcommand("serve", "Answer over HTTP: a JSON API, OpenAI-compatible chat, a web page");
  cmd->add_option("--host", o.host, "Address to listen on (loopback by default)")->capture_default_str();
  cmd->add_option("--port", o.port, "Port (0: any free port)")->check(CLI::Range(0, 65535))->capture_default_str();
  cmd->add_option("--token-env", o.token_env,
                  "Environment variable holding the bearer token clients must send (none: no authentication)");
  cmd->add_option("--cors-origin", o.cors_origins, "An origin browsers may call from (repeatable; * for any)");
  cmd->add_option("--strategy", o.strategy, "Default strategy")->check(CLI::IsMember(kStrategies))->capture_default_str();
  cmd->add_option("--retriever", o.retriever, "Default retriever")
      ->check(CLI::IsMember({"vector", "bm25", "hybrid"}))
      ->capture_default_str();
  cmd->add_option("--top-k", o.top_k, "Default chunks to retrieve")->check(CLI::Range(1, 100))->capture_default_str();
  cmd->add_option("--workers", o.workers, "Threads answering requests (0: one per core)")->capture_default_str();
  cmd->add_option("--queue", o.queue, "Requests that may wait for a worker; more get 503")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}))
      ->capture_default_str();
  cmd->add_option("--connections", o.connections,
                  "Requests that wait (slow senders, streams, model calls) served at once")
      ->check(CLI::Range(std::size_t{1}, std::size_t{4096}))
      ->capture_default_str();
  cmd->add_option("--max-body", o.max_body_bytes, "Largest request body in bytes")
      ->check(CLI::Range(std::size_t{1024}, std::size_t{64} << 20))
      ->capture_default_str();
  cmd->add_option("--read-timeout", o.read_timeout_seconds, "Seconds a read may wait")
      ->check(CLI::Range(0.05, 3600.0))
      ->capture_default_str();
  cmd->add_option("--write-timeout", o.write_timeout_seconds, "Seconds a write may wait")
      ->check(CLI::Range(0.05, 3600.0))
      ->capture_default_str();
  cmd->add_option("--request-deadline", o.request_deadline_seconds, "Seconds a client has to send a whole request")
      ->check(CLI::Range(0.05, 3600.0))
      ->capture_default_str();
  return cmd;
}

CLI::App* add_mcp_command(CLI::App& app, McpOptions& o) {
  auto* cmd = app.add_subcommand("mcp", "Serve the search and ask tools over MCP (JSON-RPC on stdin/stdout)");
  cmd->add_option("--strategy", o.strategy, "Default strategy")->check(CLI::IsMember(kStrategies))->capture_default_str();
  cmd->add_option("--retriever", o.retriever, "Default retriever")
      ->check(CLI::IsMember({"vector", "bm25", "hybrid"}))
      ->capture_default_str();
  cmd->add_option("--top-k", o.top_k, "Default chunks to retrieve")->check(CLI::Range(1, 100))->capture_default_str();
  return cmd;
}

int serve_command(const StoreOptions& store, const ModelOptions& model, const ServeOptions& options,
                  std::ostream& out, std::ostream& err) {
  // First: a thread started while building what follows (a model client's,
  // say) would otherwise be one the kernel may pick to take SIGTERM, and
  // its default action ends the process at once.
  BlockedSignals signals;
  vorn_serve::HttpOptions http;
  http.host = options.host;
  http.port = options.port;
  if (!options.token_env.empty()) {
    const char* token = std::getenv(options.token_env.c_str());
    if (!token || !*token) {
      throw vorn_core::InvalidValueError("The variable " + options.token_env +
                                  " named by --token-env is not set or empty. Set it to the token and retry.");
    }
    http.token = token;
  } else if (!is_loopback(options.host)) {
    err << "warning: serving on " << options.host << " without --token-env: anyone who can reach it may ask.\n";
  }
  http.cors_origins = options.cors_origins;
  http.max_body_bytes = options.max_body_bytes;
  http.read_timeout = millis(options.read_timeout_seconds);
  http.write_timeout = millis(options.write_timeout_seconds);
  http.request_deadline = millis(options.request_deadline_seconds);
  http.connection_threads = options.connections;

  vorn_serve::RagService service(service_options(store, model, options.strategy, options.retriever, options.top_k));
  vorn_serve::EngineOptions engine_options;
  engine_options.workers = options.workers ? options.workers : std::max(1u, std::thread::hardware_concurrency());
  engine_options.queue_capacity = options.queue;
  vorn_serve::Engine engine(engine_options);
  vorn_serve::HttpServer server(http, service, engine);
  const int port = server.bind();
  SignalWaiter waiter(signals, [&server] { server.shutdown(); });
  out << "Serving " << service.chunk_count() << " chunks of " << store.path.string() << " on http://"
      << (options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host) << ":" << port
      << "/ (Ctrl-C or SIGTERM to stop)" << std::endl;
  server.serve();
  engine.stop();
  out << "Stopped." << std::endl;
  return 0;
}

int mcp_command(const StoreOptions& store, const ModelOptions& model, const McpOptions& options, std::istream& in,
                std::ostream& out) {
  vorn_serve::RagService service(service_options(store, model, options.strategy, options.retriever, options.top_k));
  vorn_mcp::McpServer server(service);
  server.run(in, out);
  return 0;
}

}  // namespace vorn_cli
