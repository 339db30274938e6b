// What the server writes and how it admits work without a hand-off: JSON
// text written straight from strings must equal what the JSON library
// writes, invalid UTF-8 included; answering on the caller's thread must
// stay within the engine's bounds.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <future>
#include <random>
#include <thread>

#include "engine.hpp"
#include "json_text.hpp"
#include "responses.hpp"
#include "socket_stream.hpp"

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

vorn_core::Task<void> held_until(std::shared_future<void> released, std::promise<void>* started) {
  started->set_value();
  released.wait();
  co_return;
}

TEST(ServeLanes, AreAsManyAsWorkersAndSharedWithBusyWorkers) {
  Engine engine(EngineOptions{2, 4, 1});
  Engine::Lane first, second, third;
  ASSERT_TRUE(engine.try_enter(first));
  ASSERT_TRUE(engine.try_enter(second));
  EXPECT_FALSE(engine.try_enter(third)) << "both lanes are held";
  EXPECT_EQ(engine.running(), 2u);
  second.leave();
  // A worker running a job holds the lane that was just left.
  std::promise<void> release, started;
  ASSERT_TRUE(engine.try_submit([&] { return held_until(release.get_future().share(), &started); }));
  started.get_future().wait();
  EXPECT_FALSE(engine.try_enter(third)) << "one lane held here, the other by the busy worker";
  first.leave();
  EXPECT_TRUE(engine.try_enter(third));
  release.set_value();
  third.leave();
  engine.stop();
  EXPECT_EQ(engine.running(), 0u);
}

TEST(ServeLanes, StopWaitsForHeldLanesAndRefusesNewOnes) {
  Engine engine(EngineOptions{1, 4, 1});
  auto held = std::make_unique<Engine::Lane>();
  ASSERT_TRUE(engine.try_enter(*held));
  auto stopped = std::async(std::launch::async, [&] { engine.stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  held.reset();
  stopped.get();
  Engine::Lane late;
  EXPECT_FALSE(engine.try_enter(late));
}

// ---- output held until it must go --------------------------------------------

class HeldOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    stream_ = std::make_unique<SocketStream>(fds_[0], std::chrono::milliseconds(200), std::chrono::milliseconds(200));
  }
  void TearDown() override {
    stream_.reset();
    ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  // What the peer can read now, without waiting.
  std::string peer_reads() {
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }
  void write(const std::string& text) {
    ASSERT_EQ(stream_->write(text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  int fds_[2] = {-1, -1};
  std::unique_ptr<SocketStream> stream_;
};

TEST_F(HeldOutput, LeavesInOnePieceOnFlush) {
  write("HTTP/1.1 200 OK\r\n\r\n");
  write("{\"answer\": 1}");
  EXPECT_EQ(peer_reads(), "");
  ASSERT_TRUE(stream_->flush());
  EXPECT_EQ(peer_reads(), "HTTP/1.1 200 OK\r\n\r\n{\"answer\": 1}");
}

TEST_F(HeldOutput, GoesOutBeforeAnyWaitForInputAndWhenLarge) {
  // A reply the client waits for before it sends more must not be held back.
  write("HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_FALSE(stream_->is_readable());  // nothing came within the read timeout
  EXPECT_EQ(peer_reads(), "HTTP/1.1 100 Continue\r\n\r\n");
  write("next");
  EXPECT_FALSE(stream_->wait_readable(std::chrono::milliseconds(10)));
  EXPECT_EQ(peer_reads(), "next");
  const std::string large(40 * 1024, 'x');
  write(large);
  EXPECT_EQ(peer_reads().size(), large.size());
}

TEST_F(HeldOutput, AGonePeerFailsTheFlushAndLaterWrites) {
  ::close(fds_[1]);
  fds_[1] = -1;
  write("lost");
  EXPECT_FALSE(stream_->flush());
  EXPECT_EQ(stream_->write("x", 1), -1);
}

}  // namespace
