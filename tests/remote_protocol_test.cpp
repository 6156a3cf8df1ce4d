// The protocol's handshake and the worker's scheduling: "hello" with a version the other side does
// not speak ends the connection naming both versions, on either side; a worker from before the
// handshake is still served; a hook that runs ten heartbeat intervals keeps its connection, while
// the hooks of one connection still run one after the other. The worker here is a WorkerServer in
// this process, serving a slow teacher registered by the test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "link/async_link.hpp"
#include "support/log_capture.hpp"
#include "support/loopback_server.hpp"

namespace {

using namespace tavrin_core;
using namespace tavrin_core::remote;
using namespace tavrin_inference;
using namespace ::testing;
using tavrin_inference::Value;
namespace code = tavrin_core::remote::error_code;

// What the slow teacher and the test did, in order.
class Events {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> all() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  void wait_for(const std::string& event) const {
    for (int i = 0; i < 3000; ++i) {
      {
        std::lock_guard lock(mutex_);
        if (std::find(events_.begin(), events_.end(), event) != events_.end()) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};
Events events;

// Blocks its thread for as many milliseconds as the action says (a synchronous, slow computation).
class SlowTeacher : public tavrin_core::AgentTeacher {
 public:
  std::string class_name() const override { return "SlowTeacher"; }
  asio::awaitable<Value> transform_action(const Value&, Value action) override {
    const auto ms = action.as_int();
    events.add("start " + std::to_string(ms));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    events.add("end " + std::to_string(ms));
    co_return action;
  }
};

// A WorkerServer on a free loopback port, its event loop on a thread of its own.
class InProcessWorker {
 public:
  InProcessWorker() : server_(ctx_, options()) {
    server_.start();
    thread_ = std::thread([this] { ctx_.run(); });
  }
  ~InProcessWorker() {
    asio::post(ctx_, [this] {
      server_.stop();
      ctx_.stop();
    });
    thread_.join();
  }
  std::string address() const { return server_.address(); }
  std::uint16_t port() const { return server_.port(); }

 private:
  static tavrin_core::remote::WorkerServerOptions options() {
    tavrin_core::remote::WorkerServerOptions o;
    o.port = 0;
    return o;
  }
  asio::io_context ctx_;
  tavrin_core::remote::WorkerServer server_;
  std::thread thread_;
};

// A stand-in for a worker written by someone else: answers each request as `script` says (null:
// no answer).
class ScriptedWorker : public tavrin_test::LoopbackServer {
 public:
  explicit ScriptedWorker(std::function<Json(const Json&)> script) : script_(std::move(script)) {
    asio::co_spawn(ctx_, accept(), asio::detached);
    run();
  }
  ~ScriptedWorker() { stop(); }

 private:
  asio::awaitable<void> accept() {
    for (;;) {
      auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
      asio::co_spawn(ctx_, serve(std::move(socket)), asio::detached);
    }
  }
  asio::awaitable<void> serve(asio::ip::tcp::socket socket) {
    try {
      for (;;) {
        std::array<unsigned char, 4> header{};
        co_await asio::async_read(socket, asio::buffer(header), asio::use_awaitable);
        std::string payload(tavrin_core::remote::frame_size(header.data()), '\0');
        co_await asio::async_read(socket, asio::buffer(payload), asio::use_awaitable);
        const Json answer = script_(Json::parse(payload));
        if (answer.is_null()) continue;
        std::string frame;
        tavrin_core::remote::write_frame(frame, answer.dump());
        co_await asio::async_write(socket, asio::buffer(frame), asio::use_awaitable);
      }
    } catch (const std::exception&) {
    }
  }
  std::function<Json(const Json&)> script_;
};

Json answer(const Json& request, Json result) {
  return Json::object({{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", std::move(result)}});
}
Json error(const Json& request, int error_code, const std::string& message) {
  return Json::object({{"jsonrpc", "2.0"},
                       {"id", request["id"]},
                       {"error", Json::object({{"code", error_code}, {"message", message}})}});
}

tavrin_core::remote::RemoteOptions quick_options() {
  tavrin_core::remote::RemoteOptions o;
  o.connect_timeout = std::chrono::milliseconds(10000);
  o.call_timeout = std::chrono::milliseconds(30000);
  o.heartbeat_interval = std::chrono::milliseconds(0);
  return o;
}

TEST(RemoteHandshake, AWorkerSpeakingAnotherVersionIsRefusedNamingBothVersions) {
  ScriptedWorker newer([](const Json& request) {
    return request["method"] == "hello" ? answer(request, Json::object({{"protocol", 3}})) : answer(request, 0);
  });
  auto client = WorkerClient::create(newer.address(), quick_options());
  try {
    run_sync(client->call("ping", Json::object(), "ping"));
    FAIL() << "a worker of another protocol version was used";
  } catch (const RemoteConnectError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reach worker " + newer.address()));
    EXPECT_THAT(e.what(), HasSubstr("protocol version mismatch: this client speaks version 2, the worker speaks "
                                    "version 3"));
  }
}

TEST(RemoteHandshake, AWorkerFromBeforeTheHandshakeIsStillServed) {
  ScriptedWorker older([](const Json& request) {
    if (request["method"] == "hello") return error(request, code::method_not_found, "unknown method 'hello'");
    return answer(request, Json::object({{"clients", 0}, {"version", "old"}}));
  });
  auto client = WorkerClient::create(older.address(), quick_options());
  EXPECT_EQ(run_sync(client->call("ping", Json::object(), "ping"))["version"], "old");
  EXPECT_EQ(client->protocol(), 1);
}

TEST(RemoteHandshake, AClientSpeakingAnotherVersionGetsAnErrorNamingBothAndTheConnectionEnds) {
  tavrin_test::LogCapture log;
  InProcessWorker worker;
  asio::io_context ctx;
  asio::ip::tcp::socket socket(ctx);
  socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), worker.port()));
  auto exchange = [&](const std::string& request) {
    std::string frame;
    tavrin_core::remote::write_frame(frame, request);
    asio::write(socket, asio::buffer(frame));
    std::array<unsigned char, 4> header{};
    asio::read(socket, asio::buffer(header));
    std::string payload(tavrin_core::remote::frame_size(header.data()), '\0');
    asio::read(socket, asio::buffer(payload));
    return Json::parse(payload);
  };
  // Requests before any hello are served (clients from before the handshake).
  EXPECT_EQ(exchange(R"({"jsonrpc": "2.0", "id": 1, "method": "ping"})")["result"]["clients"], 0);
  EXPECT_EQ(
      exchange(R"({"jsonrpc": "2.0", "id": 2, "method": "hello", "params": {"protocol": 2}})")["result"]["protocol"],
      2);

  const Json refused = exchange(R"({"jsonrpc": "2.0", "id": 3, "method": "hello", "params": {"protocol": 99}})");
  EXPECT_EQ(refused["error"]["code"], code::protocol_mismatch);
  EXPECT_EQ(refused["error"]["message"],
            "protocol version mismatch: the client speaks version 99, this worker speaks version 2");
  EXPECT_EQ(refused["error"]["data"]["protocol"], 2);
  std::array<char, 1> byte{};
  std::error_code ec;
  asio::read(socket, asio::buffer(byte), ec);
  EXPECT_EQ(ec, asio::error::eof);
  const auto warnings = log.messages("warning", "tavrin_core.remote.worker");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("connection from 127.0.0.1:"));
  EXPECT_THAT(warnings[0], HasSubstr("the client speaks version 99, this worker speaks version 2"));
}

TEST(RemoteSlowHooks, AHookOfTenHeartbeatIntervalsCompletesAndOneConnectionsHooksStillRunInOrder) {
  tavrin_core::ImplementationRegistry::instance().register_agent_impl("SlowTeacher",
                                                                      [] { return std::make_shared<SlowTeacher>(); });
  InProcessWorker worker;
  AsyncLink link{TrainerConfig(
      Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(worker.address())}})}})},
          {"remote",
           Value(Map{{"connect_timeout_ms", 10000}, {"call_timeout_ms", 30000}, {"heartbeat_interval_ms", 50}})}})};
  Value made = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", CallArgs{{}, Map{{"env_init", "SlowTeacher"}, {"version", "latest"}}})));
  auto teacher = made[1].as<tavrin_core::AgentTeacher>();
  const auto& client = std::dynamic_pointer_cast<tavrin_core::remote::RemoteTeacher>(teacher)->handle().client();

  // Half a second is ten intervals: the heartbeat gives up on a worker after three without answer.
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(500))), Value(500));

  // Two hooks on the one connection, the second sent while the first runs; a ping meanwhile.
  std::thread slow([&] { run_sync(teacher->transform_action(Value(), Value(300))); });
  events.wait_for("start 300");
  std::thread quick([&] { run_sync(teacher->transform_action(Value(), Value(0))); });
  run_sync(client->call("ping", Json::object(), "ping"));
  events.add("ping answered");
  slow.join();
  quick.join();
  EXPECT_THAT(events.all(),
              ElementsAre("start 500", "end 500", "start 300", "ping answered", "end 300", "start 0", "end 0"));
  EXPECT_EQ(client->connections(), 1u);  // never dropped
  run_sync(tavrin_core::await_result(link.stop_all()));
  link.stop_watchdogs();
}

}  // namespace
