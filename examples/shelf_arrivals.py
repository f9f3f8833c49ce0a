#!/usr/bin/env python3
"""kelp example: the multipath arrivals at a receiver on a continental shelf, and their eigenrays.

A source at 30 m on a shelf 120 m deep at the source, deepening gently seaward, over sand
(1650 m/s, 1.9 g/cm3, 0.8 dB per wavelength), in summer water: a warm mixed layer over a
thermocline, so sound bends down towards the sea floor. A receiver 4 km away at 70 m hears the
source along paths that reflect off the surface and the sand; kelp keeps each of them as an
arrival (beam.max_arrivals), and kelpkit draws them as stems of level against delay, coloured
by their surface and bottom reflections, over the band-limited impulse response's envelope,
beside the eigenrays: the beams of those arrivals traced again with their paths.

Paths steeper than the sand's critical angle, about 25 deg, lose most of their energy at every
bottom reflection, so the arrivals fade with the number of reflections; the downward-refracting
profile keeps shallow paths off the surface.

    python examples/shelf_arrivals.py [--output shelf_arrivals_output]
"""

import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import kelpkit  # noqa: E402

SOURCE = (0.0, 0.0, 30.0)
RECEIVER = (0.0, 4000.0, 70.0)  # 4 km north, 70 m deep
FREQS_HZ = [300.0, 400.0, 500.0, 600.0, 700.0]
WITHIN_DB = 15.0  # eigenrays of the arrivals at most this far below the strongest


def shelf_config():
    """The kelp configuration: summer profile, sandy shelf deepening 1 m per 100 m north."""
    depth = np.array([0.0, 15.0, 25.0, 40.0, 60.0, 200.0])
    speed = np.array([1525.0, 1525.0, 1512.0, 1496.0, 1492.0, 1490.0])
    ssp = kelpkit.sound_speed_profile(depth, speed, x_m=(-6000.0, 6000.0),
                                      y_m=(-6000.0, 6000.0))
    bty = kelpkit.bathymetry((-6000.0, 6000.0), (-6000.0, 6000.0),
                             lambda x, y: 120.0 + 0.01 * y + 0.0 * x,
                             bottom=kelpkit.fluid_bottom(1650.0, 1.9, 0.8))
    src = kelpkit.source(SOURCE, FREQS_HZ, kelpkit.launch_fan(-60.0, 60.0, spacing_deg=0.25),
                         kelpkit.launch_fan(-6.0, 6.0, spacing_deg=0.5))
    receivers = kelpkit.array_receivers([RECEIVER[0]], [RECEIVER[1]], [RECEIVER[2]])
    beam = kelpkit.beam_settings(4300.0, step_m=20.0, ssp=ssp, bathymetry=bty,
                                 max_elevation_deg=60.0,
                                 max_arrivals=1000)
    return kelpkit.make_config(ssp, bty, src, receivers, beam,
                               notes={"environment": "shelf_arrivals"})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="shelf_arrivals_output",
                        help="folder for the picture")
    args = parser.parse_args(argv)
    os.makedirs(args.output, exist_ok=True)

    cfg = shelf_config()
    result = kelpkit.run(cfg)
    table = result.arrival_table
    rows = table.rows_of(0)
    print(f"{rows.size} arrivals at the receiver, {int(result.arrivals_dropped.sum())} dropped")
    fa = kelpkit.first_arrival(result)
    print(f"first arrival (within 20 dB of the strongest): {fa.delay_s.iloc[0]:.4f} s, "
          f"{fa.relative_level_db.iloc[0]:.1f} dB; kelp's earliest contribution: "
          f"{float(result.delay_s.ravel()[0]):.4f} s")
    for mode in ("coherent", "incoherent", "semicoherent"):
        tl = kelpkit.transmission_loss(result, mode)[:, 0, 0, 0]
        print(f"TL {mode:>12}: " + ", ".join(f"{v:.1f}" for v in tl) + " dB at "
              + ", ".join(f"{f:g}" for f in FREQS_HZ) + " Hz")

    rays = kelpkit.eigenrays(cfg, result, 0, within_db=WITHIN_DB, refine=True)
    k = result.frequency_index(500.0)

    fig, (ax_a, ax_r) = plt.subplots(1, 2, figsize=(13.0, 5.4), layout="constrained",
                                     gridspec_kw={"width_ratios": [1.0, 1.15]})
    kelpkit.plot_arrivals(result, 0, frequency_hz=500.0, ax=ax_a)
    t, z = kelpkit.impulse_response(result, 0, 4000.0)
    with np.errstate(divide="ignore"):
        ax_a.plot(t, 20.0 * np.log10(np.abs(z)), color="0.55", lw=0.8, zorder=0,
                  label="impulse response envelope, 300-700 Hz")
    ax_a.axvline(fa.delay_s.iloc[0], color="k", ls="--", lw=0.9,
                 label="first arrival within 20 dB of the strongest")
    ax_a.set_xlim(t[0], t[-1])
    ax_a.get_legend().remove()
    fig.legend(*ax_a.get_legend_handles_labels(), loc="outside lower center", ncol=5,
               fontsize=9, frameon=False)
    ax_a.set_title(f"{rows.size} arrivals 4 km away, level at {FREQS_HZ[k]:g} Hz "
                   f"(stems) and envelope", fontsize=11)
    kelpkit.plot_eigenrays(rays, cfg, receiver_m=RECEIVER, ax=ax_r, legend=False)
    ax_r.set_title(f"eigenrays of the {len(rays)} arrivals within {WITHIN_DB:g} dB of the "
                   f"strongest", fontsize=11)
    picture = os.path.join(args.output, "shelf_arrivals.png")
    fig.savefig(picture, dpi=100)
    print(f"picture: {picture}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
