// The OpenAI-compatible chat and embedding clients against a scripted server
// on 127.0.0.1, and the LM-backed filter, query transformer and router.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api_key_test.hpp"
#include "keepalive_http_server.hpp"
#include "loopback_http_server.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_generation/lm_query_transformer.hpp"
#include "vorn_generation/lm_relevance_filter.hpp"
#include "vorn_generation/lm_router.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_inference/openai_embedder.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"

using namespace std::chrono_literals;
using nlohmann::json;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;
using vorn_inference::LMOutput;
using vorn_inference::LMOutputPtr;
using vorn_inference::Message;
using vorn_inference::OpenAIEmbedder;
using vorn_inference::OpenAIEmbedderOptions;
using vorn_inference::OpenAILMInvoker;
using vorn_inference::OpenAILMInvokerOptions;
using vorn_test::LoopbackHttpServer;
using vorn_test::RecordedRequest;
using vorn_test::ScriptedReply;

namespace {

constexpr const char* kKeyVariable = "VORN_TEST_OPENAI_KEY";
constexpr const char* kKey = "sk-test-VORNSECRET-0123456789";

std::string chat_reply(const std::string& content, const std::string& finish_reason = "stop") {
  json reply = {{"id", "chatcmpl-1"},
                {"object", "chat.completion"},
                {"model", "served-model"},
                {"choices", json::array({{{"index", 0},
                                          {"message", {{"role", "assistant"}, {"content", content}}},
                                          {"finish_reason", finish_reason}}})},
                {"usage", {{"prompt_tokens", 12}, {"completion_tokens", 3}, {"total_tokens", 15}}}};
  return reply.dump();
}

json body_of(const RecordedRequest& request) { return json::parse(request.body); }

std::vector<Message> question() { return {Message{"system", "Be brief."}, Message{"user", "What is 2+2?"}}; }

// Every test runs with the key in the environment and all log levels captured.
class HttpModelsTest : public vorn_test::ApiKeyTest {
 protected:
  HttpModelsTest() : ApiKeyTest(kKeyVariable, kKey) {}

  static OpenAILMInvokerOptions options_for(const LoopbackHttpServer& server, int max_retries = 2) {
    OpenAILMInvokerOptions options;
    options.model = "test-model";
    options.endpoint.base_url = server.base_url();
    options.endpoint.api_key_env = kKeyVariable;
    options.endpoint.retry.max_retries = max_retries;
    options.endpoint.retry.initial_backoff = 1ms;
    options.endpoint.retry.max_backoff = 5ms;
    options.endpoint.http.connect_timeout = 2s;
    options.endpoint.http.total_timeout = 5s;
    return options;
  }

  static LMOutputPtr invoke(OpenAILMInvokerOptions options, Value schema = {}) {
    auto lm = std::make_shared<OpenAILMInvoker>(std::move(options));
    return vorn_core::run_sync(lm->invoke(question(), vorn_inference::InvokeOptions{std::move(schema)}));
  }
};

Value answer_schema() {
  Dict properties;
  properties.set("answer", Dict{{"type", "integer"}});
  Dict schema;
  schema.set("title", "arithmetic");
  schema.set("type", "object");
  schema.set("properties", properties);
  schema.set("required", List{"answer"});
  schema.set("additionalProperties", false);
  return schema;
}

// ---- chat completions: success paths ----------------------------------------

TEST_F(HttpModelsTest, FreeTextRequestAndAnswer) {
  LoopbackHttpServer server({ScriptedReply{.body = chat_reply("4")}});
  OpenAILMInvokerOptions options = options_for(server);
  options.temperature = 0.0;
  options.max_tokens = 50;
  options.extra_body.set("seed", 7);
  options.extra_body.set("model", "must-not-win");
  const LMOutputPtr out = invoke(options);

  EXPECT_EQ(out->response, "4");
  EXPECT_TRUE(out->structured_output.is_none());
  EXPECT_EQ(out->metadata.get("model"), Value("served-model"));
  EXPECT_EQ(out->metadata.get("finish_reason"), Value("stop"));
  EXPECT_EQ(out->metadata.get("id"), Value("chatcmpl-1"));
  EXPECT_EQ(out->metadata.get("usage").as_dict().get("total_tokens"), Value(15));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/v1/chat/completions");
  EXPECT_EQ(requests[0].header("authorization"), std::string("Bearer ") + kKey);
  const json body = body_of(requests[0]);
  EXPECT_EQ(body["model"], "test-model");
  EXPECT_EQ(body["messages"], json::parse(R"([{"role":"system","content":"Be brief."},
                                              {"role":"user","content":"What is 2+2?"}])"));
  EXPECT_EQ(body["temperature"], 0.0);
  EXPECT_EQ(body["max_tokens"], 50);
  EXPECT_EQ(body["seed"], 7);
  EXPECT_FALSE(body.contains("response_format"));
}

TEST_F(HttpModelsTest, StructuredOutputSendsTheSchemaAndParsesTheAnswer) {
  LoopbackHttpServer server({ScriptedReply{.body = chat_reply(R"({"answer": 4})")},
                             ScriptedReply{.body = chat_reply("```json\n{\"answer\": 5}\n```")}});
  const LMOutputPtr out = invoke(options_for(server), answer_schema());
  EXPECT_EQ(out->structured_output, Value(Dict{{"answer", 4}}));
  EXPECT_EQ(out->response, R"({"answer": 4})");

  // A fenced answer (models do that) still parses; a caller-built
  // json_schema block goes out as given.
  Dict block;
  block.set("name", "custom");
  block.set("schema", answer_schema());
  block.set("strict", false);
  EXPECT_EQ(invoke(options_for(server), block)->structured_output, Value(Dict{{"answer", 5}}));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const json format = body_of(requests[0])["response_format"];
  EXPECT_EQ(format["type"], "json_schema");
  EXPECT_EQ(format["json_schema"]["name"], "arithmetic");
  EXPECT_EQ(format["json_schema"]["strict"], true);
  EXPECT_EQ(format["json_schema"]["schema"]["properties"]["answer"]["type"], "integer");
  const json custom = body_of(requests[1])["response_format"]["json_schema"];
  EXPECT_EQ(custom["name"], "custom");
  EXPECT_EQ(custom["strict"], false);
}

TEST_F(HttpModelsTest, RateLimitThenSuccessIsRetriedAndLogged) {
  LoopbackHttpServer server({ScriptedReply{.status = 429,
                                           .body = R"({"error": {"message": "slow down"}})",
                                           .headers = {{"Retry-After", "0"}}},
                             ScriptedReply{.body = chat_reply("ok")}});
  EXPECT_EQ(invoke(options_for(server))->response, "ok");
  EXPECT_EQ(server.requests().size(), 2u);
  const auto warnings = capture_->messages("vorn_inference", vorn_core::LogLevel::kWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("retry 1 of 2): HTTP 429"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find(" in 0 ms"), std::string::npos) << warnings[0];
}

TEST_F(HttpModelsTest, DroppedConnectionIsRetried) {
  LoopbackHttpServer server({ScriptedReply{.drop_connection = true}, ScriptedReply{.body = chat_reply("ok")}});
  EXPECT_EQ(invoke(options_for(server))->response, "ok");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HttpModelsTest, RetryAfterIsHonouredUpToTheCap) {
  LoopbackHttpServer server({ScriptedReply{.status = 429, .headers = {{"retry-after-ms", "300"}}},
                             ScriptedReply{.body = chat_reply("late")},
                             ScriptedReply{.status = 503, .headers = {{"Retry-After", "100"}}},
                             ScriptedReply{.body = chat_reply("capped")}});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(invoke(options_for(server))->response, "late");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);

  OpenAILMInvokerOptions capped = options_for(server);
  capped.endpoint.retry.max_retry_after = 50ms;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(invoke(capped)->response, "capped");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// ---- chat completions: failures ---------------------------------------------

struct FailureCase {
  const char* name;
  std::vector<ScriptedReply> script;
  int max_retries;
  std::chrono::milliseconds total_timeout;
  bool structured;
  std::string code;
  std::vector<std::string> message_parts;
  int status;                     // ModelHTTPError status; 0: not an HTTP error
  std::size_t expected_requests;  // 0: not checked (a timed-out request may not have been read yet)
};

std::string deep_json(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::vector<FailureCase> failure_cases() {
  const std::string upstream = R"({"error": {"message": "upstream exploded"}})";
  const std::string echoed_key = std::string(R"({"error": {"message": "Incorrect API key provided: )") + kKey + "\"}}";
  json refusal = json::parse(chat_reply("x"));
  refusal["choices"][0]["message"] = {{"role", "assistant"}, {"content", nullptr}, {"refusal", "I cannot help."}};
  return {
      {"server_error_exhausted",
       {ScriptedReply{.status = 500, .body = upstream}, ScriptedReply{.status = 502, .body = upstream},
        ScriptedReply{.status = 500, .body = upstream}},
       2, 5s, false, "VORN-INFERENCE-HTTP", {"answered HTTP 500 after 3 attempts: upstream exploded"}, 500, 3},
      {"rate_limit_exhausted",
       {ScriptedReply{.status = 429, .headers = {{"Retry-After", "0"}}},
        ScriptedReply{.status = 429, .headers = {{"Retry-After", "0"}}}},
       1, 5s, false, "VORN-INFERENCE-HTTP", {"HTTP 429 after 2 attempts", "raise `max_retries`"}, 429, 2},
      {"slow_response_times_out",
       {ScriptedReply{.body = chat_reply("late"), .delay = 2s}, ScriptedReply{.body = chat_reply("late"), .delay = 2s}},
       1, 150ms, false, "VORN-INFERENCE-TIMEOUT", {"Gave up after 2 attempts", "timed out"}, 0, 0},
      {"connection_dropped_exhausted",
       {ScriptedReply{.drop_connection = true}, ScriptedReply{.drop_connection = true}},
       1, 5s, false, "VORN-INFERENCE-CONNECTION", {"Gave up after 2 attempts"}, 0, 2},
      {"body_is_not_json",
       {ScriptedReply{.body = "<html>proxy error</html>"}},
       2, 5s, false, "VORN-INFERENCE-RESPONSE", {"not JSON: <html>proxy error</html>"}, 0, 1},
      {"no_choices",
       {ScriptedReply{.body = R"({"object": "chat.completion", "choices": []})"}},
       2, 5s, false, "VORN-INFERENCE-RESPONSE", {"without any choice"}, 0, 1},
      {"oversized_body",
       {ScriptedReply{.body = std::string(9 * 1024 * 1024, ' ')}},
       2, 5s, false, "VORN-INFERENCE-RESPONSE", {"larger than the limit of 8388608 bytes"}, 0, 1},
      {"unauthorized_echoing_the_key",
       {ScriptedReply{.status = 401, .body = echoed_key}},
       2, 5s, false, "VORN-INFERENCE-AUTH", {"HTTP 401", "[REDACTED]", kKeyVariable}, 401, 1},
      {"forbidden",
       {ScriptedReply{.status = 403, .body = "{}"}},
       2, 5s, false, "VORN-INFERENCE-AUTH", {"HTTP 403"}, 403, 1},
      {"bad_request_not_retried",
       {ScriptedReply{.status = 400, .body = R"({"error": {"message": "Invalid schema"}})"}},
       2, 5s, false, "VORN-INFERENCE-HTTP", {"answered HTTP 400: Invalid schema"}, 400, 1},
      {"structured_answer_not_json",
       {ScriptedReply{.body = chat_reply("Sure! The answer is 4.")}},
       2, 5s, true, "VORN-INFERENCE-STRUCTURED-OUTPUT", {"not valid JSON: Sure! The answer is 4."}, 0, 1},
      {"structured_answer_cut_off",
       {ScriptedReply{.body = chat_reply(R"({"answer": )", "length")}},
       2, 5s, true, "VORN-INFERENCE-STRUCTURED-OUTPUT", {"cut off", "raise `max_tokens`"}, 0, 1},
      {"structured_refusal",
       {ScriptedReply{.body = refusal.dump()}},
       2, 5s, true, "VORN-INFERENCE-STRUCTURED-OUTPUT", {"refused to answer: I cannot help."}, 0, 1},
      {"structured_answer_too_deep",
       {ScriptedReply{.body = chat_reply(deep_json(100'000))}},
       2, 5s, true, "VORN-INFERENCE-STRUCTURED-OUTPUT", {"too deeply nested"}, 0, 1},
  };
}

class HttpModelsFailureTest : public HttpModelsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HttpModelsFailureTest, EndsAsTheRightTypedErrorWithoutTheKey) {
  const FailureCase& c = GetParam();
  LoopbackHttpServer server(c.script);
  OpenAILMInvokerOptions options = options_for(server, c.max_retries);
  options.endpoint.http.total_timeout = c.total_timeout;
  try {
    invoke(options, c.structured ? answer_schema() : Value());
    FAIL() << "expected " << c.code;
  } catch (const vorn_core::BaseError& e) {
    EXPECT_EQ(e.code(), c.code) << e.message();
    for (const auto& part : c.message_parts) EXPECT_NE(e.message().find(part), std::string::npos) << e.message();
    EXPECT_EQ(e.message().find(kKey), std::string::npos) << e.message();
    EXPECT_NE(dynamic_cast<const vorn_inference::InferenceError*>(&e), nullptr);
    const auto* http = dynamic_cast<const vorn_inference::ModelHTTPError*>(&e);
    EXPECT_EQ(http ? http->status_code() : 0, c.status);
    const auto* std_error = dynamic_cast<const std::exception*>(&e);
    ASSERT_NE(std_error, nullptr);
    EXPECT_EQ(std::string(std_error->what()), e.message());
  }
  if (c.expected_requests > 0) {
    EXPECT_EQ(server.requests().size(), c.expected_requests);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HttpModelsFailureTest, ::testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpModelsTest, MissingKeySendsNoAuthorizationAndSaysSo) {
  ::unsetenv(kKeyVariable);
  LoopbackHttpServer server({ScriptedReply{.body = chat_reply("local")}, ScriptedReply{.status = 401}});
  // A key the endpoint requires must be there before any traffic.
  try {
    invoke(options_for(server));
    FAIL() << "expected ModelConfigError";
  } catch (const vorn_inference::ModelConfigError& e) {
    EXPECT_NE(e.message().find("VORN_TEST_OPENAI_KEY that should hold the API key is unset"), std::string::npos)
        << e.message();
  }
  // Local servers need no key when the caller says so.
  OpenAILMInvokerOptions keyless = options_for(server);
  keyless.endpoint.api_key_required = false;
  EXPECT_EQ(invoke(keyless)->response, "local");
  try {
    invoke(keyless);
    FAIL() << "expected ModelAuthError";
  } catch (const vorn_inference::ModelAuthError& e) {
    EXPECT_NE(e.message().find("No API key was sent: the environment variable VORN_TEST_OPENAI_KEY is unset"),
              std::string::npos)
        << e.message();
  }
  EXPECT_FALSE(server.requests()[0].has_header("authorization"));
}

TEST_F(HttpModelsTest, ConfigurationIsCheckedUpFrontAndReprHidesSecrets) {
  auto with = [](std::function<void(OpenAILMInvokerOptions&)> change) {
    OpenAILMInvokerOptions options;
    options.model = "m";
    options.endpoint.api_key_env = kKeyVariable;
    change(options);
    return options;
  };
  using vorn_inference::ModelConfigError;
  EXPECT_THROW(OpenAILMInvoker(with([](auto& o) { o.model.clear(); })), ModelConfigError);
  EXPECT_THROW(OpenAILMInvoker(with([](auto& o) { o.endpoint.base_url = "ftp://host"; })), ModelConfigError);
  EXPECT_THROW(OpenAILMInvoker(with([](auto& o) { o.endpoint.retry.max_retries = -1; })), ModelConfigError);
  EXPECT_THROW(OpenAILMInvoker(with([](auto& o) { o.schema_name = "has space"; })), ModelConfigError);
  EXPECT_THROW(OpenAILMInvoker(with([](auto& o) { o.endpoint.http.total_timeout = 0ms; })), ModelConfigError);

  auto lm = std::make_shared<OpenAILMInvoker>(
      with([](auto& o) { o.endpoint.base_url = "https://user:pw@llm.example/v1?key=sk-query"; }));
  EXPECT_EQ(lm->repr(), "OpenAILMInvoker(model='m', base_url='https://llm.example/v1')");
  EXPECT_EQ(lm->model_name(), "m");
  // A schema that is not an object fails before any traffic.
  EXPECT_THROW(vorn_core::run_sync(lm->invoke(question(), vorn_inference::InvokeOptions{Value(List{1})})),
               ModelConfigError);
}

// ---- embeddings ----------------------------------------------------------------

std::string embedding_reply(const std::vector<std::pair<int, std::vector<float>>>& items) {
  json data = json::array();
  for (const auto& [index, vector] : items) {
    data.push_back({{"object", "embedding"}, {"index", index}, {"embedding", vector}});
  }
  return json{{"object", "list"}, {"data", data}, {"model", "emb"}}.dump();
}

template <class Server>
OpenAIEmbedderOptions embedder_options(const Server& server, std::size_t batch_size = 2) {
  OpenAIEmbedderOptions options;
  options.model = "emb";
  options.dimension = 2;
  options.batch_size = batch_size;
  options.endpoint.base_url = server.base_url() + "/v1";
  options.endpoint.api_key_env = kKeyVariable;
  options.endpoint.retry.max_retries = 0;
  return options;
}

std::vector<std::vector<float>> embed(OpenAIEmbedderOptions options, std::vector<std::string> texts) {
  auto embedder = std::make_shared<OpenAIEmbedder>(std::move(options));
  return vorn_core::run_sync(embedder->embed(std::move(texts)));
}

TEST_F(HttpModelsTest, EmbeddingsAreBatchedAndOrderedByIndex) {
  // The endpoint lists the vectors out of order; `index` decides. The
  // batches go out together, so the reply depends on the batch, not on the
  // order of arrival.
  vorn_test::KeepAliveHttpServer server([](const RecordedRequest& request) {
    const std::string first = body_of(request)["input"][0].get<std::string>();
    std::string body = first == "a"   ? embedding_reply({{1, {1, 1}}, {0, {0, 0}}})
                       : first == "c" ? embedding_reply({{0, {2, 2}}, {1, {3, 3}}})
                                      : embedding_reply({{0, {4, 4}}});
    return vorn_test::FakeReply{.body = std::move(body), .delay = 100ms};
  });
  OpenAIEmbedderOptions options = embedder_options(server);
  options.send_dimensions = true;
  const auto vectors = embed(options, {"a", "b", "c", "d", "e"});
  ASSERT_EQ(vectors.size(), 5u);
  for (std::size_t i = 0; i < vectors.size(); ++i) EXPECT_EQ(vectors[i], std::vector<float>(2, float(i))) << i;

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(server.max_concurrent_requests(), 3);
  std::sort(requests.begin(), requests.end(),
            [](const auto& x, const auto& y) { return body_of(x)["input"][0] < body_of(y)["input"][0]; });
  EXPECT_EQ(requests[0].target, "/v1/embeddings");
  EXPECT_EQ(body_of(requests[0])["input"], json::parse(R"(["a", "b"])"));
  EXPECT_EQ(body_of(requests[2])["input"], json::parse(R"(["e"])"));
  EXPECT_EQ(body_of(requests[0])["dimensions"], 2);
  EXPECT_EQ(body_of(requests[0])["encoding_format"], "float");
}

TEST_F(HttpModelsTest, NoTextsMeansNoRequest) {
  LoopbackHttpServer server(std::vector<ScriptedReply>{});
  EXPECT_TRUE(embed(embedder_options(server), {}).empty());
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpModelsTest, MalformedEmbeddingRepliesAreRefused) {
  const std::pair<const char*, std::string> cases[] = {
      {"dimension 3 where 2", embedding_reply({{0, {1, 2, 3}}, {1, {1, 2}}})},
      {"out of range or repeated", embedding_reply({{0, {1, 2}}, {0, {1, 2}}})},
      {"out of range or repeated", embedding_reply({{0, {1, 2}}, {2, {1, 2}}})},
      {"1 embeddings for 2 texts", embedding_reply({{0, {1, 2}}})},
      {"without an integer `index`", R"({"data": [{"embedding": [1, 2]}, {"embedding": [1, 2]}]})"},
      {"non-numeric entry", R"({"data": [{"index": 0, "embedding": [1, "x"]}, {"index": 1, "embedding": [1, 2]}]})"},
      {"without a `data` list", R"({"error": null})"},
  };
  for (const auto& [expected, body] : cases) {
    LoopbackHttpServer server({ScriptedReply{.body = body}});
    try {
      embed(embedder_options(server), {"a", "b"});
      ADD_FAILURE() << "expected ModelResponseError for " << expected;
    } catch (const vorn_inference::ModelResponseError& e) {
      EXPECT_NE(e.message().find(expected), std::string::npos) << e.message();
    }
  }
  EXPECT_THROW(OpenAIEmbedder(OpenAIEmbedderOptions{.dimension = 0}), vorn_inference::ModelConfigError);
  EXPECT_THROW(OpenAIEmbedder(OpenAIEmbedderOptions{.batch_size = 0}), vorn_inference::ModelConfigError);
}

// ---- LM-backed components ---------------------------------------------------------

// Answers scripted outputs in turn (the last one repeats) and records calls.
class ScriptedInvoker : public vorn_inference::BaseLMInvoker {
 public:
  struct Call {
    std::vector<Message> messages;
    Value schema;
  };
  explicit ScriptedInvoker(std::vector<LMOutputPtr> answers) : answers_(std::move(answers)) {}

  vorn_core::Task<LMOutputPtr> invoke(std::vector<Message> messages, vorn_inference::InvokeOptions options) override {
    Call call;
    call.messages = std::move(messages);
    call.schema = std::move(options.response_schema);
    calls.push_back(std::move(call));
    co_return answers_.at(std::min(calls.size(), answers_.size()) - 1);
  }

  std::vector<Call> calls;

 private:
  std::vector<LMOutputPtr> answers_;
};

LMOutputPtr structured(Value answer) { return std::make_shared<LMOutput>("", std::move(answer)); }

vorn_core::ChunkList chunks(std::initializer_list<std::pair<const char*, const char*>> items) {
  vorn_core::ChunkList out;
  for (const auto& [id, content] : items) out.push_back(vorn_core::make_chunk(id, content));
  return out;
}

std::vector<std::string> ids(const vorn_core::ChunkList& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(c->id);
  return out;
}

TEST(LMRelevanceFilterTest, KeepsTheLabelledChunksInRetrievalOrder) {
  auto lm = std::make_shared<ScriptedInvoker>(
      std::vector<LMOutputPtr>{structured(Dict{{"relevant", List{"3", 1, "3"}}})});
  vorn_generation::LMRelevanceFilterOptions options;
  options.max_chars_per_chunk = 10;
  auto filter = std::make_shared<vorn_generation::LMRelevanceFilter>(lm, options);
  const auto all = chunks({{"doc-a", "Paris is the capital of France."}, {"doc-b", "Cats"}, {"doc-c", "France"}});

  EXPECT_EQ(ids(vorn_core::run_sync(filter->filter(all, "capital of France?"))),
            (std::vector<std::string>{"doc-a", "doc-c"}));
  ASSERT_EQ(lm->calls.size(), 1u);
  const std::string prompt = lm->calls[0].messages.back().content;
  EXPECT_NE(prompt.find("capital of France?"), std::string::npos);
  EXPECT_NE(prompt.find("[1] Paris is t [...]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("[3] France"), std::string::npos);
  EXPECT_EQ(lm->calls[0].schema, vorn_generation::LMRelevanceFilter::response_schema(3));
  const Value labels = lm->calls[0].schema.as_dict().at("properties").as_dict().at("relevant").as_dict().at("items");
  EXPECT_EQ(labels.as_dict().get("enum"), Value(List{"1", "2", "3"}));

  // No chunks, no model call; the component form takes step inputs.
  EXPECT_TRUE(vorn_core::run_sync(filter->filter({}, "q")).empty());
  Dict inputs;
  inputs.set("chunks", vorn_core::to_value(all));
  inputs.set("query", "capital of France?");
  EXPECT_EQ(ids(vorn_core::to_chunk_list(vorn_core::run_sync(filter->run(inputs)))),
            (std::vector<std::string>{"doc-a", "doc-c"}));
  EXPECT_EQ(lm->calls.size(), 2u);
}

struct InvalidAnswerCase {
  const char* name;
  LMOutputPtr answer;
  const char* message_part;
};

class LMComponentInvalidAnswerTest : public ::testing::TestWithParam<InvalidAnswerCase> {};

// Each component turns an unusable model answer into StructuredOutputError.
TEST_P(LMComponentInvalidAnswerTest, RaisesStructuredOutputError) {
  const InvalidAnswerCase& c = GetParam();
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{c.answer});
  try {
    const std::string name = c.name;
    if (name.starts_with("filter")) {
      vorn_generation::LMRelevanceFilter filter(lm);
      vorn_core::run_sync(filter.filter(chunks({{"a", "x"}, {"b", "y"}}), "q"));
    } else if (name.starts_with("transformer")) {
      vorn_generation::LMQueryTransformer transformer(lm);
      vorn_core::run_sync(transformer.transform("q"));
    } else {
      vorn_generation::LMRouter router({{"docs", "documentation"}, {"web", "the internet"}}, lm);
      vorn_core::run_sync(router.route("q"));
    }
    FAIL() << "expected StructuredOutputError";
  } catch (const vorn_inference::StructuredOutputError& e) {
    EXPECT_NE(e.message().find(c.message_part), std::string::npos) << e.message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LMComponentInvalidAnswerTest,
    ::testing::Values(
        InvalidAnswerCase{"filter_no_structured_answer", std::make_shared<LMOutput>("Passage 1 is relevant."),
                          "LMRelevanceFilter got an invalid answer from the model: no structured answer (it wrote "
                          "'Passage 1 is relevant.')"},
        InvalidAnswerCase{"filter_unknown_label", structured(Dict{{"relevant", List{"3"}}}),
                          "the label '3' is not one of the passage labels 1 to 2"},
        InvalidAnswerCase{"filter_not_a_list", structured(Dict{{"relevant", "1"}}), "`relevant` is a str, not a list"},
        InvalidAnswerCase{"filter_not_an_object", structured(List{"1"}), "a list where a JSON object was asked for"},
        InvalidAnswerCase{"transformer_missing_field", structured(Dict{{"query", "x"}}),
                          "an object without `queries`"},
        InvalidAnswerCase{"transformer_non_string", structured(Dict{{"queries", List{"a", 2}}}),
                          "the query 2 is not a string"},
        InvalidAnswerCase{"router_unknown_route", structured(Dict{{"route", "news"}}),
                          "the route 'news' is not one of 'docs', 'web'"},
        InvalidAnswerCase{"router_not_a_string", structured(Dict{{"route", List{"docs"}}}), "is not one of"},
        InvalidAnswerCase{"router_absent_output", nullptr, "no structured answer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LMQueryTransformerTest, NormalisesTheModelsQueries) {
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{
      structured(Dict{{"queries", List{"  alpha ", "", "beta", "alpha", "gamma", "delta"}}}),
      structured(Dict{{"queries", List{}}})});
  vorn_generation::LMQueryTransformerOptions options;
  options.max_queries = 3;
  options.include_original = true;
  auto transformer = std::make_shared<vorn_generation::LMQueryTransformer>(lm, options);

  EXPECT_EQ(vorn_core::run_sync(transformer->transform("orig")), Value(List{"orig", "alpha", "beta"}));
  EXPECT_NE(lm->calls[0].messages.back().content.find("at most 3 search queries"), std::string::npos);
  EXPECT_EQ(lm->calls[0].schema, vorn_generation::LMQueryTransformer::response_schema());
  // An empty decomposition is an answer, left to the caller.
  options.include_original = false;
  vorn_generation::LMQueryTransformer plain(lm, options);
  EXPECT_EQ(vorn_core::run_sync(plain.transform("orig")), Value(List{}));

  EXPECT_THROW(vorn_generation::LMQueryTransformer(lm, {.max_queries = 0}), vorn_core::ValueError);
  EXPECT_THROW(vorn_generation::LMQueryTransformer(lm, {.user_prompt = "{question}"}), vorn_core::KeyError);
  EXPECT_THROW(vorn_generation::LMQueryTransformer(nullptr), vorn_core::ValueError);
}

TEST(LMRouterTest, ValidatesRoutesAndAnswersTheChosenName) {
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{structured(Dict{{"route", "web"}})});
  auto router = std::make_shared<vorn_generation::LMRouter>(
      std::vector<vorn_generation::LMRoute>{{"docs", "product documentation"}, {"web", "current events"}}, lm);
  Dict inputs;
  inputs.set("source", "Who won yesterday?");
  EXPECT_EQ(vorn_core::run_sync(router->run(inputs)), Value("web"));
  const std::string prompt = lm->calls[0].messages.back().content;
  EXPECT_NE(prompt.find("- docs: product documentation\n- web: current events"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("Who won yesterday?"), std::string::npos);

  using Routes = std::vector<vorn_generation::LMRoute>;
  EXPECT_THROW(vorn_generation::LMRouter(Routes{}, lm), vorn_core::ValueError);
  EXPECT_THROW(vorn_generation::LMRouter(Routes{{"a", ""}, {"a", ""}}, lm), vorn_core::ValueError);
  EXPECT_THROW(vorn_generation::LMRouter(Routes{{"", "x"}}, lm), vorn_core::ValueError);
  EXPECT_THROW(vorn_generation::LMRouter(Routes{{"a", ""}}, nullptr), vorn_core::ValueError);
  EXPECT_THROW(vorn_generation::LMRelevanceFilter(nullptr), vorn_core::ValueError);
}

// End to end: the components' schemas reach the wire and the answers come back.
TEST_F(HttpModelsTest, ComponentsWorkOverTheChatEndpoint) {
  LoopbackHttpServer server({ScriptedReply{.body = chat_reply(R"({"route": "docs"})")},
                             ScriptedReply{.body = chat_reply(R"({"relevant": ["2"]})")},
                             ScriptedReply{.body = chat_reply(R"({"queries": ["a", "b"]})")}});
  auto lm = std::make_shared<OpenAILMInvoker>(options_for(server));
  vorn_generation::LMRouter router({{"docs", "manuals"}, {"web", "news"}}, lm);
  vorn_generation::LMRelevanceFilter filter(lm);
  vorn_generation::LMQueryTransformer transformer(lm);

  EXPECT_EQ(vorn_core::run_sync(router.route("How do I install it?")), Value("docs"));
  EXPECT_EQ(ids(vorn_core::run_sync(filter.filter(chunks({{"x", "one"}, {"y", "two"}}), "q"))),
            std::vector<std::string>{"y"});
  EXPECT_EQ(vorn_core::run_sync(transformer.transform("q")), Value(List{"a", "b"}));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  const json route_schema = body_of(requests[0])["response_format"]["json_schema"];
  EXPECT_EQ(route_schema["name"], "route_choice");
  EXPECT_EQ(route_schema["strict"], true);
  EXPECT_EQ(route_schema["schema"]["properties"]["route"]["enum"], json::parse(R"(["docs", "web"])"));
  EXPECT_EQ(route_schema["schema"]["additionalProperties"], false);
  EXPECT_EQ(body_of(requests[1])["response_format"]["json_schema"]["name"], "relevant_passages");
  EXPECT_EQ(body_of(requests[2])["response_format"]["json_schema"]["name"], "search_queries");
}

}  // namespace

// ---- structured answers: one corrected retry, then an error or the fallback ----

TEST(StructuredRetryTest, AnUnusableAnswerIsAskedForAgainWithTheReason) {
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{
      structured(Dict{{"relevant", List{"7"}}}), structured(Dict{{"relevant", List{"2"}}})});
  auto filter = std::make_shared<vorn_generation::LMRelevanceFilter>(lm);
  EXPECT_EQ(ids(vorn_core::run_sync(filter->filter(chunks({{"a", "x"}, {"b", "y"}}), "q"))),
            (std::vector<std::string>{"b"}));
  ASSERT_EQ(lm->calls.size(), 2u);
  const std::string& note = lm->calls[1].messages.back().content;
  EXPECT_NE(note.find("could not be used"), std::string::npos) << note;
  EXPECT_NE(note.find("the label '7' is not one of the passage labels 1 to 2"), std::string::npos) << note;
  // The original request comes first, unchanged.
  EXPECT_EQ(lm->calls[1].messages.front(), lm->calls[0].messages.front());
  EXPECT_EQ(lm->calls[1].schema, lm->calls[0].schema);
}

TEST(StructuredRetryTest, TwoUnusableAnswersFailAfterExactlyOneRetry) {
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{std::make_shared<LMOutput>("no JSON here")});
  vorn_generation::LMQueryTransformer transformer(lm);
  EXPECT_THROW(vorn_core::run_sync(transformer.transform("q")), vorn_inference::StructuredOutputError);
  EXPECT_EQ(lm->calls.size(), 2u);
}

struct RouterReplyCase {
  const char* name;
  LMOutputPtr answer;
  std::string fallback;
  const char* chosen;  // nullptr: StructuredOutputError
};

class LMRouterReplyTest : public ::testing::TestWithParam<RouterReplyCase> {};

TEST_P(LMRouterReplyTest, ReadsTheAnswerOrFallsBack) {
  const RouterReplyCase& c = GetParam();
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{c.answer});
  vorn_generation::LMRouterOptions options;
  options.fallback_route = c.fallback;
  auto router = std::make_shared<vorn_generation::LMRouter>(
      std::vector<vorn_generation::LMRoute>{{"docs", "documentation"}, {"web", "the internet"}}, lm, options);
  if (c.chosen) {
    EXPECT_EQ(vorn_core::run_sync(router->route("q")), Value(c.chosen));
  } else {
    EXPECT_THROW(vorn_core::run_sync(router->route("q")), vorn_inference::StructuredOutputError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LMRouterReplyTest,
    ::testing::Values(RouterReplyCase{"plain_name", std::make_shared<LMOutput>(" Web.\n"), "", "web"},
                      RouterReplyCase{"quoted_name", std::make_shared<LMOutput>("\"docs\""), "", "docs"},
                      RouterReplyCase{"prose_without_fallback", std::make_shared<LMOutput>("I'd say the web"), "",
                                      nullptr},
                      RouterReplyCase{"prose_with_fallback", std::make_shared<LMOutput>("I'd say the web"), "docs",
                                      "docs"},
                      RouterReplyCase{"unknown_route_with_fallback", structured(Dict{{"route", "news"}}), "web",
                                      "web"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LMRouterTest, FallbackMustBeARoute) {
  auto lm = std::make_shared<ScriptedInvoker>(std::vector<LMOutputPtr>{});
  vorn_generation::LMRouterOptions options;
  options.fallback_route = "news";
  EXPECT_THROW(vorn_generation::LMRouter({{"docs", "d"}}, lm, options), vorn_core::ValueError);
}
