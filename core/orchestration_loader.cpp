// Reading orchestration files: JSON text -> a checked Orchestration. The file's top level, its
// plugins, sensors and perceptors are read here, its agents in orchestration_agents.cpp.
#include <dlfcn.h>

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
#include "core/orchestration_reader.hpp"
#include "core/strict_json.hpp"
#include "core_api/orchestration.hpp"

namespace tavrin_core {

using tavrin_inference::Error;
using tavrin_inference::FileNotFoundError;
using tavrin_inference::InvalidArgumentError;

namespace {

namespace fs = std::filesystem;

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

}  // namespace

namespace orchestration_detail {

std::shared_ptr<Orchestration> OrchestrationReader::run(const std::string& source) {
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

std::string OrchestrationReader::name_field(const Json& object, const std::string& path) const {
  std::string name = text_field(object, "name", path, true);
  if (name.empty()) fail(json_field_path(path, "name"), "must not be empty");
  return name;
}

OrchestrationReader::NamedItem OrchestrationReader::named_item(const Json& items, std::size_t i, const char* list_name,
                                                               const char* what, const char* noun,
                                                               std::initializer_list<std::string_view> known,
                                                               std::vector<std::string>& names) const {
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
bool OrchestrationReader::bool_field(const Json& object, std::string_view key, const std::string& path) const {
  const Json* j = find(object, key);
  return j != nullptr && boolean(*j, json_field_path(path, key));
}

SpacePtr OrchestrationReader::space(const Json& j, const std::string& path) const {
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
SpacePtr OrchestrationReader::dict_space(const Json& j, const std::string& path) const {
  SpacePtr s = space(j, path);
  if (!dynamic_cast<const spaces::Dict*>(s.get())) {
    fail(path, "a simulator sensor space must be a Dict space, got " + s->str());
  }
  return s;
}

std::string OrchestrationReader::resolve(const std::string& path) const {
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
std::string OrchestrationReader::plugin_path(const std::string& path) const {
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

std::vector<SensorPtr> OrchestrationReader::read_sensors(const Json& root) const {
  std::vector<SensorPtr> sensors;
  const Json* list = find(root, "sensors");
  if (list == nullptr) return sensors;
  const Json& items = list_of(*list, "sensors");
  sensors.reserve(items.size());
  read_named_items(items, "sensors", "a sensor", "sensor", {"name", "space", "normalize"}, [&](NamedItem item) {
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
  });
  return sensors;
}

std::vector<PerceptorNodePtr> OrchestrationReader::read_perceptors(const Json& list) const {
  const Json& items = list_of(list, "perceptors");
  std::vector<PerceptorNodePtr> perceptors;
  perceptors.reserve(items.size());
  read_named_items(items, "perceptors", "a perceptor", "perceptor", {"name", "class", "remote"}, [&](NamedItem item) {
    const std::string& path = item.path;
    const Json& p = item.object;
    std::string cls = text_field(p, "class", path, true, " (a perceptor needs an implementation class)");
    if (cls.empty()) fail(json_field_path(path, "class"), "must not be empty");
    const bool remote = bool_field(p, "remote", path);
    perceptors.push_back(std::make_shared<PerceptorNode>(std::move(item.name), std::move(cls), remote));
  });
  return perceptors;
}

}  // namespace orchestration_detail

std::shared_ptr<Orchestration> Orchestration::parse(const std::string& text, const std::string& origin,
                                                    const std::string& base_dir) {
  auto orchestration = orchestration_detail::OrchestrationReader(origin, base_dir).run(text);
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
