#include "vector_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

#include "vorn_core/error.hpp"

namespace vorn_datastore::sqlite {
namespace {

namespace fs = std::filesystem;

constexpr char kMagic[8] = {'V', 'O', 'R', 'N', 'V', 'E', 'C', '\n'};
// Raise whenever the layout below changes: files of another layout are
// rewritten by the next writer, never read.
constexpr std::uint32_t kLayout = 1;
constexpr std::size_t kAlign = 64;  // a cache line: each array starts on one

// Little-endian on disk; a big-endian host neither writes nor reads the
// file and keeps to the table.
struct Header {
  char magic[8];
  std::uint32_t layout;
  std::uint32_t header_bytes;
  std::uint64_t dimension;
  std::uint64_t rows;
  std::uint64_t stamp;
  std::uint64_t seqs_at;
  std::uint64_t scales_at;
  std::uint64_t errors_at;
  std::uint64_t codes_at;
  std::uint64_t file_bytes;
  std::uint64_t body_checksum;  // of every byte after the header
  std::uint64_t reserved[4];
  std::uint64_t header_checksum;  // of the header bytes before this field
};
static_assert(sizeof(Header) == 128);
constexpr std::size_t kHeaderChecked = offsetof(Header, header_checksum);

struct Layout {
  std::size_t seqs_at, scales_at, errors_at, codes_at, file_bytes;
};

bool add(std::size_t a, std::size_t b, std::size_t& out) noexcept { return !__builtin_add_overflow(a, b, &out); }
bool mul(std::size_t a, std::size_t b, std::size_t& out) noexcept { return !__builtin_mul_overflow(a, b, &out); }
bool align_up(std::size_t at, std::size_t& out) noexcept {
  if (!add(at, kAlign - 1, out)) return false;
  out &= ~(kAlign - 1);
  return true;
}

std::optional<Layout> layout_for(std::uint64_t dimension, std::uint64_t rows) noexcept {
  if (dimension > SIZE_MAX || rows > SIZE_MAX) return std::nullopt;
  const auto dim = static_cast<std::size_t>(dimension);
  const auto n = static_cast<std::size_t>(rows);
  Layout l{};
  std::size_t bytes = 0, end = 0;
  l.seqs_at = sizeof(Header);
  const bool ok = mul(n, sizeof(std::int64_t), bytes) && add(l.seqs_at, bytes, end) && align_up(end, l.scales_at) &&
                  mul(n, sizeof(float), bytes) && add(l.scales_at, bytes, end) && align_up(end, l.errors_at) &&
                  add(l.errors_at, bytes, end) && align_up(end, l.codes_at) && mul(n, dim, bytes) &&
                  add(l.codes_at, bytes, l.file_bytes);
  if (!ok) return std::nullopt;
  return l;
}

// A 64-bit checksum that runs at memory speed: four independent lanes of
// multiply-rotate rounds over 32-byte stripes, then a final mix. Not for
// adversaries, for torn and flipped bytes.
std::uint64_t checksum(const std::byte* p, std::size_t n) noexcept {
  constexpr std::uint64_t k1 = 0x9E3779B185EBCA87ULL;
  constexpr std::uint64_t k2 = 0xC2B2AE3D27D4EB4FULL;
  constexpr std::uint64_t k3 = 0x165667B19E3779F9ULL;
  const auto word = [p](std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, p + at, sizeof w);
    return w;
  };
  const auto round = [](std::uint64_t acc, std::uint64_t w) { return std::rotl(acc + w * k2, 31) * k1; };
  std::uint64_t lane[4] = {k1 + k2, k2, 0, 0 - k1};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    lane[0] = round(lane[0], word(i));
    lane[1] = round(lane[1], word(i + 8));
    lane[2] = round(lane[2], word(i + 16));
    lane[3] = round(lane[3], word(i + 24));
  }
  std::uint64_t h = std::rotl(lane[0], 1) + std::rotl(lane[1], 7) + std::rotl(lane[2], 12) + std::rotl(lane[3], 18);
  h ^= static_cast<std::uint64_t>(n) * k3;
  for (; i + 8 <= n; i += 8) h = std::rotl(h ^ round(0, word(i)), 27) * k1 + k3;
  for (; i < n; ++i) h = std::rotl(h ^ (static_cast<std::uint64_t>(p[i]) * k3), 11) * k1;
  h ^= h >> 33;
  h *= k2;
  h ^= h >> 29;
  h *= k3;
  h ^= h >> 32;
  return h;
}

bool write_all(int fd, const std::byte* p, std::size_t n) noexcept {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

template <typename T>
std::span<const T> array_at(const std::byte* base, std::size_t at, std::size_t n) noexcept {
  return {reinterpret_cast<const T*>(base + at), n};
}

}  // namespace

fs::path vector_file_path(const fs::path& store) {
  fs::path p = store;
  p += "-vectors";
  return p;
}

const char* to_string(VectorFileStatus status) noexcept {
  switch (status) {
    case VectorFileStatus::ok: return "ok";
    case VectorFileStatus::missing: return "missing";
    case VectorFileStatus::unreadable: return "unreadable";
    case VectorFileStatus::stale: return "stale";
    case VectorFileStatus::wrong_layout: return "wrong layout";
    case VectorFileStatus::corrupt: return "corrupt";
  }
  return "unknown";
}

// --- writing -------------------------------------------------------------------

VectorFileImage::VectorFileImage(std::size_t dimension, std::size_t rows) : dim_(dimension), rows_(rows) {
  const auto layout = layout_for(dimension, rows);
  if (!layout) throw vorn_core::InvalidValueError("VectorFileImage: " + std::to_string(rows) + " rows of " +
                                                  std::to_string(dimension) + " values do not fit in memory");
  seqs_at_ = layout->seqs_at;
  scales_at_ = layout->scales_at;
  errors_at_ = layout->errors_at;
  codes_at_ = layout->codes_at;
  bytes_.resize(layout->file_bytes);
}

std::int8_t* VectorFileImage::code(std::size_t row) noexcept {
  return reinterpret_cast<std::int8_t*>(bytes_.data() + codes_at_ + row * dim_);
}

void VectorFileImage::set_row(std::size_t row, std::int64_t seq, const CodeBounds& bounds) noexcept {
  std::memcpy(bytes_.data() + seqs_at_ + row * sizeof seq, &seq, sizeof seq);
  std::memcpy(bytes_.data() + scales_at_ + row * sizeof(float), &bounds.scale, sizeof(float));
  std::memcpy(bytes_.data() + errors_at_ + row * sizeof(float), &bounds.error, sizeof(float));
}

bool VectorFileImage::write(const fs::path& path, std::uint64_t stamp) {
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.layout = kLayout;
    h.header_bytes = sizeof(Header);
    h.dimension = dim_;
    h.rows = rows_;
    h.stamp = stamp;
    h.seqs_at = seqs_at_;
    h.scales_at = scales_at_;
    h.errors_at = errors_at_;
    h.codes_at = codes_at_;
    h.file_bytes = bytes_.size();
    h.body_checksum = checksum(bytes_.data() + sizeof(Header), bytes_.size() - sizeof(Header));
    h.header_checksum = checksum(reinterpret_cast<const std::byte*>(&h), kHeaderChecked);
    std::memcpy(bytes_.data(), &h, sizeof h);

    fs::path temporary = path;
    temporary += ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write_all(fd, bytes_.data(), bytes_.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
      ::unlink(temporary.c_str());
      return false;
    }
    return true;
  }
}

// --- reading -------------------------------------------------------------------

MappedVectorFile::~MappedVectorFile() {
  if (base_ != nullptr) ::munmap(const_cast<std::byte*>(base_), bytes_);
}

std::span<const std::int64_t> MappedVectorFile::seqs() const noexcept {
  return array_at<std::int64_t>(base_, seqs_at_, rows_);
}
std::span<const float> MappedVectorFile::scales() const noexcept {
  return array_at<float>(base_, scales_at_, rows_);
}
std::span<const float> MappedVectorFile::errors() const noexcept {
  return array_at<float>(base_, errors_at_, rows_);
}
std::span<const std::int8_t> MappedVectorFile::codes() const noexcept {
  return array_at<std::int8_t>(base_, codes_at_, rows_ * dim_);
}

std::shared_ptr<const MappedVectorFile> MappedVectorFile::open(const fs::path& path, std::size_t dimension,
                                                               std::uint64_t stamp, VectorFileStatus& status) {
  if constexpr (std::endian::native != std::endian::little) {
    status = VectorFileStatus::wrong_layout;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = errno == ENOENT ? VectorFileStatus::missing : VectorFileStatus::unreadable;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    status = VectorFileStatus::unreadable;
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size < sizeof(Header)) {
    ::close(fd);
    status = VectorFileStatus::corrupt;
    return nullptr;
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);  // the mapping keeps the file
  if (mapped == MAP_FAILED) {
    status = VectorFileStatus::unreadable;
    return nullptr;
  }
  std::shared_ptr<MappedVectorFile> file(new MappedVectorFile());
  file->base_ = static_cast<const std::byte*>(mapped);
  file->bytes_ = size;

  const auto refuse = [&status](VectorFileStatus why) {
    status = why;
    return nullptr;
  };
  Header h;
  std::memcpy(&h, file->base_, sizeof h);
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return refuse(VectorFileStatus::corrupt);
  if (h.layout != kLayout || h.header_bytes != sizeof(Header)) return refuse(VectorFileStatus::wrong_layout);
  if (checksum(file->base_, kHeaderChecked) != h.header_checksum) return refuse(VectorFileStatus::corrupt);
  if (h.stamp != stamp || h.dimension != dimension) return refuse(VectorFileStatus::stale);
  const auto l = layout_for(h.dimension, h.rows);
  if (!l || h.file_bytes != size || l->file_bytes != size || h.seqs_at != l->seqs_at ||
      h.scales_at != l->scales_at || h.errors_at != l->errors_at || h.codes_at != l->codes_at) {
    return refuse(VectorFileStatus::corrupt);
  }
  if (checksum(file->base_ + sizeof(Header), size - sizeof(Header)) != h.body_checksum) {
    return refuse(VectorFileStatus::corrupt);
  }
  file->dim_ = static_cast<std::size_t>(h.dimension);
  file->rows_ = static_cast<std::size_t>(h.rows);
  file->seqs_at_ = l->seqs_at;
  file->scales_at_ = l->scales_at;
  file->errors_at_ = l->errors_at;
  file->codes_at_ = l->codes_at;

  // What no writer produces would mislead the search bounds or the slot to
  // seq mapping; a matching checksum makes this a bug's trace, not damage.
  std::int64_t previous = 0;
  for (const std::int64_t seq : file->seqs()) {
    if (seq <= previous) return refuse(VectorFileStatus::corrupt);
    previous = seq;
  }
  const auto sound = [](float x) { return std::isfinite(x) && x >= 0.0F; };
  const auto scales = file->scales();
  const auto errors = file->errors();
  for (std::size_t r = 0; r < file->rows_; ++r) {
    if (!sound(scales[r]) || !sound(errors[r])) return refuse(VectorFileStatus::corrupt);
  }
  status = VectorFileStatus::ok;
  return file;
}

}  // namespace vorn_datastore::sqlite
