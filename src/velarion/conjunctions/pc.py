"""Probability of collision (Pc) of conjunctions, many at once.

Every function takes the two objects' states at the time of closest
approach (TCA), ``r1, v1, r2, v2`` [m, m/s] of shape (3,) or (N, 3) in one
inertial frame (GCRF/EME2000), their covariances ``C1, C2`` [m^2, m^2/s,
m^2/s^2] of shape (k, k) or (N, k, k) (k = 3 for position only, 6 for
position and velocity; larger CDM covariances, with drag and SRP rows, are
cut to their first 6 rows and columns) and the hard-body radius ``hbr`` [m]
(a scalar or N values). With ``frame="RTN"`` the covariances are given in
each object's radial / transverse / normal axes and are rotated to the
inertial frame (blocks of position and velocity, by the axes of
``LocalOrbitalFrame("RTN", r, v)``). Single conjunctions give floats, arrays
of them NumPy arrays.

Methods:

- ``foster_2d``: the integral of the combined position covariance over the
  hard-body disc in the encounter plane (the plane normal to the relative
  velocity, the motion taken as rectilinear), or over a square of half side
  hbr (``shape="square"``) or of the disc's area (``"equal_area_square"``),
  its sides along the miss vector and its normal in the plane; nested
  Gauss-Chebyshev rules, or adaptive Gauss-Kronrod quadrature where the
  density is narrow, to about 1e-10 relative or better.
- ``chan``: Chan's series for the same integral (the disc replaced by the
  equivalent-area disc of the principal axes), ``terms`` terms or converged.
- ``alfano_max``: the largest Foster Pc over a scaling of both covariances
  (for when they are missing or not trusted), with the scale factor.
- ``hall_3d``: the expected number of entries into the hard-body sphere over
  the encounter, without the rectilinear assumption: the relative state is
  Gaussian, carried by two-body motion and its state transition matrix from
  TCA; Pc is that number (clipped to 1), exact where no trajectory enters
  twice. Needs 6x6 covariances.
- ``monte_carlo``: samples both objects' states at TCA, finds each pair's
  closest approach under two-body motion (the local minimum of distance
  nearest TCA) and counts those within hbr, with a Wilson score confidence
  interval. Seeded, and the same for any number of threads.

``pc(cdm, method=...)`` runs a method on a ``CDM`` of
``velarion.conjunctions.cdm``.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velarion.conjunctions import _pc
from velarion.frames.lof import GM_EARTH, LocalOrbitalFrame
from velarion.utils.threads import resolve_threads

__all__ = [
    "METHODS",
    "AlfanoMax",
    "Hall3D",
    "MonteCarloPc",
    "PcError",
    "alfano_max",
    "chan",
    "foster_2d",
    "hall_3d",
    "monte_carlo",
    "pc",
]

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.

_SHAPES = {"circle": 0, "square": 1, "equal_area_square": 2}
_STATUS = {
    1: "the relative velocity is zero (no encounter plane)",
    2: "the combined covariance is not positive definite",
    3: "the hard-body radius must be positive",
    4: "a state is not on a bound (elliptic) orbit",
    5: "beyond Chan's series (a miss over 1414 or a hard body over 141 standard deviations): use foster_2d",
}
METHODS = ("foster", "chan", "alfano", "hall", "mc")


class PcError(ValueError):
    """A conjunction whose Pc the method cannot compute."""


class AlfanoMax(NamedTuple):
    pc: Any
    """The largest Pc over covariance scalings."""
    scale: Any
    """The factor of the standard deviations that gives it (0: the hard body covers the mean miss)."""


class Hall3D(NamedTuple):
    pc: Any
    """Pc, the expected number of collisions clipped to 1."""
    expected_collisions: Any
    """The expected number of entries into the hard-body sphere."""


class MonteCarloPc(NamedTuple):
    pc: Any
    """Hits over samples."""
    low: Any
    """Lower end of the confidence interval."""
    high: Any
    """Upper end of the confidence interval."""
    hits: Any
    samples: int


def _threads(threads: int | None) -> int:
    return resolve_threads(threads)


def _rows(x: ArrayLike, name: str) -> Array:
    a = np.asarray(x, dtype=np.float64)
    if a.shape == (3,):
        a = a[None, :]
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} must have shape (3,) or (N, 3), got {a.shape}")
    return a


def _covariances(c: ArrayLike, name: str, n: int, size: int) -> Array:
    a = np.asarray(c, dtype=np.float64)
    if a.ndim == 2:
        a = a[None]
    if a.ndim != 3 or a.shape[1] != a.shape[2] or a.shape[1] < 3:
        raise ValueError(f"{name} must have shape (k, k) or (N, k, k) with k >= 3, got {a.shape}")
    if a.shape[0] not in (1, n):
        raise ValueError(f"{name} holds {a.shape[0]} covariances for {n} conjunctions")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must be finite")
    k = a.shape[1]
    if size == 6 and k < 6:
        out = np.zeros((a.shape[0], 6, 6))
        out[:, :3, :3] = a[:, :3, :3]
        a = out
    else:
        a = a[:, :size, :size]
    # Symmetric to rounding, element by element against its diagonal's scale.
    d = np.sqrt(np.abs(np.diagonal(a, axis1=1, axis2=2)))
    if np.any(np.abs(a - np.swapaxes(a, 1, 2)) > 1e-9 * d[:, :, None] * d[:, None, :]):
        raise ValueError(f"{name} must be symmetric")
    a = 0.5 * (a + np.swapaxes(a, 1, 2))
    return np.broadcast_to(a, (n, size, size))


def _inertial(c: Array, r: Array, v: Array, frame: str) -> Array:
    if frame.upper() in ("INERTIAL", "GCRF", "EME2000", "ICRF", "J2000"):
        return c
    if frame.upper() not in ("RTN", "RSW", "RIC", "QSW"):
        raise ValueError(f"unknown covariance frame {frame!r}; expected 'inertial' or 'RTN'")
    rot = LocalOrbitalFrame("RTN", r, v).rotation  # (N, 3, 3): inertial to RTN
    k = c.shape[1]
    block = np.zeros((len(rot), k, k))
    for start in range(0, k, 3):
        block[:, start : start + 3, start : start + 3] = rot
    out: Array = np.einsum("nji,njk,nkl->nil", block, c, block)
    return out


class _Inputs:
    def __init__(
        self,
        r1: ArrayLike,
        v1: ArrayLike,
        C1: ArrayLike,
        r2: ArrayLike,
        v2: ArrayLike,
        C2: ArrayLike,
        hbr: ArrayLike,
        size: int,
        frame: str,
    ):
        self.single = np.ndim(r1) == 1 and np.ndim(r2) == 1 and np.ndim(hbr) == 0
        rows = [_rows(x, name) for x, name in ((r1, "r1"), (v1, "v1"), (r2, "r2"), (v2, "v2"))]
        n = max(len(x) for x in rows)
        for x, name in zip(rows, ("r1", "v1", "r2", "v2"), strict=True):
            if len(x) not in (1, n):
                raise ValueError(f"{name} holds {len(x)} rows for {n} conjunctions")
            if not np.all(np.isfinite(x)):
                raise ValueError(f"{name} must be finite")
        self.r1, self.v1, self.r2, self.v2 = (np.ascontiguousarray(np.broadcast_to(x, (n, 3))) for x in rows)
        radius = np.asarray(hbr, dtype=np.float64).reshape(-1)
        if len(radius) not in (1, n):
            raise ValueError(f"hbr holds {len(radius)} values for {n} conjunctions")
        if not np.all(np.isfinite(radius)) or np.any(radius <= 0.0):
            raise ValueError("hbr must be positive and finite")
        self.hbr = np.ascontiguousarray(np.broadcast_to(radius, (n,))).reshape(n, 1)
        self.C1 = _inertial(_covariances(C1, "C1", n, size), self.r1, self.v1, frame)
        self.C2 = _inertial(_covariances(C2, "C2", n, size), self.r2, self.v2, frame)
        self.n = n

    def relative(self) -> tuple[Array, Array, Array]:
        combined = self.C1[:, :3, :3] + self.C2[:, :3, :3]
        return (self.r2 - self.r1, self.v2 - self.v1, np.ascontiguousarray(combined.reshape(self.n, 9)))

    def flat(self, c: Array) -> Array:
        return np.ascontiguousarray(c.reshape(self.n, 36))

    def out(self, x: Array) -> Any:
        return float(x[0]) if self.single else x


def _checked(status: NDArray[np.uint8], method: str) -> None:
    bad = np.flatnonzero(status)
    if len(bad):
        i = int(bad[0])
        raise PcError(f"{method}: conjunction {i}: {_STATUS.get(int(status[i]), 'cannot be computed')}")


def foster_2d(
    r1: ArrayLike,
    v1: ArrayLike,
    C1: ArrayLike,
    r2: ArrayLike,
    v2: ArrayLike,
    C2: ArrayLike,
    hbr: ArrayLike,
    *,
    shape: str = "circle",
    frame: str = "inertial",
    threads: int | None = None,
) -> Any:
    """Foster's 2-D Pc (see the module's docstring)."""
    if shape not in _SHAPES:
        raise ValueError(f"unknown hard-body shape {shape!r}; expected one of {', '.join(_SHAPES)}")
    x = _Inputs(r1, v1, C1, r2, v2, C2, hbr, 3, frame)
    r, v, c = x.relative()
    status, value = _pc.foster(r, v, c, x.hbr, _SHAPES[shape], _threads(threads))
    _checked(status, "foster_2d")
    return x.out(value)


def chan(
    r1: ArrayLike,
    v1: ArrayLike,
    C1: ArrayLike,
    r2: ArrayLike,
    v2: ArrayLike,
    C2: ArrayLike,
    hbr: ArrayLike,
    *,
    terms: int | None = None,
    frame: str = "inertial",
    threads: int | None = None,
) -> Any:
    """Chan's series with ``terms`` terms (None: until converged)."""
    if terms is not None and (isinstance(terms, bool) or not isinstance(terms, int) or not 1 <= terms <= 10**6):
        raise ValueError(f"terms must be None or an int in [1, 10**6], got {terms!r}")
    x = _Inputs(r1, v1, C1, r2, v2, C2, hbr, 3, frame)
    r, v, c = x.relative()
    status, value = _pc.chan(r, v, c, x.hbr, terms or 0, _threads(threads))
    _checked(status, "chan")
    return x.out(value)


def alfano_max(
    r1: ArrayLike,
    v1: ArrayLike,
    C1: ArrayLike,
    r2: ArrayLike,
    v2: ArrayLike,
    C2: ArrayLike,
    hbr: ArrayLike,
    *,
    frame: str = "inertial",
    threads: int | None = None,
) -> AlfanoMax:
    """The largest Foster Pc over scalings of the combined covariance (its
    shape kept): ``AlfanoMax(pc, scale)``."""
    x = _Inputs(r1, v1, C1, r2, v2, C2, hbr, 3, frame)
    r, v, c = x.relative()
    status, value, scale = _pc.alfano(r, v, c, x.hbr, 0, _threads(threads))
    _checked(status, "alfano_max")
    return AlfanoMax(x.out(value), x.out(scale))


def hall_3d(
    r1: ArrayLike,
    v1: ArrayLike,
    C1: ArrayLike,
    r2: ArrayLike,
    v2: ArrayLike,
    C2: ArrayLike,
    hbr: ArrayLike,
    *,
    mu: float = GM_EARTH,
    frame: str = "inertial",
    threads: int | None = None,
) -> Hall3D:
    """The 3-D Pc and expected number of collisions: ``Hall3D(pc, expected_collisions)``."""
    x = _Inputs(r1, v1, C1, r2, v2, C2, hbr, 6, frame)
    status, expected = _pc.hall(x.r1, x.v1, x.flat(x.C1), x.r2, x.v2, x.flat(x.C2), x.hbr, float(mu), _threads(threads))
    _checked(status, "hall_3d")
    return Hall3D(x.out(np.minimum(expected, 1.0)), x.out(expected))


def _wilson(hits: Array, n: int, confidence: float) -> tuple[Array, Array]:
    # z of the two-sided interval, by bisection of erf (no SciPy at run time).
    target, lo, hi = confidence, 0.0, 40.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if math.erf(mid / math.sqrt(2.0)) < target else (lo, mid)
    z = 0.5 * (lo + hi)
    p = hits / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * np.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    # The ends at no hits and at all hits are exactly 0 and 1 (the formula rounds there).
    low = np.where(hits == 0, 0.0, np.maximum(centre - half, 0.0))
    high = np.where(hits == n, 1.0, np.minimum(centre + half, 1.0))
    return low, high


def monte_carlo(
    r1: ArrayLike,
    v1: ArrayLike,
    C1: ArrayLike,
    r2: ArrayLike,
    v2: ArrayLike,
    C2: ArrayLike,
    hbr: ArrayLike,
    *,
    samples: int = 10**6,
    seed: int = 0,
    confidence: float = 0.95,
    mu: float = GM_EARTH,
    frame: str = "inertial",
    threads: int | None = None,
) -> MonteCarloPc:
    """Monte Carlo Pc from ``samples`` samples of both states per conjunction:
    ``MonteCarloPc(pc, low, high, hits, samples)`` (Wilson score interval at
    ``confidence``). Position-only covariances sample the positions alone."""
    if isinstance(samples, bool) or not isinstance(samples, (int, np.integer)) or not 1 <= samples <= 2**40:
        raise ValueError(f"samples must be an int in [1, 2**40], got {samples!r}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative int, got {seed!r}")
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie in (0, 1), got {confidence!r}")
    x = _Inputs(r1, v1, C1, r2, v2, C2, hbr, 6, frame)
    status, hits = _pc.monte_carlo(
        x.r1,
        x.v1,
        x.flat(x.C1),
        x.r2,
        x.v2,
        x.flat(x.C2),
        x.hbr,
        float(mu),
        int(samples),
        int(seed),
        _threads(threads),
    )
    _checked(status, "monte_carlo")
    low, high = _wilson(hits.astype(np.float64), int(samples), confidence)
    p = hits / float(samples)
    if x.single:
        return MonteCarloPc(float(p[0]), float(low[0]), float(high[0]), int(hits[0]), int(samples))
    return MonteCarloPc(p, low, high, hits, int(samples))


def pc(cdm: Any, method: str = "foster", *, hbr: float | None = None, **options: Any) -> Any:
    """Pc of a CDM (``velarion.conjunctions.cdm.CDM``) by ``method``: one
    of "foster", "chan", "alfano", "hall", "mc" (the function's result:
    a float for foster and chan, the named tuple of the others), with the
    states and covariances of the message (``CDM.inertial``). ``hbr`` [m]:
    the combined hard-body radius, by default ``CDM.hard_body_radius()``
    (needed when the message gives none); ``options`` go to the method."""
    from velarion.conjunctions.cdm import CDM

    if not isinstance(cdm, CDM):
        raise TypeError(f"pc() takes a CDM, not {type(cdm).__name__}")
    functions: dict[str, Callable[..., Any]] = {
        "foster": foster_2d,
        "chan": chan,
        "alfano": alfano_max,
        "hall": hall_3d,
        "mc": monte_carlo,
    }
    if method not in functions:
        raise ValueError(f"unknown Pc method {method!r}; expected one of {', '.join(METHODS)}")
    radius = cdm.hard_body_radius() if hbr is None else hbr
    if radius is None:
        raise ValueError("the CDM gives no hard-body radius (AREA_PC); pass hbr")
    (r1, v1, c1), (r2, v2, c2) = (cdm.inertial(k) for k in (1, 2))
    return functions[method](r1, v1, c1, r2, v2, c2, radius, **options)
