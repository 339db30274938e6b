// In-memory components that do no work: each answers a value prepared in
// advance. With `suspend` set, each suspends once on the loop first
// (`yield_now`), like a component waiting for I/O. The framework runs and
// the hand-written chains call exactly these objects, so whatever time they
// cost is the same on both sides of a comparison.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_bench {

using vorn_core::ChunkList;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;

inline ChunkList make_chunks(const std::string& prefix, std::size_t n) {
  ChunkList out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(vorn_core::make_chunk(prefix + std::to_string(i), "text"));
  return out;
}

// A plain component: answers absent.
class NoopComponent final : public vorn_core::Component {
 public:
  explicit NoopComponent(bool suspend = false) : suspend_(suspend) {}
  Task<Value> run(Dict) override {
    if (suspend_) co_await vorn_core::yield_now();
    co_return Value();
  }

 private:
  bool suspend_;
};

class NoopRetriever final : public vorn_retrieval::BaseRetriever {
 public:
  explicit NoopRetriever(ChunkList answer, bool suspend = false) : answer_(std::move(answer)), suspend_(suspend) {}

 protected:
  Task<ChunkList> retrieve_chunks(std::string, vorn_retrieval::RetrieveOptions) override {
    if (suspend_) co_await vorn_core::yield_now();
    co_return answer_;
  }

 private:
  ChunkList answer_;
  bool suspend_;
};

class NoopReranker final : public vorn_retrieval::BaseReranker {
 public:
  explicit NoopReranker(bool suspend = false) : suspend_(suspend) {}
  Task<ChunkList> rerank(ChunkList chunks, std::string) override {
    if (suspend_) co_await vorn_core::yield_now();
    co_return chunks;
  }

 private:
  bool suspend_;
};

// Keeps the first `keep` chunks (all of them when `keep` is larger).
class PrefixFilter final : public vorn_retrieval::BaseRelevanceFilter {
 public:
  explicit PrefixFilter(std::size_t keep, bool suspend = false) : keep_(keep), suspend_(suspend) {}
  Task<ChunkList> filter(ChunkList chunks, std::string) override {
    if (suspend_) co_await vorn_core::yield_now();
    if (chunks.size() > keep_) chunks.resize(keep_);
    co_return chunks;
  }

 private:
  std::size_t keep_;
  bool suspend_;
};

class FixedTransformer final : public vorn_retrieval::BaseQueryTransformer {
 public:
  explicit FixedTransformer(Value queries, bool suspend = false) : queries_(std::move(queries)), suspend_(suspend) {}
  Task<Value> transform(std::string) override {
    if (suspend_) co_await vorn_core::yield_now();
    co_return queries_;
  }

 private:
  Value queries_;
  bool suspend_;
};

class FixedSynthesizer final : public vorn_generation::ResponseSynthesizer {
 public:
  explicit FixedSynthesizer(bool suspend = false) : suspend_(suspend) {}
  Task<Value> synthesize(std::string, ChunkList) override {
    if (suspend_) co_await vorn_core::yield_now();
    co_return Value("answer");
  }

 private:
  bool suspend_;
};

// Agentic selector stage: keeps every candidate ({"selected_chunks": ...}).
class KeepAllSelector final : public vorn_core::Component {
 public:
  Task<Value> run(Dict inputs) override {
    Dict out;
    out.set("selected_chunks", inputs.get("chunks"));
    co_return Value(std::move(out));
  }
};

// Agentic evaluator stage: never satisfied, so the loop runs every round.
class NeverSufficientEvaluator final : public vorn_core::Component {
 public:
  Task<Value> run(Dict) override {
    Dict out;
    out.set("is_sufficient", false);
    co_return Value(std::move(out));
  }
};

}  // namespace vorn_bench
