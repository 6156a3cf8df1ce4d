// Bad orchestration files given to a PolicyHost: truncated and malformed JSON, unknown kinds and
// spaces, cycles, dangling names, missing files and plugin libraries that cannot be loaded. Each
// case checks the error the application sees (kind and message), that the host keeps what it had
// (loaded orchestration, packaged root) and still answers like a clean host, and that no file in the
// orchestration's folder or among its models was touched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_paths.hpp"
#include "tests/support/bad_input_support.hpp"

namespace {

using namespace bad_input;

// A host that already runs the two-level fixture, so a failed load can be seen not to disturb it.
class BadInputOrchestration : public BadInputTest {
 protected:
  void SetUp() override {
    BadInputTest::SetUp();
    host = packaged_host(two_level());
    loaded = host->orchestration;
    root = host->agent_processor;
  }

  // A load of `path` fails with `kind` and a message for which `check` holds; the host keeps its
  // orchestration and root and answers like a clean host; no file changed.
  template <class Check>
  void expect_rejected(const std::string& path, const std::string& kind, Check check) {
    const auto before = box.snapshot();
    const Failure f = failure_of(host->load_orchestration(path));
    EXPECT_EQ(f.kind(), kind) << f.message();
    check(f.message());
    EXPECT_EQ(host->orchestration, loaded);
    EXPECT_EQ(host->agent_processor, root);
    expect_answers_like_clean_host(*host, two_level(), "", two_level_probes());
    expect_sandbox_unchanged(before);
  }
  void expect_rejected(const std::string& path, const std::string& kind, const std::string& message) {
    expect_rejected(path, kind, [&](const std::string& got) { EXPECT_EQ(got, message); });
  }

  std::unique_ptr<PolicyHost> host;
  std::shared_ptr<tavrin_core::Orchestration> loaded;
  std::shared_ptr<tavrin_inference::BaseAgentProcessor> root;
};

TEST_F(BadInputOrchestration, AFileCutShortAnywhereIsMalformedJsonWithTheLineAndColumnWhereItEnds) {
  const std::string text = box.read("hierarchy/two_level.json");
  ASSERT_GT(text.size(), 100u);
  // The cut points: nothing, one brace, inside a key, inside a sensor, between agents, inside a
  // number, before the last brace.
  const std::vector<std::size_t> cuts{0,
                                      1,
                                      5,
                                      text.find("root_allowed"),
                                      text.find("{\"name\": \"h2_leaf1\""),
                                      text.find("100, \"shape\"") + 1,
                                      text.rfind('}')};
  for (std::size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const std::string path = box.write("hierarchy/cut.json", text.substr(0, cut));
    // Where the text ends: the parser stops there.
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < cut; ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    expect_rejected(path, "InvalidArgumentError", [&](const std::string& message) {
      EXPECT_TRUE(starts_with(message, path + ": malformed JSON at line " + std::to_string(line) + ", column "))
          << message;
      // Cut outside a string the input simply ends; inside one, the string has no closing quote.
      EXPECT_TRUE(message.find("unexpected end of input") != std::string::npos ||
                  message.find("invalid string: missing closing quote") != std::string::npos)
          << message;
    });
  }
  // One of them in full, as the application sees it.
  const std::string path = box.write("hierarchy/cut.json", text.substr(0, 1));
  expect_rejected(path, "InvalidArgumentError",
                  path +
                      ": malformed JSON at line 1, column 2: syntax error while parsing object key - "
                      "unexpected end of input; expected string literal");
}

TEST_F(BadInputOrchestration, MalformedJsonNamesTheLineAndColumnAndWhatTheParserExpected) {
  expect_rejected(box.write("bad/missing_comma.json", read_text(kFixtures + "/orchestrations/malformed.json")),
                  "InvalidArgumentError", [&](const std::string& m) {
                    EXPECT_EQ(m, box.path("bad/missing_comma.json") +
                                     ": malformed JSON at line 4, column 23: syntax error while parsing object - "
                                     "unexpected string literal; expected '}'");
                  });
  const std::string text = box.read("hierarchy/two_level.json");
  expect_rejected(box.write("bad/trailing.json", text + "{}"), "InvalidArgumentError", [&](const std::string& m) {
    EXPECT_EQ(m, box.path("bad/trailing.json") +
                     ": malformed JSON at line 19, column 1: syntax error while parsing value - unexpected '{'; "
                     "expected end of input");
  });
  expect_rejected(box.write("bad/garbage.json", random_bytes(300, 7)), "InvalidArgumentError",
                  [&](const std::string& m) {
                    EXPECT_TRUE(starts_with(m, box.path("bad/garbage.json") + ": malformed JSON at line ")) << m;
                  });
  expect_rejected(box.write("bad/list.json", "[" + text + "]"), "InvalidArgumentError",
                  box.path("bad/list.json") + ": expected an orchestration object, got a list");
}

TEST_F(BadInputOrchestration, UnknownKindsSpacesAndFieldsAreRejectedWithTheFieldPath) {
  const std::string text = box.read("hierarchy/two_level.json");
  const std::string leaf2 = "{\"name\": \"h2_leaf2\", \"kind\": \"Agent\"";

  std::string path =
      box.write("bad/kind.json", replace_once(text, leaf2, "{\"name\": \"h2_leaf2\", \"kind\": \"Skill\""));
  expect_rejected(path, "InvalidArgumentError",
                  path +
                      ": agents[3].kind: unknown agent kind 'Skill' (expected Agent, AgentOrchestrator, "
                      "AgentCoordinatedSet or AgentCoordinatedPopulation)");

  path =
      box.write("bad/space.json", replace_once(text, "{\"type\": \"Box\", \"low\": 0, \"high\": 1, \"shape\": [3]}",
                                               "{\"type\": \"Continuous\", \"low\": 0, \"high\": 1, \"shape\": [3]}"));
  expect_rejected(path, "InvalidArgumentError",
                  path +
                      ": sensors[1].space.type: unknown space type 'Continuous' (known: Discrete, Box, "
                      "MultiDiscrete, MultiBinary, Tuple, Dict)");

  path = box.write(
      "bad/discrete0.json",
      replace_once(text,
                   "\"class\": \"HierLeafTeacher\",\n     \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}\n  ]",
                   "\"class\": \"HierLeafTeacher\",\n     \"action_space\": {\"type\": \"Discrete\", \"n\": 0}}\n  ]"));
  expect_rejected(path, "InvalidArgumentError",
                  path + ": agents[3].action_space.n: expected a positive integer, got 0");

  path = box.write("bad/field.json", replace_once(text, leaf2, leaf2 + ", \"chekpoint\": \"x\""));
  expect_rejected(path, "InvalidArgumentError",
                  path +
                      ": agents[3].chekpoint: unknown field 'chekpoint' in an agent (known fields: name, kind, "
                      "children, action_space, sim_sensor_space, checkpoint, controller, remote, class, "
                      "custom_action_space, rules)");

  path = box.write("bad/twice.json", replace_once(text, leaf2, leaf2 + ", \"kind\": \"Agent\""));
  expect_rejected(path, "InvalidArgumentError", path + ": agents[3]: duplicate field 'kind'");

  path = box.write(
      "bad/no_space.json",
      replace_once(text,
                   ", \"class\": \"HierLeafTeacher\",\n     \"action_space\": {\"type\": \"Discrete\", \"n\": 3}}\n  ]",
                   "}\n  ]"));
  expect_rejected(path, "InvalidArgumentError",
                  path +
                      ": agents[3].action_space: missing required field: agent 'h2_leaf2' is a skill (kind "
                      "Agent) and needs an action space");
}

TEST_F(BadInputOrchestration, CyclesAndDanglingNamesAreRejected) {
  std::string path = box.write("bad/cycle.json", read_text(kFixtures + "/orchestrations/cycle.json"));
  expect_rejected(path, "InvalidArgumentError",
                  path + ": agents[2].children[0]: cycle in the agent graph: a -> b -> a");

  const std::string text = box.read("hierarchy/two_level.json");
  path = box.write("bad/self.json", replace_once(text, "\"children\": [\"h2_leaf0\", \"h2_leaf1\", \"h2_leaf2\"]",
                                                 "\"children\": [\"h2_leaf0\", \"h2_root\", \"h2_leaf2\"]"));
  expect_rejected(path, "InvalidArgumentError",
                  path + ": agents[0].children[1]: cycle in the agent graph: h2_root -> h2_root");

  path = box.write("bad/child.json", replace_once(text, "\"children\": [\"h2_leaf0\", \"h2_leaf1\", \"h2_leaf2\"]",
                                                  "\"children\": [\"h2_leaf0\", \"h2_leaf9\", \"h2_leaf2\"]"));
  expect_rejected(path, "InvalidArgumentError", path + ": agents[0].children[1]: no agent named 'h2_leaf9'");

  path = box.write("bad/top.json", replace_once(text, "\"top_agent\": \"h2_root\"", "\"top_agent\": \"h2_boss\""));
  expect_rejected(path, "InvalidArgumentError", path + ": top_agent: no agent named 'h2_boss'");
}

TEST_F(BadInputOrchestration, AMissingFileOrAFolderIsNotFound) {
  const std::string missing = box.path("hierarchy/nowhere.json");
  expect_rejected(missing, "FileNotFoundError", "Orchestration file not found: " + missing);
  const std::string folder = box.path("hierarchy");
  expect_rejected(folder, "InvalidArgumentError", folder + ": is a folder, not an orchestration file");
}

TEST_F(BadInputOrchestration, PackagingAnAgentThatIsNotThereOrWithoutAnOrchestrationKeepsTheRoot) {
  const auto before = box.snapshot();
  Failure f = failure_of(host->package(nullptr, std::string("h2_leaf9")));
  EXPECT_EQ(f.kind(), "KeyError");
  EXPECT_EQ(f.message(), "No agent named 'h2_leaf9' in orchestration 'hierarchy-two-level'");
  EXPECT_EQ(host->agent_processor, root);
  expect_answers_like_clean_host(*host, two_level(), "", two_level_probes());

  PolicyHost fresh;
  f = failure_of(fresh.package());
  EXPECT_EQ(f.kind(), "InvalidArgumentError");
  EXPECT_EQ(f.message(), "No orchestration provided and no orchestration loaded");
  f = failure_of(fresh.execute(two_level_sensors({9, 0, 0})));
  EXPECT_EQ(f.kind(), "RuntimeError");
  EXPECT_EQ(f.message(), "No agent processor available. Call package() first.");
  run_sync(fresh.load_orchestration(two_level()));
  run_sync(fresh.package());
  expect_answers_like_clean_host(fresh, two_level(), "", two_level_probes());
  expect_sandbox_unchanged(before);
}

// ---- plugins ----------------------------------------------------------------------------------

// The two-level fixture with a plugin library and the first leaf's class from it.
std::string with_plugin(const std::string& text, const std::string& plugin, const std::string& leaf_class) {
  std::string out = replace_once(text, "\"id\": \"hierarchy-two-level\",",
                                 "\"id\": \"hierarchy-two-level\",\n  \"plugins\": [\"" + plugin + "\"],");
  return replace_once(
      out,
      "{\"name\": \"h2_leaf0\", \"kind\": \"Agent\", \"checkpoint\": \"../models\", \"class\": "
      "\"HierLeafTeacher\"",
      "{\"name\": \"h2_leaf0\", \"kind\": \"Agent\", \"checkpoint\": \"../models\", \"class\": \"" + leaf_class + "\"");
}

// A plugin that cannot be loaded fails load_orchestration after the file was read: the host has
// taken the new orchestration (not initialised), keeps its packaged root, and packages again from a
// good orchestration.
class BadInputPlugin : public BadInputOrchestration {
 protected:
  // The message of the failure.
  std::string expect_plugin_rejected(const std::string& path, const std::string& kind, const std::string& message_start,
                                     const std::string& message_part) {
    const auto before = box.snapshot();
    const Failure f = failure_of(host->load_orchestration(path));
    EXPECT_EQ(f.kind(), kind) << f.message();
    EXPECT_TRUE(starts_with(f.message(), message_start)) << f.message();
    EXPECT_NE(f.message().find(message_part), std::string::npos) << f.message();
    if (host->orchestration == nullptr) {
      ADD_FAILURE() << "no orchestration stored";
      return f.message();
    }
    EXPECT_NE(host->orchestration, loaded);
    EXPECT_FALSE(host->orchestration->is_initialized());
    EXPECT_EQ(host->agent_processor, root);
    expect_answers_like_clean_host(*host, two_level(), "", two_level_probes());
    // Packaging the stored orchestration tries its plugins again and fails the same way.
    const Failure again = failure_of(host->package());
    EXPECT_EQ(again.message(), f.message());
    EXPECT_EQ(host->agent_processor, root);
    // A good orchestration packages as before.
    run_sync(host->load_orchestration(two_level()));
    run_sync(host->package());
    EXPECT_NE(host->agent_processor, root);
    expect_answers_like_clean_host(*host, two_level(), "", two_level_probes());
    expect_sandbox_unchanged(before);
    loaded = host->orchestration;
    root = host->agent_processor;
    return f.message();
  }
};

TEST_F(BadInputPlugin, AMissingPluginFileNamesTheResolvedPath) {
  const std::string text = box.read("hierarchy/two_level.json");
  const std::string path = box.write("hierarchy/plugin_missing.json", with_plugin(text, "plugins/libnone.so", "X"));
  const std::string library = box.path("hierarchy/plugins/libnone.so");
  const std::string start = path + ": plugins[0]: Cannot load plugin library " + library + ": ";
  const std::string message = expect_plugin_rejected(path, "RuntimeError", start, "No such file or directory");
  EXPECT_EQ(message.find(library, start.size()), std::string::npos) << message;  // the path only once
}

TEST_F(BadInputPlugin, AFileThatIsNotASharedLibraryIsRefusedByTheLoader) {
  const std::string text = box.read("hierarchy/two_level.json");
  box.write("hierarchy/plugins/libtext.so", "this is not a shared library\n");
  box.write("hierarchy/plugins/libgarbage.so", random_bytes(4096, 11));
  for (const char* name : {"libtext.so", "libgarbage.so"}) {
    SCOPED_TRACE(name);
    const std::string path =
        box.write("hierarchy/plugin_bad.json", with_plugin(text, std::string("plugins/") + name, "X"));
    const std::string library = box.path(std::string("hierarchy/plugins/") + name);
    const std::string start =
        std::string(path).append(": plugins[0]: Cannot load plugin library ").append(library).append(": ");
    const std::string message = expect_plugin_rejected(path, "RuntimeError", start, library);
    // The loader's reason follows, without the path a second time.
    EXPECT_EQ(message.find(library, start.size()), std::string::npos) << message;
    EXPECT_GT(message.size(), start.size()) << message;
  }
}

TEST_F(BadInputPlugin, ALibraryThatRegistersNothingLeavesTheClassUnregistered) {
  // A real shared library without a registration function (and without the class): it loads, and
  // the class it was meant to provide is reported by name.
  const std::string library = tavrin_test::lib_dir() + "/libgraph_runner.so";
  const std::string text = box.read("hierarchy/two_level.json");
  const std::string path = box.write("hierarchy/plugin_empty.json", with_plugin(text, library, "MissingLeafTeacher"));
  expect_plugin_rejected(path, "KeyError",
                         path +
                             ": agent 'h2_leaf0' names the implementation class 'MissingLeafTeacher', which is "
                             "not registered (is the plugin that provides it listed under \"plugins\"?); "
                             "registered agent classes: ",
                         "'HierLeafTeacher'");
}

}  // namespace
