"""Ephemerides of velarion.state.ephemeris: intake checks, copies, indexing and
the vectorized conversions (checked row by row against the single-epoch
states and against the textbook element formulas in NumPy)."""

import pickle

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
        (epochs(3), np.zeros((3, 3), dtype=np.float32), np.zeros((3, 3)), ValueError, "expected 'double' but got 'float'"),
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
    base = dict(ecc=np.full(n, 1.5), sma=np.full(n, -2e7), inc=np.zeros(n), raa=np.zeros(n), arp=np.zeros(n),
                tra=np.array([0.0, 1.0, -2.0]))
    base["slr"] = base["sma"] * (1 - base["ecc"] ** 2)
    sv = COEEphemeris(epochs(n), GM=GM, **base).to_sv()
    r, v = elements_to_rv(*(base[k] for k in ("ecc", "sma", "inc", "raa", "arp", "tra")))
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
    ],
)
def test_coe_to_sv_refuses_elements_without_a_point(change, match):
    el = dict(ecc=np.full(3, 1.5), sma=np.full(3, -2e7), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3),
              tra=np.zeros(3), slr=np.full(3, 2.5e7))
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
        ((epochs(3),), dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3)),
         TypeError, "'tra'"),
        ((epochs(3),), dict(ecc=np.zeros(3), sma=np.ones(2), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3),
                            tra=np.zeros(3)), ValueError, "sma has 2 entries"),
        ((epochs(2),), dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3),
                            tra=np.zeros(3)), ValueError, "time has 2 epochs"),
        ((epochs(3),), dict(ecc=np.zeros((3, 1)), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3),
                            arp=np.zeros(3), tra=np.zeros(3)), ValueError, "wrong number of dimensions"),
        ((epochs(3),), dict(ecc=np.zeros(3, dtype=int), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3),
                            arp=np.zeros(3), tra=np.zeros(3)), ValueError, "dtype mismatch"),
        ((epochs(3),), dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3),
                            tra=np.zeros(3), GM="a"), TypeError, None),
        ((epochs(3),), dict(ecc=np.zeros(3), sma=np.ones(3), inc=np.zeros(3), raa=np.zeros(3), arp=np.zeros(3),
                            tra=np.zeros(3), frame=1.0), TypeError, "frame"),
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
