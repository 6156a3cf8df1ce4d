#pragma once
// Subcommands of the tavrin tool register themselves here, one source file each, so adding a
// command touches no other file:
//
//   namespace { const tavrin_tool::CommandRegistration reg{"run", 10, [](CLI::App& cmd) {
//     auto opts = std::make_shared<RunOptions>();       // options outlive parsing
//     cmd.add_option(...);
//     return [opts] { return run_command(*opts); };     // called once the line parsed
//   }}; }
//
// `order` sorts the commands in the help text.
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tavrin_tool {

using CommandMain = std::function<int()>;
using CommandSetup = std::function<CommandMain(CLI::App& command)>;

struct CommandEntry {
  std::string name;
  std::string description;
  int order = 0;
  CommandSetup setup;
};

std::vector<CommandEntry>& command_entries();

struct CommandRegistration {
  CommandRegistration(std::string name, std::string description, int order, CommandSetup setup) {
    command_entries().push_back({std::move(name), std::move(description), order, std::move(setup)});
  }
};

// Options every command shares, parsed before the command runs.
struct GlobalOptions {
  std::string log_level = "warning";
};
const GlobalOptions& global_options();

// A command's own --log-level into `level` (left empty when not given): one of the levels the global
// option takes, overriding it while the command runs.
void add_log_level_option(CLI::App& command, std::string& level);

}  // namespace tavrin_tool
