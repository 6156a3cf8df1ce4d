#include "common/async.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace tavrin_inference;
using namespace std::chrono_literals;

namespace {

asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

asio::awaitable<int> delayed(int value, std::chrono::milliseconds d, std::vector<int>& finish_order) {
  co_await sleep_for(d);
  finish_order.push_back(value);
  co_return value;
}

asio::awaitable<int> failing_after(std::chrono::milliseconds d, std::vector<int>& finish_order) {
  co_await sleep_for(d);
  finish_order.push_back(-1);
  throw RuntimeError("boom");
}

asio::awaitable<void> count_after(std::chrono::milliseconds d, int& counter) {
  co_await sleep_for(d);
  ++counter;
}

}  // namespace

TEST(WhenAll, ResultsComeInCallOrderWhateverTheFinishOrder) {
  std::vector<int> finished;
  auto results = run_sync([&]() -> asio::awaitable<std::vector<int>> {
    std::vector<asio::awaitable<int>> ops;
    ops.push_back(delayed(0, 30ms, finished));
    ops.push_back(delayed(1, 20ms, finished));
    ops.push_back(delayed(2, 1ms, finished));
    co_return co_await when_all(std::move(ops));
  }());
  EXPECT_EQ(results, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(finished, (std::vector<int>{2, 1, 0}));  // they really ran concurrently
}

TEST(WhenAll, AFailureSurfacesAfterEveryOperationRanToItsEnd) {
  std::vector<int> finished;
  EXPECT_THROW(run_sync([&]() -> asio::awaitable<std::vector<int>> {
                 std::vector<asio::awaitable<int>> ops;
                 ops.push_back(failing_after(1ms, finished));
                 ops.push_back(delayed(1, 20ms, finished));
                 co_return co_await when_all(std::move(ops));
               }()),
               RuntimeError);
  EXPECT_EQ(finished, (std::vector<int>{-1, 1}));
}

TEST(WhenAll, EmptyAndVoidForms) {
  auto empty = run_sync([]() -> asio::awaitable<std::vector<int>> {
    co_return co_await when_all(std::vector<asio::awaitable<int>>{});
  }());
  EXPECT_TRUE(empty.empty());
  int done = 0;
  run_sync([&]() -> asio::awaitable<void> {
    std::vector<asio::awaitable<void>> ops;
    ops.reserve(3);
    for (int i = 0; i < 3; ++i) ops.push_back(count_after(1ms, done));
    co_await when_all(std::move(ops));
  }());
  EXPECT_EQ(done, 3);
}

TEST(RunSync, IsRefusedFromInsideARunningLoop) {
  std::string message;
  run_sync([&]() -> asio::awaitable<void> {
    EXPECT_TRUE(in_running_loop());
    try {
      run_sync([]() -> asio::awaitable<int> { co_return 1; }(), "execute()");
    } catch (const RuntimeError& e) {
      message = e.what();
    }
    co_return;
  }());
  EXPECT_EQ(message, "execute() cannot be called from a running event loop");
  EXPECT_FALSE(in_running_loop());
}
