#!/usr/bin/env python3
"""kelp demo: convergence zones of the deep-ocean sound channel, and sound turned sideways by a
sloping sea floor.

Two three-dimensional cases, built, run and drawn with kelpkit:

  * Munk's deep-water channel to 110 km, source at 1000 m, 50 Hz: transmission loss on a
    vertical slice (with the sound-speed profile), where the convergence zones near 50 and
    100 km show, and the rays that form them. The fan is checked for convergence: the slice
    is run again with half the beam spacing (on coarser receivers) and the difference is
    printed.
  * A wedge whose floor rises northwards at 2.86 deg (the classic three-dimensional benchmark
    geometry, 25 Hz): seen from above, rays sent along the slope are turned downslope by every
    bottom reflection, and the horizontal map of transmission loss shows the shadow this casts
    upslope. A model that keeps each ray in its vertical plane cannot show either.

    python examples/demo.py [--output demo_output] [--quick]
"""

import argparse
import os
import sys
import time
import warnings

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import kelpkit  # noqa: E402
from kelpkit import plots  # noqa: E402

MUNK_RANGE_M = 110e3
MUNK_FREQ_HZ = 50.0
WEDGE_FREQ_HZ = 25.0
TL_RANGE_DB = (60.0, 110.0)


def timed(title, cfg):
    """Run a configuration and report its size and time."""
    src, rc = cfg["source"], cfg["receivers"]
    n_beams = len(src["launch_elev_deg"]) * len(src["launch_azim_deg"])
    n_rcvr = (len(rc["x_rcvr_m"]) if rc["config_type"] == "array" else
              len(rc["x_rcvr_m"]) * len(rc["y_rcvr_m"]) * len(rc["z_rcvr_m"]))
    print(f"{title}: {n_beams} beams, {n_rcvr} receivers", flush=True)
    start = time.perf_counter()
    result = kelpkit.run(cfg)
    seconds = time.perf_counter() - start
    print(f"{title}: done in {seconds:.1f} s", flush=True)
    return result, n_beams, n_rcvr, seconds


def munk_config(quick, spacing_scale=1.0, range_spacing_m=None, depth_spacing_m=None):
    """The Munk slice; `spacing_scale` scales both beam spacings for the convergence check."""
    coarsen = 4.0 if quick else 1.0
    return kelpkit.munk(max_range_m=MUNK_RANGE_M, frequencies_hz=[MUNK_FREQ_HZ],
                        range_spacing_m=range_spacing_m or (1000.0 if quick else 200.0),
                        depth_spacing_m=depth_spacing_m or (25.0 if quick else 7.5),
                        elevation_spacing_deg=0.05 * coarsen * spacing_scale,
                        azimuth_spacing_deg=0.1 * coarsen * spacing_scale)


def munk_rays_config(quick):
    cfg = kelpkit.munk(max_range_m=MUNK_RANGE_M, elevation_spacing_deg=0.5 if quick else 0.25,
                       elevation_limit_deg=20.0,
                       receivers=kelpkit.grid_receivers([0.0], [1000.0], [1000.0]))
    cfg["source"]["launch_azim_deg"] = [0.0]
    cfg["beam"]["store_ray_paths"] = True
    return cfg


def wedge_config(quick, store_rays=False):
    cfg = kelpkit.ideal_wedge(max_range_m=25e3, frequencies_hz=[WEDGE_FREQ_HZ],
                              grid_spacing_m=(1000.0, 200.0) if quick else (250.0, 50.0),
                              elevation_spacing_deg=2.0 if quick else 0.5,
                              azimuth_spacing_deg=4.0 if quick else 1.0)
    if store_rays:
        # A few elevations and bearings around east, along the contours, show the turning.
        cfg["source"]["launch_elev_deg"] = kelpkit.launch_fan(5.0, 25.0, spacing_deg=5.0)
        cfg["source"]["launch_azim_deg"] = kelpkit.launch_fan(60.0, 120.0, spacing_deg=10.0)
        cfg["receivers"] = kelpkit.grid_receivers([0.0], [0.0], [100.0])
        cfg["beam"]["store_ray_paths"] = True
    return cfg


def convergence_check(result, finer, range_step, depth_step):
    """TL differences (dB) between a slice and a run with half the beam spacing on every
    `range_step`-th range and `depth_step`-th depth of it, at receivers where both are louder
    than 100 dB: point by point (median, 90th percentile), and of intensity averaged over cells
    of 2 x 4 of the compared receivers (median, 90th percentile)."""
    a = result.tl_db[0, range_step - 1::range_step, 0, ::depth_step]
    b = finer.tl_db[0, :, 0, :]
    assert a.shape == b.shape and np.allclose(
        result.axis("range")[range_step - 1::range_step], finer.axis("range"))
    keep = np.isfinite(a) & np.isfinite(b) & (np.minimum(a, b) < 100.0)
    point = np.abs(a[keep] - b[keep])

    def averaged(tl, nr=2, nz=4):
        i = np.where(np.isfinite(tl), 10.0 ** (-tl / 10.0), 0.0)
        mr, mz = i.shape[0] // nr * nr, i.shape[1] // nz * nz
        box = i[:mr, :mz].reshape(mr // nr, nr, mz // nz, nz).mean(axis=(1, 3))
        with np.errstate(divide="ignore"):
            return -10.0 * np.log10(box)

    sa, sb = averaged(a), averaged(b)
    keep = np.isfinite(sa) & np.isfinite(sb) & (np.minimum(sa, sb) < 100.0)
    box = np.abs(sa[keep] - sb[keep])
    return np.median(point), np.percentile(point, 90), np.median(box), np.percentile(box, 90)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="demo_output",
                        help="folder for the pictures (default: demo_output)")
    parser.add_argument("--quick", action="store_true",
                        help="coarser fans and receiver grids and no convergence run, for a "
                             "smoke test")
    args = parser.parse_args(argv)
    os.makedirs(args.output, exist_ok=True)
    files, beams, receivers, seconds = [], 0, 0, 0.0

    def save(ax, name):
        path = os.path.join(args.output, name)
        ax.figure.savefig(path, dpi=120, bbox_inches="tight")
        matplotlib.pyplot.close(ax.figure)
        files.append(path)

    def count(run):
        nonlocal beams, receivers, seconds
        beams, receivers, seconds = beams + run[1], receivers + run[2], seconds + run[3]
        return run[0]

    total_start = time.perf_counter()
    munk = count(timed("Munk channel, vertical slice", munk_config(args.quick)))
    with warnings.catch_warnings():
        if args.quick:  # the quick receivers are coarser than the fringes, knowingly
            warnings.simplefilter("ignore", UserWarning)
        save(plots.plot_tl_slice(munk, tl_range_db=TL_RANGE_DB,
                                 title=f"Munk channel: transmission loss, {MUNK_FREQ_HZ:g} Hz, "
                                       f"source at 1000 m (grey: no beam arrives)"),
             "munk_tl_slice.png")
    if not args.quick:
        # Halve both beam spacings and compare on every 5th range and 3rd depth of the slice
        # (1 km by 22.5 m), so that the first run serves as the reference and the check costs
        # one coarse run.
        finer = count(timed("Munk channel, convergence check (half the beam spacing)",
                            munk_config(False, 0.5, range_spacing_m=1000.0,
                                        depth_spacing_m=22.5)))
        p50, p90, b50, b90 = convergence_check(munk, finer, range_step=5, depth_step=3)
        print(f"fan convergence: halving the beam spacing changes TL by {p50:.2f} dB (median) "
              f"and {p90:.2f} dB (90th percentile) receiver by receiver, and by {b50:.2f} dB / "
              f"{b90:.2f} dB averaged over 2 km x 90 m cells (receivers louder than 100 dB)")
    rays = count(timed("Munk channel, rays", munk_rays_config(args.quick)))
    save(plots.plot_rays(rays, title="Munk channel: rays from 1000 m (launch elevation "
                                     "positive downwards)"), "munk_rays.png")

    wedge = count(timed("wedge, horizontal map", wedge_config(args.quick)))
    wedge_rays = count(timed("wedge, rays", wedge_config(args.quick, store_rays=True)))
    ax = plots.plot_tl_map(wedge, tl_range_db=(40.0, 90.0),
                           title=f"Wedge (floor rising north at 2.86°, apex 4 km north): TL at "
                                 f"30 m, {WEDGE_FREQ_HZ:g} Hz\nwhite lines: sea-floor depth; "
                                 f"cyan: rays launched east, turned downslope")
    plots.plot_rays(wedge_rays, view="plan", ax=ax, colour="cyan", show_environment=False)
    save(ax, "wedge_tl_map.png")
    save(plots.plot_rays(wedge_rays, view="plan", colour_by="elevation",
                         title="Wedge seen from above: rays launched along the slope turn "
                               "downslope (south)"), "wedge_rays_plan.png")
    total = time.perf_counter() - total_start

    print(f"ran {beams} beams and {receivers} receivers in {seconds:.1f} s of simulation "
          f"({total:.1f} s with the pictures)")
    print(f"wrote {len(files)} pictures to {os.path.abspath(args.output)}:")
    for path in files:
        print(f"  {os.path.basename(path)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
