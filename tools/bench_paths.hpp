#pragma once
// The raw side of tavrin bench: which models a step of the packaged tree runs, with which inputs,
// and those runs done bare (Ort::Session::Run on sessions of the tool's own, opened like the
// runner's, the inputs as ready-made tensors), so that they measure the models alone.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <onnxruntime_cxx_api.h>

#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "processor/skillkit.hpp"
#include "tools/session_names.hpp"

namespace tavrin_tool {

// One model opened for the raw runs, fed like the runner feeds it.
struct RawModel {
  explicit RawModel(std::string model_path);  // opens it
  std::string path;
  Ort::Session session;
  SessionNames names{session};
  std::vector<const char*> fed_names;  // observation input, then the mask input if any
  tavrin_inference::Shape obs_shape;
  std::optional<tavrin_inference::Shape> mask_shape;
};

// One model run of one step.
struct RawRun {
  RawModel* model = nullptr;
  tavrin_inference::NdArray obs;
  std::optional<tavrin_inference::NdArray> mask;
  std::vector<Ort::Value> tensors;  // over obs and mask, made by make_tensors
};

// The model runs of one step, in the order the tree makes them.
using RawPath = std::vector<RawRun>;

class RawModels {
 public:
  RawModel& get(const std::string& path);  // opened on first use
  std::size_t size() const { return models_.size(); }

 private:
  std::map<std::string, std::unique_ptr<RawModel>> models_;
};

// Walks the tree for one observation like the processors do, appending each model run to `path`.
// Only the root gets the previous action; a selector hands its children none.
asio::awaitable<void> trace(tavrin_inference::BaseAgentProcessor& processor, const tavrin_inference::Value& obs,
                            const tavrin_inference::Value& mask, const tavrin_inference::Value& previous_action,
                            RawModels& models, RawPath& path);

// Tensors over every run's recorded inputs; the arrays must stay where they are from then on.
void make_tensors(std::vector<RawPath>& paths);

// The runs of one step, bare. Safe from several threads at once (ONNX Runtime's Run is).
void run_bare(const RawPath& path);

}  // namespace tavrin_tool
