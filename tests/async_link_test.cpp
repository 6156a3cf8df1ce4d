// The host's network manager: pending calls, ordering and failures of stop_all, and the base
// manager's synchronous dispatch for comparison.
#include "link/async_link.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/implementations.hpp"

using namespace tavrin_inference;
using tavrin_core::CallArgs;
using tavrin_core::CallResult;
using tavrin_core::ManagerKind;
using tavrin_core::ManagerMethod;
using tavrin_core::RemoteManager;
using tavrin_core::TrainerConfig;

namespace {

// A manager that records which methods ran, with a synchronous "echo" and an asynchronous "add".
class RecordingManager : public RemoteManager {
 public:
  RecordingManager(std::string name, std::vector<std::string>& log, bool fail_stop = false, bool plain_stop = false)
      : name_(std::move(name)), log_(log), fail_stop_(fail_stop), plain_stop_(plain_stop) {}

  std::string describe() const override { return name_; }

  ManagerMethod resolve(std::string_view method) override {
    if (method == "echo") {
      return {"echo", ManagerMethod::Sync([this](CallArgs a) {
                log_.push_back(name_ + ".echo");
                return Value::tuple(
                    {a.args.empty() ? Value() : a.args[0], a.kwargs.contains("k") ? a.kwargs.at("k") : Value()});
              })};
    }
    if (method == "add") {
      return {"add", ManagerMethod::Async([this](CallArgs a) { return add(this, std::move(a)); })};
    }
    if (method == "stop_all") {
      if (plain_stop_)
        return {"stop_all", ManagerMethod::Sync([this](const CallArgs&) {
                  log_.push_back(name_ + ".stop_all");
                  return Value();
                })};
      return {"stop_all", ManagerMethod::Async([this](CallArgs a) { return stop(this, std::move(a)); })};
    }
    throw KeyError(std::string(method));
  }

 private:
  static asio::awaitable<Value> add(RecordingManager* self, CallArgs a) {
    self->log_.push_back(self->name_ + ".add");
    co_return Value(a.args.at(0).as_int() + a.kwargs.at("b").as_int());
  }
  static asio::awaitable<Value> stop(RecordingManager* self, CallArgs a) {
    EXPECT_TRUE(a.args.empty());
    EXPECT_TRUE(a.kwargs.empty());
    self->log_.push_back(self->name_ + ".stop_all");
    if (self->fail_stop_) throw RuntimeError(self->name_ + " refused to stop");
    co_return Value();
  }

  std::string name_;
  std::vector<std::string>& log_;
  bool fail_stop_;
  bool plain_stop_;
};

struct Fixture : ::testing::Test {
  std::vector<std::string> log;
  std::shared_ptr<AsyncLink> link = std::make_shared<AsyncLink>(TrainerConfig());
  void install(bool agent_fails = false, bool perceptor_plain = false) {
    link->set_manager(ManagerKind::sim, std::make_shared<RecordingManager>("sim", log));
    link->set_manager(ManagerKind::agent, std::make_shared<RecordingManager>("agent", log, agent_fails));
    link->set_manager(ManagerKind::perceptor,
                      std::make_shared<RecordingManager>("perceptor", log, false, perceptor_plain));
    link->set_manager(ManagerKind::controller, std::make_shared<RecordingManager>("controller", log));
  }
};

asio::awaitable<Value> await_on_loop(AsyncLink& link, CallArgs args) {
  EXPECT_TRUE(in_running_loop());
  co_return co_await tavrin_core::await_result(link.call_remote_controller_mgr("add", std::move(args)));
}

}  // namespace

using AsyncLinkTest = Fixture;

TEST_F(AsyncLinkTest, AsynchronousTargetsComeBackPendingAndRunOnlyWhenAwaited) {
  install();
  CallResult pending = link->call_remote_agent_mgr("add", CallArgs{{Value(2)}, Map{{"b", 3}}});
  EXPECT_TRUE(pending.is_awaitable());
  EXPECT_TRUE(log.empty());  // the body has not run
  const Value sum = run_sync(pending.take_awaitable());
  EXPECT_EQ(sum.as_int(), 5);
  EXPECT_EQ(log, (std::vector<std::string>{"agent.add"}));

  { CallResult never = link->call_remote_agent_mgr("add", CallArgs{{Value(1)}, Map{{"b", 1}}}); }
  EXPECT_EQ(log.size(), 1u);  // dropped without being awaited: never ran
}

TEST_F(AsyncLinkTest, SynchronousTargetsRunAtOnceWithTheirArguments) {
  install();
  CallResult r = link->call_sim_mgr("echo", CallArgs{{Value("x")}, Map{{"k", 7}}});
  ASSERT_FALSE(r.is_awaitable());
  EXPECT_EQ(log, (std::vector<std::string>{"sim.echo"}));
  EXPECT_EQ(r.take_value(), Value::tuple({Value("x"), Value(7)}));
}

TEST_F(AsyncLinkTest, AwaitingInsideARunningLoopNeedsNoSecondLoop) {
  install();
  CallArgs args;
  args.args.push_back(Value(40));
  args.kwargs.set("b", 2);
  const Value v = run_sync(await_on_loop(*link, std::move(args)));
  EXPECT_EQ(v.as_int(), 42);
}

TEST_F(AsyncLinkTest, StopAllAsksEveryManagerInOrder) {
  install();
  CallResult r = link->stop_all();
  ASSERT_TRUE(r.is_awaitable());
  EXPECT_TRUE(log.empty());
  run_sync(r.take_awaitable());
  EXPECT_EQ(log,
            (std::vector<std::string>{"sim.stop_all", "agent.stop_all", "perceptor.stop_all", "controller.stop_all"}));
}

TEST_F(AsyncLinkTest, AFailingStopLeavesTheLaterManagersRunning) {
  install(/*agent_fails=*/true);
  try {
    run_sync(link->stop_all().take_awaitable());
    FAIL() << "stop_all should fail";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "agent refused to stop");
  }
  EXPECT_EQ(log, (std::vector<std::string>{"sim.stop_all", "agent.stop_all"}));
}

TEST_F(AsyncLinkTest, APlainStopResultIsATypeError) {
  install(false, /*perceptor_plain=*/true);
  EXPECT_THROW(run_sync(link->stop_all().take_awaitable()), TypeError);
  EXPECT_EQ(log.back(), "perceptor.stop_all");
  EXPECT_EQ(log.size(), 3u);
}

TEST(NetworkMgrBase, RunsAsynchronousMethodsToCompletionForSynchronousCallers) {
  std::vector<std::string> log;
  tavrin_core::NetworkMgr base{TrainerConfig()};
  base.set_manager(ManagerKind::agent, std::make_shared<RecordingManager>("agent", log));
  CallResult r = base.call_remote_agent_mgr("add", CallArgs{{Value(1)}, Map{{"b", 2}}});
  ASSERT_FALSE(r.is_awaitable());
  EXPECT_EQ(r.take_value().as_int(), 3);
  // ...which is exactly what conflicts with a loop that is already running.
  EXPECT_THROW(run_sync([&]() -> asio::awaitable<void> {
                 base.call_remote_agent_mgr("add", CallArgs{{Value(1)}, Map{{"b", 2}}});
                 co_return;
               }()),
               RuntimeError);
}

TEST(NetworkMgrBase, UnknownMethodsNameTheManager) {
  auto link = std::make_shared<AsyncLink>(TrainerConfig());
  try {
    link->call_remote_perceptor_mgr("no_such_method");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_NE(std::string(e.what()).find("in-process perceptor manager"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("no_such_method"), std::string::npos);
  }
}
