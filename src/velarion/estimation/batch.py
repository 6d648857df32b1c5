"""Batch least-squares orbit determination.

``batch_least_squares(observations, initial_state, propagator, ...)``
estimates the GCRF state at the epoch of ``initial_state`` (and, on
request, station biases and the propagator's dynamical parameters) by
Gauss-Newton iterations with Levenberg-Marquardt damping:

- weights: each observation's 1 / sigma^2 (``Observations.sigma``);
- damping: the normal matrix's diagonal scaled by lambda, lowered tenfold
  after a step that lowers the weighted cost, raised tenfold (and the step
  retried) after one that does not;
- sigma editing: from iteration ``edit_after`` on, an observation whose
  normalised residual |res| / sigma exceeds ``edit_sigma`` times the
  weighted RMS of the previous iteration (taken as at least 1) is left out
  of that iteration's fit and flagged in ``Estimate.used``; editing is off
  with ``edit_sigma=None``;
- convergence: the weighted cost falls by less than ``tolerance``
  relatively in an accepted iteration, or every parameter's step (or the
  undamped Gauss-Newton step) is below ``tolerance`` times its formal
  sigma; when no damped step lowers the cost any more, the solution is
  taken as converged only if the undamped step is below 1e-3 sigma;
- failures raise ``EstimationError`` subclasses naming the cause: too few
  observations (``TooFewObservations``), a normal matrix too ill
  conditioned to invert (``UnobservableError``, naming the parameter
  combination that is not observed), no convergence within
  ``max_iterations`` (``ConvergenceError``). Nothing half-converged is
  returned.

Dynamical parameters (``estimate=("cd", "cr")``, say) need a propagator
that provides their sensitivities (see ``velarion.estimation.dynamics``);
the analytic propagators provide none, and asking for them raises.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import get_GCRF
from velarion.state.state import StateVector
from velarion.time.time import Time

from .dynamics import as_dynamics
from .measurements import KINDS, STATION_KINDS, Geometry, Observations, bias_vector, predict, residuals

__all__ = [
    "ConvergenceError",
    "Estimate",
    "EstimationError",
    "TooFewObservations",
    "UnobservableError",
    "batch_least_squares",
]

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.

_CONDITION_LIMIT = 1.0e14
# A Newton step below this many sigmas is converged even when rounding keeps the cost from falling.
_FLOOR = 1.0e-3
_STATE_NAMES = ("x", "y", "z", "vx", "vy", "vz")


class EstimationError(ValueError):
    """The estimation could not give a converged estimate."""


class TooFewObservations(EstimationError):
    """Fewer usable observations than unknowns."""


class UnobservableError(EstimationError):
    """The normal matrix is singular: the observations do not determine every parameter."""


class ConvergenceError(EstimationError):
    """No convergence within the iteration limit; ``last`` holds the last
    iterate's parameters for inspection (not an estimate)."""

    def __init__(self, message: str, last: Array):
        super().__init__(message)
        self.last = last


@dataclass
class Estimate:
    """A converged batch estimate and its report.

    ``state``: the estimated GCRF ``StateVector`` at the solution epoch;
    ``parameters`` (names) and ``values`` of every estimated parameter
    (the state first, then biases "bias:<station>:<kind>", then dynamical
    parameters); ``covariance`` and ``correlation`` (formal, from the
    inverse of the normal matrix, not scaled by the residuals) and
    ``sigma``; ``iterations``; ``residuals`` (observed minus computed at the
    solution, every observation), ``used`` (False for edited
    observations); per kind ``rms`` and ``weighted_rms`` (of the used
    observations); ``weighted_rms_total``; ``cost_history``."""

    state: StateVector
    parameters: tuple[str, ...]
    values: Array
    covariance: Array
    correlation: Array
    sigma: Array
    iterations: int
    residuals: Array
    used: NDArray[np.bool_]
    rms: dict[str, float]
    weighted_rms: dict[str, float]
    weighted_rms_total: float
    cost_history: list[float] = field(default_factory=list)
    biases: dict[tuple[int, str], float] = field(default_factory=dict)


def _state_of(initial_state: Any) -> tuple[Time, Array]:
    sv = initial_state.to_sv() if hasattr(initial_state, "to_sv") else initial_state
    if not isinstance(sv, StateVector):
        raise TypeError(f"initial_state must be a StateVector or another State, not {type(initial_state).__name__}")
    r = np.asarray(sv.r, dtype=np.float64).reshape(1, 3)
    v = np.asarray(sv.v, dtype=np.float64).reshape(1, 3)
    if sv.frame is not None and getattr(sv.frame, "name", "GCRF") != "GCRF":
        rr, vv = sv.frame.transform_to(get_GCRF(), sv.time, r, v)
        r, v = np.asarray(rr).reshape(1, 3), np.asarray(vv).reshape(1, 3)
    x0 = np.concatenate([r[0], v[0]])
    if not np.isfinite(x0).all():
        raise ValueError("initial_state must be finite")
    return sv.time, x0


def _bias_keys(obs: Observations, estimate_biases: Any) -> list[tuple[int, str]]:
    if not estimate_biases:
        return []
    pairs = np.unique(np.stack([obs.station, obs.kind], axis=1), axis=0)
    present = sorted((int(s), KINDS[k]) for s, k in pairs if KINDS[k] in STATION_KINDS)
    if estimate_biases is True:
        return present
    keys = [(int(s), str(k)) for s, k in estimate_biases]
    for key in keys:
        if key not in present:
            raise ValueError(f"no observations of kind {key[1]!r} from station {key[0]} for a bias to estimate")
    return keys


def batch_least_squares(
    observations: Observations,
    initial_state: Any,
    propagator: Any,
    *,
    estimate: Sequence[str] = (),
    estimate_biases: bool | Sequence[tuple[int, str]] = False,
    biases: Mapping[tuple[int, str], float] | None = None,
    a_priori: Array | None = None,
    max_iterations: int = 25,
    tolerance: float = 1.0e-8,
    edit_sigma: float | None = 5.0,
    edit_after: int = 2,
    damping: float = 1.0e-3,
) -> Estimate:
    """Estimate the GCRF state at the epoch of ``initial_state`` from
    ``observations`` with ``propagator`` (see the module's text).

    ``estimate``: names of dynamical parameters (the propagator must offer
    them); ``estimate_biases``: True for a bias of every station and kind
    observed, or a list of (station index, kind); ``biases``: known biases
    (station index, kind) -> value, subtracted from the observations (an
    estimated bias starts there); ``a_priori``: an optional a-priori
    covariance of the state (6, 6) that constrains the solution."""
    if not isinstance(observations, Observations):
        raise TypeError(f"observations must be Observations, not {type(observations).__name__}")
    if not (isinstance(max_iterations, int) and max_iterations >= 1):
        raise ValueError(f"max_iterations must be a positive int, got {max_iterations!r}")
    if not (np.isfinite(tolerance) and tolerance > 0.0):
        raise ValueError(f"tolerance must be finite and positive, got {tolerance!r}")
    if edit_sigma is not None and not (np.isfinite(edit_sigma) and edit_sigma > 0.0):
        raise ValueError(f"edit_sigma must be positive or None, got {edit_sigma!r}")
    epoch, x0 = _state_of(initial_state)
    dyn = as_dynamics(propagator)
    names = tuple(str(n) for n in estimate)
    for name in names:
        if name not in dyn.parameter_names:
            raise ValueError(
                f"cannot estimate {name!r}: the propagator provides no sensitivity to it"
                + (f" (it offers {', '.join(dyn.parameter_names)})" if dyn.parameter_names else "")
            )
    keys = _bias_keys(observations, estimate_biases)
    n_state = 6
    n_par = n_state + len(keys) + len(names)
    n_obs = len(observations)
    if n_obs < n_par:
        raise TooFewObservations(f"too few observations: {n_obs} for {n_par} unknowns")
    known_bias = bias_vector(observations, biases)
    bias_rows = [(observations.station == s) & (observations.kind == KINDS.index(k)) for s, k in keys]
    bias0 = np.array([float((biases or {}).get(key, 0.0)) for key in keys])
    dyn_index = [dyn.parameter_names.index(n) for n in names]
    dyn_all = np.array(getattr(propagator, "parameter_values", np.zeros(len(dyn.parameter_names))), dtype=float)
    seconds = observations.time - epoch
    geometry = Geometry(observations)
    weight = 1.0 / observations.sigma**2
    labels = _STATE_NAMES + tuple(f"bias:{s}:{k}" for s, k in keys) + names
    prior_info: Array | None = None
    if a_priori is not None:
        p0 = np.asarray(a_priori, dtype=np.float64)
        if p0.shape != (6, 6) or not np.isfinite(p0).all():
            raise ValueError("a_priori must be a finite (6, 6) covariance")
        prior_info = np.asarray(np.linalg.inv(p0), dtype=np.float64)
    x_prior = x0.copy()

    def unpack(p: Array) -> tuple[Array, Array, Array]:
        bias = known_bias.copy()
        for k, rows in enumerate(bias_rows):
            bias[rows] = p[n_state + k] + (known_bias[rows] - bias0[k])
        params = dyn_all.copy()
        params[dyn_index] = p[n_state + len(keys) :]
        return p[:n_state], bias, params

    def evaluate(p: Array, jacobian: bool) -> tuple[Array, Array | None]:
        x, bias, params = unpack(p)
        r, v, phi = dyn.trajectory(epoch, x, params if len(names) else np.zeros(0), seconds, stm=jacobian)
        if not (np.isfinite(r).all() and np.isfinite(v).all()):
            raise EstimationError("the propagator gave non-finite states")
        h, hx = predict(observations, r, v, geometry, partials=jacobian)
        res = residuals(observations, h + bias)
        if not jacobian or hx is None or phi is None:
            return res, None
        big = np.zeros((n_obs, n_par))
        big[:, :6] = np.einsum("ni,nij->nj", hx, phi[:, :, :6])
        for k, rows in enumerate(bias_rows):
            big[rows, n_state + k] = 1.0
        if names:
            big[:, n_state + len(keys) :] = np.einsum("ni,nij->nj", hx, phi[:, :, 6:][:, :, dyn_index])
        return res, big

    def cost_of(res: Array, use: NDArray[np.bool_], p: Array) -> float:
        c = float(np.sum(weight[use] * res[use] ** 2))
        if prior_info is not None:
            d = p[:6] - x_prior
            c += float(d @ prior_info @ d)
        return c

    p = np.concatenate([x0, bias0, dyn_all[dyn_index]])
    lam = damping
    use = np.ones(n_obs, dtype=bool)
    res, first = evaluate(p, True)
    if first is None:
        raise EstimationError("the dynamics gave no state transition matrix")
    big: Array = first
    cost = cost_of(res, use, p)
    history = [cost]
    wrms_prev = float(np.sqrt(cost / max(n_obs, 1)))
    converged = False
    iterations = 0
    cov = np.zeros((n_par, n_par))
    for iterations in range(1, max_iterations + 1):
        if edit_sigma is not None and iterations >= edit_after:
            use = np.abs(res) * np.sqrt(weight) <= edit_sigma * max(wrms_prev, 1.0)
            cost = cost_of(res, use, p)
        if int(use.sum()) < n_par:
            raise TooFewObservations(f"too few observations: {int(use.sum())} left after editing for {n_par} unknowns")
        normal, rhs, scale = _normal(big, res, weight, use, prior_info, p, x_prior)
        cov = _inverse(normal, scale, labels)
        sig = np.sqrt(np.diag(cov))
        newton = np.linalg.solve(normal, rhs) / scale
        if np.all(np.abs(newton) <= tolerance * sig):
            converged = True  # the undamped step is negligible: at the minimum
            break
        res_t: Array | None = None
        big_t: Array | None = None
        while lam <= 1.0e12:
            step = np.linalg.solve(normal + lam * np.diag(np.diag(normal)), rhs) / scale
            trial = p + step
            try:
                res_t, big_t = evaluate(trial, True)
            except EstimationError:
                res_t, big_t = None, None  # a step the dynamics cannot follow counts as an increase
            cost_t = np.inf if res_t is None else cost_of(res_t, use, trial)
            if cost_t <= cost:
                lam = max(lam / 10.0, 1.0e-12)
                break
            lam *= 10.0
        if res_t is None or big_t is None or not cost_t <= cost:
            if np.all(np.abs(newton) <= _FLOOR * sig):
                # no step lowers the cost and the Newton step is far inside the
                # uncertainty: the minimum to the working precision
                converged = True
                break
            raise ConvergenceError(
                f"no convergence: no damped step lowers the weighted cost at iteration {iterations} "
                f"(weighted RMS {wrms_prev:.6g})",
                p.copy(),
            )
        change = (cost - cost_t) / max(cost, 1e-300)
        p, res, big, cost = trial, res_t, big_t, cost_t
        history.append(cost)
        wrms_prev = float(np.sqrt(cost / max(int(use.sum()), 1)))
        if change < tolerance or np.all(np.abs(step) <= tolerance * sig):
            converged = True
            break
    if not converged:
        raise ConvergenceError(
            f"no convergence within {max_iterations} iterations (weighted RMS {wrms_prev:.6g})", p.copy()
        )
    normal, _, scale = _normal(big, res, weight, use, prior_info, p, x_prior)
    cov = _inverse(normal, scale, labels)
    sig = np.sqrt(np.diag(cov))
    corr = cov / np.outer(sig, sig)
    x, _, _ = unpack(p)
    state = StateVector(epoch, x[:3].tolist(), x[3:].tolist(), frame="GCRF")
    rms: dict[str, float] = {}
    wrms: dict[str, float] = {}
    for code in np.unique(observations.kind):
        rows = (observations.kind == code) & use
        if rows.any():
            rms[KINDS[code]] = float(np.sqrt(np.mean(res[rows] ** 2)))
            wrms[KINDS[code]] = float(np.sqrt(np.mean(weight[rows] * res[rows] ** 2)))
    total = float(np.sqrt(np.sum(weight[use] * res[use] ** 2) / int(use.sum())))
    return Estimate(
        state=state,
        parameters=labels,
        values=p.copy(),
        covariance=cov,
        correlation=corr,
        sigma=sig,
        iterations=iterations,
        residuals=res,
        used=use,
        rms=rms,
        weighted_rms=wrms,
        weighted_rms_total=total,
        cost_history=history,
        biases={key: float(p[n_state + k]) for k, key in enumerate(keys)},
    )


def _normal(
    big: Array,
    res: Array,
    weight: Array,
    use: NDArray[np.bool_],
    prior_info: Array | None,
    p: Array,
    x_prior: Array,
) -> tuple[Array, Array, Array]:
    """The normal matrix and right-hand side in parameters scaled to unit
    diagonal (the scale returned: a step is the solution divided by it)."""
    h = big[use]
    w = weight[use]
    normal = h.T @ (h * w[:, None])
    rhs = h.T @ (w * res[use])
    if prior_info is not None:
        normal[:6, :6] += prior_info
        rhs[:6] -= prior_info @ (p[:6] - x_prior)
    d = np.sqrt(np.diag(normal))
    d = np.where(d > 0.0, d, 1.0)
    return normal / np.outer(d, d), rhs / d, d


def _inverse(normal: Array, scale: Array, labels: Sequence[str]) -> Array:
    """The covariance from a scaled normal matrix; UnobservableError when it is singular."""
    if not np.isfinite(normal).all():
        raise EstimationError("the normal matrix is not finite")
    eigval, eigvec = np.linalg.eigh(normal)
    if eigval[0] <= eigval[-1] / _CONDITION_LIMIT:
        v = eigvec[:, 0]
        order = np.argsort(-np.abs(v))
        names = [labels[k] for k in order[:3] if abs(v[k]) > 0.1]
        raise UnobservableError(
            "the normal matrix is singular (unobservable geometry): no information on the combination of "
            + ", ".join(names)
            + f" (condition number {eigval[-1] / max(eigval[0], 1e-300):.3g})"
        )
    inv = (eigvec / eigval) @ eigvec.T
    out: Array = inv / np.outer(scale, scale)
    return out
