"""Fitting a TLE to a state ephemeris."""

import numpy as np
import pytest
from sgp4.api import Satrec

from velarion.estimation import ConvergenceError, EstimationError, TooFewObservations
from velarion.estimation.tlefit import alpha5, fit_tle
from velarion.frames.frames import get_ITRF, get_TEME
from velarion.propagators.analytical.sgp4.catalogue import omm_record
from velarion.propagators.analytical.sgp4.sgp4 import SGP4, sgp4_jd
from velarion.propagators.analytical.sgp4.tle import TLE
from velarion.state.ephemeris import StateVectorEphemeris

ISS = (
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)
# Near-circular sun-synchronous (a weather satellite), and a Molniya orbit (deep space, SDP4)
NOAA = (
    "1 33591U 09005A   24079.52167734  .00000283  00000-0  17389-3 0  9993",
    "2 33591  99.0960 130.0985 0013935 250.5484 109.4199 14.12990556778340",
)
MOLNIYA = (
    "1 28163U 04005A   24079.44213245  .00000102  00000-0  00000-0 0  9996",
    "2 28163  62.6823 342.7432 7009831 271.3622  14.5493  2.00611860146744",
)
# Geostationary (deep space, resonant): B* moves nothing over the first half revolution
GEO = (
    "1 26038U 00011A   24079.50000000 -.00000147  00000-0  00000-0 0  9990",
    "2 26038   0.0345 270.1234 0002345  45.6789 300.1234  1.00271234 87650",
)
# An Alpha-5 catalogue number (A0001 is 100001)
ALPHA5 = (
    "1 A0001U 24001A   24079.50000000  .00000000  00000-0  10000-3 0  9990",
    "2 A0001  97.4000 100.0000 0010000  90.0000 270.0000 15.20000000    10",
)


def with_checksums(lines):
    out = []
    for line in lines:
        body = line[:68]
        out.append(body + str(sum(int(c) if c.isdigit() else (c == "-") for c in body) % 10))
    return tuple(out)


def ephemeris_of(tle: TLE, days: float, step: float, before: float = 0.0) -> StateVectorEphemeris:
    return SGP4(tle).propagate(tle.epoch + np.arange(-before * 86400.0, days * 86400.0, step))


@pytest.mark.parametrize(
    "lines, days, step, before, fit_bstar",
    [
        (ISS, 1.0, 60.0, 0.0, True),
        (NOAA, 2.0, 120.0, 0.0, True),
        (MOLNIYA, 3.0, 600.0, 0.0, True),
        (GEO, 3.0, 600.0, 0.0, True),
        (ALPHA5, 1.0, 60.0, 0.0, True),
        (ISS, 0.5, 60.0, 0.5, True),  # the epoch in the middle of the span
        (NOAA, 1.0, 60.0, 0.0, False),  # B* held at the element set's
    ],
)
def test_an_sgp4_ephemeris_refits_to_its_own_tle(lines, days, step, before, fit_bstar):
    tle = TLE(*with_checksums(lines))
    eph = ephemeris_of(tle, days, step, before)
    fit = fit_tle(eph, template=tle, epoch=tle.epoch, fit_bstar=fit_bstar, bstar=0.0 if fit_bstar else tle.bstar)
    assert fit.rms_fit < 0.02  # the elements themselves: centimetres
    assert fit.tle.lines[0][:53] == tle.lines[0][:53] and fit.tle.lines[0][61:68] == tle.lines[0][61:68]
    assert abs(fit.tle.bstar - tle.bstar) <= 1e-4 * abs(tle.bstar) + 1e-8
    # the text of the elements matches to its last digit or one unit of it
    for field in ((8, 16), (17, 25), (26, 33), (34, 42), (43, 51), (52, 63)):
        a, b = fit.tle.lines[1][slice(*field)], tle.lines[1][slice(*field)]
        assert abs(float(a) - float(b)) <= 1.01 * 10.0 ** -(len(b) - b.index(".") - 1 if "." in b else 7), field
    assert fit.rms < 30.0  # the rounding of the text only


def test_a_gcrf_ephemeris_fits_like_its_teme_form():
    tle = TLE(*ISS)
    teme = ephemeris_of(tle, 1.0, 120.0)
    ri, vi = get_TEME().to_ITRF(teme.time, teme.r, teme.v)
    rg, vg = get_ITRF().to_GCRF(teme.time, ri, vi)
    gcrf = StateVectorEphemeris(teme.time, np.asarray(rg), np.asarray(vg), frame="GCRF")
    a, b = fit_tle(teme, template=tle), fit_tle(gcrf, template=tle)
    assert b.rms_fit < 0.05
    np.testing.assert_allclose(a.elements, b.elements, rtol=0, atol=1e-9)


def test_a_fitted_tle_runs_alike_in_the_sgp4_package_and_the_omm_record():
    """An arc of another model (SGP4 on WGS84 constants, fitted with WGS72's):
    the fitted TLE runs the same in the sgp4 package's Satrec, and the OMM
    record gives the fitted elements."""
    tle = TLE(*ISS)
    times = tle.epoch + np.arange(0.0, 86400.0, 60.0)
    eph = SGP4(tle, gravity="wgs84").propagate(times)
    fit = fit_tle(eph, satnum=99999, name="TEST")
    assert 0.1 < fit.rms < 2000.0  # the models' difference is reported, not hidden
    assert fit.tle.name == "TEST" and fit.tle.satnum == 99999
    sat = Satrec.twoline2rv(*fit.tle.lines)
    err, r, _ = sat.sgp4_array(*sgp4_jd(times))
    assert not err.any()
    ours = np.asarray(SGP4(fit.tle).propagate(times).r)
    np.testing.assert_allclose(ours, r * 1e3, rtol=0, atol=1e-3)
    np.testing.assert_allclose(np.sqrt(np.mean(np.sum((ours - np.asarray(eph.r)) ** 2, axis=1))), fit.rms, rtol=1e-9)
    omm = omm_record(fit.omm)
    omm_r = np.asarray(SGP4(omm).propagate(times).r)
    assert np.sqrt(np.mean(np.sum((omm_r - np.asarray(eph.r)) ** 2, axis=1))) < fit.rms_fit + 0.01


@pytest.mark.parametrize(
    "satnum, text",
    [(0, "00000"), (25544, "25544"), (99999, "99999"), (100000, "A0000"), (182345, "J2345"), (339999, "Z9999")],
)
def test_alpha5_numbers(satnum, text):
    assert alpha5(satnum) == text
    line1, line2 = with_checksums(
        (f"1 {text}U 24001A   24079.50000000  .00000000  00000-0  10000-3 0  9990", ALPHA5[1].replace("A0001", text))
    )
    assert TLE(line1, line2).satnum == satnum


def test_bad_input():
    tle = TLE(*ISS)
    eph = ephemeris_of(tle, 0.01, 60.0)
    with pytest.raises(TooFewObservations, match="too few states: 2"):
        fit_tle(StateVectorEphemeris(eph.time[:2], np.asarray(eph.r)[:2], np.asarray(eph.v)[:2], frame="TEME"))
    hyper = StateVectorEphemeris(eph.time, np.asarray(eph.r), 2.0 * np.asarray(eph.v), frame="TEME")
    with pytest.raises(EstimationError, match="not on a bound orbit"):
        fit_tle(hyper)
    with pytest.raises(ValueError, match="catalogue number"):
        alpha5(340000)
    with pytest.raises(ValueError, match="unknown gravity"):
        fit_tle(eph, gravity="egm96")
    with pytest.raises(ConvergenceError, match="fit_tle: no convergence within 1 iterations"):
        fit_tle(ephemeris_of(tle, 1.0, 60.0), max_iterations=1)
    with pytest.raises(ValueError, match="epoch must be one date"):
        fit_tle(eph, epoch=eph.time[:2])


def test_a_held_bstar_stays_and_costs_its_share_of_the_fit():
    tle = TLE(*ISS)
    eph = ephemeris_of(tle, 2.0, 120.0)
    held = fit_tle(eph, template=tle, fit_bstar=False, bstar=0.0)
    free = fit_tle(eph, template=tle)
    assert held.tle.bstar == 0.0 and held.elements[3] == 0.0
    assert held.rms_fit > 100.0 * max(free.rms_fit, 1e-3)
