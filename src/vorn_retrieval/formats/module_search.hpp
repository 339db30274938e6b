// Finding and opening a module of this library: a shared object it loads on
// first use instead of linking, so that programs which never need what it
// holds do not pay for loading it (and the libraries it brings) at start.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_retrieval {

// Where `file_name` is looked for, in order: the directory named by the
// environment variable VORN_RAG_MODULE_DIR; the install layout relative to
// the running program (<prefix>/bin/.. -> <prefix>/<libdir>/vorn_rag), so an
// installed tree can be moved; the install directory this build was
// configured for; the build tree. Repeats removed.
std::vector<std::filesystem::path> module_candidates(std::string_view file_name);

// The handle of the first candidate that loads and whose function
// `abi_function` (int(void)) returns `abi`, or null with what was tried and
// why each failed in `failure`. The handle is never closed.
void* open_module(std::string_view file_name, const char* abi_function, int abi, std::string& failure);

}  // namespace vorn_retrieval
