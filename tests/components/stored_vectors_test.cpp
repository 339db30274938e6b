// The store's vector search scans int8 codes and re-ranks candidates by
// their exact rows: it must return exactly what a scan of the float rows
// returns, while reading only a few exact rows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <set>
#include <vector>

#include "stored_vectors.hpp"
#include "vector_code.hpp"
#include "vector_file.hpp"
#include "vorn_datastore/vector_index.hpp"

namespace {

using vorn_datastore::VectorIndex;
using vorn_datastore::VectorMatch;
using vorn_datastore::sqlite::StoredVectors;

struct SearchCase {
  const char* name;
  std::size_t dim;
  std::size_t k;
  std::optional<float> min_score;
  bool subset;
  // Rows built as tiny perturbations of a few bases: their scores differ by
  // less than any code can tell apart, so re-ranking has to settle them.
  bool near_duplicates;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class StoredVectorsSearch : public ::testing::TestWithParam<SearchCase> {
 protected:
  std::vector<std::vector<float>> rows;

  void make_rows(const SearchCase& c, std::size_t n) {
    std::mt19937 rng(static_cast<unsigned>(c.dim * 31 + c.k));
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> bases(4, std::vector<float>(c.dim));
    for (auto& b : bases) {
      for (auto& x : b) x = normal(rng);
    }
    for (std::size_t r = 0; r < n; ++r) {
      std::vector<float> v(c.dim);
      for (std::size_t d = 0; d < c.dim; ++d) {
        v[d] = c.near_duplicates ? bases[r % 4][d] + 1e-4F * normal(rng) : normal(rng);
      }
      if (r % 97 == 5) v = rows.empty() ? v : rows[r / 2];  // exact ties
      if (r == 11) v.assign(c.dim, 0.0F);                    // a zero row
      VectorIndex::l2_normalize(v);
      rows.push_back(std::move(v));
    }
  }
};

TEST_P(StoredVectorsSearch, EqualsAnExactScanAndReadsFewRows) {
  const SearchCase& c = GetParam();
  make_rows(c, 800);
  VectorIndex reference;
  StoredVectors cold;  // as opened from a file: codes only
  StoredVectors warm;  // as written by this process: exact rows at hand
  cold.set_dimension(c.dim);
  warm.set_dimension(c.dim);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    reference.add_normalized(r);
    ASSERT_TRUE(cold.append_code(vorn_datastore::sqlite::encode_code(r)));
    // A writer hands over the code it stored; without one the row is coded here.
    if (i % 2 == 0) {
      warm.append_exact(r, vorn_datastore::sqlite::encode_code(r));
    } else {
      warm.append_exact(r);
    }
  }
  // As opened from a vector file beside the store: codes read in place.
  StoredVectors mapped;
  mapped.set_dimension(c.dim);
  {
    vorn_datastore::sqlite::VectorFileImage image(c.dim, rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      image.set_row(r, static_cast<std::int64_t>(r + 1), vorn_datastore::sqlite::quantize_row(rows[r], image.code(r)));
    }
    const auto path = std::filesystem::temp_directory_path() / ("vorn_stored_vectors_" + std::to_string(::getpid()));
    ASSERT_TRUE(image.write(path, 1));
    vorn_datastore::sqlite::VectorFileStatus status{};
    auto file = vorn_datastore::sqlite::MappedVectorFile::open(path, c.dim, 1, status);
    std::filesystem::remove(path);  // the mapping keeps it
    ASSERT_NE(file, nullptr) << to_string(status);
    mapped.attach(std::move(file));
    ASSERT_TRUE(mapped.reads_in_place());
  }
  std::set<std::size_t> loaded, loaded_mapped;
  const auto loader = [&](std::set<std::size_t>& seen) -> StoredVectors::RowLoader {
    return [&](std::size_t slot, std::span<float> out) {
      EXPECT_TRUE(seen.insert(slot).second) << "row " << slot << " read twice";
      std::copy(rows[slot].begin(), rows[slot].end(), out.begin());
      return true;
    };
  };
  const StoredVectors::RowLoader load = loader(loaded);
  const StoredVectors::RowLoader load_mapped = loader(loaded_mapped);
  const StoredVectors::RowLoader never = [](std::size_t, std::span<float>) -> bool {
    ADD_FAILURE() << "a row written by this process was read back";
    return false;
  };

  std::vector<std::size_t> subset;
  for (std::size_t s = 0; s < rows.size(); s += 3) subset.push_back(rows.size() - 1 - s);
  subset.push_back(rows.size() + 40);  // out of range: ignored

  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<float> q = rows[static_cast<std::size_t>(trial * 37 + 3)];
    for (auto& x : q) x = x * 3.0F + (trial % 2 == 0 ? 0.05F * normal(rng) : 0.0F);
    const auto expected = c.subset ? reference.search_subset(q, subset, c.k, c.min_score)
                                   : reference.search(q, c.k, c.min_score);
    for (const StoredVectors* v : {&cold, &warm, &mapped}) {
      const auto got = v->search(q, c.k, c.min_score, c.subset ? &subset : nullptr,
                                 v == &cold ? load : v == &mapped ? load_mapped : never);
      ASSERT_EQ(got.size(), expected.size()) << "trial " << trial;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].slot, expected[i].slot) << "trial " << trial << " rank " << i;
        EXPECT_EQ(got[i].score, expected[i].score) << "trial " << trial << " rank " << i;
      }
    }
  }
  // Six searches need at most 6 * k rows; the codes must spare most others.
  const std::size_t needed = 6 * c.k;
  if (!c.near_duplicates && needed < rows.size() / 2) {
    EXPECT_LT(loaded.size(), needed + rows.size() / 4) << "the search read most exact rows";
  }
  EXPECT_EQ(cold.exact_rows_held(), loaded.size());
  EXPECT_EQ(loaded_mapped, loaded) << "codes read in place picked other rows than codes in memory";

  // Removing rows keeps both sides in step, exact rows included; the mapped
  // codes are copied first and the copy changed, never the file.
  const std::vector<std::size_t> gone{0, 3, 4, 250, 799};
  reference.erase(gone);
  cold.erase(gone);
  mapped.erase(gone);
  EXPECT_FALSE(mapped.reads_in_place());
  const auto expected_after = reference.search(rows[1], c.k, c.min_score);
  for (StoredVectors* v : {&cold, &mapped}) {
    const auto after = v->search(rows[1], c.k, c.min_score, nullptr, [&](std::size_t slot, std::span<float> out) {
      std::span<const float> row = reference.row(slot);
      std::copy(row.begin(), row.end(), out.begin());
      return true;
    });
    ASSERT_EQ(after.size(), expected_after.size());
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].slot, expected_after[i].slot);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredVectorsSearch,
    ::testing::Values(SearchCase{"Dim384Top10", 384, 10, {}, false, false},
                      SearchCase{"Dim384Top40Floor", 384, 40, 0.05F, false, false},
                      SearchCase{"Dim7Top5", 7, 5, {}, false, false},
                      SearchCase{"Dim33Subset", 33, 12, {}, true, false},
                      SearchCase{"Dim700Top3", 700, 3, {}, false, false},
                      SearchCase{"NearDuplicates", 64, 20, {}, false, true},
                      SearchCase{"NearDuplicatesSubsetFloor", 64, 20, 0.9F, true, true},
                      SearchCase{"KAboveRows", 16, 5000, {}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StoredVectors, RowGoneFromTheFileIsLeftOutAndTheNextTakesItsPlace) {
  StoredVectors v;
  v.set_dimension(2);
  const std::vector<std::vector<float>> rows{{1, 0}, {0.8F, 0.6F}, {0.6F, 0.8F}, {0, 1}};
  for (const auto& r : rows) ASSERT_TRUE(v.append_code(vorn_datastore::sqlite::encode_code(r)));
  const auto got = v.search(std::vector<float>{1, 0}, 2, {}, nullptr, [&](std::size_t slot, std::span<float> out) {
    if (slot == 0) return false;
    std::copy(rows[slot].begin(), rows[slot].end(), out.begin());
    return true;
  });
  ASSERT_EQ(got.size(), 2U);
  EXPECT_EQ(got[0].slot, 1U);
  EXPECT_EQ(got[1].slot, 2U);
}

TEST(StoredVectors, MalformedCodesAndQueriesAreRefused) {
  StoredVectors v;
  v.set_dimension(4);
  const auto good = vorn_datastore::sqlite::encode_code(std::vector<float>{0.5F, 0.5F, 0.5F, 0.5F});
  EXPECT_FALSE(v.append_code(std::span(good).first(good.size() - 1)));
  auto negative_scale = good;
  negative_scale[3] = std::byte{0x80};  // sign bit of the little-endian scale
  EXPECT_FALSE(v.append_code(negative_scale));
  EXPECT_TRUE(v.empty());
  ASSERT_TRUE(v.append_code(good));
  const StoredVectors::RowLoader none = [](std::size_t, std::span<float>) { return false; };
  EXPECT_THROW((void)v.search(std::vector<float>{1, 0}, 1, {}, nullptr, none), std::invalid_argument);
  EXPECT_TRUE(v.search(std::vector<float>{0, 0, 0, 0}, 1, {}, nullptr, none).empty());
}

}  // namespace
