// Offline query expansion: the original query plus keyword variants of it,
// deterministically. Useful in front of BM25 and the hashing embedder, where
// filler words dilute the query and a question with two parts matches best
// one part at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vorn_retrieval/retriever.hpp"

namespace vorn_retrieval {

struct KeywordQueryOptions {
  std::size_t max_queries = 4;  // the original counts; at least 1
};

class KeywordQueryTransformer : public BaseQueryTransformer {
 public:
  // Throws `ValueError` for max_queries 0.
  explicit KeywordQueryTransformer(KeywordQueryOptions options = {});

  // A list of query strings, in this order and without repeats, at most
  // max_queries of them:
  //   1. the query as given;
  //   2. its keywords (stop words dropped, lower-case, accents folded);
  //   3. the keywords of each clause, when the query has several (split at
  //      ',', ';', '?', "and", "or");
  //   4. with four keywords or more, the keywords without the last one and
  //      without the first one.
  // A query without keywords gives only itself.
  vorn_core::Task<vorn_core::Value> transform(std::string query) override;
  std::vector<std::string> variants(std::string_view query) const;

  const KeywordQueryOptions& options() const noexcept { return options_; }
  std::string type_name() const override { return "KeywordQueryTransformer"; }

 private:
  KeywordQueryOptions options_;
};

}  // namespace vorn_retrieval
