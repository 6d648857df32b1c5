"""Fuzz harness: ISO 8601 text -> Time (velarion.time).

Each input is turned into a text (mostly a mutated date-time, sometimes
arbitrary characters) and read in four ways that must agree:

- ``parse_iso(text)`` (UTF-8 path), ``parse_iso(numpy.array([text]))``
  (UCS-4 path), and ``Time(text)``;
- the same text through the general parser, which the word-at-a-time
  parser of the usual layouts must match: a ``Z`` appended to a date-time,
  or a ``+`` before a four-digit year, takes every text off the fast path.

A reference reader in Python decides acceptance and the Julian Date
(exact rational arithmetic, ERFA's ``dtf2d`` for UTC days); an accepted text
also round-trips through ``format_iso`` to the nanosecond. The only exception
allowed is ValueError (malformed text, invalid date or time, leap second on a
day without one); anything else, a disagreement or a crash is a finding.

Run: python fuzz/iso_time.py [libFuzzer flags], or through fuzz/run.py.
"""

from __future__ import annotations

import contextlib
import re
import sys
import warnings
from fractions import Fraction

import atheris

with atheris.instrument_imports(include=["velarion"]):
    import erfa
    import numpy as np

    from velarion.time.format import format_iso, parse_iso
    from velarion.time.time import Time

warnings.simplefilter("ignore")  # ERFA's "dubious year" on far dates

TEMPLATES = (
    "2024-03-20T12:34:56.123456789",
    "2024-03-20 12:34:56.5",
    "2016-12-31T23:59:60.999999999",
    "1972-06-30T23:59:60",
    "1999-01-01",
    "2024-02-29T00:00",
    "2100-02-28T23:59:59.999999999999",
    "1961-07-31T23:59:59.95",
    "+12345-06-07T08:09:10Z",
    "-4712-01-01T12:00:00",
    "-0001-12-31T23:59:59.000000001",
    "0000-01-01",
    "9999-12-31T23:59:59.999",
    "2000-01-01T00:00:00.1234567891234Z",
)
ALPHABET = "01234567890123456789-+:T .Z\x00tz\n\u0663\u00e9\uff10\U0001d7ce/"

ISO_RE = re.compile(
    r"([+-][0-9]{4,9}|[0-9]{4})-([0-9]{2})-([0-9]{2})"
    r"(?:[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\.([0-9]+))?)?Z?)?",
    re.ASCII,
)
JD_MIN, JD_MAX = -68569.5, 1e9
NS_DAY = 86_400 * 10**9


def make_text(fdp: atheris.FuzzedDataProvider) -> str:
    mode = fdp.ConsumeIntInRange(0, 5)
    if mode == 0:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 48))
    t = list(TEMPLATES[fdp.ConsumeIntInRange(0, len(TEMPLATES) - 1)])
    if mode in (1, 2):
        # New digits everywhere: dates, times and leap seconds at random.
        for i, c in enumerate(t):
            if c.isdigit() and fdp.ConsumeBool():
                t[i] = str(fdp.ConsumeIntInRange(0, 9))
    for _ in range(fdp.ConsumeIntInRange(0, 3) if mode != 1 else 0):
        op = fdp.ConsumeIntInRange(0, 4)
        pos = fdp.ConsumeIntInRange(0, len(t))
        ch = ALPHABET[fdp.ConsumeIntInRange(0, len(ALPHABET) - 1)]
        if op <= 1 and pos < len(t):
            t[pos] = ch
        elif op == 2:
            t.insert(pos, ch)
        elif op == 3 and pos < len(t):
            del t[pos]
        else:
            t = t[:pos] + list("0123456789"[: fdp.ConsumeIntInRange(0, 10)])
    return "".join(t)


def days_from_civil(y: int, m: int, d: int) -> int:
    """MJD of a proleptic Gregorian date (any year)."""
    y -= m <= 2
    era = y // 400
    yoe = y - era * 400
    doy = (153 * (m + (-3 if m > 2 else 9)) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468 + 40587  # days since 1970-01-01, then MJD


def days_in_month(y: int, m: int) -> int:
    if m == 2:
        return 29 if (y % 4 == 0 and y % 100 != 0) or y % 400 == 0 else 28
    return 30 if m in (4, 6, 9, 11) else 31


def utc_day_seconds(y: int, m: int, d: int) -> Fraction:
    """Length of a UTC day in SI seconds, ERFA's way (leap seconds, and the
    fractional steps of TAI-UTC before 1972)."""
    if y < -4799:
        return Fraction(86400)
    mjd = days_from_civil(y, m, d)
    ny, nm, nd, _ = erfa.jd2cal(2400000.5, mjd + 1.0)
    try:
        dat0 = erfa.dat(y, m, d, 0.0)
        dat12 = erfa.dat(y, m, d, 0.5)
        dat24 = erfa.dat(int(ny), int(nm), int(nd), 0.0)
    except erfa.ErfaError:
        return Fraction(86400)
    return Fraction(86400) + Fraction(dat24 - (2.0 * dat12 - dat0))


def reference(text: str, utc: bool):
    """('ok', mjd, day fraction) or ('error', kind)."""
    m = ISO_RE.fullmatch(text)
    if not m:
        return ("error", "malformed")
    y, mo, d = int(m[1]), int(m[2]), int(m[3])
    hh = int(m[4] or 0)
    mi = int(m[5] or 0)
    ss = int(m[6] or 0)
    frac = Fraction(int(m[7]), 10 ** len(m[7])) if m[7] else Fraction(0)
    if not 1 <= mo <= 12 or not 1 <= d <= days_in_month(y, mo):
        return ("error", "date")
    if hh > 23 or mi > 59 or ss > 60:
        return ("error", "time")
    mjd = days_from_civil(y, mo, d)
    if not JD_MIN <= mjd + 2400000.5 <= JD_MAX:
        return ("error", "date")
    sec = Fraction(3600 * hh + 60 * mi + ss) + frac
    day = utc_day_seconds(y, mo, d) if utc else Fraction(86400)
    if ss == 60:
        if sec < 86400:
            return ("error", "time")
        if not utc or day <= 86400 or sec >= day:
            return ("error", "leap")
    elif sec >= day:
        # Past the end of a UTC day shortened by a negative step of TAI-UTC
        # (before 1972): such a time of day does not exist.
        return ("error", "time")
    return ("ok", mjd, sec / day)


def kind_of(exc: ValueError) -> str:
    msg = str(exc)
    if "is not an ISO 8601 date-time" in msg:
        return "malformed"
    if "is not a valid calendar date" in msg:
        return "date"
    if "is not a valid time of day" in msg:
        return "time"
    if "has second 60" in msg:
        return "leap"
    if isinstance(exc, UnicodeError):
        return "malformed"
    raise AssertionError(f"unexpected message {msg!r}")


def read_str(text: str, scale: str):
    try:
        return ("ok", parse_iso(text, scale))
    except ValueError as e:
        return ("error", kind_of(e))


def read_array(text: str, scale: str):
    try:
        j1, j2 = parse_iso(np.array([text]), scale)
        return ("ok", (float(j1[0]), float(j2[0])))
    except ValueError as e:
        return ("error", kind_of(e))


def check(text: str, scale: str) -> None:
    utc = scale == "utc"
    got = read_str(text, scale)
    ref = reference(text, utc)
    # numpy's str arrays drop trailing NULs: such texts are other texts there.
    if not text.endswith("\x00"):
        arr = read_array(text, scale)
        assert arr == got, (text, scale, got, arr)
    if ref[0] == "error":
        assert got == ref, (text, scale, got, ref)
        return
    assert got[0] == "ok", (text, scale, got, ref)
    jd1, jd2 = got[1]
    _, mjd, frac = ref
    assert jd1 == mjd + 2400000.5, (text, jd1, mjd)
    assert abs(Fraction(jd2) - frac) <= Fraction(1, 2**51), (text, jd2, float(frac))

    # The general parser must give the same fields as the fast one.
    m = ISO_RE.fullmatch(text)
    if m[4] is not None and not text.endswith("Z"):
        assert read_str(text + "Z", scale) == got, (text, scale)
    if m[1][0] not in "+-":
        assert read_str("+" + text, scale) == got, (text, scale)

    # Back to text and again: the same instant to the nanosecond.
    back = format_iso(jd1, jd2, scale, 9)
    j1b, j2b = parse_iso(back, scale)
    day = utc_day_seconds(*map(int, m.group(1, 2, 3))) if utc else Fraction(86400)
    err_ns = abs((Fraction(j1b) - Fraction(jd1)) + (Fraction(j2b) - Fraction(jd2))) * day * 10**9
    assert err_ns <= 1, (text, back, float(err_ns))

    t = Time(text, scale)
    assert (float(t.jd1), float(t.jd2)) == (jd1, jd2), (text, t.jd1, t.jd2)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    scale = ("utc", "tt")[fdp.ConsumeIntInRange(0, 1)]
    text = make_text(fdp)
    check(text, scale)
    with contextlib.suppress(ValueError):
        Time(text, scale)


if __name__ == "__main__":
    atheris.instrument_func(reference)
    atheris.instrument_func(check)
    atheris.instrument_func(make_text)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
