#include "vorn_core/object.hpp"

#include <typeinfo>

#include "vorn_core/chunk.hpp"
#include "vorn_core/error.hpp"

namespace vorn_core {

std::string Object::type_name() const {
  std::string full = demangle(typeid(*this).name());
  auto angle = full.find('<');
  if (angle != std::string::npos) full.resize(angle);
  auto colon = full.rfind("::");
  return colon == std::string::npos ? full : full.substr(colon + 2);
}

std::string Object::repr() const { return "<" + type_name() + " object>"; }

std::string Chunk::repr() const {
  std::string out = "Chunk(id=" + quote(id) + ", content=" + quote(content);
  if (!metadata.empty()) out += ", metadata=" + Value(metadata).repr();
  if (score) out += ", score=" + Value(*score).repr();
  return out + ")";
}

bool Chunk::equals(const Object& other) const noexcept {
  if (typeid(other) != typeid(Chunk)) return false;
  return static_cast<const Chunk&>(other).id == id;
}

Value to_value(const ChunkList& chunks) {
  List out;
  out.reserve(chunks.size());
  for (const auto& c : chunks) out.emplace_back(c);
  return out;
}

Value to_value(const std::vector<ChunkList>& chunk_lists) {
  List out;
  out.reserve(chunk_lists.size());
  for (const auto& l : chunk_lists) out.push_back(to_value(l));
  return out;
}

ChunkList to_chunk_list(const Value& value) {
  if (!value.is_list()) throw InvalidTypeError("Expected a list of Chunk, got " + value.type_name() + ".");
  const List& list = value.as_list();
  ChunkList out;
  out.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!chunk_of(list[i])) {
      throw InvalidTypeError("Expected a list of Chunk, but item " + std::to_string(i) + " is " + list[i].type_name() + ".");
    }
    out.push_back(std::static_pointer_cast<Chunk>(list[i].as_object()));
  }
  return out;
}

std::vector<ChunkList> to_chunk_lists(const Value& value) {
  if (!value.is_list()) throw InvalidTypeError("Expected a list of chunk lists, got " + value.type_name() + ".");
  std::vector<ChunkList> out;
  out.reserve(value.as_list().size());
  for (const auto& l : value.as_list()) out.push_back(to_chunk_list(l));
  return out;
}

}  // namespace vorn_core
