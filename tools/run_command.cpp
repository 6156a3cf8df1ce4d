// tavrin run ORCHESTRATION: one observation per input line in, one action per output line out.
//
// Output line N always answers input line N: a line that cannot be parsed or executed yields
// `null` on standard output and a message naming the line on standard error. With --on-error stop
// (the default) the run ends at the first such line; with skip it goes on. The exit status is
// non-zero when any line failed.
#include <iostream>
#include <memory>
#include <string>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "tools/command_registry.hpp"
#include "tools/observation_lines.hpp"
#include "tools/tool_support.hpp"

namespace {

using tavrin_inference::PolicyHost;
using tavrin_inference::Value;

struct RunOptions {
  std::string orchestration;
  std::string input = "-";
  std::string agent;
  std::string on_error = "stop";
  std::string log_level;
  bool teacher_map = false;
};

int run_command(const RunOptions& options) {
  tavrin_tool::apply_log_level(options.log_level);
  tavrin_tool::InputLines input(options.input);
  const bool stop_on_error = options.on_error == "stop";

  PolicyHost host;
  std::size_t lines = 0;
  std::size_t failed = 0;
  tavrin_inference::run_sync(
      [&]() -> asio::awaitable<void> {
        co_await host.load_orchestration(options.orchestration);
        co_await host.package(nullptr, tavrin_tool::agent_ref(options.agent));

        std::string line;
        std::string message;
        while (std::getline(input.stream(), line)) {
          ++lines;
          message.clear();
          bool parsed = false;
          try {
            tavrin_tool::ObservationLine observation = tavrin_tool::parse_observation_line(line, lines);
            parsed = true;
            Value action;
            if (options.teacher_map) {
              // The host never asks for the teacher map, so the root processor is driven directly.
              action = co_await host.agent_processor->_execute(observation.obs, observation.mask, false, false,
                                                               observation.previous_action, true);
            } else {
              action =
                  co_await host.execute(observation.obs, observation.mask, Value(false), observation.previous_action);
            }
            std::cout << tavrin_tool::format_action_line(action) << '\n';
            std::cout.flush();
            continue;
          } catch (const std::exception& e) {
            // The parser's messages name the line already; execution errors get it here.
            message =
                parsed ? "line " + std::to_string(lines) + ": " + tavrin_tool::describe_error(std::current_exception())
                       : std::string(e.what());
          }
          ++failed;
          std::cout << "null\n";
          std::cout.flush();
          std::cerr << "error: " << input.name() << ": " << message << "\n";
          if (stop_on_error) {
            std::cerr << "stopped at line " << lines << " (--on-error skip goes on past failed lines)\n";
            break;
          }
        }
        co_await host.close();
      }(),
      "run");
  if (failed > 0 && !stop_on_error) std::cerr << failed << " of " << lines << " lines failed\n";
  return failed > 0 ? 1 : 0;
}

const tavrin_tool::CommandRegistration registration{
    "run", "Read observations (one JSON object per line) and write one action per line", 10, [](CLI::App& command) {
      auto options = std::make_shared<RunOptions>();
      command.add_option("ORCHESTRATION", options->orchestration, "orchestration file")->required();
      command.add_option("-i,--input", options->input,
                         "file of observation lines: {\"sensor\": value, ...} or {\"obs\": {...}, \"mask\": [...]}"
                         " (default: standard input)");
      command.add_option("-a,--agent", options->agent, "agent to package (default: the top agent)");
      command.add_flag("-t,--teacher-map", options->teacher_map,
                       "write the teacher map (action, sensors_filtered, tavrin_obs, top_orchestrator_action)"
                       " instead of the action");
      command.add_option("--on-error", options->on_error, "what a failed line does: stop the run, or skip it")
          ->check(CLI::IsMember({"stop", "skip"}))
          ->capture_default_str();
      tavrin_tool::add_log_level_option(command, options->log_level);
      return [options] { return run_command(*options); };
    }};

}  // namespace
