#include "python/src/gil.hpp"

namespace tavrin_python {

bool python_is_running() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() != 0 && Py_IsFinalizing() == 0;
#else
  return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0;
#endif
}

void release_under_gil(PyObject* object) {
  if (object == nullptr || !python_is_running()) return;
  const pybind11::gil_scoped_acquire gil;
  Py_DECREF(object);
}

}  // namespace tavrin_python
