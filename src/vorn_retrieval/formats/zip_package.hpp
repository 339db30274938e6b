// The zip container of office documents and e-books: only entries asked for
// by name are read, and what they unpack to is capped, so a small hostile
// archive cannot make the reader inflate gigabytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorn_retrieval::detail {

class ZipPackage {
 public:
  // `bytes` must outlive the package (they are not copied). `kind` names
  // the document in messages ("Word document"). Throws
  // LoadError(VORN-LOAD-FORMAT) when the bytes are no zip archive.
  ZipPackage(std::string_view bytes, std::size_t max_unpacked_bytes, std::string kind);
  ~ZipPackage();
  ZipPackage(const ZipPackage&) = delete;
  ZipPackage& operator=(const ZipPackage&) = delete;

  // The entry named exactly `name`, unpacked; nullopt when there is none.
  // Throws LoadError(VORN-LOAD-TOO-LARGE) once the entries read so far
  // unpack to more than max_unpacked_bytes together, and
  // LoadError(VORN-LOAD-FORMAT) for a damaged or encrypted entry.
  [[nodiscard]] std::optional<std::string> read(std::string_view name);

  // The same, LoadError(VORN-LOAD-FORMAT) when the entry is missing.
  [[nodiscard]] std::string read_required(std::string_view name);

  [[nodiscard]] const std::string& kind() const noexcept { return kind_; }

 private:
  void* archive_ = nullptr;  // zip_t*
  std::size_t budget_;
  std::size_t used_ = 0;
  std::string kind_;
};

}  // namespace vorn_retrieval::detail
