// The example worker written in Python (examples/python_worker/tavrin_worker.py) against this
// process's client: instances of each manager, array types and shapes, the worker's own errors,
// mutual TLS, and a slow hook under a short heartbeat.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "link/async_link.hpp"
#include "support/test_paths.hpp"
#include "support/tool_process.hpp"
#include "tests/fixtures/remote/tls_certificates.hpp"
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
const std::string kScript = tavrin_test::source_dir() + "/examples/python_worker/tavrin_worker.py";

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

TEST(PythonWorkerTls, ServesMutualTlsRefusesHostsWithoutCertificatesAndKeepsSlowHooksConnected) {
  if (!std::filesystem::exists(kPython)) GTEST_SKIP() << "no " << kPython;
  tavrin_test::TlsCertificates certs;
  const std::string log = certs.dir() + "/worker.log";
  tavrin_test::WorkerProcess worker({kPython, kScript, "--port", "0", "--tls-cert", certs.file("worker.pem"),
                                     "--tls-key", certs.file("worker.key"), "--tls-client-ca", certs.file("ca.pem")},
                                    log);
  auto config = [&](bool with_certificate) {
    Map tls{{"ca", Value(certs.file("ca.pem"))}};
    if (with_certificate) {
      tls.set("cert", Value(certs.file("host.pem")));
      tls.set("key", Value(certs.file("host.key")));
    }
    return TrainerConfig(
        Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(worker.address())}})}})},
            {"remote",
             Value(Map{{"call_timeout_ms", 30000}, {"heartbeat_interval_ms", 50}, {"tls", Value(std::move(tls))}})}});
  };
  auto create = [](AsyncLink& link, const std::string& cls) {
    return run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
        "create_with_client", CallArgs{{}, Map{{"env_init", Value(cls)}, {"version", "latest"}}})))[1]
        .as<tavrin_core::AgentTeacher>();
  };
  AsyncLink link{config(true)};
  EXPECT_EQ(run_sync(create(link, "ScaleTeacher")->transform_action(Value(), Value(3))), Value(6));
  // Ten heartbeat intervals in one hook: the pings are answered meanwhile.
  EXPECT_EQ(run_sync(create(link, "SlowTeacher")->transform_action(Value(), Value(500))), Value(500));

  AsyncLink anonymous{config(false)};
  try {
    create(anonymous, "ScaleTeacher");
    FAIL() << "a host without a certificate was admitted";
  } catch (const tavrin_core::remote::RemoteConnectError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reach worker " + worker.address()));
    EXPECT_THAT(e.what(), HasSubstr("the worker requires a client certificate"));
  }
  for (int i = 0; i < 500 && tavrin_test::read_file(log).find("no certificate") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_THAT(tavrin_test::read_file(log), HasSubstr("TLS handshake with 127.0.0.1:"));
  EXPECT_THAT(tavrin_test::read_file(log), HasSubstr("the client presented no certificate"));
  run_sync(tavrin_core::await_result(link.stop_all()));
  link.stop_watchdogs();

  EXPECT_THROW(tavrin_test::WorkerProcess({kPython, kScript, "--host", "0.0.0.0", "--port", "0"}, log),
               std::runtime_error);
  EXPECT_THAT(tavrin_test::read_file(log), HasSubstr("refusing to serve plaintext on 0.0.0.0:0"));
}

}  // namespace
