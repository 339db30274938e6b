#include "text_index.hpp"

#include <algorithm>

#include "bm25_rank.hpp"
#include "connection.hpp"
#include "fts_query.hpp"

namespace vorn_datastore::sqlite {
namespace {

// The view lists every occurrence of every term: (term, chunk, column,
// offset), grouped by term and then chunk, as FTS5 holds them.
constexpr const char* kInstanceView =
    "CREATE VIRTUAL TABLE IF NOT EXISTS temp.chunks_vocab_instance USING fts5vocab(main, chunks_fts, 'instance')";

int column_index(std::string_view name) noexcept {
  if (name == "title") return 0;
  if (name == "heading") return 1;
  if (name == "content") return 2;
  return -1;
}

// Per-thread accumulators of one search, zeroed again after each use so
// that a search allocates only its result.
struct Scratch {
  std::vector<double> score;           // per doc; 0 = not matched
  std::vector<std::uint32_t> matched;  // docs with a score
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

class ScratchLease {
 public:
  ScratchLease(Scratch& s, std::size_t docs) : s_(s) {
    if (s_.score.size() < docs) s_.score.resize(docs, 0.0);
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    for (std::uint32_t d : s_.matched) s_.score[d] = 0.0;
    s_.matched.clear();
  }

 private:
  Scratch& s_;
};

}  // namespace

TextIndex TextIndex::load(Connection& c) {
  c.exec(kInstanceView, "Opening the text index");
  // Postings, document lengths and totals must come from one snapshot.
  ReadTransaction snapshot(c);
  TextIndex index;
  {
    Stmt s = c.prepare("SELECT id, sz FROM chunks_fts_docsize ORDER BY id");
    while (s.step("Reading text statistics")) index.add_chunk(s.int64(0), varint_sum(s.blob(1)));
  }
  std::string any_term;
  {
    Stmt s = c.prepare("SELECT term, doc, col FROM temp.chunks_vocab_instance");
    while (s.step("Reading the text index")) {
      const std::string_view term = s.text(0);
      if (any_term.empty()) any_term = term;
      index.add_occurrence(term, s.int64(1), column_index(s.text(2)));
    }
  }
  std::int64_t rows = 0;
  std::int64_t tokens = 0;
  if (!any_term.empty()) {
    Stmt s = c.prepare(
        "SELECT vorn_fts_rows(chunks_fts), vorn_fts_tokens(chunks_fts) FROM chunks_fts WHERE chunks_fts MATCH ?1 "
        "LIMIT 1");
    const std::string match = match_expression({any_term});
    s.bind(1, std::string_view(match));
    if (s.step("Reading text statistics")) {
      rows = s.int64(0);
      tokens = s.int64(1);
    }
  }
  index.finish(rows, tokens);
  return index;
}

void TextIndex::add_chunk(std::int64_t seq, std::uint64_t length) {
  if (!seqs_.empty() && seq <= seqs_.back()) return;  // out of order or repeated: not a row FTS5 holds
  seqs_.push_back(seq);
  lengths_.push_back(length);
}

std::uint32_t TextIndex::doc_of(std::int64_t seq) const {
  const auto it = std::lower_bound(seqs_.begin(), seqs_.end(), seq);
  if (it == seqs_.end() || *it != seq) return UINT32_MAX;
  return static_cast<std::uint32_t>(it - seqs_.begin());
}

void TextIndex::add_occurrence(std::string_view term, std::int64_t seq, int column) {
  Term* t = last_term_;
  if (t == nullptr || term != last_term_text_) {
    auto it = terms_.find(term);
    if (it == terms_.end()) it = terms_.emplace(std::string(term), Term{}).first;
    t = last_term_ = &it->second;
    last_term_text_.assign(term);
  }
  const auto weight = static_cast<float>(column >= 0 && column < kTextColumns ? kColumnWeights[column] : 1.0);
  if (!t->postings.empty() && seqs_[t->postings.back().doc] == seq) {
    t->postings.back().tf += weight;
    return;
  }
  const std::uint32_t doc = doc_of(seq);
  if (doc == UINT32_MAX) return;  // no length recorded: FTS5 holds no such row either
  t->postings.push_back({doc, weight});
}

void TextIndex::finish(std::int64_t rows, std::int64_t total_tokens) {
  rows_ = rows;
  const double avg_length =
      rows > 0 && total_tokens > 0 ? static_cast<double>(total_tokens) / static_cast<double>(rows) : 1.0;
  norms_.resize(lengths_.size());
  for (std::size_t d = 0; d < lengths_.size(); ++d) norms_[d] = bm25_norm(static_cast<double>(lengths_[d]), avg_length);
  lengths_ = {};
  for (auto& [text, term] : terms_) {
    auto& p = term.postings;
    const auto by_doc = [](const Posting& a, const Posting& b) { return a.doc < b.doc; };
    if (!std::is_sorted(p.begin(), p.end(), by_doc)) {
      // Occurrences arrived out of chunk order: merge each chunk's counts.
      std::stable_sort(p.begin(), p.end(), by_doc);
      std::size_t out = 0;
      for (std::size_t i = 0; i < p.size(); ++i) {
        if (out > 0 && p[out - 1].doc == p[i].doc) {
          p[out - 1].tf += p[i].tf;
        } else {
          p[out++] = p[i];
        }
      }
      p.resize(out);
    }
    p.shrink_to_fit();
  }
  last_term_ = nullptr;
  last_term_text_ = {};
}

std::int64_t TextIndex::document_frequency(std::string_view term) const {
  const auto it = terms_.find(term);
  return it == terms_.end() ? 0 : static_cast<std::int64_t>(it->second.postings.size());
}

std::vector<RankedRow> TextIndex::top(std::span<const std::string> terms, std::size_t k) const {
  std::vector<RankedRow> out;
  if (k == 0 || seqs_.empty()) return out;
  Scratch& s = scratch();
  ScratchLease lease(s, seqs_.size());
  // Term by term, in query order: each chunk's score is summed in the order
  // the ranking function sums it, so the doubles agree to the last bit.
  for (const std::string& text : terms) {
    const auto it = terms_.find(text);
    if (it == terms_.end()) continue;
    const std::vector<Posting>& postings = it->second.postings;
    const double idf = bm25_idf(rows_, static_cast<std::int64_t>(postings.size()));
    for (const Posting& p : postings) {
      double& score = s.score[p.doc];
      if (score == 0.0) s.matched.push_back(p.doc);
      score += bm25_term(idf, static_cast<double>(p.tf), norms_[p.doc]);
    }
  }
  const auto better = [&](std::uint32_t a, std::uint32_t b) {
    return s.score[a] != s.score[b] ? s.score[a] > s.score[b] : a < b;
  };
  const std::size_t n = std::min(k, s.matched.size());
  std::partial_sort(s.matched.begin(), s.matched.begin() + static_cast<std::ptrdiff_t>(n), s.matched.end(), better);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back({seqs_[s.matched[i]], s.score[s.matched[i]]});
  return out;
}

std::size_t TextIndex::memory_bytes() const noexcept {
  std::size_t bytes = seqs_.capacity() * sizeof(std::int64_t) + norms_.capacity() * sizeof(double);
  for (const auto& [text, term] : terms_) {
    bytes += sizeof(text) + text.capacity() + sizeof(Term) + term.postings.capacity() * sizeof(Posting);
  }
  return bytes + terms_.bucket_count() * sizeof(void*);
}

}  // namespace vorn_datastore::sqlite
