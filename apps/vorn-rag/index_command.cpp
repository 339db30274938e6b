#include "index_command.hpp"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>

#include "cli_errors.hpp"
#include "components.hpp"
#include "counted.hpp"
#include "index_file.hpp"
#include "cli_hints.hpp"
#include "progress.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_retrieval/indexer.hpp"

namespace vorn_cli {
namespace {

// Above this a chunk is no longer a passage anyone would cite.
constexpr std::size_t kMaxChunkSize = 100'000;
constexpr std::size_t kMaxFileMib = 4096;
// A log of a large tree stays readable; the counts per reason are complete.
constexpr std::size_t kMaxListedSkips = 20;

vorn_retrieval::IndexerOptions indexer_options(const IndexOptions& options) {
  if (options.chunk_overlap >= options.chunk_size) {
    throw UsageError("--chunk-overlap (" + std::to_string(options.chunk_overlap) +
                     ") must be smaller than --chunk-size (" + std::to_string(options.chunk_size) + ").");
  }
  vorn_retrieval::IndexerOptions out;
  out.chunker.chunk_size = options.chunk_size;
  out.chunker.chunk_overlap = options.chunk_overlap;
  out.loader.max_file_bytes = options.max_file_mib << 20U;
  out.loader.include = options.include;
  out.loader.exclude = options.exclude;
  out.loader.source_extensions = options.source_extensions;
  out.prune = options.prune;
  return out;
}

std::string reason_text(const std::string& code) {
  namespace errc = vorn_retrieval::load_errc;
  if (code == errc::kBinary) return "binary";
  if (code == errc::kUnsupported) return "unsupported type";
  if (code == errc::kTooLarge) return "too large (see --max-file-size)";
  if (code == errc::kEmpty) return "no text";
  return code;
}

void print_summary(const vorn_retrieval::IndexSummary& s, const StoreOptions& store, std::size_t in_index,
                   std::ostream& out) {
  // "1 of 1 files": the count is of the files seen, read as a fraction.
  out << "Indexed " << s.files_indexed << " of " << s.files_seen << " files into " << store.path.string() << ": " << counted(s.chunks_added, "chunk") << " added, " << s.chunks_replaced << " replaced, " << s.chunks_skipped
      << " already there, " << s.chunks_removed << " removed";
  if (s.sources_removed > 0) {
    out << " (" << counted(s.sources_removed, "source") << (s.sources_removed == 1 ? " whose file is" : " whose files are")
        << " gone)";
  }
  out << "; " << counted(in_index, "chunk") << " in the index.\n";
  if (!s.skipped.empty()) {
    out << "Skipped " << counted(s.skipped.size(), "file") << ":";
    const char* sep = " ";
    for (const auto& [reason, count] : s.skipped_by_reason()) {
      out << sep << count << " " << reason_text(reason);
      sep = ", ";
    }
    out << "\n";
    for (std::size_t i = 0; i < s.skipped.size() && i < kMaxListedSkips; ++i) {
      out << "  skipped " << s.skipped[i].path << ": " << reason_text(s.skipped[i].reason) << " ("
          << with_cli_hints(s.skipped[i].message) << ")\n";
    }
    if (s.skipped.size() > kMaxListedSkips) out << "  ... and " << s.skipped.size() - kMaxListedSkips << " more\n";
  }
  if (!s.errors.empty()) {
    out << "Failed " << counted(s.errors.size(), "file") << ":\n";
    for (const auto& e : s.errors) {
      out << "  failed " << (e.source.empty() ? "(index)" : e.source) << ": "
          << (e.code.empty() ? "" : "[" + e.code + "] ") << with_cli_hints(e.message) << "\n";
    }
  }
}

}  // namespace

CLI::App* add_index_command(CLI::App& app, IndexOptions& o) {
  auto* cmd = app.add_subcommand(
      "index",
      "Index documents and folders: text, Markdown, HTML, PDF, AsciiDoc, reStructuredText, Word, OpenDocument, "
      "EPUB (resumable)");
  cmd->add_option("paths", o.inputs, "Files or folders")->required();
  cmd->add_option("--chunk-size", o.chunk_size, "Characters per chunk")
      ->check(CLI::Range(std::size_t{1}, kMaxChunkSize).description("from 1 to 100000"))
      ->capture_default_str();
  cmd->add_option("--chunk-overlap", o.chunk_overlap, "Characters shared by neighbouring chunks (below --chunk-size)")
      ->capture_default_str();
  cmd->add_option("--include", o.include, "Only files matching these patterns (e.g. '*.md', 'guide/*')");
  cmd->add_option("--exclude", o.exclude, "Never files matching these patterns");
  cmd->add_option("--source-ext", o.source_extensions, "Also index source files with these extensions (e.g. cpp,py)")
      ->delimiter(',');
  cmd->add_option("--max-file-size", o.max_file_mib, "Largest file to read, in MiB")
      ->check(CLI::Range(std::size_t{1}, kMaxFileMib).description("from 1 to 4096"))
      ->capture_default_str();
  cmd->add_flag("--prune", o.prune, "Also remove sources whose files no longer exist");
  cmd->add_flag("!--no-progress", o.progress, "Do not report progress");
  return cmd;
}

int index_command(const StoreOptions& store_options, const IndexOptions& options, std::ostream& out,
                  std::ostream& err) {
  const vorn_retrieval::IndexerOptions indexer_opts = indexer_options(options);
  IndexFileGuard guard(store_options.path);
  vorn_retrieval::IndexSummary summary;
  std::size_t in_index = 0;
  {
    auto store = open_writable_store(store_options);
    vorn_retrieval::Indexer indexer(store, indexer_opts);
    std::optional<ProgressPrinter> progress;
    if (options.progress) {
      progress.emplace(err, &err == &std::cerr && isatty(STDERR_FILENO));
      indexer.on_progress([&progress](const vorn_retrieval::IndexProgress& p) { progress->update(p); });
    }
    summary = vorn_core::run_sync(indexer.index(options.inputs));
    if (progress) progress->finish();
    in_index = store->size();
  }
  if (in_index > 0) guard.keep();
  print_summary(summary, store_options, in_index, out);
  if (summary.files_indexed == 0 && summary.errors.empty() && summary.sources_removed == 0) {
    err << "error [" << NoIndexError::kCode << "]: No documents to index in the paths given";
    if (!summary.skipped.empty()) err << " (every file found was skipped; see above)";
    err << ". Pass files or folders holding text, Markdown, HTML, PDF, AsciiDoc, reStructuredText, Word, "
           "OpenDocument or EPUB documents.\n";
    return 1;
  }
  return summary.ok() ? 0 : 1;
}

}  // namespace vorn_cli
