"""Base classes of teachers, controllers and perceptors written in Python.

Subclass one, override the hooks you need as plain methods (the names and arguments of the C++
hooks), register the class under the name the orchestration uses, and the runtime calls it:

    class ZoneTeacher(tavrin.AgentTeacher):
        def filtered_sensor_space(self):
            return ["temperature", "setpoint"]

        def compute_action_mask(self, sensors, previous_action):
            return [1, 0, 1]

    tavrin.register_agent_impl("ZoneTeacher", ZoneTeacher)

Hooks see the sensors as a dict of name to numpy array (the converted, transformed sample) and
return plain Python values: numbers, bools, lists, tuples, dicts or numpy arrays. Hooks that a
class does not override keep the defaults below and cost no call into Python. A hook that raises
reaches the caller of PolicyHost.execute (or package) as that same exception.
"""


class AgentTeacher:
    """Shapes what one agent sees and does. The defaults change nothing."""

    def filtered_sensor_space(self):
        """Names of the sensors the agent's model sees, in order; None: every sensor."""
        return None

    def transform_sensors(self, sensors, extra):
        """The sensor sample the other hooks and the model see (`extra` is always None)."""
        return sensors

    def compute_action_mask(self, sensors, previous_action):
        """A mask over the agent's flattened action space (1 allowed, 0 forbidden); None: all allowed."""
        return None

    def transform_action(self, sensors, action):
        """The action handed back, after the model chose it."""
        return action

    def compute_reward(self, sensors, action, sim_reward):
        """The teacher's reward for a step; by default the simulator's (0.0 for None)."""
        if sim_reward is None:
            return 0.0
        return float(sim_reward)

    def compute_success_criteria(self, sensors, action):
        return False

    def compute_termination(self, sensors, action):
        return False

    def reset(self):
        """Called when an episode ends."""


class Controller:
    """Computes an agent's action in place of a model (a programmed skill or selector)."""

    def filtered_sensor_space(self):
        return None

    def compute_action(self, sensors, previous_action):
        raise NotImplementedError(type(self).__name__ + ".compute_action() is not implemented")

    def reset(self):
        pass


class Perceptor:
    """Derives extra sensors from the simulator's."""

    def perceive(self, sensors):
        """The sensors this perceptor adds, as a dict of name to value."""
        raise NotImplementedError(type(self).__name__ + ".perceive() is not implemented")

    def reset(self):
        pass
