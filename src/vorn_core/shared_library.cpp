#include "vorn_core/shared_library.hpp"

#include <dlfcn.h>

namespace vorn_core {

SharedLibrary::SharedLibrary(const char* soname) : soname_(soname) {
  handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    failure_ = why != nullptr ? why : soname_ + " not found";
  }
}

void* SharedLibrary::symbol(const char* name) {
  void* found = handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
  if (found == nullptr && failure_.empty()) failure_ = soname_ + " lacks " + name;
  return found;
}

}  // namespace vorn_core
