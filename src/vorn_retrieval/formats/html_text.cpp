// HTML to text with libxml2's HTML parser.
#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "html_reader.hpp"
#include "libxml_api.hpp"
#include "text_builder.hpp"
#include "vorn_core/text.hpp"
#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {
namespace {

struct DocFree {
  void operator()(xmlDoc* d) const noexcept { detail::libxml_api().free_doc(d); }
};

std::string_view name_of(const xmlNode* n) {
  return n->name == nullptr ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(n->name));
}

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Not text a reader sees, or navigation repeated on every page of a site.
bool is_left_out(std::string_view name) {
  return is_one_of(name, {"script", "style", "nav", "noscript", "template", "head", "svg", "iframe", "object"});
}

bool layout_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool is_block(std::string_view name) {
  return is_one_of(name, {"p", "div", "section", "article", "main", "header", "footer", "aside", "ul", "ol", "li",
                          "dl", "dt", "dd", "table", "tr", "blockquote", "figure", "figcaption", "form", "fieldset",
                          "address", "details", "summary", "hr", "body", "caption"});
}

// Left out with everything inside it (defined below).
bool is_skipped(const xmlNode* n);

int heading_level(std::string_view name) {
  if (name.size() == 2 && (name[0] == 'h' || name[0] == 'H') && name[1] >= '1' && name[1] <= '6') return name[1] - '0';
  return 0;
}

// The node's text, whitespace collapsed.
std::string plain_text(const xmlNode* node) {
  TextBuilder b;
  for (const xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      if (n->content != nullptr) b.inline_text(reinterpret_cast<const char*>(n->content));
    } else if (n->type == XML_ELEMENT_NODE && !is_skipped(n)) {
      b.inline_text(plain_text(n->children));
    }
  }
  return b.take();
}

// The value of attribute `name` of an element, or "".
std::string attribute(const xmlNode* node, std::string_view name) {
  for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
    if (a->name == nullptr || std::string_view(reinterpret_cast<const char*>(a->name)) != name) continue;
    if (a->children != nullptr && a->children->content != nullptr) {
      return reinterpret_cast<const char*>(a->children->content);
    }
  }
  return {};
}

// The text of a <pre> as written: every element inside it (the spans a
// syntax highlighter wraps around each token) is text of the same lines.
void append_preformatted(const xmlNode* node, std::string& out) {
  for (const xmlNode* n = node; n != nullptr; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      if (n->content != nullptr) out += reinterpret_cast<const char*>(n->content);
    } else if (n->type == XML_ELEMENT_NODE && !is_skipped(n)) {
      if (name_of(n) == "br") out += '\n';
      append_preformatted(n->children, out);
    }
  }
}

// A listing as a fenced block, so that it is kept whole and read as code,
// not as sentences; a fence longer than any run of backticks inside.
std::string fenced(std::string_view code) {
  while (!code.empty() && (code.front() == '\n' || code.front() == '\r')) code.remove_prefix(1);
  while (!code.empty() && layout_space(code.back())) code.remove_suffix(1);
  if (code.empty()) return {};
  std::size_t longest = 0;
  for (std::size_t run = 0, i = 0; i < code.size(); ++i) {
    run = code[i] == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(std::max<std::size_t>(3, longest + 1), '`');
  return fence + "\n" + std::string(code) + "\n" + fence;
}

bool has_role(const xmlNode* n, std::string_view role) { return attribute(n, "role") == role; }

// A heading's or definition's own link ("¶", "#") that only gives its address.
bool is_permalink(const xmlNode* n) {
  const std::string href = attribute(n, "href");
  if (href.empty() || href[0] != '#') return false;
  const std::string classes = attribute(n, "class");
  for (std::size_t at = classes.find("headerlink"); at != std::string::npos; at = classes.find("headerlink", at + 1)) {
    const std::size_t end = at + 10;
    if ((at == 0 || classes[at - 1] == ' ') && (end == classes.size() || classes[end] == ' ')) return true;
  }
  const std::string text = plain_text(n->children);
  return text == "\xC2\xB6" || text == "#" || text == "\xC2\xA7";  // ¶ # §
}

// By element, by ARIA role (a site's navigation and search box are not the
// page's text), or a permalink.
bool is_skipped(const xmlNode* n) {
  const std::string_view name = name_of(n);
  if (is_left_out(name)) return true;
  if (name == "a") return is_permalink(n);
  return has_role(n, "navigation") || has_role(n, "search");
}

class Walker {
 public:
  explicit Walker(const detail::HtmlOptions& options) : options_(options) {}

  void walk(const xmlNode* node) {
    for (const xmlNode* n = node; n != nullptr; n = n->next) {
      if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
        if (n->content != nullptr) out_.inline_text(reinterpret_cast<const char*>(n->content));
        continue;
      }
      if (n->type != XML_ELEMENT_NODE) continue;
      const std::string_view name = name_of(n);
      if (is_skipped(n) || name == "title") continue;
      if (name == "pre") {
        std::string code;
        append_preformatted(n->children, code);
        out_.paragraph_break();
        out_.raw_text(fenced(code));
        out_.paragraph_break();
        continue;
      }
      if (const int level = heading_level(name)) {
        const std::string heading = plain_text(n->children);
        if (level == 1 && first_h1_.empty()) first_h1_ = heading;
        out_.heading(std::min(level + options_.heading_offset, 6), heading);
        continue;
      }
      if (name == "br") {
        out_.line_break();
        continue;
      }
      if (name == "a") note_link(n);
      const bool block = is_block(name);
      if (block) out_.paragraph_break();
      if (name == "li") out_.list_item();
      walk(n->children);
      if (block) out_.paragraph_break();
    }
  }

  void set_title(std::string title) { title_ = std::move(title); }

  ExtractedText finish() {
    ExtractedText out;
    out.title = !title_.empty() ? title_ : first_h1_;
    std::string body = out_.take();
    // A page whose title is no heading of its own still gets one, so its
    // chunks carry it.
    if (options_.title_as_heading && first_h1_.empty() && !title_.empty()) {
      TextBuilder with_title;
      with_title.heading(1, title_);
      body = with_title.take() + "\n\n" + body;
    }
    // A character reference such as `&#0;` decodes to a NUL byte, which
    // must never reach stored text; dropping one can expose a trailing blank.
    // A page that lies about its encoding can still yield invalid UTF-8.
    body = vorn_core::replace_invalid_utf8(body);
    out.title = vorn_core::replace_invalid_utf8(out.title);
    std::erase(body, '\0');
    std::erase(out.title, '\0');
    while (!body.empty() && (body.back() == ' ' || body.back() == '\n')) body.pop_back();
    out.text = std::move(body);
    for (TextLink& link : links_) {
      link.target = vorn_core::replace_invalid_utf8(link.target);
      link.text = vorn_core::replace_invalid_utf8(link.text);
      link.context = vorn_core::replace_invalid_utf8(link.context);
    }
    out.links = std::move(links_);
    return out;
  }

 private:
  // A link's paragraph is kept only around the link: a page of thousands of
  // links in one block (an index, a body without paragraphs) would
  // otherwise hold thousands of copies of the whole block.
  static constexpr std::size_t kContextBytes = 600;
  static constexpr std::size_t kLinkTextBytes = 1024;

  void note_link(const xmlNode* a) {
    std::string target = attribute(a, "href");
    if (target.empty()) return;
    const xmlNode* block = a->parent;
    while (block != nullptr && block->type == XML_ELEMENT_NODE && !is_block(name_of(block)) &&
           heading_level(name_of(block)) == 0 && name_of(block) != "td" && name_of(block) != "th") {
      block = block->parent;
    }
    // Links of one paragraph share its text, read once; each is found in it
    // after the one before.
    if (block != context_node_) {
      context_node_ = block;
      context_ = block != nullptr && block->type == XML_ELEMENT_NODE ? plain_text(block->children) : std::string();
      context_cursor_ = 0;
    }
    std::string text = plain_text(a->children);
    if (text.size() > kLinkTextBytes) text.resize(kLinkTextBytes);
    const std::size_t at = text.empty() ? std::string::npos : context_.find(text, context_cursor_);
    std::string context;
    if (at != std::string::npos) {
      context_cursor_ = at + text.size();
      const std::size_t from = at > kContextBytes ? at - kContextBytes : 0;
      context = context_.substr(from, at - from + text.size() + kContextBytes);
    }
    links_.push_back({std::move(target), std::move(text), std::move(context)});
  }

  TextBuilder out_;
  std::vector<TextLink> links_;
  const xmlNode* context_node_ = nullptr;
  std::string context_;
  std::size_t context_cursor_ = 0;
  detail::HtmlOptions options_;
  std::string title_;
  std::string first_h1_;
};

}  // namespace

ExtractedText html_to_text(std::string_view html) { return detail::html_to_text(html, {}); }

ExtractedText detail::html_to_text(std::string_view html, const HtmlOptions& options) {
  const detail::LibxmlApi& xml = detail::libxml_api();
  if (html.empty() || html.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int parse_options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                            HTML_PARSE_COMPACT;
  // Valid UTF-8 is read as such; anything else is left to libxml2, which
  // follows a declared charset and falls back to Latin-1.
  const char* encoding = vorn_core::find_invalid_utf8(html) == std::string_view::npos ? "UTF-8" : nullptr;
  std::unique_ptr<xmlDoc, DocFree> doc(
      xml.html_read_memory(html.data(), static_cast<int>(html.size()), nullptr, encoding, parse_options));
  if (!doc) return {};
  Walker walker(options);
  // <title> lives in <head>, which the walk leaves out; look for it first.
  if (const xmlNode* root = xml.doc_get_root_element(doc.get())) {
    for (const xmlNode* n = root->children; n != nullptr; n = n->next) {
      if (n->type != XML_ELEMENT_NODE || name_of(n) != "head") continue;
      for (const xmlNode* h = n->children; h != nullptr; h = h->next) {
        if (h->type == XML_ELEMENT_NODE && name_of(h) == "title") {
          walker.set_title(plain_text(h->children));
          break;
        }
      }
    }
    walker.walk(root);
  }
  return walker.finish();
}

}  // namespace vorn_retrieval
