#include "runner/tensors.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/errors.hpp"

namespace tavrin_inference {
namespace {

template <class From, class To>
NdArray copy_tensor(const void* data, std::size_t count, Shape shape) {
  const auto* first = static_cast<const From*>(data);
  if constexpr (std::is_same_v<From, To>) {
    return NdArray::from_vector<To>(std::vector<To>(first, first + count), shape);
  } else {
    std::vector<To> values(count);
    std::transform(first, first + count, values.begin(), [](From v) { return static_cast<To>(v); });
    return NdArray::from_vector<To>(std::move(values), shape);
  }
}

Ort::Value create_tensor(const Ort::MemoryInfo& memory, void* data, DType dtype, std::size_t count,
                         const Shape& shape) {
  return visit_dtype(dtype, [&](auto tag) {
    using T = decltype(tag);
    return Ort::Value::CreateTensor<T>(memory, static_cast<T*>(data), count, shape.begin(), shape.ndim());
  });
}

template <class To>
void convert_into(const NdArray& from, To* out) {
  visit_span(from,
             [out](auto in) { std::transform(in.begin(), in.end(), out, [](auto v) { return static_cast<To>(v); }); });
}

}  // namespace

NdArray to_nd_array(const Ort::Value& value, const std::string& name) {
  if (!value.IsTensor()) throw TypeError("Model output '" + name + "' is not a tensor");
  const auto info = value.GetTensorTypeAndShapeInfo();
  const std::size_t ndim = info.GetDimensionsCount();
  if (ndim > Shape::kMaxDims) {
    throw InvalidArgumentError("Model output '" + name + "' has " + std::to_string(ndim) +
                               " dimensions, more than supported");
  }
  std::array<std::int64_t, Shape::kMaxDims> dims{};
  // The C call: GetShape() would make a vector per output, and the wrapper's array form is deprecated.
  Ort::ThrowOnError(Ort::GetApi().GetDimensions(info, dims.data(), ndim));
  const Shape shape(dims.begin(), dims.begin() + ndim);
  const std::size_t count = info.GetElementCount();
  const void* data = value.GetTensorRawData();
  switch (info.GetElementType()) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return copy_tensor<float, float>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return copy_tensor<double, double>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return copy_tensor<std::int64_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return copy_tensor<std::int8_t, std::int8_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return copy_tensor<std::int32_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return copy_tensor<std::int16_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return copy_tensor<std::uint8_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return copy_tensor<std::uint16_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return copy_tensor<std::uint32_t, std::int64_t>(data, count, shape);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return copy_tensor<bool, std::int8_t>(data, count, shape);
    default:
      throw TypeError("Model output '" + name + "' has an element type that arrays cannot hold (ONNX type " +
                      std::to_string(static_cast<int>(info.GetElementType())) + ")");
  }
}

std::optional<DType> native_dtype(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return DType::float32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return DType::float64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return DType::int64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return DType::int8;
    default: return std::nullopt;
  }
}

Ort::Value tensor_over(const Ort::MemoryInfo& memory, NdArray& array) {
  return create_tensor(memory, array.raw_data(), array.dtype(), static_cast<std::size_t>(array.size()), array.shape());
}

bool is_concrete(const Shape& shape) {
  return std::all_of(shape.begin(), shape.end(), [](std::int64_t d) { return d >= 0; });
}

// --- TensorView ------------------------------------------------------------------------------------

Ort::Value& TensorView::input(const Ort::MemoryInfo& memory, const NdArray& array, const Shape& shape) {
  // Inputs are only read by the run: their elements are viewed where they are, shared or not
  // (ONNX Runtime takes tensors over writable memory; it never writes an input).
  return get(memory, const_cast<void*>(array.raw_data()), array.dtype(), array.size(), shape);
}

Ort::Value& TensorView::get(const Ort::MemoryInfo& memory, void* data, DType dtype, std::int64_t count,
                            const Shape& shape) {
  if (value_ && data == data_ && dtype == dtype_ && shape == shape_) return value_;
  value_ = create_tensor(memory, data, dtype, static_cast<std::size_t>(count), shape);
  data_ = data;
  dtype_ = dtype;
  shape_ = shape;
  return value_;
}

// --- StagedInput -----------------------------------------------------------------------------------

void StagedInput::prepare(DType dtype, const Shape& shape) {
  buffer_ = NdArray(dtype, shape);
  ready_ = true;
}

Ort::Value& StagedInput::load(const Ort::MemoryInfo& memory, const NdArray& from) {
  visit_span(buffer_, [&from](auto out) { convert_into(from, out.data()); });
  return view_.input(memory, buffer_, buffer_.shape());
}

// --- LentValues ------------------------------------------------------------------------------------

LentValues::LentValues(Ort::Value* const* owners, std::size_t count) : owners_(owners), count_(count) {
  for (std::size_t k = 0; k < count_; ++k) values_[k] = std::move(*owners_[k]);
}

LentValues::~LentValues() {
  for (std::size_t k = 0; k < count_; ++k) *owners_[k] = std::move(values_[k]);
}

}  // namespace tavrin_inference
