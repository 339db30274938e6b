// The agentic retrieval block's configuration, shared by the block and every
// pipeline it built (agentic_retrieval_pipeline.hpp holds the contract).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "vorn_core/callable.hpp"
#include "vorn_core/value.hpp"
#include "vorn_rag/blocks/retrieval/agentic_retrieval_pipeline.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_rag::blocks::retrieval {

namespace agentic_retrieval_pipeline {
// The stage itself when it is a plain Component, which a step awaits
// directly; null for processors (Components too, but answering through
// `process`), pipelines and callables, which go through `_invoke_stage`.
vorn_core::ComponentPtr plain_component(const vorn_core::Value& stage);
}  // namespace agentic_retrieval_pipeline

// Each read takes a snapshot under the mutex, so a run sees either the old or
// the new value of an attribute that another thread changes, never a torn one.
struct AgenticRetrievalPipeline::Config {
  mutable std::mutex mutex;
  vorn_retrieval::RetrieverPtr retriever;
  vorn_core::Value selector;
  vorn_core::Value evaluator;
  // The selector or evaluator itself when it is a plain Component (the usual
  // stage), resolved when it is set rather than on every round.
  vorn_core::ComponentPtr selector_component;
  vorn_core::ComponentPtr evaluator_component;
  std::int64_t max_rounds = 0;
  std::int64_t top_k = 0;
  std::optional<std::int64_t> max_top_k;
  std::int64_t selected_chunk_limit = 0;
  OnInsufficientPolicy on_insufficient = OnInsufficientPolicy::BEST_EFFORT;

  template <class T>
  T get(T Config::*member) const {
    std::lock_guard lock(mutex);
    return this->*member;
  }
  template <class T>
  void put(T Config::*member, T value) {
    std::lock_guard lock(mutex);
    this->*member = std::move(value);
  }
  void put_stage(vorn_core::Value Config::*stage, vorn_core::ComponentPtr Config::*component, vorn_core::Value value) {
    vorn_core::ComponentPtr plain = agentic_retrieval_pipeline::plain_component(value);
    std::lock_guard lock(mutex);
    this->*stage = std::move(value);
    this->*component = std::move(plain);
  }
  // What a step calls: the plain Component, or else the stage value.
  std::pair<vorn_core::ComponentPtr, vorn_core::Value> stage(vorn_core::Value Config::*stage,
                                                             vorn_core::ComponentPtr Config::*component) const {
    std::lock_guard lock(mutex);
    if (this->*component) return {this->*component, vorn_core::Value()};
    return {nullptr, this->*stage};
  }
};

}  // namespace vorn_rag::blocks::retrieval
