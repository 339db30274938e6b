// The reranker served by a model, against a concurrent keep-alive server on
// 127.0.0.1 that plays a rerank endpoint: what is sent, how the scores
// reorder and cut the chunks, batches on the wire together, and every way a
// reply can be wrong ending as a typed error without the key.
#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api_key_test.hpp"
#include "keepalive_http_server.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_generation/model_reranker.hpp"
#include "vorn_inference/errors.hpp"

using namespace std::chrono_literals;
using nlohmann::json;
using vorn_generation::ModelReranker;
using vorn_generation::ModelRerankerOptions;
using vorn_test::FakeReply;
using vorn_test::KeepAliveHttpServer;
using vorn_test::RecordedRequest;

namespace {

constexpr const char* kKeyVariable = "VORN_TEST_RERANK_KEY";
constexpr const char* kKey = "sk-rerank-VORNSECRET-0123456789";

// Scores each document by the number it starts with ("7 ..." scores 0.7),
// best first, answering at most `top_n`, in the shape a server of the given
// style uses.
KeepAliveHttpServer::Handler scoring_server(bool bare_list, std::chrono::milliseconds delay = 0ms) {
  return [bare_list, delay](const RecordedRequest& request) {
    const json body = json::parse(request.body);
    std::vector<std::pair<double, std::size_t>> scored;
    for (std::size_t i = 0; i < body["documents"].size(); ++i) {
      scored.emplace_back(std::stod(body["documents"][i].get<std::string>()) / 10.0, i);
    }
    std::sort(scored.begin(), scored.end(), std::greater<>());
    scored.resize(std::min<std::size_t>(scored.size(), body["top_n"].get<std::size_t>()));
    json results = json::array();
    for (const auto& [score, index] : scored) {
      results.push_back(bare_list ? json{{"index", index}, {"score", score}}
                                  : json{{"index", index}, {"relevance_score", score}, {"document", "echo"}});
    }
    return FakeReply{.body = bare_list ? results.dump() : json{{"results", results}}.dump(), .delay = delay};
  };
}

ModelRerankerOptions options_for(const KeepAliveHttpServer& server, std::size_t batch_size = 32, std::size_t keep = 0) {
  ModelRerankerOptions options;
  options.client.model = "rerank-model";
  options.client.endpoint.base_url = server.base_url();
  options.client.endpoint.api_key_env = kKeyVariable;
  options.client.endpoint.retry.max_retries = 1;
  options.client.endpoint.retry.initial_backoff = 1ms;
  options.client.endpoint.retry.max_backoff = 1ms;
  options.client.endpoint.http.total_timeout = 5s;
  options.batch_size = batch_size;
  options.keep = keep;
  return options;
}

vorn_core::ChunkList chunks_of(const std::vector<std::string>& contents) {
  vorn_core::ChunkList chunks;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    chunks.push_back(vorn_core::make_chunk("c" + std::to_string(i), contents[i], {}, 100.0));
  }
  return chunks;
}

std::vector<std::string> ids_of(const vorn_core::ChunkList& chunks) {
  std::vector<std::string> ids;
  for (const auto& chunk : chunks) ids.push_back(chunk->id);
  return ids;
}

vorn_core::ChunkList rerank(ModelRerankerOptions options, vorn_core::ChunkList chunks, std::string query = "q") {
  auto reranker = std::make_shared<ModelReranker>(std::move(options));
  return vorn_core::run_sync(reranker->rerank(std::move(chunks), std::move(query)));
}

class ModelRerankerTest : public vorn_test::ApiKeyTest {
 protected:
  ModelRerankerTest() : ApiKeyTest(kKeyVariable, kKey) {}
};

class ModelRerankerShapeTest : public ModelRerankerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ModelRerankerShapeTest, ScoresReorderTheChunksAndReplaceTheirScores) {
  KeepAliveHttpServer server(scoring_server(/*bare_list=*/GetParam()));
  const auto out = rerank(options_for(server), chunks_of({"2 low", "9 best", "5 middle", "5 tie"}), "which?");
  EXPECT_EQ(ids_of(out), (std::vector<std::string>{"c1", "c2", "c3", "c0"}));  // the tie keeps incoming order
  ASSERT_EQ(out.size(), 4u);
  EXPECT_DOUBLE_EQ(*out[0]->score, 0.9);
  EXPECT_DOUBLE_EQ(*out[3]->score, 0.2);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/v1/rerank");
  EXPECT_EQ(requests[0].header("authorization"), std::string("Bearer ") + kKey);
  const json body = json::parse(requests[0].body);
  EXPECT_EQ(body["model"], "rerank-model");
  EXPECT_EQ(body["query"], "which?");
  EXPECT_EQ(body["documents"], json({"2 low", "9 best", "5 middle", "5 tie"}));
  EXPECT_EQ(body["top_n"], 4);
}

INSTANTIATE_TEST_SUITE_P(ReplyShapes, ModelRerankerShapeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "BareList" : "Results"; });

TEST_F(ModelRerankerTest, BatchesGoOutTogetherAndKeepTheBestAcrossThem) {
  KeepAliveHttpServer server(scoring_server(false, 300ms));
  // Batches of two: {1, 8} {3, 7} {9}; the best three are spread over all.
  const auto out = rerank(options_for(server, /*batch_size=*/2, /*keep=*/3), chunks_of({"1", "8", "3", "7", "9"}));
  EXPECT_EQ(ids_of(out), (std::vector<std::string>{"c4", "c1", "c3"}));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  std::vector<int> top_n;
  for (const auto& request : requests) top_n.push_back(json::parse(request.body)["top_n"].get<int>());
  std::sort(top_n.begin(), top_n.end());
  EXPECT_EQ(top_n, (std::vector<int>{1, 2, 2}));  // each batch asks for its best `keep`, at most its size
  EXPECT_EQ(server.max_concurrent_requests(), 3);
}

TEST_F(ModelRerankerTest, AServerIgnoringTopNIsStillCutToKeep) {
  KeepAliveHttpServer server([](const RecordedRequest&) {
    return FakeReply{.body = R"([{"index": 0, "score": 1}, {"index": 1, "score": 3}, {"index": 2, "score": 2}])"};
  });
  EXPECT_EQ(ids_of(rerank(options_for(server, 32, /*keep=*/1), chunks_of({"a", "b", "c"}))),
            (std::vector<std::string>{"c1"}));
}

TEST_F(ModelRerankerTest, NoChunksNoRequestAndLongDocumentsAreCutOnACharacterBoundary) {
  KeepAliveHttpServer server(scoring_server(false));
  EXPECT_TRUE(rerank(options_for(server), {}).empty());
  EXPECT_TRUE(server.requests().empty());

  auto options = options_for(server);
  options.client.max_document_bytes = 6;
  // "7 " then three two-byte letters: the cut falls inside the third.
  const auto out = rerank(options, chunks_of({"7 \xC3\xA9\xC3\xA9\xC3\xA9"}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->content, "7 \xC3\xA9\xC3\xA9\xC3\xA9");  // the chunk itself is untouched
  EXPECT_EQ(json::parse(server.requests().at(0).body)["documents"][0], "7 \xC3\xA9\xC3\xA9");
}

TEST_F(ModelRerankerTest, AbsentChunkAndBadOptionsAreRefusedUpFront) {
  KeepAliveHttpServer server(scoring_server(false));
  vorn_core::ChunkList chunks = chunks_of({"1"});
  chunks.push_back(nullptr);
  EXPECT_THROW(rerank(options_for(server), chunks), vorn_core::TypeError);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_THROW(ModelReranker(options_for(server, /*batch_size=*/0)), vorn_inference::ModelConfigError);
  auto no_model = options_for(server);
  no_model.client.model.clear();
  EXPECT_THROW(ModelReranker{no_model}, vorn_inference::ModelConfigError);
  const std::string repr = ModelReranker(options_for(server)).repr();
  EXPECT_NE(repr.find("rerank-model"), std::string::npos);
  EXPECT_EQ(repr.find(kKey), std::string::npos);
}

struct BadReply {
  std::string name;
  int status;
  std::string body;
  std::string code;
  std::string fragment;
};

class ModelRerankerBadReplyTest : public ModelRerankerTest, public ::testing::WithParamInterface<BadReply> {};

TEST_P(ModelRerankerBadReplyTest, EndsAsATypedErrorWithoutTheKey) {
  const BadReply& bad = GetParam();
  KeepAliveHttpServer server([&bad](const RecordedRequest&) { return FakeReply{.status = bad.status, .body = bad.body}; });
  try {
    rerank(options_for(server), chunks_of({"1", "2"}));
    FAIL() << "expected an error";
  } catch (const vorn_inference::InferenceError& e) {
    EXPECT_EQ(e.code(), bad.code) << e.message();
    EXPECT_NE(e.message().find(bad.fragment), std::string::npos) << e.message();
    EXPECT_EQ(e.message().find(kKey), std::string::npos) << e.message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModelRerankerBadReplyTest,
    ::testing::Values(
        BadReply{"NotJson", 200, "<html>", "VORN-INFERENCE-RESPONSE", "not JSON"},
        BadReply{"NoResults", 200, R"({"data": []})", "VORN-INFERENCE-RESPONSE", "without a `results` list"},
        BadReply{"ResultsNotAList", 200, R"({"results": 3})", "VORN-INFERENCE-RESPONSE", "not a list"},
        BadReply{"TooFew", 200, R"({"results": [{"index": 0, "relevance_score": 1}]})", "VORN-INFERENCE-RESPONSE",
                 "1 scores where 2 of 2"},
        BadReply{"TooMany", 200, R"([{"index":0,"score":1},{"index":1,"score":1},{"index":1,"score":1}])",
                 "VORN-INFERENCE-RESPONSE", "3 scores where 2 of 2"},
        BadReply{"Repeated", 200, R"([{"index": 1, "score": 1}, {"index": 1, "score": 2}])",
                 "VORN-INFERENCE-RESPONSE", "out of range or repeated"},
        BadReply{"OutOfRange", 200, R"([{"index": 0, "score": 1}, {"index": -1, "score": 2}])",
                 "VORN-INFERENCE-RESPONSE", "out of range or repeated"},
        BadReply{"FloatIndex", 200, R"([{"index": 0.5, "score": 1}, {"index": 1, "score": 2}])",
                 "VORN-INFERENCE-RESPONSE", "integer `index`"},
        BadReply{"ScoreNotANumber", 200, R"([{"index": 0, "score": "high"}, {"index": 1, "score": 2}])",
                 "VORN-INFERENCE-RESPONSE", "not a finite number"},
        BadReply{"NoScore", 200, R"([{"index": 0}, {"index": 1, "score": 2}])", "VORN-INFERENCE-RESPONSE",
                 "not a finite number"},
        BadReply{"NotFound", 404, R"({"detail": "Not Found"})", "VORN-INFERENCE-HTTP", "HTTP 404: Not Found"},
        BadReply{"KeyQuoted", 401, std::string(R"({"error": {"message": "bad key )") + kKey + R"("}})",
                 "VORN-INFERENCE-AUTH", "[REDACTED]"},
        BadReply{"Overloaded", 503, "busy", "VORN-INFERENCE-HTTP", "after 2 attempts"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ModelRerankerTest, StopAndDeadlineEndTheCallAndItsTransfer) {
  KeepAliveHttpServer server(scoring_server(false, 5s));
  auto options = options_for(server).client;
  vorn_inference::RerankClient client(options);
  std::stop_source stop;
  auto cancel_soon = [](std::stop_source stop) -> vorn_core::Task<void> {
    co_await vorn_core::sleep_for(100ms);
    stop.request_stop();
  };
  auto scenario = [&]() -> vorn_core::Task<void> {
    vorn_inference::RerankCallOptions call;
    call.stop = stop.get_token();
    std::vector<vorn_core::Task<void>> both;
    both.push_back(cancel_soon(stop));
    both.push_back([](const vorn_inference::RerankClient& client,
                      vorn_inference::RerankCallOptions call) -> vorn_core::Task<void> {
      // Built by statements: g++ 12 mishandles braced temporaries in a co_await operand.
      std::vector<std::string> documents{"1", "2"};
      auto pending = client.score("q", std::move(documents), std::move(call));
      co_await std::move(pending);
    }(client, std::move(call)));
    co_await vorn_core::when_all(std::move(both));
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(vorn_core::run_sync(scenario()), vorn_inference::ModelCancelledError);

  vorn_inference::RerankCallOptions late;
  late.deadline = std::chrono::steady_clock::now() + 150ms;
  EXPECT_THROW(vorn_core::run_sync(client.score("q", {"1"}, late)), vorn_inference::ModelTimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  for (int i = 0; i < 200 && server.abandoned_requests() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server.abandoned_requests(), 2);
}

TEST_F(ModelRerankerTest, ACallerTimeoutStopsEveryBatchOnTheWire) {
  KeepAliveHttpServer server(scoring_server(false, 5s));
  auto reranker = std::make_shared<ModelReranker>(options_for(server, /*batch_size=*/2));
  EXPECT_THROW(vorn_core::run_sync(vorn_core::with_timeout(reranker->rerank(chunks_of({"1", "2", "3", "4", "5"}), "q"),
                                                           200ms)),
               vorn_core::TimeoutError);
  for (int i = 0; i < 200 && server.abandoned_requests() < 3; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server.abandoned_requests(), 3);  // all three batches dropped, none left running
}

}  // namespace
