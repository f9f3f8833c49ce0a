#!/usr/bin/env python3
"""kelp demo: a source in the deep-ocean sound channel next to a seamount.

The water follows the canonical Munk profile (sound-channel axis at 1300 m, where the source
is), the sea floor slopes from 4000 m to 5000 m and a seamount rises to 800 m below the
surface 12 km north of the source, cutting through the channel. Two runs of kelp.run_simulation give

  * a horizontal map of transmission loss at the source depth, with a full 360-degree fan,
  * a vertical slice through the source and the seamount, with a fan around the slice,

and the pictures (transmission loss TL = -20 log10 |p| in dB re 1 m) go into a folder.

    python examples/demo.py [--output demo_output] [--quick]
"""

import argparse
import os
import sys
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.colors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import kelp  # noqa: E402

SOURCE = (0.0, 0.0, 1300.0)  # x, y, depth (m): on the channel axis
FREQUENCIES_HZ = [50.0, 200.0]
HALF_WIDTH_M = 25000.0  # the region modelled around the source
SEAMOUNT = {"x_m": 0.0, "y_m": 12000.0, "top_m": 800.0, "radius_m": 3000.0}
TL_RANGE_DB = (50.0, 110.0)
ROCK = matplotlib.colors.ListedColormap(["saddlebrown"])
NOTE = "white: no beam reaches the receiver"


def munk_speed(z_m):
    """Munk's canonical deep-water profile: axis 1300 m, 1500 m/s on the axis."""
    eta = 2.0 * (z_m - 1300.0) / 1300.0
    return 1500.0 * (1.0 + 0.00737 * (eta - 1.0 + np.exp(-eta)))


def sea_floor_depth(x_m, y_m):
    """Sloping plain (4000 m in the south to 5000 m in the north) with a Gaussian seamount."""
    plain = 4500.0 + 500.0 * y_m / HALF_WIDTH_M
    r2 = (x_m - SEAMOUNT["x_m"]) ** 2 + (y_m - SEAMOUNT["y_m"]) ** 2
    height = 4500.0 + 500.0 * SEAMOUNT["y_m"] / HALF_WIDTH_M - SEAMOUNT["top_m"]
    return plain - height * np.exp(-r2 / (2.0 * SEAMOUNT["radius_m"] ** 2))


def environment():
    """Sound speed and bathymetry on grids slightly larger than the modelled region."""
    edge = HALF_WIDTH_M + 2000.0
    x_ssp = np.linspace(-edge, edge, 3)
    z_ssp = np.linspace(0.0, 5200.0, 53)  # uniform 100 m steps
    c = np.broadcast_to(munk_speed(z_ssp), (len(x_ssp), len(x_ssp), len(z_ssp)))
    x_bty = np.linspace(-edge, edge, 109)  # 500 m steps
    xx, yy = np.meshgrid(x_bty, x_bty, indexing="ij")
    ssp = {"x_ssp_m": x_ssp.tolist(), "y_ssp_m": x_ssp.tolist(), "z_ssp_m": z_ssp.tolist(),
           "c_m_s": c.ravel().tolist()}
    bathymetry = {"x_bty_m": x_bty.tolist(), "y_bty_m": x_bty.tolist(),
                  "z_bty_m": sea_floor_depth(xx, yy).ravel().tolist(),
                  "water_density_g_cm3": 1.026,
                  "bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1650.0,
                                   "density_g_cm3": 1.8,
                                   "compressional_attenuation_db_per_wavelength": 0.5}}
    return ssp, bathymetry


def angles(start, stop, step):
    return [float(a) for a in np.arange(start, stop + 0.5 * step, step)]


def make_config(ssp, bathymetry, elev, azim, receivers):
    return {
        "ssp": ssp,
        "bathymetry": bathymetry,
        "source": {"position": list(SOURCE), "freq_hz": FREQUENCIES_HZ,
                   "launch_elev_deg": elev, "launch_azim_deg": azim},
        "receivers": dict(receivers, config_type="grid"),
        "beam": {"step_m": 50.0, "max_steps": 5000, "max_range_m": HALF_WIDTH_M * 1.05,
                 "show_progress": True, "integration_method": "rk2"},
    }


def run(title, cfg):
    n_beams = len(cfg["source"]["launch_elev_deg"]) * len(cfg["source"]["launch_azim_deg"])
    r = cfg["receivers"]
    n_rcvr = len(r["x_rcvr_m"]) * len(r["y_rcvr_m"]) * len(r["z_rcvr_m"])
    print(f"{title}: {n_beams} beams, {n_rcvr} receivers, "
          f"{len(FREQUENCIES_HZ)} frequencies", flush=True)
    start = time.perf_counter()
    out = kelp.run_simulation(cfg)
    seconds = time.perf_counter() - start
    print(f"{title}: done in {seconds:.1f} s ({n_beams / seconds:.0f} beams/s)", flush=True)
    return out["pressure_field"], n_beams, n_rcvr, seconds


def transmission_loss(pf):
    """TL in dB re 1 m, shape (F, D1, D2, D3); receivers no beam reached are NaN."""
    p = np.hypot(np.array(pf["pressure_re"]), np.array(pf["pressure_im"]))
    with np.errstate(divide="ignore"):
        tl = -20.0 * np.log10(p)
    tl[~np.isfinite(tl)] = np.nan
    return tl.reshape(pf["shape"])


def plot_horizontal(pf, folder):
    tl = transmission_loss(pf)
    x_km, y_km = np.array(pf["x_m"]) / 1e3, np.array(pf["y_m"]) / 1e3
    xx, yy = np.meshgrid(pf["x_m"], pf["y_m"], indexing="ij")
    floor = sea_floor_depth(xx, yy)
    files = []
    for k, f in enumerate(pf["frequency_hz"]):
        fig, ax = plt.subplots(figsize=(7.2, 6.0))
        mesh = ax.pcolormesh(x_km, y_km, tl[k, :, :, 0].T, cmap="jet_r", shading="nearest",
                             vmin=TL_RANGE_DB[0], vmax=TL_RANGE_DB[1])
        # Receivers inside the seamount are drawn as rock, not as sound.
        rock = np.ma.masked_where(floor.T > pf["z_m"][0], np.ones_like(floor.T))
        ax.pcolormesh(x_km, y_km, rock, cmap=ROCK, shading="nearest")
        contours = ax.contour(x_km, y_km, floor.T, levels=[1500, 2500, 3500], colors="k",
                              linewidths=0.7)
        ax.clabel(contours, fmt="%d m", fontsize=7)
        ax.plot(SOURCE[0] / 1e3, SOURCE[1] / 1e3, "w*", markersize=12, markeredgecolor="k")
        ax.set_aspect("equal")
        ax.set_xlabel("x (km, east)")
        ax.set_ylabel("y (km, north)")
        ax.set_title(f"Transmission loss at {pf['z_m'][0]:.0f} m depth, {f:g} Hz\n"
                     f"(contours: sea-floor depth; brown: seamount; {NOTE})", fontsize=10)
        fig.colorbar(mesh, ax=ax, label="TL = -20 log10|p| (dB re 1 m)")
        path = os.path.join(folder, f"tl_horizontal_{f:g}Hz.png")
        fig.savefig(path, dpi=110, bbox_inches="tight")
        plt.close(fig)
        files.append(path)
    return files


def plot_vertical(pf, folder):
    tl = transmission_loss(pf)
    y_km, z = np.array(pf["y_m"]) / 1e3, np.array(pf["z_m"])
    floor = sea_floor_depth(np.full_like(y_km, pf["x_m"][0]), y_km * 1e3)
    files = []
    for k, f in enumerate(pf["frequency_hz"]):
        fig, (ax_c, ax) = plt.subplots(1, 2, figsize=(10.5, 5.0), sharey=True,
                                       gridspec_kw={"width_ratios": [1, 5]})
        zz = np.linspace(0.0, z[-1], 200)
        ax_c.plot(munk_speed(zz), zz, "b")
        ax_c.set_xlabel("sound speed (m/s)")
        ax_c.set_ylabel("depth (m)")
        ax_c.grid(alpha=0.3)
        mesh = ax.pcolormesh(y_km, z, tl[k, 0, :, :].T, cmap="jet_r", shading="nearest",
                             vmin=TL_RANGE_DB[0], vmax=TL_RANGE_DB[1])
        ax.fill_between(y_km, floor, z[-1], color="saddlebrown", zorder=3)
        ax.plot(y_km, floor, "k", linewidth=1.0, zorder=4)
        ax.plot(SOURCE[1] / 1e3, SOURCE[2], "w*", markersize=12, markeredgecolor="k",
                zorder=5)
        ax.set_ylim(z[-1], 0.0)
        ax.set_xlabel("y (km, north, through the seamount)")
        ax.set_title(f"Transmission loss on the slice x = {pf['x_m'][0]:.0f} m, {f:g} Hz\n"
                     f"({NOTE})", fontsize=10)
        fig.colorbar(mesh, ax=ax, label="TL = -20 log10|p| (dB re 1 m)")
        path = os.path.join(folder, f"tl_vertical_{f:g}Hz.png")
        fig.savefig(path, dpi=110, bbox_inches="tight")
        plt.close(fig)
        files.append(path)
    return files


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="demo_output",
                        help="folder for the pictures (default: demo_output)")
    parser.add_argument("--quick", action="store_true",
                        help="coarser fans and receiver grids, for a smoke test")
    args = parser.parse_args(argv)
    os.makedirs(args.output, exist_ok=True)

    coarsen = 2 if args.quick else 1
    ssp, bathymetry = environment()
    h = HALF_WIDTH_M
    horizontal = make_config(
        ssp, bathymetry,
        elev=angles(-20.0, 20.0, 1.0 * coarsen), azim=angles(0.0, 358.0, 2.0 * coarsen),
        receivers={"x_rcvr_m": angles(-h, h, 250.0 * coarsen),
                   "y_rcvr_m": angles(-h, h, 250.0 * coarsen), "z_rcvr_m": [SOURCE[2]]})
    vertical = make_config(
        ssp, bathymetry,
        elev=angles(-20.0, 20.0, 0.5 * coarsen), azim=angles(-10.0, 10.0, 1.0 * coarsen),
        receivers={"x_rcvr_m": [0.0], "y_rcvr_m": angles(0.0, h, 100.0 * coarsen),
                   "z_rcvr_m": angles(0.0, 5000.0, 25.0 * coarsen)})

    total_start = time.perf_counter()
    pf_h, beams_h, rcvr_h, sec_h = run("horizontal map", horizontal)
    pf_v, beams_v, rcvr_v, sec_v = run("vertical slice", vertical)
    files = plot_horizontal(pf_h, args.output) + plot_vertical(pf_v, args.output)
    total = time.perf_counter() - total_start

    print(f"ran {beams_h + beams_v} beams and {rcvr_h + rcvr_v} receivers at "
          f"{', '.join(f'{f:g}' for f in FREQUENCIES_HZ)} Hz in {sec_h + sec_v:.1f} s of "
          f"simulation ({total:.1f} s with the pictures)")
    print(f"wrote {len(files)} pictures to {os.path.abspath(args.output)}:")
    for path in files:
        print(f"  {os.path.basename(path)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
