#include "core/remote/worker_client.hpp"

#include <algorithm>
#include <exception>
#include <functional>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "core/remote/client_state.hpp"

namespace tavrin_core::remote {

using namespace client_detail;

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

}  // namespace tavrin_core::remote
