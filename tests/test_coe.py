"""Anomaly conversions and the Kepler-equation solver of velarion.state.coe.

The solver is judged against a Newton iteration in extended precision
(numpy.longdouble, 64-bit mantissa on x86) that evaluates Kepler's equation
in a cancellation-free form, so that a few-ulp claim is checked where the
problem is worst conditioned (e close to 1, M close to 0).
"""

import math
import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest

from velarion.state import coe

TWO_PI_LD = np.longdouble("6.283185307179586476925286766559005768394")
EXTENDED = np.finfo(np.longdouble).nmant >= 63
needs_extended = pytest.mark.skipif(not EXTENDED, reason="needs an extended-precision numpy.longdouble")


def e_minus_sin(E):
    """E - sin(E) in long double, by its series where the difference cancels."""
    E = np.asarray(E, dtype=np.longdouble)
    small = np.abs(E) < 1
    out = E - np.sin(E)
    x2 = E * E
    term = E * x2 / 6
    acc = np.zeros_like(E)
    for n in range(3, 41, 2):
        acc += term
        term = -term * x2 / ((n + 1) * (n + 2))
    return np.where(small, acc, out)


def kepler_oracle(M_reduced, e, E_start):
    """Root of E - e sin E = M on [-pi, pi], refined by Newton in long double."""
    M = np.asarray(M_reduced, dtype=np.longdouble)
    e = np.asarray(e, dtype=np.longdouble)
    E = np.asarray(E_start, dtype=np.longdouble)
    for _ in range(6):
        f0 = (1 - e) * E + e * e_minus_sin(E) - M
        E = E - f0 / (1 - e * np.cos(E))
    return E


def reduce_ld(M):
    k = np.round(np.asarray(M, dtype=np.longdouble) / TWO_PI_LD)
    return np.asarray(M, dtype=np.longdouble) - k * TWO_PI_LD, k


ECC_GRID = np.concatenate([np.linspace(0.0, 0.99, 100), 1 - np.logspace(-2.5, -6, 8)])


# --- reference values ---------------------------------------------------------------


def test_reference_values():
    nu = math.pi / 2
    E = coe.eca_from_tra(nu, 0.1)
    assert E == pytest.approx(1.4706289056333368, rel=2.5e-16)
    assert coe.mea_from_tra(nu, 0.1) == pytest.approx(1.3711301619226748, rel=2.5e-16)
    assert coe.mea_from_eca(E, 0.1) == pytest.approx(1.3711301619226748, rel=2.5e-16)
    assert coe.tra_from_eca(1.4706289056333368, 0.1) == pytest.approx(nu, rel=2.5e-16)
    assert coe.tra_from_mea(1.3711301619226748, 0.1) == pytest.approx(nu, rel=1e-15)
    assert coe.mnm_from_sma(7000e3, 398600.4418e9) == pytest.approx(0.001078007612872506, rel=2.5e-16)


# --- the solver -----------------------------------------------------------------------


@needs_extended
def test_kepler_few_ulp_on_the_reduced_range():
    # Dense in e and M, with M also log-spaced down to 1e-16 (the near-parabolic corner).
    M = np.concatenate([np.linspace(-np.pi, np.pi, 2001), np.logspace(-16, 0, 300), -np.logspace(-16, 0, 50)])
    e, M = np.meshgrid(ECC_GRID, M)
    E = coe.eca_from_mea(M, e)
    ref = kepler_oracle(M, e, E)
    ulp = np.spacing(np.abs(ref.astype(np.float64)))
    err = np.abs(E.astype(np.longdouble) - ref) / ulp
    assert err.max() <= 3.0, (err.max(), M.flat[err.argmax()], e.flat[err.argmax()])
    residual = np.abs(E.astype(np.longdouble) - e * np.sin(E.astype(np.longdouble)) - M)
    assert residual.max() < 1e-15


@needs_extended
def test_kepler_residual_over_unreduced_mean_anomalies():
    M = np.linspace(-100.0, 100.0, 20001)
    e, M = np.meshgrid(ECC_GRID, M)
    E = coe.eca_from_mea(M, e)
    Mr, k = reduce_ld(M)
    Er = E.astype(np.longdouble) - k * TWO_PI_LD
    # E comes back unreduced: within pi of the multiple of 2 pi nearest M.
    assert np.all(np.abs(Er) <= np.pi + 1e-12)
    residual = np.abs((1 - e) * Er + e * e_minus_sin(Er) - Mr)
    assert residual.max() < 1e-14 * 2  # the rounding of E near 100 alone is up to (1 + e) * ulp(100) / 2
    # Within two ulp of the exact root, i.e. the residual that rounding E allows.
    slope = np.abs(1 - e * np.cos(Er))
    assert np.all(residual <= 2 * slope * np.spacing(np.abs(E)) + 1e-16)
    # And the reduced problem on its own stays below 1e-14 everywhere on the grid.
    Er_direct = coe.eca_from_mea(Mr.astype(np.float64), e)
    assert np.abs(Er_direct - e * np.sin(Er_direct.astype(np.longdouble)) - Mr.astype(np.float64)).max() < 1e-14


def test_kepler_is_periodic_and_odd():
    M = np.linspace(-3.0, 3.0, 601)
    for e in (0.0, 0.3, 0.9, 0.999999):
        E = coe.eca_from_mea(M, e)
        slope = 1 - e * np.cos(E)
        for k in (-5, 1, 1000, 10**6):
            Mk = M + 2 * np.pi * k
            shifted = coe.eca_from_mea(Mk, e) - 2 * np.pi * k
            # Mk carries the rounding of the shift; E moves by that over the slope dM/dE.
            tol = (np.abs(Mk - 2 * np.pi * k - M) + 2 * np.spacing(np.abs(Mk))) / slope + 4 * np.spacing(np.abs(Mk))
            assert np.all(np.abs(shifted - E) <= tol), (e, k)
        np.testing.assert_array_equal(coe.eca_from_mea(-M, e), -E)


def test_kepler_huge_and_special_inputs():
    # Beyond the cheap reduction range the answer must still solve the equation modulo 2 pi.
    for M in (1e8 + 0.25, -3.3e9, 2.0**40 + 1.5):
        for e in (0.2, 0.95):
            E = coe.eca_from_mea(M, e)
            r = math.remainder(E - e * math.sin(E) - M, 2 * math.pi)
            assert abs(r) < 64 * np.spacing(abs(M)), (M, e, r)
    assert math.isnan(coe.eca_from_mea(float("nan"), 0.5))
    assert math.isnan(coe.eca_from_mea(float("inf"), 0.5))
    assert coe.eca_from_mea(0.0, 0.999999) == 0.0
    assert coe.eca_from_mea(math.pi, 0.999999) == pytest.approx(math.pi, rel=1e-16)
    # e = 0 is the identity on the reduced range.
    M = np.linspace(-np.pi, np.pi, 101)
    np.testing.assert_array_equal(coe.eca_from_mea(M, 0.0), M)


def _pi_exact(bits=1400):
    """pi to `bits` bits, as a Fraction (Machin's formula in integers)."""

    def arctan_inv(x, one):
        total = term = one // x
        n, sign = 1, -1
        while term:
            term //= x * x
            total += sign * (term // (2 * n + 1))
            sign, n = -sign, n + 1
        return total

    one = 1 << (bits + 16)
    return Fraction(4 * (4 * arctan_inv(5, one) - arctan_inv(239, one)), one)


TWO_PI_EXACT = 2 * _pi_exact()  # its error (2^-1400) is far below any double's distance to a multiple of 2 pi


def _huge_mean_anomalies():
    rng = np.random.default_rng(11)
    spread = 10.0 ** rng.uniform(7.5, 308.2, 400) * rng.choice([-1.0, 1.0], 400)
    named = [
        5e17,
        1e20,
        1e300,
        -1e300,
        np.finfo(float).max,
        -np.finfo(float).max,
        2.0**53,
        2.0**52 + 0.5,
        -(2.0**63),
        6.0e7,
        1e16,
        3e16,
    ]
    return named + [float(x) for x in spread if np.isfinite(x)]


def test_kepler_reduces_exactly_at_every_magnitude():
    """Huge mean anomalies (the fast three-part reduction covers |M| < 5e7):
    E - M must be E_r - M_r, with M_r = M - 2 pi k reduced exactly (against pi
    to 1400 bits) and E_r the solution of the reduced problem; that is, E is
    M + (E_r - M_r) rounded once, and never NaN."""
    for M in _huge_mean_anomalies():
        k = round(Fraction(M) / TWO_PI_EXACT)
        Mr_exact = Fraction(M) - k * TWO_PI_EXACT
        assert abs(Mr_exact) <= math.pi
        for e in (0.0, 0.3, 0.999):
            E = coe.eca_from_mea(M, e)
            assert math.isfinite(E), (M, e, E)
            Er = coe.eca_from_mea(float(Mr_exact), e)
            err = abs((Fraction(E) - Fraction(M)) - (Fraction(Er) - Mr_exact))
            # one rounding of E, plus the reduced solve's few ulp of pi
            assert err <= Fraction(math.ulp(abs(E))) / 2 + 8 * Fraction(math.ulp(math.pi)), (M, e, float(err))
    # The vectorized form takes the same path.
    values = np.array(_huge_mean_anomalies()[:12])
    np.testing.assert_array_equal(coe.eca_from_mea(values, 0.5), [coe.eca_from_mea(x, 0.5) for x in values])
    assert np.all(np.isfinite(coe.tra_from_mea(values, 0.5)))


# --- the anomaly conversions ---------------------------------------------------------


@pytest.mark.parametrize("e", [0.0, 1e-9, 0.1, 0.5, 0.9, 0.999, 0.999999])
def test_round_trips_between_the_anomalies(e):
    nu = np.linspace(0.0, 2 * np.pi, 721, endpoint=False)
    M = coe.mea_from_tra(nu, e)
    assert np.all((M >= 0) & (M < 2 * np.pi))
    back = coe.tra_from_mea(M, e)
    d = np.angle(np.exp(1j * (back - nu)))
    # Near periapsis of a near-parabolic orbit dnu/dM is large; compare in M instead there.
    dM = np.angle(np.exp(1j * (coe.mea_from_tra(back, e) - M)))
    assert np.all((np.abs(d) < 1e-12) | (np.abs(dM) < 1e-15))
    E = coe.eca_from_tra(nu, e)
    # cos(E) - e cancels near periapsis as e -> 1, an error of ulp(1) / (1 - e) in nu.
    atol = 1e-12 + 4e-16 / (1 - e)
    np.testing.assert_allclose(np.angle(np.exp(1j * (coe.tra_from_eca(E, e) - nu))), 0, atol=atol)
    # Independent relation: tan(nu/2) = sqrt((1+e)/(1-e)) tan(E/2), checked through the half-angle form.
    lhs = np.sqrt(1 - e) * np.sin(nu / 2) * np.cos(E / 2)
    rhs = np.sqrt(1 + e) * np.cos(nu / 2) * np.sin(E / 2)
    np.testing.assert_allclose(lhs, rhs, atol=atol)


def test_special_angles():
    for e in (0.0, 0.3, 0.99):
        assert coe.eca_from_tra(0.0, e) == 0.0 and coe.mea_from_tra(0.0, e) == 0.0
        assert coe.tra_from_mea(0.0, e) == 0.0
        assert coe.tra_from_eca(math.pi, e) == pytest.approx(math.pi, rel=1e-15)
    nu = np.linspace(0, 6, 13)
    np.testing.assert_allclose(coe.eca_from_tra(nu, 0.0), nu, rtol=1e-15)
    np.testing.assert_allclose(coe.mea_from_tra(nu, 0.0), nu, rtol=1e-15)
    # Outside [0, 2 pi) the result is the equivalent angle inside it.
    assert coe.tra_from_mea(coe.mea_from_tra(-0.5, 0.2), 0.2) == pytest.approx(2 * np.pi - 0.5, rel=1e-14)
    assert coe.mea_from_eca(-0.5, 0.2) == pytest.approx(-0.5 + 0.2 * math.sin(0.5), rel=1e-15)


def test_mean_motion_matches_keplers_third_law():
    sma = np.array([6.6e6, 7e6, 4.2164e7, 3.84e8])
    gm = 3.986004418e14
    n = coe.mnm_from_sma(sma, gm)
    np.testing.assert_allclose(n**2 * sma**3, gm, rtol=1e-15)
    np.testing.assert_allclose(
        coe.mnm_from_sma(sma, [gm, 2 * gm, gm, gm]) ** 2 * sma**3, [gm, 2 * gm, gm, gm], rtol=1e-15
    )


def test_broadcasting_and_result_types():
    assert type(coe.tra_from_mea(1.0, 0.1)) is float
    assert type(coe.mnm_from_sma(7e6, 4e14)) is float
    out = coe.tra_from_mea(np.zeros((4, 1)), np.array([0.0, 0.1, 0.2]))
    assert out.shape == (4, 3) and out.dtype == np.float64
    strided = np.linspace(0, 10, 40)[::3]
    np.testing.assert_array_equal(coe.eca_from_mea(strided, 0.4), coe.eca_from_mea(strided.copy(), 0.4))
    np.testing.assert_array_equal(coe.eca_from_mea([1, 2, 3], 0.4), coe.eca_from_mea(np.array([1.0, 2, 3]), 0.4))
    assert coe.eca_from_mea(np.zeros(0), 0.5).shape == (0,)
    assert coe.eca_from_mea(mea=1.0, ecc=0.5) == coe.eca_from_mea(1.0, 0.5)
    assert np.isnan(coe.tra_from_mea([np.nan, 1.0], 0.5)[0])


@pytest.mark.parametrize(
    "fn, args, exc, match",
    [
        (coe.eca_from_mea, (1.0, 1.0), ValueError, r"ecc must be in \[0, 1\)"),
        (coe.tra_from_mea, (1.0, -1e-12), ValueError, "ecc"),
        (coe.mea_from_tra, (1.0, float("nan")), ValueError, "ecc"),
        (coe.tra_from_eca, ([1.0, 2.0], [0.5, 1.5]), ValueError, "ecc"),
        (coe.mea_from_eca, (1.0, 2.0), ValueError, "ecc"),
        (coe.eca_from_tra, (1.0, np.inf), ValueError, "ecc"),
        (coe.mnm_from_sma, ([7e6, 0.0], 4e14), ValueError, "sma must be positive"),
        (coe.mnm_from_sma, (7e6, -4e14), ValueError, "GM must be positive"),
        (coe.mnm_from_sma, (np.inf, 4e14), ValueError, "sma"),
        (coe.eca_from_mea, ("1.0", 0.5), TypeError, None),
        (coe.eca_from_mea, (1.0,), TypeError, "eca_from_mea"),
        (coe.eca_from_mea, (1.0, 0.5, 3.0), TypeError, "exactly 2"),
        (coe.eca_from_mea, (None, 0.5), TypeError, None),
        (coe.eca_from_mea, ([[1.0], [2.0, 3.0]], 0.5), ValueError, None),
    ],
)
def test_bad_input(fn, args, exc, match):
    with pytest.raises(exc, match=match):
        fn(*args)


def test_c_level_export():
    capsule = coe.__capi__["c_eca_from_mea"]
    assert type(capsule).__name__ == "PyCapsule"
    assert 'capsule object "double (double, double)"' in repr(capsule)


# --- the lane widths ----------------------------------------------------------------

# Runs in a fresh interpreter whose loops take VELARION_LANES lanes at a time;
# prints a digest of every result. Inside, each array result must equal the
# scalar calls (one lane) bit for bit.
LANE_PROBE = textwrap.dedent("""
    import hashlib, numpy as np
    from velarion.state import coe
    from velarion.state.ephemeris import COEEphemeris
    from velarion.state.state import COE
    from velarion.propagators.analytical.keplerian.keplerian import Keplerian
    from velarion.time.time import Time

    rng = np.random.default_rng(3)
    special = [0.0, -0.0, 1e-300, 5e-324, np.pi, -np.pi, 2 * np.pi, 1e5, -3e7, 1e17, 1e300, np.inf, -np.inf, np.nan]
    x = np.concatenate([rng.uniform(-50, 50, 997), rng.uniform(-1e-6, 1e-6, 50), special])
    e = np.concatenate([rng.uniform(0, 1, 600), 1 - np.logspace(-1, -9, 350), np.zeros(111)])[: x.size]
    digest = hashlib.sha256()
    for name in ("eca_from_mea", "tra_from_mea", "mea_from_tra", "eca_from_tra", "tra_from_eca", "mea_from_eca"):
        f = getattr(coe, name)
        out = f(x, e)
        one = np.array([f(a, b) for a, b in zip(x[::7], e[::7])])
        assert np.array_equal(out[::7], one, equal_nan=True), name
        assert np.array_equal(f(x[::3], 0.7), f(x[::3].copy(), np.full(x[::3].size, 0.7)), equal_nan=True), name
        digest.update(out.tobytes())
    t0 = Time("2024-03-20T12:00:00", scale="tai")
    t = t0 + np.linspace(-3e5, 3e5, 1001)
    for ecc in (0.0, 0.3, 0.999):
        sv = Keplerian().propagate_state(t, COE(t0, ecc=ecc, sma=9e6, inc=1.0, raa=2.0, arp=3.0, tra=0.5))
        digest.update(sv.r.tobytes() + sv.v.tobytes())
    n = 503
    el = dict(ecc=rng.uniform(0, 0.99, n), sma=rng.uniform(7e6, 4e7, n), inc=rng.uniform(0, np.pi, n),
              raa=rng.uniform(0, 6, n), arp=rng.uniform(0, 6, n), tra=rng.uniform(-10, 10, n))
    sv = COEEphemeris(t0 + np.arange(n), **el).to_sv()
    digest.update(sv.r.tobytes() + sv.v.tobytes())
    print(digest.hexdigest())
""")


def test_every_lane_width_gives_the_same_bits():
    """The loops run 1, 2 or 4 lanes at a time (4 where the processor has
    AVX2, chosen at run time): the results may not depend on which, nor on
    whether a value comes alone or in an array."""
    digests = set()
    for width in ("1", "2", "4"):
        env = dict(os.environ, VELARION_LANES=width)
        run = subprocess.run([sys.executable, "-c", LANE_PROBE], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        digests.add(run.stdout.strip())
    assert len(digests) == 1, digests
