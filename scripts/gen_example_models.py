#!/usr/bin/python3
"""Builds the ONNX policies of the thermal-zone example under examples/thermal/models/.

Run with Debian's interpreter (python3-onnx, python3-numpy):

    /usr/bin/python3 scripts/gen_example_models.py

The three policies stand in for trained ones. Their weights are set from the physics of the
plant in examples/thermal/plant.cpp (a proportional heater with a feed-forward of the envelope's
losses, a ventilation rule on CO2 and overheating, a selector that picks among them), written
as linear functions of the raw sensors and then folded onto the min-max normalised inputs the
runtime feeds. Everything is deterministic, so regenerating gives byte-identical files.

Every model follows the exported-policy contract of the runtime: a float32 input whose name
contains "obs" (batch 1, the agent's filtered sensors in the order its teacher keeps them), a
float64 "action_mask" input, and the outputs "action_dist_inputs" and "vf_preds".
"""
import os
import sys

import numpy as np
from onnx import helper

from gen_models import F32, F64, FLOAT_MIN, const, model, tensor, write_models

OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "thermal", "models")

# Sensor ranges of examples/thermal/orchestration.json (all normalised with "min_max").
SENSOR_RANGES = {
    "temperature": (0.0, 40.0),
    "outside": (-20.0, 40.0),
    "setpoint": (15.0, 25.0),
    "hour": (0.0, 24.0),
    "co2": (400.0, 2000.0),
}

# Observation layouts: the sensors each teacher keeps (filtered_sensor_space in thermal_agents.cpp).
ZONE_OBS = ["temperature", "setpoint", "outside", "co2"]
HEAT_OBS = ["temperature", "setpoint", "outside"]
VENTILATE_OBS = ["temperature", "setpoint", "co2"]

# Plant figures the heater's feed-forward uses (plant.hpp: PlantConfig defaults).
ENVELOPE_KW_PER_K = 0.15
HEATER_KW = 6.0
INTERNAL_GAINS_KW = 0.3


def fold(layout, rows):
    """Weights for raw-sensor linear functions, moved onto normalised inputs.

    rows: one (coefficients by sensor name, constant) pair per output. A raw sensor x is
    c + s * x_n with c, s the midpoint and half-range of its box, so a * x = a * s * x_n + a * c.
    Returns W (inputs x outputs) and b (outputs), float32."""
    w = np.zeros((len(layout), len(rows)), dtype=np.float64)
    b = np.zeros(len(rows), dtype=np.float64)
    for j, (coefficients, constant) in enumerate(rows):
        unknown = set(coefficients) - set(layout)
        if unknown:
            raise ValueError(f"sensors {sorted(unknown)} are not in the layout {layout}")
        b[j] = constant
        for i, name in enumerate(layout):
            a = coefficients.get(name, 0.0)
            low, high = SENSOR_RANGES[name]
            w[i, j] = a * (high - low) / 2.0
            b[j] += a * (high + low) / 2.0
    return w.astype(np.float32), b.astype(np.float32)


def linear_policy(name, layout, rows, num_outputs, value_row, mask_size, mask_logits):
    """observations (1, len(layout)) f32, action_mask (1, mask_size) f64 ->
    action_dist_inputs = obs @ W + b (+ max(log(mask), FLOAT_MIN) when mask_logits), (1, n) f32;
    vf_preds = obs @ Wv + bv, (1) f32."""
    w, b = fold(layout, rows)
    assert w.shape[1] == num_outputs
    wv, bv = fold(layout, [value_row])
    nodes = [helper.make_node("Gemm", ["observations", "W", "b"], ["logits"]),
             helper.make_node("Gemm", ["observations", "Wv", "bv"], ["value"]),
             helper.make_node("Squeeze", ["value", "squeeze_axes"], ["vf_preds"]),
             helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32)]
    inits = [const("W", w), const("b", b), const("Wv", wv), const("bv", bv),
             const("squeeze_axes", np.asarray([1], dtype=np.int64))]
    if mask_logits:
        # Forbidden actions get FLOAT_MIN, as exported policies with a mask input do.
        nodes += [helper.make_node("Log", ["mask_f"], ["log_mask"]),
                  helper.make_node("Max", ["log_mask", "float_min"], ["inf_mask"]),
                  helper.make_node("Add", ["logits", "inf_mask"], ["action_dist_inputs"])]
        inits.append(const("float_min", np.float32(FLOAT_MIN)))
    else:
        # A continuous action has no per-entry mask to apply; the input is read and has no effect.
        nodes += [helper.make_node("ReduceSum", ["mask_f", "squeeze_axes"], ["mask_sum"], keepdims=1),
                  helper.make_node("Mul", ["mask_sum", "zero"], ["mask_zero"]),
                  helper.make_node("Add", ["logits", "mask_zero"], ["action_dist_inputs"])]
        inits.append(const("zero", np.float32(0.0)))
    return model(nodes,
                 [tensor("observations", F32, [1, len(layout)]), tensor("action_mask", F64, [1, mask_size])],
                 [tensor("action_dist_inputs", F32, [1, num_outputs]), tensor("vf_preds", F32, [1])],
                 inits, name=name, producer="tavrin-inference example")


def heat():
    """Box(0, 1, (1,)): heater power. The mean (in [-1, 1], scaled to [0, 1] by the runtime) is
    2 * u - 1 with u = 0.6 * (setpoint - T) + (losses at the setpoint - internal gains) / heater
    power, a proportional controller with the envelope's steady-state losses fed forward; the
    log-std is -2. Value: minus the temperature error, roughly."""
    kp = 0.6
    ff = ENVELOPE_KW_PER_K / HEATER_KW
    mean = ({"setpoint": 2 * (kp + ff), "temperature": -2 * kp, "outside": -2 * ff},
            -1.0 - 2 * INTERNAL_GAINS_KW / HEATER_KW)
    log_std = ({}, -2.0)
    value = ({"setpoint": 1.0, "temperature": -1.0}, 0.0)
    return linear_policy("heat", HEAT_OBS, [mean, log_std], 2, value, mask_size=1, mask_logits=False)


def ventilate():
    """Discrete(3): ventilation closed, half, full. Logits: closed 0; half
    (co2 - 700) / 100 + (T - setpoint); full the half logit + (co2 - 1200) / 100
    + 1.5 * (T - setpoint). Chosen by the selector for stale air, the skill opens the flap
    half, and fully for very stale air or an overheated zone; it keeps it shut for fresh air in
    a cool zone."""
    closed = ({}, 0.0)
    half = ({"co2": 1 / 100, "temperature": 1.0, "setpoint": -1.0}, -7.0)
    full = ({"co2": 2 / 100, "temperature": 2.5, "setpoint": -2.5}, -7.0 - 12.0)
    value = ({"co2": -1 / 500}, 1.0)
    return linear_policy("ventilate", VENTILATE_OBS, [closed, half, full], 3, value, mask_size=3, mask_logits=True)


def zone():
    """Selector over (heat, ventilate, thermostat). Logits: heat 0; ventilate
    (co2 - 1000) / 100 + 1.5 * (T - setpoint); thermostat 2 * (setpoint - T - 2.5). The
    proportional heater tracks the setpoint, the bang-bang thermostat takes over for a recovery
    from far below it, ventilation is chosen for stale air or an overheated zone."""
    heat_logit = ({}, 0.0)
    vent_logit = ({"co2": 1 / 100, "temperature": 1.5, "setpoint": -1.5}, -10.0)
    thermostat_logit = ({"setpoint": 2.0, "temperature": -2.0}, -5.0)
    value = ({"setpoint": 1.0, "temperature": -1.0, "co2": -1 / 500}, 0.0)
    return linear_policy("zone", ZONE_OBS, [heat_logit, vent_logit, thermostat_logit], 3, value,
                         mask_size=3, mask_logits=True)


MODELS = [("zone", zone), ("heat", heat), ("ventilate", ventilate)]


if __name__ == "__main__":
    write_models(sys.argv, MODELS, OUT_DIR)
