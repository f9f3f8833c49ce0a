"""Fan convergence of kelp on the ideal wedge against its exact image solution.

    python bench/wedge_convergence.py [--n 64] [--freq 25] [--range 10000] [--fans 161x180,...]

Prints, per fan (elevations x azimuths), the run time and dTL statistics (mean dTL, median and
90th percentile of |dTL|) on a cross-slope line (along y at the source's x) and a down-slope
line (along +x), both at two receiver depths (grid receivers, one run per line). Run it with the installed kelp or with
PYTHONPATH pointing at a build of the module.
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from wedge_reference import dtl_stats, grid_line, image_pressure, wedge_config  # noqa: E402

import kelp  # noqa: E402


def lines(n, xs, max_range, depths, dr):
    """Cross-slope (along y at the source's x) and down-slope (along +x) receiver grids."""
    ranges = np.arange(dr, max_range + 1.0, dr)
    return {"cross": grid_line([xs], ranges, depths), "down": grid_line(xs + ranges, [0.0], depths)}


def run(n, src, rec, freq, elev_step, n_azim, max_range, step, elev_max):
    elev = list(np.linspace(-elev_max, elev_max, int(round(2 * elev_max / elev_step)) + 1))
    azim = list(np.arange(n_azim) * 360.0 / n_azim - 180.0)
    cfg = wedge_config(n, src, rec, elev, azim, freq, max_range, step)
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pf = kelp.run_simulation(cfg)["pressure_field"]
    dt = time.perf_counter() - t0
    p = np.array(pf["pressure_re"]) + 1j * np.array(pf["pressure_im"])
    return p, dt, len(elev)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=64)
    ap.add_argument("--freq", type=float, default=25.0)
    ap.add_argument("--range", type=float, default=10000.0)
    ap.add_argument("--xs", type=float, default=4000.0)
    ap.add_argument("--step", type=float, default=50.0)
    ap.add_argument("--elev-max", type=float, default=80.0)
    ap.add_argument("--dr", type=float, default=100.0)
    ap.add_argument("--fans", default="0.5x180,0.25x360,0.125x720",
                    help="elevation spacing (deg) x number of azimuths, comma separated")
    a = ap.parse_args()
    beta = np.pi / a.n
    depth = a.xs * np.tan(beta)
    src = (a.xs, 0.0, depth / 2.0)
    ls = lines(a.n, a.xs, a.range, [depth * 0.15, depth * 0.75], a.dr)
    print(f"wedge n={a.n} (apex {np.degrees(beta):.4f} deg), source {src}, {a.freq} Hz, "
          f"range {a.range} m, step {a.step} m, elevations +-{a.elev_max} deg")
    for fan in a.fans.split(","):
        de, na = fan.split("x")
        out = []
        total = 0.0
        for k, (rec, pts) in ls.items():
            p, dt, ne = run(a.n, src, rec, a.freq, float(de), int(na), a.range * 1.05, a.step,
                            a.elev_max)
            total += dt
            s = dtl_stats(p, image_pressure(a.n, src, pts, a.freq))
            out.append(f"{k}: mean {s['mean']:+.2f} med {s['median_abs']:.2f} "
                       f"p90 {s['p90_abs']:.2f}")
        print(f"fan {ne:5d} x {int(na):4d}  {total:7.1f} s  " + "  ".join(out), flush=True)


if __name__ == "__main__":
    main()
