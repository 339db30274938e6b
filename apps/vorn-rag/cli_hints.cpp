#include "cli_hints.hpp"

#include <array>
#include <utility>

namespace vorn_cli {
namespace {

// Longest phrases first: a phrase may contain a shorter one's setting name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kRewrites{{
    {"Missing `model`. Pass the embedding model name", "Missing `--embedding-model`. Pass the embedding model name"},
    {"Missing `model`. Pass the reranking model name", "Missing `--reranker-model`. Pass the reranking model name"},
    {"Missing `model`. Pass the model name", "Missing `--model`. Pass the model name"},
    {"Raise `max_response_bytes` or check the endpoint", "Check the endpoint"},
    {"; raise `max_tokens`)", "; ask a shorter question or allow the model longer answers)"},
    {"Rephrase the query or set `on_empty_decomposition` to 'passthrough'", "Rephrase the question"},
    {"raise the size limit", "raise `--max-file-size`"},
    {"raise `max_retries`", "raise `--retries`"},
    {"`max_in_flight_per_endpoint`", "`--max-in-flight`"},
    {"`dimension`", "`--dimension`"},
    {"`top_k`", "`--top-k`"},
}};

}  // namespace

std::string with_cli_hints(std::string_view message) {
  std::string out(message);
  for (const auto& [library, cli] : kRewrites) {
    for (std::size_t at = out.find(library); at != std::string::npos; at = out.find(library, at + cli.size())) {
      out.replace(at, library.size(), cli);
    }
  }
  return out;
}

}  // namespace vorn_cli
