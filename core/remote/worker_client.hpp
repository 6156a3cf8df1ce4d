#pragma once
// The client end of one connection to a worker. Its socket lives on a background event loop of its
// own (one thread for every worker connection of the process), so a caller on any event loop awaits
// a call without blocking that loop, and a connection outlives the short-lived loops of synchronous
// callers. Calls are pipelined on the connection and matched to their answers by id.
//
// The connection is opened on the first call and again after it was lost (a worker that restarts is
// reached again by the next call): TCP, then the TLS handshake when the options ask for TLS, then
// the protocol's "hello". Connecting and every call have a timeout; a heartbeat notices a worker
// that stopped answering and drops its connection, failing the calls still waiting.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "core/remote/protocol.hpp"
#include "core/remote/tls.hpp"

namespace tavrin_core::remote {

struct RemoteOptions {
  std::chrono::milliseconds connect_timeout{2000};
  std::chrono::milliseconds call_timeout{10000};
  std::chrono::milliseconds heartbeat_interval{1000};  // zero: no heartbeat
  std::shared_ptr<TlsContext> tls;                     // none: plaintext
};

// The worker could not be reached at all (refused, unresolvable, connect timed out).
class RemoteConnectError : public RemoteError {
 public:
  using RemoteError::RemoteError;
  const char* kind() const noexcept override { return "RemoteConnectError"; }
};

class WorkerClient : public std::enable_shared_from_this<WorkerClient> {
 public:
  // `address`: "host:port". InvalidArgumentError when it has no port.
  static std::shared_ptr<WorkerClient> create(std::string address, RemoteOptions options);
  ~WorkerClient();

  const std::string& address() const { return address_; }
  const RemoteOptions& options() const { return options_; }

  // One request; yields the answer's "result". RemoteError (or a subclass) on failure; its message
  // names the worker, `what` (e.g. "agent.transform_action (client agent-1)") and the reason.
  // The request is encoded before this returns; the pending call keeps the client alive.
  asio::awaitable<Json> call(std::string_view method, Json params, std::string what);

  // Stops the heartbeat for good (connections stay usable).
  void stop_heartbeat();
  bool connected() const { return connected_.load(std::memory_order_acquire); }
  // Number of connections opened so far.
  std::uint64_t connections() const { return connections_.load(std::memory_order_acquire); }
  // The protocol version the worker answered to "hello" on the last connection (1: a worker from
  // before the handshake); 0 before the first connection.
  int protocol() const { return protocol_.load(std::memory_order_acquire); }

  struct Pending;
  struct Connection;

 private:
  WorkerClient(std::string address, RemoteOptions options);
  struct Io;
  static asio::awaitable<Json> await_answer(std::shared_ptr<WorkerClient> self, std::shared_ptr<Pending> pending);
  void submit(std::shared_ptr<Pending> pending, std::chrono::milliseconds timeout);
  std::chrono::milliseconds heartbeat_timeout() const;
  void finish(const std::shared_ptr<Pending>& pending, std::exception_ptr error, Json result);
  void start_connect();
  void on_tcp_connected(std::uint64_t session);
  void send_hello(std::uint64_t session);
  void on_hello(std::uint64_t session, const Json& answer);
  void on_connected(std::uint64_t session);
  void connect_failed(std::uint64_t session, const std::string& reason);
  void start_read(std::uint64_t session);
  void handle_answer(std::uint64_t session);
  void enqueue_write(std::shared_ptr<Pending> pending);
  void do_write(std::uint64_t session);
  void connection_lost(std::uint64_t session, const std::string& reason);
  std::string read_failure(const std::error_code& ec);
  void schedule_heartbeat(std::uint64_t session);
  std::string host_part() const;
  std::string server_name() const;

  std::string address_;
  RemoteOptions options_;
  std::atomic<std::uint64_t> next_id_{1};
  std::atomic<bool> connected_{false};
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<int> protocol_{0};
  std::unique_ptr<Io> io_;  // touched only on the background loop
};

}  // namespace tavrin_core::remote
