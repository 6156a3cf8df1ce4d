#pragma once
// Asynchronous helpers on Asio coroutines: awaiting several operations together (results in call
// order) and running one operation to completion on a fresh event loop.
#include <cstddef>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/errors.hpp"

namespace tavrin_inference {

// True while the calling thread is inside the run loop of any Asio execution context.
bool in_running_loop() noexcept;

namespace detail {

template <class T>
struct WhenAllState {
  explicit WhenAllState(const asio::any_io_executor& ex, std::size_t n)
      : timer(ex, asio::steady_timer::time_point::max()), pending(n) {
    if constexpr (!std::is_void_v<T>) results.resize(n);
  }
  asio::steady_timer timer;
  std::size_t pending;
  std::exception_ptr first_error;
  struct Empty {};
  std::vector<std::conditional_t<std::is_void_v<T>, Empty, std::optional<T>>> results;

  void finished(std::exception_ptr error) {
    if (error && !first_error) first_error = error;
    if (--pending == 0) timer.cancel();
  }
};

}  // namespace detail

// Awaits every operation concurrently on the current executor. All of them run to their end, even
// when one fails; then the first failure (in completion order) is raised, else the results are
// returned in the order of `operations`.
template <class T>
asio::awaitable<std::vector<T>> when_all(std::vector<asio::awaitable<T>> operations) {
  auto ex = co_await asio::this_coro::executor;
  auto state = std::make_shared<detail::WhenAllState<T>>(ex, operations.size());
  for (std::size_t i = 0; i < operations.size(); ++i) {
    asio::co_spawn(ex, std::move(operations[i]), [state, i](std::exception_ptr e, T result) {
      if (!e) state->results[i].emplace(std::move(result));
      state->finished(e);
    });
  }
  if (state->pending > 0) {
    asio::error_code ignored;
    co_await state->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  if (state->first_error) std::rethrow_exception(state->first_error);
  std::vector<T> out;
  out.reserve(state->results.size());
  for (auto& r : state->results) out.push_back(std::move(*r));
  co_return out;
}

inline asio::awaitable<void> when_all(std::vector<asio::awaitable<void>> operations) {
  auto ex = co_await asio::this_coro::executor;
  auto state = std::make_shared<detail::WhenAllState<void>>(ex, operations.size());
  for (auto& op : operations) {
    asio::co_spawn(ex, std::move(op), [state](std::exception_ptr e) { state->finished(e); });
  }
  if (state->pending > 0) {
    asio::error_code ignored;
    co_await state->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  if (state->first_error) std::rethrow_exception(state->first_error);
}

// Runs `operation` to completion on a new io_context and returns its result. Refused with a
// RuntimeError when called from inside a running event loop, where it would block that loop.
template <class T>
T run_sync(asio::awaitable<T> operation, const char* what = "run_sync()") {
  if (in_running_loop()) throw RuntimeError(std::string(what) + " cannot be called from a running event loop");
  asio::io_context ctx;
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(ctx, std::move(operation), [&](std::exception_ptr e) { error = e; });
    ctx.run();
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> result;
    asio::co_spawn(ctx, std::move(operation), [&](std::exception_ptr e, T r) {
      error = e;
      if (!e) result.emplace(std::move(r));
    });
    ctx.run();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace tavrin_inference
