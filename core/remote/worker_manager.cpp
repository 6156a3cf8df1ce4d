#include "core/remote/worker_manager.hpp"

#include <atomic>
#include <cmath>

#include "common/errors.hpp"

namespace tavrin_core::remote {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

namespace {

constexpr std::string_view kInproc = "inproc://";
constexpr std::string_view kTcp = "tcp://";

std::chrono::milliseconds millis(const Map& remote, const char* field, std::chrono::milliseconds fallback,
                                 bool zero_allowed) {
  const Value* v = remote.find(field);
  if (!v || v->is_none()) return fallback;
  if (!v->is_number() || v->is_bool() || !std::isfinite(v->as_double()) || v->as_double() < 0 ||
      (!zero_allowed && v->as_double() == 0)) {
    throw InvalidArgumentError(std::string("configuration: remote.") + field + ": expected a " +
                               (zero_allowed ? "non-negative" : "positive") + " number of milliseconds, got " +
                               v->str());
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(v->as_double()));
}

// Address named in "tcp://host:port/Class", or empty.
std::string address_of_env_init(const std::string& env_init) {
  if (env_init.rfind(kTcp, 0) != 0) return {};
  const auto slash = env_init.find('/', kTcp.size());
  return env_init.substr(kTcp.size(), slash == std::string::npos ? std::string::npos : slash - kTcp.size());
}

}  // namespace

std::string class_of_env_init(const std::string& env_init) {
  if (env_init.rfind(kInproc, 0) == 0) return env_init.substr(kInproc.size());
  if (env_init.rfind(kTcp, 0) == 0) {
    const auto slash = env_init.find('/', kTcp.size());
    return slash == std::string::npos ? std::string() : env_init.substr(slash + 1);
  }
  return env_init;
}

const std::string& RemoteSettings::address_for(const std::string& impl_cls) const {
  auto it = routes.find(impl_cls);
  return it != routes.end() ? it->second : default_address;
}

std::optional<RemoteSettings> RemoteSettings::from_config(const TrainerConfig& config) {
  const Value& remote_value = config.get("remote");
  if (remote_value.is_none()) return std::nullopt;
  if (!remote_value.is_map())
    throw InvalidArgumentError("configuration: remote: expected a map, got " + remote_value.str());
  const Map& remote = remote_value.as_map();
  static const char* const known[] = {"transport",          "target",          "classes",
                                      "connect_timeout_ms", "call_timeout_ms", "heartbeat_interval_ms"};
  for (const auto& [key, _] : remote) {
    bool ok = false;
    for (const char* k : known) ok = ok || key == k;
    if (!ok) throw InvalidArgumentError("configuration: remote." + key + ": unknown field");
  }
  if (const Value* t = remote.find("transport")) {
    if (!t->is_text() || (t->as_text() != "tcp" && t->as_text() != "inproc"))
      throw InvalidArgumentError("configuration: remote.transport: expected 'tcp' or 'inproc', got " + t->str());
    if (t->as_text() == "inproc") return std::nullopt;
  }
  RemoteSettings s;
  const Value& targets = config.target();
  if (!targets.is_map() || targets.as_map().empty())
    throw InvalidArgumentError("configuration: target: the remote transport needs at least one target with an address");
  std::string first;
  for (const auto& [name, entry] : targets.as_map()) {
    const Value* address = entry.is_map() ? entry.as_map().find("address") : nullptr;
    if (!address || !address->is_text() || address->as_text().empty())
      throw InvalidArgumentError("configuration: target." + name + ".address: expected 'host:port'");
    const auto& a = address->as_text();
    const auto colon = a.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == a.size())
      throw InvalidArgumentError(std::string("configuration: target.")
                                     .append(name)
                                     .append(".address: '")
                                     .append(a)
                                     .append("' is not of the form host:port"));
    s.targets.emplace(name, a);
    if (first.empty()) first = name;
  }
  std::string chosen = s.targets.contains("local") ? "local" : first;
  if (const Value* t = remote.find("target")) {
    if (!t->is_text() || !s.targets.contains(t->as_text()))
      throw InvalidArgumentError("configuration: remote.target: " + t->str() + " is not one of the targets");
    chosen = t->as_text();
  }
  s.default_address = s.targets.at(chosen);
  if (const Value* classes = remote.find("classes")) {
    if (!classes->is_map())
      throw InvalidArgumentError("configuration: remote.classes: expected a map of class to target");
    for (const auto& [cls, target] : classes->as_map()) {
      if (!target.is_text() || !s.targets.contains(target.as_text()))
        throw InvalidArgumentError("configuration: remote.classes." + cls + ": " + target.str() +
                                   " is not one of the targets");
      s.routes.emplace(cls, s.targets.at(target.as_text()));
    }
  }
  s.options.connect_timeout = millis(remote, "connect_timeout_ms", s.options.connect_timeout, false);
  s.options.call_timeout = millis(remote, "call_timeout_ms", s.options.call_timeout, false);
  s.options.heartbeat_interval = millis(remote, "heartbeat_interval_ms", s.options.heartbeat_interval, true);
  return s;
}

// ---- manager ----

struct WorkerManager::State {
  State(ManagerKind k, RemoteSettings s) : kind(k), settings(std::move(s)) {}
  ManagerKind kind;
  RemoteSettings settings;
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<WorkerClient>> clients;
  std::set<std::string> used;  // workers holding instances made since the last stop_all
  std::atomic<std::uint64_t> epoch{0};
  bool heartbeats = true;

  std::shared_ptr<WorkerClient> client_for(const std::string& address) {
    std::lock_guard lock(mutex);
    auto& client = clients[address];
    if (!client) {
      client = WorkerClient::create(address, settings.options);
      if (!heartbeats) client->stop_heartbeat();
    }
    return client;
  }
  void mark_used(const std::string& address) {
    std::lock_guard lock(mutex);
    used.insert(address);
  }
};

namespace {

const char* wire_name(ManagerKind kind) { return manager_kind_name(kind); }

// Makes an instance of `cls` on the worker; yields the answer {"client", "class", "version"}.
asio::awaitable<Json> create_instance(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client,
                                      std::string cls, std::string version) {
  Json params = Json::object();
  params["manager"] = wire_name(state->kind);
  params["kwargs"]["env_init"] = cls;
  params["kwargs"]["version"] = version;
  state->mark_used(client->address());
  std::string what = std::string(wire_name(state->kind)) + ".create_with_client (class " + cls + ")";
  Json made = co_await client->call("create_with_client", std::move(params), std::move(what));
  if (!made.is_object() || !made.contains("client") || !made["client"].is_string()) {
    throw RemoteError("worker " + client->address() + ": " + wire_name(state->kind) + ".create_with_client (class " +
                      cls + ") answered no client id: " + made.dump());
  }
  co_return made;
}

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
  std::string address = address_of_env_init(env);
  if (address.empty()) address = state->settings.address_for(cls);
  auto client = state->client_for(address);
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
    params["manager"] = wire_name(state->kind);
    std::string what = std::string(wire_name(state->kind)) + ".stop_all";
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
  std::string address = address_of_env_init(env);
  if (address.empty()) address = state->settings.address_for(cls);
  auto client = state->client_for(address);
  Json params = Json::object();
  params["manager"] = wire_name(state->kind);
  params["args"] = Json::array();
  params["args"].push_back(cls);
  std::string what = std::string(wire_name(state->kind)) + ".get_tavrin_version (class " + cls + ")";
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

std::string WorkerManager::url_of(const std::string& impl_cls) const {
  return std::string(kTcp) + state_->settings.address_for(impl_cls) + "/" + impl_cls;
}

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
                           const std::string name = class_of_env_init(cls->text_form());
                           return Value(std::string(kTcp) + state->settings.address_for(name) + "/" + name);
                         })};
  }
  throw KeyError("'" + describe() + "' has no method '" + std::string(method) + "'");
}

// ---- proxies ----

RemoteHandle::RemoteHandle(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client,
                           ManagerKind kind, std::string impl_cls, std::string env_init, std::string version,
                           std::string client_id)
    : state_(std::move(state)),
      client_(std::move(client)),
      kind_(kind),
      impl_cls_(std::move(impl_cls)),
      env_init_(std::move(env_init)),
      version_(std::move(version)),
      client_id_(std::move(client_id)),
      epoch_(state_->epoch.load()) {}

asio::awaitable<Value> RemoteHandle::call(std::shared_ptr<RemoteHandle> self, const char* method,
                                          std::vector<Value> args) {
  RemoteHandle& h = *self;
  const char* manager = wire_name(h.kind_);
  if (h.state_->epoch.load() != h.epoch_) {
    throw RemoteError("worker " + h.client_->address() + ": " + manager + "." + method + " (client " + h.client_id_ +
                      ", class " + h.impl_cls_ + "): the instance was stopped by stop_all");
  }
  for (int attempt = 0;; ++attempt) {
    Json params = Json::object();
    params["manager"] = manager;
    params["client"] = h.client_id_;
    Json& encoded = params["args"] = Json::array();
    encoded.get_ref<Json::array_t&>().reserve(args.size());
    for (const auto& a : args) encoded.push_back(encode_value(a));
    std::string what = std::string(manager) + "." + method + " (client " + h.client_id_ + ")";
    bool lost_instance = false;
    try {
      Json result = co_await h.client_->call(method, std::move(params), std::move(what));
      co_return decode_value(result, std::string(method) + " result");
    } catch (const RemoteError& e) {
      if (e.code() != error_code::unknown_client || attempt > 0) throw;
      lost_instance = true;
    }
    if (lost_instance) {
      // The worker no longer knows the instance (it restarted): make it again, then retry once.
      Json made = co_await create_instance(h.state_, h.client_, h.impl_cls_, h.version_);
      h.client_id_ = made["client"].get<std::string>();
    }
  }
}

namespace {

template <class... V>
std::vector<Value> hook_args(V&&... values) {
  std::vector<Value> out;
  out.reserve(sizeof...(V));
  (out.push_back(std::forward<V>(values)), ...);
  return out;
}

asio::awaitable<void> call_void(std::shared_ptr<RemoteHandle> handle, const char* method) {
  co_await RemoteHandle::call(std::move(handle), method, std::vector<Value>());
}

}  // namespace

asio::awaitable<Value> RemoteTeacher::filtered_sensor_space() {
  return RemoteHandle::call(handle_, "filtered_sensor_space", {});
}
asio::awaitable<void> RemoteTeacher::reset() { return call_void(handle_, "reset"); }
asio::awaitable<Value> RemoteTeacher::transform_sensors(Value sensors, Value extra) {
  return RemoteHandle::call(handle_, "transform_sensors", hook_args(std::move(sensors), std::move(extra)));
}
asio::awaitable<Value> RemoteTeacher::compute_action_mask(const Value& sensors, const Value& previous_action) {
  return RemoteHandle::call(handle_, "compute_action_mask", hook_args(sensors, previous_action));
}
asio::awaitable<Value> RemoteTeacher::transform_action(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "transform_action", hook_args(sensors, std::move(action)));
}
asio::awaitable<Value> RemoteTeacher::compute_reward(const Value& sensors, Value action, Value sim_reward) {
  return RemoteHandle::call(handle_, "compute_reward", hook_args(sensors, std::move(action), std::move(sim_reward)));
}
asio::awaitable<Value> RemoteTeacher::compute_success_criteria(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "compute_success_criteria", hook_args(sensors, std::move(action)));
}
asio::awaitable<Value> RemoteTeacher::compute_termination(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "compute_termination", hook_args(sensors, std::move(action)));
}

asio::awaitable<Value> RemoteController::filtered_sensor_space() {
  return RemoteHandle::call(handle_, "filtered_sensor_space", {});
}
asio::awaitable<void> RemoteController::reset() { return call_void(handle_, "reset"); }
asio::awaitable<Value> RemoteController::compute_action(const Value& sensors, const Value& previous_action) {
  return RemoteHandle::call(handle_, "compute_action", hook_args(sensors, previous_action));
}

asio::awaitable<Value> RemotePerceptor::perceive(const Value& sensors) {
  return RemoteHandle::call(handle_, "perceive", hook_args(sensors));
}
asio::awaitable<void> RemotePerceptor::reset() { return call_void(handle_, "reset"); }

}  // namespace tavrin_core::remote
