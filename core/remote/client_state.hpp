#pragma once
// What the client's sources share: the background event loop, the parts of a connection and of a
// pending call, and the words of a failure. The calls and their answers are in worker_client.cpp,
// connecting, the handshake, the heartbeat and a lost connection in client_connection.cpp. Includes
// OpenSSL through the stream: not installed, used by core/remote's sources only.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "core/remote/tls_stream.hpp"
#include "core/remote/worker_client.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core::remote {

namespace client_detail {

// The event loop of every worker connection of this process, on a thread of its own. Never
// destroyed: connections may be released from static destructors at exit.
class BackgroundLoop {
 public:
  static BackgroundLoop& instance() {
    static BackgroundLoop* loop = new BackgroundLoop();
    return *loop;
  }
  asio::io_context& context() { return ctx_; }
  bool on_loop_thread() const { return std::this_thread::get_id() == id_; }

 private:
  BackgroundLoop() : guard_(asio::make_work_guard(ctx_)) {
    std::thread thread([this] {
      for (;;) {
        try {
          ctx_.run();
          return;
        } catch (...) {
          // A handler that throws must not take the loop down with it; go on with the next one.
        }
      }
    });
    id_ = thread.get_id();
    thread.detach();
  }
  asio::io_context ctx_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread::id id_;
};

inline std::string ms_text(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

// A failure for a caller on another thread. The error is made whole inside this function: the
// temporary it is copied from shares the message's buffer (reference-counted inside libstdc++, where
// ThreadSanitizer cannot see the count), and would otherwise be released on this thread after the
// caller was handed the failure. The exception_ptr itself is moved on to the caller, never copied.
template <class E, class... Args>
std::exception_ptr failure(Args&&... args) {
  return std::make_exception_ptr(E(std::forward<Args>(args)...));
}

inline const Logger& logger = get_logger("tavrin_core.remote.client");

}  // namespace client_detail

struct WorkerClient::Pending {
  std::uint64_t id = 0;
  std::string what;
  std::string frame;
  std::function<void(std::exception_ptr, Json)> complete;
  std::optional<asio::steady_timer> timer;
  bool done = false;
  bool whole_answer = false;  // completes with the whole answer, error included (the hello)
};

// One connection: its stream and the frame being read. A new one for every connection, kept alive
// by the operations on it, so that a connection given up still finishes its operations safely.
struct WorkerClient::Connection {
  Connection(asio::io_context& ctx, TlsContext* tls) : stream(ctx, tls) {}
  Stream stream;
  std::array<unsigned char, kFrameHeaderSize> header{};
  std::string payload;
};

struct WorkerClient::Io {
  explicit Io(asio::io_context& c) : ctx(c), resolver(c), connect_timer(c), heartbeat_timer(c) {}
  enum class State { idle, connecting, connected };
  asio::io_context& ctx;
  std::shared_ptr<Connection> connection;
  asio::ip::tcp::resolver resolver;
  asio::steady_timer connect_timer;
  asio::steady_timer heartbeat_timer;
  State state = State::idle;
  std::uint64_t session = 0;  // counts connection attempts; handlers of an earlier one stop
  bool connect_timed_out = false;
  bool heartbeat = true;
  bool told_old_protocol = false;
  std::shared_ptr<Pending> hello;
  std::unordered_map<std::uint64_t, std::shared_ptr<Pending>> inflight;
  std::vector<std::shared_ptr<Pending>> waiting;
  std::deque<std::shared_ptr<Pending>> writes;
  bool writing = false;
};

}  // namespace tavrin_core::remote
