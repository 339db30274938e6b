// The error table: every typed error the libraries and the command line
// raise is caught as vorn_core::BaseError with its documented code, and
// docs/errors.md lists exactly these codes.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "cli_errors.hpp"
#include "components.hpp"
#include "serve/serve_errors.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/value.hpp"
#include "vorn_datastore/store_error.hpp"
#include "vorn_datastore/vector_index.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_pipeline/error_handler.hpp"
#include "vorn_rag/exceptions.hpp"
#include "vorn_retrieval/document_loader.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace {

struct Row {
  std::string code;
  std::function<void()> raise;
};

template <class E>
Row row() {
  return {std::string(E::kCode), [] { throw E(); }};
}
Row store(const char* code) {
  return {code, [code] { throw vorn_datastore::StoreError(code, "m"); }};
}
Row load(const char* code) {
  return {code, [code] { throw vorn_retrieval::LoadError(code, "m"); }};
}

std::vector<Row> error_table() {
  namespace sc = vorn_datastore::store_errc;
  namespace lc = vorn_retrieval::load_errc;
  return {
      row<vorn_core::InvalidTypeError>(),
      row<vorn_core::InvalidValueError>(),
      row<vorn_core::UnknownAttributeError>(),
      row<vorn_core::UnknownKeyError>(),
      row<vorn_core::RecordValidationError>(),
      row<vorn_core::OperationError>(),
      row<vorn_core::UnsupportedError>(),
      row<vorn_core::DeadlineError>(),
      {"VORN-PIPELINE-RUNTIME", [] { throw vorn_pipeline::PipelineRuntimeError("s", "m", nullptr); }},
      row<vorn_rag::RAGNotImplementedError>(),
      row<vorn_rag::RAGRuntimeError>(),
      row<vorn_rag::RAGTypeError>(),
      row<vorn_rag::RAGValueError>(),
      row<vorn_rag::SyncCallInEventLoopError>(),
      row<vorn_inference::ModelConfigError>(),
      row<vorn_inference::ModelTimeoutError>(),
      row<vorn_inference::ModelConnectionError>(),
      row<vorn_inference::ModelCancelledError>(),
      row<vorn_inference::ModelResponseError>(),
      row<vorn_inference::StructuredOutputError>(),
      {"VORN-INFERENCE-HTTP", [] { throw vorn_inference::ModelHTTPError(500); }},
      {"VORN-INFERENCE-AUTH", [] { throw vorn_inference::ModelAuthError(401); }},
      store(sc::kOpen), store(sc::kCorrupt), store(sc::kForeign), store(sc::kVersion), store(sc::kDimension),
      store(sc::kInput), store(sc::kReadOnly), store(sc::kBusy), store(sc::kIo),
      load(lc::kNotFound), load(lc::kUnsupported), load(lc::kTooLarge), load(lc::kEncoding), load(lc::kDuplicate),
      load(lc::kIo),
      row<vorn_serve::BadRequestError>(),
      row<vorn_serve::UnauthorizedError>(),
      row<vorn_serve::NotFoundError>(),
      row<vorn_serve::PayloadTooLargeError>(),
      row<vorn_serve::OverloadedError>(),
      row<vorn_serve::ShuttingDownError>(),
      row<vorn_cli::UsageError>(),
      row<vorn_cli::NoIndexError>(),
  };
}

// Codes the server answers with, or the command line prints, that no
// exception type carries.
const std::set<std::string> kReplyOnlyCodes = {"VORN-SERVE-TIMEOUT", "VORN-SERVE-HEADERS-TOO-LARGE",
                                               "VORN-SERVE-INTERNAL", "VORN-CLI-NO-SOURCE"};

std::set<std::string> codes_in_docs() {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/docs/errors.md");
  std::stringstream text;
  text << in.rdbuf();
  const std::string doc = text.str();
  // The table under "## Every code": one row per code, the code first.
  const auto start = doc.find("## Every code");
  EXPECT_NE(start, std::string::npos) << "docs/errors.md has no 'Every code' table";
  const auto end = doc.find("\n## ", start + 1);
  const std::string table = doc.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::set<std::string> codes;
  static const std::regex kRow(R"(\n\| (VORN-[A-Z-]+) \|)");
  for (auto it = std::sregex_iterator(table.begin(), table.end(), kRow); it != std::sregex_iterator(); ++it) {
    codes.insert((*it)[1]);
  }
  return codes;
}

TEST(ErrorTableTest, EveryErrorIsABaseErrorWithItsCodeAndDocumented) {
  std::set<std::string> seen;
  for (const Row& r : error_table()) {
    SCOPED_TRACE(r.code);
    std::string caught;
    try {
      r.raise();
    } catch (const vorn_core::BaseError& e) {
      caught = std::string(e.code());
      EXPECT_FALSE(e.message().empty());
      EXPECT_FALSE(e.class_name().empty());
    } catch (...) {
      ADD_FAILURE() << "not caught as vorn_core::BaseError";
    }
    EXPECT_EQ(caught, r.code);
    EXPECT_TRUE(seen.insert(r.code).second) << "code used twice";
    bool standard = false;
    try {
      r.raise();
    } catch (const std::exception&) {
      standard = true;  // one unambiguous std::exception base too
    } catch (...) {
    }
    EXPECT_TRUE(standard);
  }
  std::set<std::string> expected = seen;
  expected.insert(kReplyOnlyCodes.begin(), kReplyOnlyCodes.end());
  EXPECT_EQ(codes_in_docs(), expected) << "docs/errors.md 'Every code' lists exactly the codes raised";
}

// Failures the libraries and the command line really raise, not the types
// alone: each reaches a `BaseError` handler with its code, and the handler
// callers wrote for the kind it always had still catches it.
struct Raised {
  const char* name;
  std::string code;
  std::function<void()> raise;
  bool (*caught_as_before)(const std::function<void()>&);
};

template <class Kind>
bool caught_as(const std::function<void()>& raise) {
  try {
    raise();
  } catch (const Kind&) {
    return true;
  } catch (...) {
  }
  return false;
}

std::vector<Raised> raised_by_the_code() {
  using vorn_datastore::VectorIndex;
  return {
      {"ValueReadAsAnotherKind", "VORN-CORE-TYPE", [] { (void)vorn_core::Value("text").as_int(); },
       caught_as<vorn_core::TypeError>},
      {"AbsentKey", "VORN-CORE-KEY", [] { (void)vorn_core::Dict{}.at("k"); }, caught_as<std::out_of_range>},
      {"JsonNestedTooDeep", "VORN-CORE-VALUE",
       [] { (void)vorn_core::from_json(nlohmann::json::parse(std::string(1100, '[') + std::string(1100, ']'))); },
       caught_as<vorn_core::ValueError>},
      {"VectorOfAnotherDimension", "VORN-CORE-VALUE", [] { VectorIndex(3).add(std::vector<float>{1, 2}); },
       caught_as<std::invalid_argument>},
      {"DimensionOfAFilledIndex", "VORN-CORE-NOT-IMPLEMENTED",
       [] {
         VectorIndex index(2);
         index.add(std::vector<float>{1, 0});
         index.set_dimension(3);
       },
       caught_as<std::logic_error>},
      {"SlotOutOfRange", "VORN-CORE-KEY", [] { (void)VectorIndex(2).row(0); }, caught_as<std::out_of_range>},
      {"OverlapNotBelowChunkSize", "VORN-CORE-VALUE",
       [] { vorn_retrieval::TextChunker({.chunk_size = 10, .chunk_overlap = 10}); }, caught_as<std::invalid_argument>},
      {"EmbedderOfDimensionZero", "VORN-CORE-VALUE", [] { vorn_inference::HashingEmbedder(0); },
       caught_as<vorn_core::ValueError>},
      {"RetrieverWithoutStore", "VORN-CORE-VALUE", [] { vorn_retrieval::FulltextRetriever(nullptr); },
       caught_as<vorn_core::ValueError>},
      {"UnknownRetrieverName", "VORN-CORE-VALUE", [] { (void)vorn_cli::make_retriever("nope", nullptr); },
       caught_as<vorn_core::ValueError>},
  };
}

class RaisedTest : public ::testing::TestWithParam<Raised> {};

TEST_P(RaisedTest, CaughtAsBaseErrorWithItsCodeAndAsItsKind) {
  const Raised& r = GetParam();
  std::string caught = "(not a BaseError)";
  try {
    r.raise();
    caught = "(nothing thrown)";
  } catch (const vorn_core::BaseError& e) {
    caught = std::string(e.code());
    EXPECT_FALSE(e.message().empty());
  } catch (...) {
  }
  EXPECT_EQ(caught, r.code);
  EXPECT_TRUE(r.caught_as_before(r.raise));
  EXPECT_TRUE(codes_in_docs().contains(r.code));
}

INSTANTIATE_TEST_SUITE_P(ErrorTableTest, RaisedTest, ::testing::ValuesIn(raised_by_the_code()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
