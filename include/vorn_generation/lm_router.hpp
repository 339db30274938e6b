// A router that asks a language model which of a fixed set of routes suits
// a query. The routes' names and descriptions go into the prompt; the
// model answers {"route": "<name>"} with the names as the schema's enum.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorn_core/value.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_pipeline/router.hpp"

namespace vorn_generation {

struct LMRoute {
  std::string name;
  // What the route is for, in words the model can match queries against.
  std::string description;
};

struct LMRouterOptions {
  static constexpr const char* kDefaultSystemPrompt =
      "You route user queries. Read the available routes and pick the one whose description best fits the "
      "query. Pick exactly one route, by its name. Do not answer the query.";
  static constexpr const char* kDefaultUserPrompt = "Routes:\n{routes}\n\nQuery:\n{query}";

  // Templates; the user prompt receives {query} and {routes}.
  std::string system_prompt = kDefaultSystemPrompt;
  std::string user_prompt = kDefaultUserPrompt;
  // Empty: an unusable answer (after one corrected retry) is an error. A
  // route name: that route is chosen instead, with a warning logged.
  std::string fallback_route;
};

class LMRouter : public vorn_pipeline::BaseRouter {
 public:
  // Throws `ValueError` for an absent invoker, no routes, an empty or
  // repeated route name or a fallback that is no route, and `KeyError` for a template placeholder other
  // than {query} and {routes}.
  LMRouter(std::vector<LMRoute> routes, vorn_inference::LMInvokerPtr lm_invoker, LMRouterOptions options = {});

  // The chosen route name (a string). A plain-text answer that is exactly a
  // route's name (case aside) counts as choosing it. An unusable answer is
  // asked for once more with the reason; if that fails too, the fallback
  // route is chosen when there is one, else `StructuredOutputError` is
  // thrown. Whatever the invoker throws otherwise propagates. Safe to call
  // concurrently.
  vorn_core::Task<vorn_core::Value> route(std::string query) override;

  static vorn_core::Value response_schema(const std::vector<LMRoute>& routes);

  const std::vector<LMRoute>& routes() const noexcept { return routes_; }
  const vorn_inference::LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  std::string type_name() const override { return "LMRouter"; }

 private:
  vorn_core::Value read_route(const vorn_inference::LMOutputPtr& output) const;
  const LMRoute* route_named_by(std::string_view text) const;

  std::vector<LMRoute> routes_;
  std::string fallback_route_;
  vorn_inference::LMInvokerPtr lm_invoker_;
  std::string routes_text_;
  LMRequestProcessorPtr processor_;
};

}  // namespace vorn_generation
