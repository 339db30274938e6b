#include "vorn_core/error.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <ostream>
#include <string>

namespace demo {

VORN_DEFINE_ABSTRACT_ERROR(DemoError);
VORN_DEFINE_ERROR(DemoValueError, DemoError, ::vorn_core::ValueError, "DEMO-VALIDATION",
                  "The demo value is invalid. Check it and retry.");
VORN_DEFINE_ERROR(DemoRuntimeError, DemoError, ::vorn_core::RuntimeError, "DEMO-RUNTIME",
                  "The demo failed. Try again.");
VORN_DEFINE_DERIVED_ERROR(DemoSyncError, DemoRuntimeError, "DEMO-SYNC", "sync() is refused here. Use async().");
// A typed error straight on BaseError, with no library base in between.
VORN_DEFINE_ERROR(DirectTypeError, ::vorn_core::BaseError, ::vorn_core::TypeError, "DIRECT-TYPE",
                  "Wrong type. Retry.");

}  // namespace demo

namespace {

using vorn_core::BaseError;
using vorn_core::DebugInfo;

template <class Catch>
bool caught_as(const std::function<void()>& raise) {
  try {
    raise();
  } catch (const Catch&) {
    return true;
  } catch (...) {
    return false;
  }
  return false;
}

template <class E>
void check_catchable_as_std_and_base(const std::function<void()>& raise) {
  EXPECT_TRUE(caught_as<E>(raise));
  EXPECT_TRUE(caught_as<BaseError>(raise));
  EXPECT_TRUE(caught_as<std::exception>(raise)) << "one unambiguous std::exception base";
}

TEST(TypedErrorTest, CatchableAsEveryBaseAndHostKind) {
  auto sync = [] { throw demo::DemoSyncError(); };
  check_catchable_as_std_and_base<demo::DemoSyncError>(sync);
  EXPECT_TRUE(caught_as<demo::DemoRuntimeError>(sync));
  EXPECT_TRUE(caught_as<demo::DemoError>(sync));
  EXPECT_TRUE(caught_as<vorn_core::RuntimeError>(sync));
  EXPECT_TRUE(caught_as<std::runtime_error>(sync));

  auto value = [] { throw demo::DemoValueError("bad"); };
  check_catchable_as_std_and_base<demo::DemoValueError>(value);
  EXPECT_TRUE(caught_as<demo::DemoError>(value));
  EXPECT_TRUE(caught_as<vorn_core::ValueError>(value));
  EXPECT_TRUE(caught_as<std::invalid_argument>(value));
  EXPECT_FALSE(caught_as<vorn_core::RuntimeError>(value));
  EXPECT_FALSE(caught_as<vorn_core::TypeError>(value)) << "value and type errors are separate kinds";

  auto direct = [] { throw demo::DirectTypeError(); };
  check_catchable_as_std_and_base<demo::DirectTypeError>(direct);
  EXPECT_TRUE(caught_as<vorn_core::TypeError>(direct));
  EXPECT_FALSE(caught_as<demo::DemoError>(direct));
}

TEST(TypedErrorTest, DefaultAndGivenMessagesWithCodes) {
  const demo::DemoSyncError sync;
  EXPECT_EQ(sync.message(), "sync() is refused here. Use async().");
  EXPECT_STREQ(sync.what(), "sync() is refused here. Use async().");
  EXPECT_EQ(sync.code(), "DEMO-SYNC");
  EXPECT_EQ(sync.class_name(), "DemoSyncError");
  EXPECT_EQ(sync.default_message(), "sync() is refused here. Use async().");

  const demo::DemoRuntimeError& as_parent = sync;
  EXPECT_EQ(as_parent.code(), "DEMO-SYNC") << "the code is the concrete type's";

  const demo::DemoValueError given("Invalid `top_k`. Set it to 1 or more and retry.");
  EXPECT_EQ(given.message(), "Invalid `top_k`. Set it to 1 or more and retry.");
  EXPECT_STREQ(given.what(), given.message().c_str());
  EXPECT_EQ(given.code(), "DEMO-VALIDATION");
  EXPECT_FALSE(given.debug_info().has_value());

  const demo::DemoValueError empty_given(std::string{});
  EXPECT_EQ(empty_given.message(), "") << "an empty message is still a given message";
}

TEST(TypedErrorTest, DebugInfoAndCauseSurviveThrowing) {
  const DebugInfo info{"DemoValueError", "ValidationError", "field `x` is required"};
  try {
    try {
      throw std::out_of_range("low level");
    } catch (...) {
      demo::DemoValueError e("Translated. Retry.", info);
      e.set_cause(std::current_exception());
      throw e;
    }
  } catch (const BaseError& e) {
    EXPECT_EQ(e.message(), "Translated. Retry.");
    ASSERT_TRUE(e.debug_info().has_value());
    EXPECT_EQ(*e.debug_info(), info);
    ASSERT_TRUE(e.cause());
    EXPECT_THROW(std::rethrow_exception(e.cause()), std::out_of_range);
  }

  const demo::DemoRuntimeError defaulted(std::nullopt, info);
  EXPECT_EQ(defaulted.message(), "The demo failed. Try again.");
  EXPECT_EQ(defaulted.debug_info()->original_message, "field `x` is required");
  EXPECT_FALSE(defaulted.cause());
}

struct Unusual {};

struct DescribeCase {
  const char* label;
  std::exception_ptr error;
  std::string type_name;
  std::string message;
  friend void PrintTo(const DescribeCase& c, std::ostream* os) { *os << c.label; }
};

class ExceptionDescriptionTest : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(ExceptionDescriptionTest, NamesTypeAndMessage) {
  const auto& c = GetParam();
  EXPECT_EQ(vorn_core::exception_type_name(c.error), c.type_name);
  EXPECT_EQ(vorn_core::exception_message(c.error), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExceptionDescriptionTest,
    ::testing::Values(
        DescribeCase{"typed", std::make_exception_ptr(demo::DemoValueError("m")), "DemoValueError", "m"},
        DescribeCase{"typed_default", std::make_exception_ptr(demo::DemoSyncError()), "DemoSyncError",
                     "sync() is refused here. Use async()."},
        DescribeCase{"standard", std::make_exception_ptr(std::runtime_error("boom")), "runtime_error", "boom"},
        DescribeCase{"host_kind", std::make_exception_ptr(vorn_core::KeyError("'k'")), "KeyError", "'k'"},
        DescribeCase{"int", std::make_exception_ptr(42), "int", "a non-standard exception was thrown"},
        DescribeCase{"struct", std::make_exception_ptr(Unusual{}), "Unusual", "a non-standard exception was thrown"},
        DescribeCase{"none", std::exception_ptr(), "None", ""}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
