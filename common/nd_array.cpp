#include "common/nd_array.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
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
  return visit_dtype(dtype, [](auto tag) { return sizeof(tag); });
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

// ---- NdArray: buffers ------------------------------------------------------------------------

namespace {

// Elements start at this offset from the buffer header: aligned for every element type and for
// vector loads.
constexpr std::size_t kElementAlign = 16;

template <class Header>
constexpr std::size_t elements_offset() {
  return (sizeof(Header) + kElementAlign - 1) / kElementAlign * kElementAlign;
}

}  // namespace

namespace {
double empty_elements[1] = {0.0};
}  // namespace

// Constant-initialised: usable by any static initialiser of any library, with no guard to test.
constinit NdArray::Buffer NdArray::empty_{1, DType::float64, kImmortal, 0, Shape{0}, empty_elements, {}};

NdArray NdArray::uninitialized(DType dtype, Shape shape) {
  check_size(shape.numel(), shape);
  const std::int64_t n = shape.numel();
  const std::size_t bytes = static_cast<std::size_t>(n) * dtype_size(dtype);
  constexpr std::size_t offset = elements_offset<Buffer>();
  void* memory = ::operator new (offset + bytes, std::align_val_t{kElementAlign});
  auto* b = new (memory) Buffer();
  b->dtype = dtype;
  b->flags = kOwned;
  b->numel = n;
  b->shape = shape;
  b->data = static_cast<unsigned char*>(memory) + offset;
  return NdArray(b);
}

NdArray NdArray::external(DType dtype, const void* data, Shape shape, std::shared_ptr<const void> keep_alive) {
  check_size(shape.numel(), shape);
  auto* b = new Buffer();
  b->dtype = dtype;
  b->flags = 0;
  b->numel = shape.numel();
  b->shape = shape;
  b->data = const_cast<void*>(data);  // never written: the buffer is not its own
  b->keep_alive = std::move(keep_alive);
  return NdArray(b);
}

// Never reached for empty_: release() skips the immortal buffer before it gets here, which the
// static analyser cannot follow through the flags.
void NdArray::destroy(Buffer* b) noexcept {
  if ((b->flags & kOwned) != 0) {
    b->~Buffer();
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete): see above
    ::operator delete (static_cast<void*>(b), std::align_val_t{kElementAlign});
  } else {
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete): see above
    delete b;
  }
}

void NdArray::unshare() {
  NdArray own = uninitialized(buf_->dtype, buf_->shape);
  std::memcpy(own.buf_->data, buf_->data, static_cast<std::size_t>(buf_->numel) * dtype_size(buf_->dtype));
  *this = std::move(own);
}

NdArray NdArray::copy() const {
  NdArray own = uninitialized(buf_->dtype, buf_->shape);
  if (buf_->numel != 0) {
    std::memcpy(own.buf_->data, buf_->data, static_cast<std::size_t>(buf_->numel) * dtype_size(buf_->dtype));
  }
  return own;
}

void NdArray::assign(const NdArray& from) {
  if (from.size() != size()) {
    throw InvalidArgumentError("cannot assign an array of size " + std::to_string(from.size()) +
                               " to an array of size " + std::to_string(size()));
  }
  if (from.buf_ == buf_) return;
  visit_span(from, [this](auto in) {
    visit_span(*this, [in](auto out) {
      using To = typename decltype(out)::value_type;
      std::transform(in.begin(), in.end(), out.begin(), [](auto v) { return saturating_cast<To>(v); });
    });
  });
}

NdArray::NdArray(DType dtype, Shape shape) : NdArray(uninitialized(dtype, shape)) {
  if (buf_->numel != 0) std::memset(buf_->data, 0, static_cast<std::size_t>(buf_->numel) * dtype_size(dtype));
}

NdArray NdArray::ones(Shape shape, DType dtype) { return full(shape, dtype, 1.0); }

NdArray NdArray::full(Shape shape, DType dtype, double value) {
  NdArray out = uninitialized(dtype, shape);
  visit_span(out, [value](auto v) {
    using T = typename decltype(v)::value_type;
    std::fill(v.begin(), v.end(), saturating_cast<T>(value));
  });
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
  visit_span(*this, [flat_index, value](auto v) {
    using T = typename decltype(v)::value_type;
    v[static_cast<std::size_t>(flat_index)] = saturating_cast<T>(value);
  });
}

// ---- conversion and reshaping ---------------------------------------------------------------

NdArray NdArray::astype(DType dtype) && {
  if (dtype == this->dtype()) return std::move(*this);
  return static_cast<const NdArray&>(*this).astype(dtype);
}

// Converts straight from the elements: one allocation, for the result.
NdArray NdArray::astype(DType dtype) const& {
  if (dtype == this->dtype()) return *this;
  NdArray out = uninitialized(dtype, shape());
  visit_span(*this, [&out](auto in) {
    visit_span(out, [in](auto o) {
      using To = typename decltype(o)::value_type;
      std::transform(in.begin(), in.end(), o.begin(), [](auto v) { return saturating_cast<To>(v); });
    });
  });
  return out;
}

namespace {

// Resolves a single -1 from the element count, as the usual array libraries do, and checks the count.
Shape resolve_shape(Shape shape, std::int64_t n) {
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
  if (unknown != Shape::kMaxDims) {
    if (known == 0 || n % known != 0) {
      throw InvalidArgumentError("cannot reshape array of size " + std::to_string(n) + " into shape " + shape.str());
    }
    shape[unknown] = n / known;
  }
  return shape;
}

}  // namespace

NdArray NdArray::reshape(Shape shape) const& {
  shape = resolve_shape(shape, size());
  check_size(size(), shape);
  if (shape == this->shape()) return *this;
  NdArray out = copy();
  out.buf_->shape = shape;
  return out;
}

NdArray NdArray::reshape(Shape shape) && {
  shape = resolve_shape(shape, size());
  check_size(size(), shape);
  if (shape == this->shape()) return std::move(*this);
  NdArray out = writable_in_place() ? std::move(*this) : copy();
  out.buf_->shape = shape;
  return out;
}

NdArray NdArray::flatten() const& { return reshape(Shape{size()}); }
NdArray NdArray::flatten() && {
  const std::int64_t n = size();
  return std::move(*this).reshape(Shape{n});
}

NdArray NdArray::row(std::int64_t i) const {
  if (ndim() == 0) throw TypeError("cannot take a row of a 0-d array");
  const Shape& s = shape();
  if (i < 0 || i >= s[0]) {
    throw IndexError("index " + std::to_string(i) + " is out of bounds for axis 0 with size " + std::to_string(s[0]));
  }
  const Shape inner = s.drop_front();
  const std::int64_t stride = inner.numel();
  NdArray out = uninitialized(dtype(), inner);
  const std::size_t width = dtype_size(dtype());
  std::memcpy(out.buf_->data,
              static_cast<const unsigned char*>(buf_->data) + static_cast<std::size_t>(i * stride) * width,
              static_cast<std::size_t>(stride) * width);
  return out;
}

NdArray NdArray::slice(std::int64_t begin, std::int64_t end) const {
  if (ndim() == 0) throw TypeError("cannot slice a 0-d array");
  const Shape& s = shape();
  const std::int64_t n = s[0];
  auto clamp = [n](std::int64_t b) {
    if (b < 0) b += n;
    return std::clamp<std::int64_t>(b, 0, n);
  };
  begin = clamp(begin);
  end = std::max(clamp(end), begin);
  Shape out_shape = s;
  out_shape[0] = end - begin;
  const std::int64_t stride = s.drop_front().numel();
  NdArray out = uninitialized(dtype(), out_shape);
  const std::size_t width = dtype_size(dtype());
  if (out.size() != 0) {
    std::memcpy(out.buf_->data,
                static_cast<const unsigned char*>(buf_->data) + static_cast<std::size_t>(begin * stride) * width,
                static_cast<std::size_t>((end - begin) * stride) * width);
  }
  return out;
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
  NdArray out = uninitialized(dtype, out_shape);
  visit_span(out, [&parts](auto dst) {
    using R = typename decltype(dst)::value_type;
    auto it = dst.begin();
    for (const NdArray& part : parts) {
      visit_span(part, [&it](auto src) {
        it = std::transform(src.begin(), src.end(), it, [](auto x) { return saturating_cast<R>(x); });
      });
    }
  });
  return out;
}

// ---- element-wise ---------------------------------------------------------------------------

NdArray NdArray::operator+(const NdArray& other) const {
  const Shape out_shape = broadcast_shape(shape(), other.shape());
  const bool a_one = broadcast_operand(shape(), out_shape);
  const bool b_one = broadcast_operand(other.shape(), out_shape);
  return visit_span(*this, [&](auto a) {
    return visit_span(other, [&](auto b) {
      using R = promoted_t<typename decltype(a)::value_type, typename decltype(b)::value_type>;
      NdArray out = uninitialized(dtype_of<R>(), out_shape);
      R* o = static_cast<R*>(out.buf_->data);
      const auto n = static_cast<std::size_t>(out_shape.numel());
      for (std::size_t i = 0; i < n; ++i) {
        o[i] = add(saturating_cast<R>(a[a_one ? 0 : i]), saturating_cast<R>(b[b_one ? 0 : i]));
      }
      return out;
    });
  });
}

NdArray NdArray::greater(double threshold) const {
  NdArray out = uninitialized(DType::int8, shape());
  auto* o = static_cast<std::int8_t*>(out.buf_->data);
  visit_span(*this, [&](auto v) {
    std::transform(v.begin(), v.end(), o,
                   [threshold](auto x) { return static_cast<std::int8_t>(static_cast<double>(x) > threshold); });
  });
  return out;
}

NdArray NdArray::where(const NdArray& condition, const NdArray& if_true, const NdArray& if_false) {
  const Shape out_shape = broadcast_shape(broadcast_shape(condition.shape(), if_true.shape()), if_false.shape());
  const bool c_one = broadcast_operand(condition.shape(), out_shape);
  const bool t_one = broadcast_operand(if_true.shape(), out_shape);
  const bool f_one = broadcast_operand(if_false.shape(), out_shape);
  return visit_span(condition, [&](auto c) {
    return visit_span(if_true, [&](auto t) {
      return visit_span(if_false, [&](auto f) {
        using R = promoted_t<typename decltype(t)::value_type, typename decltype(f)::value_type>;
        NdArray out = uninitialized(dtype_of<R>(), out_shape);
        R* o = static_cast<R*>(out.buf_->data);
        const auto n = static_cast<std::size_t>(out_shape.numel());
        for (std::size_t i = 0; i < n; ++i) {
          // NaN compares unequal to zero, so it selects if_true.
          o[i] = c[c_one ? 0 : i] != 0 ? saturating_cast<R>(t[t_one ? 0 : i]) : saturating_cast<R>(f[f_one ? 0 : i]);
        }
        return out;
      });
    });
  });
}

NdArray NdArray::exp() const {
  return visit_span(*this, [&](auto v) {
    using T = typename decltype(v)::value_type;
    using R = std::conditional_t<std::is_floating_point_v<T>, T, double>;
    NdArray out = uninitialized(dtype_of<R>(), shape());
    std::transform(v.begin(), v.end(), static_cast<R*>(out.buf_->data),
                   [](T x) { return std::exp(static_cast<R>(x)); });
    return out;
  });
}

NdArray NdArray::clip(double lo, double hi) const {
  NdArray out = uninitialized(dtype(), shape());
  visit_span(*this, [&](auto v) {
    using T = typename decltype(v)::value_type;
    T* o = static_cast<T*>(out.buf_->data);
    if constexpr (std::is_floating_point_v<T>) {
      // Lower bound first, then upper, so lo > hi yields hi; NaN fails both tests and stays.
      std::transform(v.begin(), v.end(), o, [lo, hi](T x) {
        double d = x;
        if (d < lo) d = lo;
        if (d > hi) d = hi;
        return static_cast<T>(d);
      });
    } else {
      // In the integer domain the bounds are the nearest integers inside [lo, hi].
      const double ilo = std::ceil(lo);
      const double ihi = std::floor(hi);
      std::transform(v.begin(), v.end(), o, [ilo, ihi](T x) {
        T r = x;
        if (static_cast<double>(r) < ilo) r = saturating_cast<T>(ilo);
        if (static_cast<double>(r) > ihi) r = saturating_cast<T>(ihi);
        return r;
      });
    }
  });
  return out;
}

// ---- reductions -----------------------------------------------------------------------------

double NdArray::max() const {
  if (size() == 0) {
    throw InvalidArgumentError("zero-size array to reduction operation maximum which has no identity");
  }
  return visit_span(*this, [](auto v) {
    auto best = v[0];
    for (auto x : v) {
      if constexpr (std::is_floating_point_v<typename decltype(v)::value_type>) {
        if (std::isnan(x)) return static_cast<double>(x);
      }
      if (x > best) best = x;
    }
    return static_cast<double>(best);
  });
}

double NdArray::sum() const {
  return visit_span(*this, [](auto v) {
    double s = 0.0;
    for (auto x : v) s += static_cast<double>(x);
    return s;
  });
}

std::int64_t NdArray::argmax() const {
  return visit_span(*this, [](auto v) { return argmax_range(v.data(), v.data() + v.size()); });
}

bool NdArray::operator==(const NdArray& other) const {
  if (dtype() != other.dtype() || !(shape() == other.shape())) return false;
  return visit_span(*this, [&other](auto a) {
    using T = typename decltype(a)::value_type;
    const auto b = other.span<T>();
    return std::equal(a.begin(), a.end(), b.begin());  // NaN != NaN, also against itself
  });
}

// ---- text -----------------------------------------------------------------------------------

std::string NdArray::str() const {
  std::string out;
  visit_span(*this, [&](auto v) { append_nested(out, v.data(), shape(), 0, size()); });
  return out;
}

std::ostream& operator<<(std::ostream& os, const NdArray& array) { return os << array.str(); }

}  // namespace tavrin_inference
