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
};

class LMRouter : public vorn_pipeline::BaseRouter {
 public:
  // Throws `ValueError` for an absent invoker, no routes, or an empty or
  // repeated route name, and `KeyError` for a template placeholder other
  // than {query} and {routes}.
  LMRouter(std::vector<LMRoute> routes, vorn_inference::LMInvokerPtr lm_invoker, LMRouterOptions options = {});

  // The chosen route name (a string). Throws `StructuredOutputError` when the
  // model gives no {"route": ...} answer or a name that is not a route, and
  // whatever the invoker throws. Safe to call concurrently.
  vorn_core::Task<vorn_core::Value> route(std::string query) override;

  static vorn_core::Value response_schema(const std::vector<LMRoute>& routes);

  const std::vector<LMRoute>& routes() const noexcept { return routes_; }
  const vorn_inference::LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  std::string type_name() const override { return "LMRouter"; }

 private:
  std::vector<LMRoute> routes_;
  vorn_inference::LMInvokerPtr lm_invoker_;
  std::string routes_text_;
  LMRequestProcessorPtr processor_;
};

}  // namespace vorn_generation
