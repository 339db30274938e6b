// A retrieved piece of text. Identity is its `id`: two chunks with the same id
// compare equal and hash alike, whatever their other fields.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/value.hpp"

namespace vorn_core {

class Chunk final : public Object {
 public:
  explicit Chunk(std::string id, std::string content = {}, Dict metadata = {},
                 std::optional<double> score = std::nullopt)
      : id(std::move(id)), content(std::move(content)), metadata(std::move(metadata)), score(score) {}

  std::string id;
  std::string content;
  Dict metadata;
  std::optional<double> score;

  std::string type_name() const override { return "Chunk"; }
  std::string repr() const override;
  bool equals(const Object& other) const noexcept override;
};

using ChunkPtr = std::shared_ptr<Chunk>;
using ChunkList = std::vector<ChunkPtr>;

inline ChunkPtr make_chunk(std::string id, std::string content = {}, Dict metadata = {},
                           std::optional<double> score = std::nullopt) {
  return std::make_shared<Chunk>(std::move(id), std::move(content), std::move(metadata), score);
}

// The chunk held by `v`, or nullptr. Exact type test (Chunk is final), cheaper
// than a dynamic cast on hot paths.
inline Chunk* chunk_of(const Value& v) noexcept {
  if (!v.is_object()) return nullptr;
  Object* o = v.as_object().get();
  return typeid(*o) == typeid(Chunk) ? static_cast<Chunk*>(o) : nullptr;
}

// Conversions between the dynamic and the typed world. `to_chunk_list`
// throws `TypeError` naming the first element that is not a chunk.
Value to_value(const ChunkList& chunks);
Value to_value(const std::vector<ChunkList>& chunk_lists);
ChunkList to_chunk_list(const Value& value);
std::vector<ChunkList> to_chunk_lists(const Value& value);

struct ChunkIdHash {
  std::size_t operator()(const Chunk& c) const noexcept { return std::hash<std::string>{}(c.id); }
};

}  // namespace vorn_core

template <>
struct std::hash<vorn_core::Chunk> {
  std::size_t operator()(const vorn_core::Chunk& c) const noexcept { return std::hash<std::string>{}(c.id); }
};
