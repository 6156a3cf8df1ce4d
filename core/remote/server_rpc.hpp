#pragma once
// The JSON-RPC messages of the serving end: a request as read from a frame, the failures that are
// answered as JSON-RPC errors, and the texts of answers. Shared by the worker server's sources only.
#include <string>
#include <string_view>

#include "core/remote/codec.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core::remote::server_detail {

inline const Logger& logger = get_logger("tavrin_core.remote.worker");

// An error answer to send back: code, message and the error kind of the failure.
struct RpcFailure {
  int code;
  std::string message;
  std::string kind;
};

[[noreturn]] void fail(int code, std::string message, std::string kind = {});

std::string answer_text(const Json& id, Json result);
std::string error_text(const Json& id, const RpcFailure& f);

// One request, parsed on the connection's loop and carried out there ("hello", "ping") or on the
// hooks' thread (everything that reaches the implementations).
struct Request {
  Json id = nullptr;
  bool notification = true;
  std::string method;
  Json params = Json::object();
  bool stop_after = false;  // set by a stop_all that leaves no instance (exit_when_stopped)
};

// Fills `request`; RpcFailure for what is not a valid request (its id, once known, is already set).
void parse_request(std::string_view payload, Request& request);

}  // namespace tavrin_core::remote::server_detail
