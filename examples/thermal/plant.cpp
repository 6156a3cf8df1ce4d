#include "examples/thermal/plant.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/errors.hpp"
#include "common/nd_array.hpp"

namespace thermal {
namespace {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

constexpr double kTwoPi = 2.0 * std::numbers::pi;

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in (0, 1), never 0 (the logarithm of Box-Muller needs that).
double uniform01(std::uint64_t& state) {
  return (static_cast<double>(splitmix64(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

double uniform(std::uint64_t& state, double low, double high) { return low + (high - low) * uniform01(state); }

Value reading(double x) { return Value(NdArray::from_vector<float>({static_cast<float>(x)})); }

}  // namespace

ThermalPlant::ThermalPlant(PlantConfig config) : config_(config) {
  if (!(config_.dt_hours > 0.0) || config_.steps_per_episode <= 0 || !(config_.capacity_kwh_per_k > 0.0)) {
    throw InvalidArgumentError("thermal plant: dt_hours, steps_per_episode and capacity_kwh_per_k must be positive");
  }
  reset(0);
}

double ThermalPlant::normal() {
  const double u1 = uniform01(rng_);
  const double u2 = uniform01(rng_);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

void ThermalPlant::reset(std::uint64_t seed) {
  rng_ = seed ^ 0x7468657266616C21ull;  // any fixed salt: seed 0 is a seed like the others
  outside_mean_ = uniform(rng_, -6.0, 10.0);
  outside_swing_ = uniform(rng_, 3.0, 6.0);
  cloudiness_ = uniform01(rng_);
  outside_drift_ = 0.0;
  state_ = PlantState{};
  state_.temperature = uniform(rng_, 15.5, 19.0);
  state_.co2 = config_.co2_outside_ppm + uniform(rng_, 20.0, 120.0);
  state_.hour = 0.0;
  state_.outside = outside_at(0.0);
  state_.setpoint = setpoint_at(0.0);
  state_.occupied = occupied_at(0.0);
  reading_noise_ = config_.sensor_noise_k * normal();
}

double ThermalPlant::setpoint_at(double hour) const {
  return hour >= 6.0 && hour < 20.0 ? config_.comfort_setpoint : config_.setback_setpoint;
}

bool ThermalPlant::occupied_at(double hour) { return hour >= 8.0 && hour < 18.0; }

bool ThermalPlant::night_at(double hour) { return hour >= 22.0 || hour < 6.0; }

double ThermalPlant::outside_at(double hour) const {
  // Warmest at 15:00, coldest at 03:00.
  return outside_mean_ + outside_swing_ * std::cos(kTwoPi * (hour - 15.0) / 24.0) + outside_drift_;
}

double ThermalPlant::solar_at(double hour) const {
  if (hour <= 6.0 || hour >= 18.0) return 0.0;
  return config_.solar_peak_kw * (1.0 - 0.7 * cloudiness_) * std::sin(std::numbers::pi * (hour - 6.0) / 12.0);
}

Value ThermalPlant::sensors() const {
  Map m;
  m.reserve(5);
  m.set("temperature", reading(state_.temperature + reading_noise_));
  m.set("outside", reading(state_.outside));
  m.set("setpoint", reading(state_.setpoint));
  m.set("hour", reading(state_.hour));
  m.set("co2", reading(state_.co2));
  return Value(std::move(m));
}

std::array<std::int8_t, 3> ThermalPlant::ventilation_mask() const {
  if (night_at(state_.hour)) return {1, 0, 0};
  if (state_.outside < config_.frost_limit) return {1, 1, 0};
  return {1, 1, 1};
}

Value ThermalPlant::action_mask() const {
  const auto mask = ventilation_mask();
  return Value(NdArray::from_vector<std::int8_t>({mask[0], mask[1], mask[2]}));
}

StepOutcome ThermalPlant::step(const ZoneCommand& command) {
  if (done()) {
    throw InvalidArgumentError("thermal plant: the episode is over after " + std::to_string(config_.steps_per_episode) +
                               " steps; reset() starts the next");
  }
  StepOutcome out;
  const double u = std::isnan(command.heater) ? 0.0 : std::clamp(command.heater, 0.0, 1.0);
  int vent = command.ventilation;
  const auto mask = ventilation_mask();
  if (vent < 0 || vent > 2 || mask[static_cast<std::size_t>(vent)] == 0) {
    out.mask_violated = true;
    vent = 0;
  }

  const double dt = config_.dt_hours;
  const double hour = state_.hour;
  const double outside = state_.outside;
  const bool occupied = state_.occupied;
  const double setpoint = state_.setpoint;

  // Exact solution over the step for inputs held constant during it.
  const double conductance = config_.envelope_kw_per_k + config_.vent_kw_per_k[static_cast<std::size_t>(vent)];
  const double power = config_.heater_kw * u + (occupied ? config_.internal_gains_kw : 0.0) + solar_at(hour);
  const double t_eq = outside + power / conductance;
  state_.temperature = t_eq + (state_.temperature - t_eq) * std::exp(-conductance / config_.capacity_kwh_per_k * dt);

  const double exchange = config_.infiltration_per_hour + config_.air_changes_per_hour[static_cast<std::size_t>(vent)];
  const double source = occupied ? config_.co2_generation_ppm_per_hour : 0.0;
  const double c_eq = config_.co2_outside_ppm + source / exchange;
  state_.co2 = c_eq + (state_.co2 - c_eq) * std::exp(-exchange * dt);

  const double t = state_.temperature;
  const bool comfort_hours = setpoint >= config_.comfort_setpoint;
  out.discomfort_kh = (comfort_hours ? std::abs(t - setpoint) : std::max(0.0, setpoint - t)) * dt;
  out.energy_kwh = config_.heater_kw * u * dt;
  out.stale_air = occupied ? std::max(0.0, state_.co2 - config_.co2_limit_ppm) / 100.0 * dt : 0.0;
  out.reward =
      -(out.discomfort_kh + config_.energy_price_per_kwh * out.energy_kwh + config_.stale_air_weight * out.stale_air);

  // The clock and the weather move on.
  ++state_.step;
  state_.hour = std::fmod(state_.step * dt, 24.0);
  outside_drift_ = 0.95 * outside_drift_ + 0.15 * normal();
  state_.outside = outside_at(state_.hour);
  state_.setpoint = setpoint_at(state_.hour);
  state_.occupied = occupied_at(state_.hour);
  reading_noise_ = config_.sensor_noise_k * normal();
  return out;
}

ZoneCommand ThermalPlant::command_from_action(const Value& action) {
  ZoneCommand command;
  if (action.is_array() && action.as_array().size() == 1) {
    command.heater = action.as_array().at_double(0);
    return command;
  }
  if (action.is_int()) {
    command.ventilation = static_cast<int>(std::clamp<std::int64_t>(action.as_int(), -1, 3));
    return command;
  }
  throw InvalidArgumentError(
      "thermal plant: an action must be a heater power (one-element array) or a ventilation level "
      "(integer), got " +
      std::string(action.kind_name()) + " " + action.str());
}

}  // namespace thermal
