#include "core/remote/worker_manager.hpp"

#include <atomic>
#include <cmath>
#include <functional>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "common/errors.hpp"

namespace tavrin_core::remote {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

namespace {

constexpr std::string_view kInproc = "inproc://";
constexpr std::string_view kTcp = "tcp://";
constexpr std::string_view kTls = "tls://";

bool starts_with(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

// The scheme of a networked env_init ("tcp://" or "tls://"), or empty.
std::string_view scheme_of(const std::string& env_init) {
  if (starts_with(env_init, kTcp)) return kTcp;
  if (starts_with(env_init, kTls)) return kTls;
  return {};
}

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

// Address named in "tcp://host:port/Class" or "tls://host:port/Class", or empty.
std::string address_of_env_init(const std::string& env_init) {
  const std::string_view scheme = scheme_of(env_init);
  if (scheme.empty()) return {};
  const auto slash = env_init.find('/', scheme.size());
  return env_init.substr(scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
}

bool is_host_port(const std::string& address) {
  const auto colon = address.rfind(':');
  return colon != std::string::npos && colon != 0 && colon + 1 != address.size();
}

// "remote.tls" or "target.<name>.tls": {"ca", "cert", "key", "server_name"}, loaded at once so that
// a file that cannot be used is reported with the configuration.
std::shared_ptr<TlsContext> tls_from(const Value& value, const std::string& where) {
  if (!value.is_map())
    throw InvalidArgumentError("configuration: " + where + ": expected a map with 'ca' (and 'cert', 'key', " +
                               "'server_name'), got " + value.str());
  TlsClientFiles files;
  const auto bad = [&where](const std::string& key, const std::string& what) {
    return InvalidArgumentError("configuration: " + where + "." + key + ": " + what);
  };
  for (const auto& [key, field] : value.as_map()) {
    std::string* into = key == "ca"            ? &files.ca
                        : key == "cert"        ? &files.cert
                        : key == "key"         ? &files.key
                        : key == "server_name" ? &files.server_name
                                               : nullptr;
    if (!into) throw bad(key, "unknown field");
    if (!field.is_text() || field.as_text().empty()) throw bad(key, "expected a non-empty text, got " + field.str());
    *into = field.as_text();
  }
  if (files.ca.empty())
    throw InvalidArgumentError("configuration: " + where +
                               ".ca: missing: the CA that signed the workers' certificates is needed");
  return load_client_tls(files, "configuration: " + where);
}

// One entry of "target": its "host:port" and its own TLS settings, if any.
std::pair<std::string, std::shared_ptr<TlsContext>> target_from(const std::string& name, const Value& entry,
                                                                bool global_tls) {
  const std::string field = "target." + name;
  const Value* address = entry.is_map() ? entry.as_map().find("address") : nullptr;
  if (!address || !address->is_text() || address->as_text().empty())
    throw InvalidArgumentError("configuration: " + field + ".address: expected 'host:port' or 'tls://host:port'");
  const std::string& text = address->as_text();
  const bool wants_tls = starts_with(text, kTls);
  std::string host_port = wants_tls ? text.substr(kTls.size()) : text;
  if (!is_host_port(host_port))
    throw InvalidArgumentError("configuration: " + field + ".address: '" + text + "' is not of the form host:port");
  std::shared_ptr<TlsContext> own;
  if (const Value* tls = entry.as_map().find("tls"); tls && !tls->is_none()) own = tls_from(*tls, field + ".tls");
  if (wants_tls && !own && !global_tls) {
    throw InvalidArgumentError("configuration: " + field + ".address: '" + text + "' asks for TLS, but neither " +
                               field + ".tls nor remote.tls is given");
  }
  return {std::move(host_port), std::move(own)};
}

std::string same_address_message(const std::string& name, const std::string& other) {
  return "configuration: target." + name + ".tls: target." + other +
         " has the same address; one address has one TLS setting";
}

// Handed, under `mutex`, to every call that waits for one renewal of a proxy's instance.
struct Waiters {
  std::mutex mutex;
  bool done = false;
  std::string id;
  std::exception_ptr error;
  std::vector<std::function<void()>> resume;
};

}  // namespace

struct RemoteHandle::Renewal : Waiters {};

std::string class_of_env_init(const std::string& env_init) {
  if (starts_with(env_init, kInproc)) return env_init.substr(kInproc.size());
  const std::string_view scheme = scheme_of(env_init);
  if (!scheme.empty()) {
    const auto slash = env_init.find('/', scheme.size());
    return slash == std::string::npos ? std::string() : env_init.substr(slash + 1);
  }
  return env_init;
}

const std::string& RemoteSettings::address_for(const std::string& impl_cls) const {
  auto it = routes.find(impl_cls);
  return it != routes.end() ? it->second : default_address;
}

std::shared_ptr<TlsContext> RemoteSettings::tls_for(const std::string& address) const {
  auto it = target_tls.find(address);
  return it != target_tls.end() ? it->second : tls;
}

std::string RemoteSettings::url_of(const std::string& impl_cls) const {
  const std::string& address = address_for(impl_cls);
  return std::string(tls_for(address) ? kTls : kTcp) + address + "/" + impl_cls;
}

std::optional<RemoteSettings> RemoteSettings::from_config(const TrainerConfig& config) {
  const Value& remote_value = config.get("remote");
  if (remote_value.is_none()) return std::nullopt;
  if (!remote_value.is_map())
    throw InvalidArgumentError("configuration: remote: expected a map, got " + remote_value.str());
  const Map& remote = remote_value.as_map();
  static const char* const known[] = {
      "transport", "target", "classes", "connect_timeout_ms", "call_timeout_ms", "heartbeat_interval_ms", "tls"};
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
  if (const Value* tls = remote.find("tls"); tls && !tls->is_none()) s.tls = tls_from(*tls, "remote.tls");
  const Value& targets = config.target();
  if (!targets.is_map() || targets.as_map().empty())
    throw InvalidArgumentError("configuration: target: the remote transport needs at least one target with an address");
  std::string first;
  std::map<std::string, std::string> target_of_address;
  for (const auto& [name, entry] : targets.as_map()) {
    auto [address, own] = target_from(name, entry, s.tls != nullptr);
    if (auto [it, fresh] = target_of_address.emplace(address, name);
        !fresh && (own || s.target_tls.contains(address))) {
      throw InvalidArgumentError(same_address_message(name, it->second));
    }
    if (own) s.target_tls.emplace(address, std::move(own));
    s.targets.emplace(name, std::move(address));
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
      RemoteOptions options = settings.options;
      options.tls = settings.tls_for(address);
      client = WorkerClient::create(address, std::move(options));
      if (!heartbeats) client->stop_heartbeat();
    }
    return client;
  }
  // The worker an env_init names ("tcp://host:port/C", "tls://host:port/C"), else the one the
  // configuration routes the class to.
  std::shared_ptr<WorkerClient> client_for(const std::string& env_init, const std::string& cls, const char* method) {
    std::string address = address_of_env_init(env_init);
    if (address.empty()) return client_for(settings.address_for(cls));
    if (scheme_of(env_init) == kTls && !settings.tls_for(address)) {
      throw InvalidArgumentError(std::string(method) + "(): '" + env_init + "' asks for TLS, but the configuration " +
                                 "has no TLS settings for " + address + " (remote.tls)");
    }
    return client_for(address);
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
  auto client = state->client_for(env, cls, "get_tavrin_version");
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
      epoch_(state_->epoch.load()),
      client_id_(std::move(client_id)) {}

std::string RemoteHandle::client_id() const {
  std::lock_guard lock(mutex_);
  return client_id_;
}

namespace {

// Waits, on the caller's own executor, for the renewal another call is making.
asio::awaitable<std::string> await_renewal(std::shared_ptr<RemoteHandle::Renewal> renewal) {
  auto initiation = [renewal](auto handler) {
    auto ex = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work_t::tracked);
    auto h = std::make_shared<decltype(handler)>(std::move(handler));
    auto resume = [ex, h, renewal] { asio::post(ex, [h, renewal] { std::move (*h)(renewal->error, renewal->id); }); };
    std::unique_lock lock(renewal->mutex);
    if (!renewal->done) {
      renewal->resume.push_back(std::move(resume));
      return;
    }
    lock.unlock();
    resume();
  };
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, std::string)>(
      std::move(initiation), asio::use_awaitable);
}

void complete_renewal(RemoteHandle::Renewal& renewal, std::string id, std::exception_ptr error) {
  std::vector<std::function<void()>> resume;
  {
    std::lock_guard lock(renewal.mutex);
    renewal.done = true;
    renewal.id = std::move(id);
    renewal.error = std::move(error);
    resume.swap(renewal.resume);
  }
  for (auto& r : resume) r();
}

}  // namespace

asio::awaitable<std::string> RemoteHandle::renew(std::shared_ptr<RemoteHandle> self, std::string stale) {
  RemoteHandle& h = *self;
  std::shared_ptr<Renewal> renewal;
  bool mine = false;
  {
    std::lock_guard lock(h.mutex_);
    if (h.client_id_ != stale) co_return h.client_id_;  // another call has made the new instance already
    if (!h.renewal_) {
      h.renewal_ = std::make_shared<Renewal>();
      mine = true;
    }
    renewal = h.renewal_;
  }
  if (!mine) co_return co_await await_renewal(std::move(renewal));
  std::string id;
  std::exception_ptr error;
  try {
    Json made = co_await create_instance(h.state_, h.client_, h.impl_cls_, h.version_);
    id = made["client"].get<std::string>();
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard lock(h.mutex_);
    if (!error) h.client_id_ = id;
    h.renewal_.reset();
  }
  complete_renewal(*renewal, id, error);
  if (error) std::rethrow_exception(error);
  co_return id;
}

asio::awaitable<Value> RemoteHandle::call(std::shared_ptr<RemoteHandle> self, const char* method,
                                          std::vector<Value> args) {
  RemoteHandle& h = *self;
  const char* manager = wire_name(h.kind_);
  std::string client_id = h.client_id();
  if (h.state_->epoch.load() != h.epoch_) {
    throw RemoteError("worker " + h.client_->address() + ": " + manager + "." + method + " (client " + client_id +
                      ", class " + h.impl_cls_ + "): the instance was stopped by stop_all");
  }
  for (int attempt = 0;; ++attempt) {
    Json params = Json::object();
    params["manager"] = manager;
    params["client"] = client_id;
    Json& encoded = params["args"] = Json::array();
    encoded.get_ref<Json::array_t&>().reserve(args.size());
    for (const auto& a : args) encoded.push_back(encode_value(a));
    std::string what = std::string(manager) + "." + method + " (client " + client_id + ")";
    bool lost_instance = false;
    try {
      Json result = co_await h.client_->call(method, std::move(params), std::move(what));
      co_return decode_value(result, std::string(method) + " result");
    } catch (const RemoteError& e) {
      if (e.code() != error_code::unknown_client || attempt > 0) throw;
      lost_instance = true;
    }
    // The worker no longer knows the instance (it restarted): make it again, then retry once.
    if (lost_instance) client_id = co_await renew(self, client_id);
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
