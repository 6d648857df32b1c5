"""Conjunction screening against a brute-force truth: the sgp4 package's
array propagation every few seconds, candidate pairs from a k-d tree with a
radius above the largest half-step displacement, each local minimum of the
distance refined by root finding on the derivative of the squared distance
between the model's positions."""

import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.spatial import cKDTree
from sgp4.api import SatrecArray
from sgp4_oracle import satrec_of

from velarion.conjunctions import Conjunctions, _screen, screen
from velarion.conjunctions.bounds import _bounds, _interpolation_bound
from velarion.conjunctions.catalogue import format_tle, sample_catalogue
from velarion.conjunctions.intake import _Catalogue, _intake
from velarion.conjunctions.refine import _distinct
from velarion.propagators.analytical.sgp4 import ELSET, SGP4, TLE, load_tles
from velarion.propagators.analytical.sgp4.sgp4 import sgp4_jd
from velarion.time.time import Time

START = "2024-01-01T00:00:00"
SPAN = 4 * 3600.0
STEP = 5.0
THRESHOLD = 8000.0


def _truth(tles, start, span, threshold):
    """(i, j) -> [(tca seconds, miss)] by brute force."""
    sats = [satrec_of(t) for t in tles]
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
        ({"step": 1e-3, "duration": 86400.0}, ValueError, "too many; take a larger step"),
        ({"proximity": -1.0}, ValueError, "proximity must be a non-negative number of seconds"),
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


def _dense_distance(tles, start, seconds):
    """Distances [m] between the model's positions of tles[0] and tles[1]
    (the sgp4 package) at ``seconds`` from ``start``."""
    sats = [satrec_of(t) for t in tles]
    jd1, jd2 = sgp4_jd(Time(start) + np.asarray(seconds, dtype=float))
    err, r, _ = SatrecArray(sats).sgp4(np.atleast_1d(jd1), np.atleast_1d(jd2))
    assert not err.any()
    return 1e3 * np.linalg.norm(r[1] - r[0], axis=-1)


def _formation_catalogue():
    text = sample_catalogue(40, START, seed=21)
    # A formation (one orbit, 0.015 deg of mean anomaly apart: about 1.8 km) and two
    # element sets of one docked stack (identical elements, two numbers).
    text += format_tle(501, START, 97.4, 40.0, 0.001, 90.0, 10.0, 15.2, 0.0)
    text += format_tle(502, START, 97.4, 40.0, 0.001, 90.0, 10.015, 15.2, 0.0)
    for number in (503, 504):
        text += format_tle(number, START, 51.6, 200.0, 0.0005, 30.0, 300.0, 15.5, 0.0)
    return load_tles(text)


@pytest.mark.parametrize(("proximity", "minima"), [(7200.0, True), (7200.0, False), (None, True)])
def test_formations_and_docked_objects_are_reported_as_sustained_proximity(proximity, minima):
    tles = _formation_catalogue()
    span = 6 * 3600.0
    result = screen(tles, START, span, proximity=proximity, proximity_minima=minima)
    records = {(p.primary_satnum, p.secondary_satnum): p for p in result.proximity}
    form = [t for t in tles if t.satnum in (501, 502)]
    dense = _dense_distance(form, START, np.arange(0.0, span + 0.5, 1.0))
    assert dense.max() < 5000.0  # the formation stays within the threshold all along
    dense_minima = int(((dense[1:-1] < dense[:-2]) & (dense[1:-1] < dense[2:])).sum())
    assert dense_minima >= 3
    form_events = [e for e in result if {e.primary_satnum, e.secondary_satnum} == {501, 502}]
    if proximity is None:
        assert (501, 502) not in records
        assert len(form_events) == dense_minima
    else:
        near = records[(501, 502)]
        assert not near.colocated and near.duration == pytest.approx(span)
        assert float(near.start - Time(START)) == pytest.approx(0.0, abs=1e-6)
        assert abs(near.distance - dense.min()) < 1.0 and near.largest <= dense.max() + 1.0
        assert _dense_distance(form, START, float(near.tca - Time(START)))[0] == pytest.approx(near.distance, abs=1e-3)
        assert len(form_events) == (dense_minima if minima else 0)
    # The docked stack has no minimum to list: reported as co-located whatever the option.
    docked = records[(503, 504)]
    assert docked.colocated and docked.distance == 0.0 and docked.duration == pytest.approx(span)
    assert not [e for e in result if 503 in (e.primary_satnum, e.secondary_satnum)]
    # Nothing else in this catalogue stays close for hours.
    assert set(records) <= {(501, 502), (503, 504)}


def test_window_boundaries_on_events_find_each_event_once(catalogue, events, monkeypatch):
    """Windows of one step with a window boundary placed on an event's TCA
    give the events of one window, each once."""
    from velarion.conjunctions import search

    t0 = Time(START)
    target = next(e for e in events if float(e.tca - t0) > 3600.0)
    tca = float(target.tca - t0)
    n = max(1, round(tca / 300.0))
    span = 2 * tca  # samples every tca / n: one of them, a window boundary, on the TCA
    whole = screen(catalogue, START, span, THRESHOLD, step=tca / n)
    calls = []
    monkeypatch.setattr(search, "_WINDOW_STATES", len(catalogue))  # one step a window
    split = screen(catalogue, START, span, THRESHOLD, step=tca / n, progress=lambda d, t: calls.append((d, t)))
    assert len(split) == len(whole) > 0
    for a, b in zip(split, whole, strict=True):
        assert (a.primary_satnum, a.secondary_satnum) == (b.primary_satnum, b.secondary_satnum)
        assert abs(float(a.tca - b.tca)) < 1e-6 and abs(a.miss_distance - b.miss_distance) < 1e-6
    pair = {target.primary_satnum, target.secondary_satnum}
    same = [e for e in split if {e.primary_satnum, e.secondary_satnum} == pair and abs(float(e.tca - target.tca)) < 1]
    assert len(same) == 1
    done = [d for d, _ in calls]
    assert done == sorted(done) and calls[-1] == (span, span)


def test_a_decaying_satellite_keeps_its_approaches_until_it_fails():
    # Two objects on crossing low orbits with strong drag: both fail within two days.
    text = sample_catalogue(10, START, seed=2)
    text += format_tle(601, START, 51.6, 10.0, 0.0005, 0.0, 0.0, 16.0, 0.03)
    text += format_tle(602, START, 51.63, 10.0, 0.0005, 0.0, 0.01, 16.0, 0.03)
    tles = load_tles(text)
    span = 2 * 86400.0
    # The oracle's failure time: the first minute the sgp4 package fails, refined to a second.
    sat = satrec_of(tles[-2])
    jd1, jd2 = sgp4_jd(Time(START) + np.arange(0.0, span, 60.0))
    err, _, _ = sat.sgp4_array(np.atleast_1d(jd1), np.atleast_1d(jd2))
    first = int(np.argmax(err != 0))
    assert err[first] != 0 and first > 60
    jd1, jd2 = sgp4_jd(Time(START) + (first - 1) * 60.0 + np.arange(0.0, 61.0, 0.5))
    err, _, _ = sat.sgp4_array(np.atleast_1d(jd1), np.atleast_1d(jd2))
    fails = (first - 1) * 60.0 + 0.5 * int(np.argmax(err != 0))
    result = screen(tles, START, span)
    failure = {f.satnum: f for f in result.failures}[601]
    assert abs(float(failure.epoch - Time(START)) - fails) <= 1.5
    assert "SGP4 error" in str(failure) and "index" not in str(failure)
    # Until then: the approaches of a screening that ends before the failure.
    cut = min(float(f.epoch - Time(START)) for f in result.failures if f.satnum in (601, 602)) - 600.0
    before = screen(tles, START, cut)
    mine = [e for e in result if float(e.tca - Time(START)) < cut - 100.0]
    theirs = [e for e in before if float(e.tca - Time(START)) < cut - 100.0]
    assert len(mine) == len(theirs) and any(e.primary_satnum == 601 for e in mine)
    for a, b in zip(mine, theirs, strict=True):
        assert (a.primary_satnum, a.secondary_satnum) == (b.primary_satnum, b.secondary_satnum)
        assert abs(float(a.tca - b.tca)) < 1e-5 and abs(a.miss_distance - b.miss_distance) < 1e-6


@pytest.mark.parametrize(("offset", "tilt"), [(0.001, 0.03), (0.004, 0.028), (0.0, 0.025)])
def test_slow_geostationary_encounters_against_the_positions_minimum(offset, tilt):
    """Co-located geostationary pairs passing at about 1.5 m/s: TCA and miss
    distance are the minimum of the distance between the model's positions
    (its velocities are not their exact derivative: a root of rho . drho with
    them is seconds away and millimetres too far)."""
    text = format_tle(701, START, 0.05, 80.0, 0.0002, 10.0, 100.0, 1.00273, 0.0)
    text += format_tle(702, START, 0.05 + tilt, 80.0, 0.0002, 10.0, 100.0 + offset, 1.00273, 0.0)
    tles = load_tles(text)
    result = screen(tles, START, 86400.0, proximity=None)
    assert len(result) >= 1
    for e in result:
        assert 0.5 < e.relative_speed < 3.0
        t = float(e.tca - Time(START))
        around = t + np.arange(-60.0, 60.0, 0.02)
        dense = _dense_distance(tles, START, around)
        k = int(np.argmin(dense))
        assert abs(e.miss_distance - dense[k]) < 1e-3
        # The vertex of the squared distance (a parabola near the minimum) from a dense fit.
        near = slice(max(0, k - 250), k + 250)
        c = np.polyfit(around[near] - t, dense[near] ** 2, 2)
        assert abs(-c[1] / (2 * c[0])) < 0.01


def test_many_primaries_give_the_all_pairs_events_that_involve_them(catalogue, events):
    # Half the catalogue as primaries: the all-vs-all grid, keeping the pairs with a primary.
    chosen = {t.satnum for t in catalogue[::2]}
    mine = screen(catalogue, START, SPAN, THRESHOLD, primaries=sorted(chosen))
    expected = [e for e in events if e.primary_satnum in chosen or e.secondary_satnum in chosen]
    assert len(mine) == len(expected) > 0
    for a, b in zip(mine, expected, strict=True):
        assert {a.primary_satnum, a.secondary_satnum} == {b.primary_satnum, b.secondary_satnum}
        assert a.primary_satnum in chosen
        assert abs(float(a.tca - b.tca)) < 1e-6 and abs(a.miss_distance - b.miss_distance) < 1e-6


@pytest.mark.parametrize(
    ("args", "error"),
    [
        (("records", 0.0, 0.0, [0], [1], [0.0], [60.0], 5e3, 1), TypeError),
        (("ok", 0.0, 0.0, [0], [7], [0.0], [60.0], 5e3, 1), IndexError),
        (("ok", 0.0, 0.0, [-1], [1], [0.0], [60.0], 5e3, 1), IndexError),
        (("ok", 0.0, 0.0, [0], [1], [60.0], [0.0], 5e3, 1), ValueError),
        (("ok", 0.0, 0.0, [0], [1, 1], [0.0], [60.0], 5e3, 1), ValueError),
        (("ok", 0.0, 0.0, [0], [1], [np.nan], [60.0], 5e3, 1), ValueError),
        (("ok", 0.0, 0.0, [0], [1], [0.0], [1e12], 5e3, 1), ValueError),
        (("ok", np.nan, 0.0, [0], [1], [0.0], [60.0], 5e3, 1), ValueError),
    ],
)
def test_refinement_refuses_bad_input(catalogue, args, error):
    intake = _intake(catalogue[:2])
    jd, fr = sgp4_jd(Time(START))
    records = intake.records if args[0] == "ok" else args[0]
    when = (float(np.ravel(jd)[0]), float(np.ravel(fr)[0])) if args[1] == 0.0 else args[1:3]
    i, j, ta, tb = (np.array(x, dtype=np.int64 if k < 2 else np.float64) for k, x in enumerate(args[3:7]))
    args = (records, *when, i, j, ta, tb, *args[7:])
    with pytest.raises(error):
        _screen.refine(*args)


MEMORY_CHILD = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1_500_000_000, 1_500_000_000))
from velarion.conjunctions import screen
from velarion.conjunctions.catalogue import sample_catalogue
from velarion.propagators.analytical.sgp4 import load_tles
from velarion.utils.budget import MemoryBudgetError, budget
tles = load_tles(sample_catalogue(3000, "2024-01-01T00:00:00", seed=1))
try:
    with budget("300M"):
        screen(tles, "2024-01-01T00:00:00", 86400.0, float(sys.argv[1]))
except MemoryBudgetError as e:
    print("refused:", e)
else:
    print("done")
"""


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs RLIMIT_AS, which the sanitizer's address-space reservations defeat",
)
@pytest.mark.parametrize(("threshold", "outcome"), [(1e7, "refused: screening 3000 satellites"), (5e3, "done")])
def test_a_screening_fits_its_memory_budget_or_is_refused_with_what_to_reduce(threshold, outcome):
    run = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(threshold)], capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith(outcome), run.stdout
    if outcome.startswith("refused"):
        assert "lower the threshold" in run.stdout


INTERRUPTED_CHILD = """
import signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
from velarion.conjunctions import screen
from velarion.conjunctions.catalogue import sample_catalogue
from velarion.propagators.analytical.sgp4 import load_tles
tles = load_tles(sample_catalogue(4000, "2024-01-01T00:00:00", seed=1))
print("start", flush=True)
try:
    screen(tles, "2024-01-01T00:00:00", 7 * 86400.0)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(0)
print("finished", flush=True)
"""


def test_ctrl_c_stops_a_screening_within_a_couple_of_seconds():
    import signal
    import time

    proc = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert proc.stdout is not None and proc.stdout.readline().strip() == "start"
        time.sleep(3.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 0 and out.strip() == "interrupted", err[-2000:]
    assert waited < 5.0, waited


@pytest.mark.parametrize("largest", [50, 2**58])
def test_candidates_are_made_distinct_and_sorted_by_pair_then_segment(largest):
    # One packed key per candidate where the three fit, rows otherwise:
    # both give numpy's unique of the rows.
    rng = np.random.default_rng(3)
    rows = rng.integers(0, 40, size=(2000, 3))
    rows[:, 2] = rows[:, 2] * (largest // 40)
    rows = np.concatenate([rows, rows[:500]])  # duplicates
    pi, pj, segment = _distinct(rows[:, 0], rows[:, 1], rows[:, 2])
    np.testing.assert_array_equal(np.stack([pi, pj, segment], axis=1), np.unique(rows, axis=0))
