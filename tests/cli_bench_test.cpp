// tavrin bench, end to end through the built program: it completes on synthetic and on recorded
// observations, traces the same path the host takes, and prints both sides with their ratio. No
// timing is asserted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/temp_dir.hpp"
#include "support/test_paths.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace tavrin_test;
using namespace ::testing;

const std::string kSource = source_dir();
const std::string kCli = cli_data_dir();

ToolResult tool(const std::string& args) {
  const tavrin_test::TempDir dir;
  return tavrin_test::run_tool(args, dir.path());
}

double runs_per_step(const std::string& out) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("model runs per step: ([0-9.]+) on average"))) return -1;
  return std::stod(m[1]);
}

const char* kRow = " +[0-9]+\\.[0-9]+ +[0-9]+\\.[0-9]+ +[0-9]+\\.[0-9]+";

TEST(CliBench, SyntheticObservationsOnTheThreeLevelTree) {
  const ToolResult r = tool("bench '" + kCli + "/three_level.json' --steps 200 --warmup 5 --seed 3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("200 steps after 5 warm-up, synthetic observations (seed 3, 200 distinct"));
  EXPECT_THAT(r.out, ContainsRegex(std::string("PolicyHost::execute") + kRow));
  EXPECT_THAT(r.out, ContainsRegex(std::string("ONNX Runtime Session::Run") + kRow));
  EXPECT_THAT(r.out, ContainsRegex(std::string("ratio \\(host / raw\\)") + kRow));
  // Every step runs the root and either a skill (2 models) or the mid selector and a skill (3).
  const double runs = runs_per_step(r.out);
  EXPECT_GT(runs, 2.0);
  EXPECT_LT(runs, 3.0);
  // The mid selector sees the root's logits and so repeats its choice: h3_leaf1 and h3_leaf2 are
  // never reached, and the raw side opens only the five models the host ran.
  EXPECT_THAT(r.out, HasSubstr("5 distinct models"));
}

TEST(CliBench, RecordedObservationsFollowTheHostsPath) {
  // In the recorded episode the zone picks heat 81 times, ventilate 10 times (both with a model)
  // and the thermostat controller 5 times: (81 + 10) * 2 + 5 = 187 model runs in 96 steps.
  const ToolResult r = tool("bench '" + kSource + "/examples/thermal/orchestration.json' --input '" + kCli +
                            "/thermal_episode.jsonl' --steps 96 --warmup 0");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("recorded observations from " + kCli + "/thermal_episode.jsonl (96)"));
  EXPECT_DOUBLE_EQ(runs_per_step(r.out), 1.95);
  EXPECT_THAT(r.out, HasSubstr("3 distinct models"));
  EXPECT_THAT(r.out, ContainsRegex(std::string("ratio \\(host / raw\\)") + kRow));
}

TEST(CliBench, SeveralHostsInThreadsOfTheirOwnReportTheScaling) {
  const ToolResult r = tool("bench '" + kCli + "/three_level.json' --steps 60 --warmup 5 --hosts 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("hosts: 2, each stepped in a thread of its own; the raw side runs in 2 threads"));
  EXPECT_THAT(r.out, ContainsRegex(std::string("ratio \\(host / raw\\)") + kRow));
  EXPECT_THAT(r.out, ContainsRegex("first step of the process: [0-9.]+ us \\([0-9.]+ x the p50\\)"));
  EXPECT_THAT(r.out, ContainsRegex("steps per second: [0-9]+ for one host alone, [0-9]+ for each of 2 at once; "
                                   "scaling [0-9.]+ \\(goal 1.8\\)"));
  EXPECT_GT(runs_per_step(r.out), 2.0);  // each host's steps run the same models as one host's
}

TEST(CliBench, ABadObservationStopsTheBenchBeforeTiming) {
  const tavrin_test::TempDir temp;
  const std::filesystem::path input = temp.path() / "input.jsonl";
  std::ofstream(input) << "{\"logits\": [1, 2, 3]}\n{\"logits\": [1, 2]}\n";
  const ToolResult size = tool("bench '" + kCli + "/three_level.json' --input '" + input.string() + "'");
  EXPECT_EQ(size.status, 1);
  EXPECT_THAT(size.err, HasSubstr("observation 2 fails: InvalidArgumentError"));
  EXPECT_THAT(size.out, Not(HasSubstr("ratio")));

  std::ofstream(input) << "{\"logits\": [1, 2, 3]}\n{\"logits\": \n";
  const ToolResult syntax = tool("bench '" + kCli + "/three_level.json' --input '" + input.string() + "'");
  EXPECT_EQ(syntax.status, 1);
  EXPECT_THAT(syntax.err, HasSubstr("line 2: malformed JSON"));
}

}  // namespace
