"""kelpkit.run in parts through kelp's private fan-part entry: the merged parts are kelp's own
run, Ctrl-C stops a run at once and leaves no thread, progress reaches a log file, and the
entry refuses ranges outside the fan."""

import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kelp
import kelpkit
from conftest import FIVE_DEGREE, reflecting_config, small_config


@pytest.mark.parametrize("parts", [None, 3, [5, 11 * 50, 11 * 22 - 5]],
                         ids=["one-part", "three", "through-azimuths"])
def test_parts_merge_into_kelps_own_run(parts):
    # 72 azimuths whose float32 spacing is even only for the first pair, 11 elevations, three
    # frequencies, reflections at both boundaries: every part must be sized by the whole fan.
    cfg = reflecting_config(FIVE_DEGREE)
    with pytest.warns(UserWarning):
        whole = kelpkit.from_kelp_output(kelp.run_simulation(cfg), cfg)
        res = kelpkit.run(cfg, parts=parts)
    np.testing.assert_array_equal(res.delay_s, whole.delay_s)
    np.testing.assert_array_equal(res.amplitude, whole.amplitude)
    assert len(res.ray_paths) == len(whole.ray_paths) == 792
    for p, q in zip(res.ray_paths, whole.ray_paths):
        np.testing.assert_array_equal(p, q)
    az, el = kelpkit.beam_angles(cfg)
    np.testing.assert_array_equal(res.ray_launch_deg, np.column_stack([az, el]))
    if parts is None:  # one part: kelp's own blocks and reduction, the same bits
        np.testing.assert_array_equal(res.pressure, whole.pressure)
    else:  # float32 sums grouped per part: rounding of the largest |p|
        np.testing.assert_allclose(res.pressure, whole.pressure, rtol=0,
                                   atol=1e-5 * np.abs(whole.pressure).max())


def test_ctrl_c_stops_a_run_in_parts_at_once_and_leaves_no_thread():
    # About 13,000 beams in 4 parts take seconds; SIGINT arrives 0.4 s in.
    cfg = kelpkit.munk(max_range_m=30e3)
    before = set(threading.enumerate())
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.4, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        kelpkit.run(cfg, parts=4, progress=False)
    stopped = time.perf_counter()
    timer.join()
    assert sent and stopped - sent[0] < 2.0
    assert set(threading.enumerate()) == before


def test_progress_and_estimate_reach_a_log_file(tmp_path):
    script = ("import kelpkit, sys; sys.path.insert(0, sys.argv[1]); "
              "from conftest import reflecting_config, FIVE_DEGREE; "
              "kelpkit.run(reflecting_config(FIVE_DEGREE), parts=2, progress=True, "
              "estimate=True)")
    log = tmp_path / "run.log"
    with open(log, "w") as err:
        subprocess.run([sys.executable, "-W", "ignore", "-c", script,
                        os.path.dirname(__file__)], stderr=err, check=True, timeout=120)
    text = log.read_text()
    assert "\r" not in text
    lines = text.splitlines()
    assert re.fullmatch(r"kelp: 792 beams x 882 receivers x 3 frequencies in 2 parts: about "
                        r"\S+ (s|min|h) on \d+ threads? and \S+ [KMG]iB of memory \(measured "
                        r"on \d+ beams\)", lines[0]), lines[0]
    assert re.match(r"kelp:\s+0%\|", lines[1]), lines[1]
    assert re.match(r"kelp: 100%\|#+\| 792/792 \[", lines[-1]), lines[-1]


@pytest.mark.parametrize("first, last, message", [
    (-1, 3, "invalid beam range: beams -1 to 3 are not a range of the fan's 9 beams: it needs "
            "0 <= first <= last <= 9"),
    (5, 4, "invalid beam range: beams 5 to 4 are not a range of the fan's 9 beams"),
    (0, 10, "invalid beam range: beams 0 to 10 are not a range of the fan's 9 beams"),
])
def test_fan_part_entry_refuses_ranges_outside_the_fan(first, last, message):
    with pytest.raises(RuntimeError) as info:
        kelp._run_fan_part(small_config(), first, last)
    assert str(info.value).startswith(message)
    assert "_run_fan_part" not in kelp.__all__


def test_a_cancelled_token_stops_the_part_before_any_beam():
    token = kelp._CancelToken()
    token.cancel()
    with pytest.raises(KeyboardInterrupt, match="kelp: the fan part was cancelled"):
        kelp._run_fan_part(small_config(), 0, 9, cancel=token)
    assert token.beams_finished == 0
    with pytest.raises(TypeError):
        kelp._run_fan_part(small_config(), 0, 9, cancel="stop")
