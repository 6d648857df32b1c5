"""Element-set fitting and batch orbit determination, side by side.

Cases:
- a TLE (mean elements and B*) fitted to one day of a LEO ephemeris, 1,440
  GCRF positions one minute apart (the ISS's SGP4 states, so that every fit
  can reach the same answer); velarion's ``fit_tle`` against
  "scipy least_squares" (the same model: the compiled SGP4 over the same
  TEME positions, the same seven parameters and start, SciPy's
  trust-region solver with its own finite-difference Jacobian) and
  satkit's ``TLE.fit_from_states`` (its own SGP4, GCRF states) when satkit
  is installed;
- a batch OD of 500 measurements (range, range rate, azimuth, elevation)
  from 3 stations on two-body dynamics, from a guess 500 m and 0.5 m/s off;
  ``batch_least_squares`` against "scipy least_squares" on the same
  measurement model and propagator (its finite-difference Jacobian of the
  whole residual vector).

``accuracy()`` prints what each fit reaches, so the timings compare fits of
the same quality.
"""

from __future__ import annotations

import contextlib
import math
import pathlib
import sys
from typing import Any

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.estimation import batch_least_squares, fit_tle, simulate
from velarion.estimation.measurements import Geometry, predict, residuals
from velarion.estimation.tlefit import _osculating, _row_of, _states, _teme_of, tle_lines
from velarion.frames.frames import get_ITRF, get_TEME
from velarion.passes.stations import Station
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4.sgp4 import SGP4, sgp4_jd
from velarion.propagators.analytical.sgp4.tle import TLE
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import StateVector

ISS = TLE(
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)
STATIONS = [
    Station(50.0006, 5.1453, 385.0, "Redu"),
    Station(40.4272, -4.2506, 834.0, "Madrid"),
    Station(64.8, -147.5, 200.0, "Fairbanks"),
]
SIGMAS = {"range": 5.0, "range_rate": 0.005, "azimuth": 2e-4, "elevation": 2e-4}


def _gcrf_day() -> StateVectorEphemeris:
    teme = SGP4(ISS).propagate(ISS.epoch + np.arange(0.0, 86400.0, 60.0))
    ri, vi = get_TEME().to_ITRF(teme.time, teme.r, teme.v)
    rg, vg = get_ITRF().to_GCRF(teme.time, ri, vi)
    return StateVectorEphemeris(teme.time, np.asarray(rg), np.asarray(vg), frame="GCRF")


def _scipy_tle_fit(eph: StateVectorEphemeris) -> Any:
    """The same fit by SciPy: same conversion, model, parameters and start."""
    from scipy.optimize import least_squares

    time, x = _teme_of(eph)
    base = np.array(
        TLE(*tle_lines(np.r_[np.zeros(6), 0.001, 0, 0, 0, 0.0675, 0], year=2019, day=343.69339541))._sgp4init_row()
    )
    jd, fr = sgp4_jd(time)
    no, e, inc, node, argp, mean = _osculating(x[0])
    minutes = ((jd[0] - base[0]) + (fr[0] - base[1])) * 1440.0
    q0 = np.array([no, e * math.cos(argp), e * math.sin(argp), inc, node, argp + mean - no * minutes, 0.0])
    target = x[:, :3].reshape(-1)

    def fun(q: np.ndarray) -> np.ndarray:
        r, ok = _states(_row_of(q, base)[None, :], 1, jd, fr)
        return (r[0].reshape(-1) - target) if ok[0] else np.full(target.size, 1e9)

    return least_squares(fun, q0, x_scale=np.array([1e-6, 1e-4, 1e-4, 1e-3, 1e-3, 1e-3, 1e-4]), xtol=1e-12)


def _satkit_fit(eph: StateVectorEphemeris) -> Any:
    import satkit as sk

    times = [sk.time.from_datetime(t) for t in eph.time.to_datetime64().astype("datetime64[us]").tolist()]
    states = [np.concatenate([r, v]) for r, v in zip(np.asarray(eph.r), np.asarray(eph.v), strict=True)]
    return lambda: sk.TLE.fit_from_states(states, times, times[0])


def _od_case() -> tuple[Any, Any, Any]:
    state = StateVector(ISS.epoch, [3467758.47, -2705903.40, 5169207.20], [5828.931, 4776.327, -1399.310])
    truth = Keplerian().propagate(ISS.epoch + np.arange(0.0, 86400.0, 30.0), state)
    obs = simulate(truth, STATIONS, SIGMAS, seed=1).subset(slice(0, 500))
    rng = np.random.default_rng(2)
    x_true = np.concatenate([np.asarray(state.r), np.asarray(state.v)])
    x0 = x_true + np.concatenate([rng.normal(0, 500.0, 3), rng.normal(0, 0.5, 3)])
    guess = StateVector(state.time, x0[:3].tolist(), x0[3:].tolist())
    kep = Keplerian()

    def ours() -> Any:
        return batch_least_squares(obs, guess, kep)

    geo = Geometry(obs)
    times = obs.time
    inv_sigma = 1.0 / obs.sigma

    def fun(x: np.ndarray) -> np.ndarray:
        eph = kep.propagate(times, StateVector(state.time, x[:3].tolist(), x[3:].tolist()))
        h, _ = predict(obs, np.asarray(eph.r), np.asarray(eph.v), geo, partials=False)
        return residuals(obs, h) * inv_sigma

    def scipy_fit() -> Any:
        from scipy.optimize import least_squares

        return least_squares(fun, x0, x_scale=np.array([100.0] * 3 + [0.1] * 3), xtol=1e-10)

    return ours, scipy_fit, x_true


def cases() -> list[Case]:
    eph = _gcrf_day()
    tle_peers = {"scipy least_squares": lambda: _scipy_tle_fit(eph)}
    with contextlib.suppress(ImportError):
        tle_peers["satkit fit_from_states"] = _satkit_fit(eph)
    ours, scipy_fit, _ = _od_case()
    return [
        Case("TLE fit, 1 day LEO, 1,440 GCRF positions", 1, lambda: fit_tle(eph, template=ISS), tle_peers),
        Case("batch OD, 500 measurements, 3 stations, two-body", 1, ours, {"scipy least_squares": scipy_fit}),
    ]


def accuracy() -> None:
    eph = _gcrf_day()
    fit = fit_tle(eph, template=ISS)
    print(f"velarion fit_tle: position RMS {fit.rms_fit:.3g} m (elements), {fit.rms:.3g} m (TLE text)")
    res = _scipy_tle_fit(eph)
    print(f"scipy least_squares: position RMS {math.sqrt(np.mean(res.fun**2) * 3):.3g} m, {res.nfev} evaluations")
    try:
        tle, info = _satkit_fit(eph)()
        line2 = tle.to_2line()[1]
        steps = {k: info[k] for k in ("converged", "n_iter", "n_res_evals") if k in info}
        print(f"satkit fit_from_states: {line2}; {steps}")
    except ImportError:
        print("satkit: not installed")
    ours, scipy_fit, x_true = _od_case()
    est = ours()
    miss = np.linalg.norm(est.values[:3] - x_true[:3])
    print(f"velarion batch OD: {est.iterations} iterations, position error {miss:.3g} m")
    res = scipy_fit()
    print(f"scipy OD: {res.nfev} evaluations, position error {np.linalg.norm(res.x[:3] - x_true[:3]):.3g} m")


def misfit_against_satkit(days: float = 2.0) -> None:
    """A 2-day arc of another model (SGP4 on WGS84's constants) fitted with
    WGS72's by both fitters; both fitted TLEs are scored with the package's
    SGP4 on the TEME truth. The zero Earth orientation table on both sides
    (satkit here has no IERS file), so the GCRF <-> TEME rotations agree."""
    import satkit as sk

    from velarion.iers import use_zero_table

    with use_zero_table():
        times = ISS.epoch + np.arange(0.0, days * 86400.0, 60.0)
        teme = SGP4(ISS, gravity="wgs84").propagate(times)
        ri, vi = get_TEME().to_ITRF(teme.time, teme.r, teme.v)
        rg, vg = get_ITRF().to_GCRF(teme.time, ri, vi)
        gcrf = StateVectorEphemeris(teme.time, np.asarray(rg), np.asarray(vg), frame="GCRF")
        ours = fit_tle(gcrf, template=ISS)
        tle, _ = _satkit_fit(gcrf)()
        theirs = TLE(*tle.to_2line())
        for label, elset in (("velarion fit_tle", ours.tle), ("satkit fit_from_states", theirs)):
            r = np.asarray(SGP4(elset).propagate(times).r)
            rms = math.sqrt(np.mean(np.sum((r - np.asarray(teme.r)) ** 2, axis=1)))
            print(f"{label}: {days:g}-day WGS84 arc, position RMS of the TLE as written {rms:.3f} m")
            print(f"    {elset.lines[0]}\n    {elset.lines[1]}")
        print(f"velarion fit_tle: position RMS of the fitted elements {ours.rms_fit:.3f} m")
    _ = sk


if __name__ == "__main__":
    accuracy()
    misfit_against_satkit()
