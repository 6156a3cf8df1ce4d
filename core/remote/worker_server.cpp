#include "core/remote/worker_server.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <random>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include "core/remote/protocol.hpp"
#include "core/remote/tls_stream.hpp"
#include "core/remote/worker_manager.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core::remote {

using tavrin_inference::Error;
using tavrin_inference::KeyError;
using tavrin_inference::Value;

namespace {

const Logger& logger = get_logger("tavrin_core.remote.worker");

// An error answer to send back: code, message and the error kind of the failure.
struct RpcFailure {
  int code;
  std::string message;
  std::string kind;
};

[[noreturn]] void fail(int code, std::string message, std::string kind = {}) {
  throw RpcFailure{code, std::move(message), std::move(kind)};
}

std::string answer_text(const Json& id, Json result) {
  Json answer = Json::object();
  answer["jsonrpc"] = "2.0";
  answer["id"] = id;
  answer["result"] = std::move(result);
  return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string error_text(const Json& id, const RpcFailure& f) {
  Json answer = Json::object();
  answer["jsonrpc"] = "2.0";
  answer["id"] = id;
  Json error = Json::object();
  error["code"] = f.code;
  error["message"] = f.message;
  if (!f.kind.empty()) error["data"] = Json::object({{"kind", f.kind}});
  answer["error"] = std::move(error);
  return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ManagerKind manager_of(const Json& params) {
  const auto it = params.find("manager");
  if (it == params.end() || !it->is_string())
    fail(error_code::invalid_params, "params.manager: expected 'agent', 'perceptor' or 'controller'");
  const auto& name = it->get_ref<const std::string&>();
  if (name == "agent") return ManagerKind::agent;
  if (name == "perceptor") return ManagerKind::perceptor;
  if (name == "controller") return ManagerKind::controller;
  fail(error_code::invalid_params,
       "params.manager: unknown manager '" + name + "' (expected agent, perceptor or controller)");
}

std::vector<Value> decode_args(const Json& params, const std::string& method, std::size_t expected) {
  std::vector<Value> args;
  const auto it = params.find("args");
  if (it != params.end() && !it->is_null()) {
    if (!it->is_array()) fail(error_code::invalid_params, "params.args: expected a list of arguments");
    args.reserve(it->size());
    for (std::size_t i = 0; i < it->size(); ++i) {
      try {
        args.push_back(decode_value((*it)[i], "params.args[" + std::to_string(i) + "]"));
      } catch (const Error& e) {
        fail(error_code::invalid_params, e.what(), e.kind());
      }
    }
  }
  if (args.size() != expected) {
    fail(error_code::invalid_params, method + " takes " + std::to_string(expected) + " argument" +
                                         (expected == 1 ? "" : "s") + ", got " + std::to_string(args.size()));
  }
  return args;
}

// One request, parsed on the connection's loop and carried out there ("hello", "ping") or on the
// hooks' thread (everything that reaches the implementations).
struct Request {
  Json id = nullptr;
  bool notification = true;
  std::string method;
  Json params = Json::object();
  bool stop_after = false;  // set by a stop_all that leaves no instance (exit_when_stopped)
};

// Fills `request`; RpcFailure for what is not a valid request (its id, once known, is already set).
void parse_request(std::string_view payload, Request& request) {
  Json json;
  try {
    json = Json::parse(payload);
  } catch (const Json::exception& e) {
    fail(error_code::parse_error, std::string("malformed JSON: ") + e.what());
  }
  if (!json.is_object()) fail(error_code::invalid_request, "a request must be a JSON object");
  if (auto it = json.find("id"); it != json.end()) {
    request.notification = false;
    if (it->is_number_integer() || it->is_string() || it->is_null())
      request.id = *it;
    else
      fail(error_code::invalid_request, "id: expected a number, a string or null");
  }
  if (auto it = json.find("jsonrpc"); it == json.end() || *it != "2.0")
    fail(error_code::invalid_request, "jsonrpc: expected \"2.0\"");
  const auto method_it = json.find("method");
  if (method_it == json.end() || !method_it->is_string()) fail(error_code::invalid_request, "method: expected a text");
  if (auto it = json.find("params"); it != json.end() && !it->is_null()) {
    if (!it->is_object()) fail(error_code::invalid_request, "params: expected an object");
    request.params = std::move(*it);
  }
  request.method = method_it->get<std::string>();
}

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

}  // namespace

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
  std::list<std::weak_ptr<Connection>> connections;
  bool stopping = false;

  // The serving coroutines are static and take the state as a parameter: a coroutine starts only
  // once the event loop runs it, and by then only what its frame owns is certain to be alive.
  static asio::awaitable<void> accept_loop(std::shared_ptr<State> self);
  static asio::awaitable<void> serve(std::shared_ptr<State> self, std::shared_ptr<Connection> connection);
  static asio::awaitable<bool> handshake(std::shared_ptr<State> self, std::shared_ptr<Connection> connection);
  void route(const std::shared_ptr<Connection>& connection, std::string_view payload);
  void hello(const std::shared_ptr<Connection>& connection, const Request& request);
  void pump(const std::shared_ptr<Connection>& connection);
  void send(const std::shared_ptr<Connection>& connection, const std::string& answer, bool stop_after = false);
  void write_next(const std::shared_ptr<Connection>& connection);
  void close(Connection& connection);
  struct Answer {
    std::string text;  // empty: none (a notification)
    bool stop_after = false;
  };
  static asio::awaitable<Answer> carry_out(std::shared_ptr<State> self, Request request);
  asio::awaitable<Json> dispatch(Request& request);
  asio::awaitable<Json> call_hook(const std::string& method, const Json& params);
  void stop();
};

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

asio::awaitable<bool> WorkerServer::State::handshake(std::shared_ptr<State> self,
                                                     std::shared_ptr<Connection> connection) {
  // A client that connects and never completes the handshake is not kept forever.
  auto timed_out = std::make_shared<bool>(false);
  asio::steady_timer timer(self->ctx, self->options.handshake_timeout);
  timer.async_wait([connection, timed_out](std::error_code ec) {
    if (ec) return;
    *timed_out = true;
    connection->stream.close();
  });
  asio::error_code ec;
  co_await connection->stream.tls().async_handshake(asio::ssl::stream_base::server,
                                                    asio::redirect_error(asio::use_awaitable, ec));
  timer.cancel();
  if (!ec) co_return true;
  if (!self->stopping) {
    const std::string why = *timed_out
                                ? "not done within " + std::to_string(self->options.handshake_timeout.count()) + " ms"
                                : worker_tls_failure(connection->stream, ec);
    logger.warning("TLS handshake with {} failed: {}", connection->peer, why);
  }
  self->close(*connection);
  co_return false;
}

asio::awaitable<void> WorkerServer::State::serve(std::shared_ptr<State> self, std::shared_ptr<Connection> connection) {
  if (connection->stream.secure() && !co_await handshake(self, connection)) co_return;
  std::array<unsigned char, kFrameHeaderSize> header{};
  std::string payload;
  try {
    for (;;) {
      co_await connection->stream.read(asio::buffer(header), asio::use_awaitable);
      const std::uint32_t size = frame_size(header.data());
      if (size > kMaxFrameSize) {
        if (!connection->stream.secure() && looks_like_tls_record(header.data())) {
          logger.warning(
              "connection from {}: the client speaks TLS, but this worker serves plaintext (start it with "
              "--tls-cert and --tls-key); closing it",
              connection->peer);
          break;
        }
        // The rest of the stream cannot be framed again: answer, then drop the connection.
        connection->close_after_writes = true;
        self->send(connection, error_text(Json(nullptr), RpcFailure{error_code::invalid_request,
                                                                    "frame of " + std::to_string(size) +
                                                                        " bytes exceeds the limit of " +
                                                                        std::to_string(kMaxFrameSize) + " bytes",
                                                                    {}}));
        co_return;
      }
      payload.resize(size);
      if (size > 0) co_await connection->stream.read(asio::buffer(payload), asio::use_awaitable);
      self->route(connection, payload);
      if (connection->close_after_writes || connection->closed || self->stopping) co_return;
    }
  } catch (const std::exception&) {
    // The client went away or the connection broke: this connection ends, the worker goes on.
  }
  self->close(*connection);
}

void WorkerServer::State::route(const std::shared_ptr<Connection>& connection, std::string_view payload) {
  Request request;
  try {
    parse_request(payload, request);
  } catch (const RpcFailure& f) {
    send(connection, error_text(request.id, f));
    return;
  }
  logger.debug("request {} from {}", request.method, connection->peer);
  if (request.method == "ping") {
    // Answered at once, also while a hook of this connection runs: the client's heartbeat.
    Json r = Json::object();
    r["clients"] = instance_count.load();
    r["version"] = options.version;
    if (!request.notification) send(connection, answer_text(request.id, std::move(r)));
    return;
  }
  if (request.method == "hello") {
    hello(connection, request);
    return;
  }
  connection->queue.push_back(std::move(request));
  pump(connection);
}

void WorkerServer::State::hello(const std::shared_ptr<Connection>& connection, const Request& request) {
  const auto version = request.params.find("protocol");
  if (version == request.params.end() || !version->is_number_integer()) {
    connection->close_after_writes = true;
    send(connection, error_text(request.id, RpcFailure{error_code::invalid_params,
                                                       "hello: params.protocol: expected the protocol version (an "
                                                       "integer)",
                                                       {}}));
    return;
  }
  if (*version != kProtocolVersion) {
    const std::string message = "protocol version mismatch: the client speaks version " + version->dump() +
                                ", this worker speaks version " + std::to_string(kProtocolVersion);
    logger.warning("connection from {}: {}; closing it", connection->peer, message);
    connection->close_after_writes = true;
    Json answer = Json::object();
    answer["jsonrpc"] = "2.0";
    answer["id"] = request.id;
    answer["error"] =
        Json::object({{"code", error_code::protocol_mismatch},
                      {"message", message},
                      {"data", Json::object({{"kind", "ProtocolError"}, {"protocol", kProtocolVersion}})}});
    send(connection, answer.dump());
    return;
  }
  if (request.notification) return;
  send(connection,
       answer_text(request.id, Json::object({{"protocol", kProtocolVersion}, {"version", options.version}})));
}

void WorkerServer::State::pump(const std::shared_ptr<Connection>& connection) {
  if (connection->busy || connection->queue.empty() || connection->closed || stopping) return;
  connection->busy = true;
  Request request = std::move(connection->queue.front());
  connection->queue.pop_front();
  auto self = shared_from_this();
  asio::co_spawn(hooks, carry_out(self, std::move(request)), [self, connection](std::exception_ptr, Answer answer) {
    asio::post(self->ctx, [self, connection, answer = std::move(answer)]() mutable {
      connection->busy = false;
      if (!answer.text.empty()) self->send(connection, answer.text, answer.stop_after);
      self->pump(connection);
    });
  });
}

void WorkerServer::State::send(const std::shared_ptr<Connection>& connection, const std::string& answer,
                               bool stop_after) {
  if (connection->closed) return;
  Connection::Outgoing frame;
  write_frame(frame.frame, answer);
  frame.stop_after = stop_after;
  connection->out.push_back(std::move(frame));
  if (!connection->writing) write_next(connection);
}

void WorkerServer::State::write_next(const std::shared_ptr<Connection>& connection) {
  if (connection->out.empty()) {
    connection->writing = false;
    if (connection->close_after_writes) close(*connection);
    return;
  }
  connection->writing = true;
  auto self = shared_from_this();
  connection->stream.write(asio::buffer(connection->out.front().frame),
                           [self, connection](std::error_code ec, std::size_t) {
                             const bool stop_after = connection->out.front().stop_after;
                             connection->out.pop_front();
                             if (ec) {
                               connection->writing = false;
                               self->close(*connection);
                               return;
                             }
                             // The connection that asked stops serving once its answer is written.
                             if (stop_after) self->stop();
                             self->write_next(connection);
                           });
}

asio::awaitable<WorkerServer::State::Answer> WorkerServer::State::carry_out(std::shared_ptr<State> self,
                                                                            Request request) {
  Answer answer;
  std::optional<RpcFailure> failure;
  try {
    Json result = co_await self->dispatch(request);
    answer.stop_after = request.stop_after;
    if (!request.notification) answer.text = answer_text(request.id, std::move(result));
    co_return answer;
  } catch (const RpcFailure& f) {
    failure = f;
  } catch (const KeyError& e) {
    failure = RpcFailure{error_code::hook_failed, e.what(), e.kind()};
  } catch (const Error& e) {
    failure = RpcFailure{error_code::hook_failed, e.what(), e.kind()};
  } catch (const std::exception& e) {
    failure = RpcFailure{error_code::internal_error, e.what(), {}};
  }
  answer.text = error_text(request.id, *failure);
  co_return answer;
}

asio::awaitable<Json> WorkerServer::State::dispatch(Request& request) {
  auto& registry = ImplementationRegistry::instance();
  const std::string& method = request.method;
  const Json& params = request.params;
  if (method == "create_with_client") {
    const ManagerKind kind = manager_of(params);
    const Json* kwargs = nullptr;
    if (auto it = params.find("kwargs"); it != params.end() && it->is_object()) kwargs = &*it;
    const Json* env_init = nullptr;
    if (kwargs) {
      if (auto it = kwargs->find("env_init"); it != kwargs->end()) env_init = &*it;
    }
    if (!env_init) {
      if (auto it = params.find("args"); it != params.end() && it->is_array() && !it->empty()) env_init = &(*it)[0];
    }
    if (!env_init || !env_init->is_string())
      fail(error_code::invalid_params, "create_with_client: params.kwargs.env_init: expected a class name");
    const std::string cls = class_of_env_init(env_init->get<std::string>());
    std::shared_ptr<tavrin_inference::Object> object;
    try {
      if (kind == ManagerKind::perceptor) {
        object = registry.make_perceptor_impl(cls);
      } else {
        auto impl = registry.make_agent_impl(cls);
        const bool fits = kind == ManagerKind::agent ? std::dynamic_pointer_cast<AgentTeacher>(impl) != nullptr
                                                     : std::dynamic_pointer_cast<AgentController>(impl) != nullptr;
        if (!fits) {
          fail(error_code::invalid_params,
               "class '" + cls + "' is not an " + (kind == ManagerKind::agent ? "AgentTeacher" : "AgentController"),
               "TypeError");
        }
        object = std::move(impl);
      }
    } catch (const KeyError& e) {
      fail(error_code::unknown_class, e.what(), e.kind());
    }
    if (!object) fail(error_code::hook_failed, "class '" + cls + "' made no instance");
    std::string version = "latest";
    try {
      version = registry.version_of(cls);
    } catch (const Error&) {
    }
    std::string client;
    {
      std::lock_guard lock(instances_mutex);
      client = std::string(manager_kind_name(kind)) + "-" + token + "-" + std::to_string(next_client++);
      instances.emplace(client, Instance{kind, cls, std::move(object)});
      instance_count = instances.size();
    }
    logger.info("created {} {} for client {}", manager_kind_name(kind), cls, client);
    Json r = Json::object();
    r["client"] = client;
    r["class"] = cls;
    r["version"] = version;
    co_return r;
  }
  if (method == "stop_all") {
    const ManagerKind kind = manager_of(params);
    std::size_t stopped = 0;
    bool none_left = false;
    {
      // Released outside the lock: an implementation's destructor may take its time.
      std::vector<std::shared_ptr<tavrin_inference::Object>> released;
      std::lock_guard lock(instances_mutex);
      for (auto it = instances.begin(); it != instances.end();) {
        if (it->second.kind == kind) {
          released.push_back(std::move(it->second.object));
          it = instances.erase(it);
          ++stopped;
        } else {
          ++it;
        }
      }
      instance_count = instances.size();
      none_left = instances.empty();
    }
    logger.info("stopped {} {} instance(s)", stopped, manager_kind_name(kind));
    if (options.exit_when_stopped && none_left) request.stop_after = true;
    Json r = Json::object();
    r["stopped"] = stopped;
    co_return r;
  }
  if (method == "get_tavrin_version") {
    const auto args = decode_args(params, method, 1);
    try {
      co_return Json(registry.version_of(args[0].text_form()));
    } catch (const KeyError& e) {
      fail(error_code::unknown_class, e.what(), e.kind());
    }
  }
  co_return co_await call_hook(method, params);
}

asio::awaitable<Json> WorkerServer::State::call_hook(const std::string& method, const Json& params) {
  const auto client_it = params.find("client");
  static const char* const hooks[] = {
      "filtered_sensor_space", "reset",          "transform_sensors",        "compute_action_mask",
      "transform_action",      "compute_reward", "compute_success_criteria", "compute_termination",
      "compute_action",        "perceive"};
  bool known = false;
  for (const char* h : hooks) known = known || method == h;
  if (!known) fail(error_code::method_not_found, "unknown method '" + method + "'");
  if (client_it == params.end() || !client_it->is_string())
    fail(error_code::invalid_params, method + ": params.client: expected a client id");
  const std::string& client = client_it->get_ref<const std::string&>();
  std::optional<Instance> found;
  {
    std::lock_guard lock(instances_mutex);
    if (auto it = instances.find(client); it != instances.end()) found = it->second;
  }
  if (!found) fail(error_code::unknown_client, "unknown client '" + client + "'");
  // A copy keeps the instance alive across the await even if a stop_all on another connection drops it.
  const Instance instance = std::move(*found);
  if (auto m = params.find("manager");
      m != params.end() && m->is_string() && m->get_ref<const std::string&>() != manager_kind_name(instance.kind)) {
    fail(error_code::invalid_params, "client '" + client + "' belongs to the " + manager_kind_name(instance.kind) +
                                         " manager, not to '" + m->get<std::string>() + "'");
  }
  Value result;
  if (instance.kind == ManagerKind::perceptor) {
    auto p = std::static_pointer_cast<Perceptor>(instance.object);
    if (method == "perceive") {
      auto a = decode_args(params, method, 1);
      result = co_await p->perceive(a[0]);
    } else if (method == "reset") {
      decode_args(params, method, 0);
      co_await p->reset();
    } else {
      fail(error_code::method_not_found, method + " is not a hook of perceptor " + instance.cls);
    }
  } else {
    auto impl = std::static_pointer_cast<Implementation>(instance.object);
    if (method == "filtered_sensor_space") {
      decode_args(params, method, 0);
      result = co_await impl->filtered_sensor_space();
    } else if (method == "reset") {
      decode_args(params, method, 0);
      co_await impl->reset();
    } else if (instance.kind == ManagerKind::controller) {
      if (method != "compute_action")
        fail(error_code::method_not_found, method + " is not a hook of controller " + instance.cls);
      auto a = decode_args(params, method, 2);
      // Named, not a temporary: temporaries inside a co_await expression are not safe under GCC 12.
      const auto controller = std::static_pointer_cast<AgentController>(impl);
      result = co_await controller->compute_action(a[0], a[1]);
    } else {
      auto t = std::static_pointer_cast<AgentTeacher>(impl);
      if (method == "transform_sensors") {
        auto a = decode_args(params, method, 2);
        result = co_await t->transform_sensors(std::move(a[0]), std::move(a[1]));
      } else if (method == "compute_action_mask") {
        auto a = decode_args(params, method, 2);
        result = co_await t->compute_action_mask(a[0], a[1]);
      } else if (method == "transform_action") {
        auto a = decode_args(params, method, 2);
        result = co_await t->transform_action(a[0], std::move(a[1]));
      } else if (method == "compute_reward") {
        auto a = decode_args(params, method, 3);
        result = co_await t->compute_reward(a[0], std::move(a[1]), std::move(a[2]));
      } else if (method == "compute_success_criteria") {
        auto a = decode_args(params, method, 2);
        result = co_await t->compute_success_criteria(a[0], std::move(a[1]));
      } else if (method == "compute_termination") {
        auto a = decode_args(params, method, 2);
        result = co_await t->compute_termination(a[0], std::move(a[1]));
      } else {
        fail(error_code::method_not_found, method + " is not a hook of teacher " + instance.cls);
      }
    }
  }
  co_return encode_value(result);
}

}  // namespace tavrin_core::remote
