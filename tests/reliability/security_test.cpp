// The model clients' security, where the component tests stop: the key must
// not leak through the embedder's errors, through the errors a strategy
// reports when its model fails, through the command line's output and trace,
// nor through a redirect to another host; and an https URL is never spoken
// to in plain text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "api_key_test.hpp"
#include "loopback_http_server.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_inference/openai_embedder.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"
#include "vorn_pipeline/error_handler.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "reliability_doubles.hpp"
#ifdef VORN_HAVE_CLI
#include "cli.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#endif

namespace reliability {
namespace {

using namespace std::chrono_literals;
using vorn_test::LoopbackHttpServer;
using vorn_test::ScriptedReply;

constexpr const char* kKeyVariable = "VORN_RELIABILITY_API_KEY";
constexpr const char* kKey = "sk-reliability-SECRET-5f3a9c";

// Every test: the key in the environment, every log record captured and
// checked for it at the end.
class ModelSecurity : public vorn_test::ApiKeyTest {
 protected:
  ModelSecurity() : ApiKeyTest(kKeyVariable, kKey) {}

  static vorn_inference::OpenAIEndpointOptions endpoint(const std::string& base_url, int retries = 0) {
    vorn_inference::OpenAIEndpointOptions e;
    e.base_url = base_url;
    e.api_key_env = kKeyVariable;
    e.retry.max_retries = retries;
    e.retry.initial_backoff = 1ms;
    e.retry.max_backoff = 2ms;
    e.http.connect_timeout = 2s;
    e.http.total_timeout = 5s;
    return e;
  }
};

// Everything an error says about itself, its causes included.
std::string everything_said(std::exception_ptr error) {
  std::string out;
  for (int depth = 0; error && depth < 8; ++depth) {
    out += vorn_core::exception_type_name(error) + ": " + vorn_core::exception_message(error) + "\n";
    std::exception_ptr next;
    try {
      std::rethrow_exception(error);
    } catch (const vorn_core::BaseError& e) {
      if (e.debug_info()) out += e.debug_info()->original_message + "\n";
      next = e.cause();
    } catch (...) {
    }
    error = next;
  }
  return out;
}

std::string echoed(const std::string& prefix) { return prefix + kKey + " (Bearer " + kKey + ")"; }

TEST_F(ModelSecurity, EmbedderErrorsNeverHoldTheKeyWhateverTheEndpointEchoes) {
  const std::vector<ScriptedReply> replies = {
      {.status = 401, .body = R"({"error": {"message": ")" + echoed("bad key ") + "\"}}"},
      {.status = 500, .body = echoed("crash dump: ")},
      {.status = 200, .body = echoed("<html>not json ")},
      {.status = 200, .body = R"({"data": [{"index": 0, "embedding": ")" + std::string(kKey) + "\"}]}"},
  };
  for (const ScriptedReply& reply : replies) {
    SCOPED_TRACE(reply.status);
    LoopbackHttpServer server({reply});
    vorn_inference::OpenAIEmbedderOptions options;
    options.model = "m";
    options.dimension = 3;
    options.endpoint = endpoint(server.base_url());
    auto embedder = std::make_shared<vorn_inference::OpenAIEmbedder>(options);
    std::exception_ptr error;
    try {
      (void)vorn_core::run_sync(embedder->embed({"text"}));
    } catch (const vorn_inference::InferenceError&) {
      error = std::current_exception();
    }
    ASSERT_TRUE(error) << "the bad reply was accepted";
    EXPECT_EQ(everything_said(error).find(kKey), std::string::npos) << everything_said(error);
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].header("authorization"), std::string("Bearer ") + kKey);
  }
}

std::shared_ptr<vorn_rag::strategies::NaiveRAG> strategy_over(const std::string& base_url,
                                                               const vorn_inference::OpenAIEndpointOptions& e) {
  vorn_inference::OpenAILMInvokerOptions options;
  options.model = "m";
  options.endpoint = e;
  options.endpoint.base_url = base_url;
  auto processor = std::make_shared<vorn_generation::LMRequestProcessor>(
      std::make_shared<vorn_generation::PromptBuilder>("system", "{context} {query}"),
      std::make_shared<vorn_inference::OpenAILMInvoker>(options));
  return std::make_shared<vorn_rag::strategies::NaiveRAG>(
      std::make_shared<FaultyRetriever>(nullptr, "retriever"), vorn_generation::ResponseSynthesizer::stuff(processor));
}

TEST_F(ModelSecurity, AStrategysStepErrorNeverHoldsTheKey) {
  for (int status : {401, 403, 400, 503}) {
    SCOPED_TRACE(status);
    LoopbackHttpServer server(
        {ScriptedReply{.status = status, .body = R"({"error": {"message": ")" + echoed("echo ") + "\"}}"}});
    auto naive = strategy_over(server.base_url(), endpoint(server.base_url()));
    try {
      (void)naive->run("question");
      ADD_FAILURE() << "the model's failure was not reported";
    } catch (const vorn_pipeline::PipelineRuntimeError& e) {
      EXPECT_EQ(e.step_name(), "synthesize");
      const std::string said = everything_said(std::current_exception()) + e.what();
      EXPECT_EQ(said.find(kKey), std::string::npos) << said;
      EXPECT_NE(said.find("HTTP " + std::to_string(status)), std::string::npos) << said;
    }
  }
}

TEST_F(ModelSecurity, RedirectsAreNotFollowedSoTheKeyStaysWithItsHost) {
  LoopbackHttpServer elsewhere({ScriptedReply{.body = "{}"}}, 2s);
  LoopbackHttpServer endpoint_server(
      {ScriptedReply{.status = 307, .headers = {{"Location", elsewhere.url("/v1/chat/completions")}}}});
  vorn_inference::OpenAILMInvokerOptions options;
  options.model = "m";
  options.endpoint = endpoint(endpoint_server.base_url());
  auto lm = std::make_shared<vorn_inference::OpenAILMInvoker>(options);
  try {
    (void)vorn_core::run_sync(lm->invoke({vorn_inference::Message{"user", "hi"}}, {}));
    ADD_FAILURE() << "a redirect was taken as an answer";
  } catch (const vorn_inference::ModelHTTPError& e) {
    EXPECT_EQ(e.status_code(), 307);
    EXPECT_EQ(e.message().find(kKey), std::string::npos);
  }
  EXPECT_EQ(endpoint_server.requests().size(), 1U);
  EXPECT_TRUE(elsewhere.requests().empty()) << "the request, and its key, went to the redirect target";
}

TEST_F(ModelSecurity, HttpsIsNeverSpokenInPlainText) {
  // A plain-HTTP server behind an https URL: the TLS handshake fails, and no
  // request (no header, no key) reaches it readable.
  LoopbackHttpServer plain({ScriptedReply{.body = "{}"}}, 3s);
  vorn_inference::OpenAILMInvokerOptions options;
  options.model = "m";
  options.endpoint = endpoint("https://127.0.0.1:" + std::to_string(plain.port()) + "/v1");
  // The server waits for an HTTP request that never comes: the handshake
  // ends as a connection failure or, here, at the connect timeout.
  options.endpoint.http.connect_timeout = 300ms;
  options.endpoint.http.total_timeout = 1s;
  auto lm = std::make_shared<vorn_inference::OpenAILMInvoker>(options);
  try {
    (void)vorn_core::run_sync(lm->invoke({vorn_inference::Message{"user", "hi"}}, {}));
    ADD_FAILURE() << "answered over a connection that is not TLS";
  } catch (const vorn_inference::InferenceError& e) {
    EXPECT_TRUE(dynamic_cast<const vorn_inference::ModelConnectionError*>(&e) ||
                dynamic_cast<const vorn_inference::ModelTimeoutError*>(&e))
        << e.message();
    EXPECT_EQ(e.message().find(kKey), std::string::npos) << e.message();
  }
  for (const auto& request : plain.requests()) EXPECT_FALSE(request.has_header("authorization"));
}

#ifdef VORN_HAVE_CLI
TEST_F(ModelSecurity, TheCommandLinesOutputAndTraceNeverHoldTheKey) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vorn_reliability_security_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    auto store = vorn_datastore::SqliteDataStore::open(dir / "index.db",
                                                       std::make_shared<vorn_inference::HashingEmbedder>(384));
    vorn_core::run_sync(store->ingest({vorn_core::make_chunk("doc#0", "Fusion adds reciprocal ranks.")}));
  }
  for (const char* mode : {"--trace", "--json"}) {
    SCOPED_TRACE(mode);
    LoopbackHttpServer server(
        {ScriptedReply{.status = 401, .body = R"({"error": {"message": ")" + echoed("Incorrect API key ") + "\"}}"}});
    const std::string store = (dir / "index.db").string();
    const std::string base = server.base_url();
    const char* argv[] = {"vorn-rag", "--store", store.c_str(), "ask", "How does fusion work?", "--lm", "openai",
                          "--base-url", base.c_str(), "--api-key-env", kKeyVariable, "--trace", mode};
    std::ostringstream out, err;
    const int code = vorn_cli::run(static_cast<int>(std::size(argv)), argv, out, err);
    EXPECT_EQ(code, 1);
    const std::string printed = out.str() + err.str();
    EXPECT_NE(printed.find("HTTP 401"), std::string::npos) << printed;
    EXPECT_EQ(printed.find(kKey), std::string::npos) << printed;
  }
  fs::remove_all(dir);
}
#endif

}  // namespace
}  // namespace reliability
