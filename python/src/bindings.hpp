#pragma once
// The parts of the extension module tavrin._tavrin, each defined in its own file.
#include <pybind11/pybind11.h>

namespace tavrin_python {

namespace py = pybind11;

void bind_orchestration(py::module_& module);    // Orchestration, Agent, Sensor, Perceptor, Space
void bind_runner(py::module_& module);           // GraphRunner, Processor
void bind_host(py::module_& module);             // PolicyHost
void bind_implementations(py::module_& module);  // register_agent_impl, register_perceptor_impl, load_plugin

}  // namespace tavrin_python
