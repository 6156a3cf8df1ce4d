#pragma once
// Programmed parts of the thermal-zone example: a thermostat controller and the teachers of the
// zone selector and the heater skill. Registered with the implementation registry by
// register_thermal_agents().
namespace thermal {

void register_thermal_agents();

}  // namespace thermal
