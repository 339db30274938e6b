// The `vorn-rag` command line: index documents, ask questions, describe
// strategies.
#pragma once

#include <ostream>

namespace vorn_cli {

// Exit codes: 0 success, 1 a failure reported as "error [CODE]: message",
// 2 a usage error.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace vorn_cli
