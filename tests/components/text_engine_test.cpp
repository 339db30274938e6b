#include <gtest/gtest.h>

#include "vorn_core/error.hpp"
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "vorn_inference/hashing_embedder.hpp"
#include "vorn_retrieval/document_loader.hpp"
#include "vorn_retrieval/text_chunker.hpp"
#include "vorn_core/text.hpp"

namespace fs = std::filesystem;
using namespace vorn_retrieval;
using namespace vorn_core;

namespace {

std::size_t code_points(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += is_utf8_continuation(c) ? 0 : 1;
  return n;
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// --- tokenizer ---------------------------------------------------------------

struct TokenCase {
  std::string input;
  std::vector<std::string> expected;
};

class TokenizeTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, SplitsFoldsAndLowercases) { EXPECT_EQ(tokenize_words(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, TokenizeTest,
    ::testing::Values(TokenCase{"Hello, World!", {"hello", "world"}}, TokenCase{"don't", {"don", "t"}},
                      TokenCase{"snake_case v2.0", {"snake", "case", "v2", "0"}},
                      TokenCase{"\xC3\x86r\xC3\xB8sk\xC3\xB8""bing Caf\xC3\xA9 Stra\xC3\x9F""e",
                                {"aeroskobing", "cafe", "strasse"}},
                      TokenCase{"nai\xCC\x88ve", {"naive"}},                     // combining diaeresis dropped
                      TokenCase{"\xC5\x81\xC3\xB3""d\xC5\xBA", {"lodz"}},         // Łódź
                      TokenCase{"\xCE\x91\xCE\x98\xCE\x97\xCE\x9D\xCE\x91", {"\xCE\xB1\xCE\xB8\xCE\xB7\xCE\xBD\xCE\xB1"}},
                      TokenCase{"\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0", {"\xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"}},
                      TokenCase{"\xE6\x97\xA5\xE6\x9C\xAC\xE3\x80\x82\xE8\xAA\x9E", {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE8\xAA\x9E"}},
                      TokenCase{"a\xE2\x80\x94""b \xF0\x9F\x98\x80""c", {"a", "b", "c"}},  // em dash, emoji
                      TokenCase{"\"AND (col:x*) NEAR", {"and", "col", "x", "near"}},
                      TokenCase{"a\xFF""b\xC0\xAF""c", {"a", "b", "c"}},  // invalid bytes separate
                      TokenCase{"  \t\n ", {}}));

struct Utf8Case {
  std::string input;
  std::size_t first_invalid;
  std::string replaced;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, FindsAndReplacesInvalidSequences) {
  EXPECT_EQ(find_invalid_utf8(GetParam().input), GetParam().first_invalid);
  EXPECT_EQ(replace_invalid_utf8(GetParam().input), GetParam().replaced);
}

const std::string kFffd = "\xEF\xBF\xBD";
INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Test,
    ::testing::Values(Utf8Case{"plain \xC3\xA9 \xF0\x9F\x98\x80", std::string::npos, "plain \xC3\xA9 \xF0\x9F\x98\x80"},
                      Utf8Case{"a\xC0\xAF", 1, "a" + kFffd},           // overlong
                      Utf8Case{"ab\xED\xA0\x80", 2, "ab" + kFffd},      // surrogate
                      Utf8Case{"\xF4\x90\x80\x80z", 0, kFffd + "z"},    // above U+10FFFF
                      Utf8Case{"x\xE2\x82", 1, "x" + kFffd},            // truncated at the end
                      Utf8Case{"\x80\x80y", 0, kFffd + "y"}));          // stray continuation bytes

// --- chunker -------------------------------------------------------------------

TEST(TextChunkerOptions, Validation) {
  EXPECT_THROW(TextChunker({.chunk_size = 0, .chunk_overlap = 0}), std::invalid_argument);
  EXPECT_THROW(TextChunker({.chunk_size = 10, .chunk_overlap = 10}), std::invalid_argument);
  EXPECT_THROW(TextChunker({.chunk_size = 10, .chunk_overlap = 11}), std::invalid_argument);
  EXPECT_NO_THROW(TextChunker({.chunk_size = 1, .chunk_overlap = 0}));
  EXPECT_NO_THROW(TextChunker({.chunk_size = 10, .chunk_overlap = 9}));
}

std::string prose() {
  std::string s;
  for (int p = 0; p < 6; ++p) {
    for (int i = 0; i < 5; ++i) s += "Sentence " + std::to_string(p) + "." + std::to_string(i) + " talks about topic number " + std::to_string(i) + ". ";
    s += "\n\n";
  }
  return s;
}

std::string multibyte() {
  // Greek, CJK and emoji: 2-, 3- and 4-byte sequences, partly without spaces.
  return repeat("\xCE\xBA\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 ", 20) +
         repeat("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x80\x82", 40) + repeat("\xF0\x9F\x98\x80", 90) + " end.";
}

std::string markdown_doc() {
  return "Intro line before any heading.\n\n"
         "# Install\n\n"
         "## Debian\n\nRun apt install vorn. " + repeat("More Debian words here. ", 12) + "\n\n"
         "```sh\n# not a heading\napt-get install -y vorn\n" + repeat("echo step\n", 8) + "```\n\n"
         "## Fedora ##\n\nUse dnf install vorn.\n\n"
         "# Usage\n\nRun it.\n";
}

struct ChunkCase {
  std::string name;
  std::string text;
  std::size_t size;
  std::size_t overlap;
  bool markdown;
};

class ChunkInvariantsTest : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkInvariantsTest, Hold) {
  const ChunkCase& c = GetParam();
  const auto chunks = TextChunker({.chunk_size = c.size, .chunk_overlap = c.overlap}).chunk(c.text, "doc", c.markdown);
  ASSERT_FALSE(chunks.empty());
  std::vector<bool> covered(c.text.size(), false);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const TextChunk& ch = chunks[i];
    ASSERT_LT(ch.start, ch.end);
    EXPECT_EQ(c.text.substr(ch.start, ch.end - ch.start), ch.content);
    EXPECT_LE(code_points(ch.content), c.size) << ch.content;
    EXPECT_EQ(find_invalid_utf8(ch.content), std::string::npos) << "chunk " << i << " splits a code point";
    EXPECT_FALSE(std::isspace(static_cast<unsigned char>(ch.content.front())));
    EXPECT_FALSE(std::isspace(static_cast<unsigned char>(ch.content.back())));
    for (std::size_t b = ch.start; b < ch.end; ++b) covered[b] = true;
    if (i > 0) {
      const TextChunk& prev = chunks[i - 1];
      EXPECT_GT(ch.end, prev.end);
      if (ch.start < prev.end && ch.heading == prev.heading) {
        EXPECT_LE(code_points(c.text.substr(ch.start, prev.end - ch.start)), c.overlap);
      }
      if (c.overlap == 0) {
        EXPECT_GE(ch.start, prev.end);
      }
    }
  }
  for (std::size_t b = 0; b < c.text.size(); ++b) {
    if (covered[b] || std::isspace(static_cast<unsigned char>(c.text[b]))) continue;
    // Only the heading line of a section without text of its own may be dropped.
    const std::size_t line = c.text.rfind('\n', b) + 1;
    if (c.markdown && c.text.compare(line, 2, "# ") == 0) continue;
    ADD_FAILURE() << "byte " << b << " is in no chunk";
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ChunkInvariantsTest,
    ::testing::Values(ChunkCase{"Prose", prose(), 200, 40, false}, ChunkCase{"ProseNoOverlap", prose(), 120, 0, false},
                      ChunkCase{"TinyChunks", prose(), 5, 2, false},
                      ChunkCase{"Multibyte", multibyte(), 50, 10, false},
                      ChunkCase{"MultibyteSizeOne", multibyte(), 1, 0, false},
                      ChunkCase{"NoSpaces", std::string(1000, 'x'), 64, 8, false},
                      ChunkCase{"Markdown", markdown_doc(), 120, 20, true},
                      ChunkCase{"MarkdownSmall", markdown_doc(), 30, 5, true},
                      ChunkCase{"UnclosedFence", "text\n```\ncode " + repeat("line\n", 50), 40, 0, true}),
    [](const auto& info) { return info.param.name; });

TEST(TextChunker, PrefersParagraphThenSentenceBoundaries) {
  const std::string para1 = repeat("Alpha beta gamma. ", 15);  // 270 chars
  const std::string para2 = repeat("Delta epsilon zeta. ", 15);
  const auto chunks = TextChunker({.chunk_size = 400, .chunk_overlap = 0}).chunk(para1 + "\n\n" + para2, "d", false);
  ASSERT_GE(chunks.size(), 2U);
  EXPECT_EQ(chunks[0].content, para1.substr(0, para1.size() - 1));

  const auto sentences = TextChunker({.chunk_size = 100, .chunk_overlap = 0}).chunk(para1, "d", false);
  for (const auto& ch : sentences) EXPECT_EQ(ch.content.back(), '.') << ch.content;
}

TEST(TextChunker, OverlapRepeatsWholeWords) {
  const std::string text = repeat("lorem ipsum dolor sit amet consectetur ", 20);
  const auto chunks = TextChunker({.chunk_size = 100, .chunk_overlap = 30}).chunk(text, "d", false);
  ASSERT_GE(chunks.size(), 3U);
  for (std::size_t i = 1; i < chunks.size(); ++i) {
    ASSERT_LT(chunks[i].start, chunks[i - 1].end) << "no overlap";
    // Starts at a word, not in the middle of one.
    EXPECT_TRUE(chunks[i].start == 0 || text[chunks[i].start - 1] == ' ');
  }
}

TEST(TextChunker, MultibyteWithoutSpacesIsCutOnCodePoints) {
  const std::string text = repeat("\xE6\x97\xA5\xF0\x9F\x98\x80", 30);  // 60 code points, no break anywhere
  const auto chunks = TextChunker({.chunk_size = 7, .chunk_overlap = 0}).chunk(text, "d", false);
  ASSERT_EQ(chunks.size(), 9U);
  for (std::size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(code_points(chunks[i].content), 7U);
  EXPECT_EQ(code_points(chunks.back().content), 4U);
}

TEST(TextChunker, MarkdownTracksHeadingPathsAndKeepsFencesWhole) {
  const std::string doc = markdown_doc();
  const auto chunks = TextChunker({.chunk_size = 400, .chunk_overlap = 0}).chunk(doc, "guide.md", true);
  std::vector<std::string> headings;
  for (const auto& c : chunks) {
    if (headings.empty() || headings.back() != c.heading) headings.push_back(c.heading);
  }
  // "# Install" has no text of its own; "# not a heading" sits in a fence.
  EXPECT_EQ(headings, (std::vector<std::string>{"", "Install > Debian", "Install > Fedora", "Usage"}));

  const std::size_t fence_begin = doc.find("```sh");
  const std::size_t fence_end = doc.find("```\n\n## Fedora") + 3;
  bool whole = false;
  for (const auto& c : chunks) {
    const bool starts_inside = c.start > fence_begin && c.start < fence_end;
    const bool ends_inside = c.end > fence_begin && c.end < fence_end;
    EXPECT_FALSE(starts_inside || ends_inside) << "chunk cuts the code block: " << c.content;
    whole = whole || (c.start <= fence_begin && c.end >= fence_end);
  }
  EXPECT_TRUE(whole);
}

TEST(TextChunker, IdsAreStableAndContentAddressed) {
  const TextChunker chunker({.chunk_size = 60, .chunk_overlap = 10});
  const auto a = chunker.chunk(prose(), "notes/a.txt", false);
  const auto b = chunker.chunk(prose(), "notes/a.txt", false);
  ASSERT_EQ(a.size(), b.size());
  std::set<std::string> unique;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id);
    // "notes/a.txt#<index>-<8 hex digits>"
    const std::string prefix = "notes/a.txt#" + std::to_string(i) + "-";
    ASSERT_TRUE(a[i].id.starts_with(prefix)) << a[i].id;
    const std::string hash = a[i].id.substr(prefix.size());
    EXPECT_EQ(hash.size(), 8U) << a[i].id;
    EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos) << a[i].id;
    unique.insert(a[i].id);
  }
  EXPECT_EQ(unique.size(), a.size());
  // Pinned so ids stay identical across releases and platforms.
  EXPECT_EQ(make_chunk_id("doc.md", 3, "hello world"), "doc.md#3-75a6b700");
  EXPECT_TRUE(chunker.chunk(" \n\t ", "x", false).empty());
  EXPECT_TRUE(chunker.chunk("# Only\n## Headings\n", "x", true).empty());
}

// --- loader -------------------------------------------------------------------

class LoaderTest : public ::testing::Test {
 protected:
  LoaderTest() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised names contain '/'
    root_ = fs::temp_directory_path() / ("vorn_loader_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~LoaderTest() override { fs::remove_all(root_); }

  fs::path write(const std::string& rel, const std::string& bytes) {
    const fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  fs::path root_;
};

TEST_F(LoaderTest, WalksSortedSkippingHiddenAndOtherTypes) {
  write("b.md", "# B");
  write("a.txt", "A");
  write("sub/c.markdown", "C");
  write("sub/UPPER.MD", "U");
  write("sub/d.xlsx", "PK");
  write(".hidden/e.md", "hidden");
  write(".f.txt", "hidden");
  write("sub/.cache/g.txt", "hidden");
  const auto docs = DocumentLoader().load(root_);
  std::vector<std::string> ids;
  for (const auto& d : docs) ids.push_back(d.source_id);
  EXPECT_EQ(ids, (std::vector<std::string>{"a.txt", "b.md", "sub/UPPER.MD", "sub/c.markdown"}));
  EXPECT_FALSE(docs[0].markdown);
  EXPECT_TRUE(docs[1].markdown);
  EXPECT_TRUE(docs[2].markdown);
  EXPECT_EQ(docs[1].text, "# B");
  EXPECT_EQ(DocumentLoader().load(root_ / "sub" / "c.markdown").front().source_id, "c.markdown");
}

TEST_F(LoaderTest, NormalisesLineEndsAndByteOrderMark) {
  write("w.txt", "\xEF\xBB\xBFone\r\ntwo\rthree\n");
  EXPECT_EQ(DocumentLoader().load(root_ / "w.txt").front().text, "one\ntwo\nthree\n");
}

TEST_F(LoaderTest, InvalidUtf8IsReplacedOrRejected) {
  write("bad.txt", "line one\nline \xFF two\n");
  EXPECT_EQ(DocumentLoader().load(root_ / "bad.txt").front().text, "line one\nline \xEF\xBF\xBD two\n");
  try {
    (void)DocumentLoader({.invalid_utf8 = InvalidUtf8::reject}).load(root_ / "bad.txt");
    FAIL();
  } catch (const LoadError& e) {
    EXPECT_EQ(e.code(), load_errc::kEncoding);
    EXPECT_NE(std::string(e.what()).find("line 2, byte offset 14"), std::string::npos) << e.what();
  }
}

struct LoadFailureCase {
  std::string name;
  std::string file;  // written with 100 bytes unless empty
  std::string target;
  LoaderOptions options;
  std::string code;
};

class LoadFailureTest : public LoaderTest, public ::testing::WithParamInterface<LoadFailureCase> {};

TEST_P(LoadFailureTest, GivesLoadErrorWithCode) {
  if (!GetParam().file.empty()) write(GetParam().file, std::string(100, 'a'));
  try {
    (void)DocumentLoader(GetParam().options).load(root_ / GetParam().target);
    FAIL();
  } catch (const vorn_core::BaseError& e) {  // load errors belong to the family
    EXPECT_NE(dynamic_cast<const LoadError*>(&e), nullptr);
    EXPECT_EQ(e.code(), GetParam().code) << e.message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoadFailureTest,
    ::testing::Values(LoadFailureCase{"Missing", "", "nope.txt", {}, load_errc::kNotFound},
                      LoadFailureCase{"Unsupported", "x.xlsx", "x.xlsx", {}, load_errc::kUnsupported},
                      LoadFailureCase{"NotAPdf", "x.pdf", "x.pdf", {}, load_errc::kFormat},
                      LoadFailureCase{"TooLarge", "big.txt", "big.txt", {.max_file_bytes = 99}, load_errc::kTooLarge},
                      LoadFailureCase{"TooLargeInTree", "dir/big.md", "dir", {.max_file_bytes = 10},
                                      load_errc::kTooLarge}),
    [](const auto& info) { return info.param.name; });

TEST_F(LoaderTest, SeveralInputsDeduplicateFilesAndRejectIdClashes) {
  write("one/readme.md", "1");
  write("two/readme.md", "2");
  const std::vector<fs::path> same{root_ / "one", root_ / "one" / "readme.md"};
  EXPECT_EQ(DocumentLoader().load(same).size(), 1U);
  const std::vector<fs::path> clash{root_ / "one", root_ / "two"};
  try {
    (void)DocumentLoader().load(clash);
    FAIL();
  } catch (const LoadError& e) {
    EXPECT_EQ(e.code(), load_errc::kDuplicate);
  }
}

// --- embedder -------------------------------------------------------------------

double dot(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += double(a[i]) * b[i];
  return s;
}

TEST(HashingEmbedder, DeterministicAndUnitLength) {
  const vorn_inference::HashingEmbedder e;
  EXPECT_EQ(e.dimension(), 384U);
  for (const std::string text : {"Install vorn on Debian", "x", "To be or not to be", "\xE6\x97\xA5\xE6\x9C\xAC"}) {
    const auto v = e.embed_text(text);
    EXPECT_EQ(v, vorn_inference::HashingEmbedder(384).embed_text(text));
    EXPECT_NEAR(dot(v, v), 1.0, 1e-5) << text;
  }
  // Pinned buckets: the hash must not drift between releases or platforms.
  const auto v = vorn_inference::HashingEmbedder(16).embed_text("cat");
  std::vector<int> signs;
  for (float x : v) signs.push_back(x > 0 ? 1 : (x < 0 ? -1 : 0));
  EXPECT_EQ(signs, (std::vector<int>{0, 1, 0, -1, 1, 0, 0, 0, 0, 0, -1, 0, 0, -1, 0, 0}));
}

// Stored vectors are compared with the vectors of later questions, so the
// embedding of a text must not change by a single bit between versions: the
// digests pin the exact floats. One bucket sums every feature into one value,
// so there the order of the sum shows too.
struct PinnedEmbedding {
  std::string text;
  std::size_t dimension;
  std::uint64_t digest;
};

class HashingEmbedderPinned : public testing::TestWithParam<PinnedEmbedding> {};

TEST_P(HashingEmbedderPinned, BitsDoNotDrift) {
  const auto v = vorn_inference::HashingEmbedder(GetParam().dimension).embed_text(GetParam().text);
  const std::string_view bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
  EXPECT_EQ(vorn_core::fnv1a64(bytes), GetParam().digest) << GetParam().text << " / " << GetParam().dimension;
}

const std::string kRepetitive =
    "The server copies the table to the backup file; the backup file keeps the table and the server "
    "restarts, copying tables again. Copy, copied, copies: backup backups backed.";

INSTANTIATE_TEST_SUITE_P(
    Cases, HashingEmbedderPinned,
    testing::Values(PinnedEmbedding{kRepetitive, 384, 3436975650444623218ULL}, PinnedEmbedding{kRepetitive, 1, 5436486313599315864ULL},
                    PinnedEmbedding{kRepetitive, 7, 10344919617262505033ULL}, PinnedEmbedding{"To be or not to be", 384, 5321706430716890924ULL},
                    PinnedEmbedding{"Café RÉSUMÉ \xE6\x97\xA5\xE6\x9C\xAC naïve", 64, 16105560006610047158ULL},
                    PinnedEmbedding{"sha " + std::string(45, 'a') + "b pg_dump --soft HEAD^ x", 384, 3336257970554805480ULL}));

TEST(HashingEmbedder, SimilarTextsAreCloserThanUnrelatedOnes) {
  const vorn_inference::HashingEmbedder e;
  const auto q = e.embed_text("How do I install the package on Debian?");
  const auto near = e.embed_text("Installing the package on Debian Linux with apt");
  const auto far = e.embed_text("A chocolate cake recipe with fresh strawberries");
  EXPECT_GT(dot(q, near), dot(q, far) + 0.2);
  // Sub-word features link inflections and small typos.
  EXPECT_GT(dot(e.embed_text("configuration"), e.embed_text("configure")), 0.3);
  EXPECT_GT(dot(e.embed_text("kubernetes"), e.embed_text("kuberentes")), 0.2);
  // Case and accents do not matter.
  EXPECT_NEAR(dot(e.embed_text("Café RÉSUMÉ"), e.embed_text("cafe resume")), 1.0, 1e-5);
}

TEST(HashingEmbedder, EmptyTextIsZeroAndSizesAreChecked) {
  const vorn_inference::HashingEmbedder e(32);
  for (const std::string text : {"", "   ", "?!.,"}) {
    const auto v = e.embed_text(text);
    EXPECT_EQ(dot(v, v), 0.0) << text;
  }
  std::vector<float> wrong(31);
  EXPECT_THROW(e.embed_into("a", wrong), std::invalid_argument);
  EXPECT_THROW(vorn_inference::HashingEmbedder(0), std::invalid_argument);
}

}  // namespace

namespace {

// --- matching keys ----------------------------------------------------------------

TEST(LightStem, MeetsInflectionsWithoutMangling) {
  // Words in one group must share a key; the last column must stay distinct.
  const std::vector<std::vector<std::string>> same = {
      {"strategy", "strategies"}, {"retrieve", "retrieved", "retrieves", "retrieving"},
      {"query", "queries"},       {"pipeline", "pipelines"},
      {"match", "matches"},       {"class", "classes"},
      {"stop", "stopped", "stopping"}, {"index", "indexes", "indexed"},
  };
  for (const auto& group : same) {
    for (const auto& w : group) EXPECT_EQ(vorn_core::light_stem(w), vorn_core::light_stem(group[0])) << w;
  }
  for (const std::string w : {"code", "pass", "status", "analysis", "run", "call"}) {
    EXPECT_EQ(vorn_core::light_stem(w).substr(0, 3), w.substr(0, 3)) << w;
  }
  EXPECT_EQ(vorn_core::light_stem("passed"), "pass");
  EXPECT_EQ(vorn_core::light_stem("called"), "call");
  EXPECT_EQ(vorn_core::content_terms("How do the Strategies retrieve?"),
            (std::vector<std::string>{"strategy", "retriev"}));
  EXPECT_EQ(vorn_core::content_terms("to be or not"), (std::vector<std::string>{"to", "be", "or", "not"}));
}

}  // namespace
