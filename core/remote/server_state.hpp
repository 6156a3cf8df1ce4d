#pragma once
// What the worker server's sources share: a client connection and the server's state, with the
// listening (worker_server.cpp), the framing and routing of requests (server_dispatch.cpp) and the
// request handlers (server_rpc.cpp) as its members. Includes OpenSSL through the stream: not
// installed, used by core/remote's sources only.
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>

#include "core/remote/server_rpc.hpp"
#include "core/remote/tls_stream.hpp"
#include "core/remote/worker_server.hpp"
#include "core_api/network_mgr.hpp"

namespace tavrin_core::remote {

namespace server_detail {

// One client connection. Touched only on the connection's event loop.
struct Connection {
  Connection(asio::io_context& ctx, TlsContext* tls) : stream(ctx, tls) {}
  struct Outgoing {
    std::string frame;
    bool stop_after = false;  // the server stops once this frame is written
  };
  Stream stream;
  std::string peer;  // "host:port" of the client, for the log
  std::deque<Outgoing> out;
  bool writing = false;
  bool close_after_writes = false;
  bool closed = false;
  std::deque<Request> queue;  // requests for the hooks' thread, in arrival order
  bool busy = false;          // one of them is being carried out
};

}  // namespace server_detail

struct WorkerServer::Hooks {
  asio::thread_pool pool{1};
};

struct WorkerServer::State : std::enable_shared_from_this<WorkerServer::State> {
  State(asio::io_context& c, WorkerServerOptions o, asio::any_io_executor h)
      : ctx(c), options(std::move(o)), hooks(std::move(h)), acceptor(c) {}
  struct Instance {
    ManagerKind kind;
    std::string cls;
    std::shared_ptr<tavrin_inference::Object> object;
  };
  asio::io_context& ctx;
  WorkerServerOptions options;
  asio::any_io_executor hooks;
  std::shared_ptr<TlsContext> tls;
  asio::ip::tcp::acceptor acceptor;
  std::string token;
  // The instances are made, used and released on the hooks' thread; ping reads their number and
  // stop() clears them on the connections' loop.
  std::mutex instances_mutex;
  std::map<std::string, Instance> instances;
  std::uint64_t next_client = 1;
  std::atomic<std::size_t> instance_count{0};
  // The connections' loop only:
  std::list<std::weak_ptr<server_detail::Connection>> connections;
  bool stopping = false;

  // The serving coroutines are static and take the state as a parameter: a coroutine starts only
  // once the event loop runs it, and by then only what its frame owns is certain to be alive.
  static asio::awaitable<void> accept_loop(std::shared_ptr<State> self);
  static asio::awaitable<void> serve(std::shared_ptr<State> self,
                                     std::shared_ptr<server_detail::Connection> connection);
  static asio::awaitable<bool> handshake(std::shared_ptr<State> self,
                                         std::shared_ptr<server_detail::Connection> connection);
  void route(const std::shared_ptr<server_detail::Connection>& connection, std::string_view payload);
  void hello(const std::shared_ptr<server_detail::Connection>& connection, const server_detail::Request& request);
  void pump(const std::shared_ptr<server_detail::Connection>& connection);
  void send(const std::shared_ptr<server_detail::Connection>& connection, const std::string& answer,
            bool stop_after = false);
  void write_next(const std::shared_ptr<server_detail::Connection>& connection);
  void close(server_detail::Connection& connection);
  struct Answer {
    std::string text;  // empty: none (a notification)
    bool stop_after = false;
  };
  static asio::awaitable<Answer> carry_out(std::shared_ptr<State> self, server_detail::Request request);
  asio::awaitable<Json> dispatch(server_detail::Request& request);
  asio::awaitable<Json> call_hook(const std::string& method, const Json& params);
  void stop();
};

}  // namespace tavrin_core::remote
