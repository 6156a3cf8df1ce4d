// The request handlers of the serving end: making and releasing instances, and calling their hooks,
// on the hooks' thread; and the JSON-RPC texts of requests and answers.
#include <optional>
#include <vector>

#include "core/remote/protocol.hpp"
#include "core/remote/server_state.hpp"
#include "core/remote/worker_manager.hpp"
#include "core_api/implementations.hpp"

namespace tavrin_core::remote {

using tavrin_inference::Error;
using tavrin_inference::KeyError;
using tavrin_inference::Value;

namespace server_detail {

[[noreturn]] void fail(int code, std::string message, std::string kind) {
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

}  // namespace server_detail

using namespace server_detail;

namespace {

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
