// tavrin load ORCHESTRATION: load an orchestration and print what it holds.
#include <iostream>
#include <memory>
#include <string>

#include "common/async.hpp"
#include "host/policy_host.hpp"
#include "tools/command_registry.hpp"

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

const tavrin_tool::CommandRegistration registration{
    "load", "Load an orchestration and print what it holds", 90, [](CLI::App& command) {
      auto path = std::make_shared<std::string>();
      command.add_option("ORCHESTRATION", *path, "orchestration file")->required();
      return [path] { return load_command(*path); };
    }};

}  // namespace
