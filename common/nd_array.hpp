#pragma once
// NdArray: a small n-dimensional numeric array (float32, float64, int64 or int8), row-major.
//
// An array is a handle to a reference-counted buffer that holds the element type, the shape and the
// elements in one allocation. Copies share the buffer (copy on write): copying costs a reference
// count, and the first write through a copy's non-const accessor (data<T>(), span<T>(), set_double)
// gives that copy elements of its own, so writing a copy never changes the original. Sharing is
// thread-safe: copies of one array may be read and written from different threads.
//
// A pointer obtained from a non-const accessor stays valid, and keeps writing into this array's own
// elements, only until the array is copied, assigned or destroyed; taking a copy and then writing
// through an earlier pointer would reach the copy too.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/errors.hpp"

namespace tavrin_inference {

enum class DType : std::uint8_t { float32, float64, int64, int8 };

const char* dtype_name(DType dtype);
std::size_t dtype_size(DType dtype);
// Result type of mixing two element types: any float64 -> float64; float32 with int64 -> float64;
// float32 with int8 -> float32; int64 with int8 -> int64.
DType promote_types(DType a, DType b);
inline bool is_integer_dtype(DType dtype) { return dtype == DType::int64 || dtype == DType::int8; }
// Whether x is a finite number without a fractional part.
inline bool is_integral_number(double x) { return std::isfinite(x) && std::floor(x) == x; }

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

// Calls f with a value of the C++ element type of `dtype` (float, double, int64_t or int8_t), for code
// that is written once for every element type.
template <class F>
decltype(auto) visit_dtype(DType dtype, F&& f) {
  switch (dtype) {
    case DType::float32: return f(float{});
    case DType::float64: return f(double{});
    case DType::int64: return f(std::int64_t{});
    case DType::int8: break;
  }
  return f(std::int8_t{});
}

// Element conversion as the arrays do it: float -> integer truncates toward zero; NaN becomes 0 and
// values outside the integer's range saturate (a plain cast of those would be undefined behaviour).
// Every other conversion is the plain one.
template <class To, class From>
To saturating_cast(From v) {
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

// Shape with inline storage: no allocation, at most kMaxDims dimensions. Negative sizes may be held
// (declared model shapes use them for open dimensions); NdArray itself rejects them.
class Shape {
 public:
  static constexpr std::size_t kMaxDims = 8;

  constexpr Shape() = default;  // 0-d (scalar) shape
  constexpr Shape(std::initializer_list<std::int64_t> dims) : Shape(dims.begin(), dims.end()) {}
  template <std::input_iterator It>
  constexpr Shape(It first, It last) {
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
  constexpr void push_back(std::int64_t dim) {  // InvalidArgumentError past kMaxDims
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
  NdArray() noexcept : buf_(empty_buffer()) {}  // empty float64 vector, shape (0); allocates nothing
  NdArray(DType dtype, Shape shape);            // zero-filled; negative sizes -> InvalidArgumentError

  NdArray(const NdArray& other) noexcept : buf_(other.buf_) { retain(buf_); }
  NdArray& operator=(const NdArray& other) noexcept {
    if (this != &other) {
      retain(other.buf_);
      release(buf_);
      buf_ = other.buf_;
    }
    return *this;
  }
  // A moved-from array is left as the empty float64 vector, never with a stale shape.
  NdArray(NdArray&& other) noexcept : buf_(other.buf_) { other.buf_ = empty_buffer(); }
  NdArray& operator=(NdArray&& other) noexcept {
    if (this != &other) {
      release(buf_);
      buf_ = other.buf_;
      other.buf_ = empty_buffer();
    }
    return *this;
  }
  ~NdArray() { release(buf_); }

  // Copies the elements into the array's own buffer; data.size() must equal shape.numel(). (The
  // rvalue forms exist for callers that hand a vector over; they copy all the same.)
  template <class T>
  static NdArray from_vector(const std::vector<T>& data, Shape shape) {
    check_size(static_cast<std::int64_t>(data.size()), shape);
    NdArray out = uninitialized(dtype_of<T>(), shape);
    std::copy(data.begin(), data.end(), static_cast<T*>(out.buf_->data));
    return out;
  }
  template <class T>
  static NdArray from_vector(const std::vector<T>& data) {
    return from_vector<T>(data, Shape{static_cast<std::int64_t>(data.size())});
  }
  template <class T>
  static NdArray from_vector(std::vector<T>&& data, Shape shape) {
    return from_vector<T>(static_cast<const std::vector<T>&>(data), shape);
  }
  template <class T>
  static NdArray from_vector(std::vector<T>&& data) {
    return from_vector<T>(static_cast<const std::vector<T>&>(data));
  }
  // An array over elements that someone else owns, read in place: nothing is copied. `keep_alive`
  // is held for as long as any array shares these elements; they are never written through the
  // array (a write copies them first). `data` holds shape.numel() elements, row-major.
  template <class T>
  static NdArray from_external(const T* data, Shape shape, std::shared_ptr<const void> keep_alive) {
    return external(dtype_of<T>(), data, shape, std::move(keep_alive));
  }
  // Elements left uninitialised, for code that writes every one of them next.
  static NdArray uninitialized(DType dtype, Shape shape);
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
    NdArray out = uninitialized(dtype_of<E>(), Shape{});
    *static_cast<E*>(out.buf_->data) = static_cast<E>(value);
    return out;
  }
  static NdArray ones(Shape shape, DType dtype);
  static NdArray full(Shape shape, DType dtype, double value);  // value converted like set_double

  DType dtype() const { return buf_->dtype; }
  const Shape& shape() const { return buf_->shape; }
  std::size_t ndim() const { return buf_->shape.ndim(); }
  std::int64_t size() const { return buf_->numel; }

  // Typed access; TypeError when T is not the element type. The non-const forms first give this
  // array elements of its own when they are shared (see the class comment).
  template <class T>
  T* data() {
    check_dtype<T>();
    make_writable();
    return static_cast<T*>(buf_->data);
  }
  template <class T>
  const T* data() const {
    check_dtype<T>();
    return static_cast<const T*>(buf_->data);
  }
  template <class T>
  std::span<T> span() {
    return {data<T>(), static_cast<std::size_t>(buf_->numel)};
  }
  template <class T>
  std::span<const T> span() const {
    return {data<T>(), static_cast<std::size_t>(buf_->numel)};
  }
  // The elements untyped, for hand-over to code that knows the element type by dtype().
  const void* raw_data() const { return buf_->data; }
  void* raw_data() {
    make_writable();
    return buf_->data;
  }

  // Whether a write can go into this array's elements without copying them first: no other array
  // shares them and they are the array's own.
  bool writable_in_place() const {
    return (buf_->flags & kOwned) != 0 && buf_->refs.load(std::memory_order_acquire) == 1;
  }
  // A copy with elements of its own (a plain copy shares them until one side writes).
  NdArray copy() const;
  // Writes the elements of `from`, which has as many, into this array's own, converted to this
  // array's element type as astype converts them. InvalidArgumentError for another element count.
  void assign(const NdArray& from);

  // Element access by flat row-major index whatever the element type; IndexError out of range.
  // Inline: the mask, softmax and finiteness loops call it per element.
  double at_double(std::int64_t flat_index) const {
    const auto i = static_cast<std::uint64_t>(flat_index);  // a negative index wraps past every size
    if (i >= static_cast<std::uint64_t>(buf_->numel)) throw_index_out_of_bounds(flat_index);
    const void* p = buf_->data;
    return visit_dtype(buf_->dtype,
                       [p, i](auto tag) { return static_cast<double>(static_cast<const decltype(tag)*>(p)[i]); });
  }
  // Stores with saturating_cast to the element type.
  void set_double(std::int64_t flat_index, double value);

  // Element-type conversion; without a copy when the type already matches.
  NdArray astype(DType dtype) const&;
  NdArray astype(DType dtype) &&;
  // Row-major reshape; one size may be -1 (inferred). A different element count -> InvalidArgumentError
  // "cannot reshape array of size N into shape (a, b)". Shares the elements when the shape is
  // unchanged; the rvalue form reshapes in place when the elements are not shared.
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
  static constexpr std::uint8_t kOwned = 1;     // elements follow the header and are this buffer's
  static constexpr std::uint8_t kImmortal = 2;  // the shared empty buffer: never counted, never freed

  struct Buffer {
    std::atomic<std::int32_t> refs{1};
    DType dtype = DType::float64;
    std::uint8_t flags = 0;
    std::int64_t numel = 0;
    Shape shape;
    void* data = nullptr;
    std::shared_ptr<const void> keep_alive;  // external elements only
  };

  explicit NdArray(Buffer* buffer) noexcept : buf_(buffer) {}

  // Every default-constructed and moved-from array shares this one; it is never counted or freed.
  static Buffer empty_;
  static Buffer* empty_buffer() noexcept { return &empty_; }
  static NdArray external(DType dtype, const void* data, Shape shape, std::shared_ptr<const void> keep_alive);
  static void retain(Buffer* b) noexcept {
    if ((b->flags & kImmortal) == 0) b->refs.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(Buffer* b) noexcept {
    if ((b->flags & kImmortal) == 0 && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(b);
  }
  static void destroy(Buffer* b) noexcept;

  // Gives this array elements of its own when they are shared or not its own (a no-op when empty).
  void make_writable() {
    if (buf_->numel != 0 && !writable_in_place()) unshare();
  }
  void unshare();

  template <class T>
  void check_dtype() const {
    if (buf_->dtype != dtype_of<T>()) throw_type_mismatch(dtype_of<T>());
  }

  // Throws unless shape has no negative size and numel == count.
  static void check_size(std::int64_t count, const Shape& shape);
  [[noreturn]] void throw_type_mismatch(DType requested) const;
  [[noreturn]] void throw_index_out_of_bounds(std::int64_t flat_index) const;

  Buffer* buf_;
};

// Calls f with the array's elements as a std::span of their C++ element type (const for a const
// array; for a non-const one the elements are made the array's own first, as data<T>() does).
template <class F>
decltype(auto) visit_span(const NdArray& array, F&& f) {
  return visit_dtype(array.dtype(), [&](auto tag) -> decltype(auto) {
    using T = decltype(tag);
    return f(array.span<T>());
  });
}
template <class F>
decltype(auto) visit_span(NdArray& array, F&& f) {
  return visit_dtype(array.dtype(), [&](auto tag) -> decltype(auto) {
    using T = decltype(tag);
    return f(array.span<T>());
  });
}

std::ostream& operator<<(std::ostream& os, const NdArray& array);

}  // namespace tavrin_inference
