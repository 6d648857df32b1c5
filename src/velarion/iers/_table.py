"""Reading IERS ``finals2000A`` files into a daily table of Earth orientation.

The file is fixed-width text, one line per UTC day. Each numeric field is cut
out of all lines at once with NumPy (the lines become rows of a byte matrix),
so a 20 000-line file parses in a few milliseconds.
"""

from __future__ import annotations

import math
import os

import numpy as np

# Word for word: callers and tests compare the exception texts of this module.

ARCSEC = math.pi / (180.0 * 3600.0)  # rad per arcsecond
MAS = ARCSEC / 1000.0  # rad per milliarcsecond

# 0-based [start, stop) byte ranges of the fields used.
_MJD = (7, 15)
_A = {
    "pm_x": (18, 27),  # arcsec
    "pm_y": (37, 46),  # arcsec
    "ut1_utc": (58, 68),  # s
    "lod": (79, 86),  # ms
    "dX": (97, 106),  # mas
    "dY": (116, 125),  # mas
}
_B = {
    "pm_x": (134, 144),
    "pm_y": (144, 154),
    "ut1_utc": (154, 165),
    "dX": (165, 175),
    "dY": (175, 185),
}
_WIDTH = 187
_SCALE = {"pm_x": ARCSEC, "pm_y": ARCSEC, "dX": MAS, "dY": MAS, "lod": 1e-3, "ut1_utc": 1.0}

# Interpolated fields, in the order of EOPTable.values.
FIELDS = ("pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc")
# Bounds no real value comes near (in the file's units: arcsec, mas, ms, s),
# which a file in other units or with shifted columns crosses.
_PLAUSIBLE = {"pm_x": 10.0, "pm_y": 10.0, "dX": 1000.0, "dY": 1000.0, "lod": 100.0, "ut1_utc": 10.0}


def _char_matrix(data: bytes) -> np.ndarray:
    """The lines of `data` as a (lines, _WIDTH) uint8 matrix, blank-padded."""
    lines = data.splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    if not lines:
        return np.zeros((0, _WIDTH), np.uint8)
    fixed = np.array(lines, dtype=f"S{_WIDTH}")  # pads short lines with NUL
    chars: np.ndarray = fixed.view(np.uint8).reshape(len(lines), _WIDTH).copy()
    chars[chars == 0] = ord(" ")
    return chars


def _fixed_point(sub: np.ndarray, blank: np.ndarray) -> np.ndarray | None:
    """Parses right-aligned fixed-point fields (Fortran F format) digit by digit.

    Every non-blank field must hold one decimal point, in the same column
    for all lines, digits and at most one sign; otherwise None (the caller
    falls back to the general parser). The integer mantissa over a power of
    ten gives the correctly rounded value, the same as ``float(text)``.
    """
    n, w = sub.shape
    digit = (sub >= ord("0")) & (sub <= ord("9"))
    dot = sub == ord(".")
    sign = (sub == ord("-")) | (sub == ord("+"))
    if not (digit | dot | sign | (sub == ord(" "))).all():
        return None
    filled = ~blank
    if not ((dot.sum(axis=1) == 1) | blank).all() or (sign.sum(axis=1) > 1).any():
        return None
    if not filled.any():
        return np.full(n, np.nan)
    cols = np.argmax(dot, axis=1)[filled]
    p = int(cols[0])
    if (cols != p).any():
        return None
    # Integer weight of each column, skipping the decimal point.
    weights = np.zeros(w, np.int64)
    k = 0
    for j in range(w - 1, -1, -1):
        if j != p:
            weights[j] = 10**k
            k += 1
    if k > 18:
        return None
    mant = np.where(digit, sub - ord("0"), 0).astype(np.int64) @ weights
    value = mant / float(10 ** (w - 1 - p))
    value[(sub == ord("-")).any(axis=1)] *= -1.0
    value[blank] = np.nan
    return value


def _column(chars: np.ndarray, span: tuple[int, int], what: str, path: str) -> np.ndarray:
    """Field `span` of every line as float64, NaN where the field is blank."""
    start, stop = span
    sub = np.ascontiguousarray(chars[:, start:stop])
    blank = (sub == ord(" ")).all(axis=1)
    fast = _fixed_point(sub, blank)
    if fast is not None:
        return fast
    text = sub.view(f"S{stop - start}").reshape(-1)
    text = np.where(blank, b"nan", text)
    try:
        value = text.astype(np.float64)
    except ValueError:
        value = None
    if value is not None:
        # The general parser also reads "nan", "inf" and overflowing
        # exponents: a field that is not blank must be a finite number.
        bad = ~np.isfinite(value) & ~blank
        if not bad.any():
            return value
        i = int(np.argmax(bad))
        raise ValueError(
            f"{path}: line {i + 1}, columns {start + 1}-{stop}: "
            f"{what} {text[i].decode('latin-1').strip()!r} is not a finite number"
        )
    # Find the offending line for the message.
    for i, t in enumerate(text):
        try:
            float(t)
        except ValueError:
            raise ValueError(
                f"{path}: line {i + 1}, columns {start + 1}-{stop}: "
                f"{what} {t.decode('latin-1').strip()!r} is not a number"
            ) from None
    raise ValueError(f"{path}: columns {start + 1}-{stop}: {what} is not a number")


def read_leap_seconds(path: str) -> tuple[np.ndarray, np.ndarray]:
    """(MJD from which it holds, TAI-UTC in s) of the IERS Leap_Second.dat file."""
    mjd, dat = [], []
    with open(path, "rb") as fh:
        for raw in fh:
            line = raw.strip()
            if not line or line.startswith(b"#"):
                continue
            parts = line.split()
            mjd.append(float(parts[0]))
            dat.append(float(parts[-1]))
    if not mjd:
        raise ValueError(f"{path}: no leap-second entries")
    m = np.array(mjd)
    if np.any(np.diff(m) <= 0):
        raise ValueError(f"{path}: leap-second dates are not increasing")
    return m, np.array(dat)


def tai_utc_at(leap_mjd: np.ndarray, leap_dat: np.ndarray, mjd: np.ndarray) -> np.ndarray:
    """TAI-UTC (s) in effect at the UTC MJDs (the first value before the table)."""
    k = np.searchsorted(leap_mjd, np.floor(mjd), side="right") - 1
    held: np.ndarray = leap_dat[np.clip(k, 0, None)]
    return held


def _hold_gaps(v: np.ndarray) -> np.ndarray:
    """Fills NaNs with the last value before them (the first value before it)."""
    ok = ~np.isnan(v)
    if ok.all():
        return v
    if not ok.any():
        return np.zeros_like(v)
    idx = np.where(ok, np.arange(v.size), 0)
    np.maximum.accumulate(idx, out=idx)
    first = np.argmax(ok)
    idx[:first] = first
    return v[idx]


def parse_finals(path: str | os.PathLike[str], leap_mjd: np.ndarray, leap_dat: np.ndarray) -> dict[str, np.ndarray]:
    """Parses a finals2000A file into daily arrays in rad and s.

    Bulletin B values are taken where a line has them, field by field, else
    Bulletin A (with its predictions). The table spans the days that have
    both polar motion and UT1-UTC; inside it, a missing LOD is derived from
    the day-to-day change of UT1-TAI and missing dX, dY hold their last
    given value.
    """
    path = os.fspath(path)
    with open(path, "rb") as fh:
        data = fh.read()
    chars = _char_matrix(data)
    mjd = _column(chars, _MJD, "MJD", path)
    fields = {}
    for name, span in _A.items():
        v = _column(chars, span, name, path)
        if name in _B:
            b = _column(chars, _B[name], name, path)
            v = np.where(np.isnan(b), v, b)
        wild = np.abs(v) > _PLAUSIBLE[name]
        if wild.any():
            i = int(np.argmax(wild))
            raise ValueError(
                f"{path}: line {i + 1}: {name} {float(v[i])!r} is not a plausible value (its magnitude "
                f"stays below {_PLAUSIBLE[name]:g} in the file's units)"
            )
        fields[name] = v

    have = ~np.isnan(mjd) & ~np.isnan(fields["pm_x"]) & ~np.isnan(fields["pm_y"]) & ~np.isnan(fields["ut1_utc"])
    rows = np.flatnonzero(have)
    if rows.size == 0:
        raise ValueError(f"{path}: no line with polar motion and UT1-UTC; is it a finals2000A file?")
    lo, hi = rows[0], rows[-1] + 1
    if rows.size != hi - lo:
        bad = lo + int(np.argmin(have[lo:hi]))
        raise ValueError(f"{path}: line {bad + 1} lacks polar motion or UT1-UTC inside the table")
    mjd = mjd[lo:hi]
    fields = {k: v[lo:hi] for k, v in fields.items()}
    if mjd.size > 1 and np.any(np.diff(mjd) <= 0):
        raise ValueError(f"{path}: the MJDs are not increasing")

    tai_utc = tai_utc_at(leap_mjd, leap_dat, mjd)
    ut1_tai = fields["ut1_utc"] - tai_utc
    if mjd.size > 1:
        jump = np.abs(np.diff(ut1_tai)) / np.diff(mjd)
        if np.any(jump > 0.5):
            k = int(np.argmax(jump > 0.5))
            raise ValueError(
                f"{path}: UT1-UTC jumps by about one second after MJD {mjd[k]:.1f} without a leap second in the "
                "leap-second table; the table of leap seconds is older than the Earth orientation file"
            )

    lod = fields["lod"]
    missing = np.isnan(lod)
    if missing.any():
        # LOD = -d(UT1-TAI)/dt, in s per day, from the neighbouring days.
        rate = -np.gradient(ut1_tai, mjd) if mjd.size > 1 else np.zeros(1)
        lod = np.where(missing, rate * 1e3, lod)  # back to ms like the file's values
    fields["lod"] = lod
    fields["dX"] = _hold_gaps(fields["dX"])
    fields["dY"] = _hold_gaps(fields["dY"])

    out = {k: np.ascontiguousarray(fields[k] * _SCALE[k]) for k in FIELDS}
    out["mjd"] = np.ascontiguousarray(mjd)
    out["tai_utc"] = np.ascontiguousarray(tai_utc)
    out["ut1_tai"] = np.ascontiguousarray(ut1_tai)
    return out
