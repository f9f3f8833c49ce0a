"""The arrivals table and what kelpkit builds on it, against closed forms: arrivals that sum to
the field, the two paths of Lloyd's mirror, the images of the ideal waveguide and of the
ideal wedge (arrival by arrival and as impulse responses), bit-identical tables on any
thread count, and the rules of impulse responses, TL modes, first arrivals and eigenrays."""


import numpy as np
import pytest

from conftest import deep_water_config, fan, small_config
from wedge_reference import waveguide_images, wedge_config, wedge_images

kelp = pytest.importorskip("kelp")
kelpkit = pytest.importorskip("kelpkit")
pd = pytest.importorskip("pandas")
from kelpkit.arrivals import synthesize_response  # noqa: E402

C = 1500.0


def arrival_sum(res):
    """sum over each receiver's arrivals of A exp(+i 2 pi f delay), shaped like the field."""
    t = res.arrival_table
    phase = np.exp(2j * np.pi * np.outer(t.delay_s.astype(float), res.frequency_hz))
    total = np.zeros((int(np.prod(res.shape[1:])), res.shape[0]), dtype=complex)
    np.add.at(total, t.receiver, t.amplitude * phase)
    return total.T.reshape(res.shape)


def reflecting_config(receivers):
    """The small 200 m case over a fluid bottom (surface and bottom reflections), three
    frequencies, a fan wide enough to reach every receiver by several paths."""
    cfg = small_config()
    cfg["bathymetry"]["bottom_model"] = {"model": "acoustic", "compressional_speed_m_s": 1650.0,
                                         "density_g_cm3": 1.7,
                                         "compressional_attenuation_db_per_wavelength": 0.5}
    cfg["source"].update(freq_hz=[100.0, 250.0, 600.0], launch_elev_deg=fan(-60, 60, 2),
                         launch_azim_deg=fan(-30, 30, 2))
    cfg["receivers"] = receivers
    cfg["beam"].update(max_steps=2000, max_arrivals=64)
    return cfg


GRID = {"config_type": "grid", "x_rcvr_m": [-20.0, 0.0, 20.0], "y_rcvr_m": [100.0, 250.0],
        "z_rcvr_m": [10.0, 60.0, 110.0, 190.0]}
ARRAY = {"config_type": "array", "x_rcvr_m": [5.0, -30.0, 0.0, 45.0],
         "y_rcvr_m": [120.0, 180.0, 260.0, 90.0], "z_rcvr_m": [15.0, 100.0, 185.0, 40.0]}


@pytest.mark.parametrize("receivers", [GRID, ARRAY], ids=["grid", "array"])
def test_arrivals_sum_to_the_field(receivers):
    res = kelpkit.run(reflecting_config(receivers))
    t = res.arrival_table
    assert not res.arrivals_dropped.any()
    assert {(0, 0), (1, 0), (0, 1), (1, 1)} <= set(zip(t.surface_bounces, t.bottom_bounces))
    p = res.pressure
    assert np.max(np.abs(arrival_sum(res) - p)) < 1e-4 * np.max(np.abs(p))
    # ... and so the coherent TL of the arrivals is the field's
    tl = kelpkit.transmission_loss(res, "coherent")
    assert np.array_equal(np.isinf(tl), np.isinf(res.tl_db))
    finite = np.isfinite(tl)
    assert np.max(np.abs(tl - res.tl_db)[finite]) < 1e-3


def test_lloyds_mirror_gives_the_direct_and_the_surface_path():
    # Source 50 m under a pressure-release surface, receivers at 30 m in 5 km of water: the
    # image method gives exactly exp(ikR1)/R1 - exp(ikR2)/R2, two arrivals at R1/c and R2/c.
    zs, zr = 50.0, 30.0
    ranges = np.array([200.0, 500.0, 1000.0, 2000.0])
    receivers = {"config_type": "array", "x_rcvr_m": [0.0] * 4,
                 "y_rcvr_m": [float(r) for r in ranges], "z_rcvr_m": [zr] * 4}
    cfg = deep_water_config(zs, receivers, fan(-30, 30, 0.25), fan(-3, 3, 0.25), [150.0, 400.0],
                            max_range_m=2100.0, step_m=10.0, water_depth_m=5000.0)
    cfg["beam"]["max_arrivals"] = 8
    df = kelpkit.run(cfg).arrivals
    assert list(df.columns[:8]) == ["arrival", "receiver", "x_m", "y_m", "z_m", "frequency_hz",
                                    "delay_s", "amplitude"]
    for i, r in enumerate(ranges):
        rows = df[df.receiver == i]
        assert rows.arrival.nunique() == 2
        direct, surface = rows[rows.surface_bounces == 0], rows[rows.surface_bounces == 1]
        assert (rows.bottom_bounces == 0).all() and len(direct) == len(surface) == 2
        for path, dist, phase in ((direct, np.hypot(r, zr - zs), 0.0),
                                  (surface, np.hypot(r, zr + zs), np.pi)):
            assert np.all(np.abs(path.delay_s - dist / C) < 1e-5)
            level = 20 * np.log10(np.abs(path.amplitude.to_numpy()) * dist)
            assert np.all(np.abs(level) < 0.2), (r, level)
            wrapped = np.angle(path.amplitude.to_numpy() * np.exp(-1j * phase))
            assert np.all(np.abs(wrapped) < 0.05), (r, wrapped)
        # the direct path climbs to the receiver, the surface path descends onto it
        assert direct.arrival_elevation_deg.iloc[0] < 0 < surface.arrival_elevation_deg.iloc[0]


def match_images(res, receiver, images, period_s):
    """For every image within 20 dB of the strongest: the arrivals of its bounce counts within
    half a period, the delay error of the nearest, its level error (dB, all frequencies)."""
    t = res.arrival_table
    rows = t.rows_of(receiver)
    strongest = max(abs(im[1]) for im in images)
    out = []
    for tau, amp, s, b in (im[:4] for im in images):
        if abs(amp) < 0.1 * strongest:
            continue
        same = rows[(t.surface_bounces[rows] == s) & (t.bottom_bounces[rows] == b)
                    & (np.abs(t.delay_s[rows] - tau) < 0.5 * period_s)]
        level = np.abs(t.amplitude[same]) / abs(amp)
        # Far tails of a path's beams can stay apart as arrivals 60 dB down or more; an image
        # is one arrival when exactly one carries its level.
        loud = same[np.max(level, axis=1) > 0.01] if same.size else same
        j = loud[0] if loud.size else None
        out.append((len(loud), None if j is None else abs(t.delay_s[j] - tau),
                    None if j is None else 20 * np.log10(np.abs(t.amplitude[j]) / abs(amp))))
    return out


def check_images(res, images_per_receiver, freqs, band, fs):
    period = 1.0 / max(freqs)
    for i, images in enumerate(images_per_receiver):
        for count, dt, dl in match_images(res, i, images, period):
            assert count == 1
            assert dt < 0.01 * period, dt
            assert np.max(np.abs(dl)) < 1.0, dl
        # The impulse response against the images' own, over the same window.
        t, h = kelpkit.impulse_response(res, i, fs)
        tau = np.array([im[0] for im in images])
        amp = np.array([[im[1]] * len(freqs) for im in images])
        ref = synthesize_response(tau, amp, freqs, band, t[0], fs, t.size)
        corr = np.real(np.vdot(ref, h)) / (np.linalg.norm(ref) * np.linalg.norm(h))
        assert corr >= 0.95, corr


def test_ideal_waveguide_arrivals_are_its_images():
    # 200 m of 1500 m/s water over a rigid bottom, source 50 m, receivers at 30 m 0.5 and 1 km
    # away. Every image is as loud as 1/R, so all within 20 dB (R < 10 r) count: 50 and 99
    # images, up to 84 deg from the horizontal and 25 reflections each way. The fan reaches 86
    # deg. Measured: delays within 1.6 us, levels within 0.17 dB, correlation 0.999.
    # Images of equal counts never merge here: they differ in delay by at least 4 D (zs - zr)
    # / (R c) ~ 1 ms, far beyond the grouping tolerance.
    ranges, freqs = [500.0, 1000.0], [100.0, 150.0, 200.0]
    receivers = {"config_type": "array", "x_rcvr_m": [0.0, 0.0], "y_rcvr_m": ranges,
                 "z_rcvr_m": [30.0, 30.0]}
    h = 2e4
    cfg = {"ssp": {"x_ssp_m": [-h, h], "y_ssp_m": [-h, h], "z_ssp_m": [0.0, 210.0],
                   "c_m_s": [C] * 8},
           "bathymetry": {"x_bty_m": [-h, h], "y_bty_m": [-h, h], "z_bty_m": [200.0] * 4},
           "source": {"position": [0.0, 0.0, 50.0], "freq_hz": freqs,
                      "launch_elev_deg": fan(-86, 86, 0.25), "launch_azim_deg": fan(-3, 3, 0.5)},
           "receivers": receivers,
           "beam": {"step_m": 50.0, "max_steps": 100000, "max_range_m": 1100.0,
                    "max_arrivals": 400}}
    res = kelpkit.run(cfg)
    assert not res.arrivals_dropped.any()
    images = [[im for im in waveguide_images(200.0, 50.0, r, 30.0) if im[4] < 86.0]
              for r in ranges]
    assert [sum(abs(im[1]) * r > 0.1 for im in ims) for r, ims in zip(ranges, images)] == [50, 99]
    check_images(res, images, freqs, (100.0, 200.0), 1000.0)


def test_ideal_wedge_arrivals_are_its_images():
    # A 30 deg wedge (n = 6: 12 images, all within 8 dB of each other), source 300 m from the
    # apex at mid-depth, receivers 300 and 600 m across the slope: paths of up to 3 surface
    # and 3 bottom reflections, bent out of the vertical plane by the slope. Measured: delays
    # within 0.4 us, levels within 0.11 dB, correlation 0.99999; a few beams' far tails stay
    # apart as arrivals 67 dB and more below their path, 15 us after it.
    n, freqs = 6, [100.0, 150.0, 200.0]
    xs = 300.0
    src = (xs, 0.0, 0.5 * xs * np.tan(np.pi / n))
    pts = [(xs, y, 0.3 * xs * np.tan(np.pi / n)) for y in (300.0, 600.0)]
    receivers = {"config_type": "array", "x_rcvr_m": [p[0] for p in pts],
                 "y_rcvr_m": [p[1] for p in pts], "z_rcvr_m": [p[2] for p in pts]}
    cfg = wedge_config(n, src, receivers, fan(-89.5, 89.5, 0.5), fan(-90, 30, 2), 100.0,
                       max_range_m=1500.0, step_m=20.0, extent_m=5000.0)
    cfg["source"]["freq_hz"] = freqs
    cfg["beam"]["max_arrivals"] = 64
    res = kelpkit.run(cfg)
    assert not res.arrivals_dropped.any()
    images = [wedge_images(n, src, p) for p in pts]
    counts = {(s, b) for ims in images for _, _, s, b in ims}
    assert max(s for s, _ in counts) == 3 and max(b for _, b in counts) == 3
    check_images(res, images, freqs, (100.0, 200.0), 1000.0)


def test_tables_are_bit_identical_on_any_thread_count(monkeypatch):
    cfg = reflecting_config(GRID)
    cfg["source"]["launch_elev_deg"] = fan(-60, 60, 0.5)
    cfg["beam"]["max_arrivals"] = 4  # full tables: what is dropped must not depend on threads
    tables = []
    for threads in (1, 2, 3):
        monkeypatch.setenv("KELP_NUM_THREADS", str(threads))
        tables.append(kelp.run_simulation(cfg)["arrivals"])
    assert sum(tables[0]["dropped"]) > 10 and len(tables[0]["delay_s"]) > 50
    assert tables[0] == tables[1] == tables[2]


# ---------------------------------------------------------------- kelpkit on made-up tables


def made_up_result(rows, freqs=(100.0,), n_receivers=2, position=(0.0, 0.0, 10.0)):
    """A result whose table holds `rows`: (receiver, delay, amplitudes, launch elevation) and
    optionally (surface, bottom) bounces, else none."""
    rows = list(rows)

    def counts(row):
        return row[4] if len(row) > 4 else (0, 0)

    amp = np.array([r[2] for r in rows], dtype=np.complex64).reshape(len(rows), len(freqs))
    n = len(rows)
    out = {
        "pressure_field": {
            "receiver_positions_m": [[0.0, 100.0 * (i + 1), 20.0] for i in range(n_receivers)],
            "frequency_hz": list(freqs), "shape": (len(freqs), n_receivers, 1, 1),
            "pressure_re": [0.0] * (len(freqs) * n_receivers),
            "pressure_im": [0.0] * (len(freqs) * n_receivers),
            "delay_s": [1.0] * n_receivers, "amplitude": [1.0] * n_receivers},
        "arrivals": {
            "receiver": [r[0] for r in rows], "delay_s": [r[1] for r in rows],
            "amplitude_re": amp.real.ravel().tolist(), "amplitude_im": amp.imag.ravel().tolist(),
            "launch_elevation_deg": [r[3] for r in rows], "launch_azimuth_deg": [0.0] * n,
            "arrival_elevation_deg": [0.0] * n, "arrival_azimuth_deg": [0.0] * n,
            "surface_bounces": [counts(r)[0] for r in rows],
            "bottom_bounces": [counts(r)[1] for r in rows],
            "beam_index": list(range(n)), "dropped": [0] * n_receivers}}
    cfg = deep_water_config(position[2], {"config_type": "array", "x_rcvr_m": [0.0],
                                          "y_rcvr_m": [100.0], "z_rcvr_m": [20.0]},
                            [0.0], [0.0], freqs, 100.0)
    return kelpkit.from_kelp_output(out, cfg)


def test_impulse_response_places_and_adds_arrivals():
    fs = 1000.0
    a = 0.5 * np.exp(0.3j)
    # An arrival exactly on a sample: z there is its amplitude (time from emission, a pulse
    # at +delay for a spectrum A exp(+i omega delay)); the Hann band of width 50 Hz about the
    # single frequency has its envelope's first null 2 / 50 Hz = 40 ms from the peak.
    t, z = kelpkit.impulse_response(made_up_result([(0, 0.25, a, 0.0)]), 0, fs)
    k = int(np.argmin(np.abs(t - 0.25)))
    assert t[0] == round(t[0] * fs) / fs and abs(t[k] - 0.25) < 1e-12
    assert abs(z[k] - a) < 1e-7  # the table holds single-precision amplitudes
    assert np.all(np.abs(z[np.abs(np.abs(t - 0.25) - 0.040) < 1e-9]) < 1e-6)
    # Two arrivals 0.3 ms apart, in one sample, in phase at the band's middle: they add
    # coherently (a nearest-sample table would keep one or add them without their phases).
    pair = [(0, 0.2501, a, 0.0), (0, 0.2504, a * np.exp(-2j * np.pi * 100 * 0.0003), 0.0)]
    _, z2 = kelpkit.impulse_response(made_up_result(pair), 0, fs, start_s=0.2, duration_s=0.1)
    _, za = kelpkit.impulse_response(made_up_result(pair[:1]), 0, fs, start_s=0.2,
                                     duration_s=0.1)
    _, zb = kelpkit.impulse_response(made_up_result(pair[1:]), 0, fs, start_s=0.2,
                                     duration_s=0.1)
    np.testing.assert_allclose(z2, za + zb, atol=1e-12)
    assert abs(np.max(np.abs(z2)) - 2 * abs(a)) < 0.01 * abs(a)
    # Equal and opposite arrivals at one delay cancel.
    _, z0 = kelpkit.impulse_response(made_up_result([(0, 0.25, a, 0.0), (0, 0.25, -a, 0.0)]),
                                     0, fs, start_s=0.2, duration_s=0.1)
    assert np.max(np.abs(z0)) < 1e-9


@pytest.mark.parametrize("kwargs, message", [
    ({"fs_hz": 200.0}, "impulse_response: fs_hz must exceed twice the band's highest "
                       "frequency (250 Hz), got 200.0"),
    ({"fs_hz": 1000.0, "receiver": 1}, "impulse_response: receiver 1 has no arrivals; give "
                                       "start_s and duration_s for a record of zeros"),
    ({"fs_hz": 1000.0, "band_hz": (50.0, 40.0)},
     "impulse_response: band_hz must be (low, high) with 0 < low < high, got (50.0, 40.0)"),
])
def test_impulse_response_refuses_what_it_cannot_build(kwargs, message):
    res = made_up_result([(0, 0.25, 1.0, 0.0)])
    kwargs = {"receiver": 0, **kwargs}
    with pytest.raises(ValueError) as e:
        kelpkit.impulse_response(res, kwargs.pop("receiver"), kwargs.pop("fs_hz"), **kwargs)
    assert str(e.value) == message


def test_transmission_loss_modes_by_hand():
    # Receiver 0: A1 = 0.01 launched at theta1, A2 = 0.01i at theta2, 1 ms apart, 100 Hz,
    # source 10 m deep in 1500 m/s water: k = 2 pi / 15 per metre. sin(theta1) = 15 / 80
    # gives 2 k z sin = pi / 2 (weight 1), sin(theta2) = 15 / 40 gives pi (weight 2).
    th1, th2 = np.degrees(np.arcsin(15 / 80)), np.degrees(np.arcsin(15 / 40))
    res = made_up_result([(0, 0.100, 0.01, th1), (0, 0.101, 0.01j, th2)])
    coherent = abs(0.01 * np.exp(2j * np.pi * 100 * 0.1) + 0.01j * np.exp(2j * np.pi * 100 * 0.101))
    expected = {"coherent": -20 * np.log10(coherent),
                "incoherent": -10 * np.log10(2e-4),
                "semicoherent": -10 * np.log10(1e-4 * 1 + 1e-4 * 2)}
    for mode, value in expected.items():
        tl = kelpkit.transmission_loss(res, mode)
        assert tl.shape == (1, 2, 1, 1) and np.isinf(tl[0, 1, 0, 0])
        assert abs(tl[0, 0, 0, 0] - value) < 1e-4, mode
    # A source depth spread sigma damps the interference by exp(-2 (k sigma sin)^2).
    sigma = 3.0
    k = 2 * np.pi / 15
    w2 = 1 + np.exp(-2 * (k * sigma * 15 / 40) ** 2)
    w1 = 1.0
    tl = kelpkit.transmission_loss(res, "semicoherent", source_depth_spread_m=sigma)
    assert abs(tl[0, 0, 0, 0] + 10 * np.log10(1e-4 * (w1 + w2))) < 1e-4
    with pytest.raises(ValueError) as e:
        kelpkit.transmission_loss(res, "average")
    assert str(e.value) == ("transmission_loss: mode must be one of 'coherent', 'incoherent', "
                            "'semicoherent', got 'average'")


def test_first_arrival_is_the_earliest_within_the_stated_level():
    # Receiver 0: -25 dB at 1.0 s, -15 dB at 1.1 s, the strongest at 1.2 s, -3 dB at 1.3 s.
    rows = [(0, 1.0, 10 ** (-25 / 20), 0.0), (0, 1.1, 10 ** (-15 / 20), 0.0), (0, 1.2, 1.0, 0.0),
            (0, 1.3, 10 ** (-3 / 20), 0.0)]
    res = made_up_result(rows)
    for within, delay in ((30.0, 1.0), (20.0, 1.1), (10.0, 1.2), (0.0, 1.2)):
        fa = kelpkit.first_arrival(res, within_db=within)
        assert list(fa.receiver) == [0]  # receiver 1 has no arrival and no row
        assert fa.delay_s.iloc[0] == np.float32(delay)
    fa = kelpkit.first_arrival(res)
    assert abs(fa.relative_level_db.iloc[0] + 15.0) < 1e-4 and abs(fa.level_db.iloc[0] + 15) < 1e-4
    # Levels per frequency: at 200 Hz the 1.0 s arrival is the strongest.
    two = made_up_result([(0, 1.0, (0.1, 2.0), 0.0), (0, 1.2, (1.0, 1.0), 0.0)],
                         freqs=(100.0, 200.0))
    assert kelpkit.first_arrival(two, within_db=10.0, frequency_hz=100.0).delay_s.iloc[0] \
        == np.float32(1.2)
    assert kelpkit.first_arrival(two, within_db=10.0, frequency_hz=200.0).delay_s.iloc[0] \
        == np.float32(1.0)


def test_eigenrays_end_at_the_receiver_along_their_paths():
    zs, r, zr = 50.0, 1000.0, 30.0
    receivers = {"config_type": "array", "x_rcvr_m": [0.0, 100.0], "y_rcvr_m": [r, 700.0],
                 "z_rcvr_m": [zr, 120.0]}
    cfg = deep_water_config(zs, receivers, fan(-30, 30, 0.5), fan(-10, 10, 0.5), [150.0],
                            max_range_m=1100.0, step_m=10.0, water_depth_m=200.0)
    cfg["beam"]["max_arrivals"] = 16
    res = kelpkit.run(cfg)
    rays = kelpkit.eigenrays(cfg, res, 0, within_db=20.0)
    refined = kelpkit.eigenrays(cfg, res, 0, within_db=20.0, refine=True)
    counts = [(ray.surface_bounces, ray.bottom_bounces) for ray in rays]
    assert {(0, 0), (1, 0), (0, 1), (1, 1)} <= set(counts)
    # A search in quarter spacings gets within a quarter of the beam's miss or better
    # (measured: 1.3-4.5 m, refined 0.1-1.1 m).
    assert all(b.miss_m <= a.miss_m for a, b in zip(rays, refined))
    assert max(b.miss_m for b in refined) < 0.25 * max(a.miss_m for a in rays) + 0.5
    spacing = np.radians(0.5)
    for ray in rays + refined:
        p = ray.path_m
        assert np.allclose(p[0], [0.0, 0.0, zs])
        # The receiver lies within a beam's reach of the path's end: a fan spacing at its range.
        assert ray.miss_m < r * spacing
        assert np.linalg.norm(p[-1] - [0.0, r, zr]) == pytest.approx(ray.miss_m)
        # a reflection keeps a few states on the boundary: count the runs of them
        touches = [int(np.sum(np.diff(np.nonzero(on)[0], prepend=-2) > 1))
                   for on in (p[:, 2] < 1e-3, p[:, 2] > 200.0 - 1e-2)]
        assert touches == [ray.surface_bounces, ray.bottom_bounces]
        launch = np.degrees(np.arctan2(p[1, 2] - p[0, 2], np.hypot(*(p[1, :2] - p[0, :2]))))
        assert abs(launch - ray.launch_elevation_deg) < 0.1
        # the path's own travel time is the arrival's delay, within the paraxial offset
        assert abs(np.sum(np.linalg.norm(np.diff(p, axis=0), axis=1)) / C - ray.delay_s) < 1e-4


# ---------------------------------------------------------------- carrying the table around


def test_table_survives_xarray_and_netcdf_and_old_files_still_load(tmp_path):
    res = kelpkit.run(reflecting_config(ARRAY))
    for back in (kelpkit.from_xarray(res.to_xarray()), None):
        if back is None:
            res.save(tmp_path / "arrivals.nc")
            back = kelpkit.load(tmp_path / "arrivals.nc")
        pd.testing.assert_frame_equal(back.arrivals, res.arrivals)
        np.testing.assert_array_equal(back.arrivals_dropped, res.arrivals_dropped)
    import xarray as xr
    with xr.open_dataset(tmp_path / "arrivals.nc", engine="h5netcdf") as ds:
        assert ds["arrival_amplitude_re"].dims == ("arrival", "frequency")
        assert ds["arrival_delay_s"].attrs["units"] == "s"
        old = ds.drop_vars([v for v in ds.data_vars if v.startswith("arrival")])
        plain = kelpkit.from_xarray(old.load())
    assert plain.arrival_table is None and plain.arrivals is None
    assert plain.arrivals_dropped is None
    with pytest.raises(ValueError) as e:
        kelpkit.first_arrival(plain)
    assert str(e.value) == ("first_arrival: the result has no arrivals table; run with "
                            "beam.max_arrivals set (beam_settings(..., max_arrivals=50))")


def test_partial_runs_with_tables_are_refused():
    cfg = reflecting_config(ARRAY)
    res = kelpkit.run(cfg)
    with pytest.raises(ValueError, match="^merge: results with arrivals tables cannot be"):
        res.merge(res)
    from kelpkit.distributed import run_distributed
    with pytest.raises(ValueError) as e:
        run_distributed(cfg, client=None)
    assert str(e.value) == ("run_distributed: beam.max_arrivals is set, but the arrivals tables "
                            "of separate parts of the fan cannot be merged into the whole run's "
                            "table; run it in one call (kelpkit.run) or leave max_arrivals out")
    with pytest.raises(ValueError, match="^run: beam.max_arrivals needs the whole fan in one"):
        kelpkit.run(cfg, parts=2)
    kcfg = kelpkit.to_kelp_config(cfg)
    n = len(kcfg["source"]["launch_elev_deg"]) * len(kcfg["source"]["launch_azim_deg"])
    with pytest.raises(RuntimeError) as e:
        kelp._run_fan_part(kcfg, 0, 1)
    assert str(e.value) == ("invalid beam range: an arrivals table (beam.max_arrivals) needs the "
                            f"whole fan, beams 0 to {n}, in one part")
    # The whole fan as one part carries run_simulation's table.
    assert kelp._run_fan_part(kcfg, 0, n)["arrivals"] == kelp.run_simulation(kcfg)["arrivals"]


@pytest.mark.parametrize("value", [0, 65536, 2.5, True])
def test_beam_settings_max_arrivals(value):
    assert kelpkit.beam_settings(1000.0, max_arrivals=50)["max_arrivals"] == 50
    assert "max_arrivals" not in kelpkit.beam_settings(1000.0)
    with pytest.raises(ValueError) as e:
        kelpkit.beam_settings(1000.0, max_arrivals=value)
    assert str(e.value) == ("beam_settings: max_arrivals must be an integer from 1 to 65535 "
                            f"(None keeps no arrivals table), got {value!r}")
