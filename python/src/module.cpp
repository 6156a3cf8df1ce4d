// tavrin._tavrin, the extension module under the Python package tavrin (python/tavrin/). It links
// the runtime's shared libraries, so a Python process shares one implementation registry and one
// set of loggers with every plugin it loads.
#include <string>

#include <pybind11/pybind11.h>

#include "core_api/logger.hpp"
#include "python/src/bindings.hpp"
#include "python/src/errors.hpp"

PYBIND11_MODULE(_tavrin, module) {
  namespace py = pybind11;
  module.doc() = "The C++ inference runtime; use it through the package tavrin.";
  module.attr("__version__") = TAVRIN_VERSION;

  tavrin_python::bind_errors(module);
  tavrin_python::bind_orchestration(module);
  tavrin_python::bind_runner(module);
  tavrin_python::bind_host(module);
  tavrin_python::bind_implementations(module);

  module.def(
      "set_log_level",
      [](const std::string& level) { tavrin_core::set_log_level(tavrin_core::parse_log_level(level)); },
      py::arg("level"), "Level of every runtime logger: \"debug\", \"info\", \"warning\", \"error\" or \"off\".");
}
