// Writing to a SqliteChunkStore: add_batch, remove and index metadata. Each
// write is one transaction; the in-memory vectors change only after its
// commit, and nothing after the commit can fail, so the file and the memory
// never disagree.
#include <algorithm>
#include <bit>
#include <cmath>
#include <set>

#include "errors.hpp"
#include "fts_query.hpp"
#include "page_index.hpp"
#include "row_codec.hpp"
#include "schema.hpp"
#include "store_impl.hpp"
#include "vector_code.hpp"
#include "vector_stamp.hpp"

namespace vorn_datastore {

using nlohmann::json;
using sqlite::Connection;
using sqlite::quoted;
using sqlite::Stmt;
using sqlite::Transaction;

namespace {

// A batch checked and converted before the file is touched, so bad input
// never costs a transaction and the error names the offending chunk.
struct PreparedBatch {
  std::size_t dimension = 0;
  std::vector<float> vectors;         // chunk i at [i * dimension, (i + 1) * dimension), L2-normalised
  std::vector<std::string> metadata;  // JSON text per chunk

  std::span<const float> vector(std::size_t i) const { return {vectors.data() + i * dimension, dimension}; }
};

StoreError bad_input(const std::vector<StoredChunk>& chunks, std::size_t i, const std::string& why) {
  return StoreError(store_errc::kInput, "Chunk '" + chunks[i].id + "' (item " + std::to_string(i) +
                                            " of the batch) " + why + " Nothing from this batch was stored.");
}

std::string metadata_text(const std::vector<StoredChunk>& chunks, std::size_t i) {
  const json& metadata = chunks[i].metadata;
  if (metadata.is_null()) return "{}";
  if (!metadata.is_object()) throw bad_input(chunks, i, "has metadata that is not a JSON object.");
  try {
    return metadata.dump();
  } catch (const json::exception&) {
    throw bad_input(chunks, i, "has metadata with invalid UTF-8 text.");
  }
}

PreparedBatch prepare_batch(const std::vector<StoredChunk>& chunks, std::size_t dim) {
  PreparedBatch batch;
  batch.dimension = dim;
  batch.vectors.resize(chunks.size() * dim);
  batch.metadata.resize(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const StoredChunk& ch = chunks[i];
    if (ch.id.empty()) throw bad_input(chunks, i, "has an empty id; give every chunk a unique id.");
    if (ch.embedding.size() != dim || dim == 0) {
      throw bad_input(chunks, i,
                      "has an embedding of " + std::to_string(ch.embedding.size()) + " values but the store holds " +
                          std::to_string(dim) +
                          "-dimensional embeddings. Embed with the model the store was built with, or use a new "
                          "store.");
    }
    if (!std::all_of(ch.embedding.begin(), ch.embedding.end(), [](float x) { return std::isfinite(x); })) {
      throw bad_input(chunks, i, "has NaN or infinite embedding values; check the embedder output.");
    }
    std::span<float> v(batch.vectors.data() + i * dim, dim);
    std::copy(ch.embedding.begin(), ch.embedding.end(), v.begin());
    VectorIndex::l2_normalize(v);
    batch.metadata[i] = metadata_text(chunks, i);
  }
  return batch;
}

// The first batch of a new store fixes its dimension, unless another process
// fixed a different one since we opened.
void record_dimension(Connection& c, std::size_t dim) {
  const std::string stored = sqlite::read_meta(c, "dimension").value_or("0");
  if (stored != "0" && stored != std::to_string(dim)) {
    throw StoreError(store_errc::kDimension, "Store " + quoted(c.path()) + " now holds " + stored +
                                                 "-dimensional embeddings, not " + std::to_string(dim) +
                                                 ". Reopen the store and embed with the matching model.");
  }
  sqlite::write_meta(c, "dimension", std::to_string(dim));
}

// After a removal SQLite would hand the highest removed seq out again, and
// another process that still holds the removed chunk's vector under that seq
// would then return the new chunk for it. Seqs continue above the highest one
// ever removed instead. 0: SQLite may pick.
std::int64_t first_free_seq(Connection& c) {
  Stmt high = c.prepare("SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'seq_high_water'");
  if (!high.step("Reading the chunk counter")) return 0;
  const std::int64_t removed_max = high.int64(0);
  Stmt top = c.prepare("SELECT coalesce(max(seq), 0) FROM chunks");
  top.step("Reading the chunk counter");
  return removed_max >= top.int64(0) ? removed_max + 1 : 0;
}

struct AddedRow {
  std::int64_t seq;
  std::size_t item;  // index in the batch
  std::uint32_t tokens;
  std::vector<std::byte> code;  // as stored, for the in-memory copy
};

// Inserts the chunk row and its text index entry; nullopt when the id is
// already stored (the row is left alone).
std::optional<AddedRow> insert_chunk(Connection& c, const StoredChunk& ch, std::string_view metadata,
                                     std::span<const float> vector, std::int64_t seq_hint, std::size_t item) {
  std::vector<float> swapped;
  std::span<const float> stored = vector;
  if constexpr (std::endian::native != std::endian::little) {
    swapped.assign(vector.begin(), vector.end());
    sqlite::to_little_endian(swapped);
    stored = swapped;
  }
  {
    Stmt ins = c.prepare(
        "INSERT INTO chunks(seq, id, content, metadata, content_hash, embedding) VALUES (?6, ?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT(id) DO NOTHING");
    ins.bind(1, std::string_view(ch.id));
    ins.bind(2, std::string_view(ch.content));
    ins.bind(3, metadata);
    ins.bind(4, static_cast<std::int64_t>(chunk_content_hash(ch.id, ch.content)));
    ins.bind_blob(5, stored.data(), stored.size() * sizeof(float));
    if (seq_hint > 0) {
      ins.bind(6, seq_hint);
    } else {
      ins.bind_null(6);
    }
    ins.step("Storing a chunk");
    if (sqlite3_changes(c.db()) != 1) return std::nullopt;
  }
  const std::int64_t seq = sqlite3_last_insert_rowid(c.db());
  std::vector<std::byte> code = sqlite::encode_code(vector);
  {
    Stmt ins = c.prepare("INSERT INTO vector_codes(seq, code) VALUES (?1, ?2)");
    ins.bind(1, seq);
    ins.bind_blob(2, code.data(), code.size());
    ins.step("Storing a chunk vector");
  }
  const sqlite::FtsFields fields = sqlite::fts_fields(ch.metadata);
  Stmt fts = c.prepare("INSERT INTO chunks_fts(rowid, title, heading, content) VALUES (?1, ?2, ?3, ?4)");
  fts.bind(1, seq);
  fts.bind(2, std::string_view(fields.title));
  fts.bind(3, std::string_view(fields.heading));
  fts.bind(4, std::string_view(ch.content));
  fts.step("Indexing chunk text");
  Stmt size = c.prepare("SELECT sz FROM chunks_fts_docsize WHERE id = ?1");
  size.bind(1, seq);
  const std::uint32_t tokens = size.step("Reading text statistics") ? sqlite::varint_sum(size.blob(0)) : 0;
  return AddedRow{seq, item, tokens, std::move(code)};
}

bool stored_with_same_content(Connection& c, const StoredChunk& ch) {
  Stmt existing = c.prepare("SELECT content_hash, content FROM chunks WHERE id = ?1");
  existing.bind(1, std::string_view(ch.id));
  return existing.step("Reading a stored chunk") &&
         existing.int64(0) == static_cast<std::int64_t>(chunk_content_hash(ch.id, ch.content)) &&
         existing.text(1) == ch.content;
}

// Deletes the rows of `ids` (and their text index entries); returns the seqs
// that went. A contentless FTS table forgets a row only when told the text
// it indexed.
std::vector<std::int64_t> delete_rows(Connection& c, const std::vector<std::string>& ids) {
  std::vector<std::int64_t> removed;
  for (const std::string& id : ids) {
    std::int64_t seq = 0;
    std::string content;
    sqlite::FtsFields fields;
    {
      Stmt find = c.prepare("SELECT seq, content, metadata FROM chunks WHERE id = ?1");
      find.bind(1, std::string_view(id));
      if (!find.step("Looking up a chunk")) continue;
      seq = find.int64(0);
      content = std::string(find.text(1));
      fields = sqlite::fts_fields(sqlite::parse_metadata(find.text(2), c.path()));
    }
    {
      Stmt unindex = c.prepare(
          "INSERT INTO chunks_fts(chunks_fts, rowid, title, heading, content) VALUES ('delete', ?1, ?2, ?3, ?4)");
      unindex.bind(1, seq);
      unindex.bind(2, std::string_view(fields.title));
      unindex.bind(3, std::string_view(fields.heading));
      unindex.bind(4, std::string_view(content));
      unindex.step("Removing chunk text from the index");
    }
    Stmt del = c.prepare("DELETE FROM chunks WHERE seq = ?1");
    del.bind(1, seq);
    del.step("Removing a chunk");
    Stmt del_code = c.prepare("DELETE FROM vector_codes WHERE seq = ?1");
    del_code.bind(1, seq);
    del_code.step("Removing a chunk vector");
    removed.push_back(seq);
  }
  return removed;
}

// The pages a batch touches (see page_index.hpp).
std::set<std::string> pages_of(const std::vector<StoredChunk>& chunks) {
  std::set<std::string> pages;
  for (const StoredChunk& ch : chunks) {
    if (!ch.metadata.is_object()) continue;
    const auto it = ch.metadata.find("source");
    if (it != ch.metadata.end() && it->is_string()) pages.insert(it->get<std::string>());
  }
  return pages;
}

// See first_free_seq: removed seqs are never handed out again.
void raise_seq_high_water(Connection& c, const std::vector<std::int64_t>& removed) {
  std::int64_t high = *std::max_element(removed.begin(), removed.end());
  {
    Stmt old = c.prepare("SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'seq_high_water'");
    if (old.step("Reading the chunk counter")) high = std::max(high, old.int64(0));
  }
  sqlite::write_meta(c, "seq_high_water", std::to_string(high));
}

}  // namespace

AddResult SqliteChunkStore::add_batch(const std::vector<StoredChunk>& chunks) {
  Impl& s = impl();
  Connection& c = s.require_writer("add chunks");
  if (chunks.empty()) return {};
  std::lock_guard write_lock(s.write_mutex);

  const bool sets_dimension = s.dimension.load() == 0;
  const std::size_t dim = sets_dimension ? chunks.front().embedding.size() : s.dimension.load();
  const PreparedBatch batch = prepare_batch(chunks, dim);

  Transaction tx(c);
  if (sets_dimension) record_dimension(c, dim);
  const std::set<std::string> pages = pages_of(chunks);
  // The writer has moved on from the pages it wrote before (see page_index.hpp).
  sqlite::index_pending_pages(c, pages);
  sqlite::mark_pages_changing(c, pages);
  AddResult result;
  std::vector<AddedRow> added;
  added.reserve(chunks.size());
  std::int64_t seq_hint = first_free_seq(c);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (auto row = insert_chunk(c, chunks[i], batch.metadata[i], batch.vector(i), seq_hint, i)) {
      added.push_back(std::move(*row));
      seq_hint = 0;  // later rows follow on from this one
    } else if (stored_with_same_content(c, chunks[i])) {
      ++result.skipped;
    } else {
      throw bad_input(chunks, i, "is already stored with different content. Give changed content a new id, or "
                                 "ingest into a new store.");
    }
  }

  if (!added.empty()) sqlite::record_new_vector_stamp(c);

  // Room for the new vectors is made before the commit: a failed allocation
  // still rolls the transaction back.
  std::unique_lock vectors_lock(s.vectors_mutex);
  try {
    // A store reopened without rows has not set its vectors' dimension yet.
    if (s.vectors.empty()) s.vectors.set_dimension(dim);
    s.vectors.reserve(s.vectors.size() + added.size());
    s.seqs.reserve(s.seqs.size() + added.size());
    if (!added.empty()) {
      s.doc_lengths.reserve(std::max(static_cast<std::size_t>(added.back().seq) + 1, s.doc_lengths.size()));
    }
    tx.commit();
  } catch (...) {
    if (sets_dimension && s.vectors.empty()) s.vectors.set_dimension(0);
    throw;
  }
  s.pages_pending = !pages.empty();
  s.forget_page_stats();
  for (const AddedRow& a : added) {
    s.vectors.append_exact(batch.vector(a.item), a.code);
    s.seqs.push_back(a.seq);
    const auto at = static_cast<std::size_t>(a.seq);
    if (at >= s.doc_lengths.size()) s.doc_lengths.resize(at + 1, 0);
    s.doc_lengths[at] = a.tokens;
  }
  if (s.metadata_index.built()) {
    try {
      for (const AddedRow& a : added) s.metadata_index.add(chunks[a.item].metadata);
    } catch (...) {
      s.metadata_index.reset();  // rebuilt from the file by the next filtered search
    }
  }
  if (sets_dimension) s.dimension = dim;
  if (!added.empty()) {
    s.forget_document_frequencies();
    s.forget_text_index();
  }
  result.added = added.size();
  return result;
}

std::size_t SqliteChunkStore::remove(const std::vector<std::string>& ids) {
  Impl& s = impl();
  Connection& c = s.require_writer("remove chunks");
  if (ids.empty()) return 0;
  std::lock_guard write_lock(s.write_mutex);
  Transaction tx(c);
  sqlite::mark_pages_changing(c, sqlite::pages_of_ids(c, ids));
  const std::vector<std::int64_t> removed = delete_rows(c, ids);
  if (removed.empty()) return 0;
  sqlite::index_pending_pages(c);
  raise_seq_high_water(c, removed);
  sqlite::record_new_vector_stamp(c);

  // The slots are found before the commit, so that nothing after it can
  // fail and leave the file and the in-memory vectors disagreeing.
  std::unique_lock vectors_lock(s.vectors_mutex);
  std::vector<std::size_t> slots;
  slots.reserve(removed.size());
  for (std::int64_t seq : removed) {
    const auto it = std::lower_bound(s.seqs.begin(), s.seqs.end(), seq);
    if (it != s.seqs.end() && *it == seq) slots.push_back(static_cast<std::size_t>(it - s.seqs.begin()));
  }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  // Codes read in place from the vector file are copied now, while a
  // failed allocation can still roll back.
  s.vectors.reserve(s.vectors.size());
  tx.commit();
  s.pages_pending = false;
  s.forget_page_stats();

  s.vectors.erase(slots);
  if (s.metadata_index.built()) s.metadata_index.erase(slots);
  std::size_t write = 0;
  std::size_t next = 0;
  for (std::size_t read = 0; read < s.seqs.size(); ++read) {
    if (next < slots.size() && slots[next] == read) {
      ++next;
      continue;
    }
    s.seqs[write++] = s.seqs[read];
  }
  s.seqs.resize(write);
  for (std::int64_t seq : removed) {
    if (static_cast<std::size_t>(seq) < s.doc_lengths.size()) s.doc_lengths[static_cast<std::size_t>(seq)] = 0;
  }
  s.forget_document_frequencies();
  s.forget_text_index();
  return removed.size();
}

void SqliteChunkStore::set_index_metadata(std::string_view key, std::string_view value) {
  set_index_metadata_many({{std::string(key), std::string(value)}});
}

void SqliteChunkStore::set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries) {
  Impl& s = impl();
  Connection& c = s.require_writer("record index metadata");
  for (const auto& [key, value] : entries) {
    if (key.empty()) {
      throw StoreError(store_errc::kInput, "Index metadata needs a non-empty key. " +
                                               std::string(sqlite::advice_for(store_errc::kInput)));
    }
  }
  if (entries.empty()) return;
  std::lock_guard write_lock(s.write_mutex);
  Transaction tx(c);
  for (const auto& [key, value] : entries) {
    if (value.empty()) {
      Stmt del = c.prepare("DELETE FROM meta WHERE key = ?1");
      const std::string stored_key = sqlite::index_metadata_key(key);
      del.bind(1, std::string_view(stored_key));
      del.step("Removing index metadata");
    } else {
      sqlite::write_meta(c, sqlite::index_metadata_key(key), value);
    }
  }
  sqlite::index_pending_pages(c);
  tx.commit();
  s.pages_pending = false;
  s.forget_page_stats();
}

void SqliteChunkStore::Impl::index_pending_pages() {
  if (!writer || !pages_pending) return;
  std::lock_guard lock(write_mutex);
  if (!pages_pending) return;
  Transaction tx(*writer);
  sqlite::index_pending_pages(*writer);
  tx.commit();
  pages_pending = false;
  forget_page_stats();
}

double SqliteChunkStore::Impl::page_length_mean(sqlite::Connection& c) {
  {
    std::lock_guard lock(page_stats_mutex);
    if (mean_page_length > 0.0) return mean_page_length;
  }
  const double mean = sqlite::mean_page_length(c);
  std::lock_guard lock(page_stats_mutex);
  mean_page_length = mean;
  return mean;
}

void SqliteChunkStore::Impl::forget_page_stats() {
  std::lock_guard lock(page_stats_mutex);
  mean_page_length = 0.0;
}

}  // namespace vorn_datastore
