#include "runner/shared_model.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>
#include <utility>

#include "runner/session_options.hpp"
#include "runner/tensors.hpp"

namespace tavrin_inference {
namespace {

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

// Declared shape of a session input; symbolic or open dimensions come back as -1.
Shape declared_shape(const Ort::Session& session, std::size_t index) {
  const auto type_info = session.GetInputTypeInfo(index);
  if (type_info.GetONNXType() != ONNX_TYPE_TENSOR) return Shape{};
  const auto dims = type_info.GetTensorTypeAndShapeInfo().GetShape();
  return Shape(dims.begin(), dims.end());
}

std::shared_ptr<SharedModel> load(const std::string& path, const std::vector<std::string>& providers,
                                  const GraphRunnerOptions& options) {
  auto model = std::make_shared<SharedModel>();
  model->session = open_session(path, providers, options);
  const Ort::Session& session = model->session;

  Ort::AllocatorWithDefaultOptions allocator;
  const std::size_t input_count = session.GetInputCount();
  for (std::size_t i = 0; i < input_count; ++i) {
    model->input_names.emplace_back(session.GetInputNameAllocated(i, allocator).get());
  }
  auto output_names = std::make_shared<std::vector<std::string>>();
  const std::size_t output_count = session.GetOutputCount();
  for (std::size_t i = 0; i < output_count; ++i) {
    output_names->emplace_back(session.GetOutputNameAllocated(i, allocator).get());
  }
  for (const auto& name : *output_names) model->output_name_ptrs.push_back(name.c_str());
  const auto vf = std::find(output_names->begin(), output_names->end(), "vf_preds");
  if (vf != output_names->end()) model->vf_output = static_cast<std::size_t>(vf - output_names->begin());
  const auto dist = std::find(output_names->begin(), output_names->end(), "action_dist_inputs");
  model->dist_output = dist != output_names->end() ? static_cast<std::size_t>(dist - output_names->begin())
                                                   : (output_count > 0 ? output_count - 1 : 0);
  model->output_names = std::move(output_names);

  model->outputs.resize(output_count);
  for (std::size_t i = 0; i < output_count; ++i) {
    const auto type_info = session.GetOutputTypeInfo(i);
    if (type_info.GetONNXType() != ONNX_TYPE_TENSOR) continue;
    const auto tensor_info = type_info.GetTensorTypeAndShapeInfo();
    const auto dims = tensor_info.GetShape();
    const auto dtype = native_dtype(tensor_info.GetElementType());
    if (!dtype || dims.size() > Shape::kMaxDims) continue;
    Shape shape(dims.begin(), dims.end());
    if (!is_concrete(shape)) continue;
    model->outputs[i] = {dtype, shape};
    model->any_output_declared = true;
  }
  model->all_outputs_declared =
      output_count > 0 && std::all_of(model->outputs.begin(), model->outputs.end(),
                                      [](const SharedModel::OutputDecl& o) { return o.dtype.has_value(); });

  if (input_count > 0) {
    model->observation_input = observation_input_of(model->input_names);
    model->observation_shape = declared_shape(session, model->observation_input);
  }
  model->mask_input = mask_input_of(model->input_names);
  if (model->mask_input) model->mask_shape = declared_shape(session, *model->mask_input);
  return model;
}

// What makes two loads the same model: the file (by its canonical path and by the identity and
// state of what lies there now, so that a file replaced or rewritten since is loaded afresh) and
// the options that change the session.
struct ModelKey {
  std::string path;
  std::uint64_t device = 0, inode = 0;
  std::int64_t size = 0, modified_ns = 0, changed_ns = 0;
  std::vector<std::string> providers;
  bool own_pool = false;
  int intra_op_threads = 0;  // the pool's settings, for sessions with pools of their own
  bool allow_spinning = false;

  // A defaulted <=> would do; clang-tidy 14 misreads it.
  auto fields() const {
    return std::tie(path, device, inode, size, modified_ns, changed_ns, providers, own_pool, intra_op_threads,
                    allow_spinning);
  }
  bool operator<(const ModelKey& other) const { return fields() < other.fields(); }
};

std::int64_t nanoseconds(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

ModelKey key_of(const std::string& path, const std::vector<std::string>& providers, const GraphRunnerOptions& options) {
  ModelKey key;
  std::error_code ec;
  const auto canonical = std::filesystem::canonical(path, ec);
  key.path = ec ? path : canonical.string();
  struct stat info {};
  if (::stat(key.path.c_str(), &info) == 0) {
    key.device = static_cast<std::uint64_t>(info.st_dev);
    key.inode = static_cast<std::uint64_t>(info.st_ino);
    key.size = static_cast<std::int64_t>(info.st_size);
    key.modified_ns = nanoseconds(info.st_mtim);
    key.changed_ns = nanoseconds(info.st_ctim);  // also moves when a file is renamed over this one
  }
  key.providers = providers;
  key.own_pool = options.thread_pool == GraphRunnerOptions::ThreadPool::per_session;
  if (key.own_pool) {
    key.intra_op_threads = options.intra_op_threads;
    key.allow_spinning = options.allow_spinning;
  }
  return key;
}

// A model's place in the registry; its lock is held while it loads.
struct Slot {
  std::mutex loading;
  std::weak_ptr<const SharedModel> model;
};

struct Registry {
  std::mutex mutex;
  std::map<ModelKey, std::shared_ptr<Slot>> slots;

  std::shared_ptr<Slot> slot_for(ModelKey key) {
    std::lock_guard lock(mutex);
    // Forget models no runner holds any more and that nobody is loading (their lock orders the
    // last write of `model` before this read).
    std::erase_if(slots, [](const auto& entry) {
      const auto& slot = entry.second;
      if (slot.use_count() != 1) return false;
      std::lock_guard loading(slot->loading);
      return slot->model.expired();
    });
    auto& slot = slots[std::move(key)];
    if (!slot) slot = std::make_shared<Slot>();
    return slot;
  }
};

Registry& registry() {
  static Registry* instance = new Registry();  // runners in static objects may outlive any order we could pick
  return *instance;
}

}  // namespace

std::size_t observation_input_of(const std::vector<std::string>& input_names) {
  return first_input_containing(input_names, "observation").value_or(0);
}

std::optional<std::size_t> mask_input_of(const std::vector<std::string>& input_names) {
  return first_input_containing(input_names, "action_mask");
}

std::shared_ptr<const SharedModel> open_shared_model(const std::string& path, const std::vector<std::string>& providers,
                                                     const GraphRunnerOptions& options) {
  const std::shared_ptr<Slot> slot = registry().slot_for(key_of(path, providers, options));
  std::lock_guard lock(slot->loading);
  if (auto loaded = slot->model.lock()) return loaded;
  std::shared_ptr<const SharedModel> loaded = load(path, providers, options);
  slot->model = loaded;
  return loaded;
}

}  // namespace tavrin_inference
