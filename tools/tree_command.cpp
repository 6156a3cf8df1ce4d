// tavrin inspect ORCHESTRATION: the processor tree an orchestration packages into, with every
// agent's model (where the processor looks for it, what it declares) and what packaging says.
//
// The tree is worked out from the orchestration itself, the way the factory and the processors
// decide, so it is printed even when packaging fails; when packaging succeeds, the observation and
// mask sizes each processor feeds its model are checked against the model's declared inputs. The
// exit status is 1 when anything would keep a step from running (a missing or unreadable model, a
// refused agent kind, a failed initialisation or packaging), else 0.
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "host/policy_host.hpp"
#include "processor/observation_fit.hpp"
#include "processor/skillkit.hpp"
#include "selector/selector_runtime.hpp"
#include "tools/command_registry.hpp"
#include "tools/tool_support.hpp"

namespace {

using tavrin_core::AgentNode;
using tavrin_core::AgentNodePtr;
using tavrin_core::Orchestration;
using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::PolicyHost;

struct InspectOptions {
  std::string orchestration;
  std::string agent;
  std::string log_level;
};

std::string space_text(const tavrin_core::SpacePtr& space) { return space ? space->str() : "none"; }

std::string decl_list(const std::vector<tavrin_tool::TensorDecl>& decls) {
  if (decls.empty()) return "none";
  std::string text;
  for (const auto& d : decls) {
    if (!text.empty()) text += ", ";
    text += d.name + " " + d.element_type + " " + d.shape_text();
  }
  return text;
}

// Flat size of one entry of a processor's observation space (the Dict of "observation" and
// "action_mask"), or -1 when it is not there.
std::int64_t fed_size(const BaseAgentProcessor& processor, const char* key) {
  const auto* dict = dynamic_cast<const tavrin_core::spaces::Dict*>(processor.observation_space.get());
  if (!dict) return -1;
  const auto entry = dict->find(key);
  return entry ? entry->flat_size() : -1;
}

std::int64_t numel(const std::vector<std::int64_t>& dims) {
  std::int64_t n = 1;
  for (auto d : dims) {
    if (d < 0) return -1;
    n *= d;
  }
  return n;
}

class TreePrinter {
 public:
  TreePrinter(std::ostream& out, const Orchestration& orchestration) : out_(out), orchestration_(orchestration) {}

  int problems() const { return problems_; }

  void print(const AgentNodePtr& node, const BaseAgentProcessor* processor, int depth) {
    const std::string pad(static_cast<std::size_t>(depth) * 4, ' ');
    const std::string in = pad + "    ";
    const AgentNode& agent = *node;
    const auto processor_class = tavrin_tool::processor_class_for(agent);

    out_ << pad << agent.get_name() << ": " << agent.class_name() << " -> "
         << (processor_class ? *processor_class : std::string("no processor")) << "\n";
    if (!processor_class) {
      problem(in, "the factory refuses agents of kind " + agent.class_name() + ": packaging fails");
      return;
    }
    const bool selector = *processor_class == "SelectorRuntime";
    if (agent.is_controller()) {
      out_ << in << "controller: class " << agent.get_impl_cls() << (agent.is_remote() ? " (remote worker)" : "")
           << "\n";
    } else {
      out_ << in << "teacher: " << (agent.get_impl_cls().empty() ? "AgentTeacher (default)" : agent.get_impl_cls())
           << (agent.is_remote() ? " (remote worker)" : "") << "\n";
    }
    out_ << in << "action space: " << space_text(selector ? selector_space(agent) : agent.get_action_space());
    if (selector) {
      out_ << ", choice i runs child i:";
      for (const auto& child : agent.get_children()) out_ << " " << child;
    }
    out_ << "\n";
    out_ << in << "checkpoint: " << (agent.get_checkpoint_uri() ? "'" + *agent.get_checkpoint_uri() + "'" : "none")
         << "\n";
    print_model(agent, selector, processor, in);

    if (!selector) return;
    const auto* selector_processor = dynamic_cast<const tavrin_inference::SelectorRuntimeBase*>(processor);
    const auto& children = agent.get_children();
    for (std::size_t i = 0; i < children.size(); ++i) {
      AgentNodePtr child;
      try {
        child = orchestration_.get_node_by_name(children[i]);
      } catch (const std::exception& e) {
        problem(in, e.what());
        continue;
      }
      const BaseAgentProcessor* child_processor = nullptr;
      if (selector_processor && i < selector_processor->child_agent_processors.size())
        child_processor = selector_processor->child_agent_processors[i].get();
      print(child, child_processor, depth + 1);
    }
  }

 private:
  static tavrin_core::SpacePtr selector_space(const AgentNode& agent) {
    return std::make_shared<tavrin_core::spaces::Discrete>(static_cast<std::int64_t>(agent.get_children().size()));
  }

  void problem(const std::string& indent, const std::string& text) {
    ++problems_;
    out_ << indent << "PROBLEM: " << text << "\n";
  }

  void print_model(const AgentNode& agent, bool selector, const BaseAgentProcessor* processor, const std::string& in) {
    const std::string& name = agent.get_name();
    const std::string not_loaded = std::string("RuntimeError \"ONNX model not loaded for ") +
                                   (selector ? "orchestrator agent " : "agent ") + name + "\"";
    if (agent.is_controller()) {
      out_ << in << "model: none (a controller: its class computes the actions, no model is looked for)\n";
      return;
    }
    if (!agent.get_checkpoint_uri()) {
      out_ << in << "model: none\n";
      problem(in, "no checkpoint, so no model is looked for; every step that reaches " + name + " fails with " +
                      not_loaded);
      return;
    }

    const auto candidates = tavrin_tool::model_candidates(agent);
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < candidates.size() && !found; ++i) {
      std::error_code ec;
      if (std::filesystem::exists(candidates[i], ec)) found = i;
    }
    if (found) {
      out_ << in << "model: " << candidates[*found] << "\n";
    } else {
      out_ << in << "model: MISSING\n";
    }
    out_ << in << "  looked for, in this order:\n";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const char* state = !found || i < *found ? "missing" : (i == *found ? "found" : "not looked at");
      out_ << in << "    " << (i + 1) << ". " << candidates[i] << "  (" << state << ")\n";
    }
    if (!found) {
      problem(in, "no model file for " + name + "; the processor warns \"ONNX model not found at " + candidates.back() +
                      "\" and every step that reaches " + name + " fails with " + not_loaded);
      return;
    }

    tavrin_tool::ModelDecl decl;
    try {
      decl = tavrin_tool::read_model_decl(candidates[*found]);
    } catch (const std::exception& e) {
      problem(in, "the model cannot be opened, so packaging fails: " + std::string(e.what()));
      return;
    }
    out_ << in << "  inputs:  " << decl_list(decl.inputs) << "\n";
    out_ << in << "  outputs: " << decl_list(decl.outputs) << "\n";
    if (!processor || decl.inputs.empty()) return;

    // What the processor will feed, against what the model declares (the runner's rules).
    std::vector<std::string> names;
    for (const auto& input : decl.inputs) names.push_back(input.name);
    const auto& obs_decl = decl.inputs[0];  // the runner checks the observation against the first input
    const std::int64_t obs_size = fed_size(*processor, "observation");
    const std::int64_t mask_size = fed_size(*processor, "action_mask");
    out_ << in << "  fed: observation (1, " << obs_size << ") into "
         << decl.inputs[tavrin_tool::observation_input_index(names)].name;
    const auto mask_index = tavrin_tool::mask_input_index(names);
    if (mask_index >= 0) {
      out_ << ", action mask of " << mask_size << " into " << decl.inputs[static_cast<std::size_t>(mask_index)].name;
    } else {
      out_ << ", no action-mask input (the mask only masks the outputs)";
    }
    out_ << "\n";
    // The same text the processor warned with at packaging.
    if (auto misfit = tavrin_inference::observation_misfit(
            *processor, tavrin_inference::DeclaredObservationInput{candidates[*found], obs_decl.name, obs_decl.dims})) {
      problem(in, *misfit);
    }
    if (mask_index >= 0) {
      const auto& mask_decl = decl.inputs[static_cast<std::size_t>(mask_index)];
      if (numel(mask_decl.dims) != mask_size) {
        problem(in, "the action mask of " + std::to_string(mask_size) + " values does not fit the declared " +
                        mask_decl.shape_text() + " of input " + mask_decl.name + ": every step that reaches " + name +
                        " fails");
      }
    }
  }

  std::ostream& out_;
  const Orchestration& orchestration_;
  int problems_ = 0;
};

int inspect_command(const InspectOptions& options) {
  tavrin_tool::apply_log_level(options.log_level);
  std::ostream& out = std::cout;
  const auto orchestration = Orchestration::load(options.orchestration);

  out << "orchestration " << orchestration->id() << " (" << options.orchestration << ")\n";
  out << "  sensors:";
  if (orchestration->sensors().empty()) out << " none";
  for (const auto& sensor : orchestration->sensors())
    out << "\n    " << sensor->name() << ": " << space_text(sensor->space());
  out << "\n";
  if (!orchestration->plugins().empty()) {
    out << "  plugins:";
    for (const auto& plugin : orchestration->plugins()) out << " " << plugin;
    out << "\n";
  }

  int problems = 0;
  std::optional<std::string> init_error;
  try {
    tavrin_inference::run_sync(orchestration->init(), "inspect");
  } catch (const std::exception&) {
    init_error = tavrin_tool::describe_error(std::current_exception());
  }

  const AgentNodePtr root =
      options.agent.empty() ? orchestration->get_top_agent() : orchestration->get_node_by_name(options.agent);

  // Packaging first, so the tree can show what the processors feed their models.
  PolicyHost host;
  std::optional<std::string> package_error;
  if (!init_error) {
    try {
      tavrin_inference::run_sync(host.package(orchestration, root), "inspect");
    } catch (const std::exception&) {
      package_error = tavrin_tool::describe_error(std::current_exception());
    }
  }

  out << "processor tree (agent " << root->get_name() << "):\n";
  TreePrinter printer(out, *orchestration);
  printer.print(root, host.agent_processor.get(), 1);
  problems += printer.problems();

  if (init_error) {
    ++problems;
    out << "initialisation: FAILED (so nothing was packaged): " << *init_error << "\n";
  } else if (package_error) {
    ++problems;
    out << "packaging: FAILED: " << *package_error << "\n";
  } else {
    out << "packaging: ok (root processor " << host.agent_processor->class_name() << ")\n";
  }
  out << (problems == 0 ? std::string("no problems found") : std::to_string(problems) + " problem(s) found") << "\n";
  tavrin_inference::run_sync(host.close(), "inspect");
  return problems == 0 ? 0 : 1;
}

const tavrin_tool::CommandRegistration registration{
    "inspect", "Print the processor tree an orchestration packages into, with each agent's model", 20,
    [](CLI::App& command) {
      auto options = std::make_shared<InspectOptions>();
      command.add_option("ORCHESTRATION", options->orchestration, "orchestration file")->required();
      command.add_option("-a,--agent", options->agent, "agent to package (default: the top agent)");
      tavrin_tool::add_log_level_option(command, options->log_level);
      return [options] { return inspect_command(*options); };
    }};

}  // namespace
