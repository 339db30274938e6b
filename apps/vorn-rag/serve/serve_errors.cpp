#include "serve_errors.hpp"

#include <nlohmann/json.hpp>

#include "cli_hints.hpp"
#include "vorn_datastore/sqlite_chunk_store.hpp"
#include "vorn_inference/errors.hpp"

namespace vorn_serve {
namespace {

int status_of_serve_error(std::string_view code) {
  if (code == UnauthorizedError::kCode) return 401;
  if (code == NotFoundError::kCode) return 404;
  if (code == PayloadTooLargeError::kCode) return 413;
  if (code == OverloadedError::kCode || code == ShuttingDownError::kCode) return 503;
  return 400;
}

}  // namespace

ErrorReply error_reply(const std::exception_ptr& error) {
  ErrorReply reply;
  reply.type = vorn_core::exception_type_name(error);
  reply.message = vorn_cli::with_cli_hints(vorn_core::exception_message(error));
  try {
    std::rethrow_exception(error);
  } catch (const ServeError& e) {
    reply.status = status_of_serve_error(e.code());
    reply.code = std::string(e.code());
  } catch (const vorn_datastore::StoreError& e) {
    reply.status = e.code() == vorn_datastore::store_errc::kInput ? 400 : 500;
    reply.code = e.code();
    reply.type = "StoreError";
  } catch (const vorn_core::BaseError& e) {
    // Validation and type errors name a value the caller sent (a top_k of
    // 0, a filter that is not a mapping); anything else is ours.
    const bool client = dynamic_cast<const vorn_core::ValueError*>(&e) != nullptr ||
                        dynamic_cast<const vorn_core::TypeError*>(&e) != nullptr;
    reply.status = client ? 400 : 500;
    reply.code = std::string(e.code());
    // Only a request whose client went away is cancelled; no one reads the
    // answer, and it is no server error (499: client closed request).
    if (dynamic_cast<const vorn_inference::ModelCancelledError*>(&e) != nullptr) reply.status = 499;
  } catch (const vorn_core::ValueError&) {
    reply.status = 400;
    reply.code = std::string(BadRequestError::kCode);
  } catch (const vorn_core::TypeError&) {
    reply.status = 400;
    reply.code = std::string(BadRequestError::kCode);
  } catch (...) {
    reply.status = 500;
  }
  if (reply.code.empty()) reply.code = "VORN-SERVE-INTERNAL";
  return reply;
}

std::string error_json(const ErrorReply& reply) {
  nlohmann::json body = {{"error", {{"code", reply.code}, {"message", reply.message}, {"type", reply.type}}}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vorn_serve
