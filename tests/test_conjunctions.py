"""Conjunction screening against a brute-force truth: the sgp4 package's
array propagation every few seconds, candidate pairs from a k-d tree with a
radius above the largest half-step displacement, each local minimum of the
distance refined by root finding on the derivative of the squared distance
between the model's positions."""

import subprocess
import sys

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.spatial import cKDTree
from sgp4.api import SatrecArray

from velarion.conjunctions import Conjunctions, _bounds, _Catalogue, _intake, _interpolation_bound, _screen, screen
from velarion.conjunctions.catalogue import format_tle, sample_catalogue
from velarion.propagators.analytical.sgp4 import ELSET, SGP4, TLE, load_tles
from velarion.propagators.analytical.sgp4.sgp4 import sgp4_jd
from velarion.time.time import Time

START = "2024-01-01T00:00:00"
SPAN = 4 * 3600.0
STEP = 5.0
THRESHOLD = 8000.0


def _truth(tles, start, span, threshold):
    """(i, j) -> [(tca seconds, miss)] by brute force."""
    sats = [SGP4(t).satrec() for t in tles]
    t0 = Time(start)
    sec = np.arange(0.0, span + STEP / 2, STEP)
    jd1, jd2 = sgp4_jd(t0 + sec)
    err, r, v = SatrecArray(sats).sgp4(jd1, jd2)
    assert not err.any()
    # Relative speeds stay below 16 km/s: over half a step a pair closes by at most 40 km.
    radius = threshold / 1e3 + 16.0 * STEP / 2
    cand = set()
    for k in range(sec.size):
        for i, j in cKDTree(r[:, k]).query_pairs(radius):
            for kk in (k - 1, k):
                if 0 <= kk < sec.size - 1:
                    cand.add((i, j, kk))
    jd0, fr0 = sgp4_jd(t0)

    def separation(i, j, s):
        _, ri, _ = sats[i].sgp4(jd0[0], fr0[0] + s / 86400.0)
        _, rj, _ = sats[j].sgp4(jd0[0], fr0[0] + s / 86400.0)
        return np.subtract(rj, ri)

    def rate(i, j, s, h=0.5):
        # d|rho|^2/dt of the model's positions (its velocities are not their exact derivative)
        return float(np.dot(separation(i, j, s), separation(i, j, s + h) - separation(i, j, s - h)))

    found = {}
    for i, j, k in sorted(cand):
        fa = float(np.dot(r[j, k] - r[i, k], v[j, k] - v[i, k]))
        fb = float(np.dot(r[j, k + 1] - r[i, k + 1], v[j, k + 1] - v[i, k + 1]))
        if fa < 0.0 <= fb:
            tca = brentq(lambda s, i=i, j=j: rate(i, j, s), sec[k], sec[k + 1], xtol=1e-7, rtol=1e-15)
            _, ri, _ = sats[i].sgp4(jd0[0], fr0[0] + tca / 86400.0)
            _, rj, _ = sats[j].sgp4(jd0[0], fr0[0] + tca / 86400.0)
            miss = 1e3 * float(np.linalg.norm(np.subtract(rj, ri)))
            if miss < threshold:
                found.setdefault((i, j), []).append((tca, miss))
    return found


@pytest.fixture(scope="module")
def catalogue():
    return load_tles(sample_catalogue(240, START, seed=7, close_pairs=8))


@pytest.fixture(scope="module")
def truth(catalogue):
    return _truth(catalogue, START, SPAN, THRESHOLD)


@pytest.fixture(scope="module")
def events(catalogue):
    return screen(catalogue, START, SPAN, THRESHOLD)


def _by_pair(events, tles):
    index = {t.satnum: k for k, t in enumerate(tles)}
    t0 = Time(START)
    out = {}
    for e in events:
        i, j = sorted((index[e.primary_satnum], index[e.secondary_satnum]))
        out.setdefault((i, j), []).append((float(e.tca - t0), e.miss_distance, e))
    return out


def test_every_approach_of_the_brute_force_is_found_with_its_tca_and_miss(catalogue, truth, events):
    assert isinstance(events, Conjunctions)
    assert events.failures == []
    assert sum(len(x) for x in truth.values()) >= 20  # the planted pairs meet many times
    assert len({p for p in truth if p[0] >= 16}) >= 1  # and so does the random population
    _assert_truth(events, catalogue, truth)


def _assert_truth(events, tles, truth):
    got = _by_pair(events, tles)
    assert set(got) == set(truth)
    for pair, expected in truth.items():
        mine = sorted(got[pair])
        assert len(mine) == len(expected), pair
        for (tca, miss, e), (tca_ref, miss_ref) in zip(mine, sorted(expected), strict=True):
            # Within a millisecond, or for slow pairs (GEO) as far as the positions resolve
            # it: a millimetre of relative motion (their rounding, ~1e-8 m, blurs the minimum).
            assert abs(tca - tca_ref) < 1e-3 or abs(tca - tca_ref) * e.relative_speed < 1e-3
            assert abs(miss - miss_ref) < 0.01
    tcas = [float(e.tca - Time(START)) for e in events]
    assert tcas == sorted(tcas)


def test_high_orbits_against_the_brute_force():
    """Pairs a few kilometres apart on geostationary, Molniya (12-hour
    resonant) and 225-minute orbits (the model's deep-space side), among
    low ones, over a day, with and without primaries."""
    rng = np.random.default_rng(11)
    text = sample_catalogue(12, START, seed=9)
    number = 100
    for mm, ecc, inc in ((1.0027, 0.0002, 0.05), (2.006, 0.72, 63.4), (6.39, 0.05, 30.0), (6.41, 0.0, 50.0)):
        for _ in range(2):
            raan, argp, ma = rng.uniform(0.0, 360.0, 3)
            text += format_tle(number, START, inc, raan, ecc, argp, ma, mm, 0.0)
            text += format_tle(number + 1, START, inc + 0.01, raan, ecc, argp, ma + 0.004, mm, 0.0)
            number += 2
    tles = load_tles(text)
    span = 86400.0
    truth = _truth(tles, START, span, THRESHOLD)
    assert len(truth) >= 6 and all(k >= 12 for pair in truth for k in pair)
    _assert_truth(screen(tles, START, span, THRESHOLD), tles, truth)
    primaries = [t for t in tles if t.satnum in (100, 102, 104, 106)]  # one of each deep pair
    only = {p: x for p, x in truth.items() if {tles[p[0]].satnum, tles[p[1]].satnum} & {100, 102, 104, 106}}
    _assert_truth(screen(tles, START, span, THRESHOLD, primaries=primaries), tles, only)


def test_components_and_relative_velocity_at_tca(catalogue, events):
    """RSW components from an independent construction on the model's states;
    the separation is stationary at TCA; the states the event carries."""
    index = {t.satnum: k for k, t in enumerate(catalogue)}
    for e in events:
        p, s = (SGP4(catalogue[index[n]]) for n in (e.primary_satnum, e.secondary_satnum))
        rp, vp = p.teme_arrays(e.tca)
        rs, vs = s.teme_arrays(e.tca)
        rp, vp, rs, vs = rp[0], vp[0], rs[0], vs[0]
        rho, drho = rs - rp, vs - vp
        w = np.cross(rp, vp) / np.linalg.norm(np.cross(rp, vp))
        rhat = rp / np.linalg.norm(rp)
        np.testing.assert_allclose(
            [e.radial, e.in_track, e.cross_track], [rho @ rhat, rho @ np.cross(w, rhat), rho @ w], atol=0.02
        )
        assert abs(np.hypot(np.hypot(e.radial, e.in_track), e.cross_track) - e.miss_distance) < 1e-6
        assert abs(e.relative_speed - np.linalg.norm(drho)) < 1e-3
        # The distance between the model's positions is stationary at TCA.
        h = 0.5
        (rp_hi, rp_lo), (rs_hi, rs_lo) = (x.teme_arrays(e.tca + np.array([h, -h]))[0] for x in (p, s))
        rate = (rs_hi - rp_hi - (rs_lo - rp_lo)) / (2 * h)
        assert abs(rho @ rate) / (np.linalg.norm(rho) * np.linalg.norm(rate)) < 1e-6
        # The states carried by the event are the model's at TCA.
        for (r, v), (r_ref, v_ref) in ((e.primary_state, (rp, vp)), (e.secondary_state, (rs, vs))):
            np.testing.assert_allclose(r, r_ref, rtol=0, atol=1e-3)
            np.testing.assert_allclose(v, v_ref, rtol=0, atol=1e-6)


def test_primaries_give_the_all_pairs_events_that_involve_them(catalogue, events):
    picks = [catalogue[0], catalogue[5], 17]
    mine = screen(catalogue, START, SPAN, THRESHOLD, primaries=picks, threads=1)
    chosen = {catalogue[0].satnum, catalogue[5].satnum, 17}
    expected = [e for e in events if e.primary_satnum in chosen or e.secondary_satnum in chosen]
    assert len(mine) == len(expected) > 0
    for a, b in zip(mine, expected, strict=True):
        assert {a.primary_satnum, a.secondary_satnum} == {b.primary_satnum, b.secondary_satnum}
        assert abs(float(a.tca - b.tca)) < 1e-4 and abs(a.miss_distance - b.miss_distance) < 1e-3
        assert a.primary_satnum in chosen
        # Seen from the other satellite, the miss vector turns around (same length).
        assert abs(np.hypot(np.hypot(a.radial, a.in_track), a.cross_track) - b.miss_distance) < 1e-3


def test_interpolation_bound_holds_on_the_models_paths():
    """The bound E of each satellite (the screening's no-miss argument)
    against the Hermite interpolant's actual error at interval midpoints,
    for low, eccentric and high orbits."""
    text = sample_catalogue(150, START, seed=3)
    rng = np.random.default_rng(5)
    extra = []
    for k in range(30):
        perigee = rng.uniform(250.0, 800.0)
        apogee = rng.uniform(2000.0, 39000.0)
        a = 6378.135 + (perigee + apogee) / 2
        mm = np.sqrt(398600.8 / a**3) * 86400 / (2 * np.pi)
        ecc = (apogee - perigee) / (2 * a)
        extra.append(
            format_tle(
                900 + k, START, rng.uniform(0, 100), *rng.uniform(0, 360, 1), ecc, *rng.uniform(0, 360, 2), mm, 1e-5
            )
        )
    tles = load_tles(text + "".join(extra))
    intake = _intake(tles)
    assert not intake.failures
    cat = _Catalogue(intake.objects, intake.records, Time(START), 86400.0)
    ids, _, _, speed, snap = _bounds(cat, np.arange(len(intake.objects)))
    for step in (300.0, 900.0):
        bound = _interpolation_bound(snap, speed, step)
        t = np.arange(0.0, 86400.0, step)
        _, r0, v0 = cat.sample(ids, t)
        _, rm, _ = cat.sample(ids, t[:-1] + step / 2)
        h = 0.5 * (r0[:, :-1] + r0[:, 1:]) + step / 8 * (v0[:, :-1] - v0[:, 1:])  # H(1/2)
        err = np.linalg.norm(h - rm, axis=2).max(axis=1)
        assert (err <= bound).all(), (err / bound).max()
        assert (err / bound).max() > 0.01  # the bound is not vacuous


def test_a_failing_satellite_is_reported_and_the_others_screened(catalogue, events):
    # A re-entering orbit: perigee near 100 km, strong drag.
    doomed = TLE(*format_tle(99000, START, 51.6, 10.0, 0.02, 0.0, 0.0, 16.4, 0.5).splitlines())
    result = screen([doomed, *catalogue], START, SPAN, THRESHOLD)
    assert [f.satnum for f in result.failures] == [99000]
    assert "SGP4 error" in str(result.failures[0])
    assert len(result) == len(events)
    with pytest.raises(ValueError, match="SGP4 error"):
        screen([doomed, *catalogue[:4]], START, SPAN, THRESHOLD, errors="raise")
    # A geostationary element set of 1900: a span more than a century away is refused for it alone.
    old = ELSET(Time("1900-01-01"), 0.1, 1.0, 0.0002, 2.0, 3.0, 7.292e-5, name="OLD")
    result = screen([old, *catalogue[:30]], START, SPAN, THRESHOLD)
    assert [(f.satellite, type(f.error)) for f in result.failures] == [("OLD", ValueError)]
    assert "century" in str(result.failures[0])


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"duration": 0.0}, ValueError, "the span must be a positive number of seconds"),
        ({"threshold": -1.0}, ValueError, "the threshold must be a positive number of metres"),
        ({"threshold": float("nan")}, ValueError, "the threshold must be a positive number of metres"),
        ({"errors": "ignore"}, ValueError, "errors must be 'report' or 'raise'"),
        ({"threads": 0}, ValueError, "threads must be a positive integer"),
        ({"primaries": [424242]}, ValueError, "no satellite with catalogue number 424242"),
        ({"satellites": [object()]}, TypeError, "satellite 0 must be a TLE"),
    ],
)
def test_bad_arguments_raise(catalogue, kwargs, error, message):
    args = {"satellites": catalogue[:3], "start": START, "duration": 600.0, **kwargs}
    with pytest.raises(error, match=message):
        screen(**args)


def _rows(n, m):
    return np.zeros((n * m, 3))


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((_rows(2, 3), _rows(2, 3), 60.0, 2, np.ones(2), np.ones(2), np.ones(2), 1.0, None, 0), ValueError),
        ((_rows(2, 3), _rows(2, 4), 60.0, 2, np.ones(3), np.ones(3), np.ones(3), 1.0, None, 1), ValueError),
        ((_rows(2, 3)[::2], _rows(2, 3)[::2], 60.0, 1, np.ones(3), np.ones(3), np.ones(3), 1.0, None, 1), ValueError),
        ((_rows(2, 3), _rows(2, 3), 60.0, 1, np.ones(2), np.ones(2), np.ones(2), 1.0, b"\x01", 1), ValueError),
        ((_rows(2, 3), _rows(2, 3), 60.0, 1, np.ones(2), np.ones(2), np.ones(2), 1.0, [1, 0], 1), TypeError),
        ((_rows(2, 3), _rows(2, 3), -1.0, 1, np.ones(2), np.ones(2), np.ones(2), 1.0, None, 1), ValueError),
        ((_rows(2, 3) + np.nan, _rows(2, 3), 60.0, 1, np.ones(2), np.ones(2), np.ones(2), 1.0, None, 1), ValueError),
        ((_rows(2, 3), _rows(2, 3), 60.0, 1, np.ones(2, np.int64), np.ones(2), np.ones(2), 1.0, None, 1), ValueError),
        ((_rows(2, 3), _rows(2, 3), 60.0, 10**9, np.ones(2), np.ones(2), np.ones(2), 1.0, None, 1), ValueError),
    ],
)
def test_candidate_search_refuses_bad_buffers(args, error):
    with pytest.raises(error):
        _screen.candidates(*args)


def test_candidate_search_survives_hostile_numbers():
    """Arrays written by another thread while the search runs without the lock cannot crash it."""
    code = """
import threading, numpy as np
from velarion.conjunctions import _screen
r = np.random.default_rng(1).normal(size=(200 * 30, 3)) * 7e6
v = np.random.default_rng(2).normal(size=(200 * 30, 3)) * 7e3
ones = np.ones(200)
stop = False
def scribble():
    while not stop:
        r[::7] = np.nan
        r[::7] = 1e7
t = threading.Thread(target=scribble); t.start()
for _ in range(20):
    for flags in (None, bytes(200)):
        try:
            _screen.candidates(r, v, 60.0, 3, ones * 1e4, ones * 6e6, ones * 8e6, 5e3, flags, 2)
        except ValueError:  # caught between two writes
            pass
stop = True; t.join()
print("ok")
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_command_line_columns_and_keys(tmp_path, fmt):
    path = tmp_path / "cat.tle"
    path.write_text(sample_catalogue(60, START, seed=2, close_pairs=2))
    out = tmp_path / f"out.{fmt}"
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "velarion",
            "conjunctions",
            "--tle",
            str(path),
            "--hours",
            "2",
            "--satnum",
            "1",
            "--format",
            fmt,
            "-o",
            str(out),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    expected = screen(load_tles(path.read_text()), START, 7200.0, primaries=[1])
    columns = [
        "primary",
        "primary_satnum",
        "secondary",
        "secondary_satnum",
        "tca",
        "miss_distance",
        "radial",
        "in_track",
        "cross_track",
        "relative_speed",
    ]
    if fmt == "csv":
        import csv

        rows = list(csv.DictReader(out.open()))
        assert list(rows[0]) == columns
    else:
        import json

        rows = json.loads(out.read_text())
        assert list(rows[0]) == columns
    assert len(rows) == len(expected) > 0
    assert [r["tca"] for r in rows] == [str(e.tca.iso) for e in expected]
    assert [round(float(r["miss_distance"]), 3) for r in rows] == [round(e.miss_distance, 3) for e in expected]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--satnum", "12345"], "no element set with catalogue number 12345"),
        (["--match", "nothing-like-it"], "no satellite name contains 'nothing-like-it'"),
        (["--threshold", "-5"], "--threshold must be a positive number of metres"),
        (["--satnum", "x"], "--satnum takes catalogue numbers"),
    ],
)
def test_command_line_errors_are_one_line_and_write_nothing(tmp_path, args, message):
    path = tmp_path / "cat.tle"
    path.write_text(sample_catalogue(10, START, seed=2))
    out = tmp_path / "out.csv"
    run = subprocess.run(
        [sys.executable, "-m", "velarion", "conjunctions", "--tle", str(path), "-o", str(out), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 1
    assert run.stderr.count("\n") == 1 and message in run.stderr
    assert not out.exists()


def test_dask_split_by_primaries_gives_the_events_of_one_process():
    pytest.importorskip("distributed")
    import pathlib

    from distributed import Client, LocalCluster

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
    import conjunctions_dask as ex

    text = sample_catalogue(150, START, seed=4, close_pairs=4)
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        rows, failures = ex.screen_on(client, text, START, 3 * 3600.0, groups=3)
    single = screen(load_tles(text), START, 3 * 3600.0)
    assert failures == [] and len(rows) == len(single) > 0
    for r, e in zip(rows, single, strict=True):
        assert (r["primary_satnum"], r["secondary_satnum"]) == (e.primary_satnum, e.secondary_satnum)
        assert r["tca"] == str(e.tca.iso) and abs(r["miss_distance"] - e.miss_distance) < 1e-6
