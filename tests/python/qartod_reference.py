"""The QARTOD tests written plainly with numpy's masked arrays, as the
field's Python QARTOD library computes them, for the tests to hold the
library's flags against: whole series at once, windows cut out one by one,
np.median and np.diff where the library keeps running states.

Flags: 1 GOOD, 2 UNKNOWN, 3 SUSPECT, 4 FAIL, 9 MISSING.
"""
import numpy as np

GOOD, UNKNOWN, SUSPECT, FAIL, MISSING = 1, 2, 3, 4, 9


def _masked(values):
    """Missing, NaN and infinite values are masked."""
    return np.ma.masked_invalid(np.asarray(values, dtype=np.float64))


def gross_range(values, fail_span, suspect_span=None):
    raw = np.asarray(values, dtype=np.float64)
    flags = np.full(raw.size, GOOD, dtype=np.int8)
    low, high = sorted(fail_span)
    with np.errstate(invalid="ignore"):
        if suspect_span is not None:
            s_low, s_high = sorted(suspect_span)
            flags[(raw < s_low) | (raw > s_high)] = SUSPECT
        flags[(raw < low) | (raw > high)] = FAIL
    flags[np.isnan(raw)] = MISSING  # an infinity is outside any span: it stays FAIL
    return flags


def spike(values, suspect_threshold=None, fail_threshold=None, method="average"):
    x = _masked(values)
    n = x.size
    flags = np.full(n, GOOD, dtype=np.int8)
    distance = np.ma.masked_all(n)
    if n > 2:
        before, here, after = x[:-2], x[1:-1], x[2:]
        if method == "average":
            distance[1:-1] = np.abs(here - (before + after) / 2)
        else:
            up, down = here - before, after - here
            both = np.ma.minimum(np.abs(up), np.abs(down))
            distance[1:-1] = np.ma.where(up * down >= 0, 0, both)
    if suspect_threshold:
        flags[np.ma.filled(distance > suspect_threshold, False)] = SUSPECT
    if fail_threshold:
        flags[np.ma.filled(distance > fail_threshold, False)] = FAIL
    flags[np.ma.getmaskarray(distance)] = UNKNOWN  # the ends, and points beside a missing one
    flags[np.ma.getmaskarray(x)] = MISSING
    return flags


def rate_of_change(values, times, threshold, fail_threshold=None):
    x = _masked(values)
    t = np.asarray(times, dtype=np.float64)
    flags = np.full(x.size, GOOD, dtype=np.int8)
    rate = np.ma.zeros(x.size)
    if x.size > 1:
        with np.errstate(invalid="ignore"):
            rate[1:] = np.abs(np.ma.diff(x)) / np.diff(t)
    flags[np.ma.filled(rate > threshold, False)] = SUSPECT
    if fail_threshold is not None:
        flags[np.ma.filled(rate > fail_threshold, False)] = FAIL
    flags[np.ma.getmaskarray(x)] = MISSING
    return flags


def flat_line(values, times, tolerance, suspect_threshold, fail_threshold):
    x = _masked(values)
    flags = np.full(x.size, GOOD, dtype=np.int8)
    if x.size < 3:
        return flags
    step = np.median(np.diff(np.asarray(times, dtype=np.float64)))
    for threshold, flag in ((suspect_threshold, SUSPECT), (fail_threshold, FAIL)):
        n = int(int(threshold) / step)
        for i in range(n, x.size):
            window = x[i - n:i + 1]
            if window.count() and (window.max() - window.min()) < tolerance:
                flags[i] = flag
    flags[np.ma.getmaskarray(x)] = MISSING
    return flags


def _period(times, period):
    import pandas as pd

    index = pd.DatetimeIndex(np.asarray(times, dtype="datetime64[s]"))
    if period == "week":
        return index.isocalendar().week.to_numpy().astype(np.float64)
    return getattr(index, period).to_numpy().astype(np.float64)


def climatology(values, times, members):
    """members: dicts of tspan (seconds since 1970, or the period's unit),
    vspan, optional fspan and period."""
    x = _masked(values)
    flags = np.full(x.size, UNKNOWN, dtype=np.int8)
    for member in members:
        period = member.get("period")
        when = _period(times, period) if period else np.asarray(times, dtype=np.float64)
        low, high = sorted(member["tspan"])
        inside = (when >= low) & (when <= high)
        flags[inside] = GOOD
        v_low, v_high = sorted(member["vspan"])
        with np.errstate(invalid="ignore"):
            flags[inside & ((x.data < v_low) | (x.data > v_high))] = SUSPECT
            if member.get("fspan") is not None:
                f_low, f_high = sorted(member["fspan"])
                flags[inside & ((x.data < f_low) | (x.data > f_high))] = FAIL
    flags[np.ma.getmaskarray(x)] = MISSING
    return flags


def location(count, latitude, longitude, bbox):
    lon_min, lat_min, lon_max, lat_max = bbox
    outside = longitude < lon_min or latitude < lat_min or longitude > lon_max or latitude > lat_max
    return np.full(count, FAIL if outside else GOOD, dtype=np.int8)


def aggregate(flag_arrays):
    """The strongest flag of each point: FAIL > SUSPECT > GOOD > UNKNOWN > MISSING."""
    result = np.full(len(flag_arrays[0]) if flag_arrays else 0, MISSING, dtype=np.int8)
    for flag in (UNKNOWN, GOOD, SUSPECT, FAIL):
        for flags in flag_arrays:
            result[flags == flag] = flag
    return result
