#pragma once
// Class decorators of the core library, applied to the processor classes that the runtime's
// libraries export:
//
//   class SkillRuntimeBase : public BaseAgentProcessor { ... };
//   using SkillRuntime = tavrin_core::ensure_cls_is_initialized<SkillRuntimeBase>;
//
// A decorator is a class template deriving from the class it decorates; it inherits every
// constructor, so the exported class is built (and subclassed) exactly like the decorated one.
#include <string>

#include <asio/awaitable.hpp>

#include "common/errors.hpp"
#include "common/value.hpp"

namespace tavrin_core {

// Guards the per-step entry point of a processor class: `_execute` on a processor whose `init` has
// not completed fails at once with a RuntimeError that names the class and the agent, instead of
// running a sensor pipeline whose spaces init has not built yet. The flag read is the class's own
// `_is_initialized`, which its `init` sets; the decorator never writes it. The check happens when
// `_execute` is called (before anything is awaited) and costs no coroutine frame of its own.
//
// Once `init` has opened the class's model (`onnx_engine`), the processor checks that the
// observation it will feed fits the model's declared observation input, so that a misfit is named
// at packaging rather than by the first step's runner error.
//
// Cls needs: `bool _is_initialized`, `std::string class_name() const`, `std::string get_name() const`,
// the virtual `init` and `_execute` of the processor base class, its `check_model_observation`, and
// an `onnx_engine` (a pointer to the model's runner, null without a model).

// The failure of a processor's per-step entry point before its init has completed.
[[noreturn]] inline void throw_not_initialized(const std::string& class_name, const std::string& agent_name) {
  throw tavrin_inference::RuntimeError(class_name + " for agent " + agent_name +
                                       " is not initialised: await init() before _execute()");
}

template <class Cls>
class ensure_cls_is_initialized : public Cls {
 public:
  using Cls::Cls;

  asio::awaitable<void> init() override {
    co_await Cls::init();
    if (this->onnx_engine)
      this->check_model_observation(this->onnx_engine->model_path(), this->onnx_engine->input_names());
  }

  asio::awaitable<tavrin_inference::Value> _execute(
      const tavrin_inference::Value& sim_sensors,
      const tavrin_inference::Value& sim_action_mask = tavrin_inference::Value(), bool explore = false,
      bool is_coordinated = false, const tavrin_inference::Value& previous_action = tavrin_inference::Value(),
      bool return_as_teacher_dict = false,
      const tavrin_inference::Value& agent_group_action = tavrin_inference::Value()) override {
    if (!this->_is_initialized) throw_not_initialized(this->class_name(), this->get_name());
    return Cls::_execute(sim_sensors, sim_action_mask, explore, is_coordinated, previous_action, return_as_teacher_dict,
                         agent_group_action);
  }
};

}  // namespace tavrin_core
