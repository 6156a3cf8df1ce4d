#include "core_api/network_mgr.hpp"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core/remote/worker_manager.hpp"
#include "core_api/implementations.hpp"

namespace tavrin_core {

using tavrin_inference::KeyError;
using tavrin_inference::RuntimeError;
using tavrin_inference::TypeError;

Value CallResult::take_value() {
  if (is_awaitable()) throw TypeError("expected a plain value, got a pending call");
  return std::move(std::get<Value>(data_));
}

asio::awaitable<Value> CallResult::take_awaitable() {
  if (!is_awaitable())
    throw TypeError("object of type '" + std::string(std::get<Value>(data_).kind_name()) +
                    "' can't be used in 'await' expression");
  return std::move(std::get<asio::awaitable<Value>>(data_));
}

asio::awaitable<Value> await_result(CallResult result) {
  if (result.is_awaitable()) co_return co_await result.take_awaitable();
  co_return result.take_value();
}

const char* manager_kind_name(ManagerKind kind) {
  switch (kind) {
    case ManagerKind::sim: return "simulator";
    case ManagerKind::agent: return "agent";
    case ManagerKind::perceptor: return "perceptor";
    case ManagerKind::controller: return "controller";
  }
  return "?";
}

// ---- InProcessManager ----

struct InProcessManager::State {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<Object>> clients;
  std::uint64_t next_client = 1;
};

InProcessManager::InProcessManager(ManagerKind kind) : kind_(kind), state_(std::make_shared<State>()) {}

std::string InProcessManager::describe() const {
  return std::string("in-process ") + manager_kind_name(kind_) + " manager";
}

std::size_t InProcessManager::live_clients() const {
  std::lock_guard lock(state_->mutex);
  return state_->clients.size();
}

namespace {

// "inproc://Class" -> "Class"; anything else is taken as the class name itself.
std::string class_from_env_init(const Value& env_init) {
  std::string text = env_init.text_form();
  constexpr std::string_view scheme = "inproc://";
  if (text.rfind(scheme, 0) == 0) text.erase(0, scheme.size());
  return text;
}

}  // namespace

// The pending calls below are plain coroutines taking their state as parameters: a resolved
// method is a temporary, so the awaitable it returns must not refer back to the function object.
asio::awaitable<Value> InProcessManager::create_with_client(std::shared_ptr<State> state, ManagerKind kind,
                                                            CallArgs call) {
  const Value* env_init = call.kwargs.find("env_init");
  if (!env_init && !call.args.empty()) env_init = &call.args[0];
  if (!env_init) throw TypeError("create_with_client() missing required argument: 'env_init'");
  const std::string cls = class_from_env_init(*env_init);
  auto& registry = ImplementationRegistry::instance();
  std::shared_ptr<Object> instance;
  if (kind == ManagerKind::perceptor) {
    instance = registry.make_perceptor_impl(cls);
  } else {
    instance = registry.make_agent_impl(cls);
  }
  std::string client_id;
  {
    std::lock_guard lock(state->mutex);
    client_id = std::string(manager_kind_name(kind)) + "-" + std::to_string(state->next_client++);
    state->clients.emplace(client_id, instance);
  }
  co_return Value::tuple({Value(client_id), Value(instance)});
}

asio::awaitable<Value> InProcessManager::stop_clients(std::shared_ptr<State> state) {
  std::lock_guard lock(state->mutex);
  state->clients.clear();
  co_return Value();
}

ManagerMethod InProcessManager::resolve(std::string_view method) {
  auto state = state_;
  const ManagerKind kind = kind_;
  if (method == "create_with_client") {
    return ManagerMethod{"create_with_client", ManagerMethod::Async([state, kind](CallArgs call) {
                           return create_with_client(state, kind, std::move(call));
                         })};
  }
  if (method == "stop_all") {
    return ManagerMethod{"stop_all", ManagerMethod::Async([state](const CallArgs&) { return stop_clients(state); })};
  }
  throw KeyError("'" + describe() + "' has no method '" + std::string(method) + "'");
}

// ---- NetworkMgr ----

NetworkMgr::NetworkMgr(TrainerConfig config) : config_(std::move(config)) {
  for (auto kind : {ManagerKind::sim, ManagerKind::agent, ManagerKind::perceptor, ManagerKind::controller})
    managers_[static_cast<int>(kind)] = std::make_shared<InProcessManager>(kind);
  // With a "remote" field, remote agents, perceptors and controllers are served by worker
  // processes at the configured targets; the simulator manager stays in this process.
  if (auto settings = remote::RemoteSettings::from_config(config_)) {
    for (auto kind : {ManagerKind::agent, ManagerKind::perceptor, ManagerKind::controller})
      managers_[static_cast<int>(kind)] = std::make_shared<remote::WorkerManager>(kind, *settings);
  }
}

void NetworkMgr::set_manager(ManagerKind kind, RemoteManagerPtr manager) {
  managers_[static_cast<int>(kind)] = std::move(manager);
}

const RemoteManagerPtr& NetworkMgr::manager(ManagerKind kind) const { return managers_[static_cast<int>(kind)]; }

CallResult NetworkMgr::call(ManagerKind kind, std::string_view method, CallArgs args) {
  const auto& mgr = manager(kind);
  if (!mgr) throw RuntimeError(std::string("No ") + manager_kind_name(kind) + " manager is configured");
  ManagerMethod attr = mgr->resolve(method);
  return _call_method(attr, std::move(args));
}

CallResult NetworkMgr::call_sim_mgr(std::string_view method, CallArgs args) {
  return call(ManagerKind::sim, method, std::move(args));
}
CallResult NetworkMgr::call_remote_agent_mgr(std::string_view method, CallArgs args) {
  return call(ManagerKind::agent, method, std::move(args));
}
CallResult NetworkMgr::call_remote_perceptor_mgr(std::string_view method, CallArgs args) {
  return call(ManagerKind::perceptor, method, std::move(args));
}
CallResult NetworkMgr::call_remote_controller_mgr(std::string_view method, CallArgs args) {
  return call(ManagerKind::controller, method, std::move(args));
}

CallResult NetworkMgr::_call_method(const ManagerMethod& attr, CallArgs args) {
  if (attr.is_async()) {
    // Synchronous callers: run the pending call to completion here.
    return CallResult(
        tavrin_inference::run_sync(std::get<ManagerMethod::Async>(attr.fn)(std::move(args)), attr.name.c_str()));
  }
  return CallResult(std::get<ManagerMethod::Sync>(attr.fn)(std::move(args)));
}

CallResult NetworkMgr::stop_all() {
  for (auto kind : {ManagerKind::sim, ManagerKind::agent, ManagerKind::perceptor, ManagerKind::controller}) {
    CallResult r = call(kind, "stop_all", {});
    if (r.is_awaitable()) tavrin_inference::run_sync(r.take_awaitable(), "stop_all()");
  }
  return CallResult(Value());
}

void NetworkMgr::stop_watchdogs() {
  for (const auto& mgr : managers_) {
    if (auto worker = std::dynamic_pointer_cast<remote::WorkerManager>(mgr)) worker->stop_heartbeats();
  }
}

}  // namespace tavrin_core
