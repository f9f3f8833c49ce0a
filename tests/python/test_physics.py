"""Physics through the Python interface, against closed forms: spherical spreading in free
space, the two-path field of a pressure-release surface, and independence of the thread count."""

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from conftest import deep_water_config, fan

kelp = pytest.importorskip("kelp")

C = 1500.0


def complex_pressure(pf):
    shape = pf["shape"]
    p = np.array(pf["pressure_re"]) + 1j * np.array(pf["pressure_im"])
    return p.reshape(shape)


def test_free_space_spreading_delay_and_phase():
    # Source and receivers 5 km from both boundaries: only the direct ray reaches the
    # receivers, so the field is that of a point source, p = exp(i omega r / c) / r.
    depth = 5000.0
    ranges = np.arange(100.0, 2001.0, 100.0)
    receivers = {"config_type": "array", "x_rcvr_m": [0.0] * len(ranges),
                 "y_rcvr_m": [float(r) for r in ranges], "z_rcvr_m": [depth] * len(ranges)}
    spacing = 0.5
    freq = 50.0
    cfg = deep_water_config(depth, receivers, fan(-5, 5, spacing), fan(-5, 5, spacing), [freq],
                            max_range_m=2100.0, step_m=10.0)
    pf = kelp.run_simulation(cfg)["pressure_field"]
    p = complex_pressure(pf)[0, :, 0, 0]

    tl = -20.0 * np.log10(np.abs(p))
    np.testing.assert_array_less(np.abs(tl - 20.0 * np.log10(ranges)), 0.5)

    # The earliest contribution comes from the beam whose axis passes the receiver at the
    # largest angle still inside the window of four beam widths, where the projected travel
    # time is r cos(theta) / c: the delay can fall short of r / c by r (1 - cos 4 dtheta) / c.
    delay = np.array(pf["delay_s"])
    max_angle = np.radians(4.0 * spacing) * np.sqrt(2.0)
    tolerance = ranges / C * (1.0 - np.cos(max_angle)) + 1e-6 * ranges / C
    assert np.all(delay <= ranges / C * (1.0 + 1e-6))
    assert np.all(ranges / C - delay <= tolerance)

    # Phase advances as omega r / c (time dependence exp(+i omega t) written as exp(+i omega
    # tau)); what remains after removing it is a small, range-independent offset.
    omega = 2.0 * np.pi * freq
    residual = np.angle(p * np.exp(-1j * omega * ranges / C))
    assert np.all(np.abs(residual) < 0.1), residual


@pytest.mark.parametrize("spacing_deg", [0.5, 2.0, 4.0])
def test_free_space_coarse_fan_keeps_level_and_phase(spacing_deg):
    # At 10 km a 4 degree fan makes beams 700 m wide: a receiver between axes is reached by
    # beams passing it at several hundred metres, whose axial travel times differ from its
    # own by up to a cycle at 25 Hz. Only the wavefront-curvature term of each beam brings
    # them back into phase (without it: 7.6 dB weak, up to 16 dB, phase off by 1.2 rad).
    ranges = np.arange(1000.0, 10001.0, 500.0)
    receivers = {"config_type": "array", "x_rcvr_m": [0.0] * len(ranges),
                 "y_rcvr_m": [float(r) for r in ranges], "z_rcvr_m": [5000.0] * len(ranges)}
    freq = 25.0
    cfg = deep_water_config(5000.0, receivers, fan(-30, 30, spacing_deg),
                            fan(-30, 30, spacing_deg), [freq], max_range_m=10500.0,
                            step_m=100.0, water_depth_m=10000.0)
    p = complex_pressure(kelp.run_simulation(cfg)["pressure_field"])[0, :, 0, 0]
    dtl = -20.0 * np.log10(np.abs(p)) - 20.0 * np.log10(ranges)
    assert np.max(np.abs(dtl)) < 0.5, dtl
    residual = np.angle(p * np.exp(-2j * np.pi * freq * ranges / C))
    assert np.max(np.abs(residual)) < 0.05, residual


def test_lloyds_mirror_two_path_field():
    # Source 50 m below a pressure-release surface, vertical line of receivers 1 km away in
    # 5 km deep water. The image source gives p = e^{ikR1}/R1 - e^{ikR2}/R2, whose nulls lie
    # where R2 - R1 is a whole number of wavelengths: near z = 100, 200, 300 m here.
    zs, r, freq = 50.0, 1000.0, 150.0
    depths = np.arange(10.0, 361.0, 2.0)
    receivers = {"config_type": "array", "x_rcvr_m": [0.0] * len(depths),
                 "y_rcvr_m": [r] * len(depths), "z_rcvr_m": [float(z) for z in depths]}
    cfg = deep_water_config(zs, receivers, fan(-30, 30, 0.25), fan(-3, 3, 0.25), [freq],
                            max_range_m=1100.0, step_m=5.0, water_depth_m=5000.0)
    pf = kelp.run_simulation(cfg)["pressure_field"]
    p = complex_pressure(pf)[0, :, 0, 0]

    k = 2.0 * np.pi * freq / C
    r1 = np.hypot(r, depths - zs)
    r2 = np.hypot(r, depths + zs)
    exact = np.exp(1j * k * r1) / r1 - np.exp(1j * k * r2) / r2
    tl_model = -20.0 * np.log10(np.abs(p))
    tl_exact = -20.0 * np.log10(np.abs(exact))

    # Away from the nulls (where any small error is magnified without bound) the levels agree.
    away = np.abs(exact) > 0.5 / r1
    assert away.sum() > len(depths) // 2
    assert abs(np.mean(tl_model[away] - tl_exact[away])) < 0.5
    assert np.max(np.abs(tl_model[away] - tl_exact[away])) < 2.0

    # Each analytic null has a deep minimum of the modelled field (a peak of TL) at the
    # receiver nearest to it, 2 m apart.
    fine = np.arange(depths[0], depths[-1], 0.1)
    level = np.abs(np.exp(1j * k * np.hypot(r, fine - zs)) / np.hypot(r, fine - zs)
                   - np.exp(1j * k * np.hypot(r, fine + zs)) / np.hypot(r, fine + zs))
    is_min = (level[1:-1] < level[:-2]) & (level[1:-1] < level[2:])
    null_depths = fine[1:-1][is_min]
    null_depths = null_depths[null_depths < depths[-1] - 20.0]
    assert len(null_depths) == 3
    for z0 in null_depths:
        window = np.abs(depths - z0) <= 20.0
        z_null = depths[window][np.argmax(tl_model[window])]
        assert abs(z_null - z0) <= 1.0, (z0, z_null)
        assert tl_model[window].max() - tl_model[window].min() > 15.0


THREAD_CHILD = r"""
import pickle, sys, json
import kelp
cfg = json.loads(sys.stdin.read())
out = kelp.run_simulation(cfg)
sys.stdout.buffer.write(pickle.dumps(out))
"""


def run_with_threads(cfg, threads):
    env = dict(os.environ, KELP_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", THREAD_CHILD], input=json.dumps(cfg).encode(),
                          capture_output=True, env=env, check=True)
    return pickle.loads(done.stdout)


def test_thread_count_invariance():
    # Enough beams for several chunks per thread, bottom and surface reflections, two
    # frequencies and stored ray paths.
    receivers = {"config_type": "grid", "x_rcvr_m": [float(x) for x in range(-200, 201, 50)],
                 "y_rcvr_m": [float(y) for y in range(100, 1001, 100)],
                 "z_rcvr_m": [10.0, 60.0, 110.0, 160.0]}
    cfg = deep_water_config(60.0, receivers, fan(-40, 40, 2), fan(-20, 20, 5), [100.0, 400.0],
                            max_range_m=1000.0, step_m=5.0, water_depth_m=200.0)
    cfg["bathymetry"]["bottom_model"] = {"model": "acoustic", "compressional_speed_m_s": 1650.0,
                                         "density_g_cm3": 1.7,
                                         "compressional_attenuation_db_per_wavelength": 0.5}
    cfg["beam"]["store_ray_paths"] = True
    one, two = run_with_threads(cfg, 1), run_with_threads(cfg, 2)

    assert one["ray_paths"] == two["ray_paths"]
    pf1, pf2 = one["pressure_field"], two["pressure_field"]
    assert pf1["delay_s"] == pf2["delay_s"]
    assert pf1["amplitude"] == pf2["amplitude"]
    assert np.isfinite(pf1["delay_s"]).sum() > 100
    # Pressure sums may be grouped differently by the pool: equal to float rounding of the sum,
    # a few ulps of the largest magnitude at a receiver times the number of terms.
    p1, p2 = complex_pressure(pf1), complex_pressure(pf2)
    scale = np.abs(p1).max()
    np.testing.assert_allclose(p1, p2, rtol=0, atol=1e-5 * scale)


def test_receiver_on_a_step_end_is_not_lost_to_rounding():
    """A receiver on the axis of a beam, exactly where a step ends, belongs to one of the two
    segments that meet there. Launch angles of -3.6e-14 degrees (numpy.arange rounding) put
    it at s >= 1 of one segment and s < 0 of the next by rounding alone; it must still get the
    on-axis beam (losing it costs 1.5 dB) and never get it twice."""
    import kelp
    import warnings

    def run(elev, azim):
        cfg = {
            "ssp": {"x_ssp_m": [-1e5, 1e5], "y_ssp_m": [-1e5, 1e5], "z_ssp_m": [0, 20000],
                    "c_m_s": [1500.0] * 8},
            "bathymetry": {"x_bty_m": [-1e5, 1e5], "y_bty_m": [-1e5, 1e5],
                           "z_bty_m": [20000.0] * 4},
            "source": {"position": [0, 0, 10000], "freq_hz": [50.0],
                       "launch_elev_deg": elev, "launch_azim_deg": azim},
            "receivers": {"config_type": "array", "x_rcvr_m": [0.0], "y_rcvr_m": [1000.0],
                          "z_rcvr_m": [10000.0]},
            "beam": {"step_m": 100.0, "max_steps": 100000, "max_range_m": 1100.0},
        }
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pf = kelp.run_simulation(cfg)["pressure_field"]
        return abs(complex(pf["pressure_re"][0], pf["pressure_im"][0]))

    exact = run([0.1 * (i - 100) for i in range(201)], [0.1 * (i - 50) for i in range(101)])
    rounded = run(list(np.arange(-10, 10.0001, 0.1)), list(np.arange(-5, 5.0001, 0.1)))
    assert rounded != 0.0
    assert abs(20 * np.log10(rounded / exact)) < 0.05
    assert abs(20 * np.log10(exact * 1000.0)) < 0.25  # spherical spreading at 1 km


def test_wedge_image_reference_meets_its_boundary_conditions():
    # The image sum is the reference for everything reflected off a slope: check it is the
    # field of the wedge (zero pressure on the surface, zero normal derivative on the rigid
    # bottom, a free-space source at the source).
    from wedge_reference import image_pressure
    n = 32
    beta = np.pi / n
    src = (2000.0, 0.0, 100.0)
    surface = np.array([[x, y, 0.0] for x in (500.0, 3000.0) for y in (0.0, 2000.0)])
    assert np.max(np.abs(image_pressure(n, src, surface, 25.0))) < 1e-14
    normal = np.array([-np.sin(beta), 0.0, np.cos(beta)])
    bottom = np.array([[x, y, x * np.tan(beta)] for x in (1000.0, 4000.0) for y in (0.0, 3000.0)])
    h = 0.01
    dpdn = (image_pressure(n, src, bottom + h * normal, 25.0)
            - image_pressure(n, src, bottom - h * normal, 25.0)) / (2 * h)
    k = 2 * np.pi * 25.0 / C
    assert np.max(np.abs(dpdn) / (k * np.abs(image_pressure(n, src, bottom, 25.0)))) < 1e-6
    near = image_pressure(n, src, np.array([[2000.0, 1.0, 100.0]]), 25.0)
    assert abs(abs(near[0]) - 1.0) < 0.05


@pytest.mark.parametrize("line", ["cross", "down"])
def test_ideal_wedge_against_its_image_solution(line):
    # Rigid bottom sloping at pi/32 (5.6 deg) under a pressure-release surface, source at
    # mid-depth 2 km from the apex (197 m water), 25 Hz, receivers to 3 km across and down the
    # slope. Every path bounces off the slope, most of them many times; down the slope the
    # steepest launch angles matter. Measured with this fan: mean dTL +0.6 / -0.5 dB, median
    # |dTL| 0.7 / 0.55 dB (before the beams were continued past reflections and given their
    # wavefront curvature: several dB too weak).
    from wedge_reference import dtl_stats, grid_line, image_pressure, wedge_config
    n, freq = 32, 25.0
    depth = 2000.0 * np.tan(np.pi / n)
    src = (2000.0, 0.0, depth / 2)
    ranges = np.arange(50.0, 3001.0, 50.0)
    depths = [0.15 * depth, 0.75 * depth]
    if line == "cross":
        rec, pts = grid_line([2000.0], ranges, depths)
    else:
        rec, pts = grid_line(2000.0 + ranges, [0.0], depths)
    elev = list(np.linspace(-89.5, 89.5, 180))
    azim = list(np.arange(90) * 4.0 - 180.0)
    cfg = wedge_config(n, src, rec, elev, azim, freq, max_range_m=3150.0, step_m=50.0)
    p = complex_pressure(kelp.run_simulation(cfg)["pressure_field"])[0].ravel()
    s = dtl_stats(p, image_pressure(n, src, pts, freq))
    assert abs(s["mean"]) < 1.0, s
    assert s["median_abs"] < 1.0, s
    assert s["p90_abs"] < 4.0, s


# ---------------------------------------------------------------- fields of the step pattern
# Every field below is a waveguide in 1500 m/s water whose answer cannot depend on where the
# ray steps happen to fall: moving the whole set-up, stepping otherwise or mirroring it must
# give the same field.

def waveguide(depth_m, source, elev_deg, azim_deg, freq_hz, receivers, max_range_m, step_m,
              method="rk2", half_width_m=2e4):
    """Uniform water over a flat rigid bottom, with grids far wider than the run."""
    h = half_width_m
    return {
        "ssp": {"x_ssp_m": [-h, h], "y_ssp_m": [-h, h], "z_ssp_m": [0.0, depth_m + 10.0],
                "c_m_s": [C] * 8},
        "bathymetry": {"x_bty_m": [-h, h], "y_bty_m": [-h, h], "z_bty_m": [depth_m] * 4},
        "source": {"position": list(source), "freq_hz": list(freq_hz),
                   "launch_elev_deg": list(elev_deg), "launch_azim_deg": list(azim_deg)},
        "receivers": receivers,
        "beam": {"step_m": step_m, "max_steps": 100000, "max_range_m": max_range_m,
                 "integration_method": method},
    }


def points(xyz):
    xs, ys, zs = (list(map(float, c)) for c in zip(*xyz))
    return {"config_type": "array", "x_rcvr_m": xs, "y_rcvr_m": ys, "z_rcvr_m": zs}


def steps(lo, hi, d):
    return list(np.round(np.arange(lo, hi + d / 2, d), 6))


def image_pressure(depth_m, zs, r, z, freq_hz, max_launch_deg):
    """Pressure-release surface over a rigid bottom: the image sources at 2 m D + zs (sign
    (-1)^m) and 2 m D - zs (sign (-1)^(m+1)), exp(ikR)/R each, keeping the images whose path
    leaves the source within max_launch_deg of the horizontal."""
    k = 2.0 * np.pi * freq_hz / C
    m = np.arange(-400, 401)
    zi = np.concatenate([zs + 2.0 * m * depth_m, -zs + 2.0 * m * depth_m])
    sign = np.concatenate([(-1.0) ** m, -((-1.0) ** m)])
    dz = z - zi
    keep = np.degrees(np.arctan2(np.abs(dz), r)) <= max_launch_deg
    big_r = np.hypot(r, dz[keep])
    return np.sum(sign[keep] * np.exp(1j * k * big_r) / big_r)


def test_ideal_waveguide_moved_anywhere_gives_its_image_field():
    # 200 m deep, source at 50 m, a +-80 deg fan: receivers 1, 2 and 5 km ahead at 30, 100 and
    # 170 m. Moving everything along x changes only rounding; the field is the image sum over
    # the images inside the fan (the steeper images, outside it, change TL by up to 10 dB).
    freqs = [100.0, 300.0, 800.0]
    rz = [(r, z) for r in (1000.0, 2000.0, 5000.0) for z in (30.0, 100.0, 170.0)]
    ref = np.array([[image_pressure(200.0, 50.0, r, z, f, 80.0) for r, z in rz] for f in freqs])
    tls = []
    for x0 in (0.0, 0.5, 10.0, 1000.0, -3000.0):
        cfg = waveguide(200.0, (x0, 0.0, 50.0), steps(-80, 80, 0.25), steps(-5, 5, 0.5), freqs,
                        points([(x0, r, z) for r, z in rz]), 5500.0, 50.0)
        p = complex_pressure(kelp.run_simulation(cfg)["pressure_field"]).reshape(3, -1)
        tls.append(-20.0 * np.log10(np.abs(p)))
    tls = np.array(tls)
    # Interference nulls (a tenth of the median level or less) are left out.
    loud = np.abs(ref) > 0.1 * np.median(np.abs(ref), axis=1, keepdims=True)
    assert np.max((tls.max(0) - tls.min(0))[loud]) < 0.5
    dtl = np.abs(tls[0] - (-20.0 * np.log10(np.abs(ref))))[loud]
    assert np.median(dtl) < 0.5 and np.max(dtl) < 1.5, dtl


def test_euler_and_midpoint_agree_in_uniform_water():
    # Straight rays: both integrators trace the same ones, whatever steps they end short of a
    # boundary, so their fields agree to rounding.
    grid = {"config_type": "grid", "x_rcvr_m": [-200.0, 0.0, 200.0],
            "y_rcvr_m": [100.0, 300.0, 500.0], "z_rcvr_m": [20.0, 50.0, 80.0]}
    fields = [complex_pressure(kelp.run_simulation(waveguide(
        100.0, (0.0, 0.0, 50.0), steps(-40, 40, 5), steps(0, 330, 30), [100.0, 250.0], grid,
        1000.0, 5.0, method=m, half_width_m=2000.0))["pressure_field"]) for m in ("euler", "rk2")]
    assert np.max(np.abs(fields[0] - fields[1])) < 1e-3 * np.max(np.abs(fields[1]))


def test_mirror_symmetric_set_up_gives_mirror_symmetric_arrivals():
    pts = [(40.0, 700.0, 70.0), (15.0, 300.0, 10.0), (60.0, 500.0, 95.0), (25.0, 650.0, 50.0)]
    cfg = waveguide(100.0, (0.0, 0.0, 40.0), steps(-60, 60, 1), steps(-10, 10, 1),
                    [100.0, 170.0], points([(s * x, y, z) for x, y, z in pts for s in (1, -1)]),
                    800.0, 10.0, method="euler")
    pf = kelp.run_simulation(cfg)["pressure_field"]
    d, a = np.reshape(pf["delay_s"], (-1, 2)), np.reshape(pf["amplitude"], (-1, 2))
    p = complex_pressure(pf).reshape(2, -1, 2)
    # Uniform water is uniform to a float rounding of the interpolated speed, which differs
    # at x and -x: the mirror images agree to that.
    np.testing.assert_allclose(d[:, 0], d[:, 1], rtol=1e-6)
    np.testing.assert_allclose(a[:, 0], a[:, 1], rtol=1e-4)
    assert np.max(np.abs(p[..., 0] - p[..., 1])) < 1e-4 * np.max(np.abs(p))


@pytest.mark.parametrize("elev_step,azim", [(2.0, steps(-10, 10, 2)), (2.0, steps(0, 356, 4)),
                                            (0.5, steps(-10, 10, 2))],
                         ids=["2x2deg", "2deg-all-around", "0.5x2deg"])
def test_earliest_arrivals_are_causal(elev_step, azim):
    # 1500 m deep, source at 50 m, receivers at 30 m, 1, 3 and 5 km ahead. The earliest
    # arrival is the earliest contribution inside a beam's window, timed at the foot of the
    # receiver's perpendicular on the axis: a beam whose axis passes at angle theta from the
    # receiver arrives there at cos(theta) of the straight-path time, and the window
    # (|a| + |b| <= 4 fan spacings) lets theta reach atan(4 spacing). No arrival may come
    # earlier than that, or later than ten straight-path times.
    ys = [1000.0, 3000.0, 5000.0]
    cfg = waveguide(1500.0, (0.0, 0.0, 50.0), steps(-60, 60, elev_step), azim, [100.0],
                    points([(0.0, y, 30.0) for y in ys]), 6000.0, 50.0)
    delay = np.array(kelp.run_simulation(cfg)["pressure_field"]["delay_s"])
    straight = np.hypot(ys, 20.0) / C
    spacing = np.radians(max(elev_step, azim[1] - azim[0]))
    assert np.all(delay >= straight / np.hypot(1.0, 4.0 * spacing)), delay / straight
    assert np.all(delay <= 10.0 * straight), delay / straight
