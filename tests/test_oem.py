"""CCSDS OEM (KVN): the standard's example layout, round trips, and
hostile messages."""

from __future__ import annotations

import io

import numpy as np
import pytest

from velarion.io import oem
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time

# Laid out as the standard's examples (CCSDS 502.0-B-2, figures 5-1 to 5-4):
# comments, two segments, useable times and interpolation, accelerations in
# the second and a covariance block.
EXAMPLE = """CCSDS_OEM_VERS = 2.0
COMMENT OEM WITH OPTIONAL ACCELERATIONS AND A COVARIANCE
CREATION_DATE = 1996-11-04T17:22:31
ORIGINATOR = NASA/JPL

META_START
OBJECT_NAME = MARS GLOBAL SURVEYOR
OBJECT_ID = 1996-062A
CENTER_NAME = MARS BARYCENTER
REF_FRAME = EME2000
TIME_SYSTEM = UTC
START_TIME = 1996-12-18T12:00:00.331
USEABLE_START_TIME = 1996-12-18T12:10:00.331
USEABLE_STOP_TIME = 1996-12-28T21:23:00.331
STOP_TIME = 1996-12-28T21:28:00.331
INTERPOLATION = HERMITE
INTERPOLATION_DEGREE = 7
META_STOP

COMMENT This file was produced by M.R. Somebody, MSOO NAV/JPL, 1996NOV 04. It is
COMMENT to be used for DSN scheduling purposes only.
1996-12-18T12:00:00.331  2789.619 -280.045 -1746.755  4.73372 -2.49586 -1.04195
1996-12-18T12:01:00.331  2783.419 -308.143 -1877.071  5.18604 -2.42124 -1.99608
1996-12-18T12:02:00.331  2776.033 -336.859 -2008.682  5.63678 -2.33951 -1.94687
1996-12-28T21:28:00.331 -3881.024  563.959  -682.773 -3.28827 -3.66735  1.63861

META_START
OBJECT_NAME = MARS GLOBAL SURVEYOR
OBJECT_ID = 1996-062A
CENTER_NAME = EARTH
REF_FRAME = ICRF
TIME_SYSTEM = UTC
START_TIME = 1996-353T12:00:00.331
STOP_TIME = 1996-363T21:28:00.331
META_STOP

1996-353T12:00:00.331 2789.6 -280.0 -1746.8 4.73 -2.50 -1.04 0.008 0.001 -0.159
1996-363T21:28:00.331 -3881.0 564.0 -682.8 -3.29 -3.67 1.64 -0.003 0.000 0.000

COVARIANCE_START
EPOCH = 1996-12-28T21:29:07.267
COV_REF_FRAME = EME2000
3.3313494e-04
4.6189273e-04 6.7824216e-04
-3.0700078e-04 -4.2212341e-04 3.2319319e-04
-3.3493650e-07 -4.6860842e-07 2.4849495e-07 4.2960228e-10
-2.2118325e-07 -2.8641868e-07 1.7980986e-07 2.6088992e-10 1.7675147e-10
-3.0413460e-07 -4.9894969e-07 3.5403109e-07 1.8692631e-10 1.0088625e-10 6.2244443e-10
COVARIANCE_STOP
"""


def write_text(tmp_path, text, name="m.oem"):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_reads_the_standard_example(tmp_path):
    m = oem.read(write_text(tmp_path, EXAMPLE))
    assert m.header == {"CCSDS_OEM_VERS": "2.0", "CREATION_DATE": "1996-11-04T17:22:31", "ORIGINATOR": "NASA/JPL"}
    first, second = m.segments
    assert first.metadata["INTERPOLATION_DEGREE"] == "7" and first.metadata["CENTER_NAME"] == "MARS BARYCENTER"
    assert first.comments[-1] == "to be used for DSN scheduling purposes only."
    np.testing.assert_array_equal(first.states[1], [2783.419, -308.143, -1877.071, 5.18604, -2.42124, -1.99608])
    assert first.accelerations is None and second.accelerations.shape == (2, 3)
    # the day-of-year epochs of the second segment are the calendar days of the first
    assert list(second.time.iso) == list(first.time[np.array([0, 3])].iso)
    epoch, frame, cov = second.covariances[0]
    assert (epoch, frame) == ("1996-12-28T21:29:07.267", "EME2000")
    np.testing.assert_array_equal(cov, cov.T)
    assert cov[5, 0] == -3.0413460e-07 and cov[0, 5] == -3.0413460e-07 and cov[3, 3] == 4.2960228e-10
    # Earth-centred ICRF becomes GCRF, in metres
    eph = second.ephemeris
    assert eph.frame.name == "GCRF"
    np.testing.assert_allclose(eph.r[0], [2789.6e3, -280.0e3, -1746.8e3], rtol=1e-15)
    with pytest.raises(ValueError, match="only Earth-centred"):
        _ = first.ephemeris
    with pytest.raises(ValueError, match="2 segments"):
        _ = m.ephemeris


def states(n, scale="utc"):
    rng = np.random.default_rng(5)
    t = Time(["2024-03-01T00:00:00.123456789"] * n, scale) + np.arange(n) * 60.5
    return t, rng.normal(size=(n, 3)) * 7e6, rng.normal(size=(n, 3)) * 7e3


@pytest.mark.parametrize("scale,frame", [("utc", "GCRF"), ("tt", "ITRF"), ("tai", "TEME")])
def test_round_trip(tmp_path, scale, frame):
    t, r, v = states(50, scale)
    eph = StateVectorEphemeris(t, r, v, frame)
    path = tmp_path / "out.oem"
    oem.write(path, eph, object_name="ISS (ZARYA)", object_id="1998-067A", creation_date="2024-03-01T00:00:00")
    back = oem.read(path)
    assert back.segments[0].metadata["TIME_SYSTEM"] == scale.upper()
    got = back.ephemeris
    assert got.frame.name == frame and got.time.scale == scale
    np.testing.assert_allclose(got.r, r, rtol=4e-16, atol=0)  # km in the file: one rounding each way
    np.testing.assert_allclose(got.v, v, rtol=4e-16, atol=0)
    np.testing.assert_allclose((got.time - t), 0.0, atol=1e-9)


def test_gps_epochs_and_writing_to_a_stream(tmp_path):
    text = EXAMPLE.split("META_START")[0] + "META_START\n" + "\n".join(
        ["OBJECT_NAME = X", "OBJECT_ID = Y", "CENTER_NAME = EARTH", "REF_FRAME = GCRF", "TIME_SYSTEM = GPS",
         "START_TIME = 2024-01-01T00:00:00", "STOP_TIME = 2024-01-01T00:00:00", "META_STOP",
         "2024-01-01T00:00:00 7000 0 0 0 7.5 0"]) + "\n"  # fmt: skip
    seg = oem.read(write_text(tmp_path, text)).segments[0]
    # GPS = TAI - 19 s = UTC + 18 s in 2024
    assert seg.time.utc.iso[0] == "2023-12-31T23:59:42"
    buf = io.StringIO()
    oem.write(buf, seg.ephemeris, object_name="X", object_id="Y")
    assert "TIME_SYSTEM = TAI" in buf.getvalue()


def replace(text, old, new):
    assert old in text
    return text.replace(old, new, 1)


HOSTILE = [
    ("", "empty file"),
    ("CREATION_DATE = 1996-11-04T17:22:31\n", "not an OEM"),
    (replace(EXAMPLE, "CCSDS_OEM_VERS = 2.0", "CCSDS_OEM_VERS = 9.9"), "OEM version '9.9'"),
    (replace(EXAMPLE, "ORIGINATOR = NASA/JPL", "ORIGINATOR = NASA/JPL\nORIGINATOR = X"), "ORIGINATOR given twice"),
    (replace(EXAMPLE, "INTERPOLATION = HERMITE", "COLOUR = BLUE"), "'COLOUR' is not an OEM metadata keyword"),
    (replace(EXAMPLE, "OBJECT_ID = 1996-062A\n", ""), "metadata lacks OBJECT_ID"),
    (replace(EXAMPLE, " 4.73372 -2.49586 -1.04195", " 4.73372 -2.49586"), "6 or 9 numbers, got 5"),
    (replace(EXAMPLE, "2783.419", "nan"), "non-finite"),
    (replace(EXAMPLE, "2783.419", "0x1p3"), "not a number"),
    (replace(EXAMPLE, "1996-12-18T12:02:00.331", "1996-12-18T11:02:00.331"), "comes before"),
    (replace(EXAMPLE, "1996-12-28T21:28:00.331 -3881", "1996-12-29T21:28:00.331 -3881"), "outside START_TIME"),
    (replace(EXAMPLE, "1996-12-18T12:01:00.331", "1996/12/18T12:01:00"), "not a CCSDS epoch"),
    (replace(EXAMPLE, "1996-353T12", "1996-367T12"), "day of year 367"),
    (
        replace(EXAMPLE, "-3.0413460e-07 -4.9894969e-07 3.5403109e-07 1.8692631e-10 1.0088625e-10 6.2244443e-10\n", ""),
        r"21 values \(lower triangle\), got 15",
    ),
    (EXAMPLE.replace("COVARIANCE_STOP\n", ""), "ends inside a COVARIANCE block"),
    (replace(EXAMPLE, "META_STOP\n", ""), "'1996-12-18T12:00:00.331"),
    (EXAMPLE.split("META_START")[0], "no segment"),
    (EXAMPLE.split("COMMENT This file")[0], "without ephemeris data lines"),
    (replace(EXAMPLE, "-0.003 0.000 0.000", ""), "mix 7 and 10"),
    ("CCSDS_OEM_VERS = 2.0\x00", "NUL"),
]


@pytest.mark.parametrize("text,message", HOSTILE, ids=[m for _, m in HOSTILE])
def test_hostile_messages_refused(tmp_path, text, message):
    with pytest.raises(ValueError, match=message):
        oem.read(write_text(tmp_path, text))


def test_unsupported_frames_and_writer_checks(tmp_path):
    m = oem.read(write_text(tmp_path, replace(EXAMPLE, "REF_FRAME = ICRF", "REF_FRAME = TOD")))
    with pytest.raises(ValueError, match="REF_FRAME TOD has no frame here"):
        _ = m.segments[1].ephemeris
    t, r, v = states(3)
    eph = StateVectorEphemeris(t, r, v, "GCRF")
    for bad in ("", "A\nB", "K = V", " X"):
        with pytest.raises(ValueError, match="single line"):
            oem.write(io.StringIO(), eph, object_name=bad, object_id="Y")
    backwards = StateVectorEphemeris(t[::-1], r, v, "GCRF")
    with pytest.raises(ValueError, match="increasing order"):
        oem.write(io.StringIO(), backwards, object_name="X", object_id="Y")
