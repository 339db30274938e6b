// Step kinds, composition and introspection of pipelines.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/callable.hpp"
#include "vorn_core/error.hpp"
#include "vorn_pipeline/pipeline_framework.hpp"

namespace {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;
using vorn_pipeline::Pipeline;
using vorn_pipeline::PipelinePtr;
using vorn_pipeline::StepKind;
using vorn_pipeline::StepPtr;
using vorn_test::EventLog;
using vorn_test::RecordingComponent;

Dict invoke(const PipelinePtr& p, Value initial = Dict{}, Dict context = {}) {
  return vorn_test::run(p->invoke(std::move(initial), std::move(context)));
}

PipelinePtr pipeline_of(std::vector<StepPtr> steps) { return std::make_shared<Pipeline>(std::move(steps)); }

// A transform that writes `value` under `key`.
StepPtr put(std::string key, Value value, std::string name = {}) {
  return vorn_pipeline::transform(
      {.operation = [value](Dict) { return value; }, .output_state = std::move(key), .name = std::move(name)});
}

// A transform that appends `mark` to the list under "trail".
StepPtr mark(std::string text, std::string name = {}) {
  return vorn_pipeline::transform({.operation =
                                       [text](Dict d) {
                                         Value trail = d.get("trail");
                                         List out = trail.is_list() ? trail.as_list() : List{};
                                         out.emplace_back(text);
                                         return Value(std::move(out));
                                       },
                                   .input_states = {"trail"},
                                   .output_state = "trail",
                                   .name = std::move(name)});
}

TEST(ComponentStepTest, InputsComeFromTheStateThenTheContext) {
  auto component = std::make_shared<RecordingComponent>(vorn_test::returns("answer"));
  auto s = vorn_pipeline::step(component, {.input_map = {{"query", "user_query"}, {"top_k", "top_k"},
                                                         {"shadowed", "k"}, {"missing", "nowhere"}},
                                           .output_state = "response",
                                           .name = "retrieve"});
  Dict final_state = invoke(pipeline_of({s}), Dict{{"user_query", "q"}, {"k", "state"}},
                            Dict{{"top_k", 5}, {"k", "context"}});
  ASSERT_EQ(component->calls.size(), 1u);
  EXPECT_EQ(component->calls[0],
            (Dict{{"query", "q"}, {"top_k", 5}, {"shadowed", "state"}, {"missing", Value()}}));
  EXPECT_EQ(component->calls[0].keys(), (std::vector<std::string>{"query", "top_k", "shadowed", "missing"}));
  EXPECT_EQ(final_state.get("response"), Value("answer"));
  EXPECT_FALSE(final_state.contains("top_k")) << "context entries are not copied into the state";
}

TEST(ComponentStepTest, SubgraphStepsReadTheOuterContext) {
  auto component = std::make_shared<RecordingComponent>(vorn_test::returns(1));
  auto inner = pipeline_of({vorn_pipeline::step(
      component, {.input_map = {{"q", "user_query"}, {"top_k", "top_k"}}, .output_state = "hits"})});
  invoke(pipeline_of({vorn_pipeline::subgraph({.subgraph = inner})}), Dict{{"user_query", "q"}}, Dict{{"top_k", 3}});
  ASSERT_EQ(component->calls.size(), 1u);
  EXPECT_EQ(component->calls[0], (Dict{{"q", "q"}, {"top_k", 3}}));
}

Task<Value> async_sum(Dict d) {
  co_await vorn_core::yield_now();
  co_return d.at("a").as_int() + d.at("b").as_int();
}

TEST(TransformTest, InputStatesInputMapAndAsyncOperations) {
  auto by_states = vorn_pipeline::transform({.operation = [](Dict d) { return Value(d.keys()[0] + d.keys()[1]); },
                                             .input_states = {"x", "y"},
                                             .output_state = "keys"});
  auto by_map = vorn_pipeline::transform(
      {.operation = [](Dict d) { return async_sum(std::move(d)); }, .input_map = {{"a", "x"}, {"b", "y"}},
       .output_state = "sum"});
  auto callable = vorn_pipeline::transform(
      {.operation = vorn_core::make_function("twice", [](List args) { return args.at(0).as_dict().at("x").as_int() * 2; }),
       .input_states = {"x"},
       .output_state = "twice"});
  // An input named twice is gathered once, with the later mapping's value.
  auto repeated = vorn_pipeline::transform({.operation = [](Dict d) { return Value(Value(std::move(d)).str()); },
                                            .input_map = {{"a", "x"}, {"b", "x"}, {"a", "y"}},
                                            .output_state = "repeated"});
  Dict out = invoke(pipeline_of({by_states, by_map, callable, repeated}), Dict{{"x", 2}, {"y", 3}});
  EXPECT_EQ(out.get("keys"), Value("xy"));
  EXPECT_EQ(out.get("sum"), Value(5));
  EXPECT_EQ(out.get("twice"), Value(4));
  EXPECT_EQ(out.get("repeated"), Value("{'a': 3, 'b': 2}"));
}

TEST(TransformTest, SeveralOutputKeysTakeTheItemsInOrder) {
  auto split = vorn_pipeline::transform(
      {.operation = [](Dict) { return Value(List{"first", 2}); }, .output_state = {"a", "b"}, .name = "split"});
  Dict out = invoke(pipeline_of({split}));
  EXPECT_EQ(out.get("a"), Value("first"));
  EXPECT_EQ(out.get("b"), Value(2));

  for (const Value& wrong : {Value(List{"only one"}), Value(List{1, 2, 3}), Value("not a list")}) {
    auto bad = vorn_pipeline::transform(
        {.operation = [wrong](Dict) { return wrong; }, .output_state = {"a", "b"}, .name = "split"});
    try {
      invoke(pipeline_of({bad}));
      ADD_FAILURE() << "expected an error for " << wrong.repr();
    } catch (const vorn_pipeline::PipelineRuntimeError& e) {
      EXPECT_EQ(e.step_name(), "split");
      EXPECT_THROW(std::rethrow_exception(e.cause()), vorn_core::ValueError);
    }
  }
}

TEST(TransformTest, InputMapAndInputStatesTogetherAreRefused) {
  EXPECT_THROW(vorn_pipeline::transform({.operation = [](Dict) { return Value(); },
                                         .input_map = {{"a", "a"}},
                                         .input_states = {"b"},
                                         .output_state = "c"}),
               vorn_core::ValueError);
}

TEST(SubgraphTest, CopiesBackOnlyTheMappedKeysWhenGivenAMap) {
  auto inner = pipeline_of({put("chunks", List{"c1"}), put("response", "inner"), put("user_query", "changed")});
  auto mapped = vorn_pipeline::subgraph({.subgraph = inner, .output_state_map = {{{"chunks", "chunks"}}}});
  Dict out = invoke(pipeline_of({mapped}), Dict{{"user_query", "q"}});
  EXPECT_EQ(out, (Dict{{"user_query", "q"}, {"chunks", List{"c1"}}}));

  auto renamed = vorn_pipeline::subgraph({.subgraph = inner, .output_state_map = {{{"response", "inner_answer"}}}});
  EXPECT_EQ(invoke(pipeline_of({renamed})).get("inner_answer"), Value("inner"));
}

TEST(SubgraphTest, CopiesBackEveryKeyWithoutAMapAndSeesTheOuterState) {
  auto inner = pipeline_of({vorn_pipeline::transform(
      {.operation = [](Dict d) { return Value("re:" + d.at("user_query").as_string()); },
       .input_states = {"user_query"},
       .output_state = "response"})});
  Dict out = invoke(pipeline_of({vorn_pipeline::subgraph({.subgraph = inner})}), Dict{{"user_query", "q"}});
  EXPECT_EQ(out, (Dict{{"user_query", "q"}, {"response", "re:q"}}));
}

TEST(SubgraphTest, InnerStateTypeDefaultsFillMissingKeys) {
  auto inner = std::make_shared<Pipeline>(std::vector<StepPtr>{mark("inner")}, vorn_pipeline::RAGStateModel::schema());
  Dict out = invoke(pipeline_of({vorn_pipeline::subgraph({.subgraph = inner})}), Dict{{"user_query", "q"}});
  EXPECT_EQ(out.get("user_query"), Value("q")) << "the outer value wins over the default";
  EXPECT_EQ(out.get("chunks"), Value(List{}));
  EXPECT_EQ(out.get("trail"), Value(List{"inner"}));
}

struct SwitchCase {
  const char* label;
  std::string route;
  bool with_default;
  List expected_trail;
  friend void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.label; }
};

class SwitchTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTest, RunsTheMatchingBranchInOrderElseTheDefault) {
  const auto& c = GetParam();
  auto sw = vorn_pipeline::switch_(
      {.condition = [](const vorn_pipeline::PipelineState& s) { return s.at("route").as_string(); },
       .branches = {{"a", {mark("a1"), mark("a2")}}, {"b", {mark("b1")}}},
       .default_branch = c.with_default ? std::vector<StepPtr>{mark("d")} : std::vector<StepPtr>{}});
  Dict out = invoke(pipeline_of({mark("before"), sw, mark("after")}), Dict{{"route", c.route}});
  List expected{"before"};
  expected.insert(expected.end(), c.expected_trail.begin(), c.expected_trail.end());
  expected.emplace_back("after");
  EXPECT_EQ(out.get("trail"), Value(expected));
}

INSTANTIATE_TEST_SUITE_P(Routes, SwitchTest,
                         ::testing::Values(SwitchCase{"first_branch", "a", true, {"a1", "a2"}},
                                           SwitchCase{"second_branch", "b", false, {"b1"}},
                                           SwitchCase{"default", "zzz", true, {"d"}},
                                           SwitchCase{"no_default", "zzz", false, {}}),
                         [](const auto& info) { return std::string(info.param.label); });

// Per-element operation that takes longer for earlier elements.
Task<Value> slow_upper(std::shared_ptr<EventLog> log, Dict d) {
  const std::string item = d.at("item").as_string();
  log->add("start:" + item);
  const int yields = static_cast<int>(d.at("delay").as_int()) - static_cast<int>(item.size());
  for (int i = 0; i < yields; ++i) co_await vorn_core::yield_now();
  log->add("end:" + item);
  co_return item + d.at("suffix").as_string();
}

TEST(MapReduceTest, CallsOverlapButResultsKeepInputOrder) {
  auto log = std::make_shared<EventLog>();
  auto received = std::make_shared<List>();
  auto mr = vorn_pipeline::map_reduce(
      {.output_state = "joined",
       .map_func = vorn_pipeline::Operation([log](Dict d) { return slow_upper(log, std::move(d)); }),
       .reduce_func =
           [received](List results) {
             *received = results;
             std::string joined;
             for (const auto& r : results) joined += r.as_string() + ";";
             return Value(joined);
           },
       .input_map = {{"item", "items"}, {"delay", "delay"}, {"suffix", "suffix"}}});
  // "aaa" takes 1 pass, "bb" 2, "c" 3: they finish in reverse order.
  Dict out = invoke(pipeline_of({mr}), Dict{{"items", List{"c", "bb", "aaa"}}, {"delay", 4}}, Dict{{"suffix", "!"}});
  EXPECT_EQ(*received, (List{"c!", "bb!", "aaa!"}));
  EXPECT_EQ(out.get("joined"), Value("c!;bb!;aaa!;"));
  EXPECT_LT(log->index_of("start:aaa"), log->index_of("end:c")) << "calls run concurrently";
  EXPECT_LT(log->index_of("end:aaa"), log->index_of("end:c"));
  EXPECT_EQ(out.get("items"), Value(List{"c", "bb", "aaa"})) << "the state's list is left alone";
}

TEST(MapReduceTest, ComponentMapFuncSuspendsOncePerElement) {
  auto log = std::make_shared<EventLog>();
  auto component = std::make_shared<vorn_test::YieldingComponent>(
      log, "query", [](const Dict& in) { return Value(in.at("query").as_string() + "@" + in.at("top_k").str()); });
  auto mr = vorn_pipeline::map_reduce({.output_state = "results",
                                       .map_func = component,
                                       .input_map = {{"top_k", "top_k"}, {"query", "queries"}},
                                       .map_over = "query"});
  Dict out = invoke(pipeline_of({mr}), Dict{{"queries", List{"x", "y"}}}, Dict{{"top_k", 2}});
  EXPECT_EQ(out.get("results"), Value(List{"x@2", "y@2"})) << "without reduce_func the list is stored";
  EXPECT_EQ(log->events(), (std::vector<std::string>{"start:x", "start:y", "end:x", "end:y"}));
}

TEST(MapReduceTest, EmptyListReducesNothingAndNonListIsAnError) {
  auto calls = std::make_shared<int>(0);
  auto make = [calls](std::string map_over) {
    return vorn_pipeline::map_reduce({.output_state = "n",
                                      .map_func = vorn_pipeline::Operation([calls](Dict) {
                                        ++*calls;
                                        return Value(1);
                                      }),
                                      .reduce_func = [](List r) { return Value(static_cast<int>(r.size())); },
                                      .input_map = {{"items", "items"}},
                                      .map_over = std::move(map_over)});
  };
  EXPECT_EQ(invoke(pipeline_of({make("")}), Dict{{"items", List{}}}).get("n"), Value(0));
  EXPECT_EQ(*calls, 0);
  EXPECT_THROW(invoke(pipeline_of({make("items")}), Dict{{"items", "abc"}}), vorn_pipeline::PipelineRuntimeError);
}

TEST(WhileDoTest, TestsTheConditionBeforeEachPass) {
  for (int limit : {0, 1, 3}) {
    auto increment = vorn_pipeline::transform(
        {.operation = [](Dict d) { return Value(d.at("n").as_int() + 1); }, .input_states = {"n"}, .output_state = "n"});
    auto loop = vorn_pipeline::while_do(
        {.body = {increment, mark("pass")},
         .condition = [limit](const vorn_pipeline::PipelineState& s) { return s.at("n").as_int() < limit; }});
    Dict out = invoke(pipeline_of({loop}), Dict{{"n", 0}, {"trail", List{}}});
    EXPECT_EQ(out.get("n"), Value(limit));
    EXPECT_EQ(out.get("trail").as_list().size(), static_cast<std::size_t>(limit));
  }
}

TEST(StepNamesTest, UnnamedStepsGetUniqueNamesByKind) {
  auto component = std::make_shared<RecordingComponent>();
  std::vector<StepPtr> steps{
      vorn_pipeline::step(component, {}), vorn_pipeline::step(component, {}), put("x", 1), put("x", 1),
      vorn_pipeline::subgraph({.subgraph = pipeline_of({})}),
      vorn_pipeline::switch_({.condition = [](const auto&) { return std::string(); }}),
      vorn_pipeline::map_reduce({.map_func = component}),
      vorn_pipeline::while_do({.condition = [](const auto&) { return false; }})};
  std::set<std::string> names;
  for (const auto& s : steps) {
    const std::string prefix = std::string(vorn_pipeline::to_string(s->kind())) + "_";
    EXPECT_EQ(s->name().rfind(prefix, 0), 0u) << s->name();
    names.insert(s->name());
  }
  EXPECT_EQ(names.size(), steps.size());
  EXPECT_EQ(put("x", 1, "given")->name(), "given");
}

std::string outline(const std::vector<vorn_pipeline::StepInfo>& infos) {
  std::string out;
  for (const auto& i : infos) {
    if (!out.empty()) out += " ";
    out += i.name + ":" + std::string(vorn_pipeline::to_string(i.kind));
    if (i.children.empty()) continue;
    out += "{";
    for (const auto& [key, children] : i.children) out += key + "=[" + outline(children) + "]";
    out += "}";
  }
  return out;
}

TEST(DescribeTest, ShowsNestedBranchesBodiesAndSubgraphs) {
  auto inner = pipeline_of({put("a", 1, "inner_put")});
  auto loop = vorn_pipeline::while_do(
      {.body = {put("b", 1, "body_put")}, .condition = [](const auto&) { return false; }, .name = "loop"});
  auto sw = vorn_pipeline::switch_({.condition = [](const auto&) { return std::string("x"); },
                                    .branches = {{"x", {put("c", 1, "x_put")}}, {"y", {}}},
                                    .default_branch = {loop},
                                    .name = "route"});
  auto p = pipeline_of({vorn_pipeline::subgraph({.subgraph = inner, .name = "sub"}), sw,
                        vorn_pipeline::step(std::make_shared<RecordingComponent>(), {.name = "call"})});
  EXPECT_EQ(outline(p->describe()),
            "sub:subgraph{subgraph=[inner_put:transform]} "
            "route:switch{x=[x_put:transform]y=[]default=[loop:while_do{body=[body_put:transform]}]} "
            "call:step");
  EXPECT_EQ(p->repr(), "Pipeline(['sub', 'route', 'call'])");
}

TEST(SequencingTest, PipeBuildsNewPipelinesAndLeavesOperandsAlone) {
  auto a = put("a", 1, "a");
  auto b = put("b", 2, "b");
  auto c = put("c", 3, "c");
  PipelinePtr ab = a | b;
  ab = ab->with_state_type(vorn_pipeline::RAGStateModel::schema());
  PipelinePtr abc = ab | c;
  PipelinePtr twice = ab | abc;
  EXPECT_EQ(ab->steps().size(), 2u) << "the left side is not mutated";
  EXPECT_EQ(abc->repr(), "Pipeline(['a', 'b', 'c'])");
  EXPECT_EQ(twice->repr(), "Pipeline(['a', 'b', 'a', 'b', 'c'])");
  EXPECT_EQ(abc->state_type(), vorn_pipeline::RAGStateModel::schema()) << "the left side's state type is kept";
  EXPECT_EQ(invoke(abc).get("c"), Value(3));
  EXPECT_THROW(ab | StepPtr(), vorn_core::ValueError);
  EXPECT_THROW(PipelinePtr() | c, vorn_core::ValueError);
}

}  // namespace
