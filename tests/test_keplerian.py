"""Keplerian propagator and two-body Jacobian.

Propagation is checked against an independent numerical integration of the
two-body equations (scipy's DOP853 at tight tolerance), started from initial
conditions computed here from the textbook element formulas.
"""

import copy
import ctypes
import inspect
import pickle
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest
from scipy.integrate import solve_ivp

kepmod = pytest.importorskip("velarion.propagators.analytical.keplerian.keplerian")
from velarion.bodies.bodies import Earth, Moon  # noqa: E402
from velarion.propagators.propagators import Propagator  # noqa: E402
from velarion.state.ephemeris import StateVectorEphemeris  # noqa: E402
from velarion.state.state import COE, State, StateVector  # noqa: E402
from velarion.time.time import Time  # noqa: E402

Keplerian = kepmod.Keplerian
GM_REF = 398600.4418e9
EPOCH = "2024-03-20T12:00:00"


# --- independent oracle ----------------------------------------------------------


def elements_to_rv(ecc, sma, inc, raa, arp, tra, gm):
    """Position and velocity from classical elements (perifocal frame, 3-1-3 rotation)."""
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


def integrate_two_body(r0, v0, gm, dts):
    """Two-body motion by DOP853 in canonical units, at each of `dts` seconds."""
    du = np.linalg.norm(r0)
    tu = np.sqrt(du**3 / gm)
    y0 = np.concatenate([r0 / du, v0 * tu / du])

    def f(_, y):
        r = y[:3]
        return np.concatenate([y[3:], -r / np.linalg.norm(r) ** 3])

    out_r = np.empty((len(dts), 3))
    out_v = np.empty((len(dts), 3))
    for i, dt in enumerate(dts):
        if dt == 0.0:
            y = y0
        else:
            sol = solve_ivp(f, (0.0, dt / tu), y0, method="DOP853", rtol=1e-13, atol=1e-15)
            assert sol.success
            y = sol.y[:, -1]
        out_r[i] = y[:3] * du
        out_v[i] = y[3:] * du / tu
    return out_r, out_v


# --- propagation -------------------------------------------------------------------

ORBITS = {
    # name: (ecc, sma, inc, raa, arp, tra0)
    "circular-inclined": (0.0, 7000e3, 0.9, 1.0, 0.0, 0.3),
    "e0.1-inclined": (0.1, 8000e3, 1.2, 2.0, 0.5, 1.0),
    "e0.7-equatorial": (0.7, 30000e3, 0.0, 0.0, 1.0, 2.5),
    "e0.999-periapsis-pass": (0.999, 7e9, 0.5, 0.3, 2.0, -0.05),
    "retrograde-e0.3": (0.3, 12000e3, 2.8, 4.0, 5.0, 3.5),
    "circular-equatorial": (0.0, 42164e3, 0.0, 0.0, 0.0, 4.0),
}
DTS = np.array([-7200.0, -1.5, 0.0, 1.0, 600.0, 5400.0, 86400.0])


def check_against_oracle(eph, r0, v0, gm, dts, rtol):
    r_ref, v_ref = integrate_two_body(r0, v0, gm, dts)
    r, v = np.asarray(eph.r), np.asarray(eph.v)
    assert r.shape == v.shape == (len(dts), 3)
    scale_r = np.linalg.norm(r_ref, axis=1, keepdims=True)
    scale_v = np.linalg.norm(v_ref, axis=1, keepdims=True)
    assert np.all(np.abs(r - r_ref) <= rtol * scale_r)
    assert np.all(np.abs(v - v_ref) <= rtol * scale_v)


@pytest.mark.parametrize("name", list(ORBITS))
def test_propagation_matches_numerical_integration(name):
    ecc, sma, inc, raa, arp, tra = ORBITS[name]
    t0 = Time(EPOCH)
    t = t0 + DTS
    dts = np.asarray(t - t0)
    assert np.allclose(dts, DTS, rtol=0, atol=1e-6)
    state = COE(t0, ecc=ecc, sma=sma, inc=inc, raa=raa, arp=arp, tra=tra, GM=Earth.GM)
    eph = Keplerian().propagate_state(t, state)
    assert isinstance(eph, StateVectorEphemeris)
    assert eph.size == len(DTS)
    r0, v0 = elements_to_rv(ecc, sma, inc, raa, arp, tra, Earth.GM)
    check_against_oracle(eph, r0, v0, Earth.GM, dts, rtol=1e-10)


def test_the_propagators_own_gm_drives_the_motion():
    # Elements of a lunar orbit held by a state made under Earth's GM: the
    # propagator's GM sets the mean motion and the position-velocity step.
    t0 = Time(EPOCH)
    t = t0 + DTS
    elements = dict(ecc=0.2, sma=2500e3, inc=0.4, raa=0.1, arp=0.2, tra=0.3)
    state = COE(t0, **elements)
    eph = Keplerian(GM=Moon.GM).propagate_state(t, state)
    r0, v0 = elements_to_rv(*(elements[k] for k in ("ecc", "sma", "inc", "raa", "arp", "tra")), Moon.GM)
    check_against_oracle(eph, r0, v0, Moon.GM, np.asarray(t - t0), rtol=1e-10)
    # Earth's GM on the same elements: same start, different motion.
    eph_earth = Keplerian().propagate_state(t, state)
    i0 = int(np.flatnonzero(DTS == 0.0)[0])
    np.testing.assert_allclose(eph_earth.r[i0], eph.r[i0], rtol=1e-12)
    assert not np.allclose(eph_earth.r[-1], eph.r[-1], rtol=1e-3)


def test_scalar_time_and_zero_dt_return_the_initial_state():
    t0 = Time(EPOCH)
    r0, v0 = elements_to_rv(0.3, 9000e3, 0.7, 0.2, 0.9, 2.0, Earth.GM)
    eph = Keplerian().propagate_state(EPOCH, StateVector(t0, r0, v0))
    assert eph.size == 1
    np.testing.assert_allclose(np.asarray(eph.r)[0], r0, rtol=1e-12)
    np.testing.assert_allclose(np.asarray(eph.v)[0], v0, rtol=1e-12)


def test_state_vector_and_its_elements_propagate_alike():
    t0 = Time(EPOCH)
    t = t0 + DTS
    r0, v0 = elements_to_rv(0.25, 10000e3, 1.1, 3.0, 4.0, 5.0, Earth.GM)
    sv = StateVector(t0, r0, v0)
    prop = Keplerian()
    a = prop.propagate_state(t, sv)
    b = prop.propagate_state(t, sv.to_coe())
    np.testing.assert_allclose(a.r, b.r, rtol=1e-14, atol=0)
    np.testing.assert_allclose(a.v, b.v, rtol=1e-14, atol=0)

    # Any other state goes through to_sv().to_coe().
    class Wrapped(State):
        def to_sv(self):
            return sv

    c = prop.propagate_state(t, Wrapped(t0, "GCRF"))
    np.testing.assert_allclose(c.r, a.r, rtol=1e-14, atol=0)
    # The base class's documented entry reaches propagate_state.
    d = prop.propagate(t, sv)
    np.testing.assert_allclose(d.r, a.r, rtol=1e-14, atol=0)
    assert a.frame is sv.frame


def test_extra_keywords_change_nothing():
    t0 = Time(EPOCH)
    t = t0 + DTS
    state = COE(t0, ecc=0.1, sma=8000e3, inc=0.5, raa=0.5, arp=0.5, tra=0.5)
    prop = Keplerian()
    a = prop.propagate_state(t, state)
    b = prop.propagate_state(time=t, state=state, frame="ITRF", GM=1.0, step=10.0)
    np.testing.assert_array_equal(a.r, b.r)
    np.testing.assert_array_equal(a.v, b.v)


@pytest.mark.parametrize("ecc", [1.0, 1.5])
def test_parabolic_and_hyperbolic_orbits_are_refused(ecc):
    t0 = Time(EPOCH)
    state = COE(t0, ecc=ecc, sma=-7000e3 if ecc > 1 else 7000e3, inc=0.1, raa=0.0, arp=0.0, tra=0.1)
    with pytest.raises(NotImplementedError) as info:
        Keplerian().propagate_state(t0 + DTS, state)
    assert str(info.value) == ""


@pytest.mark.parametrize("result", [None, 5, "COE"])
def test_elements_of_the_wrong_type_are_refused(result):
    class Odd(StateVector):
        def to_coe(self):
            return result

    t0 = Time(EPOCH)
    with pytest.raises(TypeError, match="COE"):
        Keplerian().propagate_state(t0, Odd(t0, [7e6, 0, 0], [0, 7.5e3, 0]))


@pytest.mark.parametrize("bad_state", [None, 5, "GCRF", np.zeros(6)])
def test_state_must_be_a_state(bad_state):
    with pytest.raises(TypeError, match="state"):
        Keplerian().propagate_state(EPOCH, bad_state)


# --- construction, GM, class surface ----------------------------------------------


class OnlyIndex:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, Earth.GM),
        (GM_REF, GM_REF),
        (5, 5.0),
        (Fraction(1, 4), 0.25),
        (OnlyIndex(), 7.0),
        (np.float32(2.5), 2.5),
        (0.0, 0.0),
        (-3.0, -3.0),
    ],
)
def test_gm_conversion(value, expected):
    prop = Keplerian() if value is None else Keplerian(value)
    assert prop.GM == expected and type(prop.GM) is float
    if value is not None:
        assert Keplerian(GM=value).GM == expected


@pytest.mark.parametrize("args, kwargs", [(("398600e9",), {}), ((None,), {}), ((1.0, 2.0), {}), ((), {"mu": 1.0})])
def test_bad_construction_raises_type_error(args, kwargs):
    with pytest.raises(TypeError):
        Keplerian(*args, **kwargs)


def test_gm_is_read_only_and_pickling_refused():
    prop = Keplerian()
    with pytest.raises(AttributeError):
        prop.GM = 1.0
    with pytest.raises(AttributeError):
        prop.other = 1.0  # no instance dictionary
    for attempt in (lambda: pickle.dumps(prop), lambda: copy.copy(prop), lambda: prop.__setstate__(None)):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt()


def test_class_surface():
    assert issubclass(Keplerian, Propagator)
    assert Keplerian.__module__ == "velarion.propagators.analytical.keplerian.keplerian"
    doc = Keplerian.__doc__
    for text in (
        "Keplerian (two-body) orbit propagator.",
        "Gravitational parameter used for propagation [m^3/s^2]. Defaults to Earth's GM.",
        "This propagator ignores all perturbations (e.g., J2, drag, lunisolar).",
        "Not valid for parabolic or hyperbolic orbits (ecc >= 1.0).",
        "Keplerian(GM=398600.4418e9)",
        "propagate(",
        "High-performance Jacobian routines for use in estimation and STM computation.",
    ):
        assert text in doc
    pdoc = Keplerian.propagate_state.__doc__
    assert pdoc.startswith("Propagate a single initial state to one or more epochs (public API).")
    assert "Ignored." in pdoc and "eccentricity >= 1.0" in pdoc
    jdoc = Keplerian.jacobian.__doc__
    assert "Compute the Jacobian matrices (∂f/∂x) along an ephemeris trajectory." in jdoc
    assert "jac : ndarray, shape (N, 6, 6)" in jdoc
    assert kepmod.numpy is np
    assert not Keplerian.__flags__ & (1 << 14)  # no part in cyclic GC
    from velarion.typing import DatetimeLike

    assert kepmod.DatetimeLike is DatetimeLike


@pytest.mark.parametrize("bound", [False, True])
def test_annotations_and_signatures(bound):
    owner = Keplerian() if bound else Keplerian
    prop = owner.propagate_state
    assert prop.__annotations__ == {"time": "DatetimeLike", "state": "State", "return": "StateVectorEphemeris"}
    assert owner.jacobian.__annotations__ == {"eph": "StateVectorEphemeris", "return": "numpy.ndarray"}
    sig = inspect.signature(prop)
    names = list(sig.parameters)
    assert names == (["time", "state", "kwargs"] if bound else ["self", "time", "state", "kwargs"])
    assert sig.parameters["time"].annotation == "DatetimeLike"
    assert sig.parameters["kwargs"].kind is inspect.Parameter.VAR_KEYWORD
    assert sig.return_annotation == "StateVectorEphemeris"
    assert inspect.signature(owner.jacobian).return_annotation == "numpy.ndarray"


def test_python_subclass_and_unbound_call():
    class MyKeplerian(Keplerian):
        pass

    prop = MyKeplerian(GM=Moon.GM)
    assert prop.GM == Moon.GM
    t0 = Time(EPOCH)
    state = COE(t0, ecc=0.1, sma=3000e3, inc=0.1, raa=0.1, arp=0.1, tra=0.1, GM=Moon.GM)
    a = Keplerian.propagate_state(prop, t0 + DTS, state)
    b = Keplerian(GM=Moon.GM).propagate_state(t0 + DTS, state)
    np.testing.assert_array_equal(a.r, b.r)
    with pytest.raises(TypeError):
        Keplerian.propagate_state(object(), t0, state)


def test_c_level_interface_is_bound_by_size():
    probe = pytest.importorskip("velarion._core._probe")
    name = "velarion.propagators.analytical.keplerian.keplerian"
    size = probe.basicsize(Propagator) + 8
    assert probe.bind_type(name, "Keplerian", size) is Keplerian
    with pytest.raises(ValueError, match="size changed"):
        probe.bind_type(name, "Keplerian", size + 8)
    assert probe.bind_vtable(Keplerian, "struct velarion::propagators::analytical::keplerian::KeplerianVTable")


# The method table as another compiled module sees it: six slots in order.
VTABLE_SLOTS = {
    "c_jac_r": ctypes.PYFUNCTYPE(
        ctypes.c_int,
        ctypes.py_object,
        ctypes.c_double,
        ctypes.POINTER(ctypes.c_double),
        ctypes.POINTER(ctypes.c_double),
        ctypes.POINTER(ctypes.c_double),
    ),
    "c_jac_v": None,
    "c_accel": None,
    "propagate_tra": ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_double, ctypes.c_double, ctypes.c_double
    ),
    "c_propagate_state": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object),
    "c_jacobian": ctypes.PYFUNCTYPE(
        ctypes.c_int, ctypes.py_object, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)
    ),
}


@pytest.fixture(scope="module")
def slots():
    probe = pytest.importorskip("velarion._core._probe")
    address = probe.bind_vtable(Keplerian, "struct velarion::propagators::analytical::keplerian::KeplerianVTable")
    table = (ctypes.c_void_p * len(VTABLE_SLOTS)).from_address(address)
    return {name: proto(table[i]) for i, (name, proto) in enumerate(VTABLE_SLOTS.items()) if proto}


def dptr(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def test_table_jacobian_slots(slots):
    prop = Keplerian(GM=GM_REF)
    r = np.array([7000e3, -2000e3, 500e3])
    g = np.full(9, np.nan)
    assert slots["c_jac_r"](prop, 0.0, dptr(r), None, dptr(g)) == 0
    np.testing.assert_allclose(g.reshape(3, 3), gravity_gradient_oracle(GM_REF, r), rtol=1e-13)
    full = np.full(36, np.nan)
    assert slots["c_jacobian"](prop, dptr(r), dptr(full)) == 0
    np.testing.assert_array_equal(full.reshape(6, 6)[3:, :3], g.reshape(3, 3))
    np.testing.assert_array_equal(full.reshape(6, 6), prop.jacobian(make_ephemeris(r))[0])


def mean_to_true_oracle(M, e):
    E = np.array(M, dtype=float)
    for _ in range(100):
        E = E - (E - e * np.sin(E) - M) / (1.0 - e * np.cos(E))
    return np.arctan2(np.sqrt(1.0 - e * e) * np.sin(E), np.cos(E) - e)


@pytest.mark.parametrize("ecc", [0.0, 0.5, 0.95])
def test_table_propagate_tra(slots, ecc):
    mnm = 1.1e-3
    dt_all = np.linspace(-20000.0, 20000.0, 41)
    dt = dt_all[::-2]  # any stride, any sign
    tra0 = 2.0
    tra = slots["propagate_tra"](Keplerian(), dt, tra0, ecc, mnm)
    assert isinstance(tra, np.ndarray) and tra.dtype == np.float64 and tra.shape == dt.shape
    assert np.all((tra >= 0.0) & (tra < 2 * np.pi))
    E0 = np.arctan2(np.sqrt(1 - ecc * ecc) * np.sin(tra0), ecc + np.cos(tra0))
    expected = mean_to_true_oracle(E0 - ecc * np.sin(E0) + mnm * dt, ecc)
    np.testing.assert_allclose(np.exp(1j * tra), np.exp(1j * expected), rtol=0, atol=1e-12)
    for bad, error in ((np.zeros((2, 2)), "wrong number of dimensions"), (np.arange(3), "dtype mismatch")):
        with pytest.raises(ValueError, match=error):
            slots["propagate_tra"](Keplerian(), bad, tra0, ecc, mnm)


def test_table_c_propagate_state(slots):
    from velarion.state.ephemeris import COEEphemeris

    t0 = Time(EPOCH)
    state = COE(t0, ecc=0.0, sma=7000e3, inc=0.3, raa=0.2, arp=0.0, tra=0.5)
    prop = Keplerian(GM=GM_REF)
    coe = slots["c_propagate_state"](prop, t0 + DTS, state)
    assert type(coe) is COEEphemeris and coe.size == len(DTS)
    mnm = 0.001078007612872506  # 7000 km under GM_REF
    np.testing.assert_allclose(np.exp(1j * np.asarray(coe.tra)), np.exp(1j * (0.5 + mnm * DTS)), atol=1e-12)
    assert coe.GM == GM_REF


@pytest.mark.parametrize(
    "elements, frame",
    [
        (dict(ecc=0.0, sma=7000e3, inc=0.0, raa=0.0, arp=0.0, tra=0.0), "GCRF"),
        (dict(ecc=0.3, sma=12000e3, inc=0.9, raa=1.1, arp=2.2, tra=0.4), "ITRF"),
        (dict(ecc=0.999999, sma=4e7, inc=3.0, raa=-1.0, arp=6.0, tra=3.1), None),
    ],
)
def test_propagate_state_is_the_states_of_its_element_ephemeris(slots, elements, frame):
    """propagate_state computes the states in one pass, without making the
    element ephemeris: they are that ephemeris's to_sv, bit for bit, in full
    blocks of epochs and a partial last one, in any order and shape."""
    t0 = Time(EPOCH)
    dt = np.concatenate([np.linspace(-4e5, 4e5, 1001), [0.0, 1e9, -3e7]])[::-1]
    prop = Keplerian(GM=GM_REF)
    state = COE(t0, frame=frame, GM=GM_REF, **elements)
    for t in (t0 + dt, t0 + dt[:1002].reshape(2, 501), t0 + dt[:5]):
        direct = prop.propagate_state(t, state)
        long_way = slots["c_propagate_state"](prop, t, state).to_sv()
        np.testing.assert_array_equal(direct.r, long_way.r)
        np.testing.assert_array_equal(direct.v, long_way.v)
        assert direct.time.shape == t.shape and direct.frame is long_way.frame


@pytest.mark.parametrize("replaced", ["to_sv", "__init__"])
def test_propagate_state_runs_a_replaced_element_ephemeris(monkeypatch, replaced):
    """The one-pass states stand for COEEphemeris(...).to_sv() only while the
    class has its own construction and to_sv: replaced, they run. (A replaced
    __new__ is checked too; CPython keeps the class on its slow slot even
    once the replacement is deleted, so it is not tried here.)"""
    from velarion.state.ephemeris import COEEphemeris

    t0 = Time(EPOCH)
    state = COE(t0, ecc=0.2, sma=9000e3, inc=0.5, raa=0.1, arp=0.2, tra=0.3)
    expected = Keplerian().propagate_state(t0 + DTS, state)
    original, calls = getattr(COEEphemeris, replaced), []

    def spy(*args, **kwargs):
        calls.append(replaced)
        return original(*args, **kwargs)

    monkeypatch.setattr(COEEphemeris, replaced, spy)
    eph = Keplerian().propagate_state(t0 + DTS, state)
    assert calls == [replaced]
    np.testing.assert_array_equal(eph.r, expected.r)


@pytest.mark.parametrize(
    "dt, mnm, result",
    [
        ([1.0, -1.0, 0.5], 1e290, "finite"),  # huge mean anomalies: reduced exactly, no NaN
        ([3.0e7], 2.0e10, "finite"),
        ([10.0], 1e308, "epoch 0"),  # the advance overflows
        ([0.0, np.nan], 1.1e-3, "epoch 1"),
        ([0.0], np.inf, "epoch 0"),
        ([5.0], np.nan, "epoch 0"),
    ],
)
def test_table_propagate_tra_any_mean_anomaly(slots, dt, mnm, result):
    """A finite mean anomaly of any size gives a true anomaly; one that is not
    a finite number is refused, naming the epoch (it gave NaN states)."""
    dt = np.array(dt)
    if result == "finite":
        tra = slots["propagate_tra"](Keplerian(), dt, 0.5, 0.3, mnm)
        assert np.all(np.isfinite(tra)) and np.all((tra >= 0.0) & (tra < 2 * np.pi))
    else:
        with pytest.raises(ValueError, match=f"mean anomaly at {result} is not a finite number"):
            slots["propagate_tra"](Keplerian(), dt, 0.5, 0.3, mnm)


@pytest.mark.parametrize("sma, GM", [(1e-250, Earth.GM), (7e6, -1.0)])
def test_an_orbit_without_a_mean_motion_is_refused(sma, GM):
    """sqrt(GM / sma) / sma that is no finite number gave NaN anomalies, hence
    NaN states with no error (or an error about something else)."""
    t0 = Time(EPOCH)
    state = COE(t0, ecc=0.1, sma=sma, inc=0.1, raa=0.0, arp=0.0, tra=0.1)
    with pytest.raises(ValueError, match="no mean motion"):
        Keplerian(GM=GM).propagate_state(t0 + DTS, state)


def test_the_initial_elements_are_read_before_any_python_code_runs(slots):
    """The epoch of the initial state is a Time subclass whose subtraction
    re-initialises that state (here into a hyperbola): the propagation uses the
    elements it was given, and so does the C-level entry."""

    class Hooked(Time):
        hook = None

        def __rsub__(self, other):
            hook, Hooked.hook = Hooked.hook, None
            if hook:
                hook()
            return Time.__sub__(other, Time(self))

    t0 = Time(EPOCH)
    elements = dict(ecc=0.1, sma=8000e3, inc=1.2, raa=2.0, arp=0.5, tra=1.0)
    expected = Keplerian().propagate_state(t0 + DTS, COE(t0, **elements))
    state = COE(Hooked(t0), **elements)
    Hooked.hook = lambda: COE.__init__(state, t0, **dict(elements, ecc=5.0, sma=-7e6))
    eph = Keplerian().propagate_state(t0 + DTS, state)
    np.testing.assert_array_equal(eph.r, expected.r)
    assert state.ecc == 5.0  # the hook did run
    with pytest.raises(TypeError, match="coe0 must be a COE"):
        slots["c_propagate_state"](Keplerian(), t0, StateVector(t0, [7e6, 0, 0], [0, 7.5e3, 0]))


@pytest.mark.parametrize(
    "fake_module, missing",
    [
        ("velarion.bodies.bodies", "Earth"),
        ("velarion.state.coe", "c_eca_from_mea"),
        ("velarion.state.ephemeris", "COEEphemeris"),
    ],
)
def test_import_fails_when_a_bound_piece_is_missing(fake_module, missing):
    code = textwrap.dedent(f"""
        import importlib, sys, types
        real = importlib.import_module({fake_module!r})
        fake = types.ModuleType({fake_module!r})
        for k, v in vars(real).items():
            if k != {missing!r} and k != "__capi__":
                setattr(fake, k, v)
        if hasattr(real, "__capi__"):
            fake.__capi__ = {{k: v for k, v in real.__capi__.items() if k != {missing!r}}}
        sys.modules[{fake_module!r}] = fake
        try:
            import velarion.propagators.analytical.keplerian.keplerian
        except Exception as exc:
            print("FAILED", type(exc).__name__, exc)
        else:
            print("IMPORTED")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.startswith("FAILED"), out.stdout + out.stderr
    assert missing in out.stdout


# --- Jacobian ----------------------------------------------------------------------


def make_ephemeris(r, v=None):
    r = np.atleast_2d(np.asarray(r, dtype=float))
    v = np.zeros_like(r) if v is None else np.atleast_2d(np.asarray(v, dtype=float))
    t = Time(EPOCH) + np.arange(len(r), dtype=float)
    return StateVectorEphemeris(t, r, v)


def gravity_gradient_oracle(gm, r):
    rn = np.linalg.norm(r)
    return gm * (3.0 * np.outer(r, r) - rn**2 * np.eye(3)) / rn**5


@pytest.mark.parametrize("axis", [0, 1, 2])
def test_jacobian_reference_values(axis):
    r = np.zeros(3)
    r[axis] = 7000e3
    jac = Keplerian(GM=GM_REF).jacobian(make_ephemeris(r))
    expected = np.full(3, -1.1621004134110788e-06)
    expected[axis] = 2.3242008268221577e-06
    np.testing.assert_allclose(np.diag(jac[0, 3:, :3]), expected, rtol=2e-16, atol=0)
    assert np.count_nonzero(jac[0, 3:, :3] - np.diag(np.diag(jac[0, 3:, :3]))) == 0


def test_jacobian_structure_and_oracle():
    rng = np.random.default_rng(7)
    r = rng.normal(size=(200, 3)) * rng.uniform(6.5e6, 5e7, size=(200, 1))
    v = rng.normal(size=(200, 3)) * 7e3
    prop = Keplerian()
    jac = prop.jacobian(make_ephemeris(r, v))
    assert jac.shape == (200, 6, 6) and jac.dtype == np.float64 and jac.flags.c_contiguous
    assert np.all(jac[:, :3, :3] == 0) and np.all(jac[:, 3:, 3:] == 0)
    assert np.all(jac[:, :3, 3:] == np.eye(3))
    g = jac[:, 3:, :3]
    np.testing.assert_array_equal(g, np.transpose(g, (0, 2, 1)))
    scale = np.abs(g).max(axis=(1, 2))
    assert np.all(np.abs(np.trace(g, axis1=1, axis2=2)) <= 1e-14 * scale)
    for i in range(len(r)):
        np.testing.assert_allclose(g[i], gravity_gradient_oracle(Earth.GM, r[i]), rtol=1e-12, atol=1e-15 * scale[i])
    # The velocities do not enter.
    np.testing.assert_array_equal(prop.jacobian(make_ephemeris(r, -3 * v + 1.0)), jac)
    assert prop.jacobian(make_ephemeris(r, v)) is not jac


def test_jacobian_matches_finite_differences_of_the_acceleration():
    def accel(r):
        return -Earth.GM * r / np.linalg.norm(r) ** 3

    r = np.array([6800e3, -1200e3, 2500e3])
    g = Keplerian().jacobian(make_ephemeris(r))[0, 3:, :3]
    h = 1.0  # m
    fd = np.column_stack([(accel(r + h * e) - accel(r - h * e)) / (2 * h) for e in np.eye(3)])
    np.testing.assert_allclose(g, fd, rtol=1e-6, atol=1e-6 * np.abs(g).max())


def test_jacobian_of_an_empty_ephemeris_and_bad_arguments():
    empty = make_ephemeris(np.zeros((0, 3)))
    jac = Keplerian().jacobian(empty)
    assert jac.shape == (0, 6, 6) and jac.dtype == np.float64
    for bad in (None, np.zeros((3, 3)), COE(Time(EPOCH), ecc=0.1, sma=7e6, inc=0, raa=0, arp=0, tra=0)):
        with pytest.raises(TypeError, match="eph"):
            Keplerian().jacobian(bad)
    # The zero vector divides by zero, silently.
    with np.errstate(all="ignore"):
        jac0 = Keplerian().jacobian(make_ephemeris(np.zeros(3)))
    assert not np.all(np.isfinite(jac0[0, 3:, :3]))
