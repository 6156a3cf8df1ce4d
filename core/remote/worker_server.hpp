#pragma once
// The serving end of the remote protocol: accepts connections (plaintext, or TLS only), makes
// instances of the implementation classes registered in this process (one per client id), and
// answers hook calls on them. Connections are read and written on the given event loop, which also
// answers "hello" and "ping" at once; the hooks run on a thread of their own, so a ping is answered
// while a hook of the same connection still runs. The requests of one connection that reach
// implementations are carried out one after the other, in order. A malformed frame or request gets
// a JSON-RPC error answer, a failed TLS handshake is logged with the peer's address; nothing a
// client sends can end the server.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "core/remote/tls.hpp"

namespace tavrin_core::remote {

struct WorkerServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 1337;       // 0: any free port (see WorkerServer::port)
  bool exit_when_stopped = false;  // stop serving once a stop_all leaves no instance
  std::string version = "latest";  // the worker's own version, answered by "ping" and "hello"
  // With a certificate and key, only TLS is served; with a client CA too, every client must present
  // a certificate signed by it.
  TlsServerFiles tls;
  // Plaintext is refused outside the loopback range unless this is set.
  bool insecure = false;
  std::chrono::milliseconds handshake_timeout{10000};  // a TLS handshake not done by then is dropped
  // Called once when the server stops: stop(), or the answer to a stop_all that left no instance
  // was written (exit_when_stopped). Runs on the event loop.
  std::function<void()> on_stopped;
};

class WorkerServer {
 public:
  // Binds at once; RuntimeError naming the address when that fails. InvalidArgumentError for
  // plaintext outside the loopback range without `insecure`, and for TLS files that cannot be used.
  WorkerServer(asio::io_context& ctx, WorkerServerOptions options);
  ~WorkerServer();  // stops, and waits for a hook still running

  std::uint16_t port() const;
  std::string address() const;  // "host:port"
  void start();                 // accepts connections on the event loop
  void stop();                  // closes the listening socket and every connection
  std::size_t live_clients() const;

  struct State;

 private:
  struct Hooks;
  std::unique_ptr<Hooks> hooks_;
  std::shared_ptr<State> state_;
};

}  // namespace tavrin_core::remote
