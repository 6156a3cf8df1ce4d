// The command-line front end of the runtime.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "examples/thermal/thermal_agents.hpp"
#include "host/policy_host.hpp"

namespace {

using tavrin_inference::PolicyHost;

std::string space_text(const tavrin_core::SpacePtr& space) { return space ? space->str() : "none"; }

void print_orchestration(const tavrin_core::Orchestration& orchestration, std::ostream& out) {
  out << "orchestration " << orchestration.id() << "\n";
  out << "  sensors:";
  if (orchestration.sensors().empty()) out << " none";
  out << "\n";
  for (const auto& sensor : orchestration.sensors())
    out << "    " << sensor->name() << ": " << space_text(sensor->space()) << "\n";
  if (orchestration.perceptors() && !orchestration.perceptors()->empty()) {
    out << "  perceptors:\n";
    for (const auto& p : *orchestration.perceptors())
      out << "    " << p->get_name() << " (" << p->get_impl_cls() << (p->is_remote() ? ", remote" : "") << ")\n";
  }
  const auto top = orchestration.get_top_agent();
  out << "  agents (top: " << top->get_name() << "):\n";
  for (const auto& agent : orchestration.agents()) {
    out << "    " << agent->get_name() << " [" << agent->class_name() << "]";
    if (agent->is_controller()) out << " controller";
    if (agent->is_remote()) out << " remote";
    if (!agent->get_impl_cls().empty()) out << " class=" << agent->get_impl_cls();
    out << "\n      action space: " << space_text(agent->get_action_space()) << "\n";
    if (!agent->get_children().empty()) {
      out << "      children:";
      for (const auto& child : agent->get_children()) out << " " << child;
      out << "\n";
    }
    if (agent->get_checkpoint_uri()) out << "      checkpoint: " << *agent->get_checkpoint_uri() << "\n";
  }
}

int load_command(const std::string& path) {
  PolicyHost host;
  tavrin_inference::run_sync(
      [&]() -> asio::awaitable<void> {
        co_await host.load_orchestration(path);
        print_orchestration(*host.orchestration, std::cout);
        co_await host.close();
      }(),
      "load");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrin: inference runtime for trained hierarchical agents exported as ONNX models"};
  app.require_subcommand(1);
  std::string log_level = "warning";
  app.add_option("--log-level", log_level, "debug, info, warning, error or off")->capture_default_str();

  std::string load_path;
  auto* load = app.add_subcommand("load", "Load an orchestration and print what it holds");
  load->add_option("ORCHESTRATION", load_path, "orchestration file")->required();

  CLI11_PARSE(app, argc, argv);
  thermal::register_thermal_agents();
  try {
    tavrin_core::set_log_level(tavrin_core::parse_log_level(log_level));
    if (*load) return load_command(load_path);
  } catch (const tavrin_inference::Error& e) {
    std::cerr << "error: " << e.kind() << ": " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
