#!/usr/bin/env python3
"""Step convergence of kelp on Munk's deep-water channel: the same slice (50 Hz, source at
1000 m, to 100 km, 801 elevations over +-20 deg) at midpoint steps halved from 100 m, and the
median |dTL| between each step and the next finer one (and the finest) over the receivers
louder than 100 dB in both.

    python bench/munk_step_ladder.py [--steps 100,50,25,12.5,6.25] [--range 100000]

Run it with the installed kelp or with PYTHONPATH pointing at a build of the module.
"""

import argparse
import sys
import time
import warnings

import numpy as np

import kelpkit


def tl_at_step(step_m, max_range_m):
    cfg = kelpkit.munk(max_range_m=max_range_m, frequencies_hz=[50.0], elevation_limit_deg=20.0,
                       elevation_spacing_deg=0.05, step_m=step_m)
    cfg["beam"]["show_progress"] = False
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = kelpkit.run(cfg)
    return np.asarray(res.tl_db[0], dtype=float), time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", default="100,50,25,12.5,6.25")
    parser.add_argument("--range", type=float, default=100e3)
    args = parser.parse_args(argv)
    steps = [float(s) for s in args.steps.split(",")]
    fields = []
    for step in steps:
        tl, secs = tl_at_step(step, args.range)
        fields.append(tl)
        print(f"step {step:7.3f} m: {secs:6.1f} s", flush=True)
    for (s0, a), (s1, b) in zip(zip(steps, fields), zip(steps[1:], fields[1:])):
        loud = np.isfinite(a) & np.isfinite(b) & (a < 100.0) & (b < 100.0)
        d = np.abs(a[loud] - b[loud])
        print(f"{s0:g} -> {s1:g} m: median |dTL| {np.median(d):.2f} dB, p90 "
              f"{np.percentile(d, 90):.2f} dB over {loud.sum()} receivers")
    finest = fields[-1]
    for step, tl in zip(steps[:-1], fields[:-1]):
        loud = np.isfinite(tl) & np.isfinite(finest) & (tl < 100.0) & (finest < 100.0)
        print(f"{step:g} m against {steps[-1]:g} m: median |dTL| "
              f"{np.median(np.abs(tl[loud] - finest[loud])):.2f} dB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
