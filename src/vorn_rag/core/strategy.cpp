#include "vorn_rag/core/strategy.hpp"

#include <algorithm>

#include "vorn_core/callable.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::core {
namespace {

using vorn_core::Dict;
using vorn_core::Value;

// C3 linearisation of the strategy bases, so that member lookup and declared
// types follow the order a multiple-inheritance host would use.
std::vector<const StrategyClass*> linearise(const StrategyClass* self, const std::vector<StrategyClassPtr>& bases) {
  std::vector<std::vector<const StrategyClass*>> sequences;
  for (const auto& b : bases) sequences.push_back(b->mro());
  std::vector<const StrategyClass*> direct;
  for (const auto& b : bases) direct.push_back(b.get());
  sequences.push_back(direct);

  std::vector<const StrategyClass*> out{self};
  while (true) {
    sequences.erase(std::remove_if(sequences.begin(), sequences.end(), [](const auto& s) { return s.empty(); }),
                    sequences.end());
    if (sequences.empty()) return out;
    const StrategyClass* candidate = nullptr;
    for (const auto& seq : sequences) {
      const StrategyClass* head = seq.front();
      bool in_tail = std::any_of(sequences.begin(), sequences.end(), [&](const auto& other) {
        return std::find(other.begin() + 1, other.end(), head) != other.end();
      });
      if (!in_tail) {
        candidate = head;
        break;
      }
    }
    if (!candidate) {
      throw vorn_core::InvalidTypeError("Cannot create a consistent method resolution order for strategy class '" +
                                 self->name() + "'. Reorder its bases and retry.");
    }
    out.push_back(candidate);
    for (auto& seq : sequences)
      if (seq.front() == candidate) seq.erase(seq.begin());
  }
}

template <class V>
void put_in_place(std::vector<std::pair<std::string, V>>& table, const std::string& key, V value) {
  for (auto& [k, v] : table) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  table.emplace_back(key, std::move(value));
}

// A generated builder bound to one strategy, as `get_attr` hands it out.
class BoundBuilder final : public vorn_core::Callable {
 public:
  BoundBuilder(std::shared_ptr<Strategy> owner, Strategy* strategy, std::string slot)
      : owner_(std::move(owner)), strategy_(strategy), slot_(std::move(slot)) {}

  vorn_core::CallResult call(vorn_core::List args, Dict kwargs) override {
    if (args.size() + kwargs.size() != 1) {
      throw vorn_core::InvalidTypeError("with_" + slot_ + "() takes exactly one value. Pass the slot's value and retry.");
    }
    Value value = args.empty() ? std::move(kwargs.begin()->second) : std::move(args.front());
    strategy_->with_slot(slot_, std::move(value));
    return vorn_core::CallResult(owner_ ? Value(owner_) : Value());
  }
  std::string repr() const override { return "<bound method with_" + slot_ + ">"; }

 private:
  std::shared_ptr<Strategy> owner_;  // keeps the strategy alive when it is shared-owned
  Strategy* strategy_;
  std::string slot_;
};

// What `arun` does before the first step: the state, the run context and
// the pipeline's run. Not a coroutine, so that none of it stays in the
// frame of `arun` while the run is suspended (with many runs in flight,
// that frame is paid once per run).
vorn_core::Task<Dict> start_run(Strategy& strategy, std::string question, Value top_k, Dict options) {
  Value query_filter = options.pop("query_filter");
  Value threshold = options.pop("threshold");
  Dict initial;
  initial.reserve(2);
  initial.set("user_query", std::move(question));
  initial.set("query_filter", std::move(query_filter));
  // The StrategyState fields, validated as a StrategyState record would be,
  // become the pipeline state as they are: no record is built only to be
  // copied into the state and dropped.
  Dict state = StrategyState::schema()->make_values(initial);
  Dict context;
  context.reserve(options.size() + 2);
  context.set("top_k", std::move(top_k));
  context.set("threshold", std::move(threshold));
  for (auto& [k, v] : options) context.set(k, std::move(v));
  PipelinePtr pipeline = strategy.build();
  return pipeline->run_state(std::move(state), std::move(context));
}

}  // namespace

// ---- StrategyClass ------------------------------------------------------------

bool StrategyClass::is_subclass_of(const StrategyClass& other) const noexcept {
  return std::find(mro_.begin(), mro_.end(), &other) != mro_.end();
}

const TypeHint* StrategyClass::slot_type(std::string_view slot) const noexcept {
  for (const auto& [name, type] : slots_schema_)
    if (name == slot) return &type;
  return nullptr;
}

const StrategyClass::Member* StrategyClass::find_member(std::string_view name) const noexcept {
  for (const StrategyClass* cls : mro_)
    for (const auto& m : cls->members_)
      if (m.name == name) return &m;
  return nullptr;
}

const BuildHook* StrategyClass::build_hook() const noexcept {
  for (const StrategyClass* cls : mro_)
    if (cls->build_hook_) return &cls->build_hook_;
  return nullptr;
}

bool StrategyClass::seals_build_pipeline() const noexcept {
  return std::any_of(mro_.begin(), mro_.end(), [](const StrategyClass* c) { return c->seals_; });
}

std::string StrategyClass::describe() const {
  if (slots_schema_.empty()) return name_ + "\n  (no slots)";
  std::string out = name_;
  for (const auto& [slot, type] : slots_schema_) {
    const std::string type_text = type.display();
    std::string description = "Optional " + slot + " of type " + type_text;
    for (const auto& [name, sentinel] : slot_sentinels_) {
      if (name == slot && sentinel && sentinel->description()) description = *sentinel->description();
    }
    out += "\n  " + slot + ": " + type_text + " - " + description;
  }
  return out;
}

// ---- StrategyMeta ---------------------------------------------------------------

void StrategyMeta::_generate_with_method(StrategyClass& strategy_class, const std::string& slot_name,
                                         const TypeHint& slot_type) {
  using Member = StrategyClass::Member;
  auto put = [&](Member member) {
    auto& members = strategy_class.members_;
    auto it = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.name == member.name; });
    if (it != members.end()) {
      *it = std::move(member);
    } else {
      members.push_back(std::move(member));
    }
  };
  put(Member{"with_" + slot_name, Member::Kind::kBuilder, "Set " + slot_name + "'s value.", slot_name, slot_type});
  put(Member{slot_name, Member::Kind::kAccessor, {}, slot_name, slot_type});
}

StrategyClassPtr StrategyMeta::create(ClassDescription d) {
  std::shared_ptr<StrategyClass> cls(new StrategyClass());
  cls->name_ = std::move(d.name);
  cls->doc_ = std::move(d.doc);
  cls->bases_ = std::move(d.bases);
  for (const auto& b : cls->bases_) {
    if (!b) throw vorn_core::InvalidValueError("A strategy base is missing. Pass registered strategy classes and retry.");
  }
  cls->declarations_ = std::move(d.declarations);
  cls->local_names_ = std::move(d.local_names);
  cls->build_hook_ = std::move(d.build_pipeline);
  cls->seals_ = d.seals_build_pipeline;
  cls->class_options_ = std::move(d.class_options);
  cls->mro_ = linearise(cls.get(), cls->bases_);

  // Subclass check of the composite base: runs before the slot collection.
  if (d.defines_build_pipeline) {
    for (const auto& b : cls->bases_) {
      if (b->seals_build_pipeline()) {
        throw RAGTypeError(
            "A composite strategy must not override `_build_pipeline()`. Remove the override and use the composite "
            "strategy's own pipeline hook instead.");
      }
    }
  }

  // 1. A class with no strategy base gets empty tables and nothing generated.
  if (cls->bases_.empty()) return cls;

  // 2. Inherited slots: base by base, a later base's entry replacing an
  // earlier one in place.
  for (const auto& base : cls->bases_) {
    for (const auto& [name, type] : base->slots_schema_) put_in_place(cls->slots_schema_, name, type);
    for (const auto& [name, sentinel] : base->slot_sentinels_) put_in_place(cls->slot_sentinels_, name, sentinel);
  }

  // 3. Declared types of the class and its ancestors: ancestors first, each
  // name at its first position with the most derived declaration's type.
  std::vector<std::pair<std::string, TypeHint>> resolved;
  bool resolution_failed = false;
  for (auto it = cls->mro_.rbegin(); it != cls->mro_.rend() && !resolution_failed; ++it) {
    const StrategyClass* owner = *it;
    for (const auto& decl : owner->declarations_) {
      TypeHint type = decl.type;
      if (type.kind() == TypeHint::Kind::kUnresolved) {
        auto locals = owner->local_names_;
        locals.insert(locals.end(), cls->local_names_.begin(), cls->local_names_.end());
        auto r = resolve_type_text(type.text(), locals);
        if (!r) {
          resolution_failed = true;
          break;
        }
        type = std::move(*r);
      }
      put_in_place(resolved, decl.name, std::move(type));
    }
  }
  if (resolution_failed) {
    // Fallback: the class's own declarations alone, their types as text.
    resolved.clear();
    for (const auto& decl : cls->declarations_) put_in_place(resolved, decl.name, TypeHint::unresolved(decl.type.text()));
  }

  // 4. A declaration is a slot of this class when this class body assigns a
  // `uses()` sentinel to its name.
  for (const auto& entry : resolved) {
    // Named copies, not a structured binding: clang before 16 cannot
    // capture a binding in the lambda below.
    const std::string& name = entry.first;
    const TypeHint& type = entry.second;
    auto assigned = std::find_if(d.body.begin(), d.body.end(), [&](const auto& e) { return e.first == name; });
    if (assigned == d.body.end()) continue;
    auto sentinel = assigned->second.as<_UsesSentinel>();
    if (!sentinel) continue;
    put_in_place(cls->slots_schema_, name, type);
    put_in_place(cls->slot_sentinels_, name, sentinel);
    _generate_with_method(*cls, name, type);
  }
  return cls;
}

// ---- Strategy -------------------------------------------------------------------

const StrategyClassPtr& Strategy::klass() {
  static const StrategyClassPtr k = StrategyMeta::create(ClassDescription{
      .name = "Strategy",
      .doc = "Abstract base of RAG strategies: optional slots with generated builders, a lazily built and cached "
             "pipeline, and the run/arun entry points.",
  });
  return k;
}

Strategy::Strategy(StrategyClassPtr strategy_class) : class_(std::move(strategy_class)) {
  if (!class_) throw vorn_core::InvalidValueError("Missing strategy class. Register the class and retry.");
  for (const auto& [name, type] : class_->slots_schema()) slots_.set(name, Value());
}

Strategy::~Strategy() = default;

Strategy& Strategy::with_slot(std::string_view slot, Value value) {
  const std::string builder = "with_" + std::string(slot);
  const StrategyClass::Member* member = class_->find_member(builder);
  if (!member || member->kind != StrategyClass::Member::Kind::kBuilder) {
    throw vorn_core::UnknownAttributeError("Strategy has no attribute " + vorn_core::quote(builder) +
                                    ". Check the attribute name and retry.");
  }
  if (!value.is_none() && !_check_slot_type(value, member->type)) {
    throw RAGTypeError("Invalid value for slot '" + member->slot + "'. Pass a " + member->type.display() +
                       " and retry.");
  }
  std::lock_guard lock(mutex_);
  slots_.set(member->slot, std::move(value));
  pipeline_.reset();
  ++generation_;
  return *this;
}

Value Strategy::slot(std::string_view name) const {
  std::lock_guard lock(mutex_);
  return slots_.get(name);
}

Dict Strategy::slots() const {
  std::lock_guard lock(mutex_);
  return slots_;
}

Value Strategy::get_attr(std::string_view name) const {
  if (const StrategyClass::Member* member = class_->find_member(name)) {
    if (member->kind == StrategyClass::Member::Kind::kAccessor) return slot(member->slot);
    auto* self = const_cast<Strategy*>(this);
    auto owner = std::static_pointer_cast<Strategy>(self->weak_from_this().lock());
    return Value(std::make_shared<BoundBuilder>(std::move(owner), self, member->slot));
  }
  // Fallback: a builder name of a known slot whose class has that callable.
  if (name.starts_with("with_") && class_->has_slot(name.substr(5))) {
    if (const auto* m = class_->find_member(name); m && m->kind == StrategyClass::Member::Kind::kBuilder) {
      auto* self = const_cast<Strategy*>(this);
      auto owner = std::static_pointer_cast<Strategy>(self->weak_from_this().lock());
      return Value(std::make_shared<BoundBuilder>(std::move(owner), self, m->slot));
    }
  }
  throw vorn_core::UnknownAttributeError("Strategy has no attribute " + vorn_core::quote(name) +
                                  ". Check the attribute name and retry.");
}

Value Strategy::call(std::string_view member, vorn_core::List args) {
  Value target = get_attr(member);
  auto* callable = target.get_if<vorn_core::Callable>();
  if (!callable) {
    throw vorn_core::InvalidTypeError("Strategy attribute " + vorn_core::quote(member) +
                               " is not callable. Read it with get_attr instead and retry.");
  }
  auto result = callable->call(std::move(args), {});
  return result.is_awaitable() ? vorn_core::run_sync(std::move(result.task())) : std::move(result.value());
}

Dict Strategy::run(std::string question, std::optional<Value> top_k, Dict options) {
  if (vorn_core::EventLoop::running_in_current_thread()) throw SyncCallInEventLoopError();
  return vorn_core::run_sync(arun(std::move(question), std::move(top_k), std::move(options)));
}

vorn_core::Task<Dict> Strategy::arun(std::string question, std::optional<Value> top_k, Dict options) {
  // Keep the strategy alive while the run is suspended, when it is shared-owned.
  auto keep_alive = weak_from_this().lock();
  Value effective = top_k ? std::move(*top_k) : Value(kDefaultTopK);
  co_return co_await start_run(*this, std::move(question), std::move(effective), std::move(options));
}

PipelinePtr Strategy::build() {
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (pipeline_) return pipeline_;
    generation = generation_;
  }
  PipelinePtr pipeline = _build_pipeline();
  if (!pipeline) {
    throw RAGNotImplementedError(
        "`_build_pipeline()` returned no pipeline. Return a Pipeline from `_build_pipeline()` and retry.");
  }
  std::lock_guard lock(mutex_);
  // A builder call during the build made this pipeline stale: hand it to
  // this caller, but never cache it.
  if (generation_ == generation) pipeline_ = pipeline;
  return pipeline;
}

void Strategy::reset_pipeline() {
  std::lock_guard lock(mutex_);
  pipeline_.reset();
  ++generation_;
}

std::shared_ptr<vorn_pipeline::Tool> Strategy::as_tool(std::string name, std::string description) {
  if (description.empty()) description = class_->doc();
  if (name.empty()) name = class_->name();
  return build()->as_tool(std::move(name), std::move(description));
}

std::string Strategy::type_name() const { return class_->name(); }

std::string Strategy::repr() const { return "<" + class_->name() + " strategy>"; }

PipelinePtr Strategy::_build_pipeline() {
  throw RAGNotImplementedError("`_build_pipeline()` is not implemented. Implement it in the strategy subclass and retry.");
}

std::shared_ptr<DynamicStrategy> DynamicStrategy::instantiate(StrategyClassPtr strategy_class) {
  if (!strategy_class) throw vorn_core::InvalidValueError("Missing strategy class. Register the class and retry.");
  const BuildHook* hook = strategy_class->build_hook();
  if (!hook) {
    throw vorn_core::InvalidTypeError("Can't instantiate abstract class " + strategy_class->name() +
                               " without an implementation for abstract method '_build_pipeline'");
  }
  return std::make_shared<DynamicStrategy>(std::move(strategy_class), hook);
}

PipelinePtr DynamicStrategy::_build_pipeline() { return (*hook_)(*this); }

}  // namespace vorn_rag::core
