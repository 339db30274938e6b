#include "vorn_rag/core/composite_strategy.hpp"

#include "vorn_rag/exceptions.hpp"

namespace vorn_rag::core {

const StrategyClassPtr& CompositeStrategy::klass() {
  static const StrategyClassPtr k = StrategyMeta::create(ClassDescription{
      .name = "CompositeStrategy",
      .doc = "Abstract base of strategies that compose several branch strategies or pipelines into one pipeline.",
      .bases = {Strategy::klass()},
      .seals_build_pipeline = true,
  });
  return k;
}

void CompositeStrategy::_validate_branches() { throw RAGNotImplementedError(); }

PipelinePtr CompositeStrategy::_build_composite_pipeline() { throw RAGNotImplementedError(); }

PipelinePtr CompositeStrategy::_build_pipeline() {
  _validate_branches();
  return _build_composite_pipeline();
}

}  // namespace vorn_rag::core
