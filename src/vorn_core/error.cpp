#include "vorn_core/error.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace vorn_core {

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

namespace {
std::string short_name(std::string full) {
  // Drop namespaces and template arguments: "vorn_core::ValidationError" -> "ValidationError".
  auto angle = full.find('<');
  std::string head = angle == std::string::npos ? full : full.substr(0, angle);
  auto colon = head.rfind("::");
  return colon == std::string::npos ? head : head.substr(colon + 2);
}
}  // namespace

std::string exception_type_name(const std::exception_ptr& error) {
  if (!error) return "None";
  try {
    std::rethrow_exception(error);
  } catch (const BaseError& e) {
    return std::string(e.class_name());
  } catch (const std::exception& e) {
    return short_name(demangle(typeid(e).name()));
  } catch (...) {
    if (auto* type = abi::__cxa_current_exception_type()) return short_name(demangle(type->name()));
    return "unknown";
  }
}

std::string error_code_of(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const BaseError& e) {
    if (!e.code().empty()) return std::string(e.code());
  } catch (...) {
  }
  return exception_type_name(error);
}

std::string exception_message(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const BaseError& e) {
    return e.message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "a non-standard exception was thrown";
  }
}

}  // namespace vorn_core
