// Orchestration files (good and bad), the orchestration object, agent nodes and sensor
// normalisation, through the real loader, spaces and implementation registry.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "support/checks.hpp"
#include "support/test_paths.hpp"

namespace {

namespace fs = std::filesystem;
namespace sp = tavrin_core::spaces;
using namespace tavrin_core;
using namespace tavrin_inference;
using namespace ::testing;
using tavrin_inference::Value;

const std::string kDir = tavrin_test::test_data_dir() + "/orchestrations";
const std::string kPlugin = tavrin_test::test_plugin_path();
const std::string kOrigin = "/x/orch.json";

std::string fixture(const std::string& name) { return kDir + "/" + name; }

std::string error_of(const std::function<void()>& f) { return tavrin_test::message_of<InvalidArgumentError>(f); }

std::string parse_error(const std::string& text) {
  return error_of([&] { Orchestration::parse(text, kOrigin, "/x"); });
}

std::vector<std::string> dict_keys(const tavrin_core::SpacePtr& space) {
  const auto* dict = dynamic_cast<const sp::Dict*>(space.get());
  EXPECT_NE(dict, nullptr) << (space ? space->str() : "null");
  std::vector<std::string> keys;
  if (dict != nullptr) {
    for (const auto& [key, _] : dict->spaces()) keys.push_back(key);
  }
  return keys;
}

std::int64_t discrete_n(const tavrin_core::SpacePtr& space) {
  const auto* d = dynamic_cast<const sp::Discrete*>(space.get());
  return d == nullptr ? -1 : d->n();
}

// ---- good files ---------------------------------------------------------------------------------

TEST(OrchestrationLoad, FileWithEveryFieldIsReadCompletely) {
  const auto o = Orchestration::load(fixture("full.json"));
  EXPECT_EQ(o->id(), "thermal-zone");
  EXPECT_FALSE(o->is_initialized());
  EXPECT_EQ(o->source_path(), fixture("full.json"));
  EXPECT_EQ(o->plugins(),
            (std::vector<std::string>{kDir + "/plugins/libzone_teachers.so", "/opt/tavrin/plugins/libshared.so"}));

  ASSERT_EQ(o->sensors().size(), 3u);
  EXPECT_EQ(o->sensors()[0]->name(), "temperature");
  EXPECT_EQ(o->sensors()[0]->normalization(), Normalization::min_max);
  EXPECT_EQ(o->sensors()[1]->normalization(), Normalization::none);
  EXPECT_EQ(o->sensors()[1]->space()->type_name(), "Discrete");
  EXPECT_EQ(o->sensors()[2]->normalization(), Normalization::standard);
  EXPECT_DOUBLE_EQ(o->sensors()[2]->normalize_sample(Value(9.0)).as_double(), 2.0);  // (9 - 5) / 2

  ASSERT_TRUE(o->perceptors().has_value());
  ASSERT_EQ(o->perceptors()->size(), 2u);
  EXPECT_EQ((*o->perceptors())[0]->get_name(), "trend");
  EXPECT_EQ((*o->perceptors())[0]->get_impl_cls(), "TrendPerceptor");
  EXPECT_FALSE((*o->perceptors())[0]->is_remote());
  EXPECT_TRUE((*o->perceptors())[1]->is_remote());

  ASSERT_EQ(o->agents().size(), 6u);
  // The top agent is the one named, not the first.
  EXPECT_EQ(o->get_top_agent()->get_name(), "root");

  const auto heat = o->get_node_by_name("heat");
  EXPECT_NE(dynamic_cast<tavrin_core::Agent*>(heat.get()), nullptr);
  EXPECT_EQ(heat->get_action_space()->type_name(), "Box");
  EXPECT_EQ(heat->get_impl_cls(), "HeatTeacher");
  EXPECT_TRUE(heat->has_custom_action_space());
  EXPECT_FALSE(heat->is_controller());
  EXPECT_EQ(heat->get_checkpoint_uri(), std::optional<std::string>(kDir + "/models/heat"));
  // The file's own simulator space, in the file's key order, is every agent's default.
  EXPECT_EQ(dict_keys(heat->get_sim_sensor_space()), (std::vector<std::string>{"occupancy", "temperature"}));

  const auto hold = o->get_node_by_name("hold");
  EXPECT_EQ(hold->get_action_space()->type_name(), "MultiDiscrete");
  EXPECT_EQ(hold->get_checkpoint_uri(), std::optional<std::string>("/srv/checkpoints/hold"));
  EXPECT_EQ(dict_keys(hold->get_sim_sensor_space()), (std::vector<std::string>{"load"}));
  EXPECT_TRUE(hold->get_impl_cls().empty());

  const auto fallback = o->get_node_by_name("fallback");
  EXPECT_TRUE(fallback->is_controller());
  EXPECT_TRUE(fallback->is_remote());
  EXPECT_EQ(fallback->get_impl_cls(), "ThermostatController");
  EXPECT_EQ(fallback->get_checkpoint_uri(), std::optional<std::string>(""));  // empty stays empty

  const auto root = o->get_node_by_name("root");
  EXPECT_NE(dynamic_cast<tavrin_core::AgentOrchestrator*>(root.get()), nullptr);
  EXPECT_EQ(root->get_children(), (std::vector<std::string>{"heat", "hold", "fallback"}));
  EXPECT_EQ(discrete_n(root->get_action_space()), 3);
  EXPECT_EQ(root->get_checkpoint_uri(), std::optional<std::string>(kDir + "/models"));
  ASSERT_EQ(root->follow_rules().size(), 2u);
  EXPECT_EQ(root->follow_rules()[0].after, "heat");
  EXPECT_EQ(root->follow_rules()[0].allowed, (std::vector<std::string>{"heat", "hold"}));
  EXPECT_EQ(root->follow_rules()[1].after, "fallback");
  EXPECT_EQ(root->follow_rules()[1].allowed, (std::vector<std::string>{"fallback"}));

  const auto crew = o->get_node_by_name("crew");
  EXPECT_NE(dynamic_cast<tavrin_core::AgentCoordinatedSet*>(crew.get()), nullptr);
  EXPECT_EQ(crew->get_action_space(), nullptr);
  const auto swarm = o->get_node_by_name("swarm");
  EXPECT_NE(dynamic_cast<tavrin_core::AgentCoordinatedPopulation*>(swarm.get()), nullptr);
  EXPECT_EQ(swarm->get_action_space()->type_name(), "MultiBinary");
  EXPECT_EQ(swarm->get_children(), (std::vector<std::string>{"crew"}));
}

TEST(OrchestrationLoad, OmittedFieldsTakeTheirDefaults) {
  const auto o = Orchestration::load(fixture("defaults.json"));
  EXPECT_FALSE(o->perceptors().has_value());
  EXPECT_TRUE(o->plugins().empty());
  EXPECT_EQ(o->get_top_agent()->get_name(), "select");  // the first agent

  const auto select = o->get_node_by_name("select");
  EXPECT_EQ(discrete_n(select->get_action_space()), 2);  // one choice per child
  EXPECT_TRUE(select->follow_rules().empty());
  EXPECT_FALSE(select->get_checkpoint_uri().has_value());

  for (const auto& agent : o->agents()) {
    SCOPED_TRACE(agent->get_name());
    EXPECT_FALSE(agent->is_controller());
    EXPECT_FALSE(agent->is_remote());
    EXPECT_FALSE(agent->has_custom_action_space());
    EXPECT_TRUE(agent->get_impl_cls().empty());
    // Without a simulator space the agents see the orchestration's sensors, in order.
    EXPECT_EQ(dict_keys(agent->get_sim_sensor_space()), (std::vector<std::string>{"level", "valve"}));
  }
  for (const auto& sensor : o->sensors()) EXPECT_EQ(sensor->normalization(), Normalization::none);
  EXPECT_EQ(o->get_node_by_name("drain")->get_checkpoint_uri(), std::optional<std::string>(kDir + "/drain"));
}

TEST(OrchestrationLoad, RelativePathsFollowTheFileNotTheWorkingDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(tavrin_test::test_data_dir());
  std::shared_ptr<Orchestration> o;
  try {
    o = Orchestration::load("orchestrations/./defaults.json");
  } catch (...) {
    fs::current_path(previous);
    throw;
  }
  fs::current_path(previous);
  // Still right after the working directory changed back.
  EXPECT_EQ(o->get_node_by_name("drain")->get_checkpoint_uri(), std::optional<std::string>(kDir + "/drain"));
  EXPECT_EQ(o->source_path(), "orchestrations/./defaults.json");

  // Parsed text: relative to the folder given, or left relative without one.
  const std::string text = R"({"id": "p", "plugins": ["lib/a.so"], "agents": [
      {"name": "a", "kind": "Agent", "checkpoint": "ck/../models", "action_space": {"type": "Discrete", "n": 2}}]})";
  const auto in_folder = Orchestration::parse(text, "text", "/data/run");
  EXPECT_EQ(in_folder->agents()[0]->get_checkpoint_uri(), std::optional<std::string>("/data/run/models"));
  EXPECT_EQ(in_folder->plugins(), std::vector<std::string>{"/data/run/lib/a.so"});
  const auto no_folder = Orchestration::parse(text, "text", "");
  EXPECT_EQ(no_folder->agents()[0]->get_checkpoint_uri(), std::optional<std::string>("models"));
  EXPECT_EQ(no_folder->source_path(), "text");
}

TEST(OrchestrationLoad, AnEmptyPerceptorListIsNotAnAbsentOne) {
  const auto o = Orchestration::parse(R"({"id": "p", "perceptors": [], "sensors": [], "agents": [
      {"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})",
                                      kOrigin, "/x");
  ASSERT_TRUE(o->perceptors().has_value());
  EXPECT_TRUE(o->perceptors()->empty());
  EXPECT_TRUE(o->sensors().empty());
  EXPECT_TRUE(dict_keys(o->agents()[0]->get_sim_sensor_space()).empty());
}

TEST(OrchestrationLoad, ShippedOrchestrationsLoad) {
  const std::string root = fs::path(tavrin_test::test_data_dir()).parent_path().parent_path().string();
  EXPECT_EQ(Orchestration::load(root + "/examples/thermal/orchestration.json")->get_top_agent()->get_name(), "zone");
  EXPECT_EQ(Orchestration::load(tavrin_test::test_data_dir() + "/host/minimal.json")->id(), "host-minimal");
}

TEST(OrchestrationLoad, ABarePluginNameIsBesideTheOrchestrationOrBesideTheRuntimeElseLeftToTheDynamicLoader) {
  const std::string text = R"({"id": "p", "plugins": ["full.json", "libtavrin_thermal.so", "libnone.so"],
      "agents": [{"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})";
  const std::string runtime_folder = fs::path(tavrin_test::lib_dir()).lexically_normal().string();
  EXPECT_EQ(Orchestration::parse(text, "text", kDir)->plugins(),
            (std::vector<std::string>{kDir + "/full.json", runtime_folder + "/libtavrin_thermal.so", "libnone.so"}));

  // The shipped example names its plugin so; the loader finds it next to the runtime libraries.
  const std::string root = fs::path(tavrin_test::test_data_dir()).parent_path().parent_path().string();
  const auto shipped = Orchestration::load(root + "/examples/thermal/orchestration.json");
  EXPECT_EQ(shipped->plugins(), std::vector<std::string>{runtime_folder + "/libtavrin_thermal.so"});
  run_sync(shipped->init());
  EXPECT_TRUE(tavrin_core::ImplementationRegistry::instance().has_agent_impl("ZoneTeacher"));
}

// ---- bad files ----------------------------------------------------------------------------------

TEST(OrchestrationLoadErrors, MissingFileAndFolder) {
  try {
    Orchestration::load(fixture("no-such-file.json"));
    FAIL() << "no error";
  } catch (const FileNotFoundError& e) {
    EXPECT_STREQ(e.what(), ("Orchestration file not found: " + fixture("no-such-file.json")).c_str());
  }
  EXPECT_THAT(error_of([] { Orchestration::load(kDir); }), StartsWith(kDir + ": "));
}

TEST(OrchestrationLoadErrors, FixtureFilesNameTheFileAndTheField) {
  EXPECT_EQ(error_of([] { Orchestration::load(fixture("bad_kind.json")); }),
            fixture("bad_kind.json") +
                ": agents[2].kind: unknown agent kind 'Skill' (expected Agent, AgentOrchestrator, "
                "AgentCoordinatedSet or AgentCoordinatedPopulation)");
  EXPECT_EQ(error_of([] { Orchestration::load(fixture("cycle.json")); }),
            fixture("cycle.json") + ": agents[2].children[0]: cycle in the agent graph: a -> b -> a");
}

TEST(OrchestrationLoadErrors, MalformedJsonGivesLineAndColumn) {
  // Line 4 reads `    {"name": "a" "kind": ...`: the parser stops at the end of the unexpected "kind".
  EXPECT_THAT(error_of([] { Orchestration::load(fixture("malformed.json")); }),
              StartsWith(fixture("malformed.json") + ": malformed JSON at line 4, column 23: "));
  EXPECT_THAT(error_of([] { Orchestration::load(fixture("malformed.json")); }), HasSubstr("unexpected string literal"));
  // The file stops inside a string on line 4, after its 29th character.
  EXPECT_THAT(error_of([] { Orchestration::load(fixture("truncated.json")); }),
              StartsWith(fixture("truncated.json") + ": malformed JSON at line 4, column 30: "));

  EXPECT_THAT(parse_error(""), StartsWith(kOrigin + ": malformed JSON at line 1, column 1: "));
  EXPECT_THAT(parse_error("{\"id\": \"a\",\n}"), StartsWith(kOrigin + ": malformed JSON at line 2, column 1: "));
  // Columns count characters: "Zürich" is six of them, in seven bytes.
  EXPECT_THAT(parse_error("{\"id\": \"Zürich\" x}"), StartsWith(kOrigin + ": malformed JSON at line 1, column 17: "));
  // The parser's own byte-based position is not repeated.
  EXPECT_THAT(parse_error("[1,"), testing::Not(HasSubstr("json.exception")));
}

TEST(OrchestrationLoadErrors, DuplicateJsonKeysAreRejected) {
  EXPECT_EQ(parse_error(R"({"id": "a", "id": "b", "agents": []})"), kOrigin + ": duplicate field 'id'");
  EXPECT_EQ(parse_error(R"({"id": "a", "agents": [{"name": "a", "kind": "Agent"},
      {"name": "b", "kind": "Agent", "kind": "AgentOrchestrator"}]})"),
            kOrigin + ": agents[1]: duplicate field 'kind'");
  // The same key in different objects is fine.
  EXPECT_NO_THROW(Orchestration::parse(R"({"id": "a", "agents": [
      {"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "b", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})",
                                       kOrigin, ""));
}

TEST(OrchestrationLoadErrors, CyclesAreReportedWithTheirPath) {
  auto cycle_of = [](const std::string& agents) {
    return parse_error(R"({"id": "c", "agents": [)" + agents +
                       R"(, {"name": "leaf", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})");
  };
  EXPECT_EQ(cycle_of(R"({"name": "root", "kind": "AgentOrchestrator", "children": ["leaf", "root"]})"),
            kOrigin + ": agents[0].children[1]: cycle in the agent graph: root -> root");
  EXPECT_EQ(cycle_of(R"({"name": "root", "kind": "AgentOrchestrator", "children": ["a"]},
                        {"name": "a", "kind": "AgentCoordinatedSet", "children": ["leaf", "root"]})"),
            kOrigin + ": agents[1].children[1]: cycle in the agent graph: root -> a -> root");
  // A child shared by two parents is no cycle.
  EXPECT_NO_THROW(Orchestration::parse(R"({"id": "d", "agents": [
      {"name": "root", "kind": "AgentOrchestrator", "children": ["a", "b"]},
      {"name": "a", "kind": "AgentOrchestrator", "children": ["leaf"]},
      {"name": "b", "kind": "AgentOrchestrator", "children": ["leaf", "a"]},
      {"name": "leaf", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})",
                                       kOrigin, ""));
}

TEST(OrchestrationLoadErrors, TopLevelMustBeAnObject) {
  EXPECT_EQ(parse_error("[1, 2]"), kOrigin + ": expected an orchestration object, got a list");
}

// Each case changes one thing in a good file; the error must start with the file and the field.
struct BadCase {
  const char* name;
  std::function<void(nlohmann::ordered_json&)> change;
  const char* field;
  const char* fragment;
};

const char* const kGood = R"({
  "id": "good",
  "plugins": ["libs/a.so"],
  "sensors": [
    {"name": "temperature", "space": {"type": "Box", "low": 0, "high": 40, "shape": [1]}, "normalize": "min_max"},
    {"name": "occupancy", "space": {"type": "Discrete", "n": 2}}
  ],
  "perceptors": [{"name": "trend", "class": "TrendPerceptor"}],
  "agents": [
    {"name": "root", "kind": "AgentOrchestrator", "children": ["heat", "hold"],
     "rules": [{"after": "heat", "allowed": ["hold"]}]},
    {"name": "heat", "kind": "Agent", "action_space": {"type": "Box", "low": 0, "high": 1, "shape": [1]}},
    {"name": "hold", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}
  ],
  "top_agent": "root"
})";

using J = nlohmann::ordered_json;

const BadCase kBadCases[] = {
    {"MissingId", [](J& j) { j.erase("id"); }, "id", "missing required field"},
    {"EmptyId", [](J& j) { j["id"] = ""; }, "id", "must not be empty"},
    {"IdNotText", [](J& j) { j["id"] = 3; }, "id", "expected text, got an integer"},
    {"UnknownTopLevelField", [](J& j) { j["agent"] = J::array(); }, "agent", "unknown field 'agent'"},
    {"PluginsNotList", [](J& j) { j["plugins"] = "a.so"; }, "plugins", "expected a list, got text"},
    {"EmptyPluginPath", [](J& j) { j["plugins"][0] = ""; }, "plugins[0]", "must not be empty"},
    {"SensorsNotList", [](J& j) { j["sensors"] = J::object(); }, "sensors", "expected a list, got an object"},
    {"SensorNotObject", [](J& j) { j["sensors"][1] = "occupancy"; }, "sensors[1]", "expected an object, got text"},
    {"UnknownSensorField", [](J& j) { j["sensors"][1]["normalise"] = "none"; }, "sensors[1].normalise",
     "unknown field 'normalise'"},
    {"SensorWithoutName", [](J& j) { j["sensors"][1].erase("name"); }, "sensors[1].name", "missing required field"},
    {"SensorWithoutSpace", [](J& j) { j["sensors"][1].erase("space"); }, "sensors[1].space", "missing required field"},
    {"DuplicateSensor", [](J& j) { j["sensors"][1]["name"] = "temperature"; }, "sensors[1].name",
     "duplicate sensor name 'temperature' (also sensors[0])"},
    {"UnknownSpaceType", [](J& j) { j["sensors"][1]["space"]["type"] = "Discreet"; }, "sensors[1].space.type",
     "unknown space type 'Discreet'"},
    {"SpaceFieldMissing", [](J& j) { j["sensors"][1]["space"].erase("n"); }, "sensors[1].space.n", "missing"},
    {"BadSpaceField", [](J& j) { j["sensors"][1]["space"]["n"] = -2; }, "sensors[1].space.n", "positive integer"},
    {"UnknownNormalization", [](J& j) { j["sensors"][0]["normalize"] = "minmax"; }, "sensors[0].normalize",
     "unknown normalization 'minmax'"},
    {"NormalizationNotTextOrObject", [](J& j) { j["sensors"][0]["normalize"] = true; }, "sensors[0].normalize",
     "unknown normalization a boolean"},
    {"MinMaxNeedsABox", [](J& j) { j["sensors"][1]["normalize"] = "min_max"; }, "sensors[1].normalize",
     "min_max normalization needs a Box space, got Discrete(2)"},
    {"MinMaxNeedsFiniteBounds", [](J& j) { j["sensors"][0]["space"]["high"] = "inf"; }, "sensors[0].normalize",
     "needs finite bounds"},
    {"MinMaxNeedsAWidth", [](J& j) { j["sensors"][0]["space"]["high"] = 0; }, "sensors[0].normalize",
     "needs low < high"},
    {"StdMustBePositive",
     [](J& j) {
       j["sensors"][0]["normalize"] = J{{"mean", 1}, {"std", 0}};
     },
     "sensors[0].normalize", "std must be a finite number > 0"},
    {"StdMissing",
     [](J& j) {
       j["sensors"][0]["normalize"] = J{{"mean", 1}};
     },
     "sensors[0].normalize.std", "missing required field"},
    {"MeanNotNumber",
     [](J& j) {
       j["sensors"][0]["normalize"] = J{{"mean", "1"}, {"std", 1}};
     },
     "sensors[0].normalize.mean", "expected a number, got text"},
    {"UnknownNormalizationField",
     [](J& j) {
       j["sensors"][0]["normalize"] = J{{"mean", 1}, {"std", 1}, {"min", 0}};
     },
     "sensors[0].normalize.min", "unknown field 'min'"},
    {"StandardNeedsABox",
     [](J& j) {
       j["sensors"][1]["normalize"] = J{{"mean", 1}, {"std", 1}};
     },
     "sensors[1].normalize", "standard normalization needs a Box space"},
    {"SimSensorSpaceNotDict",
     [](J& j) {
       j["sim_sensor_space"] = J{{"type", "Discrete"}, {"n", 2}};
     },
     "sim_sensor_space", "must be a Dict space, got Discrete(2)"},
    {"AgentSimSensorSpaceNotDict",
     [](J& j) {
       j["agents"][1]["sim_sensor_space"] = J{{"type", "Discrete"}, {"n", 2}};
     },
     "agents[1].sim_sensor_space", "must be a Dict space"},
    {"PerceptorsNotList", [](J& j) { j["perceptors"] = "trend"; }, "perceptors", "expected a list"},
    {"PerceptorWithoutClass", [](J& j) { j["perceptors"][0].erase("class"); }, "perceptors[0].class",
     "missing required field"},
    {"DuplicatePerceptor",
     [](J& j) {
       j["perceptors"].push_back(J{{"name", "trend"}, {"class", "T"}});
     },
     "perceptors[1].name", "duplicate perceptor name 'trend' (also perceptors[0])"},
    {"UnknownPerceptorField", [](J& j) { j["perceptors"][0]["remot"] = true; }, "perceptors[0].remot",
     "unknown field 'remot'"},
    {"PerceptorRemoteNotBool", [](J& j) { j["perceptors"][0]["remote"] = 1; }, "perceptors[0].remote",
     "expected true or false, got an integer"},
    {"AgentsMissing", [](J& j) { j.erase("agents"); }, "agents", "missing required field"},
    {"AgentsEmpty", [](J& j) { j["agents"] = J::array(); }, "agents", "at least one agent"},
    {"UnknownAgentField", [](J& j) { j["agents"][1]["clas"] = "HeatTeacher"; }, "agents[1].clas",
     "unknown field 'clas' in an agent"},
    {"AgentNameEmpty", [](J& j) { j["agents"][1]["name"] = ""; }, "agents[1].name", "must not be empty"},
    {"DuplicateAgent", [](J& j) { j["agents"][2]["name"] = "heat"; }, "agents[2].name",
     "duplicate agent name 'heat' (also agents[1])"},
    {"MissingKind", [](J& j) { j["agents"][1].erase("kind"); }, "agents[1].kind", "missing required field"},
    {"UnknownKind", [](J& j) { j["agents"][1]["kind"] = "Skill"; }, "agents[1].kind",
     "unknown agent kind 'Skill' (expected Agent, AgentOrchestrator, AgentCoordinatedSet or "
     "AgentCoordinatedPopulation)"},
    {"ChildrenOnASkill", [](J& j) { j["agents"][1]["children"] = J{"hold"}; }, "agents[1].children",
     "only the other kinds have children"},
    {"UnknownChild", [](J& j) { j["agents"][0]["children"][1] = "hot"; }, "agents[0].children[1]",
     "no agent named 'hot'"},
    {"ChildTwice", [](J& j) { j["agents"][0]["children"][1] = "heat"; }, "agents[0].children[1]",
     "'heat' is listed twice"},
    {"OrchestratorWithoutChildren",
     [](J& j) {
       j["agents"][0].erase("children");
       j["agents"][0].erase("rules");
     },
     "agents[0].children", "at least one child"},
    {"SkillWithoutActionSpace", [](J& j) { j["agents"][2].erase("action_space"); }, "agents[2].action_space",
     "'hold' is a skill (kind Agent) and needs an action space"},
    {"UnknownActionSpaceType", [](J& j) { j["agents"][1]["action_space"]["type"] = "Boxx"; },
     "agents[1].action_space.type", "unknown space type 'Boxx'"},
    {"OrchestratorActionSpaceMustCountChildren",
     [](J& j) {
       j["agents"][0]["action_space"] = J{{"type", "Discrete"}, {"n", 3}};
     },
     "agents[0].action_space", "must be Discrete(2), got Discrete(3)"},
    {"ControllerWithoutClass", [](J& j) { j["agents"][2]["controller"] = true; }, "agents[2].class",
     "is a controller and needs the implementation class"},
    {"RemoteWithoutClass", [](J& j) { j["agents"][2]["remote"] = true; }, "agents[2].class",
     "is remote and needs the implementation class"},
    {"ControllerNotBool", [](J& j) { j["agents"][2]["controller"] = "yes"; }, "agents[2].controller",
     "expected true or false, got text"},
    {"CustomActionSpaceNotBool", [](J& j) { j["agents"][2]["custom_action_space"] = 0; },
     "agents[2].custom_action_space", "expected true or false"},
    {"CheckpointNotText", [](J& j) { j["agents"][1]["checkpoint"] = 5; }, "agents[1].checkpoint", "expected text"},
    {"EmptyClass", [](J& j) { j["agents"][1]["class"] = ""; }, "agents[1].class", "must not be empty"},
    {"RulesOnASkill", [](J& j) { j["agents"][1]["rules"] = J::array(); }, "agents[1].rules",
     "only an AgentOrchestrator has rules"},
    {"RuleAfterNotAChild", [](J& j) { j["agents"][0]["rules"][0]["after"] = "root"; }, "agents[0].rules[0].after",
     "'root' is not a child of 'root' (children: heat, hold)"},
    {"RuleAllowsNotAChild", [](J& j) { j["agents"][0]["rules"][0]["allowed"].push_back("cool"); },
     "agents[0].rules[0].allowed[1]", "'cool' is not a child of 'root'"},
    {"RuleAllowsNothing", [](J& j) { j["agents"][0]["rules"][0]["allowed"] = J::array(); },
     "agents[0].rules[0].allowed", "must allow at least one child"},
    {"RuleAllowsTwice", [](J& j) { j["agents"][0]["rules"][0]["allowed"].push_back("hold"); },
     "agents[0].rules[0].allowed[1]", "'hold' is listed twice"},
    {"SecondRuleForTheSameChild",
     [](J& j) {
       j["agents"][0]["rules"].push_back(J{{"after", "heat"}, {"allowed", J{"heat"}}});
     },
     "agents[0].rules[1].after", "a rule for 'heat' is already given in agents[0].rules[0]"},
    {"RuleWithoutAllowed", [](J& j) { j["agents"][0]["rules"][0].erase("allowed"); }, "agents[0].rules[0].allowed",
     "missing required field"},
    {"UnknownRuleField", [](J& j) { j["agents"][0]["rules"][0]["allow"] = J{"hold"}; }, "agents[0].rules[0].allow",
     "unknown field 'allow' in a rule"},
    {"UnknownTopAgent", [](J& j) { j["top_agent"] = "roots"; }, "top_agent", "no agent named 'roots'"},
    {"TopAgentNotText", [](J& j) { j["top_agent"] = J::array(); }, "top_agent", "expected text, got a list"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class OrchestrationBadFile : public testing::TestWithParam<BadCase> {};

TEST(OrchestrationBadFileBase, TheUnchangedFileLoads) {
  const auto o = Orchestration::parse(kGood, kOrigin, "/x");
  EXPECT_EQ(o->agents().size(), 3u);
}

TEST_P(OrchestrationBadFile, NamesTheFileAndTheField) {
  J j = J::parse(kGood);
  GetParam().change(j);
  const std::string message = parse_error(j.dump(2));
  EXPECT_THAT(message, StartsWith(kOrigin + ": " + GetParam().field + ": "));
  EXPECT_THAT(message, HasSubstr(GetParam().fragment));
}

INSTANTIATE_TEST_SUITE_P(EveryRule, OrchestrationBadFile, testing::ValuesIn(kBadCases),
                         [](const testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

// ---- the orchestration object -------------------------------------------------------------------------

std::shared_ptr<AgentNode> skill(const std::string& name, const std::string& cls = "", bool controller = false) {
  AgentNode::Options o;
  o.name = name;
  o.action_space = std::make_shared<sp::Discrete>(2);
  o.impl_cls = cls;
  o.controller = controller;
  return std::make_shared<tavrin_core::Agent>(std::move(o));
}

TEST(OrchestrationObject, LooksUpAgentsAndChecksWhatItIsGiven) {
  const Orchestration o("demo", {}, std::nullopt, {skill("a"), skill("b")}, "");
  EXPECT_EQ(o.get_top_agent()->get_name(), "a");
  EXPECT_EQ(o.get_node_by_name("b")->get_name(), "b");
  try {
    o.get_node_by_name("c");
    FAIL() << "no error";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "No agent named 'c' in orchestration 'demo'");
  }
  EXPECT_EQ(Orchestration("demo", {}, std::nullopt, {skill("a"), skill("b")}, "b").get_top_agent()->get_name(), "b");
  EXPECT_THROW(Orchestration("demo", {}, std::nullopt, {skill("a"), skill("a")}, ""), InvalidArgumentError);
  EXPECT_THROW(Orchestration("demo", {}, std::nullopt, {skill("a")}, "z"), InvalidArgumentError);
  EXPECT_THROW(Orchestration("demo", {}, std::nullopt, {}, "").get_top_agent(), KeyError);
}

class LocalTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "OrchestrationTestTeacher"; }
};

TEST(OrchestrationAgentNode, EveryCallMakesAFreshImplementation) {
  tavrin_core::ImplementationRegistry::instance().register_agent_impl("OrchestrationTestTeacher",
                                                                      [] { return std::make_shared<LocalTeacher>(); });

  const auto named = skill("a", "OrchestrationTestTeacher");
  const auto first = named->get_impl_cls_instance();
  const auto second = named->get_impl_cls_instance();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->class_name(), "OrchestrationTestTeacher");

  // No class: a teacher that changes nothing for skills and selectors, nothing for controllers.
  const auto plain = skill("b");
  const auto teacher = std::dynamic_pointer_cast<tavrin_core::AgentTeacher>(plain->get_impl_cls_instance());
  ASSERT_NE(teacher, nullptr);
  EXPECT_EQ(teacher->class_name(), "AgentTeacher");
  EXPECT_NE(teacher, plain->get_impl_cls_instance());
  const Value action = Value(NdArray::from_vector<float>({0.25f}));
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), action)), action);
  EXPECT_EQ(skill("c", "", true)->get_impl_cls_instance(), nullptr);

  EXPECT_THROW(skill("d", "NoSuchTeacher")->get_impl_cls_instance(), KeyError);
  EXPECT_THROW(tavrin_core::PerceptorNode("p", "NoSuchPerceptor", false).get_impl_cls_instance(), KeyError);
}

TEST(OrchestrationInit, LoadsPluginsAndFindsEveryClass) {
  const std::string text = R"({"id": "with-plugin", "plugins": [")" + kPlugin + R"("],
    "perceptors": [{"name": "p", "class": "PluginPerceptor", "remote": true}],
    "agents": [
      {"name": "root", "kind": "AgentOrchestrator", "children": ["a", "c"], "class": "AgentTeacher"},
      {"name": "a", "kind": "Agent", "class": "PluginTeacher", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "c", "kind": "Agent", "class": "PluginController", "controller": true,
       "action_space": {"type": "Discrete", "n": 3}},
      {"name": "plain", "kind": "Agent", "action_space": {"type": "Discrete", "n": 3}}]})";
  const auto o = Orchestration::parse(text, kOrigin, "/x");
  run_sync(o->init());
  EXPECT_TRUE(o->is_initialized());
  const auto controller =
      std::dynamic_pointer_cast<tavrin_core::AgentController>(o->get_node_by_name("c")->get_impl_cls_instance());
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(run_sync(controller->compute_action(Value(), Value())), Value(2));
  EXPECT_EQ((*o->perceptors())[0]->get_impl_cls_instance()->class_name(), "PluginPerceptor");
  run_sync(o->init());  // again: nothing to do
  EXPECT_TRUE(o->is_initialized());
}

TEST(OrchestrationInit, UnregisteredClassesAndMissingPluginsFailIt) {
  const auto agents = Orchestration::parse(R"({"id": "u", "agents": [
      {"name": "a", "kind": "Agent", "class": "NoSuchTeacher", "action_space": {"type": "Discrete", "n": 2}}]})",
                                           kOrigin, "/x");
  try {
    run_sync(agents->init());
    FAIL() << "no error";
  } catch (const KeyError& e) {
    EXPECT_THAT(e.what(), StartsWith(kOrigin + ": "));
    EXPECT_THAT(e.what(), HasSubstr("agent 'a'"));
    EXPECT_THAT(e.what(), HasSubstr("'NoSuchTeacher'"));
  }
  EXPECT_FALSE(agents->is_initialized());

  const auto perceptors = Orchestration::parse(R"({"id": "u", "perceptors": [{"name": "p", "class": "NoSuchPerceptor"}],
      "agents": [{"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 2}}]})",
                                               kOrigin, "/x");
  try {
    run_sync(perceptors->init());
    FAIL() << "no error";
  } catch (const KeyError& e) {
    EXPECT_THAT(e.what(), StartsWith(kOrigin + ": perceptor 'p' names the implementation class 'NoSuchPerceptor'"));
  }
  EXPECT_FALSE(perceptors->is_initialized());

  // Loading does not touch the plugins; init does, and fails on one that is not there.
  const auto missing = Orchestration::load(fixture("full.json"));
  try {
    run_sync(missing->init());
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.what(), StartsWith(fixture("full.json") + ": plugins[0]: Cannot load plugin library " + kDir +
                                     "/plugins/libzone_teachers.so: "));
  }
  EXPECT_FALSE(missing->is_initialized());
}

// ---- sensors ------------------------------------------------------------------------------------------

std::shared_ptr<const sp::Box> box(std::vector<double> low, std::vector<double> high) {
  const auto n = static_cast<std::int64_t>(low.size());
  return std::make_shared<sp::Box>(NdArray::from_vector(std::move(low), Shape{n}),
                                   NdArray::from_vector(std::move(high), Shape{n}));
}

std::vector<float> floats(const Value& v) {
  const auto s = v.as_array().span<float>();
  return {s.begin(), s.end()};
}

TEST(SensorNormalization, MinMaxMapsEachElementsBoundsOntoMinusOneToOne) {
  const Sensor s("t", box({0, -10}, {40, 10}), Normalization::min_max);
  const Value out = s.normalize_sample(Value(NdArray::from_vector<float>({0, 10})));
  EXPECT_EQ(out.as_array().dtype(), DType::float32);
  EXPECT_EQ(out.as_array().shape(), (Shape{2}));
  EXPECT_EQ(floats(out), (std::vector<float>{-1.0f, 1.0f}));
  EXPECT_EQ(floats(s.normalize_sample(Value(NdArray::from_vector<float>({20, 0})))), (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(floats(s.normalize_sample(Value(NdArray::from_vector<double>({10, -5})))),
            (std::vector<float>{-0.5f, -0.5f}));
  // Integer input, and values outside the bounds (mapped on the same line, not clipped).
  EXPECT_EQ(floats(s.normalize_sample(Value(NdArray::from_vector<std::int64_t>({80, 30})))),
            (std::vector<float>{3.0f, 3.0f}));
  EXPECT_EQ(floats(s.normalize_sample(Value::list({Value(30.0), Value(5)}))), (std::vector<float>{0.5f, 0.5f}));

  // A one-element box applies to every element; a scalar stays a number.
  const Sensor one("u", std::make_shared<sp::Box>(0.0, 40.0, Shape{1}), Normalization::min_max);
  EXPECT_EQ(floats(one.normalize_sample(Value(NdArray::from_vector<float>({0, 10, 40})))),
            (std::vector<float>{-1.0f, -0.5f, 1.0f}));
  const Value scalar = one.normalize_sample(Value(30));
  ASSERT_TRUE(scalar.is_float());
  EXPECT_DOUBLE_EQ(scalar.as_double(), 0.5);
  // The shape of the value is kept.
  const Value grid = one.normalize_sample(Value(NdArray::from_vector<float>({0, 10, 20, 40}, Shape{2, 2})));
  EXPECT_EQ(grid.as_array().shape(), (Shape{2, 2}));
}

TEST(SensorNormalization, StandardAndNone) {
  const Sensor standard("l", std::make_shared<sp::Box>(0.0, 10.0, Shape{2}), Normalization::standard, 5.0, 2.0);
  EXPECT_EQ(floats(standard.normalize_sample(Value(NdArray::from_vector<float>({9, 4})))),
            (std::vector<float>{2.0f, -0.5f}));
  EXPECT_DOUBLE_EQ(standard.normalize_sample(Value(1)).as_double(), -2.0);

  const Sensor plain("o", std::make_shared<sp::Discrete>(3));
  const Value map = Value(Map{{"a", Value(1)}});
  EXPECT_EQ(plain.normalize_sample(map), map);
  EXPECT_EQ(plain.normalize_sample(Value(2)), Value(2));
}

TEST(SensorNormalization, MovedFloatArraysAreNormalizedInTheirOwnBuffer) {
  const Sensor s("t", std::make_shared<sp::Box>(0.0, 40.0, Shape{3}), Normalization::min_max);
  Value slot(NdArray::from_vector<float>({0, 20, 40}));
  const float* buffer = slot.as_array().data<float>();
  slot = s.normalize_sample(std::move(slot));
  EXPECT_EQ(slot.as_array().data<float>(), buffer);
  EXPECT_EQ(floats(slot), (std::vector<float>{-1.0f, 0.0f, 1.0f}));

  // A value passed by reference is left alone.
  const Value kept(NdArray::from_vector<float>({40, 40, 40}));
  EXPECT_EQ(floats(s.normalize_sample(kept)), (std::vector<float>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(floats(kept), (std::vector<float>{40.0f, 40.0f, 40.0f}));

  // Other kinds moved in are converted as usual.
  EXPECT_EQ(floats(s.normalize_sample(Value(NdArray::from_vector<std::int64_t>({0, 0, 40})))),
            (std::vector<float>{-1.0f, -1.0f, 1.0f}));
}

TEST(SensorNormalization, ValuesThatDoNotFitAreRefused) {
  const Sensor s("temp", box({0, 0}, {1, 1}), Normalization::min_max);
  try {
    s.normalize_sample(Value(NdArray::from_vector<float>({0, 0, 0})));
    FAIL() << "no error";
  } catch (const InvalidArgumentError& e) {
    EXPECT_THAT(e.what(), StartsWith("sensor 'temp': a value of shape (3) does not fit Box("));
  }
  EXPECT_THROW(s.normalize_sample(NdArray::from_vector<float>({0, 0, 0})), InvalidArgumentError);  // moved in
  EXPECT_THROW(s.normalize_sample(Value(1.0)), InvalidArgumentError);
  EXPECT_THROW(s.normalize_sample(Value("warm")), TypeError);
  EXPECT_THROW(s.normalize_sample(Value::list({Value(1), Value::list({Value(2)})})), TypeError);  // ragged
}

TEST(SensorNormalization, ConstructionRefusesWhatCannotBeNormalized) {
  EXPECT_THROW(Sensor("d", std::make_shared<sp::Discrete>(2), Normalization::min_max), InvalidArgumentError);
  EXPECT_THROW(Sensor("d", std::make_shared<sp::Discrete>(2), Normalization::standard, 0, 1), InvalidArgumentError);
  EXPECT_THROW(Sensor("b", box({0}, {INFINITY}), Normalization::min_max), InvalidArgumentError);
  EXPECT_THROW(Sensor("b", box({1, 0}, {1, 2}), Normalization::min_max), InvalidArgumentError);
  EXPECT_THROW(Sensor("b", box({0}, {1}), Normalization::standard, 0.0, 0.0), InvalidArgumentError);
  EXPECT_THROW(Sensor("b", box({0}, {1}), Normalization::standard, NAN, 1.0), InvalidArgumentError);
  EXPECT_THROW(Sensor("", box({0}, {1})), InvalidArgumentError);
  EXPECT_THROW(Sensor("n", nullptr), InvalidArgumentError);
  // Infinite bounds are fine when nothing is normalised.
  EXPECT_NO_THROW(Sensor("b", box({0}, {INFINITY})));
}

}  // namespace
