#include "vorn_retrieval/text_chunker.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "document_layout.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/markup.hpp"
#include "vorn_core/text.hpp"

namespace vorn_retrieval {

using vorn_core::fnv1a64;
using vorn_core::is_utf8_continuation;
using layout::is_blank;
using layout::is_space;
using layout::Range;

namespace {

std::size_t advance_cps(std::string_view t, std::size_t pos, std::size_t n, std::size_t end) noexcept {
  while (n > 0 && pos < end) {
    ++pos;
    while (pos < end && is_utf8_continuation(t[pos])) ++pos;
    --n;
  }
  return pos;
}

std::size_t retreat_cps(std::string_view t, std::size_t pos, std::size_t n, std::size_t floor) noexcept {
  while (n > 0 && pos > floor) {
    --pos;
    while (pos > floor && is_utf8_continuation(t[pos])) --pos;
    --n;
  }
  return pos;
}

std::size_t skip_space(std::string_view t, std::size_t pos, std::size_t end) noexcept {
  while (pos < end && is_space(t[pos])) ++pos;
  return pos;
}

enum Level : std::size_t { kParagraph, kLine, kSentence, kWord, kLevels };

class Splitter {
 public:
  // `code_blocks`: whether the ranges kept whole are all fenced code (Markdown).
  Splitter(std::string_view text, const ChunkerOptions& options, const std::vector<Range>& keep_whole,
           bool code_blocks = false)
      : t_(text), o_(options), fences_(keep_whole), code_blocks_(code_blocks) {}

  // Appends the chunks of [begin, end) to `out`.
  void split(std::size_t begin, std::size_t end, const std::string& heading, std::vector<TextChunk>& out) const {
    std::size_t pos = skip_space(t_, begin, end);
    std::size_t prev_cut = pos;
    while (pos < end) {
      const std::size_t limit = advance_cps(t_, pos, o_.chunk_size, end);
      std::size_t cut = end;
      if (limit < end) {
        const std::size_t min_pos = advance_cps(t_, pos, o_.chunk_size / 2, end);
        // A cut at or before the previous one would repeat old text only.
        cut = find_cut(std::max(pos, prev_cut), min_pos, limit);
      }
      emit(pos, cut, heading, out);
      if (cut >= end) break;
      prev_cut = cut;
      pos = skip_space(t_, overlap_start(pos, cut), end);
    }
  }

 private:
  bool inside_fence(std::size_t cut) const noexcept {
    auto it = std::upper_bound(fences_.begin(), fences_.end(), cut,
                               [](std::size_t c, const Range& r) { return c < r.begin; });
    if (it == fences_.begin()) return false;
    --it;
    return it->begin < cut && cut < it->end;
  }

  bool blank_line_at(std::size_t pos) const noexcept {
    while (pos < t_.size() && t_[pos] != '\n') {
      if (!is_space(t_[pos])) return false;
      ++pos;
    }
    return true;
  }

  bool sentence_end_before(std::size_t c) const noexcept {
    const auto terminal = [](char ch) { return ch == '.' || ch == '!' || ch == '?'; };
    if (c >= 1 && terminal(t_[c - 1])) return true;
    const auto closer = [](char ch) { return ch == '"' || ch == '\'' || ch == ')' || ch == ']'; };
    return c >= 2 && closer(t_[c - 1]) && terminal(t_[c - 2]);
  }

  bool cjk_sentence_end_before(std::size_t c) const noexcept {
    if (c < 3) return false;
    const std::string_view tail = t_.substr(c - 3, 3);
    return tail == "\xE3\x80\x82" || tail == "\xEF\xBC\x81" || tail == "\xEF\xBC\x9F";  // 。！？
  }

  // Best cut in (lo, limit]; the chunk is [pos, cut).
  std::size_t find_cut(std::size_t lo, std::size_t min_pos, std::size_t limit) const {
    std::array<std::size_t, kLevels> outside{};
    std::array<std::size_t, kLevels> inside{};
    for (std::size_t c = limit; c > lo; --c) {
      Level level = kLevels;
      if (is_space(t_[c])) {
        if (t_[c] == '\n') level = blank_line_at(c + 1) ? kParagraph : kLine;
        else level = sentence_end_before(c) ? kSentence : kWord;
      } else if (cjk_sentence_end_before(c)) {
        level = kSentence;
      }
      if (level == kLevels) continue;
      auto& best = inside_fence(c) ? inside : outside;
      if (best[level] == 0) best[level] = c;  // scanning right to left: first hit is the rightmost
    }
    for (std::size_t l = 0; l < kLevels; ++l) {
      if (outside[l] >= min_pos && outside[l] != 0) return outside[l];
    }
    // Nothing far enough along: a short chunk still beats cutting a code block.
    if (const std::size_t c = *std::max_element(outside.begin(), outside.end()); c != 0) return c;
    for (std::size_t l = 0; l < kLevels; ++l) {
      if (inside[l] != 0 && inside[l] >= min_pos) return inside[l];
    }
    if (const std::size_t c = *std::max_element(inside.begin(), inside.end()); c != 0) return c;
    return limit;  // no space at all: a hard cut, still on a code point boundary
  }

  // Where the next chunk starts so it repeats up to chunk_overlap code points,
  // beginning at a word rather than in the middle of one.
  std::size_t overlap_start(std::size_t pos, std::size_t cut) const noexcept {
    if (o_.chunk_overlap == 0) return cut;
    std::size_t back = retreat_cps(t_, cut, o_.chunk_overlap, pos);
    if (back > pos && !is_space(t_[back - 1])) {
      while (back < cut && !is_space(t_[back])) ++back;
    }
    back = skip_space(t_, back, cut);
    return (back > pos && back < cut) ? back : cut;
  }

  void emit(std::size_t begin, std::size_t end, const std::string& heading, std::vector<TextChunk>& out) const {
    begin = skip_space(t_, begin, end);
    while (end > begin && is_space(t_[end - 1])) --end;
    if (begin >= end) return;
    TextChunk c;
    c.content = std::string(t_.substr(begin, end - begin));
    c.start = begin;
    c.end = end;
    c.heading = heading;
    c.opens_in_code = code_blocks_ && inside_fence(begin);
    out.push_back(std::move(c));
  }

  std::string_view t_;
  const ChunkerOptions& o_;
  const std::vector<Range>& fences_;
  const bool code_blocks_;
};

}  // namespace

std::string make_chunk_id(std::string_view source_id, std::size_t index, std::string_view content) {
  const std::uint64_t h = fnv1a64(content);
  const auto folded = static_cast<std::uint32_t>(h ^ (h >> 32U));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id(source_id);
  id += '#';
  id += std::to_string(index);
  id += '-';
  for (int shift = 28; shift >= 0; shift -= 4) id += kHex[(folded >> static_cast<unsigned>(shift)) & 0xFU];
  return id;
}

TextChunker::TextChunker(ChunkerOptions options) : options_(options) {
  if (options_.chunk_size == 0) {
    throw vorn_core::InvalidValueError("TextChunker: chunk_size must be at least 1 character");
  }
  if (options_.chunk_overlap >= options_.chunk_size) {
    throw vorn_core::InvalidValueError("TextChunker: chunk_overlap (" + std::to_string(options_.chunk_overlap) +
                                ") must be smaller than chunk_size (" + std::to_string(options_.chunk_size) + ")");
  }
}

std::vector<TextChunk> TextChunker::chunk(std::string_view text, std::string_view source_id, bool markdown) const {
  return chunk(text, source_id, markdown ? DocumentFormat::kMarkdown : DocumentFormat::kPlain);
}

std::vector<TextChunk> TextChunker::chunk(std::string_view text, std::string_view source_id,
                                          DocumentFormat format) const {
  std::vector<TextChunk> out;
  if (format == DocumentFormat::kPlain) {
    const std::vector<Range> nothing_to_keep;
    Splitter(text, options_, nothing_to_keep).split(0, text.size(), std::string(), out);
  } else {
    const layout::Layout parsed =
        format == DocumentFormat::kMarkdown ? layout::parse_markdown(text) : layout::parse_light_markup(text);
    const Splitter splitter(text, options_, parsed.keep_whole, format == DocumentFormat::kMarkdown);
    for (std::size_t i = 0; i < parsed.sections.size(); ++i) {
      const layout::Section& s = parsed.sections[i];
      const std::size_t end = i + 1 < parsed.sections.size() ? parsed.sections[i + 1].begin : text.size();
      // A heading directly followed by a subheading carries no text of its
      // own; its title lives on in the subsections' heading paths.
      if (is_blank(text.substr(s.body, end - s.body))) continue;
      splitter.split(s.begin, end, s.heading, out);
    }
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i].id = make_chunk_id(source_id, i, out[i].content);
  return out;
}

}  // namespace vorn_retrieval
