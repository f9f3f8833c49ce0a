"""Scaling of kelpkit.run_distributed on this machine: one process against Dask workers.

Runs one large fan (a 3-D field with surface and bottom reflections) as
  - kelp.run_simulation in this process on 1 and on all threads (KELP_NUM_THREADS),
  - run_distributed on a LocalCluster of 1 and of 2 worker processes (1 thread each),
interleaving the four in every round (the machine is shared) and reporting medians, the
speed-up of 2 workers over 1, and the overhead of each cluster run against one process on the
same number of cores. Checks on the way that every run returns the same arrivals.

    PYTHONPATH=python .venv/bin/python bench/bench_distributed.py [--rounds 3] [--azimuths 360]
"""

import argparse
import os
import resource
import statistics
import time

import kelp
import numpy as np
from distributed import Client, LocalCluster

from kelpkit.distributed import run_distributed


def axis(start, stop, count):
    step = (stop - start) / (count - 1)
    return [float(start + i * step) for i in range(count)]


def large_config(n_azimuths, n_elevations):
    """Water 300-420 m deep over a fluid bottom sloping up to +x, sound speed rising with depth;
    1 deg azimuth steps from 0 (so every azimuth boundary can be a cut); 5 km range."""
    xs, ys, zs = axis(-6000, 6000, 25), axis(-6000, 6000, 25), axis(0, 500, 11)
    xb, yb = axis(-6000, 6000, 13), axis(-6000, 6000, 13)
    half = (n_elevations - 1) / 2
    return {
        "ssp": {"x_ssp_m": xs, "y_ssp_m": ys, "z_ssp_m": zs,
                "c_m_s": [1500.0 + 0.04 * z for _ in xs for _ in ys for z in zs]},
        "bathymetry": {"x_bty_m": xb, "y_bty_m": yb,
                       "z_bty_m": [360.0 + 0.01 * x for x in xb for _ in yb],
                       "bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1650.0,
                                        "density_g_cm3": 1.7,
                                        "compressional_attenuation_db_per_wavelength": 0.3}},
        "source": {"position": [0.0, 0.0, 80.0], "freq_hz": [100.0, 400.0],
                   "launch_elev_deg": [40.0 * (i - half) / half for i in range(n_elevations)],
                   "launch_azim_deg": [float(a) for a in range(n_azimuths)]},
        "receivers": {"config_type": "grid", "x_rcvr_m": axis(-5000, 5000, 61),
                      "y_rcvr_m": axis(-5000, 5000, 61), "z_rcvr_m": axis(20, 300, 4)},
        "beam": {"step_m": 20.0, "max_steps": 2000, "max_range_m": 5000.0,
                 "integration_method": "rk2"},
    }


def timed_local(cfg, threads):
    """Wall and CPU seconds of one in-process run."""
    saved = os.environ.get("KELP_NUM_THREADS")
    os.environ["KELP_NUM_THREADS"] = str(threads)
    try:
        t, c = time.perf_counter(), time.process_time()
        out = kelp.run_simulation(cfg)
        return time.perf_counter() - t, time.process_time() - c, out
    finally:
        if saved is None:
            del os.environ["KELP_NUM_THREADS"]
        else:
            os.environ["KELP_NUM_THREADS"] = saved


def _worker_cpu():
    # The worker's own CPU time (the kelp parts run in the worker's process) and that of its
    # finished children (none now; kept so that older runs compare).
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime, kids.ru_utime + kids.ru_stime


CPU_SPLIT = {}


def timed_cluster(cfg, client):
    """Wall seconds, and CPU seconds of client, workers and kelp parts together (CPU time is
    what sharing the machine disturbs least). The client process also hosts the schedulers
    and nannies of both local clusters."""
    before = np.array(list(client.run(_worker_cpu).values())).sum(axis=0)
    t, c = time.perf_counter(), time.process_time()
    out = run_distributed(cfg, client)
    wall, client_cpu = time.perf_counter() - t, time.process_time() - c
    workers, parts = np.array(list(client.run(_worker_cpu).values())).sum(axis=0) - before
    CPU_SPLIT.setdefault(len(client.nthreads()), []).append((parts, workers, client_cpu))
    return wall, client_cpu + workers + parts, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--azimuths", type=int, default=360)
    parser.add_argument("--elevations", type=int, default=81)
    args = parser.parse_args()
    cfg = large_config(args.azimuths, args.elevations)
    cores = os.cpu_count() or 1
    print(f"fan {args.azimuths} azimuths x {args.elevations} elevations = "
          f"{args.azimuths * args.elevations} beams, {61 * 61 * 4} receivers, 2 frequencies, "
          f"{cores} cores")

    common = dict(threads_per_worker=1, processes=True, dashboard_address=None)
    with LocalCluster(n_workers=1, **common) as one, Client(one) as c1, \
            LocalCluster(n_workers=2, **common) as two, Client(two) as c2:
        runs = {
            "kelp, 1 thread": lambda: timed_local(cfg, 1),
            f"kelp, {cores} threads": lambda: timed_local(cfg, cores),
            "run_distributed, 1 worker": lambda: timed_cluster(cfg, c1),
            "run_distributed, 2 workers": lambda: timed_cluster(cfg, c2),
        }
        names = list(runs)
        times = {name: [] for name in names}
        cpu = {name: [] for name in names}
        arrivals = {}
        for r in range(args.rounds):
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                seconds, cpu_seconds, out = runs[name]()
                times[name].append(seconds)
                cpu[name].append(cpu_seconds)
                pf = out["pressure_field"]
                arrivals.setdefault(name, []).append((pf["delay_s"], pf["amplitude"]))
                del out, pf
                print(f"  round {r + 1}: {name:28s} {seconds:7.2f} s  cpu {cpu_seconds:7.2f} s",
                      flush=True)

    # Earliest arrivals: which runs agree bit for bit.
    groups = []
    for name in names:
        for a in arrivals[name]:
            for group in groups:
                if group[0] == a:
                    group[1].add(name)
                    break
            else:
                groups.append((a, {name}))
    print("\nearliest arrivals: " + "; ".join(
        f"{sorted(g[1])} agree" for g in groups) + f" ({len(groups)} distinct results)")
    if len(groups) > 1:
        d0, d1 = groups[0][0], groups[1][0]
        diff = sum(x != y for x, y in zip(d0[1], d1[1]))
        same_delay = sum(x == y for x, y in zip(d0[0], d1[0]))
        print(f"  first two results: {diff} amplitudes differ, delays equal at {same_delay} "
              f"of {len(d0[0])} receivers")
    med = {name: statistics.median(t) for name, t in times.items()}
    print("\nmedians over", args.rounds, "rounds (and fastest):")
    for name in names:
        print(f"  {name:28s} {med[name]:7.2f} s  {min(times[name]):7.2f} s   (runs: "
              + ", ".join(f"{t:.2f}" for t in times[name]) + ")")
    d1, d2 = med["run_distributed, 1 worker"], med["run_distributed, 2 workers"]
    print(f"speed-up 2 workers over 1:               {d1 / d2:.2f}")
    print(f"1 worker against kelp on 1 thread:       {d1 / med['kelp, 1 thread']:.3f} "
          f"(+{d1 - med['kelp, 1 thread']:.2f} s)")
    print(f"2 workers against kelp on {cores} threads:      "
          f"{d2 / med[f'kelp, {cores} threads']:.3f} (+{d2 - med[f'kelp, {cores} threads']:.2f} s)")
    cpu_med = {name: statistics.median(t) for name, t in cpu.items()}
    print("CPU seconds per run (medians): " + ", ".join(f"{n} {cpu_med[n]:.2f}" for n in names))
    base = cpu_med["kelp, 1 thread"]
    for n in names[2:]:
        print(f"  {n}: {100 * (cpu_med[n] / base - 1):+.1f} % CPU against kelp on 1 thread")
    for n_workers, split in sorted(CPU_SPLIT.items()):
        parts, workers, client_cpu = np.median(np.array(split), axis=0)
        print(f"  {n_workers} worker(s), CPU medians: kelp parts {parts:.2f} s, Dask workers "
              f"{workers:.2f} s, client process (with schedulers) {client_cpu:.2f} s")
    fast = {name: min(t) for name, t in times.items()}
    f1, f2 = fast["run_distributed, 1 worker"], fast["run_distributed, 2 workers"]
    print(f"fastest runs: speed-up {f1 / f2:.2f}, "
          f"1 worker / kelp 1 thread {f1 / fast['kelp, 1 thread']:.3f}, "
          f"2 workers / kelp {cores} threads "
          f"{f2 / fast[f'kelp, {cores} threads']:.3f}")


if __name__ == "__main__":
    main()
