// Reading orchestration files: JSON text -> a checked Orchestration. Everything is built into
// locals and the Orchestration is constructed last, so a rejected file leaves nothing behind.
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/errors.hpp"
#include "core/strict_json.hpp"
#include "core_api/orchestration.hpp"

namespace tavrin_core {

using tavrin_inference::Error;
using tavrin_inference::FileNotFoundError;
using tavrin_inference::InvalidArgumentError;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr const char* kKinds = "Agent, AgentOrchestrator, AgentCoordinatedSet or AgentCoordinatedPopulation";

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// The folder of the library this code is built into (libtavrin_core), or empty when it cannot be
// told.
std::string runtime_library_folder() {
  static const char marker = 0;
  Dl_info info{};
  if (dladdr(&marker, &info) == 0 || info.dli_fname == nullptr) return {};
  return fs::path(info.dli_fname).parent_path().lexically_normal().string();
}

// Deepest nesting of lists and objects accepted in an orchestration file. The file is converted and
// checked by recursive functions, so the depth has to be bounded before they run; real files nest a
// few dozen levels at most (each level of a nested space takes two).
constexpr std::size_t kMaxNesting = 64;

// ---- checking ---------------------------------------------------------------------------------

struct AgentEntry {
  std::string path;  // agents[i]
  std::string kind;
  AgentNode::Options options;
  bool has_children = false;
  const Json* rules = nullptr;
  std::vector<AgentNode::FollowRule> follow_rules;
};

class Loader : private StrictJsonReader {
 public:
  Loader(std::string origin, std::string base_dir)
      : StrictJsonReader(std::move(origin)), base_dir_(std::move(base_dir)) {}

  std::shared_ptr<Orchestration> run(const std::string& source) {
    const Json root = parse(source, kMaxNesting);
    if (!root.is_object()) fail("", std::string("expected an orchestration object, got ") + json_kind(root));
    only_fields(root, "", "an orchestration",
                {"id", "plugins", "sensors", "sim_sensor_space", "perceptors", "agents", "top_agent"});

    std::string id = text_field(root, "id", "", true);
    if (id.empty()) fail("id", "must not be empty");

    std::vector<std::string> plugins;
    if (const Json* list = find(root, "plugins")) {
      const Json& items = list_of(*list, "plugins");
      for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string path = json_item_path("plugins", i);
        std::string p = text(items[i], path);
        if (p.empty()) fail(path, "must not be empty");
        plugins.push_back(plugin_path(p));
      }
    }

    std::vector<SensorPtr> sensors = read_sensors(root);

    SpacePtr sim_sensor_space;
    if (const Json* s = find(root, "sim_sensor_space")) {
      sim_sensor_space = dict_space(*s, "sim_sensor_space");
    } else {
      spaces::SpaceEntries entries;
      entries.reserve(sensors.size());
      for (const auto& sensor : sensors) entries.emplace_back(sensor->name(), sensor->space());
      sim_sensor_space = std::make_shared<spaces::Dict>(std::move(entries));
    }

    std::optional<std::vector<PerceptorNodePtr>> perceptors;
    if (const Json* p = find(root, "perceptors")) perceptors = read_perceptors(*p);

    std::vector<AgentEntry> entries_read = read_agents(root, sim_sensor_space);
    check_graph(entries_read);

    std::string top_agent;
    if (find(root, "top_agent") != nullptr) {
      top_agent = text_field(root, "top_agent", "", true);
      if (index_of(entries_read, top_agent) < 0) fail("top_agent", "no agent named '" + top_agent + "'");
    } else {
      top_agent = entries_read.front().options.name;
    }

    std::vector<AgentNodePtr> agents;
    agents.reserve(entries_read.size());
    for (auto& entry : entries_read) {
      AgentNodePtr node = make_node(entry.kind, std::move(entry.options));
      node->set_follow_rules(std::move(entry.follow_rules));
      agents.push_back(std::move(node));
    }
    return std::make_shared<Orchestration>(std::move(id), std::move(sensors), std::move(perceptors), std::move(agents),
                                           std::move(top_agent), std::move(plugins));
  }

 private:
  // A non-empty name.
  std::string name_field(const Json& object, const std::string& path) const {
    std::string name = text_field(object, "name", path, true);
    if (name.empty()) fail(json_field_path(path, "name"), "must not be empty");
    return name;
  }

  struct NamedItem {
    std::string path;  // "sensors[3]"
    const Json& object;
    std::string name;
  };
  // Item `i` of the list `list_name`: an object (`what`, as "a sensor") with no field outside
  // `known` and a name no earlier item has (`noun` words that fault: "duplicate sensor name").
  // `names` holds the earlier items' names and receives this one's.
  NamedItem named_item(const Json& items, std::size_t i, const char* list_name, const char* what, const char* noun,
                       std::initializer_list<std::string_view> known, std::vector<std::string>& names) const {
    std::string path = json_item_path(list_name, i);
    const Json& object = object_of(items[i], path);
    only_fields(object, path, what, known);
    std::string name = name_field(object, path);
    for (std::size_t k = 0; k < names.size(); ++k) {
      if (names[k] == name) {
        fail(json_field_path(path, "name"),
             std::string("duplicate ") + noun + " name '" + name + "' (also " + json_item_path(list_name, k) + ")");
      }
    }
    names.push_back(name);
    return {std::move(path), object, std::move(name)};
  }
  bool bool_field(const Json& object, std::string_view key, const std::string& path) const {
    const Json* j = find(object, key);
    return j != nullptr && boolean(*j, json_field_path(path, key));
  }

  SpacePtr space(const Json& j, const std::string& path) const {
    const std::string where = origin_ + ": " + path;
    try {
      return spaces::space_from_json(Value::from_json(j), where);
    } catch (const Error& e) {
      // Every rejection of the file is an invalid-argument error that starts with the file name.
      const std::string message = e.what();
      if (message.rfind(origin_ + ": ", 0) == 0) throw InvalidArgumentError(message);
      fail(path, message);
    }
  }
  SpacePtr dict_space(const Json& j, const std::string& path) const {
    SpacePtr s = space(j, path);
    if (!dynamic_cast<const spaces::Dict*>(s.get())) {
      fail(path, "a simulator sensor space must be a Dict space, got " + s->str());
    }
    return s;
  }

  std::string resolve(const std::string& path) const {
    if (path.empty()) return path;
    const fs::path p(path);
    if (p.is_absolute() || base_dir_.empty()) return p.lexically_normal().string();
    return (fs::path(base_dir_) / p).lexically_normal().string();
  }

  // A plugin named by its bare file name ("libteachers.so") is the file of that name beside the
  // orchestration when there is one, else the one in the runtime's own library folder; otherwise
  // the name is left to the dynamic loader (LD_LIBRARY_PATH, the system's folders). One
  // orchestration file so names a plugin installed next to the runtime libraries, in a build tree
  // and in an installation alike. The runtime's folder is looked in here, not left to the loader's
  // run path: a sanitizer's dlopen would search its own.
  std::string plugin_path(const std::string& path) const {
    if (path.find('/') != std::string::npos) return resolve(path);
    std::error_code ec;
    if (!base_dir_.empty()) {
      std::string beside = resolve(path);
      if (fs::exists(beside, ec)) return beside;
    }
    if (const std::string folder = runtime_library_folder(); !folder.empty()) {
      std::string installed = (fs::path(folder) / path).lexically_normal().string();
      if (fs::exists(installed, ec)) return installed;
    }
    return path;
  }

  std::vector<SensorPtr> read_sensors(const Json& root) const {
    std::vector<SensorPtr> sensors;
    const Json* list = find(root, "sensors");
    if (list == nullptr) return sensors;
    const Json& items = list_of(*list, "sensors");
    sensors.reserve(items.size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) {
      NamedItem item = named_item(items, i, "sensors", "a sensor", "sensor", {"name", "space", "normalize"}, names);
      const std::string& path = item.path;
      const Json& s = item.object;
      const Json* space_json = find(s, "space");
      if (space_json == nullptr) fail(json_field_path(path, "space"), "missing required field");
      SpacePtr sensor_space = space(*space_json, json_field_path(path, "space"));

      Normalization normalization = Normalization::none;
      double mean = 0.0;
      double stddev = 1.0;
      const std::string npath = json_field_path(path, "normalize");
      if (const Json* n = find(s, "normalize")) {
        if (n->is_string() && (n->get<std::string>() == "none" || n->get<std::string>() == "min_max")) {
          normalization = n->get<std::string>() == "none" ? Normalization::none : Normalization::min_max;
        } else if (n->is_object()) {
          only_fields(*n, npath, "a standard normalization", {"mean", "std"});
          const Json* m = find(*n, "mean");
          const Json* d = find(*n, "std");
          if (m == nullptr) fail(json_field_path(npath, "mean"), "missing required field");
          if (d == nullptr) fail(json_field_path(npath, "std"), "missing required field");
          mean = number(*m, json_field_path(npath, "mean"));
          stddev = number(*d, json_field_path(npath, "std"));
          normalization = Normalization::standard;
        } else {
          const std::string got = n->is_string() ? "'" + n->get<std::string>() + "'" : json_kind(*n);
          fail(npath, "unknown normalization " + got +
                          " (expected \"none\", \"min_max\" or {\"mean\": <number>, \"std\": <number>})");
        }
      }
      try {
        sensors.push_back(
            std::make_shared<Sensor>(std::move(item.name), std::move(sensor_space), normalization, mean, stddev));
      } catch (const InvalidArgumentError& e) {
        fail(npath, e.what());
      }
    }
    return sensors;
  }

  std::vector<PerceptorNodePtr> read_perceptors(const Json& list) const {
    const Json& items = list_of(list, "perceptors");
    std::vector<PerceptorNodePtr> perceptors;
    perceptors.reserve(items.size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) {
      NamedItem item =
          named_item(items, i, "perceptors", "a perceptor", "perceptor", {"name", "class", "remote"}, names);
      const std::string& path = item.path;
      const Json& p = item.object;
      std::string cls = text_field(p, "class", path, true, " (a perceptor needs an implementation class)");
      if (cls.empty()) fail(json_field_path(path, "class"), "must not be empty");
      const bool remote = bool_field(p, "remote", path);
      perceptors.push_back(std::make_shared<PerceptorNode>(std::move(item.name), std::move(cls), remote));
    }
    return perceptors;
  }

  static std::ptrdiff_t index_of(const std::vector<AgentEntry>& entries_read, const std::string& name) {
    for (std::size_t i = 0; i < entries_read.size(); ++i) {
      if (entries_read[i].options.name == name) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }

  std::vector<AgentEntry> read_agents(const Json& root, const SpacePtr& default_sim_space) const {
    const Json* list = find(root, "agents");
    if (list == nullptr) fail("agents", "missing required field");
    const Json& items = list_of(*list, "agents");
    if (items.empty()) fail("agents", "an orchestration needs at least one agent");

    std::vector<AgentEntry> entries_read;
    entries_read.reserve(items.size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) {
      NamedItem item = named_item(items, i, "agents", "an agent", "agent",
                                  {"name", "kind", "children", "action_space", "sim_sensor_space", "checkpoint",
                                   "controller", "remote", "class", "custom_action_space", "rules"},
                                  names);
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
      entries_read.push_back(std::move(entry));
    }
    return entries_read;
  }

  void check_graph(std::vector<AgentEntry>& entries_read) const {
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

  std::vector<AgentNode::FollowRule> read_rules(const Json& list, const AgentEntry& entry) const {
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
        if (!is_child(name))
          fail(json_item_path(apath, k), std::string("'").append(name).append("'").append(not_child));
        for (const auto& earlier : rule.allowed) {
          if (earlier == name) fail(json_item_path(apath, k), "'" + name + "' is listed twice");
        }
        rule.allowed.push_back(std::move(name));
      }
      rules.push_back(std::move(rule));
    }
    return rules;
  }

  static AgentNodePtr make_node(const std::string& kind, AgentNode::Options options) {
    if (kind == "Agent") return std::make_shared<Agent>(std::move(options));
    if (kind == "AgentOrchestrator") return std::make_shared<AgentOrchestrator>(std::move(options));
    if (kind == "AgentCoordinatedSet") return std::make_shared<AgentCoordinatedSet>(std::move(options));
    return std::make_shared<AgentCoordinatedPopulation>(std::move(options));
  }

  std::string base_dir_;
};

}  // namespace

std::shared_ptr<Orchestration> Orchestration::parse(const std::string& text, const std::string& origin,
                                                    const std::string& base_dir) {
  auto orchestration = Loader(origin, base_dir).run(text);
  orchestration->source_path_ = origin;
  return orchestration;
}

std::shared_ptr<Orchestration> Orchestration::load(const std::string& path) {
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (!fs::exists(status)) throw FileNotFoundError("Orchestration file not found: " + path);
  if (fs::is_directory(status)) throw InvalidArgumentError(path + ": is a folder, not an orchestration file");

  std::ifstream in(path, std::ios::binary);
  if (!in) throw InvalidArgumentError(path + ": cannot be read: " + std::strerror(errno));
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw InvalidArgumentError(path + ": cannot be read: " + std::strerror(errno));

  fs::path absolute = fs::absolute(fs::path(path), ec);
  if (ec) absolute = fs::path(path);
  return parse(text, path, absolute.lexically_normal().parent_path().string());
}

}  // namespace tavrin_core
