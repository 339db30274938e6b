// Builds against an installed vorn_rag and checks a typed error end to end.
#include <iostream>

#include "vorn_core/syncify.hpp"
#include "vorn_rag/vorn_rag.hpp"

int main() {
  try {
    vorn_core::run_sync(vorn_rag::query("  ", vorn_core::Value(), vorn_core::Value()));
  } catch (const vorn_rag::RAGValueError& e) {
    std::cout << e.code() << ": " << e.message() << "\n";
    return e.code() == "VORN-RAG-VALIDATION" ? 0 : 1;
  }
  return 1;
}
