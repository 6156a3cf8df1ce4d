// PolicyHost's states, messages and shutdown, through the real network link and core library.
#include "host/policy_host.hpp"

#include <gtest/gtest.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "link/async_link.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

using namespace tavrin_inference;

namespace {

const std::string kMinimal = tavrin_test::test_data_dir() + "/host/minimal.json";
const char* kHostLogger = "tavrin_inference.policy_host";

// A manager whose stop_all answers a plain value and which records the watchdog stop.
class PlainStopManager : public tavrin_core::NetworkMgr {
 public:
  PlainStopManager() : NetworkMgr(tavrin_core::TrainerConfig()) {}
  tavrin_core::CallResult stop_all() override {
    ++stops;
    return tavrin_core::CallResult(Value("stopped"));
  }
  void stop_watchdogs() override { ++watchdog_stops; }
  int stops = 0;
  int watchdog_stops = 0;
};

class QuietTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "HostTestTeacher"; }
};

}  // namespace

TEST(PolicyHostConstruction, DefaultsToOneLocalTargetAndAnAsyncLink) {
  PolicyHost host;
  const Map& fields = host.config.fields();
  ASSERT_EQ(fields.size(), 1u);
  const Value& target = host.config.target();
  ASSERT_TRUE(target.is_map());
  ASSERT_EQ(target.as_map().size(), 1u);
  const std::string address = target["local"]["address"].as_text();
  EXPECT_EQ(address.substr(address.rfind(':')), ":1337");
  auto link = std::dynamic_pointer_cast<AsyncLink>(host.network_mgr);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->config().fields(), fields);
  EXPECT_EQ(host.orchestration, nullptr);
  EXPECT_EQ(host.agent_processor, nullptr);
}

TEST(PolicyHostConstruction, AGivenMapIsUsedUnchanged) {
  PolicyHost empty{Value(Map{})};
  EXPECT_TRUE(empty.config.fields().empty());
  EXPECT_TRUE(empty.config.target().is_none());

  PolicyHost custom{Value(Map{{"target", Value(Map{{"lab", Value(Map{{"address", "10.0.0.5:9000"}})}})}, {"seed", 3}})};
  EXPECT_EQ(custom.config.get("seed").as_int(), 3);
  EXPECT_FALSE(custom.config.target().as_map().contains("local"));
}

TEST(PolicyHostConstruction, AGivenNetworkManagerIsUsedAsIs) {
  auto mgr = std::make_shared<PlainStopManager>();
  PolicyHost host{Value(), mgr};
  EXPECT_EQ(host.network_mgr, mgr);
}

TEST(PolicyHostConstruction, ConfigOfAnotherKindIsATypeErrorNamingIt) {
  try {
    PolicyHost host{Value::list({1, 2})};
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("config"), std::string::npos);
  }
  EXPECT_THROW(PolicyHost{Value("local")}, TypeError);
}

TEST(PolicyHostLifecycle, LoadsFromAPathAndLogsTheId) {
  tavrin_test::LogCapture logs;
  PolicyHost host;
  run_sync(host.load_orchestration(kMinimal));
  ASSERT_NE(host.orchestration, nullptr);
  EXPECT_TRUE(host.orchestration->is_initialized());
  EXPECT_EQ(host.orchestration->id(), "host-minimal");
  EXPECT_EQ(logs.messages("info", kHostLogger), (std::vector<std::string>{"Loaded orchestration: host-minimal"}));
}

TEST(PolicyHostLifecycle, ALoadFailurePropagatesUnchanged) {
  PolicyHost host;
  EXPECT_THROW(run_sync(host.load_orchestration(tavrin_test::test_data_dir() + "/host/does-not-exist.json")),
               FileNotFoundError);
  EXPECT_EQ(host.orchestration, nullptr);
}

TEST(PolicyHostLifecycle, PackageWithoutAnyOrchestrationFails) {
  PolicyHost host;
  try {
    run_sync(host.package());
    FAIL();
  } catch (const InvalidArgumentError& e) {
    EXPECT_STREQ(e.what(), "No orchestration provided and no orchestration loaded");
  }
  EXPECT_EQ(host.agent_processor, nullptr);
}

TEST(PolicyHostLifecycle, ExecuteBeforePackageFails) {
  PolicyHost host;
  run_sync(host.load_orchestration(kMinimal));
  try {
    run_sync(host.execute(Value(Map{{"level", 3.0}})));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "No agent processor available. Call package() first.");
  }
}

TEST(PolicyHostShutdown, APlainStopResultIsNotAwaitedAndWatchdogsStillStop) {
  tavrin_test::LogCapture logs;
  auto mgr = std::make_shared<PlainStopManager>();
  PolicyHost host{Value(), mgr};
  run_sync(host.close());
  EXPECT_EQ(mgr->stops, 1);
  EXPECT_EQ(mgr->watchdog_stops, 1);
  EXPECT_EQ(logs.count("info", "Inference engine closed"), 1u);
}

TEST(PolicyHostShutdown, ClosingStopsWhatTheManagersCreatedAndRefusesNothingAfterwards) {
  PolicyHost host;
  // A worker created through the default link's agent manager...
  tavrin_core::ImplementationRegistry::instance().register_agent_impl("HostTestTeacher",
                                                                      [] { return std::make_shared<QuietTeacher>(); });
  auto manager = std::dynamic_pointer_cast<tavrin_core::InProcessManager>(
      host.network_mgr->manager(tavrin_core::ManagerKind::agent));
  ASSERT_NE(manager, nullptr);
  run_sync(tavrin_core::await_result(host.network_mgr->call_remote_agent_mgr(
      "create_with_client",
      tavrin_core::CallArgs{{}, Map{{"env_init", "inproc://HostTestTeacher"}, {"version", "latest"}}})));
  EXPECT_EQ(manager->live_clients(), 1u);
  // ...is stopped by close; the host can still load afterwards.
  run_sync(host.close());
  EXPECT_EQ(manager->live_clients(), 0u);
  run_sync(host.load_orchestration(kMinimal));
  EXPECT_NE(host.orchestration, nullptr);
}
