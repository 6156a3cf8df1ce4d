#pragma once
// NdArray: a small n-dimensional numeric array (float32, float64, int64 or int8), row-major.
// Storage is a variant of typed vectors, so element pointers are always aligned, moves never copy
// and an array of a few dozen elements costs exactly one heap allocation (the shape is inline).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/errors.hpp"

namespace tavrin_inference {

enum class DType : std::uint8_t { float32, float64, int64, int8 };

const char* dtype_name(DType dtype);
std::size_t dtype_size(DType dtype);
// Result type of mixing two element types: any float64 -> float64; float32 with int64 -> float64;
// float32 with int8 -> float32; int64 with int8 -> int64.
DType promote_types(DType a, DType b);

namespace detail {
template <class>
inline constexpr bool always_false = false;
}  // namespace detail

template <class T>
constexpr DType dtype_of() {
  if constexpr (std::is_same_v<T, float>) {
    return DType::float32;
  } else if constexpr (std::is_same_v<T, double>) {
    return DType::float64;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return DType::int64;
  } else if constexpr (std::is_same_v<T, std::int8_t>) {
    return DType::int8;
  } else {
    static_assert(detail::always_false<T>, "NdArray elements are float, double, int64_t or int8_t");
  }
}

// Shape with inline storage: no allocation, at most kMaxDims dimensions. Negative sizes may be held
// (declared model shapes use them for open dimensions); NdArray itself rejects them.
class Shape {
 public:
  static constexpr std::size_t kMaxDims = 8;

  Shape() = default;  // 0-d (scalar) shape
  Shape(std::initializer_list<std::int64_t> dims) : Shape(dims.begin(), dims.end()) {}
  template <std::input_iterator It>
  Shape(It first, It last) {
    for (; first != last; ++first) push_back(static_cast<std::int64_t>(*first));
  }

  std::size_t ndim() const { return ndim_; }
  // IndexError when i >= ndim(). Inline, as numel and push_back: they run many times per step.
  std::int64_t operator[](std::size_t i) const {
    if (i >= ndim_) throw_out_of_range(i);
    return dims_[i];
  }
  std::int64_t& operator[](std::size_t i) {
    if (i >= ndim_) throw_out_of_range(i);
    return dims_[i];
  }
  const std::int64_t* begin() const { return dims_; }
  const std::int64_t* end() const { return dims_ + ndim_; }
  // Product of the sizes; the empty shape has 1 element. InvalidArgumentError when the product
  // does not fit in 64 bits (a zero size makes it 0 whatever the others are).
  std::int64_t numel() const {
    std::int64_t n = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < ndim_; ++i) {
      if (dims_[i] == 0) return 0;
      overflow |= __builtin_mul_overflow(n, dims_[i], &n);
    }
    if (overflow) throw_numel_overflow();
    return n;
  }
  void push_back(std::int64_t dim) {  // InvalidArgumentError past kMaxDims
    if (ndim_ == kMaxDims) throw_too_many_dims();
    dims_[ndim_++] = dim;
  }
  Shape drop_front() const;  // the shape without its first dimension (0-d stays 0-d)

  bool operator==(const Shape& other) const {
    if (ndim_ != other.ndim_) return false;
    for (std::size_t i = 0; i < ndim_; ++i) {
      if (dims_[i] != other.dims_[i]) return false;
    }
    return true;
  }

  std::string str() const;           // (1, 8), (3), ()
  std::string declared_str() const;  // [1, 8], [3], []

 private:
  [[noreturn]] void throw_out_of_range(std::size_t i) const;
  [[noreturn]] void throw_numel_overflow() const;
  [[noreturn]] static void throw_too_many_dims();

 public:
 private:
  std::int64_t dims_[kMaxDims] = {};
  std::size_t ndim_ = 0;
};

std::ostream& operator<<(std::ostream& os, const Shape& shape);

// Index of the first largest element of [first, last); a NaN counts as larger than every number, so
// the first NaN wins. Works on sub-ranges of an array without copying.
template <class T>
std::int64_t argmax_range(const T* first, const T* last) {
  if (first == last) throw InvalidArgumentError("attempt to get argmax of an empty sequence");
  const T* best = first;
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(*first)) return 0;
  }
  for (const T* p = first + 1; p != last; ++p) {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(*p)) return p - first;
    }
    if (*p > *best) best = p;
  }
  return best - first;
}

class NdArray {
 public:
  NdArray();                          // empty float64 vector, shape (0)
  NdArray(DType dtype, Shape shape);  // zero-filled; negative sizes -> InvalidArgumentError

  NdArray(const NdArray&) = default;
  NdArray& operator=(const NdArray&) = default;
  // A moved-from array is left as the empty float64 vector, never with a stale shape.
  NdArray(NdArray&& other) noexcept : storage_(std::move(other.storage_)), shape_(other.shape_) {
    other.storage_.template emplace<std::vector<double>>();
    other.shape_ = Shape{0};
  }
  NdArray& operator=(NdArray&& other) noexcept {
    if (this != &other) {
      storage_ = std::move(other.storage_);
      shape_ = other.shape_;
      other.storage_.template emplace<std::vector<double>>();
      other.shape_ = Shape{0};
    }
    return *this;
  }
  ~NdArray() = default;

  // Takes ownership of data (no copy when passed an rvalue); data.size() must equal shape.numel().
  template <class T>
  static NdArray from_vector(std::vector<T> data, Shape shape) {
    check_size(static_cast<std::int64_t>(data.size()), shape);
    return NdArray(Storage(std::in_place_type<std::vector<T>>, std::move(data)), shape);
  }
  template <class T>
  static NdArray from_vector(std::vector<T> data) {
    const auto n = static_cast<std::int64_t>(data.size());
    return from_vector<T>(std::move(data), Shape{n});
  }
  // 0-d array. The four element types map to themselves; bool -> int8, other integers -> int64,
  // other floating types -> float64.
  template <class T>
  static NdArray scalar(T value) {
    static_assert(std::is_arithmetic_v<T>, "NdArray::scalar takes a number");
    using E = std::conditional_t<std::is_same_v<T, float> || std::is_same_v<T, double> ||
                                     std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::int8_t>,
                                 T,
                                 std::conditional_t<std::is_same_v<T, bool>, std::int8_t,
                                                    std::conditional_t<std::is_integral_v<T>, std::int64_t, double>>>;
    return NdArray(Storage(std::in_place_type<std::vector<E>>, 1, static_cast<E>(value)), Shape{});
  }
  static NdArray ones(Shape shape, DType dtype);
  static NdArray full(Shape shape, DType dtype, double value);  // value converted like set_double

  DType dtype() const { return static_cast<DType>(storage_.index()); }
  const Shape& shape() const { return shape_; }
  std::size_t ndim() const { return shape_.ndim(); }
  std::int64_t size() const { return shape_.numel(); }

  // Typed access; TypeError when T is not the element type.
  template <class T>
  T* data() {
    return vec<T>().data();
  }
  template <class T>
  const T* data() const {
    return vec<T>().data();
  }
  template <class T>
  std::span<T> span() {
    auto& v = vec<T>();
    return {v.data(), v.size()};
  }
  template <class T>
  std::span<const T> span() const {
    const auto& v = vec<T>();
    return {v.data(), v.size()};
  }

  // Element access by flat row-major index whatever the element type; IndexError out of range.
  // Inline: the mask, softmax and finiteness loops call it per element.
  double at_double(std::int64_t flat_index) const {
    const auto i = static_cast<std::size_t>(flat_index);  // a negative index wraps past every size
    switch (storage_.index()) {
      case 0: return element_or_throw(*std::get_if<0>(&storage_), i, flat_index);
      case 1: return element_or_throw(*std::get_if<1>(&storage_), i, flat_index);
      case 2: return element_or_throw(*std::get_if<2>(&storage_), i, flat_index);
      default: return element_or_throw(*std::get_if<3>(&storage_), i, flat_index);
    }
  }
  // Stores with the C++ conversion to the element type: float -> int truncates toward zero; values
  // outside the integer range saturate and NaN stores 0 (the plain conversion would be undefined).
  void set_double(std::int64_t flat_index, double value);

  // Element-type conversion; the rvalue overload hands over the buffer when the type already matches.
  NdArray astype(DType dtype) const&;
  NdArray astype(DType dtype) &&;
  // Row-major reshape; one size may be -1 (inferred). A different element count -> InvalidArgumentError
  // "cannot reshape array of size N into shape (a, b)".
  NdArray reshape(Shape shape) const&;
  NdArray reshape(Shape shape) &&;
  NdArray flatten() const&;  // 1-D, row-major
  NdArray flatten() &&;
  // Element i along the first axis (a copy); IndexError out of range, TypeError on a 0-d array.
  NdArray row(std::int64_t i) const;
  // Elements [begin, end) along the first axis, with Python slice semantics (negative bounds count
  // from the end, then both are clamped): never fails, may be empty. TypeError on a 0-d array.
  NdArray slice(std::int64_t begin, std::int64_t end) const;
  // Joins along the first axis; equal ndim >= 1 and equal trailing sizes required; promoted dtype.
  static NdArray concatenate(const std::vector<NdArray>& parts);

  // Element-wise. Shapes must be equal, or one side holds a single element (broadcast).
  NdArray operator+(const NdArray& other) const;  // promoted dtype
  NdArray greater(double threshold) const;        // int8 0/1, same shape; NaN -> 0
  // condition != 0 -> if_true, else if_false (NaN counts as true); promoted dtype of the two choices.
  static NdArray where(const NdArray& condition, const NdArray& if_true, const NdArray& if_false);
  NdArray exp() const;                       // float types keep their type; integers -> float64
  NdArray clip(double lo, double hi) const;  // keeps dtype; NaN stays NaN

  // Reductions.
  double max() const;           // NaN propagates; empty -> InvalidArgumentError
  double sum() const;           // accumulated in double; empty -> 0
  std::int64_t argmax() const;  // flat index of the first maximum; NaN counts as largest

  bool operator==(const NdArray& other) const;  // same dtype, shape and values (NaN != NaN)

  // Nested lists: [[1.0, 0.5], [2.5, 3.0]] with shortest round-trip floats, [1, 0] for integers,
  // the bare value for a 0-d array.
  std::string str() const;

 private:
  using Storage =
      std::variant<std::vector<float>, std::vector<double>, std::vector<std::int64_t>, std::vector<std::int8_t>>;

  NdArray(Storage storage, Shape shape) noexcept : storage_(std::move(storage)), shape_(shape) {}

  // Throws unless shape has no negative size and numel == count.
  static void check_size(std::int64_t count, const Shape& shape);
  [[noreturn]] void throw_type_mismatch(DType requested) const;
  [[noreturn]] void throw_index_out_of_bounds(std::int64_t flat_index) const;

  template <class T>
  double element_or_throw(const std::vector<T>& v, std::size_t i, std::int64_t flat_index) const {
    if (i >= v.size()) throw_index_out_of_bounds(flat_index);
    return static_cast<double>(v[i]);
  }

  template <class T>
  std::vector<T>& vec() {
    auto* v = std::get_if<std::vector<T>>(&storage_);
    if (v == nullptr) throw_type_mismatch(dtype_of<T>());
    return *v;
  }
  template <class T>
  const std::vector<T>& vec() const {
    const auto* v = std::get_if<std::vector<T>>(&storage_);
    if (v == nullptr) throw_type_mismatch(dtype_of<T>());
    return *v;
  }

  Storage storage_;
  Shape shape_;
};

std::ostream& operator<<(std::ostream& os, const NdArray& array);

}  // namespace tavrin_inference
