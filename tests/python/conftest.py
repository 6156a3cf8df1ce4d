"""Shared pieces of the Python module's tests: paths, the thermal example's sensors, orchestrations
written on the fly over the real model fixtures, and the tavrin tool (the same steps from C++)."""

import itertools
import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

import tavrin

ROOT = pathlib.Path(__file__).resolve().parents[2]
FIXTURES = ROOT / "tests" / "fixtures"
MODELS = FIXTURES / "models"
THERMAL = ROOT / "examples" / "thermal" / "orchestration.json"

_names = itertools.count(1)


def unique_name(stem):
    """A class name of its own for each registration: the registry is shared by the whole process."""
    return f"pytest.{stem}.{next(_names)}"


def thermal_sensors(temperature=19.5, outside=3.0, setpoint=21.0, hour=9.0, co2=650.0):
    return {"temperature": temperature, "outside": outside, "setpoint": setpoint, "hour": hour, "co2": co2}


def write_orchestration(directory, document):
    """Writes an orchestration file (agents' checkpoints default to the model fixtures)."""
    for agent in document["agents"]:
        agent.setdefault("checkpoint", str(MODELS))
    path = pathlib.Path(directory) / "orchestration.json"
    path.write_text(json.dumps(document))
    return str(path)


def skill_orchestration(directory, agent, action_space, obs_size, teacher=None, **extra):
    """One skill agent over one Box sensor "x" of obs_size values."""
    node = {"name": agent, "kind": "Agent", "action_space": action_space, **extra}
    if teacher is not None:
        node["class"] = teacher
    return write_orchestration(directory, {
        "id": "pytest-" + agent,
        "sensors": [{"name": "x", "space": {"type": "Box", "low": -100, "high": 100, "shape": [obs_size]}}],
        "agents": [node],
    })


def slow_model(directory, name, size=384, rounds=8):
    """A model of the slow.onnx kind (observations (1, 4) -> one logit), tens of milliseconds per run:
    m <- tanh(m @ m / size + m0) `rounds` times on a size x size matrix filled from the observation."""
    from onnx import TensorProto, checker, helper, numpy_helper

    nodes = [helper.make_node("ReduceSum", ["observations", "axes"], ["s"], keepdims=1),
             helper.make_node("Mul", ["s", "scale"], ["s_scaled"]),
             helper.make_node("Expand", ["s_scaled", "big_shape"], ["m0"])]
    for i in range(rounds):
        nodes += [helper.make_node("MatMul", [f"m{i}", f"m{i}"], [f"p{i}"]),
                  helper.make_node("Mul", [f"p{i}", "inv_n"], [f"q{i}"]),
                  helper.make_node("Add", [f"q{i}", "m0"], [f"r{i}"]),
                  helper.make_node("Tanh", [f"r{i}"], [f"m{i + 1}"])]
    nodes.append(helper.make_node("ReduceMean", [f"m{rounds}"], ["action_dist_inputs"], axes=[0, 1], keepdims=1))
    inits = [numpy_helper.from_array(np.array([1], np.int64), "axes"),
             numpy_helper.from_array(np.array(0.1, np.float32), "scale"),
             numpy_helper.from_array(np.array(1.0 / size, np.float32), "inv_n"),
             numpy_helper.from_array(np.array([size, size], np.int64), "big_shape")]
    graph = helper.make_graph(nodes, name, [helper.make_tensor_value_info("observations", TensorProto.FLOAT, [1, 4])],
                              [helper.make_tensor_value_info("action_dist_inputs", TensorProto.FLOAT, [1, 1])], inits)
    onnx_model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx_model.ir_version = 8
    checker.check_model(onnx_model)
    path = pathlib.Path(directory) / f"{name}.onnx"
    path.write_bytes(onnx_model.SerializeToString())
    return str(directory)


def packaged(path, agent=None):
    host = tavrin.PolicyHost()
    host.load_orchestration(path)
    host.package(agent=agent)
    return host


@pytest.fixture
def thermal_host():
    with tavrin.PolicyHost() as host:
        host.load_orchestration(str(THERMAL))
        host.package()
        yield host


def run_tool(*args, lines):
    """`tavrin <args>` on observation lines; returns (actions as JSON values, standard error)."""
    done = subprocess.run([os.environ["TAVRIN_TOOL"], *args, "--on-error", "skip"],
                          input="".join(json.dumps(line) + "\n" for line in lines),
                          capture_output=True, text=True, timeout=60, check=False)
    return [json.loads(out) for out in done.stdout.splitlines()], done.stderr


def same_action(python_value, json_value):
    """A host's action equals the tool's JSON text of the same step."""
    if isinstance(python_value, np.ndarray):
        return python_value.tolist() == json_value
    if isinstance(python_value, tuple):
        return len(python_value) == len(json_value) and all(map(same_action, python_value, json_value))
    if isinstance(python_value, dict):
        return list(python_value) == list(json_value) and all(
            same_action(python_value[k], json_value[k]) for k in python_value)
    return python_value == json_value
