// Remote workers end to end: a real tavrin-worker process (started by the test, on a free loopback
// port) serves the teacher, controller and perceptor of an orchestration that PolicyHost packages
// and steps; the same orchestration run in this process gives the same actions. A worker killed
// mid-run and restarted, calls that time out, and bad frames sent to a worker.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "host/policy_host.hpp"
#include "link/async_link.hpp"
#include "support/loopback_server.hpp"
#include "support/test_paths.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using namespace tavrin_core;
using namespace tavrin_core::remote;
using namespace tavrin_inference;
using tavrin_test::WorkerProcess;
using ::testing::HasSubstr;

const std::string kWorker = tavrin_test::worker_path();
const std::string kPlugin = tavrin_test::test_plugin_path();
const std::string kFixtures = tavrin_test::source_dir() + "/tests/fixtures/remote/";

std::unique_ptr<WorkerProcess> start_worker() {
  return std::make_unique<WorkerProcess>(std::vector<std::string>{kWorker, "--port", "0", "--plugin", kPlugin,
                                                                  "--exit-with-parent", "--log-level", "warning"});
}

// Generous limits: the tests run on loaded CI machines, and only the timeout tests wait for one.
Map remote_config(const std::string& address, int call_timeout_ms = 30000, int heartbeat_ms = 1000) {
  return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(address)}})}})},
             {"remote", Value(Map{{"transport", "tcp"},
                                  {"connect_timeout_ms", 10000},
                                  {"call_timeout_ms", call_timeout_ms},
                                  {"heartbeat_interval_ms", heartbeat_ms}})}};
}

Value sensors(float a, float b, float c) {
  return Value(Map{{"root_logits", Value(NdArray::from_vector<float>({a, b, c}))}});
}

Value step(PolicyHost& host, const Value& obs) { return run_sync(host.execute(obs)); }

// What the worker reports about itself.
Json ping(const std::string& address) {
  auto client = tavrin_core::remote::WorkerClient::create(address, {});
  return run_sync(client->call("ping", Json::object(), "ping"));
}

struct RemoteWorker : ::testing::Test {
  static void SetUpTestSuite() {
    ASSERT_TRUE(std::filesystem::exists(kWorker)) << kWorker << " is not built (target tavrin-worker)";
    tavrin_core::ImplementationRegistry::instance().load_plugin(kPlugin);
  }
  std::unique_ptr<WorkerProcess> worker = start_worker();
};

TEST_F(RemoteWorker, AHostStepsAnOrchestrationWithRemoteImplementationsLikeTheLocalOne) {
  const std::vector<Value> observations{sensors(5, 0, 0), sensors(0, 5, 0), sensors(0, 0, 5), sensors(7, 1, 0)};

  PolicyHost local;
  run_sync(local.load_orchestration(kFixtures + "local_hierarchy.json"));
  run_sync(local.package());
  std::vector<Value> local_actions;
  local_actions.reserve(observations.size());
  for (const auto& obs : observations) local_actions.push_back(step(local, obs));
  // The teacher adds one to leaf 0's action; the controller always says 2; leaf 2 says 2.
  EXPECT_EQ(local_actions, (std::vector<Value>{Value(1), Value(2), Value(2), Value(1)}));

  PolicyHost remote{Value(remote_config(worker->address()))};
  ASSERT_NE(
      std::dynamic_pointer_cast<tavrin_core::remote::WorkerManager>(remote.network_mgr->manager(ManagerKind::agent)),
      nullptr);
  run_sync(remote.load_orchestration(kFixtures + "remote_hierarchy.json"));
  run_sync(remote.package());
  // One teacher, one controller and one perceptor per processor that has perceptors (all four).
  const Json before = ping(worker->address());
  EXPECT_EQ(before["clients"].get<int>(), 1 + 1 + 4);
  std::vector<Value> remote_actions;
  remote_actions.reserve(observations.size());
  for (const auto& obs : observations) remote_actions.push_back(step(remote, obs));
  EXPECT_EQ(remote_actions, local_actions);

  // close stops what the managers made; the worker goes on serving.
  run_sync(remote.close());
  EXPECT_EQ(ping(worker->address())["clients"].get<int>(), 0);
  EXPECT_THROW(step(remote, observations[0]), RemoteError);  // its instances are gone for good
}

TEST_F(RemoteWorker, AKilledWorkerFailsTheNextStepClearlyAndTheHostRecoversOnceItIsBack) {
  PolicyHost host{Value(remote_config(worker->address()))};
  run_sync(host.load_orchestration(kFixtures + "remote_hierarchy.json"));
  run_sync(host.package());
  EXPECT_EQ(step(host, sensors(5, 0, 0)), Value(1));

  worker->stop(SIGKILL);
  try {
    step(host, sensors(5, 0, 0));
    FAIL() << "a step against a dead worker succeeded";
  } catch (const RemoteError& e) {
    const std::string message = e.what();
    EXPECT_THAT(message, HasSubstr("worker " + worker->address()));
    EXPECT_THAT(message, HasSubstr("perceptor.perceive"));  // the first remote call of a step
  }

  worker->restart();  // same port; it knows none of the earlier client ids
  EXPECT_EQ(step(host, sensors(5, 0, 0)), Value(1));
  EXPECT_EQ(step(host, sensors(0, 5, 0)), Value(2));
  EXPECT_EQ(step(host, sensors(0, 0, 5)), Value(2));
  // Each instance is made again by its first call after the restart: all of them by now.
  EXPECT_EQ(ping(worker->address())["clients"].get<int>(), 1 + 1 + 4);
  run_sync(host.close());
}

TEST_F(RemoteWorker, ValuesComeBackWithTheirTypeAndShape) {
  AsyncLink link{TrainerConfig(remote_config(worker->address()))};
  Value reply = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", CallArgs{{}, Map{{"env_init", "inproc://PluginTeacher"}, {"version", "latest"}}})));
  ASSERT_TRUE(reply.is_tuple());
  auto teacher = reply[1].as<tavrin_core::AgentTeacher>();
  ASSERT_NE(teacher, nullptr);
  EXPECT_EQ(teacher->class_name(), "PluginTeacher");

  // PluginTeacher hands back every action that is not an integer unchanged.
  const std::vector<Value> values{
      Value(NdArray::from_vector<float>({1.5f, -2.25f, 3, 4, 5, 6}, {2, 3})),
      Value(NdArray::from_vector<double>({0.1, std::numeric_limits<double>::quiet_NaN()}, {2, 1})),
      Value(NdArray::from_vector<std::int64_t>({1, -2, 3}, {3})),
      Value(NdArray::from_vector<std::int8_t>({1, 0, 1, 1}, {1, 2, 2})),
      Value(NdArray::scalar(2.5f)),
      Value(NdArray(DType::int64, tavrin_inference::Shape{0, 4})),
      Value::tuple({Value(1), Value("a"), Value()}),
      Value(Map{{"$weird", Value(1.0)}, {"plain", Value::list({Value(true), Value(2.0)})}}),
      Value(std::numeric_limits<double>::infinity()),
  };
  for (const auto& v : values) {
    Value back = run_sync(teacher->transform_action(Value(), v));
    EXPECT_EQ(back.kind(), v.kind()) << v.str();
    if (v.is_array()) {
      EXPECT_EQ(back.as_array().dtype(), v.as_array().dtype()) << v.str();
      EXPECT_EQ(back.as_array().shape(), v.as_array().shape()) << v.str();
      EXPECT_EQ(back.str(), v.str());  // NaN included
    } else {
      EXPECT_EQ(back, v) << v.str() << " came back as " << back.str();
    }
  }
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(4))), Value(5));

  // A proxy cannot be sent to a worker.
  EXPECT_THROW(run_sync(teacher->transform_action(Value(), Value(teacher))), tavrin_inference::TypeError);

  // Version and address of the class, from the worker.
  EXPECT_EQ(run_sync(tavrin_core::await_result(
                link.call_remote_agent_mgr("get_tavrin_version", CallArgs{{Value("PluginTeacher")}, {}}))),
            Value("2.1.0"));
  EXPECT_EQ(link.call_remote_agent_mgr("get_tavrin_url", CallArgs{{Value("PluginTeacher")}, {}}).take_value(),
            Value("tcp://" + worker->address() + "/PluginTeacher"));

  // A class the worker does not have, and a teacher asked for through the controller manager.
  try {
    run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
        "create_with_client", CallArgs{{}, Map{{"env_init", "NoSuchTeacher"}, {"version", "latest"}}})));
    FAIL();
  } catch (const RemoteError& e) {
    EXPECT_EQ(e.code(), tavrin_core::remote::error_code::unknown_class);
    EXPECT_THAT(e.what(), HasSubstr("NoSuchTeacher"));
    EXPECT_THAT(e.what(), HasSubstr(worker->address()));
  }
  EXPECT_THROW(run_sync(tavrin_core::await_result(link.call_remote_controller_mgr(
                   "create_with_client", CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}}))),
               RemoteError);
  run_sync(tavrin_core::await_result(link.stop_all()));
  link.stop_watchdogs();
}

// ---- timeouts and unreachable workers ----

// Accepts connections and reads whatever comes, never answering.
class SilentServer : public tavrin_test::LoopbackServer {
 public:
  SilentServer() {
    accept();
    run();
  }
  ~SilentServer() { stop(); }

 private:
  void accept() {
    auto socket = std::make_shared<asio::ip::tcp::socket>(ctx_);
    acceptor_.async_accept(*socket, [this, socket](std::error_code ec) {
      if (ec) return;
      sockets_.push_back(socket);
      drain(socket);
      accept();
    });
  }
  void drain(std::shared_ptr<asio::ip::tcp::socket> socket) {
    auto buf = std::make_shared<std::array<char, 4096>>();
    socket->async_read_some(asio::buffer(*buf), [this, socket, buf](std::error_code ec, std::size_t) {
      if (!ec) drain(socket);
    });
  }
  std::vector<std::shared_ptr<asio::ip::tcp::socket>> sockets_;
};

TEST(RemoteTimeouts, ACallWithoutAnswerTimesOutNamingTheWorkerAndTheMethod) {
  SilentServer silent;
  AsyncLink link{TrainerConfig(remote_config(silent.address(), /*call_timeout_ms=*/150, /*heartbeat_ms=*/0))};
  const auto start = std::chrono::steady_clock::now();
  try {
    run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
        "create_with_client", CallArgs{{}, Map{{"env_init", "inproc://PluginTeacher"}, {"version", "latest"}}})));
    ADD_FAILURE() << "no timeout";
  } catch (const tavrin_core::remote::RemoteTimeoutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("worker " + silent.address()));
    EXPECT_THAT(e.what(), HasSubstr("agent.create_with_client"));
    EXPECT_THAT(e.what(), HasSubstr("timed out after 150 ms"));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST(RemoteTimeouts, TheHeartbeatDropsAFrozenWorkerFailingWaitingCallsAndReconnectsWhenItIsBack) {
  auto worker = start_worker();
  // A call timeout far beyond the heartbeat's: only the heartbeat can end the waiting call.
  AsyncLink link{TrainerConfig(remote_config(worker->address(), /*call_timeout_ms=*/600000, /*heartbeat_ms=*/300))};
  Value reply = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
  auto teacher = reply[1].as<tavrin_core::AgentTeacher>();
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(1))), Value(2));

  worker->signal(SIGSTOP);  // its socket stays open, but nothing answers
  try {
    run_sync(teacher->transform_action(Value(), Value(1)));
    FAIL() << "a frozen worker answered";
  } catch (const RemoteError& e) {
    EXPECT_THAT(e.what(), HasSubstr("worker " + worker->address()));
    EXPECT_THAT(e.what(), HasSubstr("agent.transform_action"));
    EXPECT_THAT(e.what(), HasSubstr("stopped answering"));
  }

  worker->signal(SIGCONT);  // the same process with the same instances: reached again
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(5))), Value(6));

  // Without watchdogs a frozen worker is noticed only by the call timeout.
  link.stop_watchdogs();
  run_sync(tavrin_core::await_result(link.stop_all()));
}

TEST(RemoteTimeouts, AnUnreachableWorkerIsNamedAndStopAllHasNothingToStopThere) {
  // A port that was free a moment ago: nothing listens there.
  std::string address;
  {
    asio::io_context ctx;
    asio::ip::tcp::acceptor a(ctx, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    address = "127.0.0.1:" + std::to_string(a.local_endpoint().port());
  }
  AsyncLink link{TrainerConfig(remote_config(address))};
  try {
    run_sync(tavrin_core::await_result(link.call_remote_perceptor_mgr(
        "create_with_client", CallArgs{{}, Map{{"env_init", "PluginPerceptor"}, {"version", "latest"}}})));
    FAIL();
  } catch (const tavrin_core::remote::RemoteConnectError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reach worker " + address));
    EXPECT_THAT(e.what(), HasSubstr("perceptor.create_with_client"));
  }
  EXPECT_NO_THROW(run_sync(tavrin_core::await_result(link.stop_all())));
}

TEST(RemoteConfiguration, BadRemoteSettingsAreRejectedNamingTheField) {
  auto with_remote = [](Map remote, const Value& target = Value()) {
    Map config{{"remote", Value(std::move(remote))}};
    config.set("target", target.is_none() ? Value(Map{{"local", Value(Map{{"address", "127.0.0.1:1337"}})}}) : target);
    return TrainerConfig(std::move(config));
  };
  auto message = [](const TrainerConfig& config) -> std::string {
    try {
      AsyncLink link{config};
    } catch (const tavrin_inference::InvalidArgumentError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_THAT(message(with_remote(Map{{"call_timeout_ms", -1}})), HasSubstr("remote.call_timeout_ms"));
  EXPECT_THAT(message(with_remote(Map{{"transport", "udp"}})), HasSubstr("remote.transport"));
  EXPECT_THAT(message(with_remote(Map{{"retries", 3}})), HasSubstr("remote.retries: unknown field"));
  EXPECT_THAT(message(with_remote(Map{{"target", "lab"}})), HasSubstr("remote.target"));
  EXPECT_THAT(message(with_remote(Map{}, Value(Map{{"local", Value(Map{{"address", "nohost"}})}}))),
              HasSubstr("target.local.address"));
  EXPECT_THAT(message(with_remote(Map{{"classes", Value(Map{{"X", "nowhere"}})}})), HasSubstr("remote.classes.X"));
  EXPECT_EQ(message(with_remote(Map{{"heartbeat_interval_ms", 0}})), "accepted");
  // "inproc" keeps the managers in this process.
  AsyncLink inproc{with_remote(Map{{"transport", "inproc"}})};
  EXPECT_NE(std::dynamic_pointer_cast<tavrin_core::InProcessManager>(inproc.manager(ManagerKind::agent)), nullptr);
  // Routing: a class can have a target of its own.
  AsyncLink routed{with_remote(Map{{"classes", Value(Map{{"Far", "lab"}})}},
                               Value(Map{{"local", Value(Map{{"address", "127.0.0.1:1337"}})},
                                         {"lab", Value(Map{{"address", "10.1.2.3:9000"}})}}))};
  EXPECT_EQ(routed.call_remote_agent_mgr("get_tavrin_url", CallArgs{{Value("Far")}, {}}).take_value(),
            Value("tcp://10.1.2.3:9000/Far"));
  EXPECT_EQ(routed.call_remote_agent_mgr("get_tavrin_url", CallArgs{{Value("Near")}, {}}).take_value(),
            Value("tcp://127.0.0.1:1337/Near"));
}

// ---- bad input sent to a worker ----

struct RawConnection {
  explicit RawConnection(int port) : socket(ctx) {
    socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
  }
  void send_frame(const std::string& payload) {
    auto header = tavrin_core::remote::frame_header(static_cast<std::uint32_t>(payload.size()));
    asio::write(socket, asio::buffer(header));
    asio::write(socket, asio::buffer(payload));
  }
  void send_header(std::uint32_t size) { asio::write(socket, asio::buffer(tavrin_core::remote::frame_header(size))); }
  Json answer() {
    std::array<unsigned char, 4> header{};
    asio::read(socket, asio::buffer(header));
    std::string payload(tavrin_core::remote::frame_size(header.data()), '\0');
    asio::read(socket, asio::buffer(payload));
    return Json::parse(payload);
  }
  Json call(const std::string& payload) {
    send_frame(payload);
    return answer();
  }
  asio::io_context ctx;
  asio::ip::tcp::socket socket;
};

int error_code_of(const Json& answer) { return answer.at("error").at("code").get<int>(); }

TEST_F(RemoteWorker, BadFramesAndMalformedRequestsGetJsonRpcErrorsAndTheWorkerGoesOn) {
  namespace code = tavrin_core::remote::error_code;
  RawConnection c(worker->port());
  Json a = c.call("{not json");
  EXPECT_EQ(error_code_of(a), code::parse_error);
  EXPECT_TRUE(a.at("id").is_null());
  EXPECT_THAT(a["error"]["message"].get<std::string>(), HasSubstr("malformed JSON"));
  EXPECT_EQ(error_code_of(c.call("")), code::parse_error);
  EXPECT_EQ(error_code_of(c.call("[1, 2]")), code::invalid_request);
  EXPECT_EQ(error_code_of(c.call(R"({"id": 1, "method": "ping"})")), code::invalid_request);  // no "jsonrpc"
  EXPECT_EQ(error_code_of(c.call(R"({"jsonrpc": "2.0", "id": 2, "method": 7})")), code::invalid_request);
  EXPECT_EQ(error_code_of(c.call(R"({"jsonrpc": "2.0", "id": 3, "method": "ping", "params": [1]})")),
            code::invalid_request);
  Json unknown = c.call(R"({"jsonrpc": "2.0", "id": 4, "method": "no_such_method", "params": {}})");
  EXPECT_EQ(error_code_of(unknown), code::method_not_found);
  EXPECT_EQ(unknown["id"], 4);
  EXPECT_EQ(error_code_of(c.call(R"({"jsonrpc": "2.0", "id": 5, "method": "transform_action",
      "params": {"manager": "agent", "client": "agent-0-1", "args": [null, 1]}})")),
            code::unknown_client);
  EXPECT_EQ(error_code_of(c.call(R"({"jsonrpc": "2.0", "id": 6, "method": "create_with_client",
      "params": {"manager": "simulator", "kwargs": {"env_init": "PluginTeacher"}}})")),
            code::invalid_params);

  Json made = c.call(R"({"jsonrpc": "2.0", "id": "m", "method": "create_with_client",
      "params": {"manager": "agent", "kwargs": {"env_init": "PluginTeacher", "version": "latest"}}})");
  ASSERT_TRUE(made.contains("result")) << made.dump();
  EXPECT_EQ(made["id"], "m");
  EXPECT_EQ(made["result"]["version"], "2.1.0");
  const std::string client = made["result"]["client"].get<std::string>();
  auto hook = [&](const std::string& args) {
    return c.call(
        R"({"jsonrpc": "2.0", "id": 9, "method": "transform_action", "params": {"manager": "agent", "client": ")" +
        client + R"(", "args": )" + args + "}}");
  };
  EXPECT_EQ(hook("[null, 3]")["result"], 4);
  Json bad_array = hook(R"([null, {"$ndarray": {"dtype": "float16", "shape": [1], "data": [1]}}])");
  EXPECT_EQ(error_code_of(bad_array), code::invalid_params);
  EXPECT_THAT(bad_array["error"]["message"].get<std::string>(), HasSubstr("params.args[1].$ndarray.dtype"));
  EXPECT_EQ(error_code_of(hook(R"([null, {"$ndarray": {"dtype": "int8", "shape": [2], "data": [1]}}])")),
            code::invalid_params);
  EXPECT_EQ(error_code_of(hook(R"([null, {"$ndarray": {"dtype": "int8", "shape": [1], "data": [300]}}])")),
            code::invalid_params);
  EXPECT_EQ(error_code_of(hook("[1]")), code::invalid_params);  // one argument short
  EXPECT_EQ(
      error_code_of(c.call(
          R"({"jsonrpc": "2.0", "id": 10, "method": "compute_action", "params": {"manager": "agent", "client": ")" +
          client + R"(", "args": [null, null]}})")),
      code::method_not_found);  // not a teacher's hook
  // A notification (no id) gets no answer: the next answer is the ping's.
  c.send_frame(R"({"jsonrpc": "2.0", "method": "ping"})");
  EXPECT_EQ(c.call(R"({"jsonrpc": "2.0", "id": 11, "method": "ping"})")["id"], 11);

  // A frame longer than the limit cannot be skipped: an error, then the connection is closed.
  c.send_header(0xFFFFFFFFu);
  Json too_big = c.answer();
  EXPECT_EQ(error_code_of(too_big), code::invalid_request);
  EXPECT_THAT(too_big["error"]["message"].get<std::string>(), HasSubstr("exceeds the limit"));
  std::array<char, 1> byte{};
  std::error_code ec;
  asio::read(c.socket, asio::buffer(byte), ec);
  EXPECT_EQ(ec, asio::error::eof);

  // A connection dropped in the middle of a frame, then a fresh one: the worker still serves.
  {
    RawConnection partial(worker->port());
    partial.send_header(100);
    asio::write(partial.socket, asio::buffer(std::string("{\"jsonrpc\"")));
  }
  RawConnection fresh(worker->port());
  EXPECT_EQ(fresh.call(R"({"jsonrpc": "2.0", "id": 1, "method": "ping"})")["result"]["clients"], 1);
  EXPECT_TRUE(worker->running());
}

TEST(RemoteWorkerProgram, EndsCleanlyOnSigtermAndAfterStopAllWithExitOnStop) {
  auto worker = start_worker();
  EXPECT_EQ(worker->stop(SIGTERM), 0);  // exit status 0

  WorkerProcess once(
      {kWorker, "--port", "0", "--plugin", kPlugin, "--exit-on-stop", "--exit-with-parent", "--log-level", "off"});
  {
    AsyncLink link{TrainerConfig(remote_config(once.address()))};
    run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
        "create_with_client", CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
    run_sync(tavrin_core::await_result(link.stop_all()));
  }
  const int status = once.wait_exit(std::chrono::seconds(60));
  ASSERT_NE(status, -1) << "the worker did not end after stop_all";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A launcher that dies without stopping its worker (a crash, a killed test) leaves none behind.
TEST(RemoteWorkerProgram, EndsWithTheThreadThatStartedItUnderExitWithParent) {
  std::unique_ptr<WorkerProcess> worker;
  std::thread launcher([&worker] {
    worker = std::make_unique<WorkerProcess>(std::vector<std::string>{kWorker, "--port", "0", "--plugin", kPlugin,
                                                                      "--exit-with-parent", "--log-level", "off"});
  });
  launcher.join();
  ASSERT_TRUE(worker);

  const int status = worker->wait_exit(std::chrono::seconds(60));
  ASSERT_NE(status, -1) << "the worker outlived the thread that started it";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
