"""kelpkit.run_distributed: the beam fan on a Dask cluster gives kelp's own result."""

import math

import numpy as np
import pytest

import kelp
from conftest import axis

distributed = pytest.importorskip("distributed")
from kelpkit.distributed import merge_partial_fields, run_distributed, split_fan  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


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
# In float32 radians only the first two pairs of this fan are 5 deg apart: parts after the
# second azimuth run behind a lead-in of the first two. Its last step is 3 deg, which kelp
# reports (with a warning the parts must not repeat for their own lists, nor lose).
FIVE_DEGREE = [5.0 * a for a in range(71)] + [353.0]


@pytest.mark.parametrize("azim, parts", [
    (ONE_DEGREE, None),
    (FIVE_DEGREE, [11, 11 * 50, 11 * 21]),
], ids=["one-degree-default", "five-degree-uneven"])
def test_same_result_as_one_process(client, azim, parts):
    cfg = reflecting_config(azim)
    # kelp's warnings for the whole run reach the caller once, in kelp's order: the corrected
    # depth, the uneven fan (FIVE_DEGREE only), then the unknown keys in the order of the dict.
    cfg["source"]["position"][2] = -80.0
    cfg["source"]["bar"] = 2
    cfg["beam"]["foo"] = 1
    with pytest.warns(UserWarning) as local_warnings:
        ref = kelp.run_simulation(cfg)
    with pytest.warns(UserWarning) as dist_warnings:
        out = run_distributed(cfg, client, parts=parts)
    assert [str(w.message) for w in dist_warnings] == [str(w.message) for w in local_warnings]
    assert len(local_warnings) == (4 if azim is FIVE_DEGREE else 3)

    assert list(out) == list(ref) == ["ray_paths", "pressure_field"]
    pf, rf = out["pressure_field"], ref["pressure_field"]
    assert list(pf) == list(rf)
    for key in ("x_m", "y_m", "z_m", "frequency_hz", "shape"):
        assert pf[key] == rf[key], key
    assert pf["shape"] == (3, 21, 21, 2)
    assert len(out["ray_paths"]) == len(azim) * 11
    assert max(q[2] for p in ref["ray_paths"] for q in p) > 300.0  # bottom reflections
    assert sum(math.isfinite(d) for d in rf["delay_s"]) > 600

    assert out["ray_paths"] == ref["ray_paths"]
    assert pf["delay_s"] == rf["delay_s"]
    assert pf["amplitude"] == rf["amplitude"]
    for key in ("pressure_re", "pressure_im"):
        got, want = np.asarray(pf[key]), np.asarray(rf[key])
        assert got.shape == want.shape
        # Float32 sums grouped per part instead of per kelp chunk.
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * np.abs(want).max())


@pytest.mark.parametrize("azim, parts, message", [
    (ONE_DEGREE, [10, 11 * 360 - 10], "parts[0] (beams 0 to 9) cannot be normalised like the "
                                      "whole run: it cuts through an azimuth"),
    (FIVE_DEGREE, [11 * 2, 11 * 69 + 5, 6], "parts[1] (beams 22 to 785) cannot be normalised "
                                            "like the whole run: it cuts through an azimuth"),
    (ONE_DEGREE, [11, 11], "parts: beam counts [11, 11] must be positive and sum to the number "
                           "of beams, 3960"),
    (ONE_DEGREE, 0, "parts must be between 1 and the number of azimuths, 360; got 0"),
    (ONE_DEGREE, 361, "parts must be between 1 and the number of azimuths, 360; got 361"),
    (ONE_DEGREE + ["x"], 2, "parts: this configuration's launch lists cannot be split"),
], ids=["first", "later", "sum", "zero", "too-many", "unreadable"])
def test_refuses_parts_not_normalised_like_the_whole_run(client, azim, parts, message):
    with pytest.raises(ValueError) as info:
        run_distributed(reflecting_config(azim), client, parts=parts)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("azim, elev, parts, expected", [
    # Every azimuth boundary is admissible: even parts of 90 azimuths x 11 elevations.
    (ONE_DEGREE, None, 4, [(0, 990), (990, 1980), (1980, 2970), (2970, 3960)]),
    # One azimuth: the elevations are cut.
    ([0.0], [e / 2 for e in range(-20, 21)], 3, [(0, 13), (13, 27), (27, 41)]),
], ids=["azimuths", "elevations"])
def test_split_fan_cuts_whole_units_in_launch_order(azim, elev, parts, expected):
    cfg = reflecting_config(azim)
    if elev is not None:
        cfg["source"]["launch_elev_deg"] = elev
    assert split_fan(cfg, parts) == expected


def partial(delay, amplitude, pressure):
    return {"delay_s": np.float32(delay), "amplitude": np.float32(amplitude),
            "pressure_re": np.float32(pressure), "pressure_im": np.float32(pressure) * 2}


@pytest.mark.parametrize("left, right, kept", [
    ((2.0, 0.1), (1.5, -0.3), (1.5, -0.3)),        # strictly earlier wins, with its amplitude
    ((2.0, 0.1), (2.0, 0.9), (2.0, 0.9)),          # equal delay: larger |amplitude| wins
    ((2.0, 0.9), (2.0, -0.1), (2.0, 0.9)),
    ((2.0, 0.5), (2.0, -0.5), (2.0, 0.5)),         # full tie: the earlier beams stay
    ((2.0, 0.5), (math.nan, 9.0), (2.0, 0.5)),     # NaN never wins
    ((math.inf, 0.0), (3.0, 0.2), (3.0, 0.2)),     # first arrival at an unreached receiver
], ids=["earlier", "tie-larger", "tie-smaller", "full-tie", "nan", "unreached"])
def test_merge_keeps_the_first_earliest_arrival_in_launch_order(left, right, kept):
    total = {k: np.array([v]) for k, v in partial(*left, 1.0).items()}
    part = {k: np.array([v]) for k, v in partial(*right, 0.25).items()}
    merge_partial_fields(total, part)
    assert (total["delay_s"][0], total["amplitude"][0]) == tuple(np.float32(kept))
    assert (total["pressure_re"][0], total["pressure_im"][0]) == (1.25, 2.5)


def test_kelp_errors_come_back_with_kelps_message(client):
    cfg = reflecting_config(ONE_DEGREE)
    cfg["beam"]["step_m"] = -1.0
    with pytest.raises(RuntimeError) as local:
        kelp.run_simulation(cfg)
    with pytest.raises(RuntimeError) as remote:
        run_distributed(cfg, client)
    assert str(remote.value) == str(local.value)
