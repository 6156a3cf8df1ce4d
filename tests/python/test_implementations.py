"""Teachers, controllers and perceptors written in Python: their hooks are called in the runtime's
order with the runtime's values, what they return takes effect, and what they raise reaches the
caller as it was raised."""

import traceback

import numpy as np
import pytest

import tavrin
from conftest import packaged, skill_orchestration, unique_name, write_orchestration


class RecordingTeacher(tavrin.AgentTeacher):
    """Keeps the skill's sensor, forbids action 2 and adds 10 to the chosen action."""

    calls = []

    def filtered_sensor_space(self):
        self.calls.append(("filtered_sensor_space",))
        return ["x"]

    def transform_sensors(self, sensors, extra):
        self.calls.append(("transform_sensors", sensors["x"].tolist(), extra))
        return {"x": sensors["x"] * 2}

    def compute_action_mask(self, sensors, previous_action):
        self.calls.append(("compute_action_mask", sensors["x"].tolist(), previous_action))
        return [True, True, False, True]

    def transform_action(self, sensors, action):
        self.calls.append(("transform_action", sensors["x"].tolist(), action))
        return action + 10


def test_a_python_teachers_hooks_run_in_the_runtimes_order_and_take_effect(tmp_path):
    name = unique_name("RecordingTeacher")
    tavrin.register_agent_impl(name, RecordingTeacher, "1.2")
    host = packaged(skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4, teacher=name))
    assert RecordingTeacher.calls == [("filtered_sensor_space",)]
    del RecordingTeacher.calls[:]

    # Reversed, the doubled observation [2, 10, 4, 6] picks index 2, which the mask forbids: 0 wins.
    assert host.execute({"x": [1, 5, 2, 3]}, previous_action=1) == 10
    assert RecordingTeacher.calls == [
        ("transform_sensors", [1, 5, 2, 3], None),
        ("compute_action_mask", [2, 10, 4, 6], 1),
        ("transform_action", [2, 10, 4, 6], 0),
    ]
    assert host.agent_processor.agent.impl_cls == name


def test_controllers_and_perceptors_in_python(tmp_path):
    class Valve(tavrin.Controller):
        def compute_action(self, sensors, previous_action):
            return np.float32(sensors["x"].sum() + sensors["trend"])

    class Trend(tavrin.Perceptor):
        def perceive(self, sensors):
            return {"trend": float(sensors["x"][0])}

    class SeesTheTrend(tavrin.AgentTeacher):
        seen = []

        def transform_sensors(self, sensors, extra):
            self.seen.append(sorted(sensors))
            return sensors

    valve, trend, teacher = unique_name("Valve"), unique_name("Trend"), unique_name("SeesTheTrend")
    tavrin.register_agent_impl(valve, Valve)
    tavrin.register_perceptor_impl(trend, Trend)
    tavrin.register_agent_impl(teacher, SeesTheTrend)
    path = write_orchestration(tmp_path, {
        "id": "valve",
        "sensors": [{"name": "x", "space": {"type": "Box", "low": -100, "high": 100, "shape": [4]}}],
        "perceptors": [{"name": "trend", "class": trend}],
        "agents": [
            {"name": "valve", "kind": "Agent", "controller": True, "class": valve,
             "action_space": {"type": "Box", "low": 0, "high": 100, "shape": [1]}},
            {"name": "skill_discrete", "kind": "Agent", "class": teacher,
             "action_space": {"type": "Discrete", "n": 4}}]})
    host = packaged(path)
    assert host.execute({"x": [1.0, 2.0, 3.0, 4.0]}) == pytest.approx(11.0)
    # A teacher sees the perceptor's sensor next to the simulator's.
    assert packaged(path, agent="skill_discrete").execute({"x": [1.0, 2.0, 3.0, 4.0]}) == 0
    assert ["trend", "x"] in SeesTheTrend.seen


def test_a_raising_hook_reaches_the_caller_as_that_exception(tmp_path):
    raised = LookupError("no such valve")

    class Raises(tavrin.AgentTeacher):
        def compute_action_mask(self, sensors, previous_action):
            raise raised

    name = unique_name("Raises")
    tavrin.register_agent_impl(name, Raises)
    host = packaged(skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4, teacher=name))
    with pytest.raises(LookupError) as caught:
        host.execute({"x": [1, 5, 2, 3]})
    assert caught.value is raised
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert "compute_action_mask" in frames
    assert host.execute  # the host goes on: the next step raises again, and nothing is left half-done
    with pytest.raises(LookupError):
        host.execute({"x": [1, 5, 2, 3]})


def test_what_a_hook_returns_is_checked_like_any_value_and_classes_are_checked_at_registration(tmp_path):
    class BadMask(tavrin.AgentTeacher):
        def compute_action_mask(self, sensors, previous_action):
            return {1, 0}

    name = unique_name("BadMask")
    tavrin.register_agent_impl(name, BadMask)
    host = packaged(skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4, teacher=name))
    with pytest.raises(tavrin.TypeError, match=rf"^{name}\.compute_action_mask\(\): expected None, .* got set$"):
        host.execute({"x": [1, 5, 2, 3]})

    class NotATeacher:
        pass

    with pytest.raises(tavrin.TypeError, match="cls must be a subclass of tavrin.AgentTeacher or tavrin.Controller"):
        tavrin.register_agent_impl("X", NotATeacher)
    with pytest.raises(tavrin.TypeError, match="cls must be a subclass of tavrin.Perceptor"):
        tavrin.register_perceptor_impl("X", RecordingTeacher)
    with pytest.raises(tavrin.InvalidArgumentError, match="the class name is empty"):
        tavrin.register_agent_impl("", RecordingTeacher)

    class NoAction(tavrin.Controller):
        pass

    controller = unique_name("NoAction")
    tavrin.register_agent_impl(controller, NoAction)
    path = skill_orchestration(tmp_path, "valve", {"type": "Discrete", "n": 2}, 4, teacher=controller,
                               controller=True)
    with pytest.raises(NotImplementedError, match=r"NoAction.compute_action\(\) is not implemented"):
        packaged(path).execute({"x": [0, 0, 0, 0]})
