// Typed errors of the HTTP and MCP front ends, and how any failure becomes
// an HTTP status plus a JSON body `{"error": {"code", "message", "type"}}`.
//
//   ServeError (abstract)
//   ├── BadRequestError     ValueError    400  a body or parameter the API cannot use
//   ├── UnauthorizedError   RuntimeError  401  missing or wrong bearer token
//   ├── NotFoundError       RuntimeError  404  no such route
//   ├── PayloadTooLargeError ValueError   413  body over the configured limit
//   ├── OverloadedError     RuntimeError  503  the work queue is full (Retry-After)
//   └── ShuttingDownError   RuntimeError  503  the server stopped taking requests
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "vorn_core/error.hpp"

namespace vorn_serve {

VORN_DEFINE_ABSTRACT_ERROR(ServeError);

VORN_DEFINE_ERROR(BadRequestError, ServeError, vorn_core::ValueError, "VORN-SERVE-BAD-REQUEST",
                  "The request is not valid. Check its body against the API and retry.");
VORN_DEFINE_ERROR(UnauthorizedError, ServeError, vorn_core::RuntimeError, "VORN-SERVE-UNAUTHORIZED",
                  "Send the server's token as `Authorization: Bearer TOKEN` and retry.");
VORN_DEFINE_ERROR(NotFoundError, ServeError, vorn_core::RuntimeError, "VORN-SERVE-NOT-FOUND",
                  "No such route. See GET / for the API and retry.");
VORN_DEFINE_ERROR(PayloadTooLargeError, ServeError, vorn_core::ValueError, "VORN-SERVE-TOO-LARGE",
                  "The request body is over the server's limit. Send a smaller body and retry.");
VORN_DEFINE_ERROR(OverloadedError, ServeError, vorn_core::RuntimeError, "VORN-SERVE-OVERLOADED",
                  "The server is busy. Retry after the time in the Retry-After header.");
VORN_DEFINE_ERROR(ShuttingDownError, ServeError, vorn_core::RuntimeError, "VORN-SERVE-SHUTTING-DOWN",
                  "The server is shutting down. Retry against another instance.");

// What a failure looks like to a client.
struct ErrorReply {
  int status = 500;
  std::string code;     // stable code, e.g. "VORN-RAG-VALIDATION"
  std::string message;  // for people
  std::string type;     // the error's class ("RAGValueError", "StoreError", ...)
};

// Maps any exception to its reply: the front ends' own errors keep their
// status; the library's typed validation and type errors and a store's
// input errors are the client's fault (400); everything else is a 500 with
// the error's own code when it has one ("VORN-SERVE-INTERNAL" otherwise).
ErrorReply error_reply(const std::exception_ptr& error);

// `{"error": {"code": ..., "message": ..., "type": ...}}`; never throws on
// invalid UTF-8 in the message (replaced by U+FFFD).
std::string error_json(const ErrorReply& reply);

}  // namespace vorn_serve
