#include "runner/graph_runner.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <mutex>

#include <cpu_provider_factory.h>
#include <onnxruntime_cxx_api.h>

#include "common/errors.hpp"
#include "core_api/logger.hpp"

namespace tavrin_inference {
namespace {

using tavrin_core::LogLevel;

tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.graph_runner");

constexpr const char* kCpuProvider = "CPUExecutionProvider";

// One environment for the whole process, created by the first runner. Never destroyed: sessions
// held in static objects may outlive any destruction order we could pick.
Ort::Env& ort_env() {
  static Ort::Env* env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "tavrin_inference");
  return *env;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text.append("'").append(names[i]).append("'");
  }
  return text + "]";
}

bool contains_lower(std::string_view name, std::string_view word) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find(word) != std::string::npos;
}

std::optional<std::size_t> first_input_containing(const std::vector<std::string>& names, std::string_view word) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (contains_lower(names[i], word)) return i;
  }
  return std::nullopt;
}

bool is_concrete(const Shape& shape) {
  return std::all_of(shape.begin(), shape.end(), [](std::int64_t d) { return d >= 0; });
}

// Declared shape of a session input; symbolic or open dimensions come back as -1.
Shape declared_shape(const Ort::Session& session, std::size_t index) {
  const auto type_info = session.GetInputTypeInfo(index);
  if (type_info.GetONNXType() != ONNX_TYPE_TENSOR) return Shape{};
  const auto dims = type_info.GetTensorTypeAndShapeInfo().GetShape();
  return Shape(dims.begin(), dims.end());
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
  if (name == "CUDAExecutionProvider") {
    OrtCUDAProviderOptionsV2* cuda = nullptr;
    Ort::ThrowOnError(Ort::GetApi().CreateCUDAProviderOptions(&cuda));
    std::unique_ptr<OrtCUDAProviderOptionsV2, void (*)(OrtCUDAProviderOptionsV2*)> guard(
        cuda, Ort::GetApi().ReleaseCUDAProviderOptions);
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    return;
  }
  if (name == "TensorrtExecutionProvider") {
    OrtTensorRTProviderOptionsV2* trt = nullptr;
    Ort::ThrowOnError(Ort::GetApi().CreateTensorRTProviderOptions(&trt));
    std::unique_ptr<OrtTensorRTProviderOptionsV2, void (*)(OrtTensorRTProviderOptionsV2*)> guard(
        trt, Ort::GetApi().ReleaseTensorRTProviderOptions);
    options.AppendExecutionProvider_TensorRT_V2(*trt);
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

template <class From, class To>
NdArray copy_tensor(const void* data, std::size_t count, Shape shape) {
  const auto* first = static_cast<const From*>(data);
  if constexpr (std::is_same_v<From, To>) {
    return NdArray::from_vector<To>(std::vector<To>(first, first + count), shape);
  } else {
    std::vector<To> values(count);
    std::transform(first, first + count, values.begin(), [](From v) { return static_cast<To>(v); });
    return NdArray::from_vector<To>(std::move(values), shape);
  }
}

// Copies one run output into an array of the same element type. Integer and boolean types that
// NdArray does not hold widen losslessly (to int64, booleans to int8); other types are refused.
NdArray to_nd_array(const Ort::Value& value, const std::string& name) {
  if (!value.IsTensor()) throw TypeError("Model output '" + name + "' is not a tensor");
  const auto info = value.GetTensorTypeAndShapeInfo();
  const std::size_t ndim = info.GetDimensionsCount();
  if (ndim > Shape::kMaxDims) {
    throw InvalidArgumentError("Model output '" + name + "' has " + std::to_string(ndim) +
                               " dimensions, more than supported");
  }
  std::array<std::int64_t, Shape::kMaxDims> dims{};
  Ort::ThrowOnError(Ort::GetApi().GetDimensions(info, dims.data(), ndim));  // no vector per call
  const Shape shape(dims.begin(), dims.begin() + ndim);
  const std::size_t count = info.GetElementCount();
  const void* data = value.GetTensorRawData();
  switch (info.GetElementType()) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return copy_tensor<float, float>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return copy_tensor<double, double>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return copy_tensor<std::int64_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return copy_tensor<std::int8_t, std::int8_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return copy_tensor<std::int32_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return copy_tensor<std::int16_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return copy_tensor<std::uint8_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return copy_tensor<std::uint16_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return copy_tensor<std::uint32_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return copy_tensor<bool, std::int8_t>(data, count, shape);
    default:
      throw TypeError("Model output '" + name + "' has an element type that arrays cannot hold (ONNX type " +
                      std::to_string(static_cast<int>(info.GetElementType())) + ")");
  }
}

std::optional<DType> native_dtype(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return DType::float32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return DType::float64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return DType::int64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return DType::int8;
    default: return std::nullopt;
  }
}

// A tensor over an array's own memory (no copy), kept for the next call: when that call hands over
// the same buffer with the same shape, which is common since freed buffers come back from the
// allocator, the view is reused instead of created again. A view is only a pointer, a shape and an
// element type, so a reused one is exactly the one that would have been created. ONNX Runtime
// reads input views and writes output views only during a run.
class TensorView {
 public:
  // Inputs are only read by the run: their elements are viewed where they are, shared or not.
  const OrtValue* input(const Ort::MemoryInfo& memory, const NdArray& array, const Shape& shape) {
    return get(memory, array, const_cast<void*>(array.raw_data()), shape);
  }
  // Outputs are written by the run: the array must hold elements of its own (the caller keeps it
  // unshared while the view is in use).
  OrtValue* output(const Ort::MemoryInfo& memory, NdArray& array) {
    return get(memory, array, array.raw_data(), array.shape());
  }
  void reset() {
    value_ = Ort::Value{nullptr};
    data_ = nullptr;
  }

 private:
  OrtValue* get(const Ort::MemoryInfo& memory, const NdArray& array, void* data, const Shape& shape) {
    if (value_ && data == data_ && array.dtype() == dtype_ && shape == shape_) return value_;
    value_ = create(memory, array, data, shape);
    data_ = data;
    dtype_ = array.dtype();
    shape_ = shape;
    return value_;
  }

  static Ort::Value create(const Ort::MemoryInfo& memory, const NdArray& array, void* data, const Shape& shape) {
    const auto count = static_cast<std::size_t>(array.size());
    switch (array.dtype()) {
      case DType::float32:
        return Ort::Value::CreateTensor<float>(memory, static_cast<float*>(data), count, shape.begin(), shape.ndim());
      case DType::float64:
        return Ort::Value::CreateTensor<double>(memory, static_cast<double*>(data), count, shape.begin(), shape.ndim());
      case DType::int64:
        return Ort::Value::CreateTensor<std::int64_t>(memory, static_cast<std::int64_t*>(data), count, shape.begin(),
                                                      shape.ndim());
      case DType::int8:
        return Ort::Value::CreateTensor<std::int8_t>(memory, static_cast<std::int8_t*>(data), count, shape.begin(),
                                                     shape.ndim());
    }
    throw TypeError("unknown element type");
  }

  Ort::Value value_{nullptr};
  void* data_ = nullptr;
  DType dtype_ = DType::float32;
  Shape shape_;
};

template <class To>
void convert_into(const NdArray& from, To* out) {
  const auto n = static_cast<std::size_t>(from.size());
  const auto cast = [out, n](const auto* in) {
    std::transform(in, in + n, out, [](auto v) { return static_cast<To>(v); });
  };
  switch (from.dtype()) {
    case DType::float32: cast(from.data<float>()); break;
    case DType::float64: cast(from.data<double>()); break;
    case DType::int64: cast(from.data<std::int64_t>()); break;
    case DType::int8: cast(from.data<std::int8_t>()); break;
  }
}

// An input of concrete declared shape staged in memory of the session's own: each run copies the
// caller's elements in (converting them to the input's element type) and hands over the same
// tensor, so that no tensor is created per run.
class StagedInput {
 public:
  bool ready() const { return ready_; }
  void prepare(DType dtype, const Shape& shape) {
    buffer_ = NdArray(dtype, shape);
    ready_ = true;
  }
  // `from` has the declared element count.
  const OrtValue* load(const Ort::MemoryInfo& memory, const NdArray& from) {
    if (buffer_.dtype() == DType::float32) {
      convert_into(from, buffer_.data<float>());
    } else {
      convert_into(from, buffer_.data<double>());
    }
    return view_.input(memory, buffer_, buffer_.shape());
  }

 private:
  NdArray buffer_;
  TensorView view_;
  bool ready_ = false;
};

}  // namespace

// --- InferenceOutputs ----------------------------------------------------------------------------

InferenceOutputs::InferenceOutputs(Names names, std::vector<NdArray> values)
    : names_(std::move(names)), values_(std::move(values)) {
  if (!names_ || names_->size() != values_.size()) {
    throw InvalidArgumentError("InferenceOutputs needs one name per value");
  }
}

const std::vector<std::string>& InferenceOutputs::names() const {
  static const std::vector<std::string> none;
  return names_ ? *names_ : none;
}

std::ptrdiff_t InferenceOutputs::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if ((*names_)[i] == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

const NdArray* InferenceOutputs::find(std::string_view name) const {
  const auto i = index_of(name);
  return i < 0 ? nullptr : &values_[static_cast<std::size_t>(i)];
}

NdArray* InferenceOutputs::find(std::string_view name) {
  const auto i = index_of(name);
  return i < 0 ? nullptr : &values_[static_cast<std::size_t>(i)];
}

const NdArray& InferenceOutputs::at(std::string_view name) const {
  const auto* value = find(name);
  if (value == nullptr) throw KeyError("'" + std::string(name) + "'");
  return *value;
}

// --- GraphRunner ---------------------------------------------------------------------------------

struct GraphRunner::Session {
  Ort::Session session{nullptr};
  Ort::MemoryInfo memory{Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)};
  Ort::RunOptions run_options;

  std::vector<std::string> input_names;
  InferenceOutputs::Names output_names;
  std::vector<const char*> output_name_ptrs;  // into *output_names, handed to every run

  // The model's metadata never changes, so the input rules are resolved once.
  std::size_t observation_input = 0;
  Shape observation_shape;
  std::optional<std::size_t> mask_input;
  Shape mask_shape;
  std::optional<NdArray> ones_mask;  // the default mask, when its declared shape is concrete

  TensorView observation_view, mask_view;
  StagedInput observation_stage, mask_stage;  // prepared when the declared shapes are concrete

  // Outputs whose declared type and shape are fully known are allocated by us as NdArrays and
  // written by the run in place (no copy, no shape query); the rest are allocated by the run and
  // copied. A model whose real output shapes differ from the declared ones turns this off for good.
  struct OutputSlot {
    std::optional<DType> dtype;  // set when the output is pre-bound
    Shape shape;
    NdArray buffer;  // written by every run, then copied out: its tensor is created once
    TensorView view;
  };
  std::vector<OutputSlot> output_slots;
  bool prebind = false;
  std::vector<OrtValue*> output_values;  // handed to every run (guarded by the runner's lock)

  // Runs the session; `values` gets every output, or only output `only` when given (the others are
  // left empty and never copied).
  // `stable_inputs`: every input is a staged tensor (or the default mask's), the same objects from
  // run to run, so that they may stay bound.
  void run(const char* const* input_names, const OrtValue* const* input_values, std::size_t input_count,
           std::vector<NdArray>& values, std::optional<std::size_t> only, bool stable_inputs);
  OrtStatus* run_bound(const char* const* input_names, const OrtValue* const* input_values, std::size_t input_count);

  // With staged inputs and every output pre-bound, runs go through a binding made once: the run
  // then neither copies the names nor looks the values up again.
  bool all_outputs_prebound = false;
  std::unique_ptr<OrtIoBinding, void (*)(OrtIoBinding*)> binding{nullptr, Ort::GetApi().ReleaseIoBinding};
  std::array<const OrtValue*, 2> bound_values{};
  std::array<const char*, 2> bound_names{};

  std::size_t dist_output = 0;  // "action_dist_inputs", else the last output
  std::optional<std::size_t> vf_output;
  std::vector<NdArray> single_values;  // reused by the one-output accessors (guarded by the runner's lock)

  std::atomic<int> in_flight{0};
  std::atomic<int> max_in_flight{0};
};

GraphRunner::GraphRunner(std::string model_path, std::optional<std::vector<std::string>> providers) {
  if (!providers) providers.emplace(1, kCpuProvider);
  std::error_code ec;
  if (!std::filesystem::exists(model_path, ec)) {
    throw FileNotFoundError("ONNX model not found at: " + model_path);
  }
  model_path_ = std::move(model_path);
  load_model(*providers);
}

GraphRunner::~GraphRunner() = default;

void GraphRunner::load_model(const std::vector<std::string>& providers) {
  try {
    auto loaded = std::make_unique<Session>();

    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    for (std::size_t i = 0; i < providers.size(); ++i) {
      append_provider(options, providers[i], i + 1 == providers.size());
    }
    loaded->session = Ort::Session(ort_env(), model_path_.c_str(), options);
    auto& session = loaded->session;

    Ort::AllocatorWithDefaultOptions allocator;
    const std::size_t input_count = session.GetInputCount();
    for (std::size_t i = 0; i < input_count; ++i) {
      loaded->input_names.emplace_back(session.GetInputNameAllocated(i, allocator).get());
    }
    auto output_names = std::make_shared<std::vector<std::string>>();
    const std::size_t output_count = session.GetOutputCount();
    for (std::size_t i = 0; i < output_count; ++i) {
      output_names->emplace_back(session.GetOutputNameAllocated(i, allocator).get());
    }
    for (const auto& name : *output_names) loaded->output_name_ptrs.push_back(name.c_str());
    const auto vf = std::find(output_names->begin(), output_names->end(), "vf_preds");
    if (vf != output_names->end()) loaded->vf_output = static_cast<std::size_t>(vf - output_names->begin());
    const auto dist = std::find(output_names->begin(), output_names->end(), "action_dist_inputs");
    loaded->dist_output = dist != output_names->end() ? static_cast<std::size_t>(dist - output_names->begin())
                                                      : (output_count > 0 ? output_count - 1 : 0);
    loaded->output_names = std::move(output_names);
    loaded->output_values.resize(output_count);
    loaded->output_slots.resize(output_count);
    for (std::size_t i = 0; i < output_count; ++i) {
      const auto type_info = session.GetOutputTypeInfo(i);
      if (type_info.GetONNXType() != ONNX_TYPE_TENSOR) continue;
      const auto tensor_info = type_info.GetTensorTypeAndShapeInfo();
      const auto dims = tensor_info.GetShape();
      const auto dtype = native_dtype(tensor_info.GetElementType());
      if (!dtype || dims.size() > Shape::kMaxDims) continue;
      Shape shape(dims.begin(), dims.end());
      if (!is_concrete(shape)) continue;
      loaded->output_slots[i].dtype = dtype;
      loaded->output_slots[i].shape = shape;
      loaded->output_slots[i].buffer = NdArray(*dtype, shape);
      loaded->prebind = true;
    }
    loaded->all_outputs_prebound =
        output_count > 0 && std::all_of(loaded->output_slots.begin(), loaded->output_slots.end(),
                                        [](const Session::OutputSlot& slot) { return slot.dtype.has_value(); });

    if (input_count > 0) {
      loaded->observation_input = first_input_containing(loaded->input_names, "observation").value_or(0);
      loaded->observation_shape = declared_shape(session, loaded->observation_input);
      if (is_concrete(loaded->observation_shape))
        loaded->observation_stage.prepare(DType::float32, loaded->observation_shape);
    }
    loaded->mask_input = first_input_containing(loaded->input_names, "action_mask");
    if (loaded->mask_input) {
      loaded->mask_shape = declared_shape(session, *loaded->mask_input);
      if (is_concrete(loaded->mask_shape)) {
        loaded->ones_mask = NdArray::ones(loaded->mask_shape, DType::float64);
        loaded->mask_stage.prepare(DType::float64, loaded->mask_shape);
      }
    }

    if (logger.enabled(LogLevel::info)) logger.info("Successfully loaded ONNX model from: " + model_path_);
    if (logger.enabled(LogLevel::debug)) {
      logger.debug("Input names: " + quoted_list(loaded->input_names) +
                   ", Output names: " + quoted_list(*loaded->output_names));
    }
    session_ = std::move(loaded);
  } catch (const Ort::Exception& e) {
    if (logger.enabled(LogLevel::error)) {
      logger.error("Error loading ONNX model from " + model_path_ + ": " + e.what());
    }
    throw RuntimeError(e.what());
  } catch (const std::exception& e) {
    if (logger.enabled(LogLevel::error)) {
      logger.error("Error loading ONNX model from " + model_path_ + ": " + e.what());
    }
    throw;
  }
}

const std::vector<std::string>& GraphRunner::input_names() const {
  static const std::vector<std::string> none;
  return session_ ? session_->input_names : none;
}

const std::vector<std::string>& GraphRunner::output_names() const {
  static const std::vector<std::string> none;
  return session_ ? *session_->output_names : none;
}

int GraphRunner::max_concurrent_runs() const {
  return session_ ? session_->max_in_flight.load(std::memory_order_relaxed) : 0;
}

void GraphRunner::Session::run(const char* const* input_names, const OrtValue* const* input_values,
                               std::size_t input_count, std::vector<NdArray>& values, std::optional<std::size_t> only,
                               bool stable_inputs) {
  const std::size_t count = output_values.size();
  values.resize(count);  // filled after the run
  for (std::size_t i = 0; i < count; ++i) {
    auto& slot = output_slots[i];
    // Pre-bound outputs are written into the slot's buffer; the rest are allocated by the run.
    output_values[i] = prebind && slot.dtype ? slot.view.output(memory, slot.buffer) : nullptr;
  }
  OrtStatus* status = nullptr;
  if (stable_inputs && prebind && all_outputs_prebound && input_count <= bound_values.size()) {
    status = run_bound(input_names, input_values, input_count);
  } else {
    status = Ort::GetApi().Run(session, run_options, input_names, input_values, input_count, output_name_ptrs.data(),
                               count, output_values.data());
  }
  if (status != nullptr) {
    Ort::Status failure(status);
    if (!prebind) throw Ort::Exception(failure.GetErrorMessage(), failure.GetErrorCode());
    // Possibly only a declared output shape the run does not keep to. Run once more with every
    // output allocated by the run: that run's outcome is the call's; when it succeeds,
    // pre-binding stays off for this model.
    prebind = false;
    binding.reset();
    for (auto& slot : output_slots) slot.view.reset();
    try {
      run(input_names, input_values, input_count, values, only, stable_inputs);
    } catch (...) {
      prebind = true;  // the run fails either way: not the pre-bound outputs' doing
      throw;
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const bool wanted = !only || *only == i;
    if (prebind && output_slots[i].dtype) {
      // A copy of its own: the next run writes into the slot's buffer again.
      if (wanted) values[i] = output_slots[i].buffer.copy();
      continue;
    }
    const Ort::Value owned(output_values[i]);  // released whether wanted or not
    if (wanted) values[i] = to_nd_array(owned, (*output_names)[i]);
  }
}

OrtStatus* GraphRunner::Session::run_bound(const char* const* input_names, const OrtValue* const* input_values,
                                           std::size_t input_count) {
  const OrtApi& api = Ort::GetApi();
  if (!binding) {
    OrtIoBinding* created = nullptr;
    if (OrtStatus* status = api.CreateIoBinding(session, &created)) return status;
    binding.reset(created);
    for (std::size_t i = 0; i < output_values.size(); ++i) {
      if (OrtStatus* status = api.BindOutput(binding.get(), output_name_ptrs[i], output_values[i])) {
        binding.reset();
        return status;
      }
    }
    bound_values.fill(nullptr);
    bound_names.fill(nullptr);
  }
  for (std::size_t k = 0; k < input_count; ++k) {
    if (bound_values[k] == input_values[k] && bound_names[k] == input_names[k]) continue;
    if (OrtStatus* status = api.BindInput(binding.get(), input_names[k], input_values[k])) {
      binding.reset();
      return status;
    }
    bound_values[k] = input_values[k];
    bound_names[k] = input_names[k];
  }
  return api.RunWithBinding(session, run_options, binding.get());
}

InferenceOutputs GraphRunner::infer(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  std::vector<NdArray> values;
  run_locked(observation, action_mask, values, std::nullopt);
  return InferenceOutputs(session_->output_names, std::move(values));
}

void GraphRunner::run_locked(const NdArray& observation, const NdArray* action_mask, std::vector<NdArray>& values,
                             std::optional<std::size_t> only) {
  if (!session_) throw RuntimeError("Model not loaded");
  Session& s = *session_;

  try {
    if (s.input_names.empty()) throw IndexError("Model has no inputs");
    std::array<const char*, 2> input_names{};
    std::array<const OrtValue*, 2> input_values{};
    std::size_t input_count = 0;

    // Observation: one row when flat, float32, and exactly the declared shape.
    Shape obs_shape = observation.shape();
    if (obs_shape.ndim() == 1) obs_shape = Shape{1, obs_shape[0]};
    if (!(obs_shape == s.observation_shape)) {
      throw InvalidArgumentError("Observation has too many dimensions: " + obs_shape.str() + ", expected: " +
                                 s.observation_shape.declared_str() + ". Batch inference is not supported.");
    }
    input_names[input_count] = s.input_names[s.observation_input].c_str();
    std::optional<NdArray> obs_converted;  // lives until the run
    if (s.observation_stage.ready()) {
      input_values[input_count++] = s.observation_stage.load(s.memory, observation);
    } else {
      const NdArray* obs = &observation;
      if (observation.dtype() != DType::float32) obs = &obs_converted.emplace(observation.astype(DType::float32));
      input_values[input_count++] = s.observation_view.input(s.memory, *obs, obs_shape);
    }

    // Action mask: float64 of the declared shape; all ones when none is given.
    std::optional<NdArray> mask_converted;
    if (s.mask_input) {
      const NdArray* mask = nullptr;
      Shape mask_shape;
      if (action_mask != nullptr) {
        mask = action_mask;
        mask_shape = mask->shape();
        if (mask_shape.ndim() == 1) {
          if (is_concrete(s.mask_shape) && mask->size() == s.mask_shape.numel()) {
            mask_shape = s.mask_shape;  // same elements, row-major: only the shape changes
          } else {
            mask = &mask_converted.emplace(mask->reshape(s.mask_shape));  // resolves or refuses the sizes
            mask_shape = mask->shape();
          }
        }
        if (mask->dtype() != DType::float64) {
          NdArray converted = mask->astype(DType::float64);
          mask = &mask_converted.emplace(std::move(converted));
        }
        if (!(mask_shape == s.mask_shape)) {
          throw InvalidArgumentError("Action mask has incorrect shape: " + mask_shape.str() +
                                     ", expected: " + s.mask_shape.declared_str());
        }
      } else if (s.ones_mask) {
        mask = &*s.ones_mask;
        mask_shape = s.mask_shape;
      } else {
        mask = &mask_converted.emplace(NdArray::ones(s.mask_shape, DType::float64));  // refuses open sizes
        mask_shape = mask->shape();
      }
      input_names[input_count] = s.input_names[*s.mask_input].c_str();
      if (s.mask_stage.ready() && mask != &*s.ones_mask) {
        input_values[input_count++] = s.mask_stage.load(s.memory, *mask);
      } else {
        input_values[input_count++] = s.mask_view.input(s.memory, *mask, mask_shape);
      }
    }

    {
      const int now = s.in_flight.fetch_add(1, std::memory_order_relaxed) + 1;
      int seen = s.max_in_flight.load(std::memory_order_relaxed);
      while (now > seen && !s.max_in_flight.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
      }
      struct Leave {
        std::atomic<int>& count;
        ~Leave() { count.fetch_sub(1, std::memory_order_relaxed); }
      } leave{s.in_flight};
      const bool stable_inputs = s.observation_stage.ready() && (!s.mask_input || s.mask_stage.ready());
      s.run(input_names.data(), input_values.data(), input_count, values, only, stable_inputs);
    }
  } catch (const Ort::Exception& e) {
    if (logger.enabled(LogLevel::error)) logger.error(std::string("Error during inference: ") + e.what());
    throw RuntimeError(e.what());
  } catch (const std::exception& e) {
    if (logger.enabled(LogLevel::error)) logger.error(std::string("Error during inference: ") + e.what());
    throw;
  }
}

// The one-output accessors copy only the output they hand back.
NdArray GraphRunner::get_action_dist_inputs(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  if (!session_) throw RuntimeError("Model not loaded");
  Session& s = *session_;
  run_locked(observation, action_mask, s.single_values, s.dist_output);
  if (s.single_values.empty()) throw IndexError("Model has no outputs");
  return std::move(s.single_values[s.dist_output]);
}

std::optional<NdArray> GraphRunner::get_vf_preds(const NdArray& observation, const NdArray* action_mask) {
  std::lock_guard lock(model_lock_);
  if (!session_) throw RuntimeError("Model not loaded");
  Session& s = *session_;
  // Without a "vf_preds" output the run still takes place (its errors are the caller's) and copies nothing.
  run_locked(observation, action_mask, s.single_values, s.vf_output.value_or(s.output_values.size()));
  if (!s.vf_output) return std::nullopt;
  return std::move(s.single_values[*s.vf_output]);
}

}  // namespace tavrin_inference
