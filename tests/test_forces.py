"""The numerical propagator's force terms and their data, each against an
oracle: the JPL ephemeris through jplephem, exact arithmetic for the
third-body form, finite differences for the partials, the published
Harris-Priester table, NRLMSISE-00 through the nrlmsise00 package."""

from __future__ import annotations

import math

import mpmath
import numpy as np
import pytest

from velarion.propagators.numerical import _forces
from velarion.propagators.numerical.ephemeris import PlanetaryEphemeris, default_kernel_path

jplephem_spk = pytest.importorskip("jplephem.spk")

DAY = 86400.0
GM_EARTH = 3.986004418e14
OMEGA = 7.292115146706798e-5
# A span in 2024 (TDB seconds since J2000.0)
T0 = 24.0 * 365.25 * DAY
SPAN = 10.0 * DAY


def contexts(r, v=None, sun=None, moon=None, R=None, w=None, tdb=T0):
    """Context rows for _forces: r (n, 3), the rest broadcast."""
    r = np.atleast_2d(np.asarray(r, dtype=float))
    n = len(r)
    out = np.zeros((n, _forces.CONTEXT_COLUMNS))
    out[:, 0] = out[:, 1] = tdb
    out[:, 2:5] = r
    out[:, 5:8] = 0.0 if v is None else v
    out[:, 8:17] = np.eye(3).ravel() if R is None else np.asarray(R).reshape(-1, 9)
    out[:, 17:20] = [0.0, 0.0, OMEGA] if w is None else w
    if sun is not None:
        out[:, 20:23] = sun
        out[:, 26] = 1.0
    if moon is not None:
        out[:, 23:26] = moon
        out[:, 27] = 1.0
    return out


@pytest.fixture(scope="module")
def ephemeris():
    return PlanetaryEphemeris(T0, T0 + SPAN, planets=("venus", "jupiter"))


@pytest.fixture(scope="module")
def kernel():
    k = jplephem_spk.SPK.open(default_kernel_path())
    yield k
    k.close()


def jpl_geocentric(kernel, body, tdb):
    jd = (2451545.0, tdb / DAY)  # two parts: a date alone would round to 40 us
    earth = kernel[0, 3].compute(*jd) + kernel[3, 399].compute(*jd)
    if body == "moon":
        return (kernel[3, 301].compute(*jd) - kernel[3, 399].compute(*jd)) * 1e3
    target = {"sun": 10, "venus": 2, "jupiter": 5}[body]
    return (kernel[0, target].compute(*jd) - earth) * 1e3


# ---------------------------------------------------------------- ephemeris


@pytest.mark.parametrize("body", ["sun", "moon", "venus", "jupiter"])
def test_ephemeris_matches_jplephem(ephemeris, kernel, body):
    rng = np.random.default_rng(1)
    # whole days and random instants on a 2^-20 day grid: times that both
    # forms (seconds, and days for jplephem) hold exactly
    days = np.round(rng.uniform(0.0, SPAN / DAY, 50) * 2.0**20) / 2.0**20
    t = np.concatenate([T0 + np.arange(11) * DAY, T0 + days * DAY])
    ours = ephemeris.geocentric(body, t)
    theirs = np.stack([jpl_geocentric(kernel, body, x) for x in t])
    distance = np.linalg.norm(theirs, axis=1)
    # round-off: relative 1e-14 of the distance (the Sun: about 1 mm)
    assert np.all(np.linalg.norm(ours - theirs, axis=1) <= 1e-14 * distance + 1e-6)


def test_sun_velocity_matches_jplephem(ephemeris, kernel):
    t = T0 + np.linspace(0.0, SPAN, 17)
    ours = _forces.ephemeris_geocentric(ephemeris.packed, -1, t)
    for x, mine in zip(t, ours):
        v = sum(kernel[c, k].compute_and_differentiate(2451545.0, x / DAY)[1] * s for (c, k), s in
                [((0, 10), 1), ((0, 3), -1), ((3, 399), -1)])
        np.testing.assert_allclose(mine, v * 1e3 / DAY, rtol=0, atol=1e-9)


def test_ephemeris_refuses_dates_outside(ephemeris):
    with pytest.raises(ValueError, match=r"outside the ephemeris de421.bsp, which covers"):
        PlanetaryEphemeris(-1.0e10, 0.0)
    with pytest.raises(ValueError, match="outside the packed ephemeris"):
        ephemeris.geocentric("sun", T0 + SPAN + 40.0 * DAY)
    with pytest.raises(ValueError, match="not in this ephemeris"):
        ephemeris.geocentric("mars", T0)
    with pytest.raises(FileNotFoundError, match="nowhere.bsp"):
        PlanetaryEphemeris(T0, T0 + DAY, path="/nowhere.bsp")


@pytest.mark.parametrize(
    "corrupt",
    [lambda p: p[:10], lambda p: np.concatenate([[1.0], p[1:]]), lambda p: np.where(np.arange(p.size) == 5, 1e15, p)],
    ids=["truncated", "too few series", "offset past the end"],
)
def test_malformed_packed_ephemeris_refused(ephemeris, corrupt):
    with pytest.raises(ValueError, match="malformed packed ephemeris"):
        _forces.ephemeris_geocentric(corrupt(ephemeris.packed.copy()), 3, [T0])


# -------------------------------------------------------------- third body

THIRDBODY = np.array([1.32712440040944e20, 4.902800066163796e12, 1.0, 1.0])


def exact_thirdbody(r, s, gm):
    mpmath.mp.dps = 40
    r = [mpmath.mpf(float(x)) for x in r]
    s = [mpmath.mpf(float(x)) for x in s]
    d = [a - b for a, b in zip(r, s)]
    nd = mpmath.sqrt(sum(x * x for x in d))
    ns = mpmath.sqrt(sum(x * x for x in s))
    return np.array([float(-gm * (d[i] / nd**3 + s[i] / ns**3)) for i in range(3)])


@pytest.mark.parametrize(
    "r,body",
    [([7.0e6, 0.0, 0.0], "sun"), ([0.0, 4.2164e7, 1.0e5], "sun"), ([7.0e6, -1e6, 2e6], "moon"),
     ([-3.0e8, 1.0e8, 0.0], "moon")],
)
def test_thirdbody_against_exact_arithmetic(ephemeris, r, body):
    s = ephemeris.geocentric(body, T0)[0]
    p = THIRDBODY * [1, 1, body == "sun", body == "moon"]
    a, _, _ = _forces.accelerations("thirdbody", contexts(r, sun=s, moon=s), p)
    exact = exact_thirdbody(r, s, THIRDBODY[0] if body == "sun" else THIRDBODY[1])
    # the direct and indirect terms cancel to 1e-5 of each other for the
    # Sun at LEO; the Battin form keeps the difference to round-off
    np.testing.assert_allclose(a[0], exact, rtol=1e-13, atol=1e-13 * np.linalg.norm(exact))
