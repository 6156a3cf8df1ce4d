// Spaces and samples as the processors use them each step: filters of spaces and samples, masks,
// unsquashed actions, zero samples and samples as arrays.
#include "core_api/space_utils.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "common/errors.hpp"
#include "core/value_arrays.hpp"

namespace tavrin_core::space_utils {

using namespace spaces;  // the kinds of space, and the array and value names they use
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::TypeError;

namespace {

// low + (a + 1) * (high - low) / 2, clipped to the bounds; elements with an infinite bound keep a.
template <class Out, class In>
void unsquash_into(std::span<const In> in, std::span<const double> low, std::span<const double> high,
                   std::span<Out> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double a = static_cast<double>(in[i]);
    const double lo = low[i];
    const double hi = high[i];
    double x = a;
    if (std::isfinite(lo) && std::isfinite(hi)) {
      x = lo + (a + 1.0) * (hi - lo) / 2.0;
      x = std::clamp(x, lo, hi);  // NaN stays NaN
    }
    out[i] = tavrin_inference::saturating_cast<Out>(x);
  }
}

NdArray unsquash_box(const NdArray& action, const Box& box) {
  if (action.size() != box.flat_size()) {
    throw InvalidArgumentError("unsquash_action: expected " + std::to_string(box.flat_size()) + " values for " +
                               box.str() + ", got " + std::to_string(action.size()));
  }
  NdArray out(box.dtype(), box.shape());
  const auto low = box.low().span<double>();
  const auto high = box.high().span<double>();
  visit_span(action, [&](auto in) { visit_span(out, [&](auto o) { unsquash_into(in, low, high, o); }); });
  return out;
}

}  // namespace

SpacePtr filter_space(const SpacePtr& space, const std::vector<std::string>& keys) {
  if (!space) return nullptr;
  const auto* dict = spaces::space_as<Dict>(*space);
  if (dict == nullptr) throw TypeError("filter_space: expected a Dict space, got " + space->str());
  SpaceEntries out;
  out.reserve(keys.size());
  for (const auto& key : keys) {
    const bool seen = std::any_of(out.begin(), out.end(), [&](const auto& e) { return e.first == key; });
    if (seen) continue;
    if (SpacePtr s = dict->find(key)) out.emplace_back(key, std::move(s));
  }
  return std::make_shared<Dict>(std::move(out));
}

Value filter_sample(const Value& sample, const std::vector<std::string>& keys) {
  if (sample.is_none()) return Value();
  if (!sample.is_map()) throw TypeError(std::string("filter_sample: expected a map, got ") + sample.kind_name());
  const Map& m = sample.as_map();
  Map out;
  out.reserve(keys.size());
  for (const auto& key : keys) {
    if (const Value* v = m.find(key)) out.set(key, *v);
  }
  return Value(std::move(out));
}

NdArray combine_masks(const NdArray& a, const NdArray& b) {
  if (a.size() != b.size()) {
    throw InvalidArgumentError("combine_masks: the masks differ in length (" + std::to_string(a.size()) + " vs " +
                               std::to_string(b.size()) + ")");
  }
  std::vector<std::int8_t> out(static_cast<std::size_t>(a.size()));
  if (a.dtype() == DType::int8 && b.dtype() == DType::int8) {
    const auto x = a.span<std::int8_t>();
    const auto y = b.span<std::int8_t>();
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int8_t>(x[i] > 0 && y[i] > 0);
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const auto k = static_cast<std::int64_t>(i);
      out[i] = static_cast<std::int8_t>(a.at_double(k) > 0.0 && b.at_double(k) > 0.0);
    }
  }
  return NdArray::from_vector(std::move(out));
}

Value zero_sample(const Space& space) {
  switch (spaces::space_kind(space)) {
    case spaces::SpaceKind::box: {
      const auto& box = static_cast<const Box&>(space);
      return Value(NdArray(box.dtype(), box.shape()));
    }
    case spaces::SpaceKind::discrete: return Value(static_cast<const spaces::Discrete&>(space).start());
    case spaces::SpaceKind::multi_discrete:
      return Value(NdArray(DType::int64, static_cast<const spaces::MultiDiscrete&>(space).shape()));
    case spaces::SpaceKind::multi_binary:
      return Value(NdArray(DType::int8, static_cast<const spaces::MultiBinary&>(space).shape()));
    case spaces::SpaceKind::tuple: {
      const auto& tuple = static_cast<const Tuple&>(space);
      std::vector<Value> parts;
      parts.reserve(tuple.spaces().size());
      for (const auto& part : tuple.spaces()) parts.push_back(zero_sample(*part));
      return Value::tuple(std::move(parts));
    }
    case spaces::SpaceKind::dict: {
      const auto& dict = static_cast<const Dict&>(space);
      Map parts;
      parts.reserve(dict.spaces().size());
      for (const auto& [key, part] : dict.spaces()) parts.set(key, zero_sample(*part));
      return Value(std::move(parts));
    }
    case spaces::SpaceKind::other: break;
  }
  throw TypeError("zero_sample: no zero sample for " + space.str());
}

Value unsquash_action(const Value& action, const Space& space) {
  switch (spaces::space_kind(space)) {
    case spaces::SpaceKind::box: {
      const auto& box = static_cast<const Box&>(space);
      if (action.is_array()) return Value(unsquash_box(action.as_array(), box));
      return Value(unsquash_box(make_np_array(action), box));
    }
    case spaces::SpaceKind::tuple: {
      const auto& tuple = static_cast<const Tuple&>(space);
      if (!action.is_list() || action.as_list().items.size() != tuple.spaces().size()) {
        throw InvalidArgumentError("unsquash_action: expected a sequence of " + std::to_string(tuple.spaces().size()) +
                                   " actions for " + tuple.str() + ", got " + action.str());
      }
      const auto& items = action.as_list().items;
      std::vector<Value> out;
      out.reserve(items.size());
      for (std::size_t i = 0; i < items.size(); ++i) out.push_back(unsquash_action(items[i], *tuple.spaces()[i]));
      return Value(tavrin_inference::List{std::move(out), action.as_list().tuple});
    }
    case spaces::SpaceKind::dict: {
      const auto& dict = static_cast<const Dict&>(space);
      if (!action.is_map()) {
        throw TypeError("unsquash_action: expected a map of actions for " + dict.str() + ", got " + action.kind_name());
      }
      Map out;
      out.reserve(action.as_map().size());
      for (const auto& [key, value] : action.as_map()) out.set(key, unsquash_action(value, *dict.at(key)));
      return Value(std::move(out));
    }
    default: return action;
  }
}

NdArray make_np_array(const Value& value) { return make_array(value); }

NdArray make_np_array(Value&& value) {
  if (value.is_array()) return std::move(value.as_array());
  return make_np_array(static_cast<const Value&>(value));
}

std::int64_t previous_child_index(const Value& previous_action, const AgentNode& agent) {
  const auto& children = agent.get_children();
  const auto n = static_cast<std::int64_t>(children.size());
  // The previous choice as a child position: an index (a number or a one-element array), or a name.
  if (previous_action.is_text()) {
    const auto it = std::find(children.begin(), children.end(), previous_action.as_text());
    return it != children.end() ? it - children.begin() : -1;
  }
  if (previous_action.is_int() || previous_action.is_float() ||
      (previous_action.is_array() && previous_action.as_array().size() == 1)) {
    const double x = previous_action.as_double();
    if (tavrin_inference::is_integral_number(x) && x >= 0 && x < static_cast<double>(n)) {
      return static_cast<std::int64_t>(x);
    }
  }
  return -1;
}

std::optional<NdArray> orchestrator_rule_mask(const Value& previous_action, const AgentNode& agent) {
  const std::int64_t index = previous_child_index(previous_action, agent);
  if (index < 0) return std::nullopt;
  const auto& children = agent.get_children();

  const std::string& previous = children[static_cast<std::size_t>(index)];
  bool ruled = false;
  std::vector<std::int8_t> mask(children.size(), 0);
  for (const auto& rule : agent.follow_rules()) {
    if (rule.after != previous) continue;
    ruled = true;
    for (const auto& name : rule.allowed) {
      const auto it = std::find(children.begin(), children.end(), name);
      if (it != children.end()) mask[static_cast<std::size_t>(it - children.begin())] = 1;
    }
  }
  // A rule that leaves no child allowed would leave the selector nothing to choose: allow all.
  if (!ruled || std::none_of(mask.begin(), mask.end(), [](std::int8_t m) { return m != 0; })) {
    return std::nullopt;
  }
  return NdArray::from_vector(std::move(mask));
}

Value compute_orchestrator_action_mask(const Value& previous_action, const AgentNode& agent) {
  std::optional<NdArray> ruled = orchestrator_rule_mask(previous_action, agent);
  if (ruled) return Value(std::move(*ruled));
  return Value(NdArray::ones(Shape{static_cast<std::int64_t>(agent.get_children().size())}, DType::int8));
}

}  // namespace tavrin_core::space_utils
