#pragma once
// Shared pieces of the bad-input tests: a sandbox folder holding copies of the hierarchy and skill
// fixtures (orchestrations next to their models, as in tests/fixtures), snapshots of every file in
// a folder (size, modification time and content hash) to prove that nothing was written, the error
// a failing host call raised (kind, message and causes), and the action a clean host gives for an
// observation, to prove that a host which saw bad input still gives the right answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "tests/support/selector_test_support.hpp"
#include "tests/support/temp_dir.hpp"

namespace bad_input {

namespace fs = std::filesystem;
using selector_test::ErrorLink;
using selector_test::kFixtures;
using selector_test::kHierarchy;
using selector_test::kModels;
using selector_test::numbers;
using selector_test::three_level_sensors;
using selector_test::two_level_sensors;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::PolicyHost;
using tavrin_inference::run_sync;
using tavrin_inference::Value;

// ---- files ----------------------------------------------------------------------------------

inline std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_text(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// What a snapshot records of one file.
struct FileState {
  std::uintmax_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t hash = 0;  // FNV-1a over the content
  bool operator==(const FileState&) const = default;
};
using Snapshot = std::map<std::string, FileState>;  // keyed by the path relative to the folder

inline std::uint64_t content_hash(const fs::path& path) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : read_text(path)) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Every regular file below `dir` (directories appear as entries of size 0 and hash 0).
inline Snapshot snapshot_of(const fs::path& dir) {
  Snapshot out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    FileState state;
    const auto rel = fs::relative(entry.path(), dir).generic_string();
    state.mtime_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(entry.last_write_time().time_since_epoch()).count();
    if (entry.is_regular_file()) {
      state.size = entry.file_size();
      state.hash = content_hash(entry.path());
    }
    out[rel] = state;
  }
  return out;
}

// The files of `before` that are gone from `after` or that `same` finds changed there, one per
// line; with `report_added`, also the files only `after` has. Empty when none.
template <typename Same>
std::string snapshot_changes(const Snapshot& before, const Snapshot& after, Same same, bool report_added) {
  std::string out;
  for (const auto& [path, state] : before) {
    const auto it = after.find(path);
    if (it == after.end()) {
      out += "removed: " + path + "\n";
    } else if (!same(it->second, state)) {
      out += "changed: " + path + "\n";
    }
  }
  if (!report_added) return out;
  for (const auto& [path, state] : after) {
    if (before.count(path) == 0) out += "added: " + path + "\n";
  }
  return out;
}

// The files that were added, removed or changed between two snapshots, one per line; empty when none.
inline std::string changes_between(const Snapshot& before, const Snapshot& after) {
  return snapshot_changes(
      before, after, [](const FileState& a, const FileState& b) { return a == b; }, true);
}

// A fresh folder laid out like tests/fixtures: hierarchy/ and skill/ orchestrations whose
// checkpoints ("../models") point at models/, which holds copies of the models they use. Removed
// with the object.
class Sandbox {
 public:
  Sandbox() {
    fs::create_directories(root_ / "models");
    for (const char* dir : {"hierarchy", "skill"}) {
      fs::create_directories(root_ / dir);
      for (const auto& entry : fs::directory_iterator(kFixtures + "/" + dir)) {
        if (entry.path().extension() == ".json") fs::copy_file(entry.path(), root_ / dir / entry.path().filename());
      }
    }
    for (const auto& entry : fs::directory_iterator(kModels)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("h2_", 0) == 0 || name.rfind("h3_", 0) == 0 || name.rfind("skill_", 0) == 0) {
        fs::copy_file(entry.path(), root_ / "models" / name);
      }
    }
  }

  const fs::path& root() const { return root_; }
  std::string path(const std::string& relative) const { return (root_ / relative).string(); }
  std::string models() const { return path("models"); }
  std::string read(const std::string& relative) const { return read_text(root_ / relative); }
  // Writes `text` to `relative` (folders made as needed) and returns the full path.
  std::string write(const std::string& relative, const std::string& text) const {
    write_text(root_ / relative, text);
    return path(relative);
  }
  Snapshot snapshot() const { return snapshot_of(root_); }

 private:
  tavrin_test::TempDir dir_;
  const fs::path root_ = dir_.path();
};

// Replaces the single occurrence of `from` in `text`; a test whose edit does not apply fails.
inline std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "'" << from << "' not found";
  if (at == std::string::npos) return text;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "'" << from << "' found twice";
  return text.replace(at, from.size(), to);
}

// `count` bytes from a fixed seed: the same garbage on every run.
inline std::string random_bytes(std::size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(count, '\0');
  for (auto& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

// ---- errors ---------------------------------------------------------------------------------

// The error an operation failed with: its kind, its message and its causes, outermost first.
struct Failure {
  std::vector<ErrorLink> chain;
  bool failed() const { return !chain.empty(); }
  std::string kind() const { return chain.empty() ? "(no error)" : chain.front().kind; }
  std::string message() const { return chain.empty() ? "(no error)" : chain.front().message; }
  // The innermost cause (the error itself when it has none).
  const ErrorLink& root() const { return chain.back(); }
};

template <class T>
Failure failure_of(asio::awaitable<T> operation) {
  return Failure{selector_test::failure_chain(std::move(operation))};
}

template <class F>
Failure failure_of_call(F&& call) {
  try {
    call();
  } catch (...) {
    return Failure{selector_test::error_chain(std::current_exception())};
  }
  return {};
}

inline bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// ---- hosts ----------------------------------------------------------------------------------

inline Value step(PolicyHost& host, const Value& obs, const Value& sim_mask = Value(),
                  const Value& previous_action = Value()) {
  return run_sync(host.execute(obs, sim_mask, Value(false), previous_action));
}

// A host with `orchestration` loaded and `agent` packaged ("" for the top agent).
inline std::unique_ptr<PolicyHost> packaged_host(const std::string& orchestration, const std::string& agent = "") {
  auto host = std::make_unique<PolicyHost>();
  run_sync(host->load_orchestration(orchestration));
  if (agent.empty()) {
    run_sync(host->package());
  } else {
    run_sync(host->package(nullptr, agent));
  }
  return host;
}

// What a clean host, freshly packaged from the untouched fixture, answers for each observation.
struct Probe {
  Value obs;
  Value sim_mask;
};

inline std::vector<Value> clean_actions(const std::string& orchestration, const std::string& agent,
                                        const std::vector<Probe>& probes) {
  auto host = packaged_host(orchestration, agent);
  std::vector<Value> out;
  out.reserve(probes.size());
  for (const auto& p : probes) out.push_back(step(*host, p.obs, p.sim_mask));
  return out;
}

// The probes of the two-level fixture, which between them reach every leaf and every leaf action.
inline std::vector<Probe> two_level_probes() {
  return {{two_level_sensors({9, 0, 0}), Value()},
          {two_level_sensors({0, 9, 0}), Value()},
          {two_level_sensors({0, 0, 9}), Value()},
          {two_level_sensors({1, 9, 3}, {1, 0, 1}), Value()},
          {two_level_sensors({0, 9, 0}), Value(NdArray::from_vector<double>({1, 0, 1}))}};
}

// `host` answers every probe as a clean host packaged from `orchestration` (agent `agent`) does.
inline void expect_answers_like_clean_host(PolicyHost& host, const std::string& orchestration, const std::string& agent,
                                           const std::vector<Probe>& probes) {
  const auto expected = clean_actions(orchestration, agent, probes);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    EXPECT_EQ(step(host, probes[i].obs, probes[i].sim_mask), expected[i]) << "probe " << i;
  }
}

// ---- implementations ------------------------------------------------------------------------

// A switch that a test flips to make an implementation fail on the next call.
using Armed = std::shared_ptr<bool>;

// A controller that answers `action`, or, while armed, fails with the error `fail` throws.
class SwitchController : public tavrin_core::AgentController {
 public:
  SwitchController(Value action, Armed armed, std::function<void()> fail)
      : action_(std::move(action)), armed_(std::move(armed)), fail_(std::move(fail)) {}
  std::string class_name() const override { return "SwitchController"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return Value::list({Value("root_logits")}); }
  asio::awaitable<Value> compute_action(const Value&, const Value&) override {
    if (*armed_) fail_();
    co_return action_;
  }

 private:
  Value action_;
  Armed armed_;
  std::function<void()> fail_;
};

// The hooks of a leaf teacher (sees root_logits, like the fixture's) that can fail while armed.
enum class Hook { transform_sensors, compute_action_mask, transform_action };

class SwitchTeacher : public tavrin_core::AgentTeacher {
 public:
  SwitchTeacher(Hook hook, Armed armed, std::function<void()> fail)
      : hook_(hook), armed_(std::move(armed)), fail_(std::move(fail)) {}
  std::string class_name() const override { return "SwitchTeacher"; }
  asio::awaitable<Value> filtered_sensor_space() override { co_return Value::list({Value("root_logits")}); }
  asio::awaitable<Value> transform_sensors(Value sensors, Value) override {
    if (*armed_ && hook_ == Hook::transform_sensors) fail_();
    co_return sensors;
  }
  asio::awaitable<Value> compute_action_mask(const Value&, const Value&) override {
    if (*armed_ && hook_ == Hook::compute_action_mask) fail_();
    co_return Value();
  }
  asio::awaitable<Value> transform_action(const Value&, Value action) override {
    if (*armed_ && hook_ == Hook::transform_action) fail_();
    co_return action;
  }

 private:
  Hook hook_;
  Armed armed_;
  std::function<void()> fail_;
};

// Registers a class under a fresh name and returns the name.
inline std::string register_impl(const std::string& stem, tavrin_core::ImplementationRegistry::AgentFactory factory) {
  static int counter = 0;
  std::string name = "BadInput" + stem + std::to_string(++counter);
  tavrin_core::ImplementationRegistry::instance().register_agent_impl(name, std::move(factory));
  return name;
}

// ---- the test base --------------------------------------------------------------------------

// The files of `before` whose content is gone or differs now (times and added files not compared).
inline std::string content_changes(const Snapshot& before, const Snapshot& after) {
  return snapshot_changes(
      before, after, [](const FileState& a, const FileState& b) { return a.size == b.size && a.hash == b.hash; },
      false);
}

// Every test runs in its own sandbox, which the tests check in full around the bad operation. At
// the end the repository's fixtures must hold the same content as before (by content only: in a
// shared checkout a fixture may be regenerated, byte for byte, while the tests run).
class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override { repository_fixtures_ = snapshot_of(kFixtures); }
  void TearDown() override {
    EXPECT_EQ(content_changes(repository_fixtures_, snapshot_of(kFixtures)), "") << "repository fixtures changed";
  }

  void expect_sandbox_unchanged(const Snapshot& before) const {
    EXPECT_EQ(changes_between(before, box.snapshot()), "") << "files in the sandbox changed";
  }

  std::string two_level() const { return box.path("hierarchy/two_level.json"); }
  std::string three_level() const { return box.path("hierarchy/three_level.json"); }

  Sandbox box;

 private:
  Snapshot repository_fixtures_;
};

}  // namespace bad_input
