"""Arrays in any memory layout: every entry point that takes float64 arrays
reads a misaligned array (a view at an odd byte offset, or with strides that
are not a multiple of eight bytes) exactly like the same values aligned, and
writes misaligned outputs. Reading such memory through a double& is undefined
behaviour (the sanitized build aborts), so each case runs in a child process.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


def offset_by_one(a: np.ndarray) -> np.ndarray:
    """The values of `a` in memory one byte past an aligned address."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    out = np.zeros(a.nbytes + 1, np.uint8)[1:].view(np.float64).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def odd_strides(a: np.ndarray) -> np.ndarray:
    """The values of `a` with rows 8*columns+3 bytes apart, from an odd address."""
    a = np.asarray(a, dtype=np.float64)
    rows = a.reshape(len(a), -1)
    row_bytes = 8 * rows.shape[1] + 3
    raw = np.zeros(row_bytes * len(rows) + 1, np.uint8)
    out = np.ndarray(rows.shape, np.float64, buffer=raw, offset=1, strides=(row_bytes, 8))
    out[...] = rows
    assert not out.flags.aligned
    return out.reshape(a.shape) if a.ndim > 1 else out[:, 0]


LAYOUTS = {"offset": offset_by_one, "odd strides": odd_strides}


def _cases(layout):
    """name -> call(array-maker) returning the results to compare."""
    from velarion import iers
    from velarion.conjunctions import _screen
    from velarion.frames import register_standard_transforms
    from velarion.frames.frames import ENU, get_GCRF, get_ITRF, get_TEME
    from velarion.mathtools.ellipsoid.ellipsoid import WGS84
    from velarion.passes import _search
    from velarion.propagators.analytical.sgp4 import _compiled
    from velarion.state import coe
    from velarion.state.ephemeris import StateVectorEphemeris
    from velarion.time.time import Time

    rng = np.random.default_rng(7)
    t = Time(["2024-03-20T12:00:00", "2024-03-21T00:00:00", "2024-03-22T06:30:00"])
    r = rng.normal(size=(3, 3)) * 1e6 + 7e6
    v = rng.normal(size=(3, 3)) * 1e3
    station = ENU(0.1, 0.7, 100.0)
    get_ITRF().remove_transform(station)
    register_standard_transforms()
    rows = np.array(
        [
            [2460310.5, 0.0, 27029.0, 1e-4, 0.0, 0.0, 0.001, 1.0, 0.9, 2.0, 0.0655, 3.0],
            [2460310.5, 0.0, 27029.0, 0.0, 0.0, 0.0, 0.7, 4.7, 1.1, 0.1, 0.00873, 1.0],
        ]
    )
    jd, fr = np.full(3, 2460310.5), np.array([0.0, 0.5, 3.0])
    records = _compiled.sgp4_records(rows, b"\x01\x02")[0]
    nodes = np.column_stack([np.linspace(7e6, 7.1e6, 4), np.zeros((4, 2)), np.ones((4, 3))])
    sats = np.array([[0.0, 3.0, 60.0]])
    geometry = np.concatenate([[6.4e6, 0.0, 0.0], np.eye(3).reshape(-1)])[None, :]
    table = _search.hermite_table(nodes, sats)
    screen_r = rng.normal(size=(20, 3)) * 1e5 + 7e6
    screen_v = rng.normal(size=(20, 3)) * 1e3

    cases = {
        "ENU.to_ITRF": lambda m: station.to_ITRF(t, m(r), m(v)),
        "ENU.from_ITRF": lambda m: station.from_ITRF(t, m(r), m(v)),
        "GCRF.to_ITRF": lambda m: get_GCRF().to_ITRF(t, m(r), m(v)),
        "ITRF.to_GCRF": lambda m: get_ITRF().to_GCRF(t, m(r), m(v)),
        "TEME.to_ITRF": lambda m: get_TEME().to_ITRF(t, m(r), m(v)),
        "transform_to": lambda m: tuple(np.asarray(x) for x in get_GCRF().transform_to(get_TEME(), t, m(r), m(v))),
        "EOP": lambda m: (lambda e: (e.pm_x, e.ut1_utc, e.lod))(iers.EOP(m(np.array([60000.0, 60000.5, 60300.25])))),
        "sgp4_records": lambda m: _compiled.sgp4_records(m(rows), b"\x01\x02")[1],
        "sgp4_states": lambda m: _compiled.sgp4_states(records, np.array([1, 0]), m(jd), m(fr), 2),
        "sgp4_points": lambda m: _compiled.sgp4_points(records, np.array([0, 1, 1]), m(jd), m(fr), 2),
        "snap_bounds": lambda m: _screen.snap_bounds(m(np.array([7e6, 2.6e7])), m(np.array([0.0, 0.7])), 3.986e14),
        "candidates": lambda m: _screen.candidates(
            m(screen_r),
            m(screen_v),
            60.0,
            3,
            m(np.full(4, 1e4)),
            m(np.full(4, 6e6)),
            m(np.full(4, 8e6)),
            5e3,
            b"\x01\x00\x00\x00",
            2,
        ),
        "hermite_table": lambda m: _search.hermite_table(m(nodes), m(sats)),
        "Time.from_jd": lambda m: (lambda x: (x.jd1, x.jd2))(Time.from_jd(m(jd), m(fr), scale="tt")),
        "cartesian_to_geodetic": lambda m: WGS84.cartesian_to_geodetic(m(r)),
        "geodetic_to_cartesian": lambda m: WGS84.geodetic_to_cartesian(m(v[:, 0] * 1e-3), m(v[:, 1]), m(r[:, 2])),
        "tra_from_mea": lambda m: coe.tra_from_mea(m(v[:, 0]), m(np.array([0.1, 0.5, 0.9]))),
        "StateVectorEphemeris": lambda m: (lambda e: (e.r, e.v))(StateVectorEphemeris(t, m(r), m(v))),
        "find_events": lambda m: _search.find_events(
            m(table), m(sats), m(geometry), m(np.zeros((3, 2))), 180.0, 10.0, 0.1, 2.0, 50.0, 2
        ),
    }
    return cases


ENTRY_POINTS = [
    "ENU.to_ITRF",
    "ENU.from_ITRF",
    "GCRF.to_ITRF",
    "ITRF.to_GCRF",
    "TEME.to_ITRF",
    "transform_to",
    "EOP",
    "sgp4_records",
    "sgp4_states",
    "sgp4_points",
    "snap_bounds",
    "candidates",
    "hermite_table",
    "find_events",
    "Time.from_jd",
    "cartesian_to_geodetic",
    "geodetic_to_cartesian",
    "tra_from_mea",
    "StateVectorEphemeris",
]


def flatten(result):
    if isinstance(result, (tuple, list)):
        return [x for item in result for x in flatten(item)]
    return [np.asarray(result)]


def run_case(name: str, layout: str) -> None:
    """Child side: the call on misaligned arrays gives the aligned call's results, bit for bit."""
    call = _cases(layout)[name]
    expected = flatten(call(np.ascontiguousarray))
    got = flatten(call(LAYOUTS[layout]))
    assert len(got) == len(expected)
    for g, e in zip(got, expected, strict=True):
        np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("name", ENTRY_POINTS)
def test_misaligned_inputs_read_like_aligned(name, layout):
    here = os.path.dirname(os.path.abspath(__file__))
    code = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {here!r})
        import test_buffers
        test_buffers.run_case({name!r}, {layout!r})
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]


def _huge(rows: int, misaligned: bool) -> np.ndarray:
    """(rows, 3) float64 that takes no memory: one row broadcast (stride 0),
    from an odd address when `misaligned`."""
    row = offset_by_one(np.array([7e6, 1e5, 2e5])) if misaligned else np.array([7e6, 1e5, 2e5])
    return np.broadcast_to(row, (rows, 3))


HUGE_CALLS = {
    "ENU.to_ITRF": "station.to_ITRF(t1, big, big)",
    "GCRF.to_ITRF": "get_GCRF().to_ITRF(t1, big, big)",
    "TEME.to_ITRF": "get_TEME().to_ITRF(t1, big, big)",
    "transform_to": "get_GCRF().transform_to(get_TEME(), t1, big, big)",
    "EOP": "iers.EOP(big[:, 1])",
}


@pytest.mark.parametrize("misaligned", [False, True], ids=["aligned", "misaligned"])
@pytest.mark.parametrize("name", sorted(HUGE_CALLS))
def test_requests_beyond_memory_raise_memory_error_with_a_message(name, misaligned):
    # 2^31 rows (48 GiB of results) under a 3 GiB address space: refused with
    # a MemoryError that says what could not be allocated, never an abort.
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's address-space reservations defeat RLIMIT_AS")
    here = os.path.dirname(os.path.abspath(__file__))
    code = textwrap.dedent(
        f"""
        import resource, sys
        sys.path.insert(0, {here!r})
        import numpy as np
        import test_buffers
        from velarion import iers
        from velarion.frames import register_standard_transforms
        from velarion.frames.frames import ENU, get_GCRF, get_ITRF, get_TEME
        from velarion.time.time import Time
        register_standard_transforms()
        station = ENU(0.1, 0.7, 100.0)
        t1 = Time("2024-03-20T12:00:00")
        big = test_buffers._huge(2**31, {misaligned})
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))
        try:
            {HUGE_CALLS[name]}
        except MemoryError as e:
            assert str(e), "a MemoryError without a message"
            print(type(e).__name__, e)
        else:
            raise SystemExit("no error")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1"},
    )
    assert done.returncode == 0, done.stderr[-3000:]
