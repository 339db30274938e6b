// What other pages say about a page: references of every markup resolved to
// the page they name, the words around them credited to it, and a page
// found through those words alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "component_support.hpp"
#include "page_references.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_retrieval/fulltext_retriever.hpp"
#include "vorn_retrieval/indexer.hpp"

namespace {

using namespace vorn_components_test;
using vorn_retrieval::gather_anchor_text;
using vorn_retrieval::ReferencingPage;

// Pages that references can name, each in its own way.
std::vector<ReferencingPage> targets() {
  return {
      {"argparse.rst.txt", ".. module:: argparse\n\nParser for command-line options.\n", "argparse"},
      {"os.path.rst.txt", "Common pathname manipulations.\n", "os.path"},
      {"hardlinks.rst.txt", ".. _hard-links:\n\nHard links\n==========\n\nA directory entry.\n", "Hard links"},
      {"install.md", "# Installing\n\nRun the installer.\n", "Installing"},
      {"git-reset.adoc", "= git-reset(1)\n\n[[soft]]\nMoves HEAD only.\n", "git-reset(1)"},
      {"9.4.12.md", "# 9.4.12. Killing a process\n\nUse kill(1).\n", "9.4.12. Killing a process"},
      {"sql-createrole.md", "# CREATE ROLE\n\nDefines a role.\n", "CREATE ROLE"},
  };
}

struct ReferenceCase {
  const char* name;
  const char* text;       // the referring page
  int target;             // index into targets(), or -1: no page is credited
  const char* credited;   // words the target must receive
};

class ReferenceForms : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(ReferenceForms, ResolveToTheNamedPageWithTheWordsAround) {
  const ReferenceCase& c = GetParam();
  std::vector<ReferencingPage> pages = targets();
  pages.push_back({"referrer.txt", c.text, ""});
  const std::vector<std::string> said = gather_anchor_text(pages);
  ASSERT_EQ(said.size(), pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (static_cast<int>(i) == c.target) {
      EXPECT_NE(said[i].find(c.credited), std::string::npos) << c.name << ": " << said[i];
    } else {
      EXPECT_EQ(said[i], "") << c.name << " credited " << pages[i].file_name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Markup, ReferenceForms,
    ::testing::Values(
        ReferenceCase{"module_role", "To read what the user typed on the command line use :mod:`argparse` instead.", 0,
                      "what the user typed on the command line use argparse instead"},
        ReferenceCase{"dotted_name_to_longest_page_prefix", "Glue parts of a location with :func:`os.path.join` safely.",
                      1, "Glue parts of a location with os.path.join safely"},
        ReferenceCase{"label_with_shown_text", "A second name for a file: see :ref:`extra names <hard-links>` here.", 2,
                      "A second name for a file: see extra names here"},
        ReferenceCase{"markdown_link_by_stem", "Before anything else, [set the tool up](../guide/install.md#first) on "
                                               "your machine.",
                      3, "set the tool up on your machine"},
        ReferenceCase{"asciidoc_manual_link", "To undo the last commit but keep the edits, run linkgit:git-reset[1] "
                                              "with --soft.",
                      4, "undo the last commit but keep the edits, run git-reset with --soft"},
        ReferenceCase{"asciidoc_anchor", "Moving the branch pointer alone is <<soft,the gentle mode>> of the tool.", 4,
                      "the gentle mode of the tool"},
        ReferenceCase{"quoted_title", "A frozen program can be ended. (See Section 9.4.12, “Killing a process”)", 5,
                      "A frozen program can be ended"},
        ReferenceCase{"title_as_link_text", "Accounts that log in are made with CREATE_ROLE and a password.", 6,
                      "made with CREATE_ROLE and a password"},
        ReferenceCase{"title_in_its_capitals", "New accounts for people come from CREATE ROLE with the LOGIN option.",
                      6, "New accounts for people come from CREATE ROLE"},
        ReferenceCase{"table_rules_and_padding_are_not_words",
                      "Flags +----------------------------------------------------------------------+ for "
                      ":mod:`argparse` parsers.",
                      0, "Flags for argparse parsers"},
        ReferenceCase{"title_words_in_plain_prose", "Killing a process is what happens when you create role models.",
                      -1, ""},
        ReferenceCase{"unknown_module", "Use :mod:`nothere` or :ref:`no-such-label` for this.", -1, ""},
        ReferenceCase{"external_url", "Read [the install notes](https://example.com/install.md) online first.", -1,
                      ""},
        ReferenceCase{"role_without_a_page_kind", "Set :envvar:`argparse` before running the program.", -1, ""},
        ReferenceCase{"reference_with_nothing_said_around_it", ":mod:`argparse`", -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PageReferences, HtmlLinksCreditTheirTargetWithTheirParagraph) {
  const vorn_retrieval::ExtractedText html = vorn_retrieval::html_to_text(
      "<html><body><p>Before anything else, <a href=\"../guide/install.html#first\">set the tool up</a> on your "
      "machine.</p><p>Read <a href=\"https://example.com/install.html\">the notes</a> online.</p></body></html>");
  ASSERT_EQ(html.links.size(), 2U);
  EXPECT_EQ(html.links[0].target, "../guide/install.html#first");
  EXPECT_EQ(html.links[0].text, "set the tool up");
  std::vector<ReferencingPage> pages = targets();
  pages.push_back({"referrer.html", html.text, "", html.links});
  const std::vector<std::string> said = gather_anchor_text(pages);
  EXPECT_EQ(said[3], "Before anything else, set the tool up on your machine.");
  // The link's words stay in the text; its target does not.
  EXPECT_EQ(html.text.find("install"), std::string::npos);
}

TEST(PageReferences, HtmlLinkContextsStayNearTheirOwnLink) {
  // One block of many links (an index page): each keeps its own stretch of
  // the block, not the whole block, and a repeated link text is found at
  // its own place.
  std::string html = "<html><body><p>";
  for (int i = 0; i < 400; ++i) html += "item" + std::to_string(i) + " <a href=\"p.html\">here</a> filler words. ";
  html += "</p></body></html>";
  const vorn_retrieval::ExtractedText out = vorn_retrieval::html_to_text(html);
  ASSERT_EQ(out.links.size(), 400U);
  for (const vorn_retrieval::TextLink& link : out.links) EXPECT_LT(link.context.size(), 1300U);
  EXPECT_NE(out.links[399].context.find("item399 here"), std::string::npos);
  EXPECT_EQ(out.links[399].context.find("item0 "), std::string::npos);
}

TEST(PageReferences, APageNeverCreditsItselfAndAmbiguousNamesCreditNoOne) {
  std::vector<ReferencingPage> pages = {
      {"a/index.md", "# Index\n\nSee [the index](index.md) of everything kept here.\n", ""},
      {"b/index.md", "# Index\n\nAnother list of many things for readers.\n", ""},
      {"tool.rst", ".. module:: tool\n\nThe :mod:`tool` module does the work for you.\n", ""},
  };
  for (const std::string& said : gather_anchor_text(pages)) EXPECT_EQ(said, "");
}

TEST(PageReferences, HubPagesAreCappedAndEveryReferrerHeardFirst) {
  vorn_retrieval::ReferenceLimits limits;
  limits.words_per_page = 40;
  std::vector<ReferencingPage> pages = {{"hub.md", "# Hub\n\nThe centre.\n", ""}};
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i) {
    texts.push_back("Page" + std::to_string(i) + " says [the hub](hub.md) explains topic" + std::to_string(i) +
                    " well.\n\nLater it repeats [the hub](hub.md) for topic" + std::to_string(i) +
                    " again.\n\nAnd once more [the hub](hub.md) for emphasis.\n");
  }
  for (int i = 0; i < 20; ++i) pages.push_back({"p" + std::to_string(i) + ".md", texts[i], ""});
  const std::string said = gather_anchor_text(pages, limits)[0];
  std::size_t words = 0;
  for (std::size_t i = 0; i < said.size(); ++i) words += said[i] != ' ' && said[i] != '\n' && (i == 0 || said[i - 1] == ' ' || said[i - 1] == '\n');
  EXPECT_LE(words, limits.words_per_page);
  // The first referrers' first mentions, not one referrer's repetitions.
  EXPECT_NE(said.find("topic0 well"), std::string::npos) << said;
  EXPECT_NE(said.find("topic1 well"), std::string::npos) << said;
  EXPECT_EQ(said.find("topic0 again"), std::string::npos) << said;
  EXPECT_EQ(gather_anchor_text(pages, limits)[0], said);
}

TEST(PageReferences, TitlesThatManyPagesUseAreNotNames) {
  std::vector<ReferencingPage> pages = {{"overview.md", "# Getting started\n\nFirst steps.\n", "Getting started"}};
  std::vector<std::string> texts;
  for (int i = 0; i < 6; ++i) texts.push_back("Read “Getting started” before page " + std::to_string(i) + " of the manual.\n");
  for (int i = 0; i < 6; ++i) pages.push_back({"p" + std::to_string(i) + ".md", texts[i], ""});
  EXPECT_EQ(gather_anchor_text(pages, {.title_page_share = 0.0})[0], "");
  EXPECT_NE(gather_anchor_text(pages, {.title_page_share = 1.0})[0], "");
}

TEST(PageReferences, StemsDropDocumentExtensionsOnly) {
  EXPECT_EQ(vorn_retrieval::page_stem("os.path.rst.txt"), "os.path");
  EXPECT_EQ(vorn_retrieval::page_stem("9.4.12.md"), "9.4.12");
  EXPECT_EQ(vorn_retrieval::page_stem("git-reset.ADOC"), "git-reset");
}

// End to end: of two pages that match a question alike, the one that other
// pages describe in the question's other words ranks first.
TEST(PageReferences, WhatOthersSayOfAPageRanksIt) {
  TempDir dir;
  dir.write("docs/reset.rst", ".. _moving-the-pointer:\n\nReset\n=====\n\nMoves the branch pointer to another commit.\n");
  dir.write("docs/log.rst", "Log\n===\n\nLists each commit.\n");
  dir.write("docs/faq.rst", "FAQ\n===\n\nMade a mistake in the last snapshot? See :ref:`moving-the-pointer` "
                            "for the cure.\n");
  dir.write("docs/tips.rst", "Tips\n====\n\nTo undo your work while keeping the edits, see "
                             ":ref:`moving-the-pointer` first.\n");
  for (int i = 0; i < 6; ++i) {
    dir.write("docs/other" + std::to_string(i) + ".rst",
              "Other " + std::to_string(i) + "\n=======\n\nUnrelated notes about gardening and the weather.\n");
  }
  auto store = vorn_datastore::SqliteDataStore::open(dir.path() / "store.db", std::make_shared<CountingEmbedder>(16));
  ASSERT_TRUE(vorn_core::run_sync(vorn_retrieval::Indexer(store).index({dir.path() / "docs"})).ok());
  const auto scores =
      vorn_core::run_sync(store->page_search()->score_pages("undo a commit mistake", {"docs/reset.rst", "docs/log.rst"}));
  ASSERT_EQ(scores.size(), 2U);
  EXPECT_GT(scores[0], scores[1]);
  vorn_retrieval::FulltextRetriever retriever(store);
  std::vector<std::string> order;
  for (const auto& chunk : vorn_core::to_chunk_list(
           vorn_core::run_sync(retriever.retrieve(vorn_core::Value("undo a commit mistake"), {.top_k = 5})))) {
    const vorn_core::Value* source = chunk->metadata.find("source");
    if (source == nullptr || source->as_string() == "docs/faq.rst" || source->as_string() == "docs/tips.rst") continue;
    if (std::find(order.begin(), order.end(), source->as_string()) == order.end()) order.push_back(source->as_string());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"docs/reset.rst", "docs/log.rst"}));
}

}  // namespace
