#pragma once
// SkillRuntime: an ONNX-based agent processor for inference without the training frameworks. It
// extends BaseAgentProcessor and implements only the ONNX-specific inference logic.
//
// During init it finds the model exported for its agent under the agent's checkpoint and opens it
// in a GraphRunner; each step runs the sensor pipeline, one forward pass, masks the model's
// action-distribution inputs with the agent's action mask, decodes them into an action of the
// agent's action space and post-processes it. A controller agent gets no model: its controller
// computes the action.
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "common/late_binding.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/decorators.hpp"
#include "onnx_helper/onnx_helper_binding.hpp"
#include "processor/skillkit.hpp"
#include "runner/graph_runner.hpp"
#include "skill/action_decoder.hpp"

namespace tavrin_inference {

// The class as written; what the library exports is SkillRuntime below, this class passed through
// the core library's ensure_cls_is_initialized. Decoding comes from ActionDecoder, so a subclass
// that overrides _decode_action_dist_inputs decodes nested sub-spaces with its override too.
class SkillRuntimeBase : public BaseAgentProcessor, public ActionDecoder {
 public:
  // Nothing is loaded and nothing is logged: onnx_engine stays absent until init.
  explicit SkillRuntimeBase(tavrin_core::AgentProcessorContext context);
  ~SkillRuntimeBase() override;

  // Initialises the orchestration when it is not yet, then the base processor, then loads the
  // agent's model. A model that exists but cannot be opened is logged and its error raised again;
  // every other reason for having no model (controller agent, no checkpoint, no file) is not an error.
  asio::awaitable<void> init() override;

  // Execute the agent processor to get an action using ONNX inference or the controller.
  // `explore` and `is_coordinated` have no effect: decoding is deterministic. With
  // `return_as_teacher_dict` the result is the map "action", "sensors_filtered", "tavrin_obs".
  // RuntimeError "ONNX model not loaded for agent <name>" (after the sensor pipeline has run) when
  // there is neither a model nor, for a controller agent, a controller.
  asio::awaitable<Value> _execute(const Value& sim_sensors, const Value& sim_action_mask = Value(),
                                  bool explore = false, bool is_coordinated = false,
                                  const Value& previous_action = Value(), bool return_as_teacher_dict = false,
                                  const Value& agent_group_action = Value()) override;

  std::string class_name() const override { return "SkillRuntime"; }
  StepRole step_role() const override;

  // The runner of the agent's model; absent for a controller agent, for an agent without checkpoint
  // and when no model file was found.
  std::unique_ptr<GraphRunner> onnx_engine;

  // Runtime library that model loading asks for the model-preparation helper; a library that is not
  // there is reported like a failing helper.
  std::string onnx_helper_library = kOnnxHelperLibrary;

 protected:
  Value step_model_action(const NdArray& observation, const NdArray& mask) override {
    return model_action(observation, &mask);
  }

 private:
  // Locates, prepares and opens the agent's model.
  void load_onnx_model();
  // The decoded action of the agent's model for one processed observation.
  Value model_raw_action(const Map& sensors_filtered);
  // The same for the model's inputs: the observation (fed as float32) and the mask (float64) or none.
  Value model_action(const NdArray& observation, const NdArray* action_mask);
  // _execute through the virtual operations, for classes derived from this one.
  asio::awaitable<Value> execute_through_overrides(const Value& sim_sensors, const Value& sim_action_mask,
                                                   const Value& previous_action, bool return_as_teacher_dict) override;

  // The model output's row and the masked row of the last step, reused by the next one.
  NdArray row_;
  NdArray masked_row_;
};

using SkillRuntime = tavrin_core::ensure_cls_is_initialized<SkillRuntimeBase>;

// Entry point through which the processor factory makes skill processors without linking against
// this library: constructs (does not initialise) a SkillRuntime for the context.
using MakeSkillRuntimeFn = std::shared_ptr<BaseAgentProcessor>(const tavrin_core::AgentProcessorContext&);

inline constexpr LateBoundEntry<MakeSkillRuntimeFn> kMakeSkillRuntime{"skill_runtime", "tavrin_make_skill_runtime"};
inline constexpr const char* kSkillRuntimeLibrary = kMakeSkillRuntime.library;
inline constexpr const char* kMakeSkillRuntimeSymbol = kMakeSkillRuntime.symbol;
inline MakeSkillRuntimeFn* bind_make_skill_runtime() { return kMakeSkillRuntime.bind(); }

}  // namespace tavrin_inference

extern "C" std::shared_ptr<tavrin_inference::BaseAgentProcessor> tavrin_make_skill_runtime(
    const tavrin_core::AgentProcessorContext& context);
