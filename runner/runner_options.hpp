#pragma once
// How a runner's ONNX Runtime session uses threads, from the host's configuration map: the field
// "onnxruntime", a map with "thread_pool" ("global" or "per_session"), "intra_op_threads" and
// "allow_spinning". Every field is optional; the defaults suit models that run one row per call.
#include <string>

namespace tavrin_core {
class TrainerConfig;
}

namespace tavrin_inference {

struct GraphRunnerOptions {
  enum class ThreadPool {
    global,       // every such session runs on the one process-wide pool
    per_session,  // each session makes a pool of its own
  };

  ThreadPool thread_pool = ThreadPool::global;
  // Threads of the pool a run uses, the calling thread included: 1 runs every model on its caller's
  // thread and starts none; 0 is ONNX Runtime's own choice (one per physical core).
  int intra_op_threads = 1;
  // Whether idle pool threads spin a while before they sleep (faster hand-over, busy cores).
  bool allow_spinning = false;

  // The "onnxruntime" field of `config`, defaults for what it leaves out. InvalidArgumentError
  // naming the field ("configuration: onnxruntime.intra_op_threads: ...") when a value is wrong.
  static GraphRunnerOptions from_config(const tavrin_core::TrainerConfig& config);
  // Defaults when `config` is null.
  static GraphRunnerOptions from_config(const tavrin_core::TrainerConfig* config);

  // "intra_op_threads 1, allow_spinning false", as log messages show the thread settings.
  std::string thread_settings() const;

  bool operator==(const GraphRunnerOptions&) const = default;
};

}  // namespace tavrin_inference
