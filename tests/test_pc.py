"""Collision probability: the encounter-plane methods against independent
integrals (SciPy's dblquad and the noncentral chi-square law), the 3-D and
Monte Carlo methods against each other and against the 2-D value where the
motion is rectilinear, and the invariances every Pc must have."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

from velarion.conjunctions import pc as pcm
from velarion.frames.lof import GM_EARTH, LocalOrbitalFrame

integrate = pytest.importorskip("scipy.integrate")
stats = pytest.importorskip("scipy.stats")


def leo_pair(miss_plane=(300.0, 0.0), angle=1.2, speed_ratio=1.0, radius=7.0e6, dt_offset=0.0):
    """Two circular-speed states at TCA: the primary along +y at x = radius,
    the secondary crossing at `angle` with its miss (in the plane normal to
    the relative velocity) `miss_plane` = (along the radius, the other)."""
    v = math.sqrt(GM_EARTH / radius) * speed_ratio
    r1 = np.array([radius, 0.0, 0.0])
    v1 = np.array([0.0, v, 0.0])
    v2 = np.array([0.0, v * math.cos(angle), v * math.sin(angle)])
    dv = v2 - v1
    ez = dv / np.linalg.norm(dv)
    ex = np.array([1.0, 0.0, 0.0])
    ey = np.cross(ez, ex)
    r2 = r1 + miss_plane[0] * ex + miss_plane[1] * ey + dt_offset * dv
    return r1, v1, r2, v2, ex, ey


def plane_covariance(ex, ey, sx, sy, rho, along=50.0):
    """A 3x3 covariance whose projection on (ex, ey) is [[sx^2, rho sx sy], [., sy^2]]."""
    ez = np.cross(ex, ey)
    basis = np.stack([ex, ey, ez])  # rows
    p = np.array([[sx * sx, rho * sx * sy, 0.0], [rho * sx * sy, sy * sy, 0.0], [0.0, 0.0, along * along]])
    return basis.T @ p @ basis


def dblquad_disc(mx, my, sx, sy, rho, R):
    """Mass of N(0, P) over the disc of radius R about (mx, my), by SciPy."""
    P = np.array([[sx * sx, rho * sx * sy], [rho * sx * sy, sy * sy]])
    inv = np.linalg.inv(P)
    k = 1.0 / (2 * math.pi * math.sqrt(np.linalg.det(P)))

    def f(y, x):
        d = np.array([mx + x, my + y])
        return k * math.exp(-0.5 * d @ inv @ d)

    value, _ = integrate.dblquad(
        f,
        -R,
        R,
        lambda x: -math.sqrt(max(R * R - x * x, 0.0)),
        lambda x: math.sqrt(max(R * R - x * x, 0.0)),
        epsabs=0.0,
        epsrel=1e-11,
    )
    return value


def dblquad_square(mx, my, sx, sy, rho, a):
    P = np.array([[sx * sx, rho * sx * sy], [rho * sx * sy, sy * sy]])
    inv = np.linalg.inv(P)
    k = 1.0 / (2 * math.pi * math.sqrt(np.linalg.det(P)))

    def f(y, x):
        d = np.array([mx + x, my + y])
        return k * math.exp(-0.5 * d @ inv @ d)

    value, _ = integrate.dblquad(f, -a, a, -a, a, epsabs=0.0, epsrel=1e-11)
    return value


# (sigma_x, sigma_y, correlation, miss, hbr) [m]: round, elongated (up to
# 100:1), correlated, small and large bodies, near and far misses.
PLANE_CASES = [
    (100.0, 100.0, 0.0, 0.0, 10.0),
    (100.0, 100.0, 0.0, 150.0, 10.0),
    (1000.0, 50.0, 0.0, 200.0, 15.0),
    (1000.0, 50.0, 0.6, 200.0, 15.0),
    (3000.0, 30.0, -0.3, 50.0, 20.0),
    (200.0, 100.0, 0.2, 1000.0, 5.0),
    (50.0, 40.0, 0.1, 20.0, 60.0),
    (25.0, 10.0, 0.0, 5.0, 100.0),
    (500.0, 5.0, 0.9, 30.0, 2.0),
    (100.0, 100.0, 0.0, 3000.0, 10.0),  # 30 sigma away: Pc near 1e-198
    (10.0, 1.0, 0.3, 30.0, 50.0),  # a body far larger than the spread
]


@pytest.mark.parametrize("sx, sy, rho, miss, R", PLANE_CASES)
def test_foster_disc_matches_scipy_dblquad(sx, sy, rho, miss, R):
    r1, v1, r2, v2, ex, ey = leo_pair((miss, 0.0))
    # The whole covariance on one object, the other's zero: the combined one is what counts.
    C = plane_covariance(ex, ey, sx, sy, rho)
    value = pcm.foster_2d(r1, v1, C, r2, v2, np.zeros((3, 3)), R)
    # The plane's x runs along the miss of object 2 from object 1: the
    # density of the relative position N(miss, P) over the disc at 0.
    expected = dblquad_disc(miss, 0.0, sx, sy, rho, R)
    assert value == pytest.approx(expected, rel=1e-10, abs=1e-300)


@pytest.mark.parametrize("shape, half", [("square", 1.0), ("equal_area_square", math.sqrt(math.pi) / 2)])
@pytest.mark.parametrize("sx, sy, rho, miss, R", PLANE_CASES[1:7])
def test_foster_squares_match_scipy_dblquad(shape, half, sx, sy, rho, miss, R):
    r1, v1, r2, v2, ex, ey = leo_pair((miss, 0.0))
    C = plane_covariance(ex, ey, sx, sy, rho)
    value = pcm.foster_2d(r1, v1, 0.5 * C, r2, v2, 0.5 * C, R, shape=shape)
    expected = dblquad_square(miss, 0.0, sx, sy, rho, half * R)
    assert value == pytest.approx(expected, rel=1e-10)


@pytest.mark.parametrize("ratio", [0.01, 0.3, 1.0, 2.5, 6.0])
def test_zero_miss_circular_covariance_is_analytic(ratio):
    sigma1, sigma2 = 120.0, 90.0
    sigma = math.hypot(sigma1, sigma2)
    R = ratio * sigma
    r1, v1, r2, v2, _, _ = leo_pair((0.0, 0.0))
    value = pcm.foster_2d(r1, v1, sigma1**2 * np.eye(3), r2, v2, sigma2**2 * np.eye(3), R)
    expected = -math.expm1(-(R * R) / (2 * sigma * sigma))
    assert value == pytest.approx(expected, rel=1e-10)
    assert pcm.chan(r1, v1, sigma1**2 * np.eye(3), r2, v2, sigma2**2 * np.eye(3), R) == pytest.approx(
        expected, rel=1e-10
    )


@pytest.mark.parametrize(
    "sigma, miss, R",
    [(100.0, 0.0, 10.0), (100.0, 300.0, 10.0), (30.0, 200.0, 45.0), (500.0, 2500.0, 20.0), (10.0, 5.0, 30.0)],
)
def test_round_covariance_is_noncentral_chi_square(sigma, miss, R):
    # |x|^2 / sigma^2 of a round 2-D Gaussian about the miss is noncentral
    # chi-square (2 degrees, noncentrality miss^2/sigma^2): Foster and Chan
    # are exact there.
    r1, v1, r2, v2, _, _ = leo_pair((miss, 0.0), angle=0.4)
    C = sigma**2 * np.eye(3)
    expected = stats.ncx2.cdf((R / sigma) ** 2, 2, (miss / sigma) ** 2)
    assert pcm.foster_2d(r1, v1, C, r2, v2, np.zeros((3, 3)), R) == pytest.approx(expected, rel=1e-8)
    assert pcm.chan(r1, v1, C, r2, v2, np.zeros((3, 3)), R) == pytest.approx(expected, rel=1e-8)


def test_chan_truncated_series_converges_to_the_full_one():
    r1, v1, r2, v2, ex, ey = leo_pair((400.0, 0.0))
    C = plane_covariance(ex, ey, 300.0, 100.0, 0.0)
    values = [pcm.chan(r1, v1, C, r2, v2, np.zeros((3, 3)), 15.0, terms=m) for m in (1, 2, 4, 8, 40)]
    full = pcm.chan(r1, v1, C, r2, v2, np.zeros((3, 3)), 15.0)
    errors = [abs(v - full) for v in values]
    assert errors[-1] <= 1e-14 * full
    assert all(a >= b for a, b in itertools.pairwise(errors))


def test_alfano_max_is_the_largest_over_scalings():
    r1, v1, r2, v2, ex, ey = leo_pair((800.0, 100.0))
    C = plane_covariance(ex, ey, 200.0, 60.0, 0.3)
    best = pcm.alfano_max(r1, v1, C, r2, v2, np.zeros((3, 3)), 12.0)
    scales = np.geomspace(0.05, 50.0, 2001)
    grid = pcm.foster_2d(
        np.broadcast_to(r1, (len(scales), 3)),
        v1,
        C[None] * scales[:, None, None] ** 2,
        r2,
        v2,
        np.zeros((3, 3)),
        12.0,
    )
    assert best.pc >= grid.max() * (1 - 1e-9)
    assert best.pc == pytest.approx(grid.max(), rel=1e-4)
    assert best.scale == pytest.approx(scales[np.argmax(grid)], rel=0.01)
    at_scale = pcm.foster_2d(r1, v1, C * best.scale**2, r2, v2, np.zeros((3, 3)), 12.0)
    assert at_scale == pytest.approx(best.pc, rel=1e-9)


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


def random_cov6(rng, pos=(300.0, 80.0, 40.0), vel=(0.3, 0.1, 0.05)):
    a = rng.normal(size=(6, 6)) * np.array(pos + vel)[:, None] * 0.3
    return a @ a.T + np.diag(np.array(pos + vel) ** 2)


def batch(rng, n):
    r1s, v1s, r2s, v2s, c1s, c2s = [], [], [], [], [], []
    for _ in range(n):
        r1, v1, r2, v2, _, _ = leo_pair((rng.uniform(0, 800), rng.uniform(-300, 300)), angle=rng.uniform(0.2, 2.8))
        r1s.append(r1), v1s.append(v1), r2s.append(r2), v2s.append(v2)
        c1s.append(random_cov6(rng)), c2s.append(random_cov6(rng))
    return [np.array(x) for x in (r1s, v1s, c1s, r2s, v2s, c2s)]


@pytest.mark.parametrize("method", ["foster", "chan", "alfano", "hall"])
def test_swap_and_rotation_invariance(method):
    rng = np.random.default_rng(7)
    r1, v1, c1, r2, v2, c2 = batch(rng, 6)
    hbr = rng.uniform(5, 30, size=6)

    def run(*args):
        if method == "foster":
            return pcm.foster_2d(*args, hbr)
        if method == "chan":
            return pcm.chan(*args, hbr)
        if method == "alfano":
            return pcm.alfano_max(*args, hbr).pc
        return pcm.hall_3d(*args, hbr).pc

    base = run(r1, v1, c1, r2, v2, c2)
    assert np.all((base >= 0) & (base <= 1)) and np.all(base > 1e-12)
    np.testing.assert_allclose(run(r2, v2, c2, r1, v1, c1), base, rtol=1e-7 if method == "hall" else 1e-9)
    q = random_rotation(rng)
    big = np.zeros((6, 6))
    big[:3, :3] = big[3:, 3:] = q
    rotated = (r1 @ q.T, v1 @ q.T, big @ c1 @ big.T, r2 @ q.T, v2 @ q.T, big @ c2 @ big.T)
    np.testing.assert_allclose(run(*rotated), base, rtol=1e-6 if method == "hall" else 1e-9)


@pytest.mark.parametrize("method", ["foster", "chan", "hall"])
def test_monotone_in_the_hard_body_radius(method):
    r1, v1, r2, v2, ex, ey = leo_pair((250.0, 40.0))
    C = np.zeros((6, 6))
    C[:3, :3] = plane_covariance(ex, ey, 150.0, 60.0, 0.4)
    C[3:, 3:] = np.eye(3) * 1e-4
    radii = np.geomspace(0.5, 2000.0 if method != "hall" else 300.0, 25)
    f = {"foster": pcm.foster_2d, "chan": pcm.chan}.get(method)
    n = len(radii)
    args = (np.tile(r1, (n, 1)), v1, C, r2, v2, C, radii)
    values = f(*args) if f else pcm.hall_3d(*args).pc
    assert np.all(np.diff(values) >= 0)
    assert np.all(np.diff(values[values < 1.0 - 1e-12]) > 0)
    assert np.all((values >= 0) & (values <= 1))


def test_rtn_covariances_are_rotated_to_inertial():
    rng = np.random.default_rng(3)
    r1, v1, c1, r2, v2, c2 = (x[0] for x in batch(rng, 1))

    def to_inertial(c, r, v):
        rot = LocalOrbitalFrame("RTN", r, v).rotation[0]
        big = np.zeros((6, 6))
        big[:3, :3] = big[3:, 3:] = rot
        return big.T @ c @ big

    inertial = pcm.foster_2d(r1, v1, to_inertial(c1, r1, v1), r2, v2, to_inertial(c2, r2, v2), 10.0)
    assert pcm.foster_2d(r1, v1, c1, r2, v2, c2, 10.0, frame="RTN") == pytest.approx(inertial, rel=1e-12)
    assert inertial != pytest.approx(pcm.foster_2d(r1, v1, c1, r2, v2, c2, 10.0), rel=1e-3)


def test_hall_matches_foster_for_a_fast_encounter():
    # 12 km/s crossing: the motion over the encounter (a fraction of a
    # second) is rectilinear to well under a metre.
    rng = np.random.default_rng(11)
    r1, v1, c1, r2, v2, c2 = batch(rng, 5)
    foster = pcm.foster_2d(r1, v1, c1, r2, v2, c2, 15.0)
    hall = pcm.hall_3d(r1, v1, c1, r2, v2, c2, 15.0)
    np.testing.assert_allclose(hall.expected_collisions, foster, rtol=1e-5)


def test_monte_carlo_agrees_with_foster_within_its_interval():
    r1, v1, r2, v2, ex, ey = leo_pair((60.0, 10.0), angle=1.0)
    C = np.zeros((6, 6))
    C[:3, :3] = plane_covariance(ex, ey, 40.0, 25.0, 0.2)
    C[3:, 3:] = np.eye(3) * 1e-6
    foster = pcm.foster_2d(r1, v1, C, r2, v2, C, 20.0)
    mc = pcm.monte_carlo(r1, v1, C, r2, v2, C, 20.0, samples=400_000, seed=5)
    assert 0.02 < foster < 0.5
    assert mc.low <= foster <= mc.high
    assert mc.high - mc.low < 0.1 * foster


def test_monte_carlo_agrees_with_hall_in_a_slow_encounter():
    # 0.15 m/s of relative speed, 300 m of along-track uncertainty and 2 cm/s
    # of velocity uncertainty: the encounter lasts most of an hour, over
    # which two-body motion curves the relative paths and the velocity
    # spread matters. Hall's 3-D value and the Monte Carlo agree; the
    # rectilinear 2-D value lies outside the Monte Carlo interval.
    r1, v1, r2, v2, _, _ = leo_pair((30.0, 0.0), angle=2e-5)
    C = np.diag([80.0**2, 300.0**2, 60.0**2, 0.02**2, 0.02**2, 0.02**2])
    hall = pcm.hall_3d(r1, v1, C, r2, v2, C, 25.0)
    foster = pcm.foster_2d(r1, v1, C, r2, v2, C, 25.0)
    mc = pcm.monte_carlo(r1, v1, C, r2, v2, C, 25.0, samples=1_000_000, seed=3)
    assert mc.hits > 1000
    assert mc.low <= hall.pc <= mc.high
    assert not mc.low <= foster <= mc.high


def test_monte_carlo_is_seeded_and_thread_independent():
    rng = np.random.default_rng(5)
    r1, v1, c1, r2, v2, c2 = batch(rng, 3)
    a = pcm.monte_carlo(r1, v1, c1, r2, v2, c2, 200.0, samples=20_000, seed=42, threads=1)
    b = pcm.monte_carlo(r1, v1, c1, r2, v2, c2, 200.0, samples=20_000, seed=42, threads=2)
    c = pcm.monte_carlo(r1, v1, c1, r2, v2, c2, 200.0, samples=20_000, seed=43, threads=2)
    np.testing.assert_array_equal(a.hits, b.hits)
    assert not np.array_equal(a.hits, c.hits)
    assert np.all(a.low <= a.pc) and np.all(a.pc <= a.high)


@pytest.mark.parametrize(
    "change, error, text",
    [
        (lambda a: a.update(v2=a["v1"]), pcm.PcError, "relative velocity is zero"),
        (lambda a: a.update(hbr=0.0), ValueError, "hbr must be positive"),
        (lambda a: a.update(C1=-np.eye(3), C2=np.zeros((3, 3))), pcm.PcError, "not positive definite"),
        (lambda a: a.update(r1=np.array([np.nan, 0.0, 0.0])), ValueError, "r1 must be finite"),
        (lambda a: a.update(C1=np.ones((2, 2))), ValueError, "C1 must have shape"),
        (lambda a: a.update(C1=np.triu(np.ones((3, 3))) + np.eye(3)), ValueError, "C1 must be symmetric"),
        (lambda a: a.update(r2=np.zeros((4, 3)), hbr=np.ones(3)), ValueError, "hbr holds 3 values for 4"),
        (lambda a: a.update(r2=np.zeros((4, 3)), v1=np.zeros((2, 3))), ValueError, "v1 holds 2 rows for 4"),
    ],
)
def test_bad_input_is_refused(change, error, text):
    r1, v1, r2, v2, _, _ = leo_pair()
    args = {"r1": r1, "v1": v1, "C1": np.eye(3), "r2": r2, "v2": v2, "C2": np.eye(3), "hbr": 10.0}
    change(args)
    with pytest.raises(error, match=text):
        pcm.foster_2d(args["r1"], args["v1"], args["C1"], args["r2"], args["v2"], args["C2"], args["hbr"])


def test_hall_and_monte_carlo_refuse_unbound_orbits():
    r1, v1, r2, v2, _, _ = leo_pair()
    with pytest.raises(pcm.PcError, match="elliptic"):
        pcm.hall_3d(r1, v1 * 2.0, np.eye(6), r2, v2, np.eye(6), 10.0)
    with pytest.raises(pcm.PcError, match="elliptic"):
        pcm.monte_carlo(r1, v1, np.eye(6), r2, v2 * 2.0, np.eye(6), 10.0, samples=10)


@pytest.fixture(scope="module")
def screened():
    from velarion.conjunctions import screen
    from velarion.conjunctions.catalogue import sample_catalogue
    from velarion.propagators.analytical.sgp4 import load_tles

    tles = load_tles(sample_catalogue(40, "2024-01-01T00:00:00", seed=3, close_pairs=4))
    first = tles[0].satnum
    covariances = {"default": np.diag([100.0**2, 400.0**2, 80.0**2]), first: np.diag([5.0**2, 50.0**2, 5.0**2])}
    events = screen(tles, "2024-01-01T00:00:00", 7200.0, 5000.0, covariances=covariances, hbr=20.0)
    return tles, covariances, events


def test_screen_events_carry_the_pc_of_their_covariances(screened):
    _, covariances, events = screened
    assert len(events) >= 3
    for e in events:
        (r1, v1), (r2, v2) = e.primary_state, e.secondary_state
        c1, c2 = (covariances.get(n, covariances["default"]) for n in (e.primary_satnum, e.secondary_satnum))
        assert e.pc == pytest.approx(pcm.foster_2d(r1, v1, c1, r2, v2, c2, 20.0, frame="RTN"), rel=1e-12)


def test_an_event_cdm_has_the_event_pc_in_gcrf(screened):
    from velarion.conjunctions import cdm

    _, _, events = screened
    event = max(events, key=lambda e: e.pc)
    message = cdm.loads(event.to_cdm().to_xml())
    assert message.ref_frame(1) == "GCRF"
    assert message.miss_distance == pytest.approx(event.miss_distance, abs=1e-3)
    # Pc does not depend on the inertial frame (TEME in the screening, GCRF in the message).
    assert pcm.pc(message) == pytest.approx(event.pc, rel=1e-6)
    assert float(message.relative["COLLISION_PROBABILITY"]) == pytest.approx(event.pc, rel=1e-6)


def test_screen_refuses_covariances_it_cannot_use():
    from velarion.conjunctions import screen
    from velarion.conjunctions.catalogue import sample_catalogue
    from velarion.propagators.analytical.sgp4 import load_tles

    tles = load_tles(sample_catalogue(4, "2024-01-01T00:00:00", seed=3))
    with pytest.raises(ValueError, match="need a hard-body radius"):
        screen(tles, "2024-01-01T00:00:00", 600.0, covariances=np.eye(3))
    with pytest.raises(ValueError, match="holds 2 matrices for 4 satellites"):
        screen(tles, "2024-01-01T00:00:00", 600.0, covariances=[np.eye(3)] * 2, hbr=5.0)
    with pytest.raises(ValueError, match="name no satellite"):
        screen(tles, "2024-01-01T00:00:00", 600.0, covariances={123456789: np.eye(3)}, hbr=5.0)


@pytest.mark.parametrize("sx, sy, rho, miss, R", PLANE_CASES)
def test_foster_matches_orekit_short_term_encounter_methods(sx, sy, rho, miss, R):
    # Orekit's Laas 2015 (a converging series) and Patera 2005 (a contour
    # quadrature), where orekit-jpype and a Java runtime are installed.
    orekit_jpype = pytest.importorskip("orekit_jpype")
    try:
        orekit_jpype.initVM()
    except Exception as e:  # no Java runtime
        pytest.skip(f"Orekit cannot start: {e}")
    from org.orekit.ssa.collision.shorttermencounter.probability.twod import Laas2015, Patera2005

    r1, v1, r2, v2, ex, ey = leo_pair((miss, 0.0))
    value = pcm.foster_2d(r1, v1, plane_covariance(ex, ey, sx, sy, rho), r2, v2, np.zeros((3, 3)), R)
    p = np.array([[sx * sx, rho * sx * sy], [rho * sx * sy, sy * sy]])
    values, vectors = np.linalg.eigh(p)
    xm, ym = vectors.T @ np.array([miss, 0.0])
    args = (float(xm), float(ym), math.sqrt(values[0]), math.sqrt(values[1]), R)
    assert value == pytest.approx(Laas2015().compute(*args).getValue(), rel=1e-6)
    assert value == pytest.approx(Patera2005().compute(*args).getValue(), rel=1e-5)


def test_chan_refuses_what_its_series_cannot_reach():
    r1, v1, r2, v2, _, _ = leo_pair((3.0e6, 0.0))
    C = np.eye(3)  # 1 m^2 each: a miss of two million standard deviations
    with pytest.raises(pcm.PcError, match="beyond Chan's series"):
        pcm.chan(r1, v1, C, r2, v2, C, 10.0)
    assert pcm.foster_2d(r1, v1, C, r2, v2, C, 10.0) == 0.0
    r1, v1, r2, v2, _, _ = leo_pair((0.0, 0.0))
    with pytest.raises(pcm.PcError, match="beyond Chan's series"):
        pcm.chan(r1, v1, C, r2, v2, C, 500.0)
    # Within its range, a far miss of a large body: many terms, still exact.
    r1, v1, r2, v2, _, _ = leo_pair((300.0, 0.0))
    sigma = math.sqrt(2.0)
    expected = stats.ncx2.cdf((150.0 / sigma) ** 2, 2, (300.0 / sigma) ** 2)
    assert pcm.chan(r1, v1, C, r2, v2, C, 150.0) == pytest.approx(expected, rel=1e-8)


def test_an_event_keeps_its_pc_through_pickling(screened):
    import pickle

    _, _, events = screened
    event = max(events, key=lambda e: e.pc)
    again = pickle.loads(pickle.dumps(event))
    assert again == event and again.pc == event.pc
    assert again.to_cdm(creation_date=event.tca).to_kvn() == event.to_cdm(creation_date=event.tca).to_kvn()
