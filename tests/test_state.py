"""Single-epoch states of velarion.state.state and their element conversions.

Oracles: the textbook position/velocity <-> elements formulas written here in
NumPy (perifocal frame and 3-1-3 rotation one way, the acos-with-quadrant
recipe the other), and physical invariants (energy, angular momentum) that
any correct conversion keeps.
"""

import inspect
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velarion.bodies.bodies import Earth, Moon
from velarion.mathtools.ellipsoid.ellipsoid import GRS80, WGS84
from velarion.state.state import COE, GeoState, State, StateVector
from velarion.time.time import Time

GM = 398600.4418e9
T0 = Time("2024-03-20T12:00:00")


def elements_to_rv(ecc, sma, inc, raa, arp, tra, gm=GM):
    p = sma * (1.0 - ecc * ecc)
    r = p / (1.0 + ecc * np.cos(tra))
    r_pf = r * np.array([np.cos(tra), np.sin(tra), 0.0])
    v_pf = np.sqrt(gm / p) * np.array([-np.sin(tra), ecc + np.cos(tra), 0.0])

    def rz(a):
        return np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1.0]])

    def rx(a):
        return np.array([[1.0, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])

    rot = rz(raa) @ rx(inc) @ rz(arp)
    return rot @ r_pf, rot @ v_pf


def rv_to_elements(r, v, gm=GM):
    """The classical recipe (acos plus quadrant tests); valid away from e = 0 and i = 0."""
    h = np.cross(r, v)
    n = np.cross([0.0, 0.0, 1.0], h)
    rn, vn = np.linalg.norm(r), np.linalg.norm(v)
    e = ((vn**2 - gm / rn) * r - np.dot(r, v) * v) / gm
    ecc = np.linalg.norm(e)
    sma = -gm / (2 * (vn**2 / 2 - gm / rn))
    inc = np.arccos(np.clip(h[2] / np.linalg.norm(h), -1, 1))
    raa = np.arccos(np.clip(n[0] / np.linalg.norm(n), -1, 1))
    raa = 2 * np.pi - raa if n[1] < 0 else raa
    arp = np.arccos(np.clip(np.dot(n, e) / (np.linalg.norm(n) * ecc), -1, 1))
    arp = 2 * np.pi - arp if e[2] < 0 else arp
    tra = np.arccos(np.clip(np.dot(e, r) / (ecc * rn), -1, 1))
    tra = 2 * np.pi - tra if np.dot(r, v) < 0 else tra
    return ecc, sma, inc, raa, arp, tra


def angle_diff(a, b):
    return abs(np.angle(np.exp(1j * (a - b))))


def assert_same_state(sv, r, v, rtol=1e-12):
    scale_r, scale_v = np.linalg.norm(r), np.linalg.norm(v)
    np.testing.assert_allclose(sv.r, r, rtol=0, atol=rtol * scale_r)
    np.testing.assert_allclose(sv.v, v, rtol=0, atol=rtol * scale_v)


# --- state vector -> elements --------------------------------------------------------


def test_to_coe_matches_the_textbook_recipe_on_random_orbits():
    rng = np.random.default_rng(42)
    for _ in range(300):
        ecc = rng.uniform(0.01, 0.95)
        sma = rng.uniform(6.6e6, 5e7)
        inc, raa, arp, tra = rng.uniform(0.05, np.pi - 0.05), *rng.uniform(0, 2 * np.pi, 3)
        r, v = elements_to_rv(ecc, sma, inc, raa, arp, tra)
        c = StateVector(T0, r, v, GM=GM).to_coe()
        ref = rv_to_elements(r, v)
        assert c.ecc == pytest.approx(ref[0], rel=1e-11)
        assert c.sma == pytest.approx(ref[1], rel=1e-11)
        for got, want in zip((c.inc, c.raa, c.arp, c.tra), ref[2:], strict=True):
            assert angle_diff(got, want) < 1e-9
        # And the input elements themselves (the oracle's acos loses digits near 0 and pi).
        for got, want in zip((c.ecc, c.sma), (ecc, sma), strict=True):
            assert got == pytest.approx(want, rel=1e-10)
        for got, want in zip((c.inc, c.raa, c.arp, c.tra), (inc, raa, arp, tra), strict=True):
            assert angle_diff(got, want) < 1e-10
        assert c.slr == pytest.approx(sma * (1 - ecc**2), rel=1e-11)
        assert 0 <= c.raa < 2 * np.pi and 0 <= c.arp < 2 * np.pi and 0 <= c.tra < 2 * np.pi


def test_invariants_of_the_conversion():
    # Energy and angular momentum of to_coe() agree with those of the state vector.
    rng = np.random.default_rng(3)
    for _ in range(100):
        r = rng.normal(size=3) * 7e6
        v = rng.normal(size=3) * 5e3
        c = StateVector(T0, r, v, GM=GM).to_coe()
        energy = np.dot(v, v) / 2 - GM / np.linalg.norm(r)
        assert -GM / (2 * c.sma) == pytest.approx(energy, rel=1e-9, abs=1e-9 * GM / np.linalg.norm(r))
        assert np.sqrt(GM * c.slr) == pytest.approx(np.linalg.norm(np.cross(r, v)), rel=1e-12)
        assert (c.ecc > 1) == (energy > 0) and (c.sma < 0) == (energy > 0)
        assert_same_state(c.to_sv(), r, v, rtol=1e-10)


# --- round trips through the degenerate geometries -----------------------------------

CASES = {
    "generic": dict(ecc=0.3, sma=2.4e7, inc=1.1, raa=4.0, arp=2.2, tra=5.5),
    "circular": dict(ecc=0.0, sma=7.0e6, inc=0.9, raa=1.5, arp=0.0, tra=2.0),
    "equatorial": dict(ecc=0.2, sma=9.0e6, inc=0.0, raa=0.0, arp=0.7, tra=3.9),
    "circular equatorial": dict(ecc=0.0, sma=4.2164e7, inc=0.0, raa=0.0, arp=0.0, tra=1.234),
    "retrograde equatorial": dict(ecc=0.1, sma=8.0e6, inc=np.pi, raa=0.0, arp=1.0, tra=0.5),
    "retrograde": dict(ecc=0.05, sma=7.2e6, inc=2.6, raa=0.3, arp=4.4, tra=0.2),
    "near parabolic": dict(ecc=0.999999, sma=6.6e12, inc=0.4, raa=0.5, arp=0.6, tra=0.3),
    "hyperbolic": dict(ecc=1.5, sma=-2.0e7, inc=0.5, raa=1.0, arp=2.0, tra=-1.2),
    "polar": dict(ecc=0.01, sma=7.0e6, inc=np.pi / 2, raa=3.3, arp=1.1, tra=4.0),
}


@pytest.mark.parametrize("name", list(CASES))
def test_coe_sv_coe_round_trip(name):
    el = CASES[name]
    c0 = COE(T0, GM=GM, **el)
    sv = c0.to_sv()
    assert isinstance(sv, StateVector) and sv.time is T0 and sv.frame is c0.frame and sv.GM == GM
    r, v = elements_to_rv(**el)
    assert_same_state(sv, r, v, rtol=1e-13)
    c1 = sv.to_coe()
    assert isinstance(c1, COE) and c1.time is T0 and c1.frame is c0.frame and c1.GM == GM
    assert c1.ecc == pytest.approx(el["ecc"], abs=1e-12, rel=1e-9)
    assert c1.sma == pytest.approx(el["sma"], rel=1e-6 if name == "near parabolic" else 1e-11)
    assert c1.slr == pytest.approx(c0.slr, rel=1e-12)
    assert angle_diff(c1.inc, el["inc"]) < 1e-12
    # Whatever the convention chose, the elements give back the same state.
    assert_same_state(c1.to_sv(), r, v, rtol=1e-12)
    if el["ecc"] == 0.0:
        assert c1.arp == 0.0
    if el["inc"] in (0.0, np.pi):
        assert c1.raa == 0.0
    for x in (c1.ecc, c1.sma, c1.inc, c1.raa, c1.arp, c1.tra, c1.slr):
        assert np.isfinite(x)


def test_conventions_of_degenerate_orbits():
    # Circular: tra is the argument of latitude, measured from the node.
    c = COE(T0, ecc=0.0, sma=7e6, inc=0.9, raa=1.5, arp=1.0, tra=0.5, GM=GM).to_sv().to_coe()
    assert c.arp == 0.0 and c.tra == pytest.approx(1.5, abs=1e-12) and c.raa == pytest.approx(1.5, abs=1e-12)
    # Equatorial: raa = 0 and arp is the longitude of periapsis from the x axis.
    c = COE(T0, ecc=0.2, sma=9e6, inc=0.0, raa=1.0, arp=0.7, tra=0.4, GM=GM).to_sv().to_coe()
    assert c.raa == 0.0 and c.arp == pytest.approx(1.7, abs=1e-12) and c.tra == pytest.approx(0.4, abs=1e-12)
    # Both: tra is the true longitude.
    c = COE(T0, ecc=0.0, sma=9e6, inc=0.0, raa=1.0, arp=0.7, tra=0.4, GM=GM).to_sv().to_coe()
    assert (c.raa, c.arp) == (0.0, 0.0) and c.tra == pytest.approx(2.1, abs=1e-12)
    # Exactly circular and equatorial state vectors built by hand.
    c = StateVector(T0, [0.0, 7e6, 0.0], [-np.sqrt(GM / 7e6), 0.0, 0.0], GM=GM).to_coe()
    assert (c.raa, c.arp, c.inc) == (0.0, 0.0, 0.0) and c.tra == pytest.approx(np.pi / 2, abs=1e-15)
    assert c.ecc < 1e-15 and c.sma == pytest.approx(7e6, rel=1e-15)


def test_hyperbolic_and_parabolic_states_give_finite_elements():
    r = np.array([7e6, 0.0, 0.0])
    vesc = np.sqrt(2 * GM / 7e6)
    c = StateVector(T0, r, [0.0, 1.3 * vesc, 0.0], GM=GM).to_coe()
    assert c.ecc > 1 and c.sma < 0 and c.tra == 0.0
    c = StateVector(T0, r, [0.0, vesc, 0.0], GM=GM).to_coe()  # parabola (to rounding)
    assert c.ecc == pytest.approx(1.0, abs=1e-15) and c.slr == pytest.approx(1.4e7, rel=1e-15)
    assert not np.isnan(c.sma)
    assert_same_state(c.to_sv(), r, [0.0, vesc, 0.0])


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)


@settings(max_examples=int(os.environ.get("VELARION_HYPOTHESIS_EXAMPLES", 400)), deadline=None)
@given(
    r=st.tuples(*[finite.filter(lambda x: abs(x) < 1e13)] * 3),
    v=st.tuples(*[finite.filter(lambda x: abs(x) < 1e7)] * 3),
    gm=st.floats(1e3, 1e21),
)
def test_finite_states_never_give_nan_elements(r, v, gm):
    try:
        c = StateVector(T0, r, v, GM=gm).to_coe()
    except ValueError as exc:  # no orbital plane, or h^2 / GM below the smallest double
        assert any(w in str(exc) for w in ("zero vector", "parallel", "underflow"))
        return
    values = (c.ecc, c.sma, c.inc, c.raa, c.arp, c.tra, c.slr)
    assert not any(np.isnan(values))
    assert 0 <= c.inc <= np.pi and all(0 <= a < 2 * np.pi for a in (c.raa, c.arp, c.tra))
    try:
        sv = c.to_sv()
    except ValueError as exc:
        # rounding at an asymptote, or a state so small that sqrt(GM / slr) overflows
        assert "asymptotes" in str(exc) or "overflow" in str(exc)
        return
    assert np.all(np.isfinite(sv.r)) and np.all(np.isfinite(sv.v))


def test_overflowing_states_are_refused():
    with pytest.raises(ValueError, match="overflow"):
        StateVector(T0, [1e300, 0, 0], [0, 1e300, 1], GM=GM).to_coe()


# --- failures -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "r, v, match",
    [
        ([0.0, 0.0, 0.0], [1.0, 2.0, 3.0], "zero vector"),
        ([7e6, 0.0, 0.0], [3e3, 0.0, 0.0], "parallel"),
        ([7e6, 0.0, 0.0], [0.0, 0.0, 0.0], "parallel"),
    ],
)
def test_to_coe_refuses_states_without_an_orbit(r, v, match):
    with pytest.raises(ValueError, match=match):
        StateVector(T0, r, v).to_coe()


@pytest.mark.parametrize(
    "el, match",
    [
        (dict(ecc=1.5, sma=-2e7, inc=0.1, raa=0, arp=0, tra=2.5), "asymptotes"),
        (dict(ecc=1.5, sma=2e7, inc=0.1, raa=0, arp=0, tra=0.0), "semi-latus"),
        (dict(ecc=1.0, sma=7e6, inc=0.1, raa=0, arp=0, tra=0.0), "semi-latus"),
        (dict(ecc=0.5, sma=-7e6, inc=0.1, raa=0, arp=0, tra=0.0), "semi-latus"),
    ],
)
def test_coe_to_sv_refuses_elements_that_describe_no_point(el, match):
    c = COE(T0, **el)  # accepted: refusing an orbit is not the state's decision
    with pytest.raises(ValueError, match=match):
        c.to_sv()


def test_gm_must_be_positive_for_conversions():
    with pytest.raises(ValueError, match="GM"):
        StateVector(T0, [7e6, 0, 0], [0, 7e3, 0], GM=0.0).to_coe()
    with pytest.raises(ValueError, match="GM"):
        COE(T0, ecc=0.1, sma=7e6, inc=0, raa=0, arp=0, tra=0, GM=-1.0).to_sv()


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: StateVector(T0, [np.nan, 0, 0], [0, 1, 0]), ValueError, "r must be finite"),
        (lambda: StateVector(T0, [1, 0, 0], [0, np.inf, 0]), ValueError, "v must be finite"),
        (lambda: StateVector(T0, [1, 0], [0, 1, 0]), ValueError, "three floats"),
        (lambda: StateVector(T0, [[1, 0, 0]], [0, 1, 0]), ValueError, "three floats"),
        (lambda: StateVector(T0, [1, 0, 0], [0, 1, 0], GM=np.nan), ValueError, "GM must be finite"),
        (lambda: StateVector(T0, [1, 0, 0], [0, 1, 0], GM="x"), TypeError, None),
        (lambda: StateVector("2024-01-01", [1, 0, 0], [0, 1, 0]), TypeError, "time"),
        (lambda: StateVector(None, [1, 0, 0], [0, 1, 0]), TypeError, "time"),
        (lambda: StateVector(Time(["2024-01-01", "2024-01-02"]), [1, 0, 0], [0, 1, 0]), ValueError, "one epoch"),
        (lambda: StateVector(T0, [1, 0, 0]), TypeError, "StateVector"),
        (lambda: StateVector(T0, [1, 0, 0], [0, 1, 0], frame=3), TypeError, "frame"),
        (lambda: StateVector(T0, [1, 0, 0], [0, 1, 0], frame="NO SUCH FRAME"), KeyError, None),
        (lambda: COE(T0, 0.1, 7e6, 0, 0, 0, 0), TypeError, "1 positional argument"),
        (lambda: COE(T0, ecc=0.1, sma=7e6, inc=0, raa=0, arp=0), TypeError, "'tra'"),
        (lambda: COE(T0, ecc=0.1, sma=np.inf, inc=0, raa=0, arp=0, tra=0), ValueError, "sma must be finite"),
        (lambda: COE(T0, ecc=-0.1, sma=7e6, inc=0, raa=0, arp=0, tra=0), ValueError, "ecc"),
        (lambda: COE(T0, ecc=0.1, sma=7e6, inc=0, raa=0, arp=0, tra=np.nan), ValueError, "tra"),
        (lambda: COE(T0, ecc=0.1, sma=7e6, inc=0, raa=0, arp=0, tra=0, slr=1.0), TypeError, "slr"),
        (lambda: GeoState(T0, 1.6, 0.0, 0.0), ValueError, "lat"),
        (lambda: GeoState(T0, 0.1, np.nan, 0.0), ValueError, "lon"),
        (lambda: GeoState(T0, 0.1, 0.0, 0.0, ell="WGS84"), TypeError, "ell"),
        (lambda: State(T0), TypeError, "State"),
    ],
)
def test_bad_arguments(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


# --- object behaviour -----------------------------------------------------------------


def test_statevector_members_and_defaults():
    sv = StateVector(T0, (7e6, 1, 2), np.array([3, 7.5e3, 4], dtype=np.int64))
    assert sv.GM == Earth.GM and sv.time is T0
    assert sv.frame.name == "GCRF"
    r = sv.r
    assert r.dtype == np.float64 and r.shape == (3,)
    r[0] = 0.0  # a new array each time: the state is unchanged
    np.testing.assert_array_equal(sv.r, [7e6, 1, 2])
    np.testing.assert_array_equal(sv.v, [3, 7.5e3, 4])
    assert sv.to_sv() is sv
    with pytest.raises(AttributeError):
        sv.GM = 1.0
    with pytest.raises(AttributeError):
        sv.r = [1, 2, 3]
    assert "StateVector(" in repr(sv) and "7000000.0" in repr(sv)
    # None stands for the defaults, as the signatures show.
    assert StateVector(T0, [1, 0, 0], [0, 1, 0], GM=None).GM == Earth.GM
    assert str(inspect.signature(StateVector)) == "(time, r, v, frame='GCRF', GM=None)"
    assert str(inspect.signature(COE)) == "(time, *, ecc, sma, inc, raa, arp, tra, frame='GCRF', GM=None)"
    assert GeoState(T0, 0.1, 0.2, 0.0, ell=None).ell is WGS84


def test_coe_members():
    c = COE(T0, ecc=0.2, sma=7e6, inc=0.1, raa=0.2, arp=0.3, tra=0.4, GM=Moon.GM, frame=None)
    assert (c.ecc, c.sma, c.inc, c.raa, c.arp, c.tra, c.GM) == (0.2, 7e6, 0.1, 0.2, 0.3, 0.4, Moon.GM)
    assert c.slr == 7e6 * (1 - 0.2 * 0.2) and c.frame is None
    assert c.to_coe() is c
    for name in ("ecc", "slr", "tra"):
        with pytest.raises(AttributeError):
            setattr(c, name, 1.0)
    assert COE(T0, ecc=0, sma=7e6, inc=0, raa=0, arp=0, tra=0).GM == Earth.GM
    assert "ecc=0.2" in repr(c)


def test_geostate_to_sv_is_the_itrf_position():
    lat, lon, alt = 0.7, -2.1, 350.0
    g = GeoState(T0, lat, lon, alt)
    assert g.ell is WGS84 and g.frame.name == "ITRF" and (g.lat, g.lon, g.alt) == (lat, lon, alt)
    sv = g.to_sv()
    a, f = 6378137.0, 1 / 298.257223563
    e2 = f * (2 - f)
    n = a / np.sqrt(1 - e2 * np.sin(lat) ** 2)
    expected = [
        (n + alt) * np.cos(lat) * np.cos(lon),
        (n + alt) * np.cos(lat) * np.sin(lon),
        (n * (1 - e2) + alt) * np.sin(lat),
    ]
    np.testing.assert_allclose(sv.r, expected, rtol=0, atol=1e-8)
    np.testing.assert_array_equal(sv.v, 0.0)
    assert sv.frame is g.frame and sv.time is T0 and sv.GM == Earth.GM
    other = GeoState(T0, lat, lon, alt, ell=GRS80).to_sv()
    assert 0 < np.linalg.norm(other.r - sv.r) < 1e-3  # GRS80 differs from WGS84 by a fraction of a mm


def test_base_state_and_python_subclasses():
    s = State(T0, None)
    assert s.time is T0 and s.frame is None
    with pytest.raises(NotImplementedError):
        s.to_sv()

    class Fixed(State):
        def to_sv(self):
            return StateVector(self.time, [7e6, 0, 0], [0, 8e3, 0], frame=self.frame)

    c = Fixed(T0, "GCRF").to_coe()  # the generic route: to_sv().to_coe()
    assert isinstance(c, COE) and c.tra == 0.0 and c.frame.name == "GCRF"

    class Tagged(StateVector):
        def __init__(self, *args, tag, **kwargs):
            super().__init__(*args, **kwargs)
            self.tag = tag

    t = Tagged(T0, [7e6, 0, 0], [0, 7.5e3, 0], tag="x")
    assert t.tag == "x" and isinstance(t.to_coe(), COE) and t.to_sv() is t


def test_pickling_is_refused():
    for obj in (StateVector(T0, [7e6, 0, 0], [0, 7.5e3, 0]), State(T0, None)):
        with pytest.raises(TypeError, match="__reduce__"):
            pickle.dumps(obj)


# --- Python code run in the middle of a method (crash repros run in a subprocess) ---


@pytest.mark.parametrize(
    "make, reinit, shown",
    [
        (
            "StateVector(ReprTime(T0), [7e6, 0, 0], [0, 7e3, 0], frame=Station())",
            "StateVector.__init__(s, T0, [8e6, 0, 0], [0, 7e3, 0], frame=None)",
            "frame=Station()",
        ),
        (
            "COE(ReprTime(T0), ecc=0.1, sma=7e6, inc=0.1, raa=0, arp=0, tra=0, frame=Station())",
            "COE.__init__(s, T0, ecc=0.2, sma=8e6, inc=0.1, raa=0, arp=0, tra=0, frame=None)",
            "frame=Station()",
        ),
        (
            "GeoState(ReprTime(T0), 0.1, 0.2, 3.0, ell=Ellipsoid(6378137.0, 0.0033, 'mine'))",
            "GeoState.__init__(s, T0, 0.1, 0.2, 3.0)",
            "name='mine')",
        ),
    ],
    ids=["StateVector", "COE", "GeoState"],
)
def test_reprs_hold_what_they_show(make, reinit, shown):
    """The repr of the epoch may run Python code that re-initialises the state
    and drops the frame (or ellipsoid) that the repr is about to show."""
    code = textwrap.dedent(f"""
        import gc
        from velarion.frames.frames import PIC
        from velarion.mathtools.ellipsoid.ellipsoid import Ellipsoid
        from velarion.state.state import COE, GeoState, StateVector
        from velarion.time.time import Time
        T0 = Time("2024-03-20T12:00:00")
        class ReprTime(Time):
            hook = None
            def __repr__(self):
                hook, ReprTime.hook = ReprTime.hook, None
                if hook:
                    hook()
                return "T"
        class Station(PIC):
            def __repr__(self):
                return "Station()"
        class Other(PIC):
            def __repr__(self):
                return "Other()"
        def hook():
            {reinit}
            gc.collect()
            hook.fill = [Other() for _ in range(1000)] + [Ellipsoid(1.0, 0.0, "other") for _ in range(200)]
        s = {make}
        ReprTime.hook = hook
        print(repr(s))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert shown in proc.stdout, proc.stdout


def test_a_negative_epoch_count_is_refused():
    class Negative(Time):
        @property
        def size(self):
            return -5

    with pytest.raises(ValueError, match=r"time\.size must not be negative"):
        StateVector(Negative(T0), [7e6, 0, 0], [0, 7e3, 0])
