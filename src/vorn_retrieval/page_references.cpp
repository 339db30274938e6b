#include "page_references.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cctype>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace vorn_retrieval {
namespace {

constexpr std::size_t kNoPage = std::numeric_limits<std::size_t>::max();
// Words besides a reference below which its sentence says too little alone.
constexpr std::size_t kShortSentenceWords = 5;
constexpr std::size_t kFewestContextWords = 3;

// ASCII only and locale-free: the text is UTF-8, and this runs over every
// byte of the collection.
char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_ascii_alnum(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Letters, digits and any byte of a multi-byte UTF-8 character.
bool is_word_char(char c) noexcept { return is_ascii_alnum(c) || (c & 0x80) != 0; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// The markup of one reference never spans more than this: scans for its
// parts stop there, so text with many openings and no closings ("<<" shift
// operators, stray "](") costs linear time, not quadratic.
constexpr std::size_t kLongestMarkup = 2048;
// Nor does a sentence worth quoting.
constexpr std::size_t kLongestSentence = 1024;

// Where the first `what` at or after `from` is, when it is on the same line
// and within kLongestMarkup bytes; npos otherwise.
std::size_t find_on_line(std::string_view text, std::string_view what, std::size_t from) {
  const std::string_view window = text.substr(std::min(from, text.size()), kLongestMarkup);
  const std::size_t at = window.find(what);
  if (at == std::string_view::npos || window.substr(0, at).find('\n') != std::string_view::npos) return std::string_view::npos;
  return from + at;
}

// Page names: case does not matter, and a name that two pages claim names
// neither (a link to "index" cannot tell which index it means).
class PageNames {
 public:
  void add(std::string_view name, std::size_t page) {
    name = trim(name);
    if (name.empty()) return;
    const auto [it, fresh] = names_.emplace(lowered(name), page);
    if (!fresh && it->second != page) it->second = kNoPage;
  }
  std::size_t find(std::string_view name) const {
    const auto it = names_.find(lowered(trim(name)));
    return it == names_.end() ? kNoPage : it->second;
  }
  // "os.path.join" names the page of its longest prefix that names one.
  std::size_t find_dotted(std::string_view name) const {
    while (!name.empty()) {
      if (const std::size_t page = find(name); page != kNoPage) return page;
      const std::size_t dot = name.rfind('.');
      if (dot == std::string_view::npos) break;
      name = name.substr(0, dot);
    }
    return kNoPage;
  }
  // A path ("../library/os.rst", "git-reset.html#_options"), a fragment of
  // one ("#label"), or a bare name.
  std::size_t find_path(std::string_view target) const {
    if (target.find("://") != std::string_view::npos || target.starts_with("mailto:")) return kNoPage;
    std::string_view fragment;
    if (const std::size_t hash = target.find('#'); hash != std::string_view::npos) {
      fragment = target.substr(hash + 1);
      target = target.substr(0, hash);
    }
    if (const std::size_t q = target.find('?'); q != std::string_view::npos) target = target.substr(0, q);
    if (const std::size_t slash = target.find_last_of('/'); slash != std::string_view::npos) {
      target = target.substr(slash + 1);
    }
    if (!target.empty()) return find(page_stem(target));
    return fragment.empty() ? kNoPage : find(fragment);
  }

 private:
  std::unordered_map<std::string, std::size_t> names_;
};

struct Reference {
  std::size_t target = kNoPage;
  std::size_t begin = 0;  // where the reference's markup is in `text`
  std::size_t end = 0;
  std::string words;  // what the reference itself says
  std::string_view text = {};  // where it is: the page's text when empty
};

// Lines of the form ".. _label:", ".. module:: name", "[[id]]", "[#id]".
void collect_names(std::string_view text, std::size_t page, PageNames& names) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.starts_with(".. _") && line.ends_with(":") && line.size() > 5) {
      names.add(line.substr(4, line.size() - 5), page);
    } else if (line.starts_with(".. module::")) {
      names.add(line.substr(11), page);
    } else if (line.starts_with("[[") && line.ends_with("]]")) {
      const std::string_view id = line.substr(2, line.size() - 4);
      names.add(id.substr(0, id.find(',')), page);
    } else if (line.starts_with("[#") && line.ends_with("]")) {
      const std::string_view id = line.substr(2, line.size() - 3);
      names.add(id.substr(0, id.find_first_of(".%,")), page);
    }
  }
}

// Roles whose target is a Python-style dotted name.
bool is_object_role(std::string_view role) {
  static constexpr std::array<std::string_view, 10> kRoles = {"mod",  "func", "class", "meth", "exc",
                                                             "attr", "data", "const", "obj",  "program"};
  return std::find(kRoles.begin(), kRoles.end(), role) != kRoles.end();
}

// :role:`text <target>` and :role:`target`.
void scan_roles(std::string_view text, const PageNames& names, std::vector<Reference>& out) {
  for (std::size_t open = text.find(":`"); open != std::string_view::npos; open = text.find(":`", open + 2)) {
    std::size_t start = open;
    while (start > 0 && (std::isalnum(static_cast<unsigned char>(text[start - 1])) || text[start - 1] == ':' ||
                         text[start - 1] == '-')) {
      --start;
    }
    if (start == open || text[start] != ':' || (start > 0 && text[start - 1] == '`')) continue;
    // A role's text may wrap onto the next line, not past a paragraph.
    const std::string_view window = text.substr(open + 2, kLongestMarkup);
    const std::size_t length = window.find('`');
    if (length == std::string_view::npos || window.substr(0, length).find("\n\n") != std::string_view::npos) continue;
    const std::size_t close = open + 2 + length;
    std::string_view role = text.substr(start + 1, open - start - 1);
    if (const std::size_t colon = role.rfind(':'); colon != std::string_view::npos) role = role.substr(colon + 1);
    std::string_view shown = text.substr(open + 2, close - open - 2);
    std::string_view target = shown;
    if (shown.ends_with('>')) {
      if (const std::size_t lt = shown.rfind('<'); lt != std::string_view::npos) {
        target = shown.substr(lt + 1, shown.size() - lt - 2);
        shown = trim(shown.substr(0, lt));
      }
    }
    while (!target.empty() && (target.front() == '~' || target.front() == '!' || target.front() == '.')) {
      target.remove_prefix(1);
    }
    if (target.ends_with("()")) target.remove_suffix(2);
    std::size_t page = kNoPage;
    if (role == "ref") {
      page = names.find(target);
    } else if (role == "doc") {
      page = names.find_path(target);
    } else if (is_object_role(role)) {
      page = names.find_dotted(target);
    }
    if (page != kNoPage) out.push_back({page, start, close + 1, std::string(shown)});
  }
}

// [text](target "title")
void scan_markdown_links(std::string_view text, const PageNames& names, std::vector<Reference>& out) {
  for (std::size_t mid = text.find("]("); mid != std::string_view::npos; mid = text.find("](", mid + 2)) {
    const std::size_t back = std::min(mid, kLongestMarkup);
    const std::string_view before = text.substr(mid - back, back);
    const std::size_t bracket = before.find_last_of("[\n");
    if (bracket == std::string_view::npos || before[bracket] != '[') continue;
    const std::size_t open = mid - back + bracket;
    const std::size_t close = find_on_line(text, ")", mid + 2);
    if (close == std::string_view::npos) continue;
    std::string_view target = trim(text.substr(mid + 2, close - mid - 2));
    if (const std::size_t space = target.find(' '); space != std::string_view::npos) target = target.substr(0, space);
    if (target.starts_with('<') && target.ends_with('>')) target = target.substr(1, target.size() - 2);
    const std::size_t page = names.find_path(target);
    if (page != kNoPage) out.push_back({page, open, close + 1, std::string(text.substr(open + 1, mid - open - 1))});
  }
}

// <<id,text>>, xref:target[text], link:target[text], linkgit:name[1].
void scan_asciidoc(std::string_view text, const PageNames& names, std::vector<Reference>& out) {
  for (std::size_t open = text.find("<<"); open != std::string_view::npos; open = text.find("<<", open + 2)) {
    const std::size_t close = find_on_line(text, ">>", open + 2);
    if (close == std::string_view::npos) continue;
    const std::string_view inside = text.substr(open + 2, close - open - 2);
    const std::size_t comma = inside.find(',');
    const std::string_view id = trim(inside.substr(0, comma));
    const std::size_t page = id.find('#') != std::string_view::npos || id.find('.') != std::string_view::npos
                                 ? names.find_path(id)
                                 : names.find(id);
    const std::string_view shown = comma == std::string_view::npos ? id : trim(inside.substr(comma + 1));
    if (page != kNoPage) out.push_back({page, open, close + 2, std::string(shown)});
  }
  for (std::size_t colon = text.find(':'); colon != std::string_view::npos; colon = text.find(':', colon + 1)) {
    std::size_t start = colon;
    while (start > 0 && std::isalpha(static_cast<unsigned char>(text[start - 1]))) --start;
    if (start == colon || (start > 0 && is_word_char(text[start - 1]))) continue;
    const std::string_view macro = text.substr(start, colon - start);
    if (macro != "xref" && macro != "link" && !macro.starts_with("link")) continue;
    std::size_t bracket = colon + 1;
    while (bracket < text.size() && bracket - colon < kLongestMarkup && !is_space(text[bracket]) && text[bracket] != '[' &&
           text[bracket] != ']') {
      ++bracket;
    }
    if (bracket >= text.size() || text[bracket] != '[' || bracket == colon + 1) continue;
    const std::string_view target = text.substr(colon + 1, bracket - colon - 1);
    const std::size_t close = find_on_line(text, "]", bracket + 1);
    if (close == std::string_view::npos) continue;
    std::string_view shown = trim(text.substr(bracket + 1, close - bracket - 1));
    // linkgit:git-reset[1]: the bracket holds a manual section, not words.
    if (std::all_of(shown.begin(), shown.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      shown = target;
    }
    const std::size_t page = names.find_path(target);
    if (page != kNoPage) out.push_back({page, start, close + 1, std::string(shown)});
  }
}

std::string plain_words(std::string_view s);

struct Token {
  std::string_view text;  // in the lower-cased text the tokens were cut from
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Bytes of the character at `i` when it is not part of a word: ASCII
// punctuation and space, and the punctuation of Unicode's general
// punctuation block (curly quotes, dashes) and Latin-1 («, », no-break
// space); 0 for a word character.
std::size_t separator_length(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return is_ascii_alnum(static_cast<char>(c)) ? 0 : 1;
  if (i + 2 < text.size() && c == 0xE2 && (static_cast<unsigned char>(text[i + 1]) & 0xFE) == 0x80) return 3;
  if (i + 1 < text.size() && c == 0xC2) {
    const auto d = static_cast<unsigned char>(text[i + 1]);
    if (d == 0xA0 || d == 0xAB || d == 0xBB) return 2;
  }
  return 0;
}

std::vector<Token> word_tokens(std::string_view text) {
  std::vector<Token> out;
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t skip = separator_length(text, i); skip > 0) {
      i += skip;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && separator_length(text, j) == 0) ++j;
    out.push_back({text.substr(i, j - i), i, j});
    i = j;
  }
  return out;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The words of a title that name the page, as written: numbering
// ("9.4.12.", "Chapter 8.") left out, and what follows a dash ("psql —
// PostgreSQL interactive terminal") too, since it describes rather than
// names.
std::vector<std::string> naming_words(std::string_view title) {
  for (std::string_view dash : {" \xE2\x80\x94 ", " --- ", " -- ", " - "}) {
    if (const std::size_t at = title.find(dash); at != std::string_view::npos) title = title.substr(0, at);
  }
  const std::string plain = plain_words(title);
  const std::string lower = lowered(plain);
  const std::vector<Token> tokens = word_tokens(lower);
  std::size_t first = 0;
  for (std::size_t i = 0; i < tokens.size() && i < 4; ++i) {
    if (all_digits(tokens[i].text)) first = i + 1;
  }
  std::vector<std::string> words;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    words.emplace_back(plain.substr(tokens[i].begin, tokens[i].end - tokens[i].begin));
  }
  return words;
}

// The naming words one space apart when they have capitals past the first
// letter ("CREATE ROLE"), which a mention in the same capitals refers to;
// empty otherwise.
std::string capitalised_form(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty()) out += ' ';
    out += w;
  }
  const bool capitals = std::any_of(out.begin() + (out.empty() ? 0 : 1), out.end(),
                                    [](char c) { return std::isupper(static_cast<unsigned char>(c)); });
  return capitals ? out : std::string();
}

// Mentions of other pages' titles in running text.
class TitleMentions {
 public:
  explicit TitleMentions(const std::vector<ReferencingPage>& pages) {
    for (std::size_t p = 0; p < pages.size(); ++p) {
      const std::vector<std::string> written = naming_words(pages[p].title);
      if (written.size() < 2 || written.size() > 8) continue;
      std::vector<std::string> words;
      for (const std::string& w : written) words.push_back(lowered(w));
      std::string key;
      for (const std::string& w : words) key += w + ' ';
      // Two pages with one title: a mention cannot tell which.
      if (!seen_.emplace(key, p).second) {
        ambiguous_.insert(key);
        continue;
      }
      by_first_words_[pair_key(words[0], words[1])].push_back(titles_.size());
      first_word_shapes_.set(shape(words.front()));
      titles_.push_back({p, std::move(words), std::move(key), capitalised_form(written), {}});
    }
  }

  void scan(std::string_view text, std::size_t page, std::vector<Reference>& out) {
    if (titles_.empty()) return;
    const std::string lower = lowered(text);
    const std::vector<Token> tokens = word_tokens(lower);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      if (i + 1 >= tokens.size() || !may_start_title(tokens[i].text)) continue;
      const auto it = by_first_words_.find(pair_key(tokens[i].text, tokens[i + 1].text));
      if (it == by_first_words_.end()) continue;
      for (const std::size_t t : it->second) {
        Title& title = titles_[t];
        if (title.page == page || ambiguous_.contains(title.key) || i + title.words.size() > tokens.size()) continue;
        bool match = true;
        for (std::size_t k = 1; k < title.words.size() && match; ++k) match = tokens[i + k].text == title.words[k];
        if (!match) continue;
        const Token& last = tokens[i + title.words.size() - 1];
        if (!marked(text, tokens, i, title)) continue;
        if (title.mentioned_by.empty() || title.mentioned_by.back() != page) title.mentioned_by.push_back(page);
        out.push_back({title.page, tokens[i].begin, last.end, std::string(text.substr(tokens[i].begin, last.end - tokens[i].begin))});
      }
    }
  }

  // Per page, whether its title is mentioned by few enough pages to be a name.
  std::vector<bool> names(std::size_t pages, std::size_t max_pages) const {
    std::vector<bool> out(pages, false);
    for (const Title& t : titles_) out[t.page] = t.mentioned_by.size() <= max_pages;
    return out;
  }

 private:
  struct Title {
    std::size_t page;
    std::vector<std::string> words;
    std::string key;
    std::string written;  // the title's words as the title writes them, one space apart
    std::vector<std::size_t> mentioned_by;
  };

  // Running text uses a title's words for other things ("from the root
  // account"); a mention that refers to the page sets it apart: in quotes,
  // its words joined as one link text ("CREATE_ROLE"), or in the title's
  // own capitals where the title has capitals past its first letter.
  static bool marked(std::string_view text, const std::vector<Token>& tokens, std::size_t first, const Title& title) {
    const std::size_t n = title.words.size();
    const std::size_t begin = tokens[first].begin;
    const std::size_t end = tokens[first + n - 1].end;
    bool joined = true;
    for (std::size_t k = 1; k < n && joined; ++k) {
      const std::string_view gap = text.substr(tokens[first + k - 1].end, tokens[first + k].begin - tokens[first + k - 1].end);
      joined = gap == "_";
    }
    if (joined) return true;
    const auto opens = [&](std::size_t at) {
      if (at == 0) return false;
      const char c = text[at - 1];
      return c == '"' || c == '\'' || c == '`' || (at >= 3 && text.substr(at - 3, 3) == "\xE2\x80\x9C");
    };
    const auto closes = [&](std::size_t at) {
      if (at >= text.size()) return false;
      const char c = text[at];
      return c == '"' || c == '\'' || c == '`' || text.substr(at, 3) == "\xE2\x80\x9D";
    };
    if (opens(begin) && closes(end)) return true;
    if (title.written.empty()) return false;
    std::string mention;
    for (std::size_t k = 0; k < n; ++k) {
      if (k > 0) mention += ' ';
      mention += text.substr(tokens[first + k].begin, tokens[first + k].end - tokens[first + k].begin);
    }
    return mention == title.written;
  }
  std::vector<Title> titles_;
  // A cheap test before the hash lookup, which most words fail: the first
  // byte and length of some title's first word.
  static std::size_t shape(std::string_view word) noexcept {
    return static_cast<unsigned char>(word.front()) * 32 + std::min<std::size_t>(word.size(), 31);
  }
  bool may_start_title(std::string_view word) const noexcept { return first_word_shapes_.test(shape(word)); }
  std::bitset<256 * 32> first_word_shapes_;

  // Titles by their first two words: many titles may begin alike ("The
  // ..."), few begin with the same two words.
  static std::uint64_t pair_key(std::string_view first, std::string_view second) noexcept {
    const std::hash<std::string_view> h;
    return static_cast<std::uint64_t>(h(first)) * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(h(second));
  }
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_first_words_;
  std::unordered_map<std::string, std::size_t> seen_;
  std::unordered_set<std::string> ambiguous_;
};

bool ends_sentence(std::string_view text, std::size_t i) {
  const char c = text[i];
  if (c == '\n') return i + 1 < text.size() && text[i + 1] == '\n';
  return (c == '.' || c == '!' || c == '?') && i + 1 < text.size() && is_space(text[i + 1]);
}

// Markup that would only add noise terms: roles (":func:"), backquotes,
// emphasis, brackets, table rules.
std::string plain_words(std::string_view s) {
  std::string out;
  out.reserve(std::min(s.size(), kLongestSentence));
  std::size_t word_start = 0;
  // A "word" longer than this is a table rule, a run of padding or an
  // encoded blob: no question holds it.
  constexpr std::size_t kLongestWord = 64;
  const auto end_word = [&] {
    if (out.size() - word_start > kLongestWord) out.resize(word_start);
    if (!out.empty() && out.back() != ' ') out += ' ';
    word_start = out.size();
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == ':' && i + 1 < s.size() && std::isalpha(static_cast<unsigned char>(s[i + 1]))) {
      // ":role:`" -> "", keeping "a: b".
      std::size_t j = i + 1;
      while (j < s.size() && j - i < 32 && (is_ascii_alnum(s[j]) || s[j] == ':' || s[j] == '-')) ++j;
      if (j < s.size() && s[j] == '`' && s[j - 1] == ':') {
        i = j - 1;
        continue;
      }
    }
    if (c == '`' || c == '*' || c == '<' || c == '>' || c == '[' || c == ']' || c == '|' || c == '#' || c == '=' ||
        is_space(c)) {
      end_word();
      continue;
    }
    out += c;
  }
  end_word();
  return std::string(trim(out));
}

// Up to `n` whitespace-separated words at the end (or start) of `s`.
std::string_view last_words(std::string_view s, std::size_t n) {
  std::size_t i = s.size();
  std::size_t words = 0;
  while (i > 0) {
    while (i > 0 && is_space(s[i - 1])) --i;
    if (i == 0 || words == n) break;
    while (i > 0 && !is_space(s[i - 1])) --i;
    ++words;
  }
  return s.substr(i);
}

std::string_view first_words(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  std::size_t words = 0;
  while (i < s.size()) {
    while (i < s.size() && is_space(s[i])) ++i;
    if (i == s.size() || words == n) break;
    while (i < s.size() && !is_space(s[i])) ++i;
    ++words;
  }
  return s.substr(0, i);
}

// The reference and a few words either side of it, within its sentence.
std::size_t count_words(std::string_view s);

// The reference and a few words either side of it, within its sentence; a
// sentence that says little besides the reference ("(See Section 9.4,
// “Killing a process”)") takes the one before it too. Empty when nothing
// but the reference's own words is there to add.
std::string context_of(std::string_view text, const Reference& ref, std::size_t words_around) {
  const auto sentence_start = [&](std::size_t at) {
    const std::size_t limit = at > kLongestSentence ? at - kLongestSentence : 0;
    while (at > limit && !ends_sentence(text, at - 1)) --at;
    return at;
  };
  std::size_t from = sentence_start(ref.begin);
  std::size_t to = ref.end;
  while (to < text.size() && to - ref.end < kLongestSentence && !ends_sentence(text, to)) ++to;
  std::string before = plain_words(last_words(text.substr(from, ref.begin - from), words_around));
  const std::string after = plain_words(first_words(text.substr(ref.end, to - ref.end), words_around));
  if (count_words(before) + count_words(after) < kShortSentenceWords && from > 0) {
    from = sentence_start(from - 1);
    before = plain_words(last_words(text.substr(from, ref.begin - from), words_around));
  }
  // A line of a table of contents, a list of names: nothing said about the
  // page that its title does not say already.
  if (count_words(before) + count_words(after) < kFewestContextWords) return {};
  std::string out = before;
  for (const std::string& part : {plain_words(ref.words), after}) {
    if (part.empty()) continue;
    if (!out.empty()) out += ' ';
    out += part;
  }
  return out;
}

// Words that hold a letter or digit ("“" and "--" are not words).
std::size_t count_words(std::string_view s) {
  std::size_t n = 0;
  bool in_word = false;
  bool counted = false;
  for (std::size_t i = 0; i < s.size();) {
    if (is_space(s[i])) {
      in_word = false;
      ++i;
      continue;
    }
    if (!in_word) {
      in_word = true;
      counted = false;
    }
    const std::size_t skip = separator_length(s, i);
    if (skip == 0 && !counted) {
      counted = true;
      ++n;
    }
    i += std::max<std::size_t>(skip, 1);
  }
  return n;
}

}  // namespace

std::string page_stem(std::string_view file_name) {
  static constexpr std::array<std::string_view, 12> kDocumentExtensions = {
      ".txt", ".text", ".rst", ".md", ".markdown", ".adoc", ".asciidoc", ".asc", ".html", ".htm", ".xhtml", ".rest"};
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (std::string_view ext : kDocumentExtensions) {
      if (file_name.size() > ext.size() && lowered(file_name.substr(file_name.size() - ext.size())) == ext) {
        file_name.remove_suffix(ext.size());
        stripped = true;
        break;
      }
    }
  }
  return std::string(file_name);
}

std::vector<std::string> gather_anchor_text(const std::vector<ReferencingPage>& pages, const ReferenceLimits& limits) {
  std::vector<std::string> out(pages.size());
  if (pages.size() < 2) return out;
  PageNames names;
  for (std::size_t p = 0; p < pages.size(); ++p) names.add(page_stem(pages[p].file_name), p);
  for (std::size_t p = 0; p < pages.size(); ++p) collect_names(pages[p].text, p, names);

  TitleMentions titles(pages);
  std::vector<std::vector<Reference>> by_referrer(pages.size());
  std::vector<std::vector<Reference>> mentions(pages.size());
  for (std::size_t p = 0; p < pages.size(); ++p) {
    std::vector<Reference>& refs = by_referrer[p];
    scan_roles(pages[p].text, names, refs);
    scan_markdown_links(pages[p].text, names, refs);
    scan_asciidoc(pages[p].text, names, refs);
    for (const TextLink& link : pages[p].links) {
      const std::size_t target = names.find_path(link.target);
      if (target == kNoPage) continue;
      // The link's words within its paragraph; not found (never expected),
      // the paragraph's opening words stand in.
      std::size_t at = link.text.empty() ? std::string::npos : link.context.find(link.text);
      const std::size_t end = at == std::string::npos ? 0 : at + link.text.size();
      if (at == std::string::npos) at = 0;
      refs.push_back({target, at, end, link.text, link.context});
    }
    titles.scan(pages[p].text, p, mentions[p]);
  }
  const auto max_title_pages =
      std::max<std::size_t>(3, static_cast<std::size_t>(limits.title_page_share * static_cast<double>(pages.size())));
  const std::vector<bool> title_is_name = titles.names(pages.size(), max_title_pages);

  // Per target, its references as (round, referrer, position): a page's
  // first reference to a target before any page's second.
  struct Taken {
    std::size_t round;  // the referrer's how-manieth reference to the target
    std::string context;
  };
  std::vector<std::vector<Taken>> taken(pages.size());
  for (std::size_t p = 0; p < pages.size(); ++p) {
    std::vector<Reference> refs = std::move(by_referrer[p]);
    for (Reference& m : mentions[p]) {
      if (title_is_name[m.target]) refs.push_back(std::move(m));
    }
    // Markup in the page's text in its order, then the links listed beside
    // it (in theirs).
    std::stable_sort(refs.begin(), refs.end(), [](const Reference& a, const Reference& b) {
      return a.text.empty() != b.text.empty() ? a.text.empty() : a.text.empty() && a.begin < b.begin;
    });
    std::unordered_map<std::size_t, std::size_t> per_target;
    std::unordered_map<std::size_t, std::size_t> last_end;
    for (const Reference& ref : refs) {
      if (ref.target == p) continue;
      std::size_t& n = per_target[ref.target];
      if (n >= limits.per_referrer) continue;
      // Two references in one stretch of text would repeat its words.
      if (const auto it = last_end.find(ref.target); ref.text.empty() && it != last_end.end() && ref.begin < it->second) {
        continue;
      }
      std::string context = context_of(ref.text.empty() ? pages[p].text : ref.text, ref, limits.words_around);
      if (context.empty()) continue;
      if (ref.text.empty()) last_end[ref.target] = ref.end + 1;
      taken[ref.target].push_back({n++, std::move(context)});
    }
  }
  for (std::size_t t = 0; t < pages.size(); ++t) {
    std::vector<Taken>& list = taken[t];
    // Taken in referrer order already: a stable sort by round keeps it.
    std::stable_sort(list.begin(), list.end(), [](const Taken& a, const Taken& b) { return a.round < b.round; });
    std::size_t words = 0;
    for (const Taken& item : list) {
      const std::size_t n = count_words(item.context);
      if (words + n > limits.words_per_page) break;
      if (!out[t].empty()) out[t] += '\n';
      out[t] += item.context;
      words += n;
    }
  }
  return out;
}

}  // namespace vorn_retrieval
