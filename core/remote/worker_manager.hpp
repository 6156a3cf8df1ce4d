#pragma once
// Managers whose teachers, controllers and perceptors live in worker processes. Enabled by the
// "remote" field of the configuration map:
//
//   {"target": {"local": {"address": "127.0.0.1:1337"}, "gpu": {"address": "tls://10.0.0.5:1337"}},
//    "remote": {"transport": "tcp", "target": "local", "classes": {"HeavyTeacher": "gpu"},
//               "connect_timeout_ms": 2000, "call_timeout_ms": 10000, "heartbeat_interval_ms": 1000,
//               "tls": {"ca": "ca.pem", "cert": "host.pem", "key": "host.key"}}}
//
// With "remote.tls" (or a target's own "tls") the connections to workers use TLS: the worker's
// certificate is checked against the CA and the worker's name, and the host's own is presented.
// "create_with_client" asks the worker that serves the class to make an instance and answers the
// pair (client id, proxy); the proxy's hooks are calls to that instance. "stop_all" releases every
// instance this manager made. Each manager keeps one connection per worker.
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/remote/remote_settings.hpp"
#include "core/remote/worker_client.hpp"
#include "core_api/implementations.hpp"
#include "core_api/network_mgr.hpp"

namespace tavrin_core::remote {

class WorkerManager : public RemoteManager {
 public:
  WorkerManager(ManagerKind kind, RemoteSettings settings);
  std::string describe() const override;
  ManagerMethod resolve(std::string_view method) override;

  ManagerKind kind() const { return kind_; }
  // "tcp://host:port/<class>" ("tls://" with TLS): where the class is served.
  std::string url_of(const std::string& impl_cls) const;
  // Stops the heartbeat of every connection.
  void stop_heartbeats();

  struct State;

 private:
  ManagerKind kind_;
  std::shared_ptr<State> state_;
};

// What the three proxies share: the connection, the instance's client id on the worker, and how to
// make the instance again when the worker restarted. Hooks may be called from several threads at
// once: the client id is read and replaced under a lock, and the calls that find the instance gone
// together wait for one new instance.
class RemoteHandle {
 public:
  RemoteHandle(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client, ManagerKind kind,
               std::string impl_cls, std::string env_init, std::string version, std::string client_id);
  // Calls hook `method` of the instance with positional arguments.
  static asio::awaitable<Value> call(std::shared_ptr<RemoteHandle> self, const char* method, std::vector<Value> args);
  // Calls hook `method`, which takes no argument and answers nothing (reset).
  static asio::awaitable<void> call_void(std::shared_ptr<RemoteHandle> self, const char* method);
  std::string client_id() const;
  const std::string& impl_cls() const { return impl_cls_; }
  const std::shared_ptr<WorkerClient>& client() const { return client_; }

  struct Renewal;

 private:
  // The id to retry with after `stale` was answered unknown: a new instance's, made once however
  // many calls ask.
  static asio::awaitable<std::string> renew(std::shared_ptr<RemoteHandle> self, std::string stale);

  std::shared_ptr<WorkerManager::State> state_;
  std::shared_ptr<WorkerClient> client_;
  ManagerKind kind_;
  std::string impl_cls_, env_init_, version_;
  std::uint64_t epoch_;
  mutable std::mutex mutex_;
  std::string client_id_;             // guarded by mutex_
  std::shared_ptr<Renewal> renewal_;  // guarded by mutex_: the new instance being made, if any
};

// A proxy of one instance on a worker, standing in for an implementation of `Base`: its hooks are
// calls to that instance through the handle.
template <class Base>
class RemoteProxy : public Base {
 public:
  explicit RemoteProxy(std::shared_ptr<RemoteHandle> handle) : handle_(std::move(handle)) {}
  std::string class_name() const override { return handle_->impl_cls(); }
  asio::awaitable<void> reset() override { return RemoteHandle::call_void(handle_, "reset"); }
  const RemoteHandle& handle() const { return *handle_; }

 protected:
  std::shared_ptr<RemoteHandle> handle_;
};

class RemoteTeacher : public RemoteProxy<AgentTeacher> {
 public:
  using RemoteProxy::RemoteProxy;
  asio::awaitable<Value> filtered_sensor_space() override;
  asio::awaitable<Value> transform_sensors(Value sensors, Value extra) override;
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& previous_action) override;
  asio::awaitable<Value> transform_action(const Value& sensors, Value action) override;
  asio::awaitable<Value> compute_reward(const Value& sensors, Value action, Value sim_reward) override;
  asio::awaitable<Value> compute_success_criteria(const Value& sensors, Value action) override;
  asio::awaitable<Value> compute_termination(const Value& sensors, Value action) override;
};

class RemoteController : public RemoteProxy<AgentController> {
 public:
  using RemoteProxy::RemoteProxy;
  asio::awaitable<Value> filtered_sensor_space() override;
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override;
};

class RemotePerceptor : public RemoteProxy<Perceptor> {
 public:
  using RemoteProxy::RemoteProxy;
  asio::awaitable<Value> perceive(const Value& sensors) override;
};

}  // namespace tavrin_core::remote
