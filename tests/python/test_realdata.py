"""Real ocean data in: sound speed from temperature and salinity, bathymetry from elevation
tiles, sources and receivers by latitude and longitude."""

import math
import re
import warnings

import numpy as np
import pytest

import kelpkit

pyproj = pytest.importorskip("pyproj")
pytest.importorskip("gsw")

ORIGIN = (45.0, -30.0)
GEOD = pyproj.Geod(ellps="WGS84")


def test_teos10_at_its_check_point():
    # Practical salinity 35, 0 degC in situ, 0 dbar: 1449.0 m/s.
    c = kelpkit.teos10_sound_speed(0.0, 35.0, 0.0, *ORIGIN)
    assert abs(c - 1449.0) < 0.05


def test_mackenzie_at_its_published_check_value():
    assert abs(kelpkit.mackenzie_sound_speed(25.0, 35.0, 1000.0) - 1550.744) < 1e-3


@pytest.mark.parametrize("method", ["teos10", "mackenzie"])
def test_a_profile_is_extended_to_the_bottom_with_its_deepest_water(method):
    depth = [0.0, 100.0, 500.0, 1000.0]
    t, s = [15.0, 12.0, 6.0, 4.0], [35.5, 35.3, 35.0, 34.9]
    with pytest.warns(UserWarning, match=r"by up to 2000 m \(the shallowest ends at 1000 m, "
                                         r"the grid at 3000 m\)"):
        rec = kelpkit.sound_speed_from_ts(t, s, depth, *ORIGIN, origin=ORIGIN,
                                          x_m=[-1e3, 1e3], y_m=[-1e3, 1e3],
                                          bottom_depth_m=3000.0, method=method)
    assert rec["z_ssp_m"] == depth + [3000.0]
    c = np.reshape(rec["c_m_s"], (2, 2, 5))[0, 0]
    speed = (kelpkit.teos10_sound_speed(4.0, 34.9, 3000.0, *ORIGIN) if method == "teos10"
             else kelpkit.mackenzie_sound_speed(4.0, 34.9, 3000.0))
    assert c[-1] == pytest.approx(speed, abs=1e-3)
    # Below 1000 m only the pressure acts: about 1.7 m/s per 100 m.
    assert 32.0 < c[-1] - c[-2] < 36.0


def test_a_climatology_fills_the_sea_floor_and_land_and_is_sampled_in_place():
    depth = [0.0, 500.0, 1000.0]
    lat, lon = [44.0, 46.0], [-31.0, -29.0]
    t = np.array([[[10.0, 12.0], [14.0, np.nan]],
                  [[6.0, 7.0], [8.0, np.nan]],
                  [[4.0, np.nan], [5.0, np.nan]]])  # one column ends at 500 m, one is land
    s = np.where(np.isfinite(t), 35.0, np.nan)
    with pytest.warns(UserWarning, match="by up to 500 m"):
        rec = kelpkit.sound_speed_from_ts(t, s, depth, lat, lon, origin=ORIGIN,
                                          x_m=[-50e3, 0.0, 50e3], y_m=[-50e3, 0.0, 50e3],
                                          method="mackenzie")
    c = np.reshape(rec["c_m_s"], (3, 3, 3))
    # At the origin, the centre of the four columns: the mean of their surface speeds, the
    # land column taking the mean of the other three.
    surface = kelpkit.mackenzie_sound_speed(np.array([10.0, 12.0, 14.0, 12.0]), 35.0, 0.0)
    assert c[1, 1, 0] == pytest.approx(surface.mean(), abs=1e-3)
    assert np.all(np.isfinite(c))


def tile(lat, lon):
    """Elevation linear in latitude and longitude: bilinear sampling reproduces it exactly, so
    any error left is the projection's. Depth 12000 m at the origin, deepening by 100 m per
    0.001 deg north and 70 m per 0.001 deg east (about 0.9 m per metre either way)."""
    return -(12000.0 + 1e5 * (lat - ORIGIN[0]) + 7e4 * (lon - ORIGIN[1]))


@pytest.mark.parametrize("north_to_south", [False, True])
def test_an_elevation_tile_projects_to_the_right_distances_within_a_metre(north_to_south):
    xr = pytest.importorskip("xarray")
    lat = np.linspace(44.95, 45.05, 41)
    lon = np.linspace(-30.07, -29.93, 57)
    if north_to_south:
        lat = lat[::-1]
    elev = xr.DataArray(tile(lat[:, None], lon[None, :]), coords={"lat": lat, "lon": lon},
                        dims=("lat", "lon"))
    rec = kelpkit.bathymetry_from_elevation(elev, origin=ORIGIN, spacing_m=500.0)
    x, y = np.array(rec["x_bty_m"]), np.array(rec["y_bty_m"])
    depth = np.reshape(rec["z_bty_m"], (x.size, y.size))
    assert x[0] < -4e3 and x[-1] > 4e3 and y[0] < -5e3 and y[-1] > 5e3
    # The point at a known distance and bearing from the origin, on the ellipsoid.
    xx, yy = np.meshgrid(x, y, indexing="ij")
    lon_t, lat_t, _ = GEOD.fwd(np.full(xx.size, ORIGIN[1]), np.full(xx.size, ORIGIN[0]),
                               np.degrees(np.arctan2(xx, yy)).ravel(), np.hypot(xx, yy).ravel())
    error_m = np.abs(depth.ravel() - (-tile(lat_t, lon_t))) / 0.89
    assert np.max(error_m) < 1.0


def test_land_is_raised_to_the_minimum_depth_with_a_count():
    lat = np.linspace(44.9, 45.1, 21)
    lon = np.linspace(-30.1, -29.9, 21)
    elev = np.where(lat[:, None] > 45.05, 30.0, -200.0) + 0.0 * lon[None, :]
    with pytest.warns(UserWarning) as caught:
        rec = kelpkit.bathymetry_from_elevation(elev, lat, lon, ORIGIN, spacing_m=1000.0,
                                                min_depth_m=2.0)
    text = str(caught[0].message)
    n = int(re.search(r": (\d+) of \d+ nodes are land", text).group(1))
    assert "raised to 2 m" in text
    assert sum(d == 2.0 for d in rec["z_bty_m"]) == n > 0
    assert min(rec["z_bty_m"]) == 2.0 and max(rec["z_bty_m"]) == pytest.approx(200.0)


def test_sources_and_receivers_by_latitude_and_longitude_keep_range_and_bearing():
    src = kelpkit.source_at(*ORIGIN, 50.0, ORIGIN, [100.0], [0.0], [0.0])
    assert src["position"] == [0.0, 0.0, 50.0]
    lat, lon = [45.3, 44.8, 45.0], [-30.0, -29.6, -30.9]
    rec = kelpkit.receivers_at(lat, lon, 20.0, ORIGIN)
    bearing, _, dist = GEOD.inv([ORIGIN[1]] * 3, [ORIGIN[0]] * 3, lon, lat)
    x, y = np.array(rec["x_rcvr_m"]), np.array(rec["y_rcvr_m"])
    assert np.allclose(np.hypot(x, y), dist, atol=1e-3)
    assert np.allclose(np.degrees(np.arctan2(x, y)), bearing, atol=1e-6)
    back = kelpkit.latlon_from_xy(x, y, ORIGIN)
    assert np.allclose(back, (lat, lon), atol=1e-9)
    assert rec["z_rcvr_m"] == [20.0] * 3
