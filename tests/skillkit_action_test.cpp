// After inference: action processing, the teacher's view of a step, the episode reset and the two
// execution entry points of the processor base.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "processor/skillkit.hpp"
#include "support/processor_fixture.hpp"

using namespace tavrin_test;
using ::testing::DoubleEq;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

Value one(float v) { return Value(f32({v})); }

struct ActionTest : ::testing::Test {
  CallLogPtr log = std::make_shared<CallLog>();
  TeacherScriptPtr script = std::make_shared<TeacherScript>();
  std::shared_ptr<tavrin_inference::AsyncLink> link = async_link();
  Value raw = Value(Map{{"pos", Value(5.0)}});
  Value sample = Value(Map{{"pos", one(5.0f)}});  // what the pipeline makes of `raw`

  tavrin_core::AgentNode::Options options(const std::string& impl_cls, SpacePtr action_space = discrete(3)) {
    tavrin_core::AgentNode::Options o;
    o.name = "walker";
    o.action_space = std::move(action_space);
    o.sim_sensor_space = dict({{"pos", box(0, 10)}});
    o.impl_cls = impl_cls;
    return o;
  }
  template <class T = TestProcessor>
  std::unique_ptr<T> make(tavrin_core::AgentNode::Options o,
                          std::vector<tavrin_core::PerceptorNodePtr> perceptors = {}) {
    auto node = agent(std::move(o));
    auto orch = orchestration({sensor("pos", box(0, 10))}, {node}, std::move(perceptors));
    auto p = std::make_unique<T>(context_for(orch, node, link));
    run(p->init());
    log->clear();
    return p;
  }
  std::unique_ptr<TestProcessor> with_teacher(SpacePtr action_space = discrete(3)) {
    return make(options(register_teacher("teacher", log, script), std::move(action_space)));
  }
};

// ---- process_action ----

TEST_F(ActionTest, WithoutTeacherTheActionIsOnlyUnsquashedOnRequest) {
  auto p = make(options("", box(0, 10)));
  p->teacher = nullptr;
  Value scaled = run(p->process_action(raw, sample, one(0.0f), Value(), /*unsquash_action=*/true));
  EXPECT_THAT(doubles(scaled.as_array()), ElementsAre(DoubleEq(5.0)));
  Value kept = run(p->process_action(raw, sample, one(0.0f)));
  EXPECT_EQ(kept, one(0.0f));
  // An action outside [-1, 1] would be clipped by unsquashing; untouched without it.
  EXPECT_EQ(run(p->process_action(raw, sample, one(3.0f))), one(3.0f));
  EXPECT_FALSE(p->previous_action.has_value());
}

TEST_F(ActionTest, TheTeacherTransformsTheUnsquashedActionAndItIsRemembered) {
  script->transform_action = [](const Value&, Value a) { return Value(Map{{"wrapped", std::move(a)}}); };
  auto p = with_teacher(box(0, 10));
  Value out = run(p->process_action(raw, sample, one(1.0f), Value(), true));
  const Value& unsquashed = out["wrapped"];
  EXPECT_THAT(doubles(unsquashed.as_array()), ElementsAre(DoubleEq(10.0)));
  EXPECT_THAT(log->calls, ElementsAre("teacher#1.transform_action(" + sample.str() + ", " + unsquashed.str() + ")"));
  ASSERT_TRUE(p->previous_action.has_value());
  EXPECT_EQ(*p->previous_action, out);
}

TEST_F(ActionTest, AgentGroupMembersRememberTheActionAndRunNoPostProcessor) {
  script->transform_action = [](const Value&, const Value&) { return Value(7); };
  auto p = with_teacher();
  auto post = make(options(""));
  post->reply = Value(Map{{"action", Value("final")}});
  p->post_agent_group_agent_processor = std::shared_ptr<TestProcessor>(std::move(post));
  p->context.for_agent_group = true;
  EXPECT_EQ(run(p->process_action(raw, sample, Value(1))), Value(7));
  EXPECT_EQ(*p->previous_action, Value(7));
  EXPECT_THAT(static_cast<TestProcessor&>(*p->post_agent_group_agent_processor).calls, IsEmpty());
}

TEST_F(ActionTest, APostAgentGroupProcessorDecidesTheFinalAction) {
  script->transform_action = [](const Value&, const Value&) { return Value(7); };
  auto p = with_teacher();
  auto post = std::shared_ptr<TestProcessor>(make(options("")));
  post->reply = Value(Map{{"sensors_filtered", Value()}, {"action", Value("final")}});
  p->post_agent_group_agent_processor = post;

  EXPECT_EQ(run(p->process_action(raw, sample, Value(1), Value::list({1, 0, 1}))), Value("final"));
  EXPECT_EQ(*p->previous_action, Value(7));
  ASSERT_EQ(post->calls.size(), 1u);
  const ExecuteCall& call = post->calls[0];
  EXPECT_EQ(call.sim_sensors, raw);
  EXPECT_EQ(call.sim_action_mask, Value::list({1, 0, 1}));
  EXPECT_FALSE(call.explore);
  EXPECT_FALSE(call.is_coordinated);
  EXPECT_EQ(call.previous_action, Value(7));
  EXPECT_TRUE(call.return_as_teacher_dict);
  EXPECT_EQ(call.agent_group_action, Value(Map{{"walker", Value(7)}}));

  post->reply = Value(Map{{"act", Value(1)}});
  EXPECT_THROW(run(p->process_action(raw, sample, Value(1))), KeyError);
}

TEST_F(ActionTest, ATeacherFailurePropagatesAndNothingIsRemembered) {
  script->transform_action = [](const Value&, const Value&) -> Value {
    throw tavrin_inference::InvalidArgumentError("no");
  };
  auto p = with_teacher();
  EXPECT_THROW(run(p->process_action(raw, sample, Value(1))), tavrin_inference::InvalidArgumentError);
  EXPECT_FALSE(p->previous_action.has_value());
}

// ---- step ----

TEST_F(ActionTest, AStepWithoutTeacherEarnsNothingWhateverTheSimulatorSays) {
  auto p = make(options(""));
  p->teacher = nullptr;
  auto r = run(p->step(raw, Value(5.0), Value(true), Value(true), Value(Map{}), Value(1)));
  EXPECT_TRUE(r.teacher_reward.is_float());
  EXPECT_EQ(r.teacher_reward, Value(0.0));
  EXPECT_EQ(r.teacher_success, Value(false));
  EXPECT_EQ(r.teacher_terminated, Value(false));
  EXPECT_EQ(r.truncated, Value(false));
  EXPECT_EQ(r.tavrin_obs, sample);
  EXPECT_TRUE(r.sensors_filtered.contains("observation"));
  EXPECT_THAT(doubles(r.sensors_filtered.at("action_mask").as_array()), ElementsAre(1.0, 1.0, 1.0));
}

TEST_F(ActionTest, TheTeacherJudgesTheStepInOrderWithTheStepsOwnAction) {
  script->reward = Value(1.5);
  script->success = Value(0);
  script->termination = Value("ended");
  auto p = with_teacher();
  auto r = run(p->step(raw, Value(-2.0), Value(false), Value(false),
                       Value(Map{{"action_mask", Value::list({0, 1, 1})}}), Value(2)));
  const std::string obs = sample.str();
  EXPECT_THAT(log->calls, ElementsAre("teacher#1.transform_sensors(" + obs + ", None)",
                                      "teacher#1.compute_action_mask(" + obs + ", 2)",
                                      "teacher#1.compute_reward(" + obs + ", 2, -2.0)",
                                      "teacher#1.compute_success_criteria(" + obs + ", 2)",
                                      "teacher#1.compute_termination(" + obs + ", 2)"));
  EXPECT_EQ(r.teacher_reward, Value(1.5));
  EXPECT_EQ(r.teacher_success, Value(0));
  EXPECT_EQ(r.teacher_terminated, Value("ended"));
  EXPECT_EQ(r.truncated, Value("ended"));  // the termination value itself, not a boolean
  EXPECT_THAT(doubles(r.sensors_filtered.at("action_mask").as_array()), ElementsAre(0.0, 1.0, 1.0));
}

TEST_F(ActionTest, ATruthySuccessIsTheTruncationValue) {
  script->success = Value(2);
  script->termination = Value(false);
  auto p = with_teacher();
  auto r = run(p->step(raw, Value(0.0), Value(false), Value(false), Value(Map{}), Value(0)));
  EXPECT_EQ(r.truncated, Value(2));
}

TEST_F(ActionTest, StepNeedsAMapAsInfo) {
  auto p = with_teacher();
  EXPECT_THROW(run(p->step(raw, Value(0.0), Value(false), Value(false), Value(), Value(0))), TypeError);
}

// step goes through the instance's pipeline.
class FixedPipelineProcessor : public TestProcessor {
 public:
  using TestProcessor::TestProcessor;
  asio::awaitable<std::pair<Map, Value>> process_sim_sensors(const Value& sensors, const Value& sim_action_mask,
                                                             const Value& previous_action) override {
    seen.push_back(Value::list({sensors, sim_action_mask, previous_action}));
    co_return std::pair<Map, Value>(Map{{"observation", Value(1)}}, Value("fixed"));
  }
  std::vector<Value> seen;
};

TEST_F(ActionTest, StepUsesASubclassPipeline) {
  auto p = make<FixedPipelineProcessor>(options(register_teacher("teacher", log, script)));
  auto r = run(p->step(raw, Value(0.0), Value(false), Value(false), Value(Map{{"action_mask", Value(1)}}), Value(3)));
  EXPECT_EQ(p->seen, std::vector<Value>{Value::list({raw, Value(1), Value(3)})});
  EXPECT_EQ(r.tavrin_obs, Value("fixed"));
  EXPECT_EQ(r.sensors_filtered, (Map{{"observation", Value(1)}}));
  EXPECT_THAT(log->starting_with("teacher#1.compute_reward"), ElementsAre("teacher#1.compute_reward('fixed', 3, 0.0)"));
}

// ---- reset ----

TEST_F(ActionTest, ResetOfALocalAgentInstallsAFreshTeacherWithoutTellingTheOldOne) {
  auto p = with_teacher();
  auto old = p->teacher;
  p->done = true;
  run(p->reset());
  auto* fresh = dynamic_cast<RecordingTeacher*>(p->teacher.get());
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(p->teacher, old);
  EXPECT_EQ(fresh->instance(), 2);
  EXPECT_THAT(log->calls, IsEmpty());
  EXPECT_FALSE(p->is_done());
}

TEST_F(ActionTest, ResetOfALocalControllerAgentInstallsAFreshController) {
  auto o = options(register_controller("controller", log, script));
  o.controller = true;
  auto p = make(o);
  auto old = p->controller;
  run(p->reset());
  EXPECT_NE(p->controller, old);
  EXPECT_EQ(dynamic_cast<RecordingController&>(*p->controller).instance(), 2);
  EXPECT_FALSE(p->teacher);
}

TEST_F(ActionTest, ResetOfARemoteAgentKeepsItsProxiesAndResetsThem) {
  auto o = options(register_teacher("remote", log, script));
  o.remote = true;
  auto p = make(o);
  auto proxy = p->teacher;
  p->controller = std::make_shared<RecordingController>("ctl", 1, log, script);
  p->done = true;
  run(p->reset());
  EXPECT_EQ(p->teacher, proxy);
  EXPECT_THAT(log->calls, ElementsAre("remote#1.reset()", "ctl#1.reset()"));
  EXPECT_FALSE(p->done);

  script->reset_fails = true;
  p->done = true;
  EXPECT_THROW(run(p->reset()), RuntimeError);
  EXPECT_TRUE(p->done);
}

TEST_F(ActionTest, AFailingPerceptorResetDoesNotStopTheOthers) {
  std::vector<tavrin_core::PerceptorNodePtr> nodes;
  for (auto [label, error] :
       std::vector<std::pair<std::string, std::string>>{{"A", ""}, {"B", "general"}, {"C", "key"}, {"D", ""}}) {
    nodes.push_back(std::make_shared<PerceptorNode>(label, register_perceptor(label, log, Map{}, error), false));
  }
  auto p = make(options(""), nodes);
  p->done = true;
  run(p->reset());
  EXPECT_THAT(log->calls, ElementsAre("A.reset()", "B.reset()", "C.reset()", "D.reset()"));
  EXPECT_FALSE(p->done);
}

TEST_F(ActionTest, APerceptorFailureOutsideTheErrorKindsEndsReset) {
  auto p = make(options(""), {std::make_shared<PerceptorNode>("X", register_perceptor("X", log, Map{}, "other"), false),
                              std::make_shared<PerceptorNode>("Y", register_perceptor("Y", log, Map{}), false)});
  p->done = true;
  EXPECT_THROW(run(p->reset()), std::logic_error);
  EXPECT_THAT(log->calls, ElementsAre("X.reset()"));
  EXPECT_TRUE(p->done);
}

// ---- execute ----

TEST_F(ActionTest, ExecuteForwardsItsArgumentsAndNeverCoordinates) {
  auto p = make(options(""));
  p->reply = Value("acted");
  EXPECT_EQ(p->execute(raw, Value::list({1, 0, 0}), true, Value(4), true), Value("acted"));
  EXPECT_EQ(p->execute(raw), Value("acted"));
  ASSERT_EQ(p->calls.size(), 2u);
  EXPECT_EQ(p->calls[0].sim_sensors, raw);
  EXPECT_EQ(p->calls[0].sim_action_mask, Value::list({1, 0, 0}));
  EXPECT_TRUE(p->calls[0].explore);
  EXPECT_FALSE(p->calls[0].is_coordinated);
  EXPECT_EQ(p->calls[0].previous_action, Value(4));
  EXPECT_TRUE(p->calls[0].return_as_teacher_dict);
  EXPECT_TRUE(p->calls[1].sim_action_mask.is_none());
  EXPECT_FALSE(p->calls[1].explore);
  EXPECT_TRUE(p->calls[1].previous_action.is_none());
  EXPECT_FALSE(p->calls[1].return_as_teacher_dict);
}

TEST_F(ActionTest, ExecuteRunsAWholeStep) {
  auto o = options(register_controller("controller", log, script));
  o.controller = true;
  script->action = Value(2);
  auto p = make(o);
  Value teacher_map = p->execute(raw, Value(), false, Value(1), true);
  EXPECT_EQ(teacher_map["action"], Value(2));
  EXPECT_EQ(teacher_map["tavrin_obs"], sample);
  EXPECT_THAT(log->calls, ElementsAre("controller#1.compute_action(" + sample.str() + ", 1)"));
}

TEST_F(ActionTest, ExecuteIsRefusedInsideARunningLoop) {
  auto p = make(options(""));
  p->reply = Value(1);
  bool refused = false;
  run([](TestProcessor& proc, bool& flag, const Value& obs) -> asio::awaitable<int> {
    try {
      proc.execute(obs);
    } catch (const RuntimeError& e) {
      flag = std::string(e.what()).find("running event loop") != std::string::npos;
    }
    co_return 0;
  }(*p, refused, raw));
  EXPECT_TRUE(refused);
  EXPECT_THAT(p->calls, IsEmpty());
}

TEST_F(ActionTest, TheBaseExecuteIsNotImplemented) {
  auto node = agent(options(""));
  BaseAgentProcessor base(context_for(orchestration({sensor("pos", box(0, 10))}, {node}), node));
  EXPECT_EQ(base.type_name(), "BaseAgentProcessor");
  EXPECT_THROW(base.execute(raw), NotImplementedError);
  EXPECT_THROW(run(base._execute(raw)), NotImplementedError);
}

}  // namespace
