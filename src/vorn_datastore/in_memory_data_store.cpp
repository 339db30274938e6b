#include "vorn_datastore/in_memory_data_store.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <set>

#include "vorn_core/error.hpp"
#include "vorn_datastore/store_error.hpp"

namespace vorn_datastore {
namespace {

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string w;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!w.empty()) {
      out.push_back(std::move(w));
      w.clear();
    }
  }
  if (!w.empty()) out.push_back(std::move(w));
  return out;
}

double dot(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0;
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) s += static_cast<double>(a[i]) * b[i];
  return s;
}

void normalise(std::vector<float>& v) {
  double norm = std::sqrt(dot(v, v));
  if (norm > 0)
    for (float& x : v) x = static_cast<float>(x / norm);
}

// Ranks (chunk, score) pairs best first, applies threshold and top_k, and
// hands out copies of the chunks carrying their scores.
vorn_core::ChunkList rank(std::vector<std::pair<vorn_core::ChunkPtr, double>> scored, const SearchRequest& r) {
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  vorn_core::ChunkList out;
  for (auto& [chunk, score] : scored) {
    if (out.size() >= r.top_k) break;
    if (r.threshold && score < *r.threshold) continue;
    auto hit = std::make_shared<vorn_core::Chunk>(*chunk);
    hit->score = score;
    out.push_back(std::move(hit));
  }
  return out;
}

}  // namespace

class InMemoryDataStore::Vector final : public SearchCapability {
 public:
  explicit Vector(InMemoryDataStore& store) : store_(store) {}
  vorn_core::Task<vorn_core::ChunkList> search(SearchRequest request) override {
    auto filter = parse_query_filter(request.query_filter);
    std::vector<std::string> texts(1, request.query);
    auto embedded = co_await store_.embedder_->embed(std::move(texts));
    std::vector<float> query = std::move(embedded.at(0));
    normalise(query);
    std::vector<std::pair<vorn_core::ChunkPtr, double>> scored;
    for (const auto& e : store_.snapshot()) {
      if (!filter.empty() && !matches_filter(e.chunk->metadata, filter)) continue;
      scored.emplace_back(e.chunk, dot(query, e.embedding));
    }
    co_return rank(std::move(scored), request);
  }

 private:
  InMemoryDataStore& store_;
};

class InMemoryDataStore::Fulltext final : public SearchCapability {
 public:
  explicit Fulltext(InMemoryDataStore& store) : store_(store) {}
  vorn_core::Task<vorn_core::ChunkList> search(SearchRequest request) override {
    auto filter = parse_query_filter(request.query_filter);
    auto terms = words(request.query);
    std::set<std::string> unique(terms.begin(), terms.end());
    std::vector<std::pair<vorn_core::ChunkPtr, double>> scored;
    for (const auto& e : store_.snapshot()) {
      if (!filter.empty() && !matches_filter(e.chunk->metadata, filter)) continue;
      auto doc = words(e.chunk->content);
      double score = 0;
      for (const auto& w : doc) score += unique.count(w) ? 1.0 : 0.0;
      if (score > 0) scored.emplace_back(e.chunk, score / std::sqrt(static_cast<double>(doc.size())));
    }
    co_return rank(std::move(scored), request);
  }

 private:
  InMemoryDataStore& store_;
};

InMemoryDataStore::InMemoryDataStore(vorn_inference::EmbedderPtr embedder, bool fulltext)
    : embedder_(std::move(embedder)) {
  if (embedder_) vector_ = std::make_unique<Vector>(*this);
  if (fulltext) fulltext_ = std::make_unique<Fulltext>(*this);
}

InMemoryDataStore::~InMemoryDataStore() = default;

vorn_core::Task<void> InMemoryDataStore::add(vorn_core::ChunkList chunks) {
  std::vector<std::vector<float>> embeddings(chunks.size());
  if (embedder_) {
    std::vector<std::string> texts;
    texts.reserve(chunks.size());
    for (const auto& c : chunks) texts.push_back(c->content);
    embeddings = co_await embedder_->embed(std::move(texts));
    for (auto& e : embeddings) normalise(e);
  }
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.chunk->id == chunks[i]->id; });
    if (it != entries_.end()) {
      *it = Entry{chunks[i], std::move(embeddings[i])};
    } else {
      entries_.push_back(Entry{chunks[i], std::move(embeddings[i])});
    }
  }
}

vorn_core::Task<IngestResult> InMemoryDataStore::ingest(vorn_core::ChunkList chunks) {
  IngestResult result;
  vorn_core::ChunkList fresh;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const vorn_core::ChunkPtr& c = chunks[i];
      if (!c) {
        throw vorn_core::InvalidTypeError("Item " + std::to_string(i) +
                                   " of the batch is an absent chunk. Pass only chunks and retry.");
      }
      auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.chunk->id == c->id; });
      if (it == entries_.end()) {
        fresh.push_back(c);
      } else if (it->chunk->content == c->content) {
        ++result.skipped;
      } else {
        throw StoreError(store_errc::kInput, "Chunk '" + c->id + "' (item " + std::to_string(i) +
                                                 " of the batch) is already stored with different content. Give "
                                                 "changed content a new id. Nothing from this batch was stored.");
      }
    }
  }
  result.added = fresh.size();
  co_await add(std::move(fresh));
  co_return result;
}

std::size_t InMemoryDataStore::remove(const std::vector<std::string>& ids) {
  const std::set<std::string, std::less<>> doomed(ids.begin(), ids.end());
  std::lock_guard lock(mutex_);
  const auto before = entries_.size();
  std::erase_if(entries_, [&](const Entry& e) { return doomed.count(e.chunk->id) != 0; });
  return before - entries_.size();
}

std::unordered_map<std::string, std::vector<std::string>> InMemoryDataStore::ids_by_metadata(
    std::string_view key) const {
  std::unordered_map<std::string, std::vector<std::string>> out;
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    const vorn_core::Value* v = e.chunk->metadata.find(key);
    if (v != nullptr && v->is_string()) out[v->str()].push_back(e.chunk->id);
  }
  return out;
}

std::optional<std::string> InMemoryDataStore::index_metadata(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto it = index_metadata_.find(key);
  if (it == index_metadata_.end()) return std::nullopt;
  return it->second;
}

void InMemoryDataStore::set_index_metadata(std::string_view key, std::string_view value) {
  std::lock_guard lock(mutex_);
  if (value.empty()) {
    if (const auto it = index_metadata_.find(key); it != index_metadata_.end()) index_metadata_.erase(it);
    return;
  }
  index_metadata_.insert_or_assign(std::string(key), std::string(value));
}

std::size_t InMemoryDataStore::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::vector<InMemoryDataStore::Entry> InMemoryDataStore::snapshot() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

CapabilitySet InMemoryDataStore::registered_capabilities() const {
  CapabilitySet set;
  if (vector_) set.add(CapabilityType::VECTOR);
  if (fulltext_) set.add(CapabilityType::FULLTEXT);
  return set;
}

SearchCapability* InMemoryDataStore::capability(CapabilityType type) {
  switch (type) {
    case CapabilityType::VECTOR: return vector_.get();
    case CapabilityType::FULLTEXT: return fulltext_.get();
  }
  return nullptr;
}

}  // namespace vorn_datastore
