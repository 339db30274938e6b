// `Strategy`, the base of every RAG strategy, and `StrategyMeta`, the
// class-creation step that gives each strategy class its slot tables and
// generated builders.
//
// Each strategy class registers once, before first use, a class description
// (name, documentation text, strategy bases, declared member types and the
// values its body assigns). `StrategyMeta::create` turns it into a
// `StrategyClass`: the slot schema, the slot sentinels and the generated
// members (`with_<slot>` builders and `<slot>` accessors). Instances reach
// them through a dynamic API (`with_slot`, `call`, `get_attr`) and through
// typed members that C++ strategy classes write on top of it.
//
//   class MyStrategy : public Strategy {
//    public:
//     VORN_STRATEGY_CLASS(MyStrategy)
//     MyStrategy() : Strategy(klass()) {}
//    protected:
//     PipelinePtr _build_pipeline() override;
//   };
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/core/type_hint.hpp"
#include "vorn_rag/core/uses.hpp"

namespace vorn_rag::core {

class Strategy;
class StrategyClass;
using StrategyClassPtr = std::shared_ptr<const StrategyClass>;
using vorn_pipeline::PipelinePtr;

// A member type declaration of a class body: a name and its declared type
// (a `TypeHint`, or `TypeHint::unresolved(text)` for type text to resolve).
struct SlotDeclaration {
  std::string name;
  TypeHint type;
};

// The `_build_pipeline` body of a class registered from a description.
using BuildHook = std::function<PipelinePtr(Strategy&)>;

struct ClassDescription {
  std::string name;
  std::string doc;
  // Strategy bases, in declared order; empty for a class that derives from
  // no strategy class.
  std::vector<StrategyClassPtr> bases;
  // Member type declarations, in declaration order.
  std::vector<SlotDeclaration> declarations;
  // Values the class body assigns (`uses()` sentinels among them).
  std::vector<std::pair<std::string, vorn_core::Value>> body;
  // Names visible to type text of this class besides the registered ones.
  std::vector<std::pair<std::string, TypeHint>> local_names;
  // Whether the class body itself defines `_build_pipeline`.
  bool defines_build_pipeline = false;
  // For classes described at run time: the hook body (C++ classes override
  // `_build_pipeline` instead).
  BuildHook build_pipeline;
  // Set by the composite base only: derived classes may not define `_build_pipeline`.
  bool seals_build_pipeline = false;
  // Class options, handed on unchanged to the base's subclass hook.
  vorn_core::Dict class_options;
};

class StrategyClass {
 public:
  struct Member {
    enum class Kind { kBuilder, kAccessor };
    std::string name;
    Kind kind;
    std::string doc;
    std::string slot;
    TypeHint type;
  };

  const std::string& name() const noexcept { return name_; }
  const std::string& doc() const noexcept { return doc_; }
  const std::vector<StrategyClassPtr>& bases() const noexcept { return bases_; }
  // This class first, then its ancestors in method-resolution order.
  const std::vector<const StrategyClass*>& mro() const noexcept { return mro_; }
  bool is_subclass_of(const StrategyClass& other) const noexcept;

  // `__slots_schema__`: slot name to declared type, in insertion order.
  const std::vector<std::pair<std::string, TypeHint>>& slots_schema() const noexcept { return slots_schema_; }
  // `__slot_sentinels__`: slot name to the sentinel that declared it.
  const std::vector<std::pair<std::string, std::shared_ptr<_UsesSentinel>>>& slot_sentinels() const noexcept {
    return slot_sentinels_;
  }
  const TypeHint* slot_type(std::string_view slot) const noexcept;
  bool has_slot(std::string_view slot) const noexcept { return slot_type(slot) != nullptr; }

  // Members this class itself received (generated builders and accessors).
  const std::vector<Member>& own_members() const noexcept { return members_; }
  // Member lookup through the method-resolution order.
  const Member* find_member(std::string_view name) const noexcept;

  const std::vector<SlotDeclaration>& declarations() const noexcept { return declarations_; }
  const vorn_core::Dict& class_options() const noexcept { return class_options_; }
  // The nearest `_build_pipeline` body registered from a description.
  const BuildHook* build_hook() const noexcept;
  bool seals_build_pipeline() const noexcept;

  // The class described in text (exact layout):
  //   Name
  //     slot: Type - description
  // or "Name\n  (no slots)".
  std::string describe() const;

 private:
  friend class StrategyMeta;
  StrategyClass() = default;

  std::string name_;
  std::string doc_;
  std::vector<StrategyClassPtr> bases_;
  std::vector<const StrategyClass*> mro_;
  std::vector<std::pair<std::string, TypeHint>> slots_schema_;
  std::vector<std::pair<std::string, std::shared_ptr<_UsesSentinel>>> slot_sentinels_;
  std::vector<Member> members_;
  std::vector<SlotDeclaration> declarations_;
  std::vector<std::pair<std::string, TypeHint>> local_names_;
  BuildHook build_hook_;
  bool seals_ = false;
  vorn_core::Dict class_options_;
};

class StrategyMeta {
 public:
  // The class-creation algorithm: composite check, slot collection from the
  // strategy bases, declared-type resolution (falling back to the class's own
  // declarations as unresolved text), slot registration and member
  // generation. Throws `RAGTypeError` when a composite strategy's subclass
  // defines `_build_pipeline`.
  static StrategyClassPtr create(ClassDescription description);

  // Adds the builder `with_<slot_name>` and the accessor `<slot_name>` to
  // `strategy_class`, replacing members of the same names.
  static void _generate_with_method(StrategyClass& strategy_class, const std::string& slot_name,
                                    const TypeHint& slot_type);
};

// Declares the class-registration members of a C++ strategy class.
#define VORN_STRATEGY_CLASS(Name)                        \
  static const ::vorn_rag::core::StrategyClassPtr& klass();    \
  static std::string describe() { return klass()->describe(); }

class Strategy : public vorn_core::Object {
 public:
  static const StrategyClassPtr& klass();
  static std::string describe() { return klass()->describe(); }

  ~Strategy() override;

  const StrategyClass& strategy_class() const noexcept { return *class_; }
  const StrategyClassPtr& strategy_class_ptr() const noexcept { return class_; }

  // ---- dynamic API --------------------------------------------------------
  // Runs the generated builder `with_<slot>`: type check (`RAGTypeError`
  // "Invalid value for slot '<slot>'. Pass a <Type> and retry."), store,
  // cache reset. Absent clears the slot. Unknown slots raise the attribute
  // error of `get_attr`.
  Strategy& with_slot(std::string_view slot, vorn_core::Value value);
  // The current value of a slot (absent when unset).
  vorn_core::Value slot(std::string_view slot) const;
  // Member lookup: a slot accessor gives the slot's value, a builder gives a
  // callable bound to this strategy; anything else raises
  // `vorn_core::AttributeError` "Strategy has no attribute 'x'. Check the
  // attribute name and retry.".
  vorn_core::Value get_attr(std::string_view name) const;
  // Calls a member found by `get_attr` ("with_reranker", value).
  vorn_core::Value call(std::string_view member, vorn_core::List args = {});
  // Every slot with its value, in schema order (`_slots`).
  vorn_core::Dict slots() const;

  // ---- running -------------------------------------------------------------
  static constexpr std::int64_t kDefaultTopK = 5;

  // Blocking run; refuses with `SyncCallInEventLoopError` when an event loop
  // runs in this thread (before building anything). Dispatches to `arun`.
  // `top_k` not given means the strategy's own default (5 here; a strategy
  // may hold its own), whatever the static type the call goes through; an
  // explicit absent value is passed on as absent.
  virtual vorn_core::Dict run(std::string question, std::optional<vorn_core::Value> top_k = std::nullopt,
                              vorn_core::Dict options = {});
  // `options`: `query_filter` and `threshold` go to the initial state and the
  // run context; every other entry goes to the run context under its name.
  virtual vorn_core::Task<vorn_core::Dict> arun(std::string question,
                                                std::optional<vorn_core::Value> top_k = std::nullopt,
                                                vorn_core::Dict options = {});

  // The cached pipeline, built on first use. Safe to call from several
  // threads; a builder call made while a build is under way makes that
  // build's result uncached, so a stale pipeline is never kept.
  PipelinePtr build();
  std::shared_ptr<vorn_pipeline::Tool> as_tool(std::string name = {}, std::string description = {});

  std::string type_name() const override;
  std::string repr() const override;

 protected:
  explicit Strategy(StrategyClassPtr strategy_class);

  // Wires the pipeline (state type `StrategyState`). Strategy's own body
  // raises `RAGNotImplementedError`.
  virtual PipelinePtr _build_pipeline() = 0;
  // Drops the cached pipeline (for strategies with their own configuration).
  void reset_pipeline();

 private:
  StrategyClassPtr class_;
  mutable std::mutex mutex_;
  vorn_core::Dict slots_;
  PipelinePtr pipeline_;
  std::uint64_t generation_ = 0;
};
using StrategyPtr = std::shared_ptr<Strategy>;

// A strategy of a class registered from a description at run time; its
// pipeline comes from the description's `build_pipeline` hook.
class DynamicStrategy final : public Strategy {
 public:
  // Throws `vorn_core::TypeError` for an abstract class (no hook anywhere in
  // its hierarchy).
  static std::shared_ptr<DynamicStrategy> instantiate(StrategyClassPtr strategy_class);

  explicit DynamicStrategy(StrategyClassPtr strategy_class, const BuildHook* hook)
      : Strategy(std::move(strategy_class)), hook_(hook) {}

 protected:
  PipelinePtr _build_pipeline() override;

 private:
  const BuildHook* hook_;
};

}  // namespace vorn_rag::core
