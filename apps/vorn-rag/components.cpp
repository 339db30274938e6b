#include "components.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "agentic_rag.hpp"
#include "cli_errors.hpp"
#include "index_file.hpp"
#include "stoppable_lm.hpp"
#include "vorn_core/error.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/lm_router.hpp"
#include "vorn_generation/model_reranker.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/extractive_lm_invoker.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_inference/openai_embedder.hpp"
#include "vorn_inference/openai_lm_invoker.hpp"
#include "vorn_rag/strategies.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/hybrid_retriever.hpp"
#include "vorn_retrieval/keyword_query_transformer.hpp"
#include "vorn_retrieval/lexical_relevance_filter.hpp"
#include "vorn_retrieval/lexical_reranker.hpp"
#include "vorn_retrieval/vector_retriever.hpp"

namespace vorn_cli {
namespace {

constexpr const char* kSystemPrompt =
    "You answer questions using only the given context. Cite the ids of the passages you used in square "
    "brackets, like [docs/guide.md#2-1a2b3c4d]. If the context does not answer the question, say so.";

// A question that names code: an identifier, a path, an error code. Such
// questions are better served by exact keyword search than by embeddings.
bool looks_like_code(const std::string& question) {
  if (question.find('`') != std::string::npos || question.find("::") != std::string::npos ||
      question.find("VORN-") != std::string::npos)
    return true;
  std::string word;
  for (char c : question + " ") {
    if (std::isspace(static_cast<unsigned char>(c))) {
      bool has_underscore = word.find('_') != std::string::npos && word.size() > 2;
      bool camel = word.size() > 3 && std::any_of(word.begin() + 1, word.end(), [](char ch) { return std::isupper(static_cast<unsigned char>(ch)); }) &&
                   std::islower(static_cast<unsigned char>(word[0]));
      if (has_underscore || camel) return true;
      word.clear();
    } else {
      word += c;
    }
  }
  return false;
}

vorn_rag::core::StrategyPtr make_naive(const vorn_retrieval::RetrieverPtr& retriever,
                                       const vorn_generation::ResponseSynthesizerPtr& synthesizer,
                                       vorn_retrieval::RerankerPtr reranker) {
  auto naive = std::make_shared<vorn_rag::strategies::NaiveRAG>(retriever, synthesizer);
  if (reranker) naive->with_reranker(std::move(reranker));
  return naive;
}

}  // namespace

vorn_inference::OpenAIEndpointOptions endpoint_options(const ModelOptions& options) {
  vorn_inference::OpenAIEndpointOptions endpoint;
  endpoint.base_url = options.base_url;
  endpoint.api_key_env = options.api_key_env;
  endpoint.api_key_required = !options.no_api_key;
  if (options.no_api_key) endpoint.api_key_env.clear();
  // --timeout bounds the whole call; a single attempt may use all of it.
  const auto deadline = std::chrono::milliseconds(std::max<long>(1, std::lround(options.timeout_seconds * 1000)));
  endpoint.call_timeout = deadline;
  endpoint.http.total_timeout = deadline;
  endpoint.http.connect_timeout = std::min(endpoint.http.connect_timeout, deadline);
  endpoint.retry.max_retries = options.retries;
  endpoint.http.max_in_flight_per_endpoint = options.max_in_flight;
  return endpoint;
}

vorn_inference::EmbedderPtr make_embedder(const StoreOptions& options, std::size_t dimension) {
  if (options.embedder == "hashing") return std::make_shared<vorn_inference::HashingEmbedder>(dimension);
  if (options.embedder == "openai") {
    vorn_inference::OpenAIEmbedderOptions o;
    o.model = options.embedding_model;
    o.dimension = dimension;
    o.endpoint = options.embedding_endpoint;
    return std::make_shared<vorn_inference::OpenAIEmbedder>(std::move(o));
  }
  throw vorn_core::InvalidValueError("Unknown embedder '" + options.embedder + "'. Use hashing or openai and retry.");
}

std::shared_ptr<vorn_datastore::SqliteDataStore> open_store(const StoreOptions& options, bool read_only) {
  const bool exists = index_exists(options.path);
  if (!read_only && options.path.has_parent_path()) std::filesystem::create_directories(options.path.parent_path());
  if (read_only && !exists) throw NoIndexError(no_index_message(options.path));
  // An existing index keeps the dimension it was built with (0: read it
  // from the file); --dimension only shapes a new one. The file is opened
  // once: the store then hands its dimension to the embedder.
  vorn_datastore::OpenOptions open;
  open.dimension = exists ? 0 : options.dimension;
  open.read_only = read_only;
  open.memory_text_index = options.memory_text_index;
  auto chunks = vorn_datastore::SqliteChunkStore::open(options.path, open);
  const std::size_t dimension = chunks.dimension() > 0 ? chunks.dimension() : options.dimension;
  return std::make_shared<vorn_datastore::SqliteDataStore>(std::move(chunks), make_embedder(options, dimension));
}

vorn_datastore::WritableDataStorePtr open_writable_store(const StoreOptions& options) {
  return open_store(options, /*read_only=*/false);
}

std::shared_ptr<vorn_datastore::SqliteDataStore> open_index_for_answers(const StoreOptions& options) {
  auto store = open_store(options, /*read_only=*/true);
  if (store->size() == 0) {
    throw NoIndexError("The index at " + options.path.string() +
                       " holds no documents. Run `vorn-rag index PATH...` to add some and retry.");
  }
  return store;
}

vorn_retrieval::RetrieverPtr make_retriever(const std::string& kind, const vorn_datastore::DataStorePtr& store) {
  if (kind == "vector") return std::make_shared<vorn_retrieval::VectorRetriever>(store);
  if (kind == "bm25") return std::make_shared<vorn_retrieval::FulltextRetriever>(store);
  if (kind == "hybrid") return std::make_shared<vorn_retrieval::HybridRetriever>(store);
  throw vorn_core::InvalidValueError("Unknown retriever '" + kind + "'. Use vector, bm25 or hybrid and retry.");
}

vorn_retrieval::RerankerPtr make_reranker(const ModelOptions& options, bool lexical_helps, std::size_t keep,
                                          std::stop_token stop) {
  if (options.reranker == "model") {
    vorn_generation::ModelRerankerOptions o;
    o.client.model = options.reranker_model;
    o.client.endpoint = endpoint_options(options);
    if (!options.reranker_url.empty()) o.client.endpoint.base_url = options.reranker_url;
    o.keep = keep;
    o.stop = std::move(stop);
    return std::make_shared<vorn_generation::ModelReranker>(std::move(o));
  }
  if (options.reranker != "lexical") {
    throw vorn_core::InvalidValueError("Unknown reranker '" + options.reranker + "'. Use lexical or model and retry.");
  }
  if (!lexical_helps) return nullptr;
  return std::make_shared<vorn_retrieval::LexicalReranker>(vorn_retrieval::LexicalRerankerOptions{.keep = keep});
}

vorn_inference::LMInvokerPtr make_lm(const ModelOptions& options, std::stop_token stop) {
  if (options.lm == "extractive") return std::make_shared<vorn_inference::ExtractiveLMInvoker>();
  if (options.lm == "openai") {
    vorn_inference::OpenAILMInvokerOptions o;
    o.model = options.model;
    o.endpoint = endpoint_options(options);
    vorn_inference::LMInvokerPtr lm = std::make_shared<vorn_inference::OpenAILMInvoker>(std::move(o));
    if (stop.stop_possible()) lm = std::make_shared<StoppableLMInvoker>(std::move(lm), std::move(stop));
    return lm;
  }
  throw vorn_core::InvalidValueError("Unknown model '" + options.lm + "'. Use extractive or openai and retry.");
}

vorn_generation::ResponseSynthesizerPtr make_synthesizer(const ModelOptions& options, vorn_inference::TextSink on_text,
                                                         std::stop_token stop) {
  if (options.lm == "extractive") return std::make_shared<vorn_generation::ExtractiveAnswerer>();
  auto builder = std::make_shared<vorn_generation::PromptBuilder>(
      kSystemPrompt, "Context:\n{context}\n\nQuestion: {query}\n\nAnswer:");
  auto processor = std::make_shared<vorn_generation::LMRequestProcessor>(builder, make_lm(options, stop));
  vorn_generation::StuffOptions stuff;
  stuff.max_prompt_bytes = options.context_budget;
  stuff.on_text = std::move(on_text);
  return vorn_generation::ResponseSynthesizer::stuff(processor, std::move(stuff));
}

vorn_rag::core::StrategyPtr make_strategy(const std::string& name, const std::string& retriever_kind,
                                          const vorn_datastore::DataStorePtr& store, const ModelOptions& model,
                                          std::size_t top_k, vorn_inference::TextSink on_text,
                                          std::stop_token stop) {
  auto retriever = make_retriever(retriever_kind, store);
  auto synthesizer = make_synthesizer(model, std::move(on_text), stop);
  // The lexical reranker repairs the order of hashing-embedder vector search;
  // after BM25 (alone or fused) it only repeats a weaker BM25 over five
  // candidates, which lowered MRR@10 on eval/ (0.49 -> 0.42 on one corpus).
  const bool vector_only = retriever_kind == "vector";
  if (name == "naive") return make_naive(retriever, synthesizer, make_reranker(model, vector_only, 0, stop));
  if (name == "crag") {
    // Offline, the fallback for an irrelevant retrieval is keyword search
    // over the same documents.
    auto crag = std::make_shared<vorn_rag::strategies::CRAG>(retriever, synthesizer);
    crag->with_relevance_evaluator(std::make_shared<vorn_retrieval::LexicalRelevanceFilter>())
        .with_web_retriever(std::make_shared<vorn_retrieval::FulltextRetriever>(store))
        .with_reranker(make_reranker(model, /*lexical_helps=*/true, 0, stop));
    return crag;
  }
  if (name == "map-reduce") {
    auto map_reduce = std::make_shared<vorn_rag::strategies::MapReduceRAG>(
        std::make_shared<vorn_retrieval::KeywordQueryTransformer>(), retriever, synthesizer);
    // Each expanded query retrieves top_k chunks; their union is cut back to
    // top_k after reranking.
    map_reduce->with_reranker(make_reranker(model, /*lexical_helps=*/true, top_k, stop));
    return map_reduce;
  }
  if (name == "routed") {
    auto routed = std::make_shared<vorn_rag::strategies::RoutedStrategy>();
    auto keyword = make_naive(std::make_shared<vorn_retrieval::FulltextRetriever>(store), synthesizer,
                              make_reranker(model, /*lexical_helps=*/false, 0, stop));
    auto semantic = make_naive(retriever, synthesizer, make_reranker(model, vector_only, 0, stop));
    if (model.lm == "extractive") {
      routed->add_branch("keyword", vorn_rag::strategies::RoutedStrategy::Classifier(looks_like_code), keyword);
      routed->add_branch("semantic", vorn_rag::strategies::RoutedStrategy::Classifier([](const std::string&) { return true; }),
                         semantic);
    } else {
      // A model that cannot give a usable routing answer still gets the
      // question answered, by the general-purpose branch.
      vorn_generation::LMRouterOptions router_options;
      router_options.fallback_route = "semantic";
      routed->set_router(std::make_shared<vorn_generation::LMRouter>(
          std::vector<vorn_generation::LMRoute>{
              {"keyword", "Questions that name code: identifiers, file paths, error codes, exact phrases."},
              {"semantic", "Questions about ideas, behaviour or how things work, in everyday words."}},
          make_lm(model, stop), router_options));
      routed->add_branch("keyword", nullptr, keyword);
      routed->add_branch("semantic", nullptr, semantic);
    }
    return routed;
  }
  if (name == "agentic") return std::make_shared<AgenticRAG>(retriever, synthesizer);
  throw vorn_core::InvalidValueError("Unknown strategy '" + name + "'. Use naive, crag, map-reduce, routed or agentic and retry.");
}

}  // namespace vorn_cli
