// Extractive question answering: the answer is made of sentences taken
// verbatim from the passages, each followed by the id of its passage. No
// model and no network; the text it returns can always be traced to a source.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_inference {

struct Passage {
  std::string id;       // cited as "[id]"; an empty id is not cited
  std::string text;
  std::string heading;  // section title the passage lies under, when known
  // The page (file) the passage comes from; empty: the id up to '#'.
  // Passages of one page share its rank, however late they come.
  std::string page;
  // The text starts inside a fenced code block (a listing cut across
  // chunks): up to the first fence line it is code.
  bool opens_in_code = false;
};

struct ExtractiveOptions {
  std::size_t max_sentences = 3;
  // A sentence is picked only when it scores at least this share of the best
  // one, so a single strong match is not padded with weak ones.
  double min_relative_score = 0.35;
  // Nothing is answered unless the best sentence (with its heading) holds at
  // least this share of the question's words, weighted by rarity. Higher
  // values refuse paraphrased questions whose answer shares few words
  // (eval/: 0.3 refused 13 of 40 answerable ones on one corpus, 0.15 none,
  // while still refusing questions about topics the documents lack).
  double min_question_coverage = 0.15;
  // A sentence of a passage whose page is the r-th page to appear among
  // the passages counts 1 / (1 + passage_decay * r) of its match, and the
  // page of the best sentence leads the answer: the passages come best
  // first, and a retriever that sees the whole index knows more about which
  // page answers than word overlap inside five passages does. With 3 the
  // second page must match four times as well as the first to lead (eval/:
  // the answer led with the right page 0.42 -> 0.47, 0.35 -> 0.45 and
  // 0.32 -> 0.30 of the time against 0.5).
  double passage_decay = 3.0;
  // Pages other than the leading one are cited with their best prose
  // sentence under "See also", at most this many (0: none), in retrieval
  // order, when that sentence holds at least min_question_coverage of the
  // question and at least this share of the leading sentence's coverage: a
  // reader whose answer is on another page sees where to look, and a page
  // that barely touches the question is not cited.
  std::size_t max_see_also = 3;
  double see_also_min_coverage = 0.5;
};

// Throws `ValueError` for max_sentences 0, or a negative or non-finite
// passage_decay or see_also_min_coverage.
void check_extractive_options(const ExtractiveOptions& options);

struct PickedSentence {
  std::string text;
  std::string passage_id;
  std::size_t passage = 0;   // index into the passages
  std::size_t position = 0;  // index of the sentence inside its passage
  double score = 0.0;
  bool see_also = false;     // cited as another page to read, not as the answer
};

struct ExtractiveAnswer {
  std::string text;
  std::vector<PickedSentence> sentences;  // in answer order
  std::vector<std::string> cited_ids;     // in order of first citation
  bool found() const noexcept { return !sentences.empty(); }
};

inline constexpr std::string_view kNoPassagesAnswer = "No answer found: no passages were given for this question.";
inline constexpr std::string_view kNoMatchAnswer =
    "No answer found: none of the passages mentions the words of the question.";

// "I found nothing about <the question's content words> in the indexed
// documents." (kNoMatchAnswer for a question made of stop words only).
std::string nothing_found_answer(std::string_view question);

// A piece of a passage that can stand as one sentence of an answer.
struct TextUnit {
  std::string text;
  std::string heading;    // the Markdown heading it lies under ("" for none)
  bool selectable = true;  // false for fragments too short to answer anything
  bool code = false;       // a code block read as one unit of inline code
};

// Splits Markdown, reStructuredText, AsciiDoc or plain text into sentences
// with their inline markup removed. Headings (ATX or underlined) are not
// units but set the heading of what follows; title underlines, block
// delimiters and structural directives are dropped; list items and table
// rows are units of their own (a table row reads "column: cell; column:
// cell"); a short code block (fenced, delimited, or the literal block after
// "::") becomes one unit of inline code, a long one is left out.
std::vector<TextUnit> split_units(std::string_view text, std::string_view heading = {}, bool opens_in_code = false);

// Sentence boundaries inside one paragraph: '.', '!' or '?' followed by white
// space and a capital, digit or opening mark, except after abbreviations
// such as "e.g." and single-letter initials.
std::vector<std::string> split_sentences(std::string_view paragraph);

// Scores every sentence against the question: the question's content words it
// contains, each weighted by how rare it is among all the sentences (a word in
// every sentence tells nothing), half weight for a word found only in the
// sentence's heading, a bonus for question word pairs that appear side by side,
// a penalty for very long sentences, and a preference for earlier passages'
// pages and earlier sentences. The answer leads with the page of the best
// sentence: up to max_sentences of its sentences scoring min_relative_score
// of the best, in the page's order, each run from one passage followed by
// "[id]". Then, after a blank line, "See also:" and one "- sentence [id]"
// line for each other page that qualifies (see max_see_also). Without
// passages the text is kNoPassagesAnswer; when no sentence holds
// min_question_coverage of the question it is nothing_found_answer(question);
// then no sentence is picked.
ExtractiveAnswer extract_answer(std::string_view question, const std::vector<Passage>& passages,
                                const ExtractiveOptions& options = {});

// The passages of a context written as "[id] text" blocks separated by blank
// lines (vorn_generation::format_context). A block starts only at the start
// of the context or after a blank line, with '[', an id without white space
// or brackets, and "] ". Text before the first block is a passage with an
// empty id.
std::vector<Passage> parse_context_blocks(std::string_view context);

}  // namespace vorn_inference
