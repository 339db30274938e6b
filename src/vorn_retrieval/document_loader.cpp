#include "vorn_retrieval/document_loader.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "vorn_core/text.hpp"

namespace vorn_retrieval {

namespace fs = std::filesystem;
using vorn_core::find_invalid_utf8;
using vorn_core::replace_invalid_utf8;

namespace {

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string lower_extension(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
  return ext;
}

bool is_hidden(const fs::path& p) {
  const std::string name = p.filename().string();
  return name.size() > 1 && name.front() == '.' && name != "..";
}

std::string human_size(std::size_t bytes) {
  if (bytes >= (std::size_t{1} << 20U) && bytes % (std::size_t{1} << 20U) == 0) {
    return std::to_string(bytes >> 20U) + " MiB";
  }
  return std::to_string(bytes) + " bytes";
}

// LF only: offsets and chunk ids must not depend on the platform that wrote
// the file.
std::string normalize_newlines(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\r') {
      out.push_back(in[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
  }
  return out;
}

}  // namespace

LoadError::LoadError(std::string code, const std::string& message)
    : vorn_core::BaseError(message, std::nullopt),
      vorn_core::RuntimeError(message),
      code_(code.empty() ? std::string(load_errc::kIo) : std::move(code)) {}

std::optional<std::string_view> LoadError::default_message() const noexcept {
  return "A document could not be read. Check the path and its permissions, then retry.";
}

DocumentLoader::DocumentLoader(LoaderOptions options) : options_(options) {
  if (options_.max_file_bytes == 0) throw std::invalid_argument("DocumentLoader: max_file_bytes must be at least 1");
}

bool DocumentLoader::is_markdown(const fs::path& file) {
  const std::string ext = lower_extension(file);
  return ext == ".md" || ext == ".markdown";
}

bool DocumentLoader::is_supported(const fs::path& file) {
  return is_markdown(file) || lower_extension(file) == ".txt";
}

std::vector<std::pair<fs::path, std::string>> DocumentLoader::discover(const fs::path& path) const {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    throw LoadError(load_errc::kNotFound, "Input " + quoted(path) + " does not exist. Check the path and retry.");
  }
  std::vector<std::pair<fs::path, std::string>> found;
  if (fs::is_regular_file(status)) {
    if (!is_supported(path)) {
      throw LoadError(load_errc::kUnsupported, "Input " + quoted(path) +
                                                   " is not a .txt, .md or .markdown file. Convert it to plain text "
                                                   "or Markdown first.");
    }
    found.emplace_back(path, path.filename().generic_string());
    return found;
  }
  if (!fs::is_directory(status)) {
    throw LoadError(load_errc::kUnsupported,
                    "Input " + quoted(path) + " is neither a regular file nor a directory. Pass a file or a folder.");
  }

  fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
  if (ec) {
    throw LoadError(load_errc::kIo, "Cannot list directory " + quoted(path) + ": " + ec.message() +
                                        ". Check its permissions and retry.");
  }
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) {
      throw LoadError(load_errc::kIo, "Cannot list directory " + quoted(path) + ": " + ec.message() +
                                          ". Check its permissions and retry.");
    }
    const fs::directory_entry& entry = *it;
    if (is_hidden(entry.path())) {
      if (entry.is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!entry.is_regular_file(ec) || !is_supported(entry.path())) continue;
    found.emplace_back(entry.path(), entry.path().lexically_relative(path).generic_string());
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return found;
}

Document DocumentLoader::load_file(const fs::path& file, std::string source_id) const {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) {
    throw LoadError(fs::exists(file) ? load_errc::kIo : load_errc::kNotFound,
                    "Cannot read " + quoted(file) + ": " + ec.message() + ". Check the path and retry.");
  }
  const auto too_large = [&](const std::string& size_text) {
    return LoadError(load_errc::kTooLarge, "File " + quoted(file) + " is " + size_text + ", above the " +
                                               human_size(options_.max_file_bytes) +
                                               " limit. Split it into smaller files or raise max_file_bytes.");
  };
  if (size > options_.max_file_bytes) throw too_large(std::to_string(size) + " bytes");

  std::ifstream in(file, std::ios::binary);
  if (!in) throw LoadError(load_errc::kIo, "Cannot open " + quoted(file) + ". Check its permissions and retry.");
  std::string raw(static_cast<std::size_t>(size), '\0');
  in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  raw.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw LoadError(load_errc::kIo, "Reading " + quoted(file) + " failed. Check the disk and retry.");
  // The file may have grown since it was measured.
  if (in.peek() != std::char_traits<char>::eof()) throw too_large("growing");

  std::string_view view(raw);
  if (view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);

  std::string text;
  if (const std::size_t bad = find_invalid_utf8(view); bad != std::string_view::npos) {
    if (options_.invalid_utf8 == InvalidUtf8::reject) {
      const std::size_t offset = bad + static_cast<std::size_t>(view.data() - raw.data());
      const auto line = 1 + std::count(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(offset), '\n');
      throw LoadError(load_errc::kEncoding, "File " + quoted(file) + " is not valid UTF-8 (line " +
                                                std::to_string(line) + ", byte offset " + std::to_string(offset) +
                                                "). Convert it to UTF-8, or load with invalid_utf8 = replace.");
    }
    text = normalize_newlines(replace_invalid_utf8(view));
  } else {
    text = normalize_newlines(view);
  }
  return Document{std::move(source_id), file, std::move(text), is_markdown(file)};
}

std::vector<Document> DocumentLoader::load(const fs::path& path) const {
  return load(std::span<const fs::path>(&path, 1));
}

std::vector<Document> DocumentLoader::load(std::span<const fs::path> paths) const {
  std::vector<Document> docs;
  std::set<fs::path> seen_files;
  std::map<std::string, fs::path> seen_ids;
  for (const fs::path& input : paths) {
    for (auto& [file, source_id] : discover(input)) {
      std::error_code ec;
      fs::path canonical = fs::weakly_canonical(file, ec);
      if (ec) canonical = file;
      if (!seen_files.insert(canonical).second) continue;
      const auto [it, fresh] = seen_ids.emplace(source_id, file);
      if (!fresh) {
        throw LoadError(load_errc::kDuplicate, "Files " + quoted(it->second) + " and " + quoted(file) +
                                                   " both have the source id '" + source_id +
                                                   "'. Load them in separate runs or rename one.");
      }
      docs.push_back(load_file(file, source_id));
    }
  }
  return docs;
}

}  // namespace vorn_retrieval
