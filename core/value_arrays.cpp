#include "core/value_arrays.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"

namespace tavrin_core {

using tavrin_inference::DType;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::TypeError;
using tavrin_inference::Value;

namespace {

[[noreturn]] void ragged() {
  throw InvalidArgumentError(
      "make_np_array: setting an array element with a sequence: the nested lists have an inhomogeneous shape");
}

[[noreturn]] void cannot_make_array_of(const Value& v) {
  throw TypeError(std::string("make_np_array: cannot make an array of ") + v.kind_name());
}

DType leaf_dtype(const Value& v) {
  if (v.is_bool()) return DType::int8;
  if (v.is_int()) return DType::int64;
  return DType::float64;
}

// The shape claimed by the first elements of nested lists (continued by an array's shape where
// arrays are leaves); false past Shape::kMaxDims levels.
bool claimed_shape(const Value& value, bool array_leaves, Shape& shape) {
  const Value* cur = &value;
  while (cur->is_list()) {
    if (shape.ndim() == Shape::kMaxDims) return false;
    const auto& items = cur->as_list().items;
    shape.push_back(static_cast<std::int64_t>(items.size()));
    if (items.empty()) return true;
    cur = &items.front();
  }
  if (array_leaves && cur->is_array()) {
    for (std::int64_t d : cur->as_array().shape()) {
      if (shape.ndim() == Shape::kMaxDims) return false;
      shape.push_back(d);
    }
  }
  return true;
}

struct Reader {
  bool array_leaves;
  NestedNumbers& out;
  bool any_leaf = false;

  void add_leaf_type(DType d) {
    out.dtype = any_leaf ? tavrin_inference::promote_types(out.dtype, d) : d;
    any_leaf = true;
  }

  NestedFault read(const Value& v, std::size_t depth) {
    const Shape& shape = out.shape;
    if (v.is_number()) {
      if (depth != shape.ndim()) return NestedFault::ragged;
      add_leaf_type(leaf_dtype(v));
      out.numbers.push_back(v.as_double());
      return NestedFault::none;
    }
    if (v.is_list()) {
      const auto& items = v.as_list().items;
      if (depth == shape.ndim() || static_cast<std::int64_t>(items.size()) != shape[depth]) return NestedFault::ragged;
      for (const Value& item : items) {
        const NestedFault fault = read(item, depth + 1);
        if (fault != NestedFault::none) return fault;
      }
      return NestedFault::none;
    }
    if (array_leaves && v.is_array()) {
      const NdArray& a = v.as_array();
      if (a.ndim() != shape.ndim() - depth || !std::equal(a.shape().begin(), a.shape().end(), shape.begin() + depth)) {
        return NestedFault::ragged;
      }
      add_leaf_type(a.dtype());
      visit_span(a, [this](auto values) { out.numbers.insert(out.numbers.end(), values.begin(), values.end()); });
      return NestedFault::none;
    }
    out.bad = &v;
    return NestedFault::not_a_number;
  }
};

}  // namespace

NestedFault read_nested_numbers(const Value& value, bool array_leaves, NestedNumbers& out) {
  out.shape = Shape{};
  out.numbers.clear();
  out.dtype = DType::float64;
  out.bad = nullptr;
  if (!claimed_shape(value, array_leaves, out.shape)) return NestedFault::too_deep;
  out.numbers.reserve(static_cast<std::size_t>(out.shape.numel()));
  return Reader{array_leaves, out}.read(value, 0);
}

NdArray make_array(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::array: return value.as_array();
    case Value::Kind::boolean: return NdArray::scalar(value.as_bool());
    case Value::Kind::integer: return NdArray::scalar(value.as_int());
    case Value::Kind::floating: return NdArray::scalar(value.as_double());
    case Value::Kind::list: {
      NestedNumbers nested;
      switch (read_nested_numbers(value, true, nested)) {
        case NestedFault::none: break;
        case NestedFault::ragged: ragged();
        case NestedFault::not_a_number: cannot_make_array_of(*nested.bad);
        case NestedFault::too_deep: nested.shape.push_back(1);  // a full Shape refuses one more level
      }
      return NdArray::from_vector(nested.numbers, nested.shape).astype(nested.dtype);
    }
    default: cannot_make_array_of(value);
  }
}

}  // namespace tavrin_core
