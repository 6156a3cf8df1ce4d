#include "core/remote/worker_server.hpp"

#include <unistd.h>

#include <chrono>
#include <list>
#include <map>
#include <random>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "core/remote/protocol.hpp"
#include "core/remote/worker_manager.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"

namespace tavrin_core::remote {

using tavrin_inference::Error;
using tavrin_inference::KeyError;
using tavrin_inference::Value;

namespace {

Logger& logger() {
  static Logger& instance = get_logger("tavrin_core.remote.worker");
  return instance;
}

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

}  // namespace

struct WorkerServer::State : std::enable_shared_from_this<WorkerServer::State> {
  State(asio::io_context& c, WorkerServerOptions o) : ctx(c), options(std::move(o)), acceptor(c) {}
  struct Instance {
    ManagerKind kind;
    std::string cls;
    std::shared_ptr<tavrin_inference::Object> object;
  };
  asio::io_context& ctx;
  WorkerServerOptions options;
  asio::ip::tcp::acceptor acceptor;
  std::map<std::string, Instance> instances;
  std::list<std::weak_ptr<asio::ip::tcp::socket>> sockets;
  std::string token;
  std::uint64_t next_client = 1;
  bool stopping = false;
  bool stop_requested = false;  // a stop_all left no instance (exit_when_stopped)

  // The serving coroutines are static and take the state as a parameter: a coroutine starts only
  // once the event loop runs it, and by then only what its frame owns is certain to be alive.
  static asio::awaitable<void> accept_loop(std::shared_ptr<State> self);
  static asio::awaitable<void> serve(std::shared_ptr<State> self, std::shared_ptr<asio::ip::tcp::socket> socket);
  asio::awaitable<std::string> handle(std::string_view payload);
  asio::awaitable<Json> dispatch(const std::string& method, const Json& params);
  asio::awaitable<Json> call_hook(const std::string& method, const Json& params);
  void stop();
};

WorkerServer::WorkerServer(asio::io_context& ctx, WorkerServerOptions options)
    : state_(std::make_shared<State>(ctx, std::move(options))) {
  auto& s = *state_;
  std::mt19937_64 rng(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      static_cast<std::uint64_t>(::getpid()));
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
  s.token.assign(buf, 8);  // client ids of this run never match those of an earlier one
  try {
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(s.options.host), s.options.port);
    s.acceptor.open(endpoint.protocol());
    s.acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    s.acceptor.bind(endpoint);
    s.acceptor.listen();
  } catch (const std::exception& e) {
    throw tavrin_inference::RuntimeError("worker cannot listen on " + s.options.host + ":" +
                                         std::to_string(s.options.port) + ": " + e.what());
  }
}

WorkerServer::~WorkerServer() { state_->stop(); }

std::uint16_t WorkerServer::port() const {
  asio::error_code ec;
  auto endpoint = state_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

std::string WorkerServer::address() const { return state_->options.host + ":" + std::to_string(port()); }

std::size_t WorkerServer::live_clients() const { return state_->instances.size(); }

void WorkerServer::start() { asio::co_spawn(state_->ctx, State::accept_loop(state_), asio::detached); }

void WorkerServer::stop() { state_->stop(); }

asio::awaitable<std::string> WorkerServer::handle(std::string payload) {
  auto state = state_;
  co_return co_await state->handle(payload);
}

void WorkerServer::State::stop() {
  if (stopping) return;
  stopping = true;
  asio::error_code ignored;
  acceptor.close(ignored);
  for (auto& weak : sockets) {
    if (auto socket = weak.lock()) socket->close(ignored);
  }
  sockets.clear();
  instances.clear();
  if (options.on_stopped) options.on_stopped();
}

asio::awaitable<void> WorkerServer::State::accept_loop(std::shared_ptr<State> self) {
  while (!self->stopping) {
    auto socket = std::make_shared<asio::ip::tcp::socket>(self->ctx);
    asio::error_code ec;
    try {
      co_await self->acceptor.async_accept(*socket, asio::use_awaitable);
    } catch (const std::system_error& e) {
      ec = e.code();
    }
    if (ec) {
      if (self->stopping || ec == asio::error::operation_aborted) co_return;
      // A failed accept (e.g. out of descriptors) must not end the worker; wait a little so that
      // a lasting failure does not spin.
      asio::steady_timer pause(self->ctx, std::chrono::milliseconds(50));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    socket->set_option(asio::ip::tcp::no_delay(true), ec);
    self->sockets.remove_if([](const auto& w) { return w.expired(); });
    self->sockets.push_back(socket);
    asio::co_spawn(self->ctx, serve(self, socket), asio::detached);
  }
}

asio::awaitable<void> WorkerServer::State::serve(std::shared_ptr<State> self,
                                                 std::shared_ptr<asio::ip::tcp::socket> socket) {
  std::array<unsigned char, kFrameHeaderSize> header{};
  std::string payload;
  std::string out;
  try {
    for (;;) {
      co_await asio::async_read(*socket, asio::buffer(header), asio::use_awaitable);
      const std::uint32_t size = frame_size(header.data());
      if (size > kMaxFrameSize) {
        // The rest of the stream cannot be framed again: answer, then drop the connection.
        write_frame(out, error_text(Json(nullptr),
                                    RpcFailure{error_code::invalid_request,
                                               "frame of " + std::to_string(size) + " bytes exceeds the limit of " +
                                                   std::to_string(kMaxFrameSize) + " bytes",
                                               {}}));
        co_await asio::async_write(*socket, asio::buffer(out), asio::use_awaitable);
        break;
      }
      payload.resize(size);
      if (size > 0) co_await asio::async_read(*socket, asio::buffer(payload), asio::use_awaitable);
      std::string answer = co_await self->handle(payload);
      if (!answer.empty()) {
        write_frame(out, answer);
        co_await asio::async_write(*socket, asio::buffer(out), asio::use_awaitable);
      }
      if (self->stop_requested) self->stop();
      if (self->stopping) break;
    }
  } catch (const std::exception&) {
    // The client went away or the connection broke: this connection ends, the worker goes on.
  }
  asio::error_code ignored;
  socket->close(ignored);
}

asio::awaitable<std::string> WorkerServer::State::handle(std::string_view payload) {
  Json id = nullptr;
  std::optional<RpcFailure> failure;
  try {
    Json request;
    try {
      request = Json::parse(payload);
    } catch (const Json::exception& e) {
      fail(error_code::parse_error, std::string("malformed JSON: ") + e.what());
    }
    if (!request.is_object()) fail(error_code::invalid_request, "a request must be a JSON object");
    bool notification = true;
    if (auto it = request.find("id"); it != request.end()) {
      notification = false;
      if (it->is_number_integer() || it->is_string() || it->is_null())
        id = *it;
      else
        fail(error_code::invalid_request, "id: expected a number, a string or null");
    }
    if (auto it = request.find("jsonrpc"); it == request.end() || *it != "2.0")
      fail(error_code::invalid_request, "jsonrpc: expected \"2.0\"");
    const auto method_it = request.find("method");
    if (method_it == request.end() || !method_it->is_string())
      fail(error_code::invalid_request, "method: expected a text");
    static const Json empty = Json::object();
    const Json* params = &empty;
    if (auto it = request.find("params"); it != request.end() && !it->is_null()) {
      if (!it->is_object()) fail(error_code::invalid_request, "params: expected an object");
      params = &*it;
    }
    const std::string method = method_it->get<std::string>();
    if (logger().enabled(LogLevel::debug)) logger().debug("request " + method);
    Json result = co_await dispatch(method, *params);
    if (notification) co_return std::string();
    co_return answer_text(id, std::move(result));
  } catch (const RpcFailure& f) {
    failure = f;
  } catch (const KeyError& e) {
    failure = RpcFailure{error_code::hook_failed, e.what(), e.kind()};
  } catch (const Error& e) {
    failure = RpcFailure{error_code::hook_failed, e.what(), e.kind()};
  } catch (const std::exception& e) {
    failure = RpcFailure{error_code::internal_error, e.what(), {}};
  }
  co_return error_text(id, *failure);
}

asio::awaitable<Json> WorkerServer::State::dispatch(const std::string& method, const Json& params) {
  auto& registry = ImplementationRegistry::instance();
  if (method == "ping") {
    Json r = Json::object();
    r["clients"] = instances.size();
    r["version"] = options.version;
    co_return r;
  }
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
    const std::string client = std::string(manager_kind_name(kind)) + "-" + token + "-" + std::to_string(next_client++);
    instances.emplace(client, Instance{kind, cls, std::move(object)});
    logger().info("created " + std::string(manager_kind_name(kind)) + " " + cls + " for client " + client);
    Json r = Json::object();
    r["client"] = client;
    r["class"] = cls;
    r["version"] = version;
    co_return r;
  }
  if (method == "stop_all") {
    const ManagerKind kind = manager_of(params);
    std::size_t stopped = 0;
    for (auto it = instances.begin(); it != instances.end();) {
      if (it->second.kind == kind) {
        it = instances.erase(it);
        ++stopped;
      } else {
        ++it;
      }
    }
    logger().info("stopped " + std::to_string(stopped) + " " + manager_kind_name(kind) + " instance(s)");
    // The connection that asked stops serving once its answer is written.
    if (options.exit_when_stopped && instances.empty()) stop_requested = true;
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
  const auto found = instances.find(client);
  if (found == instances.end()) fail(error_code::unknown_client, "unknown client '" + client + "'");
  // Keep the instance alive across the await even if a stop_all on another connection drops it.
  const Instance instance = found->second;
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
