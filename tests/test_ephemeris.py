"""Ephemerides of velarion.state.ephemeris: intake checks, copies, indexing and
the vectorized conversions (checked row by row against the single-epoch
states and against the textbook element formulas in NumPy)."""

import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velarion.bodies.bodies import Earth
from velarion.mathtools.ellipsoid.ellipsoid import GRS80, WGS84
from velarion.state.ephemeris import COEEphemeris, Ephemeris, GeoStateEphemeris, StateVectorEphemeris
from velarion.state.state import COE, GeoState, StateVector
from velarion.time.time import Time

GM = 398600.4418e9
T0 = Time("2024-03-20T12:00:00")


def epochs(n):
    return T0 + np.arange(n, dtype=float) * 60.0


def elements_to_rv(ecc, sma, inc, raa, arp, tra, gm=GM):
    """Vectorized textbook formulas: perifocal frame and the 3-1-3 rotation."""
    p = sma * (1 - ecc**2)
    rr = p / (1 + ecc * np.cos(tra))
    cO, sO, ci, si, cw, sw = np.cos(raa), np.sin(raa), np.cos(inc), np.sin(inc), np.cos(arp), np.sin(arp)
    P = np.stack([cO * cw - sO * sw * ci, sO * cw + cO * sw * ci, sw * si], axis=-1)
    Q = np.stack([-cO * sw - sO * cw * ci, -sO * sw + cO * cw * ci, cw * si], axis=-1)
    r = (rr * np.cos(tra))[:, None] * P + (rr * np.sin(tra))[:, None] * Q
    vf = np.sqrt(gm / p)
    v = (-vf * np.sin(tra))[:, None] * P + (vf * (ecc + np.cos(tra)))[:, None] * Q
    return r, v


def random_elements(n, seed=0, constant_orientation=False):
    rng = np.random.default_rng(seed)
    ecc = rng.uniform(0, 0.9, n)
    sma = rng.uniform(6.6e6, 4e7, n)
    if constant_orientation:
        inc, raa, arp = (np.full(n, x) for x in (0.9, 2.0, 4.0))
    else:
        inc, raa, arp = rng.uniform(0, np.pi, n), rng.uniform(0, 2 * np.pi, n), rng.uniform(0, 2 * np.pi, n)
    tra = rng.uniform(-10, 10, n)
    return dict(ecc=ecc, sma=sma, inc=inc, raa=raa, arp=arp, tra=tra, slr=sma * (1 - ecc**2))


# --- StateVectorEphemeris -----------------------------------------------------------


def test_state_vector_ephemeris_copies_its_inputs():
    r = np.arange(12.0).reshape(4, 3) + 7e6
    v = np.asfortranarray(np.arange(12.0).reshape(4, 3))
    eph = StateVectorEphemeris(epochs(4), r[::1], v)
    r[0, 0] = -1.0
    v[0, 0] = -1.0
    assert eph.size == len(eph) == 4 and eph.frame.name == "GCRF"
    assert eph.r.shape == (4, 3) and eph.r.dtype == np.float64 and eph.r.flags.c_contiguous
    assert eph.r[0, 0] == 7e6 and eph.v[0, 0] == 0.0
    # Strided and non-contiguous inputs are read with their strides.
    big = np.arange(60.0).reshape(10, 6)
    eph = StateVectorEphemeris(epochs(5), big[::2, ::2], big[1::2, 1::2])
    np.testing.assert_array_equal(eph.r, big[::2, ::2])
    np.testing.assert_array_equal(eph.v, big[1::2, 1::2])
    # Lists of numbers are accepted; read-only arrays too.
    ro = np.ones((2, 3))
    ro.flags.writeable = False
    eph = StateVectorEphemeris(epochs(2), [[1, 2, 3], [4, 5, 6]], ro)
    np.testing.assert_array_equal(eph.r, [[1, 2, 3], [4, 5, 6]])


def test_state_vector_ephemeris_views_do_not_change_its_shape():
    eph = StateVectorEphemeris(epochs(3), np.ones((3, 3)), np.zeros((3, 3)))
    view = eph.r
    view.shape = (9,)
    assert eph.r.shape == (3, 3)
    view[0] = 5.0  # a view: writes reach the ephemeris data
    assert eph.r[0, 0] == 5.0


def test_indexing_gives_state_vectors():
    r = np.random.default_rng(1).normal(size=(5, 3)) * 7e6
    v = np.random.default_rng(2).normal(size=(5, 3)) * 7e3
    t = epochs(5)
    eph = StateVectorEphemeris(t, r, v, frame="ITRF")
    for i in (0, 3, -1):
        sv = eph[i]
        assert isinstance(sv, StateVector)
        np.testing.assert_array_equal(sv.r, r[i])
        np.testing.assert_array_equal(sv.v, v[i])
        assert sv.frame is eph.frame and sv.frame.name == "ITRF"
        assert float(sv.time - t[i]) == 0.0
    with pytest.raises(IndexError):
        eph[5]
    with pytest.raises(IndexError):
        eph[-6]
    with pytest.raises(TypeError):
        eph["a"]
    # Epochs of a multi-dimensional Time pair with rows in row-major order.
    t2 = Time(np.array([["2024-01-01", "2024-01-02", "2024-01-03"], ["2024-02-01", "2024-02-02", "2024-02-03"]]))
    eph2 = StateVectorEphemeris(t2, r[:5].repeat(2, axis=0)[:6], v[:5].repeat(2, axis=0)[:6])
    assert float(eph2[4].time - t2[1, 1]) == 0.0 and float(eph2[2].time - t2[0, 2]) == 0.0
    # A scalar Time stands for a single epoch.
    one = StateVectorEphemeris(T0, np.ones((1, 3)), np.ones((1, 3)))
    assert one.size == 1 and one[0].time is T0


def test_empty_ephemeris():
    eph = StateVectorEphemeris(T0 + np.zeros(0), np.zeros((0, 3)), np.zeros((0, 3)))
    assert eph.size == 0 and eph.r.shape == (0, 3)
    coe = COEEphemeris(T0 + np.zeros(0), **{k: np.zeros(0) for k in ("ecc", "sma", "inc", "raa", "arp", "tra")})
    sv = coe.to_sv()
    assert isinstance(sv, StateVectorEphemeris) and sv.size == 0 and sv.r.shape == (0, 3)


@pytest.mark.parametrize(
    "time, r, v, exc, match",
    [
        (epochs(3), np.zeros((3, 2)), np.zeros((3, 3)), ValueError, r"shape \(N, 3\)"),
        (epochs(3), np.zeros((3, 3)), np.zeros((2, 3)), ValueError, "rows"),
        (epochs(2), np.zeros((3, 3)), np.zeros((3, 3)), ValueError, "epochs"),
        (T0, np.zeros((2, 3)), np.zeros((2, 3)), ValueError, "epochs"),
        (epochs(3), np.zeros(9), np.zeros((3, 3)), ValueError, "wrong number of dimensions"),
        (
            epochs(3),
            np.zeros((3, 3), dtype=np.float32),
            np.zeros((3, 3)),
            ValueError,
            "expected 'double' but got 'float'",
        ),
        (epochs(3), np.zeros((3, 3), dtype=np.int64), np.zeros((3, 3)), ValueError, "dtype mismatch"),
        (epochs(3), None, np.zeros((3, 3)), TypeError, None),
        ("2024-01-01", np.zeros((1, 3)), np.zeros((1, 3)), TypeError, "time"),
        (None, np.zeros((1, 3)), np.zeros((1, 3)), TypeError, "time"),
    ],
)
def test_state_vector_ephemeris_refuses_bad_input(time, r, v, exc, match):
    with pytest.raises(exc, match=match):
        StateVectorEphemeris(time, r, v)


# --- COEEphemeris ------------------------------------------------------------------


@pytest.mark.parametrize("constant_orientation", [False, True])
def test_coe_to_sv_matches_the_textbook_formulas(constant_orientation):
    el = random_elements(2000, seed=5, constant_orientation=constant_orientation)
    eph = COEEphemeris(epochs(2000), frame="GCRF", GM=GM, **el)
    sv = eph.to_sv()
    assert isinstance(sv, StateVectorEphemeris) and sv.size == 2000 and sv.time is eph.time and sv.frame is eph.frame
    r, v = elements_to_rv(*(el[k] for k in ("ecc", "sma", "inc", "raa", "arp", "tra")))
    np.testing.assert_allclose(sv.r, r, rtol=0, atol=1e-13 * np.abs(r).max())
    np.testing.assert_allclose(sv.v, v, rtol=0, atol=1e-13 * np.abs(v).max())


def test_coe_to_sv_agrees_with_single_states_row_by_row():
    el = random_elements(50, seed=9)
    # Runs of equal orientation interleaved with changes exercise the reuse of the rotation.
    for k in ("inc", "raa", "arp"):
        el[k][10:20] = el[k][10]
    el["slr"][30:40] = el["slr"][30]
    el["sma"][30:40] = el["sma"][30]
    el["ecc"][30:40] = el["ecc"][30]
    t = epochs(50)
    eph = COEEphemeris(t, frame=None, GM=GM, **el)
    sv = eph.to_sv()
    for i in range(50):
        c = COE(t[i], frame=None, GM=GM, **{k: el[k][i] for k in ("ecc", "sma", "inc", "raa", "arp", "tra")})
        one = c.to_sv()
        np.testing.assert_allclose(sv.r[i], one.r, rtol=1e-15, atol=0)
        np.testing.assert_allclose(sv.v[i], one.v, rtol=1e-15, atol=1e-12)
        # eph[i] is the COE of epoch i.
        ci = eph[i]
        assert isinstance(ci, COE) and ci.tra == el["tra"][i] and ci.GM == GM


def test_coe_ephemeris_members_and_defaults():
    el = random_elements(4)
    del el["slr"]
    eph = COEEphemeris(epochs(4), **el)
    assert eph.GM == Earth.GM and eph.frame.name == "GCRF" and eph.size == 4
    np.testing.assert_array_equal(eph.slr, el["sma"] * (1 - el["ecc"] ** 2))
    for k in el:
        np.testing.assert_array_equal(getattr(eph, k), el[k])
    el["tra"][0] = 99.0
    assert eph.tra[0] != 99.0  # copied


def test_coe_to_sv_hyperbolic_and_nan_rows():
    n = 3
    base = dict(
        ecc=np.full(n, 1.5),
        sma=np.full(n, -2e7),
        inc=np.zeros(n),
        raa=np.zeros(n),
        arp=np.zeros(n),
        tra=np.array([0.0, 1.0, -2.0]),
    )
    base["slr"] = base["sma"] * (1 - base["ecc"] ** 2)
    sv = COEEphemeris(epochs(n), GM=GM, **base).to_sv()
    r, _ = elements_to_rv(*(base[k] for k in ("ecc", "sma", "inc", "raa", "arp", "tra")))
    np.testing.assert_allclose(sv.r, r, rtol=1e-14)
    # A NaN element propagates to its row only (the propagator lets NaN through).
    nan = dict(base, ecc=np.array([np.nan, 1.5, 1.5]))
    sv = COEEphemeris(epochs(n), GM=GM, **nan).to_sv()
    assert np.all(np.isnan(sv.r[0])) and np.all(np.isfinite(sv.r[1:]))


@pytest.mark.parametrize(
    "change, match",
    [
        (dict(tra=np.array([0.0, 2.5, 0.0])), "epoch 1.*asymptotes"),
        (dict(slr=np.array([1.0, 1.0, -1.0])), "epoch 2.*semi-latus"),
        (dict(ecc=np.array([-0.5, 1.5, 1.5])), "epoch 0.*eccentricity"),
        (dict(slr=np.array([2.5e7, 1e-320, 2.5e7])), "epoch 1.*overflow"),
        (dict(tra=np.array([0.0, 0.0, np.inf])), "epoch 2.*not finite"),  # gave a NaN row
        (dict(raa=np.array([-np.inf, 0.0, 0.0])), "epoch 0.*not finite"),
    ],
)
def test_coe_to_sv_refuses_elements_without_a_point(change, match):
    el = dict(
        ecc=np.full(3, 1.5),
        sma=np.full(3, -2e7),
        inc=np.zeros(3),
        raa=np.zeros(3),
        arp=np.zeros(3),
        tra=np.zeros(3),
        slr=np.full(3, 2.5e7),
    )
    el.update(change)
    with pytest.raises(ValueError, match=match):
        COEEphemeris(epochs(3), GM=GM, **el).to_sv()
    with pytest.raises(ValueError, match="GM"):
        COEEphemeris(epochs(3), GM=-1.0, **dict(el, tra=np.zeros(3), ecc=np.full(3, 1.5))).to_sv()


@pytest.mark.parametrize(
    "args, kwargs, exc, match",
    [
        ((), dict(ecc=np.zeros(3)), TypeError, None),
        ((epochs(3), np.zeros(3)), {}, TypeError, "1 positional argument"),
        (
            (epochs(3),),
            dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3)),
            TypeError,
            "'tra'",
        ),
        (
            (epochs(3),),
            dict(ecc=np.zeros(3), sma=np.ones(2), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3), tra=np.zeros(3)),
            ValueError,
            "sma has 2 entries",
        ),
        (
            (epochs(2),),
            dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3), tra=np.zeros(3)),
            ValueError,
            "time has 2 epochs",
        ),
        (
            (epochs(3),),
            dict(
                ecc=np.zeros((3, 1)), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3), tra=np.zeros(3)
            ),
            ValueError,
            "wrong number of dimensions",
        ),
        (
            (epochs(3),),
            dict(
                ecc=np.zeros(3, dtype=int),
                sma=np.ones(3),
                inc=np.zeros(3),
                raa=np.zeros(3),
                arp=np.zeros(3),
                tra=np.zeros(3),
            ),
            ValueError,
            "dtype mismatch",
        ),
        (
            (epochs(3),),
            dict(
                ecc=np.zeros(3),
                sma=np.ones(3),
                inc=np.zeros(3),
                raa=np.zeros(3),
                arp=np.zeros(3),
                tra=np.zeros(3),
                GM="a",
            ),
            TypeError,
            None,
        ),
        (
            (epochs(3),),
            dict(
                ecc=np.zeros(3),
                sma=np.ones(3),
                inc=np.zeros(3),
                raa=np.zeros(3),
                arp=np.zeros(3),
                tra=np.zeros(3),
                frame=1.0,
            ),
            TypeError,
            "frame",
        ),
    ],
)
def test_coe_ephemeris_refuses_bad_input(args, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        COEEphemeris(*args, **kwargs)


# --- GeoStateEphemeris and the base -----------------------------------------------


def test_geostate_ephemeris_to_sv_matches_single_points():
    rng = np.random.default_rng(4)
    lat = rng.uniform(-np.pi / 2, np.pi / 2, 20)
    lon = rng.uniform(-np.pi, np.pi, 20)
    alt = rng.uniform(-100, 1e5, 20)
    lat[0], lat[1] = np.pi / 2, -np.pi / 2
    t = epochs(20)
    for ell in (WGS84, GRS80):
        eph = GeoStateEphemeris(t, lat, lon, alt, ell=ell)
        assert eph.ell is ell and eph.frame.name == "ITRF"
        sv = eph.to_sv()
        assert isinstance(sv, StateVectorEphemeris) and sv.frame is eph.frame
        np.testing.assert_array_equal(sv.v, 0.0)
        np.testing.assert_allclose(sv.r, ell.geodetic_to_cartesian(lat, lon, alt), rtol=0, atol=1e-9)
        g = eph[7]
        assert isinstance(g, GeoState) and g.lat == lat[7] and g.ell is ell
        np.testing.assert_array_equal(g.to_sv().r, sv.r[7])


@pytest.mark.parametrize(
    "lat, lon, alt, match",
    [
        (np.array([0.0, 1.6]), np.zeros(2), np.zeros(2), "lat"),
        (np.array([0.0, np.nan]), np.zeros(2), np.zeros(2), "finite"),
        (np.zeros(2), np.zeros(3), np.zeros(2), "lon has 3 entries"),
        (np.zeros(3), np.zeros(3), np.zeros(3), "time has 2 epochs"),
    ],
)
def test_geostate_ephemeris_refuses_bad_input(lat, lon, alt, match):
    with pytest.raises(ValueError, match=match):
        GeoStateEphemeris(epochs(2), lat, lon, alt)


def test_base_ephemeris_and_subclasses():
    e = Ephemeris(epochs(7), None)
    assert e.size == len(e) == 7 and e.frame is None

    class Labelled(StateVectorEphemeris):
        label = "mine"

    s = Labelled(epochs(2), np.ones((2, 3)), np.ones((2, 3)))
    assert s.label == "mine" and s.size == 2 and isinstance(s[1], StateVector)

    class Bare(StateVectorEphemeris):
        def __init__(self):  # does not chain: the arrays stay unset
            pass

    b = Bare()
    assert b.size == 0 and b.r is None
    for obj in (e, s):
        with pytest.raises(TypeError, match="__reduce__"):
            pickle.dumps(obj)


# --- size, arrays and Python code run in the middle (crash repros run in a subprocess) ---

PRELUDE = """
import gc, numpy as np
from velarion.frames.frames import PIC
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.state.ephemeris import COEEphemeris, Ephemeris, GeoStateEphemeris, StateVectorEphemeris
from velarion.time.time import Time

T0 = Time("2024-03-20T12:00:00")
def epochs(n):
    return T0 + np.arange(float(n))
def elements(n):
    return dict(ecc=np.full(n, 0.1), sma=np.full(n, 7e6), inc=np.full(n, 0.5), raa=np.zeros(n), arp=np.zeros(n),
                tra=np.linspace(0.0, 1.0, n))
def make(kind, n, time=None):
    t = epochs(n) if time is None else time
    if kind == "sv":
        return StateVectorEphemeris(t, np.full((n, 3), 7e6), np.ones((n, 3)))
    if kind == "coe":
        return COEEphemeris(t, **elements(n))
    return GeoStateEphemeris(t, np.zeros(n), np.zeros(n), np.arange(float(n)))
def reinit(e, n):
    if isinstance(e, StateVectorEphemeris):
        StateVectorEphemeris.__init__(e, epochs(n), np.ones((n, 3)), np.ones((n, 3)))
    elif isinstance(e, COEEphemeris):
        COEEphemeris.__init__(e, epochs(n), **elements(n))
    else:
        GeoStateEphemeris.__init__(e, epochs(n), np.zeros(n), np.zeros(n), np.zeros(n))
def last(item, kind):
    return {"sv": lambda: item.r[0], "coe": lambda: item.tra, "geo": lambda: item.alt}[kind]()
"""


def run_isolated(code):
    """Runs `code` after PRELUDE in a fresh interpreter: a crash fails the test
    instead of ending the run."""
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


@pytest.mark.parametrize("kind", ["sv", "coe", "geo"])
def test_base_init_cannot_give_an_ephemeris_more_epochs_than_rows(kind):
    """Ephemeris.__init__ on an ephemeris that holds arrays set its size alone:
    indexing and to_sv then read rows that do not exist. It is refused unless
    the size stays, and the ephemeris keeps working."""
    out = run_isolated(f"""
        e = make({kind!r}, 2)
        try:
            Ephemeris.__init__(e, epochs(200000), None)
        except ValueError as exc:
            print("refused:", exc)
        Ephemeris.__init__(e, epochs(2) + 5.0, None)  # same size: new epochs and frame are fine
        print(len(e), e.size, e.frame, last(e[-1], {kind!r}))
        if {kind!r} != "sv":
            print(e.to_sv().size)
        else:
            print(Keplerian().jacobian(e).shape)
    """)
    assert "refused: time has 200000 epochs, but this" in out and "holds 2 rows" in out
    assert f"2 2 None {({'sv': 7e6, 'coe': 1.0, 'geo': 1.0})[kind]}" in out


@pytest.mark.parametrize("kind, expected", [("sv", 7e6), ("coe", 1.0), ("geo", 99999.0)])
def test_indexing_reads_its_row_before_running_python_code(kind, expected):
    """eph[i] runs Python code (the epochs' `shape`, the key's __index__) that
    may re-initialise the ephemeris with fewer rows and drop its epochs: the
    row and the epochs were read (and held) before."""
    out = run_isolated(f"""
        class HookTime(Time):
            hook = None
            @property
            def shape(self):
                hook, HookTime.hook = HookTime.hook, None
                if hook:
                    hook()
                return Time.shape.__get__(self)

        e = make({kind!r}, 100000, HookTime(epochs(100000)))
        HookTime.hook = lambda: reinit(e, 1)
        item = e[99999]
        print(last(item, {kind!r}), float(item.time - (T0 + 99999.0)))

        e = make({kind!r}, 100000)
        class Key:
            def __index__(self):
                reinit(e, 1)
                return 99999
        try:
            e[Key()]
        except IndexError as exc:
            print("IndexError:", exc)
    """)
    assert out.splitlines() == [f"{expected} 0.0", "IndexError: ephemeris index out of range (size 1)"]


def test_arrays_handed_out_cannot_resize_the_ephemeris_memory():
    """The arrays users get do not lead to an array that owns the ephemeris's
    memory (resize(refcheck=False) of the owner moved it under the cached
    pointer); not even the members reached through the collector can be
    resized, and games with their shape and dtype leave the readers intact."""
    out = run_isolated("""
        e = make("sv", 3)
        for arr in (e.r, e.v):
            assert not isinstance(arr.base, np.ndarray), type(arr.base)
            try:
                arr.resize((1 << 24, 3), refcheck=False)
            except ValueError:
                pass
            else:
                print("resized a view")
        members = [o for o in gc.get_referents(e) if isinstance(o, np.ndarray)]
        assert len(members) == 2
        for m in members:
            try:
                m.resize((1 << 24, 3), refcheck=False)
            except ValueError:
                pass
            else:
                print("resized a member")
            m.dtype = np.float32  # (3, 6) float32 over the same bytes
        print(e.r.shape, e.r.dtype, float(e.r.sum()), e[2].r[0], Keplerian().jacobian(e).shape)
        c = make("coe", 4)
        assert not isinstance(c.tra.base, np.ndarray) and not isinstance(c.to_sv().r.base, np.ndarray)
        c.tra[0] = 0.5  # the arrays stay writable views of the ephemeris data
        print(c[0].tra)
    """)
    assert out.splitlines() == ["(3, 3) float64 63000000.0 7000000.0 (3, 6, 6)", "0.5"]


def test_reprs_hold_what_they_show():
    """The repr of the epochs may run Python code that re-initialises the
    ephemeris and drops its frame while the repr is being formatted."""
    out = run_isolated("""
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
            StateVectorEphemeris.__init__(e, epochs(5), np.ones((5, 3)), np.ones((5, 3)), frame=None)
            gc.collect()
            hook.fill = [Other() for _ in range(1000)]  # takes the freed frame's memory, if it was freed
        e = StateVectorEphemeris(ReprTime(epochs(2)), np.ones((2, 3)), np.ones((2, 3)), frame=Station())
        ReprTime.hook = hook
        text = repr(e)
        print(text.count("[1., 1., 1.]"), text.endswith("frame=Station())"))
    """)
    assert out.split() == ["4", "True"]  # two rows of r and of v: the arrays read before the repr ran


def test_a_negative_epoch_count_is_refused():
    class Negative(Time):
        @property
        def size(self):
            return -5

    t = Negative(epochs(2))
    for make_one in (lambda: Ephemeris(t, None), lambda: StateVectorEphemeris(t, np.ones((2, 3)), np.ones((2, 3)))):
        with pytest.raises(ValueError, match=r"time\.size must not be negative"):
            make_one()
