#pragma once
// Runs the built tavrin program as a user would, through the shell, with its standard streams in
// files of a folder the test owns.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.hpp"
#include "tests/support/test_paths.hpp"

namespace tavrin_test {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct ToolResult {
  int status = -1;  // the exit status; -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// `args` is shell text (quote paths yourself); `stdin_text` is fed on standard input; `env`, shell
// assignments ("PATH='/x'"), is put before the program.
inline ToolResult run_tool(const std::string& args, const std::filesystem::path& dir,
                           const std::string& stdin_text = "", const std::string& env = "") {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "stdin") << stdin_text;
  const std::string command = env + " '" + tool_path() + "' " + args + " <'" + (dir / "stdin").string() + "' >'" +
                              (dir / "stdout").string() + "' 2>'" + (dir / "stderr").string() + "'";
  const int raw = std::system(command.c_str());
  ToolResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = read_file(dir / "stdout");
  result.err = read_file(dir / "stderr");
  return result;
}

// A test that runs the tavrin program in a fresh folder of its own (`dir_`), which also holds what
// the test writes; the folder goes with the test.
class ToolTest : public ::testing::Test {
 protected:
  // Runs the program with `args`, feeding `stdin_text` on standard input.
  ToolResult tool(const std::string& args, const std::string& stdin_text = "") {
    return run_tool(args, dir_, stdin_text);
  }

 private:
  TempDir temp_;

 protected:
  const std::filesystem::path dir_ = temp_.path();
};

}  // namespace tavrin_test
