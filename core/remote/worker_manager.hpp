#pragma once
// Managers whose teachers, controllers and perceptors live in worker processes. Enabled by the
// "remote" field of the configuration map:
//
//   {"target": {"local": {"address": "127.0.0.1:1337"}, "gpu": {"address": "10.0.0.5:1337"}},
//    "remote": {"transport": "tcp", "target": "local", "classes": {"HeavyTeacher": "gpu"},
//               "connect_timeout_ms": 2000, "call_timeout_ms": 10000, "heartbeat_interval_ms": 1000}}
//
// "create_with_client" asks the worker that serves the class to make an instance and answers the
// pair (client id, proxy); the proxy's hooks are calls to that instance. "stop_all" releases every
// instance this manager made. Each manager keeps one connection per worker.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "core/remote/worker_client.hpp"
#include "core_api/implementations.hpp"
#include "core_api/network_mgr.hpp"

namespace tavrin_core::remote {

struct RemoteSettings {
  std::map<std::string, std::string> targets;  // target name -> "host:port"
  std::string default_address;                 // address of "remote.target" (default: "local", else the first)
  std::map<std::string, std::string> routes;   // class -> address
  RemoteOptions options;

  const std::string& address_for(const std::string& impl_cls) const;
  // None when the configuration asks for no networked transport (no "remote" field, or
  // "transport": "inproc"). InvalidArgumentError naming the field for bad values.
  static std::optional<RemoteSettings> from_config(const TrainerConfig& config);
};

// Class named by a create_with_client env_init: "inproc://C", "tcp://host:port/C" or "C".
std::string class_of_env_init(const std::string& env_init);

class WorkerManager : public RemoteManager {
 public:
  WorkerManager(ManagerKind kind, RemoteSettings settings);
  std::string describe() const override;
  ManagerMethod resolve(std::string_view method) override;

  ManagerKind kind() const { return kind_; }
  // "tcp://host:port/<class>": where the class is served.
  std::string url_of(const std::string& impl_cls) const;
  // Stops the heartbeat of every connection.
  void stop_heartbeats();

  struct State;

 private:
  ManagerKind kind_;
  std::shared_ptr<State> state_;
};

// What the three proxies share: the connection, the instance's client id on the worker, and how to
// make the instance again when the worker restarted.
class RemoteHandle {
 public:
  RemoteHandle(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client, ManagerKind kind,
               std::string impl_cls, std::string env_init, std::string version, std::string client_id);
  // Calls hook `method` of the instance with positional arguments.
  static asio::awaitable<Value> call(std::shared_ptr<RemoteHandle> self, const char* method, std::vector<Value> args);
  const std::string& client_id() const { return client_id_; }
  const std::string& impl_cls() const { return impl_cls_; }
  const std::shared_ptr<WorkerClient>& client() const { return client_; }

 private:
  std::shared_ptr<WorkerManager::State> state_;
  std::shared_ptr<WorkerClient> client_;
  ManagerKind kind_;
  std::string impl_cls_, env_init_, version_, client_id_;
  std::uint64_t epoch_;
};

class RemoteTeacher : public AgentTeacher {
 public:
  explicit RemoteTeacher(std::shared_ptr<RemoteHandle> handle) : handle_(std::move(handle)) {}
  std::string class_name() const override { return handle_->impl_cls(); }
  asio::awaitable<Value> filtered_sensor_space() override;
  asio::awaitable<void> reset() override;
  asio::awaitable<Value> transform_sensors(Value sensors, Value extra) override;
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& previous_action) override;
  asio::awaitable<Value> transform_action(const Value& sensors, Value action) override;
  asio::awaitable<Value> compute_reward(const Value& sensors, Value action, Value sim_reward) override;
  asio::awaitable<Value> compute_success_criteria(const Value& sensors, Value action) override;
  asio::awaitable<Value> compute_termination(const Value& sensors, Value action) override;
  const RemoteHandle& handle() const { return *handle_; }

 private:
  std::shared_ptr<RemoteHandle> handle_;
};

class RemoteController : public AgentController {
 public:
  explicit RemoteController(std::shared_ptr<RemoteHandle> handle) : handle_(std::move(handle)) {}
  std::string class_name() const override { return handle_->impl_cls(); }
  asio::awaitable<Value> filtered_sensor_space() override;
  asio::awaitable<void> reset() override;
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override;
  const RemoteHandle& handle() const { return *handle_; }

 private:
  std::shared_ptr<RemoteHandle> handle_;
};

class RemotePerceptor : public Perceptor {
 public:
  explicit RemotePerceptor(std::shared_ptr<RemoteHandle> handle) : handle_(std::move(handle)) {}
  std::string class_name() const override { return handle_->impl_cls(); }
  asio::awaitable<Value> perceive(const Value& sensors) override;
  asio::awaitable<void> reset() override;
  const RemoteHandle& handle() const { return *handle_; }

 private:
  std::shared_ptr<RemoteHandle> handle_;
};

}  // namespace tavrin_core::remote
