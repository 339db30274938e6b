// The vorn-rag command line end to end, in-process, on temporary files.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "cli.hpp"
#include "cli_hints.hpp"
#include "counted.hpp"
#include "error_report.hpp"
#include "vorn_inference/errors.hpp"
#include "vorn_pipeline/error_handler.hpp"
#include "keepalive_http_server.hpp"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out;
  std::string err;
};

// ---- how failures and counts are printed -------------------------------------------

std::exception_ptr wrapped(const std::string& step, std::exception_ptr cause) {
  return std::make_exception_ptr(vorn_pipeline::PipelineRuntimeError(step, "Step '" + step + "' failed", cause));
}

TEST(ErrorReportTest, AStepFailureIsReportedByWhatFailedInside) {
  const auto timeout = std::make_exception_ptr(vorn_inference::ModelTimeoutError("too slow"));
  const auto untyped = std::make_exception_ptr(std::runtime_error("plain"));
  struct Case {
    const char* label;
    std::exception_ptr error;
    std::string code, message;
  };
  const Case cases[] = {
      {"typed cause", wrapped("retrieve", timeout), "VORN-INFERENCE-TIMEOUT (in step retrieve)", "too slow"},
      {"a pipeline inside a step: the innermost step", wrapped("evaluate", wrapped("judge", timeout)),
       "VORN-INFERENCE-TIMEOUT (in step judge)", "too slow"},
      {"untyped cause keeps the wrapper", wrapped("retrieve", untyped), "VORN-PIPELINE-RUNTIME", "Step 'retrieve' failed"},
      {"untyped cause under a wrapper: the innermost typed one", wrapped("outer", wrapped("inner", untyped)),
       "VORN-PIPELINE-RUNTIME (in step outer)", "Step 'inner' failed"},
      {"no cause", wrapped("retrieve", nullptr), "VORN-PIPELINE-RUNTIME", "Step 'retrieve' failed"},
      {"not a step failure", timeout, "VORN-INFERENCE-TIMEOUT", "too slow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      std::rethrow_exception(c.error);
    } catch (const vorn_core::BaseError& e) {
      const vorn_cli::ErrorReport report = vorn_cli::error_report(e);
      EXPECT_EQ(report.code, c.code);
      EXPECT_EQ(report.message, c.message);
    }
  }
}

TEST(CountedTest, OneIsSingularEverythingElsePlural) {
  const std::pair<std::size_t, const char*> cases[] = {{0, "0 chunks"}, {1, "1 chunk"}, {2, "2 chunks"}, {11, "11 chunks"}};
  for (const auto& [count, text] : cases) EXPECT_EQ(vorn_cli::counted(count, "chunk"), text);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorn_cli_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "docs");
    write("docs/fusion.md",
          "# Fusion\n\nReciprocal rank fusion scores a chunk by the sum of 1 / (60 + rank) over the lists that "
          "hold it. Chunks found near the top of several lists win.\n");
    write("docs/crag.md",
          "# Corrective RAG\n\nCRAG asks a relevance evaluator to judge the retrieved chunks. When none is "
          "relevant it falls back to a second retriever.\n");
    write("docs/errors.txt", "The code VORN-RAG-VALIDATION marks an invalid request or configuration.\n");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }

  Result cli(std::vector<std::string> args) {
    std::vector<std::string> all = {"vorn-rag", "--store", (dir_ / "index.db").string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int code = vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
  }

  Result index_docs() { return cli({"index", "--no-progress", (dir_ / "docs").string()}); }

  fs::path dir_;
};

TEST_F(CliTest, IndexIsResumable) {
  Result first = index_docs();
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_NE(first.out.find("Indexed 3 of 3 files"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find(" 0 already there"), std::string::npos) << first.out;
  Result again = index_docs();
  ASSERT_EQ(again.code, 0);
  EXPECT_NE(again.out.find("0 chunks added"), std::string::npos) << again.out;
}

TEST_F(CliTest, EveryStrategyAnswersWithCitations) {
  ASSERT_EQ(index_docs().code, 0);
  for (const char* strategy : {"naive", "crag", "map-reduce", "routed", "agentic"}) {
    SCOPED_TRACE(strategy);
    Result r = cli({"ask", "How does reciprocal rank fusion score a chunk?", "--strategy", strategy});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("60 + rank"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fusion.md#"), std::string::npos) << "the answer cites its chunk: " << r.out;
  }
}

TEST_F(CliTest, SourcesAreListedInTheOrderTheAnswerUses) {
  // Two sections of one page match best; one chunk per page first puts the
  // other pages between them, so rank and score order differ.
  std::string filler;
  for (int i = 0; i < 30; ++i) filler += "Other words about unrelated matters fill this paragraph out. ";
  write("docs/fusion.md", "# Fusion\n\n## Scores\n\nReciprocal rank fusion scores a chunk by 1 / (60 + rank).\n\n" +
                              filler + "\n\n## More\n\nReciprocal rank fusion scores each chunk again by rank.\n\n" + filler);
  ASSERT_EQ(index_docs().code, 0);
  for (const char* strategy : {"naive", "map-reduce"}) {
    SCOPED_TRACE(strategy);
    const std::vector<std::string> args{"ask", "How does reciprocal rank fusion score a chunk?", "--strategy",
                                        strategy, "--top-k", "4"};
    Result json = cli([&] { auto a = args; a.push_back("--json"); return a; }());
    Result plain = cli(args);
    ASSERT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(plain.code, 0) << plain.err;
    std::vector<std::string> listed;
    for (std::size_t at = plain.out.find("\n  ["); at != std::string::npos; at = plain.out.find("\n  [", at + 1)) {
      listed.push_back(plain.out.substr(at + 4, plain.out.find(']', at) - at - 4));
    }
    std::vector<std::string> ranked;
    const auto state = nlohmann::json::parse(json.out);
    for (const auto& chunk : state["chunks"]) ranked.push_back(chunk["id"]);
    ASSERT_GE(ranked.size(), 2u);
    EXPECT_EQ(listed, ranked) << plain.out;
  }
}

TEST_F(CliTest, JsonIsTheFinalStateAndTraceListsSteps) {
  ASSERT_EQ(index_docs().code, 0);
  Result r = cli({"ask", "What does CRAG fall back to?", "--json", "--trace", "--strategy", "crag", "--top-k", "2"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto json = nlohmann::json::parse(r.out);
  EXPECT_TRUE(json["response"].is_string());
  EXPECT_LE(json["chunks"].size(), 2u);
  EXPECT_EQ(json["user_query"], "What does CRAG fall back to?");
  EXPECT_TRUE(json["retrieval_decision"].is_string());
  ASSERT_TRUE(json["trace"].is_array());
  EXPECT_EQ(json["trace"][0]["step"], "retrieve");
  EXPECT_EQ(json["trace"][1]["step"], "decide_retrieval_route");
  EXPECT_EQ(json["trace"][0]["chunks"], 2) << "the retrieved chunks, counted";
  EXPECT_EQ(json["trace"][0]["failed"], false);

  Result plain = cli({"ask", "What does CRAG fall back to?", "--trace"});
  EXPECT_NE(plain.err.find("synthesize"), std::string::npos) << plain.err;
}

TEST_F(CliTest, DescribeShowsSlotsAndSteps) {
  Result r = cli({"describe", "--strategy", "map-reduce"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("MapReduceRAG\n  reranker: "), std::string::npos) << r.out;
  for (const char* step : {"expand_query (step)", "retrieve_and_fuse (map_reduce)", "rerank (step)", "synthesize (step)"}) {
    EXPECT_NE(r.out.find(step), std::string::npos) << step;
  }
}

TEST_F(CliTest, FailuresAreClear) {
  Result no_index = cli({"ask", "anything"});
  EXPECT_EQ(no_index.code, 1);
  EXPECT_NE(no_index.err.find("No index at"), std::string::npos) << no_index.err;

  EXPECT_EQ(cli({"ask", "q", "--strategy", "magic"}).code, 2);
  EXPECT_EQ(cli({"ask", "q", "--top-k", "0"}).code, 2);
  EXPECT_EQ(cli({}).code, 2);

  Result missing = cli({"index", "--no-progress", (dir_ / "nowhere").string()});
  EXPECT_NE(missing.code, 0);

  fs::create_directories(dir_ / "bad");
  std::ofstream(dir_ / "bad" / "index.db") << "not a database at all";
  std::vector<std::string> args = {"vorn-rag", "--store", (dir_ / "bad" / "index.db").string(), "ask", "q"};
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  EXPECT_EQ(vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err), 1);
  EXPECT_NE(err.str().find("error [VORN-STORE-"), std::string::npos) << err.str();
}

TEST_F(CliTest, OpenAIModelWithoutKeyFailsClearly) {
  ASSERT_EQ(index_docs().code, 0);
  ::unsetenv("VORN_TEST_MISSING_KEY");
  Result r = cli({"ask", "q", "--lm", "openai", "--api-key-env", "VORN_TEST_MISSING_KEY", "--base-url",
                  "http://127.0.0.1:9/v1", "--timeout", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("error ["), std::string::npos) << r.err;
}

TEST_F(CliTest, KeylessLocalServerAnswers) {
  ASSERT_EQ(index_docs().code, 0);
  vorn_test::KeepAliveHttpServer server([](const vorn_test::RecordedRequest&) {
    return vorn_test::FakeReply{.body = R"({"choices": [{"message": {"content": "From the model."}}]})"};
  });
  ::unsetenv("VORN_TEST_MISSING_KEY");
  Result r = cli({"ask", "What is fusion?", "--lm", "openai", "--api-key-env", "VORN_TEST_MISSING_KEY", "--no-api-key",
                  "--base-url", server.base_url()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("From the model."), std::string::npos) << r.out;
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_FALSE(server.requests()[0].has_header("authorization"));
}

TEST_F(CliTest, TimeoutBoundsTheWholeCallAndRetriesAreConfigurable) {
  ASSERT_EQ(index_docs().code, 0);
  vorn_test::KeepAliveHttpServer server([](const vorn_test::RecordedRequest&) {
    return vorn_test::FakeReply{.status = 503, .delay = std::chrono::milliseconds(150)};
  });
  const auto start = std::chrono::steady_clock::now();
  Result r = cli({"ask", "q", "--lm", "openai", "--no-api-key", "--base-url", server.base_url(), "--timeout", "0.5",
                  "--retries", "100"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("deadline"), std::string::npos) << r.err;
  // The step's wrapper is not what the user acts on: the component's code is.
  EXPECT_NE(r.err.find("error [VORN-INFERENCE-TIMEOUT (in step synthesize)]: The call to"), std::string::npos) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // No retry at all: one attempt.
  vorn_test::KeepAliveHttpServer busy([](const vorn_test::RecordedRequest&) { return vorn_test::FakeReply{.status = 503}; });
  Result once = cli({"ask", "q", "--lm", "openai", "--no-api-key", "--base-url", busy.base_url(), "--retries", "0"});
  EXPECT_EQ(once.code, 1);
  EXPECT_EQ(busy.requests().size(), 1u);
  EXPECT_EQ(cli({"ask", "q", "--retries", "-1"}).code, 2);
  EXPECT_EQ(cli({"ask", "q", "--timeout", "0"}).code, 2);
}

TEST_F(CliTest, StreamPrintsTheAnswerOnceAndTheLargestTopKStaysWithinTheBudget) {
  ASSERT_EQ(index_docs().code, 0);
  vorn_test::KeepAliveHttpServer server([](const vorn_test::RecordedRequest&) {
    return vorn_test::FakeReply{
        .content_type = "text/event-stream",
        .pieces = {"data: {\"choices\": [{\"delta\": {\"content\": \"Streamed \"}}]}\n\n",
                   "data: {\"choices\": [{\"delta\": {\"content\": \"answer.\"}}]}\n\ndata: [DONE]\n\n"}};
  });
  Result r = cli({"ask", "What is fusion?", "--lm", "openai", "--no-api-key", "--base-url", server.base_url(),
                  "--stream", "--top-k", "100", "--context-budget", "600"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("Streamed answer.\n"), 0u) << r.out;
  EXPECT_EQ(r.out.find("Streamed answer.", 1), std::string::npos) << r.out;
  ASSERT_EQ(server.requests().size(), 1u);
  const auto body = nlohmann::json::parse(server.requests()[0].body);
  std::size_t prompt = 0;
  for (const auto& m : body["messages"]) prompt += m["content"].get<std::string>().size();
  EXPECT_LE(prompt, 600u);
  EXPECT_EQ(cli({"ask", "q", "--stream", "--json"}).code, 2);
}

TEST_F(CliTest, IndexRemembersItsEmbedderAndRefusesAnother) {
  // An embeddings endpoint: one 8-float vector per input, from its length.
  vorn_test::KeepAliveHttpServer server([](const vorn_test::RecordedRequest& request) {
    const auto body = nlohmann::json::parse(request.body);
    nlohmann::json data = nlohmann::json::array();
    for (std::size_t i = 0; i < body["input"].size(); ++i) {
      std::vector<float> v(8, 0.1f);
      v[body["input"][i].get<std::string>().size() % 8] = 1.0f;
      data.push_back({{"index", i}, {"embedding", v}});
    }
    return vorn_test::FakeReply{.body = nlohmann::json{{"data", data}}.dump()};
  });
  const std::vector<std::string> remote = {"--embedder", "openai", "--embedding-model", "fake-emb", "--no-api-key",
                                           "--base-url", server.base_url()};
  std::vector<std::string> index_args = {"--dimension", "8", "index", "--no-progress", (dir_ / "docs").string()};
  index_args.insert(index_args.end(), remote.begin(), remote.end());
  Result indexed = cli(index_args);
  ASSERT_EQ(indexed.code, 0) << indexed.err;
  EXPECT_FALSE(server.requests().empty());
  EXPECT_EQ(nlohmann::json::parse(server.requests()[0].body)["model"], "fake-emb");

  std::vector<std::string> ask_args = {"ask", "What is fusion?", "--retriever", "vector"};
  ask_args.insert(ask_args.end(), remote.begin(), remote.end());
  Result same = cli(ask_args);
  EXPECT_EQ(same.code, 0) << same.err;

  Result other = cli({"ask", "What is fusion?"});
  EXPECT_EQ(other.code, 1);
  EXPECT_NE(other.err.find("built with the embedder 'openai:fake-emb'"), std::string::npos) << other.err;
  EXPECT_NE(other.err.find("'hashing'"), std::string::npos) << other.err;
}

// A rerank endpoint that scores a document 1 when it holds `favoured`, else
// 0.1, answering the best `top_n`.
vorn_test::KeepAliveHttpServer::Handler rerank_endpoint(std::string favoured) {
  return [favoured](const vorn_test::RecordedRequest& request) {
    const auto body = nlohmann::json::parse(request.body);
    nlohmann::json results = nlohmann::json::array();
    for (std::size_t i = 0; i < body["documents"].size(); ++i) {
      const bool hit = body["documents"][i].get<std::string>().find(favoured) != std::string::npos;
      results.push_back({{"index", i}, {"relevance_score", hit ? 1.0 : 0.1}});
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const auto& a, const auto& b) { return a["relevance_score"] > b["relevance_score"]; });
    results.erase(results.begin() + std::min<std::size_t>(results.size(), body["top_n"].get<std::size_t>()),
                  results.end());
    return vorn_test::FakeReply{.body = nlohmann::json{{"results", results}}.dump()};
  };
}

class CliRerankerTest : public CliTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CliRerankerTest, TheModelsScoresOrderTheSources) {
  ASSERT_EQ(index_docs().code, 0);
  vorn_test::KeepAliveHttpServer server(rerank_endpoint("falls back"));
  // A question about fusion, yet the endpoint prefers the CRAG page: its
  // order, not the retriever's, must reach the answer.
  Result r = cli({"ask", "How does reciprocal rank fusion score a chunk?", "--strategy", GetParam(), "--json",
                  "--top-k", "2", "--reranker", "model", "--reranker-model", "fake-rr", "--reranker-url",
                  server.base_url(), "--no-api-key"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto state = nlohmann::json::parse(r.out);
  ASSERT_FALSE(state["chunks"].empty()) << r.out;
  EXPECT_NE(state["chunks"][0]["id"].get<std::string>().find("crag.md"), std::string::npos) << r.out;
  EXPECT_EQ(state["chunks"][0]["score"], 1.0);
  EXPECT_LE(state["chunks"].size(), 2u);
  ASSERT_FALSE(server.requests().empty());
  EXPECT_EQ(server.requests()[0].target, "/v1/rerank");
  EXPECT_EQ(nlohmann::json::parse(server.requests()[0].body)["model"], "fake-rr");
}

INSTANTIATE_TEST_SUITE_P(Strategies, CliRerankerTest, ::testing::Values("naive", "map-reduce"),
                         [](const auto& info) { return std::string(info.param) == "naive" ? "Naive" : "MapReduce"; });

TEST_F(CliTest, ModelRerankerNeedsItsModelAndReportsABrokenEndpoint) {
  ASSERT_EQ(index_docs().code, 0);
  Result missing = cli({"ask", "q", "--reranker", "model"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("--reranker-model"), std::string::npos) << missing.err;

  vorn_test::KeepAliveHttpServer server(
      [](const vorn_test::RecordedRequest&) { return vorn_test::FakeReply{.body = R"({"results": "none"})"}; });
  Result broken = cli({"ask", "What is fusion?", "--reranker", "model", "--reranker-model", "m", "--base-url",
                       server.base_url(), "--no-api-key"});
  EXPECT_EQ(broken.code, 1);
  EXPECT_NE(broken.err.find("error [VORN-INFERENCE-RESPONSE (in step rerank)]"), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find("scores that are not a list"), std::string::npos) << broken.err;
  EXPECT_EQ(server.requests().size(), 1u);  // --base-url serves the reranker when it has no URL of its own
}

TEST_F(CliTest, ARefusedModelCallHintsAtTheRetriesOption) {
  ASSERT_EQ(index_docs().code, 0);
  vorn_test::KeepAliveHttpServer server(
      [](const vorn_test::RecordedRequest&) { return vorn_test::FakeReply{.status = 429, .body = "{}"}; });
  Result r = cli({"ask", "What is fusion?", "--lm", "openai", "--no-api-key", "--retries", "0", "--base-url",
                  server.base_url()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("`--retries`"), std::string::npos) << r.err;
}

// Library messages whose hints name library settings, and the command whose
// help must list whatever option the rewritten hint names instead.
struct HintCase {
  const char* message;
  const char* command;
};

class CliHints : public CliTest, public ::testing::WithParamInterface<HintCase> {};

TEST_P(CliHints, NameOnlyOptionsTheCommandHas) {
  const std::string hinted = vorn_cli::with_cli_hints(GetParam().message);
  EXPECT_FALSE(std::regex_search(hinted, std::regex("`[a-z]+(_[a-z]+)*`"))) << hinted;
  const Result help = cli({GetParam().command, "--help"});
  const std::string options = help.out + cli({"--help"}).out;
  const std::regex option("--[a-z][a-z-]*");
  for (auto it = std::sregex_iterator(hinted.begin(), hinted.end(), option); it != std::sregex_iterator(); ++it) {
    EXPECT_NE(options.find(it->str()), std::string::npos) << it->str() << " in: " << hinted;
  }
}

INSTANTIATE_TEST_SUITE_P(
    LibraryMessages, CliHints,
    ::testing::Values(
        HintCase{"Server busy (HTTP 429). Lower the request rate or raise `max_retries`, then retry.", "ask"},
        HintCase{"Response above 1048576 bytes. Raise `max_response_bytes` or check the endpoint, then retry.", "ask"},
        HintCase{"The answer (finish_reason 'length': the answer was cut off; raise `max_tokens`)", "ask"},
        HintCase{"The decomposer returned no sub-queries. Rephrase the query or set `on_empty_decomposition` to "
                 "'passthrough', then retry.",
                 "ask"},
        HintCase{"File 'a.txt' is 9 MiB, above the 8 MiB limit. Split it into smaller files or raise the size limit.",
                 "index"},
        HintCase{"Missing `model`. Pass the embedding model name and retry.", "index"},
        HintCase{"Missing `model`. Pass the model name and retry.", "ask"},
        HintCase{"Missing `model`. Pass the reranking model name and retry.", "ask"},
        HintCase{"Got 3 numbers per vector. Check the model, `dimension` and the endpoint, then retry.", "index"},
        HintCase{"Invalid `top_k`. Set it to 1 or more and retry.", "ask"},
        HintCase{"`max_in_flight_per_endpoint` must be positive. Pass 1 or more and retry.", "ask"}));

}  // namespace
