#include "vorn_datastore/sqlite_data_store.hpp"

#include <algorithm>

#include "vorn_core/error.hpp"
#include "vorn_core/json.hpp"

namespace vorn_datastore {
namespace {

vorn_core::ChunkPtr to_chunk(SearchHit hit) {
  vorn_core::Value metadata = vorn_core::from_json(hit.metadata);
  return vorn_core::make_chunk(std::move(hit.id), std::move(hit.content),
                               metadata.is_dict() ? std::move(metadata.as_dict()) : vorn_core::Dict{}, hit.score);
}

// A stored row as its store read it: text views and parsed metadata.
class JsonRowView final : public StoredRowView {
 public:
  JsonRowView(std::string_view id, std::string_view content, const nlohmann::json& metadata) noexcept
      : id_(id), content_(content), metadata_(metadata) {}
  std::string_view id() const noexcept override { return id_; }
  std::string_view content() const noexcept override { return content_; }
  std::optional<std::string_view> metadata_string(std::string_view key) const noexcept override {
    if (!metadata_.is_object()) return std::nullopt;
    const auto it = metadata_.find(key);
    if (it == metadata_.end() || !it->is_string()) return std::nullopt;
    return std::string_view(it->get_ref<const std::string&>());
  }

 private:
  std::string_view id_;
  std::string_view content_;
  const nlohmann::json& metadata_;
};

vorn_core::ChunkList to_chunks(std::vector<SearchHit> hits, const std::optional<double>& threshold) {
  vorn_core::ChunkList out;
  out.reserve(hits.size());
  for (auto& hit : hits) {
    if (threshold && hit.score < *threshold) continue;
    out.push_back(to_chunk(std::move(hit)));
  }
  return out;
}

}  // namespace

Filter to_store_filter(const vorn_core::Value& query_filter) {
  Filter filter;
  for (auto& [key, value] : parse_query_filter(query_filter)) filter.emplace_back(key, vorn_core::to_json(value));
  return filter;
}

class SqliteDataStore::Vector final : public SearchCapability {
 public:
  explicit Vector(SqliteDataStore& owner) : owner_(owner) {}

  vorn_core::Task<vorn_core::ChunkList> search(SearchRequest request) override {
    Filter filter = to_store_filter(request.query_filter);
    const vorn_inference::Embedding query = co_await owner_.embed_query(std::move(request.query));
    auto hits = owner_.store_.search_vector(query, request.top_k, filter, request.threshold);
    co_return to_chunks(std::move(hits), std::nullopt);
  }

 private:
  SqliteDataStore& owner_;
};

class SqliteDataStore::Fulltext final : public SearchCapability {
 public:
  explicit Fulltext(SqliteDataStore& owner) : owner_(owner) {}

  vorn_core::Task<vorn_core::ChunkList> search(SearchRequest request) override {
    Filter filter = to_store_filter(request.query_filter);
    auto hits = owner_.store_.search_bm25(request.query, request.top_k, filter);
    co_return to_chunks(std::move(hits), request.threshold);
  }

 private:
  SqliteDataStore& owner_;
};

class SqliteDataStore::Pages final : public PageSearch {
 public:
  explicit Pages(SqliteDataStore& owner) : owner_(owner) {}

  vorn_core::Task<std::vector<double>> score_pages(std::string query, std::vector<std::string> sources) override {
    co_return owner_.store_.score_pages(query, sources);
  }

 private:
  SqliteDataStore& owner_;
};

class SqliteDataStore::Rows final : public RowSearch {
 public:
  explicit Rows(SqliteDataStore& owner) : owner_(owner) {}

  vorn_core::Task<std::vector<RowHit>> search_rows(CapabilityType type, SearchRequest request) override {
    Filter filter = to_store_filter(request.query_filter);
    if (type == CapabilityType::FULLTEXT) {
      std::vector<RowHit> rows = owner_.store_.rank_bm25(request.query, request.top_k, filter);
      if (request.threshold) std::erase_if(rows, [&](const RowHit& h) { return h.score < *request.threshold; });
      co_return rows;
    }
    if (!owner_.embedder_) co_return std::vector<RowHit>{};
    const vorn_inference::Embedding query = co_await owner_.embed_query(std::move(request.query));
    co_return owner_.store_.rank_vector(query, request.top_k, filter, request.threshold);
  }

  void visit_rows(std::span<const RowHit> hits,
                  const std::function<void(std::size_t, const StoredRowView&)>& visit) override {
    owner_.store_.visit_rows(hits, [&](std::size_t i, std::string_view id, std::string_view content,
                                       const nlohmann::json& metadata) {
      visit(i, JsonRowView(id, content, metadata));
    });
  }

  vorn_core::ChunkList read_rows(std::span<const RowHit> hits) override {
    // Converted where the rows lie: a SearchHit would copy each metadata
    // object once more before it is converted.
    vorn_core::ChunkList out;
    out.reserve(hits.size());
    owner_.store_.visit_rows(hits, [&](std::size_t i, std::string_view id, std::string_view content,
                                       const nlohmann::json& metadata) {
      vorn_core::Value m = vorn_core::from_json(metadata);
      out.push_back(vorn_core::make_chunk(std::string(id), std::string(content),
                                          m.is_dict() ? std::move(m.as_dict()) : vorn_core::Dict{}, hits[i].score));
    });
    return out;
  }

  std::optional<std::uint64_t> rows_version() override { return owner_.store_.rows_version(); }

 private:
  SqliteDataStore& owner_;
};

std::shared_ptr<SqliteDataStore> SqliteDataStore::open(const std::filesystem::path& path,
                                                       vorn_inference::EmbedderPtr embedder, OpenOptions options) {
  // Opening with the embedder's dimension makes a store built with another
  // model fail here, with its own error, rather than at the first search.
  if (embedder) options.dimension = embedder->dimension();
  return std::make_shared<SqliteDataStore>(SqliteChunkStore::open(path, options), std::move(embedder));
}

SqliteDataStore::SqliteDataStore(SqliteChunkStore store, vorn_inference::EmbedderPtr embedder)
    : store_(std::move(store)), embedder_(std::move(embedder)) {
  if (embedder_) {
    if (embedder_->dimension() == 0) {
      throw vorn_core::InvalidValueError("The `embedder` reports dimension 0. Pass a working embedder and retry.");
    }
    if (store_.dimension() != 0 && store_.dimension() != embedder_->dimension()) {
      throw StoreError(store_errc::kDimension,
                       "Store '" + store_.path().string() + "' holds " + std::to_string(store_.dimension()) +
                           "-dimensional embeddings but the embedder produces " +
                           std::to_string(embedder_->dimension()) +
                           ". Use the embedding model the store was built with, or a new store path.");
    }
    vector_ = std::make_unique<Vector>(*this);
  }
  fulltext_ = std::make_unique<Fulltext>(*this);
  pages_ = std::make_unique<Pages>(*this);
  rows_ = std::make_unique<Rows>(*this);
  if (embedder_) check_embedder_identity();
}

void SqliteDataStore::check_embedder_identity() {
  // Vectors of two models with the same dimension are not comparable:
  // searching one with the other returns noise, so the store keeps the
  // name of the embedder it was built with.
  constexpr std::string_view kKey = "embedder";
  const std::string identity = embedder_->identity();
  if (identity.empty()) return;
  const std::optional<std::string> recorded = index_metadata(kKey);
  // An empty store has no vectors to disagree with: it takes the new one.
  const bool empty = store_.size() == 0;
  if (recorded && !recorded->empty() && *recorded != identity && !(empty && accepts_writes())) {
    throw StoreError(store_errc::kDimension,
                     "Store '" + store_.path().string() + "' was built with the embedder '" + *recorded +
                         "' but this run embeds with '" + identity +
                         "'. Use the embedder the store was built with (vorn-rag: --embedder and "
                         "--embedding-model), or a new store path.");
  }
  if ((!recorded || *recorded != identity) && accepts_writes()) set_index_metadata(kKey, identity);
}

SqliteDataStore::~SqliteDataStore() = default;

vorn_core::Task<vorn_inference::Embedding> SqliteDataStore::embed_query(std::string query) {
  std::vector<std::string> texts(1, std::move(query));
  std::vector<vorn_inference::Embedding> embedded = co_await embedder_->embed(std::move(texts));
  if (embedded.size() != 1) {
    throw vorn_core::OperationError("The embedder returned " + std::to_string(embedded.size()) +
                                  " embeddings for one query. Check the embedder and retry.");
  }
  co_return std::move(embedded.front());
}

namespace {

// What a chunk's embedding stands for: its page's title, its heading path and
// its text. A chunk deep in a page rarely repeats what the page is about; a
// model (or the hashing embedder) sees it only through these.
std::string embedding_text(const vorn_core::Chunk& chunk) {
  std::string out;
  for (const char* key : {"title", "heading"}) {
    const vorn_core::Value* v = chunk.metadata.find(key);
    if (!v || !v->is_string() || v->as_string().empty()) continue;
    out += v->as_string();
    out += '\n';
  }
  if (out.empty()) return chunk.content;
  return out + chunk.content;
}

}  // namespace

vorn_core::Task<IngestResult> SqliteDataStore::ingest(vorn_core::ChunkList chunks) {
  if (!embedder_) {
    throw vorn_core::InvalidValueError("This SqliteDataStore has no `embedder`, so it cannot store chunks. Open it with an "
                                "embedder and retry.");
  }
  IngestResult result;
  vorn_core::ChunkList fresh;
  std::vector<std::string> texts;
  std::vector<std::string_view> ids;
  ids.reserve(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw vorn_core::InvalidTypeError("Item " + std::to_string(i) +
                                 " of the batch is an absent chunk. Pass only chunks and retry.");
    }
    ids.push_back(chunks[i]->id);
  }
  const std::vector<std::optional<std::uint64_t>> hashes = store_.stored_hashes(ids);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const vorn_core::ChunkPtr& c = chunks[i];
    const std::optional<std::uint64_t>& stored = hashes[i];
    if (stored && *stored == chunk_content_hash(c->id, c->content)) {
      ++result.skipped;
      continue;
    }
    fresh.push_back(c);
    texts.push_back(embedding_text(*c));
  }
  if (fresh.empty()) co_return result;

  std::vector<vorn_inference::Embedding> embeddings = co_await embedder_->embed(std::move(texts));
  if (embeddings.size() != fresh.size()) {
    throw vorn_core::OperationError("The embedder returned " + std::to_string(embeddings.size()) + " embeddings for " +
                                  std::to_string(fresh.size()) + " texts. Check the embedder and retry.");
  }
  std::vector<StoredChunk> batch;
  batch.reserve(fresh.size());
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    StoredChunk stored;
    stored.id = fresh[i]->id;
    stored.content = fresh[i]->content;
    stored.metadata = vorn_core::to_json(vorn_core::Value(fresh[i]->metadata));
    stored.embedding = std::move(embeddings[i]);
    batch.push_back(std::move(stored));
  }
  const AddResult added = store_.add_batch(batch);
  result.added = added.added;
  result.skipped += added.skipped;
  co_return result;
}

std::size_t SqliteDataStore::remove(const std::vector<std::string>& ids) { return store_.remove(ids); }

bool SqliteDataStore::accepts_writes() const noexcept { return embedder_ != nullptr && !store_.read_only(); }

std::unordered_map<std::string, std::vector<std::string>> SqliteDataStore::ids_by_metadata(
    std::string_view key) const {
  return store_.ids_by_metadata(key);
}

std::optional<std::string> SqliteDataStore::index_metadata(std::string_view key) const {
  return store_.index_metadata(key);
}

void SqliteDataStore::set_index_metadata(std::string_view key, std::string_view value) {
  store_.set_index_metadata(key, value);
}

void SqliteDataStore::set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries) {
  store_.set_index_metadata_many(entries);
}

std::size_t SqliteDataStore::size() const { return store_.size(); }

bool SqliteDataStore::contains(std::string_view id) const { return store_.contains(id); }

vorn_core::ChunkPtr SqliteDataStore::get(std::string_view id) const {
  auto stored = store_.get(id);
  if (!stored) return nullptr;
  vorn_core::Value metadata = vorn_core::from_json(stored->metadata);
  return vorn_core::make_chunk(std::move(stored->id), std::move(stored->content),
                               metadata.is_dict() ? std::move(metadata.as_dict()) : vorn_core::Dict{});
}

CapabilitySet SqliteDataStore::registered_capabilities() const {
  CapabilitySet set;
  if (vector_) set.add(CapabilityType::VECTOR);
  if (fulltext_) set.add(CapabilityType::FULLTEXT);
  return set;
}

SearchCapability* SqliteDataStore::capability(CapabilityType type) {
  switch (type) {
    case CapabilityType::VECTOR: return vector_.get();
    case CapabilityType::FULLTEXT: return fulltext_.get();
  }
  return nullptr;
}

PageSearch* SqliteDataStore::page_search() { return pages_.get(); }

RowSearch* SqliteDataStore::row_search() { return rows_.get(); }

}  // namespace vorn_datastore
