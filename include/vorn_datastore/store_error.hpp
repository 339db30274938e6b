// The error every data store raises for its own failures, with stable codes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vorn_core/error.hpp"

namespace vorn_datastore {

// Stable error codes, meant for scripts and support; messages are for people.
namespace store_errc {
inline constexpr const char* kOpen = "VORN-STORE-OPEN";            // cannot open or create the file
inline constexpr const char* kCorrupt = "VORN-STORE-CORRUPT";      // not a database, or damaged
inline constexpr const char* kForeign = "VORN-STORE-FOREIGN";      // a SQLite file of some other program
inline constexpr const char* kVersion = "VORN-STORE-VERSION";      // another format version: rebuild it
inline constexpr const char* kDimension = "VORN-STORE-DIMENSION";  // opened with another embedding size
inline constexpr const char* kInput = "VORN-STORE-INPUT";          // a bad chunk, query or filter
inline constexpr const char* kReadOnly = "VORN-STORE-READONLY";    // write on a read-only store
inline constexpr const char* kBusy = "VORN-STORE-BUSY";            // another process holds the lock
inline constexpr const char* kIo = "VORN-STORE-IO";                // disk full, I/O failure, ...
}  // namespace store_errc

// A store failure; code() is one of store_errc (never empty). A member of the
// vorn_core::BaseError family and a vorn_core::RuntimeError.
class StoreError : public vorn_core::BaseError, public vorn_core::RuntimeError {
 public:
  StoreError(std::string code, const std::string& message);
  [[nodiscard]] std::string_view code() const noexcept override { return code_; }
  [[nodiscard]] std::optional<std::string_view> default_message() const noexcept override;
  [[nodiscard]] std::string_view class_name() const noexcept override { return "StoreError"; }

 private:
  std::string code_;
};

}  // namespace vorn_datastore
