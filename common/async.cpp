#include "common/async.hpp"

#include <asio/detail/thread_context.hpp>

namespace tavrin_inference {

bool in_running_loop() noexcept {
  // Asio keeps a per-thread call stack of the execution contexts whose run loop is active.
  return asio::detail::thread_context::top_of_thread_call_stack() != nullptr;
}

}  // namespace tavrin_inference
