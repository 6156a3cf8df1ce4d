// tavrin run, end to end through the built program: observation lines in, one action line out per
// input line, errors that name the line, and --on-error stop / skip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_paths.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace tavrin_test;
using namespace ::testing;

const std::string kSource = source_dir();
const std::string kCli = cli_data_dir();
const std::string kThermal = kSource + "/examples/thermal/orchestration.json";
const std::string kThreeLevel = kCli + "/three_level.json";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

using CliRun = tavrin_test::ToolTest;

TEST_F(CliRun, TheThermalExampleGivesTheRecordedActionsFromAFileAndFromStandardInput) {
  const std::string input = kCli + "/thermal_episode.jsonl";
  const std::string expected = read_file(kCli + "/thermal_episode.expected.jsonl");
  ASSERT_EQ(lines_of(expected).size(), 96u);

  const ToolResult from_file = tool("run '" + kThermal + "' --input '" + input + "'");
  EXPECT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_EQ(from_file.out, expected);

  const ToolResult from_stdin = tool("run '" + kThermal + "'", read_file(input));
  EXPECT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_EQ(from_stdin.out, expected);
}

TEST_F(CliRun, EveryLineWalksTheTreeWithItsOwnSensorsAndMask) {
  // The selectors echo the logits, so the root picks h3_mid (0), h3_leaf3 (1) or h3_leaf4 (2); the
  // mid selector then picks the same index. Each skill picks its own digit while it is allowed.
  const ToolResult r = tool("run '" + kThreeLevel + "'",
                            "{\"logits\": [5, 0, 0]}\n"
                            "{\"logits\": [0, 5, 0]}\n"
                            "{\"obs\": {\"logits\": [0, 0, 5]}}\n"
                            "{\"obs\": {\"logits\": [0, 0, 5]}, \"mask\": [1, 1, 1, 1, 0]}\n"
                            "{\"obs\": {\"logits\": [5, 0, 0]}, \"mask\": [0, 0, 1, 1, 1], \"previous_action\": 1}\n"
                            "  {\"logits\": [0, 5, 0]}\r\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n3\n4\n0\n2\n3\n");
}

TEST_F(CliRun, AgentPackagesASubtreeAndTeacherMapCarriesTheChoice) {
  const ToolResult mid = tool("run '" + kThreeLevel + "' --agent h3_mid", "{\"logits\": [0, 5, 0]}\n");
  EXPECT_EQ(mid.status, 0) << mid.err;
  EXPECT_EQ(mid.out, "1\n");

  const ToolResult map = tool("run '" + kThreeLevel + "' --teacher-map", "{\"logits\": [0, 5, 0]}\n");
  ASSERT_EQ(map.status, 0) << map.err;
  const auto lines = lines_of(map.out);
  ASSERT_EQ(lines.size(), 1u);
  const auto json = nlohmann::ordered_json::parse(lines[0]);
  EXPECT_EQ(json.at("action"), 3);
  EXPECT_EQ(json.at("top_orchestrator_action"), 1);
  EXPECT_EQ(json.at("sensors_filtered").at("observation"), nlohmann::ordered_json({0.0, 5.0, 0.0}));
  EXPECT_EQ(json.at("sensors_filtered").at("action_mask").size(), 5u);
  EXPECT_EQ(json.at("tavrin_obs").at("logits"), nlohmann::ordered_json({0.0, 5.0, 0.0}));

  // Thermal: the heater's action is a one-element array, written as a list.
  const ToolResult thermal =
      tool("run '" + kThermal + "'", lines_of(read_file(kCli + "/thermal_episode.jsonl"))[0] + "\n");
  EXPECT_EQ(thermal.status, 0) << thermal.err;
  EXPECT_EQ(thermal.out, lines_of(read_file(kCli + "/thermal_episode.expected.jsonl"))[0] + "\n");
  EXPECT_EQ(thermal.out.front(), '[');
}

TEST_F(CliRun, ABadLineStopsTheRunByDefaultAfterAnsweringItWithNull) {
  const ToolResult r = tool("run '" + kThreeLevel + "'",
                            "{\"logits\": [5, 0, 0]}\n"
                            "{\"logits\": [5, 0, \n"
                            "{\"logits\": [0, 5, 0]}\n");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "0\nnull\n");
  EXPECT_THAT(
      r.err,
      HasSubstr(
          "<stdin>: line 2: malformed JSON at column 18: syntax error while parsing value - unexpected end of input"));
  EXPECT_THAT(r.err, HasSubstr("stopped at line 2"));
}

TEST_F(CliRun, SkipAnswersEveryLineAndReportsEachFailureWithItsLineNumber) {
  std::ofstream(dir_ / "input.jsonl") << "{\"logits\": [5, 0, 0]}\n"                           // 1 fine
                                      << "{\"logits\": [1, 2]}\n"                              // 2 wrong size
                                      << "\n"                                                  // 3 empty
                                      << "{\"obs\": {\"logits\": [1, 2, 3]}, \"extra\": 1}\n"  // 4 unknown field
                                      << "{\"logits\": \"hot\"}\n"                             // 5 text
                                      << "[1, 2, 3]\n"                                         // 6 not an object
                                      << "{\"logits\": [1, 2, 3], \"logits\": [3, 2, 1]}\n"    // 7 duplicate
                                      << "{\"logits\": [0, 0, 5]}\n";                          // 8 fine
  const ToolResult r = tool("run '" + kThreeLevel + "' --on-error skip -i '" + (dir_ / "input.jsonl").string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "0\nnull\nnull\nnull\nnull\nnull\nnull\n4\n");
  const std::string file = (dir_ / "input.jsonl").string();
  EXPECT_THAT(r.err, HasSubstr(file + ": line 2: InvalidArgumentError: "));
  EXPECT_THAT(r.err, HasSubstr("sensor logits: expected 3 values"));
  EXPECT_THAT(r.err, HasSubstr(file + ": line 3: empty line"));
  EXPECT_THAT(r.err, HasSubstr(file + ": line 4: unknown field 'extra' next to \"obs\""));
  EXPECT_THAT(r.err, HasSubstr(file + ": line 5: sensor 'logits': expected a number, got text \"hot\""));
  EXPECT_THAT(r.err, HasSubstr(file + ": line 6: expected a JSON object"));
  EXPECT_THAT(r.err, HasSubstr(file + ": line 7: duplicate field 'logits'"));
  EXPECT_THAT(r.err, HasSubstr("6 of 8 lines failed"));
  EXPECT_THAT(r.err, Not(HasSubstr("stopped at line")));
}

TEST_F(CliRun, MasksAreCheckedByNameAndAMaskForbiddingEverythingStillActs) {
  // Masks are checked down to their elements; a mask that forbids everything is still a mask,
  // and the skill then takes its first action.
  const ToolResult r = tool("run '" + kThreeLevel + "' --on-error skip",
                            "{\"obs\": {\"logits\": [5, 0, 0]}, \"mask\": [1, [0, null]]}\n"
                            "{\"obs\": {\"logits\": [5, 0, 0]}, \"mask\": \"all\"}\n"
                            "{\"mask\": [1, 1, 1, 1, 1]}\n"
                            "{\"obs\": {\"logits\": [5, 0, 0]}, \"mask\": [0, 0, 0, 0, 0]}\n");
  EXPECT_EQ(r.status, 1);
  const auto out = lines_of(r.out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], "null");
  EXPECT_EQ(out[1], "null");
  EXPECT_EQ(out[2], "null");
  EXPECT_EQ(out[3], "0");  // all forbidden: the first entry wins
  EXPECT_THAT(r.err, HasSubstr("line 1: mask[1][1]: expected a number, got null"));
  EXPECT_THAT(r.err, HasSubstr("line 2: \"mask\" must be an array or an object of numbers, or null, got text"));
  EXPECT_THAT(r.err, HasSubstr("line 3: \"mask\" without \"obs\""));
}

TEST_F(CliRun, OverflowingNumbersNestedDuplicatesAndDeepNestingAreRefusedByName) {
  const std::string deep = "{\"logits\": " + std::string(100000, '[') + std::string(100000, ']') + "}\n";
  const ToolResult r = tool("run '" + kThreeLevel + "' --on-error skip",
                            "{\"logits\": [1e999, 0, 0]}\n" + deep +
                                "{\"obs\": {\"logits\": [1, 2, 3], \"pos\": {\"x\": 1, \"x\": 2}}}\n"
                                "{\"logits\": [1, 2, 3], \"pos\": [{\"x\": 1}, {\"x\": 1, \"x\": 2}]}\n"
                                "\xEF\xBB\xBF{\"logits\": [0, 5, 0]}\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "null\nnull\nnull\nnull\n3\n");
  EXPECT_THAT(r.err, HasSubstr("line 1: malformed JSON at column 17: number overflow parsing '1e999'"));
  EXPECT_THAT(r.err, HasSubstr("line 2: arrays and objects nested deeper than 64 levels"));
  EXPECT_THAT(r.err, HasSubstr("line 3: obs.pos: duplicate field 'x'"));
  EXPECT_THAT(r.err, HasSubstr("line 4: pos[1]: duplicate field 'x'"));  // the index of the list item
}

TEST_F(CliRun, FailuresBeforeTheFirstLineEndTheRunWithTheirCause) {
  const ToolResult no_input = tool("run '" + kThreeLevel + "' --input '" + (dir_ / "missing.jsonl").string() + "'");
  EXPECT_EQ(no_input.status, 1);
  EXPECT_THAT(no_input.err, HasSubstr("FileNotFoundError: Input file not found: " + (dir_ / "missing.jsonl").string()));
  EXPECT_EQ(no_input.out, "");

  const ToolResult no_agent = tool("run '" + kThreeLevel + "' --agent nobody", "{\"logits\": [5, 0, 0]}\n");
  EXPECT_EQ(no_agent.status, 1);
  EXPECT_THAT(no_agent.err, HasSubstr("KeyError: No agent named 'nobody'"));

  const ToolResult bad_option = tool("run '" + kThreeLevel + "' --on-error maybe", "");
  EXPECT_NE(bad_option.status, 0);
  EXPECT_THAT(bad_option.err, HasSubstr("--on-error"));
}

}  // namespace
