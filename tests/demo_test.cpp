// The demo command through the built tavrin program: a fixed-seed run completes and beats its
// baseline, the trace and plot files, the default command, and the errors a user can meet.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "examples/thermal/demo.hpp"
#include "support/tool_process.hpp"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

using tavrin_test::read_file;
using ToolRun = tavrin_test::ToolResult;

class DemoCommand : public tavrin_test::ToolTest {
 protected:
  // Runs the tool with `args` (already quoted for the shell) after the shell assignments `env`.
  ToolRun run(const std::string& args, const std::string& env = "") {
    return tavrin_test::run_tool(args, dir_, "", env);
  }

  const fs::path& dir = dir_;
};

// The mean returns the report prints, as numbers.
std::pair<double, double> mean_returns(const std::string& out) {
  const std::string key = "mean return: shipped policy ";
  const auto at = out.find(key);
  if (at == std::string::npos) return {0, 0};
  std::istringstream in(out.substr(at + key.size()));
  double policy = 0, baseline = 0;
  std::string comma, word;
  in >> policy >> comma;  // "-22.55," is read as the number, then the rest of the token
  in >> word >> baseline;
  return {policy, baseline};
}

TEST_F(DemoCommand, FixedSeedRunBeatsTheBaselineAndWritesItsTrace) {
  const fs::path trace = dir / "trace.csv";
  const ToolRun r = run("demo --episodes 3 --seed 7 --trace '" + trace.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("thermal-zone: 3 episode(s) of 96 steps"));
  EXPECT_THAT(r.out, HasSubstr("selector choices (zone): heat "));
  EXPECT_THAT(r.out, HasSubstr(", ventilate "));
  EXPECT_THAT(r.out, HasSubstr(", thermostat "));
  EXPECT_THAT(r.out, HasSubstr("the shipped policy beats the baseline by "));
  EXPECT_THAT(r.out, HasSubstr("forbidden ventilation commands: 0"));
  EXPECT_THAT(r.out, testing::ContainsRegex("step latency \\(288 steps\\): p50 [0-9.]+ us, p99 [0-9.]+ us"));
  const auto [policy, baseline] = mean_returns(r.out);
  EXPECT_LT(policy, 0.0);
  EXPECT_GT(policy, baseline);
  // Not a terminal: no progress bar on stderr.
  EXPECT_THAT(r.err, Not(HasSubstr("runs")));

  std::istringstream lines(read_file(trace));
  std::string header, line;
  std::getline(lines, header);
  EXPECT_EQ(header, thermal::kTraceHeader);
  int rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 13) << line;
  }
  EXPECT_EQ(rows, 2 * 3 * 96);

  // Same seed, same report apart from the latency line.
  const ToolRun again = run("demo --episodes 3 --seed 7");
  ASSERT_EQ(again.status, 0) << again.err;
  const auto cut = [](const std::string& s) { return s.substr(0, s.find("step latency")); };
  EXPECT_EQ(cut(again.out), cut(r.out));
}

TEST_F(DemoCommand, WithoutASubcommandTheToolRunsTheDemo) {
  const ToolRun r = run("");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("thermal-zone: 5 episode(s)"));
  EXPECT_THAT(r.out, HasSubstr("beats the baseline"));
}

TEST_F(DemoCommand, OtherBaselinesAndAnOrchestrationGivenByPath) {
  const ToolRun r = run("demo --episodes 2 --baseline thermostat --orchestration '" + tavrin_test::source_dir() +
                        "/examples/thermal/orchestration.json'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("baseline: thermostat (bang-bang thermostat, flap closed)"));
  EXPECT_THAT(r.out, HasSubstr("beats the baseline"));

  const ToolRun bad = run("demo --baseline smart");
  EXPECT_NE(bad.status, 0);
  EXPECT_THAT(bad.err, HasSubstr("--baseline"));
  EXPECT_NE(run("demo --episodes 0").status, 0);
}

TEST_F(DemoCommand, ErrorsNameWhatIsWrong) {
  const ToolRun missing = run("demo --orchestration '" + (dir / "none.json").string() + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("none.json"));
  EXPECT_TRUE(missing.out.empty()) << missing.out;

  const ToolRun unwritable = run("demo --episodes 1 --trace '" + (dir / "no" / "such" / "t.csv").string() + "'");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_THAT(unwritable.err, HasSubstr("cannot write the trace file"));

  // No gnuplot on the PATH: a clear message before any episode runs.
  fs::create_directories(dir / "empty");
  const ToolRun no_gnuplot =
      run("demo --plot '" + (dir / "p.png").string() + "'", "PATH='" + (dir / "empty").string() + "'");
  EXPECT_EQ(no_gnuplot.status, 1);
  EXPECT_THAT(no_gnuplot.err, HasSubstr("gnuplot-nox"));
  EXPECT_FALSE(fs::exists(dir / "p.png"));
}

TEST_F(DemoCommand, PlotIsAPngDrawnByGnuplot) {
  if (::access("/usr/bin/gnuplot", X_OK) != 0) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path png = dir / "day.png";
  const auto leftovers = [] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
      if (entry.path().filename().string().rfind("tavrin-demo-", 0) == 0) names.insert(entry.path().string());
    return names;
  };
  const auto before = leftovers();
  const ToolRun r = run("demo --episodes 1 --plot '" + png.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("plot written to " + png.string()));
  const std::string data = read_file(png);
  ASSERT_GT(data.size(), 1000u);
  EXPECT_EQ(data.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // The temporary trace and script the plot was drawn from are gone.
  EXPECT_EQ(leftovers(), before);
}

}  // namespace
