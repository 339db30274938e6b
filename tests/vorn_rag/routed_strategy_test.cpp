// RoutedStrategy: registration and validation messages and their order,
// branch selection in both modes, branches that are strategies or pipelines,
// the no-match error and the cached pipeline.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_rag/strategies/naive_rag.hpp"
#include "vorn_rag/strategies/routed_strategy.hpp"

namespace {

using namespace rag_test;
using vorn_pipeline::PipelinePtr;
using vorn_pipeline::PipelineRuntimeError;
using vorn_rag::RAGRuntimeError;
using vorn_rag::RAGValueError;
using vorn_rag::strategies::NaiveRAG;
using vorn_rag::strategies::RoutedStrategy;
using vorn_rag::strategies::routed_strategy::kRouteMode;
using vorn_rag::strategies::routed_strategy::RouteMode;

const std::string kNoMatchSuffix = "). Add a branch for this route or a fallback branch, then retry.";

// A ready pipeline answering "<tag>:<query>".
PipelinePtr answering(const std::string& tag) {
  auto step = vorn_pipeline::transform({
      .operation = [tag](Dict data) { return Value(tag + ":" + data.get("query").as_string()); },
      .input_map = {{"query", "user_query"}},
      .output_state = "response",
      .name = tag + "_answer",
  });
  return std::make_shared<vorn_pipeline::Pipeline>(std::vector<vorn_pipeline::StepPtr>{step},
                                                   vorn_rag::core::StrategyState::schema());
}

// A classifier that answers `verdict` and counts its calls.
struct Counted {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  RoutedStrategy::Classifier answer(bool verdict) const {
    return [calls = calls, verdict](const std::string&) {
      ++*calls;
      return verdict;
    };
  }
};

Task<bool> suspended_verdict(std::string query, std::string needle) {
  co_await vorn_core::yield_now();
  co_return query.find(needle) != std::string::npos;
}

RoutedStrategy::AsyncClassifier async_contains(std::string needle) {
  return [needle](std::string query) { return suspended_verdict(std::move(query), needle); };
}

RoutedStrategy::Classifier contains(std::string needle) {
  return [needle](const std::string& query) { return query.find(needle) != std::string::npos; };
}

const RoutedStrategy::Classifier kAlways = [](const std::string&) { return true; };

std::shared_ptr<FunctionRouter> router_answering(Value name) {
  return std::make_shared<FunctionRouter>([name](const std::string&) { return name; });
}

// ---- registration ------------------------------------------------------------------

struct RegistrationCase {
  const char* name;
  std::function<void(RoutedStrategy&)> setup;
  std::function<void(RoutedStrategy&)> call;
  std::string message;
};

TEST(RoutedRegistration, MessagesAndTheirPrecedence) {
  const Value pipe(answering("p"));
  const std::string reserved =
      "Branch name '__no_match__' is reserved for unmatched routes. Use a different branch name and retry.";
  const std::string duplicate = "Branch 'docs' is already registered. Use a different branch name and retry.";
  const std::string no_branch = "Missing branch. Pass a Strategy or Pipeline as the branch and retry.";
  const std::string classifier_in_router_mode =
      "A classifier was given in router mode. Remove the classifier or use classifier mode, then retry.";
  const std::string no_classifier =
      "Missing classifier. Pass a classifier for each branch or configure a router, then retry.";
  auto nothing = [](RoutedStrategy&) {};
  auto docs_branch = [pipe](RoutedStrategy& s) { s.add_branch("docs", kAlways, pipe); };
  auto router_mode = [](RoutedStrategy& s) { s.set_router(router_answering("docs")); };
  auto router_docs = [pipe](RoutedStrategy& s) {
    s.set_router(router_answering("docs"));
    s.add_branch("docs", nullptr, pipe);
  };

  const std::vector<RegistrationCase> cases = {
      {"reserved name", nothing, [&](RoutedStrategy& s) { s.add_branch("__no_match__", kAlways, pipe); }, reserved},
      {"reserved before missing branch", nothing, [](RoutedStrategy& s) { s.add_branch("__no_match__"); }, reserved},
      {"reserved in router mode", router_mode, [&](RoutedStrategy& s) { s.add_branch("__no_match__", nullptr, pipe); },
       reserved},
      {"duplicate", docs_branch, [&](RoutedStrategy& s) { s.add_branch("docs", kAlways, pipe); }, duplicate},
      {"duplicate before missing branch", docs_branch, [](RoutedStrategy& s) { s.add_branch("docs"); }, duplicate},
      {"duplicate in router mode", router_docs, [&](RoutedStrategy& s) { s.add_branch("docs", nullptr, pipe); },
       duplicate},
      {"quoted name", [&](RoutedStrategy& s) { s.add_branch("it's", kAlways, pipe); },
       [&](RoutedStrategy& s) { s.add_branch("it's", kAlways, pipe); },
       "Branch 'it\\'s' is already registered. Use a different branch name and retry."},
      {"missing branch before missing classifier", nothing, [](RoutedStrategy& s) { s.add_branch("web"); }, no_branch},
      {"missing branch in router mode", router_mode, [](RoutedStrategy& s) { s.add_branch("web", nullptr, Value()); },
       no_branch},
      {"classifier in router mode", router_mode, [&](RoutedStrategy& s) { s.add_branch("web", kAlways, pipe); },
       classifier_in_router_mode},
      {"missing classifier on a fresh strategy", nothing, [&](RoutedStrategy& s) { s.add_branch("web", nullptr, pipe); },
       no_classifier},
      {"missing classifier in classifier mode", docs_branch,
       [&](RoutedStrategy& s) { s.add_branch("web", nullptr, pipe); }, no_classifier},
      {"empty function is no classifier", nothing,
       [&](RoutedStrategy& s) { s.add_branch("web", RoutedStrategy::Classifier(), pipe); }, no_classifier},
      {"router after classifier branches", docs_branch, [](RoutedStrategy& s) { s.set_router(router_answering("x")); },
       "Cannot enable router mode after classifier branches are registered. Use classifier mode or create a new "
       "RoutedStrategy with a router, then retry."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto strategy = std::make_shared<RoutedStrategy>();
    c.setup(*strategy);
    const auto mode = strategy->mode();
    const auto router = strategy->router();
    const auto count = strategy->branches().size();
    EXPECT_EQ(message_of<RAGValueError>([&] { c.call(*strategy); }), c.message);
    // A refused call changes nothing.
    EXPECT_EQ(strategy->mode(), mode);
    EXPECT_EQ(strategy->router(), router);
    EXPECT_EQ(strategy->branches().size(), count);
  }
}

TEST(RoutedRegistration, ModesFollowTheFirstRegistration) {
  const Value pipe(answering("p"));
  RoutedStrategy fresh;
  EXPECT_EQ(fresh.mode(), std::nullopt);
  EXPECT_THROW(fresh.add_branch("docs", nullptr, pipe), RAGValueError);
  fresh.set_router(router_answering("docs")).add_branch("docs", nullptr, pipe);  // valid once routed
  EXPECT_EQ(fresh.mode(), RouteMode::ROUTER);

  RoutedStrategy classified;
  classified.add_branch("docs", kAlways, pipe).add_branch("web", async_contains("web"), pipe);
  EXPECT_EQ(classified.mode(), RouteMode::CLASSIFIER);
  auto specs = classified.branches();
  ASSERT_EQ(specs.size(), 2u);
  EXPECT_EQ(specs[0].name, "docs");
  EXPECT_EQ(specs[1].name, "web");
  EXPECT_NE(specs[1].classifier, nullptr);
  EXPECT_EQ(specs[1].branch, pipe);

  // The string enumeration of modes.
  EXPECT_EQ(kRouteMode.from_value("router"), RouteMode::ROUTER);
  EXPECT_EQ(kRouteMode.value(RouteMode::CLASSIFIER), "classifier");
  EXPECT_THROW(kRouteMode.from_value("ROUTER"), vorn_core::ValueError);
  EXPECT_EQ(RoutedStrategy::describe(), "RoutedStrategy\n  (no slots)");
}

// ---- validation at build time ---------------------------------------------------------

struct ValidationCase {
  const char* name;
  std::function<void(RoutedStrategy&)> setup;
  std::string message;  // empty: valid
};

TEST(RoutedValidation, MessagesAndTheirPrecedence) {
  const Value pipe(answering("p"));
  const std::string too_few = "Too few branches. Register at least 2 branches and retry.";
  const std::string no_router = "Missing router. Pass a router to RoutedStrategy and retry.";
  const std::vector<ValidationCase> cases = {
      {"no branches", [](RoutedStrategy&) {}, too_few},
      {"one branch", [&](RoutedStrategy& s) { s.add_branch("a", kAlways, pipe); }, too_few},
      {"count before router", [&](RoutedStrategy& s) { s.set_router(nullptr).add_branch("a", nullptr, pipe); }, too_few},
      {"absent router",
       [&](RoutedStrategy& s) { s.set_router(nullptr).add_branch("a", nullptr, pipe).add_branch("b", nullptr, pipe); },
       no_router},
      {"router replaced by absent",
       [&](RoutedStrategy& s) {
         s.set_router(router_answering("a")).add_branch("a", nullptr, pipe).add_branch("b", nullptr, pipe);
         s.set_router(nullptr);
       },
       no_router},
      {"absent router replaced",
       [&](RoutedStrategy& s) {
         s.set_router(nullptr).add_branch("a", nullptr, pipe).add_branch("b", nullptr, pipe);
         s.set_router(router_answering("a"));
       },
       ""},
      {"two classifiers", [&](RoutedStrategy& s) { s.add_branch("a", kAlways, pipe).add_branch("b", kAlways, pipe); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto strategy = std::make_shared<RoutedStrategy>();
    c.setup(*strategy);
    if (c.message.empty()) {
      EXPECT_NE(strategy->build(), nullptr);
      continue;
    }
    EXPECT_EQ(message_of<RAGValueError>([&] { strategy->build(); }), c.message);
    EXPECT_EQ(message_of<RAGValueError>([&] { strategy->run("q"); }), c.message) << "nothing was cached by the failed build";
  }
}

// ---- branch selection -------------------------------------------------------------------

TEST(RoutedSelection, FirstMatchWinsAndLaterClassifiersAreNotAsked) {
  Counted first, second;
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("first", first.answer(true), Value(answering("first")))
      .add_branch("second", second.answer(true), Value(answering("second")));
  Dict out = strategy->run("q");
  EXPECT_EQ(out.at("response"), Value("first:q"));
  EXPECT_EQ(out.at("routed_branch"), Value("first"));
  EXPECT_EQ(*first.calls, 1);
  EXPECT_EQ(*second.calls, 0);
}

TEST(RoutedSelection, MixedPlainAndAsynchronousClassifiersInOrder) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("docs", contains("doc"), Value(answering("docs")))
      .add_branch("web", async_contains("web"), Value(answering("web")))
      .add_branch("fallback", kAlways, Value(answering("fallback")));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"doc on the web", "docs:doc on the web"},
      {"the web", "web:the web"},
      {"anything else", "fallback:anything else"},
  };
  for (const auto& [query, answer] : cases) {
    EXPECT_EQ(strategy->run(query).at("response"), Value(answer)) << query;
  }
}

TEST(RoutedSelection, NoMatchingClassifierEndsInTheTypedError) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("docs", contains("doc"), Value(answering("docs")))
      .add_branch("web", async_contains("web"), Value(answering("web")));
  try {
    strategy->run("hello");
    ADD_FAILURE() << "answered";
  } catch (const PipelineRuntimeError&) {
    ADD_FAILURE() << "the typed error was wrapped";
  } catch (const RAGRuntimeError& e) {
    EXPECT_EQ(std::string(e.what()), "No matching route for query 'hello' (resolved route: '__no_match__'" + kNoMatchSuffix);
    EXPECT_EQ(e.code(), "VORN-RAG-RUNTIME");
  }
}

TEST(RoutedSelection, RouterAnswersThatNameNoBranchEndInTheNoMatchError) {
  for (const Value& answer : {Value("unknown"), Value("__no_match__"), Value(), Value(1)}) {
    SCOPED_TRACE(answer.repr());
    auto router = router_answering(answer);
    auto strategy = std::make_shared<RoutedStrategy>();
    strategy->set_router(router).add_branch("docs", nullptr, Value(answering("docs")))
        .add_branch("web", nullptr, Value(answering("web")));
    try {
      strategy->run("it's");
      ADD_FAILURE() << "answered";
    } catch (const PipelineRuntimeError&) {
      ADD_FAILURE() << "the typed error was wrapped";
    } catch (const RAGRuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), "No matching route for query 'it\\'s' (resolved route: '__no_match__'" +
                                           kNoMatchSuffix);
    }
    EXPECT_EQ(router->log.calls(), std::vector<std::string>{"it's"});
  }
}

TEST(RoutedSelection, RouterNamesTheBranch) {
  auto router = std::make_shared<FunctionRouter>([](const std::string& q) { return Value(q.starts_with("w") ? "web" : "docs"); });
  router->behaviour.suspend = true;
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->set_router(router).add_branch("docs", nullptr, Value(answering("docs")))
      .add_branch("web", nullptr, Value(answering("web")));
  EXPECT_EQ(strategy->run("weather").at("response"), Value("web:weather"));
  EXPECT_EQ(strategy->run("manual").at("response"), Value("docs:manual"));
}

TEST(RoutedSelection, ClassifierErrorsAreWrappedByTheResolveStep) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("a", [](const std::string&) -> bool { throw std::runtime_error("classifier broke"); },
                       Value(answering("a")))
      .add_branch("b", kAlways, Value(answering("b")));
  try {
    strategy->run("q");
    ADD_FAILURE() << "answered";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "resolve_routed_branch");
    EXPECT_NE(std::string(e.what()).find("classifier broke"), std::string::npos);
  }
}

TEST(RoutedSelection, NoMatchOperationOnItsOwnReadsAbsentAsNone) {
  try {
    RoutedStrategy::_raise_no_matching_branch(Dict{});
    ADD_FAILURE();
  } catch (const RAGRuntimeError& e) {
    EXPECT_EQ(std::string(e.what()), "No matching route for query None (resolved route: None" + kNoMatchSuffix);
  }
}

// ---- branches and the built pipeline ----------------------------------------------------

TEST(RoutedBranches, StrategiesAndPipelinesAnswerForTheRoutedStrategy) {
  auto retriever = std::make_shared<RecordingRetriever>(make_chunks({"a", "b"}));
  auto synthesizer = std::make_shared<EchoSynthesizer>();
  auto naive = std::make_shared<NaiveRAG>(retriever, synthesizer);
  auto ready = answering("ready");
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("rag", contains("?"), Value(naive)).add_branch("ready", kAlways, Value(ready));

  Dict rag = strategy->run("what?", 2);
  EXPECT_EQ(rag.at("response"), Value("answer(what?): a,b"));
  EXPECT_EQ(rag.at("routed_branch"), Value("rag"));
  EXPECT_EQ(ids_of(rag.at("chunks")), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(retriever->log.size(), 1u);
  EXPECT_EQ(retriever->log.calls()[0].options.top_k, 2) << "the run context reaches the branch";

  Dict direct = strategy->run("hi");
  EXPECT_EQ(direct.at("response"), Value("ready:hi"));
  EXPECT_EQ(retriever->log.size(), 1u);

  // A strategy branch contributes its own cached pipeline; a pipeline itself.
  EXPECT_EQ(RoutedStrategy::_to_branch_pipeline(Value(naive)), Value(naive->build()));
  EXPECT_EQ(RoutedStrategy::_to_branch_pipeline(Value(ready)), Value(ready));
}

TEST(RoutedBranches, PipelineShape) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("docs", kAlways, Value(answering("docs"))).add_branch("web", kAlways, Value(answering("web")));
  auto pipeline = strategy->build();
  EXPECT_EQ(pipeline->state_type(), vorn_rag::core::StrategyState::schema());
  auto steps = pipeline->describe();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].name, "resolve_routed_branch");
  EXPECT_EQ(steps[0].kind, vorn_pipeline::StepKind::kTransform);
  EXPECT_EQ(steps[1].name, "route_by_routed_branch");
  EXPECT_EQ(steps[1].kind, vorn_pipeline::StepKind::kSwitch);
  const auto& children = steps[1].children;
  ASSERT_EQ(children.size(), 3u);
  const std::vector<std::tuple<std::string, std::string, vorn_pipeline::StepKind>> expected = {
      {"docs", "route_docs", vorn_pipeline::StepKind::kSubgraph},
      {"web", "route_web", vorn_pipeline::StepKind::kSubgraph},
      {"default", "raise_no_matching_route", vorn_pipeline::StepKind::kTransform},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [key, name, kind] = expected[i];
    EXPECT_EQ(children[i].first, key);
    ASSERT_EQ(children[i].second.size(), 1u);
    EXPECT_EQ(children[i].second[0].name, name);
    EXPECT_EQ(children[i].second[0].kind, kind);
  }
}

TEST(RoutedBranches, RegistrationDropsTheCachedPipelineAndRefusalsDoNot) {
  const Value pipe(answering("p"));
  auto classified = std::make_shared<RoutedStrategy>();
  classified->add_branch("a", kAlways, pipe).add_branch("b", kAlways, pipe);
  auto first = classified->build();
  EXPECT_EQ(classified->build(), first);
  EXPECT_THROW(classified->add_branch("a", kAlways, pipe), RAGValueError);
  EXPECT_EQ(classified->build(), first);
  classified->add_branch("c", kAlways, pipe);
  auto second = classified->build();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->describe()[1].children.size(), 4u) << "three branches and the default";

  auto routed = std::make_shared<RoutedStrategy>();
  routed->set_router(router_answering("a")).add_branch("a", nullptr, pipe).add_branch("b", nullptr, pipe);
  auto before = routed->build();
  routed->set_router(router_answering("b"));
  EXPECT_NE(routed->build(), before);
  EXPECT_EQ(routed->run("q").at("response"), Value("p:q"));
}

TEST(RoutedBranches, ABranchThatIsNoPipelineFailsWhenTakenWithoutACrash) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("odd", contains("odd"), Value("not a pipeline")).add_branch("ok", kAlways, Value(answering("ok")));
  EXPECT_EQ(strategy->run("fine").at("response"), Value("ok:fine"));
  try {
    strategy->run("odd one");
    ADD_FAILURE() << "answered";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "route_odd");
  }
}

TEST(RoutedBranches, APipelineThatOutlivesItsStrategyReportsIt) {
  auto strategy = std::make_shared<RoutedStrategy>();
  strategy->add_branch("a", kAlways, Value(answering("a"))).add_branch("b", kAlways, Value(answering("b")));
  auto pipeline = strategy->build();
  strategy.reset();
  Dict initial;
  initial.set("user_query", "q");
  try {
    vorn_core::run_sync(pipeline->invoke(Value(initial)));
    ADD_FAILURE() << "answered";
  } catch (const PipelineRuntimeError& e) {
    EXPECT_EQ(e.step_name(), "resolve_routed_branch");
    EXPECT_NE(std::string(e.what()).find("no longer exists"), std::string::npos);
  }
}

}  // namespace
