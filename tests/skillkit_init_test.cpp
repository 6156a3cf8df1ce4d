// Construction and initialisation of the processor base: teacher or controller (local, or created by
// a remote manager), perceptors, sensor spaces, the kept sensors and the observation space.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "core_api/plugin_util.hpp"
#include "processor/skillkit.hpp"
#include "support/log_capture.hpp"
#include "support/processor_fixture.hpp"

using namespace tavrin_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr const char* kLogger = "tavrin_inference.skillkit";

std::vector<std::string> dict_keys(const SpacePtr& space) {
  std::vector<std::string> keys;
  const auto* d = dynamic_cast<const tavrin_core::spaces::Dict*>(space.get());
  if (d == nullptr) return {"<not a Dict>"};
  for (const auto& [key, _] : d->spaces()) keys.push_back(key);
  return keys;
}

struct InitTest : ::testing::Test {
  CallLogPtr log = std::make_shared<CallLog>();
  TeacherScriptPtr script = std::make_shared<TeacherScript>();
  std::vector<tavrin_core::SensorPtr> sensors{sensor("pos", box(0, 10), Normalization::min_max),
                                              sensor("vel", box(-1, 1)),
                                              sensor("extra", box(0, 4), Normalization::min_max)};
  std::shared_ptr<tavrin_inference::AsyncLink> link = async_link();

  tavrin_core::AgentNode::Options options(const std::string& impl_cls, bool controller = false, bool remote = false) {
    tavrin_core::AgentNode::Options o = walker_options(impl_cls, controller);
    o.remote = remote;
    return o;
  }
  std::unique_ptr<TestProcessor> make(
      tavrin_core::AgentNode::Options o,
      std::optional<std::vector<tavrin_core::PerceptorNodePtr>> perceptors = std::nullopt) {
    auto node = agent(std::move(o));
    return std::make_unique<TestProcessor>(
        context_for(orchestration(sensors, {node}, std::move(perceptors)), node, link));
  }
  // A manager of `kind` that records its calls and answers (id, what `make` builds).
  void remote_manager(ManagerKind kind, const std::string& label, const std::function<Value()>& make) {
    link->set_manager(kind, std::make_shared<RecordingManager>(label, log, [make](const tavrin_core::CallArgs&) {
                        return Value::tuple({Value("client-1"), make()});
                      }));
  }
};

// ---- construction ----

TEST_F(InitTest, AnAgentWithoutActionSpaceCannotBeConstructed) {
  auto o = options("");
  o.action_space = nullptr;
  try {
    make(o);
    FAIL() << "constructed without an action space";
  } catch (const Error& e) {
    EXPECT_STREQ(e.kind(), "Error");
    EXPECT_STREQ(e.what(),
                 "Unable to make a DRL AgentProcessor without an action space. Please check to ensure the training "
                 "order of the orchestration allows for this agent to be used at this point in time.");
  }
  tavrin_core::AgentProcessorContext no_agent;
  EXPECT_THROW(TestProcessor{no_agent}, InvalidArgumentError);
}

TEST_F(InitTest, ConstructionReadsTheAgentsSpacesAndNothingElse) {
  auto p = make(options(register_teacher("teacher", log, script)));
  EXPECT_EQ(p->sim_sensor_space, p->context.agent->get_sim_sensor_space());
  EXPECT_EQ(p->action_space, p->context.agent->get_action_space());
  EXPECT_EQ(p->action_mask_space->flat_size(), 3);
  EXPECT_EQ(p->no_action_mask, p->action_space->get_no_action_mask());
  EXPECT_FALSE(p->teacher);
  EXPECT_FALSE(p->controller);
  EXPECT_FALSE(p->observation_space);
  EXPECT_FALSE(p->korvath_sensor_space);
  EXPECT_FALSE(p->filtered_korvath_sensor_space);
  EXPECT_THAT(p->filter_keys, IsEmpty());
  EXPECT_THAT(p->perceptors, IsEmpty());
  EXPECT_FALSE(p->done);
  EXPECT_FALSE(p->_is_initialized);
  EXPECT_FALSE(p->previous_action.has_value());
  EXPECT_THAT(log->calls, IsEmpty());  // no implementation was made yet
}

TEST_F(InitTest, NamesAndTheActionSpaceAccessor) {
  auto p = make(options(""));
  EXPECT_EQ(p->get_name(), "walker");
  EXPECT_EQ(p->get_agent_name(), "walker");
  p->context.name = "alias";
  EXPECT_EQ(p->get_name(), "alias");
  EXPECT_EQ(p->get_agent_name(), "walker");
  EXPECT_EQ(p->type_name(), "TestProcessor");

  // Asked of the agent on every call; the attribute keeps the space of construction.
  auto before = p->action_space;
  p->get_agent()->set_action_space(discrete(7));
  EXPECT_EQ(p->get_action_space()->str(), discrete(7)->str());
  EXPECT_EQ(p->action_space, before);
}

// ---- teacher or controller ----

TEST_F(InitTest, ALocalTeacherAndItsSensorsMakeTheObservationSpace) {
  script->filtered_keys = Value::list({"vel"});
  auto p = make(options(register_teacher("teacher", log, script)));
  run(p->init());

  auto* teacher = dynamic_cast<RecordingTeacher*>(p->teacher.get());
  ASSERT_NE(teacher, nullptr);
  EXPECT_EQ(teacher->instance(), 1);
  EXPECT_EQ(p->get_teacher(), p->teacher);
  EXPECT_FALSE(p->controller);
  EXPECT_THAT(log->calls, ElementsAre("teacher#1.filtered_sensor_space()"));

  EXPECT_THAT(dict_keys(p->korvath_sensor_space), ElementsAre("pos", "vel", "extra"));
  EXPECT_THAT(p->filter_keys, ElementsAre("vel"));
  EXPECT_THAT(dict_keys(p->filtered_korvath_sensor_space), ElementsAre("vel"));
  EXPECT_EQ(p->get_korvath_sensor_space(), p->korvath_sensor_space);

  ASSERT_EQ(p->get_agent_sensor_space(), p->observation_space);
  EXPECT_EQ(p->observation_space->type_name(), "Dict");
  EXPECT_THAT(dict_keys(p->observation_space), ElementsAre("observation", "action_mask"));
  const auto& obs_space = static_cast<const tavrin_core::spaces::Dict&>(*p->observation_space);
  EXPECT_EQ(obs_space.at("observation")->flat_size(), 1);
  EXPECT_EQ(obs_space.at("action_mask")->flat_size(), 3);
  EXPECT_TRUE(p->_is_initialized);
  EXPECT_FALSE(p->done);
}

TEST_F(InitTest, AControllerAgentGetsAControllerAndNoTeacher) {
  script->filtered_keys = Value::list({"pos", "extra"});
  auto p = make(options(register_controller("controller", log, script), /*controller=*/true));
  run(p->init());
  EXPECT_NE(dynamic_cast<RecordingController*>(p->controller.get()), nullptr);
  EXPECT_FALSE(p->teacher);
  EXPECT_THAT(p->filter_keys, ElementsAre("pos", "extra"));
  EXPECT_THAT(log->calls, ElementsAre("controller#1.filtered_sensor_space()"));
}

TEST_F(InitTest, AnImplementationOfTheWrongKindIsRejected) {
  auto as_teacher = make(options(register_controller("controller", log, script)));
  EXPECT_THROW(run(as_teacher->init()), TypeError);
  auto as_controller = make(options(register_teacher("teacher", log, script), /*controller=*/true));
  EXPECT_THROW(run(as_controller->init()), TypeError);
  EXPECT_FALSE(as_controller->_is_initialized);
}

// ---- kept sensors ----

TEST_F(InitTest, NoUsableSensorListKeepsEveryOrchestrationSensorAndOnlyAFailureWarns) {
  LogCapture capture;
  for (const Value& keys : {Value::list(), Value(), Value(Map{})}) {
    script->filtered_keys = keys;
    auto p = make(options(register_teacher("teacher", log, script)));
    run(p->init());
    EXPECT_THAT(p->filter_keys, ElementsAre("pos", "vel", "extra")) << keys.str();
    EXPECT_THAT(dict_keys(p->filtered_korvath_sensor_space), ElementsAre("pos", "vel", "extra"));
  }
  EXPECT_THAT(capture.messages("warning", kLogger), IsEmpty());

  script->filtered_keys_fail = true;
  auto p = make(options(register_teacher("teacher", log, script)));
  run(p->init());
  EXPECT_THAT(p->filter_keys, ElementsAre("pos", "vel", "extra"));
  EXPECT_TRUE(p->_is_initialized);
  EXPECT_THAT(capture.messages("warning", kLogger),
              ElementsAre("filtered_sensor_space() failed (no sensor list) — falling back to the full sensor space."));
}

TEST_F(InitTest, SensorNamesThatAreNotTextAreKeptAsTheirTextForms) {
  script->filtered_keys = Value::list({Value(1), Value(2.5), Value("vel"), Value(true)});
  auto p = make(options(register_teacher("teacher", log, script)));
  run(p->init());
  EXPECT_THAT(p->filter_keys, ElementsAre("1", "2.5", "vel", "True"));
  // Names the space does not have are simply not in the filtered space.
  EXPECT_THAT(dict_keys(p->filtered_korvath_sensor_space), ElementsAre("vel"));
}

// ---- perceptors and agent groups ----

TEST_F(InitTest, AbsentAndEmptyPerceptorListsBothLeaveNoPerceptors) {
  auto absent = make(options(""), std::nullopt);
  run(absent->init());
  EXPECT_THAT(absent->perceptors, IsEmpty());
  auto empty = make(options(""), std::vector<tavrin_core::PerceptorNodePtr>{});
  run(empty->init());
  EXPECT_THAT(empty->perceptors, IsEmpty());
}

TEST_F(InitTest, RemoteAndLocalPerceptorsKeepTheOrchestrationOrder) {
  const std::string local_a = register_perceptor("A", log, Map{});
  const std::string remote_b = register_perceptor("B", log, Map{}, "", "0.9");
  const std::string local_c = register_perceptor("C", log, Map{});
  // Makes the registered perceptor, as the manager of this process would.
  link->set_manager(
      ManagerKind::perceptor,
      std::make_shared<RecordingManager>("perceptor_mgr", log, [](const tavrin_core::CallArgs& args) {
        const std::string cls = args.kwargs.at("env_init").as_text().substr(std::string("inproc://").size());
        return Value::tuple(
            {Value("p-1"), Value(tavrin_core::ImplementationRegistry::instance().make_perceptor_impl(cls))});
      }));
  auto p = make(options(""),
                std::vector<tavrin_core::PerceptorNodePtr>{std::make_shared<PerceptorNode>("a", local_a, false),
                                                           std::make_shared<PerceptorNode>("b", remote_b, true),
                                                           std::make_shared<PerceptorNode>("c", local_c, false)});
  run(p->init());
  ASSERT_EQ(p->perceptors.size(), 3u);
  std::vector<std::string> labels;
  for (const auto& perceptor : p->perceptors) labels.push_back(dynamic_cast<RecordingPerceptor&>(*perceptor).label());
  EXPECT_THAT(labels, ElementsAre("A", "B", "C"));
  // Only the remote one went through the manager, with the version found under its url.
  const std::string url = tavrin_core::network_util::get_tavrin_url(remote_b);
  EXPECT_THAT(log->starting_with("perceptor_mgr."),
              ElementsAre("perceptor_mgr.create_with_client([], " +
                          Value(Map{{"env_init", Value(url)}, {"version", Value("0.9")}}).str() + ")"));
}

TEST_F(InitTest, AgentGroupsStayEmptyWhateverTheContextSays) {
  for (bool for_group : {false, true}) {
    auto p = make(options(""));
    p->context.for_agent_group = for_group;
    run(p->init());
    EXPECT_THAT(p->agent_group_agent_processors, IsEmpty());
    EXPECT_FALSE(p->post_agent_group_agent_processor);
  }
}

// ---- remote implementations ----

TEST_F(InitTest, ARemoteTeacherComesFromTheInProcessAgentManager) {
  script->filtered_keys = Value::list({"pos"});
  auto p = make(options(register_teacher("remote", log, script, "2.0"), false, /*remote=*/true));
  run(p->init());
  ASSERT_NE(dynamic_cast<RecordingTeacher*>(p->teacher.get()), nullptr);
  EXPECT_EQ(std::static_pointer_cast<tavrin_core::InProcessManager>(link->manager(ManagerKind::agent))->live_clients(),
            1u);
  EXPECT_THAT(p->filter_keys, ElementsAre("pos"));
}

TEST_F(InitTest, RemoteCreationSendsTheUrlAndTheRegisteredVersion) {
  const std::string cls = register_controller("controller", log, script, "3.1.4");
  remote_manager(ManagerKind::controller, "controller_mgr",
                 [this] { return Value(std::make_shared<RecordingController>("proxy", 1, log, script)); });
  auto p = make(options(cls, /*controller=*/true, /*remote=*/true));
  run(p->init());
  EXPECT_NE(dynamic_cast<RecordingController*>(p->controller.get()), nullptr);
  EXPECT_FALSE(p->teacher);
  const Value named(
      Map{{"env_init", Value(tavrin_core::network_util::get_tavrin_url(cls))}, {"version", Value("3.1.4")}});
  EXPECT_THAT(log->calls, ElementsAre("controller_mgr.create_with_client([], " + named.str() + ")",
                                      "proxy#1.filtered_sensor_space()"));
}

TEST_F(InitTest, AFailedVersionLookupSendsLatest) {
  const std::string unknown = unique_class_name("unregistered");
  remote_manager(ManagerKind::agent, "agent_mgr",
                 [this] { return Value(std::make_shared<RecordingTeacher>("t", 1, log, script)); });
  remote_manager(ManagerKind::perceptor, "perceptor_mgr",
                 [this] { return Value(std::make_shared<RecordingPerceptor>("P", log, Map{}, "")); });
  auto p = make(options(unknown, false, /*remote=*/true),
                std::vector<tavrin_core::PerceptorNodePtr>{std::make_shared<PerceptorNode>("p", unknown, true)});
  run(p->init());
  const std::string url = tavrin_core::network_util::get_tavrin_url(unknown);
  const Value named(Map{{"env_init", Value(url)}, {"version", Value("latest")}});
  // The agent's implementation first, then the perceptors, then the sensor list.
  EXPECT_THAT(log->calls,
              ElementsAre("agent_mgr.create_with_client([], " + named.str() + ")",
                          "perceptor_mgr.create_with_client([], " + named.str() + ")", "t#1.filtered_sensor_space()"));
  EXPECT_EQ(p->perceptors.size(), 1u);
}

TEST_F(InitTest, ARemoteReplyMustBeAPairHoldingAProxyOfTheRightKind) {
  link->set_manager(ManagerKind::agent,
                    std::make_shared<RecordingManager>("agent_mgr", log, [](const tavrin_core::CallArgs&) {
                      return Value::list({Value("id"), Value(), Value()});
                    }));
  auto triple = make(options("x", false, true));
  EXPECT_THROW(run(triple->init()), InvalidArgumentError);
  EXPECT_FALSE(triple->_is_initialized);

  link->set_manager(ManagerKind::agent,
                    std::make_shared<RecordingManager>(
                        "agent_mgr", log, [](const tavrin_core::CallArgs&) { return Value("not a pair"); }));
  auto text = make(options("x", false, true));
  EXPECT_THROW(run(text->init()), InvalidArgumentError);

  remote_manager(ManagerKind::agent, "agent_mgr",
                 [this] { return Value(std::make_shared<RecordingPerceptor>("P", log, Map{}, "")); });
  auto wrong = make(options("x", false, true));
  try {
    run(wrong->init());
    FAIL() << "a perceptor was accepted as a teacher";
  } catch (const TypeError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("walker"));
  }
}

}  // namespace
