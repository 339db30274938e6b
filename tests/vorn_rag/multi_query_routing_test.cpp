#include <gtest/gtest.h>

#include <type_traits>

#include "rag_doubles.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_rag/blocks/routing/multi_query_routing_pipeline.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace rag_test;
using vorn_rag::RAGRuntimeError;
using vorn_rag::RAGTypeError;
using vorn_rag::RAGValueError;
using vorn_rag::blocks::routing::MultiQueryRoutingPipeline;
using vorn_rag::blocks::routing::OnEmptyDecompositionPolicy;
using vorn_rag::blocks::routing::SubQueryRoute;

static_assert(std::is_same_v<vorn_rag::blocks::routing::SubQueryRoute, vorn_rag::blocks::routing::detail::SubQueryRoute>);
static_assert(std::is_same_v<vorn_rag::blocks::routing::MultiQueryRoutingState,
                             vorn_rag::blocks::routing::detail::MultiQueryRoutingState>);

constexpr const char* kLogger = "vorn_rag.blocks.routing.multi_query_routing_pipeline";
const std::string kUnsupported =
    "The decomposer returned unsupported output. Make it return an iterable of strings and retry.";
const std::string kNonString = "The decomposer returned non-string sub-queries. Make it return only strings and retry.";

std::shared_ptr<FunctionRouter> topic_router() {
  return std::make_shared<FunctionRouter>([](const std::string& q) { return Value("route:" + q); });
}

Dict run(const MultiQueryRoutingPipeline& block, const std::string& query = "original") {
  return vorn_core::run_sync(block.build()->invoke(Dict{{"query", query}}));
}

std::vector<std::string> strings(const Value& v) {
  std::vector<std::string> out;
  for (const auto& s : v.as_list()) out.push_back(s.as_string());
  return out;
}

std::vector<SubQueryRoute> plan(const Dict& state) {
  std::vector<SubQueryRoute> out;
  for (const auto& r : state.at("routing_plan").as_list()) out.push_back(SubQueryRoute::from_value(r));
  return out;
}

List texts(int n) {
  List out;
  for (int i = 1; i <= n; ++i) out.emplace_back("q" + std::to_string(i));
  return out;
}

// A one-shot generator that counts how often it was advanced.
class Generator : public vorn_core::Iterable {
 public:
  explicit Generator(List items) : items_(std::move(items)) {}
  int advanced = 0;
  std::optional<Value> next() override {
    ++advanced;
    if (pos_ == items_.size()) return std::nullopt;
    return items_[pos_++];
  }

 private:
  List items_;
  std::size_t pos_ = 0;
};

TEST(MultiQueryRoutingConstruction, RefusesInvalidConfigurationInOrder) {
  const Value decomposer = std::make_shared<FixedTransformer>();
  const Value router = topic_router();
  const Value retriever = std::make_shared<RecordingRetriever>();
  const std::string max_msg = "Invalid `max_sub_queries`. Set it to 1 or more and retry.";
  const std::string policy_msg = "Invalid `on_empty_decomposition`. Use 'passthrough' or 'error' and retry.";
  const std::string decomposer_msg = "Invalid `decomposer` type. Pass a BaseQueryTransformer and retry.";
  const std::string router_msg = "Invalid `router` type. Pass a BaseRouter and retry.";
  struct Case {
    Value decomposer, router;
    std::int64_t max_sub_queries;
    const char* policy;
    bool type_error;
    std::string message;
  };
  const Case cases[] = {
      {Value(), Value(), 0, "Passthrough", false, max_msg},
      {decomposer, router, -3, "passthrough", false, max_msg},
      {decomposer, router, 4, "Passthrough", false, policy_msg},
      {decomposer, router, 4, "ERROR", false, policy_msg},
      {decomposer, router, 4, "", false, policy_msg},
      {Value(), Value(), 4, "none", false, policy_msg},
      {retriever, router, 4, "error", true, decomposer_msg},
      {Value(), Value(), 4, "passthrough", true, decomposer_msg},
      {decomposer, decomposer, 4, "passthrough", true, router_msg},
      {decomposer, "docs", 4, "passthrough", true, router_msg},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + " / " + c.policy);
    try {
      MultiQueryRoutingPipeline block(c.decomposer, c.router, c.max_sub_queries, c.policy);
      ADD_FAILURE() << "constructed";
    } catch (const vorn_rag::BaseRAGError& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(dynamic_cast<const RAGTypeError*>(&e) != nullptr, c.type_error);
      EXPECT_EQ(dynamic_cast<const RAGValueError*>(&e) != nullptr, !c.type_error);
    }
  }
  MultiQueryRoutingPipeline defaults(decomposer, router);
  EXPECT_EQ(defaults.max_sub_queries(), 4);
  EXPECT_EQ(defaults.on_empty_decomposition(), OnEmptyDecompositionPolicy::PASSTHROUGH);
  EXPECT_EQ(Value(defaults.router()), router);
  MultiQueryRoutingPipeline strict(decomposer, router, 1, std::string("error"));
  EXPECT_EQ(strict.on_empty_decomposition().value(), "error");
}

TEST(MultiQueryRoutingPipelineTest, StepsAndHandlers) {
  MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(), topic_router());
  auto first = block.build();
  EXPECT_NE(first, block.build());
  EXPECT_EQ(first->state_type(), vorn_rag::blocks::routing::MultiQueryRoutingState::schema());
  std::vector<std::pair<std::string, vorn_pipeline::StepKind>> steps;
  for (const auto& s : first->steps()) {
    steps.emplace_back(s->name(), s->kind());
    const bool pass_through =
        dynamic_cast<vorn_rag::error_handler::PassThroughBaseErrorHandler*>(s->error_handler().get()) != nullptr;
    EXPECT_EQ(pass_through, s->kind() == vorn_pipeline::StepKind::kTransform) << s->name();
  }
  using K = vorn_pipeline::StepKind;
  EXPECT_EQ(steps, (std::vector<std::pair<std::string, K>>{{"multi_query_routing_decompose", K::kComponent},
                                                           {"multi_query_routing_normalize_decomposition", K::kTransform},
                                                           {"multi_query_routing_route_all", K::kMapReduce}}));
}

TEST(MultiQueryRoutingPipelineTest, DecomposerOutputShapes) {
  struct Case {
    const char* label;
    Value output;
    std::optional<std::vector<std::string>> sub_queries;
    std::string refusal;
  };
  const Case cases[] = {
      {"blank and duplicate strings kept", List{"a", "", "a"}, std::vector<std::string>{"a", "", "a"}, ""},
      {"single string", "a and b", std::nullopt, kUnsupported},
      {"mapping", Dict{{"a", "b"}}, std::nullopt, kUnsupported},
      {"absent", Value(), std::nullopt, kUnsupported},
      {"number", 3, std::nullopt, kUnsupported},
      {"chunk object", make_chunks({"a"})[0], std::nullopt, kUnsupported},
      {"number element", List{"a", 1}, std::nullopt, kNonString},
      {"nested list", List{List{"a"}}, std::nullopt, kNonString},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto router = topic_router();
    MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(c.output), router);
    if (c.sub_queries) {
      Dict out = run(block);
      EXPECT_EQ(strings(out.at("sub_queries")), *c.sub_queries);
      EXPECT_EQ(plan(out).size(), c.sub_queries->size());
      continue;
    }
    // The normalise step lets the typed error through unwrapped.
    EXPECT_EQ(catch_error<RAGValueError>([&] { run(block); }).message(), c.refusal);
    EXPECT_EQ(router->log.size(), 0u);
  }
}

TEST(MultiQueryRoutingPipelineTest, GeneratorIsConsumedOnce) {
  auto generator = std::make_shared<Generator>(List{"x", "y"});
  MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(Value(generator)), topic_router());
  Dict out = run(block);
  EXPECT_EQ(strings(out.at("sub_queries")), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(generator->advanced, 3);  // two items, then the end
  EXPECT_TRUE(MultiQueryRoutingPipeline::_normalize_sub_queries(Value(generator)).empty());
  auto bad = std::make_shared<Generator>(List{"x", 2, "never read"});
  auto e = catch_error<RAGValueError>([&] { MultiQueryRoutingPipeline::_normalize_sub_queries(Value(bad)); });
  EXPECT_EQ(e.message(), kNonString);
  EXPECT_EQ(bad->advanced, 4) << "materialised before the elements are checked";
}

TEST(MultiQueryRoutingPipelineTest, EmptyDecompositionPolicies) {
  const std::string warning = "Decomposer returned no sub-queries, using original query as sub-query.";
  {
    vorn_core::LogCapture capture;
    auto router = topic_router();
    MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(List{}), router, 1);
    Dict out = run(block, "whole question");
    EXPECT_EQ(strings(out.at("sub_queries")), std::vector<std::string>{"whole question"});
    EXPECT_EQ(plan(out), (std::vector<SubQueryRoute>{{"whole question", "route:whole question"}}));
    EXPECT_EQ(capture.messages(kLogger, vorn_core::LogLevel::kWarning), std::vector<std::string>{warning});
  }
  vorn_core::LogCapture capture;
  auto router = topic_router();
  MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(List{}), router, 4, "error");
  auto e = catch_error<RAGRuntimeError>([&] { run(block); });
  EXPECT_EQ(e.message(),
            "The decomposer returned no sub-queries. Rephrase the query or set `on_empty_decomposition` to "
            "'passthrough', then retry.");
  EXPECT_EQ(router->log.size(), 0u);
  EXPECT_TRUE(capture.messages(kLogger, vorn_core::LogLevel::kWarning).empty());
}

TEST(MultiQueryRoutingPipelineTest, CapTruncatesWithAWarning) {
  struct Case {
    int produced;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {{6, {"Truncating decomposed sub-queries from 6 to max_sub_queries=4."}}, {4, {}}, {1, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.produced);
    vorn_core::LogCapture capture;
    auto router = topic_router();
    MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(texts(c.produced)), router);
    Dict out = run(block);
    const List expected = texts(std::min(c.produced, 4));
    EXPECT_EQ(out.at("sub_queries"), Value(expected));
    EXPECT_EQ(router->log.size(), expected.size());
    EXPECT_EQ(plan(out).size(), expected.size());
    EXPECT_EQ(capture.messages(kLogger, vorn_core::LogLevel::kWarning), c.warnings);
  }
}

// Counts how many routing calls are in flight at once.
class OverlapRouter : public vorn_pipeline::BaseRouter {
 public:
  int in_flight = 0;
  int max_in_flight = 0;
  Task<Value> route(std::string query) override {
    max_in_flight = std::max(max_in_flight, ++in_flight);
    co_await vorn_core::yield_now();
    --in_flight;
    co_return "route:" + query;
  }
};

TEST(MultiQueryRoutingPipelineTest, RoutesSubQueriesConcurrently) {
  auto router = std::make_shared<OverlapRouter>();
  MultiQueryRoutingPipeline block(std::make_shared<FixedTransformer>(texts(4)), router);
  Dict out = run(block);
  EXPECT_EQ(router->max_in_flight, 4);
  const std::vector<SubQueryRoute> expected{{"q1", "route:q1"}, {"q2", "route:q2"}, {"q3", "route:q3"}, {"q4", "route:q4"}};
  EXPECT_EQ(plan(out), expected);
}

TEST(MultiQueryRoutingPipelineTest, ComponentFailuresTakeTheDefaultHandling) {
  auto numeric = std::make_shared<FunctionRouter>([](const std::string&) { return Value(7); });
  MultiQueryRoutingPipeline bad_route(std::make_shared<FixedTransformer>(texts(2)), numeric);
  auto e = catch_error<vorn_pipeline::PipelineRuntimeError>([&] { run(bad_route); });
  EXPECT_EQ(e.step_name(), "multi_query_routing_route_all");
  EXPECT_THROW(std::rethrow_exception(e.cause()), vorn_core::ValidationError);

  auto decomposer = std::make_shared<FixedTransformer>();
  decomposer->behaviour.fail = [] { throw RAGRuntimeError("decomposer down"); };
  MultiQueryRoutingPipeline failing(decomposer, topic_router());
  EXPECT_EQ(catch_error<vorn_pipeline::PipelineRuntimeError>([&] { run(failing); }).step_name(),
            "multi_query_routing_decompose");
}

}  // namespace
