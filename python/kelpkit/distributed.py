"""Running one kelp simulation on a Dask cluster.

The beam fan is cut into contiguous parts in launch order, every part runs as ordinary
``kelp.run_simulation`` calls on a worker, and the partial fields are merged back in launch order.
The result is the one ``kelp.run_simulation`` returns for the whole configuration: the same keys
and shapes, identical earliest arrivals and ray paths, pressures equal up to the rounding of the
float32 sums (which are grouped differently).

Why the parts give the same beams as the whole run: a beam's contribution depends on its own
launch pair and on the fan spacings dazim and delev, which kelp takes from the first two entries
of each launch list (in float32 radians; one degree for a list of one). A kelp call on a piece of
the fan must therefore see first two entries exactly as far apart as the whole run's. In float32
that rarely holds beyond the first pair: 5 deg steps give 5, 10, 15 deg -> 0.0872665, 0.1745329,
0.2617994 rad, and 0.2617994 - 0.1745329 is one unit in the last place off 0.0872665. So a part
is cut only where its pieces keep the spacings: a run of launch angles whose first pair is
spaced like the whole run's, or a single launch angle when the whole run's spacing is exactly one
degree (as kelp spaces a list of one). A part may consist of several such kelp calls, run one
after the other on its worker and merged there.

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
import subprocess
import sys
import uuid
import warnings
from dataclasses import dataclass

import numpy as np

__all__ = ["run_distributed", "split_fan"]

# pi / 180 as the single-precision constant kelp converts launch angles with.
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

    def unit_angles(self) -> list:
        return self.elev_deg if self.along_elevation else self.azim_deg


def _as_float32(values) -> np.ndarray | None:
    """The launch list as kelp reads it (JSON number -> float32), or None where kelp would
    refuse it or read it by another rounding path."""
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
    """kelp's fan spacing: |second - first| in float32, one degree for fewer than two angles."""
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
    # kelp refuses an elevation beyond 90 deg with one message for the whole list; a part that
    # does not hold it would report another message.
    if np.any(np.abs(el) > np.float32(90)):
        return None
    along_elevation = len(az) == 1
    rad = (el if along_elevation else az) * _DEG_TO_RAD
    spacing = _spacing(rad)
    pair_ok = np.append(np.abs(rad[1:] - rad[:-1]) == spacing, False)
    return _Fan(list(azim_deg), list(elev_deg), along_elevation, pair_ok, spacing,
                bool(spacing == _DEG_TO_RAD))


def _part_problem(fan: _Fan, u0: int, u1: int) -> str | None:
    """Why units u0 .. u1-1 cannot run as kelp calls spaced like the whole run, or None."""
    if fan.single_ok or (u1 - u0 >= 2 and fan.pair_ok[u0]):
        return None
    kind = "elevation" if fan.along_elevation else "azimuth"
    angles = fan.unit_angles()
    if u1 - u0 == 1:
        return (f"it holds the single {kind} {angles[u0]!r} deg, which kelp spaces by one degree "
                f"instead of the whole run's {float(fan.spacing)!r} rad")
    return (f"its first two {kind}s ({angles[u0]!r}, {angles[u0 + 1]!r} deg) are not exactly the "
            f"whole run's {float(fan.spacing)!r} rad apart in float32 radians, and single "
            f"{kind}s cannot be run apart (the whole run's spacing is not one degree)")


def _kelp_calls(fan: _Fan, u0: int, u1: int) -> list[tuple[list, list]]:
    """The (azimuths, elevations) of the kelp calls that make up units u0 .. u1-1: one call
    from the first unit whose pair keeps the spacing to the end, single units before it."""
    calls = []
    u = u0
    while u < u1:
        stop = u1 if (u1 - u >= 2 and fan.pair_ok[u]) else u + 1
        if fan.along_elevation:
            calls.append((fan.azim_deg, fan.elev_deg[u:stop]))
        else:
            calls.append((fan.azim_deg[u:stop], fan.elev_deg))
        u = stop
    return calls


def _even_parts(fan: _Fan, count: int) -> list[tuple[int, int]] | None:
    """`count` contiguous unit ranges of near equal size that can all keep the whole run's
    spacings, or None when there are none. Each cut goes to the admissible boundary nearest its
    ideal place (the earlier one on a tie) that still leaves room for the cuts after it."""
    n = fan.n_units
    if count == 1:
        return [(0, n)]
    if fan.single_ok:  # every boundary is admissible
        bounds = [0] + [(i * n) // count for i in range(1, count)] + [n]
        if len(set(bounds)) != len(bounds):
            return None
        return list(zip(bounds[:-1], bounds[1:]))
    # Otherwise a part is at least two units and starts at a pair spaced like the whole run.
    starts = np.flatnonzero(fan.pair_ok[:max(n - 1, 0)])
    starts = starts[starts >= 2]

    def room_after(cut: int, cuts_left: int) -> bool:
        for _ in range(cuts_left):
            i = np.searchsorted(starts, cut + 2)
            if i == starts.size:
                return False
            cut = int(starts[i])
        return n - cut >= 2

    bounds = [0]
    for i in range(1, count):
        target = (i * n) // count
        usable = [int(c) for c in starts if c >= bounds[-1] + 2 and room_after(int(c), count - 1 - i)]
        if not usable:
            return None
        bounds.append(min(usable, key=lambda c: (abs(c - target), c)))
    if n - bounds[-1] < 2:
        return None
    bounds.append(n)
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
                raise ValueError(f"parts[{i}] (beams {first} to {first + s - 1}) cuts through an "
                                 f"azimuth: parts must hold whole azimuths of {per_unit} beams")
            u0, u1 = first // per_unit, (first + s) // per_unit
            problem = _part_problem(fan, u0, u1)
            if problem is not None:
                raise ValueError(f"parts[{i}] (beams {first} to {first + s - 1}) cannot be "
                                 f"normalised like the whole run: {problem}")
            ranges.append((u0, u1))
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
    ranges = _even_parts(fan, count)
    if ranges is None:
        raise ValueError(
            f"parts={count}: the fan of {len(fan.azim_deg)} azimuths x {len(fan.elev_deg)} "
            f"elevations cannot be cut into {count} contiguous parts that keep the whole run's "
            f"spacing of the {kind} ({float(fan.spacing)!r} rad from the first two entries in "
            f"float32 radians): only a part that starts at a pair of {kind} spaced exactly like "
            f"that, or single {kind} when that spacing is exactly one degree, is normalised like "
            f"the whole run. Ask for fewer parts, or give the beam count of every part")
    return fan, ranges


def split_fan(cfg, parts) -> list[tuple[int, int]]:
    """Cut the beam fan of `cfg` into contiguous parts in launch order.

    Parameters
    ----------
    cfg : dict
        A kelp configuration.
    parts : int or sequence of int
        The number of parts, cut near equal size where the spacings allow, or the beam count of
        every part in launch order (whole azimuths, summing to the number of beams).

    Returns
    -------
    list of (int, int)
        Beam index ranges [first, stop) in launch order (beam index = azimuth number x number of
        elevations + elevation number).

    Raises
    ------
    ValueError
        Naming `parts`, when the parts cannot each be normalised like the whole run (kelp spaces
        every beam by the first two entries of each launch list, in float32 radians).
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
    """About two parts per worker thread, as many as the fan's spacings allow."""
    fan = _read_fan(cfg)
    if fan is None or fan.n_beams == 0:
        return None, [(0, 0)]
    wanted = min(2 * max(1, threads), fan.n_units)
    for count in range(wanted, 1, -1):
        ranges = _even_parts(fan, count)
        if ranges is not None:
            break
    else:
        ranges = [(0, fan.n_units)]
    if len(ranges) < min(max(1, threads), fan.n_units):
        kind = "elevations" if fan.along_elevation else "azimuths"
        warnings.warn(
            f"kelpkit: the fan runs as {len(ranges)} part(s) on {threads} worker threads: only "
            f"{int(fan.pair_ok.sum())} of its {kind} start a pair spaced exactly like the first "
            f"two ({float(fan.spacing)!r} rad in float32), and single {kind} keep it only when it "
            f"is one degree", UserWarning, stacklevel=3)
    return fan, ranges


# --------------------------------------------------------------------------------------------
# Partial fields


def _partial_from_output(out: dict, keep_geometry: bool) -> dict:
    """kelp's output dict as a compact partial field (float32 arrays, as kelp computed them)."""
    pf = out["pressure_field"]
    part = {k: np.asarray(pf[k], dtype=np.float32) for k in _FIELD_KEYS}
    if keep_geometry:
        part["geometry"] = {k: v for k, v in pf.items() if k not in _FIELD_KEYS}
    if "ray_paths" in out:
        paths = out["ray_paths"]
        part["path_lengths"] = [np.asarray([len(p) for p in paths], dtype=np.int64)]
        part["path_points"] = [np.asarray([q for p in paths for q in p],
                                          dtype=np.float32).reshape(-1, 3)]
    return part


def merge_partial_fields(total: dict, part: dict) -> None:
    """Merge a partial field into the running total, in place; `part` holds later beams.

    Pressures add. The earliest arrival follows kelp's rule for contributions in launch order:
    a strictly earlier delay wins; on an exactly equal delay the larger |amplitude| wins; on a
    full tie the earlier beams stay. NaN never wins (every comparison with it is false)."""
    total["pressure_re"] += part["pressure_re"]
    total["pressure_im"] += part["pressure_im"]
    d, a = part["delay_s"], part["amplitude"]
    td, ta = total["delay_s"], total["amplitude"]
    take = (d < td) | ((d == td) & (np.abs(a) > np.abs(ta)))
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


def _child_main() -> None:
    """Entry of the child interpreter that runs one part: reads (base configuration, kelp calls,
    keep_geometry) from stdin, runs and merges the calls in order, and writes the partial field
    to the original stdout. kelp's own console output (C stdout) goes to stderr instead, so it
    cannot corrupt the result; kelp's errors travel back as values."""
    result_fd = os.dup(1)
    os.dup2(2, 1)
    base, calls, keep_geometry = pickle.load(sys.stdin.buffer)
    import kelp

    try:
        total = None
        for azim_deg, elev_deg in calls:
            cfg = base if azim_deg is None else _part_config(base, azim_deg, elev_deg)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                out = kelp.run_simulation(cfg)
            part = _partial_from_output(out, keep_geometry and total is None)
            del out
            if total is None:
                total = part
                total["warnings"] = [str(w.message) for w in caught]
            else:
                merge_partial_fields(total, part)
            del part
        for key in ("path_lengths", "path_points"):
            if key in total:
                total[key] = [np.concatenate(total[key])]
        result = total
    except kelp.PanicException as e:
        result = {"error": ("PanicException", str(e))}
    except Exception as e:  # kelp's RuntimeError and anything else, reported on the client
        result = {"error": (type(e).__name__, str(e))}
    with os.fdopen(result_fd, "wb") as f:
        pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)


# The child loads this file directly, not the kelpkit package: it needs numpy and kelp only.
_CHILD_SOURCE = """
import importlib.util, sys
spec = importlib.util.spec_from_file_location("_kelp_part_runner", sys.argv[1])
module = importlib.util.module_from_spec(spec)
sys.modules[spec.name] = module
spec.loader.exec_module(module)
module._child_main()
"""


def _run_part(base: dict, calls: list, keep_geometry: bool) -> dict:
    """Worker side: run one part's kelp calls in a child interpreter and return its partial."""
    env = dict(os.environ)
    # One part per Dask thread: a part uses one core unless the worker's environment says
    # otherwise.
    env.setdefault("KELP_NUM_THREADS", "1")
    here = importlib.util.find_spec(__name__).origin
    payload = pickle.dumps((base, calls, keep_geometry), protocol=pickle.HIGHEST_PROTOCOL)
    proc = subprocess.run([sys.executable, "-c", _CHILD_SOURCE, here], input=payload,
                          capture_output=True, env=env, check=False)
    if proc.returncode != 0 or not proc.stdout:
        tail = proc.stderr.decode(errors="replace")[-2000:]
        raise RuntimeError(f"kelp part process exited with code {proc.returncode}: {tail}")
    return pickle.loads(proc.stdout)


# --------------------------------------------------------------------------------------------
# The run


def _output_dict(total: dict) -> dict:
    """kelp's output dict from the merged total (float32 widened exactly to Python floats)."""
    out = {}
    if "path_lengths" in total:
        lengths = np.concatenate(total.pop("path_lengths")).tolist()
        points = np.concatenate(total.pop("path_points"))
        paths, start = [], 0
        for n in lengths:
            paths.append(points[start:start + n].tolist())
            start += n
        out["ray_paths"] = paths
        del points
    pf = dict(total["geometry"])  # kelp's key order: geometry, frequency_hz, shape, arrays
    for key in _FIELD_KEYS:
        pf[key] = total.pop(key).tolist()
    out["pressure_field"] = pf
    return out


def _raise_part_error(error) -> None:
    name, message = error
    if name == "PanicException":
        import kelp
        raise kelp.PanicException(message)
    if name == "RuntimeError":
        raise RuntimeError(message)
    raise RuntimeError(f"{name}: {message}")


def _show_progress(futures) -> None:
    """Dask's own progress display for the parts: a widget in a notebook, else its text bar on
    stdout, drawn from a background thread (the console display blocks until the end)."""
    import threading

    from distributed import progress
    from distributed.utils import is_kernel

    if is_kernel():
        from IPython.display import display
        display(progress(futures, notebook=True, multi=False))
        return
    threading.Thread(target=progress, args=(futures,), kwargs={"notebook": False},
                     name="kelp-progress", daemon=True).start()


def run_distributed(cfg, client, parts=None) -> dict:
    """Run one kelp simulation with its beam fan spread over a Dask cluster.

    The fan is cut into contiguous parts in launch order, each part runs as
    ``kelp.run_simulation`` on a worker (in a child process, one core per Dask thread unless the
    worker's environment sets ``KELP_NUM_THREADS``), and the partial fields are merged on the
    client in launch order as they arrive: only the running total and parts that arrived ahead
    of their turn are held.

    Parameters
    ----------
    cfg : dict
        A kelp configuration, as for ``kelp.run_simulation``. With ``beam.show_progress`` true,
        Dask's progress display follows the parts (kelp's own display is off on the workers).
    client : distributed.Client
        A connected client of any cluster whose workers can ``import kelp``.
    parts : None, int or sequence of int
        None: about two parts per worker thread, as many as the fan allows (with a warning when
        it allows fewer than the workers could run). An int: that many parts of near equal size.
        A sequence: the beam count of every part in launch order. Every part must be normalised
        like the whole run, see ``split_fan``.

    Returns
    -------
    dict
        What ``kelp.run_simulation(cfg)`` returns: "pressure_field" (and "ray_paths" when
        stored) with the same keys and shapes. Earliest arrivals and ray paths are identical;
        pressures agree to float32 rounding.

    Raises
    ------
    ValueError
        When `parts` cannot be normalised like the whole run (the message names `parts`).
    RuntimeError, kelp.PanicException
        kelp's own errors for the configuration, with kelp's messages.
    """
    if parts is None:
        fan, ranges = _default_parts(cfg, sum(client.nthreads().values()))
    else:
        fan, ranges = _unit_parts(cfg, parts)

    if fan is None or ranges == [(0, 0)]:
        base = cfg
        part_calls = [[(None, None)]]
    else:
        # Everything but the launch lists is the same for every part: sent to the cluster once.
        base = dict(cfg)
        base["source"] = {k: v for k, v in cfg["source"].items()
                          if k not in ("launch_azim_deg", "launch_elev_deg")}
        part_calls = [_kelp_calls(fan, u0, u1) for u0, u1 in ranges]

    [base_future] = client.scatter([base], broadcast=False)
    token = uuid.uuid4().hex
    futures = [client.submit(_run_part, base_future, calls, i == 0, key=f"kelp-part-{i}-{token}",
                             pure=False)
               for i, calls in enumerate(part_calls)]
    index = {f.key: i for i, f in enumerate(futures)}
    beam = cfg.get("beam") if isinstance(cfg, dict) else None
    if isinstance(beam, dict) and beam.get("show_progress"):
        _show_progress(futures)

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
    return _output_dict(total)
