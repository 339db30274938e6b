// Embedding models: text in, fixed-dimension float vectors out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorn_core/object.hpp"
#include "vorn_core/task.hpp"

namespace vorn_inference {

using Embedding = std::vector<float>;

// Thread safety: instances are shared by concurrent runs; implementations must be safe for concurrent calls.
class BaseEmbedder : public vorn_core::Object {
 public:
  virtual std::size_t dimension() const noexcept = 0;
  // One embedding per text, in order.
  virtual vorn_core::Task<std::vector<Embedding>> embed(std::vector<std::string> texts) = 0;
  // What makes vectors comparable besides the dimension: the kind of
  // embedder and its model ("hashing", "openai:text-embedding-3-small").
  // A store records it and refuses another one. Empty (the default): the
  // embedder does not say, and stores check the dimension only.
  virtual std::string identity() const { return {}; }
};
using EmbedderPtr = std::shared_ptr<BaseEmbedder>;

}  // namespace vorn_inference
