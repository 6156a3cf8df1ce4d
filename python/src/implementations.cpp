// Teachers, controllers and perceptors written in Python. A Python class registered under a name
// becomes a factory in the runtime's registry; each instance it makes is wrapped in a C++
// implementation whose hooks are coroutines that take the GIL, call the Python method, convert its
// result and let the GIL go again, without awaiting anything in between. Hooks the class does not
// override are the C++ defaults and never touch Python.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "python/src/bindings.hpp"
#include "python/src/convert.hpp"
#include "python/src/errors.hpp"
#include "python/src/gil.hpp"

namespace tavrin_python {

namespace {

using tavrin_core::ImplementationRegistry;
using tavrin_inference::TypeError;

enum Hook : std::size_t {
  kFilteredSensorSpace,
  kReset,
  kTransformSensors,
  kComputeActionMask,
  kTransformAction,
  kComputeReward,
  kComputeSuccessCriteria,
  kComputeTermination,
  kComputeAction,
  kPerceive,
  kHookCount
};

constexpr std::array<const char*, kHookCount> kHookNames = {
    "filtered_sensor_space", "reset",          "transform_sensors",        "compute_action_mask",
    "transform_action",      "compute_reward", "compute_success_criteria", "compute_termination",
    "compute_action",        "perceive"};

constexpr std::array kTeacherHooks = {
    kFilteredSensorSpace, kReset,         kTransformSensors,       kComputeActionMask,
    kTransformAction,     kComputeReward, kComputeSuccessCriteria, kComputeTermination};
constexpr std::array kControllerHooks = {kFilteredSensorSpace, kReset, kComputeAction};
constexpr std::array kPerceptorHooks = {kReset, kPerceive};

// The instance and its bound overriding methods. Owned from C++, so it may be let go of on a thread
// that does not hold the GIL: the last owner takes the GIL to release it.
struct Instance {
  py::object object;
  std::array<py::object, kHookCount> methods;   // null for the hooks the class leaves as they are
  std::array<std::string, kHookCount> results;  // "ClassName.hook()", naming a result that does not convert
};

std::shared_ptr<Instance> held_under_gil(Instance* instance) {
  return {instance, [](Instance* p) {
            if (!python_is_running()) return;  // the interpreter is gone or going: nothing to release
            const py::gil_scoped_acquire gil;
            delete p;
          }};
}

class PythonHooks {
 public:
  // With the GIL held: binds the methods named in `overridden` once.
  PythonHooks(const std::string& name, py::object object, std::uint32_t overridden) : overridden_(overridden) {
    auto* instance = new Instance();
    instance->object = std::move(object);
    for (std::size_t h = 0; h < kHookCount; ++h) {
      if (!overrides(static_cast<Hook>(h))) continue;
      instance->methods[h] = instance->object.attr(kHookNames[h]);
      instance->results[h] = name + "." + kHookNames[h] + "()";
    }
    instance_ = held_under_gil(instance);
  }

  bool overrides(Hook hook) const { return ((overridden_ >> hook) & 1U) != 0; }

  template <class... Args>
  Value call(Hook hook, const Args&... args) const {
    const py::gil_scoped_acquire gil;
    return python_call([&] {
      const py::object result = instance_->methods[hook](from_value(args)...);
      return to_value(result, Where(instance_->results[hook]));
    });
  }
  void call_for_effect(Hook hook) const {
    const py::gil_scoped_acquire gil;
    python_call([&] { instance_->methods[hook](); });
  }

 private:
  std::shared_ptr<Instance> instance_;
  std::uint32_t overridden_;
};

// What every implementation written in Python has: the name it is registered under, its hooks,
// and reset.
template <class Base>
class PythonImplementation : public Base {
 public:
  PythonImplementation(std::string name, PythonHooks hooks) : hooks_(std::move(hooks)), name_(std::move(name)) {}
  std::string class_name() const override { return name_; }
  asio::awaitable<void> reset() override {
    if (hooks_.overrides(kReset)) hooks_.call_for_effect(kReset);
    co_return;
  }

 protected:
  PythonHooks hooks_;

 private:
  std::string name_;
};

// Teachers and controllers also filter the sensor space.
template <class Base>
class PythonAgentImplementation : public PythonImplementation<Base> {
 public:
  using PythonImplementation<Base>::PythonImplementation;
  asio::awaitable<Value> filtered_sensor_space() override {
    if (!this->hooks_.overrides(kFilteredSensorSpace)) co_return co_await Base::filtered_sensor_space();
    co_return this->hooks_.call(kFilteredSensorSpace);
  }
};

class PythonTeacher final : public PythonAgentImplementation<tavrin_core::AgentTeacher> {
 public:
  using PythonAgentImplementation::PythonAgentImplementation;

  asio::awaitable<Value> transform_sensors(Value sensors, Value extra) override {
    if (!hooks_.overrides(kTransformSensors))
      co_return co_await AgentTeacher::transform_sensors(std::move(sensors), std::move(extra));
    co_return hooks_.call(kTransformSensors, sensors, extra);
  }
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value& previous_action) override {
    if (!hooks_.overrides(kComputeActionMask))
      co_return co_await AgentTeacher::compute_action_mask(sensors, previous_action);
    co_return hooks_.call(kComputeActionMask, sensors, previous_action);
  }
  asio::awaitable<Value> transform_action(const Value& sensors, Value action) override {
    if (!hooks_.overrides(kTransformAction))
      co_return co_await AgentTeacher::transform_action(sensors, std::move(action));
    co_return hooks_.call(kTransformAction, sensors, action);
  }
  asio::awaitable<Value> compute_reward(const Value& sensors, Value action, Value sim_reward) override {
    if (!hooks_.overrides(kComputeReward))
      co_return co_await AgentTeacher::compute_reward(sensors, std::move(action), std::move(sim_reward));
    co_return hooks_.call(kComputeReward, sensors, action, sim_reward);
  }
  asio::awaitable<Value> compute_success_criteria(const Value& sensors, Value action) override {
    if (!hooks_.overrides(kComputeSuccessCriteria))
      co_return co_await AgentTeacher::compute_success_criteria(sensors, std::move(action));
    co_return hooks_.call(kComputeSuccessCriteria, sensors, action);
  }
  asio::awaitable<Value> compute_termination(const Value& sensors, Value action) override {
    if (!hooks_.overrides(kComputeTermination))
      co_return co_await AgentTeacher::compute_termination(sensors, std::move(action));
    co_return hooks_.call(kComputeTermination, sensors, action);
  }
};

class PythonController final : public PythonAgentImplementation<tavrin_core::AgentController> {
 public:
  using PythonAgentImplementation::PythonAgentImplementation;

  // Always Python's: the base class's compute_action raises NotImplementedError naming the class.
  asio::awaitable<Value> compute_action(const Value& sensors, const Value& previous_action) override {
    co_return hooks_.call(kComputeAction, sensors, previous_action);
  }
};

class PythonPerceptor final : public PythonImplementation<tavrin_core::Perceptor> {
 public:
  using PythonImplementation::PythonImplementation;

  asio::awaitable<Value> perceive(const Value& sensors) override { co_return hooks_.call(kPerceive, sensors); }
};

// Bits of the hooks whose method on `cls` is not the one of `base`. Perceive and compute_action
// always count: the bases only raise there.
template <std::size_t N>
std::uint32_t overridden_hooks(const py::handle& cls, const py::handle& base, const std::array<Hook, N>& hooks) {
  std::uint32_t bits = 0;
  for (const Hook hook : hooks) {
    const bool own =
        hook == kPerceive || hook == kComputeAction || !cls.attr(kHookNames[hook]).is(base.attr(kHookNames[hook]));
    if (own) bits |= 1U << hook;
  }
  return bits;
}

bool is_subclass(const py::handle& cls, const py::handle& base) {
  return PyType_Check(cls.ptr()) != 0 && PyObject_IsSubclass(cls.ptr(), base.ptr()) == 1;
}

std::shared_ptr<py::object> held_class(py::object cls) {
  return {new py::object(std::move(cls)), [](py::object* p) {
            if (!python_is_running()) return;
            const py::gil_scoped_acquire gil;
            delete p;
          }};
}

py::object new_instance(const py::object& cls) {
  return python_call([&] { return cls(); });
}

void register_agent_impl(const std::string& name, const py::object& cls, const std::string& version) {
  const py::module_ bases = py::module_::import("tavrin.implementations");
  const py::object teacher_base = bases.attr("AgentTeacher");
  const py::object controller_base = bases.attr("Controller");
  const bool controller = is_subclass(cls, controller_base);
  if (!controller && !is_subclass(cls, teacher_base)) {
    throw TypeError("register_agent_impl(): cls must be a subclass of tavrin.AgentTeacher or tavrin.Controller, got " +
                    std::string(py::repr(cls)));
  }
  const std::uint32_t overridden = controller ? overridden_hooks(cls, controller_base, kControllerHooks)
                                              : overridden_hooks(cls, teacher_base, kTeacherHooks);
  auto held = held_class(cls);
  ImplementationRegistry::instance().register_agent_impl(
      name,
      [name, held, overridden, controller]() -> tavrin_core::ImplementationPtr {
        const py::gil_scoped_acquire gil;
        PythonHooks hooks(name, new_instance(*held), overridden);
        if (controller) return std::make_shared<PythonController>(name, std::move(hooks));
        return std::make_shared<PythonTeacher>(name, std::move(hooks));
      },
      version);
}

void register_perceptor_impl(const std::string& name, const py::object& cls, const std::string& version) {
  const py::object base = py::module_::import("tavrin.implementations").attr("Perceptor");
  if (!is_subclass(cls, base)) {
    throw TypeError("register_perceptor_impl(): cls must be a subclass of tavrin.Perceptor, got " +
                    std::string(py::repr(cls)));
  }
  const std::uint32_t overridden = overridden_hooks(cls, base, kPerceptorHooks);
  auto held = held_class(cls);
  ImplementationRegistry::instance().register_perceptor_impl(
      name,
      [name, held, overridden]() -> tavrin_core::PerceptorPtr {
        const py::gil_scoped_acquire gil;
        return std::make_shared<PythonPerceptor>(name, PythonHooks(name, new_instance(*held), overridden));
      },
      version);
}

}  // namespace

void bind_implementations(py::module_& module) {
  module.def("register_agent_impl", &register_agent_impl, py::arg("class_name"), py::arg("cls"),
             py::arg("version") = "latest",
             "Registers a subclass of tavrin.AgentTeacher or tavrin.Controller under the class name that "
             "orchestrations use (\"class\": \"ClassName\"). Registering a name again replaces it.");
  module.def("register_perceptor_impl", &register_perceptor_impl, py::arg("class_name"), py::arg("cls"),
             py::arg("version") = "latest", "Registers a subclass of tavrin.Perceptor under a class name.");
  module.def(
      "load_plugin",
      [](const std::string& path) {
        const py::gil_scoped_release release;
        ImplementationRegistry::instance().load_plugin(path);
      },
      py::arg("path"),
      "Loads a shared library that registers C++ implementation classes (as the orchestration's "
      "\"plugins\" do).");
}

}  // namespace tavrin_python
