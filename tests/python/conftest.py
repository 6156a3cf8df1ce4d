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


def slow_model(directory, name, size=420):
    """The slow.onnx fixture (observations (1, 4) -> one logit: m <- tanh(m @ m / n + m0) six times on
    an n x n matrix filled from the observation) with n = size, tens of milliseconds per run; written
    as <directory>/<name>.onnx. Returns the directory."""
    import onnx
    from onnx import numpy_helper

    onnx_model = onnx.load(str(MODELS / "slow.onnx"))
    resized = {"inv_n": np.array(1.0 / size, np.float32), "big_shape": np.array([size, size], np.int64)}
    for initializer in onnx_model.graph.initializer:
        if initializer.name in resized:
            initializer.CopyFrom(numpy_helper.from_array(resized[initializer.name], initializer.name))
    onnx_model.graph.name = name
    onnx.checker.check_model(onnx_model)
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
