// The framing and routing of the serving end: the TLS handshake, reading frames, answering "hello"
// and "ping" on the connection's loop, handing the other requests to the hooks' thread in order,
// and writing the answers.
#include <array>
#include <chrono>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "core/remote/protocol.hpp"
#include "core/remote/server_state.hpp"

namespace tavrin_core::remote {

using namespace server_detail;

asio::awaitable<bool> WorkerServer::State::handshake(std::shared_ptr<State> self,
                                                     std::shared_ptr<Connection> connection) {
  // A client that connects and never completes the handshake is not kept forever.
  auto timed_out = std::make_shared<bool>(false);
  asio::steady_timer timer(self->ctx, self->options.handshake_timeout);
  timer.async_wait([connection, timed_out](std::error_code ec) {
    if (ec) return;
    *timed_out = true;
    connection->stream.close();
  });
  asio::error_code ec;
  co_await connection->stream.tls().async_handshake(asio::ssl::stream_base::server,
                                                    asio::redirect_error(asio::use_awaitable, ec));
  timer.cancel();
  if (!ec) co_return true;
  if (!self->stopping) {
    const std::string why = *timed_out
                                ? "not done within " + std::to_string(self->options.handshake_timeout.count()) + " ms"
                                : worker_tls_failure(connection->stream, ec);
    logger.warning("TLS handshake with {} failed: {}", connection->peer, why);
  }
  self->close(*connection);
  co_return false;
}

asio::awaitable<void> WorkerServer::State::serve(std::shared_ptr<State> self, std::shared_ptr<Connection> connection) {
  if (connection->stream.secure() && !co_await handshake(self, connection)) co_return;
  std::array<unsigned char, kFrameHeaderSize> header{};
  std::string payload;
  try {
    for (;;) {
      co_await connection->stream.read(asio::buffer(header), asio::use_awaitable);
      const std::uint32_t size = frame_size(header.data());
      if (size > kMaxFrameSize) {
        if (!connection->stream.secure() && looks_like_tls_record(header.data())) {
          logger.warning(
              "connection from {}: the client speaks TLS, but this worker serves plaintext (start it with "
              "--tls-cert and --tls-key); closing it",
              connection->peer);
          break;
        }
        // The rest of the stream cannot be framed again: answer, then drop the connection.
        connection->close_after_writes = true;
        self->send(connection, error_text(Json(nullptr), RpcFailure{error_code::invalid_request,
                                                                    "frame of " + std::to_string(size) +
                                                                        " bytes exceeds the limit of " +
                                                                        std::to_string(kMaxFrameSize) + " bytes",
                                                                    {}}));
        co_return;
      }
      payload.resize(size);
      if (size > 0) co_await connection->stream.read(asio::buffer(payload), asio::use_awaitable);
      self->route(connection, payload);
      if (connection->close_after_writes || connection->closed || self->stopping) co_return;
    }
  } catch (const std::exception&) {
    // The client went away or the connection broke: this connection ends, the worker goes on.
  }
  self->close(*connection);
}

void WorkerServer::State::route(const std::shared_ptr<Connection>& connection, std::string_view payload) {
  Request request;
  try {
    parse_request(payload, request);
  } catch (const RpcFailure& f) {
    send(connection, error_text(request.id, f));
    return;
  }
  logger.debug("request {} from {}", request.method, connection->peer);
  if (request.method == "ping") {
    // Answered at once, also while a hook of this connection runs: the client's heartbeat.
    Json r = Json::object();
    r["clients"] = instance_count.load();
    r["version"] = options.version;
    if (!request.notification) send(connection, answer_text(request.id, std::move(r)));
    return;
  }
  if (request.method == "hello") {
    hello(connection, request);
    return;
  }
  connection->queue.push_back(std::move(request));
  pump(connection);
}

void WorkerServer::State::hello(const std::shared_ptr<Connection>& connection, const Request& request) {
  const auto version = request.params.find("protocol");
  if (version == request.params.end() || !version->is_number_integer()) {
    connection->close_after_writes = true;
    send(connection, error_text(request.id, RpcFailure{error_code::invalid_params,
                                                       "hello: params.protocol: expected the protocol version (an "
                                                       "integer)",
                                                       {}}));
    return;
  }
  if (*version != kProtocolVersion) {
    const std::string message = "protocol version mismatch: the client speaks version " + version->dump() +
                                ", this worker speaks version " + std::to_string(kProtocolVersion);
    logger.warning("connection from {}: {}; closing it", connection->peer, message);
    connection->close_after_writes = true;
    Json answer = Json::object();
    answer["jsonrpc"] = "2.0";
    answer["id"] = request.id;
    answer["error"] =
        Json::object({{"code", error_code::protocol_mismatch},
                      {"message", message},
                      {"data", Json::object({{"kind", "ProtocolError"}, {"protocol", kProtocolVersion}})}});
    send(connection, answer.dump());
    return;
  }
  if (request.notification) return;
  send(connection,
       answer_text(request.id, Json::object({{"protocol", kProtocolVersion}, {"version", options.version}})));
}

void WorkerServer::State::pump(const std::shared_ptr<Connection>& connection) {
  if (connection->busy || connection->queue.empty() || connection->closed || stopping) return;
  connection->busy = true;
  Request request = std::move(connection->queue.front());
  connection->queue.pop_front();
  auto self = shared_from_this();
  asio::co_spawn(hooks, carry_out(self, std::move(request)), [self, connection](std::exception_ptr, Answer answer) {
    asio::post(self->ctx, [self, connection, answer = std::move(answer)]() mutable {
      connection->busy = false;
      if (!answer.text.empty()) self->send(connection, answer.text, answer.stop_after);
      self->pump(connection);
    });
  });
}

void WorkerServer::State::send(const std::shared_ptr<Connection>& connection, const std::string& answer,
                               bool stop_after) {
  if (connection->closed) return;
  Connection::Outgoing frame;
  write_frame(frame.frame, answer);
  frame.stop_after = stop_after;
  connection->out.push_back(std::move(frame));
  if (!connection->writing) write_next(connection);
}

void WorkerServer::State::write_next(const std::shared_ptr<Connection>& connection) {
  if (connection->out.empty()) {
    connection->writing = false;
    if (connection->close_after_writes) close(*connection);
    return;
  }
  connection->writing = true;
  auto self = shared_from_this();
  connection->stream.write(asio::buffer(connection->out.front().frame),
                           [self, connection](std::error_code ec, std::size_t) {
                             const bool stop_after = connection->out.front().stop_after;
                             connection->out.pop_front();
                             if (ec) {
                               connection->writing = false;
                               self->close(*connection);
                               return;
                             }
                             // The connection that asked stops serving once its answer is written.
                             if (stop_after) self->stop();
                             self->write_next(connection);
                           });
}

}  // namespace tavrin_core::remote
