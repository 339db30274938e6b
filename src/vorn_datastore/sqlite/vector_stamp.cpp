#include "vector_stamp.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>

#include "schema.hpp"

namespace vorn_datastore::sqlite {
namespace {

constexpr const char* kStampKey = "vectors_stamp";

std::uint64_t mix(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::uint64_t process_seed() noexcept {
  std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                       (static_cast<std::uint64_t>(::getpid()) << 32);
  try {
    std::random_device device;
    seed ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // The clock and the process id still set copies of a store apart.
  }
  return seed;
}

}  // namespace

std::uint64_t read_vector_stamp(Connection& c) {
  const auto text = read_meta(c, kStampKey);
  if (!text) return 0;
  try {
    std::size_t used = 0;
    const unsigned long long value = std::stoull(*text, &used);
    return used == text->size() ? value : 0;
  } catch (const std::exception&) {
    return 0;  // an unreadable stamp matches no file
  }
}

void record_new_vector_stamp(Connection& c) {
  static const std::uint64_t seed = process_seed();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t stamp = mix(seed + counter.fetch_add(1) * 0xD1B54A32D192ED03ULL);
  if (stamp == 0) stamp = 1;
  write_meta(c, kStampKey, std::to_string(stamp));
}

}  // namespace vorn_datastore::sqlite
