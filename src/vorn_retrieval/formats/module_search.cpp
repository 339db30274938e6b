#include "module_search.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

namespace vorn_retrieval {

namespace fs = std::filesystem;

std::vector<fs::path> module_candidates(std::string_view file_name) {
  std::vector<fs::path> dirs;
  if (const char* dir = std::getenv("VORN_RAG_MODULE_DIR"); dir != nullptr && *dir != '\0') dirs.emplace_back(dir);
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) dirs.push_back((program.parent_path() / VORN_MODULE_DIR_FROM_BINDIR).lexically_normal());
  dirs.emplace_back(VORN_MODULE_INSTALL_DIR);
  dirs.emplace_back(VORN_MODULE_BUILD_DIR);
  std::vector<fs::path> out;
  for (const fs::path& dir : dirs) {
    fs::path candidate = dir / file_name;
    if (std::find(out.begin(), out.end(), candidate) == out.end()) out.push_back(std::move(candidate));
  }
  return out;
}

void* open_module(std::string_view file_name, const char* abi_function, int abi, std::string& failure) {
  failure.clear();
  for (const fs::path& candidate : module_candidates(file_name)) {
    std::error_code ec;
    if (!fs::exists(candidate, ec)) continue;
    void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      failure += candidate.string() + ": " + (why != nullptr ? why : "cannot be loaded") + "; ";
      continue;
    }
    const auto version = reinterpret_cast<int (*)()>(::dlsym(handle, abi_function));
    if (version != nullptr && version() == abi) return handle;
    failure += candidate.string() + ": another version of the module; ";
    ::dlclose(handle);
  }
  if (failure.empty()) {
    failure = std::string(file_name) + " was found in none of";
    for (const fs::path& candidate : module_candidates(file_name)) {
      failure += ' ';
      failure += candidate.parent_path().native();
    }
  } else {
    failure.resize(failure.size() - 2);
  }
  return nullptr;
}

}  // namespace vorn_retrieval
