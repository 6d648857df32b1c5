"""Threads: the same conversions run from several Python threads at once give
bit for bit what they give one after the other (no shared mutable state in
the modules), and the modules and the Earth orientation table can be
imported and first used from several threads at once.

Each thread works on its own inputs, so a result computed from another
thread's data (a shared scratch buffer, a cached epoch) would not match. The
interpreter is made to switch threads very often, and the long loops that
run without the interpreter lock (propagation, the vectorized anomaly
conversions) get arrays long enough to take that path.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import velarion.frames
import velarion.iers as iers
from velarion.frames.frames import ENU, Frame, get_GCRF, get_ITRF, get_TEME
from velarion.mathtools.ellipsoid.ellipsoid import WGS84
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4.tle import TLE
from velarion.state import coe
from velarion.state.ephemeris import COEEphemeris
from velarion.state.state import COE, StateVector
from velarion.time.format import format_iso, parse_iso
from velarion.time.time import Time

GCRF, ITRF, TEME = get_GCRF(), get_ITRF(), get_TEME()
THREADS = 6
REPEAT = 5


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.fixture(scope="module", autouse=True)
def standard_edges():
    saved = {f: dict(f.transforms()) for f in (GCRF, ITRF, TEME)}
    velarion.frames.register_standard_transforms()
    yield
    for f, table in saved.items():
        f.transforms().clear()
        f.transforms().update(table)


def inputs(k, n=64):
    """Thread k's own epochs and states."""
    rng = np.random.default_rng(100 + k)
    t = Time.from_mjd(55000.0 + 3000.0 * rng.random(n) + k)
    r = rng.normal(size=(n, 3)) * 7e6
    v = rng.normal(size=(n, 3)) * 7e3
    return t, r, v


def in_threads(work, n=THREADS, repeat=REPEAT):
    """Runs work(k) `repeat` times in each of n threads started together;
    returns every result by thread."""
    barrier = threading.Barrier(n)
    results = [[] for _ in range(n)]
    errors = []

    def run(k):
        try:
            barrier.wait()
            for _ in range(repeat):
                results[k].append(work(k))
        except BaseException as e:  # reported below, in the main thread
            errors.append((k, e))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(n)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(120)
    assert not any(th.is_alive() for th in threads), "a thread did not finish"
    if errors:
        raise errors[0][1]
    return results


def same(a, b):
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    a, b = np.asarray(a), np.asarray(b)
    return np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def _frames(k):
    t, r, v = inputs(k)
    r1, v1 = GCRF.to_ITRF(t, r, v)
    r2, v2 = ITRF.to_TEME(t, r1, v1)
    r3, v3 = GCRF.transform_to("TEME", t, r, v)
    r4, v4 = TEME.to_ITRF(t, r2, v2)
    r5, v5 = ITRF.to_GCRF(t, r4, v4)
    return r1, v1, r2, v2, r3, v3, r5, v5


def _time_scales(k):
    t, _, _ = inputs(k, 500)
    texts = t.iso
    return (
        t.tt.jd12,
        t.ut1.jd12,
        t.tai.mjd,
        Time(texts).jd12,
        t - t[0],
        (t + 10.5).jd12,
        parse_iso(texts),
        format_iso(t.jd1, t.jd2),
    )


def _eop(k):
    e = iers.EOP(np.linspace(50000.0, 60000.0, 300) + k)
    return e.pm_x, e.pm_y, e.dX, e.dY, e.lod, e.ut1_utc


def _propagation(k):
    t, _, _ = inputs(k, 5000)  # long enough to run without the interpreter lock
    sv = StateVector(t[0], [7.0e6 + k * 1e5, 0.0, 0.0], [0.0, 7.3e3, 1.0e3 + k])
    eph = Keplerian().propagate_state(t, sv)
    return eph.r, eph.v, Keplerian(GM=3.9e14 + k).jacobian(eph)


def _anomalies(k):
    rng = np.random.default_rng(k)
    m = rng.uniform(-50, 50, 20000)
    e = 0.1 + 0.1 * k
    return coe.eca_from_mea(m, e), coe.tra_from_mea(m, e), coe.mea_from_tra(m, e)


def _elements(k):
    t, _, _ = inputs(k, 200)
    rng = np.random.default_rng(k)
    n = t.size
    el = dict(
        ecc=rng.uniform(0, 0.9, n),
        sma=rng.uniform(7e6, 4e7, n),
        inc=rng.uniform(0, 3, n),
        raa=rng.uniform(0, 6, n),
        arp=rng.uniform(0, 6, n),
        tra=rng.uniform(0, 6, n),
    )
    el["slr"] = el["sma"] * (1 - el["ecc"] ** 2)
    sv = COEEphemeris(t, **el).to_sv()
    c = COE(t[0], **{k2: float(v[0]) for k2, v in el.items() if k2 != "slr"}).to_sv()
    return sv.r, sv.v, c.r, c.v, StateVector(t[0], c.r, c.v).to_coe().tra


def _enu(k):
    t, r, v = inputs(k)
    e = ENU(0.1 * k, 0.05 * k, 10.0 * k)
    try:
        a = e.to_ITRF(t, r, v)
        b = e.from_ITRF(None, *a)
        return a + b + (e.rot_to_ITRF(), e.r_station_ITRF)
    finally:
        ITRF.remove_transform(e)


def _geodetic(k):
    rng = np.random.default_rng(k)
    r = rng.normal(size=(1000, 3)) * 6.4e6
    lat, lon, alt = WGS84.cartesian_to_geodetic(r)
    return lat, lon, alt, WGS84.geodetic_to_cartesian(lat, lon, alt)


ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)


def _tle(k):
    out = []
    for _ in range(20):
        t = TLE(*ISS)
        out.append((t.inc, t.mnm, t.bstar, t.epoch.jd12))
    return out


WORK = {
    "frames": _frames,
    "time scales": _time_scales,
    "EOP": _eop,
    "propagation": _propagation,
    "anomalies": _anomalies,
    "elements": _elements,
    "ENU": _enu,
    "geodetic": _geodetic,
    "TLE": _tle,
}


@pytest.mark.parametrize("name", list(WORK))
def test_threads_give_the_serial_results(name):
    work = WORK[name]
    serial = [work(k) for k in range(THREADS)]
    for k, runs in enumerate(in_threads(work)):
        assert len(runs) == REPEAT
        for got in runs:
            assert same(got, serial[k]), f"{name}: thread {k} differs from the serial result"


def test_mixed_work_in_threads():
    """Different conversions interleaved: each thread its own kind."""
    names = list(WORK)
    serial = {n: WORK[n](0) for n in names}
    results = in_threads(lambda k: WORK[names[k % len(names)]](0), n=len(names), repeat=3)
    for k, runs in enumerate(results):
        for got in runs:
            assert same(got, serial[names[k % len(names)]]), names[k]


def test_enu_frames_made_in_threads_all_register():
    made = in_threads(lambda k: ENU(0.01 * k, 0.2, 0.0), n=8, repeat=25)
    frames = [e for runs in made for e in runs]
    try:
        table = ITRF.transforms()
        assert all(e in table for e in frames) and len(set(map(id, frames))) == 200
    finally:
        for e in frames:
            ITRF.remove_transform(e)
    assert not any(isinstance(f, ENU) and f in frames for f in ITRF.transforms())


def test_edge_removed_by_another_thread_mid_conversion():
    """One thread takes the edge B -> C away and puts it back while others
    convert A -> B -> C: each conversion gives C's arrays, or fails (no
    route, or KeyError for the vanished edge); never B's arrays as C's."""
    a, b, c = Frame(), Frame(), Frame()

    def ab(t, r, v):
        time.sleep(0)  # let the other threads run between the search and the next hop
        return np.asarray(r) * 2.0, np.asarray(v) * 2.0

    def bc(t, r, v):
        return np.asarray(r) * 3.0, np.asarray(v) * 3.0

    a.register_transform(b, ab)
    b.register_transform(c, bc)
    r, v = np.ones((2, 3)), np.ones((2, 3))
    stop = threading.Event()

    def toggle():
        while not stop.is_set():
            b.remove_transform(c)
            time.sleep(0)
            b.register_transform(c, bc)
            time.sleep(1e-4)  # mostly there

    toggler = threading.Thread(target=toggle)
    toggler.start()
    try:

        def convert(k):
            outcomes = []
            for _ in range(200):
                try:
                    rm, _ = a.transform_to(c, None, r, v)
                    outcomes.append(float(np.asarray(rm)[0, 0]))
                except KeyError as e:
                    assert e.args == (c,)
                    outcomes.append("KeyError")
                except ValueError as e:
                    assert str(e).startswith("No route found")
                    outcomes.append("no route")
            return outcomes

        results = [o for runs in in_threads(convert, n=4, repeat=1) for o in runs[0]]
    finally:
        stop.set()
        toggler.join(60)
    # (Before the mend, some hundredth of the conversions gave 2.0.)
    assert len(results) == 800 and set(results) <= {6.0, "KeyError", "no route"}


def run_fresh(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=240
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


MODULES = [
    "velarion.satellite.satellite",
    "velarion.propagators.analytical.keplerian.keplerian",
    "velarion.frames.frames",
    "velarion.state.ephemeris",
    "velarion.state.state",
    "velarion.propagators.analytical.sgp4.tle",
    "velarion.time.time",
    "velarion.iers",
    "velarion.mathtools.ellipsoid.ellipsoid",
]


@pytest.mark.parametrize("order", ["top first", "bottom first"])
def test_importing_from_threads_at_once(order):
    """In a fresh interpreter, every module imported from two threads at
    once (deepest dependents first or last): no deadlock, no error, one
    module object each, and working conversions afterwards."""
    mods = MODULES if order == "top first" else MODULES[::-1]
    out = run_fresh(f"""
        import importlib, sys, threading
        sys.setswitchinterval(1e-6)
        mods = {mods!r}
        barrier = threading.Barrier(2 * len(mods))
        got, errors = [], []
        def imp(name):
            try:
                barrier.wait()
                got.append((name, importlib.import_module(name)))
            except BaseException as e:
                errors.append((name, repr(e)))
        threads = [threading.Thread(target=imp, args=(m,)) for m in mods for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join(120)
        assert not any(t.is_alive() for t in threads), "import deadlock"
        assert not errors, errors
        for name, mod in got:
            assert mod is sys.modules[name], name
        import numpy as np
        import velarion.frames
        from velarion.frames.frames import Frame, get_GCRF
        from velarion.time.time import Time
        from velarion.propagators.analytical.keplerian.keplerian import Keplerian
        from velarion.state.state import StateVector
        velarion.frames.register_standard_transforms()
        t = Time("2024-03-20T12:00:00")
        r, v = get_GCRF().transform_to("TEME", t, np.array([[7e6, 0, 0.0]]), np.array([[0, 7e3, 0.0]]))
        eph = Keplerian().propagate_state(t + np.arange(3.0), StateVector(t, [7e6, 0, 0], [0, 7.5e3, 0]))
        assert list(Frame._instances) == ["GCRF", "TEME", "ITRF"]
        print("ok", float(r[0, 0]) != 0.0, eph.size)
    """)
    assert out.split() == ["ok", "True", "3"]


def test_zero_table_blocks_in_threads():
    """Threads entering and leaving zero-table blocks at once, overlapping in
    every order: inside its own block a thread gets zeros, outside it the
    table in use, and once all blocks are over every thread gets that table."""
    mjd = np.linspace(58000.0, 59000.0, 50)
    real = iers.EOP(mjd).ut1_utc.copy()
    barrier = threading.Barrier(THREADS)
    errors = []

    def work(k):
        try:
            barrier.wait()
            for j in range(100):
                if (j + k) % 3:
                    with iers.use_zero_table():
                        assert not iers.EOP(mjd).ut1_utc.any()
                assert np.array_equal(iers.EOP(mjd).ut1_utc, real)
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors, errors[:3]
    assert not iers.table().is_zero and np.array_equal(iers.EOP(mjd).ut1_utc, real)


def test_first_eop_use_from_threads_at_once():
    """The Earth orientation table is read once, whichever thread asks first,
    and every thread gets the values a single thread gets."""
    out = run_fresh("""
        import sys, threading
        import numpy as np
        sys.setswitchinterval(1e-6)
        import velarion.iers as iers
        reads = []
        read = iers._read
        def counting(path):
            reads.append(path)
            return read(path)
        iers._read = counting
        mjd = np.linspace(50000.0, 60000.0, 50)
        barrier = threading.Barrier(8)
        results, errors = [None] * 8, []
        def first(k):
            try:
                barrier.wait()
                results[k] = iers.EOP(mjd + k).ut1_utc.copy()
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=first, args=(k,)) for k in range(8)]
        for t in threads: t.start()
        for t in threads: t.join(120)
        assert not errors, errors
        iers._read = read
        for k in range(8):
            assert np.array_equal(results[k], iers.EOP(mjd + k).ut1_utc), k
        print("ok", len(reads))
    """)
    assert out.split() == ["ok", "1"]
