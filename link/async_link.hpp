#pragma once
// The host's default network manager. Every caller in the runtime runs on an event loop, so instead
// of running manager calls to completion itself (as the base manager does), AsyncLink hands the
// pending call back and the caller awaits it on its own loop.
//
// Use: construct it with a TrainerConfig, then await the results of the manager calls, for example
//   co_await await_result(link.call_remote_perceptor_mgr("create_with_client", args));
#include "core_api/network_mgr.hpp"

namespace tavrin_inference {

class AsyncLink : public tavrin_core::NetworkMgr {
 public:
  using tavrin_core::NetworkMgr::NetworkMgr;

  // Returns pending calls for asynchronous methods without starting them; callers must await them.
  // Synchronous methods are called at once and their value returned.
  tavrin_core::CallResult _call_method(const tavrin_core::ManagerMethod& attr, tavrin_core::CallArgs args) override;

  // Stops all managers (simulator, agents, perceptors, controllers, in that order), awaiting each
  // asynchronous stop directly. Returns a pending call.
  tavrin_core::CallResult stop_all() override;

 private:
  asio::awaitable<tavrin_core::Value> stop_all_in_order();
};

}  // namespace tavrin_inference
