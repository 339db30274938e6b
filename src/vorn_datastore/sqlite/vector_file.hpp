// The store's vector codes laid out to be read in place: a file beside the
// store ("<store>-vectors") holding, for every row of the vector_codes table
// in seq order, its seq, the scale and error bound of its code, and the code
// itself, each kind in one aligned array. Opening maps it read-only; a search
// scans the codes where they lie, so only the pages it touches are read and
// nothing is copied.
//
// The file is a cache of the vector_codes table, never the only copy. It
// carries the stamp that the store's last vector write recorded in its meta
// table; a file that is missing, carries another stamp (the store changed
// since, or a crash came between a write and the file's refresh), has
// another layout or fails its checksums is not used: the store reads the
// table instead and the next writer to close the store writes the file
// anew. It is replaced by rename, so a reader sees the old file or the new
// one, never half of one; the checksums catch what a power loss can leave
// of a file that was renamed before its pages reached the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "vector_code.hpp"

namespace vorn_datastore::sqlite {

// "<store>-vectors", beside the store as SQLite's own -wal and -shm files.
std::filesystem::path vector_file_path(const std::filesystem::path& store);

// Why a file was not used (or `ok`).
enum class VectorFileStatus {
  ok,
  missing,
  unreadable,    // exists but cannot be opened or mapped
  stale,         // another stamp or dimension: written for another state of the store
  wrong_layout,  // written by a build that lays the file out differently
  corrupt,       // wrong size, checksums, or values no writer produces
};

const char* to_string(VectorFileStatus status) noexcept;

// The file's image in memory, filled row by row, then written at once.
class VectorFileImage {
 public:
  // Throws std::bad_alloc, or InvalidValueError when the sizes overflow.
  VectorFileImage(std::size_t dimension, std::size_t rows);

  [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
  // Where row `row`'s `dimension` code bytes go.
  [[nodiscard]] std::int8_t* code(std::size_t row) noexcept;
  void set_row(std::size_t row, std::int64_t seq, const CodeBounds& bounds) noexcept;

  // Seals the image with `stamp` and puts it at `path` through a temporary
  // file and a rename; false (and no file at `path` changed) on any error.
  [[nodiscard]] bool write(const std::filesystem::path& path, std::uint64_t stamp);

 private:
  std::size_t dim_;
  std::size_t rows_;
  std::size_t seqs_at_ = 0, scales_at_ = 0, errors_at_ = 0, codes_at_ = 0;  // byte offsets of the arrays
  std::vector<std::byte> bytes_;
};

// A file mapped read-only and checked; its arrays stay valid while it lives.
class MappedVectorFile {
 public:
  // The file at `path` if it holds codes of `dimension` values written for
  // `stamp`, passes its checksums and holds only values a writer produces
  // (ascending positive seqs, finite non-negative scales and bounds);
  // otherwise null, with the reason in `status`. Never throws but
  // std::bad_alloc.
  static std::shared_ptr<const MappedVectorFile> open(const std::filesystem::path& path, std::size_t dimension,
                                                      std::uint64_t stamp, VectorFileStatus& status);

  MappedVectorFile(const MappedVectorFile&) = delete;
  MappedVectorFile& operator=(const MappedVectorFile&) = delete;
  ~MappedVectorFile();

  [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
  [[nodiscard]] std::size_t dimension() const noexcept { return dim_; }
  [[nodiscard]] std::span<const std::int64_t> seqs() const noexcept;
  [[nodiscard]] std::span<const float> scales() const noexcept;
  [[nodiscard]] std::span<const float> errors() const noexcept;
  [[nodiscard]] std::span<const std::int8_t> codes() const noexcept;

 private:
  MappedVectorFile() = default;

  const std::byte* base_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t dim_ = 0;
  std::size_t rows_ = 0;
  std::size_t seqs_at_ = 0, scales_at_ = 0, errors_at_ = 0, codes_at_ = 0;
};

}  // namespace vorn_datastore::sqlite
