// Builds or updates a writable data store from files: load (the formats of
// DocumentLoader, directories walked recursively) -> chunk -> embed -> store,
// in batches. Re-running over the same files is cheap and safe: chunks already
// stored with the same id and content are skipped before embedding, so an
// interrupted run resumes where it stopped.
//
// One file is one source, identified by its resolved path (see sources.hpp),
// however it was named on the command line. When a file changed, the chunks
// of its old version are removed once the new ones are stored, so answers
// never quote text that is no longer there. Files that are not documents
// (binary content, unsupported formats, too large, no text) are skipped and
// listed with their reason; a file that cannot be read, chunked or stored is
// reported as an error and the run goes on (its stored chunks are left as
// they were). Small files are stored several to a write, all or none; when
// such a write fails, its files are stored one by one so that the error
// names the file it belongs to.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vorn_core/task.hpp"
#include "vorn_datastore/writable_data_store.hpp"
#include "vorn_retrieval/document_loader.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace vorn_retrieval {

struct IndexerOptions {
  ChunkerOptions chunker;
  LoaderOptions loader;
  // Chunks per embedding call and per write: a large file is stored in
  // batches of this many chunks, small files several to a batch up to it.
  std::size_t batch_size = 256;
  // Also remove the sources whose files no longer exist.
  bool prune = false;
};

// Indexing runs in two stages: every file is read and cut into chunks first
// (which gives the totals), then the chunks are embedded and stored.
enum class IndexStage { reading, storing };

struct IndexProgress {
  // Reading: files read so far of those found. Storing: documents stored of
  // those read.
  std::size_t documents_done = 0;
  std::size_t documents_total = 0;
  std::size_t chunks_done = 0;  // stored or skipped; 0 while reading
  std::size_t chunks_total = 0;  // while reading: the chunks cut so far
  std::string source;           // the file being read or the document being stored
  IndexStage stage = IndexStage::storing;
};

struct IndexFileError {
  std::string source;  // source id, or the input path when it has none
  std::string code;    // VORN-LOAD-..., VORN-STORE-..., another typed error's code, or "" for an untyped failure
  std::string message;
};

// A file passed over because it is not a document this indexer reads.
struct SkippedFile {
  std::string path;    // as found
  std::string reason;  // load_errc code: VORN-LOAD-BINARY, -UNSUPPORTED, -TOO-LARGE or -EMPTY
  std::string message;
};

struct IndexSummary {
  std::size_t files_seen = 0;     // files found under the inputs, skipped ones included
  std::size_t files_indexed = 0;  // files whose chunks are all stored now
  std::size_t chunks_added = 0;
  std::size_t chunks_skipped = 0;   // already stored
  std::size_t chunks_replaced = 0;  // of earlier versions of the files indexed, removed
  std::size_t chunks_removed = 0;   // of sources pruned
  std::size_t sources_removed = 0;  // pruned
  std::vector<SkippedFile> skipped;
  std::vector<IndexFileError> errors;
  bool ok() const noexcept { return errors.empty(); }
  // Skipped files per reason.
  std::map<std::string, std::size_t> skipped_by_reason() const;
};

class Indexer {
 public:
  using ProgressCallback = std::function<void(const IndexProgress&)>;

  // Throws `ValueError` for an absent store, a store that does not accept
  // writes (e.g. opened without an embedder), a batch size of 0, or chunker
  // options it cannot use.
  explicit Indexer(vorn_datastore::WritableDataStorePtr store, IndexerOptions options = {});

  // Called before each file is read, after every stored batch and once per
  // stored document.
  Indexer& on_progress(ProgressCallback callback);

  // Indexes files and directory trees. Source names are the file name for a
  // file given directly and "<directory name>/<relative path>" for files
  // under a directory given ("docs/design.md"), and a source already in the
  // store keeps the name it has; chunk ids are
  // "<source name>#<index>-<content hash>". Chunk metadata: "source" (the
  // name), "path" (the identity), "format", "title" (when the document has
  // one), "page" (PDF: the page the chunk starts on, and "page_end" when it
  // ends on a later one), "heading" (heading
  // path, when there is one), "chunk" (index), "start" and "end" (byte
  // offsets); a page's first chunk also holds "anchor_text", what the other
  // files of the run say where they refer to it (links, cross-references,
  // mentions of its title), when any do. Problems with single inputs or files go to the summary;
  // failures of the whole store (it cannot be written at all) also end up
  // there, once per file.
  vorn_core::Task<IndexSummary> index(std::vector<std::filesystem::path> inputs);

  const IndexerOptions& options() const noexcept { return options_; }

 private:
  vorn_datastore::WritableDataStorePtr store_;
  IndexerOptions options_;
  TextChunker chunker_;
  DocumentLoader loader_;
  ProgressCallback progress_;
};

}  // namespace vorn_retrieval
