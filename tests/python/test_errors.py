"""Every error kind as its Python class, with the runtime's message and its causes; bad input from
Python gets the errors the tool gives for the same input."""

import builtins
import json

import numpy as np
import pytest

import tavrin
from conftest import FIXTURES, MODELS, THERMAL, packaged, run_tool, thermal_sensors, unique_name, write_orchestration


class SelectsChild7(tavrin.AgentTeacher):
    def filtered_sensor_space(self):
        return ["temperature", "setpoint", "outside", "co2"]

    def transform_action(self, sensors, action):
        return 7


class DropsTheSensors(SelectsChild7):
    def transform_sensors(self, sensors, extra):
        return None

    transform_action = tavrin.AgentTeacher.transform_action


def thermal_with_zone_teacher(tmp_path, cls):
    document = json.loads(THERMAL.read_text())
    document["agents"][0]["class"] = name = unique_name(cls.__name__)
    for agent in document["agents"]:
        if "checkpoint" in agent:
            agent["checkpoint"] = str(THERMAL.parent / "models")
    tavrin.register_agent_impl(name, cls)
    return packaged(write_orchestration(tmp_path, document))


def coordinated_set(tmp_path):
    return write_orchestration(tmp_path, {"id": "crew", "agents": [
        {"name": "crew", "kind": "AgentCoordinatedSet", "children": ["a"]},
        {"name": "a", "kind": "Agent", "action_space": {"type": "Discrete", "n": 4}}]})


def test_every_error_kind_is_its_class_with_the_runtimes_message(tmp_path):
    fresh = tavrin.PolicyHost()
    cases = [
        (lambda: fresh.execute({}), "RuntimeError", builtins.RuntimeError,
         "No agent processor available. Call package() first."),
        (lambda: fresh.package(), "InvalidArgumentError", ValueError,
         "No orchestration provided and no orchestration loaded"),
        (lambda: fresh.load_orchestration(str(tmp_path / "none.json")), "FileNotFoundError",
         builtins.FileNotFoundError, f"Orchestration file not found: {tmp_path / 'none.json'}"),
        (lambda: packaged(str(THERMAL), agent="nope"), "KeyError", builtins.KeyError,
         "No agent named 'nope' in orchestration 'thermal-zone'"),
        (lambda: tavrin.PolicyHost(config=5), "TypeError", builtins.TypeError,
         "config must be a map keyed by string or None, got int"),
        (lambda: thermal_with_zone_teacher(tmp_path, SelectsChild7).execute(thermal_sensors()), "IndexError",
         builtins.IndexError, "child index 7 is out of range for orchestrator agent zone with 3 child processors"),
        (lambda: packaged(coordinated_set(tmp_path)), "NotImplementedError", builtins.NotImplementedError,
         "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: crew"),
    ]
    for call, kind, builtin, message in cases:
        with pytest.raises(tavrin.Error) as caught:
            call()
        error = caught.value
        assert type(error) is getattr(tavrin, kind), (kind, error)
        assert isinstance(error, builtin) and type(error).__module__ == "tavrin"
        assert str(error) == message and error.args == (message,)

    # The general kind, and a failure of the factory that keeps it as its cause.
    with pytest.raises(tavrin.Error) as caught:
        thermal_with_zone_teacher(tmp_path, DropsTheSensors).execute(thermal_sensors())
    assert type(caught.value) is tavrin.Error and str(caught.value).startswith("Sensor values is 'None'")


def test_a_failed_packaging_keeps_every_cause(tmp_path):
    class FailsToStart(tavrin.AgentTeacher):
        def __init__(self):
            raise OSError("no licence")

    path = write_orchestration(tmp_path, {"id": "nest", "agents": [
        {"name": "root", "kind": "AgentOrchestrator", "children": ["leaf"], "checkpoint": str(MODELS)},
        {"name": "leaf", "kind": "Agent", "class": unique_name("FailsToStart"),
         "action_space": {"type": "Discrete", "n": 2}}]})
    tavrin.register_agent_impl(json.loads(open(path).read())["agents"][1]["class"], FailsToStart)
    host = tavrin.PolicyHost()
    host.load_orchestration(path)
    with pytest.raises(tavrin.RuntimeError) as caught:
        host.package()
    chain = []
    error = caught.value
    while error is not None:
        chain.append((type(error), str(error)))
        error = error.__cause__
    assert chain == [
        (tavrin.RuntimeError, "Failed to create ONNX agent processor for root: "
                              "Failed to create ONNX agent processor for leaf: OSError: no licence"),
        (tavrin.RuntimeError, "Failed to create ONNX agent processor for leaf: OSError: no licence"),
        (OSError, "no licence"),
    ]
    assert caught.value.__cause__.__cause__.__traceback__.tb_frame.f_code.co_name == "__init__"
    assert host.agent_processor is None  # nothing half-built is kept


def test_bad_sensors_and_masks_get_the_errors_the_tool_gives(thermal_host):
    good = {name: [value] for name, value in thermal_sensors().items()}
    bad_lines = [
        {k: v for k, v in good.items() if k != "co2"},          # a sensor missing
        dict(good, temperature=[21.5, 1.0]),                    # a sensor of the wrong length
        dict(good, temperature={"a": 1}),                       # a map for a Box sensor
        {"obs": good, "mask": {"a": 1, "b": [0, 1]}},           # masks the selector does not use
        {"obs": good, "mask": [1, 1, 0], "previous_action": [0.5, 2]},
    ]
    _, err = run_tool("run", str(THERMAL), lines=bad_lines)
    tool_errors = [line.split(": ", 3)[3] for line in err.splitlines() if line.startswith("error: ")]
    python_errors = []
    for line in bad_lines:
        obs = line.get("obs", line)
        try:
            thermal_host.execute(obs, line.get("mask"), previous_action=line.get("previous_action"))
        except tavrin.Error as e:
            python_errors.append(f"{type(e).__name__}: {e}")
    assert python_errors == tool_errors and len(tool_errors) >= 3

    with pytest.raises(tavrin.InvalidArgumentError, match="element 0 is nan; sensor values must be finite"):
        thermal_host.execute(dict(thermal_sensors(), hour=np.array([np.nan])))
    # The host stays usable.
    assert thermal_host.execute(thermal_sensors()) is not None


def test_python_values_the_runtime_cannot_take_are_named_where_they_are(thermal_host):
    cases = [
        (dict(thermal_sensors(), co2={650}), tavrin.TypeError, r"^sensors\['co2'\]: expected None, a bool, a number, "
                                                               r"a str, a list, a tuple, a dict or a numpy array, got set$"),
        (dict(thermal_sensors(), co2=[650, object()]), tavrin.TypeError, r"^sensors\['co2'\]\[1\]: .* got object$"),
        (dict(thermal_sensors(), co2=np.array([1j])), tavrin.TypeError,
         r"^sensors\['co2'\]: expected a numpy array of a numeric dtype, got dtype complex128$"),
        ({1: 2}, tavrin.TypeError, r"^sensors: expected str keys, got the int key 1$"),
        (dict(thermal_sensors(), co2=2**70), tavrin.InvalidArgumentError,
         r"^sensors\['co2'\]: the integer 1180591620717411303424 does not fit in 64 bits$"),
        (dict(thermal_sensors(), co2=np.array([2**63], np.uint64)), tavrin.InvalidArgumentError,
         r"^sensors\['co2'\]: the value 9223372036854775808 does not fit in int64$"),
        (dict(thermal_sensors(), co2=np.zeros([1] * 9)), tavrin.InvalidArgumentError,
         r"^sensors\['co2'\]: arrays have at most 8 dimensions, got 9$"),
    ]
    for sensors, kind, message in cases:
        with pytest.raises(kind, match=message):
            thermal_host.execute(sensors)
    with pytest.raises(tavrin.TypeError, match=r"^sim_action_mask\[0\]: .* got bytes$"):
        thermal_host.execute(thermal_sensors(), [b"x"])
    with pytest.raises(tavrin.TypeError, match="package\\(\\): orchestration must be a tavrin.Orchestration"):
        thermal_host.package("zone")
    with pytest.raises(tavrin.TypeError, match="load_orchestration\\(\\): orchestration must be a path"):
        thermal_host.load_orchestration(5)
    with pytest.raises(tavrin.InvalidArgumentError, match="Unknown log level: 'loud'"):
        tavrin.set_log_level("loud")
    with pytest.raises(tavrin.FileNotFoundError):
        tavrin.GraphRunner(str(FIXTURES / "models" / "none.onnx"))
