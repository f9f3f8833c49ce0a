"""Running kelp from Python: in parts, interruptible, with progress and an estimate of the cost.

`run` hands the beams to ``kelp._run_fan_part``, which releases the interpreter lock while the
beams run, on a worker thread; the calling thread waits in short slices, so Ctrl-C (or a
notebook's interrupt) reaches it at once. It then cancels the run (kelp's workers stop before
their next beam), waits for the worker thread to end and raises ``KeyboardInterrupt``. Large fans
run in several parts whose partial fields are merged in launch order (`kelpkit.parts`); the
progress bar (tqdm: a bar on a terminal, a widget in a notebook, plain lines in a log file)
counts the beams as kelp finishes them.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import math
import os
import sys
import threading
import time
import warnings

import numpy as np

from .builders import to_kelp_config
from .parts import beam_ranges, fan_size, merge_partial_fields, partial_from_fan_part, split_paths
from .result import layout_of, result_from_arrays

#: Runs with more beams than this show progress unless told otherwise.
PROGRESS_BEAMS = 5000
#: Fans with more beams than this run in several parts, after an estimate of their cost.
PARTS_BEAMS = 20000
#: A part takes about this long (seconds) when a run is cut into parts by default.
PART_SECONDS = 10.0
#: At most this many parts by default: each repeats the set-up of the environment.
MAX_PARTS = 64
#: How often (seconds) the waiting thread looks at the run: the delay of Ctrl-C at most.
POLL_SECONDS = 0.1
#: In a log file (standard error not a terminal) a progress line every this many seconds.
LOG_INTERVAL_SECONDS = 10.0


class KelpInternalError(RuntimeError):
    """kelp's fatal error or internal fault (``kelp.PanicException``), with kelp's message.

    kelp raises ``PanicException``, a BaseException, so that a bare ``except Exception`` does
    not swallow a broken run; kelpkit raises this RuntimeError instead, so that a parameter
    sweep can catch it, record it and go on. The original exception is its ``__cause__``.
    """


@contextlib.contextmanager
def kelp_errors(kelp):
    """Turns ``kelp.PanicException`` into `KelpInternalError`, with kelp's message."""
    try:
        yield
    except kelp.PanicException as e:
        raise KelpInternalError(str(e)) from e


def kelp_thread_count() -> int:
    """Threads kelp will use: the processors this process may run on, capped by a positive
    decimal KELP_NUM_THREADS as kelp reads it."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 1
    text = os.environ.get("KELP_NUM_THREADS", "")
    if text.isascii() and text.isdigit() and int(text) > 0:
        return max(1, min(cores, int(text)))
    return max(1, cores)


# ---------------------------------------------------------------------------------- estimate


@dataclasses.dataclass(frozen=True)
class RunEstimate:
    """What a run will cost, measured on a sample of its beams before it starts.

    Attributes
    ----------
    beams, receivers, frequencies : int
        Size of the run.
    threads : int
        kelp's worker threads.
    parts : int
        Parts the run is cut into by default.
    seconds : float
        Wall time of the whole run, the parts' set-up included.
    beam_seconds : float
        Wall time of the beams alone.
    setup_seconds : float
        Wall time of one part's set-up (reading the configuration, building the environment,
        handing the field back).
    memory_bytes : float
        Peak memory of the run: kelp's partial fields, the merged field and the result, the
        stored paths and the environment.
    sampled_beams : int
        Beams traced for the estimate.
    """

    beams: int
    receivers: int
    frequencies: int
    threads: int
    parts: int
    seconds: float
    beam_seconds: float
    setup_seconds: float
    memory_bytes: float
    sampled_beams: int

    def __str__(self):
        return (f"kelp: {self.beams:,} beams x {self.receivers:,} receivers x "
                f"{self.frequencies} frequenc{'y' if self.frequencies == 1 else 'ies'} in "
                f"{self.parts} part{'s' if self.parts != 1 else ''}: about "
                f"{_duration(self.seconds)} on {self.threads} thread"
                f"{'s' if self.threads != 1 else ''} and {_size(self.memory_bytes)} of memory "
                f"(measured on {self.sampled_beams:,} beams)")


def _duration(seconds):
    if seconds < 90:
        return f"{seconds:.2g} s" if seconds < 10 else f"{seconds:.0f} s"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"


def _size(n_bytes):
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20)):
        if n_bytes >= scale:
            return f"{n_bytes / scale:.1f} {unit}"
    return f"{n_bytes / 1024:.0f} KiB"


def _receiver_count(kcfg):
    rc = kcfg["receivers"]
    if rc.get("config_type") == "array":
        return len(rc["x_rcvr_m"])
    return len(rc["x_rcvr_m"]) * len(rc["y_rcvr_m"]) * len(rc["z_rcvr_m"])


def _sample_ranges(n_beams, n_elev, target):
    """Up to 16 short beam ranges spread over the fan: piece i starts at an azimuth i/16 of
    the way through the fan and at an elevation i/16 of the way through the elevations, so
    that the pieces together cover steep and shallow beams in every direction (a beam's cost
    depends on both: steep ones die at the bottom, shallow ones run to the range circle)."""
    k = max(1, min(16, n_beams))
    n_azim = n_beams // max(n_elev, 1)
    length = max(1, math.ceil(target / k))
    ranges = []
    for i in range(k):
        a = ((2 * i + 1) * n_azim) // (2 * k)
        start = min(a * n_elev + (i * n_elev) // k, max(n_beams - length, 0))
        ranges.append((start, min(start + length, n_beams)))
    return ranges


def _part_count(n_beams, beam_seconds, setup_seconds):
    """Parts of about PART_SECONDS, at most MAX_PARTS and few enough that their repeated
    set-up costs at most 5 % of the run; one for fans of PARTS_BEAMS beams or fewer."""
    if n_beams <= PARTS_BEAMS:
        return 1
    n = max(2, math.ceil(beam_seconds / PART_SECONDS))
    return max(1, min(n, MAX_PARTS, n_beams,
                      int(0.05 * beam_seconds / max(setup_seconds, 1e-3))))


def _live_fields(n_blocks, threads):
    # kelp's bound on the partial fields alive at once (live_partial_fields in the driver).
    depth = 1
    while (1 << (depth - 1)) < n_blocks:
        depth += 1
    return min(n_blocks, threads * depth)


def _measure(kelp, kcfg, setup_wall, n_beams):
    """The estimate from the set-up times of an empty part and a timed sample of beams."""
    n_elev = len(kcfg["source"]["launch_elev_deg"])
    threads = kelp_thread_count()
    # The first call of a process pays for starting the pool and touching fresh memory: the
    # set-up subtracted from every piece is that of a warm call.
    setup_wall = min(setup_wall, _setup_part(kelp, kcfg, warn=False))
    target = min(n_beams, max(500, n_beams // 50), 20000)
    ranges = _sample_ranges(n_beams, n_elev, target) if n_beams else []
    token = kelp._CancelToken()
    # The sample keeps no arrivals table: a table needs the whole fan in one part.
    sample_cfg = dict(kcfg, beam={k: v for k, v in kcfg["beam"].items() if k != "max_arrivals"})
    jobs = [functools.partial(kelp._run_fan_part, sample_cfg, first, last, cancel=token,
                              warn=False)
            for first, last in ranges]
    # The pieces run on as many threads as kelp has, as the run's blocks do, so that the
    # sample's wall time sees what the run will see: every core busy, and whatever else the
    # machine is doing. Each thread also pays the set-up of its pieces.
    wall = time.perf_counter()
    outs = _on_workers(kelp, token, jobs, threads)
    wall = time.perf_counter() - wall
    sampled = sum(last - first for first, last in ranges)
    points = sum(int(np.frombuffer(out["ray_path_lengths"], np.uint64).sum())
                 for out in outs if "ray_path_lengths" in out)
    setup = math.ceil(len(jobs) / threads) * setup_wall
    beam_seconds = max(wall - setup, 0.1 * wall) / max(sampled, 1) * n_beams
    parts = _part_count(n_beams, beam_seconds, setup_wall)
    receivers = _receiver_count(kcfg)
    freqs = len(kcfg["source"]["freq_hz"])
    field = receivers * (8.0 * freqs + 8.0)  # complex64 pressures, float32 delay and amplitude
    blocks = min(128, math.ceil(n_beams / parts)) if n_beams else 1
    # kelp's live fields and their bytes, the running total and the result's arrays.
    memory = field * (_live_fields(blocks, threads) + 1 + 3)
    ssp = kcfg["ssp"]
    memory += 40.0 * len(ssp["c_m_s"])  # the speeds and their nine derivative fields
    if sampled and points:
        # Points as kelp hands them over and as the result's arrays, plus each array's header.
        memory += n_beams * (points / sampled * 24.0 + 112.0)
    return RunEstimate(beams=n_beams, receivers=receivers, frequencies=freqs, threads=threads,
                       parts=parts, seconds=beam_seconds + parts * setup_wall,
                       beam_seconds=beam_seconds, setup_seconds=setup_wall,
                       memory_bytes=memory, sampled_beams=sampled)


def _setup_part(kelp, kcfg, warn):
    """An empty part: reads and validates the configuration and builds the environment as
    every part does, emitting kelp's warnings when `warn`; returns its wall time."""
    wall = time.perf_counter()
    kelp._run_fan_part(kcfg, 0, 0, warn=warn)
    return time.perf_counter() - wall


def _quiet(kcfg):
    cfg = dict(kcfg)
    if isinstance(cfg.get("beam"), dict):
        cfg["beam"] = {**cfg["beam"], "show_progress": False}
    return cfg


def estimate_run(cfg):
    """Estimate the wall time and memory of ``kelpkit.run(cfg)`` before running it.

    A sample of about 2 % of the beams (at least 500, at most 20,000), in 16 short pieces spread
    over the fan's azimuths and elevations, is traced on as many threads as kelp uses and
    timed on the wall clock, so that it sees the machine as the run will (other work on it
    included), and the set-up of one part (reading the configuration, building the
    environment) is timed on its own. Memory is counted from the receivers, frequencies,
    threads and the sample's path lengths. On the cases of ``bench/bench_estimate.py`` the real
    run took 0.66 to 0.96 of the estimated time. Whether the fan is fine enough is another
    matter: `check_fan` answers it.

    Parameters
    ----------
    cfg : dict
        A configuration.

    Returns
    -------
    RunEstimate
        Printable as one line.

    Raises
    ------
    RuntimeError
        kelp's errors for a configuration it cannot read or validate.
    KelpInternalError
        For an environment kelp cannot build.
    """
    import kelp

    kcfg = _quiet(to_kelp_config(cfg))
    with kelp_errors(kelp):
        return _measure(kelp, kcfg, _setup_part(kelp, kcfg, warn=False), fan_size(kcfg))


# ---------------------------------------------------------------------------------- progress


class _LineStream:
    """A text stream for tqdm that turns each redraw into a line of its own, so that a log
    file or a pipe gets readable progress lines instead of carriage returns."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        for piece in text.replace("\n", "\r").split("\r"):
            piece = piece.strip()
            if piece:
                self.stream.write(piece + "\n")

    def flush(self):
        self.stream.flush()


def _progress_bar(total, stream):
    """tqdm's widget in a notebook, its bar on a terminal, plain lines elsewhere. tqdm's
    monitor thread is not started: the bar is redrawn from the waiting thread, and a run
    leaves no thread behind."""
    from tqdm import std

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # tqdm's note that its notebook mode is automatic
        from tqdm.autonotebook import tqdm as auto_tqdm

    options = dict(total=total, desc="kelp", unit="beam", unit_scale=True, leave=True)
    if auto_tqdm is not std.tqdm:
        cls = type("KelpNotebookBar", (auto_tqdm,), {"monitor_interval": 0})
        return cls(**options)
    cls = type("KelpBar", (std.tqdm,), {"monitor_interval": 0})
    try:
        terminal = stream.isatty()
    except (AttributeError, ValueError):
        terminal = False
    if terminal:
        return cls(file=stream, **options)
    return cls(file=_LineStream(stream), mininterval=LOG_INTERVAL_SECONDS, ascii=True,
               ncols=90, **options)


# ---------------------------------------------------------------------------------- the run


def _on_workers(kelp, token, jobs, n_threads, poll=None):
    """Runs the callables `jobs` on `n_threads` worker threads (in list order on one thread)
    and returns their results in list order. The calling thread only waits, calling `poll`
    every POLL_SECONDS; on any exception there (KeyboardInterrupt) it cancels kelp through
    `token` (kelp's workers stop before their next beam), waits for every worker thread to end
    and re-raises. The first error of a job stops the others and is raised here, kelp's
    PanicException as KelpInternalError.

    The workers report their end through an event and the calling thread waits on it rather
    than on Thread.join: a join with a timeout that Ctrl-C interrupts can leave CPython
    believing a running thread has stopped (fixed in 3.12), and the interpreter would then
    finalise under a thread still inside kelp."""
    results = [None] * len(jobs)
    errors = []
    lock = threading.Lock()
    order = iter(range(len(jobs)))
    running = [n_threads]
    finished = threading.Event()

    def work():
        try:
            while not errors:
                with lock:
                    i = next(order, None)
                if i is None:
                    break
                results[i] = jobs[i]()
        except BaseException as e:  # handed to the calling thread, raised there
            with lock:
                errors.append(e)
            token.cancel()
        finally:
            with lock:
                running[0] -= 1
                if running[0] == 0:
                    finished.set()

    workers = [threading.Thread(target=work, name=f"kelp-run-{k}", daemon=True)
               for k in range(n_threads)]
    for worker in workers:
        worker.start()
    try:
        while not finished.wait(POLL_SECONDS):
            if poll is not None:
                poll()
        if poll is not None:
            poll()
    except BaseException:
        token.cancel()
        _wait_uninterrupted(finished)  # a beam under way finishes first: milliseconds
        for worker in workers:
            _wait_uninterrupted(None, worker)
        raise
    for worker in workers:
        _wait_uninterrupted(None, worker)
    if errors:
        if isinstance(errors[0], kelp.PanicException):
            raise KelpInternalError(str(errors[0])) from errors[0]
        raise errors[0]
    return results


def _run_parts(kelp, kcfg, ranges, bar):
    """Runs the parts in launch order on a worker thread, merging each into the total there;
    returns the merged partial field."""
    token = kelp._CancelToken()
    state = {"total": None}

    def part(first, last):
        out = kelp._run_fan_part(kcfg, first, last, cancel=token, warn=False)
        partial = partial_from_fan_part(out, keep_geometry=state["total"] is None)
        del out
        if state["total"] is None:
            state["total"] = partial
        else:
            merge_partial_fields(state["total"], partial)

    def draw():
        bar.update(token.beams_finished - bar.n)

    _on_workers(kelp, token, [functools.partial(part, *r) for r in ranges], 1,
                draw if bar is not None else None)
    return state["total"]


def _wait_uninterrupted(event, thread=None):
    """Waits for the event, or for the thread to end, through any further Ctrl-C."""
    while True:
        try:
            if thread is not None:
                thread.join()
            else:
                event.wait()
            return
        except KeyboardInterrupt:
            continue


def run(cfg, *, progress=None, parts=None, estimate=None):
    """Run kelp on a configuration and return a `KelpResult`.

    The beams run on a worker thread with the interpreter lock released, so Ctrl-C (or a
    notebook's interrupt) stops the run within a beam and raises ``KeyboardInterrupt``, with
    no thread left running. Fans of more than `PARTS_BEAMS` beams are first estimated
    (`estimate_run`) and then run in parts of about `PART_SECONDS` each, merged in launch
    order; earliest arrivals and ray paths are those of ``kelp.run_simulation`` bit for bit,
    pressures equal to float32 rounding (one part gives its bits exactly). Whether the fan is
    fine enough for the receivers is not checked here: `check_fan` does that.

    Parameters
    ----------
    cfg : dict
        A configuration from the builders or the ready environments (NumPy arrays allowed).
    progress : bool, optional
        Show progress (tqdm: a bar on a terminal, a widget in a notebook, a line every
        `LOG_INTERVAL_SECONDS` in a log file), on standard error, preceded by the estimate when
        there is one. By default the configuration's ``beam.show_progress`` decides, and when
        it is not set, runs of more than `PROGRESS_BEAMS` beams show it. kelp's own progress
        output is always off.
    parts : None, int or sequence of int
        None: one part for fans of up to `PARTS_BEAMS` beams, else as the estimate says. An
        int: that many parts of near equal size; a sequence: the beam count of every part in
        launch order (see `kelpkit.split_fan`). A run that keeps an arrivals table
        (``beam.max_arrivals``) is always one part.
    estimate : bool, optional
        Measure the run's cost first (`estimate_run`) and print it when progress is shown. By
        default only for fans of more than `PARTS_BEAMS` beams.

    Returns
    -------
    KelpResult

    Raises
    ------
    RuntimeError
        kelp's errors for a configuration it cannot read or validate, with kelp's message.
    KelpInternalError
        A RuntimeError with kelp's message where kelp raises ``kelp.PanicException`` (an
        environment it cannot build, not enough memory, an internal fault).
    KeyboardInterrupt
        On Ctrl-C; the run is cancelled first.

    Warns
    -----
    UserWarning
        "kelpkit: " and each finding of `check_config`, then kelp's own warnings, before the
        run starts.
    """
    import kelp

    kcfg = to_kelp_config(cfg)
    for finding in _findings_before_run(kelp, kcfg):
        warnings.warn(f"kelpkit: {finding}", UserWarning, stacklevel=2)
    beam = kcfg.get("beam") if isinstance(kcfg.get("beam"), dict) else {}
    n_beams = fan_size(kcfg)
    if progress is None:
        progress = beam.get("show_progress")
        if progress is None:
            progress = (n_beams or 0) > PROGRESS_BEAMS
    kcfg = _quiet(kcfg)
    with kelp_errors(kelp):
        # Reads, validates and builds everything a part builds, emitting kelp's warnings
        # here on the calling thread; kelp's errors for the configuration surface here too.
        setup_wall = _setup_part(kelp, kcfg, warn=True)
        n_beams = fan_size(kcfg)
        if estimate is None:
            estimate = n_beams > PARTS_BEAMS
        measured = _measure(kelp, kcfg, setup_wall, n_beams) if estimate else None
    if beam.get("max_arrivals"):
        # Which contributions form one arrival depends on what a finished table no longer
        # holds: a run with a table is one part (still interruptible, with progress).
        if parts not in (None, 1):
            raise ValueError("run: beam.max_arrivals needs the whole fan in one part; leave "
                             "parts out or set it to 1")
        parts = 1
    if parts is None:
        parts = measured.parts if measured is not None else 1
    ranges = beam_ranges(n_beams, parts)
    stream = sys.stderr
    bar = None
    if progress:
        if measured is not None:
            measured = dataclasses.replace(
                measured, parts=len(ranges),
                seconds=measured.beam_seconds + len(ranges) * measured.setup_seconds)
            print(measured, file=stream, flush=True)
        bar = _progress_bar(n_beams, stream)
    try:
        total = _run_parts(kelp, kcfg, ranges, bar)
    finally:
        if bar is not None:
            bar.close()
    geometry = total["geometry"]
    positions = geometry.get("receiver_positions_m")
    return result_from_arrays(
        tuple(geometry["shape"]), geometry["frequency_hz"], total["pressure_re"],
        total["pressure_im"], total["delay_s"], total["amplitude"], positions=positions,
        axes=None if positions is not None else [geometry[k] for k in ("x_m", "y_m", "z_m")],
        ray_paths=split_paths(total), layout=layout_of(cfg, geometry), cfg=cfg,
        arrivals=total.get("arrivals"))


def _findings_before_run(kelp, kcfg):
    # A configuration kelp refuses gets no findings here: the run that follows raises kelp's own
    # error, after kelp's own warnings, exactly as it did before findings existed.
    try:
        return kelp._check_config(kcfg)
    except (RuntimeError, kelp.PanicException):
        return []
