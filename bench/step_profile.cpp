// Steps a packaged hierarchy a fixed number of times, for instruction counting under callgrind
// (scripts/profile-step.sh): the steps worth counting run inside `profiled_steps`, which the script
// names to callgrind's --toggle-collect, after a warm-up that callgrind does not count.
//
//   step_profile [orchestration] [steps] [warmup]
//     orchestration  a file of tests/fixtures/hierarchy/ (default three_level.json)
//     steps          counted steps (default 1000)
//     warmup         steps before them (default 200)
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/hierarchy_support.hpp"

// Not inlined and with external linkage, so that callgrind can find it by name.
[[gnu::noinline]] tavrin_inference::Value profiled_steps(hierarchy_bench::SteppedHost& host,
                                                         const tavrin_inference::Value& obs, std::int64_t steps) {
  return host.step(obs, steps);
}

int main(int argc, char** argv) {
  const std::string orchestration = argc > 1 ? argv[1] : "three_level.json";
  const std::int64_t steps = argc > 2 ? std::atoll(argv[2]) : 1000;
  const std::int64_t warmup = argc > 3 ? std::atoll(argv[3]) : 200;
  try {
    hierarchy_bench::SteppedHost host(hierarchy_bench::fixture("hierarchy/" + orchestration));
    const tavrin_inference::Value obs = hierarchy_bench::path_to_mid_leaf1().value();
    host.step(obs, warmup);
    const tavrin_inference::Value action = profiled_steps(host, obs, steps);
    std::cout << "steps=" << steps << " action=" << action.str() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "step_profile: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
