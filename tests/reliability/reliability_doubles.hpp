// Components whose failures can be switched on, one component at a time:
// they throw a family error, a standard exception or a non-standard value,
// answer a value of the wrong shape, or never answer. Switched off, each
// answers something derived from its query, so a test can tell which
// question an answer belongs to.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_pipeline/router.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace reliability {

using vorn_core::ChunkList;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;

enum class Fault { kNone, kFamilyError, kStdError, kNonStandard, kWrongShape, kNever };

inline const char* to_string(Fault f) {
  switch (f) {
    case Fault::kNone: return "none";
    case Fault::kFamilyError: return "family-error";
    case Fault::kStdError: return "std-error";
    case Fault::kNonStandard: return "throw-42";
    case Fault::kWrongShape: return "wrong-shape";
    case Fault::kNever: return "never-answers";
  }
  return "?";
}

inline constexpr const char* kInjectedMessage = "injected failure";

// Which component misbehaves, and how. Shared by all doubles of a test.
class FaultSwitch {
 public:
  void set(std::string target, Fault fault) {
    std::lock_guard lock(mutex_);
    target_ = std::move(target);
    fault_ = fault;
  }
  void clear() { set({}, Fault::kNone); }
  Fault for_component(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return name == target_ ? fault_ : Fault::kNone;
  }

 private:
  mutable std::mutex mutex_;
  std::string target_;
  Fault fault_ = Fault::kNone;
};
using FaultSwitchPtr = std::shared_ptr<FaultSwitch>;

// Throws, or never resumes, as the fault says; the wrong shape is the
// caller's to produce.
inline Task<Fault> inject(FaultSwitchPtr faults, std::string name) {
  const Fault f = faults ? faults->for_component(name) : Fault::kNone;
  switch (f) {
    case Fault::kFamilyError: throw vorn_inference::ModelConnectionError(kInjectedMessage);
    case Fault::kStdError: throw std::runtime_error(kInjectedMessage);
    case Fault::kNonStandard: throw 42;
    case Fault::kNever: co_await vorn_core::NeverAwaiter{};
    default: break;
  }
  co_return f;
}

// Chunk ids carry the component's name and the query: "<name>:<query>:<i>".
inline ChunkList chunks_for(const std::string& name, const std::string& query, std::size_t n) {
  ChunkList out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(vorn_core::make_chunk(name + ":" + query + ":" + std::to_string(i), "text about " + query));
  }
  return out;
}

class FaultyRetriever : public vorn_retrieval::BaseRetriever {
 public:
  FaultyRetriever(FaultSwitchPtr faults, std::string name, std::size_t per_query = 3)
      : faults_(std::move(faults)), name_(std::move(name)), per_query_(per_query) {}
  std::atomic<int> calls{0};

  Task<Value> retrieve(Value query, vorn_retrieval::RetrieveOptions options) override {
    ++calls;
    const Fault fault = co_await inject(faults_, name_);
    if (fault == Fault::kWrongShape) {
      Dict wrong;
      wrong.set("chunks", "not a list of chunks");
      co_return Value(std::move(wrong));
    }
    co_return co_await BaseRetriever::retrieve(std::move(query), std::move(options));
  }

 protected:
  Task<ChunkList> retrieve_chunks(std::string query, vorn_retrieval::RetrieveOptions options) override {
    std::size_t n = per_query_;
    if (options.top_k && *options.top_k >= 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(*options.top_k));
    co_return chunks_for(name_, query, n);
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
  std::size_t per_query_;
};

// Reverses the chunks.
class FaultyReranker : public vorn_retrieval::BaseReranker {
 public:
  FaultyReranker(FaultSwitchPtr faults, std::string name) : faults_(std::move(faults)), name_(std::move(name)) {}
  Task<Value> run(Dict inputs) override {
    // The fault is awaited as a statement of its own, and no braced list is
    // built inside these coroutines: g++ 12 miscompiles both in some positions.
    const Fault fault = co_await inject(faults_, name_);
    if (fault == Fault::kWrongShape) co_return wrong_shape();
    co_return co_await BaseReranker::run(std::move(inputs));
  }
  Task<ChunkList> rerank(ChunkList chunks, std::string) override { co_return ChunkList(chunks.rbegin(), chunks.rend()); }

 private:
  static Value wrong_shape() {
    List out;
    out.push_back(Value(1));
    out.push_back(Value("two"));
    return Value(std::move(out));
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
};

// Keeps `keep` chunks (all when negative).
class FaultyFilter : public vorn_retrieval::BaseRelevanceFilter {
 public:
  FaultyFilter(FaultSwitchPtr faults, std::string name, int keep_count = -1)
      : keep(keep_count), faults_(std::move(faults)), name_(std::move(name)) {}
  std::atomic<int> keep;
  Task<ChunkList> filter(ChunkList chunks, std::string) override {
    co_await inject(faults_, name_);
    const int keep = this->keep;
    if (keep >= 0 && static_cast<std::size_t>(keep) < chunks.size()) chunks.resize(static_cast<std::size_t>(keep));
    co_return chunks;
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
};

// Expands a query into "<query> a" and "<query> b".
class FaultyTransformer : public vorn_retrieval::BaseQueryTransformer {
 public:
  FaultyTransformer(FaultSwitchPtr faults, std::string name) : faults_(std::move(faults)), name_(std::move(name)) {}
  Task<Value> transform(std::string query) override {
    const Fault fault = co_await inject(faults_, name_);
    if (fault == Fault::kWrongShape) co_return Value(42);
    List out;
    out.push_back(Value(query + " a"));
    out.push_back(Value(query + " b"));
    co_return Value(std::move(out));
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
};

// Answers "answer(<query>): <first chunk id>|<chunk count>".
class FaultySynthesizer : public vorn_generation::ResponseSynthesizer {
 public:
  FaultySynthesizer(FaultSwitchPtr faults, std::string name) : faults_(std::move(faults)), name_(std::move(name)) {}
  Task<Value> synthesize(std::string query, ChunkList chunks) override {
    co_await inject(faults_, name_);
    // Yield once: concurrent runs then really interleave on the loop.
    co_await vorn_core::yield_now();
    co_return Value("answer(" + query + "): " + (chunks.empty() ? std::string("-") : chunks.front()->id) + "|" +
                    std::to_string(chunks.size()));
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
};

// Routes every query to `route`.
class FaultyRouter : public vorn_pipeline::BaseRouter {
 public:
  FaultyRouter(FaultSwitchPtr faults, std::string name, std::string route)
      : faults_(std::move(faults)), name_(std::move(name)), route_(std::move(route)) {}
  Task<Value> route(std::string) override {
    const Fault fault = co_await inject(faults_, name_);
    if (fault == Fault::kWrongShape) {
      List wrong;
      wrong.push_back(Value(route_));
      co_return Value(std::move(wrong));
    }
    co_return Value(route_);
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
  std::string route_;
};

// A selector or evaluator stage as a component: the selector keeps the first
// two candidates, the evaluator judges `sufficient`.
class FaultyStage : public vorn_core::Component {
 public:
  enum class Role { kSelector, kEvaluator };
  FaultyStage(FaultSwitchPtr faults, std::string name, Role role)
      : faults_(std::move(faults)), name_(std::move(name)), role_(role) {}
  std::atomic<bool> sufficient{true};
  std::atomic<int> calls{0};

  Task<Value> run(Dict inputs) override {
    ++calls;
    const Fault fault = co_await inject(faults_, name_);
    if (fault == Fault::kWrongShape) co_return Value("neither a selection nor a verdict");
    Dict out;
    if (role_ == Role::kSelector) {
      List selected;
      const Value chunks = inputs.get("chunks");
      if (chunks.is_list()) {
        for (const Value& c : chunks.as_list()) {
          if (selected.size() == 2) break;
          selected.push_back(c);
        }
      }
      out.set("selected_chunks", Value(std::move(selected)));
    } else {
      out.set("is_sufficient", Value(sufficient.load()));
    }
    co_return Value(std::move(out));
  }

 private:
  FaultSwitchPtr faults_;
  std::string name_;
  Role role_;
};

// A classifier callable: true when the query contains `needle`.
inline vorn_core::CallablePtr faulty_classifier(FaultSwitchPtr faults, std::string name, std::string needle) {
  struct Classifier {
    static Task<Value> judge(FaultSwitchPtr faults, std::string name, std::string needle, std::string query) {
      const Fault fault = co_await inject(faults, name);
      if (fault == Fault::kWrongShape) co_return Value(List());
      co_return Value(query.find(needle) != std::string::npos);
    }
  };
  return vorn_core::make_function(name, [faults, name, needle](List args) -> Task<Value> {
    std::string query = args.empty() || !args.front().is_string() ? std::string() : args.front().as_string();
    return Classifier::judge(faults, name, needle, std::move(query));
  });
}

}  // namespace reliability
