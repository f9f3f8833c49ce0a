"""Pictures of kelp results with matplotlib.

Transmission loss is drawn with a perceptually uniform colour map (matplotlib's ``magma``,
reversed so that loud is bright), receivers no beam reaches in light grey, and the sea floor in a
sediment brown. Uniform receiver axes are drawn as images with matplotlib's anti-aliasing filter,
so a grid with more receivers than screen pixels is averaged rather than decimated into moiré.
"""

import math
import warnings

import matplotlib.colors
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.collections import LineCollection

from .result import KelpResult, beam_angles

TL_CMAP = "magma_r"
NO_BEAM_COLOUR = "#d9d9d9"
SEABED_COLOUR = "#8b6b4a"
TL_LABEL = "TL (dB re 1 m)"


def _check(result, func):
    if not isinstance(result, KelpResult):
        raise TypeError(f"{func}: result must be a KelpResult, got {type(result).__name__}")


def _tl_cmap(cmap):
    return plt.get_cmap(cmap).with_extremes(bad=NO_BEAM_COLOUR)


def _tl_limits(tl, tl_range_db):
    if tl_range_db is not None:
        return tuple(tl_range_db)
    finite = tl[np.isfinite(tl)]
    if finite.size == 0:
        return (40.0, 100.0)
    lo = 5.0 * np.floor(np.percentile(finite, 1.0) / 5.0)
    hi = 5.0 * np.ceil(np.percentile(finite, 97.0) / 5.0)
    return (lo, max(hi, lo + 30.0))


def _uniform(a):
    a = np.asarray(a, dtype=float)
    if a.size < 2:
        return False
    d = np.diff(a)
    return bool(np.all(d > 0) and np.max(np.abs(d - d[0])) <= 1e-3 * abs(d[0]))


def _image(ax, h, v, values, **kw):
    """Draw values (len(v), len(h)) over cell centres h (horizontal) and v (vertical)."""
    if _uniform(h) and _uniform(v):
        dh, dv = (h[1] - h[0]) / 2.0, (v[1] - v[0]) / 2.0
        return ax.imshow(values, origin="lower", aspect="auto",
                         extent=(h[0] - dh, h[-1] + dh, v[0] - dv, v[-1] + dv),
                         interpolation="antialiased", interpolation_stage="rgba", **kw)
    return ax.pcolormesh(h, v, values, shading="nearest", **kw)


def _cell(axis, p):
    """Cell index and clamped fraction along one axis; a single-node axis is one cell of
    fraction 0, the field constant along it."""
    if axis.size < 2:
        return np.zeros(np.shape(p), dtype=int), np.zeros(np.shape(p)), 0
    p = np.clip(p, axis[0], axis[-1])
    i = np.clip(np.searchsorted(axis, p, side="right") - 1, 0, axis.size - 2)
    return i, (p - axis[i]) / (axis[i + 1] - axis[i]), 1


def _bilinear(x_axis, y_axis, values, x, y):
    """Bilinear interpolation on a grid, the position clamped to the grid.

    This is kelp's bottom lookup (`interpolate_bty_from_cursor` in src/bty/bty.hpp, the grid
    search and clamped fractions of src/core/grid_axis.hpp) in double precision, for pictures.
    kelp's output carries no bottom depth or sound speed and the module has no function but
    ``run_simulation``, so the lookup is restated rather than asked. The sound speed at the
    grid's own depths is the same bilinear sum across x and y (kelp's trilinear lookup at a
    node depth).
    """
    xa, ya = np.asarray(x_axis, float), np.asarray(y_axis, float)
    i, tx, sx = _cell(xa, np.asarray(x, float))
    j, ty, sy = _cell(ya, np.asarray(y, float))
    return ((1 - tx) * (1 - ty) * values[i, j] + tx * (1 - ty) * values[i + sx, j]
            + (1 - tx) * ty * values[i, j + sy] + tx * ty * values[i + sx, j + sy])


def bottom_depth(cfg, x_m, y_m):
    """Sea-floor depth of a configuration at horizontal positions.

    Parameters
    ----------
    cfg : dict
        A configuration.
    x_m, y_m : array_like
        Positions, metres.

    Returns
    -------
    numpy.ndarray
        Depth, metres, interpolated bilinearly and held constant beyond the grid (and along an
        axis of one node), as kelp does.
    """
    bty = cfg["bathymetry"]
    x, y = np.asarray(bty["x_bty_m"], float), np.asarray(bty["y_bty_m"], float)
    z = np.asarray(bty["z_bty_m"], float).reshape(x.size, y.size)
    return _bilinear(x, y, z, x_m, y_m)


def sound_speed_at(cfg, x_m, y_m):
    """Sound-speed profile of a configuration at one horizontal position.

    Parameters
    ----------
    cfg : dict
        A configuration.
    x_m, y_m : float
        Position, metres.

    Returns
    -------
    depth_m, c_m_s : numpy.ndarray
    """
    ssp = cfg["ssp"]
    x, y, z = (np.asarray(ssp[k], float) for k in ("x_ssp_m", "y_ssp_m", "z_ssp_m"))
    c = np.asarray(ssp["c_m_s"], float).reshape(x.size, y.size, z.size)
    return z, np.array([_bilinear(x, y, c[:, :, k], x_m, y_m) for k in range(z.size)])


def _warn_undersampled(spacing_m, frequency_hz, what, remedy=""):
    half_wavelength = 1500.0 / float(frequency_hz) / 2.0
    if spacing_m > half_wavelength:
        warnings.warn(f"kelpkit: the receiver {what} spacing ({spacing_m:g} m) exceeds half a "
                      f"wavelength ({half_wavelength:g} m) at {frequency_hz:g} Hz: interference "
                      f"fringes are under-sampled and may alias{remedy}", stacklevel=3)


def _block_mean(values, k0, k1):
    """Means of a 2-D array over blocks of k0 x k1 neighbouring entries (the last block of
    each axis possibly shorter)."""
    values = np.asarray(values, dtype=float)
    starts0, starts1 = np.arange(0, values.shape[0], k0), np.arange(0, values.shape[1], k1)

    def block_sum(a):
        return np.add.reduceat(np.add.reduceat(a, starts0, axis=0), starts1, axis=1)

    return block_sum(values) / block_sum(np.ones_like(values))


def _spacing(axis):
    a = np.asarray(axis, dtype=float)
    return float(np.mean(np.diff(a))) if a.size > 1 else math.inf


def _cells(axis, average_m):
    """Receivers per averaging cell along an axis: about average_m / spacing, at least one."""
    spacing = _spacing(axis)
    return 1 if not math.isfinite(spacing) else max(1, int(round(average_m / spacing)))


def _slice_geometry(result, bearing_deg):
    """Horizontal axis (km), its label, depths, the TL index tuple and receiver x, y."""
    kind = result.layout["kind"]
    if kind in ("slice", "polar"):
        bearings = np.asarray(result.layout["bearing_deg"], float)
        j = 0 if bearing_deg is None else int(np.argmin(np.abs(
            (bearings - bearing_deg + 180.0) % 360.0 - 180.0)))
        h = result.axis("range") / 1e3
        label = f"range (km) along bearing {bearings[j]:g}°"
        idx = (slice(None), j, slice(None))
    elif kind == "grid":
        nx, ny = result.shape[1], result.shape[2]
        if nx == 1:
            h, label, idx = result.axis("y") / 1e3, "y (km, north)", (0, slice(None), slice(None))
        elif ny == 1:
            h, label, idx = result.axis("x") / 1e3, "x (km, east)", (slice(None), 0, slice(None))
        else:
            raise ValueError("plot_tl_slice: a grid result needs a single x or a single y "
                             "column to form a vertical slice")
    else:
        raise ValueError("plot_tl_slice: needs a slice, polar or one-column grid result, got "
                         f"layout {kind!r}")
    rx, ry = result.receiver_x_m[idx][:, 0], result.receiver_y_m[idx][:, 0]
    z = np.asarray(result.receiver_z_m[idx][0, :], float)
    return h, label, z, idx, rx, ry


def plot_tl_slice(result, *, frequency_hz=None, bearing_deg=None, ax=None, tl_range_db=None,
                  cmap=TL_CMAP, show_profile=True, title=None):
    """Transmission loss on a vertical slice, with the sea floor and the sound-speed profile.

    Parameters
    ----------
    result : KelpResult
        A slice or polar result, or a grid with a single x or y column.
    frequency_hz : float, optional
        Frequency to draw (nearest one; the first by default).
    bearing_deg : float, optional
        For polar results, the bearing to draw (nearest one).
    ax : matplotlib.axes.Axes, optional
        Axes for the TL; a new figure (with a profile panel) is made when left out.
    tl_range_db : (float, float), optional
        Colour limits; by default from the 1st to the 97th percentile, rounded to 5 dB.
    cmap : str
        A perceptually uniform colour map.
    show_profile : bool
        Draw c(z) at the source beside the slice (only when a new figure is made).
    title : str, optional

    Returns
    -------
    matplotlib.axes.Axes
        The TL axes (its figure is ``ax.figure``).
    """
    _check(result, "plot_tl_slice")
    h, label, z, idx, rx, ry = _slice_geometry(result, bearing_deg)
    k = result.frequency_index(frequency_hz)
    f = float(result.frequency_hz[k])
    tl = result.tl_db[k][idx]  # (horizontal, depth)
    if z.size > 1:
        _warn_undersampled(float(np.min(np.diff(z))), f, "depth")
    cfg = result.config
    floor = bottom_depth(cfg, rx, ry) if cfg is not None else None

    profile_ax = None
    if ax is None:
        if show_profile and cfg is not None:
            fig, (profile_ax, ax) = plt.subplots(
                1, 2, figsize=(11.0, 4.8), sharey=True, gridspec_kw={"width_ratios": [1, 6]},
                layout="constrained")
        else:
            fig, ax = plt.subplots(figsize=(10.0, 4.8), layout="constrained")
    vmin, vmax = _tl_limits(tl[np.isfinite(tl)], tl_range_db)
    shown = np.ma.masked_invalid(tl.T)
    im = _image(ax, h, z, shown, cmap=_tl_cmap(cmap), vmin=vmin, vmax=vmax)
    zmax = z[-1]
    if floor is not None:
        # A strip of sea floor stays in view even when the receivers reach down to it.
        zmax = 1.03 * max(zmax, float(np.max(floor)))
        ax.fill_between(h, floor, zmax, color=SEABED_COLOUR, zorder=3, lw=0)
        ax.plot(h, floor, color="k", lw=0.8, zorder=4)
    if cfg is not None:
        sx, sy, sz = cfg["source"]["position"]
        if result.layout["kind"] in ("slice", "polar"):
            ox, oy = result.layout["origin_m"]
            s_h = np.hypot(sx - ox, sy - oy) / 1e3
        else:
            s_h = (sy if result.shape[1] == 1 else sx) / 1e3
        ax.plot(s_h, sz, marker="*", color="w", mec="k", ms=12, zorder=5, clip_on=False)
    ax.set_xlim(min(h[0], 0.0), h[-1])
    ax.set_ylim(zmax, 0.0)
    ax.set_xlabel(label)
    if profile_ax is None:
        ax.set_ylabel("depth (m)")
    ax.set_title(title or f"Transmission loss, {f:g} Hz", fontsize=11)
    ax.figure.colorbar(im, ax=ax, label=TL_LABEL, extend="both", pad=0.01)
    if profile_ax is not None:
        zc, c = sound_speed_at(cfg, *cfg["source"]["position"][:2])
        profile_ax.plot(c, zc, color="tab:blue", lw=1.5)
        profile_ax.axhline(cfg["source"]["position"][2], color="0.4", lw=0.8, ls="--")
        profile_ax.set_xlabel("c (m/s)")
        profile_ax.set_ylabel("depth (m)")
        profile_ax.grid(alpha=0.3)
        profile_ax.set_title("sound speed", fontsize=10)
        profile_ax.xaxis.set_major_locator(plt.MaxNLocator(3))
    return ax


def plot_tl_map(result, *, frequency_hz=None, depth_m=None, ax=None, tl_range_db=None,
                cmap=TL_CMAP, contour_levels=None, title=None, average_m=None):
    """Transmission loss on a horizontal plane, with sea-floor contours.

    A map is coherent: where its receivers lie more than half a wavelength apart the
    interference pattern is under-sampled and shows as speckle (a warning says so). With
    `average_m` the map shows the intensity |p|^2 averaged over cells of about that size (a
    whole number of receivers along each axis; for polar sets, along range), which is what a
    coarse map can show reliably; the title states the cells.

    Parameters
    ----------
    result : KelpResult
        A grid or polar result.
    frequency_hz : float, optional
        Frequency to draw (nearest; the first by default).
    depth_m : float, optional
        Receiver depth to draw (nearest; the first by default).
    ax : matplotlib.axes.Axes, optional
    tl_range_db : (float, float), optional
        Colour limits (default: 1st to 97th percentile, rounded to 5 dB).
    cmap : str
    contour_levels : sequence of float, optional
        Depths of the sea-floor contours, metres (default: about six round values).
    title : str, optional
    average_m : float, optional
        Size of the averaging cells, metres; None draws every receiver.

    Returns
    -------
    matplotlib.axes.Axes
    """
    _check(result, "plot_tl_map")
    kind = result.layout["kind"]
    if kind not in ("grid", "polar"):
        raise ValueError(f"plot_tl_map: needs a grid or polar result, got layout {kind!r}")
    if average_m is not None and not (float(average_m) > 0.0):
        raise ValueError(f"plot_tl_map: average_m must be positive, got {average_m!r}")
    k = result.frequency_index(frequency_hz)
    f = float(result.frequency_hz[k])
    depths = result.axis("z" if kind == "grid" else "depth")
    iz = 0 if depth_m is None else int(np.argmin(np.abs(depths - depth_m)))
    tl = result.tl_db[k][:, :, iz]
    rx, ry = result.receiver_x_m[:, :, iz], result.receiver_y_m[:, :, iz]
    h0, h1 = (result.axis("x"), result.axis("y")) if kind == "grid" else (
        result.axis("range"), None)
    note = ""
    if average_m is None:
        spacing = min(_spacing(h0), _spacing(h1) if h1 is not None else math.inf)
        if math.isfinite(spacing):
            _warn_undersampled(spacing, f, "horizontal",
                               "; average_m= draws intensity averaged over cells")
    else:
        k0 = _cells(h0, float(average_m))
        k1 = _cells(h1, float(average_m)) if h1 is not None else 1
        intensity = np.abs(result.pressure[k][:, :, iz].astype(np.complex128)) ** 2
        with np.errstate(divide="ignore"):
            tl = -10.0 * np.log10(_block_mean(intensity, k0, k1))
        rx, ry = _block_mean(rx, k0, k1), _block_mean(ry, k0, k1)
        if kind == "grid":
            cell = f"{k0 * _spacing(h0):g} m x {k1 * _spacing(h1):g} m" if h1.size > 1 else \
                f"{k0 * _spacing(h0):g} m"
            note = f"intensity averaged over {cell} cells"
        else:
            note = f"intensity averaged over {k0 * _spacing(h0):g} m of range"
    cfg = result.config
    if ax is None:
        # Constrained layout keeps the colour bar and its label inside the figure, so that a
        # plain savefig clips nothing.
        _, ax = plt.subplots(figsize=_map_figsize(rx, ry), layout="constrained")
    vmin, vmax = _tl_limits(tl[np.isfinite(tl)], tl_range_db)
    kw = dict(cmap=_tl_cmap(cmap), vmin=vmin, vmax=vmax)
    if kind == "grid":
        x, y = rx[:, 0] / 1e3, ry[0, :] / 1e3
        im = _image(ax, x, y, np.ma.masked_invalid(tl.T), **kw)
    else:
        im = ax.pcolormesh(rx / 1e3, ry / 1e3, np.ma.masked_invalid(tl), shading="nearest",
                           **kw)
    if cfg is not None:
        floor = bottom_depth(cfg, rx, ry)
        below = np.ma.masked_where(floor > depths[iz], np.ones_like(floor))
        rock = matplotlib.colors.ListedColormap([SEABED_COLOUR])
        if kind == "grid":
            _image(ax, x, y, below.T, cmap=rock)
        else:
            ax.pcolormesh(rx / 1e3, ry / 1e3, below, shading="nearest", cmap=rock)
        bx, by = (np.asarray(cfg["bathymetry"][key], float) for key in ("x_bty_m", "y_bty_m"))
        if bx.size > 2 or by.size > 2:
            gx = np.linspace(rx.min(), rx.max(), 200)
            gy = np.linspace(ry.min(), ry.max(), 200)
            gxx, gyy = np.meshgrid(gx, gy, indexing="ij")
            gd = bottom_depth(cfg, gxx, gyy)
            if np.ptp(gd) > 1.0:
                levels = contour_levels
                if levels is None:
                    levels = plt.MaxNLocator(6).tick_values(gd.min(), gd.max())[1:-1]
                cs = ax.contour(gx / 1e3, gy / 1e3, gd.T, levels=levels, colors="w",
                                linewidths=0.7, alpha=0.9)
                ax.clabel(cs, fmt="%g m", fontsize=7)
        sx, sy, _ = cfg["source"]["position"]
        ax.plot(sx / 1e3, sy / 1e3, marker="*", color="w", mec="k", ms=13, zorder=5)
    ax.set_aspect("equal")
    ax.set_xlabel("x (km, east)")
    ax.set_ylabel("y (km, north)")
    text = title or f"Transmission loss at {depths[iz]:g} m depth, {f:g} Hz"
    ax.set_title(f"{text}\n{note}" if note else text, fontsize=11)
    _side_colorbar(ax, im, TL_LABEL, extend="both")
    return ax


def _side_colorbar(ax, mappable, label, **kw):
    # A colour bar exactly as tall as an equal-aspect map, whatever the figure's shape.
    cax = ax.inset_axes([1.03, 0.0, 0.035, 1.0])
    return ax.figure.colorbar(mappable, cax=cax, label=label, **kw)


def _map_figsize(x, y, width=8.0):
    # Equal-aspect maps get a figure of the map's own proportions, so the colour bar matches
    # the map's height instead of towering over a flat map.
    xs, ys = float(np.ptp(x)) or 1.0, float(np.ptp(y)) or 1.0
    height = min(max(width * 0.82 * ys / xs + 1.2, 3.0), 9.0)
    return (width, height)


def _launch_angles(result, n, required):
    """Launch azimuth and elevation of each of the n paths: the result's own record of them,
    else the configuration's fan when it has exactly n beams (a result of an older kelpkit).
    Positions in the fan are never taken for paths that are not the whole fan; when the
    angles are not `required` (one colour for all), the fan's own angles are returned."""
    if result.ray_launch_deg is not None and len(result.ray_launch_deg) == n:
        angles = np.asarray(result.ray_launch_deg, dtype=float)
        return angles[:, 0], angles[:, 1]
    az, el = beam_angles(result.config)
    if az.size != n and required:
        raise ValueError(f"plot_rays: the result holds {n} ray paths but no launch angles for "
                         f"them, and its configuration's fan has {az.size} beams; pass "
                         f"colour= to draw them in one colour")
    return az, el


def plot_rays(result, *, view="section", ax=None, every=1, max_rays=3000, colour_by="elevation",
              cmap="viridis", colour=None, show_environment=True, title=None):
    """Ray paths over the environment.

    Parameters
    ----------
    result : KelpResult
        A result of a run with ``beam.store_ray_paths`` true.
    view : {"section", "plan"}
        "section": depth against horizontal distance from the source, over the sea floor along
        the fan's middle bearing. "plan": the rays seen from above over sea-floor contours, which
        shows horizontal refraction.
    ax : matplotlib.axes.Axes, optional
    every : int
        Draw every `every`-th ray.
    max_rays : int
        Thin further so that at most this many rays are drawn.
    colour_by : {"elevation", "azimuth"}
        Launch angle that colours each ray: the ray's own (`KelpResult.ray_launch_deg`), also
        for results merged from parts of a fan.
    cmap : str
    colour : str, optional
        One colour for every ray instead of `colour_by` (for rays drawn over a TL map).
    show_environment : bool
        Draw the sea floor (section) or its contours (plan) and set the limits; False to draw
        the rays over an existing picture, such as `plot_tl_map`.
    title : str, optional

    Returns
    -------
    matplotlib.axes.Axes
    """
    _check(result, "plot_rays")
    if result.ray_paths is None:
        raise ValueError("plot_rays: the result has no ray paths; set beam.store_ray_paths "
                         "to true (beam_settings(store_ray_paths=True))")
    if view not in ("section", "plan"):
        raise ValueError(f'plot_rays: view must be "section" or "plan", got {view!r}')
    if colour_by not in ("elevation", "azimuth"):
        raise ValueError(f'plot_rays: colour_by must be "elevation" or "azimuth", got '
                         f'{colour_by!r}')
    cfg = result.config
    if cfg is None:
        raise ValueError("plot_rays: the result carries no configuration to draw")
    n = len(result.ray_paths)
    az, el = _launch_angles(result, n, required=colour is None)
    every = max(int(every), int(np.ceil(n / max(max_rays, 1))), 1)
    chosen = np.arange(0, n, every)
    values = (el if colour_by == "elevation" else az)[chosen] if colour is None else None
    sx, sy, sz = cfg["source"]["position"]
    segs = []
    for i in chosen:
        p = np.asarray(result.ray_paths[i], float)
        if view == "section":
            segs.append(np.column_stack([np.hypot(p[:, 0] - sx, p[:, 1] - sy) / 1e3, p[:, 2]]))
        else:
            segs.append(p[:, :2] / 1e3)
    pts = np.concatenate(segs) if segs else np.zeros((1, 2))
    if ax is None:
        size = (10.0, 4.8) if view == "section" else _map_figsize(pts[:, 0], pts[:, 1], 7.5)
        _, ax = plt.subplots(figsize=size, layout="constrained")
    if colour is not None:
        lc = LineCollection(segs, colors=colour, linewidths=0.6, alpha=0.8, zorder=6)
    else:
        norm = matplotlib.colors.Normalize(vmin=values.min(),
                                           vmax=max(values.max(), values.min() + 1e-9))
        lc = LineCollection(segs, cmap=cmap, norm=norm, linewidths=0.6, alpha=0.85, zorder=6)
        lc.set_array(values)
    limits = (ax.get_xlim(), ax.get_ylim())
    ax.add_collection(lc, autolim=show_environment)
    if not show_environment:
        ax.set_xlim(limits[0])
        ax.set_ylim(limits[1])
    rmax = cfg["beam"]["max_range_m"]
    if show_environment and view == "section":
        bearing = np.radians(np.median(az))
        r = np.linspace(0.0, rmax, 400)
        floor = bottom_depth(cfg, sx + r * np.sin(bearing), sy + r * np.cos(bearing))
        bottom = float(max(np.max(floor), float(np.max(pts[:, 1]))))
        ax.fill_between(r / 1e3, floor, bottom * 1.02, color=SEABED_COLOUR, lw=0, zorder=3)
        ax.plot(r / 1e3, floor, "k", lw=0.8, zorder=4)
        ax.set_xlim(0.0, rmax / 1e3)
        ax.set_ylim(bottom * 1.02, 0.0)
        ax.set_xlabel(f"range (km), sea floor along bearing {np.degrees(bearing):g}°")
        ax.set_ylabel("depth (m)")
        ax.plot(0.0, sz, marker="*", color="w", mec="k", ms=12, zorder=7, clip_on=False)
    elif show_environment:
        pad = 0.05 * max(np.ptp(pts[:, 0]), np.ptp(pts[:, 1]), 1.0)
        lo, hi = pts.min(axis=0) - pad, pts.max(axis=0) + pad
        gx, gy = np.linspace(lo[0], hi[0], 240) * 1e3, np.linspace(lo[1], hi[1], 240) * 1e3
        gxx, gyy = np.meshgrid(gx, gy, indexing="ij")
        gd = bottom_depth(cfg, gxx, gyy)
        if np.ptp(gd) > 1.0:
            cs = ax.contour(gx / 1e3, gy / 1e3, gd.T, levels=8, colors="0.45", linewidths=0.7,
                            zorder=2)
            ax.clabel(cs, fmt="%g m", fontsize=7)
        ax.plot(sx / 1e3, sy / 1e3, marker="*", color="w", mec="k", ms=13, zorder=7)
        ax.set_xlim(lo[0], hi[0])
        ax.set_ylim(lo[1], hi[1])
        ax.set_aspect("equal")
        ax.set_xlabel("x (km, east)")
        ax.set_ylabel("y (km, north)")
    if colour is None:
        label = f"launch {colour_by} (°)"
        if view == "plan":
            _side_colorbar(ax, lc, label)
        else:
            ax.figure.colorbar(lc, ax=ax, label=label, pad=0.01)
    if title is not None or show_environment:
        ax.set_title(title or f"{len(chosen)} of {n} rays", fontsize=11)
    return ax
