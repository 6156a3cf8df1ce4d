#pragma once
// Python objects <-> the runtime's values. Every crossing of the module goes through here: sensors,
// masks, previous actions and configuration maps in; actions, teacher maps and hook arguments out.
// All of it runs with the GIL held.
#include <cstddef>
#include <string>
#include <string_view>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/nd_array.hpp"
#include "common/value.hpp"

namespace tavrin_python {

namespace py = pybind11;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

// Where a value sits in what the caller passed ("sensors['co2'][2]"), for error messages only: the
// text is built when a message needs it, never on the way of a good value.
class Where {
 public:
  explicit Where(std::string_view root) : root_(root) {}
  Where(const Where& parent, std::string_view key) : parent_(&parent), key_(key), is_key_(true) {}
  Where(const Where& parent, std::size_t index) : parent_(&parent), index_(index) {}
  std::string text() const;

 private:
  const Where* parent_ = nullptr;
  std::string_view root_;
  std::string_view key_;
  std::size_t index_ = 0;
  bool is_key_ = false;
};

// A Python object as a value: None, bool, int, float, str, list, tuple, dict with str keys (in its
// order), numpy arrays of any numeric dtype and numpy scalars. TypeError naming the place for any
// other object, InvalidArgumentError for an int that does not fit in 64 bits.
Value to_value(py::handle object, const Where& where);

// The one place where numpy memory becomes an array. float32, float64, int64 and int8 arrays keep
// their element type; bool arrays become int8, other integer types int64, float16 float32 and
// longer floats float64. C-contiguous float32 and float64 arrays are read in place, without a copy
// (the caller must not change them while a step runs); every other array is copied, strided ones
// in row-major order.
NdArray array_from_numpy(const py::array& array, const Where& where);

// A value as a Python object: None, bool, int, float, str, numpy array (of the array's dtype and
// shape), list, tuple, dict (in the map's order). Objects inside values become their type name.
py::object from_value(const Value& value);
py::array array_to_numpy(const NdArray& array);

}  // namespace tavrin_python
