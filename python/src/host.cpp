// tavrin.PolicyHost: the C++ PolicyHost, on event loops of its own. Every operation converts its
// arguments with the GIL held, then lets the GIL go and runs the host's coroutine to its end on one
// of those loops, in the calling thread; Python hooks take the GIL back for their own call only.
// Hosts in different Python threads therefore step in parallel. One host runs one operation at a
// time: a second thread waits for the first.
//
// Steps run on a loop of their own. Packaging creates timers (children are built concurrently),
// and a loop that ever had a timer polls the operating system on every run; the step loop has none
// unless a step itself makes one, so a step pays no system call for being started from Python.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "common/errors.hpp"
#include "common/value.hpp"
#include "host/policy_host.hpp"
#include "processor/skillkit.hpp"
#include "python/src/bindings.hpp"
#include "python/src/convert.hpp"

namespace tavrin_python {

namespace {

using tavrin_core::AgentNode;
using tavrin_core::Orchestration;
using tavrin_inference::PolicyHost;
using tavrin_inference::RuntimeError;
using tavrin_inference::TypeError;

std::string type_name(const py::handle& object) { return py::str(py::type::handle_of(object).attr("__name__")); }

class Host {
 public:
  explicit Host(const py::object& config) : host_(to_value(config, Where("config"))) {}

  void load_orchestration(const py::object& orchestration) {
    if (py::isinstance<Orchestration>(orchestration)) {
      run(setup_loop_, host_.load_orchestration(orchestration.cast<std::shared_ptr<Orchestration>>()));
      return;
    }
    if (py::isinstance<py::str>(orchestration) || py::hasattr(orchestration, "__fspath__")) {
      const std::string path = py::str(py::module_::import("os").attr("fspath")(orchestration));
      run(setup_loop_, host_.load_orchestration(path));
      return;
    }
    throw TypeError("load_orchestration(): orchestration must be a path or a tavrin.Orchestration, got " +
                    type_name(orchestration));
  }

  void package(const py::object& orchestration, const py::object& agent) {
    std::shared_ptr<Orchestration> chosen;
    if (!orchestration.is_none()) {
      if (!py::isinstance<Orchestration>(orchestration)) {
        throw TypeError("package(): orchestration must be a tavrin.Orchestration or None, got " +
                        type_name(orchestration) + " (an agent is passed by name: package(agent='name'))");
      }
      chosen = orchestration.cast<std::shared_ptr<Orchestration>>();
    }
    PolicyHost::AgentRef ref;
    if (py::isinstance<py::str>(agent)) {
      ref = agent.cast<std::string>();
    } else if (py::isinstance<AgentNode>(agent)) {
      ref = agent.cast<std::shared_ptr<AgentNode>>();
    } else if (!agent.is_none()) {
      throw TypeError("package(): agent must be an agent name, a tavrin.Agent or None, got " + type_name(agent));
    }
    run(setup_loop_, host_.package(std::move(chosen), std::move(ref)));
  }

  py::object execute(const py::object& sensors, const py::object& sim_action_mask, const py::object& explore,
                     const py::object& previous_action, bool return_as_teacher_dict) {
    const Value obs = to_value(sensors, Where("sensors"));
    const Value mask = to_value(sim_action_mask, Where("sim_action_mask"));
    const Value previous = to_value(previous_action, Where("previous_action"));
    const int truth = PyObject_IsTrue(explore.ptr());
    if (truth < 0) throw py::error_already_set();
    const bool exploring = truth != 0;
    Value action = return_as_teacher_dict ? run(step_loop_, teacher_map(obs, mask, exploring, previous))
                                          : run(step_loop_, host_.execute(obs, mask, Value(exploring), previous));
    return from_value(action);
  }

  void close() { run(setup_loop_, host_.close()); }

  // The C++ side of the step benchmark: `steps` executes, cycling through `observations` (sensors,
  // or (sensors, sim_action_mask) pairs, converted beforehand), awaited in one coroutine on this
  // host's step loop as a C++ application steps a host. The nanoseconds of each step.
  py::array_t<std::int64_t> time_execute(const py::sequence& observations, std::int64_t steps) {
    std::vector<std::pair<Value, Value>> converted;
    converted.reserve(observations.size());
    for (const auto& item : observations) {
      if (py::isinstance<py::tuple>(item)) {
        const auto pair = item.cast<py::tuple>();
        converted.emplace_back(to_value(pair[0], Where("sensors")), to_value(pair[1], Where("sim_action_mask")));
      } else {
        converted.emplace_back(to_value(item, Where("sensors")), Value());
      }
    }
    if (converted.empty() || steps < 1) {
      throw tavrin_inference::InvalidArgumentError("_time_execute(): needs observations and steps > 0");
    }
    py::array_t<std::int64_t> durations(steps);
    run(step_loop_, steps_on(converted, durations.mutable_data(), steps));
    return durations;
  }

  py::object orchestration() const { return host_.orchestration ? py::cast(host_.orchestration) : py::none(); }
  py::object agent_processor() const { return host_.agent_processor ? py::cast(host_.agent_processor) : py::none(); }
  py::object config() const { return from_value(Value(host_.config.fields())); }

 private:
  asio::awaitable<Value> teacher_map(const Value& obs, const Value& mask, bool explore, const Value& previous) {
    // The host never asks for the teacher map, so the root processor is driven directly.
    if (!host_.agent_processor) throw RuntimeError("No agent processor available. Call package() first.");
    co_return co_await host_.agent_processor->_execute(obs, mask, explore, false, previous, true);
  }

  asio::awaitable<void> steps_on(const std::vector<std::pair<Value, Value>>& observations, std::int64_t* durations,
                                 std::int64_t steps) {
    for (std::int64_t i = 0; i < steps; ++i) {
      const auto& [obs, mask] = observations[static_cast<std::size_t>(i) % observations.size()];
      const auto start = std::chrono::steady_clock::now();
      co_await host_.execute(obs, mask);
      durations[i] =
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    }
  }

  // Runs `operation` to its end on `loop`, without the GIL.
  template <class T>
  T run(asio::io_context& loop, asio::awaitable<T> operation) {
    if (stepping_.load() == std::this_thread::get_id()) {
      throw RuntimeError("a hook of this PolicyHost called the host: a host runs one operation at a time");
    }
    const py::gil_scoped_release release;
    const std::lock_guard lock(busy_);
    stepping_ = std::this_thread::get_id();
    const struct Done {
      std::atomic<std::thread::id>& id;
      ~Done() { id = std::thread::id(); }
    } done{stepping_};

    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
      asio::co_spawn(loop, std::move(operation), [&error](std::exception_ptr e) { error = std::move(e); });
      run_loop(loop);
      if (error) std::rethrow_exception(error);
    } else {
      std::optional<T> result;
      asio::co_spawn(loop, std::move(operation), [&error, &result](std::exception_ptr e, T value) {
        error = std::move(e);
        if (!error) result.emplace(std::move(value));
      });
      run_loop(loop);
      if (error) std::rethrow_exception(error);
      return std::move(*result);
    }
  }

  static void run_loop(asio::io_context& loop) {
    loop.restart();
    loop.run();
  }

  asio::io_context setup_loop_;  // loading, packaging, closing
  asio::io_context step_loop_;   // execute
  PolicyHost host_;
  std::mutex busy_;
  std::atomic<std::thread::id> stepping_{};
};

}  // namespace

void bind_host(py::module_& module) {
  py::class_<Host>(module, "PolicyHost",
                   "Runs a trained orchestration: load_orchestration(), package(), then execute() once per step.")
      .def(py::init<const py::object&>(), py::arg("config") = py::none(),
           "config: a dict (the configuration map: \"target\" and the remote settings), or None for one local "
           "target at the loopback host, port 1337.")
      .def("load_orchestration", &Host::load_orchestration, py::arg("orchestration"),
           "Loads an orchestration file (a path) or takes a tavrin.Orchestration, and initialises it.")
      .def("package", &Host::package, py::arg("orchestration") = py::none(), py::arg("agent") = py::none(),
           "Builds the processor tree for `agent` (a name or a tavrin.Agent; None: the top agent) of `orchestration` "
           "(None: the loaded one).")
      .def("execute", &Host::execute, py::arg("sensors"), py::arg("sim_action_mask") = py::none(),
           py::arg("explore") = false, py::arg("previous_action") = py::none(), py::kw_only(),
           py::arg("return_as_teacher_dict") = false,
           "One step: the action for these sensors (a dict of name to number, bool, list or numpy array). With "
           "return_as_teacher_dict=True, the root processor's teacher map instead.")
      .def("close", &Host::close, "Stops the remote workers through the network manager.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Host& host, const py::args&) {
             host.close();
             return false;
           })
      .def_property_readonly("orchestration", &Host::orchestration, "the loaded tavrin.Orchestration, or None")
      .def_property_readonly("agent_processor", &Host::agent_processor,
                             "the root tavrin.Processor once packaged, or None")
      .def_property_readonly("config", &Host::config, "the configuration map in use")
      .def("_time_execute", &Host::time_execute, py::arg("observations"), py::arg("steps"),
           "Benchmark helper: the nanoseconds of each of `steps` executes driven from C++ on this host, cycling "
           "through `observations` (sensors, or (sensors, sim_action_mask) pairs).");
}

}  // namespace tavrin_python
