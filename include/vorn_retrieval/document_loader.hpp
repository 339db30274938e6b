#pragma once

// Reads .txt, .md and .markdown files from files or directory trees.
//
// Directory walks are recursive, skip hidden entries (names starting with
// '.') and other extensions, and return documents sorted by source id so runs
// are reproducible. Text is returned as UTF-8 with a leading byte-order mark
// removed and CRLF / CR line ends turned into LF, so offsets computed on it
// (e.g. by TextChunker) are stable across platforms.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorn_core/error.hpp"

namespace vorn_retrieval {

namespace load_errc {
inline constexpr const char* kNotFound = "VORN-LOAD-NOT-FOUND";
inline constexpr const char* kUnsupported = "VORN-LOAD-UNSUPPORTED";  // a file given by name has another extension
inline constexpr const char* kTooLarge = "VORN-LOAD-TOO-LARGE";
inline constexpr const char* kEncoding = "VORN-LOAD-ENCODING";        // invalid UTF-8 with InvalidUtf8::reject
inline constexpr const char* kDuplicate = "VORN-LOAD-DUPLICATE";      // two inputs map to one source id
inline constexpr const char* kIo = "VORN-LOAD-IO";
}  // namespace load_errc

// A document that could not be found or read; code() is one of load_errc
// (never empty). A member of the vorn_core::BaseError family and a
// vorn_core::RuntimeError.
class LoadError : public vorn_core::BaseError, public vorn_core::RuntimeError {
 public:
  LoadError(std::string code, const std::string& message);
  [[nodiscard]] std::string_view code() const noexcept override { return code_; }
  [[nodiscard]] std::optional<std::string_view> default_message() const noexcept override;
  [[nodiscard]] std::string_view class_name() const noexcept override { return "LoadError"; }

 private:
  std::string code_;
};

enum class InvalidUtf8 {
  replace,  // each invalid sequence becomes U+FFFD
  reject,   // LoadError(kEncoding) naming the file, line and byte offset
};

struct LoaderOptions {
  std::size_t max_file_bytes = std::size_t{16} << 20U;
  InvalidUtf8 invalid_utf8 = InvalidUtf8::replace;
};

struct Document {
  std::string source_id;  // path relative to the directory given ('/'-separated), or the file name
  std::filesystem::path path;
  std::string text;
  bool markdown = false;
};

class DocumentLoader {
 public:
  explicit DocumentLoader(LoaderOptions options = {});

  // A file or a directory tree. Throws LoadError.
  [[nodiscard]] std::vector<Document> load(const std::filesystem::path& path) const;
  // Several inputs, in the given order; the same file reached twice is loaded
  // once, two different files with one source id are an error.
  [[nodiscard]] std::vector<Document> load(std::span<const std::filesystem::path> paths) const;

  // The files load() would read, with their source ids, without reading them.
  [[nodiscard]] std::vector<std::pair<std::filesystem::path, std::string>> discover(
      const std::filesystem::path& path) const;

  [[nodiscard]] Document load_file(const std::filesystem::path& file, std::string source_id) const;

  [[nodiscard]] static bool is_supported(const std::filesystem::path& file);
  [[nodiscard]] static bool is_markdown(const std::filesystem::path& file);

 private:
  LoaderOptions options_;
};

}  // namespace vorn_retrieval
