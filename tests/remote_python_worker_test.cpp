// The example worker written in Python (examples/python_worker/tavrin_worker.py) against this
// process's client: instances of each manager, array types and shapes, the worker's own errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "link/async_link.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using tavrin_core::CallArgs;
using tavrin_core::TrainerConfig;
using tavrin_core::remote::RemoteError;
using tavrin_inference::AsyncLink;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::run_sync;
using tavrin_inference::Value;
using ::testing::HasSubstr;

const std::string kPython = "/usr/bin/python3";
const std::string kScript = std::string(TAVRIN_SOURCE_DIR) + "/examples/python_worker/tavrin_worker.py";

struct PythonWorker : ::testing::Test {
  void SetUp() override {
    if (!std::filesystem::exists(kPython)) GTEST_SKIP() << "no " << kPython;
    worker = std::make_unique<tavrin_test::WorkerProcess>(std::vector<std::string>{kPython, kScript, "--port", "0"});
    link = std::make_shared<AsyncLink>(
        TrainerConfig(Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(worker->address())}})}})},
                          {"remote", Value(Map{{"call_timeout_ms", 30000}, {"heartbeat_interval_ms", 1000}})}}));
  }
  void TearDown() override {
    if (link) {
      run_sync(tavrin_core::await_result(link->stop_all()));
      link->stop_watchdogs();
    }
  }
  Value create(tavrin_core::ManagerKind kind, const std::string& cls) {
    CallArgs args{{}, Map{{"env_init", Value("inproc://" + cls)}, {"version", "latest"}}};
    auto call = kind == tavrin_core::ManagerKind::agent ? link->call_remote_agent_mgr("create_with_client", args)
                : kind == tavrin_core::ManagerKind::controller
                    ? link->call_remote_controller_mgr("create_with_client", args)
                    : link->call_remote_perceptor_mgr("create_with_client", args);
    Value reply = run_sync(tavrin_core::await_result(std::move(call)));
    return reply[1];
  }
  std::unique_ptr<tavrin_test::WorkerProcess> worker;
  std::shared_ptr<AsyncLink> link;
};

TEST_F(PythonWorker, ServesTeachersControllersAndPerceptorsKeepingArrayTypesAndShapes) {
  auto teacher = create(tavrin_core::ManagerKind::agent, "ScaleTeacher").as<tavrin_core::AgentTeacher>();
  ASSERT_NE(teacher, nullptr);
  Value ints =
      run_sync(teacher->transform_action(Value(), Value(NdArray::from_vector<std::int64_t>({1, -2, 3, 4}, {2, 2}))));
  ASSERT_TRUE(ints.is_array());
  EXPECT_EQ(ints.as_array().dtype(), tavrin_inference::DType::int64);
  EXPECT_EQ(ints.as_array().shape(), (tavrin_inference::Shape{2, 2}));
  EXPECT_EQ(ints.as_array().at_double(1), -4);
  Value floats = run_sync(teacher->transform_action(Value(), Value(NdArray::from_vector<float>({0.25f}, {1, 1}))));
  EXPECT_EQ(floats.as_array().dtype(), tavrin_inference::DType::float32);
  EXPECT_EQ(floats.as_array().shape(), (tavrin_inference::Shape{1, 1}));
  EXPECT_EQ(floats.as_array().at_double(0), 0.5);
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(3))), Value(6));
  // Hooks the class does not define answer the defaults.
  Value sensors(Map{{"a", Value(1.5)}});
  EXPECT_EQ(run_sync(teacher->transform_sensors(sensors, Value())), sensors);
  EXPECT_TRUE(run_sync(teacher->compute_action_mask(sensors, Value())).is_none());

  auto controller =
      create(tavrin_core::ManagerKind::controller, "ConstantController").as<tavrin_core::AgentController>();
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(run_sync(controller->compute_action(sensors, Value())), Value(1));

  auto perceptor = create(tavrin_core::ManagerKind::perceptor, "TickPerceptor").as<tavrin_core::Perceptor>();
  ASSERT_NE(perceptor, nullptr);
  run_sync(perceptor->perceive(sensors));
  EXPECT_EQ(run_sync(perceptor->perceive(sensors)), Value(Map{{"tick", 2}}));
  run_sync(perceptor->reset());
  EXPECT_EQ(run_sync(perceptor->perceive(sensors)), Value(Map{{"tick", 1}}));

  EXPECT_EQ(run_sync(tavrin_core::await_result(
                link->call_remote_agent_mgr("get_tavrin_version", CallArgs{{Value("ScaleTeacher")}, {}}))),
            Value("1.0"));
}

TEST_F(PythonWorker, ItsErrorsReachTheCallerWithTheWorkerTheMethodAndTheMessage) {
  auto failing = create(tavrin_core::ManagerKind::agent, "FailingTeacher").as<tavrin_core::AgentTeacher>();
  try {
    run_sync(failing->transform_action(Value(), Value(1)));
    FAIL();
  } catch (const RemoteError& e) {
    EXPECT_EQ(e.code(), tavrin_core::remote::error_code::hook_failed);
    EXPECT_THAT(e.what(), HasSubstr("worker " + worker->address()));
    EXPECT_THAT(e.what(), HasSubstr("agent.transform_action"));
    EXPECT_THAT(e.what(), HasSubstr("ValueError: no action is good enough"));
  }
  EXPECT_THROW(create(tavrin_core::ManagerKind::agent, "Missing"), RemoteError);
  // A controller class asked for through the agent manager is refused by the worker.
  EXPECT_THROW(create(tavrin_core::ManagerKind::agent, "ConstantController"), RemoteError);
}

}  // namespace
