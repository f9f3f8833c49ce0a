"""Ready environments: complete configurations for classic test cases.

Each function returns a plain configuration dict that `kelpkit.run` accepts as it is and that can
be edited first (change a frequency, the receivers, the fan). The launch fans and steps are chosen
to converge for the case: halving the beam spacing or the step changes the transmission loss by a
few tenths of a decibel where the field is stronger than 100 dB re 1 m.
"""

import math

import numpy as np

from . import builders as b

#: Elevation spacing (deg) of the slice fans. On the Munk channel at 50 Hz to 100 km, halving it
#: from 0.05 deg changes TL by 0.4 dB (median over receivers louder than 100 dB), 0.15 dB for
#: intensity averaged over 1 km x 100 m cells; at 0.2 deg the change is twice that.
ELEVATION_SPACING_DEG = 0.05
#: Azimuth spacing (deg) of the fans around a slice. The beams carry the travel time of their
#: axis, so a receiver beside a beam sees a phase error of about omega r dphi^2 / (2 c) at one
#: beam width; 0.1 deg keeps it below 0.1 rad at 50 Hz and 100 km (halving it then changes TL by
#: less than 0.01 dB median; 0.5 deg is off by 1 dB). Only +-5 spacings are needed around a
#: slice, so the fine spacing costs little.
AZIMUTH_SPACING_DEG = 0.1


def wavelength_m(frequency_hz, speed_m_s=1500.0):
    """Acoustic wavelength, metres.

    Parameters
    ----------
    frequency_hz : float
    speed_m_s : float

    Returns
    -------
    float
    """
    return speed_m_s / float(frequency_hz)


def slice_fan(bearing_deg, spacing_deg=AZIMUTH_SPACING_DEG, widths=5):
    """Azimuths that feed a vertical slice along `bearing_deg`.

    A beam reaches receivers up to four of its widths from its axis, and its width across the
    fan grows as range times the azimuth spacing; beams more than four spacings off the slice
    therefore never reach it. `widths` spacings on each side (five by default) cover those that
    do, with one to spare.

    Parameters
    ----------
    bearing_deg : float
        Bearing of the slice, degrees clockwise from north.
    spacing_deg : float
        Azimuth spacing.
    widths : int
        Spacings on each side of the bearing.

    Returns
    -------
    list of float

    Notes
    -----
    `kelpkit.check_fan` tells whether the spacing is fine enough for a case.
    """
    return b.launch_fan(bearing_deg - widths * spacing_deg, bearing_deg + widths * spacing_deg,
                        spacing_deg=spacing_deg)


def _depth_axis(depth_m, frequency_hz, spacing_m=None):
    # Interference fringes in depth repeat every lambda / (2 sin theta); a quarter wavelength
    # resolves them for every angle, capped at 25 m so that low frequencies still look smooth.
    dz = spacing_m or min(25.0, wavelength_m(max(frequency_hz)) / 4.0)
    return b.evenly_spaced(0.0, depth_m, spacing=dz)



def _slice_config(ssp, bty, f, receivers, max_range_m, range_spacing_m, depth_m,
                  depth_spacing_m, bearing_deg, source_depth_m, elevation_limit_deg,
                  elevation_spacing_deg, azimuth_spacing_deg, step_m, notes):
    """A vertical slice along `bearing_deg` (unless `receivers` is given) with a fan around it,
    for the environments built on one sound-speed profile and a bottom."""
    if receivers is None:
        receivers = b.slice_receivers(
            b.evenly_spaced(range_spacing_m, max_range_m, spacing=range_spacing_m),
            _depth_axis(depth_m, f, depth_spacing_m), bearing_deg=bearing_deg)
    src = b.source((0.0, 0.0, source_depth_m), f,
                   b.launch_fan(-elevation_limit_deg, elevation_limit_deg,
                                spacing_deg=elevation_spacing_deg),
                   slice_fan(bearing_deg, azimuth_spacing_deg))
    beam = b.beam_settings(1.02 * max_range_m, step_m=step_m, ssp=ssp, bathymetry=bty,
                           max_elevation_deg=elevation_limit_deg)
    return b.make_config(ssp, bty, src, receivers, beam, notes=notes)

def munk(*, max_range_m=100e3, source_depth_m=1000.0, frequencies_hz=(50.0,),
         bottom_depth_m=5000.0, bearing_deg=0.0, receivers=None, range_spacing_m=200.0,
         depth_spacing_m=None, elevation_limit_deg=30.0,
         elevation_spacing_deg=ELEVATION_SPACING_DEG, azimuth_spacing_deg=AZIMUTH_SPACING_DEG,
         step_m=b.DEFAULT_STEP_M):
    """Munk's deep-water sound channel (axis 1300 m, 1500 m/s) over a flat sediment floor.

    Sound trapped in the channel refocuses near the surface every 50-60 km (the convergence
    zones); rays steeper than about 14 deg at 1000 m touch the lossy bottom and fade. The fan
    reaches 30 deg so that those bottom-bounce paths faintly fill the near-surface shadow.

    Parameters
    ----------
    max_range_m : float
        Farthest range, metres.
    source_depth_m : float
        Source depth, metres.
    frequencies_hz : sequence of float
    bottom_depth_m : float
        Depth of the flat floor (fluid half-space: 1600 m/s, 1.8 g/cm^3, 0.5 dB/wavelength).
    bearing_deg : float
        Bearing of the default receiver slice and of the fan around it.
    receivers : dict, optional
        Any receivers record; by default a vertical slice along `bearing_deg` every
        `range_spacing_m` and `depth_spacing_m` (a quarter wavelength, at most 25 m).
    elevation_limit_deg, elevation_spacing_deg : float
        Launch elevations from -limit to +limit. The defaults pass `kelpkit.check_fan`; check
        again after changing the case (range, frequency, receivers) or the spacings.
    azimuth_spacing_deg : float
        Spacing of the azimuths around the slice's bearing (see `slice_fan`).
    step_m : float
        Nominal ray step (midpoint integration).

    Returns
    -------
    dict
        The configuration.
    """
    f = list(np.atleast_1d(np.asarray(frequencies_hz, dtype=float)))
    extent = 1.1 * max_range_m + 5e3
    ssp = b.sound_speed_profile(b.evenly_spaced(0.0, bottom_depth_m, spacing=50.0),
                                b.munk_profile, x_m=(-extent, extent), y_m=(-extent, extent))
    bty = b.bathymetry((-extent, extent), (-extent, extent), bottom_depth_m,
                       bottom=b.fluid_bottom(1600.0, 1.8, 0.5), water_density_g_cm3=1.0)
    return _slice_config(ssp, bty, f, receivers, max_range_m, range_spacing_m, bottom_depth_m,
                         depth_spacing_m, bearing_deg, source_depth_m, elevation_limit_deg,
                         elevation_spacing_deg, azimuth_spacing_deg, step_m,
                         {"environment": "munk", "description": "Munk deep-water channel"})


def pekeris(*, max_range_m=10e3, water_depth_m=100.0, source_depth_m=50.0,
            frequencies_hz=(100.0,), water_speed_m_s=1500.0, bottom=None, bearing_deg=0.0,
            receivers=None, range_spacing_m=20.0, depth_spacing_m=None,
            elevation_limit_deg=35.0, elevation_spacing_deg=0.05,
            azimuth_spacing_deg=AZIMUTH_SPACING_DEG, step_m=10.0):
    """Pekeris waveguide: isovelocity water over a fluid half-space (by default 1600 m/s,
    1.5 g/cm^3, 0.2 dB/wavelength; critical angle about 20 deg).

    Parameters are as for `munk` (the fan's defaults pass `kelpkit.check_fan`); `bottom` takes
    any bottom record.

    Returns
    -------
    dict
        The configuration.
    """
    f = list(np.atleast_1d(np.asarray(frequencies_hz, dtype=float)))
    extent = 1.1 * max_range_m + 1e3
    ssp = b.sound_speed_profile([0.0, water_depth_m], [water_speed_m_s] * 2,
                                x_m=(-extent, extent), y_m=(-extent, extent))
    bty = b.bathymetry((-extent, extent), (-extent, extent), water_depth_m,
                       bottom=bottom or b.fluid_bottom(1600.0, 1.5, 0.2))
    return _slice_config(ssp, bty, f, receivers, max_range_m, range_spacing_m, water_depth_m,
                         depth_spacing_m, bearing_deg, source_depth_m, elevation_limit_deg,
                         elevation_spacing_deg, azimuth_spacing_deg, step_m,
                         {"environment": "pekeris", "description": "Pekeris waveguide"})


def wedge_depth(x_m, y_m, *, depth_at_source_m=200.0, slope_deg=2.86, min_depth_m=2.0):
    """Depth of the ideal wedge: the floor rises towards the north (+y) with the given slope
    and meets the surface (the apex) at y = depth_at_source / tan(slope); x runs along the
    slope's contours.

    Parameters
    ----------
    x_m, y_m : array_like
        Horizontal positions, metres.
    depth_at_source_m, slope_deg : float
        Depth at y = 0 and the slope.
    min_depth_m : float
        Depth kept near the apex, where kelp needs some water.

    Returns
    -------
    numpy.ndarray
        Depth, metres.
    """
    d = depth_at_source_m - np.asarray(y_m, dtype=float) * math.tan(math.radians(slope_deg))
    return np.maximum(d + 0.0 * np.asarray(x_m, dtype=float), min_depth_m)


def ideal_wedge(*, max_range_m=25e3, depth_at_source_m=200.0, slope_deg=2.86,
                source_depth_m=100.0, frequencies_hz=(25.0,), bottom=None, receivers=None,
                receiver_depth_m=30.0, grid_spacing_m=(250.0, 50.0), elevation_limit_deg=30.0,
                elevation_spacing_deg=0.5, azimuth_spacing_deg=1.0, step_m=25.0):
    """An isovelocity (1500 m/s) wedge whose floor rises northwards at `slope_deg` (2.86 deg:
    from 200 m at the source to the apex 4 km north) over a fluid half-space (1700 m/s,
    1.5 g/cm^3, 0.5 dB/wavelength).

    Sound sent along the contours (east and west) is turned downslope by every bottom
    reflection: horizontal refraction, which only a three-dimensional model shows. The default
    receivers are a horizontal grid at `receiver_depth_m`, `max_range_m` east and west of the
    source along the slope and from 0.4 `max_range_m` downslope up to the contour where the
    floor rises to the receivers' depth (beyond it they would lie in the seabed); the fan is a
    full circle of azimuths.

    Parameters are as for `munk`, plus the wedge's geometry (`depth_at_source_m`,
    `slope_deg`), the map's `receiver_depth_m` and `grid_spacing_m` (one spacing, or (along,
    across) the contours: the interference fringes run nearly along the contours and repeat
    every few hundred metres across them upslope, so the default samples y every 50 m and x
    every 250 m), and the fan's `azimuth_spacing_deg`. The default fan passes
    `kelpkit.check_fan`; check again after changing the case or the spacings.

    Returns
    -------
    dict
        The configuration.
    """
    f = list(np.atleast_1d(np.asarray(frequencies_hz, dtype=float)))
    apex = depth_at_source_m / math.tan(math.radians(slope_deg))
    extent = 1.1 * max_range_m + 1e3
    deepest = float(wedge_depth(0.0, -extent, depth_at_source_m=depth_at_source_m,
                                slope_deg=slope_deg))
    ssp = b.sound_speed_profile([0.0, deepest], [1500.0, 1500.0], x_m=(-extent, extent),
                                y_m=(-extent, extent))
    # The bathymetry grid stops short of the apex; kelp holds the depth constant beyond it.
    ys = b.evenly_spaced(-extent, apex, count=int(math.ceil((apex + extent) / 200.0)) + 1)
    xs = np.array([-extent, extent])
    bty = b.bathymetry(xs, ys, lambda x, y: wedge_depth(x, y, depth_at_source_m=depth_at_source_m,
                                                        slope_deg=slope_deg),
                       bottom=bottom or b.fluid_bottom(1700.0, 1.5, 0.5))
    if receivers is None:
        dx, dy = np.broadcast_to(np.asarray(grid_spacing_m, dtype=float), (2,))
        x = b.evenly_spaced(-max_range_m, max_range_m, spacing=dx)
        shoreward = min(apex, (depth_at_source_m - receiver_depth_m)
                        / math.tan(math.radians(slope_deg)))
        y = b.evenly_spaced(-0.4 * max_range_m, shoreward, spacing=dy)
        receivers = b.grid_receivers(x, y, [receiver_depth_m])
    src = b.source((0.0, 0.0, source_depth_m), f,
                   b.launch_fan(-elevation_limit_deg, elevation_limit_deg,
                                spacing_deg=elevation_spacing_deg),
                   b.launch_fan(0.0, 360.0, spacing_deg=azimuth_spacing_deg, include_stop=False))
    # Reach the corners of the default map (25 km along the slope, 10 km down it).
    beam = b.beam_settings(1.02 * math.hypot(max_range_m, 0.4 * max_range_m), step_m=step_m,
                           ssp=ssp, bathymetry=bty, max_elevation_deg=elevation_limit_deg)
    return b.make_config(ssp, bty, src, receivers, beam,
                         notes={"environment": "ideal_wedge",
                                "description": f"wedge, {slope_deg:g} deg slope, apex "
                                               f"{apex / 1e3:.1f} km north"})


def seamount_depth(x_m, y_m, *, floor_m=5000.0, top_m=1000.0, centre_m=(0.0, 30e3),
                   radius_m=5000.0):
    """Flat floor with a Gaussian seamount.

    Parameters
    ----------
    x_m, y_m : array_like
        Horizontal positions, metres.
    floor_m : float
        Depth of the plain.
    top_m : float
        Depth of the summit.
    centre_m : (float, float)
        Position of the summit.
    radius_m : float
        Standard deviation of the Gaussian, metres.

    Returns
    -------
    numpy.ndarray
        Depth, metres.
    """
    r2 = (np.asarray(x_m, dtype=float) - centre_m[0]) ** 2 + \
         (np.asarray(y_m, dtype=float) - centre_m[1]) ** 2
    return floor_m - (floor_m - top_m) * np.exp(-r2 / (2.0 * radius_m ** 2))


def seamount(*, max_range_m=60e3, source_depth_m=1000.0, frequencies_hz=(50.0,),
             floor_m=5000.0, top_m=1000.0, centre_m=(0.0, 30e3), radius_m=5000.0,
             receivers=None, receiver_depth_m=1000.0, grid_spacing_m=500.0,
             elevation_limit_deg=20.0, elevation_spacing_deg=0.2, azimuth_spacing_deg=0.5,
             azimuth_limits_deg=(-40.0, 40.0), step_m=b.DEFAULT_STEP_M):
    """A Gaussian seamount in the Munk channel, north of the source.

    Its flanks reflect sound sideways, out of the vertical plane of each ray, and cast a shadow
    behind the summit. The default receivers are a horizontal grid at `receiver_depth_m` over
    the fan's sector (its far corners beyond `max_range_m`, which the rays then reach), and
    the fan spans `azimuth_limits_deg` around north.

    Parameters are as for `munk`, plus the seamount's geometry (`floor_m`, `top_m`,
    `centre_m`, `radius_m`, see `seamount_depth`), the map's `receiver_depth_m` and
    `grid_spacing_m`, and the fan's `azimuth_spacing_deg` and `azimuth_limits_deg`. The
    default fan passes `kelpkit.check_fan`; check again after changing the case.

    Returns
    -------
    dict
        The configuration.
    """
    f = list(np.atleast_1d(np.asarray(frequencies_hz, dtype=float)))
    extent = 1.1 * max_range_m + 5e3
    ssp = b.sound_speed_profile(b.evenly_spaced(0.0, floor_m, spacing=50.0), b.munk_profile,
                                x_m=(-extent, extent), y_m=(-extent, extent))
    grid = b.evenly_spaced(-extent, extent, spacing=500.0)

    def depth(x, y):
        return seamount_depth(x, y, floor_m=floor_m, top_m=top_m, centre_m=centre_m,
                              radius_m=radius_m)

    bty = b.bathymetry(grid, grid, depth, bottom=b.fluid_bottom(1600.0, 1.8, 0.5),
                       water_density_g_cm3=1.0)
    receivers_given = receivers is not None
    half = max_range_m * math.sin(math.radians(max(abs(a) for a in azimuth_limits_deg)))
    if receivers is None:
        x = b.evenly_spaced(-half, half, spacing=grid_spacing_m)
        y = b.evenly_spaced(0.0, max_range_m, spacing=grid_spacing_m)
        receivers = b.grid_receivers(x, y, [receiver_depth_m])
    src = b.source((0.0, 0.0, source_depth_m), f,
                   b.launch_fan(-elevation_limit_deg, elevation_limit_deg,
                                spacing_deg=elevation_spacing_deg),
                   b.launch_fan(azimuth_limits_deg[0], azimuth_limits_deg[1],
                                spacing_deg=azimuth_spacing_deg))
    # The default map's far corners lie beyond max_range_m: the rays reach them.
    reach = max_range_m if receivers_given else math.hypot(half, max_range_m)
    beam = b.beam_settings(1.02 * reach, step_m=step_m, ssp=ssp, bathymetry=bty,
                           max_elevation_deg=elevation_limit_deg)
    return b.make_config(ssp, bty, src, receivers, beam,
                         notes={"environment": "seamount",
                                "description": f"seamount to {top_m:g} m in the Munk channel"})
