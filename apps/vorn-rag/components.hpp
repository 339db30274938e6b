// The components and strategies the command line runs, built from its options.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "options.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_generation/response_synthesizer.hpp"
#include "vorn_inference/lm_invoker.hpp"
#include "vorn_inference/openai_endpoint.hpp"
#include "vorn_rag/core/strategy.hpp"
#include "vorn_retrieval/retriever.hpp"

namespace vorn_cli {

inline const std::vector<std::string> kStrategies = {"naive", "crag", "map-reduce", "routed", "agentic"};

// Opens (or creates) the store with the offline embedder; read-only, a
// missing or zero-byte file is a NoIndexError.
std::shared_ptr<vorn_datastore::SqliteDataStore> open_store(const StoreOptions& options, bool read_only);

// The store the index command writes to.
vorn_datastore::WritableDataStorePtr open_writable_store(const StoreOptions& options);

// The index opened read-only, holding at least one chunk; NoIndexError
// (with the hint to run `index`) otherwise.
std::shared_ptr<vorn_datastore::SqliteDataStore> open_index_for_answers(const StoreOptions& options);

// "vector", "bm25" or "hybrid" over the store.
vorn_retrieval::RetrieverPtr make_retriever(const std::string& kind, const vorn_datastore::DataStorePtr& store);

// Where and how the OpenAI-compatible endpoint is called.
vorn_inference::OpenAIEndpointOptions endpoint_options(const ModelOptions& options);

// The reranker --reranker chose: the model's (keeping the best `keep`, 0:
// all; `stop` ends its calls), else the lexical one where it helps the
// retriever (`lexical_helps`) and none elsewhere.
vorn_retrieval::RerankerPtr make_reranker(const ModelOptions& options, bool lexical_helps, std::size_t keep = 0,
                                          std::stop_token stop = {});

// The model: the offline extractive answerer, or an OpenAI-compatible endpoint.
// A request for `stop` ends its calls with ModelCancelledError.
vorn_inference::LMInvokerPtr make_lm(const ModelOptions& options, std::stop_token stop = {});

// Answers from the retrieved chunks: extraction offline, "stuff" synthesis
// with a model, its prompt held to the context budget. `on_text`, when set,
// receives the answer's text as the model writes it.
vorn_generation::ResponseSynthesizerPtr make_synthesizer(const ModelOptions& options,
                                                         vorn_inference::TextSink on_text = {},
                                                         std::stop_token stop = {});

// The named strategy, wired with the offline helpers (reranker, relevance
// filter, query transformer, classifiers) or their model-backed versions;
// the agentic strategy takes no reranker.
// `top_k` (0: not known) caps what strategies that gather candidates from
// several queries answer from. `stop` ends every model call of its runs.
vorn_rag::core::StrategyPtr make_strategy(const std::string& name, const std::string& retriever_kind,
                                          const vorn_datastore::DataStorePtr& store, const ModelOptions& model,
                                          std::size_t top_k = 0, vorn_inference::TextSink on_text = {},
                                          std::stop_token stop = {});

}  // namespace vorn_cli
