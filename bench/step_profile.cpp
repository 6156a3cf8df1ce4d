// Steps a packaged hierarchy a fixed number of times, for instruction counting under callgrind
// (scripts/profile-step.sh): the steps worth counting run inside `profiled_steps`, which the script
// names to callgrind's --toggle-collect, after a warm-up that callgrind does not count.
//
//   step_profile [orchestration] [steps] [warmup] [observations]
//     orchestration  a file of tests/fixtures/hierarchy/ (default three_level.json), or the path of
//                    another orchestration file, which then needs `observations`
//     steps          counted steps (default 1000)
//     warmup         steps before them (default 200)
//     observations   a file of observation lines (as tavrin run reads them): every step takes the
//                    first line's sensors (arrays of float64, as a simulator hands them over) and mask
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/hierarchy_support.hpp"

namespace {

using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

// A JSON value with every list of numbers as a float64 array.
Value with_arrays(const nlohmann::json& json) {
  if (json.is_array()) {
    std::vector<double> values;
    for (const auto& item : json) values.push_back(item.get<double>());
    return Value(NdArray::from_vector(values));
  }
  if (json.is_object()) {
    Map map;
    for (const auto& [key, item] : json.items()) map.set(key, with_arrays(item));
    return Value(std::move(map));
  }
  return Value::from_json(json);
}

}  // namespace

// Not inlined and with external linkage, so that callgrind can find it by name.
[[gnu::noinline]] Value profiled_steps(hierarchy_bench::SteppedHost& host, const Value& obs, const Value& mask,
                                       std::int64_t steps) {
  return host.step(obs, steps, mask);
}

int main(int argc, char** argv) {
  const std::string orchestration = argc > 1 ? argv[1] : "three_level.json";
  const std::int64_t steps = argc > 2 ? std::atoll(argv[2]) : 1000;
  const std::int64_t warmup = argc > 3 ? std::atoll(argv[3]) : 200;
  try {
    Value obs = hierarchy_bench::path_to_mid_leaf1().value();
    Value mask;
    std::string path = hierarchy_bench::fixture("hierarchy/" + orchestration);
    if (argc > 4) {
      path = orchestration;
      std::ifstream lines(argv[4]);
      std::string line;
      if (!std::getline(lines, line)) throw std::runtime_error(std::string(argv[4]) + ": no observation line");
      const auto json = nlohmann::json::parse(line);
      obs = with_arrays(json.contains("obs") ? json.at("obs") : json);
      if (json.contains("mask")) mask = with_arrays(json.at("mask"));
    }
    hierarchy_bench::SteppedHost host(path);
    host.step(obs, warmup, mask);
    const Value action = profiled_steps(host, obs, mask, steps);
    std::cout << "steps=" << steps << " action=" << action.str() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "step_profile: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
