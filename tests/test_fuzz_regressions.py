"""Inputs found by the fuzz harnesses (fuzz/), and the neighbours of each, kept
as tests so that the faults they showed stay fixed.

ISO texts are read on three paths that must agree: one str (UTF-8), an
array of str (UCS-4), and the general parser behind the word-at-a-time one
(a trailing Z or a leading + takes a text off the fast path).
"""

from __future__ import annotations

import warnings

import erfa
import numpy as np
import pytest

from velarion.time.format import parse_iso
from velarion.time.time import Time

KINDS = {
    "an ISO 8601 date-time": "malformed",
    "a valid calendar date": "date",
    "a valid time of day": "time",
    "has second 60": "leap",
}


def kind(error):
    found = [k for text, k in KINDS.items() if text in str(error)]
    assert len(found) == 1 or isinstance(error, UnicodeError), str(error)
    return found[0] if found else "malformed"


def read(text, scale="utc"):
    """(jd1, jd2) on the str and on the array path, or the kind of refusal."""
    out = []
    for arg in (text, np.array([text])):
        try:
            j1, j2 = parse_iso(arg, scale)
            out.append((float(np.ravel(j1)[0]), float(np.ravel(j2)[0])))
        except ValueError as e:
            out.append(kind(e))
    return out


def erfa_jd(text, scale="UTC"):
    """ERFA's two-part JD of an ISO text, or None where ERFA refuses it or
    warns that the time lies after the end of its day."""
    date, clock = text.replace(" ", "T", 1).split("T")
    y, mo, d = map(int, date.split("-"))
    h, mi, s = clock.split(":")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            jd = erfa.dtf2d(scale, y, mo, d, int(h), int(mi), float(s))
        except erfa.ErfaError:
            return None
    if any("end of day" in str(w.message) for w in caught):
        return None
    return jd


# UTC days that TAI-UTC shortened (negative steps before 1972): 86399.95 s
# and 86399.9 s. The first two texts are the harness's finds.
SHORT_DAYS = [
    "1961-07-31T23:59:59.98",
    "1961-07-31T23:59:59.950123456",
    "1961-07-31T23:59:59.949",
    "1961-07-31T23:59:59.9",
    "1961-07-31T23:59:59.999999999",
    "1968-01-31T23:59:59.9",
    "1968-01-31T23:59:59.95",
    "1968-01-31T23:59:59.899",
    "1968-01-31T23:59:59.5",
]


@pytest.mark.parametrize("text", SHORT_DAYS)
def test_times_past_the_end_of_a_shortened_utc_day(text):
    """A time of day past the end of such a day does not exist: refused where
    ERFA finds it after the end of its day, on every path; times before the
    end read as ERFA reads them, inside the day (never clamped onto its end)."""
    ref = erfa_jd(text)
    got = read(text)
    general = read(text + "Z")
    assert got[0] == got[1] == general[0] == general[1], (got, general)
    if ref is None:
        assert got[0] == "time", got
        with pytest.raises(ValueError, match="not a valid time of day"):
            Time(text)
    else:
        jd1, jd2 = got[0]
        assert jd1 == ref[0] and abs(jd2 - ref[1]) <= 2**-52
        assert jd2 < 1.0 - 2**-52  # clamping would put it there
    # In TT every day has 86400 s: the same text is an ordinary time.
    tt = read(text, "tt")
    assert isinstance(tt[0], tuple) and tt[0] == tt[1]
    ref_tt = erfa_jd(text, "TT")
    assert tt[0][0] == ref_tt[0] and abs(tt[0][1] - ref_tt[1]) <= 2**-52


# Characters next to the digits in ASCII ('/' below '0', ':' above '9'),
# digits of other scripts, a NUL, and each field's boundary, at the places
# the word-at-a-time parser reads several at once.
NEAR_MISSES = [
    "2024-03-2/",
    "2024-03-2:",
    "/024-03-20",
    "202:-03-20",
    "2024-0/-20",
    "2024-03-20T1/:00",
    "2024-03-20T12:0:",
    "2024-03-20T12:00:/0",
    "2024-03-20T12:00:00./",
    "2024-03-20T12:00:00.12345678/",
    "2024-03-20T12:00:00.12345678:",
    "2024-03-20T12:00:00.1234567:9",
    "2024-03-20T12:00:00.:",
    "2024-03-20T12:00:00.123456789/",
    "2024-03-2\u0663",
    "2024-03-20T12:00:00.\uff11",
    "2024-03-20\x00",
    "2024-03-20T12:00\x00",
    "2024-03-20T12:00:00.5\x00",
    "2024-03-20t12:00",
    "2024-03-20T24:00",
    "2024-03-20T23:60",
    "2024-03-20T23:59:61",
    "2024-13-01",
    "2024-00-10",
    "2023-02-29",
    "2024-02-29T00:00:00.000000001",
    "2024-04-31",
    "0000-02-29",
    "2100-02-29",
    "2016-12-31T23:59:60.999999999",
    "2016-12-31T23:58:60",
    "2017-12-31T23:59:60",
    "2024-03-20T12:00:00.1234567891",
    "2024-03-20T12:00:00.000000000000000001",
    "2024-03-20 12:00:00.5",
    "2024-03-20T12",
    "2024-03-20T12:00:",
    "2024-3-20",
    "24-03-20",
]


@pytest.mark.parametrize("text", NEAR_MISSES)
@pytest.mark.parametrize("scale", ["utc", "tt"])
def test_fast_and_general_paths_agree(text, scale):
    got = read(text, scale)
    # numpy's str arrays drop trailing NULs: such a text is another text there.
    if not text.endswith("\x00"):
        assert got[0] == got[1], got
    general = read(text + "Z", scale)[0] if "T" in text or " " in text[10:] else read("+" + text, scale)[0]
    assert got[0] == general, (got, general)
    if isinstance(got[0], tuple) and text[:4].isdigit():
        ref = erfa_jd(text if len(text) > 10 else text + "T00:00:00", scale.upper())
        assert ref is not None and got[0][0] == ref[0] and abs(got[0][1] - ref[1]) <= 2**-52, (got, ref)
