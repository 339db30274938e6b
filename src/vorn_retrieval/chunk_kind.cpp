#include "vorn_retrieval/chunk_kind.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <numeric>

namespace vorn_retrieval {
namespace {

// A chunk is of a kind when at least this share of its text lines are (and
// there are enough lines for the share to mean something).
constexpr double kTableShare = 0.5;
constexpr double kListShare = 0.6;
constexpr std::size_t kMinLines = 3;
constexpr std::size_t kMaxEntryChars = 100;

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = is_upper(c) ? static_cast<char>(c + 32) : c;
  return out;
}

std::string_view without_list_marker(std::string_view t) {
  if (t.size() >= 2 && (t[0] == '-' || t[0] == '*' || t[0] == '+') && t[1] == ' ') return trim(t.substr(2));
  return t;
}

// "| a | b |", "+----+----+", or a reStructuredText simple-table rule
// ("=====  =====").
bool is_table_line(std::string_view t) {
  if (t.empty()) return false;
  if (t.front() == '|') return true;
  if (starts_with(t, "+-") || starts_with(t, "+=")) return true;
  const bool rule = std::all_of(t.begin(), t.end(), [](char c) { return c == '=' || c == ' '; });
  return rule && t.find("= ") != std::string_view::npos && t.find(" =") != std::string_view::npos;
}

// "5.1. Table Basics", "1.2.3._Foo", "A.1 Bar": a numbered entry with a
// short title and nothing after it.
bool is_contents_entry(std::string_view t) {
  if (t.size() > kMaxEntryChars) return false;
  std::size_t i = 0;
  if (i < t.size() && (is_digit(t[i]) || is_upper(t[i]))) {
    const bool letter = is_upper(t[i]);
    ++i;
    while (!letter && i < t.size() && is_digit(t[i])) ++i;
  } else {
    return false;
  }
  bool dotted = false;
  while (i < t.size() && t[i] == '.') {
    dotted = true;
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i;
  }
  if (!dotted || i >= t.size() || (t[i] != ' ' && t[i] != '_')) return false;
  const std::string_view rest = t.substr(i + 1);
  // A sentence ("1. Run the installer, then reboot.") is a step, not an entry.
  return !rest.empty() && rest.back() != '.' && rest.find(". ") == std::string_view::npos;
}

// A line that is only a link or a cross-reference.
bool is_link_line(std::string_view t) {
  t = without_list_marker(t);
  if (t.empty() || t.size() > kMaxEntryChars) return false;
  if (starts_with(t, "http://") || starts_with(t, "https://")) return t.find(' ') == std::string_view::npos;
  if (t.front() == '[' && t.back() == ')' && t.find("](") != std::string_view::npos) return true;
  if (t.front() == '`' && starts_with(std::string_view(t).substr(t.size() >= 3 ? t.size() - 3 : 0), ">`_")) return true;
  if (t.front() == ':' && t.back() == '`') {
    const std::size_t role_end = t.find(":`");
    return role_end != std::string_view::npos && t.find('`', role_end + 2) == t.size() - 1;
  }
  // AsciiDoc: an inline macro alone ("link:url[text]", "xref:id[text]",
  // "name:target[text]"), possibly several separated by commas, or "<<id,text>>".
  if (starts_with(t, "<<")) return t.ends_with(">>");
  if (t.back() == ',' || t.back() == '.') t.remove_suffix(1);
  const std::size_t colon = t.find(':');
  const std::size_t open = t.find('[');
  if (t.empty() || t.back() != ']' || colon == 0 || colon == std::string_view::npos || open == std::string_view::npos ||
      open < colon || t.substr(0, open).find(' ') != std::string_view::npos) {
    return false;
  }
  return std::all_of(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(colon),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

// "Version 2.3", "v1.4.0 (2021-03-02)", "Release 5.1:", "## 2.0.1": a line
// that opens an entry of a change history. A bare number or date is not
// enough: numbered steps and example output are full of them.
bool is_release_line(std::string_view t) {
  t = without_list_marker(t);
  const bool heading = !t.empty() && t.front() == '#';
  while (!t.empty() && t.front() == '#') t.remove_prefix(1);
  t = trim(t);
  const std::string l = lower(t.substr(0, 12));
  std::string_view rest;
  if (starts_with(l, "version ") || starts_with(l, "release ")) rest = t.substr(8);
  else if (l.size() > 1 && l[0] == 'v' && is_digit(l[1])) rest = t.substr(1);
  else if (heading) rest = t;
  if (rest.empty() || !is_digit(rest.front())) return false;
  std::size_t i = 0;
  std::size_t dots = 0;
  while (i < rest.size() && (is_digit(rest[i]) || rest[i] == '.')) dots += rest[i++] == '.' ? 1 : 0;
  const bool ends = i == rest.size() || rest[i] == ' ' || rest[i] == ':' || rest[i] == ',';
  return ends && (dots >= 1 || rest.data() != t.data());
}

bool names_changelog(std::string_view text) {
  const std::string l = lower(text);
  static constexpr std::array<std::string_view, 7> kNames = {"changelog", "change log", "release notes", "what's new",
                                                            "whats new",  "news",       "change history"};
  return std::any_of(kNames.begin(), kNames.end(), [&](std::string_view n) {
    const std::size_t at = l.find(n);
    if (at == std::string::npos) return false;
    // Whole words only ("newspaper" is no changelog).
    const bool left = at == 0 || !std::isalnum(static_cast<unsigned char>(l[at - 1]));
    const std::size_t end = at + n.size();
    const bool right = end >= l.size() || !std::isalnum(static_cast<unsigned char>(l[end]));
    return left && right;
  });
}

bool names_contents(std::string_view text) {
  const std::string l = lower(trim(text));
  return l == "table of contents" || l == "contents" || l.ends_with("/ table of contents") ||
         l.ends_with("> table of contents");
}

}  // namespace

ChunkKind classify_chunk(std::string_view content, std::string_view heading, std::string_view title) {
  if (names_changelog(heading) || names_changelog(title)) return ChunkKind::kChangelog;
  std::size_t lines = 0, table = 0, entries = 0, links = 0, releases = 0;
  bool contents_heading = names_contents(heading);
  for (std::size_t pos = 0; pos <= content.size();) {
    std::size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view t = trim(content.substr(pos, end - pos));
    pos = end + 1;
    if (t.empty()) continue;
    if (starts_with(t, ".. toctree::")) return ChunkKind::kContents;
    if (names_contents(t)) {
      contents_heading = true;
      continue;
    }
    if (t.front() == '#' && !is_release_line(t)) continue;  // a heading line says nothing of the body's shape
    ++lines;
    table += is_table_line(t) ? 1 : 0;
    entries += is_contents_entry(t) ? 1 : 0;
    links += is_link_line(t) ? 1 : 0;
    releases += is_release_line(t) ? 1 : 0;
  }
  if (lines == 0) return ChunkKind::kProse;
  const double n = static_cast<double>(lines);
  const bool enough = lines >= kMinLines;
  if (enough && static_cast<double>(entries) >= kListShare * n) return ChunkKind::kContents;
  if (contents_heading && static_cast<double>(entries + links) >= 0.5 * n) return ChunkKind::kContents;
  if (enough && static_cast<double>(links) >= kListShare * n) return ChunkKind::kLinks;
  if (enough && static_cast<double>(table) >= kTableShare * n) return ChunkKind::kTable;
  if (releases >= 2 && static_cast<double>(releases) >= 0.2 * n) return ChunkKind::kChangelog;
  return ChunkKind::kProse;
}

ChunkKind classify_chunk(const vorn_core::Chunk& chunk) {
  const auto text = [&](const char* key) -> std::string_view {
    const vorn_core::Value* v = chunk.metadata.find(key);
    return v && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
  };
  return classify_chunk(chunk.content, text("heading"), text("title"));
}

double kind_weight(ChunkKind kind) noexcept {
  switch (kind) {
    case ChunkKind::kProse: return 1.0;
    // Tables answer as often as prose: a package list says which tool does
    // what (0.6 lowered one corpus's BM25 recall@5 0.51 -> 0.46).
    case ChunkKind::kTable: return 1.0;
    case ChunkKind::kContents: return 0.3;
    case ChunkKind::kLinks: return 0.5;
    case ChunkKind::kChangelog: return 0.5;
  }
  return 1.0;
}

void demote_owned(vorn_core::ChunkList& ranked, std::span<const ChunkKind> kinds) {
  std::vector<double> scores;
  scores.reserve(ranked.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    vorn_core::Chunk& c = *ranked[i];
    const double score = c.score.value_or(0.0);
    if (score > 0.0) c.score = score * kind_weight(kinds[i]);
    scores.push_back(c.score.value_or(0.0));
  }
  std::vector<std::size_t> order(ranked.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
  vorn_core::ChunkList sorted;
  sorted.reserve(ranked.size());
  for (std::size_t i : order) sorted.push_back(std::move(ranked[i]));
  ranked = std::move(sorted);
}

vorn_core::ChunkList demote_by_kind(const vorn_core::ChunkList& ranked) {
  vorn_core::ChunkList out;
  out.reserve(ranked.size());
  std::vector<ChunkKind> kinds;
  kinds.reserve(ranked.size());
  for (const auto& c : ranked) {
    if (!c) continue;
    out.push_back(std::make_shared<vorn_core::Chunk>(*c));
    kinds.push_back(classify_chunk(*c));
  }
  demote_owned(out, kinds);
  return out;
}

}  // namespace vorn_retrieval
