// Reading a store's vector codes at open, and keeping the vector file
// beside the store current when a writer closes it.
#include "errors.hpp"
#include "schema.hpp"
#include "store_impl.hpp"
#include "vector_stamp.hpp"

namespace vorn_datastore {

using sqlite::Connection;
using sqlite::Stmt;

void SqliteChunkStore::Impl::load_vectors(Connection& c) {
  const std::size_t dim = dimension.load();
  if (dim != 0) {
    if (const std::uint64_t stamp = sqlite::read_vector_stamp(c); stamp != 0) {
      auto file = sqlite::MappedVectorFile::open(sqlite::vector_file_path(path), dim, stamp, vector_file_status);
      if (file) {
        seqs.assign(file->seqs().begin(), file->seqs().end());
        vectors.set_dimension(dim);
        vectors.attach(std::move(file));
        return;
      }
    }
  }
  // The codes sit in a table of their own: counting and reading them never
  // touches the pages that hold chunk text and exact vectors.
  const auto rows =
      static_cast<std::size_t>(c.query_int("SELECT count(*) FROM vector_codes", "Counting chunk vectors"));
  if (rows == 0) return;
  if (dim == 0) sqlite::raise_corrupt(path, "holds chunks but no embedding dimension");
  vectors.set_dimension(dim);
  vectors.reserve(rows);
  seqs.reserve(rows);
  Stmt s = c.prepare("SELECT seq, code FROM vector_codes ORDER BY seq");
  while (s.step("Loading embeddings")) {
    if (!vectors.append_code(s.blob(1))) {
      sqlite::raise_corrupt(path, "holds a vector code of " + std::to_string(s.blob(1).size()) +
                                      " bytes where a valid code of " + std::to_string(dim) +
                                      " dimensions was expected");
    }
    seqs.push_back(s.int64(0));
  }
}

void SqliteChunkStore::Impl::refresh_vector_file() noexcept {
  if (!writer) return;
  try {
    Connection& c = *writer;
    // Holds other writers off while the table is read, so that the file
    // and the stamp it carries describe one state of the store.
    sqlite::Transaction tx(c);
    const std::uint64_t stamp = sqlite::read_vector_stamp(c);
    const std::size_t dim = std::stoull(sqlite::read_meta(c, "dimension").value_or("0"));
    if (stamp == 0 || dim == 0) return;
    const auto file_path = sqlite::vector_file_path(path);
    sqlite::VectorFileStatus status{};
    if (sqlite::MappedVectorFile::open(file_path, dim, stamp, status)) return;  // already current

    const auto rows =
        static_cast<std::size_t>(c.query_int("SELECT count(*) FROM vector_codes", "Counting chunk vectors"));
    sqlite::VectorFileImage image(dim, rows);
    Stmt s = c.prepare("SELECT seq, code FROM vector_codes ORDER BY seq");
    std::size_t row = 0;
    while (s.step("Reading vector codes")) {
      sqlite::CodeBounds bounds;
      if (row == rows || !sqlite::decode_code(s.blob(1), dim, image.code(row), bounds)) return;
      image.set_row(row++, s.int64(0), bounds);
    }
    if (row == rows) (void)image.write(file_path, stamp);
  } catch (...) {
    // The file stays as it was; readers see it is not current and read the
    // table.
  }
}

}  // namespace vorn_datastore
