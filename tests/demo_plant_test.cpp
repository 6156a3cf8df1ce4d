// The thermal-zone example: the simulated plant's physics, schedule and mask, the shipped policy's
// decisions on hand-picked situations (through PolicyHost, real models), and the episode driver.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "examples/thermal/demo.hpp"
#include "examples/thermal/plant.hpp"
#include "host/policy_host.hpp"
#include "support/temp_dir.hpp"
#include "support/test_paths.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::Value;
using thermal::PlantConfig;
using thermal::StepOutcome;
using thermal::ThermalPlant;
using thermal::ZoneCommand;

const std::string kOrchestration = tavrin_test::source_dir() + "/examples/thermal/orchestration.json";

double sensor(const Value& sensors, const char* name) { return sensors[name].as_array().at_double(0); }

// Steps with the same command until the plant's hour reaches `hour`.
void advance_to(ThermalPlant& plant, double hour, const ZoneCommand& command = {}) {
  while (plant.state().hour < hour && !plant.done()) plant.step(command);
}

// ---- plant ----------------------------------------------------------------------------------------

TEST(ThermalPlant, EpisodesAreReproducibleFromTheSeedAndDifferBetweenSeeds) {
  ThermalPlant a, b, c;
  a.reset(42);
  b.reset(42);
  c.reset(43);
  std::vector<double> ta, tb, tc;
  for (int i = 0; i < 40; ++i) {
    const ZoneCommand command{0.3, 0};
    ta.push_back(sensor(a.sensors(), "temperature"));
    tb.push_back(sensor(b.sensors(), "temperature"));
    tc.push_back(sensor(c.sensors(), "outside"));
    EXPECT_EQ(a.step(command).reward, b.step(command).reward);
    c.step(command);
  }
  EXPECT_EQ(ta, tb);
  EXPECT_NE(sensor(a.sensors(), "outside"), sensor(c.sensors(), "outside"));

  // reset() starts over: the same first readings again.
  a.reset(42);
  b.reset(42);
  EXPECT_EQ(a.state().step, 0);
  EXPECT_EQ(a.state().hour, 0.0);
  EXPECT_EQ(sensor(a.sensors(), "temperature"), ta.front());
}

TEST(ThermalPlant, SensorsAreTheOrchestrationsOneElementReadings) {
  ThermalPlant plant;
  plant.reset(3);
  const Value s = plant.sensors();
  ASSERT_TRUE(s.is_map());
  std::vector<std::string> names;
  for (const auto& [name, value] : s.as_map()) {
    names.push_back(name);
    ASSERT_TRUE(value.is_array()) << name;
    EXPECT_EQ(value.as_array().size(), 1) << name;
    EXPECT_EQ(value.as_array().dtype(), tavrin_inference::DType::float32) << name;
  }
  EXPECT_THAT(names, testing::ElementsAre("temperature", "outside", "setpoint", "hour", "co2"));
  // The reading is the true temperature with a little noise only.
  EXPECT_NEAR(sensor(s, "temperature"), plant.state().temperature, 0.3);
  plant.step({});
  EXPECT_DOUBLE_EQ(sensor(plant.sensors(), "hour"), plant.config().dt_hours);
}

TEST(ThermalPlant, HeaterPowerThatMatchesTheLossesHoldsTheTemperature) {
  // At night without people or sun, heat in equals heat out at u = UA * (T - T_out) / P.
  ThermalPlant plant;
  plant.reset(11);
  const PlantConfig config = plant.config();
  const auto before = plant.state();
  const double u = config.envelope_kw_per_k * (before.temperature - before.outside) / config.heater_kw;
  ASSERT_GT(u, 0.0);
  ASSERT_LT(u, 1.0);
  const StepOutcome out = plant.step({u, 0});
  EXPECT_NEAR(plant.state().temperature, before.temperature, 1e-9);
  EXPECT_NEAR(out.energy_kwh, config.heater_kw * u * config.dt_hours, 1e-12);

  // More power warms, less cools, and the heater is clipped to [0, 1].
  ThermalPlant warm, cold, over;
  for (auto* p : {&warm, &cold, &over}) p->reset(11);
  warm.step({1.0, 0});
  cold.step({0.0, 0});
  over.step({7.0, 0});
  EXPECT_GT(warm.state().temperature, before.temperature + 0.3);
  EXPECT_LT(cold.state().temperature, before.temperature - 0.2);
  EXPECT_EQ(over.state().temperature, warm.state().temperature);
}

TEST(ThermalPlant, PeopleRaiseCo2AndVentilationRemovesItAtTheCostOfHeat) {
  ThermalPlant closed, half, full;
  for (auto* p : {&closed, &half, &full}) {
    p->reset(5);
    advance_to(*p, 9.0, {0.6, 0});
    ASSERT_TRUE(p->state().occupied);
  }
  const double co2_at_nine = closed.state().co2;
  EXPECT_GT(co2_at_nine, 600.0);  // one hour of people with the flap shut
  const double t_before = closed.state().temperature;
  const auto mask = full.ventilation_mask();
  const StepOutcome c = closed.step({0.0, 0});
  const StepOutcome h = half.step({0.0, 1});
  EXPECT_GT(closed.state().co2, co2_at_nine);
  EXPECT_LT(half.state().co2, co2_at_nine);
  if (mask[2]) {
    full.step({0.0, 2});
    EXPECT_LT(full.state().co2, half.state().co2);
    EXPECT_LT(full.state().temperature, half.state().temperature);
  }
  // Air from outside (colder here) cools the zone.
  ASSERT_LT(closed.state().outside, t_before);
  EXPECT_LT(half.state().temperature, closed.state().temperature);
  EXPECT_FALSE(c.mask_violated);
  EXPECT_FALSE(h.mask_violated);

  // Keeping the flap shut all day leaves stale air, which costs.
  double stale = 0.0;
  while (!closed.done()) stale += closed.step({0.6, 0}).stale_air;
  EXPECT_GT(stale, 5.0);
}

TEST(ThermalPlant, ScheduleAndCosts) {
  ThermalPlant plant;
  EXPECT_EQ(plant.setpoint_at(5.75), 17.0);
  EXPECT_EQ(plant.setpoint_at(6.0), 21.0);
  EXPECT_EQ(plant.setpoint_at(19.75), 21.0);
  EXPECT_EQ(plant.setpoint_at(20.0), 17.0);
  EXPECT_FALSE(ThermalPlant::occupied_at(7.75));
  EXPECT_TRUE(ThermalPlant::occupied_at(8.0));
  EXPECT_FALSE(ThermalPlant::occupied_at(18.0));

  // At night a warm zone costs energy only; in comfort hours being too warm costs too.
  plant.reset(2);
  advance_to(plant, 2.0, {1.0, 0});
  ASSERT_GT(plant.state().temperature, 17.5);
  const StepOutcome night = plant.step({1.0, 0});
  EXPECT_EQ(night.discomfort_kh, 0.0);
  EXPECT_GT(night.energy_kwh, 0.0);
  EXPECT_NEAR(night.reward, -(night.discomfort_kh + plant.config().energy_price_per_kwh * night.energy_kwh), 1e-12);

  PlantConfig hot;
  hot.solar_peak_kw = 0.0;
  ThermalPlant day(hot);
  day.reset(2);
  advance_to(day, 10.0, {1.0, 0});  // full power all morning: far above 21 °C
  ASSERT_GT(day.state().temperature, 23.0);
  const StepOutcome warm = day.step({0.0, 0});
  EXPECT_NEAR(warm.discomfort_kh, (day.state().temperature - 21.0) * hot.dt_hours, 1e-9);
}

TEST(ThermalPlant, MaskForbidsVentilationAtNightAndFullVentilationInFrost) {
  ThermalPlant plant;
  plant.reset(1);
  EXPECT_EQ(plant.ventilation_mask(), (std::array<std::int8_t, 3>{1, 0, 0}));  // 00:00
  const Value mask = plant.action_mask();
  ASSERT_TRUE(mask.is_array());
  EXPECT_EQ(mask.as_array().dtype(), tavrin_inference::DType::int8);
  EXPECT_EQ(mask.as_array().size(), 3);

  // A forbidden level closes the flap and is reported; the zone evolves as with the flap shut.
  ThermalPlant shut;
  shut.reset(1);
  const StepOutcome forced = plant.step({0.0, 2});
  const StepOutcome closed = shut.step({0.0, 0});
  EXPECT_TRUE(forced.mask_violated);
  EXPECT_FALSE(closed.mask_violated);
  EXPECT_EQ(plant.state().temperature, shut.state().temperature);
  EXPECT_TRUE(plant.step({0.0, 7}).mask_violated);
  EXPECT_TRUE(plant.step({0.0, -1}).mask_violated);

  // By day everything opens, unless it freezes outside.
  advance_to(plant, 12.0);
  EXPECT_EQ(plant.ventilation_mask()[1], 1);
  PlantConfig frost;
  frost.frost_limit = 100.0;  // every day is a frost day
  ThermalPlant cold(frost);
  cold.reset(1);
  advance_to(cold, 12.0);
  EXPECT_EQ(cold.ventilation_mask(), (std::array<std::int8_t, 3>{1, 1, 0}));
}

TEST(ThermalPlant, EpisodeLengthActionsAndBadInput) {
  PlantConfig short_day;
  short_day.steps_per_episode = 4;
  ThermalPlant plant(short_day);
  plant.reset(0);
  for (int i = 0; i < 4; ++i) plant.step({});
  EXPECT_TRUE(plant.done());
  EXPECT_THROW(plant.step({}), InvalidArgumentError);
  plant.reset(0);
  EXPECT_FALSE(plant.done());

  PlantConfig broken;
  broken.dt_hours = 0.0;
  EXPECT_THROW(ThermalPlant{broken}, InvalidArgumentError);

  const ZoneCommand heat = ThermalPlant::command_from_action(Value(NdArray::from_vector<float>({0.75f})));
  EXPECT_FLOAT_EQ(heat.heater, 0.75);
  EXPECT_EQ(heat.ventilation, 0);
  const ZoneCommand vent = ThermalPlant::command_from_action(Value(2));
  EXPECT_EQ(vent.heater, 0.0);
  EXPECT_EQ(vent.ventilation, 2);
  EXPECT_THROW(ThermalPlant::command_from_action(Value("open")), InvalidArgumentError);
  EXPECT_THROW(ThermalPlant::command_from_action(Value(NdArray::from_vector<float>({0.1f, 0.2f}))),
               InvalidArgumentError);
}

// ---- the shipped policy on chosen situations -----------------------------------------------------

Value observation(double temperature, double setpoint, double outside, double hour, double co2) {
  const auto one = [](double x) { return Value(NdArray::from_vector<float>({static_cast<float>(x)})); };
  return Value(Map{{"temperature", one(temperature)},
                   {"outside", one(outside)},
                   {"setpoint", one(setpoint)},
                   {"hour", one(hour)},
                   {"co2", one(co2)}});
}

Value mask3(std::int8_t a, std::int8_t b, std::int8_t c) { return Value(NdArray::from_vector<std::int8_t>({a, b, c})); }

class ShippedPolicy : public testing::Test {
 protected:
  void SetUp() override {
    tavrin_inference::run_sync(
        [this]() -> asio::awaitable<void> {
          co_await host.load_orchestration(kOrchestration);
          co_await host.package();
        }(),
        "setup");
  }
  void TearDown() override { tavrin_inference::run_sync(host.close(), "teardown"); }

  Value act(const Value& obs, const Value& mask) {
    return tavrin_inference::run_sync(host.execute(obs, mask), "execute");
  }

  PolicyHost host;
};

TEST_F(ShippedPolicy, HeatsInProportionNearTheSetpointAndAtFullPowerFarBelowIt) {
  const Value slightly_cold = act(observation(20.5, 21.0, 0.0, 10.0, 600.0), mask3(1, 1, 1));
  ASSERT_TRUE(slightly_cold.is_array()) << slightly_cold.str();
  const double u = slightly_cold.as_array().at_double(0);
  EXPECT_GT(u, 0.1);
  EXPECT_LT(u, 1.0);
  const Value colder = act(observation(19.8, 21.0, 0.0, 10.0, 600.0), mask3(1, 1, 1));
  EXPECT_GT(colder.as_array().at_double(0), u);

  // Far below the setpoint the thermostat takes over: bang-bang full power.
  const Value morning = act(observation(16.0, 21.0, -5.0, 6.0, 450.0), mask3(1, 1, 1));
  ASSERT_TRUE(morning.is_array());
  EXPECT_EQ(morning.as_array().at_double(0), 1.0);

  // Above the setpoint neither heats.
  const Value warm = act(observation(21.8, 21.0, 5.0, 11.0, 500.0), mask3(1, 1, 1));
  ASSERT_TRUE(warm.is_array());
  EXPECT_EQ(warm.as_array().at_double(0), 0.0);
}

TEST_F(ShippedPolicy, VentilatesStaleAirWithinTheSimulatorsMask) {
  const Value stale = act(observation(21.0, 21.0, 2.0, 12.0, 1150.0), mask3(1, 1, 1));
  ASSERT_TRUE(stale.is_int()) << stale.str();
  EXPECT_EQ(stale.as_int(), 1);

  const Value very_stale = act(observation(21.0, 21.0, 2.0, 12.0, 1600.0), mask3(1, 1, 1));
  ASSERT_TRUE(very_stale.is_int()) << very_stale.str();
  EXPECT_EQ(very_stale.as_int(), 2);
  // In frost the simulator forbids the full level: the skill opens half.
  const Value frost = act(observation(21.0, 21.0, -8.0, 12.0, 1600.0), mask3(1, 1, 0));
  ASSERT_TRUE(frost.is_int()) << frost.str();
  EXPECT_EQ(frost.as_int(), 1);

  // At night the selector's teacher keeps the flap out of the choice: the zone is heated instead.
  const Value night = act(observation(16.5, 17.0, -3.0, 23.0, 1600.0), mask3(1, 0, 0));
  EXPECT_TRUE(night.is_array()) << night.str();
}

// ---- the episode driver ---------------------------------------------------------------------------

TEST(DemoDriver, BeatsEveryBaselineOnTheSameSeedsWithinTheMask) {
  thermal::DemoOptions options;
  options.orchestration = kOrchestration;
  options.episodes = 4;
  options.seed = 21;
  int last_progress = 0;
  options.progress = [&](int done, int total) {
    EXPECT_EQ(total, 8);
    EXPECT_EQ(done, last_progress + 1);
    last_progress = done;
  };
  const thermal::DemoReport report = thermal::run_demo(options);
  EXPECT_EQ(last_progress, 8);
  EXPECT_EQ(report.root_agent, "zone");
  EXPECT_THAT(report.children, testing::ElementsAre("heat", "ventilate", "thermostat"));
  ASSERT_EQ(report.episodes.size(), 4u);
  std::int64_t chosen = 0;
  for (std::size_t c = 0; c < report.choice_totals.size(); ++c) {
    EXPECT_GT(report.choice_totals[c], 0) << report.children[c] << " was never chosen";
    chosen += report.choice_totals[c];
  }
  EXPECT_EQ(chosen, 4 * 96);
  EXPECT_EQ(report.latency.steps, 4 * 96);
  EXPECT_GT(report.latency.p50_us, 0.0);
  EXPECT_LE(report.latency.p50_us, report.latency.p99_us);
  EXPECT_LE(report.latency.p99_us, report.latency.max_us);
  for (std::size_t i = 0; i < report.episodes.size(); ++i) {
    const auto& e = report.episodes[i];
    EXPECT_EQ(e.seed, 21u + i);
    EXPECT_EQ(e.policy.mask_violations, 0);
    EXPECT_GT(e.policy.reward, e.baseline.reward) << "episode " << i;
  }
  EXPECT_GT(report.improvement(), 0.2 * std::abs(report.mean_baseline_return()));

  // The same seeds give the same returns; the bang-bang thermostat is beaten too.
  options.progress = nullptr;
  options.baseline = thermal::Baseline::thermostat;
  const thermal::DemoReport again = thermal::run_demo(options);
  for (std::size_t i = 0; i < report.episodes.size(); ++i)
    EXPECT_EQ(again.episodes[i].policy.reward, report.episodes[i].policy.reward);
  EXPECT_GT(again.improvement(), 0.0);
}

TEST(DemoDriver, TraceHasOneRowPerStepOfBothRuns) {
  const tavrin_test::TempDir temp;
  const fs::path& dir = temp.path();
  thermal::DemoOptions options;
  options.orchestration = kOrchestration;
  options.episodes = 2;
  options.plant.steps_per_episode = 10;
  options.baseline = thermal::Baseline::random;
  options.trace_path = (dir / "trace.csv").string();
  thermal::run_demo(options);

  std::ifstream in(options.trace_path);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, thermal::kTraceHeader);
  std::map<std::string, int> rows;
  std::set<std::string> agents;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    for (std::string cell; std::getline(ss, cell, ',');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 14u) << line;
    ++rows[cells[0]];
    if (cells[0] == "policy") agents.insert(cells[10]);
  }
  EXPECT_EQ(rows["policy"], 20);
  EXPECT_EQ(rows["baseline"], 20);
  for (const auto& agent : agents) EXPECT_THAT(agent, testing::AnyOf("heat", "ventilate", "thermostat"));

  options.trace_path = (dir / "no-such-folder" / "trace.csv").string();
  EXPECT_THROW(thermal::run_demo(options), tavrin_inference::RuntimeError);
  options.trace_path.clear();
  options.episodes = 0;
  EXPECT_THROW(thermal::run_demo(options), InvalidArgumentError);
  EXPECT_THROW(thermal::parse_baseline("smart"), InvalidArgumentError);
}

TEST(DemoDriver, PercentileIsNearestRank) {
  std::vector<double> v{5, 1, 4, 2, 3};
  EXPECT_EQ(thermal::percentile(v, 50), 3);
  EXPECT_EQ(thermal::percentile(v, 100), 5);
  EXPECT_EQ(thermal::percentile(v, 1), 1);
  std::vector<double> none;
  EXPECT_EQ(thermal::percentile(none, 99), 0);
}

}  // namespace
