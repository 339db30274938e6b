// Indexing a Word document against the same text as Markdown: what reading
// the zip package and its XML adds to indexing. About 2 MB of text in
// sections and paragraphs, each paragraph split into runs as Word writes
// them; both through the Indexer into a fresh store each repetition.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "harness.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/indexer.hpp"
#include "zip_package.hpp"

namespace vorn_bench {
namespace {

namespace fs = std::filesystem;

const char* const kWords[] = {"the",    "a",      "of",     "table",   "index",  "query",  "server", "file",
                              "copy",   "option", "value",  "column",  "return", "list",   "backup", "restore",
                              "memory", "disk",   "thread", "archive", "format", "parse",  "error",  "setting"};

struct Book {
  fs::path dir = fs::temp_directory_path() / ("vorn_package_bench_" + std::to_string(::getpid()));
  std::size_t bytes = 0;  // of the Markdown text

  Book() {
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
    std::string markdown;
    std::string body;
    const auto paragraph = [&](const std::string& style, const std::string& runs) {
      body += "<w:p>" + (style.empty() ? "" : "<w:pPr><w:pStyle w:val=\"" + style + "\"/></w:pPr>") + runs + "</w:p>";
    };
    const auto run = [](const std::string& text) {
      return "<w:r><w:rPr><w:lang w:val=\"en-US\"/></w:rPr><w:t xml:space=\"preserve\">" + text + "</w:t></w:r>";
    };
    for (int section = 0; markdown.size() < 2'000'000; ++section) {
      const std::string heading = "Section " + std::to_string(section) + " " + kWords[word(rng)];
      markdown += "## " + heading + "\n\n";
      paragraph("Heading2", run(heading));
      for (int p = 0; p < 6; ++p) {
        std::string text;
        std::string runs;
        for (int s = 0; s < 5; ++s) {
          std::string sentence;
          for (int w = 0; w < 14; ++w) sentence += std::string(w ? " " : "") + kWords[word(rng)];
          sentence += s < 4 ? ". " : ".";
          text += sentence;
          runs += run(sentence);
        }
        markdown += text + "\n\n";
        paragraph("", runs);
      }
    }
    bytes = markdown.size();
    fs::remove_all(dir);
    fs::create_directories(dir / "md");
    fs::create_directories(dir / "docx");
    std::ofstream(dir / "md" / "book.md", std::ios::binary) << markdown;
    std::ofstream(dir / "docx" / "book.docx", std::ios::binary)
        << vorn_test_support::docx_package(
               body, "<w:style w:type=\"paragraph\" w:styleId=\"Heading2\"><w:name w:val=\"heading 2\"/></w:style>");
  }
  ~Book() { fs::remove_all(dir); }
};

Book& book() {
  static Book b;
  return b;
}

void index_folder(benchmark::State& state, const char* folder) {
  Book& b = book();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path db = b.dir / (std::string(folder) + ".db");
    for (const char* suffix : {"", "-wal", "-shm", "-vectors"}) fs::remove(db.string() + suffix);
    auto store = vorn_datastore::SqliteDataStore::open(db, std::make_shared<vorn_inference::HashingEmbedder>(384));
    state.ResumeTiming();
    vorn_retrieval::Indexer indexer(store);
    benchmark::DoNotOptimize(vorn_core::run_sync(indexer.index({b.dir / folder})));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * b.bytes));
}

}  // namespace

void register_package_benchmarks() {
  benchmark::RegisterBenchmark("package/index_docx_2MB", index_folder, "docx")
      ->Iterations(1)
      ->Repetitions(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("package/index_markdown_2MB", index_folder, "md")
      ->Iterations(1)
      ->Repetitions(3)
      ->Unit(benchmark::kMillisecond);
  add_ratio_figure("Indexing a 2 MB Word document (CPU time; baseline: the same text as Markdown)",
                   "package/index_docx_2MB/iterations:1/repeats:3", "package/index_markdown_2MB/iterations:1/repeats:3",
                   0);
}

}  // namespace vorn_bench
