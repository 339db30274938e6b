// The vector file beside a store is a cache of its codes read in place: it
// is used only when it is the one the store's last vector write recorded
// and intact; anything else (missing, stale, another layout, damaged) is
// seen, the store reads its table instead with the same results, and the
// next writer to close the store writes the file anew.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "vector_code.hpp"
#include "vector_file.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_datastore/vector_index.hpp"

namespace {

namespace fs = std::filesystem;
using vorn_datastore::sqlite::MappedVectorFile;
using vorn_datastore::sqlite::VectorFileImage;
using vorn_datastore::sqlite::VectorFileStatus;

constexpr std::uint64_t kStamp = 0xC0FFEE;

fs::path temp_dir(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("vorn_vector_file_" + std::to_string(::getpid()) + "_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::vector<float> unit_row(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (auto& x : v) x = normal(rng);
  vorn_datastore::VectorIndex::l2_normalize(v);
  return v;
}

// Rows with seqs 10, 20, ... as a writer lays them out.
void write_file(const fs::path& path, std::size_t dim, std::size_t rows, std::uint64_t stamp,
                const std::function<std::int64_t(std::size_t)>& seq_of = {}) {
  std::mt19937 rng(3);
  VectorFileImage image(dim, rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto bounds = vorn_datastore::sqlite::quantize_row(unit_row(rng, dim), image.code(r));
    image.set_row(r, seq_of ? seq_of(r) : static_cast<std::int64_t>(10 * (r + 1)), bounds);
  }
  ASSERT_TRUE(image.write(path, stamp));
}

void poke(const fs::path& path, std::streamoff at, char byte) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at >= 0 ? at : static_cast<std::streamoff>(fs::file_size(path)) + at);
  f.put(byte);
}

struct FileCase {
  const char* name;
  std::function<void(const fs::path&)> make;
  std::size_t dimension;  // what the store expects
  std::uint64_t stamp;
  VectorFileStatus expected;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class VectorFileOpen : public ::testing::TestWithParam<FileCase> {};

TEST_P(VectorFileOpen, UsesOnlyTheCurrentIntactFile) {
  const FileCase& c = GetParam();
  const fs::path dir = temp_dir(c.name);
  const fs::path path = dir / "store.db-vectors";
  c.make(path);
  VectorFileStatus status = VectorFileStatus::ok;
  const auto file = MappedVectorFile::open(path, c.dimension, c.stamp, status);
  EXPECT_EQ(status, c.expected) << to_string(status);
  EXPECT_EQ(file != nullptr, c.expected == VectorFileStatus::ok);
  if (file) {
    EXPECT_EQ(file->rows(), 50U);
    EXPECT_EQ(file->seqs().front(), 10);
    EXPECT_EQ(file->seqs().back(), 500);
    EXPECT_EQ(file->codes().size(), 50U * 24);
  }
  EXPECT_FALSE(fs::exists(dir / "store.db-vectors.new")) << "the temporary file was left behind";
  fs::remove_all(dir);
}

const auto good = [](const fs::path& p) { write_file(p, 24, 50, kStamp); };
// Damage past the header: the arrays hold seqs, scales, bounds, then codes.
INSTANTIATE_TEST_SUITE_P(
    Cases, VectorFileOpen,
    ::testing::Values(
        FileCase{"Current", good, 24, kStamp, VectorFileStatus::ok},
        FileCase{"Missing", [](const fs::path&) {}, 24, kStamp, VectorFileStatus::missing},
        FileCase{"OtherStamp", good, 24, kStamp + 1, VectorFileStatus::stale},
        FileCase{"OtherDimension", good, 32, kStamp, VectorFileStatus::stale},
        FileCase{"OtherLayout", [](const fs::path& p) { write_file(p, 24, 50, kStamp); poke(p, 8, 9); }, 24, kStamp,
                 VectorFileStatus::wrong_layout},
        FileCase{"NotOurFile", [](const fs::path& p) { std::ofstream(p) << std::string(300, 'x'); }, 24, kStamp,
                 VectorFileStatus::corrupt},
        FileCase{"ShorterThanAHeader", [](const fs::path& p) { std::ofstream(p) << "VORNVEC\n"; }, 24, kStamp,
                 VectorFileStatus::corrupt},
        FileCase{"Truncated", [](const fs::path& p) { write_file(p, 24, 50, kStamp); fs::resize_file(p, fs::file_size(p) - 1); },
                 24, kStamp, VectorFileStatus::corrupt},
        FileCase{"GrownByAByte", [](const fs::path& p) { write_file(p, 24, 50, kStamp); fs::resize_file(p, fs::file_size(p) + 1); },
                 24, kStamp, VectorFileStatus::corrupt},
        FileCase{"HeaderByteFlipped", [](const fs::path& p) { write_file(p, 24, 50, kStamp); poke(p, 20, 7); }, 24, kStamp,
                 VectorFileStatus::corrupt},
        FileCase{"SeqByteFlipped", [](const fs::path& p) { write_file(p, 24, 50, kStamp); poke(p, 128 + 8, 1); }, 24,
                 kStamp, VectorFileStatus::corrupt},
        FileCase{"LastCodeByteFlipped", [](const fs::path& p) { write_file(p, 24, 50, kStamp); poke(p, -1, 0x55); }, 24,
                 kStamp, VectorFileStatus::corrupt},
        // Sound checksums over values no writer produces.
        FileCase{"SeqsOutOfOrder",
                 [](const fs::path& p) { write_file(p, 24, 50, kStamp, [](std::size_t r) { return r == 7 ? 5 : 10 * (std::int64_t(r) + 1); }); },
                 24, kStamp, VectorFileStatus::corrupt},
        FileCase{"DirectoryInItsPlace", [](const fs::path& p) { fs::create_directories(p); }, 24, kStamp,
                 VectorFileStatus::unreadable}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VectorFileImage, FailedWriteLeavesTheFileInPlaceUntouched) {
  const fs::path dir = temp_dir("failed_write");
  const fs::path path = dir / "store.db-vectors";
  write_file(path, 8, 5, kStamp);
  const auto before = fs::file_size(path);
  fs::create_directories(dir / "store.db-vectors.new");  // the temporary name is taken
  fs::create_directories(dir / "store.db-vectors.new" / "x");
  VectorFileImage image(8, 9);
  EXPECT_FALSE(image.write(path, kStamp + 1));
  VectorFileStatus status{};
  EXPECT_NE(MappedVectorFile::open(path, 8, kStamp, status), nullptr) << to_string(status);
  EXPECT_EQ(fs::file_size(path), before);
  fs::remove_all(dir);
}

// --- through the store -----------------------------------------------------------------------

using vorn_datastore::OpenOptions;
using vorn_datastore::SqliteChunkStore;
using vorn_datastore::StoredChunk;

constexpr std::size_t kDim = 16;

std::vector<StoredChunk> batch(std::size_t first, std::size_t n) {
  std::mt19937 rng(static_cast<unsigned>(first + 1));
  std::vector<StoredChunk> out;
  for (std::size_t i = first; i < first + n; ++i) {
    out.push_back({"c" + std::to_string(i), "chunk number " + std::to_string(i), {}, unit_row(rng, kDim)});
  }
  return out;
}

// What a read-only open finds: the ids of the top 5 for a few queries.
std::vector<std::vector<std::string>> top_ids(const fs::path& db) {
  auto store = SqliteChunkStore::open(db, OpenOptions{.read_only = true});
  std::mt19937 rng(99);
  std::vector<std::vector<std::string>> out;
  for (int q = 0; q < 6; ++q) {
    std::vector<std::string> ids;
    for (const auto& hit : store.search_vector(unit_row(rng, kDim), 5)) ids.push_back(hit.id);
    out.push_back(ids);
  }
  out.push_back({std::to_string(store.size())});
  return out;
}

std::uint64_t stamp_of(const fs::path& db) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(raw, "SELECT value FROM meta WHERE key = 'vectors_stamp'", -1, &st, nullptr);
  const std::uint64_t stamp =
      sqlite3_step(st) == SQLITE_ROW ? std::stoull(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) : 0;
  sqlite3_finalize(st);
  sqlite3_close(raw);
  return stamp;
}

void exec(const fs::path& db, const char* sql) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
  sqlite3_close(raw);
}

VectorFileStatus status_of(const fs::path& db) {
  VectorFileStatus status{};
  (void)MappedVectorFile::open(vorn_datastore::sqlite::vector_file_path(db), kDim, stamp_of(db), status);
  return status;
}

TEST(StoreVectorFile, ClosingAWriterLeavesACurrentFileThatReadersSearchInPlace) {
  const fs::path dir = temp_dir("in_place");
  const fs::path db = dir / "store.db";
  {
    auto store = SqliteChunkStore::open(db);
    store.add_batch(batch(0, 40));
    store.add_batch(batch(40, 40));
    EXPECT_EQ(status_of(db), VectorFileStatus::missing) << "written at close, not per batch";
  }
  EXPECT_EQ(status_of(db), VectorFileStatus::ok);
  const auto expected = top_ids(db);
  ASSERT_EQ(expected.back().front(), "80");
  // Emptying the codes table behind the store's back leaves its stamp: a
  // reader that still finds every vector read them from the file.
  exec(db, "DELETE FROM vector_codes");
  EXPECT_EQ(top_ids(db), expected);
  fs::remove_all(dir);
}

struct Mismatch {
  const char* name;
  // Leaves the file beside `db` unfit for its current state; `old_file` is
  // a current file of the store before its last batch.
  void (*apply)(const fs::path& db, const fs::path& old_file);
};

void PrintTo(const Mismatch& m, std::ostream* os) { *os << m.name; }

class StoreVectorFileMismatch : public ::testing::TestWithParam<Mismatch> {};

TEST_P(StoreVectorFileMismatch, IsReadFromTheTableAndRewrittenByTheNextWriter) {
  const fs::path dir = temp_dir(GetParam().name);
  const fs::path db = dir / "store.db";
  const fs::path file = vorn_datastore::sqlite::vector_file_path(db);
  {
    auto store = SqliteChunkStore::open(db);
    store.add_batch(batch(0, 60));
  }
  fs::copy_file(file, dir / "old-vectors");
  {
    auto store = SqliteChunkStore::open(db);
    store.add_batch(batch(60, 30));
    store.remove({"c3", "c61"});
  }
  const auto expected = top_ids(db);
  ASSERT_EQ(expected.back().front(), "88");

  GetParam().apply(db, dir / "old-vectors");
  EXPECT_NE(status_of(db), VectorFileStatus::ok);
  EXPECT_EQ(top_ids(db), expected) << "a reader used an unfit vector file";
  { auto writer = SqliteChunkStore::open(db); }
  EXPECT_EQ(status_of(db), VectorFileStatus::ok) << "the next writer did not rewrite the file";
  EXPECT_EQ(top_ids(db), expected);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreVectorFileMismatch,
    ::testing::Values(
        Mismatch{"Missing", [](const fs::path& db, const fs::path&) {
                   fs::remove(vorn_datastore::sqlite::vector_file_path(db));
                 }},
        // What a kill between a batch and the close leaves: the file of the
        // state before.
        Mismatch{"FromAnEarlierState", [](const fs::path& db, const fs::path& old_file) {
                   fs::copy_file(old_file, vorn_datastore::sqlite::vector_file_path(db),
                                 fs::copy_options::overwrite_existing);
                 }},
        Mismatch{"CodeByteFlipped", [](const fs::path& db, const fs::path&) {
                   poke(vorn_datastore::sqlite::vector_file_path(db), -3, 0x7f);
                 }},
        Mismatch{"TruncatedToItsHeader", [](const fs::path& db, const fs::path&) {
                   fs::resize_file(vorn_datastore::sqlite::vector_file_path(db), 128);
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
