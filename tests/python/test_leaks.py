"""No leak over 100,000 steps of the thermal example, and over 10,000 more with a Python teacher on
its selector: the resident memory stays flat and the inputs' reference counts do not move."""

import json
import sys

import numpy as np

import tavrin
from conftest import THERMAL, packaged, unique_name, write_orchestration


class ZoneInPython(tavrin.AgentTeacher):
    """The shipped ZoneTeacher's sensors and mask, in Python."""

    def filtered_sensor_space(self):
        return ["temperature", "setpoint", "outside", "co2"]

    def compute_action_mask(self, sensors, previous_action):
        too_warm = sensors["temperature"][0] > sensors["setpoint"][0] + 2.0
        hour = sensors["hour"][0]
        return np.array([not too_warm, not (hour >= 22.0 or hour < 6.0), True])


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def test_steps_leak_neither_memory_nor_references(tmp_path):
    document = json.loads(THERMAL.read_text())
    document["agents"][0]["class"] = name = unique_name("ZoneInPython")
    for agent in document["agents"]:
        if "checkpoint" in agent:
            agent["checkpoint"] = str(THERMAL.parent / "models")
    tavrin.register_agent_impl(name, ZoneInPython)
    shipped = packaged(str(THERMAL))
    with_python_teacher = packaged(write_orchestration(tmp_path, document))

    sensors = {"temperature": np.array([19.5]), "outside": np.array([3.0], np.float32), "setpoint": 21.0,
               "hour": [9.0], "co2": np.array([650.0])}
    mask = np.array([1, 1, 0], np.int8)
    inputs = [sensors, mask, *sensors.values()]

    def steps(host, n):
        for i in range(n):
            sensors["hour"][0] = float(i % 96) / 4.0
            host.execute(sensors, mask, previous_action=i % 3)
            if i % 7 == 0:
                host.execute(sensors, return_as_teacher_dict=True)

    steps(shipped, 5_000)
    steps(with_python_teacher, 2_000)
    counts = [sys.getrefcount(x) for x in inputs]
    before = resident_kib()
    steps(shipped, 100_000)
    steps(with_python_teacher, 10_000)
    grown = resident_kib() - before
    assert [sys.getrefcount(x) for x in inputs] == counts
    assert grown < 1024, f"resident memory grew by {grown} KiB"
