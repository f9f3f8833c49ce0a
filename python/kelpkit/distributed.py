"""Running one kelp simulation on a Dask cluster.

The beam fan is cut into contiguous parts in launch order, every part runs as a
``kelp.run_simulation`` call on a worker, and the partial fields are merged back in launch order.
The result is the one ``kelp.run_simulation`` returns for the whole configuration: the same keys
and shapes, identical earliest arrivals and ray paths, pressures equal up to the rounding of the
float32 sums (which are grouped differently).

Why every part gives the same beams as the whole run: a beam's contribution depends on its own
launch pair and on the fan spacings dazim and delev, which kelp takes from the first two entries
of each launch list (in float32 radians; one degree for a list of one). A call on a piece of the
fan must therefore see first two entries exactly as far apart as the whole run's. In float32
that rarely holds beyond the first pair: 5 deg steps give 5, 10, 15 deg -> 0.0872665, 0.1745329,
0.2617994 rad, and 0.2617994 - 0.1745329 is one unit in the last place off 0.0872665. A part
whose own first pair keeps the spacing runs as it is. Any other part is launched behind the whole
run's first two azimuths (its "lead-in"), so kelp spaces it exactly as in the whole run; the
lead-in beams are beams of the whole run, earlier in launch order, with bit-identical
contributions, so they cannot change an earliest arrival once merged behind the part that owns
them; their paths are dropped and their pressure, computed on its own, is subtracted (float
rounding of the pressures only). With a single azimuth the same is done along the elevations.

What kelp computes is asked of kelp wherever its answer can be had: the output's geometry and
key order come from a part's own output, and the warnings of the whole run from kelp itself
(`_kelp_warnings`). Two rules cannot be asked, because the module exposes only
``run_simulation`` and its output carries neither: the fan spacing a call uses (`_spacing`, from
the angles as kelp reads them, `_as_float32`) and the earliest-arrival rule of merging
(`later_arrival_wins`). Both are restated here with a pointer to the core function they mirror.

Why each part runs in a child process of the worker: ``kelp.run_simulation`` keeps the
interpreter lock for the whole call, so run inside the worker it would silence the worker's
heartbeats, and a part longer than the scheduler's ``worker-ttl`` (five minutes by default) would
get its worker declared dead and the part restarted elsewhere, again and again. The worker thread
instead waits for a child interpreter, with the lock released.
"""

from __future__ import annotations

import importlib.util
import operator
import os
import pickle
import re
import subprocess
import sys
import uuid
import warnings
from dataclasses import dataclass

import numpy as np

__all__ = ["run_distributed", "split_fan"]

# pi / 180 as the single-precision constant kelp converts launch angles with (kDegToRad in
# src/core/constants.hpp).
_DEG_TO_RAD = np.float32(0.017453292)

# Launch angles are float32 in kelp; integers this large reach float32 by another rounding path
# in kelp's parser than through a double, so such fans are not split (they are absurd anyway).
_EXACT_INT_LIMIT = 2**53

_FIELD_KEYS = ("pressure_re", "pressure_im", "delay_s", "amplitude")


# --------------------------------------------------------------------------------------------
# Cutting the fan


@dataclass(frozen=True)
class _Fan:
    """The launch fan cut along its outer list: azimuths (each a unit of len(elev) beams), or
    the elevations when there is one azimuth (then each unit is one beam)."""

    azim_deg: list  # the configuration's own entries, passed on unchanged
    elev_deg: list
    along_elevation: bool  # units are elevations (one azimuth) rather than azimuths
    pair_ok: np.ndarray  # pair_ok[u]: units u, u+1 are exactly the whole run's spacing apart
    spacing: np.float32  # the whole run's spacing along the units, radians
    single_ok: bool  # a one-unit kelp call keeps that spacing (it is exactly one degree)

    @property
    def n_units(self) -> int:
        return len(self.elev_deg) if self.along_elevation else len(self.azim_deg)

    @property
    def unit_beams(self) -> int:
        return 1 if self.along_elevation else len(self.elev_deg)

    @property
    def n_beams(self) -> int:
        return len(self.azim_deg) * len(self.elev_deg)


def _as_float32(values) -> np.ndarray | None:
    """The launch list as kelp reads it (JSON number -> float32, as `number_to_f32` in
    src/input/config_values.cpp), or None where kelp would refuse it or read it by another
    rounding path. The angles a call used are not part of its output, so this is restated."""
    if not isinstance(values, (list, tuple)):
        return None
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            return None
        if isinstance(v, int) and abs(v) >= _EXACT_INT_LIMIT:
            return None
    with np.errstate(over="ignore", invalid="ignore"):
        deg = np.asarray([float(v) for v in values], dtype=np.float64).astype(np.float32)
    if not np.all(np.isfinite(deg)):
        return None
    return deg


def _spacing(rad: np.ndarray) -> np.float32:
    """kelp's fan spacing: |second - first| in float32, one degree for fewer than two angles.

    This mirrors `engine::angle_spacing` (src/engine/engine.cpp). It cannot be asked of kelp:
    the output dict does not carry the spacing a call used, and the module has no other
    function. A change of that rule in the core must be made here too; the distributed tests
    compare every split run with kelp's single run bit for bit and would catch a difference.
    """
    if rad.size < 2:
        return _DEG_TO_RAD
    return np.float32(abs(rad[1] - rad[0]))


def _read_fan(cfg) -> _Fan | None:
    """The fan of a configuration, or None where it cannot be split safely (kelp then sees the
    whole configuration and reports its own error, if any)."""
    try:
        source = cfg["source"]
        azim_deg, elev_deg = source["launch_azim_deg"], source["launch_elev_deg"]
    except (KeyError, TypeError, IndexError):
        return None
    az, el = _as_float32(azim_deg), _as_float32(elev_deg)
    if az is None or el is None or not isinstance(cfg.get("beam"), dict):
        return None
    # kelp refuses an elevation beyond 90 deg with one message for the whole list (input
    # validation, src/input/config_validate.cpp); a part that does not hold it would report
    # another message. Such a configuration runs whole, and kelp reports it.
    if np.any(np.abs(el) > np.float32(90)):
        return None
    along_elevation = len(az) == 1
    rad = (el if along_elevation else az) * _DEG_TO_RAD
    spacing = _spacing(rad)
    pair_ok = np.append(np.abs(rad[1:] - rad[:-1]) == spacing, False)
    return _Fan(list(azim_deg), list(elev_deg), along_elevation, pair_ok, spacing,
                bool(spacing == _DEG_TO_RAD))


def _kelp_call(fan: _Fan, u0: int, u1: int) -> dict:
    """The kelp call that runs units u0 .. u1-1 spaced exactly like the whole run: as they are
    when their own first pair (or a single unit of exactly one degree) keeps the spacing, else
    behind the whole run's first two units, whose beams are then taken out again."""
    def lists(units):
        if fan.along_elevation:
            return fan.azim_deg, [fan.elev_deg[u] for u in units]
        return [fan.azim_deg[u] for u in units], fan.elev_deg

    own = list(range(u0, u1))
    if (u1 - u0 >= 2 and fan.pair_ok[u0]) or (u1 - u0 == 1 and fan.single_ok):
        azim, elev = lists(own)
        return {"azim": azim, "elev": elev, "lead_in": None, "lead_in_beams": 0}
    azim, elev = lists([0, 1] + own)
    lead_azim, lead_elev = lists([0, 1])
    return {"azim": azim, "elev": elev, "lead_in": (lead_azim, lead_elev),
            "lead_in_beams": 2 * fan.unit_beams}


def _even_parts(n_units: int, count: int) -> list[tuple[int, int]]:
    """`count` contiguous unit ranges of near equal size."""
    bounds = [(i * n_units) // count for i in range(count + 1)]
    return list(zip(bounds[:-1], bounds[1:]))


def _unit_parts(cfg, parts) -> tuple[_Fan | None, list[tuple[int, int]]]:
    """The fan and its parts as unit ranges; see `split_fan`."""
    fan = _read_fan(cfg)
    unsplittable = ("parts: this configuration's launch lists cannot be split (they are missing, "
                    "not numbers, or hold an elevation beyond 90 deg); use parts=None to run it "
                    "whole")
    if isinstance(parts, (list, tuple, np.ndarray)):
        sizes = [_as_count(p, f"parts[{i}]") for i, p in enumerate(parts)]
        if fan is None:
            raise ValueError(unsplittable)
        n, per_unit = fan.n_beams, fan.unit_beams
        if sum(sizes) != n or any(s < 1 for s in sizes):
            raise ValueError(f"parts: beam counts {sizes} must be positive and sum to the "
                             f"number of beams, {n}")
        ranges, first = [], 0
        for i, s in enumerate(sizes):
            if first % per_unit or s % per_unit:
                raise ValueError(
                    f"parts[{i}] (beams {first} to {first + s - 1}) cannot be normalised like the "
                    f"whole run: it cuts through an azimuth, and a piece of an azimuth has its own "
                    f"azimuth spacing (one degree); parts must hold whole azimuths of {per_unit} "
                    f"beams")
            ranges.append((first // per_unit, (first + s) // per_unit))
            first += s
        return fan, ranges
    count = _as_count(parts, "parts")
    if fan is None or fan.n_beams == 0:
        if count == 1:
            return None, [(0, 0)]
        if fan is None:
            raise ValueError(unsplittable)
        raise ValueError("parts: the fan has no beams, so it runs as one part")
    kind = "elevations" if fan.along_elevation else "azimuths"
    if not 1 <= count <= fan.n_units:
        raise ValueError(f"parts must be between 1 and the number of {kind}, {fan.n_units}; "
                         f"got {count}")
    return fan, _even_parts(fan.n_units, count)


def split_fan(cfg, parts) -> list[tuple[int, int]]:
    """Cut the beam fan of `cfg` into contiguous parts in launch order.

    Parts hold whole azimuths (whole elevations when there is a single azimuth), so that each
    runs as one kelp call normalised like the whole run.

    Parameters
    ----------
    cfg : dict
        A kelp configuration.
    parts : int or sequence of int
        The number of parts, of near equal size, or the beam count of every part in launch
        order (whole azimuths, summing to the number of beams).

    Returns
    -------
    list of (int, int)
        Beam index ranges [first, stop) in launch order (beam index = azimuth number x number of
        elevations + elevation number).

    Raises
    ------
    ValueError
        Naming `parts`, when a part cannot be normalised like the whole run (it cuts through an
        azimuth), the counts do not fit the fan, or the fan cannot be read.
    TypeError
        When `parts` is neither an int nor a sequence of ints.
    """
    fan, ranges = _unit_parts(cfg, parts)
    per_unit = fan.unit_beams if fan is not None else 0
    return [(u0 * per_unit, u1 * per_unit) for u0, u1 in ranges]


def _as_count(value, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be None, an int or a sequence of ints, "
                        f"got {type(value).__name__}") from None


def _default_parts(cfg, threads: int) -> tuple[_Fan | None, list[tuple[int, int]]]:
    """About two parts per worker thread."""
    fan = _read_fan(cfg)
    if fan is None or fan.n_beams == 0:
        return None, [(0, 0)]
    return fan, _even_parts(fan.n_units, min(2 * max(1, threads), fan.n_units))


# --------------------------------------------------------------------------------------------
# Partial fields


def _partial_from_output(out: dict, keep_geometry: bool) -> dict:
    """kelp's output dict as a compact partial field (float32 arrays, as kelp computed them)."""
    pf = out["pressure_field"]
    part = {k: np.asarray(pf[k], dtype=np.float32) for k in _FIELD_KEYS}
    if keep_geometry:
        # Everything but the summed arrays, and kelp's own key order at both levels.
        part["geometry"] = {k: v for k, v in pf.items() if k not in _FIELD_KEYS}
        part["key_order"] = (list(out), list(pf))
    if "ray_paths" in out:
        paths = out["ray_paths"]
        part["path_lengths"] = [np.asarray([len(p) for p in paths], dtype=np.int64)]
        part["path_points"] = [np.asarray([q for p in paths for q in p],
                                          dtype=np.float32).reshape(-1, 3)]
    return part


def later_arrival_wins(delay_s, amplitude, later_delay_s, later_amplitude) -> np.ndarray:
    """Where the earliest arrival of later beams replaces the one held so far.

    kelp's rule for contributions in launch order: a strictly earlier delay wins; on an
    exactly equal delay the larger |amplitude| wins; on a full tie the earlier beams stay. NaN
    never wins (every comparison with it is false). This mirrors `merge_pressure_fields`
    (src/influence/pressure_field.cpp), which kelp applies only to the partial fields inside
    one call: the module exposes nothing but ``run_simulation``, so fields of separate calls
    are merged here, by the same rule, and a change of the rule in the core must be made here
    too.
    """
    return (later_delay_s < delay_s) | (
        (later_delay_s == delay_s) & (np.abs(later_amplitude) > np.abs(amplitude)))


def merge_partial_fields(total: dict, part: dict) -> None:
    """Merge a partial field into the running total, in place; `part` holds later beams.

    Pressures add; the earliest arrival follows `later_arrival_wins`."""
    total["pressure_re"] += part["pressure_re"]
    total["pressure_im"] += part["pressure_im"]
    d, a = part["delay_s"], part["amplitude"]
    td, ta = total["delay_s"], total["amplitude"]
    take = later_arrival_wins(td, ta, d, a)
    td[take] = d[take]
    ta[take] = a[take]
    if "path_lengths" in part:
        total["path_lengths"].extend(part["path_lengths"])
        total["path_points"].extend(part["path_points"])


def _part_config(base: dict, azim_deg, elev_deg) -> dict:
    cfg = dict(base)
    cfg["source"] = {**base["source"], "launch_azim_deg": azim_deg, "launch_elev_deg": elev_deg}
    cfg["beam"] = {**base["beam"], "show_progress": False}
    return cfg


def _run_kelp(kelp, cfg, keep_geometry: bool) -> tuple[dict, list]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = kelp.run_simulation(cfg)
    return _partial_from_output(out, keep_geometry), [str(w.message) for w in caught]


# An unknown top-level key that only the warning probe adds.
_END_OF_WARNINGS_KEY = "kelpkit_end_of_warnings"


def _kelp_warnings(kelp, cfg) -> list:
    """kelp's own warnings for `cfg`, in kelp's order, without running the simulation.

    A part's warnings are not the whole run's: its launch lists are not the whole fan's, so
    kelp's remark on an uneven fan may be missing or extra. kelp warns before it runs, unknown
    keys last and in the dict's order, and a warning that a filter turns into an error ends the
    call with nothing run. With an unknown key added as the last top-level key, turning its
    warning alone into an error lets kelp record all the others and then stops the call. Errors
    of the configuration itself (parse, validation) propagate with kelp's message.
    """
    end = f"kelp: unknown input key is ignored: config.{_END_OF_WARNINGS_KEY}"
    probe = {k: v for k, v in cfg.items() if k != _END_OF_WARNINGS_KEY}
    probe[_END_OF_WARNINGS_KEY] = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("error", message=re.escape(end) + r"\Z", category=UserWarning)
        try:
            kelp.run_simulation(probe)
        except RuntimeError as e:
            if not str(e).endswith(end):
                raise
    return [text for w in caught if (text := str(w.message)) != end]


def _child_main() -> None:
    """Entry of the child interpreter that runs one part: reads (base configuration, call,
    keep_geometry) from stdin, runs the call and writes the partial field to the original
    stdout. kelp's own console output (C stdout) goes to stderr instead, so it cannot corrupt
    the result; kelp's errors travel back as values."""
    result_fd = os.dup(1)
    os.dup2(2, 1)
    base, call, keep_geometry = pickle.load(sys.stdin.buffer)
    import kelp

    try:
        whole_source = call.get("whole_source")
        if whole_source is not None:
            whole_warnings = _kelp_warnings(kelp, {**base, "source": whole_source})
        if call["azim"] is None:  # the fan could not be read: the configuration runs as it is
            result, caught = _run_kelp(kelp, base, keep_geometry)
        else:
            result, caught = _run_kelp(kelp, _part_config(base, call["azim"], call["elev"]),
                                       keep_geometry)
        if whole_source is not None:
            caught = whole_warnings
        if call.get("lead_in") is not None:
            # Take the lead-in beams out again: their pressure, computed alone, and their
            # paths. Their arrivals stay: they duplicate arrivals of earlier parts.
            lead_cfg = _part_config(base, *call["lead_in"])
            lead_cfg["beam"]["store_ray_paths"] = False
            lead, _ = _run_kelp(kelp, lead_cfg, False)
            result["pressure_re"] -= lead["pressure_re"]
            result["pressure_im"] -= lead["pressure_im"]
            skip = call["lead_in_beams"]
            if "path_lengths" in result:
                lengths = result["path_lengths"][0]
                result["path_points"] = [result["path_points"][0][int(lengths[:skip].sum()):]]
                result["path_lengths"] = [lengths[skip:]]
        result["warnings"] = caught
    except kelp.PanicException as e:
        result = {"error": ("PanicException", str(e))}
    except Exception as e:  # kelp's RuntimeError and anything else, reported on the client
        result = {"error": (type(e).__name__, str(e))}
    with os.fdopen(result_fd, "wb") as f:
        pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)


# The child loads this file directly, not the kelpkit package: it needs numpy and kelp only.
_CHILD_SOURCE = """
import importlib.util, sys
module_spec = importlib.util.spec_from_file_location("_kelp_part_runner", sys.argv[1])
module = importlib.util.module_from_spec(module_spec)
sys.modules[module_spec.name] = module
module_spec.loader.exec_module(module)
module._child_main()
"""


def _run_part(base: dict, call: dict, keep_geometry: bool) -> dict:
    """Worker side: run one part's kelp call in a child interpreter and return its partial."""
    env = dict(os.environ)
    # One part per Dask thread: a part uses one core unless the worker's environment says
    # otherwise.
    env.setdefault("KELP_NUM_THREADS", "1")
    here = importlib.util.find_spec(__name__).origin
    payload = pickle.dumps((base, call, keep_geometry), protocol=pickle.HIGHEST_PROTOCOL)
    proc = subprocess.run([sys.executable, "-c", _CHILD_SOURCE, here], input=payload,
                          capture_output=True, env=env, check=False)
    if proc.returncode != 0 or not proc.stdout:
        tail = proc.stderr.decode(errors="replace")[-2000:]
        raise RuntimeError(f"kelp part process exited with code {proc.returncode}: {tail}")
    return pickle.loads(proc.stdout)


# --------------------------------------------------------------------------------------------
# The run


def _output_dict(total: dict) -> dict:
    """kelp's output dict from the merged total (float32 widened exactly to Python floats), its
    keys in the order of the first part's own output."""
    out_order, pf_order = total.pop("key_order")
    values = {}
    if "path_lengths" in total:
        lengths = np.concatenate(total.pop("path_lengths")).tolist()
        points = np.concatenate(total.pop("path_points"))
        paths, start = [], 0
        for n in lengths:
            paths.append(points[start:start + n].tolist())
            start += n
        values["ray_paths"] = paths
        del points
    geometry = total.pop("geometry")
    values["pressure_field"] = {k: total.pop(k).tolist() if k in _FIELD_KEYS else geometry[k]
                                for k in pf_order}
    return {k: values[k] for k in out_order}


def _raise_part_error(error) -> None:
    name, message = error
    if name == "PanicException":
        import kelp
        raise kelp.PanicException(message)
    if name == "RuntimeError":
        raise RuntimeError(message)
    raise RuntimeError(f"{name}: {message}")


def _show_progress(futures):
    """Dask's own progress display for the parts: a widget in a notebook, else its text bar on
    stdout, drawn from a background thread (the console display blocks until the end), which
    is returned."""
    import threading

    from distributed import progress
    from distributed.utils import is_kernel

    if is_kernel():
        from IPython.display import display
        display(progress(futures, notebook=True, multi=False))
        return None
    thread = threading.Thread(target=progress, args=(futures,), kwargs={"notebook": False},
                              name="kelp-progress", daemon=True)
    thread.start()
    return thread


def _kelpkit_helpers():
    """kelpkit's configuration cleaner and result builder, where this installation has them."""
    try:
        from .builders import to_kelp_config
        from .result import from_kelp_output
    except ImportError:
        return None, None
    return to_kelp_config, from_kelp_output


def _refuse_arrivals(cfg) -> None:
    """Refuse a configuration that asks for an arrivals table. kelp decides which arrival a
    contribution joins by the arrival's span of delays and its weights, which the finished
    table of a call does not carry, so the tables of separate parts cannot be combined into the
    whole run's; nor can a part's lead-in beams be taken out of its table again."""
    beam = cfg.get("beam") if isinstance(cfg, dict) else None
    if isinstance(beam, dict) and beam.get("max_arrivals"):
        raise ValueError("run_distributed: beam.max_arrivals is set, but the arrivals tables of "
                         "separate parts of the fan cannot be merged into the whole run's table; "
                         "run it in one call (kelpkit.run) or leave max_arrivals out")


def run_distributed(cfg, client, parts=None, *, as_result=False):
    """Run one kelp simulation with its beam fan spread over a Dask cluster.

    The fan is cut into contiguous parts in launch order, each part runs as
    ``kelp.run_simulation`` on a worker (in a child process, one core per Dask thread unless the
    worker's environment sets ``KELP_NUM_THREADS``), and the partial fields are merged on the
    client in launch order as they arrive: only the running total and parts that arrived ahead
    of their turn are held.

    Parameters
    ----------
    cfg : dict
        A kelp configuration, as for ``kelp.run_simulation`` (kelpkit's notes and NumPy values
        are cleaned off as ``kelpkit.run`` does). With ``beam.show_progress`` true, Dask's
        progress display follows the parts (kelp's own display is off on the workers).
    client : distributed.Client
        A connected client of any cluster whose workers can ``import kelp``.
    parts : None, int or sequence of int
        None: about two parts per worker thread, as many as the fan allows (with a warning when
        it allows fewer than the workers could run). An int: that many parts of near equal size.
        A sequence: the beam count of every part in launch order. Every part must be normalised
        like the whole run, see ``split_fan``.
    as_result : bool
        Return kelpkit's ``KelpResult`` (as ``kelpkit.run`` does) instead of kelp's dict.

    Returns
    -------
    dict or KelpResult
        What ``kelp.run_simulation(cfg)`` returns: "pressure_field" (and "ray_paths" when
        stored) with the same keys and shapes. Earliest arrivals and ray paths are identical;
        pressures agree to float32 rounding.

    Raises
    ------
    ValueError
        When `parts` cannot be normalised like the whole run (the message names `parts`), or
        the configuration asks for an arrivals table (``beam.max_arrivals``), which parts of a
        fan cannot give.
    RuntimeError, kelp.PanicException
        kelp's own errors for the configuration, with kelp's messages.
    """
    to_kelp_config, from_kelp_output = _kelpkit_helpers()
    if as_result and from_kelp_output is None:
        raise ImportError("as_result: kelpkit's result object is not part of this installation")
    user_cfg = cfg
    if to_kelp_config is not None and isinstance(cfg, dict):
        cfg = to_kelp_config(cfg)
    _refuse_arrivals(cfg)

    if parts is None:
        fan, ranges = _default_parts(cfg, sum(client.nthreads().values()))
    else:
        fan, ranges = _unit_parts(cfg, parts)

    if fan is None or ranges == [(0, 0)]:
        base = cfg
        part_calls = [{"azim": None}]
    else:
        # Everything but the launch lists is the same for every part: sent to the cluster once.
        base = dict(cfg)
        base["source"] = {k: v for k, v in cfg["source"].items()
                          if k not in ("launch_azim_deg", "launch_elev_deg")}
        part_calls = [_kelp_call(fan, u0, u1) for u0, u1 in ranges]
        # The first part also asks kelp for the whole configuration's warnings.
        part_calls[0]["whole_source"] = cfg["source"]

    [base_future] = client.scatter([base], broadcast=False, hash=False)  # no hashing of big grids
    token = uuid.uuid4().hex
    futures = [client.submit(_run_part, base_future, call, i == 0, key=f"kelp-part-{i}-{token}",
                             pure=False)
               for i, call in enumerate(part_calls)]
    index = {f.key: i for i, f in enumerate(futures)}
    beam = cfg.get("beam") if isinstance(cfg, dict) else None
    progress_thread = None
    if isinstance(beam, dict) and beam.get("show_progress"):
        progress_thread = _show_progress(futures)

    from distributed import as_completed

    total = None
    arrived: dict[int, dict] = {}
    next_part = 0
    try:
        for future in as_completed(futures):
            i = index[future.key]
            part = future.result()
            futures[i] = None  # the cluster may drop it now
            del future
            if "error" in part:
                _raise_part_error(part["error"])
            arrived[i] = part
            del part
            while next_part in arrived:
                part = arrived.pop(next_part)
                if total is None:
                    total = part
                    for text in part.pop("warnings"):
                        warnings.warn(text, UserWarning, stacklevel=2)
                else:
                    merge_partial_fields(total, part)
                del part
                next_part += 1
    finally:
        pending = [f for f in futures if f is not None]
        if pending:
            client.cancel(pending)
        del base_future
    if progress_thread is not None:
        progress_thread.join(timeout=2.0)  # let the bar draw its end before anything else
    out = _output_dict(total)
    return from_kelp_output(out, user_cfg) if as_result else out
