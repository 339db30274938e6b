#include <gtest/gtest.h>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_datastore/in_memory_data_store.hpp"
#include "vorn_rag/query.hpp"

namespace {

using namespace rag_test;

class ToyEmbedder : public vorn_inference::BaseEmbedder {
 public:
  std::size_t dimension() const noexcept override { return 2; }
  Task<std::vector<vorn_inference::Embedding>> embed(std::vector<std::string> texts) override {
    std::vector<vorn_inference::Embedding> out;
    for (const auto& t : texts) out.push_back({static_cast<float>(t.size()), 1.0f});
    co_return out;
  }
};

TEST(QuerySmoke, AnswersFromTheStore) {
  auto store = std::make_shared<vorn_datastore::InMemoryDataStore>(std::make_shared<ToyEmbedder>());
  vorn_core::run_sync(store->add(make_chunks({"a", "b"})));
  auto lm = std::make_shared<ScriptedLMInvoker>("42");
  Dict result = vorn_core::run_sync(vorn_rag::query("what?", store, lm, 1));
  ASSERT_EQ(result.keys(), (std::vector<std::string>{"response", "chunks"}));
  EXPECT_EQ(result.at("response"), Value("42"));
  EXPECT_EQ(result.at("chunks").as_list().size(), 1u);
}

}  // namespace
