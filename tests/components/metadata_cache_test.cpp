// Parsed chunk metadata cached per row: a hit must never hand back the
// metadata of other text, and bad text must fail as parsing it would.
#include <gtest/gtest.h>

#include <string>

#include "metadata_cache.hpp"
#include "vorn_core/error.hpp"
#include "vorn_datastore/store_error.hpp"

namespace {

using vorn_datastore::sqlite::MetadataCache;

TEST(MetadataCache, HandsBackWhatTheStoredTextSaysEvenWhenARowChanges) {
  MetadataCache cache(16);
  const std::string first = R"({"source": "a.md", "chunk": 1})";
  EXPECT_EQ(cache.get(7, first, "s.db"), nlohmann::json::parse(first));
  EXPECT_EQ(cache.get(7, first, "s.db"), nlohmann::json::parse(first));
  // Same row, other text (a file rewritten behind our back): read afresh.
  const std::string second = R"({"source": "b.md", "chunk": 1})";
  EXPECT_EQ(cache.get(7, second, "s.db"), nlohmann::json::parse(second));
  // Same length, other bytes.
  const std::string third = R"({"source": "c.md", "chunk": 1})";
  EXPECT_EQ(cache.get(7, third, "s.db"), nlohmann::json::parse(third));
  EXPECT_EQ(cache.get(8, first, "s.db"), nlohmann::json::parse(first));
}

TEST(MetadataCache, StaysWithinItsCapacity) {
  MetadataCache cache(4);
  for (int seq = 0; seq < 50; ++seq) {
    const std::string text = R"({"n": )" + std::to_string(seq) + "}";
    EXPECT_EQ(cache.get(seq, text, "s.db").at("n"), seq);
    EXPECT_LE(cache.size(), 4U);
  }
}

class MetadataCacheRefuses : public ::testing::TestWithParam<std::string> {};

TEST_P(MetadataCacheRefuses, TextThatIsNotAnObjectAsCorrupt) {
  MetadataCache cache;
  for (int attempt = 0; attempt < 2; ++attempt) {  // and never caches the failure
    try {
      (void)cache.get(1, GetParam(), "s.db");
      FAIL() << "accepted " << GetParam();
    } catch (const vorn_core::BaseError& e) {
      EXPECT_EQ(e.code(), vorn_datastore::store_errc::kCorrupt);
    }
  }
  EXPECT_EQ(cache.size(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Texts, MetadataCacheRefuses, ::testing::Values("", "{", "[1, 2]", "\"text\"", "{\"a\": }"));

}  // namespace
