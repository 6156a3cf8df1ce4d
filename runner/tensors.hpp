#pragma once
// Between NdArray and ONNX Runtime tensors: run outputs copied into arrays, and tensors over an
// array's own memory kept from one run to the next.
#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include <onnxruntime_cxx_api.h>

#include "common/nd_array.hpp"

namespace tavrin_inference {

// Copies one run output into an array of the same element type. Integer and boolean types that
// NdArray does not hold widen losslessly (to int64, booleans to int8); other types are refused.
NdArray to_nd_array(const Ort::Value& value, const std::string& name);

// The array element type of a tensor type, when NdArray holds it as it is.
std::optional<DType> native_dtype(ONNXTensorElementDataType type);

// A tensor over the array's own memory (no copy), for runs to write: the array must hold elements
// of its own and keep them unshared while the tensor is in use.
Ort::Value tensor_over(const Ort::MemoryInfo& memory, NdArray& array);

// True when no dimension is symbolic or open (-1).
bool is_concrete(const Shape& shape);

// A tensor over an array's own memory (no copy), kept for the next call: when that call hands over
// the same buffer with the same shape, which is common since freed buffers come back from the
// allocator, the view is reused instead of created again. A view is only a pointer, a shape and an
// element type, so a reused one is exactly the one that would have been created. ONNX Runtime
// reads an input view only during a run.
class TensorView {
 public:
  // Input views only read the array. The tensor stays the view's: a run may borrow it.
  Ort::Value& input(const Ort::MemoryInfo& memory, const NdArray& array, const Shape& shape);

 private:
  Ort::Value& get(const Ort::MemoryInfo& memory, void* data, DType dtype, std::int64_t count, const Shape& shape);

  Ort::Value value_{nullptr};
  void* data_ = nullptr;
  DType dtype_ = DType::float32;
  Shape shape_;
};

// An input of concrete declared shape staged in memory of the runner's own: each run copies the
// caller's elements in (converting them to the input's element type) and hands over the same
// tensor, so that no tensor is created per run.
class StagedInput {
 public:
  bool ready() const { return ready_; }
  void prepare(DType dtype, const Shape& shape);
  // `from` has the declared element count.
  Ort::Value& load(const Ort::MemoryInfo& memory, const NdArray& from);

 private:
  NdArray buffer_;
  TensorView view_;
  bool ready_ = false;
};

// Tensors kept elsewhere, lent to one run side by side as the session's Run takes them, and given
// back however the run ends. Lending moves only the tensors' handles.
class LentValues {
 public:
  static constexpr std::size_t kMax = 2;  // a model's observation and action mask

  LentValues(Ort::Value* const* owners, std::size_t count);  // count <= kMax
  ~LentValues();
  LentValues(const LentValues&) = delete;
  LentValues& operator=(const LentValues&) = delete;
  const Ort::Value* data() const { return values_.data(); }

 private:
  std::array<Ort::Value, kMax> values_{Ort::Value{nullptr}, Ort::Value{nullptr}};
  Ort::Value* const* owners_;
  std::size_t count_;
};

}  // namespace tavrin_inference
