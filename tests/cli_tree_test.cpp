// tavrin inspect, end to end through the built program: the processor tree with each agent's model,
// the candidate paths in the order the processors try them, declared shapes, and what goes wrong.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_paths.hpp"
#include "support/tool_process.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tavrin_test;
using namespace ::testing;

const std::string kSource = source_dir();
const std::string kFixtures = test_data_dir();
const std::string kModels = kFixtures + "/models";

// The three-level tree of the hierarchy models with default teachers, its checkpoint folder given.
std::string three_level(const std::string& checkpoint, int sensor_size = 3) {
  std::string agents;
  const auto agent = [&](const std::string& name, const std::string& rest) {
    if (!agents.empty()) agents += ",\n";
    agents += "{\"name\": \"" + name + "\", \"checkpoint\": \"" + checkpoint + "\", " + rest + "}";
  };
  agent("h3_root", "\"kind\": \"AgentOrchestrator\", \"children\": [\"h3_mid\", \"h3_leaf3\", \"h3_leaf4\"]");
  agent("h3_mid", "\"kind\": \"AgentOrchestrator\", \"children\": [\"h3_leaf0\", \"h3_leaf1\", \"h3_leaf2\"]");
  for (int i = 0; i < 5; ++i)
    agent("h3_leaf" + std::to_string(i), "\"kind\": \"Agent\", \"action_space\": {\"type\": \"Discrete\", \"n\": 5}");
  return "{\"id\": \"inspect-test\", \"sensors\": [{\"name\": \"logits\", \"space\": {\"type\": \"Box\", \"low\": "
         "-100, "
         "\"high\": 100, \"shape\": [" +
         std::to_string(sensor_size) + "]}}],\n\"agents\": [" + agents + "], \"top_agent\": \"h3_root\"}";
}

class CliInspect : public tavrin_test::ToolTest {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "models");
    models_ = (dir_ / "models").string();
    for (const char* name : {"h3_root", "h3_mid", "h3_leaf0", "h3_leaf1", "h3_leaf2", "h3_leaf3", "h3_leaf4"})
      fs::copy_file(kModels + "/" + name + ".onnx", dir_ / "models" / (std::string(name) + ".onnx"));
  }
  std::string write_orchestration(const std::string& text) {
    const fs::path path = dir_ / "orchestration.json";
    std::ofstream(path) << text;
    return path.string();
  }

  std::string models_;
};

TEST_F(CliInspect, TheExampleShowsEveryAgentWithItsProcessorModelAndDeclaredShapes) {
  const ToolResult r = tool("inspect '" + kSource + "/examples/thermal/orchestration.json'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string models = kSource + "/examples/thermal/models";
  EXPECT_THAT(r.out, HasSubstr("processor tree (agent zone):"));
  EXPECT_THAT(r.out, HasSubstr("zone: AgentOrchestrator -> SelectorRuntime"));
  EXPECT_THAT(r.out, HasSubstr("action space: Discrete(3), choice i runs child i: heat ventilate thermostat"));
  EXPECT_THAT(r.out, HasSubstr("model: " + models + "/zone.onnx\n"));
  EXPECT_THAT(r.out, HasSubstr("inputs:  observations float32 [1, 4], action_mask float64 [1, 3]"));
  EXPECT_THAT(r.out, HasSubstr("heat: Agent -> SkillRuntime"));
  EXPECT_THAT(r.out, HasSubstr("fed: observation (1, 3) into observations, action mask of 1 into action_mask"));
  EXPECT_THAT(r.out, HasSubstr("thermostat: Agent -> SkillRuntime"));
  EXPECT_THAT(r.out, HasSubstr("controller: class ThermostatController"));
  EXPECT_THAT(r.out, HasSubstr("model: none (a controller"));
  EXPECT_THAT(r.out, HasSubstr("packaging: ok (root processor SelectorRuntime)"));
  EXPECT_THAT(r.out, HasSubstr("no problems found"));
  EXPECT_THAT(r.out, Not(HasSubstr("PROBLEM")));
}

TEST_F(CliInspect, AMissingModelIsNamedWithEveryCandidateInTheOrderTheProcessorTriesThem) {
  fs::remove(dir_ / "models" / "h3_leaf3.onnx");
  const std::string orchestration = write_orchestration(three_level(models_));

  const ToolResult r = tool("inspect '" + orchestration + "'");
  EXPECT_EQ(r.status, 1);
  const std::string c1 = models_ + "/h3_leaf3.onnx";
  const std::string c2 = models_ + "/h3_leaf3/h3_leaf3.onnx";
  const std::string c3 = models_ + "/checkpoint/h3_leaf3.onnx";
  const auto p1 = r.out.find("1. " + c1 + "  (missing)");
  const auto p2 = r.out.find("2. " + c2 + "  (missing)");
  const auto p3 = r.out.find("3. " + c3 + "  (missing)");
  ASSERT_NE(p1, std::string::npos) << r.out;
  ASSERT_NE(p2, std::string::npos) << r.out;
  ASSERT_NE(p3, std::string::npos) << r.out;
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, p3);
  EXPECT_THAT(r.out, HasSubstr("h3_leaf3: Agent -> SkillRuntime"));
  EXPECT_THAT(r.out, HasSubstr("model: MISSING"));
  EXPECT_THAT(r.out, HasSubstr("PROBLEM: no model file for h3_leaf3"));
  EXPECT_THAT(r.out, HasSubstr("RuntimeError \"ONNX model not loaded for agent h3_leaf3\""));
  // Packaging tolerates a missing model; the other agents are all there.
  EXPECT_THAT(r.out, HasSubstr("packaging: ok"));
  EXPECT_THAT(r.out, HasSubstr("model: " + models_ + "/h3_leaf4.onnx"));
  EXPECT_THAT(r.out, HasSubstr("1 problem(s) found"));

  // The processor looks exactly there: its warning names the last candidate, and a step routed to
  // the agent fails as inspect said.
  const ToolResult run = tool("run '" + orchestration + "'", "{\"logits\": [0, 5, 0]}\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("ONNX model not found at " + c3 + " for agent h3_leaf3"));
  EXPECT_THAT(run.err, HasSubstr("line 1: RuntimeError: ONNX model not loaded for agent h3_leaf3"));
}

TEST_F(CliInspect, AModelInTheAgentsOwnFolderIsFoundAtTheSecondCandidate) {
  fs::create_directories(dir_ / "models" / "h3_mid");
  fs::rename(dir_ / "models" / "h3_mid.onnx", dir_ / "models" / "h3_mid" / "h3_mid.onnx");
  const ToolResult r = tool("inspect '" + write_orchestration(three_level(models_)) + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("model: " + models_ + "/h3_mid/h3_mid.onnx\n"));
  EXPECT_THAT(r.out, HasSubstr("1. " + models_ + "/h3_mid.onnx  (missing)"));
  EXPECT_THAT(r.out, HasSubstr("2. " + models_ + "/h3_mid/h3_mid.onnx  (found)"));
  // A selector has only these two candidates.
  EXPECT_THAT(r.out, Not(HasSubstr(models_ + "/checkpoint/h3_mid.onnx")));
  EXPECT_THAT(r.out, HasSubstr("3. " + models_ + "/checkpoint/h3_leaf0.onnx  (not looked at)"));
}

TEST_F(CliInspect, TheTreeIsPrintedWhenPackagingFails) {
  // A model that cannot be opened fails packaging; the whole tree is still shown.
  fs::copy_file(kModels + "/corrupt.onnx", dir_ / "models" / "h3_mid.onnx", fs::copy_options::overwrite_existing);
  const ToolResult corrupt = tool("inspect '" + write_orchestration(three_level(models_)) + "'");
  EXPECT_EQ(corrupt.status, 1);
  EXPECT_THAT(corrupt.out, HasSubstr("h3_mid: AgentOrchestrator -> SelectorRuntime"));
  EXPECT_THAT(corrupt.out, HasSubstr("PROBLEM: the model cannot be opened, so packaging fails"));
  EXPECT_THAT(corrupt.out, HasSubstr("h3_leaf2: Agent -> SkillRuntime"));
  EXPECT_THAT(corrupt.out,
              HasSubstr("packaging: FAILED: RuntimeError: Failed to create ONNX agent processor for h3_root"));
  EXPECT_THAT(corrupt.out, HasSubstr("caused by: "));

  // Classes that are not registered fail the initialisation; the tree comes from the file alone.
  const ToolResult unregistered = tool("inspect '" + kFixtures + "/hierarchy/three_level.json'");
  EXPECT_EQ(unregistered.status, 1);
  EXPECT_THAT(unregistered.out, HasSubstr("teacher: HierRootTeacher"));
  EXPECT_THAT(unregistered.out, HasSubstr("h3_leaf4: Agent -> SkillRuntime"));
  EXPECT_THAT(unregistered.out, HasSubstr("inputs:  observations float32 [1, 3], action_mask float64 [1, 5]"));
  EXPECT_THAT(unregistered.out, HasSubstr("initialisation: FAILED (so nothing was packaged): KeyError: "));
  EXPECT_THAT(unregistered.out, HasSubstr("'HierRootTeacher', which is not registered"));
}

TEST_F(CliInspect, AnObservationThatDoesNotFitTheModelIsFlagged) {
  const ToolResult r = tool("inspect '" + write_orchestration(three_level(models_, 4)) + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("fed: observation (1, 4) into observations"));
  // The line the processor warned with at packaging, printed as a problem.
  const std::string misfit =
      "agent 'h3_leaf0' feeds an observation of (1, 4) from the sensors logits (4), but input "
      "'observations' of model " +
      models_ + "/h3_leaf0.onnx declares [1, 3]: every step that reaches h3_leaf0 fails";
  EXPECT_THAT(r.out, HasSubstr("PROBLEM: " + misfit + "\n"));
  EXPECT_THAT(r.err, HasSubstr(misfit + "\n"));
  EXPECT_THAT(r.out, HasSubstr("packaging: ok"));
  EXPECT_THAT(r.out, HasSubstr("7 problem(s) found"));
}

TEST_F(CliInspect, UnsupportedKindsAndUnreadableFilesAreReported) {
  const ToolResult set = tool(
      "inspect '" +
      write_orchestration("{\"id\": \"set\", \"agents\": [{\"name\": \"team\", \"kind\": \"AgentCoordinatedSet\"}]}") +
      "'");
  EXPECT_EQ(set.status, 1);
  EXPECT_THAT(set.out, HasSubstr("team: AgentCoordinatedSet -> no processor"));
  EXPECT_THAT(set.out, HasSubstr("PROBLEM: the factory refuses agents of kind AgentCoordinatedSet"));
  EXPECT_THAT(set.out, HasSubstr("packaging: FAILED: NotImplementedError"));

  const ToolResult missing = tool("inspect '" + (dir_ / "nothing.json").string() + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("Orchestration file not found: " + (dir_ / "nothing.json").string()));
}

}  // namespace
