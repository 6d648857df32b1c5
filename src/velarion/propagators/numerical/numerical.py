"""The numerical propagator: ``ForceModel`` and ``Numerical``.

The equations of motion are integrated in GCRF by compiled kernels
(``_numerical``) that call no Python: the force model's acceleration, the
Earth's orientation at every evaluation (the package's IAU 2000A chain,
with X, Y, s interpolated between exact nodes 6 h apart and the Earth
orientation parameters sampled once per call at the same nodes), and, for
``stm=True``, the variational equations.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from velarion.propagators.numerical._numerical import _Numerical
from velarion.propagators.numerical.forcemodel import (
    _DAY,
    _EPHEMERIDES,
    _TABLES_KEPT,
    F64,
    PLANET_GM,
    ForceModel,
    _earth_orientation_table,
    _gcrf_state,
    _tt_seconds,
)
from velarion.utils.threads import resolve_threads

__all__ = [
    "Event",
    "ForceModel",
    "ImpulsiveManeuver",
    "ManyResult",
    "Numerical",
    "PropagationError",
    "PropagationFailure",
]

_INTEGRATORS = {"dop853": 0, "rk4": 1}
_STATUS = {0: "ok", 1: "refused", 2: "step_too_small", 3: "too_many_steps", 4: "non_finite"}
_INSIDE_EARTH, _OUTSIDE_TABLE, _OUTSIDE_EPHEMERIS = 1, 2, 3


class PropagationError(ValueError):
    """A propagation that could not go on; ``epoch`` (a ``Time``) is where it stopped."""

    def __init__(self, message: str, epoch: Any = None):
        super().__init__(message)
        self.epoch = epoch


@dataclass(frozen=True)
class PropagationFailure:
    """A satellite of ``propagate_many`` that could not be propagated: its
    position in the input (``index``), the epoch of the failure (a ``Time``
    scalar) and the exception."""

    index: int
    epoch: Any
    error: BaseException

    def __str__(self) -> str:
        return f"state {self.index}: {self.error}"


@dataclass(frozen=True)
class ImpulsiveManeuver:
    """A velocity change ``dv`` [m/s] at ``time``, in GCRF or in a local
    orbital frame of the state at that time ("RSW", "NTW", "TNW", "VNC",
    "LVLH": velarion.frames.lof's conventions)."""

    time: Any
    dv: Sequence[float]
    frame: str = "GCRF"

    def __post_init__(self) -> None:
        dv = np.asarray(self.dv, dtype=np.float64)
        if dv.shape != (3,) or not np.all(np.isfinite(dv)):
            raise ValueError(f"dv must be three finite numbers [m/s], not {self.dv!r}")
        if self.frame.upper() != "GCRF":
            from velarion.frames.lof import LocalOrbitalFrame

            LocalOrbitalFrame(self.frame, [7e6, 0.0, 0.0], [0.0, 7e3, 0.0])  # refuses an unknown kind

    def epoch(self) -> Any:
        from velarion.time.time import Time

        return Time(self.time)

    def apply(self, r: F64, v: F64, *, undo: bool = False) -> F64:
        """The velocity after the change (before it, with ``undo``)."""
        dv = np.asarray(self.dv, dtype=np.float64)
        if self.frame.upper() == "GCRF":
            return v - dv if undo else v + dv
        from velarion.frames.lof import LocalOrbitalFrame

        def inertial(vel: F64) -> F64:
            axes: F64 = np.asarray(LocalOrbitalFrame(self.frame, r, vel).rotation, dtype=np.float64).reshape(3, 3)
            out: F64 = axes.T @ dv
            return out

        if not undo:
            return v + inertial(v)
        before = v - inertial(v)
        for _ in range(8):  # the frame of the velocity before the change
            before = v - inertial(before)
        return before


_NODE_EVENT, _APSIS, _ALTITUDE, _UMBRA, _PENUMBRA = 0, 1, 2, 3, 4
_EVENT_NAMES = {
    _NODE_EVENT: ("descending node", "ascending node"),
    _APSIS: ("apoapsis", "periapsis"),
    _ALTITUDE: ("altitude down", "altitude up"),
    _UMBRA: ("umbra entry", "umbra exit"),
    _PENUMBRA: ("penumbra exit", "penumbra entry"),
}


@dataclass(frozen=True)
class Event:
    """An event found during a propagation: its ``name`` (e.g. "ascending
    node", "umbra entry", "altitude up"), its ``epoch`` (a ``Time``) and the
    altitude [m] of altitude events (None otherwise)."""

    name: str
    epoch: Any
    value: float | None = None


def _event_specs(events: Sequence[str | tuple[str, float]]) -> F64 | None:
    if isinstance(events, str):
        events = (events,)
    rows: list[tuple[float, float]] = []
    for e in events:
        if e == "node":
            rows.append((_NODE_EVENT, 0.0))
        elif e == "apsis":
            rows.append((_APSIS, 0.0))
        elif e == "eclipse":
            rows += [(_UMBRA, 0.0), (_PENUMBRA, 0.0)]
        elif isinstance(e, tuple) and len(e) == 2 and e[0] == "altitude":
            height = float(e[1])
            if not math.isfinite(height):
                raise ValueError(f"an altitude event needs a finite height [m], not {e[1]!r}")
            rows.append((_ALTITUDE, height))
        else:
            raise ValueError(f"unknown event {e!r}: 'node', 'apsis', 'eclipse' or ('altitude', metres)")
    return np.array(rows, dtype=np.float64).reshape(-1, 2) if rows else None


def _events(epoch: Any, specs: F64, rows: F64) -> list[Event]:
    found = []
    for index, t, direction in sorted(rows.tolist(), key=lambda row: row[1]):
        kind, value = int(specs[int(index), 0]), float(specs[int(index), 1])
        name = _EVENT_NAMES[kind][1 if direction > 0 else 0]
        found.append(Event(name, epoch + t, value if kind == _ALTITUDE else None))
    return found


class ManyResult(list):  # type: ignore[type-arg]
    """The ephemerides of ``propagate_many`` in input order (None for a
    failed satellite), the state transition matrices when asked (``stm``)
    and the ``failures``."""

    def __init__(self, items: Iterable[Any], failures: Sequence[PropagationFailure], stm: list[Any] | None):
        super().__init__(items)
        self.failures = list(failures)
        self.stm = stm


class Numerical(_Numerical):
    """Numerical orbit propagator: the equations of motion under a
    ``ForceModel``, integrated in GCRF.

    Parameters
    ----------
    force_model : ForceModel, optional
        The forces (default: EGM2008 20 x 20 gravity).
    integrator : {"dop853", "rk4"}
        "dop853": the adaptive Dormand-Prince 8(5,3) pair with its 7th-order
        dense output (Hairer, Norsett and Wanner, 1993): output epochs are
        interpolated and never shorten the steps. "rk4": classical
        Runge-Kutta 4 with fixed steps of ``step`` seconds (an output epoch
        inside a step takes one extra step from the step's start).
    tolerance : float
        Adaptive steps: the local error estimate of each position component
        is held to ``tolerance`` [m] and of each velocity component to
        ``tolerance / T`` [m/s], T = sqrt(a^3 / GM) of the initial state
        (1/mean motion: the time in which a velocity error becomes a position
        error of the same size). Root-mean-square over the six components.
    step : float
        Fixed step [s] of "rk4".
    max_step : float
        Largest adaptive step [s] (0: no bound).
    max_steps : int
        Steps after which a propagation gives up.
    """

    _force_model: ForceModel
    _weather: Any
    _integrator: str
    _GM: float

    def __new__(
        cls,
        force_model: ForceModel | None = None,
        *,
        integrator: str = "dop853",
        tolerance: float = 1e-3,
        step: float = 60.0,
        max_step: float = 0.0,
        max_steps: int = 10_000_000,
    ) -> Numerical:
        fm = ForceModel() if force_model is None else force_model
        if not isinstance(fm, ForceModel):
            raise TypeError(f"force_model must be a ForceModel, not {type(fm).__name__}")
        if integrator not in _INTEGRATORS:
            raise ValueError(f"unknown integrator {integrator!r}: one of {', '.join(_INTEGRATORS)}")
        model = fm.gravity_model()
        order = fm.degree if fm.order is None else fm.order
        C, S = model.triangular(fm.degree)
        GM = model.GM if fm.GM is None else float(fm.GM)
        weather = fm.weather()
        terms = fm._terms(GM, weather)
        planets = fm._planets()
        # planet series follow the Sun and the Moon in the packed ephemeris, in this order
        extra = [x for k, p in enumerate(planets) for x in (4.0 + k, PLANET_GM[p])]
        self: Numerical = super().__new__(
            cls,
            C,
            S,
            GM,
            model.radius,
            fm.degree,
            order,
            _INTEGRATORS[integrator],
            float(tolerance),
            float(step),
            float(max_step),
            int(max_steps),
            np.concatenate([terms, np.array(extra, dtype=np.float64)]),
        )
        self._force_model = fm
        self._weather = weather
        self._integrator = integrator
        self._GM = GM
        return self

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass

    @property
    def force_model(self) -> ForceModel:
        return self._force_model

    @property
    def integrator(self) -> str:
        return self._integrator

    @property
    def GM(self) -> float:
        return self._GM

    def __repr__(self) -> str:
        fm = self.force_model
        return (
            f"Numerical(ForceModel(degree={fm.degree}, order={self.order}), integrator={self.integrator!r}, "
            f"tolerance={self.tolerance!r}, step={self.step!r})"
        )

    # --- propagation -------------------------------------------------------

    def _table(self, tt: F64, *, always: bool = False) -> tuple[int, F64]:
        fm = self.force_model
        rotates = always or self.degree > 0 or fm.drag is not None or fm.tides or fm.relativity
        if not rotates or tt.size == 0:
            return 0, np.zeros((0, 9))
        return _earth_orientation_table(float(np.min(tt)), float(np.max(tt)))

    def _weather_table(self, tt: F64) -> F64 | None:
        """The space-weather rows NRLMSISE-00 reads over the span (None for
        constants or another model), the span checked against the table."""
        weather = self._weather
        if weather is None or weather.constants is not None or tt.size == 0:
            return None
        # UTC MJD within a few minutes (TT - UTC is about a minute): the
        # table is daily and the check is by day
        mjd = 51544.5 + np.array([np.min(tt), np.max(tt)]) / _DAY
        weather.check_span(float(mjd[0]), float(mjd[1]), hold=self.force_model.hold_space_weather)
        packed: F64 = weather.packed(self.force_model.ap_history)
        return packed

    def _ephemeris(self, tt: F64, *, always: bool = False) -> F64 | None:
        """The Chebyshev records of the span's Sun, Moon and planets, packed."""
        fm = self.force_model
        if not (always or fm.needs_ephemeris) or tt.size == 0:
            return None
        from velarion.propagators.numerical.ephemeris import PlanetaryEphemeris

        # whole days with a day's margin (the steps' stages and TDB - TT stay
        # well inside); the last few spans are kept
        start = (math.floor(float(np.min(tt)) / _DAY) - 1) * _DAY
        stop = (math.floor(float(np.max(tt)) / _DAY) + 2) * _DAY
        key = (start, stop, tuple(fm._planets()), None if fm.ephemeris is None else os.fspath(fm.ephemeris))
        hit = _EPHEMERIDES.get(key)
        if hit is not None:
            return hit
        if len(_EPHEMERIDES) >= _TABLES_KEPT:
            _EPHEMERIDES.pop(next(iter(_EPHEMERIDES)))
        packed = PlanetaryEphemeris(start, stop, planets=fm._planets(), path=fm.ephemeris).packed
        _EPHEMERIDES[key] = packed
        return packed

    def _run(
        self, epochs: list[Any], y0: F64, dt: F64, stm: bool, threads: int, events: F64 | None = None
    ) -> tuple[F64, F64 | None, list[BaseException | None]]:
        states, phi, errors, _, _ = self._run_events(epochs, y0, dt, stm, threads, events)
        return states, phi, errors

    def _run_events(
        self, epochs: list[Any], y0: F64, dt: F64, stm: bool | int, threads: int, events: F64 | None
    ) -> tuple[F64, F64 | None, list[BaseException | None], list[F64], F64 | None]:
        tt0 = np.concatenate([_tt_seconds(e) for e in epochs]) if epochs else np.zeros(0)
        span = (tt0[:, None] + dt).reshape(-1) if dt.size else tt0
        everything = np.concatenate([tt0, span])
        kinds = set() if events is None else {int(k) for k in events[:, 0]}
        first, values = self._table(everything, always=_ALTITUDE in kinds)
        packed = self._ephemeris(everything, always=bool(kinds & {_UMBRA, _PENUMBRA}))
        weather = self._weather_table(everything)
        states, phi, status, refusal, t_failed, _, _, found, sens = self._propagate(
            tt0,
            np.ascontiguousarray(y0),
            np.ascontiguousarray(dt),
            first,
            values,
            packed,
            stm,
            threads,
            events,
            weather,
        )

        errors: list[BaseException | None] = []
        for k, epoch in enumerate(epochs):
            code = int(status[k])
            errors.append(None if code == 0 else _error(code, int(refusal[k]), epoch, float(t_failed[k])))
        return states, phi, errors, found, sens

    def propagate_state(
        self,
        time: Any,
        state: Any,
        *,
        stm: bool = False,
        sensitivity: bool = False,
        maneuvers: Sequence[ImpulsiveManeuver] = (),
        events: Sequence[str | tuple[str, float]] = (),
        **kwargs: Any,
    ) -> Any:
        """Propagate a single initial state to one or more epochs.

        Parameters
        ----------
        time : DatetimeLike
            Output epochs (any order, before or after the state's epoch).
        state : State
            A StateVector (an ephemeris row is one), a COE or another State;
            states in other frames are converted to GCRF first.
        stm : bool
            Also return the 6 x 6 state transition matrices d(r, v)(t) /
            d(r, v)(t0), one per epoch, from the variational equations (the
            gravity field's analytic gradient).
        sensitivity : bool
            With ``stm=True``: also the (N, 6, 2) sensitivity d(r, v)(t) /
            d(Cd, Cr) of the drag and radiation pressure coefficients (their
            terms are linear in them), from the same variational equations.
        maneuvers : sequence of ImpulsiveManeuver
            Velocity changes at given epochs: the integration stops there,
            adds the change and starts again. An output epoch equal to a
            manoeuvre's gives the state before it; manoeuvres before the
            state's epoch are undone going backwards. Through a manoeuvre
            the transition matrix is the product of the segments' (the
            change taken as fixed, also in a local orbital frame).
        events : sequence
            Events to find between the epoch and the output epochs, from
            the dense output (adaptive integrator), each to a millisecond:
            "node" (ascending and descending), "apsis" (periapsis and
            apoapsis), ("altitude", h) (height h [m] over the WGS84
            ellipsoid, going up or down), "eclipse" (umbra and penumbra
            entry and exit, the Earth's and the Moon's conical shadows).

        Returns
        -------
        StateVectorEphemeris
            GCRF positions [m] and velocities [m/s] at ``time``; with
            ``stm=True`` the pair (ephemeris, ndarray of shape (N, 6, 6)),
            then the (N, 6, 2) sensitivity with ``sensitivity=True``, and
            with events a list of ``Event`` (in time order) last.

        Raises
        ------
        PropagationError
            A state inside the Earth, an orbit that reaches the surface, or a
            step control that gives up; the message names the epoch.
        """
        from velarion.state.ephemeris import StateVectorEphemeris
        from velarion.time.time import Time

        times = Time(time)
        epoch, y0 = _gcrf_state(state)
        dt = np.asarray(times - epoch, dtype=np.float64).reshape(1, -1)
        specs = _event_specs(events)
        if specs is not None and self.integrator != "dop853":
            raise ValueError("events are found on the dense output of the adaptive integrator (integrator='dop853')")
        found: list[Event] = []
        if maneuvers:
            if specs is not None or sensitivity:
                raise NotImplementedError("events or sensitivities with manoeuvres are not supported yet")
            states, phi = self._run_with_maneuvers(epoch, y0, dt[0], stm, maneuvers)
        else:
            if sensitivity and not stm:
                raise ValueError("sensitivity=True goes with stm=True")
            mode: bool | int = 2 if sensitivity else stm
            states, phi, errors, rows, sens = self._run_events([epoch], y0.reshape(1, 6), dt, mode, 1, specs)
            if errors[0] is not None:
                raise errors[0]
            if specs is not None:
                found = _events(epoch, specs, rows[0])
        eph = StateVectorEphemeris(
            times, np.ascontiguousarray(states[0, :, :3]), np.ascontiguousarray(states[0, :, 3:])
        )
        out: tuple[Any, ...] = (eph,)
        if stm:
            assert phi is not None
            out += (phi[0],)
        if sensitivity and not maneuvers:
            assert sens is not None
            out += (sens[0],)
        if specs is not None:
            out += (found,)
        return out if len(out) > 1 else eph

    def _run_with_maneuvers(
        self, epoch: Any, y0: F64, dt: F64, stm: bool, maneuvers: Sequence[ImpulsiveManeuver]
    ) -> tuple[F64, F64 | None]:
        """Segments between manoeuvres, each its own integration, forward
        and backward from the epoch."""
        burns = []
        for m in maneuvers:
            if not isinstance(m, ImpulsiveManeuver):
                raise TypeError(f"maneuvers must be ImpulsiveManeuver objects, not {type(m).__name__}")
            burns.append((float(np.asarray(m.epoch() - epoch)), m))
        states = np.zeros((1, dt.size, 6))
        phi = np.zeros((1, dt.size, 6, 6)) if stm else None
        for direction in (1.0, -1.0):
            picked = np.flatnonzero(dt >= 0.0) if direction > 0 else np.flatnonzero(dt < 0.0)
            if picked.size == 0:
                continue
            cuts = sorted(
                (t for t in burns if (t[0] >= 0.0 if direction > 0 else t[0] < 0.0)), key=lambda b: direction * b[0]
            )
            y, t_start, acc = y0.copy(), 0.0, np.eye(6)
            remaining = picked[np.argsort(direction * dt[picked])]
            for t_burn, burn in [*cuts, (math.inf * direction, None)]:
                inside = remaining[direction * dt[remaining] <= direction * t_burn] if burn else remaining
                if burn and direction < 0:
                    inside = remaining[dt[remaining] > t_burn]
                offsets = np.append(dt[inside] - t_start, (t_burn - t_start) if burn else [])
                seg_epoch = epoch + t_start
                out, seg_phi, errs = self._run([seg_epoch], y.reshape(1, 6), offsets.reshape(1, -1), stm, 1)
                if errs[0] is not None:
                    raise errs[0]
                states[0, inside] = out[0, : inside.size]
                if phi is not None and seg_phi is not None:
                    phi[0, inside] = seg_phi[0, : inside.size] @ acc
                remaining = remaining[inside.size :]
                if not burn:
                    break
                y = out[0, -1].copy()
                if seg_phi is not None:
                    acc = seg_phi[0, -1] @ acc
                y[3:] = burn.apply(y[:3], y[3:], undo=direction < 0)
                t_start = t_burn
        return states, phi

    def propagate_many(
        self,
        time: Any,
        states: Sequence[Any],
        *,
        stm: bool = False,
        threads: int | None = None,
        errors: str = "skip",
    ) -> ManyResult:
        """Propagate many states to the same output epochs, on threads with
        the interpreter lock released; each state has its own step control
        and its results equal those of ``propagate_state``, bit for bit.

        ``errors="skip"`` (the default) returns None for a satellite that
        fails and reports it in ``result.failures`` (``PropagationFailure``:
        index, epoch, error); ``errors="raise"`` raises the first failure.
        """
        from velarion.state.ephemeris import StateVectorEphemeris
        from velarion.time.time import Time

        if errors not in ("skip", "raise"):
            raise ValueError(f"errors must be 'skip' or 'raise', not {errors!r}")
        nthreads = resolve_threads(threads)
        times = Time(time)
        epochs: list[Any] = []
        rows: list[F64] = []
        for s in states:
            e, y = _gcrf_state(s)
            epochs.append(e)
            rows.append(y)
        if not rows:  # no satellites: nothing to propagate
            return ManyResult([], [], [] if stm else None)
        y0 = np.array(rows, dtype=np.float64).reshape(-1, 6)
        dt = np.array([np.asarray(times - e, dtype=np.float64).reshape(-1) for e in epochs]).reshape(len(epochs), -1)
        out, phi, errs = self._run(epochs, y0, dt, stm, nthreads)
        failures = [
            PropagationFailure(k, err.epoch, err) for k, err in enumerate(errs) if isinstance(err, PropagationError)
        ]
        if errors == "raise" and failures:
            raise failures[0].error
        items: list[Any] = []
        stms: list[Any] | None = [] if stm else None
        for k, err in enumerate(errs):
            if err is not None:
                items.append(None)
                if stms is not None:
                    stms.append(None)
                continue
            items.append(
                StateVectorEphemeris(times, np.ascontiguousarray(out[k, :, :3]), np.ascontiguousarray(out[k, :, 3:]))
            )
            if stms is not None and phi is not None:
                stms.append(phi[k])
        return ManyResult(items, failures, stms)

    def field_acceleration(self, r_itrf: Any, *, gradient: bool = False) -> Any:
        """The gravity field alone in the Earth-fixed frame: accelerations
        [m/s^2] at ITRF positions ``r_itrf`` [m] (shape (N, 3)), with
        ``gradient=True`` also d a / d r, (N, 3, 3)."""
        rr = np.ascontiguousarray(np.asarray(r_itrf, dtype=np.float64).reshape(-1, 3))
        a, g = self._gravity_itrf(rr, gradient)
        return (a, g) if gradient else a

    def acceleration(self, time: Any, r: Any, v: Any, *, partials: bool = False) -> Any:
        """The force model's acceleration [m/s^2] in GCRF at epochs ``time``
        and GCRF positions ``r`` [m], velocities ``v`` [m/s] (shapes (N, 3));
        with ``partials=True`` also d a / d r and d a / d v, (N, 3, 3) each."""
        from velarion.time.time import Time

        tt = _tt_seconds(Time(time))
        rr = np.ascontiguousarray(np.asarray(r, dtype=np.float64).reshape(-1, 3))
        vv = np.ascontiguousarray(np.asarray(v, dtype=np.float64).reshape(-1, 3))
        if tt.size == 1 and rr.shape[0] > 1:
            tt = np.full(rr.shape[0], tt[0])
        first, values = self._table(tt)
        a, dadr, dadv, refused = self._acceleration(
            tt, rr, vv, first, values, self._ephemeris(tt), partials, self._weather_table(tt)
        )
        if np.any(refused):
            k = int(np.flatnonzero(refused)[0])
            raise PropagationError(f"position {k} is inside the Earth (below the WGS84 ellipsoid)")
        return (a, dadr, dadv) if partials else a


def _iso(epoch: Any) -> str:
    return str((epoch.utc + 0.0005).iso)[:23].replace("T", " ") + " UTC"


def _error(code: int, refusal: int, epoch: Any, t_failed: float) -> PropagationError:
    at = epoch + t_failed
    if code == 1 and refusal == _INSIDE_EARTH:
        if t_failed == 0.0:
            return PropagationError(f"the state at {_iso(at)} is inside the Earth (below the WGS84 ellipsoid)", at)
        return PropagationError(f"the orbit reached the Earth's surface (decayed) after {_iso(at)}", at)
    if code == 1 and refusal == _OUTSIDE_TABLE:
        return PropagationError(f"the propagation left the span of its Earth orientation table at {_iso(at)}", at)
    if code == 1 and refusal == _OUTSIDE_EPHEMERIS:
        return PropagationError(f"the propagation left the span of its planetary ephemeris at {_iso(at)}", at)
    if code == 2:
        return PropagationError(f"the step size became too small at {_iso(at)}", at)
    if code == 3:
        return PropagationError(f"the propagation gave up after its maximum number of steps at {_iso(at)}", at)
    return PropagationError(f"the state stopped being finite after {_iso(at)}", at)
