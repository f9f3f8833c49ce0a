"""kelpkit: build, run, save and plot three-dimensional kelp simulations.

    import kelpkit
    cfg = kelpkit.munk(max_range_m=100e3)          # a plain, JSON-serialisable dict
    res = kelpkit.run(cfg)                          # numpy arrays: pressure, tl_db, delay_s ...
                                                    # (Ctrl-C stops it; progress for large fans)
    res.save("munk.nc")                             # netCDF-4 through xarray
    kelpkit.plot_tl_slice(res).figure.savefig("munk.png")

The extension module `kelp` does the physics; kelpkit only prepares its input and shapes its
output. Plotting needs matplotlib, which is imported on first use.
"""

from .builders import (
    DEFAULT_STEP_M,
    array_receivers,
    bathymetry,
    beam_settings,
    derive_max_steps,
    elastic_bottom,
    evenly_spaced,
    fluid_bottom,
    grid_receivers,
    launch_fan,
    make_config,
    munk_profile,
    polar_receivers,
    rigid_bottom,
    slice_receivers,
    sound_speed_field,
    sound_speed_profile,
    source,
    to_kelp_config,
    to_plain,
)
from .realdata import (
    bathymetry_from_elevation,
    latlon_from_xy,
    mackenzie_sound_speed,
    receivers_at,
    sound_speed_from_ts,
    source_at,
    teos10_sound_speed,
    xy_from_latlon,
)
from .arrivals import (
    ArrivalTable,
    Eigenray,
    eigenrays,
    first_arrival,
    impulse_response,
    plot_arrivals,
    plot_eigenrays,
    transmission_loss,
)
from .environments import ideal_wedge, munk, pekeris, seamount, slice_fan, wavelength_m
from .result import (
    KelpResult,
    beam_angles,
    check_config,
    from_kelp_output,
    from_xarray,
    load,
)
from .fancheck import FanCheck, check_fan
from .parts import split_fan
from .runner import KelpInternalError, RunEstimate, estimate_run, run

__version__ = "0.1.0"

__all__ = [
    "ArrivalTable", "eigenrays", "Eigenray", "first_arrival", "impulse_response",
    "plot_arrivals", "plot_eigenrays", "transmission_loss",
    "array_receivers", "bathymetry", "bathymetry_from_elevation", "beam_angles",
    "beam_settings", "check_config", "check_fan", "DEFAULT_STEP_M", "derive_max_steps",
    "elastic_bottom", "estimate_run", "evenly_spaced", "FanCheck", "fluid_bottom",
    "from_kelp_output", "from_xarray", "grid_receivers", "ideal_wedge", "KelpInternalError",
    "KelpResult", "latlon_from_xy", "launch_fan", "load", "mackenzie_sound_speed",
    "make_config", "munk", "munk_profile", "pekeris", "plot_rays", "plot_tl_map",
    "plot_tl_slice", "polar_receivers", "receivers_at", "rigid_bottom", "run",
    "run_distributed", "RunEstimate", "seamount", "slice_fan", "slice_receivers", "sound_speed_field",
    "sound_speed_from_ts", "sound_speed_profile", "source", "source_at", "split_fan",
    "teos10_sound_speed", "to_kelp_config", "to_plain", "wavelength_m", "xy_from_latlon",
]


def __getattr__(name):
    # The plotting functions pull in matplotlib, the cluster runner Dask: load them only when
    # asked for.
    if name == "run_distributed":
        from . import distributed

        return getattr(distributed, name)
    if name in ("plot_tl_slice", "plot_tl_map", "plot_rays"):
        from . import plots

        return getattr(plots, name)
    raise AttributeError(f"module 'kelpkit' has no attribute {name!r}")
