// Samples of the built-in kinds of space: flattening, membership and coercion. Flattening and
// coercion check a sample through the same per-kind checks, so each kind's complaint reads the same
// whichever operation finds it.
#include <algorithm>
#include <cmath>
#include <span>
#include <typeinfo>

#include "common/errors.hpp"
#include "core/member_path.hpp"
#include "core/value_arrays.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_core::spaces {

using tavrin_inference::Error;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::is_integral_number;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

namespace {

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

// Visits the numbers of a number, a (nested) list or an array in row-major order as f(index, value).
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

// Visits the first n numbers of `sample` as f(index, value); InvalidArgumentError unless it holds
// exactly n.
template <class F>
void visit_n_numbers(const Value& sample, std::int64_t n, F&& f, const Ctx& ctx, const Space& space) {
  std::int64_t got = 0;
  auto first_n = [&](std::int64_t i, double x) {
    if (i < n) f(i, x);
  };
  visit_numbers_rec(sample, first_n, got, ctx, space);
  if (got != n) fail_count(ctx, space, n, got);
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
  visit_n_numbers(
      sample, n, [out](std::int64_t i, double x) { out[i] = static_cast<float>(x); }, ctx, space);
}

// ---- the checks of each kind ------------------------------------------------------------------

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

std::int64_t discrete_index(const Discrete& space, const Value& v, const Ctx& ctx) {
  double x = 0.0;
  if (single_number(v, x) && is_integral_number(x) && x >= static_cast<double>(space.start()) &&
      x < static_cast<double>(space.start() + space.n())) {
    return static_cast<std::int64_t>(x) - space.start();
  }
  throw InvalidArgumentError(ctx.text() + ": expected an integer in [" + std::to_string(space.start()) + ", " +
                             std::to_string(space.start() + space.n()) + ") for " + space.str() + ", got " + v.str());
}

// Calls f(index, value, size) for every component of a MultiDiscrete sample, each checked to be an
// integer in [0, size of its component).
template <class F>
void visit_components(const MultiDiscrete& s, const Value& sample, F&& f, const Ctx& ctx) {
  const auto nvec = s.nvec().span<std::int64_t>();
  visit_n_numbers(
      sample, static_cast<std::int64_t>(nvec.size()),
      [&](std::int64_t i, double x) {
        const std::int64_t k = nvec[static_cast<std::size_t>(i)];
        if (!is_integral_number(x) || x < 0 || x >= static_cast<double>(k)) {
          throw InvalidArgumentError(ctx.text() + ": component " + std::to_string(i) + " of " + s.str() +
                                     " must be an integer in [0, " + std::to_string(k) + "), got " + Value(x).str());
        }
        f(i, static_cast<std::int64_t>(x), k);
      },
      ctx, s);
}

const std::vector<Value>& tuple_items(const Tuple& s, const Value& sample, const Ctx& ctx) {
  if (!sample.is_list() || sample.as_list().items.size() != s.spaces().size()) {
    throw InvalidArgumentError(ctx.text() + ": expected a sequence of " + std::to_string(s.spaces().size()) +
                               " values for " + s.str() + ", got " +
                               (sample.is_list() ? std::to_string(sample.size()) + " values" : sample.kind_name()));
  }
  return sample.as_list().items;
}

const Map& dict_map(const Dict& s, const Value& sample, const Ctx& ctx) {
  if (!sample.is_map()) {
    throw TypeError(ctx.text() + ": expected a map for " + s.str() + ", got " + sample.kind_name());
  }
  return sample.as_map();
}

const Value& dict_entry(const Dict& s, const Map& m, const std::string& key, const Ctx& ctx) {
  const Value* v = m.find(key);
  if (v == nullptr) throw KeyError(ctx.text() + ": missing key '" + key + "' for " + s.str());
  return *v;
}

// Whether `sample` makes an array of `shape` whose every element e at flat index i passes within(i, e).
template <class Within>
bool array_sample_within(const Value& sample, const Shape& shape, Within&& within) {
  NdArray a;
  try {
    a = make_array(sample);
  } catch (const Error&) {
    return false;
  }
  if (!(a.shape() == shape)) return false;
  for (std::int64_t i = 0; i < a.size(); ++i) {
    if (!within(i, a.at_double(i))) return false;
  }
  return true;
}

// ---- flattening into a shared buffer --------------------------------------------------------
// Composite spaces write their parts straight into one output buffer; a space of another kind (one
// derived from a built-in class that reports a name of its own, say) may have its own
// flatten_sample, so it goes through the virtual call instead.

void write_flat(const Space& space, const Value& sample, float* out, const Ctx& ctx);

void write_flat_discrete(const Discrete& s, const Value& sample, float* out, const Ctx& ctx) {
  out[discrete_index(s, sample, ctx)] = 1.0F;
}

void write_flat_multi_discrete(const MultiDiscrete& s, const Value& sample, float* out, const Ctx& ctx) {
  std::int64_t offset = 0;
  visit_components(
      s, sample,
      [&](std::int64_t, std::int64_t x, std::int64_t k) {
        out[offset + x] = 1.0F;
        offset += k;
      },
      ctx);
}

void write_flat_tuple(const Tuple& s, const Value& sample, float* out, const Ctx& ctx) {
  const auto& items = tuple_items(s, sample, ctx);
  for (std::size_t i = 0; i < items.size(); ++i) {
    write_flat(*s.spaces()[i], items[i], out, ctx);
    out += s.spaces()[i]->flat_size();
  }
}

void write_flat_dict(const Dict& s, const Value& sample, float* out, const Ctx& ctx) {
  const Map& m = dict_map(s, sample, ctx);
  for (const auto& [key, sub] : s.spaces()) {
    write_flat(*sub, dict_entry(s, m, key, ctx), out, ctx);
    out += sub->flat_size();
  }
}

// Whether `space` is an object of one of the built-in classes themselves. Only those are written by
// the kinds' own writers: a derived class may override flatten_sample, even while it reports its
// base's name, and is asked instead. The type_info objects are compared by address (each built-in
// class has one, in this library), which costs no call.
bool is_builtin_class(const Space& space) {
  const std::type_info* t = &typeid(space);
  return t == &typeid(Box) || t == &typeid(Dict) || t == &typeid(Discrete) || t == &typeid(MultiBinary) ||
         t == &typeid(MultiDiscrete) || t == &typeid(Tuple);
}

void write_flat(const Space& space, const Value& sample, float* out, const Ctx& ctx) {
  switch (is_builtin_class(space) ? space_kind(space) : SpaceKind::other) {
    case SpaceKind::box:
    case SpaceKind::multi_binary: write_numbers(space, sample, space.flat_size(), out, ctx); return;
    case SpaceKind::dict: write_flat_dict(static_cast<const Dict&>(space), sample, out, ctx); return;
    case SpaceKind::discrete: write_flat_discrete(static_cast<const Discrete&>(space), sample, out, ctx); return;
    case SpaceKind::multi_discrete:
      write_flat_multi_discrete(static_cast<const MultiDiscrete&>(space), sample, out, ctx);
      return;
    case SpaceKind::tuple: write_flat_tuple(static_cast<const Tuple&>(space), sample, out, ctx); return;
    case SpaceKind::other: break;
  }
  const NdArray part = space.flatten_sample(sample);
  if (part.size() != space.flat_size()) fail_count(ctx, space, space.flat_size(), part.size());
  visit_span(part,
             [out](auto s) { std::transform(s.begin(), s.end(), out, [](auto x) { return static_cast<float>(x); }); });
}

// The kind's own writer, never the dispatcher: a derived space calling its base's flatten_sample
// must not be sent back to its own override.
template <class Write>
NdArray flatten_with(std::int64_t n, Write&& write) {
  NdArray out(DType::float32, Shape{n});
  write(out.data<float>(), Ctx{nullptr, kFlattenSample});
  return out;
}

NdArray flatten_numbers(const Space& space, const Value& sample) {
  return flatten_with(space.flat_size(),
                      [&](float* out, const Ctx& ctx) { write_numbers(space, sample, space.flat_size(), out, ctx); });
}

}  // namespace

void Space::flatten_sample_into(const Value& sample, NdArray& out) const {
  // A space of a class of its own may have its own flatten_sample: it is asked.
  if (!is_builtin_class(*this)) {
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

// ---- Discrete -------------------------------------------------------------------------------

NdArray Discrete::flatten_sample(const Value& sample) const {
  return flatten_with(n_, [&](float* out, const Ctx& ctx) { write_flat_discrete(*this, sample, out, ctx); });
}

bool Discrete::contains(const Value& sample) const {
  double x = 0.0;
  if (sample.is_int() || sample.is_bool()) {
    x = sample.as_double();
  } else if (sample.is_array() && sample.as_array().ndim() == 0 &&
             tavrin_inference::is_integer_dtype(sample.as_array().dtype())) {
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

NdArray Box::flatten_sample(const Value& sample) const { return flatten_numbers(*this, sample); }

bool Box::contains(const Value& sample) const {
  const auto l = low_.span<double>();
  const auto h = high_.span<double>();
  const bool integer = tavrin_inference::is_integer_dtype(dtype_);
  return array_sample_within(sample, shape(), [&](std::int64_t i, double x) {
    const auto k = static_cast<std::size_t>(i);
    // NaN fails the bounds too
    return x >= l[k] && x <= h[k] && (!integer || is_integral_number(x));
  });
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
  visit_n_numbers(
      value, n, [&](std::int64_t i, double x) { out.set_double(i, x); }, ctx, *this);
  return Value(std::move(out));
}

// ---- MultiDiscrete --------------------------------------------------------------------------

NdArray MultiDiscrete::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_,
                      [&](float* out, const Ctx& ctx) { write_flat_multi_discrete(*this, sample, out, ctx); });
}

bool MultiDiscrete::contains(const Value& sample) const {
  const auto nvec = nvec_.span<std::int64_t>();
  return array_sample_within(sample, shape(), [nvec](std::int64_t i, double x) {
    return is_integral_number(x) && x >= 0 && x < static_cast<double>(nvec[static_cast<std::size_t>(i)]);
  });
}

Value MultiDiscrete::coerce(const Value& value, const std::string& where) const {
  std::vector<std::int64_t> out(static_cast<std::size_t>(nvec_.size()));
  visit_components(
      *this, value, [&](std::int64_t i, std::int64_t x, std::int64_t) { out[static_cast<std::size_t>(i)] = x; },
      Ctx{&where, nullptr});
  return Value(NdArray::from_vector(out, shape()));
}

// ---- MultiBinary ----------------------------------------------------------------------------

NdArray MultiBinary::flatten_sample(const Value& sample) const { return flatten_numbers(*this, sample); }

bool MultiBinary::contains(const Value& sample) const {
  return array_sample_within(sample, shape_, [](std::int64_t, double x) { return x == 0.0 || x == 1.0; });
}

Value MultiBinary::coerce(const Value& value, const std::string& where) const {
  std::vector<std::int8_t> out(static_cast<std::size_t>(flat_size()));
  visit_n_numbers(
      value, flat_size(),
      [&](std::int64_t i, double x) {
        if (x != 0.0 && x != 1.0) {
          throw InvalidArgumentError(where + ": element " + std::to_string(i) + " of " + str() +
                                     " must be 0 or 1, got " + Value(x).str());
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(x);
      },
      Ctx{&where, nullptr}, *this);
  return Value(NdArray::from_vector(out, shape_));
}

// ---- Tuple ----------------------------------------------------------------------------------

NdArray Tuple::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_, [&](float* out, const Ctx& ctx) { write_flat_tuple(*this, sample, out, ctx); });
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
  const auto& items = tuple_items(*this, value, Ctx{&where, nullptr});
  std::vector<Value> out;
  out.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    out.push_back(spaces_[i]->coerce(items[i], where + "[" + std::to_string(i) + "]"));
  }
  return Value::tuple(std::move(out));
}

// ---- Dict -----------------------------------------------------------------------------------

NdArray Dict::flatten_sample(const Value& sample) const {
  return flatten_with(flat_size_, [&](float* out, const Ctx& ctx) { write_flat_dict(*this, sample, out, ctx); });
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
  const Ctx ctx{&where, nullptr};
  const Map& m = dict_map(*this, value, ctx);
  Map out;
  out.reserve(spaces_.size());
  for (const auto& [key, space] : spaces_)
    out.set(key, space->coerce(dict_entry(*this, m, key, ctx), member_path(where, key)));
  return Value(std::move(out));
}

}  // namespace tavrin_core::spaces
