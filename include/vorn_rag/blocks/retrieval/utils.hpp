// Chunk-list fusion: turning several ranked chunk lists (one per query) into
// one list, the built-in fusion functions, the name table that selects them,
// and the resolver that turns a name or a callable into a fusion function.
//
// A fusion function is any `vorn_core::Callable` taking the list of chunk
// lists as its one positional argument and answering one list of chunks.
// The built-in ones are `FusionFunction`s: they also expose a typed C++
// signature, so the library's own steps call them on typed chunk lists
// without going through `Value` per call, while user callables are called
// dynamically.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/value.hpp"

namespace vorn_rag::blocks::retrieval::utils {

// The typed shape of a fusion function.
using FusionSignature = vorn_core::ChunkList(const std::vector<vorn_core::ChunkList>&);

// A fusion function with a typed body. As a `Callable` it takes the list of
// chunk lists (absent counts as no lists) and answers the fused list.
class FusionFunction final : public vorn_core::Callable {
 public:
  FusionFunction(std::string name, std::function<FusionSignature> body);

  vorn_core::ChunkList operator()(const std::vector<vorn_core::ChunkList>& chunk_lists) const {
    return body_(chunk_lists);
  }
  vorn_core::CallResult call(vorn_core::List args, vorn_core::Dict kwargs) override;

  const std::string& name() const noexcept { return name_; }
  std::string repr() const override { return "<function " + name_ + ">"; }

 private:
  std::string name_;
  std::function<FusionSignature> body_;
};
using FusionFunctionPtr = std::shared_ptr<FusionFunction>;

// Reciprocal rank fusion with equal weights: one entry per chunk id, by
// descending fused score (sum over lists of 1 / (k + rank), ranks from 1).
vorn_core::ChunkList rrf_fusion(const std::vector<vorn_core::ChunkList>& chunk_lists, std::int64_t k = 60);
// Concatenation in list order, one entry per chunk id, first appearance kept.
vorn_core::ChunkList concat_fusion(const std::vector<vorn_core::ChunkList>& chunk_lists);

// The registered callables of the two built-ins ("rrf" runs with k = 60).
const FusionFunctionPtr& rrf_fusion_fn();
const FusionFunctionPtr& concat_fusion_fn();

// Name -> fusion function, in registration order; starts with "rrf" and
// "concat". Read at resolution time, so an entry added before a selector is
// resolved is found. Safe to read from several threads while another one
// registers.
class FusionRegistry {
 public:
  constexpr FusionRegistry() noexcept = default;
  FusionRegistry(const FusionRegistry&) = delete;
  FusionRegistry& operator=(const FusionRegistry&) = delete;

  // The function under `name` (exact match), or nullptr.
  vorn_core::CallablePtr get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name) != nullptr; }
  // Adds `name`, or replaces its function in place. Throws `RAGValueError`
  // for an absent function.
  void set(std::string name, vorn_core::CallablePtr fn);
  void set(std::string name, std::function<FusionSignature> fn);
  bool erase(std::string_view name);
  std::vector<std::string> keys() const;
  std::size_t size() const;
};

extern FusionRegistry FUSION_REGISTRY;

// A fusion selector to its function: a string is looked up in
// `FUSION_REGISTRY` (`RAGValueError` "Unknown fusion strategy '<name>'. ..."
// when missing); a callable is returned unchanged; anything else raises
// `RAGTypeError`.
vorn_core::CallablePtr resolve_fusion_fn(const vorn_core::Value& fn);

// Applies a resolved fusion function to typed chunk lists: a
// `FusionFunction` directly, any other callable through its dynamic call.
// The result may be awaitable only for dynamic callables.
vorn_core::CallResult apply_fusion(vorn_core::Callable& fn, std::vector<vorn_core::ChunkList> chunk_lists);
// The same on a dynamic payload (the value a pipeline state holds).
vorn_core::CallResult apply_fusion(vorn_core::Callable& fn, vorn_core::Value chunk_lists);

}  // namespace vorn_rag::blocks::retrieval::utils
