"""kelpkit.check_fan: a fan too coarse for a shelf break's shadow zone is flagged where the
shadow is, the ready environments' own fans pass."""

import numpy as np
import pytest

import kelpkit
from kelpkit.fancheck import halved


def shelf_break(elevation_spacing_deg):
    """A 100 m shelf falling to 1400 m over about 3 km, 5 km north of a source at 20 m, in a
    summer profile (speed falling from 1525 m/s at the surface to 1495 m/s at 100 m). Sound
    leaving the shelf bends down the slope, so near the surface beyond 6 km lies a shadow zone
    that a 1-degree fan fills with the tails of wide beams: the intensity-averaged TL at 30 m
    beyond 6 km moves 81 -> 85 -> 91 -> 96 dB as the spacing is halved from 1 to 0.125 deg."""
    ext = (-12e3, 12e3)
    ssp = kelpkit.sound_speed_profile(
        [0, 20, 40, 60, 80, 100, 150, 200, 300, 500, 1000, 1500],
        [1525, 1524, 1515, 1505, 1498, 1495, 1494, 1493.5, 1493, 1492, 1495, 1502],
        x_m=ext, y_m=ext)
    bty = kelpkit.bathymetry(
        ext, np.linspace(-12e3, 12e3, 97),
        lambda x, y: 100.0 + 1300.0 / (1.0 + np.exp(-(y - 5000.0) / 500.0)) + 0.0 * x,
        bottom=kelpkit.fluid_bottom(1650.0, 1.8, 0.5))
    src = kelpkit.source((0.0, 0.0, 20.0), [100.0],
                         kelpkit.launch_fan(-40, 40, spacing_deg=elevation_spacing_deg),
                         kelpkit.slice_fan(0.0, 1.0))
    rcv = kelpkit.slice_receivers(np.arange(250.0, 10001.0, 50.0), [10.0, 30.0, 60.0, 90.0])
    beam = kelpkit.beam_settings(10.5e3, ssp=ssp, bathymetry=bty, max_elevation_deg=40.0)
    return kelpkit.make_config(ssp, bty, src, rcv, beam)


def test_flags_a_shelf_break_shadow_filled_by_a_coarse_fan():
    check = kelpkit.check_fan(shelf_break(1.0))
    assert not check.converged
    assert (check.elevation_spacing_deg, check.azimuth_spacing_deg) == (1.0, 1.0)
    near_surface_beyond_6km = [r for r in check.regions if r.direction == "elevation"
                               and r.range_m[0] >= 6000.0 and r.depth_m[0] <= 30.0]
    assert near_surface_beyond_6km
    for r in near_surface_beyond_6km:  # the coarse fan is too loud there, by dBs
        assert r.converged is False and r.mean_change_db > 1.0
    # Near the source and along azimuth the fan is fine: the check points at the elevations.
    assert all(r.converged for r in check.regions if r.range_m[1] < 2500.0)
    assert all(r.converged for r in check.regions if r.direction == "azimuth")
    assert "NOT converged" in str(check).splitlines()[0]


@pytest.mark.filterwarnings("ignore:kelpkit. receivers")  # small maps of the default layouts
@pytest.mark.parametrize("build", [
    lambda: kelpkit.munk(max_range_m=2e3),
    lambda: kelpkit.pekeris(max_range_m=500.0),
    lambda: kelpkit.ideal_wedge(max_range_m=1e3),
    lambda: kelpkit.seamount(max_range_m=2e3),
], ids=["munk", "pekeris", "ideal_wedge", "seamount"])
def test_ready_environments_pass_with_their_own_fans(build):
    check = kelpkit.check_fan(build(), max_receivers=300)
    assert check.converged, str(check)
    assert any(r.converged for r in check.regions)


@pytest.mark.parametrize("angles, expected", [
    ([-10.0, 0.0, 10.0], [-10.0, -5.0, 0.0, 5.0, 10.0]),
    ([0.0, 90.0, 180.0, 270.0], [0.0, 45.0, 90.0, 135.0, 180.0, 225.0, 270.0, 315.0]),
    ([3.0], [3.0]),
], ids=["span", "full-circle", "single"])
def test_halving_keeps_the_span_and_closes_a_full_circle(angles, expected):
    assert halved(angles) == expected
