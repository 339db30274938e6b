// The typed errors vorn_rag raises. Each concrete error is catchable as
// itself, as `BaseRAGError`, as `vorn_core::BaseError`, as its host kind
// (`vorn_core::RuntimeError`, `TypeError`, `ValueError`,
// `NotImplementedError`) and as `std::exception`, and carries a stable code.
#pragma once

#include "vorn_core/error.hpp"

namespace vorn_rag {

// Never raised itself: one handler for every error of the library.
VORN_DEFINE_ABSTRACT_ERROR(BaseRAGError);

VORN_DEFINE_ERROR(RAGNotImplementedError, BaseRAGError, vorn_core::NotImplementedError, "VORN-RAG-NOT-IMPLEMENTED",
                  "This RAG operation is not supported by the selected strategy. Use a strategy that supports it.");

VORN_DEFINE_ERROR(RAGRuntimeError, BaseRAGError, vorn_core::RuntimeError, "VORN-RAG-RUNTIME",
                  "The RAG pipeline failed to run. Check the pipeline configuration and inputs, then try again.");

VORN_DEFINE_ERROR(RAGTypeError, BaseRAGError, vorn_core::TypeError, "VORN-RAG-TYPE",
                  "A RAG component received a value of the wrong type. Check the argument types and try again.");

VORN_DEFINE_ERROR(RAGValueError, BaseRAGError, vorn_core::ValueError, "VORN-RAG-VALIDATION",
                  "The RAG request or configuration is invalid. Check the provided values and try again.");

VORN_DEFINE_DERIVED_ERROR(SyncCallInEventLoopError, RAGRuntimeError, "VORN-RAG-SYNC-IN-LOOP",
                          "run() cannot be called inside a running event loop. Use arun() instead.");

}  // namespace vorn_rag
