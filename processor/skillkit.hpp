#pragma once
// BaseAgentProcessor: the base class for agent processors that handles the common logic for
// initialising teachers, perceptors and agent groups, processing simulator sensors, processing
// actions, computing action masks and step processing.
//
// One processor serves one agent of the loaded orchestration. Model-specific inference lives in the
// subclasses, which implement `_execute` and call the shared pipeline operations below.
//
// Every operation runs on the caller's event loop; a processor is driven by one task at a time.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/implementations.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_inference {

class BaseAgentProcessor;
using ProcessorPtr = std::shared_ptr<BaseAgentProcessor>;

class BaseAgentProcessor : public Object {
 public:
  using SpacePtr = tavrin_core::spaces::SpacePtr;
  using TeacherPtr = tavrin_core::TeacherPtr;
  using ControllerPtr = tavrin_core::ControllerPtr;
  using PerceptorPtr = tavrin_core::PerceptorPtr;
  using AgentNodePtr = tavrin_core::AgentNodePtr;

  // Reads the agent's spaces. Error "Unable to make a DRL AgentProcessor without an action space. ..."
  // when the agent has none; InvalidArgumentError when the context has no agent.
  explicit BaseAgentProcessor(tavrin_core::AgentProcessorContext context);
  ~BaseAgentProcessor() override;

  BaseAgentProcessor(const BaseAgentProcessor&) = delete;
  BaseAgentProcessor& operator=(const BaseAgentProcessor&) = delete;

  // Initialise the agent processor, setting up teachers, perceptors and agent groups. Awaited once,
  // after construction and before any per-step operation; subclasses await it within their own.
  virtual asio::awaitable<void> init();

  // Process the incoming simulator sensor data points and convert them to a map keyed by string
  // based on their initial space. Yields ({"observation", "action_mask"}, transformed full sample).
  virtual asio::awaitable<std::pair<Map, Value>> process_sim_sensors(const Value& sensors,
                                                                     const Value& sim_action_mask = Value(),
                                                                     const Value& previous_action = Value());

  // Compute the action mask combining teacher mask and simulator mask (float64, one dimension).
  virtual asio::awaitable<NdArray> compute_action_mask(const Value& tavrin_obs, const Value& sim_action_mask,
                                                       const Value& previous_action);

  // Pad or truncate a flat mask so that element-wise combination is safe: exactly `target_size`
  // elements, padded at the end with int8 ones. InvalidArgumentError for a negative size.
  static NdArray _align_mask_length(NdArray mask, std::int64_t target_size);
  // The same with a dynamic size: integers and booleans as they are, other numbers truncated toward
  // zero; TypeError naming `target_size` for anything else.
  static NdArray _align_mask_length(NdArray mask, const Value& target_size);

  // Flatten structured masks to a one-dimensional int8 vector for element-wise combination (an empty
  // one for an absent mask).
  static NdArray _format_action_mask_for_combine(const Value& mask);
  static NdArray _format_action_mask_for_combine(Value&& mask);

  // Flatten structured masks into the one-dimensional float64 vector the model expects; an NdArray
  // keeps its shape. Absent for an absent mask. Maps are taken in insertion order.
  static std::optional<NdArray> _format_action_mask_for_onnx(const Value& mask);
  static std::optional<NdArray> _format_action_mask_for_onnx(Value&& mask);  // moves an array out

  // combine_masks of the combine forms of two array masks (null: everything allowed), each padded
  // with allowed entries or cut to `size`, in the model's form (float64 0/1): what the combine path
  // gives, without its intermediate copies.
  static NdArray combine_array_masks(const NdArray* first, const NdArray* second, std::int64_t size);
  // The same written into `out`, whose elements are reused when it already is such a vector that
  // nothing else holds.
  static void combine_array_masks_into(const NdArray* first, const NdArray* second, std::int64_t size, NdArray& out);

  // Process the action through the teacher: optional unsquashing to the action space's bounds, then
  // the teacher's transform, which is remembered as `previous_action`.
  virtual asio::awaitable<Value> process_action(const Value& sim_sensors, const Value& tavrin_obs, Value action,
                                                const Value& sim_action_mask = Value(), bool unsquash_action = false);

  struct StepResult {
    Map sensors_filtered;
    Value tavrin_obs;
    Value teacher_reward;
    Value teacher_success;
    Value teacher_terminated;
    Value truncated;
  };
  // Take the simulator observation, reward and terminated flag and return the filtered observation,
  // teacher reward, teacher success and teacher terminated. The simulator's own termination and
  // truncation flags are accepted and ignored. `info` must be a map; its "action_mask" entry, when
  // present, is the simulator's mask.
  virtual asio::awaitable<StepResult> step(const Value& sim_sensors, const Value& sim_reward,
                                           const Value& _sim_terminated, const Value& _truncated, const Value& info,
                                           const Value& action);

  // Reset is called when an episode is done: remote proxies are reset, local implementations are
  // replaced by fresh instances, perceptors are reset (their general errors are ignored).
  virtual asio::awaitable<void> reset();

  bool is_done() const { return done; }

  // Synchronous wrapper for `_execute`: runs it on a fresh event loop. RuntimeError when called from
  // inside a running event loop (nothing is executed then).
  Value execute(const Value& obs, const Value& sim_action_mask = Value(), bool explore = false,
                const Value& previous_action = Value(), bool return_as_teacher_dict = false);

  // Execute the agent processor to get an action; to be implemented by subclasses to handle
  // model-specific inference. The base fails with NotImplementedError when awaited.
  // `agent_group_action` is used only by processors that run after an agent group.
  virtual asio::awaitable<Value> _execute(const Value& sim_sensors, const Value& sim_action_mask = Value(),
                                          bool explore = false, bool is_coordinated = false,
                                          const Value& previous_action = Value(), bool return_as_teacher_dict = false,
                                          const Value& agent_group_action = Value());

  // Accessors.
  std::string get_name() const;  // context.name when given, else the agent's name
  virtual std::string get_agent_name() const;
  const SpacePtr& get_agent_sensor_space() const { return observation_space; }
  const SpacePtr& get_korvath_sensor_space() const { return korvath_sensor_space; }
  const TeacherPtr& get_teacher() const { return teacher; }
  const AgentNodePtr& get_agent() const { return context.agent; }
  virtual SpacePtr get_action_space() const;  // asked of the agent on every call

  std::string type_name() const override { return class_name(); }
  // The processor's class name ("BaseAgentProcessor", "SkillRuntime", ...).
  virtual std::string class_name() const { return "BaseAgentProcessor"; }

  // Once the model at `model_path` is open (the exported processor classes do this at the end of
  // init): a warning when the observation this processor feeds does not fit the model's first
  // input, `input_names` being the model's inputs as its runner has them. See observation_fit.hpp.
  void check_model_observation(const std::string& model_path, const std::vector<std::string>& input_names) const;

  // ---- the step of the runtime's own processor classes ----
  // SkillRuntime and SelectorRuntime run a whole step, from the root down to the leaf, in one
  // coroutine (run_step): each processor's sensor pipeline, masks, model and action processing are
  // plain functions, and the only awaits are the hooks of teachers, controllers and perceptors. Hooks
  // an instance keeps at their base defaults, which do nothing, are not called. The raw sensors are
  // converted once per step for every processor on the path that converts them the same way (same
  // simulator space, same orchestration sensors, no perceptors of its own). A class derived from one
  // of the runtime's own gets the role `other`: its _execute is awaited through the virtual call, so
  // its overrides take effect exactly as they would without this.
  enum class StepRole : std::uint8_t { other, skill, selector };
  virtual StepRole step_role() const { return StepRole::other; }

  // Prepares what the steps of this processor (and, for a selector, of its whole subtree) need
  // before the first one: the step's scratch (converted sensors, observation, mask, the model's
  // rows) and everything its code reaches the first time. Runs the sensor pipeline on a sample of
  // zeros and the model on it, without a single hook: no teacher, controller or perceptor sees it,
  // and nothing of the agent's state changes. Never fails; what it could not prepare is prepared by
  // the first step. The host does it at the end of packaging.
  virtual void prepare_steps() noexcept { prepare_step(); }

  // ---- attributes (public: subclasses and the host read and write them) ----
  tavrin_core::AgentProcessorContext context;
  TeacherPtr teacher;
  ControllerPtr controller;
  SpacePtr observation_space;     // Dict of "observation" and "action_mask", built by init
  SpacePtr korvath_sensor_space;  // full sensor space of the agent, built by init
  std::vector<PerceptorPtr> perceptors;
  // Processors of an agent group, and the one run after it; this runtime builds none. Held as
  // objects so that they can be handed to the core library's sensor helpers as they are.
  std::vector<ObjectPtr> agent_group_agent_processors;
  ProcessorPtr post_agent_group_agent_processor;
  SpacePtr sim_sensor_space;
  SpacePtr action_space;
  SpacePtr action_mask_space;
  Value no_action_mask;
  SpacePtr filtered_korvath_sensor_space;
  // Names of the sensors the agent keeps; empty until init. The sensors to normalise are resolved
  // from it at the end of init, so code that rewrites it afterwards must run init again.
  std::vector<std::string> filter_keys;
  bool done = false;
  bool _is_initialized = false;
  // The last action after the teacher's transform; not set until process_action writes it.
  std::optional<Value> previous_action;

 protected:
  // Runs one step from `top` down to a leaf (see StepRole). `previous_action` goes to `top` only.
  static asio::awaitable<Value> run_step(BaseAgentProcessor& top, const Value& sim_sensors,
                                         const Value& sim_action_mask, const Value& previous_action,
                                         bool return_as_teacher_dict);

  // The _execute of the runtime's own classes: run_step for an instance of the class itself (a role
  // other than `other`), execute_through_overrides for a class derived from it.
  asio::awaitable<Value> execute_own_step(const Value& sim_sensors, const Value& sim_action_mask,
                                          const Value& previous_action, bool return_as_teacher_dict);
  // The step through the virtual operations, one await per hook (the base's: _execute's refusal).
  virtual asio::awaitable<Value> execute_through_overrides(const Value& sim_sensors, const Value& sim_action_mask,
                                                           const Value& previous_action, bool return_as_teacher_dict);

  // What run_step asks of a selector (the defaults are never reached for other roles).
  // The readiness check that comes before a selector's sensor processing; yields whether the agent
  // is a controller, asked once for the step.
  virtual bool check_step_ready() const { return false; }
  // The selector's mask for one step, written into `mask` (float64, one entry per child).
  virtual void selector_mask_into(const Value& teacher_mask, const Value& previous_action, NdArray& mask) const;
  // The choice a selector's teacher made of the raw choice (its transform_action result), as the
  // child index the selector uses.
  virtual Value step_chosen(Value transformed_choice) const;
  // The child a choice names (IndexError outside the children).
  virtual BaseAgentProcessor& step_child(const Value& chosen) const;
  // A skill's raw action from its model, or a selector's choice of child, for the step's processed
  // observation (float32) and mask (float64).
  virtual Value step_model_action(const NdArray& observation, const NdArray& mask);

  // prepare_steps for this processor alone.
  void prepare_step() noexcept;

  // The pieces of a step shared by run_step and the virtual operations.
  // The mask of an agent's own action space: the teacher's (none: all allowed) with the simulator's,
  // unless the agent has a custom action space, written into `mask` as float64.
  void action_mask_into(const Value& teacher_mask, const Value& sim_action_mask, NdArray& mask) const;
  // compute_action_mask's course: the teacher's mask (none without a teacher; a controller never
  // supplies one), then `into` (action_mask_into or selector_mask_into) with `other` as its second input.
  using MaskInto = void (BaseAgentProcessor::*)(const Value&, const Value&, NdArray&) const;
  asio::awaitable<NdArray> mask_with_teacher(const Value& tavrin_obs, const Value& previous_action, MaskInto into,
                                             const Value& other);
  // The final action that the processor run after an agent group decides for `processed`.
  asio::awaitable<Value> post_agent_group_action(const Value& sim_sensors, const Value& sim_action_mask,
                                                 const Value& processed);

  // What the model of this processor declares for its inputs, noted by the subclass once its model
  // is open: a step names a mask of another length before the model refuses it, and prepare_step
  // runs the model only on an observation it takes.
  void note_model_inputs(std::string model_path, const Shape& observation_shape,
                         const std::optional<Shape>& mask_shape);

  // The checks of a step's combined mask, made where it is combined from its two sources (named for
  // the messages): a length other than the model's is reported once per processor, a mask that
  // forbids everything at most once a second. Cheap when there is nothing to report.
  // `choice` names what the mask chooses among ("action", "child").
  void check_step_mask(const NdArray& mask, const char* choice, const char* first_name, const Value& first,
                       const char* second_name, const Value& second) const {
    if (model_mask_size_ >= 0 && mask.size() != model_mask_size_ && !mask_length_reported_) {
      report_mask_length(mask, first_name, first, second_name, second);
    }
    if (forbids_everything(mask)) report_all_forbidden(mask, choice, first_name, first, second_name, second);
  }

  // Scratch of run_step, kept from one step to the next so that its arrays and maps are reused when
  // nothing else holds them; no state of the agent lives here.
  struct StepScratch {
    Value converted;    // the raw sensors converted, when this processor converted them
    Value transformed;  // the teacher's transform_sensors result, when it has a transform
    Value filtered;     // the agent's own sensors, normalised, when the observation needs them apart
    Map sensors_filtered;
  };
  StepScratch step_;

 private:
  // The agent's local implementation: `controller` for controller agents, else `teacher`.
  void install_local_implementation();
  // Orchestration sensors, in orchestration order, whose name is in filter_keys.
  void resolve_normalized_sensors();
  // Steps of process_sim_sensors that never wait.
  bool observation_from_sample(const Value& transformed) const;
  Value filter_and_normalize(const Value& transformed);
  std::pair<Map, Value> assemble_sensors(Value filtered, NdArray action_mask, Value transformed);
  // The step's filtered and normalised sensors (none when the observation is flattened straight from
  // the full sample), in step_.filtered, whose map and normalised arrays are reused.
  const Value& filtered_for_step(const Value& transformed);
  // The flattened observation of `filtered` (or, when nothing is normalised, of the full sample)
  // written into `observation`, reusing its elements when nothing else holds them.
  void observation_into(const Value& filtered, const Value& transformed, NdArray& observation);
  // The step's "observation" (index 0) and "action_mask" (index 1) slots in step_.sensors_filtered,
  // made when the map is not there.
  NdArray& scratch_slot(std::size_t index);
  asio::awaitable<Value> run_execute(const Value& obs, const Value& sim_action_mask, bool explore,
                                     const Value& previous_action, bool return_as_teacher_dict);

  static bool forbids_everything(const NdArray& mask);
  void report_mask_length(const NdArray& mask, const char* first_name, const Value& first, const char* second_name,
                          const Value& second) const;
  void report_all_forbidden(const NdArray& mask, const char* choice, const char* first_name, const Value& first,
                            const char* second_name, const Value& second) const;

  // The model's action mask, as note_model_mask noted it (-1: no model, no mask input, or open sizes).
  std::string model_path_for_masks_;
  Shape model_observation_shape_;
  std::int64_t model_mask_size_ = -1;
  Shape model_mask_shape_;
  mutable bool mask_length_reported_ = false;
  mutable std::chrono::steady_clock::time_point all_forbidden_reported_at_{};
  mutable bool all_forbidden_reported_ = false;

  std::vector<tavrin_core::SensorPtr> normalized_sensors_;
  bool normalized_sensors_resolved_ = false;
  bool normalizes_any_ = false;  // whether any of normalized_sensors_ changes its value
};

}  // namespace tavrin_inference
