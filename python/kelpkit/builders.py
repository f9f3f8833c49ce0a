"""Builders for the pieces of a kelp configuration.

Every builder returns plain dicts, lists and floats, so a configuration can be printed, edited and
saved as JSON. Coordinates are metres with x east, y north and z the depth, positive downwards;
angles are degrees; a bearing (and kelp's launch azimuth) is measured from north (+y) towards east
(+x).

Receiver layouts that kelp does not know itself (a vertical slice, a polar set) travel in the
receivers record under the extra key ``"layout"``; `to_kelp_config` removes it (and the top-level
``"kelpkit"`` notes) before the configuration goes to `kelp.run_simulation`.
"""

import copy
import math
import numbers

import numpy as np

#: Keys that kelpkit adds to a configuration and that kelp itself does not read.
KELPKIT_KEY = "kelpkit"
LAYOUT_KEY = "layout"

#: Midpoint steps of 50 m keep the Munk channel within about 0.1 dB of a 25 m reference at
#: 100 km (Euler at 100 m is off by about 1 dB); finer steps only cost time.
# The smallest bottom-loss cut-off (of 10, 15, 20, 30, 46 and 60 dB) that changes none of
# the ready environments (Munk, Pekeris, ideal wedge, seamount) by 0.1 dB median or 0.5 dB at
# the 90th percentile; 15 dB moved Munk and Pekeris by 0.13 dB median.
DEFAULT_MAX_BOTTOM_LOSS_DB = 20.0
#: The most arrivals per receiver kelp accepts for beam.max_arrivals.
MAX_ARRIVALS = 65535
DEFAULT_STEP_M = 50.0


def _where(func, arg):
    return f"{func}: {arg}"


def as_vector(func, name, values, *, min_len=1, increasing=False):
    """A 1-D float64 array from `values`, checked; errors name the function and the argument."""
    try:
        a = np.asarray(values, dtype=float)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{_where(func, name)} must be a sequence of numbers ({exc})") from None
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1:
        raise ValueError(f"{_where(func, name)} must be one-dimensional, got shape {a.shape}")
    if a.size < min_len:
        raise ValueError(f"{_where(func, name)} needs at least {min_len} value(s), got {a.size}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{_where(func, name)} must be finite")
    if increasing and a.size > 1 and not np.all(np.diff(a) > 0):
        raise ValueError(f"{_where(func, name)} must be strictly increasing")
    return a


def _grid_axis(func, name, values):
    """An axis of the sound-speed or bathymetry grid: at least two nodes, strictly increasing.

    kelp finds a ray's cell by searching the axis and refuses an axis that is not strictly
    increasing (`require_strictly_increasing` in src/ssp/ssp.cpp and src/bty/bty.cpp). It reads
    the nodes in single precision, so two nodes that round to the same float32 are one node to
    it: the check is made on the float32 values. Uneven spacing is fine: the finite-difference
    derivatives of the sound speed take each node's own neighbours' spacing.
    """
    a = as_vector(func, name, values, min_len=2, increasing=True)
    if not np.all(np.diff(a.astype(np.float32)) > 0):
        raise ValueError(f"{_where(func, name)} must be strictly increasing in single precision "
                         f"(kelp reads grid axes as float32; two nodes round to the same value)")
    return a


def _positive(func, name, value, *, allow_zero=False):
    if not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise TypeError(f"{_where(func, name)} must be a finite number, got {value!r}")
    if value < 0 or (value == 0 and not allow_zero):
        raise ValueError(f"{_where(func, name)} must be {'>= 0' if allow_zero else 'positive'}, "
                         f"got {value!r}")
    return float(value)


def _floats(a):
    return [float(v) for v in np.asarray(a, dtype=float).ravel()]


def to_plain(obj):
    """A copy of `obj` that `json.dumps` (and therefore kelp) accepts.

    Parameters
    ----------
    obj : object
        Nested dicts, lists and tuples, possibly holding NumPy arrays and scalars.

    Returns
    -------
    object
        The same structure with arrays as lists, NumPy scalars as floats, ints and bools, and
        tuples as lists.
    """
    if isinstance(obj, dict):
        return {str(k): to_plain(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [to_plain(v) for v in obj]
    if isinstance(obj, np.ndarray):
        return to_plain(obj.tolist())
    if isinstance(obj, np.bool_):
        return bool(obj)
    if isinstance(obj, np.integer):
        return int(obj)
    if isinstance(obj, np.floating):
        return float(obj)
    return obj


def to_kelp_config(cfg):
    """The configuration exactly as `kelp.run_simulation` should receive it.

    Parameters
    ----------
    cfg : dict
        A configuration, possibly with kelpkit's own notes (``cfg["kelpkit"]`` and
        ``cfg["receivers"]["layout"]``) and NumPy values. It is not modified.

    Returns
    -------
    dict
        A new configuration without those notes and with plain Python values.
    """
    if not isinstance(cfg, dict):
        raise TypeError(f"cfg must be a dict, got {type(cfg).__name__}")
    out = {k: v for k, v in cfg.items() if k != KELPKIT_KEY}
    receivers = out.get("receivers")
    if isinstance(receivers, dict) and LAYOUT_KEY in receivers:
        out["receivers"] = {k: v for k, v in receivers.items() if k != LAYOUT_KEY}
    return to_plain(out)


# --------------------------------------------------------------------------- sound speed


def evenly_spaced(start, stop, *, count=None, spacing=None, include_stop=True,
                  name="axis"):
    """Evenly spaced values from `start` towards `stop`.

    Parameters
    ----------
    start, stop : float
        Limits. `stop` is included when `include_stop` is true and the spacing reaches it
        (to within a millionth of a step).
    count : int, optional
        Number of values. Give exactly one of `count` and `spacing`.
    spacing : float, optional
        Distance between neighbouring values (positive; the direction follows stop - start).
    include_stop : bool
        False leaves out `stop` itself, as a full circle of bearings needs.
    name : str
        Name used in error messages.

    Returns
    -------
    numpy.ndarray
    """
    func = "evenly_spaced"
    if (count is None) == (spacing is None):
        raise ValueError(f"{func}: give exactly one of count and spacing for {name}")
    start, stop = float(start), float(stop)
    if not (math.isfinite(start) and math.isfinite(stop)):
        raise ValueError(f"{func}: the limits of {name} must be finite")
    if count is not None:
        if isinstance(count, bool) or not isinstance(count, numbers.Integral) or count < 1:
            raise ValueError(f"{func}: count of {name} must be a positive integer, got {count!r}")
        if count == 1:
            return np.array([start])
        return np.linspace(start, stop, int(count), endpoint=include_stop)
    spacing = _positive(func, f"spacing of {name}", spacing)
    span = abs(stop - start)
    n = int(math.floor(span / spacing + 1e-6))
    direction = 1.0 if stop >= start else -1.0
    values = start + direction * spacing * np.arange(n + 1)
    if not include_stop and n > 0 and abs(values[-1] - stop) <= 1e-6 * spacing:
        values = values[:-1]
    return values


def sound_speed_profile(depth_m, c_m_s, *, x_m=(-200e3, 200e3), y_m=(-200e3, 200e3),
                        dz_m=None):
    """Sound-speed record of a horizontally uniform ocean: one depth profile on every node of a
    horizontal grid.

    Parameters
    ----------
    depth_m : array_like
        Depths of the profile, metres, strictly increasing, at least two.
    c_m_s : array_like or callable
        Sound speeds at those depths (m/s), or a function of depth returning them.
    x_m, y_m : array_like
        Horizontal grid nodes (at least two each, strictly increasing). kelp holds the speed
        constant beyond the grid, so two nodes bracketing the region are enough for a uniform
        profile.
    dz_m : float, optional
        Resample the profile linearly onto this even depth spacing. By default the profile is
        used on its own depths, evenly spaced or not: kelp's depth derivatives take each node's
        own spacing, so nodes may be dense where the profile bends and sparse where it is
        straight.

    Returns
    -------
    dict
        ``{"x_ssp_m", "y_ssp_m", "z_ssp_m", "c_m_s"}``.
    """
    func = "sound_speed_profile"
    z = _grid_axis(func, "depth_m", depth_m)
    c = np.asarray(c_m_s(z) if callable(c_m_s) else c_m_s, dtype=float)
    if c.shape != z.shape:
        raise ValueError(f"{func}: c_m_s must have one value per depth (got {c.size} speeds "
                         f"for {z.size} depths)")
    if not np.all(np.isfinite(c)) or np.any(c <= 0):
        raise ValueError(f"{func}: c_m_s must be positive and finite")
    if dz_m is not None:
        dz = _positive(func, "dz_m", dz_m)
        n = int(math.ceil((z[-1] - z[0]) / dz - 1e-9))
        zz = z[0] + dz * np.arange(n + 1)
        c = np.interp(zz, z, c)
        z = zz
    x = _grid_axis(func, "x_m", x_m)
    y = _grid_axis(func, "y_m", y_m)
    field = np.broadcast_to(c, (x.size, y.size, z.size))
    return {"x_ssp_m": _floats(x), "y_ssp_m": _floats(y), "z_ssp_m": _floats(z),
            "c_m_s": _floats(field)}


def sound_speed_field(x_m, y_m, z_m, c_m_s):
    """Sound-speed record from a full three-dimensional field.

    Parameters
    ----------
    x_m, y_m, z_m : array_like
        Grid axes, metres; each strictly increasing, at least two nodes. The spacing may vary
        along an axis: kelp differentiates the field with each node's own spacing.
    c_m_s : array_like or callable
        Speeds of shape (len(x_m), len(y_m), len(z_m)), m/s, or a function ``c(X, Y, Z)`` of
        three broadcast coordinate arrays (``indexing="ij"``).

    Returns
    -------
    dict
        ``{"x_ssp_m", "y_ssp_m", "z_ssp_m", "c_m_s"}``, speeds flattened with depth fastest.
    """
    func = "sound_speed_field"
    x = _grid_axis(func, "x_m", x_m)
    y = _grid_axis(func, "y_m", y_m)
    z = _grid_axis(func, "z_m", z_m)
    if callable(c_m_s):
        c = np.asarray(c_m_s(*np.meshgrid(x, y, z, indexing="ij")), dtype=float)
        c = np.broadcast_to(c, (x.size, y.size, z.size))
    else:
        c = np.asarray(c_m_s, dtype=float)
    if c.shape != (x.size, y.size, z.size):
        raise ValueError(f"{func}: c_m_s must have shape (len(x_m), len(y_m), len(z_m)) = "
                         f"{(x.size, y.size, z.size)}, got {c.shape}")
    if not np.all(np.isfinite(c)) or np.any(c <= 0):
        raise ValueError(f"{func}: c_m_s must be positive and finite")
    return {"x_ssp_m": _floats(x), "y_ssp_m": _floats(y), "z_ssp_m": _floats(z),
            "c_m_s": _floats(c)}


def munk_profile(depth_m, *, axis_depth_m=1300.0, axis_speed_m_s=1500.0, epsilon=0.00737):
    """Munk's canonical deep-water sound-speed profile.

    c(z) = c1 (1 + eps (eta - 1 + exp(-eta))) with eta = 2 (z - z1) / z1.

    Parameters
    ----------
    depth_m : array_like
        Depths z, metres.
    axis_depth_m, axis_speed_m_s : float
        Depth z1 and speed c1 of the channel axis.
    epsilon : float
        Strength of the channel.

    Returns
    -------
    numpy.ndarray
        Sound speed, m/s.
    """
    z = np.asarray(depth_m, dtype=float)
    eta = 2.0 * (z - axis_depth_m) / axis_depth_m
    return axis_speed_m_s * (1.0 + epsilon * (eta - 1.0 + np.exp(-eta)))


# --------------------------------------------------------------------------- bottom


def rigid_bottom():
    """A perfectly reflecting (rigid) sea floor.

    Returns
    -------
    dict
        ``{"model": "rigid"}``, for `bathymetry`'s `bottom`.
    """
    return {"model": "rigid"}


def fluid_bottom(speed_m_s, density_g_cm3, attenuation_db_per_wavelength=None):
    """A fluid half-space sea floor (sand, silt, mud).

    Parameters
    ----------
    speed_m_s : float
        Compressional speed of the sediment, m/s.
    density_g_cm3 : float
        Its density, g/cm^3.
    attenuation_db_per_wavelength : float, optional
        Compressional attenuation, dB per wavelength (>= 0).

    Returns
    -------
    dict
        A bottom record for `bathymetry`'s `bottom`.
    """
    func = "fluid_bottom"
    out = {"model": "acoustic",
           "compressional_speed_m_s": _positive(func, "speed_m_s", speed_m_s),
           "density_g_cm3": _positive(func, "density_g_cm3", density_g_cm3)}
    if attenuation_db_per_wavelength is not None:
        out["compressional_attenuation_db_per_wavelength"] = _positive(
            func, "attenuation_db_per_wavelength", attenuation_db_per_wavelength, allow_zero=True)
    return out


def elastic_bottom(compressional_speed_m_s, shear_speed_m_s, density_g_cm3, *,
                   compressional_attenuation_db_per_wavelength=None,
                   shear_attenuation_db_per_wavelength=None):
    """An elastic half-space sea floor (rock).

    Parameters
    ----------
    compressional_speed_m_s, shear_speed_m_s : float
        Wave speeds of the rock, m/s.
    density_g_cm3 : float
        Its density, g/cm^3.
    compressional_attenuation_db_per_wavelength, shear_attenuation_db_per_wavelength : float
        Optional attenuations, dB per wavelength (>= 0).

    Returns
    -------
    dict
        A bottom record for `bathymetry`'s `bottom`.
    """
    func = "elastic_bottom"
    out = {"model": "elastic",
           "compressional_speed_m_s": _positive(func, "compressional_speed_m_s",
                                                compressional_speed_m_s),
           "shear_speed_m_s": _positive(func, "shear_speed_m_s", shear_speed_m_s),
           "density_g_cm3": _positive(func, "density_g_cm3", density_g_cm3)}
    for key, value in (("compressional_attenuation_db_per_wavelength",
                        compressional_attenuation_db_per_wavelength),
                       ("shear_attenuation_db_per_wavelength",
                        shear_attenuation_db_per_wavelength)):
        if value is not None:
            out[key] = _positive(func, key, value, allow_zero=True)
    return out


def bathymetry(x_m, y_m, depth_m, *, bottom=None, water_density_g_cm3=None):
    """Bathymetry record: bottom depth on a horizontal grid and the bottom's acoustic model.

    Parameters
    ----------
    x_m, y_m : array_like
        Grid axes, metres, strictly increasing, at least two nodes each.
    depth_m : float, array_like or callable
        Bottom depth (positive, metres): one number for a flat floor, an array of shape
        (len(x_m), len(y_m)), or a function ``depth(X, Y)`` of two coordinate arrays
        (``indexing="ij"``).
    bottom : dict, optional
        From `rigid_bottom`, `fluid_bottom` or `elastic_bottom`; rigid when left out.
    water_density_g_cm3 : float, optional
        Density of the water (kelp takes 1.0 when it is not given).

    Returns
    -------
    dict
    """
    func = "bathymetry"
    x = _grid_axis(func, "x_m", x_m)
    y = _grid_axis(func, "y_m", y_m)
    if callable(depth_m):
        d = np.asarray(depth_m(*np.meshgrid(x, y, indexing="ij")), dtype=float)
    else:
        d = np.asarray(depth_m, dtype=float)
    d = np.broadcast_to(d, (x.size, y.size)) if d.ndim == 0 else d
    if d.shape != (x.size, y.size):
        raise ValueError(f"{func}: depth_m must have shape (len(x_m), len(y_m)) = "
                         f"{(x.size, y.size)}, got {d.shape}")
    if not np.all(np.isfinite(d)) or np.any(d <= 0):
        raise ValueError(f"{func}: depth_m must be positive and finite (depth is positive "
                         f"downwards)")
    out = {"x_bty_m": _floats(x), "y_bty_m": _floats(y), "z_bty_m": _floats(d)}
    if water_density_g_cm3 is not None:
        out["water_density_g_cm3"] = _positive(func, "water_density_g_cm3", water_density_g_cm3)
    if bottom is not None:
        if not isinstance(bottom, dict) or "model" not in bottom:
            raise TypeError(f"{func}: bottom must be a dict from rigid_bottom, fluid_bottom or "
                            f"elastic_bottom, got {bottom!r}")
        out["bottom_model"] = dict(bottom)
    return out


# --------------------------------------------------------------------------- source and fan


def launch_fan(start_deg, stop_deg, *, count=None, spacing_deg=None, include_stop=True):
    """Evenly spaced launch angles, degrees.

    kelp sizes every beam of a list from the spacing of its first two angles (one degree for a
    list of one), so a fan must be evenly spaced; this builds one from its limits and a count
    or a spacing. Whether the spacing is fine enough for the environment and the receivers is
    what `kelpkit.check_fan` measures (it halves the spacings and compares).

    Parameters
    ----------
    start_deg, stop_deg : float
        Limits. Elevations (positive downwards) must lie in [-90, 90].
    count : int, optional
        Number of angles. Give exactly one of `count` and `spacing_deg`.
    spacing_deg : float, optional
        Angle between neighbouring beams.
    include_stop : bool
        False for a full circle of azimuths (0 to 360 without repeating 0).

    Returns
    -------
    list of float
    """
    values = evenly_spaced(start_deg, stop_deg, count=count, spacing=spacing_deg,
                           include_stop=include_stop, name="launch angles")
    return _floats(values)


def source(position_m, frequencies_hz, elevations_deg, azimuths_deg):
    """Source record.

    Parameters
    ----------
    position_m : sequence of 3 floats
        (x, y, depth) of the source, metres.
    frequencies_hz : float or sequence of float
        Frequencies, Hz (positive).
    elevations_deg, azimuths_deg : sequence of float
        Evenly spaced launch fans (see `launch_fan`); elevation is positive downwards, azimuth
        clockwise from north (+y). A single angle is given a one-degree beam spacing by kelp.
        `kelpkit.check_fan` tells whether the spacings are fine enough.

    Returns
    -------
    dict
    """
    func = "source"
    pos = as_vector(func, "position_m", position_m)
    if pos.size != 3:
        raise ValueError(f"{func}: position_m must be (x, y, depth), got {pos.size} values")
    f = as_vector(func, "frequencies_hz", frequencies_hz)
    if np.any(f <= 0):
        raise ValueError(f"{func}: frequencies_hz must be positive")
    el = as_vector(func, "elevations_deg", elevations_deg)
    if np.any(np.abs(el) > 90):
        raise ValueError(f"{func}: elevations_deg must lie in [-90, 90]")
    az = as_vector(func, "azimuths_deg", azimuths_deg)
    # kelp takes every beam's width from |a1 - a0| of its list (`engine::angle_spacing` in
    # src/engine/engine.cpp) and only warns when a later spacing differs by more than 0.1 %
    # (`is_evenly_spaced` in src/python_bindings/module.cpp). A builder runs nothing and the
    # module offers no way to ask that rule short of a run, so it is restated here, and an
    # uneven fan is refused before it can give beams of the wrong width.
    for name, a in (("elevations_deg", el), ("azimuths_deg", az)):
        step = a[1] - a[0] if a.size > 1 else 0.0
        if a.size > 2 and np.max(np.abs(np.diff(a) - step)) > 1e-6 * max(1.0, abs(step)):
            raise ValueError(f"{func}: {name} must be evenly spaced (kelp sizes every beam "
                             f"from the first spacing); use launch_fan")
    return {"position": _floats(pos), "freq_hz": _floats(f), "launch_elev_deg": _floats(el),
            "launch_azim_deg": _floats(az)}


# --------------------------------------------------------------------------- receivers


def grid_receivers(x_m, y_m, z_m):
    """A Cartesian receiver grid; the field comes back with shape (F, len(x), len(y), len(z)).

    Parameters
    ----------
    x_m, y_m, z_m : array_like
        Strictly increasing axes, metres (z is depth).

    Returns
    -------
    dict
        The receivers record, with its layout note.
    """
    func = "grid_receivers"
    x = as_vector(func, "x_m", x_m, increasing=True)
    y = as_vector(func, "y_m", y_m, increasing=True)
    z = as_vector(func, "z_m", z_m, increasing=True)
    if np.any(z < 0):
        raise ValueError(f"{func}: z_m are depths and must be >= 0")
    return {"config_type": "grid", "x_rcvr_m": _floats(x), "y_rcvr_m": _floats(y),
            "z_rcvr_m": _floats(z), LAYOUT_KEY: {"kind": "grid"}}


def polar_receivers(ranges_m, bearings_deg, depths_m, *, origin_m=(0.0, 0.0)):
    """Receivers at every (range, bearing, depth) around a horizontal origin (normally the
    source); the field comes back with shape (F, len(ranges), len(bearings), len(depths)).

    They are sent to kelp as a list of points. kelp sorts listed receivers into cells about
    twice their mean spacing and searches only the cells near each ray segment, so a list costs
    about as much as a grid of the same count near the beams.

    Parameters
    ----------
    ranges_m : array_like
        Horizontal distances from the origin, metres (>= 0, increasing).
    bearings_deg : array_like
        Bearings, degrees clockwise from north (+y).
    depths_m : array_like
        Depths, metres (>= 0, increasing).
    origin_m : (float, float)
        Horizontal centre (x, y), metres.

    Returns
    -------
    dict
        The receivers record, with its layout note.
    """
    return _polar("polar_receivers", "polar", ranges_m, bearings_deg, depths_m, origin_m)


def slice_receivers(ranges_m, depths_m, *, bearing_deg=0.0, origin_m=(0.0, 0.0)):
    """A vertical slice of receivers along one bearing from `origin_m`; the field comes back with
    shape (F, len(ranges), 1, len(depths)).

    Along north (0 deg) or east (90 deg) the slice is sent as a one-column grid, whose sorted
    axes kelp searches directly; along any other bearing it is sent as a list of points, which
    kelp searches through cells (see `polar_receivers`). Both visit only the receivers near each
    ray segment.

    Parameters
    ----------
    ranges_m : array_like
        Horizontal distances from the origin, metres (>= 0, increasing).
    depths_m : array_like
        Depths, metres (>= 0, increasing).
    bearing_deg : float
        Bearing of the slice, degrees clockwise from north (+y).
    origin_m : (float, float)
        Horizontal start of the slice (x, y), metres.

    Returns
    -------
    dict
        The receivers record, with its layout note.
    """
    return _polar("slice_receivers", "slice", ranges_m, [bearing_deg], depths_m, origin_m)


def _polar(func, kind, ranges_m, bearings_deg, depths_m, origin_m):
    r = as_vector(func, "ranges_m", ranges_m, increasing=True)
    if np.any(r < 0):
        raise ValueError(f"{func}: ranges_m must be >= 0")
    b = as_vector(func, "bearing_deg" if kind == "slice" else "bearings_deg", bearings_deg)
    z = as_vector(func, "depths_m", depths_m, increasing=True)
    if np.any(z < 0):
        raise ValueError(f"{func}: depths_m are depths and must be >= 0")
    o = as_vector(func, "origin_m", origin_m)
    if o.size != 2:
        raise ValueError(f"{func}: origin_m must be (x, y), got {o.size} values")
    layout = {"kind": kind, "origin_m": _floats(o), "range_m": _floats(r),
              "bearing_deg": _floats(b), "depth_m": _floats(z)}
    if kind == "slice" and float(b[0]) % 360.0 in (0.0, 90.0):
        # Along an axis the slice is a grid with one column: kelp searches its sorted axes
        # directly, without the cells a point list is sorted into.
        if float(b[0]) % 360.0 == 0.0:
            x, y = [o[0]], o[1] + r
        else:
            x, y = o[0] + r, [o[1]]
        return {"config_type": "grid", "x_rcvr_m": _floats(x), "y_rcvr_m": _floats(y),
                "z_rcvr_m": _floats(z), LAYOUT_KEY: layout}
    rr, bb, zz = np.meshgrid(r, np.radians(b), z, indexing="ij")
    x = o[0] + rr * np.sin(bb)
    y = o[1] + rr * np.cos(bb)
    return {"config_type": "array", "x_rcvr_m": _floats(x), "y_rcvr_m": _floats(y),
            "z_rcvr_m": _floats(zz), LAYOUT_KEY: layout}


def array_receivers(x_m, y_m, z_m):
    """Receivers at arbitrary points (x[i], y[i], z[i]); the field comes back with shape
    (F, N, 1, 1).

    Parameters
    ----------
    x_m, y_m, z_m : array_like
        Coordinates of the N points, metres (z is depth); equal lengths.

    Returns
    -------
    dict
        The receivers record, with its layout note.
    """
    func = "array_receivers"
    x = as_vector(func, "x_m", x_m, min_len=0)
    y = as_vector(func, "y_m", y_m, min_len=0)
    z = as_vector(func, "z_m", z_m, min_len=0)
    if not x.size == y.size == z.size:
        raise ValueError(f"{func}: x_m, y_m and z_m must have equal lengths, got "
                         f"{x.size}, {y.size}, {z.size}")
    return {"config_type": "array", "x_rcvr_m": _floats(x), "y_rcvr_m": _floats(y),
            "z_rcvr_m": _floats(z), LAYOUT_KEY: {"kind": "array"}}


# --------------------------------------------------------------------------- beam settings


def derive_max_steps(max_range_m, step_m, *, max_elevation_deg=30.0, ssp=None,
                     bathymetry=None, margin=1.5):
    """A step limit that lets every ray of the fan reach `max_range_m`.

    A ray launched at elevation theta needs a path of about R / cos(theta) to reach the range R,
    in steps of at most `step_m`; steps are also cut short wherever the ray crosses a
    sound-speed grid plane, a bathymetry grid line, the surface or the bottom. The count adds
    those crossings to the plain step count and multiplies by `margin`.

    The limit is not what costs memory: kelp charges each ray as its list of states grows, so a
    ray that reaches R costs about R / step states however large max_steps is. Memory goes to
    the pressure fields (receivers x frequencies, one field per unit of parallel work plus the
    result), to stored ray paths, and to the rays in flight, whose length is set by
    max_range_m / step_m. A finite limit only stops a ray that never leaves the range circle
    (one bouncing straight up and down, say), which would otherwise grow until kelp's memory
    check ends the run.

    Parameters
    ----------
    max_range_m, step_m : float
        Range limit and nominal step, metres.
    max_elevation_deg : float
        Largest |launch elevation| of the fan; capped at 80 deg, since steeper rays spend
        their steps near the source and carry little energy far out.
    ssp, bathymetry : dict, optional
        The sound-speed and bathymetry records, for the grid crossings.
    margin : float
        Safety factor (>= 1).

    Returns
    -------
    int
    """
    func = "derive_max_steps"
    r = _positive(func, "max_range_m", max_range_m)
    h = _positive(func, "step_m", step_m)
    margin = _positive(func, "margin", margin)
    if margin < 1:
        raise ValueError(f"{func}: margin must be >= 1, got {margin}")
    theta = math.radians(min(abs(float(max_elevation_deg)), 80.0))
    path = r / math.cos(theta)
    vertical = path * math.sin(theta)
    crossings = 0.0
    if ssp is not None:
        for key, travel in (("x_ssp_m", r), ("y_ssp_m", r), ("z_ssp_m", vertical)):
            a = np.asarray(ssp[key], dtype=float)
            if a.size > 2:
                crossings += travel / max(float(np.min(np.diff(a))), 1e-3)
    if bathymetry is not None:
        for key in ("x_bty_m", "y_bty_m"):
            a = np.asarray(bathymetry[key], dtype=float)
            if a.size > 2:
                crossings += r / max(float(np.min(np.diff(a))), 1e-3)
        shallowest = float(np.min(bathymetry["z_bty_m"]))
        crossings += 2.0 * vertical / max(shallowest, 1.0)
    return int(math.ceil(margin * (path / h + crossings))) + 10


def beam_settings(max_range_m, *, step_m=DEFAULT_STEP_M, max_steps=None, method="rk2",
                  store_ray_paths=False, show_progress=None, max_elevation_deg=30.0, ssp=None,
                  bathymetry=None, max_bottom_loss_db=DEFAULT_MAX_BOTTOM_LOSS_DB,
                  max_arrivals=None):
    """Beam record with trustworthy defaults: midpoint (rk2) integration, a 50 m step and a step
    limit derived from the range (`derive_max_steps`).

    Parameters
    ----------
    max_range_m : float
        Rays stop once they are this far (horizontally) from the source; make it a little more
        than the farthest receiver.
    step_m : float
        Nominal ray step, metres.
    max_steps : int, optional
        Step limit per ray; derived when left out.
    method : {"rk2", "euler"}
        Integration scheme. Euler needs much shorter steps for the same accuracy.
    store_ray_paths : bool
        Return every ray's path (for `plot_rays`).
    show_progress : bool, optional
        Draw kelp's progress bar; `kelpkit.run` decides when left out.
    max_elevation_deg, ssp, bathymetry
        Passed to `derive_max_steps`.
    max_bottom_loss_db : float or None
        A beam ends at the first bottom reflection after which its bottom reflections have
        cost it more than this at every frequency (kelp's `max_bottom_loss_db`); None traces
        every beam to its range. The default changes the ready environments' fields by at most
        0.07 dB median and 0.37 dB at the 90th percentile (see the README).
    max_arrivals : int, optional
        Keep up to this many multipath arrivals per receiver (kelp's `max_arrivals`, 1 to
        65535), for `KelpResult.arrivals`, impulse responses and eigenrays; None keeps no
        table. When a receiver has more, the weakest are dropped and counted
        (`KelpResult.arrivals_dropped`).

    Returns
    -------
    dict
    """
    func = "beam_settings"
    r = _positive(func, "max_range_m", max_range_m)
    h = _positive(func, "step_m", step_m)
    if method not in ("rk2", "euler"):
        raise ValueError(f'{func}: method must be "rk2" or "euler", got {method!r}')
    if max_steps is None:
        max_steps = derive_max_steps(r, h, max_elevation_deg=max_elevation_deg, ssp=ssp,
                                     bathymetry=bathymetry)
    elif isinstance(max_steps, bool) or not isinstance(max_steps, numbers.Integral) \
            or max_steps <= 0:
        raise ValueError(f"{func}: max_steps must be a positive integer, got {max_steps!r}")
    out = {"step_m": h, "max_steps": int(max_steps), "max_range_m": r,
           "integration_method": method, "store_ray_paths": bool(store_ray_paths)}
    if show_progress is not None:
        out["show_progress"] = bool(show_progress)
    if max_bottom_loss_db is not None:
        out["max_bottom_loss_db"] = _positive(func, "max_bottom_loss_db", max_bottom_loss_db)
    if max_arrivals is not None:
        if isinstance(max_arrivals, bool) or not isinstance(max_arrivals, numbers.Integral) \
                or not 1 <= max_arrivals <= MAX_ARRIVALS:
            raise ValueError(f"{func}: max_arrivals must be an integer from 1 to {MAX_ARRIVALS} "
                             f"(None keeps no arrivals table), got {max_arrivals!r}")
        out["max_arrivals"] = int(max_arrivals)
    return out


def make_config(ssp, bathymetry, source, receivers, beam, *, notes=None):
    """Assemble a full configuration from the five records.

    Parameters
    ----------
    ssp, bathymetry, source, receivers, beam : dict
        The records, from the builders or written by hand. They are copied. The source's
        launch fan is the case's to choose: `kelpkit.check_fan` tells whether it is fine
        enough.
    notes : dict, optional
        JSON-serialisable notes (a description of the case), kept under ``cfg["kelpkit"]`` and
        not sent to kelp.

    Returns
    -------
    dict
        The configuration, with plain Python values only.
    """
    for name, rec in (("ssp", ssp), ("bathymetry", bathymetry), ("source", source),
                      ("receivers", receivers), ("beam", beam)):
        if not isinstance(rec, dict):
            raise TypeError(f"make_config: {name} must be a dict, got {type(rec).__name__}")
    cfg = {"ssp": ssp, "bathymetry": bathymetry, "source": source, "receivers": receivers,
           "beam": beam}
    if notes is not None:
        cfg[KELPKIT_KEY] = notes
    return to_plain(copy.deepcopy(cfg))
