#include "vorn_rag/strategies/routed_strategy.hpp"

#include "vorn_core/error.hpp"
#include "vorn_pipeline/steps.hpp"
#include "vorn_rag/constants.hpp"
#include "vorn_rag/core/state.hpp"
#include "vorn_rag/core/strategy_ref.hpp"
#include "vorn_rag/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::strategies {
namespace {

using routed_strategy::_BranchSpec;
using routed_strategy::NO_MATCH_BRANCH_NAME;
using routed_strategy::RouteMode;
using vorn_core::CallablePtr;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Task;
using vorn_core::Value;
using vorn_pipeline::StepPtr;

using StrategyRef = core::detail::StrategyRef<RoutedStrategy>;

Task<Value> select_operation(StrategyRef ref, Dict data) {
  std::shared_ptr<vorn_core::Object> pin;
  RoutedStrategy& strategy = ref.get(pin);
  std::string name = co_await strategy._select_branch_name(std::move(data));
  co_return Value(std::move(name));
}

// A typed classifier's view of the call: the query text, the only argument.
std::string classifier_query(const List& args) {
  if (args.size() != 1 || !args.front().is_string()) {
    throw vorn_core::InvalidTypeError("A classifier takes the query text as its only argument. Pass one string and retry.");
  }
  return args.front().as_string();
}

Task<Value> await_truth(Task<bool> verdict) { co_return Value(co_await std::move(verdict)); }

std::string quoted(const Value& v) { return v.repr(); }

}  // namespace

const core::StrategyClassPtr& RoutedStrategy::klass() {
  static const core::StrategyClassPtr k = core::StrategyMeta::create(core::ClassDescription{
      .name = "RoutedStrategy",
      .doc = "Routes each query to one of several branch strategies or pipelines, chosen by first-match classifiers "
             "or by a router.",
      .bases = {core::CompositeStrategy::klass()},
  });
  return k;
}

RoutedStrategy::RoutedStrategy() : CompositeStrategy(klass()), registration_(std::make_shared<Registration>()) {}

std::shared_ptr<const RoutedStrategy::Registration> RoutedStrategy::snapshot() const {
  std::lock_guard lock(registration_mutex_);
  return registration_;
}

std::optional<RouteMode> RoutedStrategy::mode() const { return snapshot()->_mode; }

std::shared_ptr<vorn_pipeline::BaseRouter> RoutedStrategy::router() const { return snapshot()->_router; }

std::vector<_BranchSpec> RoutedStrategy::branches() const { return snapshot()->_branches; }

RoutedStrategy& RoutedStrategy::set_router(std::shared_ptr<vorn_pipeline::BaseRouter> router) {
  {
    std::lock_guard lock(registration_mutex_);
    if (registration_->_mode == RouteMode::CLASSIFIER) {
      throw RAGValueError(
          "Cannot enable router mode after classifier branches are registered. Use classifier mode or create a new "
          "RoutedStrategy with a router, then retry.");
    }
    auto next = std::make_shared<Registration>(*registration_);
    next->_router = std::move(router);
    next->_mode = RouteMode::ROUTER;
    registration_ = std::move(next);
  }
  // After publishing: a build that began before this call is not cached.
  reset_pipeline();
  return *this;
}

RoutedStrategy& RoutedStrategy::add_branch(std::string name, CallablePtr classifier, Value branch) {
  {
    std::lock_guard lock(registration_mutex_);
    const Registration& current = *registration_;
    if (name == NO_MATCH_BRANCH_NAME) {
      throw RAGValueError("Branch name " + vorn_core::quote(name) +
                          " is reserved for unmatched routes. Use a different branch name and retry.");
    }
    if (current._branch_names.contains(name)) {
      throw RAGValueError("Branch " + vorn_core::quote(name) +
                          " is already registered. Use a different branch name and retry.");
    }
    if (branch.is_none()) throw RAGValueError("Missing branch. Pass a Strategy or Pipeline as the branch and retry.");
    if (current._mode == RouteMode::ROUTER && classifier) {
      throw RAGValueError(
          "A classifier was given in router mode. Remove the classifier or use classifier mode, then retry.");
    }
    if (current._mode != RouteMode::ROUTER && !classifier) {
      throw RAGValueError(
          "Missing classifier. Pass a classifier for each branch or configure a router, then retry.");
    }
    auto next = std::make_shared<Registration>(current);
    if (classifier) next->_mode = RouteMode::CLASSIFIER;
    next->_branch_names.insert(name);
    next->_branches.push_back(_BranchSpec{std::move(name), std::move(classifier), std::move(branch)});
    registration_ = std::move(next);
  }
  reset_pipeline();
  return *this;
}

RoutedStrategy& RoutedStrategy::add_branch(std::string name, std::nullptr_t, Value branch) {
  return add_branch(std::move(name), CallablePtr(), std::move(branch));
}

RoutedStrategy& RoutedStrategy::add_branch(std::string name, Classifier classifier, Value branch) {
  CallablePtr callable;
  if (classifier) {
    callable = vorn_core::make_function(
        "classifier", [fn = std::move(classifier)](List args) { return fn(classifier_query(args)); });
  }
  return add_branch(std::move(name), std::move(callable), std::move(branch));
}

RoutedStrategy& RoutedStrategy::add_branch(std::string name, AsyncClassifier classifier, Value branch) {
  CallablePtr callable;
  if (classifier) {
    callable = vorn_core::make_function(
        "classifier", [fn = std::move(classifier)](List args) { return await_truth(fn(classifier_query(args))); });
  }
  return add_branch(std::move(name), std::move(callable), std::move(branch));
}

void RoutedStrategy::_validate_branches() {
  const auto reg = snapshot();
  if (reg->_branches.size() < routed_strategy::MIN_BRANCH_COUNT) {
    throw RAGValueError("Too few branches. Register at least " + std::to_string(routed_strategy::MIN_BRANCH_COUNT) +
                        " branches and retry.");
  }
  if (reg->_mode == RouteMode::ROUTER) {
    if (!reg->_router) throw RAGValueError("Missing router. Pass a router to RoutedStrategy and retry.");
    return;
  }
  for (const auto& spec : reg->_branches) {
    if (!spec.classifier) {
      throw RAGValueError(
          "Missing classifier. Pass a classifier for each branch or configure a router, then retry.");
    }
  }
}

Value RoutedStrategy::_to_branch_pipeline(const Value& branch) {
  if (auto* strategy = branch.get_if<core::Strategy>()) return Value(strategy->build());
  return branch;
}

Task<std::string> RoutedStrategy::_select_branch_name(Dict data) {
  std::string query = data.get(StateKeys::QUERY).as_string();
  // One snapshot for the whole selection: registrations made meanwhile apply
  // to later runs.
  const std::shared_ptr<const Registration> reg = snapshot();
  if (reg->_mode == RouteMode::ROUTER) {
    if (!reg->_router) co_return NO_MATCH_BRANCH_NAME;
    Value answer = co_await reg->_router->route(std::move(query));
    if (answer.is_string() && reg->_branch_names.contains(answer.as_string())) co_return answer.as_string();
    co_return NO_MATCH_BRANCH_NAME;
  }
  for (const _BranchSpec& spec : reg->_branches) {
    if (!spec.classifier) continue;
    List args;
    args.push_back(Value(query));
    Value verdict = co_await vorn_core::resolve(spec.classifier->call(std::move(args), Dict()));
    if (verdict.truthy()) co_return spec.name;
  }
  co_return NO_MATCH_BRANCH_NAME;
}

Value RoutedStrategy::_raise_no_matching_branch(Dict data) {
  throw RAGRuntimeError("No matching route for query " + quoted(data.get(StateKeys::USER_QUERY)) +
                        " (resolved route: " + quoted(data.get(StateKeys::ROUTED_BRANCH)) +
                        "). Add a branch for this route or a fallback branch, then retry.");
}

core::PipelinePtr RoutedStrategy::_build_composite_pipeline() {
  const auto reg = snapshot();

  StrategyRef self(*this);
  StepPtr resolve = vorn_pipeline::transform({
      .operation = [self](Dict data) { return select_operation(self, std::move(data)); },
      .input_map = {{StateKeys::QUERY, StateKeys::USER_QUERY}},
      .output_state = StateKeys::ROUTED_BRANCH,
      .name = "resolve_routed_branch",
  });

  std::vector<std::pair<std::string, std::vector<StepPtr>>> branches;
  branches.reserve(reg->_branches.size());
  for (const _BranchSpec& spec : reg->_branches) {
    // A branch that is neither a strategy nor a pipeline leaves the subgraph
    // empty; the framework reports that when the branch is taken.
    StepPtr sub = vorn_pipeline::subgraph({
        .subgraph = _to_branch_pipeline(spec.branch).as<vorn_pipeline::Pipeline>(),
        .name = "route_" + spec.name,
    });
    branches.emplace_back(spec.name, std::vector<StepPtr>{std::move(sub)});
  }

  // Its own handler lets the typed error out unwrapped, so callers can catch
  // it and read its code.
  StepPtr no_match = vorn_pipeline::transform({
      .operation = &RoutedStrategy::_raise_no_matching_branch,
      .input_map = {{StateKeys::ROUTED_BRANCH, StateKeys::ROUTED_BRANCH}, {StateKeys::USER_QUERY, StateKeys::USER_QUERY}},
      .output_state = StateKeys::RESPONSE,
      .name = "raise_no_matching_route",
      .error_handler = std::make_shared<error_handler::PassThroughBaseErrorHandler>(),
  });

  StepPtr route = vorn_pipeline::switch_({
      .condition = [](const vorn_pipeline::PipelineState& state) { return state.get(StateKeys::ROUTED_BRANCH).str(); },
      .branches = std::move(branches),
      .default_branch = {std::move(no_match)},
      .name = "route_by_routed_branch",
  });

  core::PipelinePtr pipeline = resolve | route;
  pipeline = pipeline->with_state_type(core::StrategyState::schema());
  return pipeline;
}

}  // namespace vorn_rag::strategies
