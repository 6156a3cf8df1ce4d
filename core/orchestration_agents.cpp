// The agents of an orchestration file: their entries, the graph their children form (every child
// named, no cycle) and the follow rules of the selectors.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/orchestration_reader.hpp"
#include "core/strict_json.hpp"

namespace tavrin_core::orchestration_detail {

namespace {

constexpr const char* kKinds = "Agent, AgentOrchestrator, AgentCoordinatedSet or AgentCoordinatedPopulation";

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

std::ptrdiff_t OrchestrationReader::index_of(const std::vector<AgentEntry>& entries_read, const std::string& name) {
  for (std::size_t i = 0; i < entries_read.size(); ++i) {
    if (entries_read[i].options.name == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

std::vector<AgentEntry> OrchestrationReader::read_agents(const Json& root, const SpacePtr& default_sim_space) const {
  const Json* list = find(root, "agents");
  if (list == nullptr) fail("agents", "missing required field");
  const Json& items = list_of(*list, "agents");
  if (items.empty()) fail("agents", "an orchestration needs at least one agent");

  std::vector<AgentEntry> entries_read;
  entries_read.reserve(items.size());
  read_named_items(items, "agents", "an agent", "agent",
                   {"name", "kind", "children", "action_space", "sim_sensor_space", "checkpoint", "controller",
                    "remote", "class", "custom_action_space", "rules"},
                   [&](NamedItem item) { entries_read.push_back(read_agent(std::move(item), default_sim_space)); });
  return entries_read;
}

AgentEntry OrchestrationReader::read_agent(NamedItem item, const SpacePtr& default_sim_space) const {
  AgentEntry entry;
  entry.path = std::move(item.path);
  const std::string& path = entry.path;
  const Json& a = item.object;

  auto& o = entry.options;
  o.name = std::move(item.name);

  entry.kind = text_field(a, "kind", path, true, std::string(" (expected ") + kKinds + ")");
  if (entry.kind != "Agent" && entry.kind != "AgentOrchestrator" && entry.kind != "AgentCoordinatedSet" &&
      entry.kind != "AgentCoordinatedPopulation") {
    fail(json_field_path(path, "kind"), "unknown agent kind '" + entry.kind + "' (expected " + kKinds + ")");
  }
  const bool skill = entry.kind == "Agent";
  const bool orchestrator = entry.kind == "AgentOrchestrator";

  if (const Json* c = find(a, "children")) {
    const std::string cpath = json_field_path(path, "children");
    if (skill) fail(cpath, "agent '" + o.name + "' is an Agent, and only the other kinds have children");
    const Json& children = list_of(*c, cpath);
    for (std::size_t k = 0; k < children.size(); ++k) {
      std::string child = text(children[k], json_item_path(cpath, k));
      if (child.empty()) fail(json_item_path(cpath, k), "must not be empty");
      for (const auto& earlier : o.children) {
        if (earlier == child) fail(json_item_path(cpath, k), "'" + child + "' is listed twice");
      }
      o.children.push_back(std::move(child));
    }
    entry.has_children = true;
  }
  if (orchestrator && o.children.empty()) {
    fail(json_field_path(path, "children"), "an AgentOrchestrator needs at least one child to choose from");
  }

  if (const Json* s = find(a, "action_space")) {
    o.action_space = space(*s, json_field_path(path, "action_space"));
  } else if (skill) {
    fail(json_field_path(path, "action_space"),
         "missing required field: agent '" + o.name + "' is a skill (kind Agent) and needs an action space");
  }
  if (orchestrator) {
    const auto n = static_cast<std::int64_t>(o.children.size());
    if (!o.action_space) {
      o.action_space = std::make_shared<spaces::Discrete>(n);
    } else {
      // The selector's action is the index of the child it chooses.
      const auto* d = dynamic_cast<const spaces::Discrete*>(o.action_space.get());
      if (d == nullptr || d->n() != n || d->start() != 0) {
        fail(json_field_path(path, "action_space"), "an AgentOrchestrator chooses one of its " + std::to_string(n) +
                                                        " children, so its action space must be Discrete(" +
                                                        std::to_string(n) + "), got " + o.action_space->str());
      }
    }
  }

  if (const Json* s = find(a, "sim_sensor_space")) {
    o.sim_sensor_space = dict_space(*s, json_field_path(path, "sim_sensor_space"));
  } else {
    o.sim_sensor_space = default_sim_space;
  }

  if (find(a, "checkpoint") != nullptr) o.checkpoint_uri = resolve(text_field(a, "checkpoint", path, true));
  o.controller = bool_field(a, "controller", path);
  o.remote = bool_field(a, "remote", path);
  o.custom_action_space = bool_field(a, "custom_action_space", path);
  if (find(a, "class") != nullptr) {
    o.impl_cls = text_field(a, "class", path, true);
    if (o.impl_cls.empty()) fail(json_field_path(path, "class"), "must not be empty");
  }
  if (o.impl_cls.empty() && o.controller) {
    fail(json_field_path(path, "class"),
         "missing required field: agent '" + o.name +
             "' is a controller and needs the implementation class that computes its actions");
  }
  if (o.impl_cls.empty() && o.remote) {
    fail(json_field_path(path, "class"), "missing required field: agent '" + o.name +
                                             "' is remote and needs the implementation class its worker serves");
  }

  if (const Json* r = find(a, "rules")) {
    if (!orchestrator) {
      fail(json_field_path(path, "rules"),
           "agent '" + o.name + "' is an " + entry.kind + ", and only an AgentOrchestrator has rules");
    }
    entry.rules = &list_of(*r, json_field_path(path, "rules"));
  }
  return entry;
}

void OrchestrationReader::check_graph(std::vector<AgentEntry>& entries_read) const {
  for (auto& entry : entries_read) {
    const std::string cpath = json_field_path(entry.path, "children");
    for (std::size_t k = 0; k < entry.options.children.size(); ++k) {
      const std::string& child = entry.options.children[k];
      if (index_of(entries_read, child) < 0) fail(json_item_path(cpath, k), "no agent named '" + child + "'");
    }
    if (entry.rules != nullptr) entry.follow_rules = read_rules(*entry.rules, entry);
  }
  // Depth-first from every agent in file order; meeting an agent still on the path closes a cycle.
  enum class Mark { unseen, on_path, done };
  std::vector<Mark> marks(entries_read.size(), Mark::unseen);
  std::vector<std::size_t> stack;
  auto visit = [&](auto& self, std::size_t i) -> void {
    marks[i] = Mark::on_path;
    stack.push_back(i);
    const auto& children = entries_read[i].options.children;
    for (std::size_t k = 0; k < children.size(); ++k) {
      const auto j = static_cast<std::size_t>(index_of(entries_read, children[k]));
      if (marks[j] == Mark::on_path) {
        std::string cycle;
        auto it = std::find(stack.begin(), stack.end(), j);
        for (; it != stack.end(); ++it) cycle += entries_read[*it].options.name + " -> ";
        cycle += entries_read[j].options.name;
        fail(json_item_path(json_field_path(entries_read[i].path, "children"), k),
             "cycle in the agent graph: " + cycle);
      }
      if (marks[j] == Mark::unseen) self(self, j);
    }
    stack.pop_back();
    marks[i] = Mark::done;
  };
  for (std::size_t i = 0; i < entries_read.size(); ++i) {
    if (marks[i] == Mark::unseen) visit(visit, i);
  }
}

std::vector<AgentNode::FollowRule> OrchestrationReader::read_rules(const Json& list, const AgentEntry& entry) const {
  const auto& children = entry.options.children;
  auto is_child = [&](const std::string& name) {
    return std::find(children.begin(), children.end(), name) != children.end();
  };
  const std::string not_child =
      " is not a child of '" + entry.options.name + "' (children: " + quoted_list(children) + ")";
  const std::string rpath = json_field_path(entry.path, "rules");

  std::vector<AgentNode::FollowRule> rules;
  rules.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string path = json_item_path(rpath, i);
    const Json& r = object_of(list[i], path);
    only_fields(r, path, "a rule", {"after", "allowed"});
    AgentNode::FollowRule rule;
    rule.after = text_field(r, "after", path, true);
    if (!is_child(rule.after)) fail(json_field_path(path, "after"), "'" + rule.after + "'" + not_child);
    for (std::size_t k = 0; k < rules.size(); ++k) {
      if (rules[k].after == rule.after) {
        fail(json_field_path(path, "after"),
             "a rule for '" + rule.after + "' is already given in " + json_item_path(rpath, k));
      }
    }
    const Json* allowed = find(r, "allowed");
    const std::string apath = json_field_path(path, "allowed");
    if (allowed == nullptr) fail(apath, "missing required field");
    const Json& names = list_of(*allowed, apath);
    // Allowing nothing would leave the selector without any child to choose.
    if (names.empty()) fail(apath, "must allow at least one child");
    for (std::size_t k = 0; k < names.size(); ++k) {
      std::string name = text(names[k], json_item_path(apath, k));
      if (!is_child(name)) fail(json_item_path(apath, k), std::string("'").append(name).append("'").append(not_child));
      for (const auto& earlier : rule.allowed) {
        if (earlier == name) fail(json_item_path(apath, k), "'" + name + "' is listed twice");
      }
      rule.allowed.push_back(std::move(name));
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

AgentNodePtr OrchestrationReader::make_node(const std::string& kind, AgentNode::Options options) {
  if (kind == "Agent") return std::make_shared<Agent>(std::move(options));
  if (kind == "AgentOrchestrator") return std::make_shared<AgentOrchestrator>(std::move(options));
  if (kind == "AgentCoordinatedSet") return std::make_shared<AgentCoordinatedSet>(std::move(options));
  return std::make_shared<AgentCoordinatedPopulation>(std::move(options));
}

}  // namespace tavrin_core::orchestration_detail
