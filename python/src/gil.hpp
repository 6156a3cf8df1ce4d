#pragma once
// Python objects that C++ code owns may be let go of on any thread, with or without the GIL.
#include <pybind11/pybind11.h>

namespace tavrin_python {

// False once the interpreter is finalizing: Python objects that C++ still holds are then left alone.
bool python_is_running();

// Drops one reference to `object`, taking the GIL for it when this thread does not hold it.
void release_under_gil(PyObject* object);

}  // namespace tavrin_python
