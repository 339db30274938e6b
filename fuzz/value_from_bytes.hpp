// Turns fuzz bytes into `vorn_core::Value` trees, for the targets that check
// how the library copes with whatever a component or a model hands it.
//
// The decoder is small and bounded on purpose: depth, node count and string
// length are capped, so a target spends its time in the code under test and
// never builds a value too deep for that code's (legitimate) recursion. Keys
// and strings come from a dictionary of the names the library looks for
// about half the time, which lets the fuzzer reach past the first
// "unsupported data" check quickly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorn_core/chunk.hpp"
#include "vorn_core/object.hpp"
#include "vorn_core/record.hpp"
#include "vorn_core/value.hpp"

namespace vorn_fuzz {

// Reads bytes front to back; past the end every read answers zero, so any
// input decodes to something.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const noexcept { return pos_ >= size_; }
  std::size_t remaining() const noexcept { return done() ? 0 : size_ - pos_; }

  std::uint8_t byte() noexcept { return done() ? 0 : data_[pos_++]; }
  bool flag() noexcept { return (byte() & 1) != 0; }
  std::uint64_t u64() noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  // Up to `max` raw bytes, length first.
  std::string bytes(std::size_t max) {
    // The length byte first: the order in which function arguments are
    // evaluated is unspecified (GCC reads remaining() first, one byte too many).
    const std::size_t length = byte() % (max + 1);
    const std::size_t n = std::min<std::size_t>(length, remaining());
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  // Everything not read yet.
  std::string rest() {
    std::string out(reinterpret_cast<const char*>(data_ + pos_), remaining());
    pos_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Names the library's records and normalisers look for, plus a few texts
// that tend to break parsers and messages.
inline const std::vector<std::string>& dictionary() {
  static const std::vector<std::string> words = {
      "id", "content", "metadata", "score", "selected_chunks", "is_sufficient", "query", "sub_query", "route",
      "sub_queries", "routing_plan", "top_k", "initial_top_k", "round_idx", "max_rounds", "selected_chunk_limit",
      "candidate_chunks", "evaluation", "chunks", "user_query", "response", "relevant", "queries", "true",
      "false", "1", "0", "", "\xff\xfe", "'\\\"", "None",
  };
  return words;
}

inline std::string text(ByteReader& in, std::size_t max = 24) {
  const std::uint8_t pick = in.byte();
  if (pick < 128) return dictionary()[pick % dictionary().size()];
  return in.bytes(max);
}

// A sequence consumed once, as generators are: decomposers may answer one.
class OneShotSequence final : public vorn_core::Iterable {
 public:
  explicit OneShotSequence(vorn_core::List items) : items_(std::move(items)) {}
  std::optional<vorn_core::Value> next() override {
    if (pos_ >= items_.size()) return std::nullopt;
    return std::move(items_[pos_++]);
  }
  std::string type_name() const override { return "generator"; }

 private:
  vorn_core::List items_;
  std::size_t pos_ = 0;
};

// An object of no kind the library knows.
class Opaque final : public vorn_core::Object {
 public:
  std::string type_name() const override { return "Opaque"; }
};

struct DecodeLimits {
  int max_depth = 6;
  std::size_t max_nodes = 200;
  std::size_t max_items = 8;  // per list or dict
};

class ValueDecoder {
 public:
  explicit ValueDecoder(ByteReader& in, DecodeLimits limits = {}) : in_(in), limits_(limits) {}

  // Record schemas the decoder may instantiate (with decoded field values
  // that are validated, so an unfit one falls back to a plain dict).
  std::vector<vorn_core::SchemaPtr> schemas;

  vorn_core::Value value(int depth = 0) {
    using vorn_core::Value;
    if (++nodes_ > limits_.max_nodes || in_.done()) return Value();
    const bool leaf_only = depth >= limits_.max_depth;
    const std::uint8_t tag = in_.byte() % (leaf_only ? 5 : 11);
    switch (tag) {
      case 0: return Value();
      case 1: return Value(in_.flag());
      case 2: return Value(integer());
      case 3: return Value(floating());
      case 4: return Value(text(in_));
      case 5: return Value(list(depth));
      case 6: return Value(dict(depth));
      case 7: return Value(chunk(depth));
      case 8: return Value(std::make_shared<OneShotSequence>(list(depth)));
      case 9: return record(depth);
      default: return Value(std::make_shared<Opaque>());
    }
  }

  vorn_core::List list(int depth) {
    vorn_core::List out;
    const std::size_t n = in_.byte() % (limits_.max_items + 1);
    for (std::size_t i = 0; i < n && !in_.done(); ++i) out.push_back(value(depth + 1));
    return out;
  }

  vorn_core::Dict dict(int depth) {
    vorn_core::Dict out;
    const std::size_t n = in_.byte() % (limits_.max_items + 1);
    for (std::size_t i = 0; i < n && !in_.done(); ++i) {
      std::string key = text(in_);
      out.set(key, value(depth + 1));
    }
    return out;
  }

  vorn_core::ChunkPtr chunk(int depth) {
    std::string id = text(in_, 8);
    std::string content = text(in_);
    std::optional<double> score;
    if (in_.flag()) score = floating();
    vorn_core::Dict metadata = in_.flag() ? dict(depth) : vorn_core::Dict();
    return vorn_core::make_chunk(std::move(id), std::move(content), std::move(metadata), score);
  }

  std::int64_t integer() {
    switch (in_.byte() % 6) {
      case 0: return 0;
      case 1: return 1;
      case 2: return -1;
      case 3: return std::numeric_limits<std::int64_t>::max();
      case 4: return std::numeric_limits<std::int64_t>::min();
      default: return static_cast<std::int64_t>(in_.u64());
    }
  }

  double floating() {
    switch (in_.byte() % 7) {
      case 0: return 0.0;
      case 1: return 1.0;
      case 2: return std::numeric_limits<double>::quiet_NaN();
      case 3: return std::numeric_limits<double>::infinity();
      case 4: return -0.0;
      case 5: return 9.2233720368547758e18;  // one past INT64_MAX as a double
      default: {
        const std::uint64_t bits = in_.u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
      }
    }
  }

 private:
  vorn_core::Value record(int depth) {
    vorn_core::Dict fields = dict(depth);
    if (schemas.empty()) return vorn_core::Value(std::move(fields));
    const auto& schema = schemas[in_.byte() % schemas.size()];
    try {
      return vorn_core::Value(schema->make(fields));
    } catch (const vorn_core::ValidationError&) {
      return vorn_core::Value(std::move(fields));
    }
  }

  ByteReader& in_;
  DecodeLimits limits_;
  std::size_t nodes_ = 0;
};

// Fails the run: the fuzzer reports the abort with the input that caused it.
[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace vorn_fuzz
