// Search terms (stems, code tokens), markup removal, and chunking shaped by
// reStructuredText and AsciiDoc structure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "vorn_core/analysis.hpp"
#include "vorn_core/markup.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace {

using Strings = std::vector<std::string>;
using vorn_retrieval::DocumentFormat;

TEST(SearchTerms, InflectionsShareOneStemAndStopWordsGo) {
  for (const Strings& same : {Strings{"copy", "copies", "copied", "copying"}, Strings{"run", "running", "runs"},
                              Strings{"connection", "connections", "connected"}}) {
    for (const std::string& w : same) EXPECT_EQ(vorn_core::snowball_stem(w), vorn_core::snowball_stem(same[0])) << w;
  }
  EXPECT_NE(vorn_core::snowball_stem("news"), vorn_core::snowball_stem("new"));
  EXPECT_EQ(vorn_core::search_terms("How do I copy the files?"), (Strings{"copi", "file"}));
}

// Stems are remembered per thread up to a bound: a word stems the same the
// first time, from memory, after the memory was emptied and on another thread.
TEST(SearchTerms, StemsDoNotDependOnWhatWasStemmedBefore) {
  const Strings words{"indexing", "indexes", "generously", "connections", "ponies", "caresses", "x", "1999s"};
  Strings first;
  for (const std::string& w : words) first.push_back(vorn_core::snowball_stem(w));
  EXPECT_EQ(first, (Strings{"index", "index", "generous", "connect", "poni", "caress", "x", "1999s"}));
  for (int i = 0; i < 70000; ++i) (void)vorn_core::snowball_stem("token" + std::to_string(i) + "ing");
  EXPECT_EQ(vorn_core::snowball_stem("token69999ing"), "token69999");
  Strings again;
  std::thread other([&] {
    for (const std::string& w : words) again.push_back(vorn_core::snowball_stem(w));
  });
  other.join();
  EXPECT_EQ(again, first);
  for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(vorn_core::snowball_stem(words[i]), first[i]) << words[i];
  EXPECT_EQ(vorn_core::snowball_stem(""), "");
}

struct CodeCase {
  std::string text;
  Strings tokens;
};

class CodeTokens : public testing::TestWithParam<CodeCase> {};

TEST_P(CodeTokens, AreKeptWholeAndLowerCased) { EXPECT_EQ(vorn_core::code_tokens(GetParam().text), GetParam().tokens); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CodeTokens,
    testing::Values(CodeCase{"git reset --soft HEAD^", {"--soft", "head^"}},
                    CodeCase{"Use std::vector<int> here.", {"std::vector"}},
                    CodeCase{"call os.path.join() on snake_case names", {"os.path.join", "snake_case"}},
                    CodeCase{"run pg_dump -Fc.", {"pg_dump", "-fc"}},
                    CodeCase{"Plain words, a sentence. Another one: done.", {}},
                    CodeCase{"a range 1-2 and x-", {"1-2"}}));

TEST(SearchTerms, CodeTokensComeAfterTheirWords) {
  EXPECT_EQ(vorn_core::search_terms("reset --soft"), (Strings{"reset", "soft", "--soft"}));
}

struct MarkupCase {
  std::string in;
  std::string out;
};

class InlineMarkup : public testing::TestWithParam<MarkupCase> {};

TEST_P(InlineMarkup, LeavesReadableText) { EXPECT_EQ(vorn_core::strip_inline_markup(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Cases, InlineMarkup,
    testing::Values(MarkupCase{":mod:`shutil` --- High-level file operations", "shutil \xE2\x80\x94 High-level file operations"},
                    MarkupCase{"see :func:`~shutil.copy` and :ref:`the guide <guide>`", "see shutil.copy and the guide"},
                    MarkupCase{"use ``copytree()`` or *dst* or **not**", "use copytree() or dst or not"},
                    MarkupCase{"read `the docs <https://x>`_ now", "read the docs now"},
                    MarkupCase{"see linkgit:git-am[1] and HEAD{caret} or {litdd}soft", "see git-am(1) and HEAD^ or --soft"},
                    MarkupCase{"name it `HEAD{caret}` or ``HEAD{tilde}2``", "name it HEAD^ or HEAD~2"},
                    MarkupCase{"see <<undo-keep,taking back>>, <<faq>> and xref:undo.adoc[the guide]",
                               "see taking back, faq and the guide"},
                    MarkupCase{"cat <<EOF >>log and a << b >> c", "cat <<EOF >>log and a << b >> c"},
                    MarkupCase{"a [link](http://x) and f(*args, **kwargs)", "a link and f(*args, **kwargs)"}));

TEST(MarkupLines, StructureIsNotText) {
  for (const char* line : {"-----", "=====", ".. index:: single: copy", ".. _label:", ":synopsis: x", "[verse]",
                           "include::config/undo.txt[]", "ifdef::man-page[]", "endif::man-page[]"}) {
    EXPECT_TRUE(vorn_core::is_markup_line(line)) << line;
  }
  for (const char* line : {"Copy a file.", ".. function:: copy(src, dst)", "- a list item", "x: y",
                           "include:: the rest of the list [a]"}) {
    EXPECT_FALSE(vorn_core::is_markup_line(line)) << line;
  }
}

const char* kRst = R"(:mod:`shutil` --- File operations
=================================

.. module:: shutil
   :synopsis: Copying and removing files.

The module offers operations on files.

Copying
-------

Copy a tree like this::

    import shutil
    shutil.copytree(src, dst)
    print("done")

Removing
--------

Remove a tree with rmtree.
)";

TEST(LightMarkup, SectionsCarryHeadingPathsAndLiteralBlocksStayWhole) {
  vorn_retrieval::TextChunker chunker({.chunk_size = 90, .chunk_overlap = 0});
  const auto chunks = chunker.chunk(kRst, "shutil.rst", DocumentFormat::kLightMarkup);
  ASSERT_FALSE(chunks.empty());
  bool saw_code = false;
  for (const auto& c : chunks) {
    if (c.content.find("copytree") != std::string::npos) {
      saw_code = true;
      EXPECT_EQ(c.heading, "shutil \xE2\x80\x94 File operations > Copying");
      // The literal block is cut from the sentence before it, not inside.
      EXPECT_NE(c.content.find("import shutil"), std::string::npos) << c.content;
      EXPECT_NE(c.content.find("print(\"done\")"), std::string::npos) << c.content;
    }
    if (c.content.find("rmtree") != std::string::npos) EXPECT_EQ(c.heading, "shutil \xE2\x80\x94 File operations > Removing");
  }
  EXPECT_TRUE(saw_code);
}

TEST(LightMarkup, AsciiDocDelimitedBlocksAndTitles) {
  const std::string doc =
      "git-reset(1)\n============\n\nNAME\n----\ngit-reset - Reset current HEAD\n\nEXAMPLES\n--------\n"
      "Undo a commit:\n+\n------------\n$ git commit ...\n$ git reset --soft HEAD^\n$ edit\n------------\n";
  vorn_retrieval::TextChunker chunker({.chunk_size = 50, .chunk_overlap = 0});
  const auto chunks = chunker.chunk(doc, "git-reset.txt", vorn_retrieval::detect_format("git-reset.txt", doc));
  bool whole = false;
  for (const auto& c : chunks) {
    if (c.content.find("--soft") == std::string::npos) continue;
    EXPECT_EQ(c.heading, "git-reset(1) > EXAMPLES");
    whole = c.content.find("$ git commit") != std::string::npos && c.content.find("$ edit") != std::string::npos;
  }
  EXPECT_TRUE(whole);
}

TEST(LightMarkup, AsciiDocLabeledListTermsStayWithTheirDescription) {
  const std::string doc =
      "tool-undo(1)\n============\n\nOPTIONS\n-------\n--keep::\n\tKeeps the edits in your files and takes back\n"
      "\tonly the record of the change.\n\n-q::\n--quiet::\n\tPrints nothing at all, not even the errors\n"
      "\tthat stop the command.\n";
  vorn_retrieval::TextChunker chunker({.chunk_size = 100, .chunk_overlap = 0});
  const auto chunks = chunker.chunk(doc, "tool-undo.txt", vorn_retrieval::detect_format("tool-undo.txt", doc));
  for (const auto& [term, description] : {std::pair{"--keep::", "only the record"}, std::pair{"-q::", "stop the command"},
                                          std::pair{"--quiet::", "Prints nothing"}}) {
    const auto with_term = std::find_if(chunks.begin(), chunks.end(), [&](const auto& c) {
      return c.content.find(term) != std::string::npos;
    });
    ASSERT_NE(with_term, chunks.end()) << term;
    EXPECT_NE(with_term->content.find(description), std::string::npos) << with_term->content;
  }
}

struct FormatCase {
  std::string name;
  std::string text;
  DocumentFormat format;
};

class DetectFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(DetectFormat, FromNameThenText) {
  EXPECT_EQ(vorn_retrieval::detect_format(GetParam().name, GetParam().text), GetParam().format);
}

INSTANTIATE_TEST_SUITE_P(Cases, DetectFormat,
                         testing::Values(FormatCase{"a.md", "Title\n=====\n", DocumentFormat::kMarkdown},
                                         FormatCase{"a.rst.txt", "plain", DocumentFormat::kLightMarkup},
                                         FormatCase{"a.adoc", "plain", DocumentFormat::kLightMarkup},
                                         FormatCase{"a.txt", "Title\n=====\n\nText.", DocumentFormat::kLightMarkup},
                                         FormatCase{"a.txt", "Just text.\n\nMore text.", DocumentFormat::kPlain}));

TEST(DocumentSummary, TitleAndSynopsisOrFirstParagraph) {
  const auto rst = vorn_retrieval::summarize_document(kRst, DocumentFormat::kLightMarkup);
  EXPECT_EQ(rst.title, "shutil \xE2\x80\x94 File operations");
  EXPECT_EQ(rst.summary, "Copying and removing files.");
  const auto md = vorn_retrieval::summarize_document(
      "# VACUUM\n\nVACUUM \xE2\x80\x94 garbage-collect a database\n\n# Synopsis\n\nVACUUM [ FULL ]\n",
      DocumentFormat::kMarkdown);
  EXPECT_EQ(md.title, "VACUUM");
  EXPECT_EQ(md.summary, "VACUUM \xE2\x80\x94 garbage-collect a database");
  EXPECT_TRUE(vorn_retrieval::summarize_document("no structure", DocumentFormat::kPlain).title.empty());
  // A manual page in AsciiDoc: what it is for is the NAME line, not the
  // word "NAME" under the page title.
  const auto page = vorn_retrieval::summarize_document(
      "tool(1)\n=======\n\nNAME\n----\ntool - copy the lines of a file\n\nSYNOPSIS\n--------\ntool FILE\n",
      DocumentFormat::kLightMarkup);
  EXPECT_EQ(page.title, "tool(1)");
  EXPECT_EQ(page.summary, "tool - copy the lines of a file");
}

}  // namespace
