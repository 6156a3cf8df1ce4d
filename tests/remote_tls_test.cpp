// TLS between hosts and tavrin-worker processes, with certificates made by the openssl command when
// the suite starts: mutual TLS accepted and refused, every handshake failure named on both sides
// (the host's error, the worker's log), plaintext refused outside the loopback range, the TLS
// configuration's errors, and a host that steps again after its TLS worker was restarted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "core_api/remote.hpp"
#include "host/policy_host.hpp"
#include "link/async_link.hpp"
#include "support/test_paths.hpp"
#include "support/tool_process.hpp"
#include "tests/fixtures/remote/tls_certificates.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using namespace tavrin_core;
using namespace tavrin_core::remote;
using namespace tavrin_inference;
using namespace tavrin_test;
using ::testing::AllOf;
using ::testing::HasSubstr;

const std::string kWorker = tavrin_test::worker_path();
const std::string kPlugin = tavrin_test::test_plugin_path();
const std::string kFixtures = tavrin_test::source_dir() + "/tests/fixtures/remote/";

Value sensors(float a, float b, float c) {
  return Value(Map{{"root_logits", Value(NdArray::from_vector<float>({a, b, c}))}});
}

struct Tls : ::testing::Test {
  static void SetUpTestSuite() {
    ASSERT_TRUE(std::filesystem::exists(kWorker)) << kWorker << " is not built (target tavrin-worker)";
    tavrin_core::ImplementationRegistry::instance().load_plugin(kPlugin);
    certs = new TlsCertificates();
  }
  static void TearDownTestSuite() {
    delete certs;
    certs = nullptr;
  }
  static std::string file(const std::string& name) { return certs->file(name); }

  // A worker whose log goes to a file of its own; `extra` are its TLS (or other) options.
  std::unique_ptr<WorkerProcess> start_worker(const std::string& name, std::vector<std::string> extra) {
    std::vector<std::string> argv{kWorker,       "--port", "0", "--plugin", kPlugin, "--exit-with-parent",
                                  "--log-level", "warning"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<WorkerProcess>(argv, log_of(name));
  }
  static std::vector<std::string> serving(const std::string& cert, bool require_client_certificates) {
    std::vector<std::string> args{"--tls-cert", file(cert + ".pem"), "--tls-key", file(cert + ".key")};
    if (require_client_certificates) args.insert(args.end(), {"--tls-client-ca", file("ca.pem")});
    return args;
  }
  static std::string log_of(const std::string& worker) { return certs->dir() + "/" + worker + ".log"; }
  // Waits (a little) for the worker's log to hold `text`; the log as it is then.
  static std::string log_with(const std::string& worker, const std::string& text) {
    std::string log;
    for (int i = 0; i < 500; ++i) {
      log = tavrin_test::read_file(log_of(worker));
      if (log.find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return log;
  }

  // The host's TLS: the CA, and its own certificate unless `identity` is empty.
  static Map tls(const std::string& ca = "ca", const std::string& identity = "host") {
    Map t{{"ca", Value(file(ca + ".pem"))}};
    if (!identity.empty()) {
      t.set("cert", Value(file(identity + ".pem")));
      t.set("key", Value(file(identity + ".key")));
    }
    return t;
  }
  static Map config(const std::string& address, const Value& tls_settings) {
    Map remote{{"connect_timeout_ms", 10000}, {"call_timeout_ms", 30000}, {"heartbeat_interval_ms", 1000}};
    if (!tls_settings.is_none()) remote.set("tls", tls_settings);
    return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(address)}})}})},
               {"remote", Value(std::move(remote))}};
  }
  // What creating a teacher through `config` fails with ("created" when it does not fail).
  static std::string create_failure(const Map& configuration) {
    AsyncLink link{TrainerConfig(configuration)};
    try {
      run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
          "create_with_client", CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
    } catch (const RemoteConnectError& e) {
      return e.what();
    }
    run_sync(tavrin_core::await_result(link.stop_all()));
    return "created";
  }

  static TlsCertificates* certs;
};
TlsCertificates* Tls::certs = nullptr;

TEST_F(Tls, MutualTlsAdmitsAHostWithACertificateOfTheCaAndRefusesOthersWhileServingOn) {
  auto worker = start_worker("mutual", serving("worker", true));
  const std::string address = worker->address();

  PolicyHost host{Value(config(address, Value(tls())))};
  run_sync(host.load_orchestration(kFixtures + "remote_hierarchy.json"));
  run_sync(host.package());
  EXPECT_EQ(run_sync(host.execute(sensors(5, 0, 0))), Value(1));  // the remote teacher adds one

  // No certificate: refused by the worker, which says so in its log.
  EXPECT_THAT(create_failure(config(address, Value(tls("ca", "")))),
              AllOf(HasSubstr("cannot reach worker " + address + " for agent.create_with_client"),
                    HasSubstr("the worker requires a client certificate")));
  EXPECT_THAT(log_with("mutual", "presented no certificate"),
              AllOf(HasSubstr("TLS handshake with 127.0.0.1:"),
                    HasSubstr("the client presented no certificate (--tls-client-ca requires one)")));

  // A certificate of another CA.
  EXPECT_THAT(create_failure(config(address, Value(tls("ca", "other-host")))),
              AllOf(HasSubstr("cannot reach worker " + address),
                    HasSubstr("TLS handshake failed: the worker refused this host's certificate")));
  EXPECT_THAT(log_with("mutual", "not trusted"),
              HasSubstr("the client's certificate is not trusted by --tls-client-ca"));

  // The admitted host goes on stepping.
  EXPECT_EQ(run_sync(host.execute(sensors(0, 5, 0))), Value(2));
  EXPECT_EQ(run_sync(host.execute(sensors(0, 0, 5))), Value(2));
  run_sync(host.close());
}

TEST_F(Tls, TheHostRefusesAWorkerWhoseCertificateItCannotTrustNamingTheReason) {
  auto worker = start_worker("checked", serving("worker", false));
  const std::string address = worker->address();
  // Trusted, and its name checked: the address's host, or the configured server name.
  EXPECT_EQ(create_failure(config(address, Value(tls()))), "created");
  EXPECT_EQ(create_failure(config("localhost:" + std::to_string(worker->port()), Value(tls()))), "created");

  EXPECT_THAT(create_failure(config(address, Value(tls("other-ca")))),
              AllOf(HasSubstr("cannot reach worker " + address),
                    HasSubstr("the worker's certificate is not trusted by remote.tls.ca")));
  EXPECT_THAT(log_with("checked", "refused the handshake"), HasSubstr("the client refused the handshake"));

  Map elsewhere = tls();
  elsewhere.set("server_name", Value("elsewhere.example"));
  EXPECT_THAT(create_failure(config(address, Value(elsewhere))),
              HasSubstr("the worker's certificate is not for 'elsewhere.example'"));

  auto expired = start_worker("expired", serving("expired-worker", false));
  EXPECT_THAT(
      create_failure(config(expired->address(), Value(tls()))),
      AllOf(HasSubstr("cannot reach worker " + expired->address()), HasSubstr("the worker's certificate has expired")));

  // A certificate for another name, reached under the name it is for.
  auto other = start_worker("elsewhere", serving("elsewhere-worker", false));
  EXPECT_THAT(create_failure(config(other->address(), Value(tls()))),
              HasSubstr("the worker's certificate is not for '127.0.0.1'"));
  EXPECT_EQ(create_failure(config(other->address(), Value(elsewhere))), "created");
}

TEST_F(Tls, PlaintextAndTlsMeetingAreNamedOnBothSides) {
  auto secure = start_worker("secure", serving("worker", true));
  auto plain = start_worker("plain", {});

  EXPECT_THAT(create_failure(config(secure->address(), Value())),
              AllOf(HasSubstr("cannot reach worker " + secure->address()), HasSubstr("TLS")));
  EXPECT_THAT(log_with("secure", "does not speak TLS"), HasSubstr("the client does not speak TLS"));

  EXPECT_THAT(create_failure(config(plain->address(), Value(tls()))),
              AllOf(HasSubstr("cannot reach worker " + plain->address()),
                    HasSubstr("TLS handshake failed: the worker closed the connection")));
  EXPECT_THAT(log_with("plain", "speaks TLS"), HasSubstr("the client speaks TLS, but this worker serves plaintext"));

  // Both go on serving what fits them.
  EXPECT_EQ(create_failure(config(secure->address(), Value(tls()))), "created");
  EXPECT_EQ(create_failure(config(plain->address(), Value())), "created");
}

TEST_F(Tls, TlsTargetsAndUrlsNeedTlsSettingsAndBadSettingsAreRefusedNamingTheField) {
  auto worker = start_worker("urls", serving("worker", false));
  const std::string address = worker->address();
  // A tls:// target: its URLs say so, and a tls:// env_init reaches the worker.
  Map configuration = config("tls://" + address, Value(tls()));
  AsyncLink link{TrainerConfig(configuration)};
  EXPECT_EQ(link.call_remote_agent_mgr("get_tavrin_url", CallArgs{{Value("PluginTeacher")}, {}}).take_value(),
            Value("tls://" + address + "/PluginTeacher"));
  Value made = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client",
      CallArgs{{}, Map{{"env_init", Value("tls://" + address + "/PluginTeacher")}, {"version", "latest"}}})));
  EXPECT_EQ(run_sync(made[1].as<tavrin_core::AgentTeacher>()->transform_action(Value(), Value(1))), Value(2));
  run_sync(tavrin_core::await_result(link.stop_all()));

  // A tls:// env_init without TLS settings is refused before anything is sent.
  AsyncLink plain{TrainerConfig(config(address, Value()))};
  EXPECT_THROW(
      run_sync(tavrin_core::await_result(plain.call_remote_agent_mgr(
          "create_with_client", CallArgs{{}, Map{{"env_init", Value("tls://" + address + "/PluginTeacher")}}}))),
      InvalidArgumentError);

  auto refused = [](const Map& c) -> std::string {
    try {
      AsyncLink l{TrainerConfig(c)};
    } catch (const InvalidArgumentError& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_THAT(refused(config("tls://" + address, Value())),
              HasSubstr("target.local.address: 'tls://" + address + "' asks for TLS"));
  EXPECT_THAT(refused(config(address, Value(Map{{"cert", Value(file("host.pem"))}}))), HasSubstr("remote.tls.ca"));
  EXPECT_THAT(refused(config(address, Value(Map{{"ca", Value(file("ca.pem"))}, {"cert", Value(file("host.pem"))}}))),
              HasSubstr("'cert' and 'key' go together"));
  EXPECT_THAT(refused(config(address, Value(Map{{"ca", Value(certs->dir() + "/missing.pem")}}))),
              HasSubstr("remote.tls.ca: '" + certs->dir() + "/missing.pem' is not a file"));
  EXPECT_THAT(refused(config(address, Value(Map{{"ca", Value(file("host.key"))}}))),
              HasSubstr("remote.tls.ca: '" + file("host.key") + "' cannot be loaded"));
  Map mismatched = tls();
  mismatched.set("key", Value(file("worker.key")));
  EXPECT_THAT(refused(config(address, Value(mismatched))), HasSubstr("does not belong to the certificate"));
  EXPECT_THAT(refused(config(address, Value(Map{{"ca", Value(file("ca.pem"))}, {"verify", false}}))),
              HasSubstr("remote.tls.verify: unknown field"));
  // A target's own TLS settings.
  Map per_target{{"target", Value(Map{{"local", Value(Map{{"address", Value("tls://" + address)},
                                                          {"tls", Value(Map{{"ca", Value(file("missing"))}})}})}})},
                 {"remote", Value(Map{})}};
  EXPECT_THAT(refused(per_target), HasSubstr("target.local.tls.ca"));
}

TEST_F(Tls, AWorkerRefusesPlaintextOutsideTheLoopbackRangeUnlessTold) {
  const std::string log = log_of("exposed");
  EXPECT_THROW(WorkerProcess({kWorker, "--host", "0.0.0.0", "--port", "0", "--exit-with-parent"}, log),
               std::runtime_error);  // it ends before it listens
  EXPECT_THAT(tavrin_test::read_file(log),
              AllOf(HasSubstr("refusing to serve plaintext on 0.0.0.0:0, outside the loopback range"),
                    HasSubstr("--insecure")));
  EXPECT_THROW(WorkerProcess({kWorker, "--port", "0", "--tls-cert", file("worker.pem"), "--exit-with-parent"}, log),
               std::runtime_error);
  EXPECT_THAT(tavrin_test::read_file(log), HasSubstr("a certificate and its key are both needed"));

  WorkerProcess insecure({kWorker, "--host", "0.0.0.0", "--port", "0", "--insecure", "--exit-with-parent"}, log);
  WorkerProcess secure({kWorker, "--host", "0.0.0.0", "--port", "0", "--exit-with-parent", "--tls-cert",
                        file("worker.pem"), "--tls-key", file("worker.key")},
                       log);
  EXPECT_TRUE(insecure.running());
  EXPECT_TRUE(secure.running());
}

TEST_F(Tls, AHostStepsAgainAfterItsTlsWorkerRestartedAndConcurrentCallsMakeOneNewInstance) {
  auto worker = start_worker("restarted", serving("worker", true));
  PolicyHost host{Value(config(worker->address(), Value(tls())))};
  run_sync(host.load_orchestration(kFixtures + "remote_hierarchy.json"));
  run_sync(host.package());
  EXPECT_EQ(run_sync(host.execute(sensors(5, 0, 0))), Value(1));

  AsyncLink link{TrainerConfig(config(worker->address(), Value(tls())))};
  Value made = run_sync(tavrin_core::await_result(link.call_remote_agent_mgr(
      "create_with_client", CallArgs{{}, Map{{"env_init", "PluginTeacher"}, {"version", "latest"}}})));
  auto teacher = made[1].as<tavrin_core::AgentTeacher>();

  worker->stop(SIGKILL);
  EXPECT_THROW(run_sync(host.execute(sensors(5, 0, 0))), RemoteError);
  worker->restart();
  EXPECT_EQ(run_sync(host.execute(sensors(5, 0, 0))), Value(1));
  EXPECT_EQ(run_sync(host.execute(sensors(0, 5, 0))), Value(2));
  EXPECT_EQ(run_sync(host.execute(sensors(0, 0, 5))), Value(2));

  // Several threads call the same proxy at once, each finding its instance gone: one new instance.
  std::vector<std::thread> callers;
  std::vector<Value> answers(6);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    callers.emplace_back([&, i] { answers[i] = run_sync(teacher->transform_action(Value(), Value(int(i)))); });
  }
  for (auto& t : callers) t.join();
  for (std::size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i], Value(int(i) + 1));
  const auto& connection = std::dynamic_pointer_cast<tavrin_core::remote::RemoteTeacher>(teacher)->handle().client();
  const auto ping = run_sync(connection->call("ping", tavrin_core::remote::Json::object(), "ping"));
  EXPECT_EQ(ping["clients"].get<int>(), 1 + 1 + 4 + 1);  // the host's six, and the proxy's one
  run_sync(host.close());
  run_sync(tavrin_core::await_result(link.stop_all()));
}

}  // namespace
