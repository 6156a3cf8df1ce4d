#include "python/src/errors.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "common/errors.hpp"

namespace tavrin_python {

// NOLINTNEXTLINE(bugprone-throw-keyword-missing): the caught exception is kept, not a new one made
PythonError::PythonError(py::error_already_set&& error) : error_(std::move(error)) {
  what_ = std::string(py::str(error_.type().attr("__name__"))) + ": " + std::string(py::str(error_.value()));
}

namespace {

struct Kind {
  const char* name;     // the runtime's kind, and the class name under tavrin
  const char* builtin;  // the built-in exception the class also derives from
  const char* doc;
};

constexpr Kind kKinds[] = {
    {"RuntimeError", "RuntimeError",
     "A runtime error: a missing model, controller or root processor; a failed factory."},
    {"InvalidArgumentError", "ValueError",
     "An invalid argument: a shape mismatch, a missing orchestration, bad input."},
    {"NotImplementedError", "NotImplementedError", "An operation that this kind of agent does not support."},
    {"TypeError", "TypeError", "An argument of the wrong kind."},
    {"KeyError", "KeyError", "A lookup by name that found nothing."},
    {"IndexError", "IndexError", "A lookup by position outside the range."},
    {"FileNotFoundError", "FileNotFoundError", "A file that does not exist."},
};

// The classes, referenced for the life of the process (the module holds them as attributes too).
struct Classes {
  py::handle error;
  py::handle kinds[std::size(kKinds)];
};
Classes& classes() {
  static Classes instance;
  return instance;
}

py::handle class_for(const char* kind) {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    if (std::strcmp(kKinds[i].name, kind) == 0) return classes().kinds[i];
  }
  return classes().error;
}

py::handle new_class(py::module_& module, const char* name, py::tuple bases, py::dict body) {
  const std::string qualified = std::string("tavrin.") + name;
  PyObject* cls = PyErr_NewException(qualified.c_str(), bases.ptr(), body.ptr());
  if (cls == nullptr) throw py::error_already_set();
  module.add_object(name, py::handle(cls));
  return cls;  // the reference PyErr_NewException returned is kept, never released
}

// A Python exception that crossed the runtime as it is, with its traceback on it.
py::object original(const py::error_already_set& error) {
  py::object value = error.value();
  if (error.trace()) PyException_SetTraceback(value.ptr(), error.trace().ptr());
  return value;
}

py::object python_exception(const std::exception_ptr& error);

py::object with_nested_cause(py::object exception, const std::exception& e) {
  try {
    std::rethrow_if_nested(e);
  } catch (...) {
    py::object cause = python_exception(std::current_exception());
    PyException_SetCause(exception.ptr(), cause.release().ptr());  // steals the reference
  }
  return exception;
}

py::object builtin(PyObject* cls, const char* message) { return py::reinterpret_borrow<py::object>(cls)(message); }

// The Python exception object for a C++ exception and the causes nested in it.
py::object python_exception(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& e) {
    return original(e.error());
  } catch (const py::error_already_set& e) {
    return original(e);
  } catch (const tavrin_inference::Error& e) {
    return with_nested_cause(class_for(e.kind())(e.what()), e);
  } catch (const std::bad_alloc& e) {
    return builtin(PyExc_MemoryError, e.what());
  } catch (const std::exception& e) {
    return with_nested_cause(builtin(PyExc_RuntimeError, e.what()), e);
  } catch (...) {
    return builtin(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void raise(const py::object& exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
}

}  // namespace

void bind_errors(py::module_& module) {
  const py::module_ builtins = py::module_::import("builtins");
  py::dict error_body;
  error_body["__doc__"] = "The general error of the runtime; every error kind below derives from it.";
  classes().error = new_class(module, "Error", py::make_tuple(builtins.attr("Exception")), error_body);

  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    py::dict body;
    body["__doc__"] = kKinds[i].doc;
    // KeyError quotes its message in str(); the runtime's message is shown as it is.
    body["__str__"] = builtins.attr("BaseException").attr("__str__");
    classes().kinds[i] =
        new_class(module, kKinds[i].name, py::make_tuple(classes().error, builtins.attr(kKinds[i].builtin)), body);
  }

  py::register_exception_translator([](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const PythonError& e) {
      PyErr_Restore(e.error().type().inc_ref().ptr(), e.error().value().inc_ref().ptr(),
                    e.error().trace().inc_ref().ptr());
    } catch (const tavrin_inference::Error&) {
      raise(python_exception(error));
    }
  });
}

}  // namespace tavrin_python
