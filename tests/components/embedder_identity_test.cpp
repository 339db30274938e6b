// A SQLite store remembers which embedder built it and refuses another one
// of the same dimension, whose vectors would not be comparable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "vorn_core/syncify.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_datastore/store_error.hpp"
#include "vorn_inference/hashing_embedder.hpp"

namespace {

namespace fs = std::filesystem;

// Hashing vectors under another name: same dimension, other "model".
class RenamedEmbedder final : public vorn_inference::BaseEmbedder {
 public:
  explicit RenamedEmbedder(std::string identity) : identity_(std::move(identity)) {}
  std::size_t dimension() const noexcept override { return 16; }
  vorn_core::Task<std::vector<vorn_inference::Embedding>> embed(std::vector<std::string> texts) override {
    co_return co_await inner_.embed(std::move(texts));
  }
  std::string identity() const override { return identity_; }
  std::string type_name() const override { return "RenamedEmbedder"; }

 private:
  std::string identity_;
  vorn_inference::HashingEmbedder inner_{16};
};

TEST(EmbedderIdentityTest, StoreRefusesAnotherEmbedderOnceItHoldsVectors) {
  const fs::path path = fs::temp_directory_path() / ("vorn_identity_" + std::to_string(::getpid()) + ".db");
  fs::remove(path);
  {
    auto store = vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("openai:model-a"));
    EXPECT_EQ(store->index_metadata("embedder"), std::optional<std::string>("openai:model-a"));
    vorn_core::run_sync(store->ingest({vorn_core::make_chunk("c1", "some text")}));
  }
  // The same embedder reopens it; one that does not say which it is too.
  EXPECT_NO_THROW(vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("openai:model-a")));
  EXPECT_NO_THROW(vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("")));
  try {
    vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("openai:model-b"));
    FAIL() << "expected the store to refuse another embedder";
  } catch (const vorn_datastore::StoreError& e) {
    EXPECT_EQ(e.code(), "VORN-STORE-DIMENSION");
    EXPECT_NE(std::string(e.what()).find("built with the embedder 'openai:model-a'"), std::string::npos) << e.what();
  }
  fs::remove(path);
}

TEST(EmbedderIdentityTest, AnEmptyStoreTakesTheNewEmbedder) {
  const fs::path path = fs::temp_directory_path() / ("vorn_identity_empty_" + std::to_string(::getpid()) + ".db");
  fs::remove(path);
  (void)vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("hashing"));
  auto store = vorn_datastore::SqliteDataStore::open(path, std::make_shared<RenamedEmbedder>("openai:m"));
  EXPECT_EQ(store->index_metadata("embedder"), std::optional<std::string>("openai:m"));
  store.reset();
  fs::remove(path);
}

}  // namespace
