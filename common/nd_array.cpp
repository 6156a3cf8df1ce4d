#include "common/nd_array.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace tavrin_inference {

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
    dtype = promote_types(dtype, parts[p].dtype());
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

bool NdArray::operator==(const NdArray& other) const {
  if (dtype() != other.dtype() || !(shape() == other.shape())) return false;
  return visit_span(*this, [&other](auto a) {
    using T = typename decltype(a)::value_type;
    const auto b = other.span<T>();
    return std::equal(a.begin(), a.end(), b.begin());  // NaN != NaN, also against itself
  });
}

}  // namespace tavrin_inference
