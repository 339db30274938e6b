#include "vorn_retrieval/indexer.hpp"

#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "vorn_core/error.hpp"

namespace vorn_retrieval {
namespace {

namespace fs = std::filesystem;

// "docs" for "docs", "docs/", "/work/main/docs" and "." inside docs.
std::string directory_prefix(const fs::path& input) {
  std::error_code ec;
  if (!fs::is_directory(input, ec)) return {};
  fs::path name = input.filename();
  if (name.empty()) name = input.parent_path().filename();
  if (name.empty() || name == "." || name == "..") name = fs::weakly_canonical(input, ec).filename();
  return name.generic_string();
}

IndexFileError describe(std::string source, const std::exception_ptr& error) {
  IndexFileError out;
  out.source = std::move(source);
  try {
    std::rethrow_exception(error);
  } catch (const vorn_core::BaseError& e) {
    out.code = std::string(e.code());
    out.message = e.message();
  } catch (const std::exception& e) {
    out.message = e.what();
  } catch (...) {
    out.message = "unknown error";
  }
  return out;
}

struct PendingFile {
  fs::path path;
  std::string source;
};

struct PreparedDocument {
  std::string source;
  vorn_core::ChunkList chunks;
};

vorn_core::ChunkList to_chunks(const std::vector<TextChunk>& pieces, const std::string& source,
                               const DocumentSummary& about) {
  vorn_core::ChunkList out;
  out.reserve(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    vorn_core::Dict metadata;
    metadata.set("source", source);
    if (!pieces[i].heading.empty()) metadata.set("heading", pieces[i].heading);
    // Every chunk carries its page's title and summary: a question is often
    // about what a page is for, in words only its opening uses.
    if (!about.title.empty()) metadata.set("title", about.title);
    if (!about.summary.empty()) metadata.set("summary", about.summary);
    metadata.set("chunk", static_cast<std::int64_t>(i));
    metadata.set("start", static_cast<std::int64_t>(pieces[i].start));
    metadata.set("end", static_cast<std::int64_t>(pieces[i].end));
    out.push_back(vorn_core::make_chunk(pieces[i].id, pieces[i].content, std::move(metadata)));
  }
  return out;
}

// Stored ids of a source that its new version no longer has.
std::vector<std::string> outdated(const std::vector<std::string>& stored, const vorn_core::ChunkList& current) {
  std::unordered_set<std::string_view> keep;
  for (const auto& c : current) keep.insert(c->id);
  std::vector<std::string> out;
  for (const std::string& id : stored) {
    if (!keep.count(id)) out.push_back(id);
  }
  return out;
}

TextChunker make_chunker(const ChunkerOptions& options) {
  try {
    return TextChunker(options);
  } catch (const std::invalid_argument& e) {
    throw vorn_core::ValueError(std::string("Invalid chunker options: ") + e.what() + ". Fix them and retry.");
  }
}

}  // namespace

Indexer::Indexer(vorn_datastore::WritableDataStorePtr store, IndexerOptions options)
    : store_(std::move(store)), options_(options), chunker_(make_chunker(options.chunker)), loader_(options.loader) {
  if (!store_) throw vorn_core::ValueError("Missing `store`. Pass a writable data store and retry.");
  if (!store_->accepts_writes()) {
    throw vorn_core::ValueError("The store does not accept writes (opened read-only or without an `embedder`), so "
                                "it cannot index. Open it for writing with an embedder and retry.");
  }
  if (options_.batch_size == 0) throw vorn_core::ValueError("Invalid `batch_size` 0. Set it to 1 or more and retry.");
}

Indexer& Indexer::on_progress(ProgressCallback callback) {
  progress_ = std::move(callback);
  return *this;
}

vorn_core::Task<IndexSummary> Indexer::index(std::vector<fs::path> inputs) {
  IndexSummary summary;

  // Discovery: every file once, and one file per source id.
  std::vector<PendingFile> files;
  std::set<fs::path> seen_files;
  std::map<std::string, fs::path> seen_ids;
  for (const fs::path& input : inputs) {
    std::vector<std::pair<fs::path, std::string>> found;
    try {
      found = loader_.discover(input);
    } catch (...) {
      summary.errors.push_back(describe(input.string(), std::current_exception()));
      continue;
    }
    const std::string prefix = directory_prefix(input);
    for (auto& [file, relative] : found) {
      std::string source = prefix.empty() ? relative : prefix + "/" + relative;
      std::error_code ec;
      fs::path canonical = fs::weakly_canonical(file, ec);
      if (ec) canonical = file;
      if (!seen_files.insert(canonical).second) continue;
      ++summary.files_seen;
      const auto [it, fresh] = seen_ids.emplace(source, file);
      if (!fresh) {
        IndexFileError clash;
        clash.source = source;
        clash.code = load_errc::kDuplicate;
        clash.message = "Files '" + it->second.string() + "' and '" + file.string() + "' both have the source id '" +
                        source + "'. The second was skipped; index them in separate stores or rename one.";
        summary.errors.push_back(std::move(clash));
        continue;
      }
      PendingFile pending;
      pending.path = file;
      pending.source = std::move(source);
      files.push_back(std::move(pending));
    }
  }

  // Loading and chunking first gives the progress report its totals.
  std::vector<PreparedDocument> documents;
  std::size_t chunks_total = 0;
  for (const PendingFile& f : files) {
    try {
      const Document doc = loader_.load_file(f.path, f.source);
      PreparedDocument prepared;
      prepared.source = f.source;
      const DocumentFormat format =
          doc.markdown ? DocumentFormat::kMarkdown : detect_format(f.path.filename().string(), doc.text);
      prepared.chunks =
          to_chunks(chunker_.chunk(doc.text, doc.source_id, format), f.source, summarize_document(doc.text, format));
      chunks_total += prepared.chunks.size();
      documents.push_back(std::move(prepared));
    } catch (...) {
      summary.errors.push_back(describe(f.source, std::current_exception()));
    }
  }

  // What each source held before this run, to drop its outdated chunks.
  std::unordered_map<std::string, std::vector<std::string>> stored_ids;
  if (!documents.empty()) {
    try {
      stored_ids = store_->ids_by_metadata("source");
    } catch (...) {
      // Without the listing nothing is pruned; storing can still work.
      summary.errors.push_back(describe("", std::current_exception()));
    }
  }

  IndexProgress progress;
  progress.documents_total = documents.size();
  progress.chunks_total = chunks_total;
  for (PreparedDocument& doc : documents) {
    progress.source = doc.source;
    const std::size_t done_before = progress.chunks_done;
    std::exception_ptr failure;
    for (std::size_t begin = 0; begin < doc.chunks.size() && !failure; begin += options_.batch_size) {
      const std::size_t end = std::min(doc.chunks.size(), begin + options_.batch_size);
      vorn_core::ChunkList batch(doc.chunks.begin() + static_cast<std::ptrdiff_t>(begin),
                                 doc.chunks.begin() + static_cast<std::ptrdiff_t>(end));
      try {
        const vorn_datastore::IngestResult r = co_await store_->ingest(std::move(batch));
        summary.chunks_added += r.added;
        summary.chunks_skipped += r.skipped;
      } catch (...) {
        failure = std::current_exception();
      }
      progress.chunks_done += end - begin;
      if (progress_) progress_(progress);
    }
    if (!failure) {
      try {
        summary.chunks_removed += store_->remove(outdated(stored_ids[doc.source], doc.chunks));
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) {
      summary.errors.push_back(describe(doc.source, failure));
    } else {
      ++summary.files_indexed;
    }
    // A failed document's unstored chunks are done with too.
    progress.chunks_done = done_before + doc.chunks.size();
    ++progress.documents_done;
    if (progress_) progress_(progress);
  }
  co_return summary;
}

}  // namespace vorn_retrieval
