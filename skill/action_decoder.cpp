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
std::pair<Value, std::int64_t> decode_discrete(std::span<const T> row, const spaces::Discrete& space,
                                               std::int64_t offset) {
  const std::int64_t n = space.n();
  return {argmax_of(entries(row, offset, n)), offset + n};
}

template <class T>
std::pair<Value, std::int64_t> decode_box(std::span<const T> row, const spaces::Box& space, std::int64_t offset) {
  const std::int64_t size = space.shape().numel();
  const auto means = entries(row, offset, size);
  NdArray flat;
  switch (space.dtype()) {
    case DType::float32: flat = clip_unit<float>(means); break;
    case DType::float64: flat = clip_unit<double>(means); break;
    case DType::int64: flat = clip_unit<std::int64_t>(means); break;
    case DType::int8: flat = clip_unit<std::int8_t>(means); break;
  }
  return {std::move(flat).reshape(space.shape()), offset + 2 * size};
}

template <class T>
std::pair<Value, std::int64_t> decode_multi_discrete(std::span<const T> row, const spaces::MultiDiscrete& space,
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
std::pair<Value, std::int64_t> decode_multi_binary(std::span<const T> row, const spaces::MultiBinary& space,
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

// Calls f with the row as a typed span.
template <class F>
std::pair<Value, std::int64_t> with_row(const NdArray& row, F&& f) {
  switch (row.dtype()) {
    case DType::float32: return f(row.span<float>());
    case DType::float64: return f(row.span<double>());
    case DType::int64: return f(row.span<std::int64_t>());
    case DType::int8: return f(row.span<std::int8_t>());
  }
  throw TypeError("action_dist_inputs has an unknown element type");
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
    const auto& space = space_as<spaces::Discrete>(action_space, space_name, "n");
    return with_row(action_dist_inputs, [&](auto row) { return decode_discrete(row, space, offset); });
  }
  if (space_name == "Box") {
    const auto& space = space_as<spaces::Box>(action_space, space_name, "shape");
    return with_row(action_dist_inputs, [&](auto row) { return decode_box(row, space, offset); });
  }
  if (space_name == "MultiDiscrete") {
    const auto& space = space_as<spaces::MultiDiscrete>(action_space, space_name, "nvec");
    return with_row(action_dist_inputs, [&](auto row) { return decode_multi_discrete(row, space, offset); });
  }
  if (space_name == "MultiBinary") {
    const auto& space = space_as<spaces::MultiBinary>(action_space, space_name, "shape");
    return with_row(action_dist_inputs, [&](auto row) { return decode_multi_binary(row, space, offset); });
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
  return with_row(action_dist_inputs, [&](auto row) { return decode_rest(row, offset); });
}

}  // namespace tavrin_inference
