// Default hooks of teachers, controllers and perceptors, the implementation registry and plugin
// libraries loaded through it.
#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/async.hpp"
#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "support/test_paths.hpp"

namespace {

using tavrin_core::AgentController;
using tavrin_core::AgentTeacher;
using tavrin_core::ImplementationRegistry;
using tavrin_core::Perceptor;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::run_sync;
using tavrin_inference::RuntimeError;
using tavrin_inference::TypeError;
using tavrin_inference::Value;
using testing::HasSubstr;
using testing::StartsWith;

const std::string kPlugin = tavrin_test::test_plugin_path();
const std::string kNotAPlugin = tavrin_test::test_data_dir() + "/orchestrations/not_a_plugin.so";

// What an application writes when it only wants the defaults.
class PlainTeacher : public AgentTeacher {
 public:
  std::string class_name() const override { return "PlainTeacher"; }
};
class PlainPerceptor : public Perceptor {
 public:
  std::string class_name() const override { return "PlainPerceptor"; }
  asio::awaitable<Value> perceive(const Value&) override { co_return Value(Map{}); }
};
class FixedController : public AgentController {
 public:
  std::string class_name() const override { return "FixedController"; }
  asio::awaitable<Value> compute_action(const Value&, const Value&) override { co_return Value(1); }
};

Value sample_sensors() {
  return Value(Map{{"temperature", Value(NdArray::from_vector<float>({21.5f}))}, {"occupied", Value(true)}});
}

// ---- default hooks --------------------------------------------------------------------------------

TEST(DefaultHooks, TeacherChangesNothing) {
  PlainTeacher t;
  const Value sensors = sample_sensors();
  EXPECT_EQ(run_sync(t.transform_sensors(sensors, Value())), sensors);
  EXPECT_TRUE(run_sync(t.compute_action_mask(sensors, Value(1))).is_none());
  const Value action = Value::tuple({Value(1), Value(NdArray::from_vector<float>({0.5f}))});
  EXPECT_EQ(run_sync(t.transform_action(sensors, action)), action);
  EXPECT_EQ(run_sync(t.compute_success_criteria(sensors, action)), Value(false));
  EXPECT_EQ(run_sync(t.compute_termination(sensors, action)), Value(false));
  EXPECT_TRUE(run_sync(t.filtered_sensor_space()).is_none());
  EXPECT_NO_THROW(run_sync(t.reset()));
  EXPECT_EQ(t.type_name(), "PlainTeacher");
}

TEST(DefaultHooks, RewardIsTheSimulatorsAsAFloat) {
  PlainTeacher t;
  auto reward = [&](Value sim) { return run_sync(t.compute_reward(Value(), Value(), std::move(sim))); };
  EXPECT_EQ(reward(Value()), Value(0.0));
  EXPECT_EQ(reward(Value(3)), Value(3.0));
  EXPECT_TRUE(reward(Value(3)).is_float());
  EXPECT_EQ(reward(Value(-0.25)), Value(-0.25));
  EXPECT_EQ(reward(Value(true)), Value(1.0));
  EXPECT_EQ(reward(Value(NdArray::from_vector<double>({1.5}))), Value(1.5));
  EXPECT_THROW(reward(Value("high")), TypeError);
  EXPECT_THROW(reward(Value(NdArray::from_vector<double>({1.0, 2.0}))), TypeError);
}

TEST(DefaultHooks, ControllerAndPerceptorShareTheResetAndSensorDefaults) {
  FixedController c;
  EXPECT_TRUE(run_sync(c.filtered_sensor_space()).is_none());
  EXPECT_NO_THROW(run_sync(c.reset()));
  PlainPerceptor p;
  EXPECT_NO_THROW(run_sync(p.reset()));
  EXPECT_EQ(p.type_name(), "PlainPerceptor");
}

// ---- registry ---------------------------------------------------------------------------------------

TEST(Registry, MakesAFreshInstanceOnEveryCall) {
  auto& r = ImplementationRegistry::instance();
  auto made = std::make_shared<std::atomic<int>>(0);
  r.register_agent_impl("RegistryFresh", [made] {
    ++*made;
    return std::make_shared<PlainTeacher>();
  });
  EXPECT_TRUE(r.has_agent_impl("RegistryFresh"));
  EXPECT_FALSE(r.has_perceptor_impl("RegistryFresh"));
  const auto a = r.make_agent_impl("RegistryFresh");
  const auto b = r.make_agent_impl("RegistryFresh");
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(made->load(), 2);

  r.register_perceptor_impl(
      "RegistryPerceptor", [] { return std::make_shared<PlainPerceptor>(); }, "0.3");
  EXPECT_NE(r.make_perceptor_impl("RegistryPerceptor"), r.make_perceptor_impl("RegistryPerceptor"));
  EXPECT_FALSE(r.has_agent_impl("RegistryPerceptor"));
}

TEST(Registry, VersionsDefaultsAndReplacement) {
  auto& r = ImplementationRegistry::instance();
  r.register_agent_impl("RegistryVersioned", [] { return std::make_shared<PlainTeacher>(); });
  EXPECT_EQ(r.version_of("RegistryVersioned"), "latest");
  r.register_agent_impl(
      "RegistryVersioned", [] { return std::make_shared<FixedController>(); }, "1.4.2");
  // The last registration wins, version included.
  EXPECT_EQ(r.version_of("RegistryVersioned"), "1.4.2");
  EXPECT_EQ(r.make_agent_impl("RegistryVersioned")->class_name(), "FixedController");

  r.register_perceptor_impl(
      "RegistryVersionedPerceptor", [] { return std::make_shared<PlainPerceptor>(); }, "7");
  EXPECT_EQ(r.version_of("RegistryVersionedPerceptor"), "7");

  // The teacher of agents without a class is registered from the start.
  ASSERT_TRUE(r.has_agent_impl("AgentTeacher"));
  EXPECT_EQ(r.make_agent_impl("AgentTeacher")->class_name(), "AgentTeacher");
}

TEST(Registry, UnknownNamesAndBadRegistrations) {
  auto& r = ImplementationRegistry::instance();
  try {
    r.make_agent_impl("RegistryMissing");
    FAIL() << "no error";
  } catch (const KeyError& e) {
    // Nothing registered is close to the name: the registered classes of its kind are listed.
    EXPECT_THAT(e.what(), StartsWith("No agent implementation class 'RegistryMissing' is registered (registered "
                                     "agent classes: 'AgentTeacher'"));
  }
  r.register_perceptor_impl("RegistryMisingPerceptor", [] { return std::make_shared<PlainPerceptor>(); });
  try {
    r.make_perceptor_impl("RegistryMissingPerceptor");
    FAIL() << "no error";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(),
                 "No perceptor implementation class 'RegistryMissingPerceptor' is registered (closest: "
                 "'RegistryMisingPerceptor')");
  }
  EXPECT_THROW(r.version_of("RegistryMissing"), KeyError);
  EXPECT_THROW(r.register_agent_impl("", [] { return std::make_shared<PlainTeacher>(); }), InvalidArgumentError);
  EXPECT_THROW(r.register_agent_impl("RegistryNoFactory", nullptr), InvalidArgumentError);
  EXPECT_THROW(r.register_perceptor_impl("RegistryNoFactory", nullptr), InvalidArgumentError);
  EXPECT_FALSE(r.has_agent_impl("RegistryNoFactory"));
}

TEST(Registry, RegistrationHelperRegistersUnderTheGivenName) {
  const tavrin_core::RegisterAgentImpl<FixedController> reg("RegistryHelperController", "2");
  const tavrin_core::RegisterPerceptorImpl<PlainPerceptor> preg("RegistryHelperPerceptor");
  auto& r = ImplementationRegistry::instance();
  EXPECT_EQ(r.make_agent_impl("RegistryHelperController")->class_name(), "FixedController");
  EXPECT_EQ(r.version_of("RegistryHelperController"), "2");
  EXPECT_EQ(r.make_perceptor_impl("RegistryHelperPerceptor")->class_name(), "PlainPerceptor");
}

// ---- plugins ---------------------------------------------------------------------------------------

TEST(Plugins, LibrariesThatCannotBeLoadedAreReported) {
  auto& r = ImplementationRegistry::instance();
  const std::string missing = tavrin_test::test_data_dir() + "/no-such-plugin.so";
  try {
    r.load_plugin(missing);
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.what(), StartsWith("Cannot load plugin library " + missing + ": "));
    EXPECT_THAT(e.what(), HasSubstr("No such file"));  // the loader's own reason
  }
  try {
    r.load_plugin(kNotAPlugin);
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.what(), StartsWith("Cannot load plugin library " + kNotAPlugin + ": "));
    EXPECT_GT(std::string(e.what()).size(), ("Cannot load plugin library " + kNotAPlugin + ": ").size());
  }
  // A failed load is not remembered as loaded.
  EXPECT_THROW(r.load_plugin(kNotAPlugin), RuntimeError);
  EXPECT_THROW(r.load_plugin(""), RuntimeError);
}

// The only test in this program that loads the plugin, so the classes are absent before it.
TEST(Plugins, LoadingRegistersOnceAndServesFreshInstances) {
  ASSERT_TRUE(std::filesystem::exists(kPlugin)) << kPlugin << " is not built";
  auto& r = ImplementationRegistry::instance();
  ASSERT_EQ(dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the plugin was loaded earlier";
  EXPECT_FALSE(r.has_agent_impl("PluginTeacher"));
  EXPECT_FALSE(r.has_agent_impl("PluginController"));

  r.load_plugin(kPlugin);
  // Both ways of registering: the static initialiser and tavrin_register_plugin.
  EXPECT_TRUE(r.has_agent_impl("PluginTeacher"));
  EXPECT_EQ(r.version_of("PluginTeacher"), "2.1.0");
  EXPECT_TRUE(r.has_agent_impl("PluginController"));
  EXPECT_TRUE(r.has_perceptor_impl("PluginPerceptor"));

  // The same library again, also under another spelling of its path: nothing happens.
  r.load_plugin(kPlugin);
  r.load_plugin(tavrin_test::lib_dir() + "/./../" + std::filesystem::path(tavrin_test::lib_dir()).filename().string() +
                "/libtavrin_test_plugin.so");
  void* handle = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto* calls = reinterpret_cast<int (*)()>(dlsym(handle, "tavrin_test_plugin_registrations"));
  ASSERT_NE(calls, nullptr);
  EXPECT_EQ(calls(), 1);
  dlclose(handle);

  const auto teacher = std::dynamic_pointer_cast<AgentTeacher>(r.make_agent_impl("PluginTeacher"));
  ASSERT_NE(teacher, nullptr);
  EXPECT_NE(teacher, r.make_agent_impl("PluginTeacher"));
  EXPECT_EQ(run_sync(teacher->transform_action(Value(), Value(4))), Value(5));
  const auto controller = std::dynamic_pointer_cast<AgentController>(r.make_agent_impl("PluginController"));
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(run_sync(controller->compute_action(Value(), Value())), Value(2));
}

}  // namespace
