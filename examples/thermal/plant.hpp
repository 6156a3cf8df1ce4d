#pragma once
// The thermal zone that the shipped example orchestration controls: one room with a heater and a
// ventilation flap, simulated in steps of a quarter hour over one day.
//
//   dT/dt   = (UA * (T_out - T) + G_vent * (T_out - T) + P_heater * u + gains + solar) / C
//   dCO2/dt = people * generation - (infiltration + air_changes[vent]) * (CO2 - CO2_outside)
//
// The outside temperature follows a daily cosine around a mean drawn per episode, with slowly
// drifting noise; the sun adds gains around noon; people are in from 08:00 to 18:00, when they
// warm the room and raise its CO2. The setpoint is the comfort value from 06:00 to 20:00 and the
// set-back value otherwise. At night (22:00 to 06:00) the flap must stay closed, and below the
// frost limit outside it may not open fully: the plant reports this as its action mask over the
// ventilation levels, the mask a simulator hands to PolicyHost::execute.
//
// One step's cost: discomfort (|T - setpoint| in comfort hours, only the shortfall otherwise),
// energy and stale air while people are in; the reward is its negative. Everything that varies
// comes from the episode's seed, so an episode is reproducible exactly.
#include <array>
#include <cstdint>
#include <string>

#include "common/value.hpp"

namespace thermal {

struct PlantConfig {
  double dt_hours = 0.25;           // one step
  int steps_per_episode = 96;       // one day
  double capacity_kwh_per_k = 2.0;  // thermal capacity of the zone
  double envelope_kw_per_k = 0.15;  // losses through walls and windows
  double heater_kw = 6.0;
  std::array<double, 3> vent_kw_per_k{0.0, 0.25, 0.6};  // heat carried away per ventilation level
  std::array<double, 3> air_changes_per_hour{0.0, 2.0, 5.0};
  double infiltration_per_hour = 0.3;
  double internal_gains_kw = 0.3;  // people and equipment, while occupied
  double solar_peak_kw = 1.5;      // at noon on a clear day
  double co2_outside_ppm = 420.0;
  double co2_generation_ppm_per_hour = 400.0;  // while occupied
  double comfort_setpoint = 21.0;
  double setback_setpoint = 17.0;
  double co2_limit_ppm = 1000.0;
  double frost_limit = -5.0;  // below it the flap may open half at most
  double energy_price_per_kwh = 0.25;
  double stale_air_weight = 0.5;  // per 100 ppm above the limit and hour
  double sensor_noise_k = 0.05;   // standard deviation of the temperature reading
};

// What the plant applies in one step: heater power in [0, 1] and a ventilation level 0..2.
struct ZoneCommand {
  double heater = 0.0;
  int ventilation = 0;
};

struct StepOutcome {
  double reward = 0.0;
  double discomfort_kh = 0.0;  // kelvin-hours of this step
  double energy_kwh = 0.0;
  double stale_air = 0.0;      // 100 ppm-hours above the limit while occupied
  bool mask_violated = false;  // the command used a forbidden ventilation level (the plant closed it)
};

struct PlantState {
  int step = 0;
  double hour = 0.0;
  double temperature = 18.0;
  double outside = 5.0;
  double co2 = 450.0;
  double setpoint = 17.0;
  bool occupied = false;
};

class ThermalPlant {
 public:
  explicit ThermalPlant(PlantConfig config = {});

  // Starts an episode: weather, initial temperature and noise all come from `seed`.
  void reset(std::uint64_t seed);

  const PlantConfig& config() const { return config_; }
  const PlantState& state() const { return state_; }
  bool done() const { return state_.step >= config_.steps_per_episode; }

  // The orchestration's sensors (a map of one-element float32 arrays): "temperature" (the noisy
  // reading), "outside", "setpoint", "hour", "co2".
  tavrin_inference::Value sensors() const;

  // Which ventilation levels are allowed now (1) or forbidden (0).
  std::array<std::int8_t, 3> ventilation_mask() const;
  // The same as an int8 array, the form the policy takes.
  tavrin_inference::Value action_mask() const;

  // Advances one step. A heater command is clipped to [0, 1]; a forbidden or unknown ventilation
  // level closes the flap and is reported. InvalidArgumentError when the episode is over.
  StepOutcome step(const ZoneCommand& command);

  // What an action of the example's skills means for the plant: a heater power (a one-element
  // array, from "heat" or "thermostat") runs the heater with the flap closed; an integer (from
  // "ventilate") sets the flap with the heater off. InvalidArgumentError for anything else.
  static ZoneCommand command_from_action(const tavrin_inference::Value& action);

  // Setpoint and occupancy by hour of the day (0 <= hour < 24).
  double setpoint_at(double hour) const;
  static bool occupied_at(double hour);
  static bool night_at(double hour);

 private:
  double outside_at(double hour) const;
  double solar_at(double hour) const;
  double normal();  // standard normal from the episode's generator

  PlantConfig config_;
  PlantState state_;
  std::uint64_t rng_ = 0;
  double outside_mean_ = 5.0;
  double outside_swing_ = 5.0;
  double cloudiness_ = 0.5;
  double outside_drift_ = 0.0;
  double reading_noise_ = 0.0;
};

}  // namespace thermal
