"""The host from Python: the same actions as from C++, every space kind out, sensors and masks of
every form in, the teacher map and what the host shows of the orchestration."""

import json
import os
import pathlib
import sys

import numpy as np
import pytest

import tavrin
from conftest import (FIXTURES, THERMAL, packaged, run_tool, same_action, skill_orchestration,
                      thermal_sensors, unique_name, write_orchestration)


def test_a_recorded_episode_gives_the_actions_of_the_tool():
    lines = [json.loads(text) for text in (FIXTURES / "cli" / "thermal_episode.jsonl").read_text().splitlines()]
    expected, err = run_tool("run", str(THERMAL), lines=lines)
    assert err == "" and len(expected) == len(lines)
    with tavrin.PolicyHost() as host:
        host.load_orchestration(THERMAL)  # a path object is taken as well
        host.package()
        for line, want in zip(lines, expected):
            obs = {name: np.array(value, np.float32) for name, value in line["obs"].items()}
            got = host.execute(obs, line.get("mask"), previous_action=line.get("previous_action"))
            assert same_action(got, want), (line, got, want)


# Each skill fixture's model reverses its observation into the distribution inputs (see
# tests/fixtures/models/README.md), so an observation picks a known action of each kind.
SPACES = [
    ("discrete", [1.0, 5.0, 2.0, 3.0], int, None, None),
    ("box", [0.5, -0.5, 0.0, 0.0], np.ndarray, np.float32, (2,)),
    ("multi_discrete", [1.0, 0.0, 3.0, 2.0, 1.0], np.ndarray, np.int64, (2,)),
    ("multi_binary", [1.0, -1.0, 2.0], np.ndarray, np.int8, (3,)),
    ("tuple", [0.3, -0.2, 1.0, 2.0], tuple, None, None),
    ("dict", [0.5, 1.0, 0.0, 4.0, 1.0], dict, None, None),
]


@pytest.mark.parametrize("kind, obs, python_type, dtype, shape", SPACES, ids=[s[0] for s in SPACES])
def test_every_space_kind_comes_back_as_its_python_value(kind, obs, python_type, dtype, shape):
    path = str(FIXTURES / "skill" / f"{kind}.json")
    expected, err = run_tool("run", path, lines=[{"x": obs}])
    assert err == ""
    action = packaged(path).execute({"x": np.array(obs)})
    assert type(action) is python_type
    if dtype is not None:
        assert action.dtype == dtype and action.shape == shape
    if kind == "tuple":
        assert type(action[0]) is int and action[1].dtype == np.float32 and action[1].shape == (1,)
    if kind == "dict":
        assert list(action) == ["mode", "level"] and type(action["mode"]) is int
    assert same_action(action, expected[0]), (action, expected[0])


def test_sensors_of_every_space_kind_go_in_as_from_the_tool(tmp_path):
    # A C++ controller from the tests' plugin, so that the tool runs the same orchestration.
    plugin = pathlib.Path(os.environ["TAVRIN_TOOL"]).resolve().parents[1] / "lib" / "libtavrin_test_plugin.so"
    path = write_orchestration(tmp_path, {"id": "spaces", "plugins": [str(plugin)], "sensors": [
        {"name": "d", "space": {"type": "Discrete", "n": 3}},
        {"name": "b", "space": {"type": "Box", "low": -1, "high": 1, "shape": [2]}},
        {"name": "md", "space": {"type": "MultiDiscrete", "nvec": [2, 3]}},
        {"name": "mb", "space": {"type": "MultiBinary", "n": 2}},
        {"name": "t", "space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2},
                                                            {"type": "Box", "low": 0, "high": 1, "shape": [1]}]}},
        {"name": "dd", "space": {"type": "Dict", "spaces": {"a": {"type": "Discrete", "n": 2},
                                                            "b": {"type": "Box", "low": 0, "high": 5, "shape": [1]}}}}],
        "agents": [{"name": "c", "kind": "Agent", "controller": True, "class": "PluginController",
                    "action_space": {"type": "Discrete", "n": 3}}]})
    line = {"d": 2, "b": [0.5, -0.25], "md": [1, 2], "mb": [True, False], "t": [1, [0.5]], "dd": {"a": 1, "b": [4.0]}}
    expected, err = run_tool("run", path, "--teacher-map", lines=[line])
    assert err == ""
    sensors = {"d": np.int64(2), "b": np.array([0.5, -0.25]), "md": (1, 2), "mb": np.array([True, False]),
               "t": (1, np.array([0.5], np.float32)), "dd": {"a": True, "b": 4.0}}
    tmap = packaged(path).execute(sensors, return_as_teacher_dict=True)
    assert same_action(tmap, expected[0]), (tmap, expected[0])
    assert tmap["tavrin_obs"]["mb"].dtype == np.int8 and type(tmap["tavrin_obs"]["t"]) is tuple


def test_sensors_of_every_numeric_form_are_read_alike():
    host = packaged(str(FIXTURES / "skill" / "discrete.json"))
    values = [1, 5, 2, 3]  # reversed, the largest is at index 2
    strided = np.zeros(8)
    strided[::2] = values
    forms = [
        values, tuple(values), [float(v) for v in values], [np.int32(v) for v in values],
        np.array(values, np.float64), np.array(values, np.float32), np.array(values, np.int64),
        np.array(values, np.int32), np.array(values, np.uint8), np.array(values, np.uint64),
        np.array(values, np.int8), np.array(values, np.float16), np.array(values, ">f8"),
        strided[::2], np.array([values], np.float32)[0], np.asfortranarray(np.array([values] * 2).T)[:, 0],
    ]
    for form in forms:
        assert host.execute({"x": form}) == 2, form
    # One-element sensors as plain numbers, numpy scalars and bools.
    thermal = packaged(str(THERMAL))
    plain = thermal.execute(thermal_sensors())
    assert np.array_equal(thermal.execute({k: np.float32(v) for k, v in thermal_sensors().items()}), plain)
    assert np.array_equal(thermal.execute({k: np.array(v) for k, v in thermal_sensors().items()}), plain)
    assert np.array_equal(thermal.execute(dict(thermal_sensors(), hour=np.int64(9))), plain)


def test_contiguous_float_arrays_are_read_in_place_for_the_step_only(tmp_path):
    held = {}

    class Peeks(tavrin.AgentTeacher):
        def compute_action_mask(self, sensors, previous_action):
            held[current] = sys.getrefcount(arrays[current])

    name = unique_name("Peeks")
    tavrin.register_agent_impl(name, Peeks)
    host = packaged(skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4, teacher=name))
    values = [1, 5, 2, 3]
    arrays = {"float32": np.array(values, np.float32), "float64": np.array(values, np.float64),
              "int32": np.array(values, np.int32), "strided": np.repeat(np.array(values, np.float32), 2)[::2]}
    before = {kind: sys.getrefcount(a) for kind, a in arrays.items()}
    for current in arrays:
        assert host.execute({"x": arrays[current]}) == 2
    # While the step runs, the runtime holds a reference to the arrays it reads in place (one more
    # than a copied array has), and none after it.
    assert held["float32"] == held["float64"] == held["int32"] + 1 == held["strided"] + 1
    assert {kind: sys.getrefcount(a) for kind, a in arrays.items()} == before


def test_masks_of_every_structure_forbid_alike():
    host = packaged(str(FIXTURES / "skill" / "discrete.json"))
    obs = {"x": [1, 5, 2, 3]}  # reversed [3, 2, 5, 1]: action 2 unless forbidden, then 0
    forms = [[1, 1, 0, 1], (1, 1, 0, 1), [True, True, False, True], np.array([1, 1, 0, 1], np.int8),
             np.array([1.0, 1.0, 0.0, 1.0]), np.array([True, True, False, True]), np.array([[1, 1], [0, 1]])]
    assert host.execute(obs) == 2
    for form in forms:
        assert host.execute(obs, form) == 0, form
    # Structured masks of composite spaces, one part per sub-space, are taken as the tool takes them.
    for kind, obs, mask, python_mask in [
            ("tuple", [0.3, -0.2, 1.0, 2.0], [[0, 1], [1]], ([0, 1], np.array([1]))),
            ("dict", [0.5, 1.0, 0.0, 4.0, 1.0], {"mode": [1, 0, 1], "level": [1]},
             {"mode": np.array([1, 0, 1], np.int8), "level": (1,)})]:
        path = str(FIXTURES / "skill" / f"{kind}.json")
        expected, err = run_tool("run", path, lines=[{"obs": {"x": obs}, "mask": mask}])
        assert err == "" and same_action(packaged(path).execute({"x": obs}, python_mask), expected[0])


def test_the_teacher_map_carries_the_observation_as_the_models_see_it(thermal_host):
    tmap = thermal_host.execute(thermal_sensors(temperature=15.0), [1, 1, 1], return_as_teacher_dict=True)
    # The chosen skill's map, with the selector's choice added.
    assert list(tmap) == ["action", "sensors_filtered", "tavrin_obs", "top_orchestrator_action"]
    assert tmap["top_orchestrator_action"] in (0, 1, 2)
    assert list(tmap["tavrin_obs"]) == ["temperature", "outside", "setpoint", "hour", "co2"]
    # heat sees temperature, setpoint and outside (its teacher's order), each min-max normalised.
    thermal_host.package(agent="heat")
    tmap = thermal_host.execute(thermal_sensors(temperature=15.0), return_as_teacher_dict=True)
    assert list(tmap) == ["action", "sensors_filtered", "tavrin_obs"]
    assert list(tmap["sensors_filtered"]) == ["observation", "action_mask"]
    observation = tmap["sensors_filtered"]["observation"]
    assert observation.dtype == np.float32
    assert np.allclose(observation, [15 / 20 - 1, (21 - 15) / 5 - 1, (3 + 20) / 30 - 1])


def test_the_host_shows_the_orchestration_and_its_processor_tree(thermal_host):
    o = thermal_host.orchestration
    assert o.id == "thermal-zone" and o.is_initialized
    # The plugin named by its bare file name is the one next to the runtime libraries.
    assert len(o.plugins) == 1 and o.plugins[0].endswith("/lib/libtavrin_thermal.so")
    assert os.path.isfile(o.plugins[0])
    assert [(a.name, a.kind, a.impl_cls) for a in o.agents] == [
        ("zone", "AgentOrchestrator", "ZoneTeacher"), ("heat", "Agent", "HeaterTeacher"),
        ("ventilate", "Agent", "VentilationTeacher"), ("thermostat", "Agent", "ThermostatController")]
    zone = o.top_agent
    assert zone.children == ["heat", "ventilate", "thermostat"]
    assert zone.follow_rules == [("ventilate", ["heat", "ventilate"])]
    assert str(zone.action_space) == "Discrete(3)" and zone.action_space.n == 3
    heat = o.get_node_by_name("heat").action_space
    assert str(heat) == "Box(0.0, 1.0, (1), float32)"
    assert (heat.type_name, heat.shape, heat.dtype, heat.low.tolist()) == ("Box", (1,), "float32", [0.0])
    assert [(s.name, s.normalization) for s in o.sensors][0] == ("temperature", "min_max")
    assert "zone: AgentOrchestrator, class ZoneTeacher, children heat ventilate thermostat" in str(o)

    root = thermal_host.agent_processor
    assert (root.name, root.class_name) == ("zone", "SelectorRuntime")
    assert [c.name for c in root.children] == ["heat", "ventilate", "thermostat"]
    assert root.filter_keys == ["temperature", "setpoint", "outside", "co2"]
    assert root.runner.input_names == ["observations", "action_mask"]
    assert root.children[2].runner is None  # the thermostat is a controller
    # The runner is the host's own session: it gives the selector's logits for the observation.
    logits = root.runner.get_action_dist_inputs(np.zeros(4, np.float32), np.ones(3))
    assert logits.shape == (1, 3)


def test_configuration_and_closing():
    assert tavrin.PolicyHost().config == {"target": {"local": {"address": "127.0.0.1:1337"}}}
    assert tavrin.PolicyHost({}).config == {}
    with tavrin.PolicyHost({"target": {"w": {"address": "127.0.0.1:9"}}}) as host:
        assert host.orchestration is None and host.agent_processor is None
    host.close()  # again: the host refuses nothing after closing


def test_a_selector_steps_under_another_agent_and_an_agent_object(thermal_host):
    heat = thermal_host.orchestration.get_node_by_name("heat")
    thermal_host.package(agent=heat)
    assert thermal_host.agent_processor.class_name == "SkillRuntime"
    assert isinstance(thermal_host.execute(thermal_sensors()), np.ndarray)
    thermal_host.package(agent="ventilate")
    assert thermal_host.execute(thermal_sensors(), [1, 0, 0]) == 0
    standalone = tavrin.Orchestration.load(str(FIXTURES / "skill" / "discrete.json"))
    thermal_host.package(standalone)
    assert thermal_host.orchestration.id == "thermal-zone"  # an orchestration passed here is not kept
    assert thermal_host.execute({"x": [1, 5, 2, 3]}) == 2


def test_a_plain_python_runner(tmp_path):
    path = skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4)
    runner = tavrin.GraphRunner(str(FIXTURES / "models" / "skill_discrete.onnx"))
    out = runner.infer(np.array([1, 5, 2, 3], np.float32), np.ones(4))
    assert list(out) == ["action_dist_inputs", "vf_preds", "mask_sum"]
    assert out["action_dist_inputs"].tolist() == [[3, 2, 5, 1]]
    assert packaged(path).execute({"x": [1, 5, 2, 3]}) == int(np.argmax(out["action_dist_inputs"]))
