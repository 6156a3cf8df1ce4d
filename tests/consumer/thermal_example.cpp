// An application that runs the installed thermal example as it is: the orchestration from the
// installation's share folder, its teachers from the plugin it names, found next to the installed
// runtime libraries. Steps one cold morning and one warm night and checks the actions.
//   thermal_example <installed orchestration.json>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/logger.hpp"
#include "host/policy_host.hpp"

namespace {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

Value observation(float temperature, float hour) {
  const auto one = [](float x) { return Value(NdArray::from_vector<float>({x})); };
  return Value(Map{{"temperature", one(temperature)},
                   {"outside", one(0.0F)},
                   {"setpoint", one(21.0F)},
                   {"hour", one(hour)},
                   {"co2", one(600.0F)}});
}

Value night_mask() { return Value(NdArray::from_vector<std::int8_t>({1, 0, 0})); }

// A cold morning, then a warm night while the simulator keeps the flap shut.
asio::awaitable<std::pair<Value, Value>> two_steps(tavrin_inference::PolicyHost& host, std::string path) {
  co_await host.load_orchestration(path);
  co_await host.package();
  // Built outside the awaits: g++ 12 rejects initializer lists in temporaries of a co_await.
  const Value morning = observation(15.0F, 9.0F);
  const Value late = observation(26.0F, 23.0F);
  const Value flap_shut = night_mask();
  Value cold = co_await host.execute(morning);
  Value night = co_await host.execute(late, flap_shut);
  co_await host.close();
  co_return std::pair<Value, Value>(std::move(cold), std::move(night));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <orchestration.json>\n", argv[0]);
    return 2;
  }
  tavrin_core::set_log_level(tavrin_core::LogLevel::warning);
  try {
    tavrin_inference::PolicyHost host;
    const auto [cold, night] = tavrin_inference::run_sync(two_steps(host, argv[1]), "thermal example");
    std::printf("cold morning: %s, warm night: %s\n", cold.str().c_str(), night.str().c_str());
    // Far below the setpoint the heater runs (a Box action); the plugin's teachers are in use.
    if (!cold.is_array() || cold.as_array().at_double(0) <= 0.5) {
      std::fprintf(stderr, "expected the heater near full power, got %s\n", cold.str().c_str());
      return 1;
    }
    return 0;
  } catch (const tavrin_inference::Error& e) {
    std::fprintf(stderr, "thermal example failed: %s: %s\n", e.kind(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "thermal example failed: %s\n", e.what());
    return 1;
  }
}
