#include "vorn_retrieval/text_chunker.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "vorn_core/text.hpp"

namespace vorn_retrieval {

using vorn_core::fnv1a64;
using vorn_core::is_utf8_continuation;

namespace {

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

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

// A fenced code block, from the start of its opening line to the end of its
// closing line (or the end of the text when it is never closed).
struct Range {
  std::size_t begin;
  std::size_t end;
};

struct Section {
  std::size_t begin;  // start of the heading line (0 for text before any heading)
  std::size_t body;   // first byte after the heading line
  std::string heading;
};

struct MarkdownLayout {
  std::vector<Section> sections;
  std::vector<Range> fences;
};

// Opening or closing fence: up to three spaces, then three or more '`' or '~'.
std::optional<std::pair<char, std::size_t>> fence_marker(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && i < 3 && line[i] == ' ') ++i;
  if (i >= line.size() || (line[i] != '`' && line[i] != '~')) return std::nullopt;
  const char c = line[i];
  std::size_t n = 0;
  while (i + n < line.size() && line[i + n] == c) ++n;
  if (n < 3) return std::nullopt;
  if (c == '`' && line.substr(i + n).find('`') != std::string_view::npos) return std::nullopt;
  return std::make_pair(c, n);
}

bool is_blank(std::string_view s) noexcept {
  return std::all_of(s.begin(), s.end(), [](char c) { return is_space(c); });
}

// ATX heading ("## Title ##") -> level and title.
std::optional<std::pair<int, std::string_view>> atx_heading(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && i < 3 && line[i] == ' ') ++i;
  std::size_t level = 0;
  while (i + level < line.size() && line[i + level] == '#') ++level;
  if (level == 0 || level > 6) return std::nullopt;
  std::string_view rest = line.substr(i + level);
  if (!rest.empty() && rest.front() != ' ' && rest.front() != '\t') return std::nullopt;
  while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
  // An optional closing run of '#' belongs to the syntax, not the title.
  std::size_t hashes = rest.size();
  while (hashes > 0 && rest[hashes - 1] == '#') --hashes;
  if (hashes == 0) {
    rest = {};
  } else if (hashes < rest.size() && is_space(rest[hashes - 1])) {
    rest = rest.substr(0, hashes);
    while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
  }
  return std::make_pair(static_cast<int>(level), rest);
}

MarkdownLayout parse_markdown(std::string_view t) {
  MarkdownLayout layout;
  layout.sections.push_back({0, 0, {}});
  std::vector<std::pair<int, std::string>> path;
  char fence_char = 0;  // 0: not inside a fence
  std::size_t fence_length = 0;
  std::size_t fence_begin = 0;

  std::size_t line_begin = 0;
  while (line_begin < t.size()) {
    std::size_t line_end = t.find('\n', line_begin);
    const std::size_t next = line_end == std::string_view::npos ? t.size() : line_end + 1;
    if (line_end == std::string_view::npos) line_end = t.size();
    const std::string_view line = t.substr(line_begin, line_end - line_begin);

    if (fence_char != 0) {
      const auto marker = fence_marker(line);
      if (marker && marker->first == fence_char && marker->second >= fence_length) {
        const std::string_view after = line.substr(line.find_first_not_of(' ') + marker->second);
        if (is_blank(after)) {
          layout.fences.push_back({fence_begin, line_end});
          fence_char = 0;
        }
      }
    } else if (const auto marker = fence_marker(line)) {
      fence_char = marker->first;
      fence_length = marker->second;
      fence_begin = line_begin;
    } else if (const auto heading = atx_heading(line)) {
      while (!path.empty() && path.back().first >= heading->first) path.pop_back();
      path.emplace_back(heading->first, std::string(heading->second));
      std::string joined;
      for (const auto& [level, title] : path) {
        if (title.empty()) continue;
        if (!joined.empty()) joined += " > ";
        joined += title;
      }
      layout.sections.push_back({line_begin, next, std::move(joined)});
    }
    line_begin = next;
  }
  if (fence_char != 0) layout.fences.push_back({fence_begin, t.size()});
  return layout;
}

enum Level : std::size_t { kParagraph, kLine, kSentence, kWord, kLevels };

class Splitter {
 public:
  Splitter(std::string_view text, const ChunkerOptions& options, const std::vector<Range>& fences)
      : t_(text), o_(options), fences_(fences) {}

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
    out.push_back(std::move(c));
  }

  std::string_view t_;
  const ChunkerOptions& o_;
  const std::vector<Range>& fences_;
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
    throw std::invalid_argument("TextChunker: chunk_size must be at least 1 character");
  }
  if (options_.chunk_overlap >= options_.chunk_size) {
    throw std::invalid_argument("TextChunker: chunk_overlap (" + std::to_string(options_.chunk_overlap) +
                                ") must be smaller than chunk_size (" + std::to_string(options_.chunk_size) + ")");
  }
}

std::vector<TextChunk> TextChunker::chunk(std::string_view text, std::string_view source_id, bool markdown) const {
  std::vector<TextChunk> out;
  if (!markdown) {
    const std::vector<Range> no_fences;
    Splitter(text, options_, no_fences).split(0, text.size(), std::string(), out);
  } else {
    const MarkdownLayout layout = parse_markdown(text);
    const Splitter splitter(text, options_, layout.fences);
    for (std::size_t i = 0; i < layout.sections.size(); ++i) {
      const Section& s = layout.sections[i];
      const std::size_t end = i + 1 < layout.sections.size() ? layout.sections[i + 1].begin : text.size();
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
