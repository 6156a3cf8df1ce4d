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

}  // namespace

struct WorkerClient::Pending {
  std::uint64_t id = 0;
  std::string what;
  std::string frame;
  std::function<void(std::exception_ptr, Json)> complete;
  std::optional<asio::steady_timer> timer;
  bool done = false;
};

struct WorkerClient::Io {
  explicit Io(asio::io_context& ctx) : socket(ctx), resolver(ctx), connect_timer(ctx), heartbeat_timer(ctx) {}
  enum class State { idle, connecting, connected };
  asio::ip::tcp::socket socket;
  asio::ip::tcp::resolver resolver;
  asio::steady_timer connect_timer;
  asio::steady_timer heartbeat_timer;
  State state = State::idle;
  std::uint64_t session = 0;
  bool connect_timed_out = false;
  bool heartbeat = true;
  std::unordered_map<std::uint64_t, std::shared_ptr<Pending>> inflight;
  std::vector<std::shared_ptr<Pending>> waiting;
  std::deque<std::shared_ptr<Pending>> writes;
  bool writing = false;
  std::array<unsigned char, kFrameHeaderSize> header{};
  std::string payload;
};

WorkerClient::WorkerClient(std::string address, RemoteOptions options)
    : address_(std::move(address)),
      options_(options),
      io_(std::make_unique<Io>(BackgroundLoop::instance().context())) {}

std::shared_ptr<WorkerClient> WorkerClient::create(std::string address, RemoteOptions options) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
    throw tavrin_inference::InvalidArgumentError("worker address '" + address + "' is not of the form host:port");
  // The connection's parts belong to the background loop, so they are released there too.
  return std::shared_ptr<WorkerClient>(new WorkerClient(std::move(address), options), [](WorkerClient* client) {
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
  asio::error_code ignored;
  io.socket.close(ignored);
  std::vector<std::shared_ptr<Pending>> left;
  for (auto& [_, p] : io.inflight) left.push_back(p);
  for (auto& p : io.waiting) left.push_back(p);
  for (auto& p : left) {
    finish(p,
           std::make_exception_ptr(
               RemoteError("worker " + address_ + ": " + p->what + " abandoned: the client was released")),
           Json());
  }
}

std::string WorkerClient::host_part() const {
  std::string host = address_.substr(0, address_.rfind(':'));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
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
    pending->complete = [ex, h](std::exception_ptr e, Json r) {
      asio::post(ex, [h, e, r = std::move(r)]() mutable { std::move (*h)(e, std::move(r)); });
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
  pending->timer.emplace(BackgroundLoop::instance().context(), timeout);
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  pending->timer->async_wait([weak, pending, timeout](std::error_code ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self) return;
    self->finish(pending,
                 std::make_exception_ptr(RemoteTimeoutError("worker " + self->address_ + ": " + pending->what +
                                                            " timed out after " + ms_text(timeout))),
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
  if (complete) complete(error, std::move(result));
}

void WorkerClient::start_connect() {
  auto& io = *io_;
  io.state = Io::State::connecting;
  io.connect_timed_out = false;
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  io.connect_timer.expires_after(options_.connect_timeout);
  io.connect_timer.async_wait([weak](std::error_code ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self || self->io_->state != Io::State::connecting) return;
    self->io_->connect_timed_out = true;
    self->io_->resolver.cancel();
    asio::error_code ignored;
    self->io_->socket.close(ignored);
  });
  const std::string port = address_.substr(address_.rfind(':') + 1);
  io.resolver.async_resolve(
      host_part(), port, [weak](std::error_code ec, const asio::ip::tcp::resolver::results_type& results) {
        auto self = weak.lock();
        if (!self) return;
        if (ec) {
          self->connect_failed(ec.message());
          return;
        }
        asio::async_connect(self->io_->socket, results, [weak](std::error_code ec2, const asio::ip::tcp::endpoint&) {
          auto self2 = weak.lock();
          if (!self2) return;
          if (ec2) {
            self2->connect_failed(ec2.message());
          } else {
            self2->on_connected();
          }
        });
      });
}

void WorkerClient::connect_failed(const std::string& reason) {
  auto& io = *io_;
  io.connect_timer.cancel();
  asio::error_code ignored;
  io.socket.close(ignored);
  io.state = Io::State::idle;
  const std::string why =
      io.connect_timed_out ? "connecting timed out after " + ms_text(options_.connect_timeout) : reason;
  auto waiting = std::move(io.waiting);
  io.waiting.clear();
  for (auto& p : waiting) {
    finish(
        p,
        std::make_exception_ptr(RemoteConnectError("cannot reach worker " + address_ + " for " + p->what + ": " + why)),
        Json());
  }
}

void WorkerClient::on_connected() {
  auto& io = *io_;
  io.connect_timer.cancel();
  io.state = Io::State::connected;
  const std::uint64_t session = ++io.session;
  asio::error_code ignored;
  io.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  connected_.store(true, std::memory_order_release);
  connections_.fetch_add(1, std::memory_order_acq_rel);
  start_read(session);
  auto waiting = std::move(io.waiting);
  io.waiting.clear();
  for (auto& p : waiting) {
    if (!p->done) enqueue_write(std::move(p));
  }
  schedule_heartbeat(session);
}

void WorkerClient::start_read(std::uint64_t session) {
  std::weak_ptr<WorkerClient> weak = weak_from_this();
  asio::async_read(io_->socket, asio::buffer(io_->header), [weak, session](std::error_code ec, std::size_t) {
    auto self = weak.lock();
    if (!self || session != self->io_->session) return;
    if (ec) {
      self->connection_lost(session, ec == asio::error::eof ? "the worker closed the connection" : ec.message());
      return;
    }
    const std::uint32_t size = frame_size(self->io_->header.data());
    if (size > kMaxFrameSize) {
      self->connection_lost(session, "answer of " + std::to_string(size) + " bytes exceeds the frame limit");
      return;
    }
    self->io_->payload.resize(size);
    asio::async_read(self->io_->socket, asio::buffer(self->io_->payload),
                     [weak, session](std::error_code ec2, std::size_t) {
                       auto self2 = weak.lock();
                       if (!self2 || session != self2->io_->session) return;
                       if (ec2) {
                         self2->connection_lost(
                             session, ec2 == asio::error::eof ? "the worker closed the connection" : ec2.message());
                         return;
                       }
                       self2->handle_answer(session);
                       if (session == self2->io_->session) self2->start_read(session);
                     });
  });
}

void WorkerClient::handle_answer(std::uint64_t session) {
  auto& io = *io_;
  Json answer = Json::parse(io.payload, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    connection_lost(session, "the worker sent a malformed answer");
    return;
  }
  const auto id_it = answer.find("id");
  if (id_it == answer.end() || !id_it->is_number_unsigned()) return;  // e.g. an error about a bad frame
  const auto found = io.inflight.find(id_it->get<std::uint64_t>());
  if (found == io.inflight.end()) return;  // timed out earlier
  auto pending = found->second;
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
    finish(pending, std::make_exception_ptr(RemoteError(text, code)), Json());
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
  asio::async_write(io.socket, asio::buffer(front->frame), [weak, session, front](std::error_code ec, std::size_t) {
    auto self = weak.lock();
    if (!self || session != self->io_->session) return;
    if (ec) {
      self->connection_lost(session, ec.message());
      return;
    }
    if (!self->io_->writes.empty() && self->io_->writes.front() == front) self->io_->writes.pop_front();
    self->do_write(session);
  });
}

void WorkerClient::connection_lost(std::uint64_t session, const std::string& reason) {
  auto& io = *io_;
  if (session != io.session || io.state != Io::State::connected) return;
  io.state = Io::State::idle;
  ++io.session;  // handlers of the lost connection now find a different session and stop
  connected_.store(false, std::memory_order_release);
  asio::error_code ignored;
  io.socket.close(ignored);
  io.heartbeat_timer.cancel();
  io.writes.clear();
  io.writing = false;
  std::vector<std::shared_ptr<Pending>> lost;
  lost.reserve(io.inflight.size());
  for (auto& [_, p] : io.inflight) lost.push_back(p);
  for (auto& p : lost) {
    finish(p,
           std::make_exception_ptr(
               RemoteError("worker " + address_ + ": connection lost during " + p->what + ": " + reason)),
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
