// In-memory components for strategy and block tests. Each records what it
// was called with, so tests can assert the inputs a step read from the state
// and the run context, and can be told to suspend once or to throw.
#pragma once

#include <functional>
#include <stdexcept>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vorn_core/chunk.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/value.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_pipeline/router.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace rag_test {

using vorn_core::ChunkList;
using vorn_core::ChunkPtr;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;

// The error `fn` throws, of type `E`; a test failure when it throws
// something else or nothing.
template <class E>
E catch_error(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected error: " << e.what();
    throw;
  }
  ADD_FAILURE() << "no error";
  throw std::logic_error("no error");
}

// The message of the `Error` `f` throws, or "<nothing thrown>".
template <class Error>
std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

inline ChunkList make_chunks(std::initializer_list<const char*> ids) {
  ChunkList out;
  for (const char* id : ids) out.push_back(vorn_core::make_chunk(id, std::string("content of ") + id));
  return out;
}

inline std::vector<std::string> ids_of(const ChunkList& chunks) {
  std::vector<std::string> out;
  for (const auto& c : chunks) out.push_back(c->id);
  return out;
}

inline std::vector<std::string> ids_of(const Value& chunks) {
  if (chunks.is_none()) return {};
  return ids_of(vorn_core::to_chunk_list(chunks));
}

// Thread-safe call log shared by the doubles.
template <class Call>
class CallLog {
 public:
  void add(Call c) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(c));
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

struct Behaviour {
  bool suspend = false;                 // suspend once on the loop before answering
  std::function<void()> fail;           // throws when set
};

inline Task<void> apply(const Behaviour& b) {
  if (b.fail) b.fail();
  if (b.suspend) co_await vorn_core::yield_now();
}

// Answers a fixed list per query (or `answer(query)` when set).
class RecordingRetriever : public vorn_retrieval::BaseRetriever {
 public:
  struct Call {
    std::string query;
    vorn_retrieval::RetrieveOptions options;
  };
  explicit RecordingRetriever(ChunkList answer = {}) : answer_(std::move(answer)) {}

  std::function<ChunkList(const std::string&)> answer_for;
  Behaviour behaviour;
  CallLog<Call> log;

 protected:
  Task<ChunkList> retrieve_chunks(std::string query, vorn_retrieval::RetrieveOptions options) override {
    log.add(Call{query, options});
    co_await apply(behaviour);
    co_return answer_for ? answer_for(query) : answer_;
  }

 private:
  ChunkList answer_;
};

// Reverses the order of the chunks it gets.
class ReversingReranker : public vorn_retrieval::BaseReranker {
 public:
  struct Call {
    std::vector<std::string> chunk_ids;
    std::string query;
  };
  Behaviour behaviour;
  CallLog<Call> log;
  Task<ChunkList> rerank(ChunkList chunks, std::string query) override {
    log.add(Call{ids_of(chunks), query});
    co_await apply(behaviour);
    co_return ChunkList(chunks.rbegin(), chunks.rend());
  }
};

// Keeps the chunks whose id is in `keep` (all when `keep` is unset).
class KeepingFilter : public vorn_retrieval::BaseRelevanceFilter {
 public:
  struct Call {
    std::vector<std::string> chunk_ids;
    std::string query;
  };
  std::optional<std::vector<std::string>> keep;
  Behaviour behaviour;
  CallLog<Call> log;
  Task<ChunkList> filter(ChunkList chunks, std::string query) override {
    log.add(Call{ids_of(chunks), query});
    co_await apply(behaviour);
    if (!keep) co_return chunks;
    ChunkList out;
    for (const auto& c : chunks)
      if (std::find(keep->begin(), keep->end(), c->id) != keep->end()) out.push_back(c);
    co_return out;
  }
};

// Answers a fixed value (normally a list of query strings).
class FixedTransformer : public vorn_retrieval::BaseQueryTransformer {
 public:
  explicit FixedTransformer(Value answer = List{}) : answer_(std::move(answer)) {}
  std::function<Value(const std::string&)> answer_for;
  Behaviour behaviour;
  CallLog<std::string> log;
  Task<Value> transform(std::string query) override {
    log.add(query);
    co_await apply(behaviour);
    co_return answer_for ? answer_for(query) : answer_;
  }

 private:
  Value answer_;
};

// Answers "answer(<query>): <chunk ids joined by ,>".
class EchoSynthesizer : public vorn_generation::ResponseSynthesizer {
 public:
  struct Call {
    std::string query;
    std::vector<std::string> chunk_ids;
  };
  Behaviour behaviour;
  CallLog<Call> log;
  std::optional<Value> fixed;  // answer this instead when set
  Task<Value> synthesize(std::string query, ChunkList chunks) override {
    auto ids = ids_of(chunks);
    log.add(Call{query, ids});
    co_await apply(behaviour);
    if (fixed) co_return *fixed;
    std::string joined;
    for (const auto& id : ids) joined += (joined.empty() ? "" : ",") + id;
    co_return "answer(" + query + "): " + joined;
  }
};

// Routes by a function of the query.
class FunctionRouter : public vorn_pipeline::BaseRouter {
 public:
  explicit FunctionRouter(std::function<Value(const std::string&)> fn) : fn_(std::move(fn)) {}
  Behaviour behaviour;
  CallLog<std::string> log;
  Task<Value> route(std::string query) override {
    log.add(query);
    co_await apply(behaviour);
    co_return fn_(query);
  }

 private:
  std::function<Value(const std::string&)> fn_;
};

// Answers a scripted response; records the messages it got.
class ScriptedLMInvoker : public vorn_inference::BaseLMInvoker {
 public:
  explicit ScriptedLMInvoker(std::string response = "scripted answer", Value structured = {})
      : response_(std::move(response)), structured_(std::move(structured)) {}
  CallLog<std::vector<vorn_inference::Message>> log;
  Task<vorn_inference::LMOutputPtr> invoke(std::vector<vorn_inference::Message> messages,
                                           vorn_inference::InvokeOptions) override {
    log.add(messages);
    co_return std::make_shared<vorn_inference::LMOutput>(response_, structured_);
  }

 private:
  std::string response_;
  Value structured_;
};

}  // namespace rag_test
