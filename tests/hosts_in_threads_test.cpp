// Many PolicyHosts in one process: hosts of one orchestration share its loaded models and step in
// threads of their own with the results of one host alone; the host's configuration sets its model
// runners' thread pools.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "host/policy_host.hpp"
#include "selector/selector_runtime.hpp"
#include "skill/skill_runtime.hpp"
#include "tests/support/selector_test_support.hpp"

namespace {

using namespace selector_test;
using tavrin_inference::GraphRunner;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;
using tavrin_inference::SelectorRuntimeBase;
using tavrin_inference::SkillRuntimeBase;

const std::string kOrchestration = kHierarchy + "/three_level_256x256.json";

std::unique_ptr<PolicyHost> packaged_host(const Value& config = Value()) {
  auto host = std::make_unique<PolicyHost>(config);
  run_sync(host->load_orchestration(kOrchestration));
  run_sync(host->package());
  return host;
}

// The runners of the root selector and of its first leaf (root -> mid -> leaf 0).
std::vector<const GraphRunner*> runners_of(const PolicyHost& host) {
  auto* root = dynamic_cast<SelectorRuntimeBase*>(host.agent_processor.get());
  auto* mid = dynamic_cast<SelectorRuntimeBase*>(root->get_child_processor_by_index(0).get());
  auto* leaf = dynamic_cast<SkillRuntimeBase*>(mid->get_child_processor_by_index(0).get());
  return {root->onnx_engine.get(), leaf->onnx_engine.get()};
}

// Random sensors: logits everywhere, each selector allowed at least one child.
std::vector<Value> observations(std::size_t n) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> logit(-5.0, 5.0);
  const auto allowed = [&rng] {
    std::vector<double> mask{double(rng() % 2), double(rng() % 2), double(rng() % 2)};
    mask[rng() % 3] = 1.0;
    return mask;
  };
  std::vector<Value> out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(three_level_sensors({logit(rng), logit(rng), logit(rng)}, {logit(rng), logit(rng), logit(rng)},
                                      allowed(), allowed()));
  }
  return out;
}

std::vector<Value> actions(PolicyHost& host, const std::vector<Value>& obs) {
  std::vector<Value> out;
  run_sync([&]() -> asio::awaitable<void> {
    for (const auto& o : obs) out.push_back(co_await host.execute(o));
  }());
  return out;
}

TEST(HostsInThreads, TwoHostsSteppingInTwoThreadsActLikeOneHostOnSharedModels) {
  const std::vector<Value> obs = observations(200);
  std::vector<Value> alone;
  {
    auto host = packaged_host();
    alone = actions(*host, obs);
  }
  std::set<std::int64_t> reached;
  for (const auto& action : alone) reached.insert(action.as_int());
  EXPECT_EQ(reached.size(), 5u);  // every leaf acts: the models are really exercised
  auto first = packaged_host();
  auto second = packaged_host();
  const auto a = runners_of(*first);
  const auto b = runners_of(*second);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(a[i]->shares_session_with(*b[i])) << a[i]->model_path();

  auto in_first = std::async(std::launch::async, [&] { return actions(*first, obs); });
  auto in_second = std::async(std::launch::async, [&] { return actions(*second, obs); });
  EXPECT_EQ(in_first.get(), alone);
  EXPECT_EQ(in_second.get(), alone);
}

TEST(HostsInThreads, TheHostsConfigurationSetsItsRunnersThreadPools) {
  auto shared = packaged_host();
  auto own = packaged_host(Value(Map{{"onnxruntime", Value(Map{{"thread_pool", Value("per_session")}})}}));
  const auto a = runners_of(*shared);
  const auto b = runners_of(*own);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_FALSE(a[i]->shares_session_with(*b[i])) << a[i]->model_path();

  try {
    PolicyHost refused(Value(Map{{"onnxruntime", Value(Map{{"intra_op_threads", Value("four")}})}}));
    FAIL() << "a host accepted intra_op_threads 'four'";
  } catch (const tavrin_inference::InvalidArgumentError& e) {
    EXPECT_EQ(std::string(e.what()),
              "configuration: onnxruntime.intra_op_threads: expected an integer from 0 to 1024, got 'four'");
  }
}

}  // namespace
