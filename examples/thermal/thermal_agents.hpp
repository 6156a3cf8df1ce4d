#pragma once
// Programmed parts of the thermal-zone example: a thermostat controller and the teachers of the
// zone selector and of the heater and ventilation skills. Registered with the implementation
// registry by register_thermal_agents() (safe to call more than once).
//
// The teachers choose the sensors their agent's model sees, in this order (the layouts the models
// of examples/thermal/models/ were built for, see scripts/gen_example_models.py):
//   zone       temperature, setpoint, outside, co2
//   heat       temperature, setpoint, outside
//   ventilate  temperature, setpoint, co2
namespace thermal {

void register_thermal_agents();

}  // namespace thermal
