#include "tools/tool_support.hpp"

#include <iostream>

#include <onnxruntime_cxx_api.h>

#include "common/errors.hpp"
#include "core_api/logger.hpp"
#include "factory/skill_factory.hpp"
#include "runner/agent_model.hpp"
#include "runner/shared_model.hpp"

namespace tavrin_tool {

namespace {

const char* element_type_name(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "float64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "bool";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: return "string";
    default: return "other";
  }
}

TensorDecl decl_of(const Ort::TypeInfo& info, std::string name) {
  TensorDecl decl;
  decl.name = std::move(name);
  if (info.GetONNXType() != ONNX_TYPE_TENSOR) {
    decl.element_type = "non-tensor";
    return decl;
  }
  const auto tensor = info.GetTensorTypeAndShapeInfo();
  decl.element_type = element_type_name(tensor.GetElementType());
  decl.dims = tensor.GetShape();
  std::vector<const char*> symbols(decl.dims.size(), nullptr);
  if (!symbols.empty()) tensor.GetSymbolicDimensions(symbols.data(), symbols.size());
  for (const char* s : symbols) decl.symbols.emplace_back(s ? s : "");
  return decl;
}

}  // namespace

std::string describe_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return tavrin_inference::describe(e);
  } catch (...) {
    return "unknown error";
  }
}

void apply_log_level(const std::string& level) {
  if (!level.empty()) tavrin_core::set_log_level(tavrin_core::parse_log_level(level));
}

tavrin_inference::PolicyHost::AgentRef agent_ref(const std::string& name) {
  if (name.empty()) return {};
  return name;
}

InputLines::InputLines(const std::string& path) {
  if (path.empty() || path == "-") {
    std_in_ = &std::cin;
    name_ = "<stdin>";
    return;
  }
  file_ = std::make_unique<std::ifstream>(path);
  if (!*file_) throw tavrin_inference::FileNotFoundError("Input file not found: " + path);
  name_ = path;
}

std::optional<std::string> processor_class_for(const tavrin_core::AgentNode& agent) {
  return tavrin_inference::processor_class_for(agent);
}

std::vector<std::string> model_candidates(const tavrin_core::AgentNode& agent) {
  const auto processor = processor_class_for(agent);
  if (!processor || agent.is_controller()) return {};
  return tavrin_inference::model_candidates(agent, *processor == "SkillRuntime"
                                                       ? tavrin_inference::ModelOwner::skill
                                                       : tavrin_inference::ModelOwner::selector);
}

std::string TensorDecl::shape_text() const {
  if (element_type == "non-tensor") return "(no tensor shape)";
  std::string text = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) text += ", ";
    if (dims[i] >= 0) {
      text += std::to_string(dims[i]);
    } else {
      text += (i < symbols.size() && !symbols[i].empty()) ? symbols[i] : std::string("?");
    }
  }
  return text + "]";
}

Ort::Env& ort_env() {
  static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tavrin_tool");
  return *env;
}

ModelDecl read_model_decl(const std::string& path) {
  Ort::SessionOptions options;
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  Ort::Session session(ort_env(), path.c_str(), options);
  Ort::AllocatorWithDefaultOptions allocator;
  ModelDecl decl;
  for (std::size_t i = 0; i < session.GetInputCount(); ++i)
    decl.inputs.push_back(decl_of(session.GetInputTypeInfo(i), session.GetInputNameAllocated(i, allocator).get()));
  for (std::size_t i = 0; i < session.GetOutputCount(); ++i)
    decl.outputs.push_back(decl_of(session.GetOutputTypeInfo(i), session.GetOutputNameAllocated(i, allocator).get()));
  return decl;
}

// The runner's own rules, so that the tool reports what a runner does.
std::size_t observation_input_index(const std::vector<std::string>& input_names) {
  return tavrin_inference::observation_input_of(input_names);
}

std::ptrdiff_t mask_input_index(const std::vector<std::string>& input_names) {
  const auto mask = tavrin_inference::mask_input_of(input_names);
  return mask ? static_cast<std::ptrdiff_t>(*mask) : -1;
}

}  // namespace tavrin_tool
