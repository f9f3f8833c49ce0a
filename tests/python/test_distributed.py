"""kelpkit.run_distributed: the beam fan on a Dask cluster gives kelp's own result."""

import math

import numpy as np
import pytest

import kelp
from conftest import FIVE_DEGREE, ONE_DEGREE, reflecting_config

distributed = pytest.importorskip("distributed")
from kelpkit.distributed import merge_partial_fields, run_distributed, split_fan  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.mark.parametrize("azim, parts", [
    (ONE_DEGREE, None),
    (FIVE_DEGREE, [5, 11 * 50, 11 * 22 - 5]),  # the first two parts end inside an azimuth
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
    (ONE_DEGREE, [11, 11], "parts: beam counts [11, 11] must be positive and sum to the number "
                           "of beams, 3960"),
    (ONE_DEGREE, [0, 3960], "parts: beam counts [0, 3960] must be positive"),
    (ONE_DEGREE, 0, "parts must be between 1 and the number of beams, 3960; got 0"),
    (ONE_DEGREE, 3961, "parts must be between 1 and the number of beams, 3960; got 3961"),
    (None, 2, "parts: this configuration's launch lists cannot be counted"),
], ids=["sum", "empty-part", "zero", "too-many", "unreadable"])
def test_refuses_parts_that_do_not_fit_the_fan(client, azim, parts, message):
    cfg = reflecting_config(azim or [])
    if azim is None:
        cfg["source"]["launch_azim_deg"] = 5.0
    with pytest.raises(ValueError) as info:
        run_distributed(cfg, client, parts=parts)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("azim, elev, parts, expected", [
    (ONE_DEGREE, None, 4, [(0, 990), (990, 1980), (1980, 2970), (2970, 3960)]),
    ([0.0], [e / 2 for e in range(-20, 21)], 3, [(0, 13), (13, 27), (27, 41)]),
    (ONE_DEGREE[:2], None, [5, 17], [(0, 5), (5, 22)]),  # through an azimuth
], ids=["azimuths", "elevations", "counts"])
def test_split_fan_cuts_even_ranges_in_launch_order(azim, elev, parts, expected):
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


@pytest.mark.parametrize("spoil, error", [
    (lambda c: c["beam"].update(step_m=-1.0), RuntimeError),
    (lambda c: c["receivers"].update(config_type="array", x_rcvr_m=[1.0, 2.0],
                                     y_rcvr_m=[1.0], z_rcvr_m=[5.0]), kelp.PanicException),
], ids=["validation", "panic"])
def test_kelp_errors_come_back_with_kelps_message(client, spoil, error):
    from kelpkit import KelpInternalError

    cfg = reflecting_config(ONE_DEGREE)
    spoil(cfg)
    with pytest.raises(error) as local:
        kelp.run_simulation(cfg)
    with pytest.raises(RuntimeError) as remote:
        run_distributed(cfg, client)
    assert str(remote.value) == str(local.value)
    assert isinstance(remote.value, KelpInternalError) == (error is kelp.PanicException)
