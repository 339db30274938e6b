// Streamed answers (server-sent events) and the context budget of "stuff"
// synthesis.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keepalive_http_server.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/trace.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_generation/context_budget.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"

using namespace std::chrono_literals;
using vorn_inference::LMOutputPtr;
using vorn_test::FakeReply;
using vorn_test::KeepAliveHttpServer;
using vorn_test::RecordedRequest;

namespace {

std::string event(const std::string& delta, const std::string& finish = "") {
  nlohmann::json chunk = {{"id", "s1"}, {"model", "served"}};
  nlohmann::json choice = {{"index", 0}, {"delta", {{"content", delta}}}};
  choice["finish_reason"] = finish.empty() ? nlohmann::json() : nlohmann::json(finish);
  chunk["choices"] = nlohmann::json::array({choice});
  return "data: " + chunk.dump() + "\n\n";
}

const std::string kStream = ": keep-alive\n\n" + event("The ") + event("answer") + event(" is 4.", "stop") +
                            "data: {\"choices\": [], \"usage\": {\"total_tokens\": 9}}\n\ndata: [DONE]\n\n";

std::shared_ptr<vorn_inference::OpenAILMInvoker> invoker_for(const KeepAliveHttpServer& server) {
  vorn_inference::OpenAILMInvokerOptions options;
  options.model = "m";
  options.endpoint.base_url = server.base_url();
  options.endpoint.api_key_required = false;
  options.endpoint.retry.max_retries = 2;
  options.endpoint.retry.initial_backoff = 1ms;
  return std::make_shared<vorn_inference::OpenAILMInvoker>(std::move(options));
}

struct Streamed {
  LMOutputPtr output;
  std::vector<std::string> pieces;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
};

Streamed stream_from(const KeepAliveHttpServer& server) {
  Streamed result;
  auto lm = invoker_for(server);
  vorn_inference::InvokeOptions options;
  options.on_text = [&result](std::string_view piece) {
    result.pieces.emplace_back(piece);
    result.arrivals.push_back(std::chrono::steady_clock::now());
  };
  std::vector<vorn_inference::Message> messages{{"user", "2+2?"}};
  result.output = vorn_core::run_sync(lm->invoke(messages, std::move(options)));
  return result;
}

// The same event stream cut at different places, with CR LF or LF line ends.
struct SplitCase {
  const char* name;
  std::size_t piece_size;  // 0: one piece
  bool crlf;
};

class StreamSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(StreamSplitTest, TextArrivesInOrderWhateverTheBoundaries) {
  const SplitCase& c = GetParam();
  std::string text = kStream;
  if (c.crlf) {
    std::string converted;
    for (char ch : text) converted += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    text = converted;
  }
  std::vector<std::string> pieces;
  const std::size_t size = c.piece_size == 0 ? text.size() : c.piece_size;
  for (std::size_t i = 0; i < text.size(); i += size) pieces.push_back(text.substr(i, size));
  KeepAliveHttpServer server([&pieces](const RecordedRequest&) {
    return FakeReply{.content_type = "text/event-stream", .pieces = pieces};
  });
  const Streamed got = stream_from(server);
  EXPECT_EQ(got.output->response, "The answer is 4.");
  std::string joined;
  for (const auto& p : got.pieces) joined += p;
  EXPECT_EQ(joined, "The answer is 4.");
  EXPECT_EQ(got.output->metadata.get("finish_reason"), vorn_core::Value("stop"));
  EXPECT_EQ(got.output->metadata.get("model"), vorn_core::Value("served"));
  EXPECT_EQ(got.output->metadata.get("usage").as_dict().get("total_tokens"), vorn_core::Value(9));
  const auto request = server.requests().at(0);
  EXPECT_EQ(nlohmann::json::parse(request.body)["stream"], true);
  EXPECT_EQ(request.header("accept"), "text/event-stream");
}

INSTANTIATE_TEST_SUITE_P(Table, StreamSplitTest,
                         ::testing::Values(SplitCase{"whole", 0, false}, SplitCase{"bytewise", 1, false},
                                           SplitCase{"crlf_bytewise", 1, true}, SplitCase{"odd_pieces", 7, true},
                                           SplitCase{"crlf_whole", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StreamingTest, PiecesReachTheCallerWhileTheAnswerIsStillComing) {
  KeepAliveHttpServer server([](const RecordedRequest&) {
    return FakeReply{.content_type = "text/event-stream",
                     .pieces = {event("first"), event(" second"), event(" third", "stop") + "data: [DONE]\n\n"},
                     .piece_delay = 150ms};
  });
  const Streamed got = stream_from(server);
  ASSERT_EQ(got.pieces.size(), 3u);
  // The first piece was handed over well before the server sent the last.
  EXPECT_GE(got.arrivals.back() - got.arrivals.front(), 200ms);
  EXPECT_EQ(got.output->response, "first second third");
}

TEST(StreamingTest, ServerThatIgnoresStreamingStillFeedsTheSink) {
  KeepAliveHttpServer server([](const RecordedRequest&) {
    return FakeReply{.body = R"({"choices": [{"message": {"content": "all at once"}, "finish_reason": "stop"}]})"};
  });
  const Streamed got = stream_from(server);
  EXPECT_EQ(got.pieces, std::vector<std::string>{"all at once"});
  EXPECT_EQ(got.output->response, "all at once");
}

TEST(StreamingTest, BrokenStreamsEndAsResponseErrors) {
  for (const std::string& body : {std::string("data: {\"error\": {\"message\": \"overloaded\"}}\n\n"),
                                  std::string("data: not json\n\n"), std::string(": only a comment\n\n")}) {
    KeepAliveHttpServer server([&body](const RecordedRequest&) {
      return FakeReply{.content_type = "text/event-stream", .pieces = {body}};
    });
    EXPECT_THROW(stream_from(server), vorn_inference::ModelResponseError) << body;
  }
}

TEST(StreamingTest, FailureBeforeAnyTextIsRetriedButNotAfter) {
  std::atomic<int> calls{0};
  KeepAliveHttpServer server([&calls](const RecordedRequest&) {
    ++calls;
    if (calls == 1) return FakeReply{.status = 503};
    return FakeReply{.content_type = "text/event-stream", .pieces = {event("ok", "stop")}};
  });
  EXPECT_EQ(stream_from(server).output->response, "ok");
  EXPECT_EQ(calls, 2);

  // Cut off after text went out: retrying would show the caller that text twice.
  std::atomic<int> cut_calls{0};
  KeepAliveHttpServer cut([&cut_calls](const RecordedRequest&) {
    ++cut_calls;
    return FakeReply{.content_type = "text/event-stream", .pieces = {event("partial")}, .truncate = true};
  });
  EXPECT_THROW(stream_from(cut), vorn_inference::ModelConnectionError);
  EXPECT_EQ(cut_calls, 1);
}

// ---- the context budget ----------------------------------------------------------

vorn_core::ChunkList numbered_chunks(int count, std::size_t size) {
  vorn_core::ChunkList out;
  for (int i = 0; i < count; ++i) out.push_back(vorn_core::make_chunk("c" + std::to_string(i), std::string(size, 'a' + i % 26)));
  return out;
}

struct BudgetCase {
  const char* name;
  int chunks;
  std::size_t chunk_size;
  std::size_t budget;
  std::size_t kept;
  std::size_t shortened;
  std::size_t dropped;
};

class ContextBudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(ContextBudgetTest, KeepsTheBestChunksWithinTheBudget) {
  const BudgetCase& c = GetParam();
  const auto fitted = vorn_generation::fit_context(numbered_chunks(c.chunks, c.chunk_size), c.budget);
  EXPECT_LE(vorn_generation::format_context(fitted.chunks).size(), c.budget);
  EXPECT_EQ(fitted.chunks.size(), c.kept);
  EXPECT_EQ(fitted.cut.shortened.size(), c.shortened);
  EXPECT_EQ(fitted.cut.dropped.size(), c.dropped);
  // Rank order survives; whatever was cut is from the bottom.
  for (std::size_t i = 0; i < fitted.chunks.size(); ++i) EXPECT_EQ(fitted.chunks[i]->id, "c" + std::to_string(i));
  if (!fitted.cut.dropped.empty()) EXPECT_EQ(fitted.cut.dropped.back(), "c" + std::to_string(c.chunks - 1));
}

// Each chunk costs 5 bytes of "[cN] " header, plus 2 between chunks.
INSTANTIATE_TEST_SUITE_P(
    Table, ContextBudgetTest,
    ::testing::Values(BudgetCase{"everything_fits", 3, 100, 10'000, 3, 0, 0},
                      BudgetCase{"exactly_fits", 2, 100, 212, 2, 0, 0},
                      BudgetCase{"last_shortened", 3, 1000, 2500, 3, 1, 0},
                      BudgetCase{"too_little_room_drops", 3, 1000, 2100, 2, 0, 1},
                      BudgetCase{"many_dropped", 1000, 1000, 5000, 5, 1, 995},
                      BudgetCase{"no_room", 3, 100, 0, 0, 0, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContextBudgetTest, ShortenedChunkIsACopyCutOnACharacterBoundary) {
  vorn_core::ChunkList chunks{vorn_core::make_chunk("a", std::string(300, 'x')),
                              vorn_core::make_chunk("b", std::string(200, 'y') + "\xC3\xA9" + std::string(400, 'z'))};
  const auto fitted = vorn_generation::fit_context(chunks, 300 + 4 + 2 + 4 + 201 + 6);
  ASSERT_EQ(fitted.chunks.size(), 2u);
  EXPECT_EQ(fitted.chunks[1]->content, std::string(200, 'y') + " [...]");
  EXPECT_EQ(chunks[1]->content.size(), 602u);  // the caller's chunk is untouched
  EXPECT_NE(fitted.cut.describe().find("shortened [b]"), std::string::npos) << fitted.cut.describe();
}

class PromptCapture : public vorn_inference::BaseLMInvoker {
 public:
  vorn_core::Task<LMOutputPtr> invoke(std::vector<vorn_inference::Message> messages,
                                      vorn_inference::InvokeOptions options) override {
    prompt_bytes = 0;
    for (const auto& m : messages) prompt_bytes += m.content.size();
    if (options.on_text) options.on_text("streamed");
    co_return std::make_shared<vorn_inference::LMOutput>("streamed");
  }
  std::string type_name() const override { return "PromptCapture"; }
  std::size_t prompt_bytes = 0;
};

TEST(ContextBudgetTest, StuffPromptsNeverExceedTheBudgetAndTheSinkHearsTheAnswer) {
  auto lm = std::make_shared<PromptCapture>();
  auto builder = std::make_shared<vorn_generation::PromptBuilder>("Answer from the context.",
                                                                   "Context:\n{context}\n\nQuestion: {query}");
  vorn_generation::StuffOptions options;
  options.max_prompt_bytes = 4000;
  std::vector<vorn_generation::ContextCut> cuts;
  options.on_context_cut = [&cuts](const vorn_generation::ContextCut& cut) { cuts.push_back(cut); };
  std::string heard;
  options.on_text = [&heard](std::string_view piece) { heard += piece; };
  auto synthesizer = vorn_generation::ResponseSynthesizer::stuff(
      std::make_shared<vorn_generation::LMRequestProcessor>(builder, lm), options);
  // A huge top_k's worth of chunks: 10,000 chunks of 800 bytes.
  const auto answer = vorn_core::run_sync(synthesizer->synthesize("what?", numbered_chunks(10'000, 800)));
  EXPECT_EQ(answer, vorn_core::Value("streamed"));
  EXPECT_EQ(heard, "streamed");
  EXPECT_LE(lm->prompt_bytes, 4000u);
  EXPECT_GT(lm->prompt_bytes, 3000u);  // the room is used, not wasted
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_GT(cuts[0].dropped.size(), 9'990u);
}

// Hands out `top_k` numbered chunks of 200 bytes after a pause, so that runs
// started together interleave on the loop.
class NumberedRetriever : public vorn_retrieval::BaseRetriever {
 protected:
  vorn_core::Task<vorn_core::ChunkList> retrieve_chunks(std::string, vorn_retrieval::RetrieveOptions options) override {
    co_await vorn_core::sleep_for(20ms);
    co_return numbered_chunks(static_cast<int>(options.top_k.value_or(1)), 200);
  }
  std::string type_name() const override { return "NumberedRetriever"; }
};

TEST(ContextBudgetTest, TheCutIsNotedInTheTraceOfTheRunThatMadeIt) {
  auto builder = std::make_shared<vorn_generation::PromptBuilder>("Answer.", "{context}\n{query}");
  vorn_generation::StuffOptions options;
  options.max_prompt_bytes = 1000;
  auto synthesizer = vorn_generation::ResponseSynthesizer::stuff(
      std::make_shared<vorn_generation::LMRequestProcessor>(builder, std::make_shared<PromptCapture>()), options);
  auto rag = std::make_shared<vorn_rag::strategies::NaiveRAG>(std::make_shared<NumberedRetriever>(), synthesizer);
  auto cut_trace = std::make_shared<vorn_core::Trace>();
  auto whole_trace = std::make_shared<vorn_core::Trace>();
  // Two runs on one loop at once: 30 chunks overflow the budget, 2 fit.
  std::vector<vorn_core::Task<vorn_core::Dict>> runs;
  runs.push_back(rag->arun("many", vorn_core::Value(30), {{"trace", vorn_core::Value(cut_trace)}}));
  runs.push_back(rag->arun("few", vorn_core::Value(2), {{"trace", vorn_core::Value(whole_trace)}}));
  vorn_core::run_sync(vorn_core::when_all(std::move(runs)));

  auto notes = [](const vorn_core::TracePtr& trace) {
    std::vector<vorn_core::TraceEvent> out;
    for (const auto& e : trace->events())
      if (e.kind == "note" && e.name == "context_budget") out.push_back(e);
    return out;
  };
  EXPECT_TRUE(notes(whole_trace).empty());
  const auto cut = notes(cut_trace);
  ASSERT_EQ(cut.size(), 1u);
  const auto events = cut_trace->events();
  ASSERT_GE(cut[0].parent, 0);
  EXPECT_EQ(events[static_cast<std::size_t>(cut[0].parent)].name, "synthesize");  // under the step that cut
  const vorn_core::List dropped = cut[0].data.get("dropped").as_list();
  const vorn_core::List shortened = cut[0].data.get("shortened").as_list();
  // 200-byte chunks in about 985 bytes of room: four whole, the rest cut from the bottom.
  EXPECT_EQ(dropped.size() + shortened.size(), 26u);
  ASSERT_FALSE(dropped.empty());
  EXPECT_EQ(dropped.back().as_string(), "c29");
  EXPECT_GT(cut[0].data.get("bytes_removed").as_int(), 4000);
  EXPECT_NE(cut[0].data.get("summary").as_string().find("dropped"), std::string::npos);
}

}  // namespace
