"""The numerical propagator: integrator tableau, gravity field and its
gradient, propagation against two-body and J2 theory, the state transition
matrix, many satellites at once, and bad input."""

from __future__ import annotations

import gzip
import itertools
import math
from fractions import Fraction

import numpy as np
import pytest

from velarion.frames.frames import get_GCRF
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.numerical import (
    ForceModel,
    ImpulsiveManeuver,
    Numerical,
    PropagationError,
    default_gravity_model,
    read_gfc,
)
from velarion.propagators.numerical._numerical import dop853_tableau
from velarion.propagators.numerical.numerical import _tt_seconds
from velarion.state.state import COE, StateVector
from velarion.time.time import Time

GM = 3.986004418e14
EPOCH = Time("2024-03-20T12:00:00")

# (name, r [m], v [m/s]): a LEO, a sun-synchronous orbit, a Molniya and a GEO.
ORBITS = {
    "leo": ([6778e3, 0.0, 0.0], [0.0, 4766.0, 6008.0]),
    "sso": ([7078e3, 0.0, 0.0], [0.0, -1040.0, 7430.0]),
    "molniya": ([7000e3, 0.0, 0.0], [0.0, 5200.0, 8800.0]),
    "geo": ([42164e3, 0.0, 0.0], [0.0, 3074.66, 0.0]),
}


def state(name: str, epoch: Time = EPOCH) -> StateVector:
    r, v = ORBITS[name]
    return StateVector(epoch, r, v)


# --- the DOP853 tableau -------------------------------------------------------


def rooted_trees(order: int) -> list[tuple[object, ...]]:
    """Rooted trees with `order` nodes, each as the sorted tuple of its subtrees."""
    if order == 1:
        return [()]
    out = set()
    # Children: a multiset of trees whose orders sum to order - 1.
    for parts in _partitions(order - 1):
        for combo in itertools.product(*(rooted_trees(p) for p in parts)):
            out.add(tuple(sorted(combo, key=repr)))
    return sorted(out, key=repr)


def _partitions(n: int, largest: int | None = None) -> list[list[int]]:
    largest = n if largest is None else largest
    if n == 0:
        return [[]]
    return [[k, *rest] for k in range(min(n, largest), 0, -1) for rest in _partitions(n - k, k)]


def tree_order(t: tuple[object, ...]) -> int:
    return 1 + sum(tree_order(c) for c in t)  # type: ignore[arg-type]


def density(t: tuple[object, ...]) -> int:
    return tree_order(t) * math.prod(density(c) for c in t)  # type: ignore[arg-type]


def stage_weights(t: tuple[object, ...], A: np.ndarray, c: np.ndarray) -> np.ndarray:
    """Phi_i(t): the elementary weight at each stage (the root's factor left out)."""
    w = np.ones(len(c))
    for child in t:
        w = w * (A @ stage_weights(child, A, c))  # type: ignore[arg-type]
    return w


@pytest.mark.parametrize("order", range(1, 9))
def test_dop853_order_conditions(order: int) -> None:
    # The solution weights satisfy every order condition to 8; the 5th- and
    # 3rd-order error vectors vanish on the trees of their orders.
    A, B, C, E3, E5, _ = dop853_tableau()
    A12, C12 = A[:12, :12], C[:12]
    for t in rooted_trees(order):
        phi = stage_weights(t, A12, C12)
        assert B @ phi == pytest.approx(float(Fraction(1, density(t))), abs=2e-15)
        if order <= 5:
            assert E5 @ phi == pytest.approx(0.0, abs=1e-14)
        if order <= 3:
            assert E3 @ phi == pytest.approx(0.0, abs=1e-14)


def test_dop853_row_sums_are_the_nodes() -> None:
    A, B, C, *_ = dop853_tableau()
    np.testing.assert_allclose(A.sum(axis=1), C, atol=2e-15)
    np.testing.assert_allclose(A[12, :12], B, atol=0)  # the step's end is the next step's first stage


# --- gravity ------------------------------------------------------------------

POINTS = np.array(
    [
        [6525.919e3, 1710.416e3, 2508.886e3],
        [-4000e3, 3000e3, -5500e3],
        [0.0, 1.0, 7000e3],  # next to the pole
        [42164e3, 100e3, -20e3],
        [6378.2e3, 0.0, 0.0],  # on the equator at the surface
    ]
)


def legendre_potential(model, degree: int, r: np.ndarray) -> float:
    """The potential by a plain sum of fully normalised Legendre functions
    (scipy's unnormalised ones, normalised here): independent of the
    recursion under test."""
    from scipy.special import lpmv

    x, y, z = r
    rn = math.sqrt(x * x + y * y + z * z)
    sinphi, lon = z / rn, math.atan2(y, x)
    total = 0.0
    for n in range(degree + 1):
        for m in range(n + 1):
            norm = math.sqrt((2 - (m == 0)) * (2 * n + 1) * math.factorial(n - m) / math.factorial(n + m))
            p = norm * lpmv(m, n, sinphi) * (-1) ** m  # scipy includes the Condon-Shortley phase
            total += (
                (model.radius / rn) ** n * p * (model.C[n, m] * math.cos(m * lon) + model.S[n, m] * math.sin(m * lon))
            )
    return model.GM / rn * total


@pytest.mark.parametrize("degree", [2, 8, 20])
@pytest.mark.parametrize("point", range(4))
def test_gravity_against_a_plain_legendre_sum(degree: int, point: int) -> None:
    model = default_gravity_model()
    prop = Numerical(ForceModel(degree=degree))
    r = POINTS[point]
    a, _ = prop._gravity_itrf(r.reshape(1, 3), False)
    h = 50.0  # the sum's rounding (~1e-7 of U) against the truncation (h / r)^2
    fd = [
        (legendre_potential(model, degree, r + h * e) - legendre_potential(model, degree, r - h * e)) / (2 * h)
        for e in np.eye(3)
    ]
    np.testing.assert_allclose(a[0], fd, rtol=0, atol=1e-9 * np.linalg.norm(a[0]))


@pytest.mark.parametrize("degree", [2, 5, 20, 70, 90])
def test_gravity_against_brahe(degree: int) -> None:
    bh = pytest.importorskip("brahe")
    ref = bh.GravityModel.from_model_type(bh.GravityModelType.EGM2008_120)
    prop = Numerical(ForceModel(degree=degree))
    a, _ = prop._gravity_itrf(POINTS, False)
    for k, r in enumerate(POINTS):
        b = ref.compute_spherical_harmonics(r, degree, degree)
        np.testing.assert_allclose(a[k], b, rtol=0, atol=2e-15 * np.linalg.norm(b))


@pytest.mark.parametrize(("degree", "order"), [(0, 0), (2, 0), (4, 4), (20, 20), (70, 30)])
def test_gravity_gradient_against_finite_differences(degree: int, order: int) -> None:
    prop = Numerical(ForceModel(degree=degree, order=order))
    _, grad = prop._gravity_itrf(POINTS, True)
    h = 2.0
    for j in range(3):
        e = np.zeros(3)
        e[j] = h
        ap, _ = prop._gravity_itrf(POINTS + e, False)
        am, _ = prop._gravity_itrf(POINTS - e, False)
        fd = (ap - am) / (2 * h)
        scale = np.abs(grad).max(axis=(1, 2))[:, None]
        assert np.all(np.abs(fd - grad[:, :, j]) <= 1e-7 * scale)
    np.testing.assert_allclose(grad, np.transpose(grad, (0, 2, 1)), rtol=0, atol=1e-22)  # a potential's Hessian
    # Laplace: the trace of the Hessian vanishes outside the masses.
    assert np.all(np.abs(np.trace(grad, axis1=1, axis2=2)) <= 1e-12 * np.abs(grad).max(axis=(1, 2)))


def test_rotation_per_step_matches_the_frames_chain() -> None:
    # The acceleration in GCRF is the field's in ITRF rotated back, the
    # rotation from the package's exact GCRF -> ITRF conversion.
    prop = Numerical(ForceModel(degree=20))
    times = EPOCH + np.array([0.0, 3777.7, 86400.0 * 3.3, -86400.0 * 10.1])
    r = np.tile([6778e3, 1200e3, -500e3], (4, 1))
    v = np.tile([0.0, 5000.0, 5700.0], (4, 1))
    a = prop.acceleration(times, r, v)
    r_itrf, _ = get_GCRF().to_ITRF(times, r, v)
    a_itrf, _ = prop._gravity_itrf(np.ascontiguousarray(r_itrf), False)
    # back to GCRF through the same conversion (a rotation of a vector at rest)
    from velarion.frames.frames import get_ITRF

    zero = np.zeros_like(a_itrf)
    a_back, _ = get_ITRF().to_GCRF(times, np.ascontiguousarray(a_itrf), zero)
    np.testing.assert_allclose(a, a_back, rtol=0, atol=1e-13 * np.linalg.norm(a[0]))


# --- propagation ----------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(ORBITS))
def test_point_mass_matches_keplerian_over_a_week(name: str) -> None:
    sv = state(name)
    times = EPOCH + np.arange(0.0, 7 * 86400.0 + 1, 3600.0)
    eph = Numerical(ForceModel.point_mass(GM=GM), tolerance=1e-6).propagate_state(times, sv)
    ref = Keplerian(GM=GM).propagate_state(times, sv)
    assert np.abs(eph.r - ref.r).max() < 0.01
    assert np.abs(eph.v - ref.v).max() < 1e-5


@pytest.mark.parametrize("inc_deg", [28.5, 51.6, 63.4, 97.8])
def test_j2_secular_node_and_perigee_rates(inc_deg: float) -> None:
    model = default_gravity_model()
    J2 = -model.C[2, 0] * math.sqrt(5.0)
    a, e, inc = 7200e3, 0.05, math.radians(inc_deg)
    coe = COE(EPOCH, ecc=e, sma=a, inc=inc, raa=0.3, arp=0.5, tra=0.0, GM=model.GM)
    days = 3.0
    times = EPOCH + np.linspace(0.0, days * 86400.0, 600)
    eph = Numerical(ForceModel(degree=2, order=0), tolerance=1e-4).propagate_state(times, coe)
    # Node and perigee from the osculating elements, their secular rates by a
    # line fit (the short-periodic terms average out over ~45 revolutions).
    raan, arp = [], []
    for k in range(len(times)):
        c = eph[k].to_coe()
        raan.append(c.raa)
        arp.append(c.arp)
    t = np.asarray(times - EPOCH)
    raan_rate = np.polyfit(t, np.unwrap(raan), 1)[0]
    arp_rate = np.polyfit(t, np.unwrap(arp), 1)[0]
    n = math.sqrt(model.GM / a**3)
    p = a * (1 - e * e)
    k = 1.5 * n * J2 * (model.radius / p) ** 2
    expected_raan = -k * math.cos(inc)
    expected_arp = 0.5 * k * (5 * math.cos(inc) ** 2 - 1)
    # First-order theory on osculating elements: the mean semi-major axis
    # differs from the osculating one by O(J2), the rates by ~3e-3 of k.
    assert raan_rate == pytest.approx(expected_raan, rel=5e-3, abs=5e-3 * k)
    assert arp_rate == pytest.approx(expected_arp, rel=5e-3, abs=5e-3 * k)


def test_energy_is_conserved_under_an_axisymmetric_field() -> None:
    # J2 about the Earth's axis: E = v^2 / 2 - U holds up to the axis' slow
    # precession and nutation.
    model = default_gravity_model()
    J2 = -model.C[2, 0] * math.sqrt(5.0)
    times = EPOCH + np.linspace(0.0, 86400.0, 97)
    eph = Numerical(ForceModel(degree=2, order=0), tolerance=1e-6).propagate_state(times, state("molniya"))
    r_itrf, _ = get_GCRF().to_ITRF(times, eph.r, eph.v)
    rn = np.linalg.norm(r_itrf, axis=1)
    s = r_itrf[:, 2] / rn
    U = model.GM / rn * (1 - J2 * (model.radius / rn) ** 2 * (1.5 * s * s - 0.5))
    E = 0.5 * np.sum(eph.v**2, axis=1) - U
    assert np.abs(E - E[0]).max() < 1e-9 * abs(E[0])


def test_jacobi_constant_of_a_tesseral_field() -> None:
    # In the frame turning with the Earth, a field of tesseral terms (8 x 8)
    # keeps J = v^2 / 2 - |w x r|^2 / 2 - U up to the Earth's axis moving
    # otherwise than by its rotation: precession turns it 6.7e-7 rad a day,
    # which moves J by ~3e-8 of itself (as for a zonal field, whose inertial
    # energy holds to 1e-9), while the tesseral terms change the inertial
    # energy 300 times as much.
    model = default_gravity_model()
    times = EPOCH + np.linspace(0.0, 86400.0, 25)
    eph = Numerical(ForceModel(degree=8), tolerance=1e-6).propagate_state(times, state("sso"))
    r_itrf, v_itrf = get_GCRF().to_ITRF(times, eph.r, eph.v)
    r_itrf, v_itrf = np.asarray(r_itrf), np.asarray(v_itrf)
    w = np.array([0.0, 0.0, 7.292115146706798e-5])
    spin = np.cross(w, r_itrf)
    J = np.array(
        [
            0.5 * v_itrf[k] @ v_itrf[k] - 0.5 * spin[k] @ spin[k] - legendre_potential(model, 8, r_itrf[k])
            for k in range(len(times))
        ]
    )
    assert np.abs(J - J[0]).max() < 1e-7 * abs(J[0])
    E = 0.5 * np.sum(eph.v**2, axis=1) - np.array([legendre_potential(model, 8, x) for x in r_itrf])
    assert np.abs(E - E[0]).max() > 30 * np.abs(J - J[0]).max()


@pytest.mark.parametrize("integrator", ["dop853", "rk4"])
def test_forward_then_back_returns_to_the_start(integrator: str) -> None:
    prop = Numerical(ForceModel(degree=20), integrator=integrator, tolerance=1e-6, step=2.0)
    sv = state("leo")
    end = prop.propagate_state(EPOCH + 86400.0, sv)[0]
    back = prop.propagate_state(EPOCH, end)
    assert np.abs(back.r[0] - sv.r).max() < 1e-3
    assert np.abs(back.v[0] - sv.v).max() < 1e-5


def test_rk4_converges_at_fourth_order() -> None:
    sv = state("leo")
    times = EPOCH + 6000.0
    ref = Numerical(ForceModel.point_mass(GM=GM), tolerance=1e-7).propagate_state(times, sv).r[0]
    err = []
    for h in (60.0, 30.0):
        r = Numerical(ForceModel.point_mass(GM=GM), integrator="rk4", step=h).propagate_state(times, sv).r[0]
        err.append(np.linalg.norm(r - ref))
    assert 12.0 < err[0] / err[1] < 20.0


@pytest.mark.parametrize("integrator", ["dop853", "rk4"])
def test_output_epochs_in_any_order_and_before_the_state(integrator: str) -> None:
    prop = Numerical(ForceModel(degree=8), integrator=integrator, tolerance=1e-3)
    sv = state("sso")
    offsets = np.array([3600.0, -5400.0, 0.0, 100.0, 86400.0, -60.0, 3600.0])
    eph = prop.propagate_state(EPOCH + offsets, sv)
    order = np.argsort(offsets)
    sorted_eph = prop.propagate_state(EPOCH + offsets[order], sv)
    np.testing.assert_array_equal(eph.r[order], sorted_eph.r)
    np.testing.assert_array_equal(eph.r[2], sv.r)  # the epoch itself
    np.testing.assert_array_equal(eph.r[0], eph.r[6])


def test_dense_output_does_not_shorten_the_steps() -> None:
    prop = Numerical(ForceModel(degree=8), tolerance=1e-3)
    tt0 = _tt_seconds(EPOCH)
    y0 = np.array([[6778e3, 0.0, 0.0, 0.0, 4766.0, 6008.0]])
    first, values = prop._table(np.array([tt0[0], tt0[0] + 86400.0]))
    one = prop._propagate(tt0, y0, np.array([[86400.0]]), first, values, None, False, 1, None, None)
    many = prop._propagate(
        tt0, y0, np.linspace(0.0, 86400.0, 1441).reshape(1, -1), first, values, None, False, 1, None, None
    )
    assert one[5][0] == many[5][0]  # the same steps
    np.testing.assert_array_equal(one[0][0, -1], many[0][0, -1])


# --- state transition matrix ----------------------------------------------------


@pytest.mark.parametrize(("name", "degree"), [("leo", 8), ("molniya", 4), ("geo", 0)])
def test_stm_against_finite_differences_of_propagations(name: str, degree: int) -> None:
    prop = Numerical(ForceModel(degree=degree), tolerance=1e-7)
    sv = state(name)
    times = EPOCH + np.array([1800.0, 10800.0])
    _, stm = prop.propagate_state(times, sv, stm=True)
    assert stm.shape == (2, 6, 6)
    y0 = np.concatenate([sv.r, sv.v])
    steps = [10.0] * 3 + [1e-2] * 3
    for j in range(6):
        out = []
        for sign in (1, -1):
            y = y0.copy()
            y[j] += sign * steps[j]
            e = prop.propagate_state(times, StateVector(EPOCH, y[:3], y[3:]))
            out.append(np.concatenate([e.r, e.v], axis=1))
        column = (out[0] - out[1]) / (2 * steps[j])
        scale = np.abs(stm[:, :, j]).max(axis=1, keepdims=True)
        np.testing.assert_allclose(stm[:, :, j], column, rtol=0, atol=1e-5 * scale.max())
    np.testing.assert_array_equal(stm[0], stm[0])  # finite


def test_stm_leaves_the_trajectory_unchanged() -> None:
    prop = Numerical(ForceModel(degree=10), tolerance=1e-3)
    times = EPOCH + np.linspace(0.0, 86400.0, 25)
    plain = prop.propagate_state(times, state("leo"))
    with_stm, _ = prop.propagate_state(times, state("leo"), stm=True)
    np.testing.assert_array_equal(plain.r, with_stm.r)
    np.testing.assert_array_equal(plain.v, with_stm.v)


# --- many satellites --------------------------------------------------------------


def test_propagate_many_equals_one_by_one_and_reports_failures() -> None:
    prop = Numerical(ForceModel(degree=12), tolerance=1e-2)
    times = EPOCH + np.linspace(-3600.0, 43200.0, 50)
    states = [
        state("leo"),
        StateVector(EPOCH + 10.0, [6000e3, 0.0, 0.0], [0.0, 7000.0, 0.0]),  # inside the Earth
        state("molniya", EPOCH + 600.0),
        state("geo"),
        COE(EPOCH, ecc=0.001, sma=7000e3, inc=1.0, raa=0.2, arp=0.1, tra=0.4),
    ]
    many = prop.propagate_many(times, states, threads=2)
    assert [f.index for f in many.failures] == [1]
    assert "inside the Earth" in str(many.failures[0].error)
    assert many[1] is None
    for k in (0, 2, 3, 4):
        one = prop.propagate_state(times, states[k])
        np.testing.assert_array_equal(many[k].r, one.r)
        np.testing.assert_array_equal(many[k].v, one.v)
    with pytest.raises(PropagationError, match="inside the Earth"):
        prop.propagate_many(times, states, errors="raise")
    none = prop.propagate_many(times, [], stm=True)
    assert list(none) == [] and none.failures == [] and none.stm == []


# --- bad input ----------------------------------------------------------------------


def test_a_state_inside_the_earth_names_its_epoch() -> None:
    sv = StateVector(EPOCH, [6300e3, 0.0, 0.0], [0.0, 7800.0, 0.0])
    with pytest.raises(PropagationError, match=r"2024-03-20 12:00:00\.000 UTC is inside the Earth"):
        Numerical(ForceModel(degree=2)).propagate_state(EPOCH + 60.0, sv)


@pytest.mark.parametrize("integrator", ["dop853", "rk4"])
def test_a_decaying_orbit_names_the_epoch_it_reaches_the_surface(integrator: str) -> None:
    # Apogee 7000 km, perigee well below the surface: down within half a revolution.
    sv = StateVector(EPOCH, [7000e3, 0.0, 0.0], [0.0, 6000.0, 0.0])
    prop = Numerical(ForceModel(degree=2), integrator=integrator)
    with pytest.raises(PropagationError, match="reached the Earth's surface") as info:
        prop.propagate_state(EPOCH + 86400.0, sv)
    dt = float(info.value.epoch - EPOCH)
    assert 0.0 < dt < 3000.0


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"integrator": "euler"}, "unknown integrator"),
        ({"tolerance": -1.0}, "finite and positive"),
        ({"step": 0.0}, "finite and positive"),
    ],
)
def test_bad_settings_are_refused(kwargs: dict[str, object], error: str) -> None:
    with pytest.raises(ValueError, match=error):
        Numerical(ForceModel(degree=2), **kwargs)  # type: ignore[arg-type]


@pytest.mark.parametrize(("degree", "order"), [(-1, None), (4, 5), (2, -1)])
def test_bad_force_models_are_refused(degree: int, order: int | None) -> None:
    with pytest.raises(ValueError):
        ForceModel(degree=degree, order=order)


def test_a_degree_beyond_the_model_is_refused() -> None:
    with pytest.raises(ValueError, match="goes to degree 90"):
        Numerical(ForceModel(degree=91))


# --- the ICGEM reader -------------------------------------------------------------------


def test_the_shipped_model() -> None:
    m = default_gravity_model()
    assert (m.name, m.degree, m.GM, m.radius) == ("EGM2008", 90, 3.986004415e14, 6378136.3)
    assert m.C[2, 0] == pytest.approx(-4.84165143790815e-4, rel=1e-12)
    assert m.C[0, 0] == 1.0 and np.all(m.C[1] == 0.0)


def test_read_gfc_truncates_and_round_trips(tmp_path) -> None:
    with gzip.open(default_gravity_model().source, "rt") as f:
        src = f.read()
    plain = tmp_path / "egm.gfc"
    plain.write_text(src.replace("e-", "D-"))  # Fortran exponents read too
    m = read_gfc(plain, max_degree=10)
    ref = default_gravity_model()
    assert m.degree == 10
    np.testing.assert_array_equal(m.C, ref.C[:11, :11])
    np.testing.assert_array_equal(m.S, ref.S[:11, :11])


@pytest.mark.parametrize(
    ("text", "error"),
    [
        ("earth_gravity_constant 3.9e14\nradius 6.3e6\n", "no end_of_head"),
        ("radius 6.3e6\nend_of_head\ngfc 0 0 1.0 0.0\n", "no earth_gravity_constant"),
        ("earth_gravity_constant 3.9e14\nradius 6.3e6\nend_of_head\ngfc 2 x 1.0 0.0\n", "line 4"),
        ("earth_gravity_constant 3.9e14\nradius 6.3e6\nend_of_head\ngfc 2 3 1.0 0.0\n", "out of range"),
        ("earth_gravity_constant 3.9e14\nradius 6.3e6\nnorm unnormalized\nend_of_head\ngfc 0 0 1 0\n", "normalized"),
        ("earth_gravity_constant 3.9e14\nradius 6.3e6\nend_of_head\ngfct 2 0 1.0 0.0 20000101\n", "time-variable"),
    ],
)
def test_read_gfc_refuses_malformed_files(tmp_path, text: str, error: str) -> None:
    p = tmp_path / "bad.gfc"
    p.write_text(text)
    with pytest.raises(ValueError, match=error):
        read_gfc(p)


def test_read_gfc_names_a_missing_file(tmp_path) -> None:
    with pytest.raises(FileNotFoundError, match=r"nothere\.gfc"):
        read_gfc(tmp_path / "nothere.gfc")


@pytest.mark.parametrize("degree", [0, 20])
def test_propagation_against_brahe(degree: int) -> None:
    # brahe (its own frames, EOP and integrator, RKF78 at tight tolerances)
    # from the same GCRF state: a day of LEO to centimetres.
    bh = pytest.importorskip("brahe")
    bh.initialize_eop()
    r0, v0 = np.array(ORBITS["leo"][0]), np.array(ORBITS["leo"][1])
    start = bh.Epoch.from_datetime(2024, 3, 20, 12, 0, 0.0, 0.0, bh.TimeSystem.UTC)
    gravity = bh.GravityConfiguration(degree=degree, order=degree) if degree else bh.GravityConfiguration.point_mass()
    config = (
        bh.NumericalPropagationConfig.with_method(bh.IntegrationMethod.RKF78).with_abs_tol(1e-9).with_rel_tol(1e-13)
    )
    ref = bh.NumericalOrbitPropagator(
        start, np.concatenate([r0, v0]), config, bh.ForceModelConfig(gravity=gravity), None
    )
    ref.propagate_to(start + 86400.0)
    fm = ForceModel(degree=degree, GM=default_gravity_model().GM)
    eph = Numerical(fm, tolerance=1e-6).propagate_state(EPOCH + 86400.0, StateVector(EPOCH, r0, v0))
    assert np.linalg.norm(eph.r[0] - np.asarray(ref.current_state())[:3]) < 0.1


# --- impulsive manoeuvres -----------------------------------------------------------


def test_a_gcrf_manoeuvre_is_a_restart_with_the_velocity_changed() -> None:
    prop = Numerical(ForceModel(degree=8), tolerance=1e-3)
    sv = state("leo")
    t_burn = EPOCH + 1800.0
    dv = np.array([1.0, -2.0, 0.5])
    times = EPOCH + np.array([600.0, 1800.0, 3600.0, 7200.0])
    eph = prop.propagate_state(times, sv, maneuvers=[ImpulsiveManeuver(t_burn, dv)])
    before = prop.propagate_state(t_burn, sv)
    after = prop.propagate_state(times[2:], StateVector(t_burn, before.r[0], before.v[0] + dv))
    np.testing.assert_array_equal(eph.r[1], before.r[0])  # the state at the burn is the one before it
    np.testing.assert_array_equal(eph.r[2:], after.r)
    np.testing.assert_array_equal(eph.v[2:], after.v)


def test_a_tangential_burn_raises_the_apogee_by_vis_viva() -> None:
    r0 = 7000e3
    v0 = math.sqrt(GM / r0)
    sv = StateVector(EPOCH, [r0, 0.0, 0.0], [0.0, v0, 0.0])
    dv = 100.0
    prop = Numerical(ForceModel.point_mass(GM=GM), tolerance=1e-6)
    burn = ImpulsiveManeuver(EPOCH + 60.0, [dv, 0.0, 0.0], frame="VNC")
    eph = prop.propagate_state(EPOCH + np.linspace(120.0, 12000.0, 2000), sv, maneuvers=[burn])
    v1 = v0 + dv
    a = 1.0 / (2.0 / r0 - v1 * v1 / GM)
    assert np.linalg.norm(eph.r, axis=1).max() == pytest.approx(2 * a - r0, abs=50.0)


@pytest.mark.parametrize("frame", ["GCRF", "RSW", "NTW"])
def test_manoeuvres_before_the_epoch_are_undone_going_back(frame: str) -> None:
    prop = Numerical(ForceModel(degree=4), tolerance=1e-6)
    sv = state("sso")
    burn = ImpulsiveManeuver(EPOCH - 3000.0, [3.0, 1.0, -2.0], frame=frame)
    early = prop.propagate_state(EPOCH - 6000.0, sv, maneuvers=[burn])[0]
    back = prop.propagate_state(EPOCH, early, maneuvers=[burn])
    assert np.abs(back.r[0] - sv.r).max() < 1e-3
    assert np.abs(back.v[0] - sv.v).max() < 1e-6


def test_the_stm_through_a_manoeuvre_against_finite_differences() -> None:
    prop = Numerical(ForceModel(degree=4), tolerance=1e-7)
    sv = state("leo")
    burns = [ImpulsiveManeuver(EPOCH + 1200.0, [0.0, 5.0, 0.0])]
    t = EPOCH + 4000.0
    _, stm = prop.propagate_state(t, sv, stm=True, maneuvers=burns)
    y0 = np.concatenate([sv.r, sv.v])
    for j, h in ((1, 10.0), (3, 1e-2)):
        cols = []
        for sign in (1, -1):
            y = y0.copy()
            y[j] += sign * h
            e = prop.propagate_state(t, StateVector(EPOCH, y[:3], y[3:]), maneuvers=burns)
            cols.append(np.concatenate([e.r[0], e.v[0]]))
        fd = (cols[0] - cols[1]) / (2 * h)
        np.testing.assert_allclose(stm[0][:, j], fd, rtol=0, atol=1e-5 * np.abs(fd).max())


@pytest.mark.parametrize(("dv", "frame"), [([1.0, 2.0], "GCRF"), ([1.0, 2.0, math.nan], "GCRF"), ([1.0, 0, 0], "XYZ")])
def test_bad_manoeuvres_are_refused(dv: list[float], frame: str) -> None:
    with pytest.raises(ValueError):
        ImpulsiveManeuver(EPOCH, dv, frame=frame)


# --- events ---------------------------------------------------------------------------


@pytest.mark.parametrize(("name", "span", "height"), [("leo", 30000.0, 400e3), ("molniya", 200000.0, 5000e3)])
def test_events_are_timed_to_a_millisecond(name: str, span: float, height: float) -> None:
    prop = Numerical(ForceModel(degree=8), tolerance=1e-3)
    sv = state(name)
    _, events = prop.propagate_state(EPOCH + span, sv, events=["node", "apsis", ("altitude", height)])
    kinds = {e.name for e in events}
    assert {"ascending node", "descending node", "periapsis", "apoapsis", "altitude up", "altitude down"} <= kinds
    eph = prop.propagate_state(Time([e.epoch for e in events]), sv)
    later = prop.propagate_state(Time([e.epoch + 1e-3 for e in events]), sv)
    for k, e in enumerate(events):
        if e.name.endswith("node"):
            f0, f1 = eph.r[k, 2], later.r[k, 2]
        elif e.name.endswith("apsis"):
            f0, f1 = eph.r[k] @ eph.v[k], later.r[k] @ later.v[k]
        else:
            continue  # the height over the ellipsoid: below
        # the function's change over 1 ms exceeds its value at the event
        assert abs(f0) < abs(f1 - f0), (e.name, f0, f1)
    assert [e.epoch for e in events] == sorted(e.epoch for e in events)


def test_altitude_events_cross_the_height_over_the_ellipsoid() -> None:
    from velarion.frames.frames import get_GCRF

    prop = Numerical(ForceModel(degree=8), tolerance=1e-3)
    sv = state("molniya")
    _, events = prop.propagate_state(EPOCH + 200000.0, sv, events=[("altitude", 5000e3)])
    assert len(events) >= 2
    for e in events:
        for shift, sign in ((-5e-4, -1.0), (5e-4, 1.0)):
            at = prop.propagate_state(e.epoch + shift, sv)
            r_itrf, _ = get_GCRF().to_ITRF(at.time, at.r, at.v)
            from velarion.mathtools.ellipsoid.ellipsoid import WGS84

            _, _, alt = WGS84.cartesian_to_geodetic(np.asarray(r_itrf))
            up = 1.0 if e.name == "altitude up" else -1.0
            assert (float(np.asarray(alt).reshape(-1)[0]) - 5000e3) * sign * up > 0.0


def test_eclipse_events_pair_up_with_the_umbras_width() -> None:
    # Node on the March equinox Sun's line: the Sun in the orbit's plane, so
    # the umbra spans 2 asin(R / r) of the orbit (less a little for the cone).
    prop = Numerical(ForceModel.point_mass(GM=GM), tolerance=1e-3)
    r0 = 6778e3
    v0 = math.sqrt(GM / r0)
    sv = StateVector(EPOCH, [r0, 0.0, 0.0], [0.0, v0 * 0.6, v0 * 0.8])
    _, events = prop.propagate_state(EPOCH + 20000.0, sv, events=["eclipse"])
    names = [e.name for e in events]
    assert names[:4] == ["penumbra entry", "umbra entry", "umbra exit", "penumbra exit"]
    umbra = float(events[2].epoch - events[1].epoch)
    period = 2 * math.pi * math.sqrt(r0**3 / GM)
    expected = 2 * math.asin(6371e3 / r0) / (2 * math.pi) * period
    assert umbra == pytest.approx(expected, rel=0.02)
    assert 2.0 < float(events[1].epoch - events[0].epoch) < 20.0  # the penumbra's seconds


@pytest.mark.parametrize("events", [["sunrise"], [("altitude", math.nan)], [("height", 1.0)]])
def test_unknown_events_are_refused(events: list[object]) -> None:
    with pytest.raises(ValueError):
        Numerical(ForceModel(degree=2)).propagate_state(EPOCH + 60.0, state("leo"), events=events)  # type: ignore[arg-type]


def test_events_need_the_adaptive_integrator() -> None:
    with pytest.raises(ValueError, match="dop853"):
        Numerical(ForceModel(degree=2), integrator="rk4").propagate_state(EPOCH + 60.0, state("leo"), events=["node"])


def test_ctrl_c_stops_propagate_many() -> None:
    import _thread
    import signal
    import threading
    import time as clock

    prop = Numerical(ForceModel(degree=20), tolerance=1e-6)
    states = [state("leo")] * 64
    times = EPOCH + np.array([30 * 86400.0])  # minutes of work in all
    timer = threading.Timer(0.3, _thread.interrupt_main)
    # interrupt_main does nothing where SIGINT is ignored (a background job).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    start = clock.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            prop.propagate_many(times, states, threads=2)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert clock.perf_counter() - start < 3.0  # each step tests the flag
