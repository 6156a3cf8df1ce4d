#include "core_api/orchestration.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "core/value_arrays.hpp"

namespace tavrin_core {

using tavrin_inference::DType;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::List;
using tavrin_inference::NdArray;
using tavrin_inference::RuntimeError;
using tavrin_inference::Shape;
using tavrin_inference::TypeError;

// ---- Sensor -----------------------------------------------------------------------------------

namespace {

std::string sensor_label(const std::string& name) { return "sensor '" + name + "'"; }

// [low, high] -> [-1, 1]. (x - low) / (high - low) is exactly 0 and 1 at the bounds.
struct MinMax {
  const double* low;
  const double* high;
  double operator()(double x, std::int64_t i) const { return (x - low[i]) / (high[i] - low[i]) * 2.0 - 1.0; }
};

struct Standard {
  double mean;
  double stddev;
  double operator()(double x, std::int64_t) const { return (x - mean) / stddev; }
};

// bound_size: elements of the bounds the function indexes (0: it indexes none). A value must have
// that many elements, or the bounds a single one that applies to every element.
void check_fit(const Shape& shape, std::int64_t bound_size, const std::string& name, const spaces::Space& space) {
  if (bound_size == 0 || bound_size == 1 || shape.numel() == bound_size) return;
  throw InvalidArgumentError(sensor_label(name) + ": a value of shape " + shape.str() + " does not fit " + space.str());
}

template <class F>
void apply(const auto* in, float* out, std::int64_t n, std::int64_t bound_size, const F& f) {
  const bool per_element = bound_size > 1;
  for (std::int64_t k = 0; k < n; ++k) {
    out[k] = static_cast<float>(f(static_cast<double>(in[k]), per_element ? k : 0));
  }
}

template <class F>
void apply_array(const NdArray& in, float* out, std::int64_t bound_size, const F& f) {
  visit_span(in,
             [&](auto values) { apply(values.data(), out, static_cast<std::int64_t>(values.size()), bound_size, f); });
}

template <class F>
Value normalized_copy(const Value& value, std::int64_t bound_size, const std::string& name, const spaces::Space& space,
                      const F& f) {
  if (value.is_number()) {
    check_fit(Shape{}, bound_size, name, space);
    return Value(f(value.as_double(), 0));
  }
  if (value.is_array()) {
    const NdArray& in = value.as_array();
    check_fit(in.shape(), bound_size, name, space);
    NdArray out(DType::float32, in.shape());
    apply_array(in, out.data<float>(), bound_size, f);
    return Value(std::move(out));
  }
  if (value.is_list()) {
    NestedNumbers nested;
    if (read_nested_numbers(value, false, nested) == NestedFault::none) {
      check_fit(nested.shape, bound_size, name, space);
      NdArray out(DType::float32, nested.shape);
      apply(nested.numbers.data(), out.data<float>(), out.size(), bound_size, f);
      return Value(std::move(out));
    }
  }
  throw TypeError(sensor_label(name) + ": cannot normalize a " + value.kind_name() +
                  " value (expected a number, an array or a list of numbers)");
}

const spaces::Box& box_of(const SpacePtr& space) { return static_cast<const spaces::Box&>(*space); }

}  // namespace

Sensor::Sensor(std::string name, SpacePtr space, Normalization normalization, double mean, double stddev)
    : name_(std::move(name)), space_(std::move(space)), normalization_(normalization), mean_(mean), stddev_(stddev) {
  if (name_.empty()) throw InvalidArgumentError("a sensor needs a name");
  if (!space_) throw InvalidArgumentError(sensor_label(name_) + " has no space");
  if (normalization_ == Normalization::none) return;
  // Normalised values are floats; only a Box keeps accepting them when the sample is flattened.
  const auto* box = spaces::space_as<spaces::Box>(*space_);
  const char* kind = normalization_ == Normalization::min_max ? "min_max" : "standard";
  if (box == nullptr) {
    throw InvalidArgumentError(sensor_label(name_) + ": " + kind + " normalization needs a Box space, got " +
                               space_->str());
  }
  if (normalization_ == Normalization::min_max) {
    const auto low = box->low().span<double>();
    const auto high = box->high().span<double>();
    for (std::size_t i = 0; i < low.size(); ++i) {
      if (!std::isfinite(low[i]) || !std::isfinite(high[i])) {
        throw InvalidArgumentError(sensor_label(name_) + ": min_max normalization needs finite bounds, got " +
                                   space_->str());
      }
      if (!(low[i] < high[i])) {
        throw InvalidArgumentError(sensor_label(name_) + ": min_max normalization needs low < high, got " +
                                   space_->str());
      }
    }
  } else {
    if (!std::isfinite(mean_)) {
      throw InvalidArgumentError(sensor_label(name_) + ": the mean must be a finite number, got " + Value(mean_).str());
    }
    if (!(stddev_ > 0.0) || !std::isfinite(stddev_)) {
      throw InvalidArgumentError(sensor_label(name_) + ": std must be a finite number > 0, got " +
                                 Value(stddev_).str());
    }
  }
}

Value Sensor::normalize_sample(const Value& value) const {
  switch (normalization_) {
    case Normalization::none: return value;
    case Normalization::min_max: {
      const auto& box = box_of(space_);
      return normalized_copy(value, box.flat_size(), name_, *space_,
                             MinMax{box.low().data<double>(), box.high().data<double>()});
    }
    case Normalization::standard: return normalized_copy(value, 0, name_, *space_, Standard{mean_, stddev_});
  }
  return value;
}

Value Sensor::normalize_sample(Value&& value) const {
  if (normalization_ == Normalization::none) return std::move(value);
  if (!value.is_array() || value.as_array().dtype() != DType::float32) {
    return normalize_sample(static_cast<const Value&>(value));
  }
  NdArray& array = value.as_array();
  float* data = array.data<float>();
  if (normalization_ == Normalization::min_max) {
    const auto& box = box_of(space_);
    check_fit(array.shape(), box.flat_size(), name_, *space_);
    apply(data, data, array.size(), box.flat_size(), MinMax{box.low().data<double>(), box.high().data<double>()});
  } else {
    apply(data, data, array.size(), 0, Standard{mean_, stddev_});
  }
  return std::move(value);
}

void Sensor::normalize_into(const Value& value, Value& out) const {
  if (normalization_ != Normalization::none && value.is_array() && out.is_array()) {
    const NdArray& in = value.as_array();
    NdArray& own = out.as_array();
    if (own.dtype() == DType::float32 && own.shape() == in.shape() && own.writable_in_place()) {
      if (normalization_ == Normalization::min_max) {
        const auto& box = box_of(space_);
        check_fit(in.shape(), box.flat_size(), name_, *space_);
        apply_array(in, own.data<float>(), box.flat_size(),
                    MinMax{box.low().data<double>(), box.high().data<double>()});
      } else {
        apply_array(in, own.data<float>(), 0, Standard{mean_, stddev_});
      }
      return;
    }
  }
  out = normalize_sample(value);
}

// ---- PerceptorNode / AgentNode --------------------------------------------------------------------

PerceptorNode::PerceptorNode(std::string name, std::string impl_cls, bool remote)
    : name_(std::move(name)), impl_cls_(std::move(impl_cls)), remote_(remote) {}

PerceptorPtr PerceptorNode::get_impl_cls_instance() const {
  return ImplementationRegistry::instance().make_perceptor_impl(impl_cls_);
}

AgentNode::AgentNode(Options options) : options_(std::move(options)) {}

ImplementationPtr AgentNode::get_impl_cls_instance() const {
  auto& registry = ImplementationRegistry::instance();
  if (!options_.impl_cls.empty()) return registry.make_agent_impl(options_.impl_cls);
  // Without a class a controller has nothing to compute with; a skill or selector still gets a
  // teacher, one that changes nothing.
  if (options_.controller) return nullptr;
  return registry.make_agent_impl("AgentTeacher");
}

namespace {

// KeyError for a node whose implementation class no loaded plugin registered; `hint` suggests close names.
[[noreturn]] void unregistered_class(const std::string& where, const char* node, const std::string& name,
                                     const std::string& cls, const std::string& hint) {
  throw KeyError(std::string(where)
                     .append(": ")
                     .append(node)
                     .append(" '")
                     .append(name)
                     .append("' names the implementation class '")
                     .append(cls)
                     .append("', which is not registered (is the plugin that provides it listed under \"plugins\"?); ")
                     .append(hint));
}

}  // namespace

// ---- Orchestration ------------------------------------------------------------------------------

Orchestration::Orchestration(std::string id, std::vector<SensorPtr> sensors,
                             std::optional<std::vector<PerceptorNodePtr>> perceptors, std::vector<AgentNodePtr> agents,
                             std::string top_agent, std::vector<std::string> plugins)
    : id_(std::move(id)),
      sensors_(std::move(sensors)),
      perceptors_(std::move(perceptors)),
      agents_(std::move(agents)),
      top_agent_(std::move(top_agent)),
      plugins_(std::move(plugins)) {
  const std::string label = "orchestration '" + id_ + "'";
  for (const auto& sensor : sensors_) {
    if (!sensor) throw InvalidArgumentError(label + ": a sensor is null");
  }
  if (perceptors_) {
    for (const auto& perceptor : *perceptors_) {
      if (!perceptor) throw InvalidArgumentError(label + ": a perceptor is null");
    }
  }
  for (std::size_t i = 0; i < agents_.size(); ++i) {
    if (!agents_[i]) throw InvalidArgumentError(label + ": agent " + std::to_string(i) + " is null");
    for (std::size_t j = 0; j < i; ++j) {
      if (agents_[j]->get_name() == agents_[i]->get_name()) {
        throw InvalidArgumentError(label + ": duplicate agent name '" + agents_[i]->get_name() + "'");
      }
    }
  }
  if (top_agent_.empty() && !agents_.empty()) top_agent_ = agents_.front()->get_name();
  if (!top_agent_.empty()) {
    bool found = false;
    for (const auto& agent : agents_) found = found || agent->get_name() == top_agent_;
    if (!found) throw InvalidArgumentError(label + ": the top agent '" + top_agent_ + "' is not one of its agents");
  }
}

asio::awaitable<void> Orchestration::init() {
  if (initialized_) co_return;
  auto& registry = ImplementationRegistry::instance();
  const std::string where = source_path_.empty() ? "orchestration '" + id_ + "'" : source_path_;
  for (std::size_t i = 0; i < plugins_.size(); ++i) {
    try {
      registry.load_plugin(plugins_[i]);
    } catch (const RuntimeError& e) {
      throw RuntimeError(where + ": plugins[" + std::to_string(i) + "]: " + e.what());
    }
  }

  for (const auto& agent : agents_) {
    const std::string& cls = agent->get_impl_cls();
    if (!cls.empty() && !registry.has_agent_impl(cls)) {
      unregistered_class(where, "agent", agent->get_name(), cls, registry.agent_impl_hint(cls));
    }
  }
  if (perceptors_) {
    for (const auto& perceptor : *perceptors_) {
      const std::string& cls = perceptor->get_impl_cls();
      if (!registry.has_perceptor_impl(cls)) {
        unregistered_class(where, "perceptor", perceptor->get_name(), cls, registry.perceptor_impl_hint(cls));
      }
    }
  }
  initialized_ = true;
}

AgentNodePtr Orchestration::get_top_agent() const {
  if (agents_.empty()) throw KeyError("Orchestration '" + id_ + "' has no agents");
  return get_node_by_name(top_agent_);
}

AgentNodePtr Orchestration::get_node_by_name(const std::string& name) const {
  for (const auto& agent : agents_) {
    if (agent->get_name() == name) return agent;
  }
  throw KeyError("No agent named '" + name + "' in orchestration '" + id_ + "'");
}

}  // namespace tavrin_core
