// The load and fault run of the remote workers, run by hand (not by ctest), on loopback only:
//
//   build/release/bench/remote_load_bench [--seconds 30] [--hosts 16] [--threads 4] [--kills 2]
//                                         [--down-ms 500]
//
// 16 PolicyHosts in 4 threads step the two-level hierarchy of tests/fixtures/remote/
// one_remote_teacher.json (the skill h2_leaf0 has its teacher in a worker) against one tavrin-worker
// over mutual TLS, for 30 seconds, while the worker is killed (SIGKILL) and restarted on its port
// twice. Next to each host an in-process reference host (one_local_teacher.json) steps the same
// observations: a remote step whose action differs from the reference's is a wrong action. A step
// that fails must fail with a RemoteError naming the worker's address. After every restart, each
// host's first step through the remote teacher that succeeds gives its reconnect time.
//
// Then, with the worker up: calls per second of 16 clients in 4 threads (the same hook, a small
// value) against a plaintext worker and against the TLS one, and the latency of one call of one
// client, plaintext and TLS in alternating batches (medians), with their ratio.
//
// Goals: no wrong action; every failure a clear error; every host stepping again within one second
// of the worker's return; TLS at most 1.3 times the plaintext latency. The exit status is 1 when a
// step gave a wrong action or an unclear error, or a host never stepped again. (bench/remote_bench's
// BM_TlsCost, on one core, is the steadier measure of that ratio.)
//
// A program of its own: built like the benchmarks, its main() takes the place of Google
// Benchmark's, which the link brings in only when no main is defined.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "bench/batch_timing.hpp"
#include "bench/remote_support.hpp"
#include "common/async.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"
#include "core_api/remote.hpp"
#include "host/policy_host.hpp"
#include "link/async_link.hpp"
#include "tests/fixtures/remote/tls_certificates.hpp"
#include "tests/fixtures/remote/worker_process.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
using batch_timing::median;
using tavrin_core::remote::RemoteError;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;
using tavrin_inference::Value;

struct Options {
  double seconds = 30;
  int hosts = 16;
  int threads = 4;
  int kills = 2;
  int down_ms = 500;
};

double ms_between(clock_type::time_point from, clock_type::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

Map remote_config(const std::string& address, const Value& tls) {
  Map remote{{"connect_timeout_ms", 1000}, {"call_timeout_ms", 5000}, {"heartbeat_interval_ms", 1000}};
  if (!tls.is_none()) remote.set("tls", tls);
  return Map{{"target", Value(Map{{"local", Value(Map{{"address", Value(address)}})}})},
             {"remote", Value(std::move(remote))}};
}

// One host, its reference, and what happened to its steps.
struct Host {
  Host(const Map& config, int seed) : remote(Value(config)), rng(static_cast<unsigned>(seed)) {
    run_sync(remote.load_orchestration(remote_bench::kFixtures + "one_remote_teacher.json"));
    run_sync(remote.package());
    run_sync(reference.load_orchestration(remote_bench::kFixtures + "one_local_teacher.json"));
    run_sync(reference.package());
  }
  PolicyHost remote;
  PolicyHost reference;
  std::mt19937 rng;
  std::uint64_t steps = 0, remote_steps = 0, failed = 0, wrong = 0, unclear = 0;
  std::map<std::string, std::uint64_t> failures;  // by what the message says happened
  std::string first_unclear;
  bool failing = false;
  std::vector<clock_type::time_point> recoveries;  // first successful remote step after failures
};

// What kind of failure a message reports ("cannot reach worker", "connection lost", ...).
std::string failure_kind(const std::string& message) {
  for (const char* kind : {"cannot reach worker", "connection lost", "timed out", "stopped answering"}) {
    if (message.find(kind) != std::string::npos) return kind;
  }
  return message.substr(0, 80);
}

asio::awaitable<void> drive(Host& host, std::string address, clock_type::time_point end) {
  std::uniform_real_distribution<float> logit(-5.0f, 5.0f);
  asio::steady_timer pause(co_await asio::this_coro::executor);
  while (clock_type::now() < end) {
    // The selector echoes these as its logits: most steps go through h2_leaf0, the remote teacher.
    const float a = logit(host.rng) + 3.0f, b = logit(host.rng), c = logit(host.rng);
    const bool through_worker = a > b && a > c;
    const Value obs(Map{{"root_logits", Value(NdArray::from_vector<float>({a, b, c}))}});
    const Value expected = co_await host.reference.execute(obs);
    std::string failure;
    try {
      const Value action = co_await host.remote.execute(obs);
      ++host.steps;
      if (through_worker) ++host.remote_steps;
      if (action != expected) ++host.wrong;
      if (through_worker && host.failing) {
        host.failing = false;
        host.recoveries.push_back(clock_type::now());
      }
      continue;
    } catch (const RemoteError& e) {
      failure = e.what();
      if (failure.find("worker " + address) == std::string::npos) ++host.unclear;
    } catch (const std::exception& e) {
      failure = e.what();
      ++host.unclear;
    }
    ++host.failed;
    host.failing = true;
    ++host.failures[failure_kind(failure)];
    if (host.unclear == 1 && host.first_unclear.empty()) host.first_unclear = failure;
    // A host that cannot reach its worker tries again a little later, as an application would.
    pause.expires_after(std::chrono::milliseconds(20));
    co_await pause.async_wait(asio::use_awaitable);
  }
}

// Runs `work(i)` for i in [0, n) on `threads` threads, each its own event loop.
template <class Work>
void on_threads(int n, int threads, Work work) {
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      asio::io_context ctx;
      for (int i = t; i < n; i += threads) asio::co_spawn(ctx, work(i), asio::detached);
      ctx.run();
    });
  }
  for (auto& thread : pool) thread.join();
}

// Hook calls per second of `clients` clients in `threads` threads, each with its own connection.
double calls_per_second(const Map& config, int clients, int threads, double seconds) {
  std::vector<std::unique_ptr<tavrin_inference::AsyncLink>> links;
  std::vector<std::shared_ptr<tavrin_core::AgentTeacher>> teachers;
  for (int i = 0; i < clients; ++i) {
    links.push_back(std::make_unique<tavrin_inference::AsyncLink>(tavrin_core::TrainerConfig(config)));
    teachers.push_back(remote_bench::remote_teacher(*links.back()));
  }
  std::atomic<std::uint64_t> calls{0};
  const auto start = clock_type::now();
  const auto end = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
  on_threads(clients, threads, [&](int i) -> asio::awaitable<void> {
    std::uint64_t n = 0;
    while (clock_type::now() < end) {
      co_await teachers[static_cast<std::size_t>(i)]->transform_action(Value(), Value(3));
      ++n;
    }
    calls += n;
  });
  const double rate =
      static_cast<double>(calls.load()) / std::chrono::duration<double>(clock_type::now() - start).count();
  for (auto& link : links) run_sync(tavrin_core::await_result(link->stop_all()));
  return rate;
}

// Median latency of one call (µs), plaintext and TLS, in alternating batches of one client each.
std::pair<double, double> latencies(const Map& plain, const Map& tls, double seconds) {
  tavrin_inference::AsyncLink plain_link{tavrin_core::TrainerConfig(plain)};
  tavrin_inference::AsyncLink tls_link{tavrin_core::TrainerConfig(tls)};
  auto plain_teacher = remote_bench::remote_teacher(plain_link);
  auto tls_teacher = remote_bench::remote_teacher(tls_link);
  std::vector<double> plain_batches, tls_batches;
  constexpr int kBatch = 64;
  const auto end =
      clock_type::now() + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
  run_sync([&]() -> asio::awaitable<void> {
    bool plain_first = true;
    while (clock_type::now() < end) {
      for (int side = 0; side < 2; ++side) {
        const bool plain_turn = (side == 0) == plain_first;
        auto& teacher = plain_turn ? plain_teacher : tls_teacher;
        const auto start = clock_type::now();
        for (int i = 0; i < kBatch; ++i) co_await teacher->transform_action(Value(), Value(3));
        (plain_turn ? plain_batches : tls_batches).push_back(ms_between(start, clock_type::now()) * 1000 / kBatch);
      }
      plain_first = !plain_first;
    }
  }());
  run_sync(tavrin_core::await_result(plain_link.stop_all()));
  run_sync(tavrin_core::await_result(tls_link.stop_all()));
  return {median(plain_batches), median(tls_batches)};
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Load and fault run of the remote workers (loopback, TLS): see the top of bench/remote_load_bench.cpp",
               "remote_load_bench"};
  app.add_option("--seconds", o.seconds, "length of the fault run (a shorter run for a quick look)")
      ->check(CLI::Range(2.0, 600.0))
      ->capture_default_str();
  app.add_option("--hosts", o.hosts, "hosts stepping")->check(CLI::Range(1, 64))->capture_default_str();
  app.add_option("--threads", o.threads, "threads they step on")->check(CLI::Range(1, 16))->capture_default_str();
  app.add_option("--kills", o.kills, "times the worker is killed and restarted")
      ->check(CLI::Range(0, 10))
      ->capture_default_str();
  app.add_option("--down-ms", o.down_ms, "how long the worker stays down each time")
      ->check(CLI::Range(0, 5000))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as soon as it is known

  tavrin_core::set_log_level(tavrin_core::LogLevel::error);
  tavrin_core::ImplementationRegistry::instance().load_plugin(remote_bench::kPlugin);
  tavrin_test::TlsCertificates certs;
  const Value tls(Map{{"ca", Value(certs.file("ca.pem"))},
                      {"cert", Value(certs.file("host.pem"))},
                      {"key", Value(certs.file("host.key"))}});
  const std::vector<std::string> base{remote_bench::kWorker, "--port",      "0",    "--plugin", remote_bench::kPlugin,
                                      "--exit-with-parent",  "--log-level", "error"};
  std::vector<std::string> secure_args = base;
  secure_args.insert(secure_args.end(), {"--tls-cert", certs.file("worker.pem"), "--tls-key", certs.file("worker.key"),
                                         "--tls-client-ca", certs.file("ca.pem")});
  tavrin_test::WorkerProcess worker(secure_args);
  const std::string address = worker.address();
  const Map config = remote_config(address, tls);

  std::printf(
      "remote load and fault run: %d hosts in %d threads, %.0f s, mutual TLS, worker %s killed and restarted "
      "%d times (down %d ms each)\n",
      o.hosts, o.threads, o.seconds, address.c_str(), o.kills, o.down_ms);
  std::vector<std::unique_ptr<Host>> hosts;
  hosts.reserve(static_cast<std::size_t>(o.hosts));
  for (int i = 0; i < o.hosts; ++i) hosts.push_back(std::make_unique<Host>(config, i + 1));

  const auto start = clock_type::now();
  const auto end = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o.seconds));
  std::thread steppers([&] {
    on_threads(o.hosts, o.threads, [&](int i) { return drive(*hosts[static_cast<std::size_t>(i)], address, end); });
  });
  // Killed and restarted from this thread: the worker ends with the thread that started it.
  std::vector<clock_type::time_point> returns;
  for (int k = 1; k <= o.kills; ++k) {
    std::this_thread::sleep_until(start + (end - start) * k / (o.kills + 1));
    worker.stop(SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.down_ms));
    worker.restart();
    returns.push_back(clock_type::now());
  }
  steppers.join();

  std::uint64_t steps = 0, remote_steps = 0, failed = 0, wrong = 0, unclear = 0;
  std::map<std::string, std::uint64_t> failures;
  std::string first_unclear;
  for (const auto& h : hosts) {
    steps += h->steps;
    remote_steps += h->remote_steps;
    failed += h->failed;
    wrong += h->wrong;
    unclear += h->unclear;
    for (const auto& [kind, n] : h->failures) failures[kind] += n;
    if (first_unclear.empty()) first_unclear = h->first_unclear;
  }
  const double run_seconds = std::chrono::duration<double>(end - start).count();
  std::printf(
      "steps done: %llu (%.0f per second; %llu through the remote teacher), steps failed: %llu, wrong actions: "
      "%llu, unclear errors: %llu\n",
      static_cast<unsigned long long>(steps), static_cast<double>(steps) / run_seconds,
      static_cast<unsigned long long>(remote_steps), static_cast<unsigned long long>(failed),
      static_cast<unsigned long long>(wrong), static_cast<unsigned long long>(unclear));
  for (const auto& [kind, n] : failures)
    std::printf("  failed: %llu x %s\n", static_cast<unsigned long long>(n), kind.c_str());
  if (!first_unclear.empty()) std::printf("  first unclear error: %s\n", first_unclear.c_str());

  bool recovered = true;
  double worst = 0;
  for (std::size_t k = 0; k < returns.size(); ++k) {
    std::vector<double> delays;
    int missing = 0;
    for (const auto& h : hosts) {
      auto it = std::lower_bound(h->recoveries.begin(), h->recoveries.end(), returns[k]);
      if (it == h->recoveries.end() || (k + 1 < returns.size() && *it > returns[k + 1])) {
        ++missing;
        continue;
      }
      delays.push_back(ms_between(returns[k], *it));
    }
    if (missing > 0) recovered = false;
    std::sort(delays.begin(), delays.end());
    const double max = delays.empty() ? 0 : delays.back();
    worst = std::max(worst, max);
    std::printf(
        "restart %zu (at %.1f s): hosts stepping again after %.1f ms (first) / %.1f ms (median) / %.1f ms "
        "(last)%s\n",
        k + 1, std::chrono::duration<double>(returns[k] - start).count(), delays.empty() ? 0 : delays.front(),
        median(delays), max, missing ? (", " + std::to_string(missing) + " hosts never").c_str() : "");
  }
  for (auto& h : hosts) run_sync(h->remote.close());
  hosts.clear();

  tavrin_test::WorkerProcess plain_worker(base);
  const Map plain_config = remote_config(plain_worker.address(), Value());
  const double phase = std::max(1.0, o.seconds / 10);
  const double plain_rate = calls_per_second(plain_config, o.hosts, o.threads, phase);
  const double tls_rate = calls_per_second(config, o.hosts, o.threads, phase);
  std::printf("calls per second (%d clients in %d threads, a small value): plaintext %.0f, TLS %.0f\n", o.hosts,
              o.threads, plain_rate, tls_rate);
  const auto [plain_us, tls_us] = latencies(plain_config, config, phase);
  std::printf(
      "one call (one client, a small value, medians of alternating batches): plaintext %.1f us, TLS %.1f us, "
      "ratio %.2f\n",
      plain_us, tls_us, tls_us / plain_us);

  const bool fast_enough = recovered && worst <= 1000;
  std::printf(
      "goals: wrong actions 0: %s; every failure a clear error: %s; every host stepping again within 1 s: %s; "
      "TLS at most 1.3x plaintext: %s\n",
      wrong == 0 ? "met" : "NOT MET", unclear == 0 ? "met" : "NOT MET", fast_enough ? "met" : "NOT MET",
      tls_us <= 1.3 * plain_us ? "met" : "NOT MET");
  return wrong == 0 && unclear == 0 && recovered ? 0 : 1;
}
