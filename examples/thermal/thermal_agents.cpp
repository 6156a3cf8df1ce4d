// The plugin library libtavrin_thermal.so: the programmed parts of the thermal-zone example, a
// thermostat controller and the teachers of the zone selector and of the heater and ventilation
// skills. examples/thermal/orchestration.json names it under "plugins", so every program that loads
// that file (the tavrin tool, an application, the Python module) gets these classes from here.
//
// The teachers choose the sensors their agent's model sees, in this order (the layouts the models
// of examples/thermal/models/ were built for, see scripts/gen_example_models.py):
//   zone       temperature, setpoint, outside, co2
//   heat       temperature, setpoint, outside
//   ventilate  temperature, setpoint, co2
#include <algorithm>
#include <cstdint>
#include <memory>

#include "common/nd_array.hpp"
#include "core_api/implementations.hpp"
#include "examples/thermal/plant.hpp"

namespace thermal {
namespace {

using tavrin_core::AgentController;
using tavrin_core::AgentTeacher;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

double first_value(const Value& sensors, const char* name) {
  const Value& v = sensors[name];
  return v.is_array() ? v.as_array().at_double(0) : v.as_double();
}

Value names(std::initializer_list<const char*> list) {
  std::vector<Value> items;
  items.reserve(list.size());
  for (const char* name : list) items.emplace_back(name);
  return Value::list(std::move(items));
}

// Bang-bang heating around the setpoint with a half-degree band: full power below it, off above.
class ThermostatController : public AgentController {
 public:
  std::string class_name() const override { return "ThermostatController"; }
  asio::awaitable<Value> compute_action(const Value& sensors, const Value&) override {
    const double t = first_value(sensors, "temperature");
    const double sp = first_value(sensors, "setpoint");
    const double power = t < sp - 0.5 ? 1.0 : 0.0;
    co_return Value(NdArray::from_vector<float>({static_cast<float>(power)}));
  }
};

// The selector sees the zone's temperature, setpoint, outside temperature and CO2, not the clock.
// It may not pick the heater when the zone is already far above its setpoint, nor ventilation
// while the flap must stay shut for the night.
class ZoneTeacher : public AgentTeacher {
 public:
  std::string class_name() const override { return "ZoneTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override {
    co_return names({"temperature", "setpoint", "outside", "co2"});
  }
  asio::awaitable<Value> compute_action_mask(const Value& sensors, const Value&) override {
    const bool too_warm = first_value(sensors, "temperature") > first_value(sensors, "setpoint") + 2.0;
    const bool night = ThermalPlant::night_at(first_value(sensors, "hour"));
    Value mask(NdArray(tavrin_inference::DType::int8, tavrin_inference::Shape{3}));
    std::int8_t* allowed = mask.as_array().data<std::int8_t>();
    allowed[0] = too_warm ? 0 : 1;
    allowed[1] = night ? 0 : 1;
    allowed[2] = 1;
    co_return mask;
  }
};

// The heater's model sees temperature, setpoint and outside temperature; its command is kept
// inside [0, 1] whatever the model produced.
class HeaterTeacher : public AgentTeacher {
 public:
  std::string class_name() const override { return "HeaterTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return names({"temperature", "setpoint", "outside"}); }
  asio::awaitable<Value> transform_action(const Value&, Value action) override {
    if (action.is_array()) co_return Value(action.as_array().clip(0.0, 1.0));
    co_return action;
  }
};

// The ventilation model sees temperature, setpoint and CO2; the levels it may use come from the
// simulator's mask.
class VentilationTeacher : public AgentTeacher {
 public:
  std::string class_name() const override { return "VentilationTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return names({"temperature", "setpoint", "co2"}); }
};

}  // namespace

}  // namespace thermal

// Called once by the loader right after it loaded the library.
extern "C" void tavrin_register_plugin(tavrin_core::ImplementationRegistry& registry) {
  using namespace thermal;
  registry.register_agent_impl("ThermostatController", [] { return std::make_shared<ThermostatController>(); });
  registry.register_agent_impl("ZoneTeacher", [] { return std::make_shared<ZoneTeacher>(); });
  registry.register_agent_impl("HeaterTeacher", [] { return std::make_shared<HeaterTeacher>(); });
  registry.register_agent_impl("VentilationTeacher", [] { return std::make_shared<VentilationTeacher>(); });
}
