"""Threads: execute lets the GIL go while no Python hook runs, hosts in two threads step at the same
time, and one host shared by two threads runs one step at a time. The steps run a model made here
that takes tens of milliseconds, long enough to see who runs meanwhile on a busy machine.

Python's forced thread switches (every 5 ms) are put off here: with them, a host that held the GIL
for a whole step would still be interrupted in its Python hooks and seem to let others run. Every
thread below lets the GIL go by itself often enough."""

import sys
import threading
import time

import pytest

import tavrin
from conftest import packaged, skill_orchestration, slow_model, unique_name

SLOW_OBS = {"x": [1.0, 2.0, 3.0, 4.0]}


@pytest.fixture(autouse=True)
def no_forced_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture
def marked_slow_host(tmp_path):
    """Makes hosts on a slow model whose teacher records when each model run starts and ends (the
    hooks just before and just after it) as (thread, start, end) in the list returned with it."""
    runs = []

    class Marks(tavrin.AgentTeacher):
        def transform_sensors(self, sensors, extra):
            self.start = time.perf_counter()
            return sensors

        def transform_action(self, sensors, action):
            runs.append((threading.get_ident(), self.start, time.perf_counter()))
            return action

    name = unique_name("Marks")
    tavrin.register_agent_impl(name, Marks)
    models = slow_model(tmp_path, "slow")

    def make(folder):
        path = tmp_path / folder
        path.mkdir()
        return packaged(skill_orchestration(path, "slow", {"type": "Discrete", "n": 1}, 4, teacher=name,
                                            checkpoint=models))

    return make, runs


def overlapping(runs_a, runs_b):
    return sum(1 for _, a0, a1 in runs_a for _, b0, b1 in runs_b if a0 < b1 and b0 < a1)


def test_python_threads_run_while_a_step_runs(marked_slow_host):
    make, runs = marked_slow_host
    host = make("a")
    host.execute(SLOW_OBS)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)  # lets the GIL go

    counter = threading.Thread(target=count)
    counter.start()
    try:
        for _ in range(5):
            host.execute(SLOW_OBS)
    finally:
        stop.set()
        counter.join()
    # Holding the GIL while its model runs, the host would leave the counter no tick in there.
    busy = [sum(1 for t in ticks if a < t < b) for _, a, b in runs[1:]]
    assert sum(1 for n in busy if n >= 10) >= 4, busy


def test_hosts_in_two_threads_step_at_the_same_time(marked_slow_host):
    make, runs = marked_slow_host
    hosts = [make("a"), make("b")]
    barrier = threading.Barrier(2)

    def steps(host):
        barrier.wait()
        for _ in range(4):
            assert host.execute(SLOW_OBS) == 0

    threads = [threading.Thread(target=steps, args=(host,)) for host in hosts]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    by_thread = {}
    for run in runs:
        by_thread.setdefault(run[0], []).append(run)
    assert sorted(len(r) for r in by_thread.values()) == [4, 4]
    first, second = by_thread.values()
    # Both threads' models ran at the same time, Python teachers and all.
    assert overlapping(first, second) >= 3


def test_one_host_shared_by_two_threads_runs_one_step_at_a_time(marked_slow_host):
    make, runs = marked_slow_host
    host = make("shared")
    errors = []

    def steps():
        try:
            for _ in range(3):
                assert host.execute(SLOW_OBS) == 0
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=steps) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(runs) == 6 and len({r[0] for r in runs}) == 2
    assert overlapping(runs, runs) == len(runs)  # each step overlaps only itself


def test_a_hook_cannot_call_its_own_host(tmp_path):
    class CallsBack(tavrin.AgentTeacher):
        host = None

        def compute_action_mask(self, sensors, previous_action):
            CallsBack.host.execute({"x": [0, 0, 0, 0]})

    name = unique_name("CallsBack")
    tavrin.register_agent_impl(name, CallsBack)
    CallsBack.host = packaged(skill_orchestration(tmp_path, "skill_discrete", {"type": "Discrete", "n": 4}, 4,
                                                  teacher=name))
    with pytest.raises(tavrin.RuntimeError, match="a hook of this PolicyHost called the host"):
        CallsBack.host.execute({"x": [0, 0, 0, 0]})
