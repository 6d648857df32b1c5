"""Reference leaks: every public entry point, called many times on its success
path and on its failure paths, leaves the interpreter's count of allocated
memory blocks where it was.

Each case is one cheap call (tiny inputs). After a warm-up (caches, the first
read of the Earth orientation table) the blocks are counted, the call is
repeated CALLS times (10,000 by default; VELARION_LEAK_CALLS overrides, the
sanitizer run uses fewer) and the blocks are counted again, with a full
collection around both counts. One leaked reference per call would show as
CALLS blocks; the bound allows only a few dozen (free lists, lazily grown
tables). A case over it gets up to three more windows: free lists fill once
and then stay full, while a leak grows again in every window. Frames caught
in reference cycles are checked separately: once unregistered they must be
freed by the collector.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import gc
import io
import os
import pickle
import sys
import weakref

import numpy as np
import pytest

import velarion.frames
import velarion.iers as iers
from velarion.bodies.bodies import Earth, Moon, Sun, sun_position_gcrf
from velarion.cli import csvio, main
from velarion.conjunctions import _pc, _screen
from velarion.frames.frames import ENU, PIC, RPC, Frame, get_GCRF, get_ITRF, get_TEME
from velarion.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from velarion.mathtools.misc.misc import atan2_asymmetric
from velarion.passes import _search
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4 import SGP4, _compiled
from velarion.propagators.analytical.sgp4.tle import ELSET, TLE
from velarion.propagators.propagators import Propagator
from velarion.satellite.satellite import Satellite
from velarion.state import coe
from velarion.state.ephemeris import COEEphemeris, Ephemeris, GeoStateEphemeris, StateVectorEphemeris
from velarion.state.state import COE, GeoState, State, StateVector
from velarion.time.format import format_iso, parse_iso
from velarion.time.time import Time
from velarion.utils.representable import Representable

CALLS = int(os.environ.get("VELARION_LEAK_CALLS", "10000"))
WARMUP = 200
BOUND = 40  # blocks

GCRF, ITRF, TEME = get_GCRF(), get_ITRF(), get_TEME()
ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)

T1 = Time("2024-03-20T12:00:00")
T2 = Time(["2024-03-20T12:00:00", "2024-03-21T00:00:00"])
T_OLD = Time("1900-01-01")  # before the Earth orientation table
R1 = np.array([[7.0e6, 1.0e5, 2.0e5]])
V1 = np.array([[10.0, 7.5e3, 1.0e2]])
R2 = np.vstack([R1, R1 * 1.1])
V2 = np.vstack([V1, V1 * 0.9])
RO = R1.copy()
RO.flags.writeable = False
RI = np.ones((1, 3), dtype=np.int64)
R1D = np.ones(3)
R_NAN = np.array([[np.nan, 0.0, 7.0e6]])
SV = StateVector(T1, [7.0e6, 0.0, 0.0], [0.0, 7.5e3, 1.0e3])
ELEMENTS = dict(ecc=0.1, sma=7.2e6, inc=0.9, raa=1.0, arp=2.0, tra=0.5)
COE1 = COE(T1, **ELEMENTS)
EPH = StateVectorEphemeris(T2, R2, V2)
KEP = Keplerian()
STATION = ENU(0.1, 0.7, 100.0)
ITRF.remove_transform(STATION)  # kept as a frame, out of the graph
SAT = SGP4(TLE(*ISS))
T_ISS = Time(["2008-09-21T00:00:00", "2008-09-21T00:10:00"])
ARRS = {k: np.array([v, v]) for k, v in ELEMENTS.items()}
ARRS["slr"] = ARRS["sma"] * (1.0 - ARRS["ecc"] ** 2)


class Repr(Representable):
    x = 1
    y = (2.0, "three")

    def _repr_fields(self):
        return ["x", "y"]


class BadRepr(Representable):
    _repr_fields = ("x", "missing")
    x = 1


_SCREEN_R = np.random.default_rng(0).normal(size=(4 * 5, 3)) * 1e5 + 7e6
_SCREEN_V = np.random.default_rng(1).normal(size=(4 * 5, 3)) * 1e3
# Element rows of the compiled SGP4 records: a low orbit and a 12-hour resonant one.
_SGP4_ROWS = np.array(
    [
        [2460310.5, 0.0, 27029.0, 1e-4, 0.0, 0.0, 0.001, 1.0, 0.9, 2.0, 0.0655, 3.0],
        [2460310.5, 0.0, 27029.0, 0.0, 0.0, 0.0, 0.7, 4.7, 1.1, 0.1, 0.00873, 1.0],
    ]
)
_SGP4_JD = np.full(3, 2460310.5)
_SGP4_FR = np.array([0.0, 0.5, 3.0])


def _sgp4_records():
    records, _ = _compiled.sgp4_records(_SGP4_ROWS, b"\x01\x02")
    return (
        _compiled.sgp4_states(records, np.array([1, 0]), _SGP4_JD, _SGP4_FR, 2),
        _compiled.sgp4_points(records, np.array([0, 1, 1]), _SGP4_JD, _SGP4_FR, 2),
        _screen.snap_bounds(np.array([7e6, 2.6e7]), np.array([0.0, 0.7]), 3.986e14),
    )


def _sgp4_catalogue():
    from velarion.propagators.analytical.sgp4 import ELSET, Records

    tle = TLE(*ISS)
    elset = ELSET(tle.epoch, tle.inc, tle.raa, tle.ecc, tle.arp, tle.mea, tle.mnm, bstar=tle.bstar)
    records = Records([tle, elset], ["wgs72", "wgs84"])
    jd, fr = records.elements[0, :2]
    return (
        records.satnums,
        records.gravity,
        records.secular_rates(),
        records.resonance_steps(np.array([0, 1]), np.full(3, jd), fr + _SGP4_FR),
    )


# Two conjunctions for the Pc kernels: relative states, combined covariances,
# both objects' states and 6x6 covariances, hard-body radii.
_PC_R = np.array([[100.0, 0.0, 20.0], [0.0, 300.0, 0.0]])
_PC_V = np.array([[0.0, 1e4, 0.0], [1e4, 0.0, 5e3]])
_PC_C = np.tile(np.diag([1e4, 4e4, 1e4]).ravel(), (2, 1))
_PC_HBR = np.array([[20.0], [5.0]])
_PC_R1 = np.array([[7e6, 0.0, 0.0], [7e6, 0.0, 0.0]])
_PC_V1 = np.array([[0.0, 7546.0, 0.0], [0.0, 7546.0, 0.0]])
_PC_V2 = np.array([[0.0, 3773.0, 6535.0], [0.0, 0.0, 7546.0]])
_PC_C6 = np.tile(np.diag([1e4, 4e4, 1e4, 1e-2, 1e-2, 1e-2]).ravel(), (2, 1))


def raises(exc, f, *args, **kwargs):
    """A call that must fail with `exc`."""

    def call():
        try:
            f(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{f!r} did not raise {exc.__name__}")

    return call


def ok(f, *args, **kwargs):
    return lambda: f(*args, **kwargs)


def _enu_round_trip():
    e = ENU(0.2, -0.4, 10.0)
    r, v = e.to_ITRF(None, R1, V1)
    e.from_ITRF(None, r, v)
    ITRF.remove_transform(e)


def _standard_round_trip():
    r, v = GCRF.to_ITRF(T1, R1, V1)
    r, v = ITRF.to_TEME(T1, r, v)
    r, v = TEME.to_ITRF(T1, r, v)
    ITRF.to_GCRF(T1, r, v)


def _interpolated_cip_round_trip():
    with velarion.frames.interpolated_cip():
        r, v = GCRF.to_ITRF(T2, R2, V2)
        ITRF.to_GCRF(T2, r, v)


def _transform_to_teme():
    GCRF.transform_to("TEME", T1, R1, V1)


def _register_remove():
    f = PIC()
    GCRF.register_transform(f, len)
    GCRF.remove_transform(f)


def _registry():
    f = Frame()
    GCRF.register_transform(f, len)
    GCRF.transforms()
    try:
        Frame.get_route(f, GCRF)  # no edge back: ValueError
    finally:
        GCRF.remove_transform(f)


def _vanished_edge():
    """A hop whose edge its own first hop removes: KeyError, edges put back."""
    a, b, c = Frame(), Frame(), Frame()
    a.register_transform(b, lambda t, r, v: (b.remove_transform(c), (r, v))[1])
    b.register_transform(c, lambda t, r, v: (r, v))
    try:
        a.transform_to(c, T1, R1, V1)
    except KeyError:
        pass
    else:
        raise AssertionError("no KeyError")
    for f in (a, b):
        f.transforms().clear()  # the bound lambdas hold their frames: break the cycles


def _time_views():
    t = T2
    _ = t.utc, t.tai, t.tt, t.ut1
    _ = t.jd12, t.jd, t.mjd, t.jd1, t.jd2, t.iso, t.shape, t.size, t.ndim, t.scale
    t.to_datetime64()


class _Growing(dt.tzinfo):
    """A zone whose utcoffset() appends to the list being read."""

    target = None

    def utcoffset(self, d):
        self.target.append(None)
        return dt.timedelta(0)


GROWING = _Growing()


def _list_changed_by_utcoffset():
    items = [dt.datetime(2024, 3, 20, tzinfo=GROWING)] * 2
    GROWING.target = items
    try:
        Time(items)
    finally:
        GROWING.target = None


class _ShiftedADay(dt.datetime):
    def utcoffset(self):
        return dt.timedelta(days=1)


class _Index:
    def __index__(self):
        return 1


OBJ_UT1 = np.empty(2, dtype=object)
OBJ_UT1[:] = [T1.ut1, T1.ut1 + 1.0]
AWARE = [dt.datetime(2024, 3, 20, 12, tzinfo=dt.timezone(dt.timedelta(hours=2)))] * 2


def _time_arithmetic():
    d = T2 - T1
    t = T2 + 1.5
    t = t - np.array([1.0, 2.0])
    _ = t == T2
    T2[0]
    list(T2)
    len(T2)
    return d


def _pickle_time():
    pickle.loads(pickle.dumps(T2))


def _tle():
    t = TLE(*ISS, name="ISS")
    _ = t.satnum, t.epoch, t.inc, t.mnm, t.bstar, t.lines, t.intldesg, t.name, t._sgp4init_row()
    repr(t)


def _satellite():
    s = Satellite(T1, SV, KEP, EPH, " ISS ", "crewed")
    s.name = "  x "
    s.description = None
    _ = s.time, s.name, s.description


def _states():
    s = StateVector(T1, [7.0e6, 0.0, 0.0], [0.0, 7.5e3, 1.0e3], frame="ITRF")
    c = s.to_coe()
    _ = c.to_sv().r
    _ = s.v, s.GM, s.frame, s.time
    repr(c)
    g = GeoState(T1, 0.5, 0.1, 10.0)
    g.to_sv()
    State(T1, GCRF)


def _ephemerides():
    e = COEEphemeris(T2, **ARRS)
    sv = e.to_sv()
    sv.r, sv.v, sv.size, len(sv), sv[1]
    e[0]
    GeoStateEphemeris(T2, np.array([0.1, 0.2]), np.array([0.3, 0.4]), np.array([1.0, 2.0])).to_sv()


def _ephemeris_members():
    e = COEEphemeris(T2, **ARRS)
    e.tra, e.slr, e.GM, repr(e.to_sv())
    g = GeoStateEphemeris(T2, np.array([0.1, 0.2]), np.array([0.3, 0.4]), np.array([1.0, 2.0]))
    g.lat, g.alt, g[1], g.ell
    Ephemeris.__init__(e, T2, "ITRF")  # same number of epochs: accepted


class NegativeSize(Time):
    @property
    def size(self):
        return -1


T_NEGATIVE = NegativeSize(T1)
COE_NO_MOTION = COE(T1, **{**ELEMENTS, "sma": 1e-200})  # the mean anomaly overflows after 12 h


def _eop():
    e = iers.EOP(np.array([60000.0, 60000.5]))
    _ = e.pm_x, e.ut1_utc, e.lod


def _zero_table():
    with iers.use_zero_table():
        iers.EOP(np.array([10.0]))


def _zero_tables_out_of_order():
    outer, inner = iers.use_zero_table(), iers.use_zero_table()
    outer.__enter__()
    inner.__enter__()
    outer.__exit__(None, None, None)
    iers.EOP(np.array([10.0]))
    inner.__exit__(None, None, None)


_TAB = iers.table()
_LEAP = (_TAB._leap_mjd, _TAB._leap_dat)
_COLUMNS = {k: np.array(getattr(_TAB, k)[:4]) for k in ("mjd", "tai_utc", "pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc")}
_COLUMNS["ut1_tai"] = _COLUMNS["ut1_utc"] - _COLUMNS["tai_utc"]


def _hand_made_table():
    pickle.loads(pickle.dumps(iers.EOPTable("hand-made", _COLUMNS, _LEAP)))


# A record of a NaN B* gives NaN states with no error code of the model's: refused.
_NAN_RECORD = __import__("velarion.propagators.analytical.sgp4", fromlist=["Records"]).Records.from_elements(
    np.array(
        [[2454723.0, 0.51782528, 20722.01782528, np.nan, 0.0, 0.0, 0.0006703, 2.2823, 0.9013, 5.5897, 0.0682, 4.34]]
    )
)


def _misc_vectorized():
    a = np.array([0.0, 1.0, 2.0])
    coe.eca_from_mea(a, 0.3)
    coe.tra_from_mea(a, 0.3)
    coe.mea_from_tra(a, 0.3)
    coe.tra_from_eca(a, 0.3)
    coe.eca_from_tra(a, 0.3)
    coe.mea_from_eca(a, 0.3)
    coe.mnm_from_sma(7.0e6, Earth.GM)


def _ellipsoid():
    e = Ellipsoid(6378137.0, 1 / 298.257223563, "test")
    r = e.geodetic_to_cartesian(np.array([0.1, 0.2]), np.array([0.3, 0.4]), np.array([1.0, 2.0]))
    e.cartesian_to_geodetic(r)
    WGS84.geodetic_to_cartesian(0.1, 0.2, 3.0)
    _ = e.a, e.f, e.b, e.e2, e.name


_NODES = np.column_stack([np.linspace(7e6, 7.1e6, 4), np.zeros((4, 2)), np.ones((4, 3))])
_SATS = np.array([[0.0, 3.0, 60.0]])
_GEOMETRY = np.concatenate([[6.4e6, 0.0, 0.0], np.eye(3).reshape(-1)])[None, :]
_TRACK = np.array([[0.0, 0.0]])

SUCCESS = {
    "Time(text)": ok(Time, "2024-03-20T12:34:56.123456789"),
    "Time(texts, scale)": ok(Time, ["2024-03-20", "2016-12-31T23:59:60.5"], "utc"),
    "Time(datetime)": ok(Time, dt.datetime(2024, 3, 20, 12, tzinfo=dt.timezone.utc)),
    "Time(date)": ok(Time, dt.date(2024, 3, 20)),
    "Time(datetime64 array)": ok(Time, np.array(["2024-03-20T12", "2024-03-21"], dtype="datetime64[ns]")),
    "Time(Time, scale)": ok(Time, T2, "tt"),
    "Time.from_jd": ok(Time.from_jd, np.array([2460000.5]), 0.25, "tai"),
    "Time.from_mjd": ok(Time.from_mjd, 60000.5),
    "Time views": _time_views,
    "Time repr/str": lambda: (repr(T2), str(T2), repr(T1)),
    "Time(aware datetimes)": ok(Time, AWARE),
    "Time(objects holding UT1 Times)": ok(Time, OBJ_UT1, "utc"),
    "Time.from_jd far split": ok(Time.from_jd, 2.0**60, 2458112.0 - 2.0**60),
    "Time indexing read once": lambda: (T2[_Index()], T2[_Index() :], T2[(_Index(),)], T2[[0, 1]]),
    "format_iso broadcast, decimals by __index__": ok(
        format_iso, np.array([2460000.5, 2460001.5]), 0.25, "utc", np.int64(3)
    ),
    "Time arithmetic": _time_arithmetic,
    "Time pickle": _pickle_time,
    "parse_iso/format_iso": lambda: format_iso(*parse_iso(np.array(["2024-03-20T12:00", "1999-01-01"]))),
    "format_iso scalar": ok(format_iso, 2460000.5, 0.5, "tt", 3),
    "EOP": _eop,
    "Pc foster": ok(_pc.foster, _PC_R, _PC_V, _PC_C, _PC_HBR, 0, 2),
    "Pc chan": ok(_pc.chan, _PC_R, _PC_V, _PC_C, _PC_HBR, 0, 2),
    "Pc alfano": ok(_pc.alfano, _PC_R, _PC_V, _PC_C, _PC_HBR, 0, 2),
    # Unbound orbits: the arrays and statuses come back without the integral's cost.
    "Pc hall": ok(_pc.hall, _PC_R1, _PC_V1 * 2, _PC_C6, _PC_R1 + _PC_R, _PC_V2, _PC_C6, _PC_HBR, 3.986e14, 2),
    "Pc monte carlo": ok(
        _pc.monte_carlo, _PC_R1, _PC_V1, _PC_C6, _PC_R1 + _PC_R, _PC_V2, _PC_C6, _PC_HBR, 3.986e14, 100, 1, 2
    ),
    "conjunction candidates": ok(
        _screen.candidates,
        _SCREEN_R,
        _SCREEN_V,
        60.0,
        3,
        np.full(4, 1e4),
        np.full(4, 6e6),
        np.full(4, 8e6),
        5e3,
        b"\x01\x00\x00\x00",
        2,
    ),
    "sun_position_gcrf": ok(sun_position_gcrf, T2),
    "pass search": lambda: _search.find_events(
        _search.hermite_table(_NODES, _SATS),
        _SATS,
        _GEOMETRY,
        np.repeat(_TRACK, 3, axis=0),
        180.0,
        10.0,
        0.1,
        2.0,
        50.0,
        2,
    ),
    "SGP4 records, states, points": _sgp4_records,
    "SGP4 catalogue of element sets": _sgp4_catalogue,
    "EOP zero table": _zero_table,
    "EOP zero tables ended out of order": _zero_tables_out_of_order,
    "EOPTable hand-made, pickled": _hand_made_table,
    "iers.table": ok(iers.table),
    "atan2_asymmetric": ok(atan2_asymmetric, -1.0, 0.5),
    "coe conversions": _misc_vectorized,
    "Ellipsoid": _ellipsoid,
    "bodies": lambda: (Earth.GM, Earth.J2, Sun.radius, Moon.name, Earth()),
    "Representable": lambda: repr(Repr()),
    "states": _states,
    "ephemerides": _ephemerides,
    "ephemeris members": _ephemeris_members,
    "Kepler huge mean anomalies": lambda: (
        coe.eca_from_mea(np.array([1e300, -5e17, 1e20]), 0.3),
        coe.tra_from_mea(-1e300, 0.3),
    ),
    "TLE": _tle,
    "ELSET": ok(ELSET, T1, 0.9, 1.0, 0.001, 2.0, 3.0, 1.1e-3, name="x"),
    "Keplerian.propagate_state": ok(KEP.propagate_state, T2, SV),
    "Keplerian.propagate_state(COE)": ok(Keplerian(GM=4.0e14).propagate_state, T1, COE1, extra=1),
    "Keplerian.jacobian": ok(KEP.jacobian, EPH),
    "SGP4.propagate": lambda: (SAT.propagate(T_ISS), SGP4().propagate_state(T_ISS, TLE(*ISS))),
    "Satellite": _satellite,
    "standard conversions": _standard_round_trip,
    "transform_to GCRF->TEME": _transform_to_teme,
    "standard conversions, interpolated CIP": _interpolated_cip_round_trip,
    "ENU round trip": _enu_round_trip,
    "ENU rotations": lambda: (STATION.rot_to_ITRF(), STATION.rot_from_ITRF(), STATION.r_station_ITRF, STATION.ell),
    "Frame registry": lambda: (Frame["gcrf"], Frame.is_frame("TEME"), GCRF.name, Frame().name, hash(GCRF)),
    "Frame routes": lambda: (Frame.get_route("GCRF", "TEME"), Frame.get_route(ITRF, ITRF)),
    "register/remove": lambda: _register_remove(),
    "ENU.to_ITRF NaN rows": ok(STATION.to_ITRF, None, R_NAN, V1),
    "PIC/RPC": lambda: (PIC(1, x=2), RPC(None, R2.copy(), V2.copy(), GCRF)),
    "frame accessors": lambda: (get_GCRF(), get_TEME(), get_ITRF(), get_GCRF.__annotations__),
    "ENU rows without epochs": ok(STATION.from_ITRF, T1, R2, V2),
}

FAILURE = {
    "Pc foster, short covariances": raises(ValueError, _pc.foster, _PC_R, _PC_V, _PC_C[:1], _PC_HBR, 0, 2),
    "Pc foster, NaN": raises(ValueError, _pc.foster, _PC_R * np.nan, _PC_V, _PC_C, _PC_HBR, 0, 2),
    "Pc hall, bad mu": raises(ValueError, _pc.hall, _PC_R1, _PC_V1, _PC_C6, _PC_R1, _PC_V2, _PC_C6, _PC_HBR, -1.0, 1),
    "Pc monte carlo, no samples": raises(
        ValueError, _pc.monte_carlo, _PC_R1, _PC_V1, _PC_C6, _PC_R1, _PC_V2, _PC_C6, _PC_HBR, 3.986e14, 0, 1, 1
    ),
    "sun_position_gcrf wrong type": raises(TypeError, sun_position_gcrf, "2024-03-20"),
    "pass search, track out of range": raises(
        ValueError, _search.find_events, np.zeros((8, 3)), _SATS, _GEOMETRY, _TRACK + 1, 180.0, 10.0, 0.1, 2.0, 50.0, 1
    ),
    "hermite_table, too few intervals": raises(ValueError, _search.hermite_table, _NODES, _SATS - [0, 1, 0]),
    "SGP4 states, not a record": raises(
        IndexError,
        lambda: _compiled.sgp4_states(_compiled.sgp4_records(_SGP4_ROWS, 1)[0], np.array([2]), _SGP4_JD, _SGP4_FR, 1),
    ),
    "conjunction candidates, short rows": raises(
        ValueError,
        _screen.candidates,
        _SCREEN_R[:-1],
        _SCREEN_V[:-1],
        60.0,
        3,
        np.ones(4),
        np.ones(4),
        np.ones(4),
        5e3,
        None,
        1,
    ),
    "Time malformed text": raises(ValueError, Time, "2024-03-20X12"),
    "Time invalid date": raises(ValueError, Time, "2023-02-29"),
    "Time leap second on a day without one": raises(ValueError, Time, "2024-03-20T23:59:60"),
    "Time malformed text in a list": raises(ValueError, Time, ["2024-03-20", "nope"]),
    "Time unknown scale": raises(ValueError, Time, "2024-03-20", "gps"),
    "Time wrong type": raises(TypeError, Time, object()),
    "Time None": raises(TypeError, Time, None),
    "Time aware datetime in tt": raises(ValueError, Time, dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc), "tt"),
    "Time.from_jd wrong type": raises(TypeError, Time.from_jd, "x"),
    "Time.from_jd outside": raises(ValueError, Time.from_jd, 1e300, 1.0),
    "Time utcoffset() of a day": raises(ValueError, Time, _ShiftedADay(2024, 3, 20, tzinfo=dt.timezone.utc)),
    "Time list changed by utcoffset()": raises(RuntimeError, _list_changed_by_utcoffset),
    "Time float index": raises(IndexError, lambda: T2[1.5]),
    "format_iso out of range": raises(ValueError, format_iso, np.array([2451545.0, 1e300])),
    "Time + text": raises(TypeError, lambda: T1 + "x"),
    "Time index out of range": raises(IndexError, lambda: T2[5]),
    "Time - mismatched shapes": raises(ValueError, lambda: T2 - Time(["2024-01-01"] * 3)),
    "parse_iso wrong type": raises(TypeError, parse_iso, 5),
    "parse_iso float array": raises(TypeError, parse_iso, np.array([1.0])),
    "parse_iso malformed": raises(ValueError, parse_iso, "2024-3-20"),
    "format_iso wrong type": raises(TypeError, format_iso, "x"),
    "EOP out of range": raises(iers.EOPRangeError, iers.EOP, np.array([15000.0])),
    "EOP NaN": raises(ValueError, iers.EOP, np.array([np.nan])),
    "set_out_of_range bad mode": raises(ValueError, iers.set_out_of_range, "clip"),
    "EOPTable rebound": raises(AttributeError, setattr, _TAB, "mjd", np.zeros(3)),
    "EOPTable bad columns": raises(ValueError, iers.EOPTable, "x", {**_COLUMNS, "lod": np.zeros(2)}, _LEAP),
    "atan2_asymmetric wrong type": raises(TypeError, atan2_asymmetric, "a", 1.0),
    "coe wrong type": raises(TypeError, coe.eca_from_mea, "a", 0.1),
    "Ellipsoid wrong type": raises(TypeError, Ellipsoid, "a", 0.0),
    "Ellipsoid wrong shape": raises(ValueError, WGS84.cartesian_to_geodetic, np.ones((2, 2))),
    "Ellipsoid None": raises(TypeError, WGS84.cartesian_to_geodetic, None),
    "StateVector short r": raises(ValueError, StateVector, T1, [1.0, 2.0], [0.0, 0.0, 0.0]),
    "StateVector NaN": raises(ValueError, StateVector, T1, [np.nan, 0.0, 1.0], [0.0, 0.0, 0.0]),
    "StateVector unknown frame": raises(KeyError, StateVector, T1, [7e6, 0.0, 0.0], [0.0, 7e3, 0.0], "NOPE"),
    "StateVector zero r to_coe": raises(ValueError, StateVector(T1, [0.0, 0.0, 0.0], [1.0, 0.0, 0.0]).to_coe),
    "COE missing element": raises(TypeError, COE, T1, ecc=0.1),
    "COE NaN": raises(ValueError, COE, T1, **{**ELEMENTS, "sma": np.nan}),
    "ephemeris rows vs epochs": raises(ValueError, StateVectorEphemeris, T1, R2, V2),
    "ephemeris int dtype": raises(ValueError, StateVectorEphemeris, T1, RI, RI),
    "ephemeris None": raises(TypeError, StateVectorEphemeris, T1, None, V1),
    "COEEphemeris unequal lengths": raises(ValueError, COEEphemeris, T2, **{**ARRS, "ecc": np.array([0.1])}),
    "Ephemeris.__init__ other epoch count": raises(ValueError, Ephemeris.__init__, EPH, T1, None),
    "ephemeris negative time.size": raises(ValueError, StateVectorEphemeris, T_NEGATIVE, R1, V1),
    "state negative time.size": raises(ValueError, State, T_NEGATIVE, None),
    "TLE malformed line": raises(ValueError, TLE, ISS[0][:40], ISS[1]),
    "TLE bad checksum": raises(ValueError, TLE, ISS[0][:68] + "0", ISS[1]),
    "TLE wrong type": raises(TypeError, TLE, 1, 2),
    "ELSET out of range": raises(ValueError, ELSET, T1, 0.9, 1.0, 1.5, 2.0, 3.0, 1e-3),
    "Propagator base": raises(NotImplementedError, Propagator().propagate, T1, SV),
    "Keplerian hyperbolic": raises(
        NotImplementedError, KEP.propagate_state, T1, COE(T1, **{**ELEMENTS, "ecc": 1.5, "sma": -7e6})
    ),
    "Keplerian state None": raises((TypeError, AttributeError), KEP.propagate_state, T1, None),
    "Keplerian bad time": raises(ValueError, KEP.propagate_state, "never", SV),
    "Keplerian.jacobian None": raises(TypeError, KEP.jacobian, None),
    "Keplerian no mean motion": raises(ValueError, Keplerian(GM=-1.0).propagate_state, T1, COE1),
    "Keplerian mean anomaly overflow": raises(ValueError, KEP.propagate_state, T2, COE_NO_MOTION),
    "SGP4 wrong element set": raises(TypeError, SGP4, SV),
    "SGP4 unknown gravity": raises(ValueError, SGP4, TLE(*ISS), "wgs99"),
    "SGP4 no element set": raises(TypeError, SGP4().propagate, T_ISS),
    "SGP4 non-finite state": raises(ValueError, SAT.teme_arrays, T_ISS, _NAN_RECORD),
    "SGP4 catalogue, not an element set": raises(TypeError, _NAN_RECORD.__class__, [TLE(*ISS), 1.0]),
    "SGP4 catalogue, unknown gravity": raises(ValueError, _NAN_RECORD.__class__, [TLE(*ISS)], ["wgs99"]),
    "ELSET two epochs": raises(ValueError, ELSET, T2, 0.9, 1.0, 0.001, 2.0, 3.0, 1e-3),
    "Satellite wrong propagator": raises(TypeError, Satellite, T1, SV, 5),
    "Satellite bad time": raises(ValueError, Satellite, "2024-13-01", SV),
    "Satellite name type": raises(TypeError, setattr, Satellite(T1, SV), "name", 5),
    "Satellite del name": raises(NotImplementedError, delattr, Satellite(T1, SV), "name"),
    "Satellite pickle": raises(TypeError, pickle.dumps, Satellite(T1, SV)),
    "to_ITRF wrong ndim": raises(ValueError, GCRF.to_ITRF, T1, R1D, R1D),
    "to_ITRF int dtype": raises(ValueError, GCRF.to_ITRF, T1, RI, RI),
    "to_ITRF read-only": raises((ValueError, TypeError), GCRF.to_ITRF, T1, RO, V1),
    "to_ITRF None array": raises((ValueError, TypeError), ITRF.to_GCRF, T1, None, V1),
    "to_ITRF bad time": raises(TypeError, GCRF.to_ITRF, "2024-03-20", R1, V1),
    "to_ITRF None time": raises(AttributeError, GCRF.to_ITRF, None, R1, V1),
    "to_ITRF fewer rows than epochs": raises(ValueError, GCRF.to_ITRF, T2, R1, V1),
    "to_ITRF more rows than epochs": raises(ValueError, GCRF.to_ITRF, T1, R2, V2),
    "to_TEME more columns": raises(ValueError, ITRF.to_TEME, T1, np.ones((1, 4)), V1),
    "transform_to vanished edge": _vanished_edge,
    "ENU velocity rows": raises(ValueError, STATION.to_ITRF, None, R2, V1),
    "ENU more columns": raises(ValueError, STATION.from_ITRF, None, np.ones((1, 4)), np.ones((1, 4))),
    "ENU latitude in degrees": raises(ValueError, ENU, 5.1453, 50.0006, 385.0),
    "Ellipsoid latitude in degrees": raises(ValueError, WGS84.geodetic_to_cartesian, 50.0, 5.0, 0.0),
    "to_ITRF EOP out of range": raises(iers.EOPRangeError, GCRF.to_ITRF, T_OLD, R1, V1),
    "to_TEME EOP out of range": raises(iers.EOPRangeError, ITRF.to_TEME, T_OLD, R1, V1),
    "TEME to_ITRF read-only": raises((ValueError, TypeError), TEME.to_ITRF, T1, R1, RO),
    "transform_to unknown frame": raises(KeyError, GCRF.transform_to, "NOPE", T1, R1, V1),
    "transform_to no route": raises(ValueError, GCRF.transform_to, PIC(), T1, R1, V1),
    "transform_to wrong dtype": raises(ValueError, GCRF.transform_to, "TEME", T1, RI, RI),
    "Frame[] wrong type": raises(TypeError, lambda: Frame[5]),
    "Frame[] unknown": raises(KeyError, lambda: Frame["ENU"]),
    "remove_transform missing": raises(KeyError, GCRF.remove_transform, Frame()),
    "register_transform None": raises(TypeError, GCRF.register_transform, None, len),
    "get_route no route": raises(ValueError, _registry),
    "ENU bad ellipsoid": raises(TypeError, ENU, 0.1, 0.2, 0.0, None),
    "ENU bad float": raises(TypeError, ENU, "x", 0.2, 0.0),
    "ENU NaN": raises(ValueError, ENU, np.nan, 0.2, 0.0),
    "ENU.to_ITRF wrong ndim": raises(ValueError, STATION.to_ITRF, None, R1D, R1D),
    "ENU.from_ITRF bad time": raises(TypeError, STATION.from_ITRF, 5, R1, V1),
    "RPC read-only": raises((ValueError, TypeError), RPC, None, RO, V1, None),
    "RPC wrong count": raises(TypeError, RPC, None, R1, V1),
    "frame pickle": raises(TypeError, pickle.dumps, GCRF),
    "Representable missing field": raises(AttributeError, repr, BadRepr()),
}

CASES = {**{f"ok: {k}": v for k, v in SUCCESS.items()}, **{f"fail: {k}": v for k, v in FAILURE.items()}}


@pytest.fixture(scope="module")
def csv_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("csv")
    good, bad = d / "good.csv", d / "bad.csv"
    good.write_text(
        "time,x,y,z,vx,vy,vz\n2024-03-20T12:00:00,7e6,0,0,0,7.5e3,0\n2024-03-20T12:01:00,7e6,4.5e5,0,-480,7.5e3,0\n"
    )
    (d / "marked.csv").write_bytes(b"\xef\xbb\xbf" + good.read_bytes())
    (d / "underscore.csv").write_text(good.read_text().replace("4.5e5", "4_5e5"))
    bad.write_text("time,x,y,z,vx,vy,vz\n2024-03-20T12:00:00,7e6,0,0,0,7.5e3,0\n2024-02-30T00:00:00,1,2,3,4,5,6\n")
    return str(good), str(bad)


@pytest.mark.parametrize("bad", [False, True], ids=["ok", "fail"])
def test_csv_reader_blocks_stay_flat(csv_files, bad):
    """The command line's ephemeris reader (a file read per call: fewer calls)."""
    path = csv_files[bad]
    if bad:
        call = raises(csvio.InputError, csvio.read_ephemeris, path)
    else:

        def call():
            table = csvio.read_ephemeris(path)
            csvio.format_rows(table.time, table.r, table.v)

    assert_flat(f"csv reader {'fail' if bad else 'ok'}", call, max(CALLS // 5, 500))


@pytest.fixture(scope="module", autouse=True)
def standard_edges():
    """The four standard edges for the duration of this module, then the
    tables as they were."""
    saved = {f: dict(f.transforms()) for f in (GCRF, ITRF, TEME)}
    velarion.frames.register_standard_transforms()
    yield
    for f, table in saved.items():
        f.transforms().clear()
        f.transforms().update(table)


@pytest.fixture
def clean_gcrf_table():
    """Cases that register edges on GCRF take them out again."""
    before = dict(GCRF.transforms())
    yield
    GCRF.transforms().clear()
    GCRF.transforms().update(before)


def growth(call, n):
    """Allocated blocks before and after n calls (after a warm-up). The heap
    that was there before is frozen meanwhile, so that the collections see
    only what the calls made."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    gc.freeze()
    try:
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(n):
            call()
        gc.collect()
        after = sys.getallocatedblocks()
    finally:
        gc.unfreeze()
    return before, after


def assert_flat(name, call, n, windows=4):
    """Blocks stay flat over n calls. Free lists (tuples of each size,
    floats, dicts) keep up to some thousands of freed blocks for reuse, and a
    varied workload fills them over many calls: a further window, with them
    already filled, tells that from a leak, which grows again by the same
    amount every time."""
    for window in range(windows):
        before, after = growth(call, n)
        print(f"\n[leaks] {name}: window {window + 1}, {n} calls, blocks {before} -> {after} ({after - before:+d})")
        if after - before < BOUND:
            return
    raise AssertionError(f"{name}: {after - before} blocks more after {n} calls, in each of {windows} windows")


@pytest.mark.parametrize("name", list(CASES))
def test_blocks_stay_flat(name, clean_gcrf_table):
    assert_flat(name, CASES[name], CALLS)


COMMANDS = {
    "convert ITRF->ENU": [
        "convert",
        "{good}",
        "--from",
        "ITRF",
        "--to",
        "ENU",
        "--lat",
        "50",
        "--lon",
        "5",
        "--alt",
        "100",
    ],
    "convert GCRF->TEME": ["convert", "{good}", "--from", "GCRF", "--to", "TEME"],
    "convert bad row": ["convert", "{bad}", "--from", "GCRF", "--to", "ITRF"],
    "convert unknown frame": ["convert", "{good}", "--from", "GCRF", "--to", "NOPE"],
    "propagate TLE to ENU": [
        "propagate",
        "--line1",
        ISS[0],
        "--line2",
        ISS[1],
        "--start",
        "2008-09-21",
        "--hours",
        "0.1",
        "--step",
        "60",
        "--to",
        "ENU",
        "--lat",
        "50",
        "--lon",
        "5",
    ],
    "convert file with a byte-order mark": ["convert", "{marked}", "--from", "GCRF", "--to", "TEME"],
    "convert bad number": ["convert", "{underscore}", "--from", "GCRF", "--to", "ITRF"],
    "propagate bad -o": ["propagate", "--line1", ISS[0], "--line2", ISS[1], "-o", "{folder}"],
    "propagate state in kilometres": [
        "propagate",
        "--coe",
        "6790",
        "0",
        "51.6",
        "0",
        "0",
        "0",
        "--epoch",
        "2024-03-20",
    ],
}


@pytest.mark.parametrize("name", list(COMMANDS))
def test_command_line_blocks_stay_flat(csv_files, name):
    """Whole command-line runs (a parser built per run: fewer calls); the
    ENU frames they make for a station must not stay in ITRF's table."""
    good, bad = csv_files
    folder = os.path.dirname(good)
    paths = dict(
        good=good,
        bad=bad,
        folder=folder,
        marked=os.path.join(folder, "marked.csv"),
        underscore=os.path.join(folder, "underscore.csv"),
    )
    argv = [a.format(**paths) for a in COMMANDS[name]]
    expected = 1 if "bad" in name or "unknown" in name or "kilometres" in name else 0

    def call():
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as err:
            status = main(argv)
        assert status == expected, err.getvalue()

    table = len(ITRF.transforms())
    assert_flat(name, call, max(CALLS // 20, 200))
    assert len(ITRF.transforms()) == table


class MyENU(ENU):
    pass


class MyFrame(Frame):
    def to_GCRF(self, time, r, v):
        return r, v


def test_unregistered_enu_frames_are_collected():
    """ENU frames hold themselves through their own table and ITRF holds
    them too: once removed from ITRF, the collector frees them."""
    gc.collect()
    refs = []
    for k in range(50):
        e = MyENU(0.01 * k, 0.5, 0.0)
        refs.append(weakref.ref(e))
        assert e in ITRF.transforms()
        ITRF.remove_transform(e)
    del e
    gc.collect()
    assert all(r() is None for r in refs)


def test_registered_enu_frames_live_while_registered():
    e = MyENU(0.3, 0.2, 5.0)
    ref = weakref.ref(e)
    del e
    gc.collect()
    assert ref() is not None  # ITRF's table keeps it
    ITRF.remove_transform(ref())
    gc.collect()
    assert ref() is None


def test_frames_linked_by_bound_methods_are_collected():
    """A ring of frames whose tables hold each other's bound methods."""
    gc.collect()
    frames = [MyFrame() for _ in range(5)]
    for a, b in zip(frames, frames[1:] + frames[:1], strict=True):
        a.register_transform(b, b.to_GCRF)
        b.register_transform(a, a.to_GCRF)
    refs = [weakref.ref(f) for f in frames]
    del frames, a, b
    gc.collect()
    assert all(r() is None for r in refs)


def test_cycles_through_enu_do_not_grow_the_heap():
    def call():
        e = ENU(0.4, 0.4, 0.0)
        e.register_transform(GCRF, e.to_ITRF)
        ITRF.remove_transform(e)

    assert_flat("ENU cycles", call, CALLS // 4)
