#!/usr/bin/env python3
"""End-to-end benchmark of kelp.run_simulation on the case of seamount_case.py (Munk profile,
seamount), for a small, a medium and a large case.

The boundary costs are separated by running the same configuration with parts removed:

  dumps     json.dumps(config), timed in Python
  parse     a run with no beams and no receivers, less dumps: parse, validate, environment
  output    a run with no beams, less the one above: building the empty field and converting
            it to Python lists (the conversion is the same whatever the beams did)
  trace     the full run, less the run with no beams: tracing and influence

Rates: beams per second and beam-receiver pairs per second (beams x receivers / trace
seconds, the work a brute-force summation would do), plus ray steps per second from one run
with stored paths.

    .venv/bin/python bench/bench_python.py [--repeat 3] [--cases small,medium]
"""

import argparse
import copy
import json
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import seamount_case as demo  # noqa: E402
import kelp  # noqa: E402


def case_configs():
    ssp, bty = demo.environment()

    def build(elev_step, azim_step, rcvr_step, freqs, range_m):
        # A square grid inside the range circle, at 700 m, above the seamount's top (800 m):
        # no receiver in the seabed or beyond the rays' reach.
        h = rcvr_step * np.floor(range_m / np.sqrt(2.0) / rcvr_step)
        cfg = demo.make_config(
            ssp, bty, elev=demo.angles(-20.0, 20.0, elev_step),
            azim=demo.angles(0.0, 360.0 - azim_step, azim_step),
            receivers={"x_rcvr_m": demo.angles(-h, h, rcvr_step),
                       "y_rcvr_m": demo.angles(-h, h, rcvr_step), "z_rcvr_m": [700.0]})
        cfg["source"]["freq_hz"] = freqs
        cfg["beam"]["max_range_m"] = range_m
        cfg["beam"]["show_progress"] = False
        return cfg

    return {
        "small": build(2.0, 10.0, 500.0, [50.0], 10000.0),
        "medium": build(1.0, 3.0, 250.0, [50.0, 200.0], 25000.0),
        "large": build(1.0, 2.0, 100.0, [50.0, 200.0], 25000.0),
    }


def best_of(repeat, fn):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def measure(name, cfg, repeat):
    src, rc = cfg["source"], cfg["receivers"]
    n_beams = len(src["launch_elev_deg"]) * len(src["launch_azim_deg"])
    n_rcvr = len(rc["x_rcvr_m"]) * len(rc["y_rcvr_m"]) * len(rc["z_rcvr_m"])

    no_beams = copy.deepcopy(cfg)
    no_beams["source"]["launch_elev_deg"] = []
    bare = copy.deepcopy(no_beams)
    bare["receivers"]["x_rcvr_m"] = []

    t_dumps, _ = best_of(repeat, lambda: json.dumps(cfg))
    t_bare, _ = best_of(repeat, lambda: kelp.run_simulation(bare))
    t_empty, _ = best_of(repeat, lambda: kelp.run_simulation(no_beams))
    t_full, _ = best_of(repeat, lambda: kelp.run_simulation(cfg))

    with_paths = copy.deepcopy(cfg)
    with_paths["beam"]["store_ray_paths"] = True
    paths = kelp.run_simulation(with_paths)["ray_paths"]
    n_steps = sum(len(p) - 1 for p in paths)
    del paths

    t_parse = max(t_bare - t_dumps, 0.0)
    t_output = max(t_empty - t_bare, 0.0)
    t_trace = max(t_full - t_empty, 1e-9)
    boundary = t_dumps + t_parse + t_output
    return {
        "case": name, "beams": n_beams, "receivers": n_rcvr,
        "freqs": len(src["freq_hz"]), "total_s": t_full, "dumps_s": t_dumps,
        "parse_s": t_parse, "output_s": t_output, "trace_s": t_trace,
        "boundary_pct": 100.0 * boundary / t_full,
        "beams_per_s": n_beams / t_trace, "pairs_per_s": n_beams * n_rcvr / t_trace,
        "steps_per_s": n_steps / t_trace,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description="end-to-end benchmark of kelp.run_simulation")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing (best is kept)")
    parser.add_argument("--cases", default="small,medium,large")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")

    configs = case_configs()
    rows = [measure(name, configs[name], args.repeat) for name in args.cases.split(",")]
    header = (f"{'case':8s}{'beams':>8s}{'rcvrs':>8s}{'F':>3s}{'total s':>9s}{'dumps s':>9s}"
              f"{'parse s':>9s}{'output s':>9s}{'trace s':>9s}{'bndry %':>8s}"
              f"{'beams/s':>9s}{'pairs/s':>10s}{'steps/s':>10s}")
    print(f"threads: KELP_NUM_THREADS={os.environ.get('KELP_NUM_THREADS', 'default')}, "
          f"cpus={os.cpu_count()}")
    print(header)
    for r in rows:
        print(f"{r['case']:8s}{r['beams']:8d}{r['receivers']:8d}{r['freqs']:3d}"
              f"{r['total_s']:9.3f}{r['dumps_s']:9.4f}{r['parse_s']:9.4f}{r['output_s']:9.4f}"
              f"{r['trace_s']:9.3f}{r['boundary_pct']:8.2f}{r['beams_per_s']:9.0f}"
              f"{r['pairs_per_s']:10.2e}{r['steps_per_s']:10.2e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
