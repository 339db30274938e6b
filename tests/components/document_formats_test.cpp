// Reading documents: HTML and PDF text and structure, binary content refused
// whatever the name, file selection patterns.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "minimal_pdf.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace {

using namespace vorn_retrieval;
using vorn_components_test::TempDir;

struct HtmlCase {
  std::string name;
  std::string html;
  std::string title;
  std::vector<std::string> present;  // in the text, in this order
  std::vector<std::string> absent;
};

class HtmlTest : public ::testing::TestWithParam<HtmlCase> {};

TEST_P(HtmlTest, KeepsTextAndHeadingsAndLeavesOutTheRest) {
  const ExtractedText got = html_to_text(GetParam().html);
  EXPECT_EQ(got.title, GetParam().title);
  std::size_t at = 0;
  for (const std::string& want : GetParam().present) {
    const std::size_t found = got.text.find(want, at);
    ASSERT_NE(found, std::string::npos) << "'" << want << "' in order in:\n" << got.text;
    at = found + want.size();
  }
  for (const std::string& unwanted : GetParam().absent) {
    EXPECT_EQ(got.text.find(unwanted), std::string::npos) << "'" << unwanted << "' in:\n" << got.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HtmlTest,
    ::testing::Values(
        HtmlCase{"Structure",
                 "<html><head><title>Guide</title><style>p{color:red}</style></head><body>"
                 "<nav><a href=/>Home</a> | <a href=/about>About</a></nav>"
                 "<h1>Install</h1><p>Run <b>apt</b>\n   install foo.</p><h2>Check</h2><ul><li>one</li><li>two</li></ul>"
                 "<script>alert('x')</script><noscript>enable js</noscript></body></html>",
                 "Guide",
                 {"# Install\n\nRun apt install foo.", "## Check", "- one", "- two"},
                 {"Home", "About", "color:red", "alert", "enable js"}},
        HtmlCase{"TitleBecomesTheTopHeading", "<title>Only title</title><p>Body text.</p>", "Only title",
                 {"# Only title\n\nBody text."}, {}},
        HtmlCase{"BrokenMarkupIsRecovered", "<p>first<p>second <i>unclosed<div>third", "", {"first", "second unclosed",
                                                                                                "third"}, {}},
        HtmlCase{"PreformattedKeepsItsLines", "<p>See:</p><pre>a  b\n  c</pre>", "", {"See:\n\n```\na  b\n  c\n```"}, {}},
        // A highlighter wraps every token in a span: still the same lines.
        HtmlCase{"HighlightedListingIsOneBlock",
                 "<pre><input type=checkbox><code><span class=k>const</span> a = <span>`x ${b}`</span>;\n"
                 "<span>log</span>(a);<br>done</code></pre><p>After.</p>",
                 "", {"```\nconst a = `x ${b}`;\nlog(a);\ndone\n```\n\nAfter."}, {"\n\nconst\n\n"}},
        // Documentation generators mark their site chrome by role, not <nav>.
        HtmlCase{"SiteChromeAndPermalinksLeftOut",
                 "<div class=related role=navigation><h3>Navigation</h3><ul><li><a href=i.html>index</a></li></ul>"
                 "</div><h1>time<a class=headerlink href=#time>\xC2\xB6</a></h1><p>Body<a href=#b>#</a>.</p>"
                 "<div role=search>Quick search</div>",
                 "time", {"# time\n\nBody."}, {"Navigation", "index", "\xC2\xB6", "Quick search"}},
        HtmlCase{"ListItemsWhoseTextIsInParagraphs",
                 "<ul><li><p>first</p></li><li><p>second</p><pre>code</pre></li><li></li><li>third</li></ul>", "",
                 {"- first\n\n- second\n\n```\ncode\n```\n\n- third"}, {"-\n"}},
        HtmlCase{"DeclaredLatin1", "<meta charset=iso-8859-1><p>caf\xE9</p>", "", {"caf\xC3\xA9"}, {}},
        HtmlCase{"Empty", "", "", {}, {}}),
    [](const auto& info) { return info.param.name; });

TEST(PdfText, PagesTitleAndPageOfAnOffset) {
  const std::string pdf = vorn_test_support::minimal_pdf({"First page about apples", "Second page about pears"},
                                                          "Fruit notes");
  const ExtractedText got = pdf_to_text(pdf);
  EXPECT_EQ(got.title, "Fruit notes");
  ASSERT_EQ(got.page_starts.size(), 2U);
  const std::size_t pears = got.text.find("pears");
  ASSERT_NE(pears, std::string::npos) << got.text;
  EXPECT_EQ(page_at(got.page_starts, got.text.find("apples")), 1U);
  EXPECT_EQ(page_at(got.page_starts, pears), 2U);
  EXPECT_EQ(page_at({}, 10), 0U);
}

TEST(PdfText, DamagedFilesAreALoadError) {
  for (const std::string& bytes : {std::string("%PDF-1.4\ngarbage"), std::string("not a pdf"), std::string()}) {
    try {
      (void)pdf_to_text(bytes);
      ADD_FAILURE() << "accepted: " << bytes;
    } catch (const LoadError& e) {
      EXPECT_EQ(e.code(), load_errc::kFormat);
    }
  }
}

class LoaderFormatsTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(LoaderFormatsTest, BinaryContentIsRefusedWhateverTheName) {
  const std::vector<std::pair<std::string, std::string>> binaries = {
      {"tool.txt", std::string("\x7F" "ELF\x02\x01\x01", 7) + std::string(64, '\0')},
      {"nul.md", std::string("text\0more text", 14)},
      {"controls.txt", std::string(200, '\x01')},
      {"zip.rst", "PK\x03\x04rest"},
  };
  for (const auto& [name, bytes] : binaries) {
    const auto path = dir_.write(name, bytes);
    try {
      (void)DocumentLoader().load_file(path, name);
      ADD_FAILURE() << name << " was read as text";
    } catch (const LoadError& e) {
      EXPECT_EQ(e.code(), load_errc::kBinary) << name;
    }
  }
  // Escape sequences (coloured logs) and a stray form feed are still text.
  const auto log = dir_.write("build.txt", "\x1b[32mok\x1b[0m\fdone\n");
  EXPECT_EQ(DocumentLoader().load_file(log, "build.txt").text, "\x1b[32mok\x1b[0m\fdone\n");
}

TEST_F(LoaderFormatsTest, PatternsAndSourceExtensionsChooseFiles) {
  dir_.write("tree/guide.md", "g");
  dir_.write("tree/drafts/plan.md", "p");
  dir_.write("tree/src/main.cpp", "int main() {}");
  dir_.write("tree/page.html", "<p>h</p>");
  dir_.write("tree/image.png", "\x89PNG");
  const auto names = [](const Discovery& d) {
    std::vector<std::string> out;
    for (const auto& [path, id] : d.files) out.push_back(id);
    return out;
  };
  const Discovery all = DocumentLoader().discover_all(dir_.path() / "tree");
  EXPECT_EQ(names(all), (std::vector<std::string>{"drafts/plan.md", "guide.md", "page.html"}));
  ASSERT_EQ(all.unsupported.size(), 2U);  // image.png, src/main.cpp

  LoaderOptions options;
  options.source_extensions = {"CPP"};
  options.exclude = {"drafts/*", "*.png"};
  const Discovery chosen = DocumentLoader(options).discover_all(dir_.path() / "tree");
  EXPECT_EQ(names(chosen), (std::vector<std::string>{"guide.md", "page.html", "src/main.cpp"}));
  EXPECT_TRUE(chosen.unsupported.empty());

  LoaderOptions only_md;
  only_md.include = {"*.md"};
  EXPECT_EQ(names(DocumentLoader(only_md).discover_all(dir_.path() / "tree")),
            (std::vector<std::string>{"drafts/plan.md", "guide.md"}));
}

// A manual page as `man tool > tool.txt` leaves it: layout is its only
// structure.
const std::string kManualPage =
    "TOOL(1)                      User Commands                      TOOL(1)\n"
    "\n"
    "\n"
    "\n"
    "NAME\n"
    "       tool - copy lines from one file to an\xE2\x80\x90\n"
    "       other\n"
    "\n"
    "SYNOPSIS\n"
    "       tool [OPTION]... SOURCE DEST\n"
    "\n"
    "DESCRIPTION\n"
    "       Copy  the  lines  of  SOURCE  to  DEST,  keeping  their  order  and\n"
    "       their well\xE2\x80\x90known end\xE2\x80\x90of\xE2\x80\x90line marks.\n"
    "\n"
    "       -n, --lines=NUM\n"
    "              copy at most NUM lines\n"
    "\n"
    "   Examples\n"
    "       Keep the first ten lines:\n"
    "\n"
    "           $ tool -n 10 a b\n"
    "           # tool -n 1 /etc/motd b\n"
    "\n"
    "       Both files may be the same.\n"
    "\n"
    "GNU tools 1.0                   May 2024                        TOOL(1)\n";

TEST(ManualPage, LayoutBecomesMarkdown) {
  const std::optional<ExtractedText> got = manual_page_to_text(kManualPage);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->title, "tool - copy lines from one file to another");
  EXPECT_EQ(got->text,
            "# tool - copy lines from one file to another\n\n"
            "tool - copy lines from one file to another\n\n"
            "## Synopsis\n\n```\ntool [OPTION]... SOURCE DEST\n```\n\n"
            "## Description\n\n"
            "Copy the lines of SOURCE to DEST, keeping their order and\n"
            "their well-known end-of-line marks.\n\n"
            "-n, --lines=NUM\ncopy at most NUM lines\n\n"
            "### Examples\n\n"
            "Keep the first ten lines:\n\n"
            "```\n$ tool -n 10 a b\n# tool -n 1 /etc/motd b\n```\n\n"
            "Both files may be the same.\n");
}

TEST(ManualPage, OverstruckOutputReadsTheSame) {
  std::string overstruck;
  for (const char c : kManualPage) {
    overstruck += c;
    if (c >= 'A' && c <= 'Z') (overstruck += '\b') += c;  // bold, as groff writes it for a terminal
  }
  const auto plain = manual_page_to_text(kManualPage);
  const auto bold = manual_page_to_text(overstruck);
  ASSERT_TRUE(bold.has_value());
  EXPECT_EQ(bold->text, plain->text);
}

TEST(ManualPage, HeaderFormsOfRealPages) {
  for (const std::string header : {
           "ALTER ROLE(7)      PostgreSQL 15 Documentation      ALTER ROLE(7)",
           // Long names run into the title when the line is too short for both.
           "SPI_CURSOR_OPEN_WITH_ARGPostgreSQL 15 DocumentaSPI_CURSOR_OPEN_WITH_ARGS(3)",
           "Algorithm::Diff::XS(3pUser Contributed Perl DocumentatAlgorithm::Diff::XS(3pm)",
       }) {
    const auto got = manual_page_to_text(header + "\n\nNAME\n       tool - x\n\nv1   May 2024   " +
                                         header.substr(header.rfind(header.substr(0, 5))) + "\n");
    ASSERT_TRUE(got.has_value()) << header;
    EXPECT_EQ(got->text, "# tool - x\n\ntool - x\n") << header;
  }
}

class NotAManualPage : public ::testing::TestWithParam<std::string> {};

TEST_P(NotAManualPage, IsLeftAlone) { EXPECT_FALSE(manual_page_to_text(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Texts, NotAManualPage,
                         ::testing::Values("", "\n\n", "Plain notes.\nNAME\n", "See tail(1) for more.\n\nNAME\n",
                                           "TOOL(1)   User Commands   TOOL(1)\n\nDESCRIPTION\n       text\n",
                                           "TOOL(1)\n\nNAME\n       tool - x\n",
                                           "LONG_NAMEUser CommandsLONG(1)\n\nNAME\n       long - x\n",
                                           "TOOL(1)   User Commands   TOOL(8)\n\nNAME\n       tool - x\n",
                                           "tool(1)\n=======\n\nNAME\n----\n"));

TEST_F(LoaderFormatsTest, ManualPageTextIsReadAsMarkdownWithItsTitle) {
  const Document doc = DocumentLoader().load_file(dir_.write("tool.1.txt", kManualPage), "tool.1.txt");
  EXPECT_TRUE(doc.markdown);
  EXPECT_EQ(doc.title, "tool - copy lines from one file to another");
  const Document notes = DocumentLoader().load_file(dir_.write("notes.txt", "NAME\n  x\n"), "notes.txt");
  EXPECT_FALSE(notes.markdown);
  EXPECT_EQ(notes.text, "NAME\n  x\n");
}

}  // namespace
