"""Measurement models, simulated tracking and batch least squares."""

import math

import numpy as np
import pytest

from velarion.estimation import (
    KINDS,
    ConvergenceError,
    Geometry,
    Observations,
    TooFewObservations,
    UnobservableError,
    batch_least_squares,
    predict,
    simulate,
)
from velarion.frames import register_standard_transforms
from velarion.frames.frames import get_GCRF, get_ITRF
from velarion.passes.doppler import SPEED_OF_LIGHT, doppler_shift
from velarion.passes.stations import Station
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import COE, StateVector
from velarion.time.time import Time

EPOCH = Time("2024-03-20T03:00:00")
STATIONS = (
    Station(50.0006, 5.1453, 385.0, "Redu"),
    Station(-35.3983, 148.9819, 692.0, "Canberra"),
    Station(40.4272, -4.2506, 834.0, "Madrid"),
    Station(64.8, -147.5, 200.0, "Fairbanks"),
)
ORBITS = {
    "LEO": dict(sma=6_878_137.0, ecc=0.001, inc=math.radians(97.4), raa=1.0, arp=0.5, tra=0.3),
    "MEO": dict(sma=26_560_000.0, ecc=0.01, inc=math.radians(55.0), raa=2.0, arp=1.0, tra=0.1),
}
SIGMAS = {"range": 5.0, "range_rate": 0.005, "azimuth": 2e-4, "elevation": 2e-4}


def truth_state(orbit: str) -> StateVector:
    return COE(EPOCH, **ORBITS[orbit]).to_sv()


def trajectory(orbit: str, hours: float, step: float):
    return Keplerian().propagate(EPOCH + np.arange(0.0, hours * 3600.0, step), truth_state(orbit))


def state_vector(sv: StateVector) -> np.ndarray:
    return np.concatenate([np.asarray(sv.r), np.asarray(sv.v)])


def perturbed(sv: StateVector, dr: float, dv: float, seed: int) -> StateVector:
    rng = np.random.default_rng(seed)
    x = state_vector(sv) + np.concatenate([rng.normal(0, dr, 3), rng.normal(0, dv, 3)])
    return StateVector(sv.time, x[:3].tolist(), x[3:].tolist())


@pytest.fixture(scope="module")
def geometry_case():
    """Every kind from two stations at epochs where the LEO satellite is in view of one of them."""
    eph = trajectory("LEO", 24.0, 20.0)
    obs = simulate(eph, list(STATIONS[:2]), {k: 1.0 for k in KINDS[:2] + KINDS[4:8]}, noise=False, min_elevation=5.0)
    rows = np.linspace(0, len(obs) - 1, 40).astype(int)
    obs = obs.subset(rows)
    extra = Observations.of(
        obs.time[:12],
        ["doppler"] * 6 + ["doppler_two_way"] * 6,
        0.0,
        1.0,
        station=obs.station[:12],
        stations=obs.stations,
        frequency=2.2e9,
    )
    gnss = Observations.of(obs.time[:12], list(KINDS[8:]), 0.0, 1.0, stations=obs.stations)
    obs = Observations.concatenate([obs, extra, gnss])
    eph_obs = Keplerian().propagate(obs.time, truth_state("LEO"))
    return obs, np.asarray(eph_obs.r), np.asarray(eph_obs.v)


def test_partials_match_finite_differences(geometry_case):
    obs, r, v = geometry_case
    geo = Geometry(obs)
    _, jac = predict(obs, r, v, geo)
    assert jac is not None
    steps = (1.0, 1.0, 1.0, 1e-3, 1e-3, 1e-3)
    numeric = np.empty_like(jac)
    for j, h in enumerate(steps):
        dr = np.zeros(3)
        dv = np.zeros(3)
        (dr if j < 3 else dv)[j % 3] = h
        plus, _ = predict(obs, r + dr, v + dv, geo, partials=False)
        minus, _ = predict(obs, r - dr, v - dv, geo, partials=False)
        diff = plus - minus
        wrap = np.isin(obs.kind, [KINDS.index("azimuth"), KINDS.index("right_ascension")])
        diff[wrap] = np.mod(diff[wrap] + np.pi, 2 * np.pi) - np.pi
        numeric[:, j] = diff / (2 * h)
    for k in np.unique(obs.kind):
        rows = obs.kind == k
        scale = np.abs(numeric[rows]).max()
        assert np.abs(jac[rows] - numeric[rows]).max() <= 1e-6 * scale, KINDS[k]


def _exact_emission(eph_state: StateVector, t: Time, s_gcrf: np.ndarray):
    """The emission state by solving the light time exactly with the two-body propagator."""
    kep = Keplerian()
    tau = np.zeros(t.size)
    for _ in range(6):
        e = kep.propagate(t - tau, eph_state)
        tau = np.linalg.norm(np.asarray(e.r) - s_gcrf, axis=1) / SPEED_OF_LIGHT
    e = kep.propagate(t - tau, eph_state)
    return np.asarray(e.r), np.asarray(e.v)


@pytest.mark.parametrize("orbit", ["LEO", "MEO"])
def test_station_models_match_the_frame_graph_with_exact_light_time(orbit):
    """Range, rate, az/el, RA/Dec against the emission state found by
    propagating to t - tau and the station's frames of the frame graph."""
    register_standard_transforms()
    eph = trajectory(orbit, 24.0, 60.0)
    kinds = ("range", "range_rate", "azimuth", "elevation", "right_ascension", "declination")
    obs = simulate(eph, [STATIONS[0]], {k: 1.0 for k in kinds}, noise=False, min_elevation=0.0)
    h, _ = predict(obs, *(np.asarray(x) for x in _states_at(obs.time, orbit)), partials=False)
    station = STATIONS[0]
    enu = station.frame()
    try:
        s_itrf = np.tile(np.asarray(enu.r_station_ITRF), (len(obs), 1))
        s_gcrf, _ = (np.asarray(x) for x in get_ITRF().to_GCRF(obs.time, s_itrf, np.zeros_like(s_itrf)))
        re, ve = _exact_emission(truth_state(orbit), obs.time, s_gcrf)
        p, w = (np.asarray(x) for x in get_GCRF().transform_to(enu, obs.time, re, ve))
    finally:
        Station.release(enu)
    rho = re - s_gcrf
    expected = {
        "range": np.linalg.norm(p, axis=1),
        "range_rate": np.einsum("ij,ij->i", p, w) / np.linalg.norm(p, axis=1),
        "azimuth": np.mod(np.arctan2(p[:, 0], p[:, 1]), 2 * np.pi),
        "elevation": np.arcsin(p[:, 2] / np.linalg.norm(p, axis=1)),
        "right_ascension": np.mod(np.arctan2(rho[:, 1], rho[:, 0]), 2 * np.pi),
        "declination": np.arcsin(rho[:, 2] / np.linalg.norm(rho, axis=1)),
    }
    tolerance = {"range": 1e-3, "range_rate": 1e-5, "azimuth": 1e-9, "elevation": 1e-9}
    for k in kinds:
        rows = obs.kind == KINDS.index(k)
        assert rows.sum() > 10
        diff = h[rows] - expected[k][rows]
        if k in ("azimuth", "right_ascension"):
            diff = np.mod(diff + np.pi, 2 * np.pi) - np.pi
        assert np.abs(diff).max() < tolerance.get(k, 1e-9), k


def _states_at(time: Time, orbit: str):
    eph = Keplerian().propagate(time, truth_state(orbit))
    return eph.r, eph.v


def test_doppler_and_gnss_itrf_kinds_against_their_definitions(geometry_case):
    obs, r, v = geometry_case
    h, _ = predict(obs, r, v, partials=False)
    for name, two in (("doppler", False), ("doppler_two_way", True)):
        rows = np.flatnonzero(obs.kind == KINDS.index(name))
        sub = obs.subset(rows)
        rate_obs = Observations(sub.time, np.full(rows.size, 1), sub.value, sub.sigma, sub.station, sub.stations)
        rate, _ = predict(rate_obs, r[rows], v[rows], partials=False)
        assert np.abs(rate).max() > 100.0
        np.testing.assert_allclose(h[rows], doppler_shift(rate, 2.2e9, two_way=two), rtol=1e-12, atol=1e-9)
    ri, vi = (np.asarray(x) for x in get_GCRF().to_ITRF(obs.time, r, v))
    full = np.concatenate([ri, vi], axis=1)
    for c, name in enumerate(KINDS[14:]):
        rows = np.flatnonzero(obs.kind == KINDS.index(name))
        np.testing.assert_allclose(h[rows], full[rows, c], rtol=0, atol=1e-6)


def test_simulate_keeps_to_the_elevation_mask_and_is_seeded():
    eph = trajectory("LEO", 24.0, 10.0)
    a = simulate(eph, list(STATIONS), SIGMAS, min_elevation=15.0, seed=7)
    b = simulate(eph, list(STATIONS), SIGMAS, min_elevation=15.0, seed=7)
    exact = simulate(eph, list(STATIONS), SIGMAS, min_elevation=15.0, noise=False)
    np.testing.assert_array_equal(a.value, b.value)
    # the observations keep the trajectory's clock (their ISO texts are UTC like its)
    assert a.time.scale == eph.time.scale == "utc"
    assert set(a.time.iso.tolist()) <= set(eph.time.iso.tolist())
    el = exact.value[exact.kind == KINDS.index("elevation")]
    assert el.min() >= math.radians(15.0) and len(a) > 100
    res = a.value - exact.value
    res[a.kind == 4] = np.mod(res[a.kind == 4] + np.pi, 2 * np.pi) - np.pi
    for k, s in SIGMAS.items():
        z = res[a.kind == KINDS.index(k)] / s
        assert z.size > 300 and 0.9 < z.std() < 1.1 and abs(z.mean()) < 0.2, k


def _od_run(orbit: str, seed: int, hours: float = 6.0, step: float = 60.0, **kwargs):
    eph = trajectory(orbit, hours, step)
    obs = simulate(eph, list(STATIONS), SIGMAS, seed=seed, min_elevation=10.0, **kwargs.pop("sim", {}))
    guess = perturbed(truth_state(orbit), 500.0, 0.5, seed + 1000)
    est = batch_least_squares(obs, guess, Keplerian(), **kwargs)
    return est, state_vector(truth_state(orbit))


@pytest.mark.parametrize("orbit", ["LEO", "MEO"])
def test_round_trip_recovers_the_truth_within_the_covariance(orbit):
    hours = 6.0 if orbit == "LEO" else 12.0
    inside = 0
    runs = 10
    for seed in range(runs):
        est, truth = _od_run(orbit, seed, hours=hours, step=60.0 if orbit == "LEO" else 300.0)
        err = est.values[:6] - truth
        mahalanobis2 = float(err @ np.linalg.solve(est.covariance[:6, :6], err))
        inside += mahalanobis2 < 16.81  # the 99% point of chi-squared with 6 degrees of freedom
        assert set(est.rms) == set(SIGMAS)
        assert 0.7 < est.weighted_rms_total < 1.3
    assert inside >= runs - 1


def test_covariance_matches_the_scatter_over_noise_draws():
    errors = []
    for seed in range(30):
        est, truth = _od_run("LEO", 100 + seed, hours=3.0, step=60.0)
        errors.append(est.values[:6] - truth)
        formal = est.sigma[:6]
    scatter = np.std(np.array(errors), axis=0)
    ratio = scatter / formal
    assert np.all((ratio > 0.6) & (ratio < 1.5)), ratio


def test_station_bias_is_estimated_and_outliers_are_edited():
    eph = trajectory("LEO", 6.0, 60.0)
    obs = simulate(eph, list(STATIONS), SIGMAS, seed=3, biases={(1, "range"): 40.0})
    value = obs.value.copy()
    ranges = np.flatnonzero(obs.kind == 0)
    outliers = ranges[::25]
    value[outliers] += 5000.0
    obs = Observations(obs.time, obs.kind, value, obs.sigma, obs.station, obs.stations, obs.frequency)
    guess = perturbed(truth_state("LEO"), 300.0, 0.3, 5)
    est = batch_least_squares(obs, guess, Keplerian(), estimate_biases=[(1, "range")])
    k = est.parameters.index("bias:1:range")
    assert abs(est.values[k] - 40.0) < 3 * est.sigma[k]
    assert not est.used[outliers].any() and est.used.mean() > 0.97
    err = est.values[:6] - state_vector(truth_state("LEO"))
    assert np.all(np.abs(err) < 4 * est.sigma[:6])


def test_bad_input_names_the_cause():
    eph = trajectory("LEO", 6.0, 60.0)
    obs = simulate(eph, list(STATIONS), SIGMAS, seed=1)
    guess = perturbed(truth_state("LEO"), 300.0, 0.3, 2)
    with pytest.raises(ValueError, match="not finite"):
        Observations.of(obs.time[:3], "range", [1.0, np.nan, 2.0], 1.0, station=0, stations=STATIONS[:1])
    with pytest.raises(ValueError, match="needs a station"):
        Observations.of(obs.time[:3], "range", 1.0, 1.0)
    with pytest.raises(TooFewObservations, match="too few observations: 5 for 6 unknowns"):
        batch_least_squares(obs.subset(slice(0, 5)), guess, Keplerian())
    # six ranges at one epoch from one station determine one direction only
    one = Observations.of(Time([obs.time[0].iso] * 8), "range", obs.value[0], 1.0, station=0, stations=STATIONS)
    with pytest.raises(UnobservableError, match="singular"):
        batch_least_squares(one, guess, Keplerian())
    with pytest.raises(ConvergenceError, match="no convergence within 1 iterations"):
        batch_least_squares(obs, perturbed(truth_state("LEO"), 30e3, 30.0, 3), Keplerian(), max_iterations=1)
    with pytest.raises(ValueError, match="cannot estimate 'cd'"):
        batch_least_squares(obs, guess, Keplerian(), estimate=("cd",))


class ScaledGravity:
    """A propagator with a dynamical parameter and its own sensitivities, as
    a numerical propagator offers them: two-body motion under GM times
    ``gm_scale``, its state transition matrix and the sensitivity to
    ``gm_scale`` by central differences."""

    parameter_names = ("gm_scale",)

    def __init__(self, gm_scale: float = 1.0):
        self.parameter_values = np.array([gm_scale])
        self.calls_with_stm = 0

    def _states(self, time, state, scale):
        eph = Keplerian(GM=3.986004418e14 * scale).propagate(time, state)
        return np.asarray(eph.r), np.asarray(eph.v), eph

    def propagate_state(self, time, state, stm=False, parameters=None):
        scale = (parameters or {}).get("gm_scale", float(self.parameter_values[0]))
        r, v, eph = self._states(time, state, scale)
        if not stm:
            return eph
        self.calls_with_stm += 1
        x = np.concatenate([np.asarray(state.r), np.asarray(state.v)])
        phi = np.empty((r.shape[0], 6, 7))
        for j, h in enumerate((1.0, 1.0, 1.0, 1e-3, 1e-3, 1e-3, 1e-7)):
            out = []
            for sign in (1.0, -1.0):
                dx = np.zeros(7)
                dx[j] = sign * h
                s = StateVector(state.time, (x[:3] + dx[:3]).tolist(), (x[3:] + dx[3:6]).tolist())
                rr, vv, _ = self._states(time, s, scale + dx[6])
                out.append(np.concatenate([rr, vv], axis=1))
            phi[:, :, j] = (out[0] - out[1]) / (2 * h)
        result = WithSTM(eph.time, r, v)
        result.stm = phi
        return result


class WithSTM(StateVectorEphemeris):
    stm: np.ndarray


def test_a_dynamical_parameter_is_estimated_through_the_propagators_sensitivities():
    truth = ScaledGravity(1.0 + 2e-6)
    state = truth_state("LEO")
    eph = truth.propagate_state(EPOCH + np.arange(0.0, 12 * 3600.0, 60.0), state)
    obs = simulate(eph, list(STATIONS), SIGMAS, seed=11)
    model = ScaledGravity(1.0)
    est = batch_least_squares(obs, perturbed(state, 200.0, 0.2, 12), model, estimate=("gm_scale",))
    k = est.parameters.index("gm_scale")
    assert model.calls_with_stm >= est.iterations
    assert abs(est.values[k] - (1.0 + 2e-6)) < 3 * est.sigma[k] and est.sigma[k] < 5e-7
    with pytest.raises(ValueError, match="cannot estimate 'cr': the propagator provides no sensitivity to it"):
        batch_least_squares(obs, state, model, estimate=("cr",))


@pytest.mark.parametrize(
    "kinds",
    [
        {"x_itrf": 1.0, "y_itrf": 1.0, "z_itrf": 1.0},
        {"x_itrf": 2.0, "y_itrf": 2.0, "z_itrf": 2.0, "vx_itrf": 0.01, "vy_itrf": 0.01, "vz_itrf": 0.01},
        {"x_gcrf": 3.0, "y_gcrf": 3.0, "z_gcrf": 3.0, "vx_gcrf": 0.01, "vy_gcrf": 0.01, "vz_gcrf": 0.01},
        {"right_ascension": 5e-6, "declination": 5e-6},
        {"doppler": 1.0},
        {"range": 2.0},
    ],
    ids=["gnss-itrf-positions", "gnss-itrf-states", "gnss-gcrf-states", "optical", "doppler", "range"],
)
def test_each_kind_alone_determines_the_orbit(kinds):
    """Through the state transition matrix each model's partials carry the
    fit from a guess 2 km and 2 m/s off to the truth, within the covariance."""
    eph = trajectory("LEO", 6.0, 60.0)
    obs = simulate(eph, list(STATIONS), kinds, seed=4, frequency=2.2e9)
    est = batch_least_squares(obs, perturbed(truth_state("LEO"), 2000.0, 2.0, 5), Keplerian())
    err = (est.values[:6] - state_vector(truth_state("LEO"))) / est.sigma[:6]
    assert np.abs(err).max() < 4.5 and 0.75 < est.weighted_rms_total < 1.25


def test_round_trip_with_the_numerical_propagator():
    # Truth and estimator on one force model (8x8 field, Sun, Moon, drag):
    # the estimate lands within its covariance.
    from velarion.propagators.numerical import ForceModel, Numerical

    prop = Numerical(ForceModel(degree=8, third_body=("sun", "moon"), drag="harris-priester"), tolerance=1e-4)
    sv = truth_state("LEO")
    truth = prop.propagate_state(EPOCH + np.arange(0.0, 6 * 3600.0, 60.0), sv)
    inside = 0
    for seed in range(5):
        obs = simulate(truth, STATIONS, SIGMAS, seed=seed)
        est = batch_least_squares(obs, perturbed(sv, 500.0, 0.5, seed), prop)
        err = est.values[:6] - state_vector(sv)
        inside += float(err @ np.linalg.solve(est.covariance[:6, :6], err)) < 16.81
        assert 0.6 < est.weighted_rms_total < 1.4
    assert inside >= 4
