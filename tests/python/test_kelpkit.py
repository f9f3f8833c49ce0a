"""kelpkit against independent values: spherical spreading in free space for every receiver
layout, receiver geometry recovered from travel times, exact xarray and netCDF round trips, the
fan-split merge, and the `kelp` module left as it was."""

import importlib.util
import inspect
import json
import math

import numpy as np
import pytest

kelp = pytest.importorskip("kelp")
kelpkit = pytest.importorskip("kelpkit")
pytest.importorskip("xarray")

C = 1500.0
SOURCE = (0.0, 0.0, 5000.0)  # 5 km from surface and floor: only the direct ray arrives


def free_space_config(receivers, *, azimuths=None, freq=50.0, store_rays=False):
    extent = 3000.0
    ssp = kelpkit.sound_speed_profile([0.0, 10000.0], [C, C], x_m=(-extent, extent),
                                      y_m=(-extent, extent))
    # A fluid bottom 5 km below the source, out of the rays' reach; it puts a bottom model with
    # units into the saved files.
    bty = kelpkit.bathymetry((-extent, extent), (-extent, extent), 10000.0,
                             bottom=kelpkit.fluid_bottom(1600.0, 1.5, 0.5))
    src = kelpkit.source(SOURCE, [freq], kelpkit.launch_fan(-12.0, 12.0, spacing_deg=0.5),
                         azimuths if azimuths is not None else
                         kelpkit.launch_fan(0.0, 360.0, spacing_deg=1.0, include_stop=False))
    beam = kelpkit.beam_settings(2100.0, step_m=20.0, store_ray_paths=store_rays)
    return kelpkit.make_config(ssp, bty, src, receivers, beam)


RANGES = [200.0, 600.0, 1200.0, 2000.0]
DEPTHS = [5000.0, 5030.0]
LAYOUTS = {
    # bearing 0 goes to kelp as a one-column grid, bearing 30 as a point list
    "slice along north": kelpkit.slice_receivers(RANGES, DEPTHS, bearing_deg=0.0),
    "slice at 30 deg": kelpkit.slice_receivers(RANGES, DEPTHS, bearing_deg=30.0),
    "polar": kelpkit.polar_receivers(RANGES, [0.0, 95.0, 222.5, 301.0], DEPTHS),
}


@pytest.fixture(scope="module", params=list(LAYOUTS), ids=list(LAYOUTS))
def free_space(request):
    return kelpkit.run(free_space_config(LAYOUTS[request.param]))


def test_free_space_tl_is_spherical_spreading(free_space):
    # p = exp(i k R) / R, so TL = 20 log10 R with R the slant distance from the source.
    slant = np.hypot(free_space.range_m, free_space.receiver_z_m - SOURCE[2])
    expected = 20.0 * np.log10(slant)
    np.testing.assert_array_less(np.abs(free_space.tl_db[0] - expected), 0.5)


def test_layout_maps_back_to_ranges_bearings_and_depths(free_space):
    layout = free_space.layout
    shape = (len(RANGES), len(layout["bearing_deg"]), len(DEPTHS))
    assert free_space.shape == (1,) + shape and free_space.delay_s.shape == shape
    r, b, z = np.meshgrid(RANGES, layout["bearing_deg"], DEPTHS, indexing="ij")
    np.testing.assert_allclose(free_space.range_m, r, rtol=1e-6)
    np.testing.assert_allclose(free_space.bearing_deg, b, atol=1e-3)
    np.testing.assert_array_equal(free_space.receiver_z_m, z)
    # Each value sits at its own receiver: the earliest arrival there took the straight path.
    # (Beam windows let it fall short by r (1 - cos(4 dtheta)) / c at most.)
    travel = np.hypot(r, z - SOURCE[2]) / C
    assert np.all(free_space.delay_s <= travel * (1 + 1e-6))
    assert np.all(travel - free_space.delay_s < travel * (1 - math.cos(math.radians(4.0))))


@pytest.fixture(scope="module")
def with_rays():
    cfg = free_space_config(kelpkit.grid_receivers([-100.0, 0.0, 100.0], [500.0, 900.0],
                                                   [100.0, 4950.0, 5000.0, 5050.0]),
                            azimuths=kelpkit.launch_fan(-10.0, 10.0, spacing_deg=1.0),
                            store_rays=True)
    cfg["source"]["freq_hz"] = [50.0, 80.0]
    return cfg, kelpkit.run(cfg)


def assert_same(a, b):
    for name in ("pressure", "delay_s", "amplitude", "frequency_hz", "receiver_x_m",
                 "receiver_y_m", "receiver_z_m"):
        x, y = getattr(a, name), getattr(b, name)
        assert x.dtype == y.dtype and x.shape == y.shape, name
        np.testing.assert_array_equal(x, y, err_msg=name)
    assert a.layout == b.layout and a.config == b.config
    assert (a.ray_paths is None) == (b.ray_paths is None)
    if a.ray_paths is not None:
        assert len(a.ray_paths) == len(b.ray_paths)
        for p, q in zip(a.ray_paths, b.ray_paths):
            np.testing.assert_array_equal(p, q)


def cf_findings(path):
    """What the IOOS compliance checker's CF-1.10 suite finds in a file: the messages of every
    check that did not score full marks (empty when the file passes), or its own faults."""
    import json

    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # its own deprecated suites
        from compliance_checker.runner import CheckSuite, ComplianceChecker

        CheckSuite.load_all_available_checkers()
    report = path.with_suffix(".cf.json")
    passed, faulted = ComplianceChecker.run_checker(str(path), ["cf:1.10"], 0, "normal",
                                                    output_filename=str(report),
                                                    output_format="json")
    result = json.loads(report.read_text())["cf:1.10"]
    found = [m for check in result["all_priorities"] if check["value"][0] != check["value"][1]
             for m in check["msgs"]]
    return found + (["the checker itself faulted"] if faulted or not passed else [])


def assert_round_trips(res, path):
    ds = res.to_xarray()
    assert ds["tl_db"].attrs["units"] == "1" and ds["delay_s"].attrs["units"] == "s"
    assert_same(res, kelpkit.from_xarray(ds))
    res.save(path)
    assert_same(res, kelpkit.load(path))
    if importlib.util.find_spec("compliance_checker") is not None:
        assert cf_findings(path) == []


def test_xarray_and_netcdf_round_trip_exactly(free_space, tmp_path):
    assert_round_trips(free_space, tmp_path / "layout.nc")


def test_netcdf_file_describes_itself(with_rays, tmp_path):
    import xarray as xr

    cfg, res = with_rays
    res.save(tmp_path / "self.nc")
    with xr.open_dataset(tmp_path / "self.nc", engine="h5netcdf") as ds:
        assert ds.attrs["Conventions"] == "CF-1.10"
        assert ds.attrs["kelp_version"] == kelp.__version__ == "0.1.0"
        assert ds.attrs["kelpkit_version"] == kelpkit.__version__
        assert "exp(-i omega t)" in ds.attrs["time_convention"]
        assert ds.attrs["date_created"].endswith("+00:00")
        np.testing.assert_array_equal(ds["tl_db"].values.reshape(res.tl_db.shape), res.tl_db)
        np.testing.assert_array_equal(ds["source_position"], cfg["source"]["position"])
        ssp = cfg["ssp"]
        assert ds["sound_speed"].attrs["units"] == "m s-1"
        np.testing.assert_array_equal(ds["sound_speed"].values.ravel(), ssp["c_m_s"])
        np.testing.assert_array_equal(ds["ssp_z"], ssp["z_ssp_m"])
        np.testing.assert_array_equal(ds["bottom_depth"].values.ravel(),
                                      cfg["bathymetry"]["z_bty_m"])
        # A file of an earlier kelpkit (no environment, versions or TL) still loads.
        old = ds.drop_vars(["tl_db", "sound_speed", "bottom_depth", "source_position"])
        assert_same(res, kelpkit.from_xarray(old.load()))


def test_round_trip_keeps_rays_and_unreached_receivers(with_rays, tmp_path):
    assert np.isinf(with_rays[1].delay_s).any()  # no beam climbs to 100 m: inf must survive
    assert_round_trips(with_rays[1], tmp_path / "rays.nc")


def test_merge_of_fan_halves_equals_the_whole_run(with_rays):
    cfg, whole = with_rays
    az = cfg["source"]["launch_azim_deg"]
    parts = []
    for half in (az[:11], az[11:]):
        part = json.loads(json.dumps(cfg))
        part["source"]["launch_azim_deg"] = half
        parts.append(kelpkit.run(part))
    merged = parts[0].merge(parts[1])
    # Each part derives the azimuth spacing from its own first two angles, which rounds
    # differently in single precision: amplitudes and pressures agree to float rounding.
    np.testing.assert_array_equal(merged.delay_s, whole.delay_s)
    np.testing.assert_allclose(merged.amplitude, whole.amplitude, rtol=2e-5)
    np.testing.assert_allclose(merged.pressure, whole.pressure, rtol=1e-5,
                               atol=1e-6 * np.abs(whole.pressure).max())
    assert len(merged.ray_paths) == len(whole.ray_paths)
    for p, q in zip(merged.ray_paths, whole.ray_paths):
        np.testing.assert_array_equal(p, q)


def test_rays_reach_max_range_with_derived_max_steps():
    # Steep rays in a shallow, finely gridded sea take many short steps; the derived limit
    # must still let every ray reach the range circle.
    cfg = kelpkit.pekeris(max_range_m=4000.0, receivers=kelpkit.grid_receivers([0.0], [1.0],
                                                                               [1.0]))
    cfg["source"]["launch_elev_deg"] = kelpkit.launch_fan(-35.0, 35.0, spacing_deg=5.0)
    cfg["source"]["launch_azim_deg"] = [0.0, 45.0]
    cfg["beam"]["store_ray_paths"] = True
    del cfg["beam"]["max_bottom_loss_db"]  # steep rays would end on their lossy bounces
    res = kelpkit.run(cfg)
    reach = [math.hypot(p[-1, 0], p[-1, 1]) for p in res.ray_paths]
    assert min(reach) >= cfg["beam"]["max_range_m"] * (1 - 1e-6)
    assert max(len(p) for p in res.ray_paths) - 1 < cfg["beam"]["max_steps"]


@pytest.mark.parametrize("build", [kelpkit.munk, kelpkit.pekeris, kelpkit.ideal_wedge,
                                   kelpkit.seamount], ids=lambda f: f.__name__)
def test_ready_environments_are_plain_and_accepted_by_kelp(build):
    cfg = build()
    assert json.loads(json.dumps(cfg)) == cfg
    empty = kelpkit.to_kelp_config(cfg)
    empty["source"]["launch_elev_deg"] = []  # no beams: parse, validate, build the environment
    out = kelp.run_simulation(empty)
    assert out["pressure_field"]["shape"][0] == len(cfg["source"]["freq_hz"])


C0, GRADIENT, Q0 = 1500.0, 0.017, 500.0  # c = C0 + GRADIENT q along one axis q; source at q = Q0
UNEVEN_AXES = {
    "even 100 m": np.arange(0.0, 3001.0, 100.0),
    "graded": np.array([0, 10, 30, 70, 150, 310, 400, 430, 470, 500, 520, 600, 900, 1500, 3000.0]),
    # A first interval of 300 m, then 10 to 50 m: the first interval taken for the whole axis
    # would make the gradient at the 310 m node 20 times too weak.
    "coarse then fine": np.array([0, 300, 310, 330, 360, 400, 450, 500, 3000.0]),
}


@pytest.mark.parametrize("axis", ["z", "x"])
@pytest.mark.parametrize("nodes", list(UNEVEN_AXES.values()), ids=list(UNEVEN_AXES))
def test_uneven_sound_speed_axis_bends_the_ray_into_the_exact_circle(axis, nodes):
    # In c = C0 + g q a ray launched across the gradient is a circle of radius c(Q0) / g about
    # the line where c would vanish, q = -C0 / g (Snell: cos(theta) / c is constant), so
    # q(s) = -C0 / g + sqrt(R^2 - s^2) along the launch direction s. The axis goes to kelp as
    # given, and the derivatives kelp takes over each node's own spacing are exact for a linear
    # field. Single-precision midpoint steps of 50 m keep the path within about 5 mm of the
    # circle over the 5 km; one spacing taken for a whole uneven axis would move it by metres.
    wide = (-1e4, 1e4)
    if axis == "z":
        ssp = kelpkit.sound_speed_profile(nodes, lambda z: C0 + GRADIENT * z, x_m=wide, y_m=wide)
        position, azimuth, along, across = (0.0, 0.0, Q0), 90.0, 0, 2
    else:
        ssp = kelpkit.sound_speed_field(nodes, wide, [0.0, 3000.0],
                                        lambda x, y, z: C0 + GRADIENT * x)
        position, azimuth, along, across = (Q0, 0.0, 500.0), 0.0, 1, 0
    assert ssp[f"{axis}_ssp_m"] == list(nodes)
    cfg = kelpkit.make_config(ssp, kelpkit.bathymetry(wide, wide, 3000.0),
                              kelpkit.source(position, [50.0], [0.0], [azimuth]),
                              kelpkit.grid_receivers([1000.0], [0.0], [500.0]),
                              kelpkit.beam_settings(5000.0, store_ray_paths=True))
    path = kelpkit.run(cfg).ray_paths[0].astype(float)
    radius = (C0 + GRADIENT * Q0) / GRADIENT
    exact = -C0 / GRADIENT + np.sqrt(radius ** 2 - path[:, along] ** 2)
    assert path[-1, along] > 4900.0 and Q0 - path[-1, across] > 130.0  # a 141 m deflection
    np.testing.assert_allclose(path[:, across], exact, rtol=0, atol=0.02)


@pytest.mark.parametrize("x_axis, y_axis, depths, x, y, expected", [
    # z_bty_m runs y fastest: this one deepens along x; outside the grid the edge holds.
    ([0, 1000], [0, 1000], [100, 100, 200, 200], [500, 2000, -50], [300, 300, 5000],
     [150, 200, 100]),
    ([0, 1000], [0, 1000], [100, 200, 100, 200], [300, 300], [250, 1000], [125, 200]),
    # A twisted cell at (0.25, 0.75): .75 .25 100 + .75 .75 200 + .25 .25 300 + .25 .75 500.
    ([0, 1000], [0, 1000], [100, 200, 300, 500], [250], [750], [243.75]),
    # An axis of one node is a bottom constant along it, as kelp takes it.
    ([0], [0, 1000], [100, 200], [-300, 0, 9000], [500, 500, 500], [150, 150, 150]),
    ([0], [0], [70], [5, -5], [1, 2], [70, 70]),
], ids=["along-x", "along-y", "twist", "one-node-x", "one-node"])
def test_bottom_depth_is_kelps_bilinear_lookup(x_axis, y_axis, depths, x, y, expected):
    from kelpkit.plots import bottom_depth

    cfg = {"bathymetry": {"x_bty_m": x_axis, "y_bty_m": y_axis, "z_bty_m": depths}}
    np.testing.assert_allclose(bottom_depth(cfg, x, y), expected, rtol=1e-12)


def test_beam_settings_cut_beams_at_the_measured_bottom_loss_unless_told_not_to():
    assert kelpkit.beam_settings(1000.0)["max_bottom_loss_db"] == 20.0
    assert "max_bottom_loss_db" not in kelpkit.beam_settings(1000.0, max_bottom_loss_db=None)


@pytest.mark.parametrize("call, error, text", [
    (lambda: kelpkit.sound_speed_profile([0, 100], [1500]), ValueError,
     "sound_speed_profile: c_m_s must have one value per depth"),
    (lambda: kelpkit.sound_speed_field([0, 1, 1], [0, 1], [0, 1], np.ones((3, 2, 2))),
     ValueError, "sound_speed_field: x_m must be strictly increasing"),
    # 1e7 + 0.25 rounds to 1e7 in float32: one node to kelp, which needs two.
    (lambda: kelpkit.bathymetry([0.0, 1e7, 1e7 + 0.25], [0, 1], 100.0), ValueError,
     "bathymetry: x_m must be strictly increasing in single precision"),
    (lambda: kelpkit.bathymetry([0, 1], [0, 1], np.ones((3, 2))), ValueError,
     "bathymetry: depth_m must have shape"),
    (lambda: kelpkit.launch_fan(-10, 10), ValueError, "give exactly one of count and spacing"),
    (lambda: kelpkit.source((0, 0, 10), [50], [0, 1, 3], [0]), ValueError,
     "source: elevations_deg must be evenly spaced"),
    (lambda: kelpkit.polar_receivers([100, 50], [0], [10]), ValueError,
     "polar_receivers: ranges_m must be strictly increasing"),
    (lambda: kelpkit.beam_settings(1000.0, method="RK2"), ValueError,
     'beam_settings: method must be "rk2" or "euler"'),
    (lambda: kelpkit.beam_settings(1000.0, max_bottom_loss_db=0.0), ValueError,
     "beam_settings: max_bottom_loss_db must be positive"),
])
def test_errors_name_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_kelp_module_is_unchanged(with_rays):
    assert kelp.__all__ == ["__doc__", "run_simulation"]
    assert str(inspect.signature(kelp.run_simulation)) == "(py_cfg, /)"
    assert kelp.__doc__ == "Python bindings for the kelp underwater acoustic ray tracer."
    # kelpkit passes kelp exactly the configuration minus its own notes, and reads the
    # output dict without changing a value.
    cfg, res = with_rays
    out = kelp.run_simulation(kelpkit.to_kelp_config(cfg))
    assert "layout" not in kelpkit.to_kelp_config(cfg)["receivers"]
    assert_same(res, kelpkit.from_kelp_output(out, cfg))
