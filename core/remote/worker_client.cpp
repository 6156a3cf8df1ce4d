#include "core/remote/worker_client.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio/async_result.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "core/remote/tls_stream.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core::remote {

namespace {

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

std::string ms_text(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

// A failure for a caller on another thread. The error is made whole inside this function: the
// temporary it is copied from shares the message's buffer (reference-counted inside libstdc++, where
// ThreadSanitizer cannot see the count), and would otherwise be released on this thread after the
// caller was handed the failure. The exception_ptr itself is moved on to the caller, never copied.
template <class E, class... Args>
std::exception_ptr failure(Args&&... args) {
  return std::make_exception_ptr(E(std::forward<Args>(args)...));
}

const Logger& logger = get_logger("tavrin_core.remote.client");

}  // namespace

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

WorkerClient::WorkerClient(std::string address, RemoteOptions options)
    : address_(std::move(address)),
      options_(std::move(options)),
      io_(std::make_unique<Io>(BackgroundLoop::instance().context())) {}

std::shared_ptr<WorkerClient> WorkerClient::create(std::string address, RemoteOptions options) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
    throw tavrin_inference::InvalidArgumentError("worker address '" + address + "' is not of the form host:port");
  // The connection's parts belong to the background loop, so they are released there too.
  return std::shared_ptr<WorkerClient>(new WorkerClient(std::move(address), std::move(options)),
                                       [](WorkerClient* client) {
                                         auto& loop = BackgroundLoop::instance();
                                         if (loop.on_loop_thread()) {
                                           delete client;
                                         } else {
                                           asio::post(loop.context(), [client] { delete client; });
                                         }
                                       });
}

WorkerClient::~WorkerClient() {
  auto& io = *io_;
  if (io.connection) io.connection->stream.close();
  std::vector<std::shared_ptr<Pending>> left;
  for (auto& [_, p] : io.inflight) left.push_back(p);
  for (auto& p : io.waiting) left.push_back(p);
  for (auto& p : left) {
    finish(p, failure<RemoteError>("worker " + address_ + ": " + p->what + " abandoned: the client was released"),
           Json());
  }
}

std::string WorkerClient::host_part() const {
  std::string host = address_.substr(0, address_.rfind(':'));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

std::string WorkerClient::server_name() const {
  if (options_.tls && !tls_server_name(*options_.tls).empty()) return tls_server_name(*options_.tls);
  return host_part();
}

asio::awaitable<Json> WorkerClient::call(std::string_view method, Json params, std::string what) {
  // Not a coroutine: the request is encoded now, so `method` and `params` need not outlive the
  // pending call this returns.
  auto pending = std::make_shared<Pending>();
  pending->id = next_id_.fetch_add(1, std::memory_order_relaxed);
  pending->what = std::move(what);
  Json request =
      Json::object({{"jsonrpc", "2.0"}, {"id", pending->id}, {"method", method}, {"params", std::move(params)}});
  write_frame(pending->frame, request.dump(-1, ' ', false, Json::error_handler_t::replace));
  return await_answer(shared_from_this(), std::move(pending));
}

asio::awaitable<Json> WorkerClient::await_answer(std::shared_ptr<WorkerClient> self, std::shared_ptr<Pending> pending) {
  // The initiation is a named object moved into the operation: GCC 12 destroys a closure
  // temporary inside a co_await expression twice, which would release its captures twice.
  // It captures by value only, so everything it touches lives as long as the operation.
  auto initiation = [self, pending](auto handler) {
    // The answer is handed back on the caller's own executor, which is kept busy meanwhile.
    auto ex = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work_t::tracked);
    auto h = std::make_shared<decltype(handler)>(std::move(handler));
    // The failure is moved all the way, so that the caller holds its only reference: see failure().
    pending->complete = [ex, h](std::exception_ptr e, Json r) {
      asio::post(ex, [h, e = std::move(e), r = std::move(r)]() mutable { std::move (*h)(std::move(e), std::move(r)); });
    };
    asio::post(BackgroundLoop::instance().context(),
               [self, pending] { self->submit(pending, self->options_.call_timeout); });
  };
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Json)>(
      std::move(initiation), asio::use_awaitable);
}

std::chrono::milliseconds WorkerClient::heartbeat_timeout() const {
  return std::min(options_.call_timeout, std::max(3 * options_.heartbeat_interval, std::chrono::milliseconds(100)));
}

void WorkerClient::submit(std::shared_ptr<Pending> pending, std::chrono::milliseconds timeout) {
  auto& io = *io_;
  pending->timer.emplace(io.ctx, timeout);
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  pending->timer->async_wait([weak, pending, timeout](std::error_code ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self) return;
    self->finish(pending,
                 failure<RemoteTimeoutError>("worker " + self->address_ + ": " + pending->what + " timed out after " +
                                             ms_text(timeout)),
                 Json());
  });
  io.inflight.emplace(pending->id, pending);
  if (io.state == Io::State::connected) {
    enqueue_write(std::move(pending));
  } else {
    io.waiting.push_back(std::move(pending));
    if (io.state == Io::State::idle) start_connect();
  }
}

void WorkerClient::finish(const std::shared_ptr<Pending>& pending, std::exception_ptr error, Json result) {
  if (pending->done) return;
  pending->done = true;
  if (pending->timer) pending->timer->cancel();
  io_->inflight.erase(pending->id);
  auto complete = std::move(pending->complete);
  if (complete) complete(std::move(error), std::move(result));
}

void WorkerClient::start_connect() {
  auto& io = *io_;
  io.state = Io::State::connecting;
  io.connect_timed_out = false;
  const std::uint64_t session = ++io.session;
  auto connection = std::make_shared<Connection>(io.ctx, options_.tls.get());
  io.connection = connection;
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  io.connect_timer.expires_after(options_.connect_timeout);
  io.connect_timer.async_wait([weak, session](std::error_code ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self || self->io_->session != session || self->io_->state != Io::State::connecting) return;
    // Closing ends whatever step the attempt is in (resolving, connecting, TLS, hello) with an error.
    self->io_->connect_timed_out = true;
    self->io_->resolver.cancel();
    self->io_->connection->stream.close();
  });
  const std::string port = address_.substr(address_.rfind(':') + 1);
  io.resolver.async_resolve(
      host_part(), port,
      [weak, session, connection](std::error_code ec, const asio::ip::tcp::resolver::results_type& results) {
        auto self = weak.lock();
        if (!self || self->io_->session != session) return;
        if (ec) {
          self->connect_failed(session, ec.message());
          return;
        }
        asio::async_connect(connection->stream.socket(), results,
                            [weak, session, connection](std::error_code ec2, const asio::ip::tcp::endpoint&) {
                              auto self2 = weak.lock();
                              if (!self2 || self2->io_->session != session) return;
                              if (ec2) {
                                self2->connect_failed(session, ec2.message());
                              } else {
                                self2->on_tcp_connected(session);
                              }
                            });
      });
}

void WorkerClient::on_tcp_connected(std::uint64_t session) {
  auto connection = io_->connection;
  asio::error_code ignored;
  connection->stream.socket().set_option(asio::ip::tcp::no_delay(true), ignored);
  if (!connection->stream.secure()) {
    send_hello(session);
    return;
  }
  const std::string name = server_name();
  expect_server_name(connection->stream, name);
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  connection->stream.tls().async_handshake(
      asio::ssl::stream_base::client, [weak, session, connection, name](std::error_code ec) {
        auto self = weak.lock();
        if (!self || self->io_->session != session) return;
        if (ec) {
          self->connect_failed(session, client_tls_failure(connection->stream, ec, name));
        } else {
          self->send_hello(session);
        }
      });
}

void WorkerClient::send_hello(std::uint64_t session) {
  auto& io = *io_;
  auto hello = std::make_shared<Pending>();
  hello->id = next_id_.fetch_add(1, std::memory_order_relaxed);
  hello->what = "hello";
  hello->whole_answer = true;
  write_frame(hello->frame, Json::object({{"jsonrpc", "2.0"},
                                          {"id", hello->id},
                                          {"method", "hello"},
                                          {"params", Json::object({{"protocol", kProtocolVersion}})}})
                                .dump());
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  hello->complete = [weak, session](std::exception_ptr, const Json& answer) {
    if (auto self = weak.lock()) self->on_hello(session, answer);
  };
  io.hello = hello;
  io.inflight.emplace(hello->id, hello);
  start_read(session);
  enqueue_write(std::move(hello));
}

void WorkerClient::on_hello(std::uint64_t session, const Json& answer) {
  auto& io = *io_;
  if (session != io.session || io.state != Io::State::connecting) return;
  io.hello.reset();
  if (const auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
    const Json code = error->is_object() ? error->value("code", Json()) : Json();
    if (code == error_code::method_not_found) {
      // A worker from before the handshake: it speaks version 1, which this client still speaks.
      protocol_.store(1, std::memory_order_release);
      if (!io.told_old_protocol) {
        io.told_old_protocol = true;
        logger.info("worker {} does not know 'hello' (protocol version 1): its pings wait behind running hooks",
                    address_);
      }
      on_connected(session);
      return;
    }
    const Json message = error->is_object() ? error->value("message", Json()) : Json();
    connect_failed(session, "the worker refused the connection: " +
                                (message.is_string() ? message.get<std::string>() : error->dump()));
    return;
  }
  const Json result = answer.value("result", Json());
  const Json version = result.is_object() ? result.value("protocol", Json()) : Json();
  if (!version.is_number_integer()) {
    connect_failed(session, "the worker answered 'hello' without a protocol version: " + result.dump());
    return;
  }
  if (version.get<int>() != kProtocolVersion) {
    connect_failed(session, "protocol version mismatch: this client speaks version " +
                                std::to_string(kProtocolVersion) + ", the worker speaks version " +
                                std::to_string(version.get<int>()));
    return;
  }
  protocol_.store(kProtocolVersion, std::memory_order_release);
  on_connected(session);
}

void WorkerClient::connect_failed(std::uint64_t session, const std::string& reason) {
  auto& io = *io_;
  if (session != io.session || io.state != Io::State::connecting) return;
  ++io.session;  // the attempt's handlers still to come find a different session and stop
  io.connect_timer.cancel();
  io.connection->stream.close();
  io.state = Io::State::idle;
  io.writes.clear();
  io.writing = false;
  if (io.hello) {
    io.hello->done = true;
    io.inflight.erase(io.hello->id);
    io.hello.reset();
  }
  const std::string why =
      io.connect_timed_out ? "connecting timed out after " + ms_text(options_.connect_timeout) : reason;
  auto waiting = std::move(io.waiting);
  io.waiting.clear();
  for (auto& p : waiting) {
    finish(p, failure<RemoteConnectError>("cannot reach worker " + address_ + " for " + p->what + ": " + why), Json());
  }
}

void WorkerClient::on_connected(std::uint64_t session) {
  auto& io = *io_;
  io.connect_timer.cancel();
  io.state = Io::State::connected;
  connected_.store(true, std::memory_order_release);
  connections_.fetch_add(1, std::memory_order_acq_rel);
  auto waiting = std::move(io.waiting);
  io.waiting.clear();
  for (auto& p : waiting) {
    if (!p->done) enqueue_write(std::move(p));
  }
  schedule_heartbeat(session);
}

std::string WorkerClient::read_failure(const std::error_code& ec) {
  auto& io = *io_;
  if (io.state == Io::State::connecting && io.connection->stream.secure() && !is_end_of_stream(ec)) {
    // Under TLS 1.3 a worker refuses a client's certificate after the client's side of the
    // handshake is done: the refusal is what the hello's answer brings.
    return client_tls_failure(io.connection->stream, ec, server_name());
  }
  if (is_end_of_stream(ec)) {
    if (io.state != Io::State::connecting) return "the worker closed the connection";
    return io.connection->stream.secure()
               ? "the worker closed the connection before answering hello"
               : "the worker closed the connection before answering hello (a TLS worker hangs up on plaintext "
                 "clients: does it need remote.tls?)";
  }
  return ec.message();
}

void WorkerClient::start_read(std::uint64_t session) {
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  auto connection = io_->connection;
  connection->stream.read(
      asio::buffer(connection->header), [weak, session, connection](std::error_code ec, std::size_t) {
        auto self = weak.lock();
        if (!self || session != self->io_->session) return;
        if (ec) {
          self->connection_lost(session, self->read_failure(ec));
          return;
        }
        if (!connection->stream.secure() && looks_like_tls_record(connection->header.data())) {
          self->connection_lost(session,
                                "the worker answered in TLS: it serves TLS only (give remote.tls, or a "
                                "tls:// address)");
          return;
        }
        const std::uint32_t size = frame_size(connection->header.data());
        if (size > kMaxFrameSize) {
          self->connection_lost(session, "answer of " + std::to_string(size) + " bytes exceeds the frame limit");
          return;
        }
        connection->payload.resize(size);
        connection->stream.read(asio::buffer(connection->payload),
                                [weak, session, connection](std::error_code ec2, std::size_t) {
                                  auto self2 = weak.lock();
                                  if (!self2 || session != self2->io_->session) return;
                                  if (ec2) {
                                    self2->connection_lost(session, self2->read_failure(ec2));
                                    return;
                                  }
                                  self2->handle_answer(session);
                                  if (session == self2->io_->session) self2->start_read(session);
                                });
      });
}

void WorkerClient::handle_answer(std::uint64_t session) {
  auto& io = *io_;
  Json answer = Json::parse(io.connection->payload, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    connection_lost(session, "the worker sent a malformed answer");
    return;
  }
  const auto id_it = answer.find("id");
  if (id_it == answer.end() || !id_it->is_number_unsigned()) return;  // e.g. an error about a bad frame
  const auto found = io.inflight.find(id_it->get<std::uint64_t>());
  if (found == io.inflight.end()) return;  // timed out earlier
  auto pending = found->second;
  if (pending->whole_answer) {
    finish(pending, nullptr, std::move(answer));
    return;
  }
  const auto error_it = answer.find("error");
  if (error_it != answer.end() && !error_it->is_null()) {
    int code = 0;
    std::string message = "(no message)";
    std::string kind;
    if (error_it->is_object()) {
      if (auto c = error_it->find("code"); c != error_it->end() && c->is_number_integer()) code = c->get<int>();
      if (auto m = error_it->find("message"); m != error_it->end() && m->is_string()) message = m->get<std::string>();
      if (auto d = error_it->find("data"); d != error_it->end() && d->is_object()) {
        if (auto k = d->find("kind"); k != d->end() && k->is_string()) kind = k->get<std::string>();
      }
    }
    std::string text = "worker " + address_ + ": " + pending->what + " failed: ";
    if (!kind.empty()) text += kind + ": ";
    text += message;
    finish(pending, failure<RemoteError>(text, code), Json());
    return;
  }
  Json result;
  if (auto r = answer.find("result"); r != answer.end()) result = std::move(*r);
  finish(pending, nullptr, std::move(result));
}

void WorkerClient::enqueue_write(std::shared_ptr<Pending> pending) {
  io_->writes.push_back(std::move(pending));
  if (!io_->writing) do_write(io_->session);
}

void WorkerClient::do_write(std::uint64_t session) {
  auto& io = *io_;
  while (!io.writes.empty() && io.writes.front()->done) io.writes.pop_front();
  if (io.writes.empty()) {
    io.writing = false;
    return;
  }
  io.writing = true;
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  auto front = io.writes.front();
  auto connection = io.connection;
  connection->stream.write(asio::buffer(front->frame),
                           [weak, session, front, connection](std::error_code ec, std::size_t) {
                             auto self = weak.lock();
                             if (!self || session != self->io_->session) return;
                             if (ec) {
                               self->connection_lost(session, ec.message());
                               return;
                             }
                             if (!self->io_->writes.empty() && self->io_->writes.front() == front)
                               self->io_->writes.pop_front();
                             self->do_write(session);
                           });
}

void WorkerClient::connection_lost(std::uint64_t session, const std::string& reason) {
  auto& io = *io_;
  if (session != io.session) return;
  if (io.state == Io::State::connecting) {
    connect_failed(session, reason);
    return;
  }
  if (io.state != Io::State::connected) return;
  io.state = Io::State::idle;
  ++io.session;  // handlers of the lost connection now find a different session and stop
  connected_.store(false, std::memory_order_release);
  io.connection->stream.close();
  io.heartbeat_timer.cancel();
  io.writes.clear();
  io.writing = false;
  std::vector<std::shared_ptr<Pending>> lost;
  lost.reserve(io.inflight.size());
  for (auto& [_, p] : io.inflight) lost.push_back(p);
  for (auto& p : lost) {
    finish(p, failure<RemoteError>("worker " + address_ + ": connection lost during " + p->what + ": " + reason),
           Json());
  }
}

void WorkerClient::schedule_heartbeat(std::uint64_t session) {
  auto& io = *io_;
  if (!io.heartbeat || options_.heartbeat_interval.count() <= 0) return;
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  io.heartbeat_timer.expires_after(options_.heartbeat_interval);
  io.heartbeat_timer.async_wait([weak, session](std::error_code ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self || session != self->io_->session || self->io_->state != Io::State::connected || !self->io_->heartbeat)
      return;
    auto ping = std::make_shared<Pending>();
    ping->id = self->next_id_.fetch_add(1, std::memory_order_relaxed);
    ping->what = "heartbeat";
    write_frame(
        ping->frame,
        Json::object({{"jsonrpc", "2.0"}, {"id", ping->id}, {"method", "ping"}, {"params", Json::object()}}).dump());
    ping->complete = [weak, session](std::exception_ptr error, const Json&) {
      auto s = weak.lock();
      if (!s) return;
      if (!error) {
        s->schedule_heartbeat(session);
        return;
      }
      std::string why;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        why = e.what();
      }
      s->connection_lost(session, "the worker stopped answering (" + why + ")");
    };
    self->submit(std::move(ping), self->heartbeat_timeout());
  });
}

void WorkerClient::stop_heartbeat() {
  auto self = shared_from_this();
  asio::post(BackgroundLoop::instance().context(), [self] {
    self->io_->heartbeat = false;
    self->io_->heartbeat_timer.cancel();
  });
}

}  // namespace tavrin_core::remote
