// PolicyHost end to end: load an orchestration file, package it through the factory (bound at
// package time), step it and close it, for a skill root and for selector roots two and three levels
// deep. Everything is real: the loader, the processors, the models and the default AsyncLink.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "selector/selector_runtime.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;

constexpr const char* kHostLogger = "tavrin_inference.policy_host";

Value execute(PolicyHost& host, const Value& obs, const Value& sim_mask = Value(),
              const Value& previous_action = Value()) {
  return run_sync(host.execute(obs, sim_mask, Value(1), previous_action));
}

TEST(HostEndToEnd, ASkillRootActsWithItsOwnModel) {
  PolicyHost host;
  tavrin_test::LogCapture logs;
  run_sync(host.load_orchestration(kHierarchy + "/two_level.json"));
  run_sync(host.package(nullptr, std::string("h2_leaf1")));
  ASSERT_NE(host.agent_processor, nullptr);
  EXPECT_EQ(host.agent_processor->class_name(), "SkillRuntime");
  EXPECT_EQ(
      logs.count("info", "Packaged orchestration for inference with agent: h2_leaf1 (processor type: SkillRuntime)"),
      1u);

  EXPECT_EQ(execute(host, two_level_sensors({5, 0, 0})), Value(1));
  // The simulator may forbid the skill's favourite action.
  EXPECT_EQ(execute(host, two_level_sensors({5, 0, 0}), Value(NdArray::from_vector<double>({1, 0, 1}))), Value(0));
  run_sync(host.close());
  EXPECT_EQ(logs.messages("info", kHostLogger).back(), "Inference engine closed");
}

TEST(HostEndToEnd, ATwoLevelHierarchyChoosesItsChildEveryStep) {
  PolicyHost host;
  tavrin_test::LogCapture logs;
  run_sync(host.load_orchestration(kHierarchy + "/two_level.json"));
  run_sync(host.package());
  ASSERT_NE(host.agent_processor, nullptr);
  EXPECT_EQ(host.agent_processor->class_name(), "SelectorRuntime");
  EXPECT_EQ(
      logs.count("info", "Packaged orchestration for inference with agent: h2_root (processor type: SelectorRuntime)"),
      1u);
  auto root = std::dynamic_pointer_cast<tavrin_inference::SelectorRuntimeBase>(host.agent_processor);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->child_agent_processors.size(), 3u);
  for (const auto& child : root->child_agent_processors) EXPECT_TRUE(child->_is_initialized);

  EXPECT_EQ(execute(host, two_level_sensors({2, 5, 5})), Value(1));
  EXPECT_EQ(execute(host, two_level_sensors({1, 9, 3}, {1, 0, 1})), Value(2));
  EXPECT_EQ(execute(host, two_level_sensors({1, 9, 3}, {0, 0, 0})), Value(0));
  EXPECT_EQ(execute(host, two_level_sensors({9, 1, 3}), Value(), Value(2)), Value(0));
  run_sync(host.close());
}

TEST(HostEndToEnd, AThreeLevelHierarchyReachesEveryLeafAndSurvivesAReset) {
  PolicyHost host;
  auto orchestration = load(kHierarchy + "/three_level.json");
  // An orchestration object and an agent object: packaged without a prior load.
  run_sync(host.package(orchestration, orchestration->get_top_agent()));
  EXPECT_EQ(host.orchestration, nullptr);
  ASSERT_NE(host.agent_processor, nullptr);
  EXPECT_EQ(host.agent_processor->get_agent_name(), "h3_root");

  struct Case {
    std::vector<double> root, mid;
    int action;
  };
  const std::vector<Case> cases{{{9, 0, 0}, {9, 0, 0}, 0},
                                {{9, 0, 0}, {0, 9, 0}, 1},
                                {{9, 0, 0}, {0, 0, 9}, 2},
                                {{0, 9, 0}, {0, 0, 9}, 3},
                                {{0, 0, 9}, {9, 0, 0}, 4}};
  for (const auto& c : cases) EXPECT_EQ(execute(host, three_level_sensors(c.root, c.mid)), Value(c.action));

  run_sync(host.agent_processor->reset());
  for (const auto& c : cases) EXPECT_EQ(execute(host, three_level_sensors(c.root, c.mid)), Value(c.action));

  // Packaging again replaces the root; packaging a subtree gives a two-level tree of its own.
  run_sync(host.package(orchestration, std::string("h3_mid")));
  EXPECT_EQ(host.agent_processor->get_agent_name(), "h3_mid");
  EXPECT_EQ(execute(host, three_level_sensors({0, 0, 9}, {0, 9, 0})), Value(1));
  run_sync(host.close());
}

TEST(HostEndToEnd, AFactoryFailureReachesTheCallerWithItsCausesAndKeepsThePreviousRoot) {
  TempDir dir;
  dir.copy_model("h2_root", "h2_root.onnx");
  dir.copy_model("corrupt", "h2_leaf2.onnx");
  std::string json;
  {
    std::ifstream in(kHierarchy + "/two_level.json");
    json.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Root and last leaf from the folder with the broken model; the other leaves as before.
  for (const char* agent : {"h2_root", "h2_leaf2"}) {
    const auto at = json.find("{\"name\": \"" + std::string(agent) + "\"");
    const auto cp = json.find("\"checkpoint\": \"", at) + 15;
    json.replace(cp, json.find('"', cp) - cp, dir.str());
  }
  auto broken = parse(json, kHierarchy);

  PolicyHost host;
  run_sync(host.load_orchestration(kHierarchy + "/two_level.json"));
  run_sync(host.package());
  const auto previous = host.agent_processor;

  const auto chain = failure_chain(host.package(broken));
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0].message.rfind("Failed to create ONNX agent processor for h2_root: "
                                   "Failed to create ONNX agent processor for h2_leaf2: ",
                                   0),
            0u)
      << chain[0].message;
  EXPECT_EQ(chain[1].message.rfind("Failed to create ONNX agent processor for h2_leaf2: ", 0), 0u);
  EXPECT_NE(chain[2].message.find("h2_leaf2.onnx"), std::string::npos) << chain[2].message;
  EXPECT_EQ(host.agent_processor, previous);
  EXPECT_EQ(execute(host, two_level_sensors({2, 5, 5})), Value(1));
}

}  // namespace
