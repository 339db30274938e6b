// The command line on documents, end to end and in-process: formats, skipped
// files, sources, read-only indexes, exit codes and progress.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli.hpp"
#include "minimal_pdf.hpp"
#include "progress.hpp"
#include "zip_package.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Result {
  int code;
  std::string out;
  std::string err;
};

class DocumentsCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorn_docs_cli_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "docs");
    store_ = dir_ / "idx" / "index.db";
    write("docs/fusion.md", "# Fusion\n\nReciprocal rank fusion scores a chunk by the sum of 1 / (60 + rank).\n");
    write("docs/crag.md", "# Corrective RAG\n\nCRAG falls back to a second retriever when nothing is relevant.\n");
    write("docs/errors.txt", "The code VORN-RAG-VALIDATION marks an invalid request.\n");
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / "idx", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  void write(const std::string& name, const std::string& bytes) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }

  Result cli(std::vector<std::string> args) {
    std::vector<std::string> all = {"vorn-rag", "--store", store_.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int code = vorn_cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
  }
  Result index(std::vector<std::string> args) {
    args.insert(args.begin(), {"index", "--no-progress"});
    return cli(std::move(args));
  }
  std::string docs() const { return (dir_ / "docs").string(); }

  fs::path dir_;
  fs::path store_;
};

TEST_F(DocumentsCliTest, FormatsKeepTitlesHeadingsAndPages) {
  write("docs/page.html",
        "<html><head><title>Install guide</title><script>var secret = 1;</script></head><body>"
        "<nav>Home About Contact</nav><h1>Installing</h1><p>Run apt install vorn to install the tool.</p></body></html>");
  write("docs/manual.pdf", vorn_test_support::minimal_pdf({"Chapter one covers apples", "Chapter two covers pears"}));
  write("docs/guide.adoc", "= Guide\n\n== Tuning\n\nRaise the chunk size for long manuals.\n");
  write("docs/notes.rst", "Notes\n=====\n\nDeployment\n----------\n\nDeploy with the container image.\n");
  write("docs/tool.cpp", "// Parses the configuration file.\nint main() {}\n");
  // Small chunks put each PDF page in chunks of its own.
  Result r = index({docs(), "--source-ext", "cpp", "--chunk-size", "30", "--chunk-overlap", "0"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Indexed 8 of 8 files"), std::string::npos) << r.out;

  const auto chunk_of = [&](const std::string& question, const std::string& source) {
    Result a = cli({"ask", question, "--json", "--retriever", "bm25", "--top-k", "3"});
    EXPECT_EQ(a.code, 0) << a.err;
    const json state = json::parse(a.out);
    for (const auto& c : state["chunks"]) {
      if (c["metadata"]["source"] == source) return c;
    }
    ADD_FAILURE() << source << " not cited for: " << question << "\n" << a.out;
    return json();
  };
  const json pears = chunk_of("Which chapter covers pears?", "docs/manual.pdf");
  EXPECT_EQ(pears["metadata"]["page"], 2) << "citations can name the page";
  EXPECT_EQ(pears["metadata"]["format"], "pdf");
  const json html = chunk_of("How do I install the tool with apt?", "docs/page.html");
  EXPECT_EQ(html["metadata"]["title"], "Install guide");
  EXPECT_EQ(html["metadata"]["heading"], "Installing");
  EXPECT_EQ(html["content"].get<std::string>().find("secret"), std::string::npos);
  EXPECT_EQ(html["content"].get<std::string>().find("Contact"), std::string::npos);
  EXPECT_EQ(chunk_of("How do I tune the chunk size?", "docs/guide.adoc")["metadata"]["heading"], "Guide > Tuning");
  EXPECT_EQ(chunk_of("How do I deploy?", "docs/notes.rst")["metadata"]["heading"], "Notes > Deployment");
  EXPECT_EQ(chunk_of("What parses the configuration file?", "docs/tool.cpp")["metadata"]["format"], "source");

  // Patterns choose among the files of a folder.
  store_ = dir_ / "only-pdf.db";
  Result only = index({docs(), "--include", "*.pdf"});
  EXPECT_NE(only.out.find("Indexed 1 of 1 files"), std::string::npos) << only.out;
}

TEST_F(DocumentsCliTest, OfficeDocumentsAreSearchableAndDamagedOnesSkipped) {
  const std::string w = "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr><w:r><w:t>Budget</w:t></w:r></w:p>"
                        "<w:p><w:r><w:t>The travel budget for the offsite is 4200 euros.</w:t></w:r></w:p>";
  write("docs/plan.docx", vorn_test_support::docx_package(w, "", "Offsite plan"));
  write("docs/broken.docx", "PK\x03\x04 not really");
  // The damaged file fails the run (exit 1) with its code; the others are indexed.
  Result r = index({docs()});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("Indexed 4 of 5 files"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("failed docs/broken.docx: [VORN-LOAD-FORMAT]"), std::string::npos) << r.out;

  Result a = cli({"ask", "How large is the travel budget?", "--json", "--retriever", "bm25", "--top-k", "1"});
  ASSERT_EQ(a.code, 0) << a.err;
  const json chunk = json::parse(a.out)["chunks"].at(0);
  EXPECT_EQ(chunk["metadata"]["source"], "docs/plan.docx");
  EXPECT_EQ(chunk["metadata"]["format"], "docx");
  EXPECT_EQ(chunk["metadata"]["title"], "Offsite plan");
  EXPECT_EQ(chunk["metadata"]["heading"], "Budget");
}

TEST_F(DocumentsCliTest, BinaryAndOtherFilesAreSkippedWithReasons) {
  write("docs/tool.txt", std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10) + std::string(2000, '\0'));
  write("docs/data.md", std::string("header\0\0\0\x01\x02", 11));
  write("docs/logo.png", "\x89PNG\r\n");
  write("docs/scan.pdf", vorn_test_support::minimal_pdf({""}));
  Result r = index({docs()});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Indexed 3 of 7 files"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Skipped 4 files: 2 binary, 1 no text, 1 unsupported type"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped " + (dir_ / "docs" / "tool.txt").string() + ": binary"), std::string::npos) << r.out;

  Result a = cli({"ask", "What does ELF header data mean?", "--top-k", "5"});
  EXPECT_EQ(a.out.find('\0'), std::string::npos) << "binary never reaches the terminal";

  // A folder holding nothing to index is a failure, and leaves no index.
  store_ = dir_ / "none" / "index.db";
  fs::create_directories(dir_ / "bin");
  write("bin/a.txt", std::string("\0\0\0", 3));
  Result none = index({(dir_ / "bin").string()});
  EXPECT_EQ(none.code, 1);
  EXPECT_NE(none.err.find("No documents to index"), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(dir_ / "none"));
}

TEST_F(DocumentsCliTest, SourcesAreFilesListedRemovedAndPruned) {
  ASSERT_EQ(index({docs()}).code, 0);
  // The same file by another name is the same source.
  Result again = index({(dir_ / "docs" / "fusion.md").string(), (dir_ / "docs" / "." / "crag.md").string()});
  EXPECT_NE(again.out.find("0 chunks added"), std::string::npos) << again.out;

  Result listed = cli({"sources", "--json"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  const json sources = json::parse(listed.out);
  ASSERT_EQ(sources.size(), 3U) << listed.out;
  EXPECT_EQ(sources[0]["path"], fs::weakly_canonical(dir_ / "docs" / "crag.md").string());
  EXPECT_GE(sources[0]["chunks"].get<int>(), 1);
  EXPECT_FALSE(sources[0]["indexed_at"].get<std::string>().empty());

  write("docs/fusion.md", "# Fusion\n\nFusion now works differently.\n");
  Result changed = index({docs()});
  EXPECT_NE(changed.out.find("1 chunk added, 1 replaced"), std::string::npos) << changed.out;

  Result removed = cli({"remove", (dir_ / "docs" / "crag.md").string(), (dir_ / "docs" / "nothing.md").string()});
  EXPECT_EQ(removed.code, 1) << "a path that named no source is reported";
  EXPECT_NE(removed.out.find("Removed 1 source ("), std::string::npos) << removed.out;
  EXPECT_NE(removed.err.find("No source at"), std::string::npos) << removed.err;

  fs::remove(dir_ / "docs" / "errors.txt");
  Result pruned = index({(dir_ / "docs" / "fusion.md").string(), "--prune"});
  ASSERT_EQ(pruned.code, 0) << pruned.out;
  EXPECT_NE(pruned.out.find("1 removed (1 source whose file is gone)"), std::string::npos) << pruned.out;
  Result left = cli({"sources"});
  EXPECT_NE(left.out.find("1 source, "), std::string::npos) << left.out;
}

TEST_F(DocumentsCliTest, OnlyASuccessfulIndexCreatesAnIndexFile) {
  EXPECT_EQ(cli({"describe"}).code, 0);
  EXPECT_EQ(index({(dir_ / "does-not-exist").string()}).code, 1);
  EXPECT_EQ(index({"--chunk-size", "0", docs()}).code, 2);
  EXPECT_EQ(index({"--chunk-size", "50", "--chunk-overlap", "50", docs()}).code, 2);
  Result ask = cli({"ask", "anything"});
  EXPECT_EQ(ask.code, 1);
  EXPECT_NE(ask.err.find("No index at"), std::string::npos) << ask.err;
  EXPECT_NE(ask.err.find("vorn-rag index"), std::string::npos) << ask.err;
  EXPECT_EQ(cli({"sources"}).code, 1);
  EXPECT_EQ(cli({"remove", docs()}).code, 1);
  EXPECT_FALSE(fs::exists(dir_ / "idx")) << "no command but a successful index creates the index";

  // A zero-byte file is no index, and index makes one of it.
  fs::create_directories(dir_ / "idx");
  std::ofstream(store_).flush();
  Result empty = cli({"ask", "anything"});
  EXPECT_NE(empty.err.find("No index at"), std::string::npos) << empty.err;
  EXPECT_EQ(index({docs()}).code, 0);
  EXPECT_EQ(cli({"ask", "What does CRAG fall back to?"}).code, 0);
}

TEST_F(DocumentsCliTest, UsageErrorsExitTwoWithPlainMessages) {
  ASSERT_EQ(index({docs()}).code, 0);
  for (const std::string question : {"", "   "}) {
    Result r = cli({"ask", question});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("The question is empty"), std::string::npos) << r.err;
  }
  for (const std::string k : {"0", "101", "-3", "many"}) {
    Result r = cli({"ask", "q", "--top-k", k});
    EXPECT_EQ(r.code, 2) << k;
    EXPECT_NE(r.err.find("from 1 to 100"), std::string::npos) << r.err;
  }
  Result version = cli({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_NE(version.out.find("vorn-rag "), std::string::npos) << version.out;

  // An index emptied by remove is no index to answer from either.
  ASSERT_EQ(cli({"remove", docs()}).code, 0);
  Result empty = cli({"ask", "What does CRAG fall back to?"});
  EXPECT_EQ(empty.code, 1);
  EXPECT_NE(empty.err.find("holds no documents"), std::string::npos) << empty.err;
}

TEST_F(DocumentsCliTest, EveryStrategyAnswersFromAtMostTopKChunksBestFirst) {
  ASSERT_EQ(index({docs()}).code, 0);
  for (const char* strategy : {"naive", "crag", "map-reduce", "routed", "agentic"}) {
    SCOPED_TRACE(strategy);
    Result r = cli({"ask", "How does fusion score a chunk and what does CRAG fall back to?", "--strategy", strategy,
                    "--top-k", "2", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json chunks = json::parse(r.out)["chunks"];
    EXPECT_LE(chunks.size(), 2U);
    for (std::size_t i = 1; i < chunks.size(); ++i) {
      EXPECT_GE(chunks[i - 1]["score"].get<double>(), chunks[i]["score"].get<double>());
    }
  }
}

// A shared index the user may only read: the file is 0444, its directory
// 0555, and (as root) the reader is another user, so SQLite can create no
// -shm or -wal file beside it.
TEST_F(DocumentsCliTest, ReadOnlyIndexAnswersWithoutWriting) {
  ASSERT_EQ(index({docs()}).code, 0);
  fs::permissions(store_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir_ / "idx", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "idx")) names.push_back(e.path().filename().string());
    return names;
  };
  const auto before = listing();

  const auto answers = [&]() {
    return cli({"ask", "What does CRAG fall back to?"}).code == 0 && cli({"describe"}).code == 0 &&
           cli({"sources"}).code == 0;
  };
  EXPECT_TRUE(answers());
  if (::geteuid() == 0) {
    // Root ignores permissions, so the check runs as nobody in a child.
    fs::permissions(dir_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
      ::_exit(dropped && answers() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ask/describe/sources as another user";
  }
  EXPECT_EQ(listing(), before) << "reading created no file beside the index";
}

TEST(ProgressPrinter, RedrawsAtMostTenTimesASecondOnATerminal) {
  using Clock = vorn_cli::ProgressPrinter::Clock;
  const Clock::time_point start{};
  std::ostringstream err;
  vorn_cli::ProgressPrinter printer(err, /*terminal=*/true, start);
  vorn_retrieval::IndexProgress p{.documents_total = 4, .chunks_total = 1000};
  for (int ms = 0; ms < 1000; ++ms) {  // a report every millisecond for a second
    p.chunks_done = static_cast<std::size_t>(ms);
    p.source = "docs/file" + std::to_string(ms / 250) + ".md";
    printer.update(p, start + std::chrono::milliseconds(ms));
  }
  const std::string drawn = err.str();
  const auto redraws = std::count(drawn.begin(), drawn.end(), '\r');
  EXPECT_GE(redraws, 5);
  EXPECT_LE(redraws, 10);
  const std::string line = vorn_cli::ProgressPrinter::render(
      {.documents_done = 1, .documents_total = 4, .chunks_done = 250, .chunks_total = 1000, .source = "docs/a.md"},
      5.0);
  EXPECT_EQ(line, "[#####...............] 1/4 files, 250/1000 chunks, 50 chunks/s, 15 s left, docs/a.md");
  EXPECT_EQ(vorn_cli::ProgressPrinter::render({.documents_done = 2,
                                               .documents_total = 9,
                                               .chunks_total = 40,
                                               .source = "docs/b.pdf",
                                               .stage = vorn_retrieval::IndexStage::reading},
                                              5.0),
            "reading 2/9 files, 40 chunks, docs/b.pdf");
}

TEST(ProgressPrinter, PlainLinesPerFinishedFileElsewhere) {
  std::ostringstream err;
  vorn_cli::ProgressPrinter printer(err, /*terminal=*/false);
  vorn_retrieval::IndexProgress p{.documents_total = 2, .chunks_total = 10, .source = "a.md"};
  printer.update({.documents_total = 2, .source = "a.md", .stage = vorn_retrieval::IndexStage::reading});
  for (std::size_t i = 1; i <= 5; ++i) printer.update({.documents_total = 2, .chunks_done = i, .chunks_total = 10});
  p.documents_done = 1;
  p.chunks_done = 5;
  printer.update(p);
  printer.finish();
  const std::string lines = err.str();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
  EXPECT_EQ(lines.find('\r'), std::string::npos);
}

}  // namespace
