// The pieces of `vorn-rag serve` that need no socket: request parsing, the
// error mapping, conversation handling and the engine's queue.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <future>

#include "chat.hpp"
#include "engine.hpp"
#include "requests.hpp"
#include "serve_errors.hpp"
#include "service.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace vorn_serve;
using nlohmann::json;

TEST(ServeRequests, AskFillsDefaultsAndKeepsWhatIsGiven) {
  RequestDefaults defaults{"crag", "bm25", 7};
  auto plain = parse_ask_request(parse_json_object(R"({"question": "why?"})"), defaults);
  EXPECT_EQ(plain.strategy, "crag");
  EXPECT_EQ(plain.retriever, "bm25");
  EXPECT_EQ(plain.top_k, 7);
  EXPECT_TRUE(plain.filter.is_none());
  auto full = parse_ask_request(parse_json_object(R"({"question": "why?", "strategy": "routed", "retriever": "vector",
      "top_k": 3.0, "filter": {"source": "a.md", "n": 2}, "trace": true})"), defaults);
  EXPECT_EQ(full.strategy, "routed");
  EXPECT_EQ(full.top_k, 3);
  EXPECT_TRUE(full.trace);
  ASSERT_TRUE(full.filter.is_dict());
  EXPECT_EQ(full.filter.as_dict().get("n").as_int(), 2);
}

class RefusedBodies : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(RefusedBodies, NameTheFieldAtFault) {
  const auto& [body, field] = GetParam();
  try {
    json parsed = parse_json_object(body);
    if (parsed.contains("messages") || parsed.contains("model")) {
      parse_chat_request(parsed, {});
    } else {
      parse_ask_request(parsed, {});
    }
    FAIL() << "accepted " << body;
  } catch (const BadRequestError& e) {
    EXPECT_NE(e.message().find(field), std::string::npos) << e.message();
    EXPECT_EQ(error_reply(std::current_exception()).status, 400);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedBodies,
    ::testing::Values(std::pair{"", "JSON"}, std::pair{"[1]", "object"}, std::pair{"{}", "`question`"},
                      std::pair{R"({"question": null})", "`question`"},
                      std::pair{R"({"question": "q", "top_k": -1})", "`top_k`"},
                      std::pair{R"({"question": "q", "top_k": 18446744073709551615})", "`top_k`"},
                      std::pair{R"({"question": "q", "top_k": "5"})", "`top_k`"},
                      std::pair{R"({"question": "q", "trace": "yes"})", "`trace`"},
                      std::pair{R"({"question": "q", "retriever": "grep"})", "grep"},
                      std::pair{R"({"question": "q", "filter": {"a\"b": 1}})", "`filter`"},
                      std::pair{R"({"question": "q", "filter": {"a": null}})", "`filter`"},
                      std::pair{R"({"model": "naive", "messages": []})", "`messages`"},
                      std::pair{R"({"model": "gpt-4", "messages": [{"role": "user", "content": "q"}]})", "gpt-4"},
                      std::pair{R"({"messages": [{"content": "q"}]})", "`role`"},
                      std::pair{R"({"messages": [{"role": "user", "content": 5}]})", "`content`"},
                      std::pair{R"({"messages": [{"role": "user", "content": [{"type": "text"}]}]})", "`text`"}));

TEST(ServeRequests, ChatReadsTextPartsAndTheServerModelName) {
  auto chat = parse_chat_request(parse_json_object(R"({"model": "vorn-rag", "stream": true, "messages": [
      {"role": "user", "content": [{"type": "text", "text": "first"}, {"type": "image_url", "image_url": {}},
                                   {"type": "text", "text": "second"}]}]})"),
                                 RequestDefaults{"map-reduce", "hybrid", 5});
  EXPECT_EQ(chat.model, "map-reduce");
  EXPECT_TRUE(chat.stream);
  ASSERT_EQ(chat.messages.size(), 1u);
  EXPECT_EQ(chat.messages[0].content, "first\nsecond");
}

TEST(ServeErrors, LibraryErrorsKeepTheirCodes) {
  auto reply_for = [](auto error) { return error_reply(std::make_exception_ptr(error)); };
  auto validation = reply_for(vorn_rag::RAGValueError("bad top_k"));
  EXPECT_EQ(validation.status, 400);
  EXPECT_EQ(validation.code, "VORN-RAG-VALIDATION");
  EXPECT_EQ(validation.type, "RAGValueError");
  auto runtime = reply_for(vorn_rag::RAGRuntimeError("no branch"));
  EXPECT_EQ(runtime.status, 500);
  EXPECT_EQ(runtime.code, "VORN-RAG-RUNTIME");
  auto store = reply_for(vorn_datastore::StoreError(vorn_datastore::store_errc::kBusy, "locked"));
  EXPECT_EQ(store.status, 500);
  EXPECT_EQ(store.code, "VORN-STORE-BUSY");
  EXPECT_EQ(reply_for(OverloadedError()).status, 503);
  EXPECT_EQ(reply_for(std::logic_error("oops")).code, "VORN-SERVE-INTERNAL");
  auto body = json::parse(error_json({500, "C", "bad \xff byte", "T"}));
  EXPECT_EQ(body["error"]["message"], "bad \xEF\xBF\xBD byte");
}

TEST(ServeChat, OfflineQuestionCarriesEarlierUserTurns) {
  std::vector<ChatMessage> messages = {{"system", "be brief"},
                                       {"user", "How do I enable the cache?"},
                                       {"assistant", "Set CACHE=1."},
                                       {"user", "and how do I undo it?"}};
  EXPECT_TRUE(has_earlier_user_turn(messages));
  EXPECT_EQ(offline_question(messages), "and how do I undo it?\nHow do I enable the cache?");
  EXPECT_FALSE(has_earlier_user_turn({{"user", "alone"}, {"user", "  "}}));
  EXPECT_EQ(offline_question({{"user", "alone"}, {"user", "  "}}), "alone");
  auto prompt = rewrite_prompt(messages);
  ASSERT_EQ(prompt.size(), 2u);
  EXPECT_EQ(prompt[1].content,
            "user: How do I enable the cache?\nassistant: Set CACHE=1.\nuser: and how do I undo it?\n");
}

TEST(ServeChat, StreamPiecesJoinBackIntoTheText) {
  for (const std::string text : {"", "one", "a b c d e f g h i", "  spaced\n\nout  words ", "ünïcödé wörds hère"}) {
    auto pieces = stream_pieces(text, 2);
    std::string joined;
    for (const auto& p : pieces) joined += p;
    EXPECT_EQ(joined, text);
  }
  EXPECT_EQ(stream_pieces("a b c d e", 2).size(), 3u);
}

vorn_core::Task<void> count_job(std::atomic<int>& done) {
  done.fetch_add(1);
  co_return;
}

TEST(ServeEngine, RunsEveryJobAndStopsAfterTheQueuedOnes) {
  std::atomic<int> done{0};
  {
    Engine engine(EngineOptions{2, 1000, 4});
    for (int i = 0; i < 500; ++i) {
      while (!engine.try_submit([&done] { return count_job(done); })) std::this_thread::yield();
    }
    engine.stop();
    EXPECT_FALSE(engine.try_submit([&done] { return count_job(done); }));
  }
  EXPECT_EQ(done.load(), 500);
}

TEST(ServeEngine, RefusesWhenTheQueueIsFull) {
  Engine engine(EngineOptions{1, 2, 1});
  std::promise<void> release;
  std::promise<void> started;
  auto released = release.get_future().share();
  ASSERT_TRUE(engine.try_submit([&started, released]() -> vorn_core::Task<void> {
    started.set_value();
    released.wait();
    co_return;
  }));
  started.get_future().wait();
  std::atomic<int> done{0};
  EXPECT_TRUE(engine.try_submit([&done] { return count_job(done); }));
  EXPECT_TRUE(engine.try_submit([&done] { return count_job(done); }));
  EXPECT_FALSE(engine.try_submit([&done] { return count_job(done); })) << "two wait already";
  EXPECT_EQ(engine.queued(), 2u);
  EXPECT_EQ(engine.running(), 1u);
  release.set_value();
  engine.stop();
  EXPECT_EQ(done.load(), 2);
}

struct Overlap {
  std::atomic<int> active{0}, most{0}, done{0};
};

vorn_core::Task<void> sleepy_job(Overlap& overlap) {
  const int now = overlap.active.fetch_add(1) + 1;
  int most = overlap.most.load();
  while (now > most && !overlap.most.compare_exchange_weak(most, now)) {
  }
  co_await vorn_core::sleep_for(std::chrono::milliseconds(20));
  overlap.active.fetch_sub(1);
  overlap.done.fetch_add(1);
}

TEST(ServeEngine, JobsThatWaitShareAWorker) {
  Overlap overlap;
  Engine engine(EngineOptions{1, 100, 8});
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(engine.try_submit([&overlap] { return sleepy_job(overlap); }));
  engine.stop();
  EXPECT_EQ(overlap.done.load(), 8);
  EXPECT_GT(overlap.most.load(), 1) << "a waiting job lets the next one start on the same thread";
}

}  // namespace
