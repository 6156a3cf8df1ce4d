// create_skill_runtime: which processor class serves which agent kind, the unsupported kinds, and
// failures that keep their cause as a nested exception. Processors are real: models from
// fixtures/models, orchestrations through the core loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "factory/skill_factory.hpp"
#include "runner/graph_runner.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::create_skill_runtime;
using tavrin_inference::ProcessorPtr;
using tavrin_inference::run_sync;
using tavrin_inference::SelectorRuntimeBase;
using tavrin_inference::SkillRuntimeBase;

constexpr const char* kFactoryLogger = "tavrin_inference.skill_factory";

class FixedController : public tavrin_core::AgentController {
 public:
  std::string class_name() const override { return "FixedController"; }
  asio::awaitable<Value> compute_action(const Value&, const Value&) override { co_return Value(0); }
};
const bool controller_registered = [] {
  tavrin_core::ImplementationRegistry::instance().register_agent_impl(
      "FactoryTestController", [] { return std::make_shared<FixedController>(); });
  return true;
}();

// A class name given as a template argument.
template <std::size_t N>
struct ClassName {
  char text[N];
  constexpr ClassName(const char (&name)[N]) { std::copy_n(name, N, text); }  // NOLINT: implicit on purpose
};

// A subclass of the node kind `Kind` that only names itself `name`.
template <class Kind, ClassName name>
class NamedNode : public Kind {
 public:
  using Kind::Kind;
  std::string class_name() const override { return name.text; }
};

// Agent kinds the core library does not know, and subclasses of the ones it does.
using WanderingNode = NamedNode<tavrin_core::AgentNode, "WanderingNode">;
using SpecialOrchestrator = NamedNode<tavrin_core::AgentOrchestrator, "SpecialOrchestrator">;
using SpecialAgent = NamedNode<tavrin_core::Agent, "SpecialAgent">;
using SpecialSet = NamedNode<tavrin_core::AgentCoordinatedSet, "SpecialSet">;

const char* kKinds = R"({
  "id": "factory-kinds",
  "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}},
              {"name": "root_allowed", "space": {"type": "Box", "low": 0, "high": 1, "shape": [3]}}],
  "agents": [
    {"name": "h2_root", "kind": "AgentOrchestrator", "children": ["h2_leaf0", "h2_leaf1", "h2_leaf2"],
     "checkpoint": ".", "class": "HierRootTeacher"},
    {"name": "picker", "kind": "AgentOrchestrator", "children": ["h2_leaf0", "h2_leaf1"], "controller": true,
     "class": "FactoryTestController"},
    {"name": "h2_leaf0", "kind": "Agent", "checkpoint": ".", "class": "HierLeafTeacher",
     "action_space": {"type": "Discrete", "n": 3}},
    {"name": "h2_leaf1", "kind": "Agent", "checkpoint": ".", "class": "HierLeafTeacher",
     "action_space": {"type": "Discrete", "n": 3}},
    {"name": "h2_leaf2", "kind": "Agent", "checkpoint": ".", "class": "HierLeafTeacher",
     "action_space": {"type": "Discrete", "n": 3}},
    {"name": "skill_controller", "kind": "Agent", "controller": true, "class": "FactoryTestController",
     "action_space": {"type": "Discrete", "n": 3}},
    {"name": "set_controller", "kind": "AgentCoordinatedSet", "children": ["h2_leaf0"], "controller": true,
     "class": "FactoryTestController", "action_space": {"type": "Discrete", "n": 3}},
    {"name": "team", "kind": "AgentCoordinatedSet", "children": ["h2_leaf0"]},
    {"name": "crowd", "kind": "AgentCoordinatedPopulation", "children": ["h2_leaf0"]}
  ],
  "top_agent": "h2_root"
})";

class SkillFactoryTest : public ::testing::Test {
 protected:
  std::shared_ptr<tavrin_core::Orchestration> orchestration = parse(kKinds);
  tavrin_test::LogCapture logs;

  ProcessorPtr create(const std::string& agent) {
    return run_sync(create_skill_runtime(context_for(orchestration, agent)));
  }
  std::vector<std::string> factory_lines(const std::string& level) const {
    return logs.messages(level, kFactoryLogger);
  }
};

TEST_F(SkillFactoryTest, SkillAgentsGetAnInitialisedSkillRuntime) {
  ProcessorPtr processor = create("h2_leaf1");
  ASSERT_NE(processor, nullptr);
  EXPECT_EQ(processor->class_name(), "SkillRuntime");
  auto* skill = dynamic_cast<SkillRuntimeBase*>(processor.get());
  ASSERT_NE(skill, nullptr);
  EXPECT_TRUE(skill->_is_initialized);
  EXPECT_NE(skill->onnx_engine, nullptr);
  EXPECT_EQ(factory_lines("info"),
            (std::vector<std::string>{"Creating SkillRuntime for agent: h2_leaf1",
                                      "Successfully created and initialized agent processor for: h2_leaf1"}));
  // Ready to step: the skill picks its own digit.
  EXPECT_EQ(processor->execute(two_level_sensors({0, 0, 0})), Value(1));
}

TEST_F(SkillFactoryTest, SelectorAgentsGetASelectorRuntimeWithTheirWholeSubtree) {
  ProcessorPtr processor = create("h2_root");
  ASSERT_NE(processor, nullptr);
  EXPECT_EQ(processor->class_name(), "SelectorRuntime");
  auto* selector = dynamic_cast<SelectorRuntimeBase*>(processor.get());
  ASSERT_NE(selector, nullptr);
  EXPECT_TRUE(selector->_is_initialized);
  ASSERT_EQ(selector->child_agent_processors.size(), 3u);
  for (const auto& child : selector->child_agent_processors) EXPECT_TRUE(child->_is_initialized);

  const auto info = factory_lines("info");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.front(), "Creating SelectorRuntime for orchestrator: h2_root");
  // The root is only done once all its children are.
  EXPECT_EQ(info.back(), "Successfully created and initialized agent processor for: h2_root");
  EXPECT_EQ(info.size(), 8u);  // two lines per processor
}

TEST_F(SkillFactoryTest, ControllersAreChosenBeforeTheKindTests) {
  ProcessorPtr picker = create("picker");
  EXPECT_EQ(picker->class_name(), "SelectorRuntime");
  ProcessorPtr skill_controller = create("skill_controller");
  EXPECT_EQ(skill_controller->class_name(), "SkillRuntime");
  // A controller of a kind that is otherwise refused still gets a skill processor.
  ProcessorPtr set_controller = create("set_controller");
  EXPECT_EQ(set_controller->class_name(), "SkillRuntime");
  EXPECT_NE(set_controller->controller, nullptr);

  const auto info = factory_lines("info");
  auto logged = [&](const std::string& line) { return std::find(info.begin(), info.end(), line) != info.end(); };
  EXPECT_TRUE(logged("Creating SelectorRuntime for orchestrator controller: picker"));
  EXPECT_TRUE(logged("Creating SkillRuntime for controller: skill_controller"));
  EXPECT_TRUE(logged("Creating SkillRuntime for controller: set_controller"));
  EXPECT_TRUE(logged("Successfully created and initialized agent processor for: set_controller"));
}

TEST_F(SkillFactoryTest, CoordinatedKindsAreNotImplementedAndNothingIsBuilt) {
  // Neither agent has an action space: constructing a processor for it would fail differently.
  for (const auto& [agent, kind] : {std::pair<std::string, std::string>{"team", "AgentCoordinatedSet"},
                                    std::pair<std::string, std::string>{"crowd", "AgentCoordinatedPopulation"}}) {
    const auto chain = failure_chain(create_skill_runtime(context_for(orchestration, agent)));
    ASSERT_EQ(chain.size(), 1u) << agent;
    EXPECT_EQ(chain[0].kind, "NotImplementedError");
    EXPECT_EQ(chain[0].message,
              std::string("ONNX inference for ").append(kind).append(" is not yet implemented. Agent: ").append(agent));
  }
  EXPECT_TRUE(factory_lines("info").empty());
  EXPECT_TRUE(factory_lines("error").empty());
}

TEST(SkillFactoryKinds, SubclassesPassTheirKindTestAndUnknownKindsAreRefused) {
  using tavrin_core::AgentNode;
  auto discrete = std::make_shared<tavrin_core::spaces::Discrete>(3);
  auto options = [&](std::string name, std::vector<std::string> children = {}) {
    AgentNode::Options o;
    o.name = std::move(name);
    o.action_space = discrete;
    o.children = std::move(children);
    return o;
  };
  const AgentNode::Options wandering = options("wanderer");
  const AgentNode::Options special_set = options("special_set");
  const AgentNode::Options leaf = options("leaf");
  const AgentNode::Options chooser = options("chooser", {"leaf"});
  auto orchestration = std::make_shared<tavrin_core::Orchestration>(
      "kinds",
      std::vector<tavrin_core::SensorPtr>{std::make_shared<tavrin_core::Sensor>(
          "level", std::make_shared<tavrin_core::spaces::Box>(0.0, 1.0, tavrin_inference::Shape{1}))},
      std::nullopt,
      std::vector<tavrin_core::AgentNodePtr>{
          std::make_shared<WanderingNode>(wandering), std::make_shared<SpecialSet>(special_set),
          std::make_shared<SpecialAgent>(leaf), std::make_shared<SpecialOrchestrator>(chooser)},
      "chooser");
  run_sync(orchestration->init());

  const auto unknown = failure_chain(create_skill_runtime(context_for(orchestration, "wanderer")));
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(unknown[0].kind, "InvalidArgumentError");
  EXPECT_EQ(unknown[0].message, "Unsupported agent type for ONNX inference: WanderingNode. Agent: wanderer");

  const auto set = failure_chain(create_skill_runtime(context_for(orchestration, "special_set")));
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].message, "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: special_set");

  ProcessorPtr selector = run_sync(create_skill_runtime(context_for(orchestration, "chooser")));
  EXPECT_EQ(selector->class_name(), "SelectorRuntime");
  auto* typed = dynamic_cast<SelectorRuntimeBase*>(selector.get());
  ASSERT_NE(typed, nullptr);
  ASSERT_EQ(typed->child_agent_processors.size(), 1u);
  EXPECT_EQ(typed->child_agent_processors[0]->class_name(), "SkillRuntime");
}

// The kind and message a model runner raises for `path`.
ErrorLink runner_failure(const std::string& path) {
  try {
    tavrin_inference::GraphRunner runner(path);
  } catch (const tavrin_inference::Error& e) {
    return {e.kind(), e.what()};
  }
  ADD_FAILURE() << "the runner opened " << path;
  return {};
}

TEST(SkillFactoryFailures, AModelThatCannotBeOpenedFailsWithTheRunnersErrorAsCause) {
  TempDir dir;
  dir.copy_model("corrupt", "broken.onnx");
  auto orchestration = parse(R"({
    "id": "factory-broken",
    "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}}],
    "agents": [{"name": "broken", "kind": "Agent", "checkpoint": ".", "action_space": {"type": "Discrete", "n": 3}}]
  })",
                             dir.str());
  const ErrorLink cause = runner_failure(dir.str() + "/broken.onnx");
  tavrin_test::LogCapture logs;

  const auto chain = failure_chain(create_skill_runtime(context_for(orchestration, "broken")));
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].kind, "RuntimeError");
  EXPECT_EQ(chain[0].message, "Failed to create ONNX agent processor for broken: " + cause.message);
  EXPECT_EQ(chain[1].kind, cause.kind);
  EXPECT_EQ(chain[1].message, cause.message);
  EXPECT_EQ(logs.messages("error", kFactoryLogger),
            std::vector<std::string>{"Failed to create agent processor for broken: " + cause.message});
  EXPECT_EQ(logs.messages("info", kFactoryLogger), std::vector<std::string>{"Creating SkillRuntime for agent: broken"});
}

TEST(SkillFactoryFailures, ASelectorWhoseChildFailsNamesItselfAboveTheChildsOwnFailure) {
  TempDir dir;
  dir.copy_model("h2_root", "h2_root.onnx");
  dir.copy_model("h2_leaf0", "h2_leaf0.onnx");
  dir.copy_model("corrupt", "broken.onnx");
  auto orchestration = parse(R"({
    "id": "factory-broken-child",
    "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}},
                {"name": "root_allowed", "space": {"type": "Box", "low": 0, "high": 1, "shape": [3]}}],
    "agents": [
      {"name": "h2_root", "kind": "AgentOrchestrator", "children": ["h2_leaf0", "broken", "h2_leaf0_twin"],
       "checkpoint": ".", "class": "HierRootTeacher"},
      {"name": "h2_leaf0", "kind": "Agent", "checkpoint": ".", "class": "HierLeafTeacher",
       "action_space": {"type": "Discrete", "n": 3}},
      {"name": "broken", "kind": "Agent", "checkpoint": ".", "action_space": {"type": "Discrete", "n": 3}},
      {"name": "h2_leaf0_twin", "kind": "Agent", "action_space": {"type": "Discrete", "n": 3}}
    ],
    "top_agent": "h2_root"
  })",
                             dir.str());
  const ErrorLink cause = runner_failure(dir.str() + "/broken.onnx");
  tavrin_test::LogCapture logs;

  const auto chain = failure_chain(create_skill_runtime(context_for(orchestration, "h2_root")));
  ASSERT_EQ(chain.size(), 3u);
  const std::string child_failure = "Failed to create ONNX agent processor for broken: " + cause.message;
  EXPECT_EQ(chain[0].kind, "RuntimeError");
  EXPECT_EQ(chain[0].message, "Failed to create ONNX agent processor for h2_root: " + child_failure);
  EXPECT_EQ(chain[1].kind, "RuntimeError");
  EXPECT_EQ(chain[1].message, child_failure);
  EXPECT_EQ(chain[2].kind, cause.kind);
  EXPECT_EQ(chain[2].message, cause.message);

  EXPECT_EQ(logs.messages("error", kFactoryLogger),
            (std::vector<std::string>{"Failed to create agent processor for broken: " + cause.message,
                                      "Failed to create agent processor for h2_root: " + child_failure}));
  // The siblings were not cancelled: both ran to the end of their creation.
  const auto info = logs.messages("info", kFactoryLogger);
  for (const char* sibling : {"h2_leaf0", "h2_leaf0_twin"}) {
    EXPECT_NE(std::find(info.begin(), info.end(),
                        std::string("Successfully created and initialized agent processor for: ") + sibling),
              info.end())
        << sibling;
  }

  // describe() gives the chain as one text, kinds included; what() stays the message alone.
  try {
    run_sync(create_skill_runtime(context_for(orchestration, "h2_root")));
    ADD_FAILURE() << "no error";
  } catch (const tavrin_inference::Error& e) {
    EXPECT_EQ(e.what(), chain[0].message);
    EXPECT_EQ(e.describe(), "RuntimeError: " + chain[0].message + "\n  caused by: RuntimeError: " + child_failure +
                                "\n  caused by: " + cause.kind + ": " + cause.message);
  }
}

TEST(SkillFactoryBinding, TheExportedEntryPointsAreWhatTheLateBindingFinds) {
  EXPECT_EQ(tavrin_inference::bind_create_skill_runtime(), &tavrin_create_skill_runtime);
  EXPECT_EQ(tavrin_inference::bind_make_selector_runtime(), &tavrin_make_selector_runtime);
  EXPECT_EQ(tavrin_inference::bind_make_skill_runtime(), &tavrin_make_skill_runtime);

  // The entry point is the factory itself.
  auto orchestration = parse(kKinds);
  ProcessorPtr processor = run_sync(tavrin_create_skill_runtime(context_for(orchestration, "h2_leaf2")));
  EXPECT_EQ(processor->class_name(), "SkillRuntime");
  EXPECT_EQ(processor->execute(two_level_sensors({0, 0, 0})), Value(2));
}

}  // namespace
