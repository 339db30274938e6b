// Offline answering: sentence splitting, the extractive answerer, the
// extractive LM invoker, and query() end to end over the SQLite store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "component_support.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/sqlite_data_store.hpp"
#include "vorn_generation/extractive_answerer.hpp"
#include "vorn_generation/lm_request_processor.hpp"
#include "vorn_generation/prompt_builder.hpp"
#include "vorn_inference/extractive_lm_invoker.hpp"
#include "vorn_rag/query.hpp"
#include "vorn_retrieval/text_chunker.hpp"

namespace {

using namespace vorn_components_test;
using vorn_core::Dict;
using vorn_core::Value;
using vorn_core::run_sync;
using vorn_inference::Passage;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SplitSentences, FindsBoundariesButNotAbbreviationsOrDecimals) {
  struct Case {
    std::string paragraph;
    std::vector<std::string> sentences;
  };
  const std::vector<Case> cases = {
      {"First one. Second one!", {"First one.", "Second one!"}},
      {"Use a form, e.g. this one. Then stop.", {"Use a form, e.g. this one.", "Then stop."}},
      {"Version 1.2 is out. It works.", {"Version 1.2 is out.", "It works."}},
      {"He said \"stop.\" Then he left.", {"He said \"stop.\"", "Then he left."}},
      {"Call `run()`. `arun` awaits.", {"Call `run()`.", "`arun` awaits."}},
      {"lower case follows. so no cut", {"lower case follows. so no cut"}},
      {"Ask J. Smith about it.", {"Ask J. Smith about it."}},
      {"   ", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paragraph);
    EXPECT_EQ(vorn_inference::split_sentences(c.paragraph), c.sentences);
  }
}

TEST(SplitUnits, ReadsMarkdownStructure) {
  const std::string text =
      "# Errors\n"
      "Every error has a code. It is stable\n"
      "across releases.\n"
      "\n"
      "- A list item with several words\n"
      "  continued on the next line.\n"
      "\n"
      "| Error | Code |\n"
      "|---|---|\n"
      "| RAGTypeError | VORN-RAG-TYPE |\n"
      "\n"
      "```sh\n"
      "bash scripts/test.sh\n"
      "```\n"
      "## Sub\n"
      "Ok.\n";
  const auto units = vorn_inference::split_units(text, "Start");
  std::vector<std::string> texts;
  for (const auto& u : units) texts.push_back(u.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Every error has a code.", "It is stable across releases.",
                                             "A list item with several words continued on the next line.",
                                             "Error: RAGTypeError; Code: VORN-RAG-TYPE", "`bash scripts/test.sh`",
                                             "Ok."}));
  EXPECT_EQ(units[0].heading, "Errors");
  EXPECT_EQ(units.back().heading, "Sub");
  EXPECT_FALSE(units.back().selectable);  // too short to answer anything
  EXPECT_EQ(vorn_inference::split_units("Plain text here.", "Given").front().heading, "Given");
}

TEST(SplitUnits, NamesCellsAfterColumnsATableOpensWithEvenWithoutASeparatorRow) {
  // As text converted from HTML gives it: rows apart, no "|---|" line.
  const std::string text =
      "Some interesting packages follow.\n\n"
      "|package |popcon |description |\n\n"
      "|mc |V:54, I:226 |A text-mode file manager |\n\n"
      "Between two tables.\n\n"
      "|0022 |-rw-r--r-- |writable only by the user |\n";
  std::vector<std::string> texts;
  for (const auto& u : vorn_inference::split_units(text)) texts.push_back(u.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Some interesting packages follow.",
                                             "package: mc; popcon: V:54, I:226; description: A text-mode file manager",
                                             "Between two tables.",
                                             "0022; -rw-r--r--; writable only by the user"}));
}

// A listing longer than a chunk is cut across chunks: in the later one, the
// fence that closes it must not open code over the prose that follows.
TEST(SplitUnits, AChunkThatStartsInsideAListingReadsItsProseAsProse) {
  std::string listing;
  for (int i = 0; i < 12; ++i) listing += "value_" + std::to_string(i) + " = compute(" + std::to_string(i) + ")\n";
  const std::string doc = "# Setup\n\nRun this:\n\n```\n" + listing + "```\n\nThe result is stored in the cache.\n";
  const auto chunks = vorn_retrieval::TextChunker({.chunk_size = 200, .chunk_overlap = 0})
                          .chunk(doc, "doc.md", vorn_retrieval::DocumentFormat::kMarkdown);
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_FALSE(chunks.front().opens_in_code);
  const auto& last = chunks.back();
  ASSERT_TRUE(last.opens_in_code) << last.content;
  std::vector<std::string> prose;
  for (const auto& u : vorn_inference::split_units(last.content, last.heading, true)) {
    if (!u.code) prose.push_back(u.text);
  }
  EXPECT_EQ(prose, std::vector<std::string>{"The result is stored in the cache."});
}

// reStructuredText blocks that are not prose: each case's text, and the
// units a reader should get from it (code as inline code, structure as
// nothing).
struct NonProseCase {
  std::string name;
  std::string text;
  std::vector<std::string> units;
};

class SplitUnitsNonProse : public ::testing::TestWithParam<NonProseCase> {};

TEST_P(SplitUnitsNonProse, KeepsCodeAsCodeAndDropsStructure) {
  std::vector<std::string> texts;
  for (const auto& u : vorn_inference::split_units(GetParam().text)) texts.push_back(u.text);
  EXPECT_EQ(texts, GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Rst, SplitUnitsNonProse,
    ::testing::Values(
        NonProseCase{"CodeDirective",
                     "Start a worker thread.\n\n.. code-block:: python\n   :linenos:\n\n   t = Thread(target=work)\n"
                     "   t.start()\n\nThe thread runs at once.\n",
                     {"Start a worker thread.", "`t = Thread(target=work)`, then `t.start()`", "The thread runs at once."}},
        NonProseCase{"LongTestcodeIsLeftOut",
                     ".. testcode::\n\n   import math\n   import random\n   def take(n):\n       return n\n"
                     "   def drop(n):\n       return n\n\nRecipes follow the same style.\n",
                     {"Recipes follow the same style."}},
        NonProseCase{"IndexEntries",
                     ".. index::\n   single: * (asterisk); in glob-style wildcards\n   pair: module; glob\n\n"
                     "The glob module finds path names.\n",
                     {"The glob module finds path names."}},
        NonProseCase{"InteractiveSession", "Floats are not exact.\n\n>>> .1 + .2 == .3\nFalse\n",
                     {"Floats are not exact.", "`>>> .1 + .2 == .3`, then `False`"}},
        NonProseCase{"SpacedLiteralMarker", "Pick the element you want. ::\n\n   pick(x)\n",
                     {"Pick the element you want.", "`pick(x)`"}},
        NonProseCase{"NoteBodyStaysProse", ".. note::\n\n   Sorting is stable in every release.\n",
                     {"Note:", "Sorting is stable in every release."}},
        NonProseCase{"SimpleTableRowsNamedAfterTheHeader",
                     "Averages follow.\n\n============  ==========\nName          Meaning\n============  ==========\n"
                     ":func:`mean`  Arithmetic mean\n              of data.\n``mode``      Most common value\n"
                     "============  ==========\n\n"
                     "After the table.\n",
                     {"Averages follow.", "Name: mean; Meaning: Arithmetic mean of data.",
                      "Name: mode; Meaning: Most common value", "After the table."}},
        NonProseCase{"SimpleTableWithoutHeaderAndATailBegunEarlier",
                     "median   Middle value\n=======  ============\n\nStill prose here.\n\n"
                     "=====  ======\nfmean  Fast mean\n=====  ======\n",
                     {"median   Middle value", "Still prose here.", "fmean; Fast mean"}},
        NonProseCase{"GridTableCellsJoinedAcrossTheirLines",
                     "+-----------------+--------------------+\n| Constant        | Meaning            |\n"
                     "+=================+====================+\n| ``FIRST_DONE``  | Returns when any   |\n"
                     "|                 | future finishes.   |\n+-----------------+--------------------+\n"
                     "| ``ALL_DONE``    | Returns when all   |\n|                 | futures finish.    |\n"
                     "+-----------------+--------------------+\n\nNo timeout cancels them.\n",
                     {"Constant: FIRST_DONE; Meaning: Returns when any future finishes.",
                      "Constant: ALL_DONE; Meaning: Returns when all futures finish.", "No timeout cancels them."}},
        NonProseCase{"GridTableBegunInAnEarlierChunk",
                     "| ``ANY``   | Returns when any  |\n|           | future finishes.  |\n"
                     "+-----------+-------------------+\n",
                     {"ANY; Returns when any future finishes."}},
        NonProseCase{"InlineMarkupInTableCells",
                     "| Directive | Meaning |\n|---|---|\n| ``%d`` | Day of the *month* |\n",
                     {"Directive: %d; Meaning: Day of the month"}}),
    [](const ::testing::TestParamInfo<NonProseCase>& info) { return info.param.name; });

// A "::" line over indented text: a literal block in reStructuredText
// (after a blank line), a labeled list item in AsciiDoc (right over it).
INSTANTIATE_TEST_SUITE_P(
    DoubleColon, SplitUnitsNonProse,
    ::testing::Values(NonProseCase{"AsciiDocLabeledListDescriptionsAreProse",
                                   "--all::\n\tShow every row, hidden ones\n\tincluded.\n\n-q::\n--quiet::\n"
                                   "\tPrint nothing at all.\n",
                                   {"--all: Show every row, hidden ones included.", "-q, --quiet: Print nothing at all."}},
                      NonProseCase{"RstLiteralBlockAfterABlankLine", "Call it like this::\n\n   run(x)\n",
                                   {"Call it like this:", "`run(x)`"}}),
    [](const ::testing::TestParamInfo<NonProseCase>& info) { return info.param.name; });

// Delimited blocks and list nesting: what is code, what is prose.
INSTANTIATE_TEST_SUITE_P(
    Blocks, SplitUnitsNonProse,
    ::testing::Values(NonProseCase{"RstOverlinedTitleIsNoCode",
                                   "*****************\n  Sorting HOW TO\n*****************\n\nLists sort in place.\n",
                                   {"Lists sort in place."}},
                      NonProseCase{"AsciiDocExampleAndSidebarBlocksAreProse",
                                   "====\nRun the tool with the keep option.\n====\n\n****\nThe edits stay put.\n****\n"
                                   "\n----\n$ tool undo --keep\n----\n",
                                   {"Run the tool with the keep option.", "The edits stay put.", "`$ tool undo --keep`"}},
                      NonProseCase{"AsciiDocNestedListMarkers",
                                   "* First item of the list\n** A nested item here\n\n. First step to take\n. Then the next step\n",
                                   {"First item of the list", "A nested item here", "First step to take", "Then the next step"}}),
    [](const ::testing::TestParamInfo<NonProseCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ConvertedHtml, SplitUnitsNonProse,
    ::testing::Values(NonProseCase{"NestedBulletsAreListItems",
                                   "    * Hard link\n\n          o Duplicate name for an existing file\n"
                                   "          o Made by \"ln foo bar\"\n",
                                   {"Hard link", "Duplicate name for an existing file", "Made by \"ln foo bar\""}},
                      NonProseCase{"TableCellsLoseTheirUnderscorePadding",
                                   "|uuid________| ______|16 bytes___|\n\n|__init__ |__|constructor|\n",
                                   {"uuid; 16 bytes", "__init__; __; constructor"}}),
    [](const ::testing::TestParamInfo<NonProseCase>& info) { return info.param.name; });

TEST(ParseContextBlocks, ReadsWhatFormatContextWrites) {
  const auto chunk_a = vorn_core::make_chunk("docs/a.md#0-1234abcd", "First paragraph.\n\n[link](x) starts a paragraph.");
  const auto chunk_b = vorn_core::make_chunk("b", "Second chunk.");
  const std::string context = vorn_generation::format_context({chunk_a, chunk_b});
  const auto passages = vorn_inference::parse_context_blocks(context);
  ASSERT_EQ(passages.size(), 2U);
  EXPECT_EQ(passages[0].id, chunk_a->id);
  EXPECT_EQ(passages[0].text, chunk_a->content);
  EXPECT_EQ(passages[1].id, "b");
  EXPECT_EQ(passages[1].text, "Second chunk.");

  const auto loose = vorn_inference::parse_context_blocks("Some text without ids.");
  ASSERT_EQ(loose.size(), 1U);
  EXPECT_EQ(loose[0].id, "");
  EXPECT_TRUE(vorn_inference::parse_context_blocks("").empty());
}

class ExtractiveAnswererTest : public ::testing::Test {
 protected:
  vorn_core::ChunkList chunks_{
      vorn_core::make_chunk("docs/pipeline.md#0-aaaaaaaa",
                            "# Pipeline\n\nA pipeline runs its steps in order. Each step reads the state and writes "
                            "one key. Errors in a step are wrapped by the step error handler."),
      vorn_core::make_chunk("docs/strategies.md#2-bbbbbbbb",
                            "NaiveRAG retrieves chunks and writes an answer. CRAG judges the relevance of each "
                            "retrieved chunk before it answers."),
  };
};

TEST_F(ExtractiveAnswererTest, PicksTheSentenceThatAnswersAndCitesItsChunk) {
  vorn_generation::ExtractiveAnswerer one({.max_sentences = 1});
  EXPECT_EQ(run_sync(one.synthesize("How are errors in a step handled?", chunks_)),
            Value("Errors in a step are wrapped by the step error handler. [docs/pipeline.md#0-aaaaaaaa]"));
  EXPECT_EQ(run_sync(one.synthesize("What does CRAG judge?", chunks_)),
            Value("CRAG judges the relevance of each retrieved chunk before it answers. [docs/strategies.md#2-bbbbbbbb]"));
}

TEST_F(ExtractiveAnswererTest, CombinesPassagesBestAnswerFirst) {
  vorn_generation::ExtractiveAnswerer answerer;
  const auto answer = answerer.answer("What does CRAG judge, and in which order does a pipeline run its steps?", chunks_);
  ASSERT_TRUE(answer.found());
  ASSERT_EQ(answer.cited_ids.size(), 2U);
  EXPECT_LE(answer.sentences.size(), 3U + answerer.options().max_see_also);
  EXPECT_TRUE(contains(answer.text, "A pipeline runs its steps in order."));
  EXPECT_TRUE(contains(answer.text, "CRAG judges"));
  // The strongest sentence leads, and its passage is cited first.
  for (const auto& s : answer.sentences) EXPECT_GE(answer.sentences.front().score, s.score);
  EXPECT_EQ(answer.cited_ids.front(), answer.sentences.front().passage_id);
  EXPECT_TRUE(answer.text.ends_with("[" + answer.cited_ids.back() + "]"));
}

TEST(ExtractiveAnswer, ReadsReStructuredTextAndAsciiDocWithoutTheirMarkup) {
  const std::vector<Passage> passages = {
      {"shutil.rst#1",
       "Directory operations\n--------------------\n\n.. function:: copytree(src, dst)\n\n"
       "   Recursively copy an entire directory tree rooted at *src* to a directory named *dst*, "
       "see :func:`~shutil.copy2` for the metadata.\n\n   Example::\n\n       copytree(src, dst)\n",
       ""},
      {"git-reset.txt#2",
       "Undo a commit\n~~~~~~~~~~~~~\n\nUse linkgit:git-reset[1] with `--soft` to undo the commit and keep the "
       "edits in your files.\n\n------------\n$ git reset --soft HEAD{caret}\n------------\n",
       ""},
  };
  const auto tree = vorn_inference::extract_answer("How do I copy a whole directory tree?", passages);
  ASSERT_TRUE(tree.found());
  EXPECT_TRUE(tree.text.starts_with("Recursively copy an entire directory tree rooted at src to a directory named dst, "
                                    "see shutil.copy2 for the metadata. [shutil.rst#1]"))
      << tree.text;
  const auto undo = vorn_inference::extract_answer("Undo my last commit but keep the edits in my files", passages);
  ASSERT_TRUE(undo.found());
  EXPECT_EQ(undo.sentences.front().text,
            "Use git-reset(1) with --soft to undo the commit and keep the edits in your files.");
  for (const char* markup : {"----", "~~~", ":func:", "linkgit", "{caret}", ".. "}) {
    EXPECT_FALSE(contains(tree.text + undo.text, markup)) << markup;
  }
}

TEST(ExtractiveAnswer, TrustsTheRetrievalOrderWhenMatchesAreClose) {
  // The first passage is the retriever's best page; a later one happens to
  // repeat more of the question's words.
  const std::vector<Passage> passages = {
      {"kill.md#0", "Use kill to end a program that has stopped.", ""},
      {"a.md#0", "Unrelated words about fonts.", ""},
      {"b.md#0", "More unrelated words about printers.", ""},
      {"faq.md#0", "A program that stopped responding will end when its window closes.", ""},
  };
  const std::string question = "How do I end a program that stopped responding?";
  EXPECT_EQ(vorn_inference::extract_answer(question, passages).sentences.front().passage_id, "kill.md#0");
  EXPECT_EQ(vorn_inference::extract_answer(question, passages, {.passage_decay = 0.0}).sentences.front().passage_id,
            "faq.md#0");
  for (double bad : {-0.1, std::nan("")}) {
    EXPECT_THROW(vorn_generation::ExtractiveAnswerer({.passage_decay = bad}), vorn_core::ValueError);
    EXPECT_THROW(vorn_inference::ExtractiveLMInvoker({.passage_decay = bad}), vorn_core::ValueError);
  }
}

TEST(ExtractiveAnswer, NeverAnswersWithTheTailOfASentenceBegunInAnEarlierChunk) {
  struct Case {
    std::string opening;  // how the passage starts
    bool answerable;
  };
  // Chunks overlap, so a passage may open mid-sentence; an identifier in
  // lower case still opens a real sentence.
  for (const Case& c : {Case{"to be read by the server: the copy command loads rows fast.", false},
                        Case{", and then the copy command loads rows fast.", false},
                        Case{"an index build; the copy command loads rows fast.", false},
                        Case{"1024). the copy command loads rows fast.", false},
                        Case{"database, so the copy command loads rows fast.", false},
                        Case{"2 GB of rows load fast with the copy command.", true},
                        Case{"pg_copy loads rows fast.", true}, Case{"The copy command loads rows fast.", true}}) {
    SCOPED_TRACE(c.opening);
    const std::vector<Passage> passages = {{"copy.md#3-aa", c.opening + " Unrelated closing remark here.", ""}};
    const auto answer = vorn_inference::extract_answer("How do I load rows fast with copy?", passages);
    EXPECT_EQ(answer.found(), c.answerable) << answer.text;
  }
}

TEST(ExtractiveAnswer, NeverAnswersWithTheRestOfASentenceAListingInterrupted) {
  for (const std::string& listing : {std::string("::\n\n   tool --rows\n\n"), std::string(":\n\n")}) {
    const std::vector<Passage> passages = {
        {"tool.md#0-aa", "Start the tool like this" + listing + "and the tool prints every row of the table.", ""}};
    const auto answer = vorn_inference::extract_answer("How does the tool print every row of the table?", passages);
    EXPECT_FALSE(contains(answer.text, "and the tool prints")) << answer.text;
  }
}

TEST(ExtractiveAnswer, KeepsAPagesSentencesTogetherAndRanksItsLaterPassagesAsThePage) {
  const Passage first{"reset.md#0-aa", "Reset moves the branch head. Reset can undo the last commit.", ""};
  const Passage recipe{"reset.md#4-dd", "Use reset --soft to undo the last commit and keep the edits in your files.", ""};
  const Passage revert{"revert.md#0-bb", "Revert makes a new commit that undoes an old commit.", ""};
  const Passage tag{"tag.md#0-cc", "Tags name a commit.", ""};
  const std::string question = "How do I undo the last commit but keep the edits?";
  // More of the best page given last counts as much as given second.
  const auto late = vorn_inference::extract_answer(question, {first, revert, tag, recipe});
  const auto early = vorn_inference::extract_answer(question, {first, recipe, revert, tag});
  const auto score_of = [](const vorn_inference::ExtractiveAnswer& a, const std::string& id) {
    for (const auto& s : a.sentences)
      if (s.passage_id == id) return s.score;
    return -1.0;
  };
  ASSERT_GT(score_of(late, "reset.md#4-dd"), 0.0) << late.text;
  EXPECT_DOUBLE_EQ(score_of(late, "reset.md#4-dd"), score_of(early, "reset.md#4-dd"));
  // The page's sentences come together, in passage order, before another page's.
  ASSERT_GE(late.sentences.size(), 2U);
  EXPECT_EQ(late.sentences[0].passage_id, "reset.md#0-aa");
  EXPECT_EQ(late.sentences[1].passage_id, "reset.md#4-dd");
}

TEST(ExtractiveAnswer, LeadsWithTheBestPageAndPointsToOtherPagesThatAnswerEachSentenceCited) {
  const std::vector<Passage> passages = {
      {"reset.md#2-aa", "Reset moves the current branch. Use reset --soft to undo the last commit and keep the edits.", ""},
      {"fonts.md#0-bb", "Fonts are configured per terminal profile.", ""},
      {"revert.md#1-cc", "Revert undoes the last commit by adding a new commit.", ""},
      {"reset.md#5-dd", "The edits stay in your files after a soft reset undoes the commit.", ""},
  };
  const auto answer = vorn_inference::extract_answer("How do I undo the last commit but keep the edits?", passages);
  ASSERT_TRUE(answer.found());
  // The leading page's sentences, in its own order, then one line for the
  // other page that answers; the page about fonts is not cited.
  EXPECT_EQ(answer.text,
            "Use reset --soft to undo the last commit and keep the edits. [reset.md#2-aa] The edits stay in your "
            "files after a soft reset undoes the commit. [reset.md#5-dd]\n\nSee also:\n- Revert undoes the last "
            "commit by adding a new commit. [revert.md#1-cc]");
  EXPECT_EQ(answer.cited_ids, (std::vector<std::string>{"reset.md#2-aa", "reset.md#5-dd", "revert.md#1-cc"}));
  ASSERT_EQ(answer.sentences.size(), 3U);
  EXPECT_FALSE(answer.sentences[1].see_also);
  EXPECT_TRUE(answer.sentences[2].see_also);

  EXPECT_EQ(vorn_inference::extract_answer("How do I undo the last commit but keep the edits?", passages,
                                           {.max_see_also = 0})
                .text.find("See also"),
            std::string::npos);
  // A page copied under another name is pointed to once.
  auto copied = passages;
  copied.push_back({"old/revert.md#1-ee", passages[2].text, ""});
  EXPECT_EQ(vorn_inference::extract_answer("How do I undo the last commit but keep the edits?", copied,
                                           {.see_also_min_coverage = 0.0})
                .cited_ids,
            answer.cited_ids);
  // Another page that cannot be cited is not pointed to.
  auto unnamed = passages;
  unnamed[2].id.clear();
  EXPECT_EQ(vorn_inference::extract_answer("How do I undo the last commit but keep the edits?", unnamed)
                .text.find("See also"),
            std::string::npos);
  EXPECT_THROW(vorn_inference::check_extractive_options({.see_also_min_coverage = -1.0}), vorn_core::ValueError);
}

// Which other page earns a "See also" line beside the answer about killing
// a process: only one that says something about the question.
struct SeeAlsoCase {
  std::string other;  // the other page's text
  bool cited;
};

class SeeAlsoFloor : public ::testing::TestWithParam<SeeAlsoCase> {};

TEST_P(SeeAlsoFloor, CitesAnotherPageOnlyWhenItsBestSentenceAnswersEnough) {
  const std::vector<Passage> passages = {
      {"kill.md#0-aa", "Send a signal to end a stuck process with kill and its process id.", ""},
      {"other.md#0-bb", GetParam().other, ""},
  };
  const auto answer = vorn_inference::extract_answer("How do I end a stuck process by its id?", passages);
  ASSERT_TRUE(answer.found());
  EXPECT_EQ(answer.sentences.front().passage_id, "kill.md#0-aa");
  const bool cited = std::find(answer.cited_ids.begin(), answer.cited_ids.end(), "other.md#0-bb") != answer.cited_ids.end();
  EXPECT_EQ(cited, GetParam().cited) << answer.text;
  EXPECT_EQ(answer.text.find("See also") != std::string::npos, GetParam().cited) << answer.text;
}

INSTANTIATE_TEST_SUITE_P(
    Pages, SeeAlsoFloor,
    ::testing::Values(SeeAlsoCase{"The top command can end a stuck process when you press k and give its id.", true},
                      // One common word of the question is no reason to send a reader there.
                      SeeAlsoCase{"Printers queue jobs until the process of printing has finished.", false},
                      SeeAlsoCase{"Fonts and colours are set per profile in the settings.", false},
                      // A listing says nothing a reader can judge it by.
                      SeeAlsoCase{"```\npkill --signal TERM stuck process id\n```", false}));

TEST_F(ExtractiveAnswererTest, OverlappingChunksDoNotRepeatASentence) {
  auto overlap = vorn_core::make_chunk("docs/pipeline.md#1-cccccccc",
                                       "Errors in a step are wrapped by the step error handler. More text follows.");
  vorn_core::ChunkList chunks{chunks_[0], overlap};
  const auto answer = vorn_generation::ExtractiveAnswerer().answer("How are step errors wrapped?", chunks);
  std::size_t count = 0;
  for (const auto& s : answer.sentences) count += s.text.starts_with("Errors in a step") ? 1 : 0;
  EXPECT_EQ(count, 1U);
}

TEST_F(ExtractiveAnswererTest, SaysSoWhenThereIsNothingToAnswerFrom) {
  vorn_generation::ExtractiveAnswerer answerer;
  EXPECT_EQ(run_sync(answerer.synthesize("Anything?", {})), Value(std::string(vorn_inference::kNoPassagesAnswer)));
  EXPECT_EQ(run_sync(answerer.synthesize("Which zebras migrate?", chunks_)),
            Value("I found nothing about zebras migrate in the indexed documents."));
  // One shared common word among many is not an answer either.
  EXPECT_FALSE(
      answerer.answer("Which zebras, gazelles, antelopes and wildebeest migrate in order across the savanna each year?", chunks_)
          .found());
  // The step form accepts absent chunks.
  EXPECT_EQ(run_sync(answerer.run(Dict{{"query", "x"}})), Value(std::string(vorn_inference::kNoPassagesAnswer)));
  EXPECT_THROW(vorn_generation::ExtractiveAnswerer({.max_sentences = 0}), vorn_core::ValueError);
}

TEST(ExtractiveLMInvoker, AnswersAStuffPromptWithCitations) {
  auto invoker = std::make_shared<vorn_inference::ExtractiveLMInvoker>(vorn_inference::ExtractiveOptions{.max_sentences = 1});
  vorn_generation::PromptBuilder builder("", vorn_rag::detail::_USER_TEMPLATE);
  vorn_core::ChunkList chunks{vorn_core::make_chunk("x#0-1", "Fusion merges ranked lists by reciprocal rank."),
                              vorn_core::make_chunk("y#0-2", "Routers choose one branch for each query.")};
  Dict variables{{"context", vorn_generation::format_context(chunks)}, {"query", "How does fusion merge lists?"}};

  const auto parts = vorn_inference::split_prompt(builder.format(variables));
  EXPECT_EQ(parts.question, "How does fusion merge lists?");

  vorn_inference::InvokeOptions options;
  options.response_schema = Dict{{"type", "object"}};
  const auto out = run_sync(invoker->invoke(builder.format(variables), options));
  EXPECT_EQ(out->response, "Fusion merges ranked lists by reciprocal rank. [x#0-1]");
  EXPECT_TRUE(out->structured_output.is_none());
  EXPECT_EQ(out->metadata.get("cited_ids"), Value(vorn_core::List{Value("x#0-1")}));
  EXPECT_EQ(invoker->model_name(), "extractive");

  // Without the template's markers: the message is the question, the system
  // message holds the passages.
  std::vector<vorn_inference::Message> plain{{"system", "[k] Keys name the state fields."},
                                             {"user", "What do keys name?"}};
  EXPECT_EQ(run_sync(invoker->invoke(plain, {}))->response, "Keys name the state fields. [k]");
}

// --- query() end to end, offline ----------------------------------------------------

TEST(OfflineQuery, AnswersFromTheSqliteStoreWithTheExtractiveInvoker) {
  TempDir dir;
  auto store = vorn_datastore::SqliteDataStore::open(dir.path() / "store.db",
                                                     std::make_shared<vorn_inference::HashingEmbedder>(256));
  run_sync(store->ingest({
      vorn_core::make_chunk("guide.md#0-1", "The indexer skips chunks that are already stored, so a second run "
                                            "resumes where the first one stopped."),
      vorn_core::make_chunk("guide.md#1-2", "Strategies build their pipeline once and cache it."),
      vorn_core::make_chunk("guide.md#2-3", "Typed errors carry a stable code such as VORN-RAG-TYPE."),
  }));
  auto invoker = std::make_shared<vorn_inference::ExtractiveLMInvoker>();

  const Dict result = run_sync(vorn_rag::query("Does the indexer resume an interrupted run?", Value(store),
                                               Value(invoker), 2));
  EXPECT_EQ(result.keys(), (std::vector<std::string>{"response", "chunks"}));
  const auto chunks = vorn_core::to_chunk_list(result.at("chunks"));
  ASSERT_EQ(chunks.size(), 2U);
  EXPECT_EQ(chunks[0]->id, "guide.md#0-1");
  EXPECT_EQ(result.at("response").as_string(),
            "The indexer skips chunks that are already stored, so a second run resumes where the first one "
            "stopped. [guide.md#0-1]");
}

}  // namespace
