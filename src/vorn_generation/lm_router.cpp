#include "vorn_generation/lm_router.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include "vorn_core/error.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_inference/errors.hpp"
#include "structured_answer.hpp"

namespace vorn_generation {
namespace {

constexpr std::string_view kComponent = "LMRouter";

std::string describe(const std::vector<LMRoute>& routes) {
  std::string out;
  for (const LMRoute& r : routes) {
    if (!out.empty()) out += '\n';
    out += "- " + r.name;
    if (!r.description.empty()) out += ": " + r.description;
  }
  return out;
}

std::string names_of(const std::vector<LMRoute>& routes) {
  std::string out;
  for (const LMRoute& r : routes) out += (out.empty() ? "" : ", ") + vorn_core::quote(r.name);
  return out;
}

}  // namespace

LMRouter::LMRouter(std::vector<LMRoute> routes, vorn_inference::LMInvokerPtr lm_invoker, LMRouterOptions options)
    : routes_(std::move(routes)), lm_invoker_(std::move(lm_invoker)) {
  if (!lm_invoker_) throw vorn_core::InvalidValueError("Missing `lm_invoker`. Pass an LM invoker to LMRouter and retry.");
  if (routes_.empty()) throw vorn_core::InvalidValueError("LMRouter needs at least one route. Pass the routes and retry.");
  std::set<std::string> names;
  for (const LMRoute& r : routes_) {
    if (r.name.empty()) throw vorn_core::InvalidValueError("A route name is empty. Name every route and retry.");
    if (!names.insert(r.name).second) {
      throw vorn_core::InvalidValueError("The route name " + vorn_core::quote(r.name) +
                                  " is given twice. Use each name once and retry.");
    }
  }
  auto builder = std::make_shared<PromptBuilder>(options.system_prompt, options.user_prompt);
  detail::check_templates(*builder, {"query", "routes"});
  routes_text_ = describe(routes_);
  processor_ = std::make_shared<LMRequestProcessor>(std::move(builder), lm_invoker_, response_schema(routes_));
  if (!options.fallback_route.empty()) {
    if (!names.contains(options.fallback_route)) {
      throw vorn_core::InvalidValueError("The `fallback_route` " + vorn_core::quote(options.fallback_route) +
                                  " is not one of " + names_of(routes_) + ". Name one of the routes and retry.");
    }
    fallback_route_ = options.fallback_route;
  }
}

vorn_core::Value LMRouter::response_schema(const std::vector<LMRoute>& routes) {
  vorn_core::List names;
  for (const LMRoute& r : routes) names.emplace_back(r.name);
  vorn_core::Dict route;
  route.set("type", "string");
  route.set("description", "Name of the chosen route.");
  route.set("enum", std::move(names));
  vorn_core::Dict properties;
  properties.set("route", std::move(route));
  vorn_core::Dict schema;
  schema.set("title", "route_choice");
  schema.set("type", "object");
  schema.set("properties", std::move(properties));
  schema.set("required", vorn_core::List{vorn_core::Value("route")});
  schema.set("additionalProperties", false);
  return schema;
}

vorn_core::Value LMRouter::read_route(const vorn_inference::LMOutputPtr& output) const {
  // A model that ignores the schema often still answers with the bare name.
  if (output && output->structured_output.is_none()) {
    if (const LMRoute* named = route_named_by(output->response)) return vorn_core::Value(named->name);
  }
  const vorn_core::Value& chosen = detail::structured_field(output, "route", kComponent);
  const bool known = chosen.is_string() && std::any_of(routes_.begin(), routes_.end(), [&](const LMRoute& r) {
                       return r.name == chosen.as_string();
                     });
  if (!known) {
    detail::invalid_answer(kComponent, "the route " + chosen.repr() + " is not one of " + names_of(routes_));
  }
  return chosen;
}

const LMRoute* LMRouter::route_named_by(std::string_view text) const {
  // Whitespace, quotes and a final full stop are not part of the name.
  auto strip = [](std::string_view t) {
    const std::string_view junk = " \t\r\n\"'`.";
    const auto first = t.find_first_not_of(junk);
    if (first == std::string_view::npos) return std::string_view();
    return t.substr(first, t.find_last_not_of(junk) - first + 1);
  };
  const std::string_view name = strip(text);
  for (const LMRoute& r : routes_) {
    if (r.name.size() == name.size() &&
        std::equal(r.name.begin(), r.name.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return &r;
    }
  }
  return nullptr;
}

vorn_core::Task<vorn_core::Value> LMRouter::route(std::string query) {
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  vorn_core::Dict inputs;
  inputs.set("query", std::move(query));
  inputs.set("routes", routes_text_);
  vorn_core::Value chosen;
  auto check = [&](const vorn_inference::LMOutputPtr& output) { chosen = read_route(output); };
  std::string failure;
  try {
    auto pending = processor_->process_checked(std::move(inputs), check);
    co_await std::move(pending);
    co_return chosen;
  } catch (const vorn_inference::StructuredOutputError& e) {
    if (fallback_route_.empty()) throw;
    failure = e.message();
  }
  vorn_core::LoggerManager().get_logger("vorn_generation")
      .warning("LMRouter falls back to the route " + vorn_core::quote(fallback_route_) + ": " + failure);
  co_return vorn_core::Value(fallback_route_);
}

}  // namespace vorn_generation
