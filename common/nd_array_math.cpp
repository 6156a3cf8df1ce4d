// NdArray arithmetic: element-wise operations with broadcasting of single elements, and reductions.
#include <algorithm>
#include <cmath>
#include <string>

#include "common/nd_array.hpp"

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

// A new array of `shape` and element type R whose element i is at(i).
template <class R, class At>
NdArray generate(const Shape& shape, const At& at) {
  NdArray out = NdArray::uninitialized(dtype_of<R>(), shape);
  R* o = out.data<R>();
  const auto n = static_cast<std::size_t>(out.size());
  for (std::size_t i = 0; i < n; ++i) o[i] = at(i);
  return out;
}

}  // namespace

DType promote_types(DType a, DType b) { return promote(a, b); }

// ---- element-wise ---------------------------------------------------------------------------

NdArray NdArray::operator+(const NdArray& other) const {
  const Shape out_shape = broadcast_shape(shape(), other.shape());
  const bool a_one = broadcast_operand(shape(), out_shape);
  const bool b_one = broadcast_operand(other.shape(), out_shape);
  return visit_span(*this, [&](auto a) {
    return visit_span(other, [&](auto b) {
      using R = promoted_t<typename decltype(a)::value_type, typename decltype(b)::value_type>;
      return generate<R>(out_shape, [&](std::size_t i) {
        return add(saturating_cast<R>(a[a_one ? 0 : i]), saturating_cast<R>(b[b_one ? 0 : i]));
      });
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
        // NaN compares unequal to zero, so it selects if_true.
        return generate<R>(out_shape, [&](std::size_t i) {
          return c[c_one ? 0 : i] != 0 ? saturating_cast<R>(t[t_one ? 0 : i]) : saturating_cast<R>(f[f_one ? 0 : i]);
        });
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

}  // namespace tavrin_inference
