#include "skill/action_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <type_traits>
#include <vector>

#include "common/errors.hpp"

namespace tavrin_inference {

namespace {

// The kind name matched but the object is not that kind's class, so the attribute is not there.
template <class Kind>
const Kind& space_as(const spaces::Space& space, const std::string& name, const char* attribute) {
  const auto* kind = dynamic_cast<const Kind*>(&space);
  if (kind == nullptr) {
    throw KeyError("'" + name + "' object has no attribute '" + attribute + "'");
  }
  return *kind;
}

const spaces::Space& sub_space(const spaces::SpacePtr& space, const std::string& name, std::size_t index) {
  if (space == nullptr) {
    throw InvalidArgumentError(name + " sub-space " + std::to_string(index) + " is null");
  }
  return *space;
}

// Entries [offset, offset + count) of the row, cut off at its end (possibly empty). offset >= 0.
template <class T>
std::span<const T> entries(std::span<const T> row, std::int64_t offset, std::int64_t count) {
  const auto length = static_cast<std::int64_t>(row.size());
  const std::int64_t begin = std::min(offset, length);
  const std::int64_t available = length - begin;
  const std::int64_t taken = count <= 0 ? 0 : std::min(count, available);
  return row.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(taken));
}

template <class T>
std::int64_t argmax_of(std::span<const T> logits) {
  return argmax_range(logits.data(), logits.data() + logits.size());
}

// Conversion of a value already clipped to [-1, 1]: only NaN needs care for integer targets (the
// plain cast would be undefined); it becomes 0, as in NdArray::astype.
template <class To, class From>
To to_element(From value) {
  if constexpr (std::is_integral_v<To> && std::is_floating_point_v<From>) {
    if (std::isnan(value)) return 0;
  }
  return static_cast<To>(value);
}

// Clip and conversion to the target element type in one pass, into one new buffer: 1-D, of the
// range's length (the caller's reshape reports a short range).
template <class To, class From>
NdArray clip_unit(std::span<const From> means) {
  std::vector<To> out(means.size());
  std::transform(means.begin(), means.end(), out.begin(),
                 [](From v) { return to_element<To>(std::clamp(v, static_cast<From>(-1), static_cast<From>(1))); });
  return NdArray::from_vector(std::move(out));
}

template <class T>
std::pair<Value, std::int64_t> decode_leaf(std::span<const T> row, const spaces::Discrete& space, std::int64_t offset) {
  const std::int64_t n = space.n();
  return {argmax_of(entries(row, offset, n)), offset + n};
}

template <class T>
std::pair<Value, std::int64_t> decode_leaf(std::span<const T> row, const spaces::Box& space, std::int64_t offset) {
  const std::int64_t size = space.shape().numel();
  const auto means = entries(row, offset, size);
  NdArray flat = visit_dtype(space.dtype(), [&means](auto tag) { return clip_unit<decltype(tag)>(means); });
  return {std::move(flat).reshape(space.shape()), offset + 2 * size};
}

template <class T>
std::pair<Value, std::int64_t> decode_leaf(std::span<const T> row, const spaces::MultiDiscrete& space,
                                           std::int64_t offset) {
  const NdArray& nvec = space.nvec();
  const std::int64_t count = nvec.size();
  const std::int64_t* sizes = nvec.dtype() == DType::int64 ? nvec.data<std::int64_t>() : nullptr;
  std::vector<std::int64_t> choices(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t n = sizes != nullptr ? sizes[i] : static_cast<std::int64_t>(nvec.at_double(i));
    choices[static_cast<std::size_t>(i)] = argmax_of(entries(row, offset, n));
    offset += n;
  }
  return {NdArray::from_vector(std::move(choices)).reshape(space.shape()), offset};
}

template <class T>
std::pair<Value, std::int64_t> decode_leaf(std::span<const T> row, const spaces::MultiBinary& space,
                                           std::int64_t offset) {
  const std::int64_t size = space.shape().numel();
  const auto logits = entries(row, offset, size);
  std::vector<std::int8_t> bits(logits.size());
  // NaN > 0 is false, so a NaN logit gives 0.
  std::transform(logits.begin(), logits.end(), bits.begin(),
                 [](T v) { return static_cast<std::int8_t>(v > 0 ? 1 : 0); });
  return {NdArray::from_vector(std::move(bits)).reshape(space.shape()), offset + size};
}

template <class T>
std::pair<Value, std::int64_t> decode_rest(std::span<const T> row, std::int64_t offset) {
  const auto length = static_cast<std::int64_t>(row.size());
  const auto rest = entries(row, offset, length);
  std::vector<float> out(rest.size());
  std::transform(rest.begin(), rest.end(), out.begin(), [](T v) { return static_cast<float>(v); });
  return {NdArray::from_vector(std::move(out)), length};
}

// A space of one of the kinds above, decoded from the row at `offset` (`attribute`: what the space
// must have).
template <class Kind>
std::pair<Value, std::int64_t> decode_leaf_space(const NdArray& row, const spaces::Space& action_space,
                                                 const std::string& space_name, const char* attribute,
                                                 std::int64_t offset) {
  const auto& space = space_as<Kind>(action_space, space_name, attribute);
  return visit_span(row, [&](auto values) { return decode_leaf(values, space, offset); });
}

}  // namespace

std::string _space_type_name(const spaces::Space& action_space) { return action_space.type_name(); }

std::pair<Value, std::int64_t> ActionDecoder::_decode_action_dist_inputs(const NdArray& action_dist_inputs,
                                                                         const spaces::Space& action_space,
                                                                         std::int64_t offset) const {
  if (action_dist_inputs.ndim() != 1) {
    throw InvalidArgumentError("action_dist_inputs must be one-dimensional, got shape " +
                               action_dist_inputs.shape().str());
  }
  if (offset < 0) {
    throw InvalidArgumentError("offset must not be negative, got " + std::to_string(offset));
  }

  const std::string space_name = _space_type_name(action_space);

  if (space_name == "Discrete") {
    return decode_leaf_space<spaces::Discrete>(action_dist_inputs, action_space, space_name, "n", offset);
  }
  if (space_name == "Box") {
    return decode_leaf_space<spaces::Box>(action_dist_inputs, action_space, space_name, "shape", offset);
  }
  if (space_name == "MultiDiscrete") {
    return decode_leaf_space<spaces::MultiDiscrete>(action_dist_inputs, action_space, space_name, "nvec", offset);
  }
  if (space_name == "MultiBinary") {
    return decode_leaf_space<spaces::MultiBinary>(action_dist_inputs, action_space, space_name, "shape", offset);
  }
  if (space_name == "Tuple") {
    const auto& subs = space_as<spaces::Tuple>(action_space, space_name, "spaces").spaces();
    std::vector<Value> items;
    items.reserve(subs.size());
    for (std::size_t i = 0; i < subs.size(); ++i) {
      // Through the virtual call, so an override decodes the sub-spaces as well.
      auto [item, next] =
          this->_decode_action_dist_inputs(action_dist_inputs, sub_space(subs[i], space_name, i), offset);
      items.push_back(std::move(item));
      offset = next;
    }
    return {List{std::move(items), /*tuple=*/true}, offset};
  }
  if (space_name == "Dict") {
    const auto& subs = space_as<spaces::Dict>(action_space, space_name, "spaces").spaces();
    Map action;
    action.reserve(subs.size());
    for (std::size_t i = 0; i < subs.size(); ++i) {
      auto [item, next] =
          this->_decode_action_dist_inputs(action_dist_inputs, sub_space(subs[i].second, space_name, i), offset);
      action.set(subs[i].first, std::move(item));
      offset = next;
    }
    return {std::move(action), offset};
  }
  return visit_span(action_dist_inputs, [offset](auto row) { return decode_rest(row, offset); });
}

}  // namespace tavrin_inference
