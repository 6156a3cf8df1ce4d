// The built-in kinds of space: how a space's kind is told, construction, text and flat forms, masks.
// Their samples (flattening, membership, coercion) are in space_samples.cpp.
#include "core_api/spaces.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string_view>
#include <typeinfo>

#include "common/errors.hpp"
#include "core/space_limits.hpp"

namespace tavrin_core::spaces {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

// ---- kinds ----------------------------------------------------------------------------------

namespace {

// The built-in classes themselves are told by the address of their type_info (each has one, in
// this library), which costs no call. An object of a class derived from one is of its kind while it
// reports that class's own name; any other object is of none.
template <class... Kinds>
SpaceKind kind_among(const Space& space) {
  const std::type_info* type = &typeid(space);
  SpaceKind kind = SpaceKind::other;
  if (((type == &typeid(Kinds) && ((kind = Kinds::kKind), true)) || ...)) return kind;
  const auto reports_its_class_name = [&space]<class Kind>(const Kind* as) {
    return as != nullptr && space.type_name() == as->Kind::type_name();
  };
  ((reports_its_class_name(dynamic_cast<const Kinds*>(&space)) && ((kind = Kinds::kKind), true)) || ...);
  return kind;
}

}  // namespace

SpaceKind space_kind(const Space& space) {
  return kind_among<Discrete, Box, MultiDiscrete, MultiBinary, Tuple, Dict>(space);
}

namespace {

// ---- text and flat forms --------------------------------------------------------------------

std::string number_text(double d, bool as_integer) {
  if (as_integer && std::isfinite(d)) return std::to_string(static_cast<std::int64_t>(d));
  return Value(d).str();
}

// ---- flattened boxes ------------------------------------------------------------------------

// The shape, once it is known not to be too large for a space (checked before the bounds are made).
const Shape& checked_box_shape(const Shape& shape) {
  checked_space_elements(shape, "Box");
  return shape;
}

SpacePtr unit_box(std::int64_t n) { return std::make_shared<Box>(0.0, 1.0, Shape{n}, DType::float32); }

const Box& as_flat_box(const SpacePtr& flat, const Space& of) {
  const auto* box = flat ? space_as<Box>(*flat) : nullptr;
  if (box == nullptr) throw TypeError("flatten of " + of.str() + " did not give a Box");
  return *box;
}

SpacePtr concat_boxes(const std::vector<const Space*>& parts, std::int64_t total) {
  std::vector<double> low;
  std::vector<double> high;
  low.reserve(static_cast<std::size_t>(total));
  high.reserve(static_cast<std::size_t>(total));
  for (const Space* p : parts) {
    const SpacePtr flat = p->flatten();  // may be made for the call: held while read
    const Box& b = as_flat_box(flat, *p);
    const auto l = b.low().span<double>();
    const auto h = b.high().span<double>();
    low.insert(low.end(), l.begin(), l.end());
    high.insert(high.end(), h.begin(), h.end());
  }
  return std::make_shared<Box>(NdArray::from_vector(std::move(low)), NdArray::from_vector(std::move(high)),
                               DType::float32);
}

Value ones_mask(std::int64_t n) { return Value(NdArray::ones(Shape{n}, DType::int8)); }

// numpy-style text of an integer array: [3 2], [[3 2] [4 5]].
void append_int_nested(std::string& out, std::span<const std::int64_t> data, const Shape& shape, std::size_t dim,
                       std::size_t& pos) {
  if (dim == shape.ndim()) {
    out += std::to_string(data[pos++]);
    return;
  }
  out += '[';
  for (std::int64_t j = 0; j < shape[dim]; ++j) {
    if (j > 0) out += ' ';
    append_int_nested(out, data, shape, dim + 1, pos);
  }
  out += ']';
}

// One bound of a box in its text form: a number when all elements agree, else the array.
std::string bound_text(const NdArray& bound, bool integer) {
  const auto s = bound.span<double>();
  if (!s.empty() && std::all_of(s.begin(), s.end(), [&](double x) { return x == s.front(); })) {
    return number_text(s.front(), integer);
  }
  return bound.str();
}

}  // namespace

// ---- Discrete -------------------------------------------------------------------------------

Discrete::Discrete(std::int64_t n, std::int64_t start) : n_(n), start_(start) {
  if (n <= 0) throw InvalidArgumentError("Discrete: n must be positive, got " + std::to_string(n));
  checked_space_size(n, "Discrete");
  if (start > INT64_MAX - n) throw InvalidArgumentError("Discrete: start + n must fit a 64-bit integer");
  flat_ = unit_box(n);
}

std::string Discrete::str() const {
  if (start_ == 0) return "Discrete(" + std::to_string(n_) + ")";
  return "Discrete(" + std::to_string(n_) + ", start=" + std::to_string(start_) + ")";
}

SpacePtr Discrete::flatten() const { return flat_; }
SpacePtr Discrete::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{n_}); }
Value Discrete::get_no_action_mask() const { return ones_mask(n_); }

// ---- Box ------------------------------------------------------------------------------------

Box::Box(NdArray low, NdArray high, DType dtype)
    : low_(std::move(low).astype(DType::float64)), high_(std::move(high).astype(DType::float64)), dtype_(dtype) {
  if (!(low_.shape() == high_.shape())) {
    throw InvalidArgumentError("Box: low and high differ in shape (" + low_.shape().str() + " vs " +
                               high_.shape().str() + ")");
  }
  checked_space_elements(low_.shape(), "Box");
  const auto l = low_.span<double>();
  const auto h = high_.span<double>();
  for (std::size_t i = 0; i < l.size(); ++i) {
    if (std::isnan(l[i]) || std::isnan(h[i])) throw InvalidArgumentError("Box: bounds must not be NaN");
    if (l[i] > h[i]) {
      throw InvalidArgumentError("Box: low must not exceed high (element " + std::to_string(i) + ": " +
                                 Value(l[i]).str() + " > " + Value(h[i]).str() + ")");
    }
  }
  if (low_.ndim() != 1 || dtype_ != DType::float32) {
    flat_ = std::make_shared<Box>(low_.flatten(), high_.flatten(), DType::float32);
  }
}

Box::Box(double low, double high, Shape shape, DType dtype)
    : Box(NdArray::full(checked_box_shape(shape), DType::float64, low), NdArray::full(shape, DType::float64, high),
          dtype) {}

std::string Box::str() const {
  const bool integer = tavrin_inference::is_integer_dtype(dtype_);
  return "Box(" + bound_text(low_, integer) + ", " + bound_text(high_, integer) + ", " + shape().str() + ", " +
         tavrin_inference::dtype_name(dtype_) + ")";
}

SpacePtr Box::flatten() const {
  if (flat_) return flat_;
  // The flat form is a plain Box: this one itself, unless it is of a kind of its own (a derived
  // class with a name of its own) or not owned by a shared_ptr; then an equal copy.
  if (space_kind(*this) == SpaceKind::box) {
    if (auto self = weak_from_this().lock()) return self;
  }
  return std::make_shared<Box>(low_, high_, dtype_);
}

SpacePtr Box::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size()}); }
Value Box::get_no_action_mask() const { return ones_mask(flat_size()); }

// ---- MultiDiscrete --------------------------------------------------------------------------

MultiDiscrete::MultiDiscrete(NdArray nvec) {
  if (nvec.ndim() == 0) throw InvalidArgumentError("MultiDiscrete: nvec must have at least one dimension");
  for (std::int64_t i = 0; i < nvec.size(); ++i) {
    const double k = nvec.at_double(i);
    if (!tavrin_inference::is_integral_number(k) || k <= 0) {
      throw InvalidArgumentError("MultiDiscrete: nvec entries must be positive integers, got " + Value(k).str() +
                                 " at " + std::to_string(i));
    }
  }
  nvec_ = std::move(nvec).astype(DType::int64);
  for (std::int64_t k : nvec_.span<std::int64_t>()) flat_size_ = checked_space_sum(flat_size_, k, "MultiDiscrete");
  flat_ = unit_box(flat_size_);
}

std::string MultiDiscrete::str() const {
  std::string out = "MultiDiscrete(";
  std::size_t pos = 0;
  append_int_nested(out, nvec_.span<std::int64_t>(), nvec_.shape(), 0, pos);
  return out + ")";
}

SpacePtr MultiDiscrete::flatten() const { return flat_; }
std::int64_t MultiDiscrete::flat_size() const { return flat_size_; }
SpacePtr MultiDiscrete::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size_}); }
Value MultiDiscrete::get_no_action_mask() const { return ones_mask(flat_size_); }

// ---- MultiBinary ----------------------------------------------------------------------------

MultiBinary::MultiBinary(Shape shape) : shape_(shape) {
  for (std::int64_t d : shape_) {
    if (d < 0) throw InvalidArgumentError("MultiBinary: negative dimension in shape " + shape_.str());
  }
  checked_space_elements(shape_, "MultiBinary");
  flat_ = unit_box(shape_.numel());
}

std::string MultiBinary::str() const {
  if (shape_.ndim() == 1) return "MultiBinary(" + std::to_string(shape_[0]) + ")";
  return "MultiBinary(" + shape_.str() + ")";
}

SpacePtr MultiBinary::flatten() const { return flat_; }
SpacePtr MultiBinary::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size()}); }
Value MultiBinary::get_no_action_mask() const { return ones_mask(flat_size()); }

// ---- Tuple ----------------------------------------------------------------------------------

Tuple::Tuple(std::vector<SpacePtr> spaces) : spaces_(std::move(spaces)) {
  std::vector<const Space*> parts;
  parts.reserve(spaces_.size());
  for (std::size_t i = 0; i < spaces_.size(); ++i) {
    if (!spaces_[i]) throw InvalidArgumentError("Tuple: space " + std::to_string(i) + " is null");
    flat_size_ = checked_space_sum(flat_size_, spaces_[i]->flat_size(), "Tuple");
    parts.push_back(spaces_[i].get());
  }
  flat_ = concat_boxes(parts, flat_size_);
}

std::string Tuple::str() const {
  std::string out = "Tuple(";
  for (std::size_t i = 0; i < spaces_.size(); ++i) {
    if (i > 0) out += ", ";
    out += spaces_[i]->str();
  }
  return out + ")";
}

SpacePtr Tuple::flatten() const { return flat_; }
std::int64_t Tuple::flat_size() const { return flat_size_; }

SpacePtr Tuple::get_action_mask_space() const {
  std::vector<SpacePtr> parts;
  parts.reserve(spaces_.size());
  for (const auto& s : spaces_) parts.push_back(s->get_action_mask_space());
  return std::make_shared<Tuple>(std::move(parts));
}

Value Tuple::get_no_action_mask() const {
  std::vector<Value> parts;
  parts.reserve(spaces_.size());
  for (const auto& s : spaces_) parts.push_back(s->get_no_action_mask());
  return Value::tuple(std::move(parts));
}

// ---- Dict -----------------------------------------------------------------------------------

Dict::Dict(SpaceEntries spaces) : spaces_(std::move(spaces)) {
  std::vector<const Space*> parts;
  parts.reserve(spaces_.size());
  for (std::size_t i = 0; i < spaces_.size(); ++i) {
    const auto& [key, space] = spaces_[i];
    if (!space) throw InvalidArgumentError("Dict: space '" + key + "' is null");
    for (std::size_t j = 0; j < i; ++j) {
      if (spaces_[j].first == key) throw InvalidArgumentError("Dict: duplicate key '" + key + "'");
    }
    flat_size_ = checked_space_sum(flat_size_, space->flat_size(), "Dict");
    parts.push_back(space.get());
  }
  flat_ = concat_boxes(parts, flat_size_);
}

SpacePtr Dict::find(std::string_view key) const {
  for (const auto& [k, s] : spaces_) {
    if (k == key) return s;
  }
  return nullptr;
}

const SpacePtr& Dict::at(std::string_view key) const {
  for (const auto& entry : spaces_) {
    if (entry.first == key) return entry.second;
  }
  std::string keys;
  for (const auto& entry : spaces_) keys += (keys.empty() ? "'" : ", '") + entry.first + "'";
  throw KeyError("'" + std::string(key) + "' is not a key of the Dict space (keys: " + keys + ")");
}

std::string Dict::str() const {
  std::string out = "Dict(";
  bool first = true;
  for (const auto& [key, space] : spaces_) {
    if (!first) out += ", ";
    first = false;
    out += Value(key).str() + ": " + space->str();
  }
  return out + ")";
}

SpacePtr Dict::flatten() const { return flat_; }
std::int64_t Dict::flat_size() const { return flat_size_; }

SpacePtr Dict::get_action_mask_space() const {
  SpaceEntries parts;
  parts.reserve(spaces_.size());
  for (const auto& [key, space] : spaces_) parts.emplace_back(key, space->get_action_mask_space());
  return std::make_shared<Dict>(std::move(parts));
}

Value Dict::get_no_action_mask() const {
  Map out;
  out.reserve(spaces_.size());
  for (const auto& [key, space] : spaces_) out.set(key, space->get_no_action_mask());
  return Value(std::move(out));
}

}  // namespace tavrin_core::spaces
