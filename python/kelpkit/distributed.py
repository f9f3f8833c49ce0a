"""Running one kelp simulation on a Dask cluster.

The beam fan is cut into contiguous parts in launch order, every part runs on a worker as
``kelp._run_fan_part`` (the beams of its range, sized by the whole fan's spacings), and the
partial fields are merged back in launch order. The result is the one ``kelp.run_simulation``
returns for the whole configuration: the same keys and shapes, identical earliest arrivals and
ray paths, pressures equal up to the rounding of the float32 sums (which are grouped
differently).

A part runs in the worker's own process: kelp releases the interpreter lock while its beams
run, so the worker keeps answering the scheduler's heartbeats however long a part takes. Every
part reads the whole configuration, so the first part's warnings are the whole run's; it
records them and the client re-issues them once.
"""

from __future__ import annotations

import os
import uuid
import warnings

# The merge rule and the fan's cut live in kelpkit.parts; they are re-exported here, where
# earlier versions defined them.
from .parts import later_arrival_wins  # noqa: F401
from .parts import (beam_ranges, fan_size, merge_partial_fields, output_dict,
                    partial_from_fan_part, split_fan)

__all__ = ["run_distributed", "split_fan"]


def _run_part(cfg: dict, first: int, last: int, keep_geometry: bool) -> dict:
    """Worker side: run one part and return its partial field (kelp's errors as values, so
    that the client raises them with kelp's messages). One part per Dask thread uses one core
    unless the worker's environment sets KELP_NUM_THREADS."""
    import kelp

    threads = 0 if "KELP_NUM_THREADS" in os.environ else 1
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out = kelp._run_fan_part(cfg, first, last, warn=keep_geometry,
                                     max_threads=threads)
        part = partial_from_fan_part(out, keep_geometry)
        part["warnings"] = [str(w.message) for w in caught]
        return part
    except kelp.PanicException as e:
        return {"error": ("PanicException", str(e))}
    except Exception as e:  # kelp's RuntimeError and anything else, reported on the client
        return {"error": (type(e).__name__, str(e))}


def _raise_part_error(error) -> None:
    name, message = error
    if name == "PanicException":
        from .runner import KelpInternalError

        raise KelpInternalError(message)
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
    ``kelp._run_fan_part`` on a worker (in the worker's process, with the interpreter lock
    released; one core per Dask thread unless the worker's environment sets
    ``KELP_NUM_THREADS``), and the partial fields are merged on the client in launch order as
    they arrive: only the running total and parts that arrived ahead of their turn are held.
    Whether the fan itself is fine enough is checked by `kelpkit.check_fan`.

    Parameters
    ----------
    cfg : dict
        A kelp configuration, as for ``kelp.run_simulation`` (kelpkit's notes and NumPy values
        are cleaned off as ``kelpkit.run`` does). With ``beam.show_progress`` true, Dask's
        progress display follows the parts (kelp's own display is off on the workers).
    client : distributed.Client
        A connected client of any cluster whose workers can ``import kelp``.
    parts : None, int or sequence of int
        None: about two parts per worker thread (at most one per beam). An int: that many
        parts of near equal size. A sequence: the beam count of every part in launch order;
        see ``split_fan``.
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
        When `parts` does not fit the fan (the message names `parts`), or the configuration
        asks for an arrivals table (``beam.max_arrivals``), which parts of a fan cannot give.
    RuntimeError
        kelp's own errors for the configuration, with kelp's messages.
    kelpkit.KelpInternalError
        A RuntimeError carrying kelp's message when kelp raises ``kelp.PanicException``.
    """
    from .builders import to_kelp_config
    from .result import from_kelp_output

    user_cfg = cfg
    if isinstance(cfg, dict):
        cfg = to_kelp_config(cfg)
    _refuse_arrivals(cfg)
    n_beams = fan_size(cfg)
    if parts is None:
        threads = max(1, sum(client.nthreads().values()))
        ranges = beam_ranges(n_beams, max(1, min(2 * threads, n_beams or 1)))
    else:
        ranges = beam_ranges(n_beams, parts)

    base = cfg
    beam = cfg.get("beam") if isinstance(cfg, dict) else None
    show = isinstance(beam, dict) and bool(beam.get("show_progress"))
    if isinstance(beam, dict):
        base = {**cfg, "beam": {**beam, "show_progress": False}}
    # The configuration goes to the cluster once (no hashing of big grids); parts get ranges.
    [base_future] = client.scatter([base], broadcast=False, hash=False)
    token = uuid.uuid4().hex
    futures = [client.submit(_run_part, base_future, first, last, i == 0,
                             key=f"kelp-part-{i}-{token}", pure=False)
               for i, (first, last) in enumerate(ranges)]
    index = {f.key: i for i, f in enumerate(futures)}
    progress_thread = _show_progress(futures) if show else None

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
    out = output_dict(total)
    return from_kelp_output(out, user_cfg) if as_result else out
