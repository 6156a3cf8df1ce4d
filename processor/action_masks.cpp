// Action masks: the teacher's and the simulator's masks merged into the model's mask, and the static
// helpers that bring masks of any structure into one flat numeric vector.
#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "core_api/space_utils.hpp"
#include "processor/skillkit.hpp"

namespace tavrin_inference {
namespace {

NdArray empty_vector(DType dtype) { return NdArray(dtype, Shape{0}); }

template <class V>
std::optional<NdArray> format_for_onnx(V&& mask);

template <class V>
void add_part(std::vector<NdArray>& parts, V&& value) {
  std::optional<NdArray> part = format_for_onnx(std::forward<V>(value));
  if (!part) throw InvalidArgumentError("cannot join the parts of an action mask that holds None");
  parts.push_back(std::move(*part));
}

// Rules for maps and sequences: the parts joined along their first axis, as float64.
NdArray join_parts(std::vector<NdArray> parts) {
  if (parts.empty()) return empty_vector(DType::float64);
  if (parts.size() == 1 && parts.front().ndim() >= 1) return std::move(parts.front()).astype(DType::float64);
  return NdArray::concatenate(parts).astype(DType::float64);
}

// `V` is `const Value&` or `Value` (an rvalue, whose arrays are moved out instead of copied).
template <class V>
std::optional<NdArray> format_for_onnx(V&& mask) {
  constexpr bool movable = !std::is_lvalue_reference_v<V>;
  switch (mask.kind()) {
    case Value::Kind::none: return std::nullopt;
    case Value::Kind::array:
      if constexpr (movable) {
        return std::move(mask.as_array()).astype(DType::float64);
      } else {
        return mask.as_array().astype(DType::float64);
      }
    case Value::Kind::map: {
      std::vector<NdArray> parts;
      parts.reserve(mask.size());
      for (auto& entry : mask.as_map()) {
        if constexpr (movable) {
          add_part(parts, std::move(entry.second));
        } else {
          add_part(parts, entry.second);
        }
      }
      return join_parts(std::move(parts));
    }
    case Value::Kind::list: {
      std::vector<NdArray> parts;
      parts.reserve(mask.size());
      for (auto& item : mask.as_list().items) {
        if constexpr (movable) {
          add_part(parts, std::move(item));
        } else {
          add_part(parts, item);
        }
      }
      return join_parts(std::move(parts));
    }
    case Value::Kind::boolean:
    case Value::Kind::integer:
    case Value::Kind::floating: return NdArray::from_vector<double>({mask.as_double()});
    default:
      throw TypeError(std::string("an action mask must be numbers, arrays, sequences or maps of them, got ") +
                      mask.kind_name());
  }
}

// Combine form without the float64 detour where it cannot change a value.
template <class V>
NdArray format_for_combine(V&& mask) {
  constexpr bool movable = !std::is_lvalue_reference_v<V>;
  if (mask.is_array()) {
    const DType dtype = mask.as_array().dtype();
    if (dtype == DType::int8 || dtype == DType::float64) {
      if constexpr (movable) {
        return std::move(mask.as_array()).astype(DType::int8).flatten();
      } else {
        return mask.as_array().astype(DType::int8).flatten();
      }
    }
  }
  std::optional<NdArray> formatted = format_for_onnx(std::forward<V>(mask));
  if (!formatted) return empty_vector(DType::int8);
  return std::move(*formatted).astype(DType::int8).flatten();
}

}  // namespace

std::optional<NdArray> BaseAgentProcessor::_format_action_mask_for_onnx(const Value& mask) {
  return format_for_onnx(mask);
}

std::optional<NdArray> BaseAgentProcessor::_format_action_mask_for_onnx(Value&& mask) {
  return format_for_onnx(std::move(mask));
}

NdArray BaseAgentProcessor::_format_action_mask_for_combine(const Value& mask) { return format_for_combine(mask); }

NdArray BaseAgentProcessor::_format_action_mask_for_combine(Value&& mask) {
  return format_for_combine(std::move(mask));
}

NdArray BaseAgentProcessor::combine_array_masks(const NdArray* first, const NdArray* second, std::int64_t size) {
  NdArray out;
  combine_array_masks_into(first, second, size, out);
  return out;
}

NdArray BaseAgentProcessor::_align_mask_length(NdArray mask, std::int64_t target_size) {
  if (target_size < 0) {
    throw InvalidArgumentError("_align_mask_length() target_size must not be negative, got " +
                               std::to_string(target_size));
  }
  const std::int64_t count = mask.size();
  if (count == target_size) return mask;
  if (count > target_size) return std::move(mask).flatten().slice(0, target_size);
  return NdArray::concatenate({std::move(mask).flatten(), NdArray::ones(Shape{target_size - count}, DType::int8)});
}

NdArray BaseAgentProcessor::_align_mask_length(NdArray mask, const Value& target_size) {
  std::int64_t size = 0;
  if (target_size.is_int() || target_size.is_bool()) {
    size = target_size.as_int();
  } else if (target_size.is_float()) {
    const double d = target_size.as_double();
    if (!std::isfinite(d)) throw InvalidArgumentError("_align_mask_length() target_size must be finite");
    // 2**63 is the first double past the int64 range; converting from there on would be undefined.
    if (std::fabs(d) >= 9223372036854775808.0) {
      throw InvalidArgumentError("_align_mask_length() target_size is out of range, got " + Value(d).str());
    }
    size = saturating_cast<std::int64_t>(d);
  } else {
    throw TypeError(std::string("_align_mask_length() target_size must be a number, got ") + target_size.kind_name());
  }
  return _align_mask_length(std::move(mask), size);
}

namespace {

// `mask` as a float64 vector of `size` elements that can be written in place (its own elements are
// reused when nothing else holds them).
double* writable_vector(NdArray& mask, std::int64_t size) {
  if (!(mask.dtype() == DType::float64 && mask.ndim() == 1 && mask.size() == size && mask.writable_in_place())) {
    mask = NdArray::uninitialized(DType::float64, Shape{size});
  }
  return mask.data<double>();
}

}  // namespace

void BaseAgentProcessor::combine_array_masks_into(const NdArray* first, const NdArray* second, std::int64_t size,
                                                  NdArray& out) {
  double* o = writable_vector(out, size);
  std::fill(o, o + size, 1.0);
  // The combine form converts to int8 (truncating, saturating, NaN to 0) and allows what is > 0:
  // for any element type that is a value of at least 1. Entries past a mask's end stay allowed.
  const auto forbid = [o, size](const NdArray* mask) {
    if (mask == nullptr) return;
    visit_span(*mask, [o, size](auto values) {
      const auto n = std::min(size, static_cast<std::int64_t>(values.size()));
      for (std::int64_t i = 0; i < n; ++i) {
        if (!(static_cast<double>(values[static_cast<std::size_t>(i)]) >= 1.0)) o[i] = 0.0;
      }
    });
  };
  forbid(first);
  forbid(second);
}

void BaseAgentProcessor::action_mask_into(const Value& teacher_mask, const Value& sim_action_mask,
                                          NdArray& mask) const {
  // Agents with a custom action space ignore the simulator's mask; missing masks allow all.
  const Value* sim_mask = &sim_action_mask;
  if (context.agent->has_custom_action_space() || sim_mask->is_none()) sim_mask = &no_action_mask;

  // Array masks in one pass, without the intermediate forms.
  const Value& teacher_form = teacher_mask.is_none() ? no_action_mask : teacher_mask;
  const Value& sim_source = sim_mask == &sim_action_mask ? sim_action_mask : absent_value();
  if (teacher_form.is_array() && sim_mask->is_array()) {
    const std::int64_t size = std::max(teacher_form.as_array().size(), sim_mask->as_array().size());
    combine_array_masks_into(&teacher_form.as_array(), &sim_mask->as_array(), size, mask);
    check_step_mask(mask, "action", "teacher", teacher_mask, "simulator", sim_source);
    return;
  }

  NdArray teacher_flat = _format_action_mask_for_combine(teacher_form);
  NdArray sim_flat = _format_action_mask_for_combine(*sim_mask);

  // The shorter mask is padded with allowed entries; nothing is cut here.
  if (teacher_flat.size() != sim_flat.size()) {
    const std::int64_t target = std::max(teacher_flat.size(), sim_flat.size());
    teacher_flat = _align_mask_length(std::move(teacher_flat), target);
    sim_flat = _align_mask_length(std::move(sim_flat), target);
  }

  // Teacher mask first.
  mask = tavrin_core::space_utils::combine_masks(teacher_flat, sim_flat).astype(DType::float64);
  check_step_mask(mask, "action", "teacher", teacher_mask, "simulator", sim_source);
}

asio::awaitable<NdArray> BaseAgentProcessor::mask_with_teacher(const Value& tavrin_obs, const Value& previous_action,
                                                               MaskInto into, const Value& other) {
  Value teacher_mask;
  if (teacher) teacher_mask = co_await teacher->compute_action_mask(tavrin_obs, previous_action);
  NdArray mask;
  (this->*into)(teacher_mask, other, mask);
  co_return mask;
}

asio::awaitable<NdArray> BaseAgentProcessor::compute_action_mask(const Value& tavrin_obs, const Value& sim_action_mask,
                                                                 const Value& previous_action) {
  return mask_with_teacher(tavrin_obs, previous_action, &BaseAgentProcessor::action_mask_into, sim_action_mask);
}

}  // namespace tavrin_inference
