// The command-line front end of the runtime: global options, then one registered subcommand.
#include <algorithm>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "tools/command_registry.hpp"

namespace tavrin_tool {

std::vector<CommandEntry>& command_entries() {
  static std::vector<CommandEntry> entries;
  return entries;
}

namespace {
GlobalOptions global;
}
const GlobalOptions& global_options() { return global; }

void add_log_level_option(CLI::App& command, std::string& level) {
  command.add_option("--log-level", level, "debug, info, warning, error or off (overrides the global one)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}));
}

}  // namespace tavrin_tool

int main(int argc, char** argv) {
  using namespace tavrin_tool;
  CLI::App app{"tavrin: inference runtime for trained hierarchical agents exported as ONNX models"};
  app.require_subcommand(0, 1);
  app.add_option("--log-level", global.log_level, "debug, info, warning, error or off")->capture_default_str();

  auto entries = command_entries();
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
  std::vector<std::pair<CLI::App*, CommandMain>> commands;
  for (const auto& entry : entries) {
    CLI::App* command = app.add_subcommand(entry.name, entry.description);
    commands.emplace_back(command, entry.setup(*command));
  }

  CLI11_PARSE(app, argc, argv);
  try {
    tavrin_core::set_log_level(tavrin_core::parse_log_level(global.log_level));
    for (auto& [command, main_fn] : commands)
      if (*command) return main_fn();
    // Without a subcommand the tool runs the demo, the embedded default.
    for (auto& [command, main_fn] : commands)
      if (command->get_name() == "demo") return main_fn();
    std::cout << app.help();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "error: " << tavrin_inference::describe(e) << "\n";
    return 1;
  }
}
