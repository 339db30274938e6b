// A system library loaded on first use rather than linked, so that programs
// that never need it do not pay for loading it (and what it brings) at
// every start. It stays loaded for the life of the process: handles and
// callbacks of the library may outlive any owner.
#pragma once

#include <string>

namespace vorn_core {

class SharedLibrary {
 public:
  // Loads `soname` (e.g. "libcurl.so.4"); failure() says why it could not.
  explicit SharedLibrary(const char* soname);

  // Sets `slot` to the function `name`, or to null and, when it is the first
  // failure, records "<soname> lacks <name>".
  template <typename Fn>
  void resolve(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(symbol(name));
  }

  // Empty while everything loaded and resolved.
  const std::string& failure() const noexcept { return failure_; }

 private:
  void* symbol(const char* name);

  std::string soname_;
  void* handle_ = nullptr;
  std::string failure_;
};

}  // namespace vorn_core
