"""The dynamics an estimator needs: GCRF states at many epochs from a state
at one epoch, with the state transition matrix.

``Dynamics`` is the interface: ``trajectory(epoch, x0, params, seconds,
stm=...)`` gives positions and velocities (N, 3) at ``epoch + seconds`` and,
with ``stm=True``, the sensitivities (N, 6, 6 + P) of each state to the
initial state and to the P dynamical parameters of ``parameter_names``
(for example drag and radiation-pressure coefficients).

``as_dynamics(propagator)`` wraps any propagator with
``propagate_state(time, state)`` returning a ``StateVectorEphemeris``:

- when the propagator takes ``stm=True`` and its ephemeris carries an
  ``stm`` array (N, 6, 6 + P), those sensitivities are used (of the GCRF
  state, whatever frame the ephemeris's states are in): the columns are
  the initial state's six, then the propagator's ``parameter_names`` (a
  tuple, e.g. ("cd", "cr")) in order. A propagator with parameters also
  has ``parameter_values`` (their nominal values) and takes
  ``parameters={name: value}`` in ``propagate_state``, so that an
  estimator can move them;
- otherwise the state transition matrix comes from central differences of
  the propagator itself (12 more propagations of the same epochs), which is
  exact to about 1e-8 relative for analytic models such as ``Keplerian``;
  such a propagator offers no dynamical parameters.

Either way the propagator is asked for each distinct epoch once, in
increasing order.
"""

from __future__ import annotations

from typing import Any, Protocol, runtime_checkable

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import get_GCRF, get_ITRF, get_TEME
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import StateVector
from velarion.time.time import Time

__all__ = ["Dynamics", "PropagatorDynamics", "as_dynamics"]

Array = NDArray[np.float64]

# Difference steps of the state transition matrix by central differences.
_STEP_R = 1.0  # m
_STEP_V = 1.0e-3  # m/s


@runtime_checkable
class Dynamics(Protocol):
    """States and their sensitivities along a trajectory (see the module's text)."""

    parameter_names: tuple[str, ...]

    def trajectory(
        self, epoch: Time, x0: Array, params: Array, seconds: Array, *, stm: bool
    ) -> tuple[Array, Array, Array | None]: ...


def _gcrf_of(eph: Any) -> tuple[Array, Array]:
    """GCRF positions and velocities of an ephemeris in GCRF, ITRF, TEME or
    any frame the frame graph links to GCRF."""
    r = np.asarray(eph.r, dtype=np.float64)
    v = np.asarray(eph.v, dtype=np.float64)
    frame = eph.frame
    name = getattr(frame, "name", "GCRF")
    if name == "GCRF":
        return r, v
    if name == "TEME":
        r, v = (np.asarray(x) for x in get_TEME().to_ITRF(eph.time, r, v))
        name = "ITRF"
    if name == "ITRF":
        rr, vv = get_ITRF().to_GCRF(eph.time, r, v)
    else:
        rr, vv = frame.transform_to(get_GCRF(), eph.time, r, v)
    return np.asarray(rr, dtype=np.float64), np.asarray(vv, dtype=np.float64)


class PropagatorDynamics:
    """``Dynamics`` of a propagator with ``propagate_state(time, state)`` (see the module's text)."""

    def __init__(self, propagator: Any):
        if not callable(getattr(propagator, "propagate_state", None)):
            raise TypeError(f"the propagator must have propagate_state(time, state), not {type(propagator).__name__}")
        self.propagator = propagator
        self._stm_supported: bool | None = None
        names = getattr(propagator, "parameter_names", ())
        self.parameter_names: tuple[str, ...] = tuple(names) if isinstance(names, (tuple, list)) else ()

    def _propagate(self, epoch: Time, x0: Array, times: Time, params: Array, **kwargs: Any) -> Any:
        state = StateVector(epoch, x0[:3].tolist(), x0[3:].tolist(), frame="GCRF")
        if params.size:
            kwargs["parameters"] = dict(zip(self.parameter_names, params.tolist(), strict=True))
        eph = self.propagator.propagate_state(times, state, **kwargs)
        if not isinstance(eph, StateVectorEphemeris):
            raise TypeError(f"propagate_state must return a StateVectorEphemeris, not {type(eph).__name__}")
        return eph

    def trajectory(
        self, epoch: Time, x0: Array, params: Array, seconds: Array, *, stm: bool
    ) -> tuple[Array, Array, Array | None]:
        # The propagator sees each epoch once, in increasing order (as an
        # integrator wants them); the rows go back to the order asked for.
        unique, inverse = np.unique(np.asarray(seconds, dtype=np.float64), return_inverse=True)
        r, v, phi = self._sorted(epoch, x0, params, unique, stm=stm)
        inverse = inverse.reshape(-1)
        return r[inverse], v[inverse], None if phi is None else phi[inverse]

    def _sorted(
        self, epoch: Time, x0: Array, params: Array, seconds: Array, *, stm: bool
    ) -> tuple[Array, Array, Array | None]:
        if params.size and (self._stm_supported is False or not self.parameter_names):
            raise ValueError("the propagator provides no sensitivities to dynamical parameters")
        times = epoch + seconds
        if stm and self._stm_supported is not False:
            try:
                eph = self._propagate(epoch, x0, times, params, stm=True)
            except TypeError:
                eph = None
            matrix = None if eph is None else getattr(eph, "stm", None)
            if matrix is not None:
                self._stm_supported = True
                r, v = _gcrf_of(eph)
                return r, v, np.asarray(matrix, dtype=np.float64)
            self._stm_supported = False
        if params.size:
            raise ValueError("the propagator provides no sensitivities to dynamical parameters")
        eph = self._propagate(epoch, x0, times, params)
        r, v = _gcrf_of(eph)
        if not stm:
            return r, v, None
        phi = np.empty((seconds.size, 6, 6))
        for j in range(6):
            step = _STEP_R if j < 3 else _STEP_V
            dx = np.zeros(6)
            dx[j] = step
            rp, vp = _gcrf_of(self._propagate(epoch, x0 + dx, times, params))
            rm, vm = _gcrf_of(self._propagate(epoch, x0 - dx, times, params))
            phi[:, :3, j] = (rp - rm) / (2.0 * step)
            phi[:, 3:, j] = (vp - vm) / (2.0 * step)
        return r, v, phi


def as_dynamics(propagator: Any) -> Dynamics:
    """The ``Dynamics`` of a propagator (itself when it is one already)."""
    if isinstance(propagator, Dynamics):
        return propagator
    return PropagatorDynamics(propagator)
