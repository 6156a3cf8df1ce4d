#pragma once
// The network manager: how processors reach the managers of the simulator and of remote agents,
// perceptors and controllers. Each manager call resolves a method of that manager by name and hands
// it, with its arguments, to the overridable dispatch hook `_call_method`.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/value.hpp"
#include "core_api/trainer_config.hpp"

namespace tavrin_core {

using tavrin_inference::Map;
using tavrin_inference::Value;

struct CallArgs {
  std::vector<Value> args;  // positional
  Map kwargs;               // named, in order
};

// A resolved manager method: synchronous (returns its value) or asynchronous (returns a pending
// call that runs only when awaited). A resolved method is usually a temporary, so the pending call
// of an asynchronous one must not refer back to the function object (no coroutine lambda with
// captures: forward the captures to a coroutine function as parameters).
struct ManagerMethod {
  using Sync = std::function<Value(CallArgs)>;
  using Async = std::function<asio::awaitable<Value>(CallArgs)>;
  std::string name;
  std::variant<Sync, Async> fn;
  bool is_async() const { return fn.index() == 1; }
};

// What a dispatch returns: a plain value, or a pending call the caller awaits.
class CallResult {
 public:
  CallResult(Value value) : data_(std::move(value)) {}
  CallResult(asio::awaitable<Value> pending) : data_(std::move(pending)) {}
  bool is_awaitable() const { return data_.index() == 1; }
  Value take_value();                       // TypeError when it is a pending call
  asio::awaitable<Value> take_awaitable();  // TypeError when it is a plain value

 private:
  std::variant<Value, asio::awaitable<Value>> data_;
};

// Awaits a pending call, or yields a plain value unchanged.
asio::awaitable<Value> await_result(CallResult result);

// A manager the network manager talks to (in this process, or a client of a remote one).
class RemoteManager {
 public:
  virtual ~RemoteManager() = default;
  virtual std::string describe() const = 0;
  // The method of that name; KeyError naming manager and method when it has none.
  virtual ManagerMethod resolve(std::string_view method) = 0;
};
using RemoteManagerPtr = std::shared_ptr<RemoteManager>;

enum class ManagerKind { sim, agent, perceptor, controller };
const char* manager_kind_name(ManagerKind kind);  // "simulator", "agent", "perceptor", "controller"

// In-process manager: "create_with_client" (named env_init, version) makes a fresh instance of the
// implementation registered under the class named by env_init, answering (client id, instance);
// "stop_all" drops every instance it made. Both are asynchronous.
class InProcessManager : public RemoteManager {
 public:
  explicit InProcessManager(ManagerKind kind);
  std::string describe() const override;
  ManagerMethod resolve(std::string_view method) override;
  std::size_t live_clients() const;

 private:
  struct State;
  static asio::awaitable<Value> create_with_client(std::shared_ptr<State> state, ManagerKind kind, CallArgs call);
  static asio::awaitable<Value> stop_clients(std::shared_ptr<State> state);
  ManagerKind kind_;
  std::shared_ptr<State> state_;
};

class NetworkMgr : public std::enable_shared_from_this<NetworkMgr> {
 public:
  explicit NetworkMgr(TrainerConfig config);
  virtual ~NetworkMgr() = default;

  const TrainerConfig& config() const { return config_; }

  CallResult call_sim_mgr(std::string_view method, CallArgs args = {});
  CallResult call_remote_agent_mgr(std::string_view method, CallArgs args = {});
  CallResult call_remote_perceptor_mgr(std::string_view method, CallArgs args = {});
  CallResult call_remote_controller_mgr(std::string_view method, CallArgs args = {});

  // Stops every manager (simulator, agents, perceptors, controllers). The base runs each stop to
  // completion itself and returns none.
  virtual CallResult stop_all();
  virtual void stop_watchdogs();

  // Replaces the manager of a kind (the defaults are in-process managers).
  void set_manager(ManagerKind kind, RemoteManagerPtr manager);
  const RemoteManagerPtr& manager(ManagerKind kind) const;

  // Dispatch hook. The base calls synchronous methods and runs asynchronous ones to completion on a
  // fresh event loop (refused from inside a running loop).
  virtual CallResult _call_method(const ManagerMethod& attr, CallArgs args);

 private:
  CallResult call(ManagerKind kind, std::string_view method, CallArgs args);
  TrainerConfig config_;
  RemoteManagerPtr managers_[4];
};
using NetworkMgrPtr = std::shared_ptr<NetworkMgr>;

}  // namespace tavrin_core
