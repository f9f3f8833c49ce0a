"""Multipath arrivals: the arrivals table, impulse responses, transmission loss by arrival,
first arrivals and eigenrays.

With ``beam.max_arrivals`` set, kelp keeps for every receiver each multipath arrival: the
contributions of neighbouring beams that travelled the same path (the same numbers of surface
and bottom reflections, paraxial delays within 1e-5 of the delay plus 1 microsecond of each
other) summed into one complex amplitude per frequency at one delay, the amplitude-weighted
mean of theirs. The amplitudes are defined so that at every receiver and configured
frequency f

    p(f) = sum over its arrivals of amplitude(f) exp(+i 2 pi f delay)

holds to float rounding wherever the table had room for every arrival (``arrivals_dropped``
is zero). kelp's pressure carries exp(+i omega tau) for a travel time tau: the exp(-i omega t)
time convention, in which a signal is the sum over frequencies of p exp(-i omega t), so an
arrival of spectrum A exp(+i omega tau) is a pulse centred at t = tau after emission.

`ArrivalTable` holds the table as kelp returned it (one entry per arrival, the amplitudes as
an (arrivals, frequencies) array); `KelpResult.arrivals` shows it as a pandas DataFrame with
one row per arrival and frequency.
"""

import dataclasses
import warnings

import numpy as np

#: Columns of `KelpResult.arrivals`, in order.
ARRIVAL_COLUMNS = ("arrival", "receiver", "x_m", "y_m", "z_m", "frequency_hz", "delay_s",
                   "amplitude", "launch_elevation_deg", "launch_azimuth_deg",
                   "arrival_elevation_deg", "arrival_azimuth_deg", "surface_bounces",
                   "bottom_bounces", "beam_index")

_FLOAT_KEYS = ("delay_s", "launch_elevation_deg", "launch_azimuth_deg", "arrival_elevation_deg",
               "arrival_azimuth_deg")
_INT_KEYS = ("surface_bounces", "bottom_bounces", "beam_index")

#: The level below a receiver's strongest arrival down to which `first_arrival` looks for an
#: earlier one, dB.
FIRST_ARRIVAL_WITHIN_DB = 20.0

_TL_MODES = ("coherent", "incoherent", "semicoherent")


@dataclasses.dataclass(eq=False)
class ArrivalTable:
    """kelp's arrivals table, one entry per arrival, rows by receiver and then by delay.

    Attributes
    ----------
    receiver : numpy.ndarray of int64, shape (n,)
        Flat index of the arrival's receiver, row-major over the result's receiver dimensions
        (D1, D2, D3).
    delay_s : numpy.ndarray of float32, shape (n,)
        Delay after emission, s.
    amplitude : numpy.ndarray of complex64, shape (n, F)
        Complex amplitude at each configured frequency, re the pressure 1 m from the source;
        the arrival's pressure is amplitude exp(+i 2 pi f delay).
    launch_elevation_deg, launch_azimuth_deg : numpy.ndarray of float32, shape (n,)
        Launch direction of the arrival's strongest beam (elevation from the horizontal,
        positive down; azimuth from north, +y, towards east, +x), degrees.
    arrival_elevation_deg, arrival_azimuth_deg : numpy.ndarray of float32, shape (n,)
        Direction the ray travels as it reaches the receiver, same convention (a ray arriving
        from above, travelling down, has a positive elevation), degrees.
    surface_bounces, bottom_bounces, beam_index : numpy.ndarray of int64, shape (n,)
        Reflection counts of the path and the index of its strongest beam in the fan
        (azimuth-major: azimuth number x number of elevations + elevation number).
    dropped : numpy.ndarray of int64, shape (D1, D2, D3)
        Arrivals a full table discarded, per receiver; where non-zero the arrivals no longer
        sum to the pressure.
    """

    receiver: np.ndarray
    delay_s: np.ndarray
    amplitude: np.ndarray
    launch_elevation_deg: np.ndarray
    launch_azimuth_deg: np.ndarray
    arrival_elevation_deg: np.ndarray
    arrival_azimuth_deg: np.ndarray
    surface_bounces: np.ndarray
    bottom_bounces: np.ndarray
    beam_index: np.ndarray
    dropped: np.ndarray

    def __len__(self):
        return int(self.receiver.size)

    def rows_of(self, receiver):
        """Indices of the entries of one flat receiver index, in delay order."""
        lo, hi = np.searchsorted(self.receiver, [receiver, receiver + 1])
        return np.arange(lo, hi)


def table_from_output(arrivals, frequency_hz, receiver_shape):
    """The ``"arrivals"`` dict of kelp's output as an `ArrivalTable`.

    Parameters
    ----------
    arrivals : dict
        kelp's flat columns (see the module's docstring).
    frequency_hz : array_like
        The run's frequencies, Hz.
    receiver_shape : tuple of int
        (D1, D2, D3) of the result the table belongs to.

    Returns
    -------
    ArrivalTable
    """
    n = len(arrivals["receiver"])
    n_frequencies = len(frequency_hz)
    n_receivers = int(np.prod(receiver_shape))
    cols = {}
    for key in _FLOAT_KEYS:
        cols[key] = np.asarray(arrivals[key], dtype=np.float32).reshape(-1)
    for key in ("receiver",) + _INT_KEYS:
        cols[key] = np.asarray(arrivals[key], dtype=np.int64).reshape(-1)
    amp = np.empty((n, n_frequencies), dtype=np.complex64)
    amp.real = np.asarray(arrivals["amplitude_re"], dtype=np.float32).reshape(n, n_frequencies)
    amp.imag = np.asarray(arrivals["amplitude_im"], dtype=np.float32).reshape(n, n_frequencies)
    dropped = np.asarray(arrivals["dropped"], dtype=np.int64)
    if any(c.size != n for c in cols.values()) or dropped.size != n_receivers:
        raise ValueError("from_kelp_output: the arrivals columns do not fit together "
                         f"({n} rows, {dropped.size} dropped counts for {n_receivers} "
                         "receivers)")
    return ArrivalTable(amplitude=amp, dropped=dropped.reshape(receiver_shape), **cols)


def arrivals_frame(result):
    """`KelpResult.arrivals`: the table as a DataFrame, one row per arrival and frequency."""
    import pandas as pd

    table = result.arrival_table
    if table is None:
        return None
    n, nf = table.amplitude.shape
    rec = table.receiver
    per_row = {
        "arrival": np.arange(n, dtype=np.int64),
        "receiver": rec,
        "x_m": result.receiver_x_m.reshape(-1)[rec],
        "y_m": result.receiver_y_m.reshape(-1)[rec],
        "z_m": result.receiver_z_m.reshape(-1)[rec],
    }
    cols = {k: np.repeat(v, nf) for k, v in per_row.items()}
    cols["frequency_hz"] = np.tile(result.frequency_hz, n)
    cols["delay_s"] = np.repeat(table.delay_s, nf)
    cols["amplitude"] = table.amplitude.reshape(-1)
    for key in _FLOAT_KEYS[1:] + _INT_KEYS:
        cols[key] = np.repeat(getattr(table, key), nf)
    return pd.DataFrame({k: cols[k] for k in ARRIVAL_COLUMNS})


# ------------------------------------------------------------------ xarray and netCDF

_DATASET_VARS = {  # variable name: (table attribute, attributes)
    "arrival_receiver": ("receiver", {"long_name": "flat receiver index of the arrival "
                                                   "(row-major over the receiver dimensions)"}),
    "arrival_delay_s": ("delay_s", {"units": "s", "long_name": "arrival delay after emission"}),
    "arrival_launch_elevation_deg": ("launch_elevation_deg", {
        "units": "degree", "long_name": "launch elevation of the strongest beam, positive down"}),
    "arrival_launch_azimuth_deg": ("launch_azimuth_deg", {
        "units": "degree", "long_name": "launch azimuth of the strongest beam, clockwise from "
                                        "north"}),
    "arrival_elevation_deg": ("arrival_elevation_deg", {
        "units": "degree", "long_name": "elevation of the ray's direction of travel at the "
                                        "receiver, positive down"}),
    "arrival_azimuth_deg": ("arrival_azimuth_deg", {
        "units": "degree", "long_name": "azimuth of the ray's direction of travel at the "
                                        "receiver, clockwise from north"}),
    "arrival_surface_bounces": ("surface_bounces", {"long_name": "surface reflections"}),
    "arrival_bottom_bounces": ("bottom_bounces", {"long_name": "bottom reflections"}),
    "arrival_beam_index": ("beam_index", {"long_name": "index of the strongest beam in the "
                                                       "azimuth-major fan"}),
}
_AMPLITUDE_ATTRS = {"units": "1", "long_name": "complex arrival amplitude re 1 m from the "
                                               "source; its pressure is amplitude "
                                               "exp(+i 2 pi f delay)"}


def table_variables(table, rdims, flatten):
    """The table as dataset variables on the dimension ``arrival`` (``frequency`` for the
    amplitudes), and the dropped counts on the receiver dimensions."""
    data = {name: ("arrival", getattr(table, attr), attrs)
            for name, (attr, attrs) in _DATASET_VARS.items()}
    data["arrival_amplitude"] = (("arrival", "frequency"), table.amplitude, _AMPLITUDE_ATTRS)
    data["arrivals_dropped"] = (rdims, flatten(table.dropped), {
        "long_name": "arrivals discarded by a full table, per receiver"})
    return data


def split_complex_amplitude(ds):
    """The dataset with ``arrival_amplitude`` as float32 ``arrival_amplitude_re`` and
    ``arrival_amplitude_im``, as netCDF stores them."""
    if "arrival_amplitude" not in ds:
        return ds
    a = ds["arrival_amplitude"]
    ds = ds.drop_vars("arrival_amplitude")
    ds["arrival_amplitude_re"] = a.real.astype(np.float32).assign_attrs(
        units="1", long_name="real part of the complex arrival amplitude re 1 m")
    ds["arrival_amplitude_im"] = a.imag.astype(np.float32).assign_attrs(
        units="1", long_name="imaginary part of the complex arrival amplitude re 1 m")
    return ds


def table_from_dataset(ds, receiver_shape):
    """The `ArrivalTable` of a dataset written by `KelpResult.to_xarray` or `save`; None for
    a result without a table (and for files written before tables existed)."""
    if "arrivals_dropped" not in ds:
        return None
    cols = {}
    for name, (attr, _) in _DATASET_VARS.items():
        dtype = np.float32 if attr in _FLOAT_KEYS else np.int64
        cols[attr] = np.asarray(ds[name].values, dtype=dtype).reshape(-1)
    if "arrival_amplitude" in ds:
        amp = np.asarray(ds["arrival_amplitude"].values).astype(np.complex64)
    else:
        re = np.asarray(ds["arrival_amplitude_re"].values, dtype=np.float32)
        amp = np.empty(re.shape, dtype=np.complex64)
        amp.real = re
        amp.imag = np.asarray(ds["arrival_amplitude_im"].values, dtype=np.float32)
    dropped = np.asarray(ds["arrivals_dropped"].values, dtype=np.int64).reshape(receiver_shape)
    return ArrivalTable(amplitude=amp.reshape(len(cols["receiver"]), -1), dropped=dropped,
                        **cols)


# ------------------------------------------------------------------ helpers


def _table(result, func):
    table = getattr(result, "arrival_table", None)
    if table is None:
        raise ValueError(f"{func}: the result has no arrivals table; run with "
                         f"beam.max_arrivals set (beam_settings(..., max_arrivals=50))")
    return table


def receiver_index(result, receiver, func="receiver_index"):
    """Flat index of a receiver.

    Parameters
    ----------
    result : KelpResult
    receiver : int or tuple of 3 int
        The flat index (row-major over the receiver dimensions, as in the arrivals table) or
        the indices along (D1, D2, D3).
    func : str
        Name used in error messages.

    Returns
    -------
    int
    """
    shape = result.shape[1:]
    n = int(np.prod(shape))
    if isinstance(receiver, (tuple, list, np.ndarray)) and len(receiver) == 3:
        idx = tuple(int(i) for i in receiver)
        if any(not 0 <= i < s for i, s in zip(idx, shape)):
            raise IndexError(f"{func}: receiver {idx} lies outside the receiver dimensions "
                             f"{shape}")
        return int(np.ravel_multi_index(idx, shape))
    if isinstance(receiver, bool) or not isinstance(receiver, (int, np.integer)):
        raise TypeError(f"{func}: receiver must be a flat index or (i, j, k), got {receiver!r}")
    if not 0 <= int(receiver) < n:
        raise IndexError(f"{func}: receiver {int(receiver)} lies outside 0..{n - 1}")
    return int(receiver)


def _receiver_arrivals(result, receiver, func):
    table = _table(result, func)
    r = receiver_index(result, receiver, func)
    rows = table.rows_of(r)
    dropped = int(table.dropped.reshape(-1)[r])
    if dropped:
        warnings.warn(f"{func}: receiver {r} lost {dropped} arrival(s) to a full table; "
                      f"raise beam.max_arrivals for all of them", UserWarning, stacklevel=3)
    return r, rows


def _levels(table, rows, frequency_index):
    """Level of each arrival: |amplitude| at one frequency, or the rms over the frequencies."""
    a = np.abs(table.amplitude[rows].astype(np.complex128))
    if frequency_index is None:
        return np.sqrt(np.mean(a ** 2, axis=1))
    return a[:, frequency_index]


# ------------------------------------------------------------------ impulse response


def _band(freqs, band_hz, bandwidth_hz, func):
    f = np.sort(np.asarray(freqs, dtype=float))
    if f.size >= 2 and band_hz is None and bandwidth_hz is None:
        return f[0], f[-1]
    if band_hz is not None:
        lo, hi = (float(v) for v in band_hz)
        if not 0 < lo < hi:
            raise ValueError(f"{func}: band_hz must be (low, high) with 0 < low < high, "
                             f"got {band_hz!r}")
        if f.size >= 2 and (lo < f[0] or hi > f[-1]):
            raise ValueError(f"{func}: band_hz ({lo:g}, {hi:g}) must lie within the run's "
                             f"frequencies, {f[0]:g} to {f[-1]:g} Hz")
        return lo, hi
    if f.size >= 2:
        raise ValueError(f"{func}: bandwidth_hz is for single-frequency runs; give band_hz "
                         f"within {f[0]:g} to {f[-1]:g} Hz instead")
    b = 0.5 * f[0] if bandwidth_hz is None else float(bandwidth_hz)
    if not 0 < b < 2.0 * f[0]:
        raise ValueError(f"{func}: bandwidth_hz must be positive and below twice the "
                         f"frequency ({2.0 * f[0]:g} Hz), got {bandwidth_hz!r}")
    return f[0] - 0.5 * b, f[0] + 0.5 * b


def _magnitude_and_phase_on(freqs, amplitude, grid):
    """Each arrival's |A| and phase at the frequencies `grid`, interpolated linearly between
    the configured frequencies (the phase unwrapped: with the delay taken out it turns slowly
    with frequency) and held constant beyond them, or everywhere for a single frequency."""
    f = np.asarray(freqs, dtype=float)
    a = np.asarray(amplitude, dtype=np.complex128).reshape(-1, f.size)
    order = np.argsort(f)
    f, a = f[order], a[:, order]
    mag, phase = np.abs(a), np.unwrap(np.angle(a), axis=1)
    if f.size == 1:
        return mag, phase
    i = np.clip(np.searchsorted(f, grid, side="right") - 1, 0, f.size - 2)
    w = np.clip((grid - f[i]) / (f[i + 1] - f[i]), 0.0, 1.0)
    return (mag[:, i] * (1.0 - w) + mag[:, i + 1] * w,
            phase[:, i] * (1.0 - w) + phase[:, i + 1] * w)


def synthesize_response(delays_s, amplitude, freqs_hz, band, start_s, fs_hz, n_samples):
    """Band-limited complex response of point arrivals at arbitrary (fractional) delays.

        z(t) = sum_i  integral over the band of w(f) A_i(f) exp(-i 2 pi f (t - delay_i)) df
               / integral over the band of w(f) df

    with w a Hann taper across the band (its time sidelobes lie 31 dB down, so they are not
    mistaken for arrivals; a flat band would leave them at -13 dB). The integral is a sum over
    an even frequency grid of spacing fs / M, M at least twice the record's length in samples
    (with the pulses' reach either side), so the response repeats only well beyond it; the sum
    at the sample times is then one FFT of length M. Each arrival enters through exp(+i 2 pi f delay) at its own
    delay, never rounded to a sample, and arrivals in one sample add with their phases.

    Parameters
    ----------
    delays_s : array_like, shape (n,)
    amplitude : array_like, shape (n, F)
        Complex amplitudes at `freqs_hz` (interpolated across the band, see
        `_magnitude_and_phase_on`).
    freqs_hz : array_like, shape (F,)
    band : (float, float)
        Lowest and highest frequency, Hz.
    start_s, fs_hz : float
        Time of the first sample after emission (s) and the sampling rate (Hz).
    n_samples : int

    Returns
    -------
    numpy.ndarray of complex128, shape (n_samples,)
        z at start_s + k / fs_hz: its real part is the pressure waveform of the band-limited
        pulse, its modulus the envelope; an isolated arrival of flat amplitude A peaks at |A|
        at its delay.
    """
    tau = np.asarray(delays_s, dtype=float).reshape(-1)
    amplitude = np.asarray(amplitude).reshape(tau.size, -1)
    lo, hi = float(band[0]), float(band[1])
    width = hi - lo
    fs, t0, n = float(fs_hz), float(start_s), int(n_samples)
    t1 = t0 + (n - 1) / fs
    # Beyond 8 / width from the record an arrival's pulse is more than 60 dB down: leave it
    # out, so that the frequency grid need only span the record.
    near = (tau > t0 - 8.0 / width) & (tau < t1 + 8.0 / width)
    tau, amplitude = tau[near], amplitude[near]
    if tau.size == 0 or n == 0:
        return np.zeros(n, dtype=np.complex128)
    m = max(n, int(np.ceil(2.0 * (t1 - t0 + 16.0 / width) * fs)))
    df = fs / m
    grid = lo + df * np.arange(int(np.floor(width / df)) + 1)
    w = np.sin(np.pi * (grid - lo) / width) ** 2
    spectrum = np.zeros(grid.size, dtype=np.complex128)
    for s in range(0, tau.size, 256):
        mag, phase = _magnitude_and_phase_on(freqs_hz, amplitude[s:s + 256], grid)
        phase = phase + 2.0 * np.pi * np.outer(tau[s:s + 256], grid)
        spectrum += np.sum(mag * np.exp(1j * phase), axis=0)
    # exp(-i 2 pi (lo + j df)(t0 + k / fs)) = exp(-i 2 pi lo t_k) exp(-i 2 pi j df t0)
    # exp(-i 2 pi j k / m): an FFT of length m over j.
    d = w * spectrum * np.exp(-2j * np.pi * (grid - lo) * t0) / w.sum()
    z = np.fft.fft(d, n=m)[:n]
    t = t0 + np.arange(n) / fs
    return z * np.exp(-2j * np.pi * lo * t)


def impulse_response(result, receiver, fs_hz, *, start_s=None, duration_s=None, band_hz=None,
                     bandwidth_hz=None):
    """Band-limited impulse response of the channel at one receiver, from its arrivals.

    Every arrival is a pulse of the run's band centred at its own delay (not rounded to a
    sample), carrying its complex amplitude; pulses add coherently, so arrivals that fall in
    one sample add with their phases rather than one replacing another. Over a run of several
    frequencies the band is theirs (lowest to highest) and each arrival's amplitude follows its
    values at them (modulus and phase interpolated linearly). A single-frequency run knows each
    arrival at one frequency only: the response is then that of a pulse of `bandwidth_hz`
    (default half the frequency) centred on it, each arrival's amplitude held flat across it.
    The band is tapered with a Hann window, so the pulse's envelope falls to zero 2 / bandwidth
    either side of its peak with sidelobes 31 dB down.

    Time runs from the emission of the pulse (t = 0). In kelp's exp(-i omega t) convention an
    arrival of spectrum A exp(+i omega delay) is a pulse at t = +delay; the samples are
    z(t) = sum over arrivals of the band integral of A(f) exp(-i 2 pi f (t - delay)), divided
    by the integral of the taper.

    Parameters
    ----------
    result : KelpResult
        A result with an arrivals table.
    receiver : int or tuple of 3 int
        Flat receiver index or indices along (D1, D2, D3).
    fs_hz : float
        Sampling rate, Hz; above twice the band's highest frequency, so that the real part is a
        sampled waveform.
    start_s : float, optional
        Time of the first sample, s after emission. Default: 4 / bandwidth before the first
        arrival, on the grid of whole sample periods from emission (t = n / fs_hz).
    duration_s : float, optional
        Length of the record, s. Default: to 4 / bandwidth after the last arrival.
    band_hz : (float, float), optional
        A narrower band within the run's frequencies.
    bandwidth_hz : float, optional
        Bandwidth of a single-frequency run's pulse, Hz.

    Returns
    -------
    time_s : numpy.ndarray of float64
        Sample times after emission, s.
    response : numpy.ndarray of complex128
        Complex samples re 1 m from the source: the real part is the pressure waveform, the
        modulus its envelope (an isolated arrival of flat amplitude A peaks at |A|). Complex
        because arrivals carry arbitrary phases (pi at the surface, phase shifts of total
        bottom reflection) that a real envelope alone would lose.

    Warns
    -----
    UserWarning
        When the receiver's table was full and arrivals were dropped.
    """
    func = "impulse_response"
    table = _table(result, func)
    r, rows = _receiver_arrivals(result, receiver, func)
    lo, hi = _band(result.frequency_hz, band_hz, bandwidth_hz, func)
    fs = float(fs_hz)
    if not fs > 2.0 * hi:
        raise ValueError(f"{func}: fs_hz must exceed twice the band's highest frequency "
                         f"({2.0 * hi:g} Hz), got {fs_hz!r}")
    tau = table.delay_s[rows].astype(float)
    if tau.size == 0 and (start_s is None or duration_s is None):
        raise ValueError(f"{func}: receiver {r} has no arrivals; give start_s and duration_s "
                         f"for a record of zeros")
    lead = 4.0 / (hi - lo)
    if start_s is None:
        start_s = np.floor((tau.min() - lead) * fs) / fs
    if duration_s is None:
        duration_s = tau.max() + lead - start_s
    if not duration_s > 0:
        raise ValueError(f"{func}: duration_s must be positive, got {duration_s!r}")
    n = int(np.ceil(float(duration_s) * fs))
    t = float(start_s) + np.arange(n) / fs
    return t, synthesize_response(tau, table.amplitude[rows], result.frequency_hz, (lo, hi),
                                  float(start_s), fs, n)


# ------------------------------------------------------------------ transmission loss


def _sound_speed_at_source(cfg):
    """Sound speed at the source: kelp's trilinear lookup of its grid, clamped to the grid."""
    ssp = cfg["ssp"]
    axes = [np.asarray(ssp[k], float) for k in ("x_ssp_m", "y_ssp_m", "z_ssp_m")]
    c = np.asarray(ssp["c_m_s"], float).reshape([a.size for a in axes])
    for axis, p in zip(axes, cfg["source"]["position"]):
        c = np.apply_along_axis(lambda col: np.interp(p, axis, col), 0, c) \
            if axis.size > 1 else c[0]
    return float(c)


def lloyd_weights(frequency_hz, launch_elevation_deg, source_depth_m, sound_speed_m_s,
                  source_depth_spread_m=0.0):
    """Intensity weight of an arrival for its interference with its surface-reflected twin
    near the source.

    A source at depth z under a pressure-release surface radiates every path twice: straight
    up or down at elevation theta, and by the surface at the mirror angle. Beyond the source
    the two travel together, the second delayed by 2 z sin(theta) / c and inverted, so their
    joint intensity is 2 |A|^2 x 2 sin^2(k z sin theta) and each of the two, counted alone, is
    weighted by L = 2 sin^2(k z sin theta) = 1 - cos(2 k z sin theta). Averaged over a
    Gaussian uncertainty sigma of the source depth, L = 1 - cos(2 k z sin theta)
    exp(-2 (k sigma sin theta)^2), which tends to 1 (no interference) for steep paths and
    deep sources. The mean of L over theta is 1: the weighting moves energy between angles
    without creating or destroying it.

    Parameters
    ----------
    frequency_hz : array_like
    launch_elevation_deg : array_like
        Broadcast against `frequency_hz`.
    source_depth_m, sound_speed_m_s : float
    source_depth_spread_m : float
        sigma, metres.

    Returns
    -------
    numpy.ndarray
    """
    k = 2.0 * np.pi * np.asarray(frequency_hz, float) / sound_speed_m_s
    s = np.sin(np.radians(np.asarray(launch_elevation_deg, float)))
    return 1.0 - np.cos(2.0 * k * source_depth_m * s) * np.exp(
        -2.0 * (k * source_depth_spread_m * s) ** 2)


def transmission_loss(result, mode="coherent", *, source_depth_spread_m=0.0):
    """Transmission loss from the arrivals, dB re 1 m.

    "coherent": -20 log10 |sum A exp(+i 2 pi f delay)|, the field's own TL wherever nothing
    was dropped. "incoherent": -10 log10 sum |A|^2, every interference averaged away.
    "semicoherent": -10 log10 sum |A|^2 L, the incoherent sum with each arrival weighted by
    its interference with its surface-reflected twin at the source (`lloyd_weights`): it keeps
    the one interference that is robust in a real ocean, the Lloyd's-mirror pattern of a
    source near the surface that silences shallow angles, and drops the fine range-depth
    pattern between paths, which shifts with every metre of uncertain geometry. Meant for
    sources a few wavelengths deep or less; `source_depth_spread_m` averages the pattern over
    an uncertain source depth (deep sources, rough seas).

    Parameters
    ----------
    result : KelpResult
        A result with an arrivals table (and, for "semicoherent", its configuration).
    mode : {"coherent", "incoherent", "semicoherent"}
    source_depth_spread_m : float
        Standard deviation of the source depth for "semicoherent", metres.

    Returns
    -------
    numpy.ndarray of float64, shape (F, D1, D2, D3)
        inf where a receiver has no arrival.
    """
    func = "transmission_loss"
    table = _table(result, func)
    if mode not in _TL_MODES:
        raise ValueError(f"{func}: mode must be one of {', '.join(map(repr, _TL_MODES))}, "
                         f"got {mode!r}")
    f = np.asarray(result.frequency_hz, dtype=float)
    n_rec = int(np.prod(result.shape[1:]))
    amp = table.amplitude.astype(np.complex128)
    if mode == "coherent":
        phase = np.exp(2j * np.pi * np.outer(table.delay_s.astype(float), f))
        total = np.zeros((n_rec, f.size), dtype=np.complex128)
        np.add.at(total, table.receiver, amp * phase)
        power = np.abs(total) ** 2
    else:
        weight = np.abs(amp) ** 2
        if mode == "semicoherent":
            cfg = result.config
            if cfg is None:
                raise ValueError(f"{func}: semicoherent needs the run's configuration (source "
                                 f"depth and sound speed); the result carries none")
            spread = float(source_depth_spread_m)
            if not spread >= 0:
                raise ValueError(f"{func}: source_depth_spread_m must be >= 0, got "
                                 f"{source_depth_spread_m!r}")
            weight = weight * lloyd_weights(f[None, :], table.launch_elevation_deg[:, None],
                                            float(cfg["source"]["position"][2]),
                                            _sound_speed_at_source(cfg), spread)
        power = np.zeros((n_rec, f.size))
        np.add.at(power, table.receiver, weight)
    reached = np.zeros(n_rec, dtype=bool)
    reached[table.receiver] = True
    with np.errstate(divide="ignore"):
        tl = -10.0 * np.log10(power)
    tl[~reached] = np.inf
    return tl.T.reshape(result.shape)


# ------------------------------------------------------------------ first arrival


def first_arrival(result, *, within_db=FIRST_ARRIVAL_WITHIN_DB, frequency_hz=None):
    """Per receiver, the earliest arrival no more than `within_db` below its strongest.

    kelp's own earliest arrival (`KelpResult.delay_s`) is the earliest beam contribution in
    reach of the receiver, however weak: the far edge of a beam, a path that left the fan
    nearly spent. A receiver hears the first arrival that stands out of what follows it. 20 dB
    by default: an arrival 20 dB down carries 1 % of the strongest's energy, about the range
    over which a matched filter at a working signal-to-noise ratio still picks a path out
    ahead of the main one, and a level the paths of a beam model reproduce to about a decibel
    (the arrivals of the ideal waveguide and wedge in the tests).

    Parameters
    ----------
    result : KelpResult
        A result with an arrivals table.
    within_db : float
        How far below the receiver's strongest arrival an earlier one may be, dB (>= 0).
    frequency_hz : float, optional
        Compare levels at the run's frequency nearest this; by default the level of an arrival
        is the rms of |amplitude| over the run's frequencies.

    Returns
    -------
    pandas.DataFrame
        One row per receiver with arrivals, in receiver order: ``receiver``, ``x_m``, ``y_m``,
        ``z_m``, ``arrival`` (its entry in the table), ``delay_s``, ``level_db`` (20 log10 of
        the level, re 1 m), ``relative_level_db`` (re the strongest, <= 0), the launch and
        arrival directions, ``surface_bounces``, ``bottom_bounces`` and ``beam_index``.
    """
    import pandas as pd

    func = "first_arrival"
    table = _table(result, func)
    if isinstance(within_db, bool) or not isinstance(within_db, (int, float, np.floating)) \
            or not within_db >= 0:
        raise ValueError(f"{func}: within_db must be a number >= 0, got {within_db!r}")
    k = None if frequency_hz is None else result.frequency_index(frequency_hz)
    n = len(table)
    level = _levels(table, np.arange(n), k)
    with np.errstate(divide="ignore"):
        level_db = 20.0 * np.log10(level)
    receivers, starts = np.unique(table.receiver, return_index=True)
    strongest = np.maximum.reduceat(level_db, starts) if n else np.zeros(0)
    relative = level_db - np.repeat(strongest, np.diff(np.append(starts, n)))
    chosen = []
    for s, e in zip(starts, np.append(starts[1:], n)):
        ok = np.nonzero(relative[s:e] >= -float(within_db))[0]
        chosen.append(s + ok[0])  # rows are in delay order
    chosen = np.asarray(chosen, dtype=np.int64)
    rec = table.receiver[chosen]
    frame = {
        "receiver": rec,
        "x_m": result.receiver_x_m.reshape(-1)[rec],
        "y_m": result.receiver_y_m.reshape(-1)[rec],
        "z_m": result.receiver_z_m.reshape(-1)[rec],
        "arrival": chosen,
        "delay_s": table.delay_s[chosen],
        "level_db": level_db[chosen],
        "relative_level_db": relative[chosen],
    }
    for key in _FLOAT_KEYS[1:] + _INT_KEYS:
        frame[key] = getattr(table, key)[chosen]
    return pd.DataFrame(frame)


# ------------------------------------------------------------------ eigenrays


@dataclasses.dataclass
class Eigenray:
    """The path of one arrival's strongest beam, from the source to its closest approach to the
    receiver.

    Attributes
    ----------
    arrival : int
        Entry of the arrival in the result's table (``arrival`` column of
        `KelpResult.arrivals`).
    delay_s : float
    amplitude : numpy.ndarray of complex64, shape (F,)
    surface_bounces, bottom_bounces, beam_index : int
    launch_elevation_deg, launch_azimuth_deg : float
        Launch angles of the path, degrees: the beam's own, or the refined ones.
    path_m : numpy.ndarray of float64, shape (N, 3)
        x, y, depth along the ray, metres; the last point is the ray's closest approach to the
        receiver on the leg where it has met the arrival's reflections.
    miss_m : float
        Distance from that point to the receiver, metres (the receiver lies within the beam,
        off its axis).
    """

    arrival: int
    delay_s: float
    amplitude: np.ndarray
    surface_bounces: int
    bottom_bounces: int
    beam_index: int
    launch_elevation_deg: float
    launch_azimuth_deg: float
    path_m: np.ndarray
    miss_m: float


def _reflection_counts(cfg, path):
    """(surface, bottom) reflections met up to each state of a path: the runs of its states on
    the surface and on the sea floor (a reflection keeps a few states on the boundary),
    counted from the run's first state on. Shape (N, 2)."""
    from .plots import bottom_depth

    p = np.asarray(path, dtype=float)
    counts = []
    for on in (p[:, 2] <= 1e-3, p[:, 2] >= bottom_depth(cfg, p[:, 0], p[:, 1]) - 1e-2):
        starts = on & ~np.concatenate([[False], on[:-1]])
        counts.append(np.cumsum(starts))
    return np.stack(counts, axis=1)


def _cut_at_closest_approach(path, point, segments=None):
    """The path up to its closest approach to `point` (on a segment, not only a node), over
    the segments where `segments` is true (all by default), and the distance there."""
    p = np.asarray(path, dtype=float)
    if len(p) < 2:
        return p, float(np.linalg.norm(p[0] - point)) if len(p) else np.inf
    a, d = p[:-1], np.diff(p, axis=0)
    length2 = np.einsum("ij,ij->i", d, d)
    s = np.clip(np.einsum("ij,ij->i", point - a, d) / np.where(length2 > 0, length2, 1.0),
                0.0, 1.0)
    foot = a + s[:, None] * d
    dist = np.linalg.norm(foot - point, axis=1)
    if segments is not None and np.any(segments):
        dist = np.where(segments, dist, np.inf)
    i = int(np.argmin(dist))
    return np.vstack([p[:i + 1], foot[i]]), float(dist[i])


def _cut_on_its_path(cfg, path, point, counts):
    """The path cut at its closest approach to `point` on the stretch where it has met
    `counts` reflections (a beam can pass one receiver on several legs); None when it never
    has."""
    met = _reflection_counts(cfg, path)[:-1]
    on_path = np.all(met == np.asarray(counts), axis=1)
    if not on_path.any():
        return None, np.inf
    return _cut_at_closest_approach(path, point, on_path)


def _trace_paths(kcfg, azim_deg, elev_deg, point):
    """Paths of the product fan azim_deg x elev_deg (azimuth-major), traced towards one
    receiver at `point`."""
    import kelp

    cfg = dict(kcfg)
    cfg["source"] = {**kcfg["source"], "launch_azim_deg": list(azim_deg),
                     "launch_elev_deg": list(elev_deg)}
    cfg["receivers"] = {"config_type": "array", "x_rcvr_m": [float(point[0])],
                        "y_rcvr_m": [float(point[1])], "z_rcvr_m": [float(point[2])]}
    cfg["beam"] = {k: v for k, v in kcfg["beam"].items() if k != "max_arrivals"}
    cfg["beam"].update(store_ray_paths=True, show_progress=False)
    with warnings.catch_warnings():
        # Retraced angles are picked out of the fan: unevenly spaced on purpose.
        warnings.filterwarnings("ignore", message="kelp: source: launch_.* evenly spaced")
        return kelp.run_simulation(cfg)["ray_paths"]


def _spacing_deg(angles):
    return abs(float(angles[1]) - float(angles[0])) if len(angles) > 1 else 1.0


def eigenrays(cfg, result, receiver, *, within_db=None, refine=False):
    """Retrace the beams behind a receiver's arrivals and return their paths.

    kelp keeps, per arrival, the index of its strongest beam. Those beams are traced again, in
    one kelp call with only their launch angles and stored paths (a ray's path depends on its
    launch direction alone; the fan spacing, which kelp takes from the first two angles of each
    list, sizes the beams but does not move them). Such a beam passes the receiver within
    about the width of its ray tube there, the fan spacing times the spreading: tens of metres
    after a few bottom reflections on a sloping floor. With `refine`, each arrival's launch
    angles are searched again within a fan spacing either side, in quarter spacings (one kelp
    call per arrival), for the ray with the arrival's reflections that passes closest.

    Parameters
    ----------
    cfg : dict
        The configuration of the run that produced `result`.
    result : KelpResult
        Its result, with an arrivals table.
    receiver : int or tuple of 3 int
        Flat receiver index or indices along (D1, D2, D3).
    within_db : float, optional
        Only arrivals at most this far below the receiver's strongest (rms level over the
        frequencies); all of them by default.
    refine : bool
        Search launch angles between the fan's for rays closer to the receiver.

    Returns
    -------
    list of Eigenray
        In the table's order (by delay).
    """
    from .builders import to_kelp_config
    from .result import beam_angles

    func = "eigenrays"
    table = _table(result, func)
    r, rows = _receiver_arrivals(result, receiver, func)
    if within_db is not None and rows.size:
        level = _levels(table, rows, None)
        rows = rows[level >= level.max() * 10.0 ** (-float(within_db) / 20.0)]
    if rows.size == 0:
        return []
    kcfg = to_kelp_config(cfg)
    az, el = beam_angles(kcfg)
    beams = table.beam_index[rows]
    if beams.max() >= az.size:
        raise ValueError(f"{func}: the result's beam indices reach {int(beams.max())} but cfg "
                         f"has {az.size} beams; pass the configuration of this run")
    point = np.array([result.receiver_x_m.reshape(-1)[r], result.receiver_y_m.reshape(-1)[r],
                      result.receiver_z_m.reshape(-1)[r]], dtype=float)
    azim = sorted({float(az[b]) for b in beams})
    elev = sorted({float(el[b]) for b in beams})
    paths = _trace_paths(kcfg, azim, elev, point)
    src = kcfg["source"]
    d_el, d_az = _spacing_deg(src["launch_elev_deg"]), _spacing_deg(src["launch_azim_deg"])
    steps = np.arange(-4, 5) / 4.0
    out = []
    for row, b in zip(rows, beams):
        a_deg, e_deg = float(az[b]), float(el[b])
        counts = (int(table.surface_bounces[row]), int(table.bottom_bounces[row]))
        path = paths[azim.index(a_deg) * len(elev) + elev.index(e_deg)]
        cut, miss = _cut_on_its_path(kcfg, path, point, counts)
        if cut is None:  # reflections the path's states do not show (a grazing touch)
            cut, miss = _cut_at_closest_approach(path, point)
        if refine:
            c_el = [float(np.clip(e_deg + k * d_el, -90.0, 90.0)) for k in steps]
            c_az = [a_deg + k * d_az for k in steps] if len(src["launch_azim_deg"]) > 1 \
                else [a_deg]
            for i, c_path in enumerate(_trace_paths(kcfg, c_az, c_el, point)):
                c_cut, c_miss = _cut_on_its_path(kcfg, c_path, point, counts)
                if c_miss < miss:
                    cut, miss = c_cut, c_miss
                    a_deg, e_deg = c_az[i // len(c_el)], c_el[i % len(c_el)]
        out.append(Eigenray(arrival=int(row), delay_s=float(table.delay_s[row]),
                            amplitude=table.amplitude[row].copy(),
                            surface_bounces=int(table.surface_bounces[row]),
                            bottom_bounces=int(table.bottom_bounces[row]), beam_index=int(b),
                            launch_elevation_deg=e_deg, launch_azimuth_deg=a_deg, path_m=cut,
                            miss_m=miss))
    return out


_COLOUR_BY = ("bottom", "surface", "total")
_MOST_BOUNCES_COLOURED = 8  # counts beyond share the last colour


def _bounce_keys(surface, bottom, colour_by, func):
    if colour_by not in _COLOUR_BY:
        raise ValueError(f"{func}: colour_by must be one of "
                         f"{', '.join(map(repr, _COLOUR_BY))}, got {colour_by!r}")
    s, b = np.asarray(surface, dtype=int), np.asarray(bottom, dtype=int)
    return {"bottom": b, "surface": s, "total": s + b}[colour_by]


def bounce_colour(count):
    """The colour of a bounce count, the same in every picture: viridis from 0 to 8 (and
    beyond)."""
    import matplotlib.pyplot as plt

    return plt.get_cmap("viridis")(min(int(count), _MOST_BOUNCES_COLOURED)
                                   / _MOST_BOUNCES_COLOURED)


def _bounce_label(count, colour_by):
    what = {"bottom": "bottom", "surface": "surface", "total": "surface + bottom"}[colour_by]
    plural = "reflection" if count == 1 else "reflections"
    return f"{count} {what} {plural}"


def plot_arrivals(result, receiver, *, frequency_hz=None, colour_by="bottom", ax=None,
                  floor_db=None):
    """Stem plot of a receiver's arrivals: level against delay, coloured by bounce counts.

    Parameters
    ----------
    result : KelpResult
        A result with an arrivals table.
    receiver : int or tuple of 3 int
    frequency_hz : float, optional
        The run's frequency nearest this (the first by default).
    colour_by : {"bottom", "surface", "total"}
        The count that colours a stem (`bounce_colour`). Bottom reflections by default: they
        are what costs a path its energy, a surface reflection only turns its sign.
    ax : matplotlib.axes.Axes, optional
    floor_db : float, optional
        Bottom of the level axis, dB re 1 m; default 40 dB below the strongest arrival.

    Returns
    -------
    matplotlib.axes.Axes
    """
    import matplotlib.pyplot as plt

    func = "plot_arrivals"
    table = _table(result, func)
    r, rows = _receiver_arrivals(result, receiver, func)
    keys = _bounce_keys(table.surface_bounces[rows], table.bottom_bounces[rows], colour_by, func)
    k = result.frequency_index(frequency_hz)
    if ax is None:
        _, ax = plt.subplots(figsize=(7.0, 4.0), layout="constrained")
    with np.errstate(divide="ignore"):
        level = 20.0 * np.log10(np.abs(table.amplitude[rows, k].astype(np.complex128)))
    top = float(np.max(level)) if rows.size else 0.0
    floor = top - 40.0 if floor_db is None else float(floor_db)
    for key in sorted(set(keys.tolist())):
        on = keys == key
        ax.vlines(table.delay_s[rows][on], floor, level[on], colors=[bounce_colour(key)],
                  lw=1.6, label=_bounce_label(key, colour_by))
        ax.plot(table.delay_s[rows][on], level[on], "o", color=bounce_colour(key), ms=4)
    ax.set_ylim(floor, top + 5.0)
    ax.set_xlabel("delay after emission (s)")
    ax.set_ylabel(f"arrival level at {result.frequency_hz[k]:g} Hz (dB re 1 m)")
    ax.set_title(f"receiver {r}: {rows.size} arrivals", fontsize=11)
    if rows.size:
        ax.legend(fontsize=8, loc="upper right")
    ax.grid(alpha=0.3)
    return ax


def plot_eigenrays(rays, cfg, *, receiver_m=None, colour_by="bottom", ax=None, legend=True):
    """Eigenrays in the vertical plane through the source and the receiver, over the sea
    floor along that plane.

    Parameters
    ----------
    rays : list of Eigenray
        From `eigenrays`.
    cfg : dict
        The configuration, for the source and the sea floor.
    receiver_m : (float, float, float), optional
        The receiver's position, marked; by default the end of the first ray.
    colour_by : {"bottom", "surface", "total"}
        As in `plot_arrivals`, with the same colours.
    ax : matplotlib.axes.Axes, optional
    legend : bool

    Returns
    -------
    matplotlib.axes.Axes
    """
    import matplotlib.pyplot as plt

    from .plots import SEABED_COLOUR, bottom_depth

    func = "plot_eigenrays"
    keys = _bounce_keys([ray.surface_bounces for ray in rays],
                        [ray.bottom_bounces for ray in rays], colour_by, func)
    sx, sy, sz = (float(v) for v in cfg["source"]["position"])
    if receiver_m is None:
        if not rays:
            raise ValueError(f"{func}: no rays and no receiver_m to draw")
        receiver_m = rays[0].path_m[-1]
    rx, ry, rz = (float(v) for v in receiver_m)
    rng = float(np.hypot(rx - sx, ry - sy))
    ux, uy = ((rx - sx) / rng, (ry - sy) / rng) if rng > 0 else (0.0, 1.0)
    if ax is None:
        _, ax = plt.subplots(figsize=(7.0, 4.0), layout="constrained")
    deepest = max(sz, rz)
    shown = set()
    # the strongest drawn last, on top
    for i in np.argsort([-abs(ray.amplitude[0]) for ray in rays])[::-1]:
        ray, key = rays[i], int(keys[i])
        p = ray.path_m
        along = (p[:, 0] - sx) * ux + (p[:, 1] - sy) * uy
        label = None if key in shown else _bounce_label(key, colour_by)
        shown.add(key)
        ax.plot(along / 1e3, p[:, 2], color=bounce_colour(key), lw=1.1, label=label)
        deepest = max(deepest, float(p[:, 2].max()))
    d = np.linspace(0.0, 1.05 * rng, 300)
    floor = bottom_depth(cfg, sx + d * ux, sy + d * uy)
    bottom = max(deepest, float(floor.max())) * 1.05
    ax.fill_between(d / 1e3, floor, bottom, color=SEABED_COLOUR, lw=0)
    ax.plot(d / 1e3, floor, "k", lw=0.8)
    ax.plot(0.0, sz, marker="*", color="w", mec="k", ms=13, zorder=5, clip_on=False)
    ax.plot(rng / 1e3, rz, marker="o", color="w", mec="k", ms=8, zorder=5, clip_on=False)
    ax.set_xlim(0.0, 1.05 * rng / 1e3)
    ax.set_ylim(bottom, 0.0)
    ax.set_xlabel("range along the source-receiver bearing (km)")
    ax.set_ylabel("depth (m)")
    ax.set_title(f"{len(rays)} eigenrays", fontsize=11)
    if legend and shown:
        handles, labels = ax.get_legend_handles_labels()
        order = np.argsort([int(label.split()[0]) for label in labels])
        ax.legend([handles[i] for i in order], [labels[i] for i in order], fontsize=8,
                  loc="lower left")
    return ax
