// Spaces in the orchestration file's JSON notation, both ways.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string_view>

#include "common/errors.hpp"
#include "core/space_limits.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_core::spaces {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::List;
using tavrin_inference::TypeError;

namespace {

constexpr const char* kKnownTypes = "Discrete, Box, MultiDiscrete, MultiBinary, Tuple, Dict";
constexpr const char* kKnownDtypes = "float32, float64, int64, int8";

std::string field(const std::string& where, std::string_view name) { return where + "." + std::string(name); }

// Unknown fields are most often typos of known ones ("hihg"), so they are refused, not skipped.
void check_fields(const Map& m, const std::string& where, const std::string& type,
                  std::initializer_list<std::string_view> known) {
  for (const auto& [key, value] : m) {
    bool ok = false;
    for (std::string_view k : known) ok = ok || key == k;
    if (ok) continue;
    std::string list;
    for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    throw InvalidArgumentError(field(where, key)
                                   .append(": unknown field for a ")
                                   .append(type)
                                   .append(" space (known: ")
                                   .append(list)
                                   .append(")"));
  }
}

const Value& required(const Map& m, std::string_view name, const std::string& where) {
  const Value* v = m.find(name);
  if (v == nullptr) throw KeyError(field(where, name) + ": missing");
  return *v;
}

std::int64_t positive_int(const Value& v, const std::string& where) {
  if (!v.is_int()) throw TypeError(where + ": expected a positive integer, got " + std::string(v.kind_name()));
  if (v.as_int() <= 0) throw InvalidArgumentError(where + ": expected a positive integer, got " + v.str());
  return v.as_int();
}

// A JSON number, or one of the texts JSON needs for unbounded values.
bool bound_number(const Value& v, double& out) {
  if (v.is_int() || v.is_float()) {
    out = v.as_double();
    return true;
  }
  if (v.is_text()) {
    const std::string& t = v.as_text();
    if (t == "inf" || t == "+inf" || t == "Infinity" || t == "+Infinity") {
      out = std::numeric_limits<double>::infinity();
      return true;
    }
    if (t == "-inf" || t == "-Infinity") {
      out = -std::numeric_limits<double>::infinity();
      return true;
    }
  }
  return false;
}

struct Numbers {
  std::vector<double> values;
  Shape shape;
};

// The shape that a number, a nested list or an array claims, read along the first elements.
Shape claimed_shape(const Value& v) {
  Shape shape;
  const Value* cur = &v;
  while (cur->is_list()) {
    const auto& items = cur->as_list().items;
    shape.push_back(static_cast<std::int64_t>(items.size()));
    if (items.empty()) return shape;
    cur = &items.front();
  }
  if (cur->is_array()) {
    for (std::int64_t d : cur->as_array().shape()) shape.push_back(d);
  }
  return shape;
}

void collect_numbers(const Value& v, const Shape& shape, std::size_t depth, std::vector<double>& out,
                     const std::string& where, const char* expected) {
  double x = 0.0;
  const bool leaf = depth == shape.ndim();
  if (bound_number(v, x)) {
    if (!leaf) throw InvalidArgumentError(where + ": the nested lists are not rectangular");
    out.push_back(x);
  } else if (v.is_list()) {
    const auto& items = v.as_list().items;
    if (leaf || static_cast<std::int64_t>(items.size()) != shape[depth]) {
      throw InvalidArgumentError(where + ": the nested lists are not rectangular");
    }
    for (const Value& item : items) collect_numbers(item, shape, depth + 1, out, where, expected);
  } else if (v.is_array()) {
    const NdArray& a = v.as_array();
    if (a.ndim() != shape.ndim() - depth || !std::equal(a.shape().begin(), a.shape().end(), shape.begin() + depth)) {
      throw InvalidArgumentError(where + ": the nested lists are not rectangular");
    }
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.at_double(i));
  } else {
    throw TypeError(where + ": expected " + std::string(expected) + ", got " + v.kind_name());
  }
}

// A number or a rectangular nested list of numbers (or an array), with its shape.
Numbers numbers(const Value& v, const std::string& where, const char* expected) {
  Numbers out;
  out.shape = claimed_shape(v);
  out.values.reserve(static_cast<std::size_t>(std::max<std::int64_t>(out.shape.numel(), 0)));
  collect_numbers(v, out.shape, 0, out.values, where, expected);
  return out;
}

Shape read_shape(const Value& v, const std::string& where) {
  if (!v.is_list())
    throw TypeError(where + ": expected a list of non-negative integers, got " + std::string(v.kind_name()));
  Shape shape;
  const auto& items = v.as_list().items;
  if (items.size() > Shape::kMaxDims) {
    throw InvalidArgumentError(where + ": at most " + std::to_string(Shape::kMaxDims) + " dimensions are supported");
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].is_int() || items[i].as_int() < 0) {
      throw InvalidArgumentError(where + "[" + std::to_string(i) + "]: expected a non-negative integer, got " +
                                 items[i].str());
    }
    shape.push_back(items[i].as_int());
  }
  return shape;
}

DType read_dtype(const Value& v, const std::string& where) {
  if (!v.is_text())
    throw TypeError(where + ": expected one of " + std::string(kKnownDtypes) + ", got " + v.kind_name());
  const std::string& t = v.as_text();
  if (t == "float32") return DType::float32;
  if (t == "float64") return DType::float64;
  if (t == "int64") return DType::int64;
  if (t == "int8") return DType::int8;
  throw InvalidArgumentError(where + ": unknown dtype '" + t + "' (known: " + kKnownDtypes + ")");
}

NdArray bound_array(Numbers n, const Shape& shape) {
  if (n.shape.ndim() == 0 && shape.numel() != 1) return NdArray::full(shape, DType::float64, n.values.front());
  return NdArray::from_vector(std::move(n.values), shape);
}

SpacePtr box_from_json(const Map& m, const std::string& where) {
  check_fields(m, where, "Box", {"type", "low", "high", "shape", "dtype"});
  const char* expected = "a number or a list of numbers";
  Numbers low = numbers(required(m, "low", where), field(where, "low"), expected);
  Numbers high = numbers(required(m, "high", where), field(where, "high"), expected);
  const Value* shape_v = m.find("shape");
  const bool low_scalar = low.shape.ndim() == 0;
  const bool high_scalar = high.shape.ndim() == 0;
  Shape shape;
  if (shape_v != nullptr) {
    shape = read_shape(*shape_v, field(where, "shape"));
  } else if (low_scalar && high_scalar) {
    throw KeyError(field(where, "shape") + ": missing (needed when low and high are numbers)");
  } else {
    shape = low_scalar ? high.shape : low.shape;
  }
  const auto check_shape = [&](const char* name, const Numbers& n) {
    if (n.shape.ndim() != 0 && !(n.shape == shape)) {
      throw InvalidArgumentError(field(where, name) + ": shape " + n.shape.str() + " does not match shape " +
                                 shape.str());
    }
  };
  check_shape("low", low);
  check_shape("high", high);
  checked_space_elements(shape, field(where, "shape"));  // before the bounds are allocated
  const DType dtype = m.contains("dtype") ? read_dtype(m.at("dtype"), field(where, "dtype")) : DType::float32;
  try {
    return std::make_shared<Box>(bound_array(std::move(low), shape), bound_array(std::move(high), shape), dtype);
  } catch (const InvalidArgumentError& e) {
    throw InvalidArgumentError(where + ": " + e.what());
  }
}

// A number read as a double, written as an integer when it is one that int64 holds ("3", not "3.0").
std::string integer_text(double k) {
  constexpr double kInt64Bound = 9223372036854775808.0;  // 2**63
  if (std::isfinite(k) && std::floor(k) == k && k >= -kInt64Bound && k < kInt64Bound) {
    return std::to_string(static_cast<std::int64_t>(k));
  }
  return Value(k).str();
}

// Finds the entry at flat position `skip` of a rectangular nested list (nullptr inside an array).
void find_entry(const Value& v, std::int64_t& skip, const Value*& found) {
  if (v.is_list()) {
    for (const Value& item : v.as_list().items) {
      find_entry(item, skip, found);
      if (skip < 0) return;
    }
    return;
  }
  const std::int64_t count = v.is_array() ? v.as_array().size() : 1;
  if (skip < count) {
    if (!v.is_array()) found = &v;
    skip = -1;
    return;
  }
  skip -= count;
}

// Entry `index` of nvec for a message: an integer as written (a double holds integers exactly only
// up to 2**53), any other number as read.
std::string entry_text(const Value& nvec, double k, std::size_t index) {
  std::int64_t skip = static_cast<std::int64_t>(index);
  const Value* entry = nullptr;
  find_entry(nvec, skip, entry);
  if (entry != nullptr && entry->is_int()) return std::to_string(entry->as_int());
  return integer_text(k);
}

SpacePtr multi_discrete_from_json(const Map& m, const std::string& where) {
  check_fields(m, where, "MultiDiscrete", {"type", "nvec"});
  const std::string w = field(where, "nvec");
  const Value& v = required(m, "nvec", where);
  if (!v.is_list() && !v.is_array()) {
    throw TypeError(w + ": expected a non-empty list of positive integers, got " + std::string(v.kind_name()));
  }
  Numbers n = numbers(v, w, "a list of positive integers");
  if (n.values.empty()) throw InvalidArgumentError(w + ": expected a non-empty list of positive integers");
  std::vector<std::int64_t> nvec;
  nvec.reserve(n.values.size());
  for (std::size_t i = 0; i < n.values.size(); ++i) {
    // Checked as a double: converting one outside the integer range (8e38, inf, NaN) is undefined.
    const double k = n.values[i];
    if (!(std::isfinite(k) && std::floor(k) == k && k > 0)) {
      throw InvalidArgumentError(w + ": expected positive integers, got " + entry_text(v, k, i) + " at index " +
                                 std::to_string(i));
    }
    // Every choice of an entry is an element of the flattened space, so a larger entry alone is over
    // the limit.
    if (k > static_cast<double>(kMaxSpaceElements)) {
      throw InvalidArgumentError(w + ": " + entry_text(v, k, i) + " at index " + std::to_string(i) +
                                 " is more elements than a space may have (" + std::to_string(kMaxSpaceElements) + ")");
    }
    nvec.push_back(static_cast<std::int64_t>(k));
  }
  return std::make_shared<MultiDiscrete>(NdArray::from_vector(std::move(nvec), n.shape));
}

SpacePtr multi_binary_from_json(const Map& m, const std::string& where) {
  check_fields(m, where, "MultiBinary", {"type", "n", "shape"});
  const Value* n = m.find("n");
  const Value* shape = m.find("shape");
  if ((n == nullptr) == (shape == nullptr)) {
    if (n == nullptr) throw KeyError(field(where, "n") + ": missing (give \"n\" or \"shape\")");
    throw InvalidArgumentError(where + ": give either \"n\" or \"shape\", not both");
  }
  if (n != nullptr && !n->is_list()) return std::make_shared<MultiBinary>(Shape{positive_int(*n, field(where, "n"))});
  const std::string w = field(where, n != nullptr ? "n" : "shape");
  const Shape s = read_shape(n != nullptr ? *n : *shape, w);
  for (std::int64_t d : s) {
    if (d <= 0) throw InvalidArgumentError(w + ": expected positive integers, got " + s.declared_str());
  }
  return std::make_shared<MultiBinary>(s);
}

SpacePtr tuple_from_json(const Map& m, const std::string& where) {
  check_fields(m, where, "Tuple", {"type", "spaces"});
  const std::string w = field(where, "spaces");
  const Value& v = required(m, "spaces", where);
  if (!v.is_list()) throw TypeError(w + ": expected a list of spaces, got " + std::string(v.kind_name()));
  std::vector<SpacePtr> parts;
  parts.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) parts.push_back(space_from_json(v[i], w + "[" + std::to_string(i) + "]"));
  return std::make_shared<Tuple>(std::move(parts));
}

SpacePtr dict_from_json(const Map& m, const std::string& where) {
  check_fields(m, where, "Dict", {"type", "spaces"});
  const std::string w = field(where, "spaces");
  const Value& v = required(m, "spaces", where);
  if (!v.is_map()) throw TypeError(w + ": expected a map of name to space, got " + std::string(v.kind_name()));
  SpaceEntries parts;
  parts.reserve(v.size());
  for (const auto& [key, sub] : v.as_map()) parts.emplace_back(key, space_from_json(sub, field(w, key)));
  return std::make_shared<Dict>(std::move(parts));
}

// ---- to JSON --------------------------------------------------------------------------------

Value bound_value(double x) {
  if (std::isinf(x)) return Value(x > 0 ? "inf" : "-inf");
  return Value(x);
}

Value nested_list(const NdArray& a, std::size_t dim, std::int64_t& pos, bool integer) {
  if (dim == a.ndim()) {
    const double x = a.at_double(pos++);
    return integer ? Value(static_cast<std::int64_t>(x)) : bound_value(x);
  }
  std::vector<Value> items;
  items.reserve(static_cast<std::size_t>(a.shape()[dim]));
  for (std::int64_t i = 0; i < a.shape()[dim]; ++i) items.push_back(nested_list(a, dim + 1, pos, integer));
  return Value::list(std::move(items));
}

Value array_value(const NdArray& a, bool integer) {
  std::int64_t pos = 0;
  return nested_list(a, 0, pos, integer);
}

Value bound_json(const NdArray& bound) {
  const auto s = bound.span<double>();
  if (!s.empty() && std::all_of(s.begin(), s.end(), [&](double x) { return x == s.front(); })) {
    return bound_value(s.front());
  }
  return array_value(bound, false);
}

Value shape_json(const Shape& shape) {
  std::vector<Value> dims;
  dims.reserve(shape.ndim());
  for (std::int64_t d : shape) dims.emplace_back(d);
  return Value::list(std::move(dims));
}

template <class T>
const T& exact(const Space& space) {
  const auto* s = space_as<T>(space);
  if (s == nullptr) throw TypeError("space_to_json: cannot write " + space.str() + " of type " + space.type_name());
  return *s;
}

}  // namespace

SpacePtr space_from_json(const Value& json, const std::string& where) {
  if (!json.is_map()) throw TypeError(where + ": expected a space object, got " + std::string(json.kind_name()));
  const Map& m = json.as_map();
  const Value& type_v = required(m, "type", where);
  if (!type_v.is_text()) {
    throw TypeError(field(where, "type") + ": expected one of " + kKnownTypes + ", got " + type_v.kind_name());
  }
  const std::string& type = type_v.as_text();
  if (type == "Discrete") {
    check_fields(m, where, type, {"type", "n", "start"});
    const std::int64_t n = positive_int(required(m, "n", where), field(where, "n"));
    std::int64_t start = 0;
    if (const Value* s = m.find("start")) {
      if (!s->is_int()) throw TypeError(field(where, "start") + ": expected an integer, got " + s->kind_name());
      start = s->as_int();
    }
    return std::make_shared<Discrete>(n, start);
  }
  if (type == "Box") return box_from_json(m, where);
  if (type == "MultiDiscrete") return multi_discrete_from_json(m, where);
  if (type == "MultiBinary") return multi_binary_from_json(m, where);
  if (type == "Tuple") return tuple_from_json(m, where);
  if (type == "Dict") return dict_from_json(m, where);
  throw InvalidArgumentError(field(where, "type") + ": unknown space type '" + type + "' (known: " + kKnownTypes + ")");
}

Value space_to_json(const Space& space) {
  const std::string type = space.type_name();
  Map out;
  out.set("type", type);
  if (type == "Discrete") {
    const auto& s = exact<Discrete>(space);
    out.set("n", s.n());
    if (s.start() != 0) out.set("start", s.start());
  } else if (type == "Box") {
    const auto& s = exact<Box>(space);
    out.set("low", bound_json(s.low()));
    out.set("high", bound_json(s.high()));
    out.set("shape", shape_json(s.shape()));
    out.set("dtype", tavrin_inference::dtype_name(s.dtype()));
  } else if (type == "MultiDiscrete") {
    out.set("nvec", array_value(exact<MultiDiscrete>(space).nvec(), true));
  } else if (type == "MultiBinary") {
    const Shape& shape = exact<MultiBinary>(space).shape();
    if (shape.ndim() == 1)
      out.set("n", shape[0]);
    else
      out.set("shape", shape_json(shape));
  } else if (type == "Tuple") {
    std::vector<Value> parts;
    for (const auto& sub : exact<Tuple>(space).spaces()) parts.push_back(space_to_json(*sub));
    out.set("spaces", Value::list(std::move(parts)));
  } else if (type == "Dict") {
    Map parts;
    for (const auto& [key, sub] : exact<Dict>(space).spaces()) parts.set(key, space_to_json(*sub));
    out.set("spaces", Value(std::move(parts)));
  } else {
    throw TypeError("space_to_json: unknown space type '" + type + "' (known: " + kKnownTypes + ")");
  }
  return Value(std::move(out));
}

}  // namespace tavrin_core::spaces
