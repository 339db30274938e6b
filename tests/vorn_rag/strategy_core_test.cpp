// Strategy base, class creation, slots, composite base and the typed errors.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core/composite_strategy.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::Pipeline;
using vorn_pipeline::PipelinePtr;
using vorn_rag::RAGNotImplementedError;
using vorn_rag::RAGTypeError;
using vorn_rag::core::ClassDescription;
using vorn_rag::core::DynamicStrategy;
using vorn_rag::core::Strategy;
using vorn_rag::core::StrategyClassPtr;
using vorn_rag::core::StrategyMeta;
using vorn_rag::core::TypeHint;
using vorn_rag::core::uses;

TypeHint reranker_hint() { return TypeHint::instance_of<vorn_retrieval::BaseReranker>("BaseReranker"); }
TypeHint filter_hint() { return TypeHint::instance_of<vorn_retrieval::BaseRelevanceFilter>("BaseRelevanceFilter"); }

// Records the state and the run context it sees.
class CapturingStep final : public vorn_pipeline::Step {
 public:
  CapturingStep() : Step("capture", nullptr) {}
  vorn_pipeline::StepKind kind() const noexcept override { return vorn_pipeline::StepKind::kTransform; }
  mutable Dict state;
  mutable Dict context;

 protected:
  Task<void> run(vorn_pipeline::PipelineState& s, const Dict& c) const override {
    state = s;
    context = c;
    s.set("response", "done");
    co_return;
  }
};

struct HookCounter {
  std::atomic<int> calls{0};
  std::shared_ptr<CapturingStep> step = std::make_shared<CapturingStep>();
};

StrategyClassPtr make_class(std::string name, std::vector<StrategyClassPtr> bases,
                            std::vector<vorn_rag::core::SlotDeclaration> declarations,
                            std::vector<std::pair<std::string, Value>> body, std::shared_ptr<HookCounter> counter = nullptr,
                            std::string doc = {}) {
  ClassDescription d;
  d.name = std::move(name);
  d.doc = std::move(doc);
  d.bases = std::move(bases);
  d.declarations = std::move(declarations);
  d.body = std::move(body);
  if (counter) {
    d.build_pipeline = [counter](Strategy&) -> PipelinePtr {
      ++counter->calls;
      return std::make_shared<Pipeline>(std::vector<vorn_pipeline::StepPtr>{counter->step},
                                        vorn_rag::core::StrategyState::schema());
    };
  }
  return StrategyMeta::create(std::move(d));
}

std::vector<std::string> slot_names(const StrategyClassPtr& cls) {
  std::vector<std::string> out;
  for (const auto& [name, type] : cls->slots_schema()) out.push_back(name);
  return out;
}

// ---- class creation ------------------------------------------------------------

TEST(StrategyClassCreation, RootAndPlainClasses) {
  EXPECT_TRUE(Strategy::klass()->slots_schema().empty());
  auto plain = make_class("Plain", {Strategy::klass()}, {{"note", TypeHint::str()}}, {{"note", "text"}});
  EXPECT_TRUE(plain->slots_schema().empty()) << "a declaration without uses() is no slot";
  EXPECT_EQ(plain->describe(), "Plain\n  (no slots)");
  auto loose = make_class("Loose", {Strategy::klass()}, {}, {{"undeclared", Value(uses())}});
  EXPECT_TRUE(loose->slots_schema().empty()) << "uses() without a type declaration is no slot";
}

TEST(StrategyClassCreation, InheritanceRules) {
  auto sentinel_a = uses("first reranker");
  auto parent = make_class("Parent", {Strategy::klass()},
                           {{"reranker", TypeHint::optional(reranker_hint())}, {"relevance_filter", TypeHint::optional(filter_hint())}},
                           {{"reranker", Value(sentinel_a)}, {"relevance_filter", Value(uses())}});
  ASSERT_EQ(slot_names(parent), (std::vector<std::string>{"reranker", "relevance_filter"}));

  // No new declarations: same schema, inherited members.
  auto child = make_class("Child", {parent}, {}, {});
  EXPECT_EQ(slot_names(child), slot_names(parent));
  ASSERT_NE(child->find_member("with_reranker"), nullptr);
  EXPECT_TRUE(child->own_members().empty());

  // Re-declaring keeps the position and replaces type and sentinel.
  auto redeclared = make_class("Redeclared", {parent}, {{"reranker", TypeHint::any()}},
                               {{"reranker", Value(uses("any reranker"))}});
  EXPECT_EQ(slot_names(redeclared), slot_names(parent));
  EXPECT_EQ(redeclared->slots_schema()[0].second.kind(), TypeHint::Kind::kAny);
  EXPECT_EQ(redeclared->describe(),
            "Redeclared\n  reranker: Any - any reranker\n  relevance_filter: BaseRelevanceFilter | None - "
            "Optional relevance_filter of type BaseRelevanceFilter | None");

  // uses() under a name only an ancestor declares: a slot with the ancestor's type.
  auto grand = make_class("Grand", {Strategy::klass()}, {{"router", TypeHint::str()}}, {});
  auto adopter = make_class("Adopter", {grand}, {}, {{"router", Value(uses())}});
  ASSERT_EQ(slot_names(adopter), (std::vector<std::string>{"router"}));
  EXPECT_EQ(adopter->slots_schema()[0].second.name(), "str");
}

TEST(StrategyClassCreation, TwoBasesLaterWins) {
  auto a = make_class("A", {Strategy::klass()}, {{"shared", TypeHint::str()}, {"only_a", TypeHint::str()}},
                      {{"shared", Value(uses("from A"))}, {"only_a", Value(uses())}});
  auto b = make_class("B", {Strategy::klass()}, {{"only_b", TypeHint::integer()}, {"shared", TypeHint::integer()}},
                      {{"only_b", Value(uses())}, {"shared", Value(uses("from B"))}});
  auto both = make_class("Both", {a, b}, {}, {});
  EXPECT_EQ(slot_names(both), (std::vector<std::string>{"shared", "only_a", "only_b"}));
  EXPECT_EQ(both->slots_schema()[0].second.name(), "int");
  EXPECT_EQ(*both->slot_sentinels()[0].second->description(), "from B");
}

TEST(StrategyClassCreation, UnresolvedTypesFallBackToText) {
  auto cls = make_class("Unresolved", {Strategy::klass()},
                        {{"reranker", TypeHint::unresolved("BaseReranker | None")},
                         {"helper", TypeHint::unresolved("NoSuchType")}},
                        {{"reranker", Value(uses())}, {"helper", Value(uses())}});
  ASSERT_EQ(slot_names(cls), (std::vector<std::string>{"reranker", "helper"}));
  EXPECT_EQ(cls->slots_schema()[0].second.kind(), TypeHint::Kind::kUnresolved);
  auto s = DynamicStrategy::instantiate(make_class("UnresolvedRun", {cls}, {}, {}, std::make_shared<HookCounter>()));
  EXPECT_NO_THROW(s->with_slot("reranker", "any value at all"));

  vorn_rag::core::register_type_name("BaseReranker", reranker_hint());
  auto resolved = make_class("Resolved", {Strategy::klass()}, {{"reranker", TypeHint::unresolved("BaseReranker | None")}},
                             {{"reranker", Value(uses())}});
  EXPECT_EQ(resolved->slots_schema()[0].second.text(), "BaseReranker | None");
  EXPECT_EQ(resolved->slots_schema()[0].second.kind(), TypeHint::Kind::kUnion);
}

TEST(StrategyClassCreation, BuilderNamesAndDocs) {
  auto cls = make_class("Docs", {Strategy::klass()}, {{"reranker", reranker_hint()}}, {{"reranker", Value(uses())}});
  const auto* builder = cls->find_member("with_reranker");
  ASSERT_NE(builder, nullptr);
  EXPECT_EQ(builder->doc, "Set reranker's value.");
  EXPECT_EQ(cls->describe(), "Docs\n  reranker: BaseReranker - Optional reranker of type BaseReranker");
}

TEST(StrategyClassCreation, DescribeUsesEmptyDescriptionAsGiven) {
  auto cls = make_class("Empty", {Strategy::klass()}, {{"reranker", reranker_hint()}}, {{"reranker", Value(uses(""))}});
  EXPECT_EQ(cls->describe(), "Empty\n  reranker: BaseReranker - ");
}

// ---- builders and the slot type check -----------------------------------------

struct SlotCase {
  const char* name;
  TypeHint hint;
  Value accepted;
  Value refused;        // absent: every value is accepted
  const char* message;  // expected builder message for `refused`
};

class SlotTypeCheck : public ::testing::TestWithParam<int> {};

std::vector<SlotCase> slot_cases() {
  auto reranker = Value(std::make_shared<ReversingReranker>());
  auto filter = Value(std::make_shared<KeepingFilter>());
  return {
      {"class accepts a subclass", reranker_hint(), reranker, "text",
       "Invalid value for slot 'x'. Pass a BaseReranker and retry."},
      {"union tries every member", TypeHint::union_of({reranker_hint(), filter_hint()}), filter, 3,
       "Invalid value for slot 'x'. Pass a BaseReranker | BaseRelevanceFilter and retry."},
      {"optional union", TypeHint::optional(reranker_hint()), reranker, "text",
       "Invalid value for slot 'x'. Pass a BaseReranker | None and retry."},
      {"generic checks the origin only", TypeHint::list_of(TypeHint::str()), List{1, 2}, Dict{},
       "Invalid value for slot 'x'. Pass a list and retry."},
      {"any mapping for a dict slot", TypeHint::dict_of(TypeHint::str(), TypeHint::any()), Dict{{"k", 1}}, List{},
       "Invalid value for slot 'x'. Pass a dict and retry."},
      {"Any accepts everything", TypeHint::any(), 42, Value(), ""},
      {"type variables accept everything", TypeHint::type_var("T"), "x", Value(), ""},
      {"literal forms accept everything", TypeHint::special_form("Literal", "Literal['a']"), 1, Value(), ""},
  };
}

TEST(SlotBuilders, TypeChecksAndMessages) {
  for (const auto& c : slot_cases()) {
    SCOPED_TRACE(c.name);
    auto cls = make_class("Typed", {Strategy::klass()}, {{"x", c.hint}}, {{"x", Value(uses())}}, std::make_shared<HookCounter>());
    auto s = DynamicStrategy::instantiate(cls);
    EXPECT_NO_THROW(s->with_slot("x", c.accepted));
    EXPECT_EQ(s->slot("x"), c.accepted);
    EXPECT_NO_THROW(s->with_slot("x", Value())) << "absent is accepted whatever the type";
    EXPECT_TRUE(s->slot("x").is_none());
    if (c.refused.is_none()) continue;
    s->with_slot("x", c.accepted);
    try {
      s->with_slot("x", c.refused);
      ADD_FAILURE() << "expected RAGTypeError";
    } catch (const RAGTypeError& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.code(), "VORN-RAG-TYPE");
    }
    EXPECT_EQ(s->slot("x"), c.accepted) << "a failed builder leaves the slot unchanged";
  }
}

TEST(SlotBuilders, DynamicApiAndAttributeErrors) {
  auto counter = std::make_shared<HookCounter>();
  auto cls = make_class("Dyn", {Strategy::klass()}, {{"reranker", TypeHint::optional(reranker_hint())}},
                        {{"reranker", Value(uses())}}, counter);
  auto s = DynamicStrategy::instantiate(cls);
  auto reranker = std::make_shared<ReversingReranker>();
  Value returned = s->call("with_reranker", {Value(reranker)});
  EXPECT_EQ(returned.as<Strategy>(), s) << "the builder returns the strategy itself";
  EXPECT_EQ(s->get_attr("reranker").as<ReversingReranker>(), reranker);
  EXPECT_TRUE(s->get_attr("with_reranker").is<vorn_core::Callable>());
  for (const char* name : {"unknown", "with_unknown", "run_fast"}) {
    try {
      s->get_attr(name);
      ADD_FAILURE() << name;
    } catch (const vorn_core::AttributeError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Strategy has no attribute '") + name + "'. Check the attribute name and retry.");
    }
  }
}

// ---- build cache ---------------------------------------------------------------

TEST(StrategyBuild, CachesUntilABuilderCall) {
  auto counter = std::make_shared<HookCounter>();
  auto cls = make_class("Cached", {Strategy::klass()}, {{"reranker", TypeHint::optional(reranker_hint())}},
                        {{"reranker", Value(uses())}}, counter);
  auto s = DynamicStrategy::instantiate(cls);
  auto first = s->build();
  EXPECT_EQ(s->build(), first);
  EXPECT_EQ(counter->calls, 1);
  s->with_slot("reranker", Value());
  auto second = s->build();
  EXPECT_NE(second, first);
  EXPECT_EQ(counter->calls, 2);
  EXPECT_THROW(s->with_slot("reranker", 5), RAGTypeError);
  EXPECT_EQ(s->build(), second) << "a failed builder keeps the cache";
}

TEST(StrategyBuild, HookReturningNothingIsReported) {
  ClassDescription d{.name = "Nothing", .bases = {Strategy::klass()}};
  d.build_pipeline = [](Strategy&) -> PipelinePtr { return nullptr; };
  auto s = DynamicStrategy::instantiate(StrategyMeta::create(std::move(d)));
  try {
    s->build();
    ADD_FAILURE();
  } catch (const RAGNotImplementedError& e) {
    EXPECT_EQ(e.message(), "`_build_pipeline()` returned no pipeline. Return a Pipeline from `_build_pipeline()` and retry.");
  }
  EXPECT_THROW(DynamicStrategy::instantiate(make_class("Abstract", {Strategy::klass()}, {}, {})), vorn_core::TypeError);
}

TEST(StrategyBuild, ConcurrentBuildsAndBuildersStayConsistent) {
  auto counter = std::make_shared<HookCounter>();
  auto cls = make_class("Threads", {Strategy::klass()}, {{"reranker", TypeHint::optional(reranker_hint())}},
                        {{"reranker", Value(uses())}}, counter);
  auto s = DynamicStrategy::instantiate(cls);
  auto reranker = std::make_shared<ReversingReranker>();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) s->with_slot("reranker", i % 2 ? Value(reranker) : Value());
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) ASSERT_NE(s->build(), nullptr);
    });
  }
  writer.join();
  for (auto& r : readers) r.join();
  // After the last builder call, a build reflects it and is cached.
  auto settled = s->build();
  EXPECT_EQ(s->build(), settled);
}

// ---- run / arun ------------------------------------------------------------------

TEST(StrategyRun, ArunBuildsInitialStateAndContext) {
  auto counter = std::make_shared<HookCounter>();
  auto s = DynamicStrategy::instantiate(make_class("Ctx", {Strategy::klass()}, {}, {}, counter));
  Dict options;
  options.set("query_filter", Dict{{"lang", "en"}});
  options.set("threshold", 0.5);
  options.set("X", 1);
  Dict final_state = vorn_core::run_sync(s->arun("Q", 3, options));
  EXPECT_EQ(final_state.at("response"), Value("done"));
  const Dict& state = counter->step->state;
  EXPECT_EQ(state.at("user_query"), Value("Q"));
  EXPECT_EQ(state.at("query_filter"), Value(Dict{{"lang", "en"}}));
  EXPECT_TRUE(state.at("retrieval_decision").is_none());
  EXPECT_EQ(counter->step->context.keys(), (std::vector<std::string>{"top_k", "threshold", "X"}));
  EXPECT_EQ(counter->step->context.at("top_k"), Value(3));
  EXPECT_EQ(counter->step->context.at("threshold"), Value(0.5));

  vorn_core::run_sync(s->arun("Q"));
  EXPECT_EQ(counter->step->context.keys(), (std::vector<std::string>{"top_k", "threshold"}));
  EXPECT_TRUE(counter->step->context.at("threshold").is_none()) << "absent threshold is kept in the context";
  EXPECT_EQ(counter->step->context.at("top_k"), Value(5));
}

Task<Value> run_inside_loop(std::shared_ptr<Strategy> s) {
  try {
    s->run("Q");
  } catch (const vorn_rag::SyncCallInEventLoopError& e) {
    co_return std::string(e.what());
  }
  co_return Value();
}

TEST(StrategyRun, RunRefusesInsideARunningLoopBeforeBuilding) {
  auto counter = std::make_shared<HookCounter>();
  auto s = DynamicStrategy::instantiate(make_class("Loop", {Strategy::klass()}, {}, {}, counter));
  Value message = vorn_core::run_sync(run_inside_loop(s));
  EXPECT_EQ(message, Value("run() cannot be called inside a running event loop. Use arun() instead."));
  EXPECT_EQ(counter->calls, 0);
  EXPECT_EQ(s->run("Q").at("response"), Value("done"));
}

TEST(StrategyRun, AsToolNaming) {
  auto counter = std::make_shared<HookCounter>();
  auto documented = DynamicStrategy::instantiate(make_class("Documented", {Strategy::klass()}, {}, {}, counter, "Answers."));
  auto tool = documented->as_tool();
  EXPECT_EQ(tool->name(), "Documented");
  EXPECT_EQ(tool->description(), "Answers.");
  auto named = documented->as_tool("search", "Finds things.");
  EXPECT_EQ(named->name(), "search");
  EXPECT_EQ(named->description(), "Finds things.");
  auto bare = DynamicStrategy::instantiate(make_class("Bare", {Strategy::klass()}, {}, {}, counter));
  EXPECT_EQ(bare->as_tool()->description(), "");
  EXPECT_EQ(tool->run(Dict{{"user_query", "Q"}}).at("response"), Value("done"));
}

// ---- composite base --------------------------------------------------------------

class OrderedComposite final : public vorn_rag::core::CompositeStrategy {
 public:
  explicit OrderedComposite(bool fail_validation, bool return_nothing = false)
      : CompositeStrategy(klass()), fail_(fail_validation), nothing_(return_nothing) {}
  std::vector<std::string> calls;

 protected:
  void _validate_branches() override {
    calls.push_back("validate");
    if (fail_) throw vorn_rag::RAGValueError("bad branches");
  }
  PipelinePtr _build_composite_pipeline() override {
    calls.push_back("assemble");
    if (nothing_) return nullptr;
    return std::make_shared<Pipeline>();
  }

 private:
  bool fail_;
  bool nothing_;
};

class DelegatingComposite final : public vorn_rag::core::CompositeStrategy {
 public:
  DelegatingComposite() : CompositeStrategy(klass()) {}

 protected:
  void _validate_branches() override { CompositeStrategy::_validate_branches(); }
  PipelinePtr _build_composite_pipeline() override { return CompositeStrategy::_build_composite_pipeline(); }
};

TEST(CompositeStrategy, ValidatesBeforeAssembling) {
  OrderedComposite ok(false);
  EXPECT_NE(ok.build(), nullptr);
  EXPECT_EQ(ok.calls, (std::vector<std::string>{"validate", "assemble"}));

  OrderedComposite bad(true);
  EXPECT_THROW(bad.build(), vorn_rag::RAGValueError);
  EXPECT_EQ(bad.calls, (std::vector<std::string>{"validate"}));
  EXPECT_THROW(bad.build(), vorn_rag::RAGValueError) << "nothing was cached";

  OrderedComposite nothing(false, true);
  EXPECT_THROW(nothing.build(), RAGNotImplementedError);

  DelegatingComposite delegating;
  try {
    delegating.build();
    ADD_FAILURE();
  } catch (const RAGNotImplementedError& e) {
    EXPECT_EQ(e.message(),
              "This RAG operation is not supported by the selected strategy. Use a strategy that supports it.");
  }
}

TEST(CompositeStrategy, DescribedSubclassMayNotDefineTheHook) {
  const char* message =
      "A composite strategy must not override `_build_pipeline()`. Remove the override and use the composite "
      "strategy's own pipeline hook instead.";
  ClassDescription direct{.name = "Direct", .bases = {vorn_rag::core::CompositeStrategy::klass()}};
  direct.defines_build_pipeline = true;
  try {
    StrategyMeta::create(direct);
    ADD_FAILURE();
  } catch (const RAGTypeError& e) {
    EXPECT_EQ(e.message(), message);
  }
  auto middle = StrategyMeta::create(ClassDescription{.name = "Middle", .bases = {vorn_rag::core::CompositeStrategy::klass()}});
  ClassDescription deeper{.name = "Deeper", .bases = {middle}};
  deeper.defines_build_pipeline = true;
  EXPECT_THROW(StrategyMeta::create(deeper), RAGTypeError);
  ClassDescription plain{.name = "PlainOverride", .bases = {Strategy::klass()}};
  plain.defines_build_pipeline = true;
  EXPECT_NO_THROW(StrategyMeta::create(plain)) << "only composite strategies seal the hook";
}

// ---- pass-through handler --------------------------------------------------------

template <class E>
void expect_passes_through(E error) {
  auto handler = std::make_shared<vorn_rag::error_handler::PassThroughBaseErrorHandler>();
  auto failing = vorn_pipeline::transform({.operation = [error](Dict) -> Value { throw error; },
                                           .output_state = "response",
                                           .name = "typed",
                                           .error_handler = handler});
  auto pipeline = std::make_shared<Pipeline>(std::vector{failing});
  try {
    vorn_core::run_sync(pipeline->invoke(Dict{}));
    ADD_FAILURE();
  } catch (const E& e) {
    EXPECT_EQ(e.code(), error.code());
    EXPECT_EQ(e.message(), error.message());
  }
}

TEST(PassThroughHandler, FamilyErrorsPassUnchanged) {
  expect_passes_through(vorn_rag::RAGRuntimeError("unexpected route"));
  expect_passes_through(vorn_rag::RAGTypeError());
  expect_passes_through(vorn_rag::RAGValueError("bad", vorn_core::DebugInfo{"RAGValueError", "X", "y"}));
  expect_passes_through(vorn_rag::RAGNotImplementedError());
  expect_passes_through(vorn_rag::SyncCallInEventLoopError());
  expect_passes_through(vorn_pipeline::PipelineRuntimeError("inner", "inner failed", nullptr));
}

TEST(PassThroughHandler, OtherErrorsAreWrappedAsByDefault) {
  auto make = [](vorn_pipeline::ErrorHandlerPtr handler, bool typed) {
    return std::make_shared<Pipeline>(std::vector{vorn_pipeline::transform(
        {.operation = [typed](Dict) -> Value {
           if (typed) throw vorn_rag::RAGRuntimeError("typed");
           throw std::out_of_range("plain");
         },
         .output_state = "response",
         .name = "op",
         .error_handler = std::move(handler)})});
  };
  for (bool pass_through : {true, false}) {
    vorn_pipeline::ErrorHandlerPtr handler;
    if (pass_through) handler = std::make_shared<vorn_rag::error_handler::PassThroughBaseErrorHandler>();
    try {
      vorn_core::run_sync(make(handler, false)->invoke(Dict{}));
      ADD_FAILURE();
    } catch (const vorn_pipeline::PipelineRuntimeError& e) {
      EXPECT_EQ(e.step_name(), "op");
      EXPECT_THROW(std::rethrow_exception(e.cause()), std::out_of_range);
    }
  }
  // A coded host kind is wrapped like the plain kind it stands for, message
  // and all, although it is of the family.
  auto coded = std::make_shared<Pipeline>(std::vector{vorn_pipeline::transform(
      {.operation = [](Dict) -> Value { throw vorn_core::InvalidTypeError("not a list"); },
       .output_state = "response",
       .name = "op",
       .error_handler = std::make_shared<vorn_rag::error_handler::PassThroughBaseErrorHandler>()})});
  try {
    vorn_core::run_sync(coded->invoke(Dict{}));
    ADD_FAILURE();
  } catch (const vorn_pipeline::PipelineRuntimeError& e) {
    EXPECT_EQ(e.message(), "Step 'op' failed with TypeError: not a list");
    EXPECT_EQ(vorn_core::error_code_of(e.cause()), "VORN-CORE-TYPE");
  }
  // Without the handler even typed errors take the default wrapping.
  EXPECT_THROW(vorn_core::run_sync(make(nullptr, true)->invoke(Dict{})), vorn_pipeline::PipelineRuntimeError);
}

// ---- typed errors ----------------------------------------------------------------

template <class E, class Host>
void expect_error_row(const char* code, const char* default_message) {
  E error;
  EXPECT_EQ(error.code(), code);
  EXPECT_EQ(error.message(), default_message);
  EXPECT_STREQ(error.what(), default_message);
  EXPECT_THROW(throw E("given"), vorn_rag::BaseRAGError);
  EXPECT_THROW(throw E("given"), vorn_core::BaseError);
  EXPECT_THROW(throw E("given"), Host);
  EXPECT_THROW(throw E("given"), std::exception);
  E given("given", vorn_core::DebugInfo{"E", "T", "m"});
  EXPECT_EQ(given.message(), "given");
  ASSERT_TRUE(given.debug_info());
  EXPECT_EQ(given.debug_info()->original_message, "m");
}

TEST(TypedErrors, EveryRowOfTheTable) {
  expect_error_row<vorn_rag::RAGNotImplementedError, vorn_core::NotImplementedError>(
      "VORN-RAG-NOT-IMPLEMENTED",
      "This RAG operation is not supported by the selected strategy. Use a strategy that supports it.");
  expect_error_row<vorn_rag::RAGRuntimeError, vorn_core::RuntimeError>(
      "VORN-RAG-RUNTIME", "The RAG pipeline failed to run. Check the pipeline configuration and inputs, then try again.");
  expect_error_row<vorn_rag::RAGTypeError, vorn_core::TypeError>(
      "VORN-RAG-TYPE", "A RAG component received a value of the wrong type. Check the argument types and try again.");
  expect_error_row<vorn_rag::RAGValueError, vorn_core::ValueError>(
      "VORN-RAG-VALIDATION", "The RAG request or configuration is invalid. Check the provided values and try again.");
  expect_error_row<vorn_rag::SyncCallInEventLoopError, vorn_rag::RAGRuntimeError>(
      "VORN-RAG-SYNC-IN-LOOP", "run() cannot be called inside a running event loop. Use arun() instead.");
  EXPECT_THROW(throw vorn_rag::SyncCallInEventLoopError(), std::runtime_error);
}

// ---- state record and sentinel ---------------------------------------------------

TEST(StrategyState, AddedFieldsDefaultToAbsent) {
  auto state = vorn_rag::core::StrategyState::make({{"user_query", "Q"}});
  for (const char* field : {"query_filter", "retrieval_decision", "filtered_chunks", "routed_branch"}) {
    EXPECT_TRUE(state->get(field).is_none()) << field;
  }
  EXPECT_NO_THROW(vorn_rag::core::StrategyState::make({{"retrieval_decision", "anything"}}));
  EXPECT_NO_THROW(vorn_rag::core::StrategyState::make({{"filtered_chunks", vorn_core::to_value(make_chunks({"a"}))}}));
  EXPECT_THROW(vorn_rag::core::StrategyState::make({{"filtered_chunks", List{1}}}), vorn_core::ValidationError);
  const auto* field = vorn_rag::core::StrategyState::schema()->field("routed_branch");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->description, "RoutedStrategy-selected branch name");
}

TEST(UsesSentinel, TextTruthAndDescription) {
  auto bare = uses();
  EXPECT_FALSE(bare->description());
  EXPECT_FALSE(Value(bare).truthy());
  EXPECT_EQ(Value(bare).str(), "<uses sentinel>");
  EXPECT_EQ(*uses("text")->description(), "text");
  EXPECT_NE(uses(), uses()) << "each call makes a new sentinel";
}

}  // namespace
