// A test fixture for code that handles an API key: the key is in the
// environment for the whole test, every log level is captured, and at the
// end no log record may contain the key.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "vorn_core/logger.hpp"

namespace vorn_test {

class ApiKeyTest : public ::testing::Test {
 protected:
  ApiKeyTest(const char* variable, const char* key) : variable_(variable), key_(key) {}

  void SetUp() override {
    ::setenv(variable_, key_, 1);
    saved_level_ = vorn_core::LoggerManager::level();
    vorn_core::LoggerManager::set_level(vorn_core::LogLevel::kDebug);
    capture_ = std::make_unique<vorn_core::LogCapture>();
  }
  void TearDown() override {
    for (const auto& record : capture_->records()) {
      EXPECT_EQ(record.message.find(key_), std::string::npos) << "the API key was logged: " << record.message;
    }
    capture_.reset();
    vorn_core::LoggerManager::set_level(saved_level_);
    ::unsetenv(variable_);
  }

  std::unique_ptr<vorn_core::LogCapture> capture_;

 private:
  const char* variable_;
  const char* key_;
  vorn_core::LogLevel saved_level_{};
};

}  // namespace vorn_test
