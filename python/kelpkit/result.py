"""The result of a kelp run as NumPy arrays, with xarray and netCDF conversion.

`KelpResult` holds exactly what kelp computed (single-precision values kept as float32 and
complex64, so nothing is rounded on the way) plus the receiver geometry in the layout the user
asked for. Partial results of one configuration (for example runs over parts of the launch fan)
combine with `KelpResult.merge`, by the same rule kelp uses between its own threads.
"""

import copy
import dataclasses
import datetime
import json
import warnings

import numpy as np

from . import arrivals as _arrivals
from .builders import LAYOUT_KEY, to_kelp_config, to_plain
from .parts import later_arrival_wins

#: Dimension names of the receiver axes, by layout kind.
LAYOUT_DIMS = {
    "grid": ("x", "y", "z"),
    "polar": ("range", "bearing", "depth"),
    "slice": ("range", "bearing", "depth"),
    "array": ("receiver", "_unit1", "_unit2"),
}

_UNITS = {"x": "m", "y": "m", "z": "m", "range": "m", "bearing": "degree", "depth": "m"}
# CF attributes of the receiver axes: depths are CF's vertical coordinate "depth".
_AXIS_ATTRS = {
    "x": {"long_name": "receiver x (east)"},
    "y": {"long_name": "receiver y (north)"},
    "z": {"long_name": "receiver depth", "standard_name": "depth", "positive": "down"},
    "range": {"long_name": "horizontal range from the layout's origin"},
    "bearing": {"long_name": "bearing from the layout's origin, clockwise from north"},
    "depth": {"long_name": "receiver depth", "standard_name": "depth", "positive": "down"},
}
_AXIS_KEYS = {"x": "x_m", "y": "y_m", "z": "z_m", "range": "range_m", "bearing": "bearing_deg",
              "depth": "depth_m"}
_NETCDF_ENGINE = "h5netcdf"

# The time convention of kelp's pressure, stated in every file and in KelpResult.pressure.
TIME_CONVENTION = ("the pressure carries exp(+i omega tau) for a travel time tau (exp(+ikR)/R "
                   "in free space): the exp(-i omega t) time convention")

# CF unit strings of kelp's configuration keys, by suffix.
# Decibels are not a unit UDUNITS knows: such values carry units "1" and say dB in their
# long_name.
_KEY_UNITS = (("_m_s", "m s-1"), ("_g_cm3", "g cm-3"), ("_db_per_wavelength", "1"),
              ("_m", "m"))


def _environment_variables(cfg):
    """The environment of a configuration as netCDF variables with units: the source
    position, the sound-speed grid and field, the bathymetry grid and depths, and the bottom
    model's parameters (its name as an attribute of the depths)."""
    data, coords = {}, {}
    src = cfg.get("source", {})
    if "position" in src:
        # No coordinate variable names the components: CF coordinate variables are numeric.
        data["source_position"] = ("position_component", np.asarray(src["position"], np.float32),
                                   {"units": "m", "long_name": "source position: x east, "
                                                               "y north, depth positive down"})
    ssp = cfg.get("ssp", {})
    axes = [np.asarray(ssp.get(k, []), np.float32) for k in ("x_ssp_m", "y_ssp_m", "z_ssp_m")]
    c = np.asarray(ssp.get("c_m_s", []), np.float32)
    if all(a.size for a in axes) and c.size == axes[0].size * axes[1].size * axes[2].size:
        for name, a, long in zip(("ssp_x", "ssp_y", "ssp_z"), axes,
                                 ("sound-speed grid x (east)", "sound-speed grid y (north)",
                                  "sound-speed grid depth")):
            coords[name] = (name, a, {"units": "m", "long_name": long})
        coords["ssp_z"][2].update(standard_name="depth", positive="down")
        data["sound_speed"] = (("ssp_x", "ssp_y", "ssp_z"), c.reshape([a.size for a in axes]),
                               {"units": "m s-1", "long_name": "sound speed"})
    bty = cfg.get("bathymetry", {})
    bx = np.asarray(bty.get("x_bty_m", []), np.float32)
    by = np.asarray(bty.get("y_bty_m", []), np.float32)
    z = np.asarray(bty.get("z_bty_m", []), np.float32)
    if bx.size and by.size and z.size == bx.size * by.size:
        coords["bathymetry_x"] = ("bathymetry_x", bx, {"units": "m", "long_name": "x (east)"})
        coords["bathymetry_y"] = ("bathymetry_y", by, {"units": "m", "long_name": "y (north)"})
        model = bty.get("bottom_model", {"model": "rigid"})
        name = model.get("model", "rigid") if isinstance(model, dict) else str(model)
        data["bottom_depth"] = (("bathymetry_x", "bathymetry_y"), z.reshape(bx.size, by.size),
                                {"units": "m", "positive": "down", "long_name": "bottom depth",
                                 "bottom_model": name})
        for key, value in (model.items() if isinstance(model, dict) else ()):
            if key == "model" or isinstance(value, bool) or not isinstance(value, (int, float)):
                continue
            units = next((u for suffix, u in _KEY_UNITS if key.endswith(suffix)), "1")
            suffix = next((sfx for sfx, _ in _KEY_UNITS if key.endswith(sfx)), "")
            words = key[:len(key) - len(suffix)].replace("_", " ")
            if suffix == "_db_per_wavelength":
                words += " in dB per wavelength"
            data["bottom_" + key] = ((), np.float32(value),
                                     {"units": units, "long_name": f"bottom {words}"})
        if "water_density_g_cm3" in bty and bty["water_density_g_cm3"] is not None:
            data["water_density_g_cm3"] = ((), np.float32(bty["water_density_g_cm3"]),
                                           {"units": "g cm-3", "long_name": "water density"})
    return data, coords


@dataclasses.dataclass(eq=False)
class KelpResult:
    """Field of one kelp run.

    Attributes
    ----------
    pressure : numpy.ndarray of complex64, shape (F, D1, D2, D3)
        Complex acoustic pressure re the pressure 1 m from the source. It carries
        exp(+i omega tau) for a travel time tau (exp(+ikR)/R in free space), that is the
        exp(-i omega t) time convention: a signal is sum over omega of p exp(-i omega t).
    delay_s : numpy.ndarray of float32, shape (D1, D2, D3)
        Travel time of the earliest beam reaching each receiver; inf where none does.
    amplitude : numpy.ndarray of float32, shape (D1, D2, D3)
        Amplitude of that earliest arrival (0 where none).
    frequency_hz : numpy.ndarray of float32, shape (F,)
    layout : dict
        ``{"kind": "grid" | "slice" | "polar" | "array", ...}``; for slices and polar sets also
        ``origin_m``, ``range_m``, ``bearing_deg`` and ``depth_m``.
    receiver_x_m, receiver_y_m, receiver_z_m : numpy.ndarray of float32, shape (D1, D2, D3)
        Position of every receiver, metres (z is depth).
    ray_paths : list of numpy.ndarray (n_i, 3) of float32, or None
        Path of every beam, (x, y, z) per ray state, in beam order (azimuth-major); present when
        the configuration stored ray paths.
    config : dict or None
        The configuration that produced the result (kelpkit notes included).
    arrival_table : kelpkit.arrivals.ArrivalTable or None
        kelp's arrivals table, when the run kept one (``beam.max_arrivals``); see `arrivals`.
    ray_launch_deg : numpy.ndarray of float32, shape (n, 2), or None
        Launch azimuth and elevation (degrees) of every path in `ray_paths`, in the same
        order; they follow the paths through `merge` and `save`/`load`.
    """

    pressure: np.ndarray
    delay_s: np.ndarray
    amplitude: np.ndarray
    frequency_hz: np.ndarray
    layout: dict
    receiver_x_m: np.ndarray
    receiver_y_m: np.ndarray
    receiver_z_m: np.ndarray
    ray_paths: list = None
    config: dict = None
    arrival_table: _arrivals.ArrivalTable = None
    ray_launch_deg: np.ndarray = None

    # ------------------------------------------------------------------ derived values

    @property
    def shape(self):
        """(F, D1, D2, D3)."""
        return self.pressure.shape

    @property
    def dims(self):
        """Names of the receiver dimensions D1, D2, D3."""
        return LAYOUT_DIMS[self.layout["kind"]]

    @property
    def tl_db(self):
        """Transmission loss -20 log10 |p| in dB re 1 m, shape (F, D1, D2, D3), float64; inf
        where no beam arrives."""
        mag = np.abs(self.pressure.astype(np.complex128))
        with np.errstate(divide="ignore"):
            tl = -20.0 * np.log10(mag)
        tl[:, ~np.isfinite(self.delay_s)] = np.inf
        return tl

    @property
    def range_m(self):
        """Horizontal range of each receiver from the source (or the layout's origin), shape
        (D1, D2, D3)."""
        ox, oy = self._origin()
        return np.hypot(self.receiver_x_m - ox, self.receiver_y_m - oy)

    @property
    def bearing_deg(self):
        """Bearing of each receiver from the source (or the layout's origin), degrees clockwise
        from north (+y) in [0, 360), shape (D1, D2, D3)."""
        ox, oy = self._origin()
        return np.degrees(np.arctan2(self.receiver_x_m - ox, self.receiver_y_m - oy)) % 360.0

    @property
    def arrivals(self):
        """The multipath arrivals as a pandas DataFrame, one row per arrival and frequency
        (None when the run kept no table; set ``beam.max_arrivals``).

        Columns: ``arrival`` (the arrival's entry in the table, shared by its frequencies),
        ``receiver`` (flat index, row-major over the receiver dimensions), ``x_m``, ``y_m``,
        ``z_m``, ``frequency_hz``, ``delay_s`` (after emission), ``amplitude`` (complex64, re
        1 m; the arrival's pressure is amplitude exp(+i 2 pi f delay), and a receiver's
        arrivals sum to its pressure where `arrivals_dropped` is 0), ``launch_elevation_deg``,
        ``launch_azimuth_deg`` (of the arrival's strongest beam), ``arrival_elevation_deg``,
        ``arrival_azimuth_deg`` (the direction the ray travels at the receiver; elevation
        positive down, azimuth clockwise from north), ``surface_bounces``, ``bottom_bounces``
        and ``beam_index``. Rows run by receiver, then delay, then frequency. The frame is
        built on every access; keep a reference to reuse it.
        """
        return _arrivals.arrivals_frame(self)

    @property
    def arrivals_dropped(self):
        """Arrivals a full table discarded per receiver, int64 (D1, D2, D3); None without a
        table. Where non-zero the receiver's arrivals no longer sum to its pressure."""
        return None if self.arrival_table is None else self.arrival_table.dropped

    def _origin(self):
        if "origin_m" in self.layout:
            return tuple(self.layout["origin_m"])
        if self.config is not None:
            return tuple(self.config["source"]["position"][:2])
        return (0.0, 0.0)

    def axis(self, dim):
        """Coordinate values along one receiver dimension.

        Parameters
        ----------
        dim : str
            One of `dims`: "x", "y", "z" (grids), "range", "bearing", "depth" (slices and polar
            sets) or "receiver" (point lists).

        Returns
        -------
        numpy.ndarray
            Metres, or degrees for "bearing", or indices for "receiver".
        """
        if dim not in self.dims:
            raise ValueError(f"axis: dim must be one of {self.dims}, got {dim!r}")
        kind = self.layout["kind"]
        if kind == "grid":
            src = {"x": self.receiver_x_m[:, 0, 0], "y": self.receiver_y_m[0, :, 0],
                   "z": self.receiver_z_m[0, 0, :]}
            return np.asarray(src[dim])
        if kind in ("polar", "slice"):
            return np.asarray(self.layout[_AXIS_KEYS[dim]], dtype=np.float64)
        return np.arange(self.shape[1 + self.dims.index(dim)])

    def frequency_index(self, frequency_hz=None):
        """Index of the frequency nearest `frequency_hz` (the first one when None).

        Parameters
        ----------
        frequency_hz : float, optional

        Returns
        -------
        int
        """
        if frequency_hz is None:
            return 0
        return int(np.argmin(np.abs(self.frequency_hz - float(frequency_hz))))

    # ------------------------------------------------------------------ combining

    def merge(self, later):
        """Combine with the result of other beams of the same configuration.

        Pressures add; each receiver keeps the earliest arrival (on an exactly equal delay the
        larger |amplitude|, on a full tie the earlier beams); ray paths are concatenated. This
        is the rule kelp applies between its own threads, restated in
        `kelpkit.distributed.later_arrival_wins` because kelp merges only inside one call. Runs
        over consecutive parts of a fan merge into the run of the whole fan only where every
        part takes the whole fan's beam spacing from its own first two angles (kelp sizes every
        beam from those, one degree for a single angle); `kelpkit.run` with ``parts`` and
        `kelpkit.run_distributed` run parts of one fan sized by the whole fan. Whether the fan
        is fine enough is `kelpkit.check_fan`'s question.

        Parameters
        ----------
        later : KelpResult
            Result of beams that come after this result's beams in launch order (kelp orders
            beams azimuth-major), for the same receivers and frequencies.

        Returns
        -------
        KelpResult
            A new result; neither operand is changed.
        """
        if not isinstance(later, KelpResult):
            raise TypeError(f"merge: later must be a KelpResult, got {type(later).__name__}")
        if later.pressure.shape != self.pressure.shape:
            raise ValueError(f"merge: shapes differ: {self.pressure.shape} and "
                             f"{later.pressure.shape}")
        if not np.array_equal(later.frequency_hz, self.frequency_hz):
            raise ValueError("merge: the frequencies differ")
        if self.arrival_table is not None or later.arrival_table is not None:
            # kelp groups contributions into arrivals by their spans of delays and their
            # weights, which its finished table no longer carries: two tables cannot be
            # combined into the one a single run would have given.
            raise ValueError("merge: results with arrivals tables cannot be merged (an "
                             "arrival's delay span and weights, which decide what joins it, "
                             "are not in the finished table); run the whole fan in one call "
                             "for arrivals")
        take = later_arrival_wins(self.delay_s, self.amplitude, later.delay_s, later.amplitude)
        paths = launch = None
        if self.ray_paths is not None or later.ray_paths is not None:
            paths = list(self.ray_paths or []) + list(later.ray_paths or [])
            angles = [r.ray_launch_deg if r.ray_paths is not None else np.zeros((0, 2))
                      for r in (self, later)]
            if all(a is not None for a in angles):
                launch = np.concatenate(angles).astype(np.float32)
        return dataclasses.replace(
            self,
            pressure=self.pressure + later.pressure,
            delay_s=np.where(take, later.delay_s, self.delay_s),
            amplitude=np.where(take, later.amplitude, self.amplitude),
            ray_paths=paths,
            ray_launch_deg=launch,
            layout=copy.deepcopy(self.layout),
            config=copy.deepcopy(self.config),
        )

    # ------------------------------------------------------------------ xarray / netCDF

    def to_xarray(self):
        """The result as an `xarray.Dataset`.

        Dimensions ``frequency`` and the layout's receiver dimensions (``x, y, z`` for grids;
        ``range, bearing, depth`` for slices and polar sets; ``receiver`` for point lists),
        with units in each variable's ``units`` attribute. Ray paths, when present, are stored
        as a contiguous ragged array (dimension ``ray_point``, counts per ``ray``). The
        configuration is kept as JSON text in the variable ``config_json``.
        """
        import xarray as xr

        kind = self.layout["kind"]
        dims = self.dims
        rdims = dims if kind != "array" else ("receiver",)

        def recv(a):
            return a.reshape(a.shape[0]) if kind == "array" else a

        coords = {"frequency": ("frequency", self.frequency_hz, {"units": "Hz",
                                                                 "long_name": "frequency"})}
        if kind != "array":
            for d in dims:
                coords[d] = (d, self.axis(d).astype(np.float32 if kind == "grid" else np.float64),
                             {"units": _UNITS[d], **_AXIS_ATTRS[d]})
        for name, arr, long in (("receiver_x_m", self.receiver_x_m, "receiver x (east)"),
                                ("receiver_y_m", self.receiver_y_m, "receiver y (north)"),
                                ("receiver_z_m", self.receiver_z_m, "receiver depth")):
            coords[name] = (rdims, recv(arr), {"units": "m", "long_name": long})
        fdims = ("frequency",) + rdims
        tl = self.tl_db
        data = {
            "pressure": (fdims, self.pressure.reshape((self.shape[0],) + recv(self.delay_s).shape),
                         {"units": "1", "long_name": "complex pressure re 1 m from the source"}),
            "tl_db": (fdims, tl.reshape((self.shape[0],) + recv(self.delay_s).shape),
                      {"units": "1",
                       "long_name": "transmission loss -20 log10|p| in dB re 1 m"}),
            "delay_s": (rdims, recv(self.delay_s), {"units": "s",
                                                    "long_name": "earliest arrival time"}),
            "amplitude": (rdims, recv(self.amplitude), {"units": "1",
                                                        "long_name": "earliest arrival amplitude"}),
            "config_json": ((), json.dumps(self.config) if self.config is not None else ""),
        }
        if self.ray_paths is not None:
            counts = np.array([len(p) for p in self.ray_paths], dtype=np.int64)
            pts = (np.concatenate(self.ray_paths).astype(np.float32) if len(self.ray_paths)
                   else np.zeros((0, 3), np.float32))
            data["ray_point_count"] = ("ray", counts, {"long_name": "points per ray",
                                                       "sample_dimension": "ray_point"})
            for i, (name, long) in enumerate((("ray_x_m", "ray x (east)"),
                                              ("ray_y_m", "ray y (north)"),
                                              ("ray_z_m", "ray depth"))):
                data[name] = ("ray_point", pts[:, i], {"units": "m", "long_name": long})
            if self.ray_launch_deg is not None:
                for i, name in enumerate(("azimuth", "elevation")):
                    data[f"ray_launch_{name}_deg"] = (
                        "ray", np.asarray(self.ray_launch_deg, np.float32)[:, i],
                        {"units": "degree", "long_name": f"launch {name} of the ray"})
        if self.arrival_table is not None:
            data.update(_arrivals.table_variables(self.arrival_table, rdims, recv))
        if self.config is not None:
            env_data, env_coords = _environment_variables(self.config)
            data.update(env_data)
            coords.update(env_coords)
        created = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        attrs = {"title": "kelp Gaussian-beam field", "Conventions": "CF-1.10",
                 "source": f"kelp {_kelp_version()} (Gaussian-beam model), kelpkit "
                           f"{_kelpkit_version()}",
                 "history": f"{created} computed by kelp {_kelp_version()}, written by kelpkit "
                            f"{_kelpkit_version()}",
                 "kelp_version": _kelp_version(), "kelpkit_version": _kelpkit_version(),
                 "date_created": created,
                 "time_convention": TIME_CONVENTION,
                 "layout_json": json.dumps(self.layout),
                 "tl_convention": "TL = -20 log10 |p|, dB re 1 m; inf where no beam arrives",
                 "coordinates_convention": "x east, y north, z depth positive down; bearing "
                                           "clockwise from north"}
        return xr.Dataset(data, coords=coords, attrs=attrs)

    def save(self, path):
        """Write the result to a netCDF-4 file (through xarray and h5netcdf).

        The complex pressure is stored as two float32 variables ``pressure_re`` and
        ``pressure_im``, which every netCDF reader understands; `load` joins them again. The
        file follows the CF conventions (1.10; the IOOS compliance checker's CF suite passes it
        with full marks): TL in ``tl_db`` (units "1": decibels are not a UDUNITS unit, its
        long_name says dB), the environment (source position, sound-speed and bathymetry grids,
        bottom model) as variables with units and long names, depths as CF's vertical
        coordinate, no fill value on coordinates, and the versions, history, creation date and
        time convention as attributes."""
        ds = self.to_xarray()
        p = ds["pressure"]
        ds = ds.drop_vars("pressure")
        attrs = {"units": "1"}
        ds["pressure_re"] = p.real.astype(np.float32).assign_attrs(
            attrs, long_name="real part of the complex pressure re 1 m")
        ds["pressure_im"] = p.imag.astype(np.float32).assign_attrs(
            attrs, long_name="imaginary part of the complex pressure re 1 m")
        ds = _arrivals.split_complex_amplitude(ds)
        encoding = {v: {"zlib": True, "complevel": 4} for v in ds.data_vars
                    if ds[v].ndim > 0 and ds[v].size > 0}
        # CF coordinate variables have no missing values, so no _FillValue either.
        encoding.update({c: {"_FillValue": None} for c in ds.coords
                         if ds[c].dtype.kind == "f"})
        ds.to_netcdf(path, engine=_NETCDF_ENGINE, encoding=encoding)


def _kelp_version():
    try:
        import kelp

        return str(getattr(kelp, "__version__", "unknown"))
    except ImportError:
        return "unknown"


def _kelpkit_version():
    from . import __version__

    return __version__


def from_xarray(ds):
    """Rebuild a `KelpResult` from a dataset.

    Parameters
    ----------
    ds : xarray.Dataset
        The output of `KelpResult.to_xarray`, or a file written by `KelpResult.save` and opened
        with xarray.

    Returns
    -------
    KelpResult
    """
    layout = json.loads(ds.attrs["layout_json"])
    kind = layout["kind"]
    if "pressure" in ds:
        p = np.asarray(ds["pressure"].values).astype(np.complex64)
    else:
        re = np.asarray(ds["pressure_re"].values, dtype=np.float32)
        im = np.asarray(ds["pressure_im"].values, dtype=np.float32)
        p = np.empty(re.shape, dtype=np.complex64)
        p.real, p.imag = re, im

    def unrecv(a):
        a = np.asarray(a)
        return a.reshape(a.shape + (1, 1)) if kind == "array" else a

    delay = unrecv(ds["delay_s"].values).astype(np.float32)
    pressure = p.reshape((p.shape[0],) + delay.shape)
    paths = None
    if "ray_point_count" in ds:
        counts = np.asarray(ds["ray_point_count"].values, dtype=np.int64)
        pts = np.stack([np.asarray(ds[v].values, dtype=np.float32)
                        for v in ("ray_x_m", "ray_y_m", "ray_z_m")], axis=1)
        paths = np.split(pts, np.cumsum(counts)[:-1]) if counts.size else []
    launch = None
    if "ray_launch_azimuth_deg" in ds:
        launch = np.column_stack([np.asarray(ds[f"ray_launch_{n}_deg"].values, np.float32)
                                  for n in ("azimuth", "elevation")]).reshape(-1, 2)
    text = str(ds["config_json"].values) if "config_json" in ds else ""
    return KelpResult(
        pressure=pressure,
        delay_s=delay,
        amplitude=unrecv(ds["amplitude"].values).astype(np.float32),
        frequency_hz=np.asarray(ds["frequency"].values, dtype=np.float32),
        layout=layout,
        receiver_x_m=unrecv(ds["receiver_x_m"].values).astype(np.float32),
        receiver_y_m=unrecv(ds["receiver_y_m"].values).astype(np.float32),
        receiver_z_m=unrecv(ds["receiver_z_m"].values).astype(np.float32),
        ray_paths=paths,
        config=json.loads(text) if text else None,
        arrival_table=_arrivals.table_from_dataset(ds, delay.shape),
        ray_launch_deg=launch,
    )


def load(path):
    """Read a result written by `KelpResult.save`.

    Parameters
    ----------
    path : str or os.PathLike
        The netCDF file.

    Returns
    -------
    KelpResult
    """
    import xarray as xr

    with xr.open_dataset(path, engine=_NETCDF_ENGINE) as ds:
        return from_xarray(ds.load())


# ---------------------------------------------------------------------- from kelp's output


def from_kelp_output(out, cfg=None):
    """Turn the dict returned by `kelp.run_simulation` into a `KelpResult`.

    Parameters
    ----------
    out : dict
        kelp's output: ``{"pressure_field": {...}}`` and optionally ``"ray_paths"``.
    cfg : dict, optional
        The configuration of the run. Its receiver layout (slice, polar) decides the shape of
        the arrays; without it a grid stays a grid and a point list stays a list.

    Returns
    -------
    KelpResult
    """
    if not isinstance(out, dict) or "pressure_field" not in out:
        raise TypeError("from_kelp_output: out must be the dict kelp.run_simulation returns")
    pf = out["pressure_field"]
    layout = layout_of(cfg, pf)
    shape = tuple(int(s) for s in pf["shape"])
    positions = None
    if "receiver_positions_m" in pf:
        positions = np.asarray(pf["receiver_positions_m"], dtype=np.float32).reshape(-1, 3)
    paths = None
    if "ray_paths" in out:
        paths = [np.asarray(path, dtype=np.float32).reshape(-1, 3) for path in out["ray_paths"]]
    return result_from_arrays(
        shape, pf["frequency_hz"], pf["pressure_re"], pf["pressure_im"], pf["delay_s"],
        pf["amplitude"], positions=positions,
        axes=None if positions is not None else [pf[k] for k in ("x_m", "y_m", "z_m")],
        ray_paths=paths, layout=layout, cfg=cfg, arrivals=out.get("arrivals"))


def result_from_arrays(shape, frequency_hz, pressure_re, pressure_im, delay_s, amplitude, *,
                       positions=None, axes=None, ray_paths=None, layout, cfg=None,
                       arrivals=None):
    """A `KelpResult` from kelp's flat row-major field values (any array-likes, taken as
    float32) and the receivers' geometry: `positions` (N, 3) in array mode, else the grid's
    `axes` (x, y, z). The paths, when given, are those of the configuration's whole fan in
    launch order; `arrivals` is kelp's ``"arrivals"`` dict of the whole fan, when kept."""
    kind = layout.get("kind")
    f = np.asarray(frequency_hz, dtype=np.float32)
    p = np.empty(shape, dtype=np.complex64)
    p.real = np.asarray(pressure_re, dtype=np.float32).reshape(shape)
    p.imag = np.asarray(pressure_im, dtype=np.float32).reshape(shape)
    delay = np.asarray(delay_s, dtype=np.float32).reshape(shape[1:])
    amp = np.asarray(amplitude, dtype=np.float32).reshape(shape[1:])

    if positions is not None:
        pos = np.asarray(positions, dtype=np.float32).reshape(-1, 3)
        rx, ry, rz = (pos[:, i].reshape(shape[1:]) for i in range(3))
    else:
        ax = [np.asarray(a, dtype=np.float32) for a in axes]
        rx, ry, rz = np.meshgrid(*ax, indexing="ij")

    if kind in ("slice", "polar"):
        dims = (len(layout["range_m"]), len(layout["bearing_deg"]), len(layout["depth_m"]))
        if int(np.prod(dims)) != int(np.prod(shape[1:])):
            raise ValueError(f"from_kelp_output: the layout has {int(np.prod(dims))} receivers "
                             f"but kelp returned {int(np.prod(shape[1:]))}")
        # A slice sent as a one-column grid (x fixed or y fixed) and a point list in
        # (range, bearing, depth) order both flatten to range-major order.
        p = p.reshape((shape[0],) + dims)
        delay, amp = delay.reshape(dims), amp.reshape(dims)
        rx, ry, rz = (a.reshape(dims) for a in (rx, ry, rz))

    arrival_table = None
    if arrivals is not None:
        arrival_table = _arrivals.table_from_output(arrivals, f, delay.shape)
    launch = None
    if ray_paths is not None and cfg is not None:
        az, el = beam_angles(cfg)
        if az.size == len(ray_paths):
            launch = np.column_stack([az, el]).astype(np.float32)
    return KelpResult(pressure=p, delay_s=delay, amplitude=amp, frequency_hz=f,
                      layout=layout, receiver_x_m=np.ascontiguousarray(rx),
                      receiver_y_m=np.ascontiguousarray(ry),
                      receiver_z_m=np.ascontiguousarray(rz), ray_paths=ray_paths,
                      config=to_plain(cfg) if cfg is not None else None,
                      ray_launch_deg=launch, arrival_table=arrival_table)


def layout_of(cfg, pf_keys):
    """The receiver layout kelpkit noted in `cfg`, else the one kelp's output implies."""
    layout = None
    if cfg is not None:
        layout = copy.deepcopy((cfg.get("receivers") or {}).get(LAYOUT_KEY))
    if layout is None:
        layout = {"kind": "array" if "receiver_positions_m" in pf_keys else "grid"}
    if layout.get("kind") not in LAYOUT_DIMS:
        raise ValueError(f"from_kelp_output: unknown receiver layout {layout.get('kind')!r}")
    return layout


def check_config(cfg):
    """Plausibility findings for a configuration: set-ups kelp runs without complaint but
    that are almost always mistakes.

    kelp itself computes them, with its own bathymetry and sound-speed lookups (the source
    and every receiver against the bottom under it and the grids' extent, receivers beyond
    ``max_range_m``, negative bottom depths, sound speeds outside 1300-1800 m/s, frequencies
    outside 1 Hz - 1 MHz, horizontal grids under 10 m wide, launch angles that look like
    radians). The README lists each finding and its rule.

    Parameters
    ----------
    cfg : dict
        A configuration (kelpkit's notes and NumPy values allowed).

    Returns
    -------
    list of str
        One plain-language line per kind of problem, with counts; empty when the set-up is
        plausible.

    Raises
    ------
    RuntimeError
        Exactly as `kelp.run_simulation` would for a configuration it cannot read or
        validate; `kelpkit.KelpInternalError` (a RuntimeError with kelp's message) where kelp
        raises ``kelp.PanicException`` (an environment it cannot build).
    """
    import kelp

    from .runner import kelp_errors

    with kelp_errors(kelp):
        return list(kelp._check_config(to_kelp_config(cfg)))


def beam_angles(cfg):
    """Launch angles of every beam in kelp's beam order (azimuth-major). (Whether the fan is
    fine enough: `kelpkit.check_fan`.)

    kelp's output gives the paths in beam order but not the angles, so the order of its fan
    (`build_beam_fan` in src/engine/engine.cpp: every elevation of the first azimuth, then of
    the next) is restated here.

    Parameters
    ----------
    cfg : dict
        A configuration.

    Returns
    -------
    azimuth_deg, elevation_deg : numpy.ndarray
        One entry per beam, in the order of `KelpResult.ray_paths`.
    """
    src = cfg["source"]
    az = np.asarray(src["launch_azim_deg"], dtype=float)
    el = np.asarray(src["launch_elev_deg"], dtype=float)
    return np.repeat(az, el.size), np.tile(el, az.size)
