// Connecting to a worker: TCP, the TLS handshake, the protocol's "hello", then the heartbeat; and
// what happens when an attempt fails or a connection is lost (the next call connects again).
#include "core/remote/worker_client.hpp"

#include <asio/connect.hpp>
#include <asio/post.hpp>

#include "core/remote/client_state.hpp"

namespace tavrin_core::remote {

using namespace client_detail;

std::string WorkerClient::host_part() const {
  std::string host = address_.substr(0, address_.rfind(':'));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

std::string WorkerClient::server_name() const {
  if (options_.tls && !tls_server_name(*options_.tls).empty()) return tls_server_name(*options_.tls);
  return host_part();
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
