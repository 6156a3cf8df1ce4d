#pragma once
// SelectorRuntime: a model-based selector processor for inference without the training framework.
// It extends BaseAgentProcessor, handles selector-agent inference and walks the orchestration graph
// according to the selector's actions to execute child agents.
//
// A selector's action is the index of one of its children. `init` loads the selector's own model
// (a controller selector uses its controller instead) and builds one child processor per child
// through the processor factory, all children concurrently, so the whole subtree is ready when it
// returns. Each step processes the sensors for the selector itself, picks a child under the
// orchestration's and the teacher's masks and hands the raw sensors to that child.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/late_binding.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/agent_processor_context.hpp"
#include "core_api/decorators.hpp"
#include "onnx_helper/onnx_helper_binding.hpp"
#include "processor/skillkit.hpp"
#include "runner/graph_runner.hpp"

namespace tavrin_inference {

// The class as written; what the library exports is SelectorRuntime below, this class passed
// through the core library's ensure_cls_is_initialized.
class SelectorRuntimeBase : public BaseAgentProcessor {
 public:
  // Error "SelectorRuntime must be used with a AgentOrchestrator, got <name>, <kind>" for any other
  // agent kind. Gives every direct child the selector's simulator sensor space and makes the agent
  // report Discrete(number of children) as its action space. Builds no child.
  explicit SelectorRuntimeBase(tavrin_core::AgentProcessorContext context);
  ~SelectorRuntimeBase() override;

  // Initialise the selector processor and all child processors. A model that exists but cannot be
  // opened is logged and its error raised again (no child is built then); a missing checkpoint or
  // model file only warns. A child that cannot be created fails init with the factory's error.
  asio::awaitable<void> init() override;

  // Reset the selector and all child processors: the children concurrently, then this selector.
  asio::awaitable<void> reset() override;

  // The model's choice: the index of the most probable allowed child, lowest index on ties.
  // RuntimeError when no model is loaded; KeyError without an "observation" entry.
  // `sim_action_mask` is not used: the mask comes from `sensors_filtered`.
  asio::awaitable<std::int64_t> _get_orchestrator_action(const Map& sensors_filtered,
                                                         const Value& sim_action_mask = Value());

  // Process the selector action and execute the selected child agent; `action` is the selector
  // action (a child index). Yields the pair (child action, processed selector action) as a tuple.
  asio::awaitable<Value> process_action(const Value& sim_sensors, const Value& tavrin_obs, Value action,
                                        const Value& sim_action_mask = Value(), bool unsquash_action = false) override;

  // Execute the selector processor: process the sensors, get the selector action with the model,
  // execute the selected child agent, return the child's action. With `for_agent_group` in the
  // context the chosen index is returned and no child runs; with `return_as_teacher_dict` the result
  // is a teacher map carrying this selector's choice under "top_orchestrator_action". `explore` and
  // `is_coordinated` are not used; children always get both false and no previous action.
  asio::awaitable<Value> _execute(const Value& sim_sensors, const Value& sim_action_mask = Value(),
                                  bool explore = false, bool is_coordinated = false,
                                  const Value& previous_action = Value(), bool return_as_teacher_dict = false,
                                  const Value& agent_group_action = Value()) override;

  // Process the simulator sensors and compute the action mask for the selector.
  asio::awaitable<std::pair<Map, Value>> process_sim_sensors(const Value& obs, const Value& sim_action_mask = Value(),
                                                             const Value& previous_action = Value()) override;

  // Selectors mask child choices, not the selected child's environment action space: the
  // orchestration's follow rules combined with the teacher's mask. `sim_action_mask` is not used.
  asio::awaitable<NdArray> compute_action_mask(const Value& tavrin_obs, const Value& sim_action_mask,
                                               const Value& previous_action) override;

  // Accessors.
  std::string get_agent_name() const override;
  SpacePtr get_action_space() const override;
  const std::vector<ProcessorPtr>& get_child_agent_processors() const { return child_agent_processors; }
  // Null outside [0, number of children): negative positions do not count from the end.
  ProcessorPtr get_child_processor_by_index(std::int64_t index) const;
  // The same for a dynamic index: numbers are cut toward zero (a boolean counts as 0 or 1); TypeError
  // naming `index` for anything else, InvalidArgumentError for a NaN or an infinity.
  ProcessorPtr get_child_processor_by_index(const Value& index) const;
  // The first child whose agent name is `name`; null when none is.
  ProcessorPtr get_child_processor_by_name(std::string_view name) const;

  std::string class_name() const override { return "SelectorRuntime"; }
  StepRole step_role() const override;
  // The children's subtrees first, then this selector.
  void prepare_steps() noexcept override;

  // One processor per child, in the order of the agent's children; filled once, at the end of init.
  std::vector<ProcessorPtr> child_agent_processors;
  // The selector's model; absent for a controller selector and when no model was found.
  std::unique_ptr<GraphRunner> onnx_engine;

  // Runtime library that model loading asks for the model-preparation helper; a library that is not
  // there is reported like a failing helper.
  std::string onnx_helper_library = kOnnxHelperLibrary;

 protected:
  bool check_step_ready() const override;
  void selector_mask_into(const Value& teacher_mask, const Value& previous_action, NdArray& mask) const override;
  Value step_chosen(Value transformed_choice) const override;
  BaseAgentProcessor& step_child(const Value& chosen) const override;
  Value step_model_action(const NdArray& observation, const NdArray& mask) override;

 private:
  // Finds, prepares and opens the selector's model (non-controller selectors only).
  void load_onnx_model();
  // The child at `index`; IndexError for a negative index and for one at or past the end.
  const ProcessorPtr& child_at(std::int64_t index) const;
  // The model's choice of child for one step's observation (fed as float32) and mask (float64) or none.
  std::int64_t orchestrator_choice(const NdArray& observation, const NdArray* mask);
  // _execute through the virtual operations, for classes derived from this one.
  asio::awaitable<Value> execute_through_overrides(const Value& sim_sensors, const Value& sim_action_mask,
                                                   const Value& previous_action, bool return_as_teacher_dict) override;

  // The follow rules' mask after each child (none: all allowed), worked out once, at init.
  std::vector<Value> rule_masks_;
  // The last step's logits, reused by the next one.
  NdArray logits_;
};

using SelectorRuntime = tavrin_core::ensure_cls_is_initialized<SelectorRuntimeBase>;

// Entry point through which the processor factory makes selector processors without linking against
// this library: constructs (does not initialise) a SelectorRuntime for the context.
using MakeSelectorRuntimeFn = std::shared_ptr<BaseAgentProcessor>(const tavrin_core::AgentProcessorContext&);

inline constexpr LateBoundEntry<MakeSelectorRuntimeFn> kMakeSelectorRuntime{"selector_runtime",
                                                                            "tavrin_make_selector_runtime"};
inline constexpr const char* kSelectorRuntimeLibrary = kMakeSelectorRuntime.library;
inline constexpr const char* kMakeSelectorRuntimeSymbol = kMakeSelectorRuntime.symbol;
inline MakeSelectorRuntimeFn* bind_make_selector_runtime() { return kMakeSelectorRuntime.bind(); }

}  // namespace tavrin_inference

extern "C" std::shared_ptr<tavrin_inference::BaseAgentProcessor> tavrin_make_selector_runtime(
    const tavrin_core::AgentProcessorContext& context);
