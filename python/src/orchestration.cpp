// The loaded orchestration as Python sees it: what `tavrin inspect` shows, read-only. Agents and the
// orchestration are the core library's own objects; spaces and sensors are views that share them.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "python/src/bindings.hpp"
#include "python/src/convert.hpp"
#include "python/src/space_view.hpp"

namespace tavrin_python {

namespace {

namespace sp = tavrin_core::spaces;
using tavrin_core::AgentNode;
using tavrin_core::Orchestration;

py::tuple shape_tuple(const tavrin_inference::Shape& shape) {
  py::tuple out(shape.ndim());
  for (std::size_t i = 0; i < shape.ndim(); ++i) out[i] = shape[i];
  return out;
}

template <class T>
const T* as(const SpaceView& view) {
  return dynamic_cast<const T*>(view.space.get());
}

py::object space_shape(const SpaceView& v) {
  if (const auto* box = as<sp::Box>(v)) return shape_tuple(box->shape());
  if (const auto* md = as<sp::MultiDiscrete>(v)) return shape_tuple(md->shape());
  if (const auto* mb = as<sp::MultiBinary>(v)) return shape_tuple(mb->shape());
  if (as<sp::Discrete>(v) != nullptr) return py::tuple();
  return py::none();
}

py::object space_dtype(const SpaceView& v) {
  if (const auto* box = as<sp::Box>(v)) return py::str(tavrin_inference::dtype_name(box->dtype()));
  if (as<sp::Discrete>(v) != nullptr || as<sp::MultiDiscrete>(v) != nullptr) return py::str("int64");
  if (as<sp::MultiBinary>(v) != nullptr) return py::str("int8");
  return py::none();
}

py::object space_parts(const SpaceView& v) {
  if (const auto* tuple = as<sp::Tuple>(v)) {
    py::list out;
    for (const auto& part : tuple->spaces()) out.append(SpaceView{part});
    return out;
  }
  if (const auto* dict = as<sp::Dict>(v)) {
    py::dict out;
    for (const auto& [key, part] : dict->spaces()) out[py::str(key)] = SpaceView{part};
    return out;
  }
  return py::none();
}

const char* normalization_name(tavrin_core::Normalization n) {
  switch (n) {
    case tavrin_core::Normalization::none: return "none";
    case tavrin_core::Normalization::min_max: return "min_max";
    case tavrin_core::Normalization::standard: return "standard";
  }
  return "none";
}

std::string agent_repr(const AgentNode& a) { return "<tavrin.Agent '" + a.get_name() + "': " + a.class_name() + ">"; }

// One line per agent: kind, class, children, action space.
std::string orchestration_text(const Orchestration& o) {
  std::string out = "orchestration '" + o.id() + "'";
  if (!o.agents().empty()) out += " (top agent " + o.get_top_agent()->get_name() + ")";
  for (const auto& agent : o.agents()) {
    out += "\n  " + agent->get_name() + ": " + agent->class_name();
    if (!agent->get_impl_cls().empty()) {
      out += std::string(agent->is_controller() ? ", controller " : ", class ") + agent->get_impl_cls();
    }
    if (!agent->get_children().empty()) {
      out += ", children";
      for (const auto& child : agent->get_children()) out += " " + child;
    }
    if (agent->get_action_space()) out += ", action space " + agent->get_action_space()->str();
  }
  return out;
}

}  // namespace

void bind_orchestration(py::module_& module) {
  py::class_<SpaceView>(module, "Space", "A space of the core library (read-only); str() is its text form.")
      .def_property_readonly(
          "type_name", [](const SpaceView& v) { return v.space->type_name(); },
          "\"Discrete\", \"Box\", \"MultiDiscrete\", \"MultiBinary\", \"Tuple\" or \"Dict\"")
      .def("__str__", [](const SpaceView& v) { return v.space->str(); })
      .def("__repr__", [](const SpaceView& v) { return "<tavrin.Space " + v.space->str() + ">"; })
      .def("__eq__", [](const SpaceView& a, const SpaceView& b) { return a.space->str() == b.space->str(); })
      .def_property_readonly(
          "flat_size", [](const SpaceView& v) { return v.space->flat_size(); },
          "number of elements of the flattened space (and of its action masks)")
      .def_property_readonly("shape", &space_shape)
      .def_property_readonly("dtype", &space_dtype, "element type of the actions or samples (a numpy dtype name)")
      .def_property_readonly("n",
                             [](const SpaceView& v) -> py::object {
                               if (const auto* d = as<sp::Discrete>(v)) return py::int_(d->n());
                               return py::none();
                             })
      .def_property_readonly("start",
                             [](const SpaceView& v) -> py::object {
                               if (const auto* d = as<sp::Discrete>(v)) return py::int_(d->start());
                               return py::none();
                             })
      .def_property_readonly("low",
                             [](const SpaceView& v) -> py::object {
                               if (const auto* box = as<sp::Box>(v)) return array_to_numpy(box->low());
                               return py::none();
                             })
      .def_property_readonly("high",
                             [](const SpaceView& v) -> py::object {
                               if (const auto* box = as<sp::Box>(v)) return array_to_numpy(box->high());
                               return py::none();
                             })
      .def_property_readonly("nvec",
                             [](const SpaceView& v) -> py::object {
                               if (const auto* md = as<sp::MultiDiscrete>(v)) return array_to_numpy(md->nvec());
                               return py::none();
                             })
      .def_property_readonly("spaces", &space_parts, "the parts of a Tuple (list) or Dict (dict) space")
      .def(
          "contains",
          [](const SpaceView& v, const py::object& sample) {
            return v.space->contains(to_value(sample, Where("sample")));
          },
          py::arg("sample"))
      .def_property_readonly(
          "no_action_mask", [](const SpaceView& v) { return from_value(v.space->get_no_action_mask()); },
          "the everything-allowed mask over this action space");

  py::class_<SensorView>(module, "Sensor", "A sensor of the orchestration.")
      .def_property_readonly("name", [](const SensorView& s) { return s.sensor->name(); })
      .def_property_readonly("space", [](const SensorView& s) { return SpaceView{s.sensor->space()}; })
      .def_property_readonly(
          "normalization", [](const SensorView& s) { return normalization_name(s.sensor->normalization()); },
          "\"none\", \"min_max\" or \"standard\"")
      .def("__repr__", [](const SensorView& s) {
        return "<tavrin.Sensor '" + s.sensor->name() + "': " + s.sensor->space()->str() + ">";
      });

  py::class_<tavrin_core::PerceptorNode, std::shared_ptr<tavrin_core::PerceptorNode>>(
      module, "PerceptorNode", "A perceptor of the orchestration.")
      .def_property_readonly("name", &tavrin_core::PerceptorNode::get_name)
      .def_property_readonly("impl_cls", &tavrin_core::PerceptorNode::get_impl_cls)
      .def_property_readonly("is_remote", &tavrin_core::PerceptorNode::is_remote);

  py::class_<AgentNode, std::shared_ptr<AgentNode>>(module, "Agent", "An agent of the orchestration (read-only).")
      .def_property_readonly("name", &AgentNode::get_name)
      .def_property_readonly(
          "kind", &AgentNode::class_name,
          "\"Agent\", \"AgentOrchestrator\", \"AgentCoordinatedSet\" or \"AgentCoordinatedPopulation\"")
      .def_property_readonly("children", &AgentNode::get_children)
      .def_property_readonly(
          "impl_cls",
          [](const AgentNode& a) -> py::object {
            if (a.get_impl_cls().empty()) return py::none();
            return py::str(a.get_impl_cls());
          },
          "the teacher or controller class, or None")
      .def_property_readonly("is_controller", &AgentNode::is_controller)
      .def_property_readonly("is_remote", &AgentNode::is_remote)
      .def_property_readonly("has_custom_action_space", &AgentNode::has_custom_action_space)
      .def_property_readonly("checkpoint", &AgentNode::get_checkpoint_uri)
      .def_property_readonly("action_space", [](const AgentNode& a) { return optional_space(a.get_action_space()); })
      .def_property_readonly("sim_sensor_space",
                             [](const AgentNode& a) { return optional_space(a.get_sim_sensor_space()); })
      .def_property_readonly(
          "follow_rules",
          [](const AgentNode& a) {
            py::list out;
            for (const auto& rule : a.follow_rules()) out.append(py::make_tuple(rule.after, rule.allowed));
            return out;
          },
          "(after, allowed children) pairs of a selector")
      .def("__repr__", [](const AgentNode& a) { return agent_repr(a); });

  py::class_<Orchestration, std::shared_ptr<Orchestration>>(module, "Orchestration",
                                                            "A loaded orchestration (read-only).")
      .def_static(
          "load",
          [](const std::string& path) {
            const py::gil_scoped_release release;
            return Orchestration::load(path);
          },
          py::arg("path"), "Reads and checks an orchestration file (not yet initialised).")
      .def_property_readonly("id", &Orchestration::id)
      .def_property_readonly("source_path", &Orchestration::source_path)
      .def_property_readonly("plugins", &Orchestration::plugins)
      .def_property_readonly("is_initialized", &Orchestration::is_initialized)
      .def_property_readonly("agents", &Orchestration::agents)
      .def_property_readonly("top_agent", &Orchestration::get_top_agent)
      .def("get_top_agent", &Orchestration::get_top_agent)
      .def("get_node_by_name", &Orchestration::get_node_by_name, py::arg("name"))
      .def_property_readonly("sensors",
                             [](const Orchestration& o) {
                               py::list out;
                               for (const auto& sensor : o.sensors()) out.append(SensorView{sensor});
                               return out;
                             })
      .def_property_readonly("perceptors", &Orchestration::perceptors, "the perceptors, or None when none are declared")
      .def("__str__", &orchestration_text)
      .def("__repr__", [](const Orchestration& o) { return "<tavrin.Orchestration '" + o.id() + "'>"; });
}

}  // namespace tavrin_python
