#include "core/remote/worker_server.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "core/remote/server_state.hpp"

namespace tavrin_core::remote {

using namespace server_detail;

namespace {

bool is_loopback(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_v4().is_loopback();
  const auto v6 = address.to_v6();
  return v6.is_loopback() || (v6.is_v4_mapped() && asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_loopback());
}

std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

WorkerServer::WorkerServer(asio::io_context& ctx, WorkerServerOptions options)
    : hooks_(std::make_unique<Hooks>()),
      state_(std::make_shared<State>(ctx, std::move(options), hooks_->pool.get_executor())) {
  auto& s = *state_;
  std::mt19937_64 rng(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      static_cast<std::uint64_t>(::getpid()));
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
  s.token.assign(buf, 8);  // client ids of this run never match those of an earlier one
  const auto& files = s.options.tls;
  if (!files.cert.empty() || !files.key.empty() || !files.client_ca.empty()) s.tls = load_server_tls(files);
  const std::string where = s.options.host + ":" + std::to_string(s.options.port);
  asio::ip::address address;
  try {
    address = asio::ip::make_address(s.options.host);
  } catch (const std::exception& e) {
    throw tavrin_inference::RuntimeError("worker cannot listen on " + where + ": " + e.what());
  }
  if (!s.tls && !s.options.insecure && !is_loopback(address)) {
    throw tavrin_inference::InvalidArgumentError(
        "refusing to serve plaintext on " + where +
        ", outside the loopback range: anyone who reaches the port could create instances and call hooks, and "
        "anyone on the path could read and change what they carry. Serve TLS (--tls-cert and --tls-key, with "
        "--tls-client-ca to admit only hosts with a certificate), or give --insecure on a trusted network");
  }
  try {
    asio::ip::tcp::endpoint endpoint(address, s.options.port);
    s.acceptor.open(endpoint.protocol());
    s.acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    s.acceptor.bind(endpoint);
    s.acceptor.listen();
  } catch (const std::exception& e) {
    throw tavrin_inference::RuntimeError("worker cannot listen on " + where + ": " + e.what());
  }
}

WorkerServer::~WorkerServer() {
  state_->stop();
  // A hook still running is waited for; hooks suspended on the pool are dropped with it.
  hooks_->pool.stop();
  hooks_->pool.join();
  hooks_.reset();
}

std::uint16_t WorkerServer::port() const {
  asio::error_code ec;
  auto endpoint = state_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

std::string WorkerServer::address() const { return state_->options.host + ":" + std::to_string(port()); }

std::size_t WorkerServer::live_clients() const { return state_->instance_count.load(); }

void WorkerServer::start() { asio::co_spawn(state_->ctx, State::accept_loop(state_), asio::detached); }

void WorkerServer::stop() { state_->stop(); }

void WorkerServer::State::stop() {
  if (stopping) return;
  stopping = true;
  asio::error_code ignored;
  acceptor.close(ignored);
  for (auto& weak : connections) {
    if (auto connection = weak.lock()) close(*connection);
  }
  connections.clear();
  {
    std::lock_guard lock(instances_mutex);
    instances.clear();
    instance_count = 0;
  }
  if (options.on_stopped) options.on_stopped();
}

void WorkerServer::State::close(Connection& connection) {
  if (connection.closed) return;
  connection.closed = true;
  connection.stream.close();
}

asio::awaitable<void> WorkerServer::State::accept_loop(std::shared_ptr<State> self) {
  while (!self->stopping) {
    auto connection = std::make_shared<Connection>(self->ctx, self->tls.get());
    asio::error_code ec;
    co_await self->acceptor.async_accept(connection->stream.socket(), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      if (self->stopping || ec == asio::error::operation_aborted) co_return;
      // A failed accept (e.g. out of descriptors) must not end the worker; wait a little so that
      // a lasting failure does not spin.
      asio::steady_timer pause(self->ctx, std::chrono::milliseconds(50));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    connection->stream.socket().set_option(asio::ip::tcp::no_delay(true), ec);
    const auto remote = connection->stream.socket().remote_endpoint(ec);
    connection->peer = ec ? std::string("an unknown peer") : endpoint_text(remote);
    self->connections.remove_if([](const auto& w) { return w.expired(); });
    self->connections.push_back(connection);
    asio::co_spawn(self->ctx, serve(self, connection), asio::detached);
  }
}

}  // namespace tavrin_core::remote
