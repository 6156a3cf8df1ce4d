#pragma once
// The orchestration: sensors, perceptors and the graph of agents, loaded from an orchestration file.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/value.hpp"
#include "core_api/implementations.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_core {

using spaces::SpacePtr;

// How a sensor's value is normalised before a model sees it.
enum class Normalization { none, min_max, standard };

class Sensor {
 public:
  Sensor(std::string name, SpacePtr space, Normalization normalization = Normalization::none, double mean = 0.0,
         double stddev = 1.0);
  const std::string& name() const { return name_; }
  const SpacePtr& space() const { return space_; }
  Normalization normalization() const { return normalization_; }
  // min_max maps a Box sensor's [low, high] onto [-1, 1] (bounds must be finite); standard computes
  // (value - mean) / stddev; none returns the value unchanged.
  Value normalize_sample(const Value& value) const;
  // The same, reusing the value's buffer when it already is a float32 array.
  Value normalize_sample(Value&& value) const;
  // normalize_sample(value) written into `out`, whose float32 array is reused when it has the
  // value's shape and nothing else holds it (`out` must not share the value's elements).
  void normalize_into(const Value& value, Value& out) const;

 private:
  std::string name_;
  SpacePtr space_;
  Normalization normalization_;
  double mean_;
  double stddev_;
};
using SensorPtr = std::shared_ptr<const Sensor>;

class PerceptorNode {
 public:
  PerceptorNode(std::string name, std::string impl_cls, bool remote);
  const std::string& get_name() const { return name_; }
  bool is_remote() const { return remote_; }
  const std::string& get_impl_cls() const { return impl_cls_; }
  PerceptorPtr get_impl_cls_instance() const;  // a fresh instance each call

 private:
  std::string name_;
  std::string impl_cls_;
  bool remote_;
};
using PerceptorNodePtr = std::shared_ptr<PerceptorNode>;

// An agent of the orchestration. The kinds below derive from it; kind tests use dynamic_cast, so
// subclasses of a kind pass its test.
class AgentNode {
 public:
  struct Options {
    std::string name;
    SpacePtr action_space;      // may be null (a skill not yet trainable at this point)
    SpacePtr sim_sensor_space;  // may be null
    std::optional<std::string> checkpoint_uri;
    bool controller = false;
    bool remote = false;
    std::string impl_cls;  // empty: no implementation (plain default teacher)
    bool custom_action_space = false;
    std::vector<std::string> children;
  };

  explicit AgentNode(Options options);
  virtual ~AgentNode() = default;

  // Name of the concrete kind ("Agent", "AgentOrchestrator", ...).
  virtual std::string class_name() const = 0;

  const std::string& get_name() const { return options_.name; }
  bool is_controller() const { return options_.controller; }
  bool is_remote() const { return options_.remote; }
  const std::string& get_impl_cls() const { return options_.impl_cls; }
  // A fresh instance of the implementation each call: a controller for controller agents, a teacher
  // otherwise (the default teacher when no class is named). Null when the class makes nothing.
  ImplementationPtr get_impl_cls_instance() const;
  SpacePtr get_sim_sensor_space() const { return options_.sim_sensor_space; }
  void set_sim_sensor_space(SpacePtr space) { options_.sim_sensor_space = std::move(space); }
  SpacePtr get_action_space() const { return options_.action_space; }
  void set_action_space(SpacePtr space) { options_.action_space = std::move(space); }
  bool has_custom_action_space() const { return options_.custom_action_space; }
  const std::optional<std::string>& get_checkpoint_uri() const { return options_.checkpoint_uri; }
  const std::vector<std::string>& get_children() const { return options_.children; }

  // Which children may follow a previous choice (orchestrators only; empty: all).
  struct FollowRule {
    std::string after;                 // child name
    std::vector<std::string> allowed;  // child names
  };
  void set_follow_rules(std::vector<FollowRule> rules) { follow_rules_ = std::move(rules); }
  const std::vector<FollowRule>& follow_rules() const { return follow_rules_; }

 private:
  Options options_;
  std::vector<FollowRule> follow_rules_;
};
using AgentNodePtr = std::shared_ptr<AgentNode>;

class Agent : public AgentNode {
 public:
  using AgentNode::AgentNode;
  std::string class_name() const override { return "Agent"; }
};
class AgentOrchestrator : public AgentNode {
 public:
  using AgentNode::AgentNode;
  std::string class_name() const override { return "AgentOrchestrator"; }
};
class AgentCoordinatedSet : public AgentNode {
 public:
  using AgentNode::AgentNode;
  std::string class_name() const override { return "AgentCoordinatedSet"; }
};
class AgentCoordinatedPopulation : public AgentNode {
 public:
  using AgentNode::AgentNode;
  std::string class_name() const override { return "AgentCoordinatedPopulation"; }
};

class Orchestration {
 public:
  Orchestration(std::string id, std::vector<SensorPtr> sensors, std::optional<std::vector<PerceptorNodePtr>> perceptors,
                std::vector<AgentNodePtr> agents, std::string top_agent, std::vector<std::string> plugins = {});

  // Reads and checks an orchestration file; errors name the file and the field. Relative checkpoint
  // and plugin paths are resolved against the file's folder.
  static std::shared_ptr<Orchestration> load(const std::string& path);
  // The same from text already read; `origin` names it in messages, `base_dir` resolves paths.
  static std::shared_ptr<Orchestration> parse(const std::string& text, const std::string& origin,
                                              const std::string& base_dir);

  bool is_initialized() const { return initialized_; }
  // Loads the plugin libraries and checks that every named implementation class is registered.
  asio::awaitable<void> init();

  const std::string& id() const { return id_; }
  AgentNodePtr get_top_agent() const;
  // KeyError "No agent named '<name>' in orchestration '<id>'" when missing.
  AgentNodePtr get_node_by_name(const std::string& name) const;
  const std::vector<AgentNodePtr>& agents() const { return agents_; }
  const std::vector<SensorPtr>& sensors() const { return sensors_; }
  // Absent when the orchestration declares no perceptor list at all.
  const std::optional<std::vector<PerceptorNodePtr>>& perceptors() const { return perceptors_; }
  const std::vector<std::string>& plugins() const { return plugins_; }
  const std::string& source_path() const { return source_path_; }

 private:
  std::string id_;
  std::vector<SensorPtr> sensors_;
  std::optional<std::vector<PerceptorNodePtr>> perceptors_;
  std::vector<AgentNodePtr> agents_;
  std::string top_agent_;
  std::vector<std::string> plugins_;
  std::string source_path_;
  bool initialized_ = false;
};
using OrchestrationPtr = std::shared_ptr<Orchestration>;

}  // namespace tavrin_core
