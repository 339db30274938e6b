// `RoutedStrategy`: sends each query to one of several registered branches,
// each a `Strategy` or a ready `Pipeline`.
//
// Classifier mode: every branch carries a classifier (a predicate on the
// query text, plain or asynchronous); they are asked in registration order and
// the first that answers true wins. Router mode: one `BaseRouter` names the
// branch. A query that selects no branch ends in `RAGRuntimeError`.
//
//   RoutedStrategy routed;
//   routed.add_branch("docs", is_docs_question, docs_rag)
//         .add_branch("chat", [](const std::string&) { return true; }, chat_pipeline);
//
// Registration may happen while other threads build or run the strategy: the
// registration state is guarded, and runs work on a snapshot of it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorn_core/callable.hpp"
#include "vorn_core/string_enum.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/router.hpp"
#include "vorn_rag/core/composite_strategy.hpp"

namespace vorn_rag::strategies {

namespace routed_strategy {

// The route name that means "no branch matched"; never a branch name.
inline constexpr const char* NO_MATCH_BRANCH_NAME = "__no_match__";
// Fewest branches a build accepts.
inline constexpr std::size_t MIN_BRANCH_COUNT = 2;

enum class RouteMode { CLASSIFIER, ROUTER };
// The members' string values, and lookup by value.
inline constexpr vorn_core::StringEnum<RouteMode, 2> kRouteMode{
    "RouteMode", {{{RouteMode::CLASSIFIER, "classifier"}, {RouteMode::ROUTER, "router"}}}};

// One registered branch. Immutable once registered: runs read it without
// holding any lock.
struct _BranchSpec {
  const std::string name;
  // Called with the query text; answers a truth value or an awaitable of
  // one. Absent in router mode.
  const vorn_core::CallablePtr classifier;
  // A `Strategy` or a `Pipeline`.
  const vorn_core::Value branch;
};

}  // namespace routed_strategy

class RoutedStrategy : public core::CompositeStrategy {
 public:
  VORN_STRATEGY_CLASS(RoutedStrategy)

  using Classifier = std::function<bool(const std::string&)>;
  using AsyncClassifier = std::function<vorn_core::Task<bool>(std::string)>;

  RoutedStrategy();

  // Switches to router mode and stores `router` (absent is accepted; the
  // build then reports the missing router). Refused once classifier
  // branches exist.
  RoutedStrategy& set_router(std::shared_ptr<vorn_pipeline::BaseRouter> router);

  // Registers a branch; `branch` is a `Strategy` or a `Pipeline`. Checks, in
  // order: reserved name, duplicate name, missing branch, classifier in
  // router mode, missing classifier outside router mode (`RAGValueError`).
  // A refused call changes nothing.
  RoutedStrategy& add_branch(std::string name, vorn_core::CallablePtr classifier = nullptr,
                             vorn_core::Value branch = {});
  // Router mode, without a classifier (a bare `nullptr` would otherwise
  // match every classifier overload).
  RoutedStrategy& add_branch(std::string name, std::nullptr_t, vorn_core::Value branch);
  // Typed classifiers; an empty function counts as no classifier.
  RoutedStrategy& add_branch(std::string name, Classifier classifier, vorn_core::Value branch);
  RoutedStrategy& add_branch(std::string name, AsyncClassifier classifier, vorn_core::Value branch);

  // Snapshots of the registration state.
  std::optional<routed_strategy::RouteMode> mode() const;
  std::shared_ptr<vorn_pipeline::BaseRouter> router() const;
  std::vector<routed_strategy::_BranchSpec> branches() const;

  // A `Strategy` gives the pipeline of its own `build()`; anything else is
  // returned unchanged.
  static vorn_core::Value _to_branch_pipeline(const vorn_core::Value& branch);

  // The selected branch's name for `data["query"]`, or "__no_match__".
  // Classifiers (or the router) are awaited one at a time, in registration
  // order; later classifiers are not called after a match.
  vorn_core::Task<std::string> _select_branch_name(vorn_core::Dict data);

  // Always raises `RAGRuntimeError` quoting `data["user_query"]` and
  // `data["routed_branch"]`.
  [[noreturn]] static vorn_core::Value _raise_no_matching_branch(vorn_core::Dict data);

 protected:
  // Too few branches, then router mode without a router, then a branch
  // without a classifier outside router mode (`RAGValueError`).
  void _validate_branches() override;
  // resolve_routed_branch -> route_by_routed_branch (one "route_<name>"
  // subgraph per branch; raise_no_matching_route by default).
  core::PipelinePtr _build_composite_pipeline() override;

 private:
  // The registration state. Every change publishes a new immutable copy, so
  // a run or build reads a consistent snapshot by copying one pointer.
  struct Registration {
    std::vector<routed_strategy::_BranchSpec> _branches;  // registration order
    std::set<std::string, std::less<>> _branch_names;
    std::shared_ptr<vorn_pipeline::BaseRouter> _router;
    std::optional<routed_strategy::RouteMode> _mode;  // unset until the first router or classifier branch
  };
  std::shared_ptr<const Registration> snapshot() const;

  mutable std::mutex registration_mutex_;
  std::shared_ptr<const Registration> registration_;
};
using RoutedStrategyPtr = std::shared_ptr<RoutedStrategy>;

}  // namespace vorn_rag::strategies
