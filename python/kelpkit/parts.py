"""A kelp run as consecutive parts of its beam fan, and the merge of their partial fields.

kelp numbers the beams of a fan azimuth-major (every elevation of the first azimuth, then of
the next) and runs any contiguous range of them, ``kelp._run_fan_part(cfg, first, last)``,
exactly as the whole run would: every beam is sized by the whole fan's spacings, so a part may
begin and end anywhere. The partial fields of consecutive parts merged in launch order give the
whole run's earliest arrivals and ray paths bit for bit and its pressures up to the grouping of
the float32 sums.
"""

from __future__ import annotations

import operator

import numpy as np

_FIELD_KEYS = ("pressure_re", "pressure_im", "delay_s", "amplitude")


def fan_size(cfg) -> int | None:
    """Number of beams of a configuration's fan, or None when its launch lists are not lists
    (kelp then refuses the configuration with its own message)."""
    try:
        source = cfg["source"]
        azim, elev = source["launch_azim_deg"], source["launch_elev_deg"]
    except (KeyError, TypeError, IndexError):
        return None
    if not isinstance(azim, (list, tuple)) or not isinstance(elev, (list, tuple)):
        return None
    return len(azim) * len(elev)


def _as_count(value, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be None, an int or a sequence of ints, "
                        f"got {type(value).__name__}") from None


def even_ranges(n_beams: int, count: int) -> list[tuple[int, int]]:
    """`count` contiguous beam ranges [first, last) of near equal size covering the fan."""
    bounds = [(i * n_beams) // count for i in range(count + 1)]
    return list(zip(bounds[:-1], bounds[1:]))


def beam_ranges(n_beams: int | None, parts) -> list[tuple[int, int]]:
    """The beam ranges that `parts` asks for; see `split_fan`."""
    unreadable = ("parts: this configuration's launch lists cannot be counted (they are "
                  "missing or not lists); use parts=None to run it whole")
    if isinstance(parts, (list, tuple, np.ndarray)):
        sizes = [_as_count(p, f"parts[{i}]") for i, p in enumerate(parts)]
        if n_beams is None:
            raise ValueError(unreadable)
        if sum(sizes) != n_beams or any(s < 1 for s in sizes):
            raise ValueError(f"parts: beam counts {sizes} must be positive and sum to the "
                             f"number of beams, {n_beams}")
        bounds = np.concatenate([[0], np.cumsum(sizes)]).tolist()
        return list(zip(bounds[:-1], bounds[1:]))
    count = _as_count(parts, "parts")
    if n_beams is None:
        if count == 1:
            return [(0, 0)]
        raise ValueError(unreadable)
    if n_beams == 0:
        if count == 1:
            return [(0, 0)]
        raise ValueError("parts: the fan has no beams, so it runs as one part")
    if not 1 <= count <= n_beams:
        raise ValueError(f"parts must be between 1 and the number of beams, {n_beams}; "
                         f"got {count}")
    return even_ranges(n_beams, count)


def split_fan(cfg, parts) -> list[tuple[int, int]]:
    """Cut the beam fan of `cfg` into contiguous parts in launch order.

    kelp runs any range of beams sized by the whole fan, so a part may cut through an azimuth.
    How fine the fan itself is (whether its spacings are converged) is another question:
    `kelpkit.check_fan` answers it.

    Parameters
    ----------
    cfg : dict
        A kelp configuration.
    parts : int or sequence of int
        The number of parts, of near equal size, or the beam count of every part in launch
        order (summing to the number of beams).

    Returns
    -------
    list of (int, int)
        Beam index ranges [first, stop) in launch order (beam index = azimuth number x number of
        elevations + elevation number).

    Raises
    ------
    ValueError
        Naming `parts`, when the counts do not fit the fan or the fan cannot be counted.
    TypeError
        When `parts` is neither an int nor a sequence of ints.
    """
    return beam_ranges(fan_size(cfg), parts)


def later_arrival_wins(delay_s, amplitude, later_delay_s, later_amplitude) -> np.ndarray:
    """Where the earliest arrival of later beams replaces the one held so far.

    kelp's rule for contributions in launch order: a strictly earlier delay wins; on an
    exactly equal delay the larger |amplitude| wins; on a full tie the earlier beams stay. NaN
    never wins (every comparison with it is false). This mirrors `merge_pressure_fields`
    (src/influence/pressure_field.cpp), which kelp applies between the partial fields inside
    one call; fields of separate calls (fan parts, `KelpResult.merge`) are merged here, by the
    same rule, and a change of the rule in the core must be made here too. The tests compare
    merged parts with kelp's single run bit for bit and would catch a difference.
    """
    return (later_delay_s < delay_s) | (
        (later_delay_s == delay_s) & (np.abs(later_amplitude) > np.abs(amplitude)))


def merge_partial_fields(total: dict, part: dict) -> None:
    """Merge a partial field into the running total, in place; `part` holds later beams.

    Pressures add; the earliest arrival follows `later_arrival_wins`; paths are appended. An
    arrivals table comes only from a part that is the whole fan, and never merges."""
    if "arrivals" in total or "arrivals" in part:
        raise ValueError("merge_partial_fields: the arrivals tables of separate parts of a fan "
                         "cannot be merged (run the fan in one part)")
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


def partial_from_fan_part(out: dict, keep_geometry: bool) -> dict:
    """The dict `kelp._run_fan_part` returns as a partial field of writable float32 arrays (the
    values kelp computed), with the receivers' geometry when asked for."""
    p = np.frombuffer(out["pressure"], dtype=np.complex64)
    part = {"pressure_re": p.real.copy(), "pressure_im": p.imag.copy(),
            "delay_s": np.frombuffer(out["delay_s"], dtype=np.float32).copy(),
            "amplitude": np.frombuffer(out["amplitude"], dtype=np.float32).copy(),
            "beams": (out["first_beam"], out["last_beam"])}
    if keep_geometry:
        geometry = {k: out[k] for k in ("x_m", "y_m", "z_m", "frequency_hz", "shape")
                    if k in out}
        if "receiver_positions_m" in out:
            geometry["receiver_positions_m"] = np.frombuffer(
                out["receiver_positions_m"], dtype=np.float32).reshape(-1, 3)
        part["geometry"] = geometry
    if "arrivals" in out:
        part["arrivals"] = out["arrivals"]
    if "ray_path_lengths" in out:
        part["path_lengths"] = [np.frombuffer(out["ray_path_lengths"], dtype=np.uint64)
                                .astype(np.int64)]
        part["path_points"] = [np.frombuffer(out["ray_path_points"], dtype=np.float32)
                               .reshape(-1, 3)]
    return part


def split_paths(total: dict) -> list | None:
    """The merged paths as one (n, 3) float32 array per beam in launch order, or None when the
    run stored none."""
    if "path_lengths" not in total:
        return None
    lengths = np.concatenate(total["path_lengths"])
    points = np.concatenate(total["path_points"])
    return np.split(points, np.cumsum(lengths)[:-1]) if lengths.size else []


def output_dict(total: dict) -> dict:
    """What ``kelp.run_simulation`` returns, from a merged total: "ray_paths" (when stored)
    then "pressure_field" with its keys in kelp's documented order, every float32 widened
    exactly to a Python float."""
    geometry = total["geometry"]
    out = {}
    paths = split_paths(total)
    if paths is not None:
        out["ray_paths"] = [p.tolist() for p in paths]
    pf = {}
    if "receiver_positions_m" in geometry:
        pf["receiver_positions_m"] = geometry["receiver_positions_m"].tolist()
    else:
        for k in ("x_m", "y_m", "z_m"):
            pf[k] = geometry[k]
    pf["frequency_hz"] = geometry["frequency_hz"]
    pf["shape"] = tuple(geometry["shape"])
    for k in _FIELD_KEYS:
        pf[k] = total[k].tolist()
    out["pressure_field"] = pf
    return out
