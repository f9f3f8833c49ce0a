"""The benchmark case of bench_python.py: a source on the axis of the Munk channel next to a
seamount that rises to 800 m, 12 km north, over a floor sloping from 4000 m to 5000 m."""

import numpy as np

SOURCE = (0.0, 0.0, 1300.0)  # x, y, depth (m): on the channel axis
FREQUENCIES_HZ = [50.0, 200.0]
HALF_WIDTH_M = 25000.0  # the region modelled around the source
SEAMOUNT = {"x_m": 0.0, "y_m": 12000.0, "top_m": 800.0, "radius_m": 3000.0}


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
