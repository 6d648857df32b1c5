"""velarion.propagators.analytical.sgp4.tle: ELSET and TLE parsing."""

import math
import os
import pickle

import pytest

from velarion.propagators.analytical.sgp4.tle import ELSET, TLE
from velarion.time.time import Time

Satrec = pytest.importorskip("sgp4.api").Satrec


def sgp4_parse(line1, line2):
    """The sgp4 package's parse of the lines (the oracle).

    Under AddressSanitizer its C++ parser trips on a strcpy of overlapping
    buffers of its own, so the package's pure-Python parser stands in.
    """
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        from sgp4.earth_gravity import wgs72
        from sgp4.io import twoline2rv

        return twoline2rv(line1, line2, wgs72)
    return Satrec.twoline2rv(line1, line2)


ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
# Real element sets: Vanguard 1, a Molniya, a GEO (negative ndot), a GTO with
# a non-zero nddot, a decaying LEO with a large ndot, and the ISS (negative
# ndot and bstar, negative exponent).
TLES = {
    "vanguard": (
        "1 00005U 58002B   00179.78495062  .00000023  00000-0  28098-4 0  4753",
        "2 00005  34.2682 348.7242 1859667 331.7664  19.3264 10.82419157413667",
    ),
    "molniya": (
        "1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
        "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656",
    ),
    "geo": (
        "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
        "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
    ),
    "gto nddot": (
        "1 23599U 95029B   06171.76535463  .00085586  12891-6  12956-2 0  2905",
        "2 23599   6.9327   0.2849 5782022 274.4436  25.2425  4.47796565123555",
    ),
    "decaying": (
        "1 28872U 05037B   05333.02012661  .25992681  00000-0  24476-3 0  1534",
        "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708",
    ),
    "iss": ISS,
}


def checksum(line):
    return sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10


def fix(line):
    """The line with its checksum recomputed (for edited test lines)."""
    return line[:68] + str(checksum(line))


def edit(line, col, text, recheck=True):
    """Replaces the text at 1-based column `col`."""
    out = line[: col - 1] + text + line[col - 1 + len(text) :]
    return fix(out) if recheck else out


@pytest.mark.parametrize("lines", TLES.values(), ids=TLES.keys())
def test_fields_match_the_sgp4_parser(lines):
    t = TLE(*lines)
    s = sgp4_parse(*lines)
    assert t.satnum == s.satnum
    assert t.classification == s.classification
    assert t.intldesg == s.intldesg
    assert (t.elnum, t.revnum, t.ephtype) == (int(s.elnum), int(s.revnum), int(s.ephtype))
    assert t.inc == pytest.approx(s.inclo, rel=1e-15, abs=1e-17)
    assert t.raa == pytest.approx(s.nodeo, rel=1e-15)
    assert t.ecc == pytest.approx(s.ecco, rel=1e-15)
    assert t.arp == pytest.approx(s.argpo, rel=1e-15)
    assert t.mea == pytest.approx(s.mo, rel=1e-15)
    # sgp4 keeps minutes: rad/min, rad/min^2, rad/min^3.
    assert t.mnm == pytest.approx(s.no_kozai / 60.0, rel=1e-14)
    assert t.ndot == pytest.approx(s.ndot / 60.0**2, rel=1e-14, abs=1e-30)
    assert t.nddot == pytest.approx(s.nddot / 60.0**3, rel=1e-14, abs=1e-40)
    assert t.bstar == pytest.approx(s.bstar, rel=1e-15, abs=1e-30)
    jd1, jd2 = t.epoch.jd12
    # The pure-Python stand-in keeps the epoch as one double (a resolution of about 40 us).
    tol = 1e-11 if isinstance(s, Satrec) else 1e-9
    assert (jd1 - s.jdsatepoch) + (jd2 - s.jdsatepochF) == pytest.approx(0.0, abs=tol)
    assert t.epoch.scale == "utc"


def test_iss_reference_values():
    t = TLE(*ISS, name="ISS (ZARYA)")
    assert t.name == "ISS (ZARYA)" and t.satnum == 25544 and t.intldesg == "98067A"
    # 2008 day 264.51782528 = 2008-09-20 12:25:40.104192 UTC
    dt = (t.epoch - Time("2008-09-20T12:25:40.104192")).item()
    assert abs(dt) < 1e-5
    assert t.inc == pytest.approx(math.radians(51.6416), rel=1e-15)
    assert t.mnm == pytest.approx(15.72125391 * 2 * math.pi / 86400, rel=1e-15)
    assert t.ndot == pytest.approx(-0.00002182 * 2 * math.pi / 86400**2, rel=1e-15)
    assert t.bstar == -0.11606e-4
    assert t.nddot == 0.0
    assert (t.revnum, t.elnum, t.ephtype, t.classification) == (56353, 292, 0, "U")


def test_lines_name_repr_and_pickle():
    t = TLE(ISS[0] + "  \r\n", ISS[1] + "\n")
    assert t.lines == ISS and t.name is None
    assert str(t) == "\n".join(ISS)
    assert str(TLE(*ISS, name="ISS")) == "ISS\n" + "\n".join(ISS)
    again = eval(repr(t), {"TLE": TLE})
    assert again.lines == t.lines
    back = pickle.loads(pickle.dumps(TLE(*ISS, name="ISS")))
    assert back.lines == ISS and back.name == "ISS" and back.mnm == t.mnm
    assert isinstance(t, ELSET)
    for attr in ("satnum", "inc", "epoch", "name", "lines"):
        with pytest.raises(AttributeError):
            setattr(t, attr, 1)


@pytest.mark.parametrize("yy, year", [("57", 1957), ("99", 1999), ("00", 2000), ("56", 2056)])
def test_two_digit_year_pivot(yy, year):
    t = TLE(edit(ISS[0], 19, yy + "100.25000000"), ISS[1])
    expected = Time(f"{year}-01-01T06:00:00") + 99 * 86400.0
    assert abs((t.epoch - expected).item()) < 1e-6


@pytest.mark.parametrize("field, value", [("A0001", 100001), ("H1234", 171234), ("J0000", 180000), ("Z9999", 339999)])
def test_alpha5_catalogue_numbers(field, value):
    t = TLE(edit(ISS[0], 3, field), edit(ISS[1], 3, field))
    assert t.satnum == value
    assert sgp4_parse(*t.lines).satnum == value


def test_day_fraction_and_leap_year_bounds():
    # Day 366 exists in 2008 only.
    t = TLE(edit(ISS[0], 19, "08366.50000000"), ISS[1])
    assert (t.epoch - Time("2008-12-31T12:00:00")).item() == pytest.approx(0.0, abs=1e-6)
    with pytest.raises(ValueError, match="line 1, column 21: epoch day"):
        TLE(edit(ISS[0], 19, "07366.50000000"), ISS[1])
    with pytest.raises(ValueError, match="line 1, column 21: epoch day"):
        TLE(edit(ISS[0], 19, "08000.50000000"), ISS[1])


MALFORMED = {
    "wrong checksum": ((ISS[0][:68] + "8", ISS[1]), "TLE line 1, column 69: checksum is 8, expected 7"),
    "wrong checksum line 2": ((ISS[0], ISS[1][:68] + "0"), "TLE line 2, column 69: checksum is 0, expected 7"),
    "checksum not a digit": ((ISS[0][:68] + "x", ISS[1]), "TLE line 1, column 69: checksum 'x' is not a digit"),
    "short line": ((ISS[0][:60], ISS[1]), "TLE line 1, column 61: the line ends after 60 columns"),
    "long line": ((ISS[0] + "9", ISS[1]), "TLE line 1, column 70"),
    "empty": (("", ISS[1]), "TLE line 1, column 1"),
    "lines swapped": ((ISS[1], ISS[0]), "TLE line 1, column 1: line number is '2', expected '1'"),
    "letter in epoch day": ((edit(ISS[0], 25, "x"), ISS[1]), "TLE line 1, column 25: epoch day: 'x' where a digit"),
    "letter in inclination": ((ISS[0], edit(ISS[1], 12, "O")), "TLE line 2, column 12: inclination: 'O'"),
    "sign in eccentricity": ((ISS[0], edit(ISS[1], 27, "-")), "TLE line 2, column 27: eccentricity"),
    "letter in bstar mantissa": ((edit(ISS[0], 57, "Z"), ISS[1]), "TLE line 1, column 57: bstar"),
    "bad bstar exponent sign": ((edit(ISS[0], 60, "*"), ISS[1]), "TLE line 1, column 60: bstar"),
    "letter in revolution number": ((ISS[0], edit(ISS[1], 66, "a")), "TLE line 2, column 66: revolution number"),
    "shifted field": ((ISS[0], edit(ISS[1], 17, "1")), "TLE line 2, column 17: expected a blank"),
    "bad classification": ((edit(ISS[0], 8, "X"), ISS[1]), "TLE line 1, column 8: classification"),
    "satnum mismatch": ((ISS[0], edit(ISS[1], 3, "25545")), "TLE line 2, column 3: catalogue number 25545 differs"),
    "Alpha-5 with I": ((edit(ISS[0], 3, "I0001"), edit(ISS[1], 3, "I0001")), "TLE line 1, column 3"),
    "inclination over 180": ((ISS[0], edit(ISS[1], 9, "181.0000")), "TLE line 2, column 9: inclination"),
    "zero mean motion": ((ISS[0], edit(ISS[1], 53, " 0.00000000")), "TLE line 2, column 53: mean motion"),
    "tab inside": ((edit(ISS[0], 2, "\t"), ISS[1]), "TLE line 1, column 2"),
    "non-ASCII": ((edit(ISS[0], 12, "\u00e9"), ISS[1]), "TLE line 1, column 12"),
    # A lone surrogate cannot even be encoded: still a ValueError naming its column.
    "lone surrogate": ((ISS[0], ISS[1][:20] + "\udcff" + ISS[1][21:]), "TLE line 2, column 21: character U+DCFF"),
    "non-ASCII blank at the end": ((ISS[0] + "\u00a0", ISS[1]), "TLE line 1, column 70: character U+00A0"),
}


@pytest.mark.parametrize("lines, message", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_lines_name_line_and_column(lines, message):
    with pytest.raises(ValueError) as info:
        TLE(*lines)
    assert str(info.value).startswith(message)


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((ISS[0].encode(), ISS[1]), {}),
        ((ISS[0], None), {}),
        ((Text(ISS[0]), ISS[1]), {}),
        (ISS, {"name": 5}),
        ((ISS[0],), {}),
        (ISS, {"other": 1}),
    ],
)
def test_bad_argument_types(args, kwargs):
    with pytest.raises(TypeError):
        TLE(*args, **kwargs)


def test_elset_construction():
    epoch = Time("2024-03-20T12:00:00")
    e = ELSET(epoch, 0.9, 1.0, 0.001, 2.0, 3.0, 0.0011, bstar=1e-5, name="sat")
    assert (e.inc, e.raa, e.ecc, e.arp, e.mea, e.mnm, e.ndot, e.nddot, e.bstar) == (
        0.9,
        1.0,
        0.001,
        2.0,
        3.0,
        0.0011,
        0.0,
        0.0,
        1e-5,
    )
    assert e.epoch is epoch and e.name == "sat"
    from_text = ELSET("2024-03-20T12:00:00", 0.9, 1.0, 0.001, 2.0, 3.0, 0.0011)
    assert (from_text.epoch - epoch).item() == 0.0
    back = pickle.loads(pickle.dumps(e))
    assert (back.mnm, back.name) == (e.mnm, e.name) and (back.epoch - epoch).item() == 0.0
    assert repr(e).startswith("ELSET(")


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"ecc": 1.0}, ValueError),
        ({"ecc": -0.1}, ValueError),
        ({"mnm": 0.0}, ValueError),
        ({"inc": math.nan}, ValueError),
        ({"bstar": math.inf}, ValueError),
        ({"inc": "x"}, TypeError),
        ({"name": b"x"}, TypeError),
    ],
)
def test_elset_bad_input(kwargs, exc):
    args = dict(epoch=Time("2024-03-20"), inc=0.9, raa=1.0, ecc=0.001, arp=2.0, mea=3.0, mnm=0.0011)
    args.update(kwargs)
    with pytest.raises(exc):
        ELSET(**args)


def test_many_parses_do_not_leak():
    import gc
    import sys

    if not hasattr(sys, "gettotalrefcount"):
        gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        TLE(*ISS)
        with pytest.raises(ValueError):
            TLE(ISS[0][:68] + "8", ISS[1])
    gc.collect()
    assert len(gc.get_objects()) - before < 100
