#pragma once
// The declared input and output names of an open ONNX Runtime session, with the C strings a run
// takes, for the tool and benchmarks that run sessions of their own next to the runtime's.
#include <cstddef>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace tavrin_tool {

struct SessionNames {
  explicit SessionNames(const Ort::Session& session) {
    Ort::AllocatorWithDefaultOptions allocator;
    for (std::size_t i = 0; i < session.GetInputCount(); ++i)
      inputs.emplace_back(session.GetInputNameAllocated(i, allocator).get());
    for (std::size_t i = 0; i < session.GetOutputCount(); ++i)
      outputs.emplace_back(session.GetOutputNameAllocated(i, allocator).get());
    for (const auto& name : inputs) input_ptrs.push_back(name.c_str());
    for (const auto& name : outputs) output_ptrs.push_back(name.c_str());
  }
  // The pointers point into the names: not copied.
  SessionNames(const SessionNames&) = delete;
  SessionNames& operator=(const SessionNames&) = delete;

  std::vector<std::string> inputs, outputs;
  std::vector<const char*> input_ptrs, output_ptrs;
};

}  // namespace tavrin_tool
