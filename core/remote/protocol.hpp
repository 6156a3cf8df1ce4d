#pragma once
// Wire format between a process and its workers: JSON-RPC 2.0 messages in length-prefixed frames
// (a 4-byte big-endian payload length, then that many bytes of UTF-8 JSON). docs/remote-protocol.md
// is the full description, for workers written in other languages.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "core/remote/codec.hpp"

namespace tavrin_core::remote {

inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::uint32_t kMaxFrameSize = 64u * 1024u * 1024u;

// The version of this protocol, exchanged by "hello", the first request of a connection. Version 1
// is the protocol before the handshake existed: a worker that does not know "hello" speaks it.
inline constexpr int kProtocolVersion = 2;

// JSON-RPC error codes: the standard ones and this protocol's own.
namespace error_code {
inline constexpr int parse_error = -32700;
inline constexpr int invalid_request = -32600;
inline constexpr int method_not_found = -32601;
inline constexpr int invalid_params = -32602;
inline constexpr int internal_error = -32603;
inline constexpr int hook_failed = -32000;        // the implementation raised an error
inline constexpr int unknown_client = -32001;     // no instance under that client id (e.g. worker restarted)
inline constexpr int unknown_class = -32002;      // nothing registered under the class name
inline constexpr int protocol_mismatch = -32003;  // "hello" asked for a version the worker does not speak
}  // namespace error_code

inline std::array<unsigned char, kFrameHeaderSize> frame_header(std::uint32_t size) {
  return {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
          static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
}
inline std::uint32_t frame_size(const unsigned char* header) {
  return (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) | (std::uint32_t{header[2]} << 8) |
         std::uint32_t{header[3]};
}
// Appends one frame holding `payload` to `out` (which is cleared first and keeps its capacity).
inline void write_frame(std::string& out, std::string_view payload) {
  out.clear();
  const auto header = frame_header(static_cast<std::uint32_t>(payload.size()));
  out.append(reinterpret_cast<const char*>(header.data()), header.size());
  out.append(payload);
}

// A failure of a remote call: the worker could not be reached, the connection was lost, the call
// timed out, or the worker answered with a JSON-RPC error. The message names the worker's address,
// the manager and method, and the remote error's message.
class RemoteError : public tavrin_inference::RuntimeError {
 public:
  RemoteError(const std::string& message, int code = 0) : RuntimeError(message), code_(code) {}
  const char* kind() const noexcept override { return "RemoteError"; }
  // The JSON-RPC error code of the worker's answer; 0 when the worker did not answer.
  int code() const noexcept { return code_; }

 private:
  int code_;
};

class RemoteTimeoutError : public RemoteError {
 public:
  using RemoteError::RemoteError;
  const char* kind() const noexcept override { return "RemoteTimeoutError"; }
};

}  // namespace tavrin_core::remote
