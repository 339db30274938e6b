// What the server writes and how it admits work without a hand-off: JSON
// text written straight from strings must equal what the JSON library
// writes, invalid UTF-8 included, and answering on the caller's thread
// must keep the engine's bounds and order.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <future>
#include <random>
#include <thread>

#include "engine.hpp"
#include "json_text.hpp"
#include "responses.hpp"

namespace {

using namespace vorn_serve;

std::string library_text(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string written(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

class JsonStrings : public ::testing::TestWithParam<std::string> {};

TEST_P(JsonStrings, AreWrittenAsTheLibraryWritesThem) { EXPECT_EQ(written(GetParam()), library_text(GetParam())); }

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonStrings,
    ::testing::Values(std::string(), "plain words", "quote \" and \\ backslash / slash",
                      std::string("controls \b\f\n\r\t \x01\x1f\x7f end"), std::string("nul \0 inside", 12),
                      "ünïcödé 日本語 😀", "\xff\xfe bad lead bytes", "\xc0\xaf overlong slash", "\xe0\x80\xaf overlong",
                      "\xed\xa0\x80 surrogate", "\xf4\x90\x80\x80 past U+10FFFF", "cut at the end \xe6\x97",
                      "cut then ascii \xe6\x97x", "cut then lead \xe6\xe6\x97\xa5", "\x80 lone continuation",
                      "\xf0\x9f\x98", "\xc3"));

TEST(JsonStrings, RandomBytesAreWrittenAsTheLibraryWritesThem) {
  // Bytes drawn mostly from the ones that start, continue or break sequences.
  const std::string alphabet = std::string("a\"\\\n\x01\x7f", 6) + "\x80\x8f\x90\x9f\xa0\xbf\xc0\xc2\xdf\xe0\xe1\xed\xef\xf0\xf4\xf5\xff";
  std::mt19937 rng(42);
  for (int n = 0; n < 5000; ++n) {
    std::string text;
    const std::size_t length = rng() % 10;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(written(text), library_text(text)) << ::testing::PrintToString(text);
  }
}

TEST(JsonNumbers, ReadBackAsTheLibraryWritesThem) {
  for (double v : {0.0, -0.0, 1.0, 0.1, 1.0 / 3, 1e-7, 123456789.125, 1e300, std::nan(""), HUGE_VAL}) {
    std::string out;
    append_json_number(out, v);
    EXPECT_EQ(out, nlohmann::json(v).dump()) << v;
  }
}

TEST(ResponseBodies, EqualTheDocumentsTheyStandFor) {
  AskResult result;
  result.answer = "Fusion \"sums\" ranks\n\xff";
  result.strategy = "naive";
  result.citations = {{"a.md#0", "a.md", "text with \t tab", 0.0325},
                      {"b.md#3", "b.md", "", std::nullopt},
                      {"c\xe6.md#1", "c\xe6.md", "日本語", -1.5}};
  EXPECT_EQ(ask_body(result), dump(ask_json(result)));
  EXPECT_EQ(search_body(result.citations), dump(search_json(result.citations)));
  result.citations.clear();
  vorn_core::TraceEvent event;
  event.name = "retrieve";
  event.kind = "step";
  event.duration_ms = 1.25;
  event.chunks = 5;
  result.trace = std::vector<vorn_core::TraceEvent>{event};
  EXPECT_EQ(ask_body(result), dump(ask_json(result)));
  EXPECT_EQ(search_body({}), dump(search_json({})));
}

// ---- lanes --------------------------------------------------------------------

// Holds the only lane of a one-worker engine until released.
struct HeldLane {
  Engine::Lane lane;
  explicit HeldLane(Engine& engine) { EXPECT_EQ(engine.enter(lane), Engine::Entry::kEntered); }
};

void wait_until(const std::function<bool()>& condition) {
  while (!condition()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(ServeLanes, WaitersEnterInArrivalOrderAndCountAgainstTheQueue) {
  Engine engine(EngineOptions{1, 3, 1});
  auto held = std::make_unique<HeldLane>(engine);
  EXPECT_EQ(engine.running(), 1u);
  std::mutex order_mutex;
  std::vector<int> order;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      Engine::Lane lane;
      ASSERT_EQ(engine.enter(lane), Engine::Entry::kEntered);
      std::lock_guard lock(order_mutex);
      order.push_back(i);
    });
    wait_until([&] { return engine.queued() == static_cast<std::size_t>(i + 1); });
  }
  Engine::Lane refused;
  EXPECT_EQ(engine.enter(refused), Engine::Entry::kRefused) << "three wait already";
  EXPECT_FALSE(engine.try_submit([]() -> vorn_core::Task<void> { co_return; })) << "jobs share the bound";
  held.reset();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(engine.queued(), 0u);
  EXPECT_EQ(engine.running(), 0u);
}

TEST(ServeLanes, AWorkerBusyWithAJobHoldsALane) {
  Engine engine(EngineOptions{1, 4, 1});
  std::promise<void> release, started;
  auto released = release.get_future().share();
  ASSERT_TRUE(engine.try_submit([&started, released]() -> vorn_core::Task<void> {
    started.set_value();
    released.wait();
    co_return;
  }));
  started.get_future().wait();
  auto entered = std::async(std::launch::async, [&] {
    Engine::Lane lane;
    return engine.enter(lane);
  });
  EXPECT_EQ(entered.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(engine.queued(), 1u);
  release.set_value();
  EXPECT_EQ(entered.get(), Engine::Entry::kEntered);
}

TEST(ServeLanes, AWaiterThatGivesUpLeavesTheQueueAndStopWaitsForHolders) {
  auto engine = std::make_unique<Engine>(EngineOptions{1, 4, 1});
  auto held = std::make_unique<HeldLane>(*engine);
  std::atomic<bool> leave{false};
  auto gave_up = std::async(std::launch::async, [&] {
    Engine::Lane lane;
    return engine->enter(lane, [&] { return leave.load(); }, std::chrono::milliseconds(5));
  });
  wait_until([&] { return engine->queued() == 1; });
  leave = true;
  EXPECT_EQ(gave_up.get(), Engine::Entry::kGaveUp);
  EXPECT_EQ(engine->queued(), 0u);
  // stop() returns only once the held lane is left; entries are refused meanwhile.
  auto stopped = std::async(std::launch::async, [&] { engine->stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  Engine::Lane late;
  EXPECT_EQ(engine->enter(late), Engine::Entry::kRefused);
  held.reset();
  stopped.get();
}

}  // namespace
