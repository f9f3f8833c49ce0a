#!/usr/bin/env python3
"""Whole runs of kelp.run_simulation on the beam-summation cases: an isovelocity shallow
waveguide (100 m of 1500 m/s water over an acoustic half-space, 100 Hz) with the receivers
as an array (a polar pattern at one depth) or as a Cartesian grid, a fan ten times denser,
and a large case over a sloping bottom (1.44 M array receivers, 43,681 beams), and two small
cases that exercise every term of the summation (mixed_array, mixed_grid) for --compare.
"array@46" is the array case with beams cut at 46 dB of bottom loss (beam.max_bottom_loss_db);
"array+20" keeps an arrivals table of 20 arrivals per receiver (beam.max_arrivals).

Each case runs at 1 and 2 threads (KELP_NUM_THREADS), the thread counts interleaved, and
the median wall time of --repeat runs is printed. With --compare MODULE_DIR a second build
of kelp (a folder holding its extension) runs interleaved with the installed one, in a
child process, and the outputs of both are compared: which are bit-identical, and by how
much the others differ.

    .venv/bin/python bench/bench_summation.py [--cases array,grid] [--repeat 5]
        [--threads 1,2] [--compare /path/to/old/build]
"""

import argparse
import math
import os
import pickle
import statistics
import subprocess
import sys
import time
import warnings


def isovelocity_case(kind, n_elev=101, n_azim=91):
    """The shallow isovelocity waveguide; kind is "array" or "grid"."""
    cfg = {
        "ssp": {"x_ssp_m": [-2500.0, 2500.0], "y_ssp_m": [-2500.0, 2500.0],
                "z_ssp_m": [0.0, 200.0], "c_m_s": [1500.0] * 8},
        "bathymetry": {"x_bty_m": [-2500.0, 2500.0], "y_bty_m": [-2500.0, 2500.0],
                       "z_bty_m": [100.0] * 4,
                       "bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1600.0,
                                        "density_g_cm3": 1.5}},
        "source": {"position": [0.0, 0.0, 50.0], "freq_hz": [100.0],
                   "launch_elev_deg": [-80.0 + 160.0 * i / (n_elev - 1) for i in range(n_elev)],
                   "launch_azim_deg": [360.0 * k / n_azim for k in range(n_azim)]},
        "beam": {"step_m": 10.0, "max_range_m": 1700.0, "max_steps": 100000},
    }
    if kind == "array":
        xs, ys = [], []
        for b in range(101):
            bearing = math.radians(360.0 * b / 101)
            for i in range(101):
                r = 10.0 * i
                xs.append(r * math.sin(bearing))
                ys.append(r * math.cos(bearing))
        cfg["receivers"] = {"config_type": "array", "x_rcvr_m": xs, "y_rcvr_m": ys,
                            "z_rcvr_m": [30.0] * len(xs)}
    else:
        axis = [-1000.0 + 20.0 * i for i in range(101)]
        cfg["receivers"] = {"config_type": "grid", "x_rcvr_m": axis, "y_rcvr_m": list(axis),
                            "z_rcvr_m": [30.0]}
    return cfg


def large_case():
    """43,681 beams over 1.44 M array receivers to 30 km, 25 Hz, bottom 200 m -> 40 m."""
    cfg = isovelocity_case("grid", n_elev=121, n_azim=361)
    half = 31000.0
    cfg["ssp"] = {"x_ssp_m": [-half, half], "y_ssp_m": [-half, half], "z_ssp_m": [0.0, 250.0],
                  "c_m_s": [1500.0] * 8}
    # The bottom rises along +x from 200 m at the far side to 40 m on the near side.
    cfg["bathymetry"]["x_bty_m"] = [-half, half]
    cfg["bathymetry"]["y_bty_m"] = [-half, half]
    cfg["bathymetry"]["z_bty_m"] = [200.0, 200.0, 40.0, 40.0]
    cfg["source"]["position"] = [0.0, 0.0, 100.0]
    cfg["source"]["freq_hz"] = [25.0]
    xs, ys = [], []
    for b in range(1200):
        bearing = math.radians(360.0 * b / 1200)
        sb, cb = math.sin(bearing), math.cos(bearing)
        for i in range(1, 1201):
            r = 25.0 * i
            xs.append(r * sb)
            ys.append(r * cb)
    cfg["receivers"] = {"config_type": "array", "x_rcvr_m": xs, "y_rcvr_m": ys,
                        "z_rcvr_m": [30.0] * len(xs)}
    # A little beyond the farthest receivers (30 km), which rounding puts either side of it.
    cfg["beam"] = {"step_m": 50.0, "max_range_m": 30050.0, "max_steps": 100000}
    return cfg


def mixed_case(kind):
    """A small case that exercises every term of the summation, for comparing builds: a
    sound-speed gradient, a sloping lossy bottom (fluid for the grid, elastic for the array),
    surface and bottom reflections, caustics, three frequencies, midpoint steps and stored
    paths."""
    cfg = isovelocity_case(kind, n_elev=41, n_azim=24)
    cfg["ssp"] = {"x_ssp_m": [-2500.0, 2500.0], "y_ssp_m": [-2500.0, 2500.0],
                  "z_ssp_m": [0.0, 100.0, 250.0], "c_m_s": [1500.0, 1490.0, 1510.0] * 4}
    cfg["bathymetry"]["z_bty_m"] = [90.0, 140.0, 110.0, 200.0]
    if kind == "array":
        cfg["bathymetry"]["bottom_model"] = {
            "model": "elastic", "compressional_speed_m_s": 1700.0, "shear_speed_m_s": 400.0,
            "density_g_cm3": 1.9, "compressional_attenuation_db_per_wavelength": 0.3,
            "shear_attenuation_db_per_wavelength": 0.5}
    else:
        cfg["bathymetry"]["bottom_model"]["compressional_attenuation_db_per_wavelength"] = 0.5
        cfg["receivers"]["z_rcvr_m"] = [5.0, 30.0, 70.0]
    cfg["source"]["freq_hz"] = [50.0, 210.0, 1000.0]
    # Every receiver (corners at 1414 m) lies within the rays' reach.
    cfg["beam"].update(integration_method="rk2", store_ray_paths=True, max_range_m=1450.0)
    return cfg


def build_case(name):
    """A case by name; "NAME@L" is that case with beams cut at L dB of bottom loss, "NAME+N"
    with an arrivals table of N arrivals per receiver."""
    if "+" in name:
        base, count = name.split("+")
        cfg = build_case(base)
        cfg["beam"]["max_arrivals"] = int(count)
        return cfg
    if "@" in name:
        base, loss = name.split("@")
        cfg = build_case(base)
        cfg["beam"]["max_bottom_loss_db"] = float(loss)
        return cfg
    if name in ("mixed_array", "mixed_grid"):
        return mixed_case(name.split("_")[1])
    if name in ("array", "grid"):
        return isovelocity_case(name)
    if name == "fan10":
        return isovelocity_case("grid", n_elev=321, n_azim=287)
    if name == "large":
        return large_case()
    raise SystemExit(f"unknown case {name!r}")


def run_once(module_dir, case, threads):
    """Runs one case in a child process (so each build and thread count starts clean) and
    returns (wall seconds of run_simulation, output dict, peak RSS in MiB)."""
    code = "import sys, time, pickle, resource, warnings\nwarnings.simplefilter('ignore')\n"
    if module_dir:
        code += f"sys.path.insert(0, {module_dir!r})\n"
    code += (
        f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
        "import kelp, bench_summation as b\n"
        f"cfg = b.build_case({case!r})\n"
        "t = time.perf_counter(); out = kelp.run_simulation(cfg); t = time.perf_counter() - t\n"
        "rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0\n"
        "field = dict(out['pressure_field'], ray_paths=out.get('ray_paths'))\n"
        "pickle.dump((t, field, rss), sys.stdout.buffer)\n")
    env = dict(os.environ, KELP_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          check=True)
    return pickle.loads(done.stdout)


def compare_fields(a, b):
    """Which outputs of two runs are bit-identical, and for the others the largest
    difference relative to the largest magnitude of that output."""
    import numpy as np
    same, differ = [], []
    for key in ("ray_paths", "x_m", "y_m", "z_m", "receiver_positions_m", "shape",
                "frequency_hz"):
        if a.get(key) is None and b.get(key) is None:
            continue
        if pickle.dumps(a.get(key)) == pickle.dumps(b.get(key)):
            same.append(key)
        else:
            differ.append(f"{key} differ")
    for key in ("delay_s", "amplitude", "pressure_re", "pressure_im"):
        if pickle.dumps(a[key]) == pickle.dumps(b[key]):
            same.append(key)
            continue
        xa = np.asarray(a[key], dtype=np.float64).ravel()
        xb = np.asarray(b[key], dtype=np.float64).ravel()
        finite = np.isfinite(xa) & np.isfinite(xb)
        scale = np.max(np.abs(xa[finite])) if finite.any() else 0.0
        worst = np.max(np.abs(xa[finite] - xb[finite])) if finite.any() else 0.0
        mismatch = int(np.sum(np.isfinite(xa) != np.isfinite(xb)))
        differ.append(f"{key} differs by at most {worst / scale if scale else worst:.2g} of its "
                      f"largest value" + (f", {mismatch} finite/non-finite" if mismatch else ""))
    return "; ".join(([f"bit-identical: {', '.join(same)}"] if same else []) + differ)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", default="array,grid,fan10")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--compare", default=None, help="folder of another kelp build")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    threads = [int(t) for t in args.threads.split(",")]
    builds = [("installed", None)] + ([("compare", args.compare)] if args.compare else [])

    print(f"{'case':8s}{'build':>11s}{'threads':>8s}{'median s':>10s}{'min s':>9s}"
          f"{'peak MiB':>10s}")
    for case in args.cases.split(","):
        times = {(b, t): [] for b, _ in builds for t in threads}
        outputs, peaks = {}, {}
        for _ in range(args.repeat):
            for t in threads:
                for label, folder in builds:
                    secs, field, rss = run_once(folder, case, t)
                    times[(label, t)].append(secs)
                    peaks[(label, t)] = max(peaks.get((label, t), 0.0), rss)
                    outputs.setdefault((label, t), field)
        for (label, t), ts in times.items():
            print(f"{case:8s}{label:>11s}{t:8d}{statistics.median(ts):10.3f}{min(ts):9.3f}"
                  f"{peaks[(label, t)]:10.0f}")
        if args.compare:
            for t in threads:
                a, b = outputs[("installed", t)], outputs[("compare", t)]
                print(f"{case:8s} threads {t}: {compare_fields(a, b)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
