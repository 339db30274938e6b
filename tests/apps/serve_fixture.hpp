// A small indexed document set and a `vorn-rag serve` HTTP server on a free
// loopback port, in-process, for the serve and MCP tests.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "cli.hpp"
#include "engine.hpp"
#include "http_server.hpp"
#include "service.hpp"

namespace vorn_serve_test {

namespace fs = std::filesystem;

// Documents whose answers are easy to tell apart; two of them speak of
// undoing something, so a follow-up needs the conversation to pick one.
inline void write_docs(const fs::path& dir) {
  fs::create_directories(dir);
  std::ofstream(dir / "fusion.md") << "# Fusion\n\nReciprocal rank fusion scores a chunk by the sum of 1 / (60 + rank) "
                                      "over the lists that hold it. Chunks found near the top of several lists win.\n";
  std::ofstream(dir / "cache.md") << "# Frame cache\n\nEnable the frame cache by setting VORN_FRAME_CACHE=1 before "
                                     "start. To undo the frame cache setting, unset VORN_FRAME_CACHE and restart.\n";
  std::ofstream(dir / "commits.md") << "# Commits\n\nTo undo a commit, run git revert with the commit id; it "
                                       "records a new commit that reverses the old one.\n";
}

inline int run_cli(std::vector<std::string> args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  return vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
}

inline fs::path scratch_dir(const std::string& tag) {
  auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir = fs::temp_directory_path() /
                 ("vorn_serve_" + std::to_string(::getpid()) + "_" + tag + "_" + info->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir("http");
    write_docs(dir_ / "docs");
    index_ = dir_ / "index.db";
    ASSERT_EQ(run_cli({"vorn-rag", "--store", index_.string(), "index", "--no-progress", (dir_ / "docs").string()}), 0);
  }
  void TearDown() override {
    stop();
    fs::remove_all(dir_);
  }

  void start(vorn_serve::HttpOptions http = {}, vorn_serve::EngineOptions engine = {}) {
    vorn_serve::ServiceOptions options;
    options.store.path = index_;
    options.model = model_;
    options.refresh_interval = std::chrono::milliseconds(0);
    service_ = std::make_unique<vorn_serve::RagService>(options);
    engine_ = std::make_unique<vorn_serve::Engine>(engine);
    http.host = "127.0.0.1";
    http.port = 0;
    http.connection_threads = 8;
    server_ = std::make_unique<vorn_serve::HttpServer>(http, *service_, *engine_);
    port_ = server_->bind();
    thread_ = std::thread([this] { server_->serve(); });
  }

  void stop() {
    if (!server_) return;
    server_->shutdown();
    thread_.join();
    engine_->stop();
    server_.reset();
    engine_.reset();
    service_.reset();
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(10, 0);
    return c;
  }

  static nlohmann::json json_of(const httplib::Result& r) {
    EXPECT_TRUE(r) << "no response";
    if (!r) return nullptr;
    return nlohmann::json::parse(r->body, nullptr, false);
  }

  fs::path dir_, index_;
  vorn_cli::ModelOptions model_;  // the offline answerer unless a test points it at a model
  int port_ = 0;
  std::unique_ptr<vorn_serve::RagService> service_;
  std::unique_ptr<vorn_serve::Engine> engine_;
  std::unique_ptr<vorn_serve::HttpServer> server_;
  std::thread thread_;
};

}  // namespace vorn_serve_test
