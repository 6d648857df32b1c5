"""The force terms as the numerical propagator evaluates and integrates
them: third bodies against jplephem and a SciPy integration, radiation
pressure against the flux at the Sun's distance and the Earth's umbra,
drag's parameters and direction, relativity's perigee advance, the solid
tides against the Love-number potential, and the full model's
reversibility."""

from __future__ import annotations

import math

import numpy as np
import pytest

from velarion.propagators.numerical import ForceModel, Numerical
from velarion.propagators.numerical.numerical import PLANET_GM
from velarion.state.state import COE, StateVector
from velarion.time.time import Time

spk = pytest.importorskip("jplephem.spk")

EPOCH = Time("2024-03-20T12:00:00")
GM = 3.986004415e14
GM_SUN, GM_MOON = 1.32712440040944e20, 4.902800066163796e12
AU = 1.495978707e11


@pytest.fixture(scope="module")
def kernel():
    from velarion.propagators.numerical.ephemeris import default_kernel_path

    k = spk.SPK.open(default_kernel_path())
    yield k
    k.close()


def geocentric(kernel, body: str, time: Time) -> np.ndarray:
    """Geocentric position (m) from jplephem, at TDB ~ TT + 1.7 ms (the
    bodies move < 2 m in that)."""
    jd = np.asarray(time.tt.jd12).reshape(-1, 2)
    t1, t2 = jd[:, 0], jd[:, 1]
    earth = kernel[0, 3].compute(t1, t2) + kernel[3, 399].compute(t1, t2)
    if body == "moon":
        target = kernel[0, 3].compute(t1, t2) + kernel[3, 301].compute(t1, t2)
    elif body == "sun":
        target = kernel[0, 10].compute(t1, t2)
    else:
        ids = {"mercury": 1, "venus": 2, "mars": 4, "jupiter": 5, "saturn": 6}
        target = kernel[0, ids[body]].compute(t1, t2)
    return ((target - earth) * 1e3).T


def point_mass(r: np.ndarray, s: np.ndarray, gm: float) -> np.ndarray:
    d = r - s
    return -gm * (
        d / np.linalg.norm(d, axis=-1, keepdims=True) ** 3 + s / np.linalg.norm(s, axis=-1, keepdims=True) ** 3
    )


def term(fm: ForceModel, time: Time, r, v) -> np.ndarray:
    """The acceleration of the model minus that of its Earth gravity alone."""
    base = ForceModel(degree=fm.degree, GM=fm.GM)
    return Numerical(fm).acceleration(time, r, v) - Numerical(base).acceleration(time, r, v)


R_LEO = np.array([[6778e3, 100e3, -40e3], [-2000e3, 6500e3, 1000e3]])
V_LEO = np.array([[0.0, 4766.0, 6008.0], [-7000.0, -2000.0, 2500.0]])


@pytest.mark.parametrize("bodies", [("sun",), ("moon",), ("sun", "moon", "jupiter", "venus")])
def test_third_bodies_against_jplephem(kernel, bodies) -> None:
    times = EPOCH + np.array([0.0, 86400.0 * 4.5])
    got = term(ForceModel(degree=0, third_body=bodies), times, R_LEO, V_LEO)
    gms = {"sun": GM_SUN, "moon": GM_MOON, **PLANET_GM}
    expected = sum(point_mass(R_LEO, geocentric(kernel, b, times), gms[b]) for b in bodies)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-6 * np.abs(expected).max())


def test_moon_and_sun_on_a_geo_against_a_scipy_integration(kernel) -> None:
    # The whole propagation of point mass + Sun + Moon against SciPy's
    # DOP853 on the same equations with jplephem's positions.
    from scipy.integrate import solve_ivp

    r0, v0 = np.array([42164e3, 0.0, 0.0]), np.array([0.0, 3074.66, 10.0])
    span = 86400.0
    times = EPOCH + np.linspace(0.0, span, 9)
    fm = ForceModel(degree=0, GM=GM, third_body=("sun", "moon"))
    eph = Numerical(fm, tolerance=1e-6).propagate_state(times, StateVector(EPOCH, r0, v0))

    def rhs(t: float, y: np.ndarray) -> np.ndarray:
        at = EPOCH + t
        r = y[:3]
        a = -GM * r / np.linalg.norm(r) ** 3
        a = a + point_mass(r, geocentric(kernel, "sun", at)[0], GM_SUN)
        a = a + point_mass(r, geocentric(kernel, "moon", at)[0], GM_MOON)
        return np.concatenate([y[3:], a])

    ref = solve_ivp(rhs, (0.0, span), np.concatenate([r0, v0]), method="DOP853", rtol=1e-12, atol=1e-6,
                    t_eval=np.asarray(times - EPOCH))  # fmt: skip
    assert np.abs(eph.r - ref.y[:3].T).max() < 0.05


def test_radiation_pressure_is_the_flux_at_the_suns_distance_and_zero_in_umbra(kernel) -> None:
    sun = geocentric(kernel, "sun", EPOCH)[0]
    toward = sun / np.linalg.norm(sun)
    lit = 7000e3 * toward  # between the Earth and the Sun
    dark = -7000e3 * toward  # behind the Earth
    fm = ForceModel(degree=0, srp=True, cr=1.5, area=4.0, mass=200.0)
    got = term(fm, EPOCH, np.array([lit, dark]), np.zeros((2, 3)))
    d = lit - sun
    expected = 4.56e-6 * 1.5 * 4.0 / 200.0 * (AU / np.linalg.norm(d)) ** 2 * d / np.linalg.norm(d)
    np.testing.assert_allclose(got[0], expected, rtol=0, atol=1e-8 * np.linalg.norm(expected))
    np.testing.assert_array_equal(got[1], 0.0)


@pytest.mark.parametrize(("cd", "area", "mass"), [(2.2, 1.0, 100.0), (2.0, 3.0, 50.0)])
def test_drag_takes_its_parameters_and_opposes_the_air_relative_velocity(cd, area, mass) -> None:
    r, v = np.array([[6578e3, 0.0, 0.0]]), np.array([[0.0, 5000.0, 5900.0]])
    got = term(ForceModel(degree=4, drag="harris-priester", cd=cd, area=area, mass=mass), EPOCH, r, v)[0]
    unit = term(ForceModel(degree=4, drag="harris-priester", cd=1.0, area=1.0, mass=1.0), EPOCH, r, v)[0]
    np.testing.assert_allclose(got, cd * area / mass * unit, rtol=1e-12)
    # the air at rest in ITRF: r x omega added to v, omega the Earth's rate about the CIP
    omega = 7.292115146706798e-5 * np.array([0.0, 0.0, 1.0])
    w = v[0] - np.cross(omega, r[0])
    cos = -got @ w / (np.linalg.norm(got) * np.linalg.norm(w))
    assert cos > 1 - 1e-6


def test_drag_lowers_the_orbit_at_the_rate_of_its_work() -> None:
    # E' = a_drag . v: the energy lost over six hours against the drag's
    # work along the propagated path (point mass, so E is v^2/2 - GM/r).
    fm = ForceModel(degree=0, GM=GM, drag="harris-priester", area=2.0, mass=50.0)
    prop = Numerical(fm, tolerance=1e-4)
    sv = StateVector(EPOCH, [6678e3, 0.0, 0.0], [0.0, 4900.0, 5950.0])
    t = np.linspace(0.0, 21600.0, 2161)
    eph = prop.propagate_state(EPOCH + t, sv)
    energy = 0.5 * np.sum(eph.v**2, axis=1) - GM / np.linalg.norm(eph.r, axis=1)
    a = term(fm, EPOCH + t, eph.r, eph.v)
    power = np.sum(a * eph.v, axis=1)
    work = np.concatenate([[0.0], np.cumsum(0.5 * (power[1:] + power[:-1]) * np.diff(t))])
    assert energy[-1] < energy[0]
    np.testing.assert_allclose(energy - energy[0], work, rtol=0, atol=1e-3 * abs(work[-1]))


def test_relativity_advances_the_perigee_at_the_schwarzschild_rate() -> None:
    # A polar orbit (the Lense-Thirring term leaves its perigee alone), the
    # point mass only: the perigee advances 3 n GM / (c^2 a (1 - e^2)).
    a, e = 12000e3, 0.2
    coe = COE(EPOCH, ecc=e, sma=a, inc=math.pi / 2, raa=0.0, arp=0.3, tra=0.0, GM=GM)
    days = 20.0
    times = EPOCH + np.linspace(0.0, days * 86400.0, 81)
    eph = Numerical(ForceModel(degree=0, GM=GM, relativity=True), tolerance=1e-6).propagate_state(times, coe)
    arp = np.unwrap([eph[k].to_coe().arp for k in range(len(times))])
    rate = np.polyfit(np.asarray(times - EPOCH), arp, 1)[0]
    n = math.sqrt(GM / a**3)
    expected = 3 * n * GM / (299792458.0**2 * a * (1 - e * e))
    assert rate == pytest.approx(expected, rel=0.02)


def test_solid_tides_against_the_love_number_potential(kernel) -> None:
    # Step 1 of degree 2 dominates: U = k2 GM_b R^5 / (r_b^3 r^3) P2(cos psi)
    # of each body, k2 ~ 0.30; the rest (k3, k2's order dependence, and
    # step 2, whose diurnal K1 line alone lowers k21 by ~13%) stays within
    # 15% of it.
    fm = ForceModel(degree=4, tides=True)
    times = EPOCH + np.array([0.0, 3.3 * 86400.0])
    r = np.array([[7000e3, 0.0, 0.0], [0.0, 5000e3, 5000e3]])
    got = term(fm, times, r, np.zeros((2, 3)))
    R = 6378136.3

    def potential(p: np.ndarray, k: int) -> float:
        u = 0.0
        for body, gm in (("sun", GM_SUN), ("moon", GM_MOON)):
            s = geocentric(kernel, body, times[k])[0]
            rn, sn = np.linalg.norm(p), np.linalg.norm(s)
            c = p @ s / (rn * sn)
            u += 0.3 * gm * R**5 / (sn**3 * rn**3) * (1.5 * c * c - 0.5)
        return u

    for k in range(2):
        fd = np.array([(potential(r[k] + h, k) - potential(r[k] - h, k)) / 2.0 for h in np.eye(3)])
        np.testing.assert_allclose(got[k], fd, rtol=0, atol=0.15 * np.linalg.norm(fd))


FULL = ForceModel(
    degree=20, third_body=("sun", "moon"), drag="harris-priester", srp=True, relativity=True, tides=True, area=2.0
)


@pytest.mark.parametrize("srp", [False, True])
def test_the_full_model_runs_back_to_its_start(srp: bool) -> None:
    # Within millimetres, radiation pressure included: its steps end at the
    # shadow's edges, where its acceleration has a kink (steps across them
    # left ~4 cm here, and ~1 m at a tolerance of 1e-5 m).
    fm = ForceModel(**{**FULL.__dict__, "srp": srp})
    prop = Numerical(fm, tolerance=1e-7)
    sv = StateVector(EPOCH, [6978e3, 0.0, 0.0], [0.0, 4670.0, 5890.0])
    end = prop.propagate_state(EPOCH + 43200.0, sv)[0]
    back = prop.propagate_state(EPOCH, end)
    assert np.abs(back.r[0] - sv.r).max() < 3e-3


def test_the_full_model_stm_against_finite_differences() -> None:
    prop = Numerical(FULL, tolerance=1e-7)
    sv = StateVector(EPOCH, [6978e3, 0.0, 0.0], [0.0, 4670.0, 5890.0])
    t = EPOCH + 5400.0
    _, stm = prop.propagate_state(t, sv, stm=True)
    y0 = np.concatenate([sv.r, sv.v])
    for j, h in ((0, 10.0), (4, 1e-2)):
        cols = []
        for sign in (1, -1):
            y = y0.copy()
            y[j] += sign * h
            e = prop.propagate_state(t, StateVector(EPOCH, y[:3], y[3:]))
            cols.append(np.concatenate([e.r[0], e.v[0]]))
        fd = (cols[0] - cols[1]) / (2 * h)
        np.testing.assert_allclose(stm[0][:, j], fd, rtol=0, atol=1e-5 * np.abs(fd).max())


def test_an_epoch_outside_the_ephemeris_is_refused() -> None:
    prop = Numerical(ForceModel(degree=0, third_body=("moon",)))
    sv = StateVector(Time("2200-01-01"), [7000e3, 0.0, 0.0], [0.0, 7500.0, 0.0])
    with pytest.raises(ValueError, match="outside the ephemeris"):
        prop.propagate_state(Time("2200-01-02"), sv)


def test_unavailable_or_unknown_terms_are_refused() -> None:
    with pytest.raises(ValueError, match="unknown third bodies"):
        ForceModel(third_body=("pluto", "vulcan"))
    with pytest.raises(ValueError, match="unknown drag model"):
        ForceModel(drag="jacchia")
    with pytest.raises(ValueError, match="mass must be positive"):
        ForceModel(drag="harris-priester", mass=0.0)


def test_cd_and_cr_sensitivities_against_finite_differences() -> None:
    sv = StateVector(EPOCH, [6678e3, 0.0, 0.0], [0.0, 4900.0, 5950.0])
    times = EPOCH + np.array([2700.0, 10800.0])
    base = dict(degree=8, drag="harris-priester", srp=True, area=5.0, mass=50.0)

    def run(cd: float, cr: float) -> np.ndarray:
        e = Numerical(ForceModel(**base, cd=cd, cr=cr), tolerance=1e-7).propagate_state(times, sv)
        return np.concatenate([e.r, e.v], axis=1)

    _, stm, sens = Numerical(ForceModel(**base, cd=2.2, cr=1.3), tolerance=1e-7).propagate_state(
        times, sv, stm=True, sensitivity=True
    )
    assert stm.shape == (2, 6, 6) and sens.shape == (2, 6, 2)
    for column, (plus, minus, h) in enumerate(
        [(run(2.3, 1.3), run(2.1, 1.3), 0.1), (run(2.2, 1.4), run(2.2, 1.2), 0.1)]
    ):
        fd = (plus - minus) / (2 * h)
        # The partials hold the shadow function fixed (its gradient across the
        # penumbra's seconds is left out): 0.25% of Cr's effect after two
        # eclipses; the propagations' own errors over the 0.2 step add ~1e-4.
        np.testing.assert_allclose(sens[:, :, column], fd, rtol=0, atol=5e-3 * np.abs(fd).max())
    assert np.abs(sens[-1, :3, 0]).max() > 10.0  # drag's along-track effect after three hours, metres per unit Cd


def test_nrlmsise00_drag_against_pymsis_through_the_propagator() -> None:
    # The density the propagation's drag term uses, from its acceleration
    # (a = -rho Cd A / (2 m) |w| w), against pymsis's NRLMSISE-00 with the
    # same constant indices at the same place and time.
    pymsis = pytest.importorskip("pymsis")
    from velarion.frames.frames import get_GCRF
    from velarion.mathtools.ellipsoid.ellipsoid import WGS84
    from velarion.propagators.numerical.spaceweather import SpaceWeather

    weather = SpaceWeather.constant(f107=160.0, f107a=140.0, ap=9.0)
    fm = ForceModel(degree=4, drag="nrlmsise00", space_weather=weather, cd=2.0, area=1.0, mass=1.0)
    r, v = np.array([[6728e3, 300e3, 900e3]]), np.array([[-300.0, 6500.0, 4000.0]])
    a = term(fm, EPOCH, r, v)[0]
    omega = 7.292115146706798e-5 * np.array([0.0, 0.0, 1.0])
    w = v[0] - np.cross(omega, r[0])
    rho = np.linalg.norm(a) / (0.5 * 2.0 * np.linalg.norm(w) ** 2)
    r_itrf, _ = get_GCRF().to_ITRF(EPOCH, r, v)
    lat, lon, alt = (float(np.asarray(x).reshape(-1)[0]) for x in WGS84.cartesian_to_geodetic(np.asarray(r_itrf)))
    out = pymsis.calculate(
        np.array([np.datetime64("2024-03-20T12:00:00")]), np.degrees(lon), np.degrees(lat), alt / 1e3,
        f107s=[160.0], f107as=[140.0], aps=[[9.0] * 7], version=0,
    )  # fmt: skip
    assert rho == pytest.approx(float(np.asarray(out)[..., 0].reshape(-1)[0]), rel=2e-3)


def test_nrlmsise00_outside_the_space_weather_table_is_refused() -> None:
    from velarion.propagators.numerical.spaceweather import SpaceWeather

    weather = SpaceWeather.default()
    late = Time.from_mjd(weather.last_mjd + 30.0)
    sv = StateVector(late, [6778e3, 0.0, 0.0], [0.0, 4766.0, 6008.0])
    prop = Numerical(ForceModel(degree=4, drag="nrlmsise00"))
    with pytest.raises(ValueError, match="outside the space-weather table"):
        prop.propagate_state(late + 600.0, sv)
    held = Numerical(ForceModel(degree=4, drag="nrlmsise00", hold_space_weather=True)).propagate_state(late + 600.0, sv)
    assert np.all(np.isfinite(held.r))
