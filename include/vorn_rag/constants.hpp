// The state-key vocabulary shared by every pipeline of the library.
#pragma once

namespace vorn_rag {

// Plain holder of the shared state-key strings.
struct StateKeys {
  StateKeys() = delete;

  static constexpr const char* USER_QUERY = "user_query";
  static constexpr const char* QUERY = "query";
  static constexpr const char* QUERIES = "queries";
  static constexpr const char* SUB_QUERIES = "sub_queries";
  static constexpr const char* QUERY_FILTER = "query_filter";
  static constexpr const char* TOP_K = "top_k";
  static constexpr const char* THRESHOLD = "threshold";
  static constexpr const char* CHUNK_LISTS = "chunk_lists";
  static constexpr const char* CHUNKS = "chunks";
  static constexpr const char* RESPONSE = "response";
  static constexpr const char* ROUTING_PLAN = "routing_plan";
  static constexpr const char* RETRIEVAL_DECISION = "retrieval_decision";
  static constexpr const char* FILTERED_CHUNKS = "filtered_chunks";
  static constexpr const char* ROUTED_BRANCH = "routed_branch";
};

}  // namespace vorn_rag
