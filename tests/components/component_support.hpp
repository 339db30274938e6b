// Shared helpers for the component tests: temporary directories and small
// embedders whose output the test controls.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_inference/embedder.hpp"
#include "vorn_inference/hashing_embedder.hpp"

namespace vorn_components_test {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    // Outside a test (in SetUpTestSuite) only the suite is known.
    const auto* unit = ::testing::UnitTest::GetInstance();
    const auto* info = unit->current_test_info();
    const auto* suite = unit->current_test_suite();
    std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name()
                            : (suite ? std::string(suite->name()) : std::string("suite"));
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    path_ = fs::temp_directory_path() / ("vorn_components_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path write(const std::string& relative, const std::string& bytes) const {
    const fs::path p = path_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

 private:
  fs::path path_;
};

// Texts listed in the table embed to their vector; any other text embeds to
// the zero vector. Counts the texts it was asked to embed, and can be told to
// fail.
class TableEmbedder final : public vorn_inference::BaseEmbedder {
 public:
  explicit TableEmbedder(std::map<std::string, vorn_inference::Embedding> table, std::size_t dimension = 3)
      : table_(std::move(table)), dimension_(dimension) {}

  std::size_t dimension() const noexcept override { return dimension_; }
  vorn_core::Task<std::vector<vorn_inference::Embedding>> embed(std::vector<std::string> texts) override {
    if (fail_) throw std::runtime_error("embedding service unavailable");
    embedded_ += texts.size();
    std::vector<vorn_inference::Embedding> out;
    for (const auto& t : texts) {
      auto it = table_.find(t);
      out.push_back(it != table_.end() ? it->second : vorn_inference::Embedding(dimension_, 0.0F));
    }
    co_return out;
  }

  std::size_t embedded() const { return embedded_; }
  void set_failing(bool fail) { fail_ = fail; }

 private:
  std::map<std::string, vorn_inference::Embedding> table_;
  std::size_t dimension_;
  std::atomic<std::size_t> embedded_{0};
  bool fail_ = false;
};

// The hashing embedder, counting what it embeds.
class CountingEmbedder final : public vorn_inference::BaseEmbedder {
 public:
  explicit CountingEmbedder(std::size_t dimension = 256) : inner_(dimension) {}
  std::size_t dimension() const noexcept override { return inner_.dimension(); }
  vorn_core::Task<std::vector<vorn_inference::Embedding>> embed(std::vector<std::string> texts) override {
    embedded_ += texts.size();
    return inner_.embed(std::move(texts));
  }
  std::size_t embedded() const { return embedded_; }

 private:
  vorn_inference::HashingEmbedder inner_;
  std::size_t embedded_ = 0;
};

inline std::vector<std::string> ids_of(const vorn_core::ChunkList& chunks) {
  std::vector<std::string> out;
  for (const auto& c : chunks) out.push_back(c ? c->id : "<null>");
  return out;
}

}  // namespace vorn_components_test
