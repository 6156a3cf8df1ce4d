#include "common/nd_array.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <ostream>
#include <utility>

namespace tavrin_inference {

namespace {

template <DType D>
struct ElementOf;
template <>
struct ElementOf<DType::float32> {
  using type = float;
};
template <>
struct ElementOf<DType::float64> {
  using type = double;
};
template <>
struct ElementOf<DType::int64> {
  using type = std::int64_t;
};
template <>
struct ElementOf<DType::int8> {
  using type = std::int8_t;
};

constexpr DType promote(DType a, DType b) {
  if (a == b) return a;
  if (a == DType::float64 || b == DType::float64) return DType::float64;
  const bool has_f32 = a == DType::float32 || b == DType::float32;
  const bool has_i64 = a == DType::int64 || b == DType::int64;
  if (has_f32) return has_i64 ? DType::float64 : DType::float32;
  return DType::int64;  // int64 with int8
}

template <class A, class B>
using promoted_t = typename ElementOf<promote(dtype_of<A>(), dtype_of<B>())>::type;

template <class V>
using value_t = typename std::decay_t<V>::value_type;

// Element conversion. Float -> integer truncates toward zero; NaN and out-of-range values would be
// undefined behaviour for a plain cast, so NaN becomes 0 and the rest saturates.
template <class To, class From>
To convert(From v) {
  if constexpr (std::is_integral_v<To> && std::is_floating_point_v<From>) {
    if (std::isnan(v)) return 0;
    constexpr auto lo = static_cast<From>(std::numeric_limits<To>::min());
    constexpr auto hi = static_cast<From>(std::numeric_limits<To>::max());
    if (v <= lo) return std::numeric_limits<To>::min();
    if (v >= hi) return std::numeric_limits<To>::max();
    return static_cast<To>(v);
  } else {
    return static_cast<To>(v);
  }
}

// Integer addition wraps around (as the array's element type does) instead of overflowing.
template <class T>
T add(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
  } else {
    return a + b;
  }
}

template <class To, class From>
std::vector<To> convert_all(const std::vector<From>& in) {
  // Floating targets take the plain conversion, so the vector is built from the elements without
  // being zero-filled first; integer targets need convert's saturation.
  if constexpr (std::is_floating_point_v<To>) return std::vector<To>(in.begin(), in.end());
  std::vector<To> out(in.size());
  std::transform(in.begin(), in.end(), out.begin(), [](From v) { return convert<To>(v); });
  return out;
}

// Broadcast result shape for operands that are either single-element or full-size. The shapes
// combine by the usual right-aligned rule; a full-size operand then has the same row-major order as
// the result, so indexing it flat is correct.
Shape broadcast_shape(const Shape& a, const Shape& b) {
  if (a == b) return a;
  const std::size_t n = std::max(a.ndim(), b.ndim());
  Shape out;
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t da = k + a.ndim() >= n ? a[k + a.ndim() - n] : 1;
    const std::int64_t db = k + b.ndim() >= n ? b[k + b.ndim() - n] : 1;
    if (da != db && da != 1 && db != 1) {
      throw InvalidArgumentError("operands could not be broadcast together with shapes " + a.str() + " " + b.str());
    }
    out.push_back(da == 1 ? db : da);
  }
  return out;
}

// True when the operand is read at index 0 for every result element.
bool broadcast_operand(const Shape& operand, const Shape& result) {
  if (operand.numel() == result.numel()) return false;
  if (operand.numel() == 1) return true;
  throw InvalidArgumentError("broadcasting shape " + operand.str() + " to " + result.str() + " is not supported");
}

// Python float repr: shortest round-trip digits, fixed notation for decimal exponents in [-4, 16),
// otherwise d.ddde+XX; integral values keep a trailing ".0".
template <class F>
void append_float(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp10 = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);

  const auto k = static_cast<int>(digits.size());
  if (exp10 >= -4 && exp10 < 16) {
    if (exp10 < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp10 - 1), '0');
      out += digits;
    } else if (k <= exp10 + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp10 + 1 - k), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exp10 + 1));
    }
    return;
  }
  out += digits[0];
  if (k > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += exp10 < 0 ? '-' : '+';
  const int mag = exp10 < 0 ? -exp10 : exp10;
  if (mag < 10) out += '0';
  out += std::to_string(mag);
}

template <class T>
void append_value(std::string& out, T v) {
  if constexpr (std::is_floating_point_v<T>) {
    append_float(out, v);
  } else {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v));
    out.append(buf, res.ptr);
  }
}

template <class T>
void append_nested(std::string& out, const T* data, const Shape& shape, std::size_t dim, std::int64_t stride) {
  if (dim == shape.ndim()) {
    append_value(out, *data);
    return;
  }
  const std::int64_t inner = shape[dim] == 0 ? 0 : stride / shape[dim];
  out += '[';
  for (std::int64_t j = 0; j < shape[dim]; ++j) {
    if (j > 0) out += ", ";
    append_nested(out, data + j * inner, shape, dim + 1, inner);
  }
  out += ']';
}

std::string join_dims(const Shape& shape, char open, char close) {
  std::string out(1, open);
  for (std::size_t i = 0; i < shape.ndim(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  out += close;
  return out;
}

}  // namespace

// ---- DType ----------------------------------------------------------------------------------

const char* dtype_name(DType dtype) {
  switch (dtype) {
    case DType::float32: return "float32";
    case DType::float64: return "float64";
    case DType::int64: return "int64";
    case DType::int8: return "int8";
  }
  return "unknown";
}

std::size_t dtype_size(DType dtype) {
  switch (dtype) {
    case DType::float32: return sizeof(float);
    case DType::float64: return sizeof(double);
    case DType::int64: return sizeof(std::int64_t);
    case DType::int8: return sizeof(std::int8_t);
  }
  return 0;
}

DType promote_types(DType a, DType b) { return promote(a, b); }

// ---- Shape ----------------------------------------------------------------------------------

void Shape::throw_out_of_range(std::size_t i) const {
  throw IndexError("dimension " + std::to_string(i) + " out of range for shape " + str());
}

void Shape::throw_numel_overflow() const {
  throw InvalidArgumentError("shape " + str() + " has more elements than a 64-bit count can hold");
}

void Shape::throw_too_many_dims() {
  throw InvalidArgumentError("shape has more than " + std::to_string(kMaxDims) + " dimensions");
}

Shape Shape::drop_front() const { return ndim_ == 0 ? Shape{} : Shape(dims_ + 1, dims_ + ndim_); }

std::string Shape::str() const { return join_dims(*this, '(', ')'); }
std::string Shape::declared_str() const { return join_dims(*this, '[', ']'); }

std::ostream& operator<<(std::ostream& os, const Shape& shape) { return os << shape.str(); }

// ---- NdArray: construction ------------------------------------------------------------------

NdArray::NdArray() : storage_(std::in_place_type<std::vector<double>>), shape_{0} {}

NdArray::NdArray(DType dtype, Shape shape) : shape_(shape) {
  check_size(shape.numel(), shape);
  const auto n = static_cast<std::size_t>(shape.numel());
  switch (dtype) {
    case DType::float32: storage_.emplace<std::vector<float>>(n); break;
    case DType::float64: storage_.emplace<std::vector<double>>(n); break;
    case DType::int64: storage_.emplace<std::vector<std::int64_t>>(n); break;
    case DType::int8: storage_.emplace<std::vector<std::int8_t>>(n); break;
  }
}

NdArray NdArray::ones(Shape shape, DType dtype) { return full(shape, dtype, 1.0); }

NdArray NdArray::full(Shape shape, DType dtype, double value) {
  NdArray out(dtype, shape);
  std::visit(
      [value](auto& v) {
        using T = value_t<decltype(v)>;
        std::fill(v.begin(), v.end(), convert<T>(value));
      },
      out.storage_);
  return out;
}

void NdArray::check_size(std::int64_t count, const Shape& shape) {
  for (std::int64_t d : shape) {
    if (d < 0) throw InvalidArgumentError("negative dimensions are not allowed");
  }
  if (shape.numel() != count) {
    throw InvalidArgumentError("cannot reshape array of size " + std::to_string(count) + " into shape " + shape.str());
  }
}

void NdArray::throw_type_mismatch(DType requested) const {
  throw TypeError(std::string("array of dtype ") + dtype_name(dtype()) + " accessed as " + dtype_name(requested));
}

// ---- element access -------------------------------------------------------------------------

void NdArray::throw_index_out_of_bounds(std::int64_t flat_index) const {
  throw IndexError("index " + std::to_string(flat_index) + " is out of bounds for size " + std::to_string(size()));
}

void NdArray::set_double(std::int64_t flat_index, double value) {
  if (flat_index < 0 || flat_index >= size()) {
    throw IndexError("index " + std::to_string(flat_index) + " is out of bounds for size " + std::to_string(size()));
  }
  std::visit(
      [flat_index, value](auto& v) {
        using T = value_t<decltype(v)>;
        v[static_cast<std::size_t>(flat_index)] = convert<T>(value);
      },
      storage_);
}

// ---- conversion and reshaping ---------------------------------------------------------------

NdArray NdArray::astype(DType dtype) && {
  if (dtype == this->dtype()) return std::move(*this);
  return static_cast<const NdArray&>(*this).astype(dtype);
}

// Converts straight from the elements: one allocation, for the result.
NdArray NdArray::astype(DType dtype) const& {
  if (dtype == this->dtype()) return *this;
  Storage converted = std::visit(
      [dtype](const auto& v) -> Storage {
        switch (dtype) {
          case DType::float32: return convert_all<float>(v);
          case DType::float64: return convert_all<double>(v);
          case DType::int64: return convert_all<std::int64_t>(v);
          case DType::int8: return convert_all<std::int8_t>(v);
        }
        return convert_all<double>(v);
      },
      storage_);
  return NdArray(std::move(converted), shape_);
}

NdArray NdArray::reshape(Shape shape) const& { return NdArray(*this).reshape(shape); }

NdArray NdArray::reshape(Shape shape) && {
  // Resolve a single -1 from the element count, as the usual array libraries do.
  std::size_t unknown = Shape::kMaxDims;
  std::int64_t known = 1;
  for (std::size_t i = 0; i < shape.ndim(); ++i) {
    if (shape[i] == -1) {
      if (unknown != Shape::kMaxDims) {
        throw InvalidArgumentError("can only specify one unknown dimension");
      }
      unknown = i;
    } else if (shape[i] < 0) {
      throw InvalidArgumentError("negative dimensions are not allowed");
    } else {
      known *= shape[i];
    }
  }
  const std::int64_t n = size();
  if (unknown != Shape::kMaxDims) {
    if (known == 0 || n % known != 0) {
      throw InvalidArgumentError("cannot reshape array of size " + std::to_string(n) + " into shape " + shape.str());
    }
    shape[unknown] = n / known;
  }
  check_size(n, shape);
  return NdArray(std::move(storage_), shape);
}

NdArray NdArray::flatten() const& { return NdArray(*this).flatten(); }
NdArray NdArray::flatten() && {
  const std::int64_t n = size();
  return std::move(*this).reshape(Shape{n});
}

NdArray NdArray::row(std::int64_t i) const {
  if (ndim() == 0) throw TypeError("cannot take a row of a 0-d array");
  if (i < 0 || i >= shape_[0]) {
    throw IndexError("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                     std::to_string(shape_[0]));
  }
  const Shape inner = shape_.drop_front();
  const std::int64_t stride = inner.numel();
  return std::visit(
      [&](const auto& v) {
        auto first = v.begin() + i * stride;
        return from_vector(std::vector<value_t<decltype(v)>>(first, first + stride), inner);
      },
      storage_);
}

NdArray NdArray::slice(std::int64_t begin, std::int64_t end) const {
  if (ndim() == 0) throw TypeError("cannot slice a 0-d array");
  const std::int64_t n = shape_[0];
  auto clamp = [n](std::int64_t b) {
    if (b < 0) b += n;
    return std::clamp<std::int64_t>(b, 0, n);
  };
  begin = clamp(begin);
  end = std::max(clamp(end), begin);
  Shape out_shape = shape_;
  out_shape[0] = end - begin;
  const std::int64_t stride = shape_.drop_front().numel();
  return std::visit(
      [&](const auto& v) {
        return from_vector(std::vector<value_t<decltype(v)>>(v.begin() + begin * stride, v.begin() + end * stride),
                           out_shape);
      },
      storage_);
}

NdArray NdArray::concatenate(const std::vector<NdArray>& parts) {
  if (parts.empty()) throw InvalidArgumentError("need at least one array to concatenate");
  const NdArray& first = parts.front();
  if (first.ndim() == 0) {
    throw InvalidArgumentError("zero-dimensional arrays cannot be concatenated");
  }
  DType dtype = first.dtype();
  std::int64_t rows = 0;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const Shape& s = parts[p].shape();
    if (s.ndim() != first.ndim()) {
      throw InvalidArgumentError(
          "all the input arrays must have same number of dimensions, but the array at index 0 has " +
          std::to_string(first.ndim()) + " dimension(s) and the array at index " + std::to_string(p) + " has " +
          std::to_string(s.ndim()) + " dimension(s)");
    }
    for (std::size_t d = 1; d < s.ndim(); ++d) {
      if (s[d] != first.shape()[d]) {
        throw InvalidArgumentError(
            "all the input array dimensions except for the concatenation axis must match exactly, "
            "but along dimension " +
            std::to_string(d) + ", the array at index 0 has size " + std::to_string(first.shape()[d]) +
            " and the array at index " + std::to_string(p) + " has size " + std::to_string(s[d]));
      }
    }
    rows += s[0];
    dtype = promote(dtype, parts[p].dtype());
  }
  Shape out_shape = first.shape();
  out_shape[0] = rows;
  NdArray out(dtype, out_shape);
  std::visit(
      [&parts](auto& dst) {
        using R = value_t<decltype(dst)>;
        auto it = dst.begin();
        for (const NdArray& part : parts) {
          std::visit(
              [&it](const auto& src) {
                it = std::transform(src.begin(), src.end(), it, [](auto x) { return convert<R>(x); });
              },
              part.storage_);
        }
      },
      out.storage_);
  return out;
}

// ---- element-wise ---------------------------------------------------------------------------

NdArray NdArray::operator+(const NdArray& other) const {
  const Shape out_shape = broadcast_shape(shape_, other.shape_);
  const bool a_one = broadcast_operand(shape_, out_shape);
  const bool b_one = broadcast_operand(other.shape_, out_shape);
  return std::visit(
      [&](const auto& a, const auto& b) {
        using R = promoted_t<value_t<decltype(a)>, value_t<decltype(b)>>;
        const auto n = static_cast<std::size_t>(out_shape.numel());
        std::vector<R> out(n);
        for (std::size_t i = 0; i < n; ++i) {
          out[i] = add(convert<R>(a[a_one ? 0 : i]), convert<R>(b[b_one ? 0 : i]));
        }
        return from_vector(std::move(out), out_shape);
      },
      storage_, other.storage_);
}

NdArray NdArray::greater(double threshold) const {
  return std::visit(
      [&](const auto& v) {
        std::vector<std::int8_t> out(v.size());
        std::transform(v.begin(), v.end(), out.begin(),
                       [threshold](auto x) { return static_cast<std::int8_t>(static_cast<double>(x) > threshold); });
        return from_vector(std::move(out), shape_);
      },
      storage_);
}

NdArray NdArray::where(const NdArray& condition, const NdArray& if_true, const NdArray& if_false) {
  const Shape out_shape = broadcast_shape(broadcast_shape(condition.shape_, if_true.shape_), if_false.shape_);
  const bool c_one = broadcast_operand(condition.shape_, out_shape);
  const bool t_one = broadcast_operand(if_true.shape_, out_shape);
  const bool f_one = broadcast_operand(if_false.shape_, out_shape);
  return std::visit(
      [&](const auto& c, const auto& t, const auto& f) {
        using R = promoted_t<value_t<decltype(t)>, value_t<decltype(f)>>;
        const auto n = static_cast<std::size_t>(out_shape.numel());
        std::vector<R> out(n);
        for (std::size_t i = 0; i < n; ++i) {
          // NaN compares unequal to zero, so it selects if_true.
          out[i] = c[c_one ? 0 : i] != 0 ? convert<R>(t[t_one ? 0 : i]) : convert<R>(f[f_one ? 0 : i]);
        }
        return from_vector(std::move(out), out_shape);
      },
      condition.storage_, if_true.storage_, if_false.storage_);
}

NdArray NdArray::exp() const {
  return std::visit(
      [&](const auto& v) {
        using T = value_t<decltype(v)>;
        using R = std::conditional_t<std::is_floating_point_v<T>, T, double>;
        std::vector<R> out(v.size());
        std::transform(v.begin(), v.end(), out.begin(), [](T x) { return std::exp(static_cast<R>(x)); });
        return from_vector(std::move(out), shape_);
      },
      storage_);
}

NdArray NdArray::clip(double lo, double hi) const {
  return std::visit(
      [&](const auto& v) {
        using T = value_t<decltype(v)>;
        std::vector<T> out(v.size());
        if constexpr (std::is_floating_point_v<T>) {
          // Lower bound first, then upper, so lo > hi yields hi; NaN fails both tests and stays.
          std::transform(v.begin(), v.end(), out.begin(), [lo, hi](T x) {
            double d = x;
            if (d < lo) d = lo;
            if (d > hi) d = hi;
            return static_cast<T>(d);
          });
        } else {
          // In the integer domain the bounds are the nearest integers inside [lo, hi].
          const double ilo = std::ceil(lo);
          const double ihi = std::floor(hi);
          std::transform(v.begin(), v.end(), out.begin(), [ilo, ihi](T x) {
            T r = x;
            if (static_cast<double>(r) < ilo) r = convert<T>(ilo);
            if (static_cast<double>(r) > ihi) r = convert<T>(ihi);
            return r;
          });
        }
        return from_vector(std::move(out), shape_);
      },
      storage_);
}

// ---- reductions -----------------------------------------------------------------------------

double NdArray::max() const {
  if (size() == 0) {
    throw InvalidArgumentError("zero-size array to reduction operation maximum which has no identity");
  }
  return std::visit(
      [](const auto& v) {
        auto best = v[0];
        for (auto x : v) {
          if constexpr (std::is_floating_point_v<value_t<decltype(v)>>) {
            if (std::isnan(x)) return static_cast<double>(x);
          }
          if (x > best) best = x;
        }
        return static_cast<double>(best);
      },
      storage_);
}

double NdArray::sum() const {
  return std::visit(
      [](const auto& v) {
        double s = 0.0;
        for (auto x : v) s += static_cast<double>(x);
        return s;
      },
      storage_);
}

std::int64_t NdArray::argmax() const {
  return std::visit([](const auto& v) { return argmax_range(v.data(), v.data() + v.size()); }, storage_);
}

bool NdArray::operator==(const NdArray& other) const { return shape_ == other.shape_ && storage_ == other.storage_; }

// ---- text -----------------------------------------------------------------------------------

std::string NdArray::str() const {
  std::string out;
  std::visit([&](const auto& v) { append_nested(out, v.data(), shape_, 0, size()); }, storage_);
  return out;
}

std::ostream& operator<<(std::ostream& os, const NdArray& array) { return os << array.str(); }

}  // namespace tavrin_inference
