#include "vorn_rag/blocks/routing/multi_query_routing_pipeline.hpp"

#include <algorithm>

#include "vorn_core/logger.hpp"
#include "vorn_core/object.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::blocks::routing {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;

// Immutable after construction; built pipelines share it, so they stay valid
// after the block is gone.
struct MultiQueryRoutingPipeline::Config {
  vorn_retrieval::QueryTransformerPtr decomposer;
  std::shared_ptr<vorn_pipeline::BaseRouter> router;
  std::int64_t max_sub_queries;
  OnEmptyDecompositionPolicy on_empty_decomposition;
};

namespace {

using Config = MultiQueryRoutingPipeline::Config;
using ConfigPtr = std::shared_ptr<const Config>;

vorn_core::Logger& logger = vorn_core::LoggerManager().get_logger("vorn_rag.blocks.routing.multi_query_routing_pipeline");

std::vector<std::string> normalize_decomposition(const Config& config, const Dict& data) {
  std::vector<std::string> sub_queries =
      MultiQueryRoutingPipeline::_normalize_sub_queries(data.get(StateKeys::SUB_QUERIES));
  if (sub_queries.empty()) {
    if (config.on_empty_decomposition == OnEmptyDecompositionPolicy::ERROR) {
      throw RAGRuntimeError(
          "The decomposer returned no sub-queries. Rephrase the query or set `on_empty_decomposition` to "
          "'passthrough', then retry.");
    }
    logger.warning("Decomposer returned no sub-queries, using original query as sub-query.");
    const Value query = data.get(StateKeys::QUERY);
    // The state record guarantees a string query; a hand-fed mapping may not.
    if (!query.is_string()) {
      throw RAGValueError("Invalid `query`. Pass the query text and retry.");
    }
    sub_queries.push_back(query.as_string());
  }
  // Compare as unsigned only once the cap is known to be positive.
  const auto cap = static_cast<std::uint64_t>(config.max_sub_queries);
  if (sub_queries.size() > cap) {
    logger.warning("Truncating decomposed sub-queries from " + std::to_string(sub_queries.size()) +
                   " to max_sub_queries=" + std::to_string(config.max_sub_queries) + ".");
    sub_queries.resize(cap);
  }
  return sub_queries;
}

Task<SubQueryRoute> run_router(ConfigPtr config, Dict data) {
  Value sub_query = data.get(StateKeys::SUB_QUERIES);
  Dict inputs;
  inputs.set("source", sub_query);
  Value route = co_await config->router->run(std::move(inputs));
  Dict fields;
  fields.set("sub_query", std::move(sub_query));
  fields.set("route", std::move(route));
  co_return SubQueryRoute::from_value(Value(std::move(fields)));
}

Task<Value> route_as_value(Task<SubQueryRoute> route) { co_return (co_await std::move(route)).to_value(); }

Value strings_as_value(const std::vector<std::string>& strings) { return List(strings.begin(), strings.end()); }

}  // namespace

MultiQueryRoutingPipeline::MultiQueryRoutingPipeline(Value decomposer, Value router, std::int64_t max_sub_queries,
                                                     OnEmptyDecompositionPolicy on_empty_decomposition) {
  if (max_sub_queries < 1) throw RAGValueError("Invalid `max_sub_queries`. Set it to 1 or more and retry.");
  if (on_empty_decomposition != OnEmptyDecompositionPolicy::PASSTHROUGH &&
      on_empty_decomposition != OnEmptyDecompositionPolicy::ERROR) {
    throw RAGValueError("Invalid `on_empty_decomposition`. Use 'passthrough' or 'error' and retry.");
  }
  auto transformer = decomposer.as<vorn_retrieval::BaseQueryTransformer>();
  if (!transformer) throw RAGTypeError("Invalid `decomposer` type. Pass a BaseQueryTransformer and retry.");
  auto base_router = router.as<vorn_pipeline::BaseRouter>();
  if (!base_router) throw RAGTypeError("Invalid `router` type. Pass a BaseRouter and retry.");
  config_ = std::make_shared<const Config>(
      Config{std::move(transformer), std::move(base_router), max_sub_queries, std::move(on_empty_decomposition)});
}

const vorn_retrieval::QueryTransformerPtr& MultiQueryRoutingPipeline::decomposer() const noexcept {
  return config_->decomposer;
}
const std::shared_ptr<vorn_pipeline::BaseRouter>& MultiQueryRoutingPipeline::router() const noexcept {
  return config_->router;
}
std::int64_t MultiQueryRoutingPipeline::max_sub_queries() const noexcept { return config_->max_sub_queries; }
const OnEmptyDecompositionPolicy& MultiQueryRoutingPipeline::on_empty_decomposition() const noexcept {
  return config_->on_empty_decomposition;
}

std::vector<std::string> MultiQueryRoutingPipeline::_normalize_sub_queries(const Value& value) {
  List items;
  if (value.is_list()) {
    items = value.as_list();
  } else if (auto iterable = value.as<vorn_core::Iterable>()) {
    // A one-shot sequence: consumed exactly once, here.
    while (auto item = iterable->next()) items.push_back(std::move(*item));
  } else {
    // Strings and mappings are iterable too, but never a list of sub-queries.
    throw RAGValueError("The decomposer returned unsupported output. Make it return an iterable of strings and retry.");
  }
  std::vector<std::string> out;
  out.reserve(items.size());
  for (const Value& item : items) {
    if (!item.is_string()) {
      throw RAGValueError("The decomposer returned non-string sub-queries. Make it return only strings and retry.");
    }
    out.push_back(item.as_string());
  }
  return out;
}

std::vector<std::string> MultiQueryRoutingPipeline::_normalize_decomposition(const Dict& data) const {
  return normalize_decomposition(*config_, data);
}

Task<SubQueryRoute> MultiQueryRoutingPipeline::_run_router_for_sub_query(Dict data) const {
  return run_router(config_, std::move(data));
}

vorn_pipeline::PipelinePtr MultiQueryRoutingPipeline::build() const {
  ConfigPtr config = config_;
  auto decompose = vorn_pipeline::step(config->decomposer, {
                                                               .input_map = {{"query", StateKeys::QUERY}},
                                                               .output_state = StateKeys::SUB_QUERIES,
                                                               .name = "multi_query_routing_decompose",
                                                           });
  auto normalize = vorn_pipeline::transform({
      .operation = [config](Dict data) { return strings_as_value(normalize_decomposition(*config, data)); },
      .input_states = {StateKeys::QUERY, StateKeys::SUB_QUERIES},
      .output_state = StateKeys::SUB_QUERIES,
      .name = "multi_query_routing_normalize_decomposition",
      .error_handler = std::make_shared<error_handler::PassThroughBaseErrorHandler>(),
  });
  auto route_all = vorn_pipeline::map_reduce({
      .output_state = StateKeys::ROUTING_PLAN,
      .map_func = vorn_pipeline::Operation(
          [config](Dict data) { return route_as_value(run_router(config, std::move(data))); }),
      .reduce_func = [](List results) { return Value(std::move(results)); },
      .input_map = {{StateKeys::SUB_QUERIES, StateKeys::SUB_QUERIES}},
      .map_over = StateKeys::SUB_QUERIES,
      .name = "multi_query_routing_route_all",
  });
  vorn_pipeline::PipelinePtr pipeline = (decompose | normalize) | route_all;
  pipeline = pipeline->with_state_type(MultiQueryRoutingState::schema());
  return pipeline;
}

}  // namespace vorn_rag::blocks::routing
