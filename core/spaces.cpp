#include "core_api/spaces.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <typeinfo>

#include "common/errors.hpp"
#include "core/member_path.hpp"
#include "core/space_limits.hpp"
#include "core/value_arrays.hpp"

namespace tavrin_core::spaces {

using tavrin_inference::Error;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::List;
using tavrin_inference::TypeError;

namespace {

// ---- small helpers --------------------------------------------------------------------------

std::string number_text(double d, bool as_integer) {
  if (as_integer && std::isfinite(d)) return std::to_string(static_cast<std::int64_t>(d));
  return Value(d).str();
}

bool is_integer_dtype(DType d) { return d == DType::int64 || d == DType::int8; }

// Who is asking, for messages: the `where` given to coerce, else the operation's name.
struct Ctx {
  const std::string* where;
  const char* op;
  std::string text() const { return where != nullptr ? *where : std::string(op); }
};

constexpr const char* kFlattenSample = "flatten_sample";

[[noreturn]] void fail_count(const Ctx& ctx, const Space& space, std::int64_t expected, std::int64_t got) {
  throw InvalidArgumentError(ctx.text() + ": expected " + std::to_string(expected) + " values for " + space.str() +
                             ", got " + std::to_string(got));
}

[[noreturn]] void fail_kind(const Ctx& ctx, const Space& space, const Value& got) {
  throw TypeError(ctx.text() + ": expected a number, a list or an array for " + space.str() + ", got " +
                  got.kind_name());
}

// Visits the numbers of a number, a (nested) list or an array in row-major order as f(index, value)
// and returns how many there were.
template <class F>
void visit_numbers_rec(const Value& v, F& f, std::int64_t& i, const Ctx& ctx, const Space& space) {
  switch (v.kind()) {
    case Value::Kind::boolean:
    case Value::Kind::integer:
    case Value::Kind::floating: f(i++, v.as_double()); return;
    case Value::Kind::array:
      visit_span(v.as_array(), [&](auto s) {
        for (auto x : s) f(i++, static_cast<double>(x));
      });
      return;
    case Value::Kind::list:
      for (const Value& item : v.as_list().items) visit_numbers_rec(item, f, i, ctx, space);
      return;
    default: fail_kind(ctx, space, v);
  }
}

template <class F>
std::int64_t visit_numbers(const Value& v, F&& f, const Ctx& ctx, const Space& space) {
  std::int64_t i = 0;
  visit_numbers_rec(v, f, i, ctx, space);
  return i;
}

// Writes the numbers of `sample` (exactly n of them) into out as float32.
void write_numbers(const Space& space, const Value& sample, std::int64_t n, float* out, const Ctx& ctx) {
  if (sample.is_array()) {  // the common case: one size check, one converting copy
    const NdArray& a = sample.as_array();
    if (a.size() != n) fail_count(ctx, space, n, a.size());
    visit_span(
        a, [out](auto s) { std::transform(s.begin(), s.end(), out, [](auto x) { return static_cast<float>(x); }); });
    return;
  }
  const std::int64_t got = visit_numbers(
      sample,
      [&](std::int64_t i, double x) {
        if (i < n) out[i] = static_cast<float>(x);
      },
      ctx, space);
  if (got != n) fail_count(ctx, space, n, got);
}

// The one number held by a number or a one-element array; false for anything else.
bool single_number(const Value& v, double& out) {
  if (v.is_number()) {
    out = v.as_double();
    return true;
  }
  if (v.is_array() && v.as_array().size() == 1) {
    out = v.as_array().at_double(0);
    return true;
  }
  return false;
}

bool is_integral(double x) { return std::isfinite(x) && std::floor(x) == x; }

std::int64_t discrete_index(const Discrete& space, const Value& v, const Ctx& ctx) {
  double x = 0.0;
  if (single_number(v, x) && is_integral(x) && x >= static_cast<double>(space.start()) &&
      x < static_cast<double>(space.start() + space.n())) {
    return static_cast<std::int64_t>(x) - space.start();
  }
  throw InvalidArgumentError(ctx.text() + ": expected an integer in [" + std::to_string(space.start()) + ", " +
                             std::to_string(space.start() + space.n()) + ") for " + space.str() + ", got " + v.str());
}

// ---- flattening into a shared buffer --------------------------------------------------------
// Composite spaces write their parts straight into one output buffer; a space of a type derived from
// the built-in kinds may override flatten_sample, so it goes through the virtual call instead.

void write_flat(const Space& space, const Value& sample, float* out, const Ctx& ctx);

void write_flat_discrete(const Discrete& s, const Value& sample, float* out, const Ctx& ctx) {
  out[discrete_index(s, sample, ctx)] = 1.0F;
}

void write_flat_multi_discrete(const MultiDiscrete& s, const Value& sample, float* out, const Ctx& ctx) {
  const auto nvec = s.nvec().span<std::int64_t>();
  const auto n = static_cast<std::int64_t>(nvec.size());
  std::int64_t offset = 0;
  const std::int64_t got = visit_numbers(
      sample,
      [&](std::int64_t i, double x) {
        if (i >= n) return;
        const std::int64_t k = nvec[static_cast<std::size_t>(i)];
        if (!is_integral(x) || x < 0 || x >= static_cast<double>(k)) {
          throw InvalidArgumentError(ctx.text() + ": component " + std::to_string(i) + " of " + s.str() +
                                     " must be an integer in [0, " + std::to_string(k) + "), got " + Value(x).str());
        }
        out[offset + static_cast<std::int64_t>(x)] = 1.0F;
        offset += k;
      },
      ctx, s);
  if (got != n) fail_count(ctx, s, n, got);
}

void write_flat_tuple(const Tuple& s, const Value& sample, float* out, const Ctx& ctx) {
  if (!sample.is_list() || sample.as_list().items.size() != s.spaces().size()) {
    throw InvalidArgumentError(ctx.text() + ": expected a sequence of " + std::to_string(s.spaces().size()) +
                               " values for " + s.str() + ", got " +
                               (sample.is_list() ? std::to_string(sample.size()) + " values" : sample.kind_name()));
  }
  const auto& items = sample.as_list().items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    write_flat(*s.spaces()[i], items[i], out, ctx);
    out += s.spaces()[i]->flat_size();
  }
}

void write_flat_dict(const Dict& s, const Value& sample, float* out, const Ctx& ctx) {
  if (!sample.is_map()) {
    throw TypeError(ctx.text() + ": expected a map for " + s.str() + ", got " + sample.kind_name());
  }
  const Map& m = sample.as_map();
  for (const auto& [key, sub] : s.spaces()) {
    const Value* v = m.find(key);
    if (v == nullptr) throw KeyError(ctx.text() + ": missing key '" + key + "' for " + s.str());
    write_flat(*sub, *v, out, ctx);
    out += sub->flat_size();
  }
}

// The type_info objects are compared by address: each built-in kind has one, in this library, so a
// match is exact, and a miss (any other type) falls to the virtual call, which is right for every
// space. Comparing them by name would cost a string comparison per miss, every step.
void write_flat(const Space& space, const Value& sample, float* out, const Ctx& ctx) {
  const std::type_info* t = &typeid(space);
  if (t == &typeid(Box) || t == &typeid(MultiBinary)) {
    write_numbers(space, sample, space.flat_size(), out, ctx);
  } else if (t == &typeid(Dict)) {
    write_flat_dict(static_cast<const Dict&>(space), sample, out, ctx);
  } else if (t == &typeid(Discrete)) {
    write_flat_discrete(static_cast<const Discrete&>(space), sample, out, ctx);
  } else if (t == &typeid(MultiDiscrete)) {
    write_flat_multi_discrete(static_cast<const MultiDiscrete&>(space), sample, out, ctx);
  } else if (t == &typeid(Tuple)) {
    write_flat_tuple(static_cast<const Tuple&>(space), sample, out, ctx);
  } else {
    const NdArray part = space.flatten_sample(sample);
    if (part.size() != space.flat_size()) fail_count(ctx, space, space.flat_size(), part.size());
    visit_span(
        part, [out](auto s) { std::transform(s.begin(), s.end(), out, [](auto x) { return static_cast<float>(x); }); });
  }
}

// The kind's own writer, never the dispatcher: a derived space calling its base's flatten_sample
// must not be sent back to its own override.
template <class Write>
NdArray flatten_with(std::int64_t n, Write&& write) {
  NdArray out(DType::float32, Shape{n});
  write(out.data<float>(), Ctx{nullptr, kFlattenSample});
  return out;
}

// Whether `space` is exactly one of the built-in kinds (by address, as write_flat compares).
bool is_builtin_kind(const Space& space) {
  const std::type_info* t = &typeid(space);
  return t == &typeid(Dict) || t == &typeid(Box) || t == &typeid(MultiBinary) || t == &typeid(Discrete) ||
         t == &typeid(MultiDiscrete) || t == &typeid(Tuple);
}

}  // namespace

void Space::flatten_sample_into(const Value& sample, NdArray& out) const {
  // A space of a type derived from the built-in kinds may override flatten_sample: it is asked.
  if (!is_builtin_kind(*this)) {
    out = flatten_sample(sample);
    return;
  }
  const std::int64_t n = flat_size();
  if (!(out.dtype() == DType::float32 && out.ndim() == 1 && out.size() == n && out.writable_in_place())) {
    out = NdArray::uninitialized(DType::float32, Shape{n});
  }
  float* data = out.data<float>();
  std::fill(data, data + n, 0.0F);
  write_flat(*this, sample, data, Ctx{nullptr, kFlattenSample});
}

namespace {

// ---- flattened boxes ------------------------------------------------------------------------

// The shape, once it is known not to be too large for a space (checked before the bounds are made).
const Shape& checked_box_shape(const Shape& shape) {
  checked_space_elements(shape, "Box");
  return shape;
}

SpacePtr unit_box(std::int64_t n) { return std::make_shared<Box>(0.0, 1.0, Shape{n}, DType::float32); }

const Box& as_flat_box(const SpacePtr& flat, const Space& of) {
  const auto* box = dynamic_cast<const Box*>(flat.get());
  if (box == nullptr) throw TypeError("flatten of " + of.str() + " did not give a Box");
  return *box;
}

SpacePtr concat_boxes(const std::vector<const Space*>& parts, std::int64_t total) {
  std::vector<double> low;
  std::vector<double> high;
  low.reserve(static_cast<std::size_t>(total));
  high.reserve(static_cast<std::size_t>(total));
  for (const Space* p : parts) {
    const Box& b = as_flat_box(p->flatten(), *p);
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
NdArray Discrete::flatten_sample(const Value& sample) const {
  return flatten_with(n_, [&](float* out, const Ctx& ctx) { write_flat_discrete(*this, sample, out, ctx); });
}
SpacePtr Discrete::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{n_}); }
Value Discrete::get_no_action_mask() const { return ones_mask(n_); }

bool Discrete::contains(const Value& sample) const {
  double x = 0.0;
  if (sample.is_int() || sample.is_bool()) {
    x = sample.as_double();
  } else if (sample.is_array() && sample.as_array().ndim() == 0 && is_integer_dtype(sample.as_array().dtype())) {
    x = sample.as_array().at_double(0);
  } else {
    return false;
  }
  return x >= static_cast<double>(start_) && x < static_cast<double>(start_ + n_);
}

Value Discrete::coerce(const Value& value, const std::string& where) const {
  return Value(discrete_index(*this, value, Ctx{&where, nullptr}) + start_);
}

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
  const bool integer = is_integer_dtype(dtype_);
  return "Box(" + bound_text(low_, integer) + ", " + bound_text(high_, integer) + ", " + shape().str() + ", " +
         tavrin_inference::dtype_name(dtype_) + ")";
}

SpacePtr Box::flatten() const {
  if (flat_) return flat_;
  if (auto self = weak_from_this().lock()) return self;
  return std::make_shared<Box>(*this);  // not owned by a shared_ptr: hand out an equal copy
}

NdArray Box::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size(),
                      [&](float* out, const Ctx& ctx) { write_numbers(*this, sample, flat_size(), out, ctx); });
}
SpacePtr Box::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size()}); }
Value Box::get_no_action_mask() const { return ones_mask(flat_size()); }

bool Box::contains(const Value& sample) const {
  NdArray a;
  try {
    a = make_array(sample);
  } catch (const Error&) {
    return false;
  }
  if (!(a.shape() == shape())) return false;
  const auto l = low_.span<double>();
  const auto h = high_.span<double>();
  const bool integer = is_integer_dtype(dtype_);
  for (std::int64_t i = 0; i < a.size(); ++i) {
    const double x = a.at_double(i);
    const auto k = static_cast<std::size_t>(i);
    if (!(x >= l[k] && x <= h[k])) return false;  // NaN fails too
    if (integer && !is_integral(x)) return false;
  }
  return true;
}

Value Box::coerce(const Value& value, const std::string& where) const {
  const Ctx ctx{&where, nullptr};
  const std::int64_t n = flat_size();
  if (value.is_array()) {
    const NdArray& a = value.as_array();
    if (a.size() != n) fail_count(ctx, *this, n, a.size());
    NdArray out = a.astype(dtype_);
    if (!(out.shape() == shape())) out = std::move(out).reshape(shape());
    return Value(std::move(out));
  }
  NdArray out(dtype_, shape());
  const std::int64_t got = visit_numbers(
      value,
      [&](std::int64_t i, double x) {
        if (i < n) out.set_double(i, x);
      },
      ctx, *this);
  if (got != n) fail_count(ctx, *this, n, got);
  return Value(std::move(out));
}

// ---- MultiDiscrete --------------------------------------------------------------------------

MultiDiscrete::MultiDiscrete(NdArray nvec) {
  if (nvec.ndim() == 0) throw InvalidArgumentError("MultiDiscrete: nvec must have at least one dimension");
  for (std::int64_t i = 0; i < nvec.size(); ++i) {
    const double k = nvec.at_double(i);
    if (!is_integral(k) || k <= 0) {
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
NdArray MultiDiscrete::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_,
                      [&](float* out, const Ctx& ctx) { write_flat_multi_discrete(*this, sample, out, ctx); });
}
std::int64_t MultiDiscrete::flat_size() const { return flat_size_; }
SpacePtr MultiDiscrete::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size_}); }
Value MultiDiscrete::get_no_action_mask() const { return ones_mask(flat_size_); }

bool MultiDiscrete::contains(const Value& sample) const {
  NdArray a;
  try {
    a = make_array(sample);
  } catch (const Error&) {
    return false;
  }
  if (!(a.shape() == shape())) return false;
  const auto nvec = nvec_.span<std::int64_t>();
  for (std::int64_t i = 0; i < a.size(); ++i) {
    const double x = a.at_double(i);
    if (!is_integral(x) || x < 0 || x >= static_cast<double>(nvec[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

Value MultiDiscrete::coerce(const Value& value, const std::string& where) const {
  const Ctx ctx{&where, nullptr};
  const auto nvec = nvec_.span<std::int64_t>();
  const auto n = static_cast<std::int64_t>(nvec.size());
  std::vector<std::int64_t> out(nvec.size());
  const std::int64_t got = visit_numbers(
      value,
      [&](std::int64_t i, double x) {
        if (i >= n) return;
        const std::int64_t k = nvec[static_cast<std::size_t>(i)];
        if (!is_integral(x) || x < 0 || x >= static_cast<double>(k)) {
          throw InvalidArgumentError(where + ": component " + std::to_string(i) + " of " + str() +
                                     " must be an integer in [0, " + std::to_string(k) + "), got " + Value(x).str());
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(x);
      },
      ctx, *this);
  if (got != n) fail_count(ctx, *this, n, got);
  return Value(NdArray::from_vector(std::move(out), shape()));
}

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
NdArray MultiBinary::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size(),
                      [&](float* out, const Ctx& ctx) { write_numbers(*this, sample, flat_size(), out, ctx); });
}
SpacePtr MultiBinary::get_action_mask_space() const { return std::make_shared<MultiBinary>(Shape{flat_size()}); }
Value MultiBinary::get_no_action_mask() const { return ones_mask(flat_size()); }

bool MultiBinary::contains(const Value& sample) const {
  NdArray a;
  try {
    a = make_array(sample);
  } catch (const Error&) {
    return false;
  }
  if (!(a.shape() == shape_)) return false;
  for (std::int64_t i = 0; i < a.size(); ++i) {
    const double x = a.at_double(i);
    if (x != 0.0 && x != 1.0) return false;
  }
  return true;
}

Value MultiBinary::coerce(const Value& value, const std::string& where) const {
  const Ctx ctx{&where, nullptr};
  const std::int64_t n = flat_size();
  std::vector<std::int8_t> out(static_cast<std::size_t>(n));
  const std::int64_t got = visit_numbers(
      value,
      [&](std::int64_t i, double x) {
        if (i >= n) return;
        if (x != 0.0 && x != 1.0) {
          throw InvalidArgumentError(where + ": element " + std::to_string(i) + " of " + str() +
                                     " must be 0 or 1, got " + Value(x).str());
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(x);
      },
      ctx, *this);
  if (got != n) fail_count(ctx, *this, n, got);
  return Value(NdArray::from_vector(std::move(out), shape_));
}

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
NdArray Tuple::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_, [&](float* out, const Ctx& ctx) { write_flat_tuple(*this, sample, out, ctx); });
}
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

bool Tuple::contains(const Value& sample) const {
  if (!sample.is_list() || sample.as_list().items.size() != spaces_.size()) return false;
  const auto& items = sample.as_list().items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!spaces_[i]->contains(items[i])) return false;
  }
  return true;
}

Value Tuple::coerce(const Value& value, const std::string& where) const {
  if (!value.is_list() || value.as_list().items.size() != spaces_.size()) {
    throw InvalidArgumentError(where + ": expected a sequence of " + std::to_string(spaces_.size()) + " values for " +
                               str() + ", got " +
                               (value.is_list() ? std::to_string(value.size()) + " values" : value.kind_name()));
  }
  const auto& items = value.as_list().items;
  std::vector<Value> out;
  out.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    out.push_back(spaces_[i]->coerce(items[i], where + "[" + std::to_string(i) + "]"));
  }
  return Value::tuple(std::move(out));
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
NdArray Dict::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_, [&](float* out, const Ctx& ctx) { write_flat_dict(*this, sample, out, ctx); });
}
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

bool Dict::contains(const Value& sample) const {
  if (!sample.is_map() || sample.as_map().size() != spaces_.size()) return false;
  const Map& m = sample.as_map();
  for (const auto& [key, space] : spaces_) {
    const Value* v = m.find(key);
    if (v == nullptr || !space->contains(*v)) return false;
  }
  return true;
}

Value Dict::coerce(const Value& value, const std::string& where) const {
  if (!value.is_map()) throw TypeError(where + ": expected a map for " + str() + ", got " + value.kind_name());
  const Map& m = value.as_map();
  Map out;
  out.reserve(spaces_.size());
  for (const auto& [key, space] : spaces_) {
    const Value* v = m.find(key);
    if (v == nullptr)
      throw KeyError(std::string(where).append(": missing key '").append(key).append("' for ").append(str()));
    out.set(key, space->coerce(*v, member_path(where, key)));
  }
  return Value(std::move(out));
}

}  // namespace tavrin_core::spaces
