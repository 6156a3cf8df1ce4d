// Long runs through PolicyHost on the hierarchy fixtures: tens of thousands of steps, resets,
// repackaging and close. Two kinds of leak are caught here:
//  - memory that stays reachable but grows with every step or every repackaging (a cache, a list
//    of pending calls, a session kept by a dropped tree): the bytes the allocator hands out are
//    compared after a warm-up and after the long run;
//  - memory that is lost: under AddressSanitizer, LeakSanitizer checks the whole process at exit
//    (scripts/sanitize.sh runs with detect_leaks=1), after the hosts here have been dropped.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRIN_LEAK_CHECK_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVRIN_LEAK_CHECK_SANITIZER_ALLOCATOR 1
#endif
#endif
#ifdef TAVRIN_LEAK_CHECK_SANITIZER_ALLOCATOR
// From the sanitizer runtime (declared here: GCC installs no <sanitizer/allocator_interface.h>).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "common/async.hpp"
#include "common/value.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;

constexpr int kSteps = 20000;
constexpr int kWarmUpSteps = 500;
constexpr int kResetEvery = 1000;  // an episode ends this often
constexpr int kRepackagings = 40;
// Growth allowed over a whole long run: far less than one small allocation per step
// (20,000 steps x 16 bytes = 312 KiB).
constexpr std::size_t kAllowedGrowth = 96 * 1024;

// Bytes currently handed out by the allocator (the sanitizer's when one is built in).
std::size_t bytes_in_use() {
#ifdef TAVRIN_LEAK_CHECK_SANITIZER_ALLOCATOR
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

struct Step {
  Value sensors;
  Value expected;
};

// The five paths through the three-level tree, one per leaf.
std::vector<Step> three_level_paths() {
  return {{three_level_sensors({9, 0, 0}, {9, 0, 0}), Value(0)},
          {three_level_sensors({9, 0, 0}, {0, 9, 0}), Value(1)},
          {three_level_sensors({9, 0, 0}, {0, 0, 9}), Value(2)},
          {three_level_sensors({0, 9, 0}, {0, 0, 9}), Value(3)},
          {three_level_sensors({0, 0, 9}, {9, 0, 0}), Value(4)}};
}

// Steps `steps` times on one event loop, cycling through `plan`, resetting the tree every
// kResetEvery steps; returns how many actions differed from the plan.
asio::awaitable<int> run_steps(PolicyHost& host, const std::vector<Step>& plan, int steps) {
  int wrong = 0;
  for (int i = 0; i < steps; ++i) {
    const Step& step = plan[static_cast<std::size_t>(i) % plan.size()];
    const Value action = co_await host.execute(step.sensors, Value(), Value(false), Value());
    if (!(action == step.expected)) ++wrong;
    if ((i + 1) % kResetEvery == 0) co_await host.agent_processor->reset();
  }
  co_return wrong;
}

// Warms the tree up, then runs kSteps more steps; the memory in use must not have grown.
void expect_steps_hold_memory_steady(PolicyHost& host, const std::vector<Step>& plan) {
  ASSERT_EQ(run_sync(run_steps(host, plan, kWarmUpSteps)), 0);
  const std::size_t before = bytes_in_use();
  EXPECT_EQ(run_sync(run_steps(host, plan, kSteps)), 0);
  const std::size_t after = bytes_in_use();
  EXPECT_LE(after, before + kAllowedGrowth) << "grew by " << (after - before) << " bytes over " << kSteps << " steps";
}

TEST(LeakCheck, AThreeLevelHierarchySteppedManyTimesKeepsItsMemorySteady) {
  PolicyHost host;
  run_sync(host.load_orchestration(kHierarchy + "/three_level.json"));
  run_sync(host.package());
  ASSERT_NE(host.agent_processor, nullptr);
  ASSERT_EQ(host.agent_processor->get_agent_name(), "h3_root");
  expect_steps_hold_memory_steady(host, three_level_paths());
  run_sync(host.agent_processor->reset());
  run_sync(host.close());
}

TEST(LeakCheck, ASkillRootSteppedManyTimesKeepsItsMemorySteady) {
  PolicyHost host;
  run_sync(host.load_orchestration(kHierarchy + "/three_level.json"));
  run_sync(host.package(nullptr, std::string("h3_leaf3")));
  ASSERT_NE(host.agent_processor, nullptr);
  ASSERT_EQ(host.agent_processor->class_name(), "SkillRuntime");
  // A skill root sees only the root's logits and always takes its own digit.
  std::vector<Step> plan;
  for (const Step& step : three_level_paths()) plan.push_back({step.sensors, Value(3)});
  expect_steps_hold_memory_steady(host, plan);
  run_sync(host.agent_processor->reset());
  run_sync(host.close());
}

TEST(LeakCheck, RepackagingReleasesThePreviousTree) {
  // Every package() replaces the whole tree with its sessions; the dropped trees must be freed.
  PolicyHost host;
  run_sync(host.load_orchestration(kHierarchy + "/three_level.json"));
  const std::vector<Step> plan = three_level_paths();
  auto package_and_step = [&] {
    run_sync(host.package());
    EXPECT_EQ(run_sync(run_steps(host, plan, static_cast<int>(plan.size()))), 0);
  };
  for (int i = 0; i < 3; ++i) package_and_step();
  const std::size_t before = bytes_in_use();
  for (int i = 0; i < kRepackagings; ++i) package_and_step();
  const std::size_t after = bytes_in_use();
  EXPECT_LE(after, before + kAllowedGrowth)
      << "grew by " << (after - before) << " bytes over " << kRepackagings << " repackagings";
  run_sync(host.close());
}

}  // namespace
