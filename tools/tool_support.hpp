#pragma once
// Pieces shared by the run, inspect and bench commands: error texts, log levels, input streams,
// where the processors look for an agent's model and what a model file declares.
#include <cstdint>
#include <exception>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core_api/orchestration.hpp"
#include "host/policy_host.hpp"

namespace Ort {
struct Env;
}

namespace tavrin_tool {

// Error::describe() of what `error` holds: "Kind: message", then "\n  caused by: Kind: message" for
// every nested error.
std::string describe_error(const std::exception_ptr& error);

// Sets the level of every module logger when `level` is not empty (a per-command --log-level).
void apply_log_level(const std::string& level);

// The agent reference to package: the top agent for an empty name.
tavrin_inference::PolicyHost::AgentRef agent_ref(const std::string& name);

// Lines from a file, or from standard input for "" and "-". FileNotFoundError
// "Input file not found: <path>" when the file cannot be opened.
class InputLines {
 public:
  explicit InputLines(const std::string& path);
  std::istream& stream() { return file_ ? *file_ : *std_in_; }
  // "<stdin>" or the path, for messages.
  const std::string& name() const { return name_; }

 private:
  std::unique_ptr<std::ifstream> file_;
  std::istream* std_in_ = nullptr;
  std::string name_;
};

// The processor class the factory picks for an agent: "SkillRuntime", "SelectorRuntime", or none
// for a kind it refuses.
std::optional<std::string> processor_class_for(const tavrin_core::AgentNode& agent);

// Where the agent's processor looks for its model, in the order it tries them (empty for a
// controller and for an agent without checkpoint): for a skill <checkpoint>/<name>.onnx,
// <checkpoint>/<name>/<name>.onnx, <checkpoint>/checkpoint/<name>.onnx; for a selector the first two.
std::vector<std::string> model_candidates(const tavrin_core::AgentNode& agent);

// A declared input or output of a model. Dimensions below 0 are symbolic or open (`symbols` holds
// their names where the model gives one).
struct TensorDecl {
  std::string name;
  std::string element_type;  // "float32", "float64", "int64", ... ("non-tensor" for maps and sequences)
  std::vector<std::int64_t> dims;
  std::vector<std::string> symbols;
  // [1, 3], [batch, 3], [?, 3]
  std::string shape_text() const;
};
struct ModelDecl {
  std::vector<TensorDecl> inputs;
  std::vector<TensorDecl> outputs;
};

// The process's ONNX Runtime environment for sessions the tool opens itself.
Ort::Env& ort_env();

// Opens the model in an ONNX Runtime session (full graph optimisation, CPU) and reads its declared
// inputs and outputs; ONNX Runtime's error when it cannot be opened.
ModelDecl read_model_decl(const std::string& path);

// The input the runner feeds the observation to: the first whose lower-case name contains
// "observation", else the first; and the mask input: the first containing "action_mask" (-1: none).
std::size_t observation_input_index(const std::vector<std::string>& input_names);
std::ptrdiff_t mask_input_index(const std::vector<std::string>& input_names);

}  // namespace tavrin_tool
