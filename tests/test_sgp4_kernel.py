"""The compiled SGP4/SDP4 kernel (``velarion.propagators.analytical.sgp4._compiled``
``sgp4_records``/``sgp4_states``) against the sgp4 package's ``Satrec``
(``sgp4init`` with the same elements, then ``sgp4_array``): states, error
codes and the epochs where they occur, on generated element sets of every
kind of orbit the model treats differently and on Vallado's verification
set shipped with the package."""

import math
import subprocess
import sys
from importlib import resources

import numpy as np
import pytest
from sgp4.api import WGS72, WGS72OLD, WGS84, Satrec
from sgp4_oracle import satrec_of

from velarion.propagators.analytical.sgp4 import SGP4, TLE, Records, _compiled
from velarion.propagators.analytical.sgp4.sgp4 import sgp4init_elements

JD0, FR0 = 2460310.5, 0.25  # the element sets' epoch: 2024-01-01 06:00 UTC
DAY_MIN = 1440.0
RAD = math.pi / 180.0


def _kind(rng, kind, n):
    """n element rows (jd, fr, epoch, bstar, ndot, nddot, ecco, argpo, inclo,
    mo, no_kozai, nodeo) of one kind of orbit; mean motion in rev/day."""
    u = rng.uniform
    ecc = {
        "leo": u(0.0, 0.02, n),
        "eccentric": u(0.1, 0.7, n),
        "molniya": u(0.55, 0.75, n),
        "geo": u(0.0, 0.001, n),
        "boundary": u(0.0, 0.2, n),
        "decaying": u(0.0, 0.01, n),
    }[kind]
    revs = {
        "leo": u(13.5, 16.2, n),
        "eccentric": u(3.0, 11.0, n),
        "molniya": u(1.95, 2.05, n),  # 12 h resonance
        "geo": u(0.95, 1.05, n),  # 24 h resonance
        "boundary": u(6.3, 6.5, n),  # period near 225 minutes
        "decaying": u(15.8, 16.4, n),
    }[kind]
    inc = {"molniya": u(60.0, 66.0, n), "geo": u(0.0, 15.0, n)}.get(kind, u(0.0, 180.0, n))
    bstar = {"decaying": u(1e-3, 0.05, n), "geo": np.zeros(n)}.get(kind, u(-1e-4, 1e-3, n))
    rows = np.empty((n, 12))
    rows[:, 0], rows[:, 1] = JD0, FR0
    rows[:, 2] = (JD0 - 2433281.5) + FR0
    rows[:, 3] = bstar
    rows[:, 4] = u(-1e-8, 1e-8, n)
    rows[:, 5] = 0.0
    rows[:, 6] = ecc
    rows[:, 7] = u(0.0, 2 * math.pi, n)
    rows[:, 8] = inc * RAD
    rows[:, 9] = u(0.0, 2 * math.pi, n)
    rows[:, 10] = revs * 2 * math.pi / DAY_MIN
    rows[:, 11] = u(0.0, 2 * math.pi, n)
    return rows


def _oracle(rows, gravity, jd, fr):
    err, r, v = [], [], []
    for row in rows:
        sat = Satrec()
        sat.sgp4init(gravity, "i", 1, *row[2:])
        sat.jdsatepoch, sat.jdsatepochF = row[0], row[1]
        e, rr, vv = sat.sgp4_array(jd, fr)
        err.append(e)
        r.append(rr)
        v.append(vv)
    return np.array(err), np.array(r) * 1e3, np.array(v) * 1e3


def _assert_same(rows, gravity, jd, fr, init_codes=None):
    records, codes = _compiled.sgp4_records(rows, gravity)
    code, r, v = _compiled.sgp4_states(records, np.arange(len(rows)), jd, fr, 2)
    err, r0, v0 = _oracle(rows, gravity, jd, fr)
    np.testing.assert_array_equal(code, err)
    np.testing.assert_array_equal(np.isnan(r), np.isnan(r0))
    # Metres and m/s; states far outside the model's domain to the last bits.
    np.testing.assert_allclose(r, r0, rtol=1e-13, atol=1e-6, equal_nan=True)
    np.testing.assert_allclose(v, v0, rtol=1e-13, atol=1e-9, equal_nan=True)
    if init_codes is not None:
        np.testing.assert_array_equal(codes, init_codes)
    return codes, code


KINDS = ["leo", "eccentric", "molniya", "geo", "boundary", "decaying"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("gravity", [WGS72, WGS72OLD, WGS84])
def test_generated_element_sets_match_the_sgp4_package(kind, gravity):
    rng = np.random.default_rng([KINDS.index(kind), gravity])
    rows = _kind(rng, kind, 60)
    # From a day before the epoch to ten days after, at uneven times.
    days = np.sort(rng.uniform(-1.0, 10.0, 150))
    jd, fr = np.full(days.size, JD0), FR0 + days
    init = np.array([_init_error(row, gravity) for row in rows])
    _, code = _assert_same(rows, gravity, jd, fr, init)
    if kind == "decaying":
        assert (code == 6).any() or (code == 1).any()


def _init_error(row, gravity):
    sat = Satrec()
    sat.sgp4init(gravity, "i", 1, *row[2:])
    return sat.error


def test_every_branch_of_the_model_is_met():
    """Resonances (irez 1 and 2), the low-inclination periodics, a retrograde
    equatorial orbit, perigees below 220 and 98 km: each against the package."""
    rng = np.random.default_rng(5)
    rows = np.concatenate([_kind(rng, k, 4) for k in ("leo", "molniya", "geo", "boundary")])
    rows[0:2, 8] = math.pi  # inclination 180 degrees
    rows[2, 6], rows[2, 10] = 0.05, 16.0 * 2 * math.pi / DAY_MIN  # perigee below 98 km
    rows[3, 6], rows[3, 10] = 0.02, 15.9 * 2 * math.pi / DAY_MIN  # perigee below 220 km
    rows[8:10, 8] = 0.05  # geostationary below 0.2 rad: Lyddane's form
    rows[8:10, 6] = 0.0  # circular
    days = np.linspace(-3.0, 30.0, 67)
    _assert_same(rows, WGS72, np.full(days.size, JD0), FR0 + days)


def _verification_sets():
    text = resources.files("sgp4").joinpath("SGP4-VER.TLE").read_text()
    lines = [s for s in text.splitlines() if s[:2] in ("1 ", "2 ")]
    return list(zip(lines[::2], lines[1::2], strict=True))


def test_vallado_verification_set():
    """Each set of the package's verification file at its own times (start,
    stop, step in minutes after the elements), with the codes it fails with."""
    sets = _verification_sets()
    assert len(sets) >= 30
    failed = 0
    for line1, line2 in sets:
        sat = Satrec.twoline2rv(line1, line2)
        start, stop, step = (float(x) for x in line2[69:].split()[:3])
        tsince = np.arange(start, stop + step / 2, step)
        row = np.array(
            [
                [
                    sat.jdsatepoch,
                    sat.jdsatepochF,
                    sat.jdsatepoch + sat.jdsatepochF - 2433281.5,  # as twoline2rv gives sgp4init
                    sat.bstar,
                    sat.ndot,
                    sat.nddot,
                    sat.ecco,
                    sat.argpo,
                    sat.inclo,
                    sat.mo,
                    sat.no_kozai,
                    sat.nodeo,
                ]
            ]
        )
        records, _ = _compiled.sgp4_records(row, WGS72)
        jd, fr = np.full(tsince.size, sat.jdsatepoch), sat.jdsatepochF + tsince / DAY_MIN
        code, r, v = _compiled.sgp4_states(records, np.array([0]), jd, fr, 1)
        e0, r0, v0 = sat.sgp4_array(jd, fr)
        np.testing.assert_array_equal(code[0], e0, err_msg=line1)
        np.testing.assert_allclose(r[0], r0 * 1e3, rtol=0, atol=1e-6, equal_nan=True, err_msg=line1)
        np.testing.assert_allclose(v[0], v0 * 1e3, rtol=0, atol=1e-9, equal_nan=True, err_msg=line1)
        failed += bool(e0.any())
    assert failed >= 5  # the file's decaying and out-of-range cases


def test_records_from_tles_with_alpha5_numbers_match_the_propagator():
    """What the screening builds from a parsed TLE (``sgp4init_elements``)
    gives SGP4's states (a catalogue number in Alpha-5 form included)."""
    lines = [
        "1 A0001U 24001A   24001.25000000  .00001000  00000-0  10000-3 0  999",
        "2 A0001  51.6400 100.0000 0005000  90.0000 270.0000 15.50000000    1",
        "1 25544U 98067A   24001.25000000  .00016717  00000-0  30000-3 0  999",
        "2 25544  51.6400 200.0000 0005000  30.0000  60.0000 15.50000000    1",
    ]
    lines = [s + str(sum(int(c) if c.isdigit() else c == "-" for c in s) % 10) for s in lines]
    tles = [TLE(lines[k], lines[k + 1]) for k in (0, 2)]
    assert tles[0].satnum == 100001
    rows = np.array([sgp4init_elements(t) for t in tles])
    records, codes = _compiled.sgp4_records(rows, WGS72)
    assert not codes.any()
    days = np.linspace(0.0, 3.0, 50)
    code, r, v = _compiled.sgp4_states(records, np.array([1, 0]), np.full(50, rows[0, 0]), rows[0, 1] + days, 2)
    for q, k in enumerate((1, 0)):
        err, rr, vv = satrec_of(tles[k]).sgp4_array(np.full(50, rows[0, 0]), rows[0, 1] + days)
        assert not code[q].any() and not err.any()
        np.testing.assert_allclose(r[q], rr * 1e3, rtol=0, atol=1e-6)
        np.testing.assert_allclose(v[q], vv * 1e3, rtol=0, atol=1e-9)
    # one epoch per state, split across threads: the same states, each in its place
    ids = np.tile([1, 0], 50)[::-1].copy()
    when = np.repeat(np.arange(50), 2)
    pc, pr, pv = _compiled.sgp4_points(records, ids, np.full(100, rows[0, 0]), rows[0, 1] + days[when], 2)
    assert not pc.any()
    np.testing.assert_array_equal(pr, r[1 - ids, when])
    np.testing.assert_array_equal(pv, v[1 - ids, when])


A = np.array


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda rec: _compiled.sgp4_records(np.zeros((2, 11)), 1), ValueError, "12 columns"),
        (lambda rec: _compiled.sgp4_records(np.zeros((2, 12), np.float32), 1), ValueError, "dtype"),
        (lambda rec: _compiled.sgp4_records(np.zeros((2, 12)), 3), ValueError, "gravity"),
        (lambda rec: _compiled.sgp4_states(object(), A([0]), A([JD0]), A([0.0]), 1), TypeError, "sgp4_records"),
        (lambda rec: _compiled.sgp4_states(rec, A([1]), A([JD0]), A([0.0]), 1), IndexError, "not a record"),
        (lambda rec: _compiled.sgp4_states(rec, A([-1]), A([JD0]), A([0.0]), 1), IndexError, "not a record"),
        (lambda rec: _compiled.sgp4_states(rec, A([0.5]), A([JD0]), A([0.0]), 1), TypeError, "cast"),
        (lambda rec: _compiled.sgp4_states(rec, A([0]), A([JD0, JD0]), A([0.0]), 1), ValueError, "same length"),
        (lambda rec: _compiled.sgp4_states(rec, A([0]), A([np.nan]), A([0.0]), 1), ValueError, "finite"),
        (lambda rec: _compiled.sgp4_states(rec, A([0]), A([JD0 + 4e4]), A([0.0]), 1), ValueError, "100 years"),
        (lambda rec: _compiled.sgp4_states(rec, A([0]), A([1e300]), A([0.0]), 1), ValueError, "100 years"),
        (lambda rec: _compiled.sgp4_states(rec, A([0]), A([JD0]), A([0.0]), 0), ValueError, "threads"),
        (lambda rec: _compiled.sgp4_points(rec, A([0]), A([JD0]), A([0.0]), 0), ValueError, "threads"),
    ],
)
def test_bad_arguments_raise(call, error, message):
    rows = _kind(np.random.default_rng(1), "geo", 1)
    records, _ = _compiled.sgp4_records(rows, WGS72)
    with pytest.raises(error, match=message):
        call(records)


def test_records_outlive_their_elements_and_serve_many_threads():
    """The records own their data (the elements array may die or change),
    and concurrent calls from Python threads on one record set agree."""
    code = """
import threading, numpy as np
from velarion.propagators.analytical.sgp4 import _compiled
rows = np.zeros((3, 12)); rows[:, 0] = 2460310.5; rows[:, 2] = 27029.0
rows[:, 6] = 0.7; rows[:, 8] = 1.1; rows[:, 10] = 2.0 * 2 * np.pi / 1440.0
records, codes = _compiled.sgp4_records(rows, 1)
first = _compiled.sgp4_states(records, [0, 1, 2], np.full(40, 2460310.5), np.linspace(0, 9, 40), 2)[1]
rows[:] = np.nan
del rows
out = []
def work():
    out.append(_compiled.sgp4_states(records, [0, 1, 2], np.full(40, 2460310.5), np.linspace(0, 9, 40), 2)[1])
ts = [threading.Thread(target=work) for _ in range(4)]
[t.start() for t in ts]; [t.join() for t in ts]
assert all(np.array_equal(x, first) for x in out) and np.isfinite(first).all()
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


# --- the resonance integrator carried across the epochs of one call ---------

GEO = (
    "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
    "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
)
ISS = (
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)
MOLNIYA = (
    "1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
    "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656",
)


def _resonant_records():
    return Records([TLE(*GEO), TLE(*MOLNIYA)])


@pytest.mark.parametrize("which", [0, 1], ids=["24 h (geo)", "12 h (molniya)"])
def test_a_sorted_grid_integrates_each_step_once(which):
    # 1440 epochs over ten years after the epoch: the integrator steps to
    # the last one once (about 7,300 steps of 720 minutes), instead of
    # restarting from the epoch at each (about 5 million); per epoch it
    # costs what a one-day ephemeris costs, plus a few steps.
    records = _resonant_records()
    jd, fr = records.elements[which, :2]
    for span in (1.0, 3652.5):
        days = np.linspace(0.0, span, 1440)
        steps = int(records.resonance_steps([which], np.full(days.size, jd), fr + days)[0])
        last = span * DAY_MIN / 720.0  # the last epoch, in steps (its own rounding aside)
        assert math.floor(last - 1e-6) <= steps <= math.floor(last + 1e-6)
    restarts = sum(math.floor(d * DAY_MIN / 720.0) for d in np.linspace(0.0, 3652.5, 1440))
    assert restarts > 500 * steps
    # A record without a resonance takes none.
    leo = Records([TLE(*ISS)])
    assert leo.resonance_steps([0], np.full(3, JD0), np.array([0.0, 100.0, 1000.0]))[0] == 0


@pytest.mark.parametrize("which", [0, 1], ids=["24 h (geo)", "12 h (molniya)"])
def test_carried_integration_equals_restarting_from_the_epoch(which):
    # Epochs in any order, before and after the epoch: the carried state
    # gives the restarted state bit for bit (the same steps), and a
    # shuffled grid the same states as the sorted one.
    records = _resonant_records()
    jd, fr = records.elements[which, :2]
    rng = np.random.default_rng(which)
    days = np.concatenate([np.linspace(0.0, 2000.0, 97), -np.linspace(0.0, 800.0, 31), rng.uniform(-50, 50, 20)])
    _, r, v = records.states([which], np.full(days.size, jd), fr + days)
    one = [records.states([which], np.array([jd]), np.array([fr + d])) for d in days]
    np.testing.assert_array_equal(r[0], np.concatenate([o[1][0] for o in one]))
    np.testing.assert_array_equal(v[0], np.concatenate([o[2][0] for o in one]))
    order = rng.permutation(days.size)
    _, rs, _ = records.states([which], np.full(days.size, jd), fr + days[order])
    np.testing.assert_array_equal(rs[0], r[0][order])
    # Points of one record in a run carry it too.
    _, rp, _ = records.points(np.full(days.size, which), np.full(days.size, jd), fr + days[order])
    np.testing.assert_array_equal(rp, r[0][order])


@pytest.mark.parametrize("lines", [GEO, MOLNIYA], ids=["24 h (geo)", "12 h (molniya)"])
def test_resonant_orbits_over_years_match_the_sgp4_package(lines):
    # The package's Satrec resumes from its last step as the reference
    # does: over ten years, every 11 days, the same states.
    sat = Satrec.twoline2rv(*lines)
    days = np.arange(0.0, 3652.5, 11.0)
    jd, fr = np.full(days.size, sat.jdsatepoch), sat.jdsatepochF + days
    e0, r0, v0 = sat.sgp4_array(jd, fr)
    assert not e0.any()
    eph = SGP4(TLE(*lines)).records().states([0], jd, fr)
    np.testing.assert_array_equal(eph[0][0], 0)
    np.testing.assert_allclose(eph[1][0], r0 * 1e3, rtol=0, atol=1e-6)
    np.testing.assert_allclose(eph[2][0], v0 * 1e3, rtol=0, atol=1e-9)


# --- the Records catalogue ----------------------------------------------------


def _mixed():
    from velarion.propagators.analytical.sgp4 import ELSET, OMM

    tle = TLE(*ISS)
    fields = (tle.epoch, tle.inc, tle.raa, tle.ecc, tle.arp, tle.mea, tle.mnm, tle.ndot, tle.nddot, tle.bstar)
    return tle, OMM(*fields, satnum=25544, intldesg="98067A"), ELSET(*fields)


def test_records_of_element_sets_of_every_kind():
    # A TLE starts from its text (twoline2rv's row), an OMM record and a
    # plain ELSET from their fields: the same orbit to well under a
    # millimetre, their catalogue numbers where they have one, and one
    # gravity model per record when given a sequence.
    tle, omm, elset = _mixed()
    records = Records([tle, omm, elset], ["wgs72", "wgs72", "wgs84"])
    assert len(records) == 3 and records.satnums == (25544, 25544, None)
    assert records.gravity == ("wgs72", "wgs72", "wgs84")
    np.testing.assert_array_equal(records.elements[0], tle._sgp4init_row())
    np.testing.assert_array_equal(records.elements[1], records.elements[2])
    np.testing.assert_allclose(records.elements[1], records.elements[0], rtol=1e-9, atol=1e-12)
    assert not records.codes.any()
    jd, fr = records.elements[0, :2]
    days = np.linspace(0.0, 2.0, 9)
    code, r, _ = records.states([0, 1, 2], np.full(9, jd), fr + days)
    assert not code.any()
    np.testing.assert_allclose(r[1], r[0], rtol=0, atol=1e-3)
    # The WGS84 record is the one of a catalogue of WGS84 alone.
    _, r84, _ = Records([elset], "wgs84").states([0], np.full(9, jd), fr + days)
    np.testing.assert_array_equal(r[2], r84[0])
    assert 1.0 < np.linalg.norm(r[2] - r[1], axis=1).max() < 5e3
    # Read-only: what a record started from cannot be changed after.
    with pytest.raises(ValueError, match="read-only"):
        records.elements[0, 6] = 0.5


@pytest.mark.parametrize(
    "make, error, match",
    [
        (lambda t: Records([t, "not an elset"]), TypeError, "element set 1 must be a TLE or another ELSET"),
        (lambda t: Records("1 25544U"), TypeError, "sequence of element sets"),
        (lambda t: Records([t], "egm96"), ValueError, "unknown gravity model 'egm96'"),
        (lambda t: Records([t], ["wgs72", "wgs84"]), ValueError, "one per element set"),
        (lambda t: Records([t], [72]), TypeError, "gravity model is a str"),
        (lambda t: Records.from_elements(np.zeros((1, 11))), ValueError, "12 columns"),
        (lambda t: Records([t]).states([0], np.array([JD0]), np.array([0.0]), 0), ValueError, "threads"),
        (lambda t: Records([t]).points([1], np.array([JD0]), np.array([0.0])), IndexError, "not a record"),
        (lambda t: Records([t]).resonance_steps([0], np.array([JD0 + 4e4]), np.array([0.0])), ValueError, "100 years"),
        (lambda t: __import__("pickle").dumps(Records([t])), TypeError, "__reduce__"),
    ],
)
def test_records_refuse_bad_input(make, error, match):
    with pytest.raises(error, match=match):
        make(TLE(*ISS))


def test_an_element_set_the_model_refuses_has_its_code():
    # An eccentricity past an ellipse: the model's code at the epoch, and
    # SGP4 raises it as SGP4Error with the element set's number.
    from velarion.propagators.analytical.sgp4 import SGP4Error

    tle = TLE(*ISS)
    row = Records([tle]).elements.copy()
    row[0, 6] = 1.2  # eccentricity beyond an ellipse
    records = Records.from_elements(row)
    assert records.codes.tolist() == [1] and records.satnums == (None,)
    with pytest.raises(SGP4Error, match="SGP4 error 1 for element set") as info:
        SGP4(tle).teme_arrays(tle.epoch + np.zeros(1), records)
    assert info.value.index == 0


def test_one_catalogue_serves_many_threads():
    # Read-only records: concurrent calls from Python threads (each
    # releasing the interpreter lock) give the states of a lone call.
    from concurrent.futures import ThreadPoolExecutor

    records = Records([TLE(*ISS), TLE(*GEO), TLE(*MOLNIYA)])
    jd, fr = records.elements[0, :2]
    days = np.linspace(0.0, 400.0, 4000)
    expected = records.states([0, 1, 2], np.full(days.size, jd), fr + days)[1]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: records.states([0, 1, 2], np.full(days.size, jd), fr + days, 2)[1], range(8)))
    for r in results:
        np.testing.assert_array_equal(r, expected)
