"""Local orbital frames against an independent construction from orbital
elements, their rotation rate against finite differences of exact orbits."""

import numpy as np
import pytest

from velarion.frames import LocalOrbitalFrame
from velarion.frames.lof import GM_EARTH

MU = GM_EARTH


def _rot(axis, angle):
    c, s = np.cos(angle), np.sin(angle)
    m = np.eye(3)
    i, j = [(1, 2), (2, 0), (0, 1)][axis]
    m[i, i], m[i, j], m[j, i], m[j, j] = c, -s, s, c
    return m


def _kepler(a, e, inc, raan, argp, m0, t):
    """Exact two-body state at t [s] (elements at t = 0), and the perifocal
    quantities the frames are built from independently."""
    n = np.sqrt(MU / a**3)
    m = m0 + n * t
    ecc = m
    for _ in range(50):
        ecc = ecc - (ecc - e * np.sin(ecc) - m) / (1 - e * np.cos(ecc))
    nu = 2 * np.arctan2(np.sqrt(1 + e) * np.sin(ecc / 2), np.sqrt(1 - e) * np.cos(ecc / 2))
    p = a * (1 - e * e)
    rad = p / (1 + e * np.cos(nu))
    q = _rot(2, raan) @ _rot(0, inc)
    r = q @ (_rot(2, argp + nu) @ np.array([rad, 0, 0]))
    v = q @ (_rot(2, argp) @ (np.sqrt(MU / p) * np.array([-np.sin(nu), e + np.cos(nu), 0])))
    # RSW axes as the columns of R3(raan) R1(inc) R3(argument of latitude);
    # flight-path angle from the elements.
    rsw = q @ _rot(2, argp + nu)
    gamma = np.arctan2(e * np.sin(nu), 1 + e * np.cos(nu))
    return r, v, rsw, gamma


ORBITS = [
    (7.0e6, 0.001, 0.9, 0.3, 1.0, 0.2),
    (2.6e7, 0.72, 1.1, 4.0, 4.7, 2.9),
    (4.2e7, 0.0002, 0.0005, 1.0, 0.0, 5.0),
    (8.0e6, 0.2, 2.6, 5.5, 0.4, 3.5),
]


def _expected(kind, rsw, gamma):
    r_hat, s_hat, w_hat = rsw[:, 0], rsw[:, 1], rsw[:, 2]
    t_hat = np.cos(gamma) * s_hat + np.sin(gamma) * r_hat  # along v
    n_out = np.cos(gamma) * r_hat - np.sin(gamma) * s_hat  # in plane, normal to v, outward
    return {
        "RSW": [r_hat, s_hat, w_hat],
        "RIC": [r_hat, s_hat, w_hat],
        "NTW": [n_out, t_hat, w_hat],
        "TNW": [t_hat, -n_out, w_hat],
        "VNC": [t_hat, w_hat, n_out],
        "LVLH": [s_hat, -w_hat, -r_hat],
    }[kind]


@pytest.mark.parametrize("kind", ["RSW", "RIC", "NTW", "TNW", "VNC", "LVLH"])
@pytest.mark.parametrize("orbit", ORBITS)
def test_axes_match_the_construction_from_elements(kind, orbit):
    ts = np.linspace(0.0, 20000.0, 7)
    states = [_kepler(*orbit, t) for t in ts]
    r = np.array([s[0] for s in states])
    v = np.array([s[1] for s in states])
    lof = LocalOrbitalFrame(kind, r, v)
    for k, (_, _, rsw, gamma) in enumerate(states):
        np.testing.assert_allclose(lof.rotation[k], np.array(_expected(kind, rsw, gamma)), atol=1e-12)
    # Orthonormal and right-handed at every epoch.
    np.testing.assert_allclose(
        lof.rotation @ lof.rotation.transpose(0, 2, 1), np.broadcast_to(np.eye(3), (7, 3, 3)), atol=1e-14
    )
    np.testing.assert_allclose(np.linalg.det(lof.rotation), 1.0, atol=1e-14)


@pytest.mark.parametrize("kind", ["RSW", "NTW", "TNW", "VNC", "LVLH"])
@pytest.mark.parametrize(("ref", "other"), [(0, 3), (1, 0), (2, 1)])
def test_relative_velocity_is_the_derivative_of_the_relative_position(kind, ref, other):
    """On exact two-body orbits the default rate is exact: the rotating-frame
    velocity equals the finite difference of the rotating-frame position."""
    h = 0.5
    for t in (0.0, 3000.0, 11111.0):
        pos = []
        for dt in (-2 * h, -h, h, 2 * h):
            r0, v0, _, _ = _kepler(*ORBITS[ref], t + dt)
            r1, v1, _, _ = _kepler(*ORBITS[other], t + dt)
            pos.append(LocalOrbitalFrame(kind, r0, v0).relative(r1, v1)[0][0])
        fd = (pos[0] - 8 * pos[1] + 8 * pos[2] - pos[3]) / (12 * h)
        r0, v0, _, _ = _kepler(*ORBITS[ref], t)
        r1, v1, _, _ = _kepler(*ORBITS[other], t)
        dr, dv = LocalOrbitalFrame(kind, r0, v0).relative(r1, v1)
        np.testing.assert_allclose(dv[0], fd, atol=2e-6 * max(1.0, np.abs(fd).max()))
        back = LocalOrbitalFrame(kind, r0, v0).absolute(dr, dv)
        np.testing.assert_allclose(back[0][0], r1, rtol=1e-14, atol=1e-6)
        np.testing.assert_allclose(back[1][0], v1, rtol=1e-14, atol=1e-9)


def _forced(t):
    """A non-Keplerian reference path (a spiral that wobbles out of its plane)
    with its exact velocity and acceleration."""
    w, k, z = 1.1e-3, 3.7e-3, 2.0e4
    rad = 7.0e6 + 50.0 * t
    r = np.array([rad * np.cos(w * t), rad * np.sin(w * t), z * np.sin(k * t)])
    v = np.array(
        [
            50.0 * np.cos(w * t) - rad * w * np.sin(w * t),
            50.0 * np.sin(w * t) + rad * w * np.cos(w * t),
            z * k * np.cos(k * t),
        ]
    )
    a = np.array(
        [
            -100.0 * w * np.sin(w * t) - rad * w * w * np.cos(w * t),
            100.0 * w * np.cos(w * t) - rad * w * w * np.sin(w * t),
            -z * k * k * np.sin(k * t),
        ]
    )
    return r, v, a


@pytest.mark.parametrize("kind", ["RSW", "NTW", "TNW", "VNC", "LVLH"])
def test_the_given_acceleration_makes_the_rate_exact_off_keplerian_motion(kind):
    target = np.array([7.01e6, 1.0e5, -3.0e4]), np.array([-100.0, 7.6e3, 12.0])
    h, t = 0.25, 400.0
    pos = []
    for dt in (-2 * h, -h, h, 2 * h):
        r, v, a = _forced(t + dt)
        moved = target[0] + target[1] * (t + dt)
        pos.append(LocalOrbitalFrame(kind, r, v, acceleration=a).relative(moved, target[1])[0][0])
    fd = (pos[0] - 8 * pos[1] + 8 * pos[2] - pos[3]) / (12 * h)
    r, v, a = _forced(t)
    dv = LocalOrbitalFrame(kind, r, v, acceleration=a).relative(target[0] + target[1] * t, target[1])[1][0]
    np.testing.assert_allclose(dv, fd, atol=1e-6)
    # The two-body default is off here by the unmodelled rate, for every kind that uses it.
    dv_default = LocalOrbitalFrame(kind, r, v).relative(target[0] + target[1] * t, target[1])[1][0]
    assert np.abs(dv_default - fd).max() > 1e-3


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("XYZ", [7e6, 0, 0], [0, 7e3, 0]), {}, "unknown local orbital frame"),
        (("RSW", [7e6, 0], [0, 7e3, 0]), {}, r"r must have shape \(3,\) or \(N, 3\)"),
        (("RSW", [[7e6, 0, 0]] * 2, [0, 7e3, 0]), {}, "r and v must have the same shape"),
        (("RSW", [7e6, 0, 0], [7e3, 0, 0]), {}, "nonzero position and angular momentum"),
        (("RSW", [np.nan, 0, 0], [0, 7e3, 0]), {}, "r must be finite"),
        (("TNW", [7e6, 0, 0], [0, 7e3, 0]), {"acceleration": [[1, 2, 3]] * 3}, "could not be broadcast"),
        (("RSW", [7e6, 0, 0], [0, 7e3, 0]), {"mu": float("nan")}, "mu must be a finite positive number"),
        (("VNC", [7e6, 0, 0], [0, 7e3, 0]), {"mu": 0.0}, "mu must be a finite positive number"),
        (("NTW", [7e6, 0, 0], [0, 7e3, 0]), {"mu": -MU}, "mu must be a finite positive number"),
        (("RSW", [7e6, 0, 0], [0, 7e3, 0]), {"mu": float("inf")}, "mu must be a finite positive number"),
        # mu / r^2 is beyond double precision: an error, not NaN rates.
        (("TNW", [1e-200, 0, 0], [0, 7e-200, 1e-201]), {}, "not representable in double precision"),
    ],
)
def test_bad_reference_states_raise(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        LocalOrbitalFrame(*args, **kwargs)


def _states(count, seed):
    rng = np.random.default_rng(seed)
    orbits = [ORBITS[i % len(ORBITS)] for i in range(count)]
    states = [_kepler(*orbit, t)[:2] for orbit, t in zip(orbits, rng.uniform(0, 5e4, count), strict=True)]
    return np.array([s[0] for s in states]), np.array([s[1] for s in states])


# (reference epochs, states): one reference and many states, many references
# and one state, as many of each, and the (3,) forms.
BROADCAST_FORMS = [(1, 5), (5, 1), (5, 5), ("vector", 4), (4, "vector"), ("vector", "vector")]


@pytest.mark.parametrize("kind", ["RSW", "NTW", "TNW", "VNC", "LVLH"])
@pytest.mark.parametrize(("refs", "states"), BROADCAST_FORMS)
def test_absolute_inverts_relative_for_every_broadcast_form(kind, refs, states):
    r0, v0 = _states(1 if refs == "vector" else refs, 1)
    r, v = _states(1 if states == "vector" else states, 2)
    if refs == "vector":
        r0, v0 = r0[0], v0[0]
    if states == "vector":
        r, v = r[0], v[0]
    frame = LocalOrbitalFrame(kind, r0, v0)
    r_local, v_local = frame.relative(r, v)
    r_back, v_back = frame.absolute(r_local, v_local)
    n = max(len(np.atleast_2d(r0)), len(np.atleast_2d(r)))
    assert r_local.shape == v_local.shape == r_back.shape == (n, 3)
    np.testing.assert_allclose(r_back, np.broadcast_to(r, (n, 3)), rtol=0, atol=1e-7)
    np.testing.assert_allclose(v_back, np.broadcast_to(v, (n, 3)), rtol=0, atol=1e-10)


@pytest.mark.parametrize("method", ["relative", "absolute"])
def test_row_counts_that_do_not_broadcast_raise(method):
    r0, v0 = _states(2, 3)
    with pytest.raises(ValueError, match="rows cannot be broadcast together"):
        getattr(LocalOrbitalFrame("RSW", r0, v0), method)(np.ones((3, 3)), np.ones((3, 3)))


@pytest.mark.parametrize("kind", ["RSW", "NTW", "TNW", "VNC", "LVLH"])
@pytest.mark.parametrize(("r_scale", "v_scale"), [(1e193, 1.0), (1.0, 1e195), (1e-150, 1e-150), (1e150, 1e150)])
def test_axes_depend_only_on_the_directions_of_r_and_v(kind, r_scale, v_scale):
    # Scaled states whose r x v or |r|^2 leave double precision give the same axes.
    r, v = _states(3, 4)
    frame = LocalOrbitalFrame(kind, r * r_scale, v * v_scale, acceleration=np.zeros(3))
    np.testing.assert_allclose(frame.rotation, LocalOrbitalFrame(kind, r, v).rotation, rtol=0, atol=1e-15)
    assert np.isfinite(frame.omega).all()
