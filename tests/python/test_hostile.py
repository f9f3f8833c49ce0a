"""Hostile-input sweep: every mutated configuration must end in a result dict, a RuntimeError or
a kelp.PanicException, in a child process that neither crashes nor hangs.

Each case runs in its own forked child (the parent never starts the thread pool, so forking is
safe); the child reports its outcome through a pipe and a crash shows up as a signal.
"""

import collections
import math
import os
import select
import signal
import sys
import time
import warnings

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostile_cases  # noqa: E402

kelp = pytest.importorskip("kelp")

CASE_TIMEOUT_S = 120.0
ALLOWED = {"result", "RuntimeError", "PanicException"}


def _child(index):
    name, build = hostile_cases.build_cases()[index]
    cfg, setup = build()
    if setup is not None:
        setup()
    warnings.simplefilter("ignore")
    try:
        out = kelp.run_simulation(cfg)
        outcome = "result" if isinstance(out, dict) and "pressure_field" in out else "bad-result"
    except kelp.PanicException:
        outcome = "PanicException"
    except RuntimeError:
        outcome = "RuntimeError"
    except BaseException as exc:  # noqa: BLE001 - any other type is a finding
        outcome = "other:" + type(exc).__qualname__
    return outcome


def _run_case(index):
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
            os.dup2(devnull, 2)
            outcome = _child(index)
        except BaseException as exc:  # noqa: BLE001
            outcome = "harness:" + type(exc).__qualname__
        os.write(wfd, outcome.encode())
        os._exit(0)
    os.close(wfd)
    deadline = time.monotonic() + CASE_TIMEOUT_S
    data = b""
    while True:
        ready, _, _ = select.select([rfd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(rfd)
            return "hang"
        chunk = os.read(rfd, 256)
        if not chunk:
            break
        data += chunk
    os.close(rfd)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return "crash:" + signal.Signals(os.WTERMSIG(status)).name
    return data.decode() or "no-outcome"


def test_hostile_sweep():
    cases = hostile_cases.build_cases()
    outcomes = collections.Counter()
    bad = []
    for index, (name, _) in enumerate(cases):
        outcome = _run_case(index)
        outcomes[outcome] += 1
        if outcome not in ALLOWED:
            bad.append(f"{name}: {outcome}")
    table = "\n".join(f"  {k:16s} {v:5d}" for k, v in sorted(outcomes.items()))
    print(f"\nhostile sweep: {len(cases)} cases\n{table}")
    assert not bad, "cases that did not end in a result or a kelp error:\n" + "\n".join(bad)


def test_oversized_field_fails_fast_naming_the_size():
    cfg = hostile_cases.base_config()
    cfg["receivers"] = {"config_type": "grid", "x_rcvr_m": [float(i) for i in range(20000)],
                        "y_rcvr_m": [float(i) for i in range(20000)],
                        "z_rcvr_m": [float(i) for i in range(100)]}
    start = time.monotonic()
    with pytest.raises(kelp.PanicException) as info:
        kelp.run_simulation(cfg)
    message = str(info.value)
    assert message.startswith("not enough memory for this simulation: it needs about ")
    assert " GiB, mostly for the pressure field (receivers x frequencies)" in message
    assert time.monotonic() - start < 30.0


def test_unbounded_max_steps_costs_only_what_the_rays_use():
    # Six beams and one receiver with max_steps meant as "no limit": the rays end at the range
    # circle after about sixty steps.
    cfg = hostile_cases.base_config()
    cfg["receivers"] = {"config_type": "array", "x_rcvr_m": [100.0], "y_rcvr_m": [300.0],
                        "z_rcvr_m": [30.0]}
    cfg["beam"]["max_steps"] = 10 ** 9
    out = kelp.run_simulation(cfg)
    assert math.isfinite(out["pressure_field"]["delay_s"][0])
    # Stored paths with the largest max_steps and a 200 m range come back whole.
    cfg["beam"].update(max_steps=2 ** 64 - 1, max_range_m=200.0, store_ray_paths=True)
    paths = kelp.run_simulation(cfg)["ray_paths"]
    assert len(paths) == 6
    for path in paths:
        assert 2 <= len(path) < 100
        assert path[0] == [0.0, 0.0, 30.0]
        assert math.hypot(path[-1][0], path[-1][1]) >= 200.0


def test_paths_outgrowing_the_memory_limit_stop_the_run(monkeypatch):
    # 42 beams of about 600 one-metre steps: some 4 MiB of paths as Python lists, against a
    # limit of 1 MiB set for this process. The rays in flight hold far less.
    cfg = hostile_cases.base_config()
    cfg["source"]["launch_elev_deg"] = [float(e) for e in range(-10, 11)]
    cfg["beam"].update(step_m=1.0, max_steps=10 ** 9, store_ray_paths=True)
    monkeypatch.setenv("KELP_MEMORY_LIMIT_MIB", "1")
    with pytest.raises(kelp.PanicException) as info:
        kelp.run_simulation(cfg)
    message = str(info.value)
    assert message.startswith("not enough memory for this simulation: "
                              "the stored ray paths reached "), message
    assert " of 42 beams" in message
    assert message.endswith(", but only 1.0 MiB is available beyond the pressure fields; "
                            "reduce the beams, beam.max_steps or beam.max_range_m, or set "
                            "beam.store_ray_paths to false")
    # Nothing is left behind: the same run completes once the limit is lifted.
    monkeypatch.delenv("KELP_MEMORY_LIMIT_MIB")
    assert len(kelp.run_simulation(cfg)["ray_paths"]) == 42
