// `vorn-rag mcp` as an assistant runs it: a subprocess spoken to over pipes,
// one JSON-RPC message per line. And `vorn-rag serve` as an operator runs
// it: stopped with SIGTERM.
#include "serve_fixture.hpp"
#include "subprocess.hpp"

namespace {

using namespace vorn_serve_test;
using nlohmann::json;

class McpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir("mcp");
    write_docs(dir_ / "docs");
    index_ = (dir_ / "index.db").string();
    ASSERT_EQ(run_cli({"vorn-rag", "--store", index_, "index", "--no-progress", (dir_ / "docs").string()}), 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Sends one message; JSON is put on one line, as the transport wants.
  json exchange(Subprocess& mcp, const std::string& message) {
    auto parsed = json::parse(message, nullptr, false);
    const std::string line = parsed.is_discarded() ? message : parsed.dump();
    mcp.write(line + "\n");
    auto reply = mcp.read_line();
    EXPECT_TRUE(reply) << "no reply to " << line;
    return reply ? json::parse(*reply, nullptr, false) : json();
  }

  fs::path dir_;
  std::string index_;
};

TEST_F(McpTest, AssistantSessionOverPipes) {
  Subprocess mcp({VORN_RAG_EXE, "--store", index_, "mcp"});
  ASSERT_TRUE(mcp.started());

  auto init = exchange(mcp, R"({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
      "protocolVersion": "2024-11-05", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}})");
  EXPECT_EQ(init["id"], 1);
  EXPECT_EQ(init["result"]["protocolVersion"], "2024-11-05");
  EXPECT_TRUE(init["result"]["capabilities"].contains("tools"));
  EXPECT_EQ(init["result"]["serverInfo"]["name"], "vorn-rag");

  // A notification gets no reply: the next line answers the next request.
  mcp.write(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})" "\n");
  auto tools = exchange(mcp, R"({"jsonrpc": "2.0", "id": "t", "method": "tools/list"})");
  EXPECT_EQ(tools["id"], "t");
  ASSERT_EQ(tools["result"]["tools"].size(), 2u);
  EXPECT_EQ(tools["result"]["tools"][0]["name"], "search");
  EXPECT_EQ(tools["result"]["tools"][1]["inputSchema"]["required"][0], "question");

  auto search = exchange(mcp, R"({"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {
      "name": "search", "arguments": {"query": "git revert", "top_k": 1, "retriever": "bm25"}}})");
  EXPECT_EQ(search["result"]["isError"], false);
  EXPECT_NE(search["result"]["content"][0]["text"].get<std::string>().find("commits.md"), std::string::npos);
  EXPECT_EQ(search["result"]["structuredContent"]["results"].size(), 1u);

  auto ask = exchange(mcp, R"({"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {
      "name": "ask", "arguments": {"question": "How does reciprocal rank fusion score a chunk?"}}})");
  const std::string answer = ask["result"]["content"][0]["text"];
  EXPECT_NE(answer.find("60 + rank"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Sources:"), std::string::npos);

  auto bad_args = exchange(mcp, R"({"jsonrpc": "2.0", "id": 4, "method": "tools/call", "params": {
      "name": "ask", "arguments": {"question": "q", "top_k": 0}}})");
  EXPECT_EQ(bad_args["result"]["isError"], true);
  EXPECT_NE(bad_args["result"]["content"][0]["text"].get<std::string>().find("VORN-SERVE-BAD-REQUEST"),
            std::string::npos);

  EXPECT_EQ(exchange(mcp, "{not json")["error"]["code"], -32700);
  EXPECT_EQ(exchange(mcp, R"({"jsonrpc": "2.0", "id": 5, "method": "resources/list"})")["error"]["code"], -32601);
  EXPECT_EQ(exchange(mcp, R"({"jsonrpc": "2.0", "id": 6, "method": "tools/call", "params": {"name": "rm"}})")
                ["error"]["code"], -32602);
  EXPECT_EQ(exchange(mcp, R"({"jsonrpc": "1.0", "id": 7, "method": "ping"})")["error"]["code"], -32600);
  EXPECT_EQ(exchange(mcp, R"({"jsonrpc": "2.0", "id": 8, "method": "ping"})")["result"], json::object());

  mcp.close_stdin();
  EXPECT_EQ(mcp.wait(), 0);
}

TEST_F(McpTest, ServeStopsGracefullyOnSigterm) {
  Subprocess serve({VORN_RAG_EXE, "--store", index_, "serve", "--port", "0"});
  ASSERT_TRUE(serve.started());
  auto banner = serve.read_line();
  ASSERT_TRUE(banner);
  const auto at = banner->find("http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << *banner;
  const int port = std::stoi(banner->substr(at + 17));
  httplib::Client c("127.0.0.1", port);
  auto r = c.Post("/v1/ask", R"({"question": "fusion"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  ::kill(serve.pid(), SIGTERM);
  EXPECT_EQ(serve.wait(), 0);
  EXPECT_EQ(serve.read_line(), "Stopped.");
}

}  // namespace
