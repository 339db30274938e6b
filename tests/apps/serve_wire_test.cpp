// What the server writes and how it admits work without a hand-off: JSON
// text written straight from strings must equal what the JSON library
// writes, invalid UTF-8 included; answering on the caller's thread must
// stay within the engine's bounds; connections between requests wait with
// no thread, and a request read without waiting can be read again.
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
#include "idle_connections.hpp"
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

TEST_F(HeldOutput, ARequestReadWithoutWaitingStarvesAndReadsAgainFromItsStart) {
  stream_->set_waiting(false);
  stream_->begin_request(std::chrono::milliseconds(1000), 1024);
  char buf[64];
  EXPECT_EQ(stream_->read(buf, sizeof buf), -1);
  EXPECT_TRUE(stream_->starved());
  ASSERT_EQ(::send(fds_[1], "GET / HT", 8, 0), 8);
  ASSERT_EQ(stream_->read(buf, sizeof buf), 8);
  EXPECT_FALSE(stream_->is_readable());
  write("HTTP/1.1 400 Bad Request\r\n\r\n");  // what a parser gives up with
  stream_->replay(1024);
  EXPECT_FALSE(stream_->starved());
  ASSERT_EQ(::send(fds_[1], "TP/1.1\r\n", 8, 0), 8);
  stream_->set_waiting(true);
  std::string again;
  for (ssize_t n; again.size() < 16 && (n = stream_->read(buf, sizeof buf)) > 0;) again.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(again, "GET / HTTP/1.1\r\n");
  EXPECT_TRUE(stream_->flush());
  EXPECT_EQ(peer_reads(), "") << "output of the abandoned reading is dropped";
}

TEST_F(HeldOutput, ALargeRequestIsNotKeptWholeToBeReadAgain) {
  const std::string body(256 * 1024, 'b');
  std::thread sender([&] { ::send(fds_[1], body.data(), body.size(), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stream_->set_waiting(false);
  stream_->begin_request(std::chrono::milliseconds(1000), SIZE_MAX);
  char buf[4096];
  std::size_t read = 0;
  for (ssize_t n; (n = stream_->read(buf, sizeof buf)) > 0;) read += static_cast<std::size_t>(n);
  EXPECT_TRUE(stream_->starved());
  EXPECT_LE(read, 64u * 1024) << "a reading that can be started over keeps every byte it read";
  stream_->replay(SIZE_MAX);
  stream_->set_waiting(true);
  read = 0;
  for (ssize_t n; read < body.size() && (n = stream_->read(buf, sizeof buf)) > 0;) read += static_cast<std::size_t>(n);
  EXPECT_EQ(read, body.size());
  sender.join();
}

TEST_F(HeldOutput, WhatTheSocketCannotTakeAtOnceWaitsForAFlush) {
  const int small = 4096;
  ::setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  stream_->set_waiting(false);
  const std::string large(1 << 20, 'x');
  write(large);
  ASSERT_TRUE(stream_->flush_available());
  ASSERT_TRUE(stream_->pending_output());
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while (got.size() < large.size() && (n = ::recv(fds_[1], buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
  });
  stream_->set_waiting(true);
  EXPECT_TRUE(stream_->flush());
  reader.join();
  EXPECT_EQ(got, large);
}

// A connection over a socket pair; the test keeps the peer's end.
struct Pair {
  std::shared_ptr<Connection> connection;
  int peer = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    connection = std::make_shared<Connection>(fds[0], std::chrono::milliseconds(100), std::chrono::milliseconds(100));
    peer = fds[1];
  }
  ~Pair() { ::close(peer); }
  // Whether the server's end was closed (the peer reads end of file).
  bool closed_on_peer() const {
    char byte;
    timeval tv{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return ::recv(peer, &byte, 1, 0) == 0;
  }
};

TEST(IdleConnections, GiveAConnectionOutOnlyWhenItsNextRequestArrives) {
  IdleConnections idle(std::chrono::seconds(10));
  Pair pair;
  Connection* raw = pair.connection.get();
  idle.add(std::move(pair.connection));
  EXPECT_EQ(idle.take(std::chrono::milliseconds(20)), nullptr);
  ASSERT_EQ(::send(pair.peer, "GET", 3, 0), 3);
  auto taken = idle.take(std::chrono::milliseconds(1000));
  ASSERT_EQ(taken.get(), raw);
  EXPECT_EQ(idle.size(), 0u);
  char buf[8];
  ASSERT_EQ(::recv(taken->socket, buf, sizeof buf, 0), 3);
  idle.add(std::move(taken));  // back between requests: nothing to read yet
  EXPECT_EQ(idle.take(std::chrono::milliseconds(20)), nullptr);
  ASSERT_EQ(::send(pair.peer, "GET", 3, 0), 3);
  EXPECT_EQ(idle.take(std::chrono::milliseconds(1000)).get(), raw);
}

TEST(IdleConnections, CloseAConnectionIdlePastTheKeepAliveTime) {
  IdleConnections idle(std::chrono::milliseconds(50));
  Pair pair;
  idle.add(std::move(pair.connection));
  for (int i = 0; i < 30 && idle.size() > 0; ++i) EXPECT_EQ(idle.take(std::chrono::milliseconds(20)), nullptr);
  EXPECT_EQ(idle.size(), 0u);
  EXPECT_TRUE(pair.closed_on_peer());
}

TEST(IdleConnections, OnCloseWakeWaitingTakersAndCloseWhatTheyHoldAndGetLater) {
  IdleConnections idle(std::chrono::seconds(10));
  Pair held, later;
  idle.add(std::move(held.connection));
  auto waiting = std::async(std::launch::async, [&] { return idle.take(std::chrono::seconds(10)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = std::chrono::steady_clock::now();
  idle.close();
  EXPECT_EQ(waiting.get(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(held.closed_on_peer());
  idle.add(std::move(later.connection));
  EXPECT_TRUE(later.closed_on_peer());
}

}  // namespace
