#!/usr/bin/env python3
"""kelp example: a continental shelf break built from data in the formats oceanographers use.

The inputs are two CF netCDF files, written here from synthetic data so that the example needs
no download: an elevation tile in the GEBCO / ETOPO convention (metres, negative below sea
level, latitude first) and a temperature and salinity profile. kelpkit projects the tile about
an origin, computes the sound speed with TEOS-10, places the source by latitude and longitude,
checks the set-up for implausible inputs and runs kelp. The picture is a map of transmission
loss at 100 m: sound from a source on a 150 m shelf spreads along the shelf and, beyond the
break, down the slope into deep water.

    python examples/shelf_break.py [--output shelf_output] [--quick]
"""

import argparse
import os
import sys
import warnings

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import xarray as xr  # noqa: E402

import kelpkit  # noqa: E402
from kelpkit import plots  # noqa: E402

ORIGIN = (44.5, -8.9)  # latitude, longitude of the plane's origin, degrees
SOURCE = (44.5, -8.9, 50.0)  # on the shelf: latitude, longitude, depth (m)
BREAK_LON = -9.0  # the shelf edge runs north-south along this meridian
FREQ_HZ = 100.0
MAP_DEPTH_M = 100.0
MAP_HALF_WIDTH_M = 12e3


def shelf_elevation(lat, lon):
    """Elevation (m, negative below sea level): a 150 m shelf east of BREAK_LON falling to a
    2000 m plain over about 5 km, and a cape of land in the north-east corner."""
    slope = 1850.0 / (1.0 + np.exp((lon - BREAK_LON) / 0.012))
    elevation = -(150.0 + slope) + 0.0 * lat
    cape = (lat > 44.65) & (lon > -8.65)
    return np.where(cape, 20.0, elevation)


def write_inputs(folder):
    """Write the elevation tile and the T/S profile as CF netCDF files; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    lat = np.round(np.arange(44.30, 44.7001, 1.0 / 240.0), 6)  # 15 arc-seconds, as GEBCO
    lon = np.round(np.arange(-9.20, -8.5999, 1.0 / 240.0), 6)
    tile = xr.Dataset(
        {"elevation": (("lat", "lon"), shelf_elevation(lat[:, None], lon[None, :]),
                       {"standard_name": "height_above_mean_sea_level", "units": "m"})},
        coords={"lat": ("lat", lat, {"standard_name": "latitude", "units": "degrees_north"}),
                "lon": ("lon", lon, {"standard_name": "longitude", "units": "degrees_east"})},
        attrs={"Conventions": "CF-1.8", "title": "synthetic shelf-break elevation tile"})
    depth = np.array([0, 10, 20, 30, 50, 75, 100, 150, 200, 300, 500, 750, 1000, 1500.0])
    profile = xr.Dataset(
        {"temperature": ("depth", 4.0 + 9.0 * np.exp(-depth / 400.0)
                         + 4.0 * np.exp(-depth / 30.0),
                         {"standard_name": "sea_water_temperature", "units": "degree_Celsius"}),
         "salinity": ("depth", 35.6 - 0.6 * np.exp(-depth / 500.0),
                      {"standard_name": "sea_water_practical_salinity", "units": "1"})},
        coords={"depth": ("depth", depth, {"standard_name": "depth", "units": "m",
                                           "positive": "down"}),
                "lat": ((), ORIGIN[0], {"standard_name": "latitude", "units": "degrees_north"}),
                "lon": ((), ORIGIN[1], {"standard_name": "longitude", "units": "degrees_east"})},
        attrs={"Conventions": "CF-1.8", "title": "synthetic temperature and salinity profile"})
    paths = os.path.join(folder, "elevation.nc"), os.path.join(folder, "ts_profile.nc")
    tile.to_netcdf(paths[0], engine="h5netcdf")
    profile.to_netcdf(paths[1], engine="h5netcdf")
    return paths


def load_config(elevation_path, profile_path, quick=False):
    """The kelp configuration from the two files."""
    with xr.open_dataset(elevation_path, engine="h5netcdf") as tile:
        bty = kelpkit.bathymetry_from_elevation(
            tile["elevation"].load(), origin=ORIGIN, spacing_m=500.0 if quick else 250.0,
            bottom=kelpkit.fluid_bottom(1650.0, 1.8, 0.5))
    with xr.open_dataset(profile_path, engine="h5netcdf") as ts:
        ssp = kelpkit.sound_speed_from_ts(
            ts["temperature"].values, ts["salinity"].values, ts["depth"].values,
            float(ts["lat"]), float(ts["lon"]), origin=ORIGIN,
            x_m=[bty["x_bty_m"][0], bty["x_bty_m"][-1]],
            y_m=[bty["y_bty_m"][0], bty["y_bty_m"][-1]],
            bottom_depth_m=max(bty["z_bty_m"]))
    spacing = 500.0 if quick else 200.0
    axis = kelpkit.evenly_spaced(-MAP_HALF_WIDTH_M, MAP_HALF_WIDTH_M, spacing=spacing)
    receivers = kelpkit.grid_receivers(axis, axis, [MAP_DEPTH_M])
    src = kelpkit.source_at(*SOURCE, ORIGIN, [FREQ_HZ],
                            kelpkit.launch_fan(-40.0, 40.0, spacing_deg=1.0 if quick else 0.25),
                            kelpkit.launch_fan(0.0, 360.0, spacing_deg=2.0 if quick else 1.0,
                                               include_stop=False))
    reach = 1.02 * np.hypot(MAP_HALF_WIDTH_M, MAP_HALF_WIDTH_M)  # the map's corners
    beam = kelpkit.beam_settings(reach, ssp=ssp, bathymetry=bty, max_elevation_deg=40.0)
    return kelpkit.make_config(ssp, bty, src, receivers, beam,
                               notes={"environment": "shelf_break",
                                      "description": "synthetic shelf break, 44.5N 8.9W"})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="shelf_output", help="folder for files and picture")
    parser.add_argument("--quick", action="store_true", help="coarse grids and fan")
    args = parser.parse_args(argv)

    paths = write_inputs(args.output)
    print(f"inputs: {paths[0]}, {paths[1]}", flush=True)
    with warnings.catch_warnings(record=True) as notes:
        warnings.simplefilter("always")
        cfg = load_config(*paths, quick=args.quick)
    for note in notes:
        print(f"note: {note.message}", flush=True)
    findings = kelpkit.check_config(cfg)
    print("plausibility findings:", findings or "none", flush=True)
    src, rc = cfg["source"], cfg["receivers"]
    n_beams = len(src["launch_elev_deg"]) * len(src["launch_azim_deg"])
    n_rcvr = len(rc["x_rcvr_m"]) * len(rc["y_rcvr_m"])
    print(f"shelf break: {n_beams} beams, {n_rcvr} receivers", flush=True)
    result = kelpkit.run(cfg)
    ax = plots.plot_tl_map(result, tl_range_db=(50.0, 100.0),
                           title=f"Shelf break, {FREQ_HZ:g} Hz: TL at {MAP_DEPTH_M:g} m, "
                                 f"source at {SOURCE[2]:g} m on the 150 m shelf")
    picture = os.path.join(args.output, "shelf_break_tl_map.png")
    ax.figure.savefig(picture, dpi=90 if args.quick else 110, bbox_inches="tight")
    print(f"picture: {picture}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
