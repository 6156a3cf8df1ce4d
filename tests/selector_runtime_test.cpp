// SelectorRuntime construction, init and accessors: the discrete space over the children, the
// children's simulator sensor space, the model at its two candidate paths, controller selectors, and
// children built concurrently through the factory yet kept in child order.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "factory/skill_factory.hpp"
#include "runner/graph_runner.hpp"
#include "selector/selector_runtime.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::create_skill_runtime;
using tavrin_inference::ProcessorPtr;
using tavrin_inference::run_sync;
using tavrin_inference::SelectorRuntime;
using tavrin_inference::SelectorRuntimeBase;

constexpr const char* kSelectorLogger = "tavrin_inference.selector_runtime";

std::shared_ptr<SelectorRuntimeBase> as_selector(const ProcessorPtr& processor) {
  auto selector = std::dynamic_pointer_cast<SelectorRuntimeBase>(processor);
  EXPECT_NE(selector, nullptr);
  return selector;
}

// A two-level orchestration rooted at `root` (checkpoint `checkpoint`, or none when empty).
std::string two_level_json(const std::string& root, const std::string& checkpoint, const std::string& extra = "") {
  const std::string root_checkpoint = checkpoint.empty() ? "" : "\"checkpoint\": \"" + checkpoint + "\", ";
  return two_level_orchestration_json(
      "selector-init",
      R"({"name": ")" + root + R"(", "kind": "AgentOrchestrator", "children": ["h2_leaf0", "h2_leaf1", "h2_leaf2"], )" +
          root_checkpoint + extra + R"("class": "HierRootTeacher"})",
      root);
}

// ---- construction ---------------------------------------------------------------------------------

TEST(SelectorConstruction, TheSelectorChoosesAmongItsChildrenAndHandsThemItsSimulatorSpace) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto root_node = orchestration->get_node_by_name("h3_root");
  // A simulator space of the root's own, so that handing it down is visible.
  auto own_space = std::make_shared<tavrin_core::spaces::Dict>(tavrin_core::spaces::SpaceEntries{
      {"root_logits", std::make_shared<tavrin_core::spaces::Box>(-100.0, 100.0, tavrin_inference::Shape{3})},
      {"root_allowed", std::make_shared<tavrin_core::spaces::Box>(0.0, 1.0, tavrin_inference::Shape{3})},
      {"mid_logits", std::make_shared<tavrin_core::spaces::Box>(-100.0, 100.0, tavrin_inference::Shape{3})},
      {"mid_allowed", std::make_shared<tavrin_core::spaces::Box>(0.0, 1.0, tavrin_inference::Shape{3})}});
  root_node->set_sim_sensor_space(own_space);
  const auto grandchild_space = orchestration->get_node_by_name("h3_leaf0")->get_sim_sensor_space();
  ASSERT_NE(grandchild_space, own_space);
  const auto space_before = root_node->get_action_space();

  SelectorRuntime selector(context_for(orchestration, "h3_root"));

  EXPECT_EQ(selector.action_space->str(), "Discrete(3)");
  EXPECT_NE(selector.action_space, space_before);  // a new space, which the agent now reports
  EXPECT_EQ(root_node->get_action_space(), selector.action_space);
  EXPECT_EQ(selector.get_action_space(), selector.action_space);
  for (const char* child : {"h3_mid", "h3_leaf3", "h3_leaf4"})
    EXPECT_EQ(orchestration->get_node_by_name(child)->get_sim_sensor_space(), own_space) << child;
  // Grandchildren get it only from their own selector.
  EXPECT_EQ(orchestration->get_node_by_name("h3_leaf0")->get_sim_sensor_space(), grandchild_space);

  EXPECT_TRUE(selector.child_agent_processors.empty());
  EXPECT_EQ(selector.onnx_engine, nullptr);
  EXPECT_FALSE(selector._is_initialized);
  EXPECT_EQ(selector.class_name(), "SelectorRuntime");
  EXPECT_EQ(selector.get_agent_name(), "h3_root");
  EXPECT_THROW(selector.execute(three_level_sensors({0, 0, 0}, {0, 0, 0})), tavrin_inference::RuntimeError);
}

TEST(SelectorConstruction, OnlyOrchestratorsCanBeSelectors) {
  auto orchestration = load(kHierarchy + "/two_level.json");
  try {
    SelectorRuntime selector(context_for(orchestration, "h2_leaf0"));
    FAIL() << "a skill agent was accepted";
  } catch (const tavrin_inference::Error& e) {
    EXPECT_STREQ(e.kind(), "Error");
    EXPECT_STREQ(e.what(), "SelectorRuntime must be used with a AgentOrchestrator, got h2_leaf0, Agent");
  }
}

// ---- init: the model ------------------------------------------------------------------------------

TEST(SelectorInit, TheModelIsFoundFlatOrInADirectoryNamedAfterTheAgentAndTheFlatOneWins) {
  {
    TempDir dir;
    dir.copy_model("h2_root", "h2_root/h2_root.onnx");
    auto selector = as_selector(
        run_sync(create_skill_runtime(context_for(parse(two_level_json("h2_root", dir.str())), "h2_root"))));
    ASSERT_NE(selector->onnx_engine, nullptr);
    EXPECT_EQ(selector->onnx_engine->model_path(), (dir.path() / "h2_root" / "h2_root.onnx").string());
  }
  {
    TempDir dir;
    dir.copy_model("h2_root", "h2_root.onnx");
    dir.copy_model("corrupt", "h2_root/h2_root.onnx");  // never looked at
    tavrin_test::LogCapture logs;
    auto selector = as_selector(
        run_sync(create_skill_runtime(context_for(parse(two_level_json("h2_root", dir.str())), "h2_root"))));
    ASSERT_NE(selector->onnx_engine, nullptr);
    const std::string flat = (dir.path() / "h2_root.onnx").string();
    EXPECT_EQ(selector->onnx_engine->model_path(), flat);
    EXPECT_EQ(logs.count("info", "Loaded ONNX model for orchestrator agent h2_root from " + flat), 1u);
  }
}

TEST(SelectorInit, WithoutCheckpointOrModelFileInitCompletesButEveryStepFails) {
  struct Case {
    std::string checkpoint;
    std::string warning;
  };
  TempDir empty;
  const std::vector<Case> cases{
      {"", "No checkpoint URI found for agent h2_root, cannot load ONNX model"},
      {empty.str(),
       "ONNX model not found at " + (empty.path() / "h2_root" / "h2_root.onnx").string() + " for agent h2_root"}};
  for (const auto& c : cases) {
    tavrin_test::LogCapture logs;
    auto selector = as_selector(
        run_sync(create_skill_runtime(context_for(parse(two_level_json("h2_root", c.checkpoint)), "h2_root"))));
    EXPECT_EQ(logs.messages("warning", kSelectorLogger), std::vector<std::string>{c.warning});
    EXPECT_EQ(selector->onnx_engine, nullptr);
    EXPECT_TRUE(selector->_is_initialized);
    EXPECT_EQ(selector->child_agent_processors.size(), 3u);

    const std::string not_loaded = "ONNX model not loaded for orchestrator agent h2_root";
    try {
      selector->execute(two_level_sensors({0, 1, 0}));
      ADD_FAILURE() << "stepped without a model";
    } catch (const tavrin_inference::RuntimeError& e) {
      EXPECT_EQ(e.what(), not_loaded);
    }
    Map filtered{{"observation", Value(NdArray::from_vector<float>({0, 1, 0}))}};
    try {
      run_sync(selector->_get_orchestrator_action(filtered));
      ADD_FAILURE() << "chose without a model";
    } catch (const tavrin_inference::RuntimeError& e) {
      EXPECT_EQ(e.what(), not_loaded);
    }
  }
}

TEST(SelectorInit, AMissingPreparationHelperOnlyWarns) {
  auto orchestration = parse(two_level_json("h2_root", kModels));
  auto selector = std::make_shared<SelectorRuntime>(context_for(orchestration, "h2_root"));
  selector->onnx_helper_library = "tavrin_no_such_helper";
  tavrin_test::LogCapture logs;
  run_sync(selector->init());
  const auto warnings = logs.messages("warning", kSelectorLogger);
  ASSERT_EQ(warnings.size(), 1u);
  const std::string prefix = "Failed to ensure action_mask in ONNX model for orchestrator h2_root: ";
  EXPECT_EQ(warnings[0].rfind(prefix, 0), 0u) << warnings[0];
  EXPECT_NE(warnings[0].find("tavrin_no_such_helper"), std::string::npos) << warnings[0];
  EXPECT_NE(selector->onnx_engine, nullptr);
}

TEST(SelectorInit, AModelThatCannotBeOpenedFailsInitWithTheRunnersOwnErrorAndBuildsNoChild) {
  TempDir dir;
  dir.copy_model("corrupt", "h2_root.onnx");
  const std::string path = (dir.path() / "h2_root.onnx").string();
  std::string runner_message;
  try {
    tavrin_inference::GraphRunner runner(path);
  } catch (const tavrin_inference::RuntimeError& e) {
    runner_message = e.what();
  }
  ASSERT_FALSE(runner_message.empty());

  auto selector =
      std::make_shared<SelectorRuntime>(context_for(parse(two_level_json("h2_root", dir.str())), "h2_root"));
  tavrin_test::LogCapture logs;
  const auto chain = failure_chain(selector->init());
  ASSERT_EQ(chain.size(), 1u);  // not wrapped here: the factory wraps
  EXPECT_EQ(chain[0].kind, "RuntimeError");
  EXPECT_EQ(chain[0].message, runner_message);
  EXPECT_EQ(logs.messages("error", kSelectorLogger),
            std::vector<std::string>{"Failed to load ONNX model for orchestrator agent h2_root: " + runner_message});
  EXPECT_TRUE(logs.messages("info", "tavrin_inference.skill_factory").empty());
  EXPECT_TRUE(selector->child_agent_processors.empty());
  EXPECT_EQ(selector->onnx_engine, nullptr);
  EXPECT_TRUE(selector->_is_initialized);  // the base init had completed
}

class PickFirst : public tavrin_core::AgentController {
 public:
  std::string class_name() const override { return "PickFirst"; }
  asio::awaitable<Value> compute_action(const Value&, const Value&) override { co_return Value(0); }
};

TEST(SelectorInit, AControllerSelectorNeverLooksForAModel) {
  tavrin_core::ImplementationRegistry::instance().register_agent_impl("SelectorInitPickFirst",
                                                                      [] { return std::make_shared<PickFirst>(); });
  TempDir dir;
  dir.copy_model("corrupt", "picker.onnx");  // opening it would fail init
  dir.copy_model("corrupt", "picker/picker.onnx");
  std::string json = two_level_json("picker", dir.str(), "\"controller\": true, ");
  json.replace(json.find("HierRootTeacher"), std::string("HierRootTeacher").size(), "SelectorInitPickFirst");
  tavrin_test::LogCapture logs;

  auto selector = as_selector(run_sync(create_skill_runtime(context_for(parse(json), "picker"))));
  EXPECT_EQ(selector->onnx_engine, nullptr);
  EXPECT_NE(selector->controller, nullptr);
  EXPECT_EQ(selector->teacher, nullptr);
  EXPECT_EQ(selector->child_agent_processors.size(), 3u);
  const auto info = logs.messages("info", kSelectorLogger);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].rfind("Agent picker ", 0), 0u) << info[0];
  EXPECT_NE(info[0].find("controller"), std::string::npos) << info[0];
  EXPECT_TRUE(logs.messages("warning", kSelectorLogger).empty());
  EXPECT_TRUE(logs.messages("error", kSelectorLogger).empty());
  for (const auto& line : logs.lines()) EXPECT_EQ(line.message.find("picker.onnx"), std::string::npos) << line.message;
}

// ---- init: the children ---------------------------------------------------------------------------

TEST(SelectorChildren, ChildContextsShareTheOrchestrationAndCarryOnlyValidation) {
  auto orchestration = load(kHierarchy + "/three_level.json");
  auto context = context_for(orchestration, "h3_root", /*for_agent_group=*/true);
  context.is_validating = true;
  context.is_training = true;
  context.name = "renamed root";
  auto root = as_selector(run_sync(create_skill_runtime(context)));

  ASSERT_EQ(root->child_agent_processors.size(), 3u);
  auto mid = as_selector(root->child_agent_processors[0]);
  ASSERT_EQ(mid->child_agent_processors.size(), 3u);
  for (const auto& processor : {root->child_agent_processors[0], root->child_agent_processors[1],
                                mid->child_agent_processors[0], mid->child_agent_processors[2]}) {
    const auto& child = processor->context;
    EXPECT_EQ(child.orchestration, orchestration);
    EXPECT_EQ(child.network_mgr, context.network_mgr);
    EXPECT_FALSE(child.is_training);
    EXPECT_TRUE(child.is_validating);
    EXPECT_FALSE(child.for_agent_group);
    EXPECT_FALSE(child.name.has_value());
  }
  EXPECT_EQ(mid->child_agent_processors[1]->context.agent, orchestration->get_node_by_name("h3_leaf1"));
}

// Teachers whose init takes a child-dependent time, recording when each finishes.
struct FinishLog {
  std::mutex mutex;
  std::vector<std::string> finished;
};
FinishLog finish_log;

class SlowTeacher : public tavrin_core::AgentTeacher {
 public:
  SlowTeacher(std::string who, int delay_ms) : who_(std::move(who)), delay_ms_(delay_ms) {}
  std::string class_name() const override { return "SlowTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(delay_ms_));
    co_await timer.async_wait(asio::use_awaitable);
    std::lock_guard lock(finish_log.mutex);
    finish_log.finished.push_back(who_);
    co_return Value::list({Value("root_logits")});
  }

 private:
  std::string who_;
  int delay_ms_;
};

TEST(SelectorChildren, ChildrenAreBuiltConcurrentlyAndKeptInChildOrder) {
  auto& registry = tavrin_core::ImplementationRegistry::instance();
  const std::vector<std::pair<std::string, int>> delays{
      {"slow_first", 90}, {"slow_second", 45}, {"slow_third", 0}, {"slow_inner_a", 60}, {"slow_inner_b", 10}};
  for (const auto& [who, ms] : delays) {
    registry.register_agent_impl("SelectorChildren." + who,
                                 [who = who, ms = ms] { return std::make_shared<SlowTeacher>(who, ms); });
  }
  auto leaf = [](const std::string& name) {
    return R"({"name": ")" + name + R"(", "kind": "Agent", "class": "SelectorChildren.)" + name +
           R"(", "action_space": {"type": "Discrete", "n": 3}})";
  };
  auto orchestration = parse(R"({
    "id": "slow-children",
    "sensors": [{"name": "root_logits", "space": {"type": "Box", "low": -100, "high": 100, "shape": [3]}}],
    "agents": [
      {"name": "top", "kind": "AgentOrchestrator", "children": ["slow_first", "inner", "slow_second", "slow_third"]},
      {"name": "inner", "kind": "AgentOrchestrator", "children": ["slow_inner_a", "slow_inner_b"]},
      )" + leaf("slow_first") +
                             "," + leaf("slow_second") + "," + leaf("slow_third") + "," + leaf("slow_inner_a") + "," +
                             leaf("slow_inner_b") + R"(
    ],
    "top_agent": "top"
  })");
  finish_log.finished.clear();

  auto top = as_selector(run_sync(create_skill_runtime(context_for(orchestration, "top"))));

  // Siblings overlap (the whole tree's children interleave), so the shortest finishes first.
  EXPECT_EQ(finish_log.finished,
            (std::vector<std::string>{"slow_third", "slow_inner_b", "slow_second", "slow_inner_a", "slow_first"}));
  std::vector<std::string> order;
  for (const auto& child : top->get_child_agent_processors()) order.push_back(child->get_agent_name());
  EXPECT_EQ(order, (std::vector<std::string>{"slow_first", "inner", "slow_second", "slow_third"}));
  auto inner = as_selector(top->child_agent_processors[1]);
  ASSERT_EQ(inner->child_agent_processors.size(), 2u);
  EXPECT_EQ(inner->child_agent_processors[0]->get_agent_name(), "slow_inner_a");
  EXPECT_EQ(inner->child_agent_processors[1]->get_agent_name(), "slow_inner_b");
  for (const auto& child : top->child_agent_processors) EXPECT_TRUE(child->_is_initialized);
}

// ---- accessors ------------------------------------------------------------------------------------

TEST(SelectorAccessors, ChildrenByIndexAndByName) {
  auto selector =
      as_selector(run_sync(create_skill_runtime(context_for(load(kHierarchy + "/two_level.json"), "h2_root"))));
  const auto& children = selector->get_child_agent_processors();
  EXPECT_EQ(&children, &selector->child_agent_processors);  // the sequence itself
  ASSERT_EQ(children.size(), 3u);

  EXPECT_EQ(selector->get_child_processor_by_index(std::int64_t{0}), children[0]);
  EXPECT_EQ(selector->get_child_processor_by_index(std::int64_t{2}), children[2]);
  EXPECT_EQ(selector->get_child_processor_by_index(std::int64_t{-1}), nullptr);  // no counting from the end
  EXPECT_EQ(selector->get_child_processor_by_index(std::int64_t{3}), nullptr);
  EXPECT_EQ(selector->get_child_processor_by_index(Value(1.9)), children[1]);
  EXPECT_EQ(selector->get_child_processor_by_index(Value(-0.5)), children[0]);  // cut toward zero
  EXPECT_EQ(selector->get_child_processor_by_index(Value(-1.5)), nullptr);
  EXPECT_EQ(selector->get_child_processor_by_index(Value(true)), children[1]);
  EXPECT_EQ(selector->get_child_processor_by_index(Value(1e300)), nullptr);
  try {
    selector->get_child_processor_by_index(Value("1"));
    ADD_FAILURE() << "text accepted as an index";
  } catch (const tavrin_inference::TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("index"), std::string::npos) << e.what();
  }
  EXPECT_THROW(selector->get_child_processor_by_index(Value(std::numeric_limits<double>::quiet_NaN())),
               tavrin_inference::InvalidArgumentError);

  EXPECT_EQ(selector->get_child_processor_by_name("h2_leaf1"), children[1]);
  EXPECT_EQ(selector->get_child_processor_by_name("h2_root"), nullptr);
  EXPECT_EQ(selector->get_child_processor_by_name(""), nullptr);

  // The agent is asked anew every time.
  auto other = std::make_shared<tavrin_core::spaces::Discrete>(7);
  selector->get_agent()->set_action_space(other);
  EXPECT_EQ(selector->get_action_space(), other);
}

TEST(SelectorAccessors, ByNameTheFirstOfTwoEquallyNamedChildrenWins) {
  // The loader refuses a child listed twice; a programmatic orchestration can still have one.
  tavrin_core::AgentNode::Options leaf;
  leaf.name = "leaf";
  leaf.action_space = std::make_shared<tavrin_core::spaces::Discrete>(2);
  tavrin_core::AgentNode::Options chooser;
  chooser.name = "chooser";
  chooser.action_space = std::make_shared<tavrin_core::spaces::Discrete>(2);
  chooser.children = {"leaf", "leaf"};
  auto orchestration = std::make_shared<tavrin_core::Orchestration>(
      "twins",
      std::vector<tavrin_core::SensorPtr>{std::make_shared<tavrin_core::Sensor>(
          "level", std::make_shared<tavrin_core::spaces::Box>(0.0, 1.0, tavrin_inference::Shape{1}))},
      std::nullopt,
      std::vector<tavrin_core::AgentNodePtr>{std::make_shared<tavrin_core::AgentOrchestrator>(chooser),
                                             std::make_shared<tavrin_core::Agent>(leaf)},
      "chooser");
  run_sync(orchestration->init());
  auto selector = as_selector(run_sync(create_skill_runtime(context_for(orchestration, "chooser"))));
  ASSERT_EQ(selector->child_agent_processors.size(), 2u);
  ASSERT_NE(selector->child_agent_processors[0], selector->child_agent_processors[1]);
  EXPECT_EQ(selector->get_child_processor_by_name("leaf"), selector->child_agent_processors[0]);
}

}  // namespace
