#include "runner/session_options.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include <cpu_provider_factory.h>
#include <onnxruntime_session_options_config_keys.h>

#include "common/errors.hpp"
#include "core_api/logger.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.graph_runner");

constexpr const char* kCpuProvider = "CPUExecutionProvider";

// The environment and the settings its global pool was made with.
struct Environment {
  std::mutex mutex;
  Ort::Env* env = nullptr;           // never destroyed, see onnx_runtime_env
  GraphRunnerOptions pool;           // thread settings of the global pool
  std::set<std::string> warned;      // requests already told that the pool runs otherwise
  std::atomic<bool> refused{false};  // the environment turned out to have no global pools
};

Environment& environment() {
  static Environment* instance = new Environment();  // outlives every session, like the environment
  return *instance;
}

bool same_threads(const GraphRunnerOptions& a, const GraphRunnerOptions& b) {
  return a.intra_op_threads == b.intra_op_threads && a.allow_spinning == b.allow_spinning;
}

// Registers a provider with its default options, which only ONNX Runtime can create (and free):
// the C++ wrapper has no type of its own for them.
template <class ProviderOptions, class Create, class Release, class Append>
void append_with_defaults(Create create, Release release, Append append) {
  ProviderOptions* defaults = nullptr;
  Ort::ThrowOnError(create(&defaults));
  const std::unique_ptr<ProviderOptions, Release> guard(defaults, release);
  append(*defaults);
}

void append_provider(Ort::SessionOptions& options, const std::string& name, bool last) {
  if (name == kCpuProvider) {
    // The CPU provider is always the session's final fallback; it only needs registering when
    // other providers follow it and it must keep its place before them.
    if (!last) Ort::ThrowOnError(OrtSessionOptionsAppendExecutionProvider_CPU(options, 1));
    return;
  }
  const auto available = Ort::GetAvailableProviders();
  if (std::find(available.begin(), available.end(), name) == available.end()) {
    throw InvalidArgumentError("Unknown execution provider: '" + name +
                               "'. Available providers: " + quoted_list(available));
  }
  const OrtApi& api = Ort::GetApi();
  if (name == "CUDAExecutionProvider") {
    append_with_defaults<OrtCUDAProviderOptionsV2>(
        api.CreateCUDAProviderOptions, api.ReleaseCUDAProviderOptions,
        [&](const auto& cuda) { options.AppendExecutionProvider_CUDA_V2(cuda); });
    return;
  }
  if (name == "TensorrtExecutionProvider") {
    append_with_defaults<OrtTensorRTProviderOptionsV2>(
        api.CreateTensorRTProviderOptions, api.ReleaseTensorRTProviderOptions,
        [&](const auto& trt) { options.AppendExecutionProvider_TensorRT_V2(trt); });
    return;
  }
  // Providers registered through the generic entry point, under their short names.
  static const std::array<std::pair<const char*, const char*>, 5> generic = {{
      {"XnnpackExecutionProvider", "XNNPACK"},
      {"QNNExecutionProvider", "QNN"},
      {"SNPEExecutionProvider", "SNPE"},
      {"WebNNExecutionProvider", "WEBNN"},
      {"AzureExecutionProvider", "AZURE"},
  }};
  for (const auto& [full, short_name] : generic) {
    if (name == full) {
      options.AppendExecutionProvider(short_name, {});
      return;
    }
  }
  throw NotImplementedError("Execution provider '" + name + "' is not supported by this runtime");
}

Ort::SessionOptions make_session_options(const std::vector<std::string>& providers, const GraphRunnerOptions& options,
                                         bool on_global_pool) {
  Ort::SessionOptions session_options;
  session_options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (on_global_pool) {
    session_options.DisablePerSessionThreads();
  } else {
    session_options.SetIntraOpNumThreads(options.intra_op_threads);
    session_options.AddConfigEntry(kOrtSessionOptionsConfigAllowIntraOpSpinning, options.allow_spinning ? "1" : "0");
  }
  for (std::size_t i = 0; i < providers.size(); ++i) {
    append_provider(session_options, providers[i], i + 1 == providers.size());
  }
  return session_options;
}

// ONNX Runtime's words when a session asks for global pools the environment does not have.
bool is_global_pool_refusal(const Ort::Exception& error) {
  return std::string_view(error.what()).find("EnvCreatedWithGlobalThreadPools") != std::string_view::npos;
}

}  // namespace

Ort::Env& onnx_runtime_env(const GraphRunnerOptions& options) {
  Environment& e = environment();
  std::lock_guard lock(e.mutex);
  const bool wants_pool = options.thread_pool == GraphRunnerOptions::ThreadPool::global;
  if (e.env == nullptr) {
    // Runs execute one after another within a session, so the inter-op pool stays empty.
    if (wants_pool) e.pool = options;
    Ort::ThreadingOptions threading;
    threading.SetGlobalIntraOpNumThreads(e.pool.intra_op_threads);
    threading.SetGlobalInterOpNumThreads(1);
    threading.SetGlobalSpinControl(e.pool.allow_spinning ? 1 : 0);
    e.env = new Ort::Env(threading, ORT_LOGGING_LEVEL_WARNING, "tavrin_inference");
    return *e.env;
  }
  if (wants_pool && !same_threads(options, e.pool) && e.warned.insert(options.thread_settings()).second) {
    logger.warning(
        "ONNX Runtime's process-wide thread pool already runs with {}; the requested {} is not applied to it "
        "(\"thread_pool\": \"per_session\" gives a host's sessions pools of their own)",
        e.pool.thread_settings(), options.thread_settings());
  }
  return *e.env;
}

Ort::Session open_session(const std::string& path, const std::vector<std::string>& providers,
                          const GraphRunnerOptions& options) {
  Ort::Env& env = onnx_runtime_env(options);
  Environment& e = environment();
  const bool on_global_pool =
      options.thread_pool == GraphRunnerOptions::ThreadPool::global && !e.refused.load(std::memory_order_relaxed);
  if (!on_global_pool) return Ort::Session(env, path.c_str(), make_session_options(providers, options, false));
  try {
    return Ort::Session(env, path.c_str(), make_session_options(providers, options, true));
  } catch (const Ort::Exception& error) {
    if (!is_global_pool_refusal(error)) throw;
  }
  if (!e.refused.exchange(true)) {
    logger.warning(
        "ONNX Runtime's environment was created elsewhere in this process without global thread pools: "
        "sessions get thread pools of their own ({})",
        options.thread_settings());
  }
  return Ort::Session(env, path.c_str(), make_session_options(providers, options, false));
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text.append("'").append(names[i]).append("'");
  }
  return text + "]";
}

}  // namespace tavrin_inference
