#include "vorn_rag/blocks/retrieval/utils.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "vorn_core/error.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_retrieval/fusion.hpp"

namespace vorn_rag::blocks::retrieval::utils {
namespace {

using vorn_core::CallablePtr;
using vorn_core::ChunkList;
using vorn_core::Value;

[[noreturn]] void absent_chunk(std::size_t list, std::size_t position) {
  throw vorn_core::InvalidTypeError("Chunk list " + std::to_string(list) + " holds an absent chunk at position " +
                             std::to_string(position) + ". Pass only chunks and retry.");
}

// The registry's storage lives behind a function-local static so that the
// global `FUSION_REGISTRY` object is constant-initialised and usable from any
// other static initialiser.
struct RegistryTable {
  mutable std::shared_mutex mutex;
  std::vector<std::pair<std::string, CallablePtr>> entries;
};

RegistryTable& table() {
  static RegistryTable* t = [] {
    auto* table = new RegistryTable();
    table->entries.emplace_back("rrf", rrf_fusion_fn());
    table->entries.emplace_back("concat", concat_fusion_fn());
    return table;
  }();
  return *t;
}

}  // namespace

// ---- FusionFunction -------------------------------------------------------------

FusionFunction::FusionFunction(std::string name, std::function<FusionSignature> body)
    : name_(std::move(name)), body_(std::move(body)) {
  if (!body_) throw RAGValueError("Missing fusion function body for '" + name_ + "'. Pass a function and retry.");
}

vorn_core::CallResult FusionFunction::call(vorn_core::List args, vorn_core::Dict kwargs) {
  const Value* payload = nullptr;
  if (args.size() == 1 && kwargs.empty()) {
    payload = &args.front();
  } else if (args.empty() && kwargs.size() == 1 && kwargs.begin()->first == "chunk_lists") {
    payload = &kwargs.begin()->second;
  } else {
    throw vorn_core::InvalidTypeError(name_ + "() takes exactly one argument, `chunk_lists`. Pass the list of chunk lists "
                               "and retry.");
  }
  if (payload->is_none()) return Value(vorn_core::List{});
  return vorn_core::to_value(body_(vorn_core::to_chunk_lists(*payload)));
}

// ---- built-in fusion functions ---------------------------------------------------

ChunkList rrf_fusion(const std::vector<ChunkList>& chunk_lists, std::int64_t k) {
  if (chunk_lists.empty()) return {};
  const std::vector<double> weights(chunk_lists.size(), 1.0);
  return vorn_retrieval::weighted_reciprocal_rank(chunk_lists, weights, static_cast<double>(k));
}

ChunkList concat_fusion(const std::vector<ChunkList>& chunk_lists) {
  std::size_t total = 0;
  for (const auto& list : chunk_lists) total += list.size();
  ChunkList out;
  out.reserve(total);
  // Views into the chunks' own ids: the chunks outlive this call, so no id
  // is copied, and each chunk costs exactly one hash lookup.
  std::unordered_set<std::string_view> seen;
  seen.reserve(total);
  for (std::size_t li = 0; li < chunk_lists.size(); ++li) {
    const auto& list = chunk_lists[li];
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto& chunk = list[i];
      if (!chunk) absent_chunk(li, i);
      if (seen.insert(chunk->id).second) out.push_back(chunk);
    }
  }
  return out;
}

const FusionFunctionPtr& rrf_fusion_fn() {
  static const FusionFunctionPtr fn = std::make_shared<FusionFunction>(
      "rrf_fusion", [](const std::vector<ChunkList>& lists) { return rrf_fusion(lists); });
  return fn;
}

const FusionFunctionPtr& concat_fusion_fn() {
  static const FusionFunctionPtr fn = std::make_shared<FusionFunction>("concat_fusion", &concat_fusion);
  return fn;
}

// ---- registry ----------------------------------------------------------------------

constinit FusionRegistry FUSION_REGISTRY;

CallablePtr FusionRegistry::get(std::string_view name) const {
  const RegistryTable& t = table();
  std::shared_lock lock(t.mutex);
  for (const auto& [key, fn] : t.entries)
    if (key == name) return fn;
  return nullptr;
}

void FusionRegistry::set(std::string name, CallablePtr fn) {
  if (!fn) throw RAGValueError("Missing fusion function for '" + name + "'. Pass a callable and retry.");
  RegistryTable& t = table();
  std::unique_lock lock(t.mutex);
  for (auto& [key, existing] : t.entries) {
    if (key == name) {
      existing = std::move(fn);
      return;
    }
  }
  t.entries.emplace_back(std::move(name), std::move(fn));
}

void FusionRegistry::set(std::string name, std::function<FusionSignature> fn) {
  auto wrapped = std::make_shared<FusionFunction>(name, std::move(fn));
  set(std::move(name), CallablePtr(std::move(wrapped)));
}

bool FusionRegistry::erase(std::string_view name) {
  RegistryTable& t = table();
  std::unique_lock lock(t.mutex);
  auto it = std::find_if(t.entries.begin(), t.entries.end(), [&](const auto& e) { return e.first == name; });
  if (it == t.entries.end()) return false;
  t.entries.erase(it);
  return true;
}

std::vector<std::string> FusionRegistry::keys() const {
  const RegistryTable& t = table();
  std::shared_lock lock(t.mutex);
  std::vector<std::string> out;
  out.reserve(t.entries.size());
  for (const auto& e : t.entries) out.push_back(e.first);
  return out;
}

std::size_t FusionRegistry::size() const {
  const RegistryTable& t = table();
  std::shared_lock lock(t.mutex);
  return t.entries.size();
}

// ---- resolution and application ------------------------------------------------------

CallablePtr resolve_fusion_fn(const Value& fn) {
  if (fn.is_string()) {
    if (CallablePtr registered = FUSION_REGISTRY.get(fn.as_string())) return registered;
    throw RAGValueError("Unknown fusion strategy '" + fn.as_string() +
                        "'. Use a registered fusion strategy name and retry.");
  }
  if (auto callable = fn.as<vorn_core::Callable>()) return callable;
  throw RAGTypeError("Invalid fusion function. Pass a fusion strategy name or a callable and retry.");
}

vorn_core::CallResult apply_fusion(vorn_core::Callable& fn, std::vector<ChunkList> chunk_lists) {
  if (const auto* typed = dynamic_cast<FusionFunction*>(&fn)) return vorn_core::to_value((*typed)(chunk_lists));
  vorn_core::List args;
  args.push_back(vorn_core::to_value(chunk_lists));
  return fn.call(std::move(args), {});
}

vorn_core::CallResult apply_fusion(vorn_core::Callable& fn, Value chunk_lists) {
  vorn_core::List args;
  args.push_back(std::move(chunk_lists));
  return fn.call(std::move(args), {});
}

}  // namespace vorn_rag::blocks::retrieval::utils
