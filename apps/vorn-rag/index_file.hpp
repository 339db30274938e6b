// The index file as the commands see it: whether there is one, and undoing
// the file a failed first index run left behind.
#pragma once

#include <filesystem>
#include <string>

namespace vorn_cli {

// A file of at least one byte: a zero-byte file is no index.
bool index_exists(const std::filesystem::path& path);

// "No index at PATH. Run `vorn-rag index PATH...` first (or pass --store ...)."
std::string no_index_message(const std::filesystem::path& path);

// Remembers how the index path looked before a run that may create it, so
// that a run that indexed nothing can leave it that way: only a successful
// index creates an index file.
class IndexFileGuard {
 public:
  explicit IndexFileGuard(std::filesystem::path path);
  IndexFileGuard(const IndexFileGuard&) = delete;
  IndexFileGuard& operator=(const IndexFileGuard&) = delete;
  // Without keep(), puts things back: removes the file (and the files SQLite
  // and the store keep beside it) if there was none, empties it if it was
  // empty, removes the directories created for it. The store must be closed
  // by then.
  ~IndexFileGuard();
  void keep() noexcept { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool existed_ = false;
  bool was_empty_ = false;
  std::filesystem::path first_created_dir_;  // the outermost directory that did not exist
  bool keep_ = false;
};

}  // namespace vorn_cli
