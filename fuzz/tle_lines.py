"""Fuzz harness: two-line element sets -> TLE (velarion.propagators.analytical.sgp4.tle).

Inputs are real element sets with characters replaced, inserted or deleted
in random columns (the checksums recomputed most of the time, so that
the parse reaches the fields behind them), lines cut short or run long,
blanks and line ends added, and arbitrary text now and then.

A refusal must be a ValueError naming the line (1 or 2) and a column within
the line; nothing else may be raised. An accepted set must have finite
elements inside their ranges, give its lines back, parse again to the same
values, and agree with the sgp4 package's own reader where that reader
accepts the lines too. SGP4 of an accepted set gives finite states from a
day before its epoch to a week after, or raises SGP4Error: never a NaN.
Anything else, or a crash, is a finding.

Run: python fuzz/tle_lines.py [libFuzzer flags], or through fuzz/run.py.
"""

from __future__ import annotations

import math
import re
import sys
import warnings

import atheris

with atheris.instrument_imports(include=["velarion"]):
    import numpy as np
    from sgp4.earth_gravity import wgs72
    from sgp4.io import twoline2rv

    from velarion.propagators.analytical.sgp4 import SGP4, SGP4Error
    from velarion.propagators.analytical.sgp4.tle import TLE
    from velarion.time.time import Time

warnings.simplefilter("ignore")

SETS = (
    (
        "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
        "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
    ),
    (
        "1 00005U 58002B   00179.78495062  .00000023  00000-0  28098-4 0  4753",
        "2 00005  34.2682 348.7242 1859667 331.7664  19.3264 10.82419157413667",
    ),
    (
        "1 23599U 95029B   06171.76535463  .00085586  12891-6  12956-2 0  2905",
        "2 23599   6.9327   0.2849 5782022 274.4436  25.2425  4.47796565123555",
    ),
    (
        "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
        "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
    ),
    (
        "1 A0005U 58002B   16366.99999999  .00000023 +00000+0  28098-4 0  4753",
        "2 A0005 180.0000 360.0000 9999999 360.0000 360.0000 99.82419157413667",
    ),
)
ALPHABET = "01234567890123456789 .+-ABCDIOUZS\t\n\r\x00\x7f\u00e9#"
MESSAGE = re.compile(r"TLE line ([12]), column ([0-9]+): .+", re.S)
TWO_PI = 2.0 * math.pi
NAMES = ("inc", "raa", "ecc", "arp", "mea", "mnm", "ndot", "nddot", "bstar")
DAYS = np.array([-1.0, 0.0, 0.3, 1.0, 7.0]) * 86400.0


def checksum(line: str) -> str:
    return str(sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10)


def mutate(fdp: atheris.FuzzedDataProvider, line: str) -> str:
    t = list(line)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        op = fdp.ConsumeIntInRange(0, 5)
        pos = fdp.ConsumeIntInRange(0, max(len(t) - 1, 0))
        ch = ALPHABET[fdp.ConsumeIntInRange(0, len(ALPHABET) - 1)]
        if op <= 2 and t:
            t[pos] = ch
        elif op == 3:
            t.insert(pos, ch)
        elif op == 4 and t:
            del t[pos]
        else:
            t = t[:pos]
    s = "".join(t)
    if len(s) >= 69 and fdp.ConsumeIntInRange(0, 3):
        s = s[:68] + checksum(s) + s[69:]
    if fdp.ConsumeIntInRange(0, 7) == 0:
        s += (" ", "\n", "\r\n", "  \t", "x")[fdp.ConsumeIntInRange(0, 4)]
    return s


def make_lines(fdp: atheris.FuzzedDataProvider) -> tuple[str, str]:
    if fdp.ConsumeIntInRange(0, 15) == 0:
        return fdp.ConsumeUnicodeNoSurrogates(80), fdp.ConsumeUnicodeNoSurrogates(80)
    l1, l2 = SETS[fdp.ConsumeIntInRange(0, len(SETS) - 1)]
    if fdp.ConsumeBool():
        l1 = mutate(fdp, l1)
    else:
        l2 = mutate(fdp, l2)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        l1 = mutate(fdp, l1)
    return l1, l2


def values(t: TLE) -> dict:
    return {k: getattr(t, k) for k in (*NAMES, "satnum", "elnum", "revnum", "classification", "intldesg", "ephtype")}


def check(l1: str, l2: str) -> None:
    try:
        t = TLE(l1, l2)
    except ValueError as e:
        m = MESSAGE.fullmatch(str(e))
        assert m, str(e)
        line, column = int(m[1]), int(m[2])
        text = (l1, l2)[line - 1]
        assert 1 <= column <= max(len(text), 69) + 1, (str(e), l1, l2)
        return

    v = values(t)
    for k in NAMES:
        assert math.isfinite(v[k]), (k, v[k], l1, l2)
    assert 0.0 <= v["ecc"] < 1.0 and 0.0 <= v["inc"] <= math.pi, v
    assert 0.0 <= v["raa"] <= TWO_PI and 0.0 <= v["arp"] <= TWO_PI and 0.0 <= v["mea"] <= TWO_PI, v
    assert v["mnm"] > 0.0, v
    assert isinstance(t.epoch, Time) and t.epoch.scale == "utc" and t.epoch.size == 1
    assert [s.rstrip(" \r\n\t") for s in t.lines] == [l1.rstrip(" \r\n\t"), l2.rstrip(" \r\n\t")], (t.lines, l1, l2)
    again = TLE(*t.lines)
    assert values(again) == v and float(again.epoch.jd1) == float(t.epoch.jd1)
    try:
        eph = SGP4(t).propagate(t.epoch + DAYS)
    except SGP4Error:
        pass
    else:
        assert np.isfinite(eph.r).all() and np.isfinite(eph.v).all(), (l1, l2)

    try:
        s = twoline2rv(l1, l2, wgs72)
    except Exception:
        return
    if s.error:
        return
    ref = {
        "inc": s.inclo,
        "raa": s.nodeo,
        "ecc": s.ecco,
        "arp": s.argpo,
        "mea": s.mo,
        "mnm": s.no_kozai / 60.0,
        "bstar": s.bstar,
    }
    for k, want in ref.items():
        assert math.isclose(v[k], want, rel_tol=1e-12, abs_tol=1e-15), (k, v[k], want, l1, l2)
    assert int(s.satnum) == v["satnum"], (s.satnum, v["satnum"])
    jd = float(t.epoch.jd1) + float(t.epoch.jd2)
    assert abs(jd - (s.jdsatepoch + s.jdsatepochF)) < 2e-5, (jd, s.jdsatepoch, s.jdsatepochF)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    l1, l2 = make_lines(fdp)
    check(l1, l2)


if __name__ == "__main__":
    atheris.instrument_func(check)
    atheris.instrument_func(mutate)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
