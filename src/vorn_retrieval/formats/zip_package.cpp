#include "zip_package.hpp"

#include <algorithm>

#include "libzip_api.hpp"
#include "vorn_retrieval/document_loader.hpp"

namespace vorn_retrieval::detail {
namespace {

zip_t* as_zip(void* archive) { return static_cast<zip_t*>(archive); }

std::string megabytes(std::size_t bytes) {
  return bytes >= (std::size_t{1} << 20U) ? std::to_string(bytes >> 20U) + " MiB" : std::to_string(bytes) + " bytes";
}

}  // namespace

ZipPackage::ZipPackage(std::string_view bytes, std::size_t max_unpacked_bytes, std::string kind)
    : budget_(max_unpacked_bytes), kind_(std::move(kind)) {
  const LibzipApi& zip = libzip_api();
  zip_error_t error;
  zip.error_init(&error);
  const auto damaged = [&](std::string_view why) {
    return LoadError(load_errc::kFormat,
                     "The " + kind_ + " could not be read (" + std::string(why) + "). Repair or re-export it.");
  };
  if (bytes.empty()) throw damaged("the file is empty");
  zip_source_t* source = zip.source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  if (source == nullptr) {
    std::string why = zip.error_strerror(&error);
    zip.error_fini(&error);
    throw damaged(why);
  }
  archive_ = zip.open_from_source(source, ZIP_RDONLY, &error);
  if (archive_ == nullptr) {
    // Still ours when opening failed.
    zip.source_free(source);
    std::string why = "no zip archive: " + std::string(zip.error_strerror(&error));
    zip.error_fini(&error);
    throw damaged(why);
  }
  zip.error_fini(&error);
}

ZipPackage::~ZipPackage() {
  if (archive_ != nullptr) libzip_api().discard(as_zip(archive_));
}

std::optional<std::string> ZipPackage::read(std::string_view name) {
  const LibzipApi& zip = libzip_api();
  const std::string entry_name(name);
  if (entry_name.empty() || entry_name.find('\0') != std::string::npos) return std::nullopt;
  const zip_int64_t index = zip.name_locate(as_zip(archive_), entry_name.c_str(), 0);
  if (index < 0) return std::nullopt;
  const auto damaged = [&](const char* why) {
    return LoadError(load_errc::kFormat, "The " + kind_ + " is damaged: its part '" + entry_name +
                                             "' cannot be unpacked (" + why + "). Repair or re-export it.");
  };
  zip_file_t* file = zip.fopen_index(as_zip(archive_), static_cast<zip_uint64_t>(index), 0);
  if (file == nullptr) {
    zip_error_t* error = zip.get_error(as_zip(archive_));
    const int code = zip.error_code_zip(error);
    if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_ENCRNOTSUPP) {
      throw LoadError(load_errc::kFormat, "The " + kind_ + " is encrypted with a password. Save an unprotected "
                                                           "copy to index it.");
    }
    throw damaged(zip.error_strerror(error));
  }
  struct Closer {
    const LibzipApi& zip;
    zip_file_t* file;
    ~Closer() { zip.fclose(file); }
  } closer{zip, file};

  std::string out;
  char buffer[64 * 1024];
  for (;;) {
    const zip_int64_t got = zip.fread(file, buffer, sizeof buffer);
    if (got < 0) throw damaged(zip.error_strerror(zip.file_get_error(file)));
    if (got == 0) break;
    const auto n = static_cast<std::size_t>(got);
    // What the archive declares about sizes is not trusted: the bytes are
    // counted as they come.
    if (n > budget_ - used_) {
      throw LoadError(load_errc::kTooLarge, "The " + kind_ + " unpacks to more than " +
                                                megabytes(budget_) +
                                                " (a compression bomb, or far more text than one file should hold). "
                                                "Split it or raise the size limit.");
    }
    used_ += n;
    out.append(buffer, n);
  }
  return out;
}

std::string ZipPackage::read_required(std::string_view name) {
  std::optional<std::string> part = read(name);
  if (!part) {
    throw LoadError(load_errc::kFormat,
                    "The " + kind_ + " could not be read (it has no part '" + std::string(name) +
                        "'). Repair or re-export it.");
  }
  return std::move(*part);
}

}  // namespace vorn_retrieval::detail
