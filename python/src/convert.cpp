#include "python/src/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "python/src/gil.hpp"

namespace tavrin_python {

using tavrin_inference::DType;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::Shape;
using tavrin_inference::TypeError;

std::string Where::text() const {
  if (parent_ == nullptr) return std::string(root_);
  std::string out = parent_->text();
  if (is_key_) return out.append("['").append(key_).append("']");
  return out.append("[").append(std::to_string(index_)).append("]");
}

namespace {

std::string type_name(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }

// numpy.generic, the base of numpy's scalar types; held for the life of the process.
bool is_numpy_scalar(py::handle object) {
  static const py::handle generic = py::object(py::module_::import("numpy").attr("generic")).release();
  return PyObject_IsInstance(object.ptr(), generic.ptr()) == 1;
}

std::string text_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// Whether the array's memory can be read as it is: C-contiguous, aligned, in the machine's byte
// order.
bool readable_as_it_is(const py::array& array, const py::dtype& dtype) {
  constexpr char kNative = std::endian::native == std::endian::little ? '<' : '>';
  constexpr int kLayout =
      static_cast<int>(py::array::c_style) | static_cast<int>(py::detail::npy_api::NPY_ARRAY_ALIGNED_);
  const char order = dtype.byteorder();
  return (array.flags() & kLayout) == kLayout && (order == '=' || order == '|' || order == kNative);
}

Shape shape_of(const py::array& array) {
  Shape shape;
  for (py::ssize_t i = 0; i < array.ndim(); ++i) shape.push_back(array.shape(i));
  return shape;
}

// Read in place: the array holds on to the numpy array until the last array sharing it goes,
// wherever that is (it takes the GIL to let go of it).
template <class T>
NdArray shared_with_numpy(const py::array& array, const Shape& shape) {
  std::shared_ptr<const void> keep_alive(
      array.inc_ref().ptr(), [](const void* p) { release_under_gil(static_cast<PyObject*>(const_cast<void*>(p))); });
  return NdArray::from_external<T>(static_cast<const T*>(array.data()), shape, std::move(keep_alive));
}

template <class T>
NdArray copied_as(const py::array& array, const Shape& shape) {
  // numpy converts to T (and to C order) whatever is not T already.
  const auto contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!contiguous) throw py::error_already_set();
  NdArray out = NdArray::uninitialized(tavrin_inference::dtype_of<T>(), shape);
  std::copy_n(contiguous.data(), contiguous.size(), out.data<T>());
  return out;
}

NdArray unsigned_64_as_int64(const py::array& array, const Shape& shape, const Where& where) {
  const auto contiguous = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!contiguous) throw py::error_already_set();
  NdArray out = NdArray::uninitialized(DType::int64, shape);
  std::int64_t* into = out.data<std::int64_t>();
  for (py::ssize_t i = 0; i < contiguous.size(); ++i) {
    const std::uint64_t v = contiguous.data()[i];
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw InvalidArgumentError(where.text() + ": the value " + std::to_string(v) + " does not fit in int64");
    }
    into[i] = static_cast<std::int64_t>(v);
  }
  return out;
}

Value sequence(py::handle object, bool tuple, const Where& where) {
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(object.ptr());
  PyObject** items = PySequence_Fast_ITEMS(object.ptr());
  std::vector<Value> values;
  values.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) values.push_back(to_value(items[i], Where(where, static_cast<std::size_t>(i))));
  return Value(List{std::move(values), tuple});
}

Value mapping(py::handle object, const Where& where) {
  Map map;
  map.reserve(static_cast<std::size_t>(PyDict_Size(object.ptr())));
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(object.ptr(), &position, &key, &item) != 0) {
    if (PyUnicode_Check(key) == 0) {
      throw TypeError(where.text() + ": expected str keys, got the " + type_name(key) + " key " +
                      std::string(py::repr(key)));
    }
    std::string name = text_of(key);
    Value value = to_value(item, Where(where, name));
    map.set(std::move(name), std::move(value));
  }
  return Value(std::move(map));
}

}  // namespace

Value to_value(py::handle object, const Where& where) {
  PyObject* o = object.ptr();
  if (py::isinstance<py::array>(object))
    return Value(array_from_numpy(py::reinterpret_borrow<py::array>(object), where));
  if (PyFloat_Check(o) != 0) return Value(PyFloat_AS_DOUBLE(o));
  if (PyBool_Check(o) != 0) return Value(o == Py_True);
  if (PyLong_Check(o) != 0) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) {
      throw InvalidArgumentError(where.text() + ": the integer " + std::string(py::str(object)) +
                                 " does not fit in 64 bits");
    }
    if (v == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return Value(v);
  }
  if (PyDict_Check(o) != 0) return mapping(object, where);
  if (PyList_Check(o) != 0) return sequence(object, false, where);
  if (PyTuple_Check(o) != 0) return sequence(object, true, where);
  if (o == Py_None) return Value();
  if (PyUnicode_Check(o) != 0) return Value(text_of(o));
  if (is_numpy_scalar(object)) {
    py::object plain = object.attr("item")();  // numpy.float32(1.5) -> 1.5, numpy.bool_ -> bool
    if (!is_numpy_scalar(plain)) return to_value(plain, where);
  }
  throw TypeError(where.text() +
                  ": expected None, a bool, a number, a str, a list, a tuple, a dict or a numpy array, got " +
                  type_name(object));
}

NdArray array_from_numpy(const py::array& array, const Where& where) {
  const auto ndim = static_cast<std::size_t>(array.ndim());
  if (ndim > Shape::kMaxDims) {
    throw InvalidArgumentError(where.text() + ": arrays have at most " + std::to_string(Shape::kMaxDims) +
                               " dimensions, got " + std::to_string(ndim));
  }
  const Shape shape = shape_of(array);
  const py::dtype dtype = array.dtype();
  const auto size = dtype.itemsize();
  switch (dtype.kind()) {
    case 'f':
      if (size == 4 && readable_as_it_is(array, dtype)) return shared_with_numpy<float>(array, shape);
      if (size == 8 && readable_as_it_is(array, dtype)) return shared_with_numpy<double>(array, shape);
      if (size <= 4) return copied_as<float>(array, shape);  // float16 widens to float32
      return copied_as<double>(array, shape);
    case 'i':
      if (size == 1) return copied_as<std::int8_t>(array, shape);
      return copied_as<std::int64_t>(array, shape);
    case 'u':
      if (size == 8) return unsigned_64_as_int64(array, shape, where);
      return copied_as<std::int64_t>(array, shape);
    case 'b': return copied_as<std::int8_t>(array, shape);
    default: break;
  }
  throw TypeError(where.text() + ": expected a numpy array of a numeric dtype, got dtype " +
                  std::string(py::str(static_cast<const py::handle&>(dtype))));
}

namespace {

template <class T>
py::array copy_to_numpy(const NdArray& array) {
  // A new array filled in place: one numpy object, not a wrapper and then its copy.
  py::array_t<T> out(std::vector<py::ssize_t>(array.shape().begin(), array.shape().end()));
  const auto n = static_cast<std::size_t>(array.size());
  if (n > 0) std::memcpy(out.mutable_data(), array.data<T>(), n * sizeof(T));
  return out;
}

}  // namespace

py::array array_to_numpy(const NdArray& array) {
  switch (array.dtype()) {
    case DType::float32: return copy_to_numpy<float>(array);
    case DType::float64: return copy_to_numpy<double>(array);
    case DType::int64: return copy_to_numpy<std::int64_t>(array);
    case DType::int8: return copy_to_numpy<std::int8_t>(array);
  }
  throw TypeError("an array of an unknown element type");
}

py::object from_value(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::none: return py::none();
    case Value::Kind::boolean: return py::bool_(value.as_bool());
    case Value::Kind::integer: return py::int_(value.as_int());
    case Value::Kind::floating: return py::float_(value.as_double());
    case Value::Kind::text: return py::str(value.as_text());
    case Value::Kind::array: return array_to_numpy(value.as_array());
    case Value::Kind::list: {
      const auto& items = value.as_list().items;
      if (value.is_tuple()) {
        py::tuple out(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) out[i] = from_value(items[i]);
        return out;
      }
      py::list out(items.size());
      for (std::size_t i = 0; i < items.size(); ++i) out[i] = from_value(items[i]);
      return out;
    }
    case Value::Kind::map: {
      py::dict out;
      for (const auto& [key, item] : value.as_map()) out[py::str(key)] = from_value(item);
      return out;
    }
    case Value::Kind::object: return py::str(value.as_object() ? value.as_object()->type_name() : "None");
  }
  return py::none();
}

}  // namespace tavrin_python
