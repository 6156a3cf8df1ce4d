#include "core/remote/worker_manager.hpp"

#include <utility>
#include <vector>

#include "core/remote/manager_state.hpp"

namespace tavrin_core::remote {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

asio::awaitable<Json> create_instance(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client,
                                      std::string cls, std::string version) {
  Json params = Json::object();
  params["manager"] = manager_kind_name(state->kind);
  params["kwargs"]["env_init"] = cls;
  params["kwargs"]["version"] = version;
  state->mark_used(client->address());
  std::string what = std::string(manager_kind_name(state->kind)) + ".create_with_client (class " + cls + ")";
  Json made = co_await client->call("create_with_client", std::move(params), std::move(what));
  if (!made.is_object() || !made.contains("client") || !made["client"].is_string()) {
    throw RemoteError("worker " + client->address() + ": " + manager_kind_name(state->kind) +
                      ".create_with_client (class " + cls + ") answered no client id: " + made.dump());
  }
  co_return made;
}

namespace {

Value make_proxy(ManagerKind kind, std::shared_ptr<RemoteHandle> handle) {
  switch (kind) {
    case ManagerKind::agent: return Value(std::make_shared<RemoteTeacher>(std::move(handle)));
    case ManagerKind::controller: return Value(std::make_shared<RemoteController>(std::move(handle)));
    case ManagerKind::perceptor: return Value(std::make_shared<RemotePerceptor>(std::move(handle)));
    case ManagerKind::sim: break;
  }
  throw TypeError("the simulator manager makes no remote proxies");
}

const Value* argument(const CallArgs& call, const char* name, std::size_t position) {
  if (const Value* v = call.kwargs.find(name)) return v;
  return position < call.args.size() ? &call.args[position] : nullptr;
}

asio::awaitable<Value> create_with_client(std::shared_ptr<WorkerManager::State> state, CallArgs call) {
  const Value* env_init = argument(call, "env_init", 0);
  if (!env_init) throw TypeError("create_with_client() missing required argument: 'env_init'");
  const Value* version_arg = argument(call, "version", 1);
  const std::string env = env_init->text_form();
  const std::string cls = class_of_env_init(env);
  if (cls.empty()) throw InvalidArgumentError("create_with_client(): env_init '" + env + "' names no class");
  const std::string version = version_arg && !version_arg->is_none() ? version_arg->text_form() : "latest";
  auto client = state->client_for(env, cls, "create_with_client");
  Json made = co_await create_instance(state, client, cls, version);
  std::string client_id = made["client"].get<std::string>();
  auto handle = std::make_shared<RemoteHandle>(state, client, state->kind, cls, env, version, client_id);
  std::vector<Value> pair;
  pair.reserve(2);
  pair.emplace_back(std::move(client_id));
  pair.push_back(make_proxy(state->kind, std::move(handle)));
  co_return Value::tuple(std::move(pair));
}

asio::awaitable<Value> stop_all(std::shared_ptr<WorkerManager::State> state) {
  std::vector<std::shared_ptr<WorkerClient>> targets;
  {
    std::lock_guard lock(state->mutex);
    for (const auto& address : state->used) targets.push_back(state->clients.at(address));
    state->used.clear();
    state->epoch.fetch_add(1);
  }
  for (auto& client : targets) {
    Json params = Json::object();
    params["manager"] = manager_kind_name(state->kind);
    std::string what = std::string(manager_kind_name(state->kind)) + ".stop_all";
    try {
      co_await client->call("stop_all", std::move(params), std::move(what));
    } catch (const RemoteConnectError&) {
      // The worker is gone, and its instances with it: nothing is left to stop there.
    }
  }
  co_return Value();
}

asio::awaitable<Value> worker_version(std::shared_ptr<WorkerManager::State> state, CallArgs call) {
  const Value* cls_arg = argument(call, "impl_cls", 0);
  if (!cls_arg) throw TypeError("get_tavrin_version() missing required argument: 'impl_cls'");
  const std::string env = cls_arg->text_form();
  const std::string cls = class_of_env_init(env);
  auto client = state->client_for(env, cls, "get_tavrin_version");
  Json params = Json::object();
  params["manager"] = manager_kind_name(state->kind);
  params["args"] = Json::array();
  params["args"].push_back(cls);
  std::string what = std::string(manager_kind_name(state->kind)) + ".get_tavrin_version (class " + cls + ")";
  Json v = co_await client->call("get_tavrin_version", std::move(params), std::move(what));
  co_return decode_value(v, "get_tavrin_version result");
}

}  // namespace

WorkerManager::WorkerManager(ManagerKind kind, RemoteSettings settings)
    : kind_(kind), state_(std::make_shared<State>(kind, std::move(settings))) {}

std::string WorkerManager::describe() const {
  return std::string("remote ") + manager_kind_name(kind_) + " manager (worker " + state_->settings.default_address +
         ")";
}

std::string WorkerManager::url_of(const std::string& impl_cls) const { return state_->settings.url_of(impl_cls); }

void WorkerManager::stop_heartbeats() {
  std::lock_guard lock(state_->mutex);
  state_->heartbeats = false;
  for (auto& [_, client] : state_->clients) client->stop_heartbeat();
}

ManagerMethod WorkerManager::resolve(std::string_view method) {
  auto state = state_;
  if (method == "create_with_client") {
    return ManagerMethod{"create_with_client", ManagerMethod::Async([state](CallArgs call) {
                           return create_with_client(state, std::move(call));
                         })};
  }
  if (method == "stop_all") {
    return ManagerMethod{"stop_all", ManagerMethod::Async([state](const CallArgs&) { return stop_all(state); })};
  }
  if (method == "get_tavrin_version") {
    return ManagerMethod{"get_tavrin_version", ManagerMethod::Async([state](CallArgs call) {
                           return worker_version(state, std::move(call));
                         })};
  }
  if (method == "get_tavrin_url") {
    return ManagerMethod{"get_tavrin_url", ManagerMethod::Sync([state](const CallArgs& call) {
                           const Value* cls = argument(call, "impl_cls", 0);
                           if (!cls) throw TypeError("get_tavrin_url() missing required argument: 'impl_cls'");
                           return Value(state->settings.url_of(class_of_env_init(cls->text_form())));
                         })};
  }
  throw KeyError("'" + describe() + "' has no method '" + std::string(method) + "'");
}

}  // namespace tavrin_core::remote
