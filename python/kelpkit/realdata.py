"""Real ocean data in: bathymetry from elevation tiles, sound speed from temperature and
salinity, and sources and receivers placed by latitude and longitude.

kelp works in metres on a flat (x, y) plane: x east, y north, z depth positive down. Geographic
positions are mapped onto that plane with the azimuthal equidistant projection about an origin
(pyproj, on the WGS 84 ellipsoid): distances and bearings from the origin are exact, so a
source at the origin sees every receiver at its true range and bearing, and kelp's azimuth (from
north towards east) is the true bearing there. Away from the origin the plane stretches
sideways, by about 0.1 % at 100 km.

Elevation tiles follow the GEBCO / ETOPO convention: elevation in metres, negative below sea
level, indexed (latitude, longitude). Sound speed is computed with TEOS-10 (gsw), the
oceanographic standard, or with Mackenzie's (1981) nine-term formula.
"""

import math
import warnings

import numpy as np

from . import builders as b

#: Shallowest bottom kept where the elevation is land or nearly so, metres: kelp needs water
#: between the surface and the floor for a ray to travel.
DEFAULT_MIN_DEPTH_M = 1.0

_LAT_NAMES = ("lat", "latitude", "y")
_LON_NAMES = ("lon", "longitude", "x")


def _transformer(origin):
    import pyproj

    lat0, lon0 = _origin(origin)
    aeqd = pyproj.CRS.from_proj4(f"+proj=aeqd +lat_0={lat0!r} +lon_0={lon0!r} +datum=WGS84 "
                                 f"+units=m +no_defs")
    return pyproj.Transformer.from_crs("EPSG:4326", aeqd, always_xy=True)


def _origin(origin):
    try:
        lat0, lon0 = (float(v) for v in origin)
    except (TypeError, ValueError):
        raise TypeError(f"origin must be (latitude, longitude) in degrees, got {origin!r}") from None
    if not (-90.0 <= lat0 <= 90.0 and math.isfinite(lon0)):
        raise ValueError(f"origin must be (latitude, longitude) in degrees, got {origin!r}")
    return lat0, lon0


def xy_from_latlon(lat, lon, origin):
    """Project latitude and longitude onto kelp's plane about `origin`.

    Parameters
    ----------
    lat, lon : array_like
        Degrees (north, east), broadcast together.
    origin : (float, float)
        (latitude, longitude) of the plane's origin, degrees.

    Returns
    -------
    x_m, y_m : numpy.ndarray
        Metres east and north of the origin (azimuthal equidistant, WGS 84).
    """
    lat, lon = np.broadcast_arrays(np.asarray(lat, dtype=float), np.asarray(lon, dtype=float))
    x, y = _transformer(origin).transform(lon, lat)
    return np.asarray(x, dtype=float), np.asarray(y, dtype=float)


def latlon_from_xy(x_m, y_m, origin):
    """The inverse of `xy_from_latlon`: latitude and longitude (degrees) of plane points."""
    x, y = np.broadcast_arrays(np.asarray(x_m, dtype=float), np.asarray(y_m, dtype=float))
    lon, lat = _transformer(origin).transform(x, y, direction="INVERSE")
    return np.asarray(lat, dtype=float), np.asarray(lon, dtype=float)


def _coord(da, names, func, what):
    for name in names:
        if name in da.coords:
            return np.asarray(da.coords[name].values, dtype=float), name
    raise ValueError(f"{func}: the DataArray has no {what} coordinate (looked for "
                     f"{', '.join(names)})")


def _latlon_grid(func, values, lat, lon):
    """(values as (nlat, nlon) with both axes increasing, lat, lon) from arrays or an xarray
    DataArray (latitude first, as GEBCO and ETOPO store it)."""
    if hasattr(values, "dims") and hasattr(values, "coords"):
        lat, lat_name = _coord(values, _LAT_NAMES, func, "latitude")
        lon, lon_name = _coord(values, _LON_NAMES, func, "longitude")
        values = values.transpose(lat_name, lon_name).values
    if lat is None or lon is None:
        raise TypeError(f"{func}: give lat and lon, or a DataArray with their coordinates")
    lat = b.as_vector(func, "lat", lat, min_len=2)
    lon = b.as_vector(func, "lon", lon, min_len=2)
    v = np.asarray(values, dtype=float)
    if v.shape != (lat.size, lon.size):
        raise ValueError(f"{func}: values must have shape (len(lat), len(lon)) = "
                         f"{(lat.size, lon.size)} (latitude first), got {v.shape}")
    # Some tiles run north to south; the grid is read in increasing order on both axes.
    if np.all(np.diff(lat) < 0):
        lat, v = lat[::-1], v[::-1, :]
    if np.all(np.diff(lon) < 0):
        lon, v = lon[::-1], v[:, ::-1]
    for name, a in (("lat", lat), ("lon", lon)):
        if not np.all(np.diff(a) > 0):
            raise ValueError(f"{func}: {name} must be strictly monotonic")
    return v, lat, lon


def _bilinear(v, lat, lon, plat, plon):
    """Bilinear interpolation of v (nlat, nlon) at points, held at the edge outside."""
    plat = np.clip(plat, lat[0], lat[-1])
    plon = np.clip(plon, lon[0], lon[-1])
    i = np.clip(np.searchsorted(lat, plat, side="right") - 1, 0, lat.size - 2)
    j = np.clip(np.searchsorted(lon, plon, side="right") - 1, 0, lon.size - 2)
    t = (plat - lat[i]) / (lat[i + 1] - lat[i])
    u = (plon - lon[j]) / (lon[j + 1] - lon[j])
    return ((1 - t) * (1 - u) * v[i, j] + (1 - t) * u * v[i, j + 1]
            + t * (1 - u) * v[i + 1, j] + t * u * v[i + 1, j + 1])


def _inscribed_extent(lat, lon, origin):
    """x and y limits (m) of the largest axis-aligned rectangle of the plane inside the tile:
    meridians converge and parallels curve on the plane, so each limit is the innermost point
    of its edge."""
    edge_lat = np.linspace(lat[0], lat[-1], 64)
    edge_lon = np.linspace(lon[0], lon[-1], 64)
    west, _ = xy_from_latlon(edge_lat, lon[0], origin)
    east, _ = xy_from_latlon(edge_lat, lon[-1], origin)
    _, south = xy_from_latlon(lat[0], edge_lon, origin)
    _, north = xy_from_latlon(lat[-1], edge_lon, origin)
    return (west.max(), east.min()), (south.max(), north.min())


def bathymetry_from_elevation(elevation, lat=None, lon=None, origin=None, *, spacing_m=None,
                              min_depth_m=DEFAULT_MIN_DEPTH_M, bottom=None,
                              water_density_g_cm3=None):
    """kelp's bathymetry record from an elevation tile (GEBCO / ETOPO convention).

    The tile is projected about `origin` (azimuthal equidistant), sampled bilinearly at the
    nodes of an even (x, y) grid in metres that lies inside the tile, and turned into depth
    = -elevation. Land and water shallower than `min_depth_m` are raised to `min_depth_m`,
    with a warning that says how many nodes and by how much.

    Parameters
    ----------
    elevation : array_like or xarray.DataArray
        Elevation in metres, negative below sea level, shape (len(lat), len(lon)): latitude
        first. A DataArray brings its own coordinates (lat/latitude, lon/longitude).
    lat, lon : array_like, optional
        The tile's axes, degrees north and east (either order; not needed with a DataArray).
    origin : (float, float), optional
        (latitude, longitude) of the plane's origin; by default the tile's centre. Use the same
        origin for the sound speed, the source and the receivers.
    spacing_m : float or (float, float), optional
        Grid spacing in x and y; by default the tile's own spacing at the origin (the finer of
        its north-south and east-west spacings), so that no detail is lost.
    min_depth_m : float
        Shallowest depth kept (positive).
    bottom, water_density_g_cm3 :
        As for `kelpkit.bathymetry`.

    Returns
    -------
    dict
        The bathymetry record.
    """
    func = "bathymetry_from_elevation"
    v, lat, lon = _latlon_grid(func, elevation, lat, lon)
    if not np.all(np.isfinite(v)):
        raise ValueError(f"{func}: elevation must be finite (fill missing values first)")
    if origin is None:
        origin = (0.5 * (lat[0] + lat[-1]), 0.5 * (lon[0] + lon[-1]))
    lat0, lon0 = _origin(origin)
    min_depth = b._positive(func, "min_depth_m", min_depth_m)
    if spacing_m is None:
        dlat, dlon = np.min(np.diff(lat)), np.min(np.diff(lon))
        x1, y1 = xy_from_latlon(lat0 + dlat, lon0 + dlon, origin)
        spacing_m = min(abs(float(x1)), abs(float(y1)))
    dx, dy = np.broadcast_to(np.asarray(spacing_m, dtype=float), (2,))
    (x0, x1), (y0, y1) = _inscribed_extent(lat, lon, origin)
    if not (x0 < 0.0 < x1 and y0 < 0.0 < y1):
        raise ValueError(f"{func}: origin {origin!r} must lie inside the tile")
    # Nodes on whole multiples of the spacing, so the origin is a node.
    x = dx * np.arange(math.ceil(x0 / dx), math.floor(x1 / dx) + 1)
    y = dy * np.arange(math.ceil(y0 / dy), math.floor(y1 / dy) + 1)
    if x.size < 2 or y.size < 2:
        raise ValueError(f"{func}: the spacing {spacing_m!r} m leaves fewer than two nodes "
                         f"across the tile ({x1 - x0:.0f} m by {y1 - y0:.0f} m)")
    plat, plon = latlon_from_xy(*np.meshgrid(x, y, indexing="ij"), origin)
    depth = -_bilinear(v, lat, lon, plat, plon)
    shallow = depth < min_depth
    if np.any(shallow):
        warnings.warn(f"kelpkit: {func}: {int(shallow.sum())} of {depth.size} nodes are land or "
                      f"shallower than {min_depth:g} m; their depth is raised to {min_depth:g} m "
                      f"(by up to {min_depth - depth.min():.1f} m)", stacklevel=2)
        depth = np.maximum(depth, min_depth)
    return b.bathymetry(x, y, depth, bottom=bottom, water_density_g_cm3=water_density_g_cm3)


def mackenzie_sound_speed(temperature_c, salinity_psu, depth_m):
    """Sound speed (m/s) by Mackenzie's (1981) nine-term formula.

    Valid for 2-30 degC, 25-40 and 0-8000 m; T in degC (in situ), S practical salinity, D
    depth in metres. Mackenzie's check value: 1550.744 m/s at 25 degC, 35, 1000 m.
    """
    t = np.asarray(temperature_c, dtype=float)
    s = np.asarray(salinity_psu, dtype=float) - 35.0
    d = np.asarray(depth_m, dtype=float)
    return (1448.96 + 4.591 * t - 5.304e-2 * t ** 2 + 2.374e-4 * t ** 3 + 1.340 * s
            + 1.630e-2 * d + 1.675e-7 * d ** 2 - 1.025e-2 * t * s - 7.139e-13 * t * d ** 3)


def teos10_sound_speed(temperature_c, salinity_psu, depth_m, lat, lon):
    """Sound speed (m/s) by TEOS-10 through gsw: depth to sea pressure at the latitude,
    practical to absolute salinity at the position, in-situ to conservative temperature,
    then the 75-term sound speed. Arguments broadcast together."""
    import gsw

    t, sp, d, la, lo = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in
                                             (temperature_c, salinity_psu, depth_m, lat, lon)))
    p = gsw.p_from_z(-d, la)
    sa = gsw.SA_from_SP(sp, p, lo, la)
    ct = gsw.CT_from_t(sa, t, p)
    return np.asarray(gsw.sound_speed(sa, ct, p), dtype=float)


def _fill_below(a):
    """Each column (axis 0 is depth) with every missing level filled from the level above, so
    that below its deepest value a column keeps that value; columns without any value stay
    missing."""
    a = np.array(a, dtype=float)
    for k in range(1, a.shape[0]):
        a[k] = np.where(np.isfinite(a[k]), a[k], a[k - 1])
    return a


def _deepest_data_m(t, s, z):
    """The shallowest of the columns' deepest levels holding both values (NaN for none)."""
    ok = np.isfinite(t) & np.isfinite(s)
    has = ok.any(axis=0)
    if not np.any(has):
        return math.nan
    last = z.size - 1 - np.argmax(ok[::-1], axis=0)
    return float(np.min(z[last[has]]))


def sound_speed_from_ts(temperature, salinity, depth_m, lat, lon, *, origin, x_m, y_m,
                        bottom_depth_m=None, method="teos10"):
    """kelp's sound-speed record from temperature and salinity.

    A single profile (T and S of shape (nz,) at one `lat`, `lon`) gives a horizontally uniform
    field; a climatology (World Ocean Atlas style: shape (nz, nlat, nlon) on the axes `lat`,
    `lon`) is computed column by column and sampled bilinearly at every (x, y) node projected
    back to latitude and longitude about `origin`.

    Below its deepest value each column keeps its deepest temperature and salinity, and the
    speed there follows from the pressure alone; the depth axis is extended to
    `bottom_depth_m` with one more node when the data stop above it, with a warning saying how
    far. Columns with no data at all (land) take the mean of the others at each depth.

    Parameters
    ----------
    temperature, salinity : array_like
        In-situ temperature (degC) and practical salinity, NaN where there is no water.
    depth_m : array_like
        The depth levels, metres, increasing.
    lat, lon : float or array_like
        The profile's position, or the climatology's axes, degrees.
    origin : (float, float)
        (latitude, longitude) of the plane's origin, as for the bathymetry.
    x_m, y_m : array_like
        kelp's horizontal grid, metres east and north of the origin (at least two nodes).
    bottom_depth_m : float, optional
        The deepest bottom of the run (``max(cfg["bathymetry"]["z_bty_m"])``).
    method : {"teos10", "mackenzie"}
        TEOS-10 (gsw) or Mackenzie (1981).

    Returns
    -------
    dict
        The sound-speed record.
    """
    func = "sound_speed_from_ts"
    if method not in ("teos10", "mackenzie"):
        raise ValueError(f"{func}: method must be 'teos10' or 'mackenzie', got {method!r}")
    z = b.as_vector(func, "depth_m", depth_m, min_len=2, increasing=True)
    t = np.asarray(temperature, dtype=float)
    s = np.asarray(salinity, dtype=float)
    if t.shape != s.shape or t.ndim not in (1, 3) or t.shape[0] != z.size:
        raise ValueError(f"{func}: temperature and salinity must both have shape (nz,) or "
                         f"(nz, nlat, nlon) with nz = len(depth_m) = {z.size}, got {t.shape} "
                         f"and {s.shape}")
    profile = t.ndim == 1
    if profile:
        la, lo = float(lat), float(lon)
        t, s = t[:, None, None], s[:, None, None]
    else:
        la = b.as_vector(func, "lat", lat, min_len=2, increasing=True)
        lo = b.as_vector(func, "lon", lon, min_len=2, increasing=True)
        if t.shape[1:] != (la.size, lo.size):
            raise ValueError(f"{func}: a climatology must have shape (nz, len(lat), len(lon)) "
                             f"= {(z.size, la.size, lo.size)}, got {t.shape}")
    deepest = _deepest_data_m(t, s, z)
    t, s = _fill_below(t), _fill_below(s)
    land = ~np.isfinite(t[0]) | ~np.isfinite(s[0])
    if np.all(land):
        raise ValueError(f"{func}: no column has temperature and salinity at the surface")
    if np.any(land):
        t[:, land] = np.nanmean(t[:, ~land], axis=1)[:, None]
        s[:, land] = np.nanmean(s[:, ~land], axis=1)[:, None]
    if bottom_depth_m is not None and bottom_depth_m > z[-1]:
        z = np.append(z, float(bottom_depth_m))
        t = np.concatenate([t, t[-1:]], axis=0)
        s = np.concatenate([s, s[-1:]], axis=0)
    if deepest < z[-1]:
        warnings.warn(f"kelpkit: {func}: profiles extended below their deepest value with its "
                      f"temperature and salinity, by up to {z[-1] - deepest:.0f} m (the "
                      f"shallowest ends at {deepest:.0f} m, the grid at {z[-1]:.0f} m)",
                      stacklevel=2)

    zz = z[:, None, None]
    if profile:
        c = (teos10_sound_speed(t, s, zz, la, lo) if method == "teos10"
             else mackenzie_sound_speed(t, s, zz))[:, 0, 0]
        return b.sound_speed_profile(z, c, x_m=x_m, y_m=y_m)
    lat2, lon2 = np.meshgrid(la, lo, indexing="ij")
    c = (teos10_sound_speed(t, s, zz, lat2[None], lon2[None]) if method == "teos10"
         else mackenzie_sound_speed(t, s, zz))
    x = b.as_vector(func, "x_m", x_m, min_len=2, increasing=True)
    y = b.as_vector(func, "y_m", y_m, min_len=2, increasing=True)
    plat, plon = latlon_from_xy(*np.meshgrid(x, y, indexing="ij"), origin)
    field = np.stack([_bilinear(ck, la, lo, plat, plon) for ck in c], axis=-1)
    return b.sound_speed_field(x, y, z, field)


def source_at(lat, lon, depth_m, origin, frequencies_hz, elevations_deg, azimuths_deg):
    """`kelpkit.source` at a latitude and longitude; azimuths are bearings from north there.
    `kelpkit.check_fan` tells whether the fan is fine enough."""
    x, y = xy_from_latlon(lat, lon, origin)
    return b.source((float(x), float(y), depth_m), frequencies_hz, elevations_deg,
                    azimuths_deg)


def receivers_at(lat, lon, depth_m, origin):
    """`kelpkit.array_receivers` at points given by latitude, longitude and depth (broadcast
    together)."""
    lat, lon, depth = np.broadcast_arrays(*(np.asarray(a, dtype=float).ravel()
                                           for a in (lat, lon, depth_m)))
    x, y = xy_from_latlon(lat, lon, origin)
    return b.array_receivers(x, y, depth)
