#include "vorn_retrieval/indexer.hpp"

#include <map>
#include <span>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "vorn_core/error.hpp"
#include "page_references.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/sources.hpp"

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

// Load failures that say the file is not a document we read, rather than
// that reading it went wrong.
bool is_skip_reason(std::string_view code) {
  return code == load_errc::kBinary || code == load_errc::kUnsupported || code == load_errc::kTooLarge ||
         code == load_errc::kEmpty;
}

struct PendingFile {
  fs::path path;
  std::string source;    // name
  std::string identity;  // resolved path
};

struct PreparedDocument {
  std::string identity;
  std::string source;
  vorn_core::ChunkList chunks;
  // Kept until what the other pages say about this one has been gathered.
  std::string file_name;
  std::string text;
  std::vector<TextLink> links;
};

bool blank(std::string_view text) { return text.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos; }

// How the chunker reads a document's text.
DocumentFormat chunk_format(const Document& doc) {
  switch (doc.type) {
    case FileType::markdown:
    case FileType::html:  // HTML and office headings arrive as Markdown heading lines
    case FileType::word_document:
    case FileType::open_document:
    case FileType::epub_book: return DocumentFormat::kMarkdown;
    case FileType::asciidoc:
    case FileType::restructured_text: return DocumentFormat::kLightMarkup;
    case FileType::text:  // a manual page arrives as Markdown
      return doc.markdown ? DocumentFormat::kMarkdown : detect_format(doc.path.filename().string(), doc.text);
    case FileType::pdf:
    case FileType::source_code: return DocumentFormat::kPlain;
  }
  return DocumentFormat::kPlain;
}

vorn_core::ChunkList to_chunks(const std::vector<TextChunk>& pieces, const Document& doc, const std::string& identity,
                               const DocumentSummary& about) {
  vorn_core::ChunkList out;
  out.reserve(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    vorn_core::Dict metadata;
    metadata.set("source", doc.source_id);
    metadata.set("path", identity);
    metadata.set("format", std::string(to_string(doc.type)));
    if (!doc.page_starts.empty()) {
      const std::size_t first = page_at(doc.page_starts, pieces[i].start);
      const std::size_t last = page_at(doc.page_starts, pieces[i].end == 0 ? 0 : pieces[i].end - 1);
      metadata.set("page", static_cast<std::int64_t>(first));
      if (last != first) metadata.set("page_end", static_cast<std::int64_t>(last));
    }
    if (!pieces[i].heading.empty()) metadata.set("heading", pieces[i].heading);
    if (pieces[i].opens_in_code) metadata.set("opens_in_code", true);
    // Every chunk carries its page's title and summary: a question is often
    // about what a page is for, in words only its opening uses. A title the
    // file declares (HTML <title>, PDF Title) comes first.
    if (!doc.title.empty()) {
      metadata.set("title", doc.title);
    } else if (!about.title.empty()) {
      metadata.set("title", about.title);
    }
    if (!about.summary.empty()) metadata.set("summary", about.summary);
    metadata.set("chunk", static_cast<std::int64_t>(i));
    metadata.set("start", static_cast<std::int64_t>(pieces[i].start));
    metadata.set("end", static_cast<std::int64_t>(pieces[i].end));
    out.push_back(vorn_core::make_chunk(pieces[i].id, pieces[i].content, std::move(metadata)));
  }
  return out;
}

// What the other pages of this run say about each page, as its first
// chunk's "anchor_text". The store counts it in the page's term row, which
// orders the pages a search finds; it is not searchable text of the chunk
// (eval/: there it made a page's opening chunk stand for the page and
// answers cite the right page less often). Pages indexed in earlier runs
// are not read again, so they neither gain nor give such text here, and a
// chunk stored unchanged keeps the text it was stored with.
void attach_anchor_text(std::vector<PreparedDocument>& documents) {
  std::vector<ReferencingPage> pages;
  pages.reserve(documents.size());
  for (const PreparedDocument& doc : documents) {
    std::string title;
    if (!doc.chunks.empty()) {
      if (const vorn_core::Value* t = doc.chunks.front()->metadata.find("title"); t != nullptr && t->is_string()) {
        title = t->as_string();
      }
    }
    pages.push_back({doc.file_name, doc.text, std::move(title), doc.links});
  }
  std::vector<std::string> anchors = gather_anchor_text(pages);
  for (std::size_t i = 0; i < documents.size(); ++i) {
    PreparedDocument& doc = documents[i];
    if (!anchors[i].empty() && !doc.chunks.empty()) doc.chunks.front()->metadata.set("anchor_text", std::move(anchors[i]));
    doc.text = {};
    doc.links = {};
  }
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
    throw vorn_core::InvalidValueError(std::string("Invalid chunker options: ") + e.what() + ". Fix them and retry.");
  }
}

// Every file once (by identity), and one file per source name.
std::vector<PendingFile> discover_inputs(const DocumentLoader& loader, const std::vector<fs::path>& inputs,
                                         IndexSummary& summary) {
  std::vector<PendingFile> files;
  std::set<std::string> seen_files;
  std::map<std::string, fs::path> seen_names;
  for (const fs::path& input : inputs) {
    Discovery found;
    try {
      found = loader.discover_all(input);
    } catch (const LoadError& e) {
      if (e.code() == load_errc::kUnsupported && fs::is_regular_file(input)) {
        ++summary.files_seen;
        summary.skipped.push_back({input.string(), std::string(e.code()), e.message()});
      } else {
        summary.errors.push_back(describe(input.string(), std::current_exception()));
      }
      continue;
    } catch (...) {
      summary.errors.push_back(describe(input.string(), std::current_exception()));
      continue;
    }
    for (const fs::path& file : found.unsupported) {
      if (!seen_files.insert(source_identity(file)).second) continue;
      ++summary.files_seen;
      summary.skipped.push_back({file.string(), load_errc::kUnsupported, "not a format this indexer reads"});
    }
    const std::string prefix = directory_prefix(input);
    for (auto& [file, relative] : found.files) {
      std::string identity = source_identity(file);
      if (!seen_files.insert(identity).second) continue;
      ++summary.files_seen;
      std::string source = prefix.empty() ? relative : prefix + "/" + relative;
      const auto [it, fresh] = seen_names.emplace(source, file);
      if (!fresh) {
        IndexFileError clash;
        clash.source = source;
        clash.code = load_errc::kDuplicate;
        clash.message = "Files '" + it->second.string() + "' and '" + file.string() + "' both have the source name '" +
                        source + "'. The second was skipped; index them in separate runs or rename one.";
        summary.errors.push_back(std::move(clash));
        continue;
      }
      files.push_back({file, std::move(source), std::move(identity)});
    }
  }
  return files;
}

// The storing stage's state, shared by the ways of storing documents.
struct StoringRun {
  vorn_datastore::WritableDataStore& store;
  std::size_t batch_size;
  const Indexer::ProgressCallback& report;
  IndexSummary& summary;
  std::unordered_map<std::string, std::vector<std::string>>& stored_ids;
  std::string now;
  IndexProgress progress{};

  void notify() const {
    if (report) report(progress);
  }
  std::pair<std::string, std::string> indexed_at(const PreparedDocument& doc) const {
    return {std::string(kIndexedAtKeyPrefix) + doc.identity, now};
  }
};

// Where the group of documents starting at `first` ends: documents are
// stored together while their chunks fit in one batch. A transaction costs a
// rewrite of every database page it touches (full-text segments above all),
// so one per small file made most of the time of indexing many small files.
std::size_t group_end(const std::vector<PreparedDocument>& documents, std::size_t first, std::size_t batch_size) {
  std::size_t last = first + 1;
  std::size_t chunks = documents[first].chunks.size();
  while (last < documents.size() && chunks + documents[last].chunks.size() <= batch_size) {
    chunks += documents[last].chunks.size();
    ++last;
  }
  return last;
}

// Stores one document: its chunks in batches, then the removal of what its
// earlier version had and its indexing time. A failure is the document's.
vorn_core::Task<void> store_alone(StoringRun& run, PreparedDocument& doc) {
  run.progress.source = doc.source;
  const std::size_t done_before = run.progress.chunks_done;
  std::exception_ptr failure;
  for (std::size_t begin = 0; begin < doc.chunks.size() && !failure; begin += run.batch_size) {
    const std::size_t end = std::min(doc.chunks.size(), begin + run.batch_size);
    vorn_core::ChunkList batch(doc.chunks.begin() + static_cast<std::ptrdiff_t>(begin),
                               doc.chunks.begin() + static_cast<std::ptrdiff_t>(end));
    try {
      const vorn_datastore::IngestResult r = co_await run.store.ingest(std::move(batch));
      run.summary.chunks_added += r.added;
      run.summary.chunks_skipped += r.skipped;
    } catch (...) {
      failure = std::current_exception();
    }
    run.progress.chunks_done += end - begin;
    run.notify();
  }
  if (!failure) {
    try {
      run.summary.chunks_replaced += run.store.remove(outdated(run.stored_ids[doc.identity], doc.chunks));
      run.store.set_index_metadata_many({run.indexed_at(doc)});
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    run.summary.errors.push_back(describe(doc.source, failure));
  } else {
    ++run.summary.files_indexed;
  }
  // A failed document's unstored chunks are done with too.
  run.progress.chunks_done = done_before + doc.chunks.size();
  ++run.progress.documents_done;
  run.notify();
}

// Stores several small documents as one batch, then their removals and
// indexing times as one more write. False when the batch was refused:
// nothing of it is stored, and storing the documents one by one tells which
// of them failed. A failure after the batch (the store cannot be written)
// is every document's.
vorn_core::Task<bool> store_together(StoringRun& run, std::span<PreparedDocument> group) {
  vorn_core::ChunkList batch;
  for (const PreparedDocument& doc : group) batch.insert(batch.end(), doc.chunks.begin(), doc.chunks.end());
  const std::size_t chunks = batch.size();
  vorn_datastore::IngestResult stored;
  try {
    stored = co_await run.store.ingest(std::move(batch));
  } catch (...) {
    co_return false;
  }
  run.summary.chunks_added += stored.added;
  run.summary.chunks_skipped += stored.skipped;
  run.progress.source = group.front().source;
  run.progress.chunks_done += chunks;
  run.notify();

  std::exception_ptr failure;
  try {
    std::vector<std::string> replaced;
    std::vector<std::pair<std::string, std::string>> stamps;
    for (const PreparedDocument& doc : group) {
      for (std::string& id : outdated(run.stored_ids[doc.identity], doc.chunks)) replaced.push_back(std::move(id));
      stamps.push_back(run.indexed_at(doc));
    }
    run.summary.chunks_replaced += run.store.remove(replaced);
    run.store.set_index_metadata_many(stamps);
  } catch (...) {
    failure = std::current_exception();
  }
  for (const PreparedDocument& doc : group) {
    if (failure) {
      run.summary.errors.push_back(describe(doc.source, failure));
    } else {
      ++run.summary.files_indexed;
    }
    run.progress.source = doc.source;
    ++run.progress.documents_done;
    run.notify();
  }
  co_return true;
}

}  // namespace

std::map<std::string, std::size_t> IndexSummary::skipped_by_reason() const {
  std::map<std::string, std::size_t> out;
  for (const SkippedFile& s : skipped) ++out[s.reason];
  return out;
}

Indexer::Indexer(vorn_datastore::WritableDataStorePtr store, IndexerOptions options)
    : store_(std::move(store)), options_(options), chunker_(make_chunker(options.chunker)), loader_(options.loader) {
  if (!store_) throw vorn_core::InvalidValueError("Missing `store`. Pass a writable data store and retry.");
  if (!store_->accepts_writes()) {
    throw vorn_core::InvalidValueError("The store does not accept writes (opened read-only or without an `embedder`), so "
                                "it cannot index. Open it for writing with an embedder and retry.");
  }
  if (options_.batch_size == 0) throw vorn_core::InvalidValueError("Invalid `batch_size` 0. Set it to 1 or more and retry.");
}

Indexer& Indexer::on_progress(ProgressCallback callback) {
  progress_ = std::move(callback);
  return *this;
}

vorn_core::Task<IndexSummary> Indexer::index(std::vector<fs::path> inputs) {
  IndexSummary summary;
  std::vector<PendingFile> files = discover_inputs(loader_, inputs, summary);

  // What each source held before this run, to drop its outdated chunks.
  std::unordered_map<std::string, std::vector<std::string>> stored_ids;
  if (!files.empty()) {
    try {
      stored_ids = store_->ids_by_metadata("path");
    } catch (...) {
      // Without the listing nothing is replaced; storing can still work.
      summary.errors.push_back(describe("", std::current_exception()));
    }
  }
  // A source keeps the name it was first indexed under, so naming the file
  // differently later neither re-embeds it nor changes its citations.
  for (PendingFile& f : files) {
    const auto it = stored_ids.find(f.identity);
    if (it == stored_ids.end() || it->second.empty()) continue;
    const std::string& id = it->second.front();
    if (const std::size_t hash = id.rfind('#'); hash != std::string::npos && hash > 0) f.source = id.substr(0, hash);
  }

  // Loading and chunking first gives the progress report its totals.
  std::vector<PreparedDocument> documents;
  std::size_t chunks_total = 0;
  IndexProgress reading{.documents_total = files.size(), .stage = IndexStage::reading};
  for (const PendingFile& f : files) {
    if (progress_) {
      // Before the file, so a large one being read is the one shown.
      reading.chunks_total = chunks_total;
      reading.source = f.source;
      progress_(reading);
    }
    ++reading.documents_done;
    try {
      const Document doc = loader_.load_file(f.path, f.source);
      if (blank(doc.text)) {
        summary.skipped.push_back({f.path.string(), load_errc::kEmpty,
                                   doc.type == FileType::pdf ? "no text in it (a scanned PDF?)" : "no text in it"});
        continue;
      }
      const DocumentFormat format = chunk_format(doc);
      PreparedDocument prepared{f.identity, f.source,
                                to_chunks(chunker_.chunk(doc.text, doc.source_id, format), doc, f.identity,
                                          summarize_document(doc.text, format)),
                                f.path.filename().string(), doc.text, doc.links};
      chunks_total += prepared.chunks.size();
      documents.push_back(std::move(prepared));
    } catch (const LoadError& e) {
      if (is_skip_reason(e.code())) {
        summary.skipped.push_back({f.path.string(), std::string(e.code()), e.message()});
      } else {
        summary.errors.push_back(describe(f.source, std::current_exception()));
      }
    } catch (...) {
      summary.errors.push_back(describe(f.source, std::current_exception()));
    }
  }

  attach_anchor_text(documents);

  StoringRun run{*store_, options_.batch_size, progress_, summary, stored_ids, utc_timestamp()};
  run.progress.documents_total = documents.size();
  run.progress.chunks_total = chunks_total;
  for (std::size_t first = 0; first < documents.size();) {
    const std::size_t last = group_end(documents, first, options_.batch_size);
    const std::span<PreparedDocument> group(documents.data() + first, last - first);
    if (group.size() == 1 || !co_await store_together(run, group)) {
      for (PreparedDocument& doc : group) co_await store_alone(run, doc);
    }
    first = last;
  }

  if (options_.prune) {
    try {
      const SourceRemoval pruned = prune_sources(*store_);
      summary.chunks_removed += pruned.chunks;
      summary.sources_removed += pruned.sources;
    } catch (...) {
      summary.errors.push_back(describe("", std::current_exception()));
    }
  }
  co_return summary;
}

}  // namespace vorn_retrieval
