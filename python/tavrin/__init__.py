"""tavrin: the C++ inference runtime for trained hierarchical agents, driven from Python.

    import tavrin

    with tavrin.PolicyHost() as host:
        host.load_orchestration("examples/thermal/orchestration.json")
        host.package()
        action = host.execute({"temperature": 19.5, "outside": 3.0, "setpoint": 21.0,
                               "hour": 9.0, "co2": 650.0})

The host, its errors and the orchestration objects are the C++ runtime's own (module _tavrin);
teachers, controllers and perceptors may be written in Python (tavrin.implementations). The
runtime's loggers are set to "warning" on import, as the tavrin tool does; set_log_level changes
that.
"""

from tavrin._tavrin import (
    Agent,
    Error,
    FileNotFoundError,
    GraphRunner,
    IndexError,
    InvalidArgumentError,
    KeyError,
    NotImplementedError,
    Orchestration,
    PerceptorNode,
    PolicyHost,
    Processor,
    RuntimeError,
    Sensor,
    Space,
    TypeError,
    __version__,
    load_plugin,
    register_agent_impl,
    register_perceptor_impl,
    set_log_level,
)
from tavrin.implementations import AgentTeacher, Controller, Perceptor

set_log_level("warning")

__all__ = [
    "Agent",
    "AgentTeacher",
    "Controller",
    "Error",
    "FileNotFoundError",
    "GraphRunner",
    "IndexError",
    "InvalidArgumentError",
    "KeyError",
    "NotImplementedError",
    "Orchestration",
    "Perceptor",
    "PerceptorNode",
    "PolicyHost",
    "Processor",
    "RuntimeError",
    "Sensor",
    "Space",
    "TypeError",
    "load_plugin",
    "register_agent_impl",
    "register_perceptor_impl",
    "set_log_level",
]
