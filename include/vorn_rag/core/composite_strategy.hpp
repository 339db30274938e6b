// Base of strategies that combine several branch strategies or pipelines
// into one pipeline. The pipeline hook is sealed: subclasses implement
// `_validate_branches` and `_build_composite_pipeline`, and the base always
// validates before it builds.
#pragma once

#include "vorn_rag/core/strategy.hpp"

namespace vorn_rag::core {

class CompositeStrategy : public Strategy {
 public:
  VORN_STRATEGY_CLASS(CompositeStrategy)

 protected:
  using Strategy::Strategy;

  // Verify that the branches can be combined; raise if not. The default body
  // raises `RAGNotImplementedError` with its default message.
  virtual void _validate_branches() = 0;
  // Combine the branches into one pipeline with state type `StrategyState`.
  // The default body raises `RAGNotImplementedError` with its default message.
  virtual PipelinePtr _build_composite_pipeline() = 0;

  // Validate, then assemble. Sealed: a subclass cannot override it (and a
  // class registered from a description that defines it is refused).
  PipelinePtr _build_pipeline() final;
};

}  // namespace vorn_rag::core
