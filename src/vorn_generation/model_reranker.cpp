#include "vorn_generation/model_reranker.hpp"

#include <algorithm>
#include <vector>

#include "vorn_core/error.hpp"
#include "vorn_core/when_all.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_generation {
namespace {

struct Scored {
  std::size_t position;  // in the incoming list
  double score;
};

}  // namespace

ModelReranker::ModelReranker(ModelRerankerOptions options) : options_(std::move(options)) {
  if (options_.batch_size == 0) {
    throw vorn_inference::ModelConfigError("`batch_size` must be positive. Pass 1 or more and retry.");
  }
  client_ = std::make_unique<vorn_inference::RerankClient>(options_.client);
}

vorn_core::Task<vorn_core::ChunkList> ModelReranker::rerank(vorn_core::ChunkList chunks, std::string query) {
  // Callers hold rerankers by shared_ptr; keep this one alive across the wait.
  [[maybe_unused]] const auto keep_alive = weak_from_this().lock();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw vorn_core::InvalidTypeError("The reranker got an absent chunk at position " + std::to_string(i) +
                                 ". Pass only chunks and retry.");
    }
  }
  std::vector<vorn_core::Task<std::vector<vorn_inference::RerankScore>>> batches;
  std::vector<std::size_t> starts;
  for (std::size_t begin = 0; begin < chunks.size(); begin += options_.batch_size) {
    const std::size_t end = std::min(chunks.size(), begin + options_.batch_size);
    std::vector<std::string> documents;
    documents.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) documents.push_back(chunks[i]->content);
    vorn_inference::RerankCallOptions call;
    call.top_n = options_.keep;
    call.stop = options_.stop;
    batches.push_back(client_->score(query, std::move(documents), std::move(call)));
    starts.push_back(begin);
  }
  auto pending = vorn_core::when_all(std::move(batches));
  const auto results = co_await std::move(pending);

  std::vector<Scored> scored;
  for (std::size_t b = 0; b < results.size(); ++b) {
    for (const auto& s : results[b]) scored.push_back(Scored{starts[b] + s.index, s.score});
  }
  std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
    return a.score != b.score ? a.score > b.score : a.position < b.position;
  });
  if (options_.keep != 0 && scored.size() > options_.keep) scored.resize(options_.keep);
  vorn_core::ChunkList out;
  out.reserve(scored.size());
  for (const Scored& s : scored) {
    auto copy = std::make_shared<vorn_core::Chunk>(*chunks[s.position]);
    copy->score = s.score;
    out.push_back(std::move(copy));
  }
  co_return out;
}

std::string ModelReranker::repr() const {
  return "ModelReranker(client=" + client_->repr() + ", batch_size=" + std::to_string(options_.batch_size) +
         ", keep=" + std::to_string(options_.keep) + ")";
}

}  // namespace vorn_generation
