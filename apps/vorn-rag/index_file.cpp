#include "index_file.hpp"

namespace vorn_cli {

namespace fs = std::filesystem;

bool index_exists(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return !ec && size > 0;
}

std::string no_index_message(const fs::path& path) {
  return "No index at " + path.string() + ". Run `vorn-rag index PATH...` first (or pass --store with the index file) "
         "and retry.";
}

IndexFileGuard::IndexFileGuard(fs::path path) : path_(std::move(path)) {
  std::error_code ec;
  existed_ = fs::exists(path_, ec);
  was_empty_ = existed_ && !index_exists(path_);
  for (fs::path dir = path_.parent_path(); !dir.empty() && !fs::exists(dir, ec); dir = dir.parent_path()) {
    first_created_dir_ = dir;
    if (dir == dir.parent_path()) break;
  }
}

IndexFileGuard::~IndexFileGuard() {
  if (keep_ || (existed_ && !was_empty_)) return;
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal", "-vectors", "-vectors.new"}) {
    fs::path side = path_;
    side += suffix;
    fs::remove(side, ec);
  }
  if (was_empty_) {
    fs::resize_file(path_, 0, ec);
    return;
  }
  fs::remove(path_, ec);
  if (!first_created_dir_.empty()) {
    // Only what this run created, and only if nothing else was put there.
    for (fs::path dir = path_.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (!fs::is_empty(dir, ec) || ec) break;
      fs::remove(dir, ec);
      if (dir == first_created_dir_) break;
    }
  }
}

}  // namespace vorn_cli
