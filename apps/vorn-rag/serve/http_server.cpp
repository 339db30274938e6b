#include "http_server.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>

#include <httplib.h>

#include "chat.hpp"
#include "connection_pool.hpp"
#include "engine_call.hpp"
#include "event_channel.hpp"
#include "idle_connections.hpp"
#include "requests.hpp"
#include "responses.hpp"
#include "serve_errors.hpp"
#include "socket_stream.hpp"
#include "thread_seats.hpp"
#include "vorn_core/event_loop.hpp"
#include "web_page.hpp"

namespace vorn_serve {
namespace {

using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;

// Bytes a request's line and headers may take in all.
constexpr std::size_t kHeadBudget = 32 * 1024;
// A server that answers a request per connection would pay a handshake per
// request; this keeps a busy client's connection open.
constexpr std::size_t kKeepAliveRequests = 100000;
constexpr int kListenBacklog = 1024;
// Connection threads that may answer on their own thread, per engine worker:
// enough for the connections of a few clients at once, few enough that the
// per-thread state answering leaves stays small (a first-in-first-out
// stream of connections over 128 threads grew it by megabytes).
constexpr std::size_t kAnsweringThreadsPerWorker = 2;
// How often a connection waiting for its answer looks whether the client left.
constexpr std::chrono::milliseconds kClientCheckInterval{100};
// How long a request thread waits for a connection before it looks whether
// the server stops.
constexpr std::chrono::milliseconds kRequestThreadWait{100};

// The connection the calling thread serves and when its request began.
thread_local SocketStream* t_stream = nullptr;
thread_local Clock::time_point t_started;
thread_local bool t_counted = false;
// The calling thread serves requests without waiting (a request thread).
thread_local bool t_without_waiting = false;
// The request being served needs a thread that may wait: a connection thread
// reads it again and serves it.
thread_local bool t_hand_over = false;

// Thrown on a request thread by work that would wait.
struct NeedsWaitingThread {};

// Runs what httplib would start a thread for on its own thread: accepting a
// connection only hands it to the idle connections.
class InlineTasks final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> job) override { job(); }
  void shutdown() override {}
};

Route route_of(const std::string& path) {
  if (path == "/v1/ask") return Route::kAsk;
  if (path == "/v1/search") return Route::kSearch;
  if (path == "/v1/sources") return Route::kSources;
  if (path == "/v1/chat/completions") return Route::kChat;
  if (path == "/v1/models") return Route::kModels;
  if (path == "/healthz") return Route::kHealth;
  if (path == "/metrics") return Route::kMetrics;
  if (path == "/" || path == "/index.html") return Route::kPage;
  return Route::kOther;
}

// Compares without an early exit, so timing does not tell how much of a
// guessed token was right.
bool constant_time_equal(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string completion_id() {
  static std::atomic<std::uint64_t> counter{0};
  static const auto start = static_cast<std::uint64_t>(std::time(nullptr));
  return "chatcmpl-" + std::to_string(start) + "-" + std::to_string(counter.fetch_add(1));
}

AskRequest ask_of(const ChatRequest& chat, std::string question) {
  AskRequest ask;
  ask.question = std::move(question);
  ask.strategy = chat.model;
  ask.retriever = chat.retriever;
  ask.top_k = chat.top_k;
  ask.filter = chat.filter;
  return ask;
}

vorn_core::Task<AskResult> answer_chat(RagService& service, ChatRequest chat, std::stop_token stop) {
  std::string question = co_await service.standalone_question(chat.messages, stop);
  // Named, not a braced temporary: GCC 12 destroys a braced temporary in a
  // co_await expression twice.
  RunControls controls;
  controls.stop = stop;
  co_return co_await service.ask(ask_of(chat, std::move(question)), std::move(controls));
}

// The answer goes out as the model writes it; an offline answer, which
// comes whole, in pieces of a few words. The sources follow either way.
vorn_core::Task<void> stream_chat(RagService& service, ChatRequest chat, CompletionIdentity identity,
                                  std::shared_ptr<EventChannel> channel, std::stop_token stop) {
  try {
    channel->push(chunk_event_role(identity));
    std::string question = co_await service.standalone_question(chat.messages, stop);
    std::size_t streamed = 0;  // bytes of the answer already sent
    RunControls controls;
    controls.stop = stop;
    controls.on_text = [&streamed, &channel, &identity](std::string_view piece) {
      if (piece.empty()) return;
      streamed += piece.size();
      channel->push(chunk_event_text(identity, std::string(piece)));
    };
    AskResult result = co_await service.ask(ask_of(chat, std::move(question)), std::move(controls));
    const std::string text = answer_with_sources(result);
    // What the model streamed is the answer, as the whole response says.
    const std::size_t from = streamed > 0 ? std::min(result.answer.size(), text.size()) : 0;
    for (auto& piece : stream_pieces(text.substr(from))) channel->push(chunk_event_text(identity, piece));
    channel->push(chunk_event_stop(identity, result));
  } catch (...) {
    channel->push(error_event(error_json(error_reply(std::current_exception()))));
  }
  channel->push(kDoneEvent, /*last=*/true);
}

// Ends a request's work once its connection is no longer served: when the
// client closed it, or when the response is over (harmless then, the work
// being done).
class ClientWatch {
 public:
  explicit ClientWatch(SocketStream* stream) : stream_(stream) {}
  ClientWatch(const ClientWatch&) = delete;
  ClientWatch& operator=(const ClientWatch&) = delete;
  ~ClientWatch() { source_.request_stop(); }

  std::stop_token token() const { return source_.get_token(); }
  // True (and the work told to stop) when the client left.
  bool client_left() {
    if (stream_ == nullptr || !stream_->peer_closed()) return false;
    source_.request_stop();
    return true;
  }

 private:
  SocketStream* stream_;
  std::stop_source source_;
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(HttpOptions options, RagService& service, Engine& engine)
      : options_(std::move(options)),
        service_(service),
        engine_(engine),
        answer_seats_(kAnsweringThreadsPerWorker * engine.options().workers),
        server_(*this) {
    configure();
  }

  int bind() {
    const int port = options_.port == 0 ? server_.bind_to_any_port(options_.host)
                                        : (server_.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port <= 0) {
      throw vorn_core::OperationError("Cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                                    ". Free the port or pass another --port, then retry.");
    }
    // The library listens with a backlog of 5: a burst of new connections
    // would see dropped handshakes and second-long retries.
    ::listen(server_.listening_socket(), kListenBacklog);
    return port;
  }

  void serve() {
    std::vector<std::thread> request_threads;
    for (std::size_t i = 0; i < engine_.options().workers; ++i) {
      request_threads.emplace_back([this] { serve_requests(); });
    }
    server_.listen_after_bind();
    // Connections between requests are closed; requests being served are
    // answered (their connections closed after them).
    requests_stopping_.store(true);
    idle_.close();
    for (auto& t : request_threads) t.join();
    connection_threads_.shutdown();
  }

  void shutdown() {
    draining_.store(true);
    server_.stop();
  }

  const Metrics& metrics() const noexcept { return metrics_; }

 private:
  class Server final : public httplib::Server {
   public:
    explicit Server(Impl& owner) : owner_(owner) {}
    int listening_socket() const { return svr_sock_; }

    // The requests of a connection whose bytes have begun to arrive, read,
    // answered and written without waiting for anything. What would wait (a
    // request not all there yet, work on the engine, a client slow to take
    // the response) goes on on a connection thread, which may.
    void serve_without_waiting(std::shared_ptr<Connection> connection) {
      SocketStream& stream = connection->stream;
      stream.set_waiting(false);
      t_stream = &stream;
      for (;;) {
        stream.begin_request(owner_.options_.request_deadline, kHeadBudget);
        t_hand_over = false;
        bool closed = false;
        const bool last = connection->served + 1 == kKeepAliveRequests || owner_.draining_.load();
        const bool ok = process_request(stream, last, closed, nullptr);
        if (stream.starved() || t_hand_over) {
          stream.replay(kHeadBudget);
          owner_.hand_over(std::move(connection), /*replay=*/true, false);
          break;
        }
        ++connection->served;
        const bool keep = ok && !closed && !last;
        if (!stream.flush_available()) break;
        if (stream.pending_output()) {
          owner_.hand_over(std::move(connection), /*replay=*/false, keep);
          break;
        }
        if (!keep) break;
        // A request sent along with the last one is read already: no event
        // of the idle set would tell of it.
        if (!stream.has_input()) {
          owner_.idle_.add(std::move(connection));
          break;
        }
      }
      t_stream = nullptr;
    }

    // On a connection thread: the request a request thread could not serve
    // (`replay`), or the rest of its response, and any request sent along
    // with it; then the connection goes back with the idle ones, unless it
    // is done.
    void serve_waiting(const std::shared_ptr<Connection>& connection, bool replay, bool keep) {
      SocketStream& stream = connection->stream;
      stream.set_waiting(true);
      t_stream = &stream;
      for (bool next = replay;; next = true) {
        if (next) {
          if (!replay) stream.begin_request(owner_.options_.request_deadline, kHeadBudget);
          replay = false;
          bool closed = false;
          const bool last = connection->served + 1 == kKeepAliveRequests || owner_.draining_.load();
          keep = process_request(stream, last, closed, nullptr) && !closed && !last;
          ++connection->served;
        }
        // The response leaves in one piece, not head and body apart.
        if (!stream.flush()) keep = false;
        if (!keep || !stream.has_input()) break;
      }
      t_stream = nullptr;
      if (keep && !owner_.draining_.load()) owner_.idle_.add(connection);
    }

   private:
    // A new connection waits for its first request with the idle ones.
    bool process_and_close_socket(socket_t sock) override {
      const int on = 1;
      ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      const HttpOptions& o = owner_.options_;
      owner_.idle_.add(std::make_shared<Connection>(sock, o.read_timeout, o.write_timeout));
      return true;
    }

    Impl& owner_;
  };

  // A request thread: serves the connections whose requests arrive, one
  // request at a time, until the server stops. As many as engine workers:
  // the offline answers they compute take the engine's lanes.
  void serve_requests() {
    ::pthread_setname_np(::pthread_self(), "vorn-request");
    t_without_waiting = true;
    for (;;) {
      std::shared_ptr<Connection> connection = idle_.take(kRequestThreadWait);
      if (connection) {
        server_.serve_without_waiting(std::move(connection));
      } else if (requests_stopping_.load()) {
        return;
      }
    }
  }

  void hand_over(std::shared_ptr<Connection> connection, bool replay, bool keep) {
    connection_threads_.enqueue(
        [this, connection = std::move(connection), replay, keep] { server_.serve_waiting(connection, replay, keep); });
  }

  void configure() {
    server_.new_task_queue = [] { return new InlineTasks(); };
    server_.set_payload_max_length(options_.max_body_bytes);
    // Only what the Keep-Alive header tells clients; the connection loop is ours.
    server_.set_keep_alive_max_count(kKeepAliveRequests);
    server_.set_keep_alive_timeout(std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(options_.read_timeout).count()));
    server_.set_read_timeout(options_.read_timeout);
    server_.set_write_timeout(options_.write_timeout);

    server_.set_pre_routing_handler([this](const Request& req, Response& res) { return admit(req, res); });
    server_.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const Request& req, Response& res) { return fill_error(req, res); }));
    server_.set_exception_handler([this](const Request&, Response& res, std::exception_ptr error) {
      reply_error(res, error_reply(error));
    });
    server_.set_logger([this](const Request& req, const Response& res) {
      const double seconds = std::chrono::duration<double>(Clock::now() - t_started).count();
      if (t_counted) {
        // A request left to a connection thread is counted there, once.
        if (t_hand_over || (t_stream && t_stream->starved())) {
          metrics_.request_withdrawn();
        } else {
          metrics_.request_finished(route_of(req.path), res.status, seconds);
        }
      }
      t_counted = false;
    });

    server_.Get("/", guarded([](const Request&, Response& res) {
      res.set_content(std::string(web_page()), "text/html; charset=utf-8");
    }));
    server_.Get("/healthz", guarded([this](const Request&, Response& res) {
      reply_json(res, {{"status", "ok"}, {"chunks", service_.chunk_count()}});
    }));
    server_.Get("/metrics", guarded([this](const Request&, Response& res) {
      res.set_content(metrics_.render(engine_.queued(), engine_.running()), "text/plain; version=0.0.4");
    }));
    server_.Get("/v1/models", guarded([](const Request&, Response& res) {
      reply_json(res, models_json(static_cast<std::int64_t>(std::time(nullptr))));
    }));
    server_.Get("/v1/sources", guarded([this](const Request&, Response& res) {
      reply_json(res, sources_json(service_.sources()));
    }));
    server_.Post("/v1/ask", guarded([this](const Request& req, Response& res) {
      AskRequest ask = parse_ask_request(parse_json_object(req.body), service_.options().defaults);
      ClientWatch watch(t_stream);
      const std::stop_token stop = watch.token();
      AskResult result = answer<AskResult>(
          [this, &ask, stop] {
            RunControls controls;
            controls.stop = stop;
            return service_.ask(ask, std::move(controls));
          },
          &watch);
      reply_body(res, ask_body(result));
    }));
    server_.Post("/v1/search", guarded([this](const Request& req, Response& res) {
      SearchRequest search = parse_search_request(parse_json_object(req.body), service_.options().defaults);
      auto hits = answer<std::vector<Citation>>([this, &search] { return service_.search(search); });
      reply_body(res, search_body(hits));
    }));
    server_.Post("/v1/chat/completions", guarded([this](const Request& req, Response& res) { chat(req, res); }));
    server_.Options(".*", [this](const Request& req, Response& res) { preflight(req, res); });
  }

  // ---- guards ---------------------------------------------------------------

  httplib::Server::HandlerResponse admit(const Request& req, Response& res) {
    if (t_stream) t_stream->head_done();
    t_started = Clock::now();
    t_counted = true;
    metrics_.request_started();
    add_cors(req, res);
    if (draining_.load()) {
      res.set_header("Connection", "close");
      reply_error(res, error_reply(std::make_exception_ptr(ShuttingDownError())));
      return httplib::Server::HandlerResponse::Handled;
    }
    const bool open_route = req.method == "OPTIONS" || (req.method == "GET" && (req.path == "/" || req.path == "/healthz"));
    if (options_.token && !open_route && !authorized(req)) {
      // The body, if any, is left unread: the connection cannot be reused.
      res.set_header("Connection", "close");
      res.set_header("WWW-Authenticate", "Bearer");
      reply_error(res, error_reply(std::make_exception_ptr(UnauthorizedError())));
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  bool authorized(const Request& req) const {
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (header.size() <= kBearer.size() || header.compare(0, kBearer.size(), kBearer) != 0) return false;
    return constant_time_equal(header.substr(kBearer.size()), *options_.token);
  }

  const std::string* allowed_origin(const Request& req) const {
    if (options_.cors_origins.empty() || !req.has_header("Origin")) return nullptr;
    const std::string& origin = req.get_header_value("Origin");
    for (const auto& allowed : options_.cors_origins) {
      if (allowed == "*" || allowed == origin) return &allowed;
    }
    return nullptr;
  }

  void add_cors(const Request& req, Response& res) const {
    if (const std::string* allowed = allowed_origin(req)) {
      res.set_header("Access-Control-Allow-Origin", *allowed == "*" ? "*" : req.get_header_value("Origin"));
      res.set_header("Vary", "Origin");
    }
  }

  void preflight(const Request& req, Response& res) const {
    res.status = 204;
    if (allowed_origin(req)) {
      res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
      res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
      res.set_header("Access-Control-Max-Age", "600");
    }
  }

  // Errors the library found before any handler ran (a malformed request,
  // an unknown route, a body over the limit) get the same JSON form.
  httplib::Server::HandlerResponse fill_error(const Request&, Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    ErrorReply reply;
    reply.type = "HttpError";
    reply.status = res.status;
    if (res.status == 404) {
      reply.code = std::string(NotFoundError::kCode);
      reply.message = std::string(NotFoundError::kDefaultMessage);
    } else if (res.status == 413) {
      reply.code = std::string(PayloadTooLargeError::kCode);
      reply.message = "The request body is over " + std::to_string(options_.max_body_bytes) +
                      " bytes. Send a smaller body and retry.";
    } else if (t_stream && t_stream->head_overflowed()) {
      reply.status = 431;
      reply.code = "VORN-SERVE-HEADERS-TOO-LARGE";
      reply.message = "The request's headers are over " + std::to_string(kHeadBudget) +
                      " bytes. Send fewer or shorter headers and retry.";
    } else if (t_stream && t_stream->deadline_passed()) {
      reply.status = 408;
      reply.code = "VORN-SERVE-TIMEOUT";
      reply.message = "The request did not arrive in time. Send it at once and retry.";
    } else if (res.status == 414) {
      reply.code = std::string(BadRequestError::kCode);
      reply.message = "The request URI is too long. Shorten it and retry.";
    } else if (res.status >= 500) {
      reply.code = "VORN-SERVE-INTERNAL";
      reply.message = "The server failed to answer. Retry; report it if it persists.";
    } else {
      reply.code = std::string(BadRequestError::kCode);
      reply.message = "The request is not valid HTTP or uses an unsupported method. Fix it and retry.";
    }
    reply_error(res, reply);
    return httplib::Server::HandlerResponse::Handled;
  }

  template <class F>
  httplib::Server::Handler guarded(F handler) {
    return [this, handler](const Request& req, Response& res) {
      // The request arrived in full; the handler's own time is not the client's.
      if (t_stream) t_stream->lift_deadline();
      try {
        handler(req, res);
      } catch (const NeedsWaitingThread&) {
        // What is written now is dropped: a connection thread serves it again.
        t_hand_over = true;
        res.status = 503;
      } catch (...) {
        reply_error(res, error_reply(std::current_exception()));
      }
    };
  }

  void reply_error(Response& res, const ErrorReply& reply) const {
    res.status = reply.status;
    if (reply.status == 503) res.set_header("Retry-After", std::to_string(options_.retry_after_seconds));
    res.set_content(error_json(reply), "application/json");
  }

  static void reply_json(Response& res, const nlohmann::json& json) { reply_body(res, dump(json)); }

  static void reply_body(Response& res, std::string body) {
    res.status = 200;
    res.body = std::move(body);
    res.set_header("Content-Type", "application/json");
  }

  // ---- work on the engine ---------------------------------------------------

  [[noreturn]] void refuse_submission() {
    if (draining_.load()) throw ShuttingDownError();
    metrics_.queue_rejected();
    throw OverloadedError();
  }

  // Runs `make()`'s task to its outcome: on this thread when it awaits no
  // model, the engine is idle (a hand-off to a worker and back would cost
  // more than the answer's own switches) and this thread is one of the few
  // that answer (see ThreadSeats), else on an engine worker. `watch`,
  // when set, is told while the request waits whether the client left.
  // `make` is called before this returns, so it may capture by reference.
  template <class T>
  T answer(std::function<vorn_core::Task<T>()> make, ClientWatch* watch = nullptr) {
    if (t_without_waiting) {
      Engine::Lane lane;
      if (!service_.offline() || !engine_.try_enter(lane)) throw NeedsWaitingThread{};
      thread_local vorn_core::EventLoop loop;
      return loop.run_until_complete(make());
    }
    if (service_.offline() && answer_seats_.hold()) {
      Engine::Lane lane;
      if (engine_.try_enter(lane)) {
        // One loop per connection thread, reused by its requests.
        thread_local vorn_core::EventLoop loop;
        return loop.run_until_complete(make());
      }
    }
    return on_engine<T>(std::move(make), watch);
  }

  // Runs the task on an engine worker and waits for its outcome.
  template <class T>
  T on_engine(std::function<vorn_core::Task<T>()> make, ClientWatch* watch = nullptr) {
    std::function<void()> while_waiting;
    if (watch != nullptr) while_waiting = [watch] { (void)watch->client_left(); };
    std::optional<T> value = call_on_engine<T>(engine_, std::move(make), while_waiting);
    if (!value) refuse_submission();
    return std::move(*value);
  }

  void chat(const Request& req, Response& res) {
    ChatRequest chat = parse_chat_request(parse_json_object(req.body), service_.options().defaults);
    // A stream is written as its events come: a thread that may wait writes it.
    if (chat.stream && t_without_waiting) throw NeedsWaitingThread{};
    CompletionIdentity identity{completion_id(), chat.model, static_cast<std::int64_t>(std::time(nullptr))};
    if (!chat.stream) {
      ClientWatch watch(t_stream);
      const std::stop_token stop = watch.token();
      AskResult result =
          answer<AskResult>([this, &chat, stop] { return answer_chat(service_, chat, stop); }, &watch);
      reply_json(res, completion_json(identity, result));
      return;
    }
    auto channel = std::make_shared<EventChannel>();
    // Lives as long as the response's provider: the stream ending for any
    // reason ends the job's work.
    auto watch = std::make_shared<ClientWatch>(t_stream);
    RagService& service = service_;
    const std::stop_token stop = watch->token();
    if (!engine_.try_submit(
            [&service, chat, identity, channel, stop] { return stream_chat(service, chat, identity, channel, stop); })) {
      refuse_submission();
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider("text/event-stream", [channel, watch](std::size_t, httplib::DataSink& sink) {
      bool last = false;
      std::string event;
      // What was written so far goes out before the wait for more.
      if (t_stream != nullptr && !t_stream->flush()) {
        (void)watch->client_left();
        return false;
      }
      while (!channel->pop_for(event, last, kClientCheckInterval)) {
        if (watch->client_left()) return false;
      }
      if (!sink.write(event.data(), event.size())) {
        (void)watch->client_left();
        return false;
      }
      if (last) sink.done();
      return true;
    });
  }

  HttpOptions options_;
  RagService& service_;
  Engine& engine_;
  // Connection threads hold seats until they exit, which serve() waits for.
  ThreadSeats answer_seats_;
  Metrics metrics_;
  std::atomic<bool> draining_{false};
  std::atomic<bool> requests_stopping_{false};
  IdleConnections idle_{options_.read_timeout};
  // Requests that wait (see Server::serve_waiting), one thread each.
  ConnectionPool connection_threads_{options_.connection_threads, options_.idle_thread_timeout};
  Server server_;
};

HttpServer::HttpServer(HttpOptions options, RagService& service, Engine& engine)
    : impl_(std::make_unique<Impl>(std::move(options), service, engine)) {}
HttpServer::~HttpServer() = default;
int HttpServer::bind() { return impl_->bind(); }
void HttpServer::serve() { impl_->serve(); }
void HttpServer::shutdown() { impl_->shutdown(); }
const Metrics& HttpServer::metrics() const noexcept { return impl_->metrics(); }

}  // namespace vorn_serve
