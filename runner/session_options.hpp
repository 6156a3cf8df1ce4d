#pragma once
// How the runners open their ONNX Runtime sessions: the one environment of the process, the
// execution providers, and the thread settings. Programs that open sessions of their own next to
// the runners' (the benchmarks, the tool) use these, so that both are opened alike.
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "runner/runner_options.hpp"

namespace tavrin_inference {

// The environment every session of the process is made in, created by the first call and never
// destroyed (sessions held in static objects may outlive any destruction order we could pick).
// It owns the process-wide intra-op pool; the first call that asks for the global pool fixes the
// pool's settings; a later call asking for other settings gets the running pool and a warning
// (once per distinct request) that names both.
Ort::Env& onnx_runtime_env(const GraphRunnerOptions& options = {});

// A new session on the model at `path`, opened as the runners open theirs: full graph
// optimisation, the providers in order ("CPUExecutionProvider" is the final fallback and is only
// registered when others follow it), and the threads of `options`. InvalidArgumentError for an
// unknown provider, NotImplementedError for a known one this runtime cannot register,
// Ort::Exception when ONNX Runtime cannot open the model.
//
// Should the process's environment have been created elsewhere, without global pools, ONNX
// Runtime refuses sessions on the global pool: they then get pools of their own with the same
// settings, and a warning says so once.
Ort::Session open_session(const std::string& path, const std::vector<std::string>& providers,
                          const GraphRunnerOptions& options);

// Names as log lines and messages list them: ['a', 'b'].
std::string quoted_list(const std::vector<std::string>& names);

}  // namespace tavrin_inference
