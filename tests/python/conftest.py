"""Shared configurations for the Python tests of kelp.

The tests import the installed package (``make install`` puts it into .venv), exactly as a user
would; nothing here adds the build tree to the path.
"""

import contextlib
import copy
import sys

import pytest


def axis(start, stop, count):
    """`count` evenly spaced floats from start to stop inclusive."""
    if count == 1:
        return [float(start)]
    step = (stop - start) / (count - 1)
    return [float(start + i * step) for i in range(count)]


def fan(start, stop, step):
    """Launch angles start, start + step, ... up to stop inclusive, in degrees."""
    count = int(round((stop - start) / step)) + 1
    return [float(start + i * step) for i in range(count)]


def small_config():
    """A cheap, valid configuration: 1500 m/s water 200 m deep over a rigid bottom, a 3 x 3 fan,
    a 3 x 2 x 4 receiver grid, two frequencies. Runs in milliseconds."""
    xs, ys, zs = axis(-500, 500, 3), axis(-500, 500, 3), axis(0, 200, 3)
    return {
        "ssp": {
            "x_ssp_m": xs,
            "y_ssp_m": ys,
            "z_ssp_m": zs,
            "c_m_s": [1500.0] * (len(xs) * len(ys) * len(zs)),
        },
        "bathymetry": {
            "x_bty_m": axis(-500, 500, 2),
            "y_bty_m": axis(-500, 500, 2),
            "z_bty_m": [200.0] * 4,
        },
        "source": {
            "position": [0.0, 0.0, 50.0],
            "freq_hz": [100.0, 250.0],
            "launch_elev_deg": [-10.0, 0.0, 10.0],
            "launch_azim_deg": [-5.0, 0.0, 5.0],
        },
        "receivers": {
            "config_type": "grid",
            "x_rcvr_m": [-20.0, 0.0, 20.0],
            "y_rcvr_m": [100.0, 200.0],
            "z_rcvr_m": [30.0, 50.0, 70.0, 90.0],
        },
        "beam": {"step_m": 5.0, "max_steps": 200, "max_range_m": 300.0},
    }


def deep_water_config(source_depth_m, receivers, elev_deg, azim_deg, freq_hz, max_range_m,
                      step_m=5.0, water_depth_m=10000.0):
    """Homogeneous 1500 m/s ocean of the given depth, range independent, rigid bottom; the
    sound-speed and bathymetry grids cover 3 km to every side of the source."""
    xs, ys = axis(-3000, 3000, 7), axis(-3000, 3000, 7)
    zs = axis(0, water_depth_m, 11)
    return {
        "ssp": {"x_ssp_m": xs, "y_ssp_m": ys, "z_ssp_m": zs,
                "c_m_s": [1500.0] * (len(xs) * len(ys) * len(zs))},
        "bathymetry": {"x_bty_m": axis(-3000, 3000, 2), "y_bty_m": axis(-3000, 3000, 2),
                       "z_bty_m": [float(water_depth_m)] * 4},
        "source": {"position": [0.0, 0.0, float(source_depth_m)], "freq_hz": list(freq_hz),
                   "launch_elev_deg": list(elev_deg), "launch_azim_deg": list(azim_deg)},
        "receivers": receivers,
        "beam": {"step_m": float(step_m), "max_steps": 100000, "max_range_m": float(max_range_m)},
    }


def reflecting_config(azim_deg):
    """Water 300-420 m deep over a fluid bottom that slopes up towards +x, sound speed rising
    with depth, three frequencies and stored paths: rays reflect at the surface and the bottom.
    Over a full circle of azimuths a few dozen receivers see exactly equal delays from beams of
    different parts, so the tie rule of the merge decides their arrivals."""
    xs, ys, zs = axis(-6000, 6000, 13), axis(-6000, 6000, 13), axis(0, 500, 6)
    xb, yb = axis(-6000, 6000, 13), axis(-6000, 6000, 13)
    return {
        "ssp": {"x_ssp_m": xs, "y_ssp_m": ys, "z_ssp_m": zs,
                "c_m_s": [1500.0 + 0.04 * z for _ in xs for _ in ys for z in zs]},
        "bathymetry": {"x_bty_m": xb, "y_bty_m": yb,
                       "z_bty_m": [360.0 + 0.01 * x for x in xb for _ in yb],
                       "bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1650.0,
                                        "density_g_cm3": 1.7,
                                        "compressional_attenuation_db_per_wavelength": 0.3}},
        "source": {"position": [0.0, 0.0, 80.0], "freq_hz": [50.0, 200.0, 800.0],
                   "launch_elev_deg": [float(e) for e in range(-40, 41, 8)],
                   "launch_azim_deg": list(azim_deg)},
        "receivers": {"config_type": "grid", "x_rcvr_m": axis(-5000, 5000, 21),
                      "y_rcvr_m": axis(-5000, 5000, 21), "z_rcvr_m": [20.0, 300.0]},
        "beam": {"step_m": 20.0, "max_steps": 2000, "max_range_m": 5000.0,
                 "store_ray_paths": True, "integration_method": "rk2"},
    }


ONE_DEGREE = [float(a) for a in range(360)]
# In float32 radians only the first two pairs of this fan are 5 deg apart, so every part must
# take the whole fan's spacing from kelp rather than from its own angles. Its last step is
# 3 deg, which kelp reports (with a warning the parts must neither repeat nor lose).
FIVE_DEGREE = [5.0 * a for a in range(71)] + [353.0]


@contextlib.contextmanager
def replaced_modules(modules):
    """Replaces sys.modules entries for the duration of one call only: pytest itself needs the
    real warnings module as soon as the call is over."""
    saved = {name: sys.modules.get(name) for name in modules}
    sys.modules.update(modules)
    try:
        yield
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module


@pytest.fixture
def config():
    """A fresh copy of the small configuration for each test to modify."""
    return copy.deepcopy(small_config())
