#pragma once
// What the readers of an orchestration file share: the reader itself, with the file's top level,
// its sensors, perceptors and plugin paths (orchestration_loader.cpp) and its agents, their graph
// and their rules (orchestration_agents.cpp) as its members. Not installed, used by core's
// sources only.
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/strict_json.hpp"
#include "core_api/orchestration.hpp"

namespace tavrin_core::orchestration_detail {

// One entry of the agents list, read but not yet made into a node: the graph is checked over all
// of them first.
struct AgentEntry {
  std::string path;  // agents[i]
  std::string kind;
  AgentNode::Options options;
  bool has_children = false;
  const StrictJsonReader::Json* rules = nullptr;
  std::vector<AgentNode::FollowRule> follow_rules;
};

// Reads one orchestration file. Everything is built into locals and the Orchestration is
// constructed last, so a rejected file leaves nothing behind.
class OrchestrationReader : private StrictJsonReader {
 public:
  OrchestrationReader(std::string origin, std::string base_dir)
      : StrictJsonReader(std::move(origin)), base_dir_(std::move(base_dir)) {}

  std::shared_ptr<Orchestration> run(const std::string& source);

 private:
  // A non-empty name.
  std::string name_field(const Json& object, const std::string& path) const;

  struct NamedItem {
    std::string path;  // "sensors[3]"
    const Json& object;
    std::string name;
  };
  // Item `i` of the list `list_name`: an object (`what`, as "a sensor") with no field outside
  // `known` and a name no earlier item has (`noun` words that fault: "duplicate sensor name").
  // `names` holds the earlier items' names and receives this one's.
  NamedItem named_item(const Json& items, std::size_t i, const char* list_name, const char* what, const char* noun,
                       std::initializer_list<std::string_view> known, std::vector<std::string>& names) const;
  // Each item of the list `items` checked by named_item, in order, handed to `read`.
  template <typename Read>
  void read_named_items(const Json& items, const char* list_name, const char* what, const char* noun,
                        std::initializer_list<std::string_view> known, Read read) const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) read(named_item(items, i, list_name, what, noun, known, names));
  }
  bool bool_field(const Json& object, std::string_view key, const std::string& path) const;

  SpacePtr space(const Json& j, const std::string& path) const;
  SpacePtr dict_space(const Json& j, const std::string& path) const;

  std::string resolve(const std::string& path) const;
  std::string plugin_path(const std::string& path) const;

  std::vector<SensorPtr> read_sensors(const Json& root) const;
  std::vector<PerceptorNodePtr> read_perceptors(const Json& list) const;

  static std::ptrdiff_t index_of(const std::vector<AgentEntry>& entries_read, const std::string& name);
  std::vector<AgentEntry> read_agents(const Json& root, const SpacePtr& default_sim_space) const;
  // One entry of the agents list; its sim_sensor_space is `default_sim_space` unless it gives one.
  AgentEntry read_agent(NamedItem item, const SpacePtr& default_sim_space) const;
  void check_graph(std::vector<AgentEntry>& entries_read) const;
  std::vector<AgentNode::FollowRule> read_rules(const Json& list, const AgentEntry& entry) const;
  static AgentNodePtr make_node(const std::string& kind, AgentNode::Options options);

  std::string base_dir_;
};

}  // namespace tavrin_core::orchestration_detail
