#pragma once
// Where the tests find the repository, their fixtures, the built libraries and programs. The build
// writes these paths into tavrin_test_paths.txt beside the test and benchmark programs
// (tavrin_write_program_paths in cmake/TavrinTargets.cmake), one "<key>=<path>" a line, and they are
// read here when a program first asks. No build path is compiled in, so checkouts at different
// places share their compiled objects.
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tavrin_test {
namespace detail {

inline std::filesystem::path test_paths_file() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the test program's folder: " + ec.message());
  return program.parent_path() / "tavrin_test_paths.txt";
}

inline std::map<std::string, std::string> read_test_paths() {
  const std::filesystem::path file = test_paths_file();
  std::ifstream in(file);
  if (!in) {
    throw std::runtime_error("cannot read " + file.string() +
                             ": the build writes it beside the test programs; build the tests with CMake");
  }
  std::map<std::string, std::string> paths;
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) paths[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return paths;
}

inline const std::string& test_path(const std::string& key) {
  static const std::map<std::string, std::string> paths = read_test_paths();
  const auto it = paths.find(key);
  if (it == paths.end() || it->second.empty()) {
    throw std::runtime_error(test_paths_file().string() + " names no " + key + "; rebuild the tests");
  }
  return it->second;
}

}  // namespace detail

// The repository's root folder.
inline const std::string& source_dir() { return detail::test_path("source_dir"); }
// tests/fixtures in the repository.
inline const std::string& test_data_dir() { return detail::test_path("test_data_dir"); }
// tests/fixtures/cli: the orchestrations and inputs of the command-line tests.
inline std::string cli_data_dir() { return test_data_dir() + "/cli"; }
// The folder of the built runtime libraries (and of the test plugin).
inline const std::string& lib_dir() { return detail::test_path("lib_dir"); }
// The built tavrin program.
inline const std::string& tool_path() { return detail::test_path("tool_path"); }

// The built tavrin-worker program, beside the runtime libraries' folder.
inline std::string worker_path() { return lib_dir() + "/../worker/tavrin-worker"; }
// The plugin library the implementation, orchestration and remote tests load.
inline std::string test_plugin_path() { return lib_dir() + "/libtavrin_test_plugin.so"; }

}  // namespace tavrin_test
