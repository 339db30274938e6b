#include "vorn_retrieval/retriever.hpp"

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

using vorn_core::Dict;
using vorn_core::Task;
using vorn_core::Value;

RetrieveOptions retrieve_options_from(const Dict& inputs) {
  RetrieveOptions options;
  Value top_k = inputs.get("top_k");
  if (top_k.is_int()) {
    options.top_k = top_k.as_int();
  } else if (!top_k.is_none()) {
    throw vorn_core::InvalidTypeError("Invalid `top_k`: expected an integer, got " + top_k.type_name() +
                               ". Pass an integer and retry.");
  }
  Value threshold = inputs.get("threshold");
  if (threshold.is_number()) {
    options.threshold = threshold.as_double();
  } else if (!threshold.is_none()) {
    throw vorn_core::InvalidTypeError("Invalid `threshold`: expected a number, got " + threshold.type_name() +
                               ". Pass a number and retry.");
  }
  options.query_filter = inputs.get("query_filter");
  return options;
}

std::string query_text(const Dict& inputs, std::string_view component) {
  Value query = inputs.get("query");
  if (!query.is_string()) {
    throw vorn_core::InvalidTypeError("The " + std::string(component) + " needs a text `query`, got " + query.type_name() +
                               ". Pass the query text and retry.");
  }
  return query.as_string();
}

namespace {
// Out of line: the temporaries of building a message would otherwise take
// room in the coroutine frame of every retrieval.
[[noreturn]] void not_a_query(const Value& query) {
  throw vorn_core::InvalidTypeError("A retriever takes a query string or a list of query strings, got " + query.type_name() +
                             ". Pass text and retry.");
}
}  // namespace

// Not a coroutine: it picks one of two coroutines (lambdas here, for access
// to `retrieve_chunks`; they capture nothing), both lazy, so errors still
// surface when the task is awaited. A coroutine frame holds every local of
// every path, and the single-query path is the one runs keep in flight, so
// it gets a frame of its own.
Task<Value> BaseRetriever::retrieve(Value query, RetrieveOptions options) {
  static constexpr auto retrieve_one = [](BaseRetriever* self, Value query, RetrieveOptions one) -> Task<Value> {
    if (!query.is_string()) not_a_query(query);
    co_return vorn_core::to_value(co_await self->retrieve_chunks(query.as_string(), std::move(one)));
  };
  static constexpr auto retrieve_each = [](BaseRetriever* self, Value queries, RetrieveOptions each) -> Task<Value> {
    vorn_core::List out;
    out.reserve(queries.as_list().size());
    for (const auto& q : queries.as_list()) {
      if (!q.is_string()) {
        throw vorn_core::InvalidTypeError("Batch retrieval takes a list of query strings, but one item is " + q.type_name() +
                                   ". Pass only strings and retry.");
      }
      out.push_back(vorn_core::to_value(co_await self->retrieve_chunks(q.as_string(), each)));
    }
    co_return out;
  };
  if (query.is_list()) return retrieve_each(this, std::move(query), std::move(options));
  return retrieve_one(this, std::move(query), std::move(options));
}

Task<Value> BaseRetriever::run(Dict inputs) {
  RetrieveOptions options = retrieve_options_from(inputs);
  co_return co_await retrieve(inputs.get("query"), std::move(options));
}

Task<Value> BaseReranker::run(Dict inputs) {
  auto chunks = vorn_core::to_chunk_list(inputs.get("chunks"));
  co_return vorn_core::to_value(co_await rerank(std::move(chunks), query_text(inputs, "reranker")));
}

Task<Value> BaseQueryTransformer::run(Dict inputs) { co_return co_await transform(query_text(inputs, "query transformer")); }

Task<Value> BaseRelevanceFilter::run(Dict inputs) {
  auto chunks = vorn_core::to_chunk_list(inputs.get("chunks"));
  co_return vorn_core::to_value(co_await filter(std::move(chunks), query_text(inputs, "relevance filter")));
}

}  // namespace vorn_retrieval
