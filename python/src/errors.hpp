#pragma once
// Errors across the module boundary, both ways.
//
// Out: each error kind of the runtime is a Python exception class under tavrin.Error that also
// derives from the built-in that fits (tavrin.KeyError from KeyError, InvalidArgumentError from
// ValueError, ...). Messages are the runtime's own, unchanged; a nested cause becomes __cause__.
//
// In: an exception that Python code raises inside a hook crosses the runtime's C++ frames as a
// PythonError and reaches the caller of the host as that same exception object, traceback kept.
#include <exception>
#include <string>

#include <pybind11/pybind11.h>

namespace tavrin_python {

namespace py = pybind11;

// Not a runtime Error on purpose: the places that tolerate a failing hook tolerate the runtime's
// own kinds, and a Python exception is the caller's, to be seen by the caller.
class PythonError : public std::exception {
 public:
  // Takes the exception that pybind11 fetched; the GIL must be held.
  explicit PythonError(py::error_already_set&& error);
  // "ValueError: the message", without the traceback (it stays on the exception).
  const char* what() const noexcept override { return what_.c_str(); }
  const py::error_already_set& error() const { return error_; }

 private:
  py::error_already_set error_;
  std::string what_;
};

// Runs `call` (which uses Python) and turns a Python exception it raises into a PythonError.
template <class F>
decltype(auto) python_call(F&& call) {
  try {
    return call();
  } catch (py::error_already_set& e) {
    throw PythonError(std::move(e));
  }
}

// Defines tavrin.Error and its kinds in `module` and translates the runtime's errors into them.
void bind_errors(py::module_& module);

}  // namespace tavrin_python
