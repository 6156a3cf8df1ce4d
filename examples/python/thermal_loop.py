#!/usr/bin/python3
"""The shipped thermal-zone orchestration in closed loop against a small plant written in Python.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/python/thermal_loop.py [--episodes N] [--seed S]

The orchestration is examples/thermal/orchestration.json as it is: its selector and skills run their
ONNX models and its C++ teachers come from the plugin it names, except the heater's teacher, which
is the Python class below. The plant is a one-room model of the example's physics (heater,
ventilation flap, people, sun, a daily outside cycle drawn per seed); it reports the sensors and the
mask of allowed ventilation levels, and the reward of each 15-minute step. For every episode (one
day) the script prints the return of the policy and of a constant baseline (heater at 50 %, flap
closed) on the same seed.
"""

import argparse
import math
import pathlib
import sys

import numpy as np

import tavrin

ORCHESTRATION = pathlib.Path(__file__).resolve().parents[1] / "thermal" / "orchestration.json"


class HeaterTeacher(tavrin.AgentTeacher):
    """The heater's model sees temperature, setpoint and outside temperature; its command is kept in
    [0, 1] whatever the model produced (the C++ HeaterTeacher's behaviour, written in Python)."""

    def filtered_sensor_space(self):
        return ["temperature", "setpoint", "outside"]

    def transform_action(self, sensors, action):
        return np.clip(action, 0.0, 1.0)


class Plant:
    """One room over one day in steps of a quarter hour."""

    dt = 0.25
    steps = 96
    capacity = 2.0                # kWh per K
    envelope = 0.15               # kW per K through walls and windows
    heater_kw = 6.0
    vent_loss = (0.0, 0.25, 0.6)  # kW per K carried away per flap level
    air_changes = (0.0, 2.0, 5.0)  # per hour, per flap level

    def reset(self, seed):
        self.rng = np.random.default_rng(seed)
        self.outside_mean = self.rng.uniform(-6.0, 10.0)
        self.swing = self.rng.uniform(3.0, 6.0)
        self.cloudiness = self.rng.uniform()
        self.step_index, self.hour, self.drift = 0, 0.0, 0.0
        self.temperature = self.rng.uniform(15.5, 19.0)
        self.co2 = 420.0 + self.rng.uniform(20.0, 120.0)

    @property
    def done(self):
        return self.step_index >= self.steps

    def outside(self):
        return self.outside_mean + self.swing * math.cos(2 * math.pi * (self.hour - 15.0) / 24.0) + self.drift

    def setpoint(self):
        return 21.0 if 6.0 <= self.hour < 20.0 else 17.0

    def occupied(self):
        return 8.0 <= self.hour < 18.0

    def mask(self):
        """The allowed flap levels: shut at night, not fully open below -5 degrees outside."""
        if self.hour >= 22.0 or self.hour < 6.0:
            return np.array([1, 0, 0], np.int8)
        return np.array([1, 1, 0] if self.outside() < -5.0 else [1, 1, 1], np.int8)

    def sensors(self):
        reading = self.temperature + 0.05 * self.rng.standard_normal()
        values = {"temperature": reading, "outside": self.outside(), "setpoint": self.setpoint(),
                  "hour": self.hour, "co2": self.co2}
        return {name: np.array([value], np.float32) for name, value in values.items()}

    def step(self, heater, flap):
        """Applies the command for one step; returns the reward (minus discomfort, energy, stale air)."""
        if self.mask()[flap] == 0:
            flap = 0  # a forbidden level keeps the flap shut
        heater = min(max(heater, 0.0), 1.0)
        outside, setpoint, occupied = self.outside(), self.setpoint(), self.occupied()
        sun = 0.0 if not 6.0 < self.hour < 18.0 else 1.5 * (1 - 0.7 * self.cloudiness) * math.sin(
            math.pi * (self.hour - 6.0) / 12.0)
        conductance = self.envelope + self.vent_loss[flap]
        power = self.heater_kw * heater + (0.3 if occupied else 0.0) + sun
        balance = outside + power / conductance
        self.temperature = balance + (self.temperature - balance) * math.exp(-conductance / self.capacity * self.dt)
        exchange = 0.3 + self.air_changes[flap]
        co2_balance = 420.0 + (400.0 if occupied else 0.0) / exchange
        self.co2 = co2_balance + (self.co2 - co2_balance) * math.exp(-exchange * self.dt)

        comfort = setpoint >= 21.0
        discomfort = (abs(self.temperature - setpoint) if comfort else max(0.0, setpoint - self.temperature)) * self.dt
        energy = self.heater_kw * heater * self.dt
        stale = max(0.0, self.co2 - 1000.0) / 100.0 * self.dt if occupied else 0.0
        self.step_index += 1
        self.hour = (self.step_index * self.dt) % 24.0
        self.drift = 0.95 * self.drift + 0.15 * self.rng.standard_normal()
        return -(discomfort + 0.25 * energy + 0.5 * stale)


def command(action):
    """A heater power (a one-element array, from heat or thermostat) or a flap level (an int)."""
    if isinstance(action, np.ndarray):
        return float(action[0]), 0
    return 0.0, int(action)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--episodes", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    plant = Plant()
    with tavrin.PolicyHost() as host:
        host.load_orchestration(ORCHESTRATION)  # loads the plugin with the C++ teachers
        tavrin.register_agent_impl("HeaterTeacher", HeaterTeacher)  # the last registration wins
        host.package()
        children = host.orchestration.top_agent.children
        print(f"{'episode':>7} {'seed':>5} {'policy':>9} {'baseline':>9}  choices ({', '.join(children)})")
        totals = [0.0, 0.0]
        for episode in range(args.episodes):
            seed = args.seed + episode
            plant.reset(seed)
            policy_return, choices, previous = 0.0, [0] * len(children), None
            while not plant.done:
                tmap = host.execute(plant.sensors(), plant.mask(), previous_action=previous,
                                    return_as_teacher_dict=True)
                previous = tmap["top_orchestrator_action"]
                choices[previous] += 1
                policy_return += plant.step(*command(tmap["action"]))
            plant.reset(seed)
            baseline_return = 0.0
            while not plant.done:
                baseline_return += plant.step(0.5, 0)
            totals[0] += policy_return
            totals[1] += baseline_return
            print(f"{episode + 1:>7} {seed:>5} {policy_return:9.2f} {baseline_return:9.2f}  {choices}")
        n = args.episodes
        print(f"mean return: policy {totals[0] / n:.2f}, constant baseline {totals[1] / n:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
