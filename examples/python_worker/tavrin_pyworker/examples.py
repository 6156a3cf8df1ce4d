"""Example classes, registered by the entry script."""

import time

from .values import NdArray


class ScaleTeacher:
    """Doubles every action (numbers and arrays, keeping the array's type and shape)."""

    def transform_action(self, sensors, action):
        if isinstance(action, NdArray):
            return action.map(lambda x: x * 2)
        if isinstance(action, (int, float)) and not isinstance(action, bool):
            return action * 2
        return action


class FailingTeacher:
    def transform_action(self, sensors, action):
        raise ValueError("no action is good enough")


class SlowTeacher:
    """Takes as many milliseconds as the action says, then hands it back: a hook that outlasts heartbeats."""

    def transform_action(self, sensors, action):
        time.sleep(action / 1000.0)
        return action


class ConstantController:
    def compute_action(self, sensors, previous_action):
        return 1


class TickPerceptor:
    """Adds the number of observations it saw as the sensor "tick"."""

    def __init__(self):
        self.ticks = 0

    def perceive(self, sensors):
        self.ticks += 1
        return {"tick": self.ticks}

    def reset(self):
        self.ticks = 0
