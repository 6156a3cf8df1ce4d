#pragma once
// The serving end of the remote protocol: accepts connections, makes instances of the implementation
// classes registered in this process (one per client id), and answers hook calls on them. Runs on
// the given event loop; every request of one connection is answered before the next is read, and
// connections are served concurrently. A malformed frame or request gets a JSON-RPC error answer;
// nothing a client sends can end the server.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

namespace tavrin_core::remote {

struct WorkerServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 1337;       // 0: any free port (see WorkerServer::port)
  bool exit_when_stopped = false;  // stop serving once a stop_all leaves no instance
  std::string version = "latest";  // the worker's own version, answered by "ping"
  // Called once when the server stops: stop(), or the answer to a stop_all that left no instance
  // was written (exit_when_stopped). Runs on the event loop.
  std::function<void()> on_stopped;
};

class WorkerServer {
 public:
  // Binds at once; RuntimeError naming the address when that fails.
  WorkerServer(asio::io_context& ctx, WorkerServerOptions options);
  ~WorkerServer();

  std::uint16_t port() const;
  std::string address() const;  // "host:port"
  void start();                 // accepts connections on the event loop
  void stop();                  // closes the listening socket and every connection
  std::size_t live_clients() const;

  // Answer to one request payload (no answer, i.e. empty, for notifications). Public for tests.
  asio::awaitable<std::string> handle(std::string payload);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tavrin_core::remote
