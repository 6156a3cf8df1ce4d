#include "link/async_link.hpp"

#include "common/errors.hpp"

namespace tavrin_inference {

using tavrin_core::CallArgs;
using tavrin_core::CallResult;
using tavrin_core::ManagerMethod;

CallResult AsyncLink::_call_method(const ManagerMethod& attr, CallArgs args) {
  if (attr.is_async()) return CallResult(std::get<ManagerMethod::Async>(attr.fn)(std::move(args)));
  return CallResult(std::get<ManagerMethod::Sync>(attr.fn)(std::move(args)));
}

CallResult AsyncLink::stop_all() { return CallResult(stop_all_in_order()); }

asio::awaitable<tavrin_core::Value> AsyncLink::stop_all_in_order() {
  co_await call_sim_mgr("stop_all").take_awaitable();
  co_await call_remote_agent_mgr("stop_all").take_awaitable();
  co_await call_remote_perceptor_mgr("stop_all").take_awaitable();
  co_await call_remote_controller_mgr("stop_all").take_awaitable();
  co_return tavrin_core::Value();
}

}  // namespace tavrin_inference
