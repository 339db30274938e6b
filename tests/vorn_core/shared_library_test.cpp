// Libraries loaded on first use: what a caller learns when the library or
// one of its functions is missing, so that it can tell the user what to
// install.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vorn_core/shared_library.hpp"

namespace {

using StrlenFn = decltype(&std::strlen);

struct Case {
  const char* name;
  const char* soname;
  const char* first;   // resolved first
  const char* second;  // then this one
  const char* failure;  // a part of the failure; empty: none
};

class SharedLibraryLoad : public ::testing::TestWithParam<Case> {};

TEST_P(SharedLibraryLoad, ResolvesOrSaysWhatIsMissing) {
  const Case& c = GetParam();
  vorn_core::SharedLibrary library(c.soname);
  StrlenFn first = nullptr;
  StrlenFn second = nullptr;
  library.resolve(first, c.first);
  library.resolve(second, c.second);
  if (std::string(c.failure).empty()) {
    EXPECT_EQ(library.failure(), "");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first("four"), 4U);
  } else {
    EXPECT_NE(library.failure().find(c.failure), std::string::npos) << library.failure();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, SharedLibraryLoad,
    ::testing::Values(Case{"present", "libc.so.6", "strlen", "strlen", ""},
                      // The first missing function is the one named.
                      Case{"missing_function", "libc.so.6", "vorn_no_such_fn", "vorn_other_fn",
                           "libc.so.6 lacks vorn_no_such_fn"},
                      Case{"missing_after_found", "libc.so.6", "strlen", "vorn_no_such_fn",
                           "libc.so.6 lacks vorn_no_such_fn"},
                      // The loader's own reason names the library; no function is looked up.
                      Case{"missing_library", "libvorn-absent.so.9", "strlen", "strlen", "libvorn-absent.so.9"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
