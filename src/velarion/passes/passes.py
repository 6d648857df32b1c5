"""Passes of satellites over a ground station.

``find_passes(source, station, start, duration, step, min_elevation)`` lists
every pass above a minimum elevation in a time span; ``find_passes_many``
does the same for many satellites at once (a catalogue), evaluating them
together. A source gives a satellite's states at any array of epochs
(``sgp4_source`` for a TLE, ``propagator_source`` for a state and a
propagator such as ``Keplerian``); the states are carried to the station's
``ENU`` frame through the frame graph (their frame -> ITRF -> ENU, with the
Earth orientation data in use), so elevation and azimuth are topocentric
and geodetic (WGS84 normal).

How the span is searched:

1. The elevation is sampled on the grid ``start + k * step``. A coarse
   subset of the grid is evaluated first. A coarse interval is skipped when
   the satellite cannot reach the visibility cone in it: with d_a, d_b the
   distances of its end points from the cone (elevation >= minimum) and V a
   bound of the Earth-fixed speed over the interval, a visible point inside
   needs d_a + d_b <= V * (t_b - t_a). Crossings of the minimum are
   therefore found between grid neighbours, as a full scan of the grid
   finds them.
   Intervals that cannot hold both sides of the minimum are skipped the
   same way (from the distances to the region below it); the others are
   halved, one level at a time, down to grid neighbours.
2. Each local maximum of the elevation between two grid samples is refined
   (root of the elevation rate, computed from the ENU velocity) and kept
   when it reaches the minimum; a maximum between two samples below the
   minimum (a pass shorter than a step) is found too.
3. Rise and set are refined between the last sample below and the first
   above the minimum (or the maximum) by root finding on the elevation.

Every stage (each level of the search, each root-finding iteration)
evaluates all its epochs of all satellites together: one propagation per
satellite (SGP4 in one array call) and one frame conversion for all of
them, never a Python loop over epochs.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import ENU, Frame, get_ITRF, get_TEME
from velarion.propagators.analytical.sgp4.sgp4 import SGP4Error, epoch_text, first_failure, sgp4_jd
from velarion.time.time import Time

__all__ = ["Pass", "Sky", "Source", "Station", "find_passes", "find_passes_many", "propagator_source", "sgp4_source"]

# Word for word: callers and tests compare the exception texts of this module.

# Earth rotation rate [rad/s] and a bound of the gravitational acceleration
# above the Earth's surface (GM / (6.31e6 m)^2 = 10.01 m/s^2).
_OMEGA = 7.292115146706798e-5
_GRAVITY_BOUND = 10.5
# Root-finding tolerance on times [s] and iteration cap.
_TOL = 1e-4
_MAXIT = 60
_DIFF_STEP = 1e-3  # s
_LOWEST_ALTITUDE = -1.0e5  # m below the WGS84 ellipsoid

Array = NDArray[Any]
# (frame, r, v) at the epochs of a Time: r, v (N, 3) in `frame`.
Source = Callable[[Time], "tuple[Frame, Array, Array]"]


@dataclass(frozen=True)
class Station:
    """A ground station: geodetic latitude and longitude [deg], altitude [m] (WGS84)."""

    lat: float
    lon: float
    alt: float = 0.0
    name: str = ""

    def __post_init__(self) -> None:
        for field, value in (("lat", self.lat), ("lon", self.lon), ("alt", self.alt)):
            if not math.isfinite(value):
                raise ValueError(f"station {field} must be finite, got {value!r}")
        if not -90.0 <= self.lat <= 90.0:
            raise ValueError(f"station latitude must lie in [-90, 90] degrees, got {self.lat!r}")
        if not -360.0 <= self.lon <= 360.0:
            raise ValueError(f"station longitude must lie in [-360, 360] degrees, got {self.lon!r}")
        if self.alt < _LOWEST_ALTITUDE:
            # Deeper than any place on Earth by far; near the centre its "up" turns over.
            raise ValueError(f"station altitude must be above {_LOWEST_ALTITUDE:g} m, got {self.alt!r}")

    def frame(self) -> ENU:
        """A new ENU frame of the station (linked to ITRF until ``release``)."""
        return ENU(math.radians(self.lon), math.radians(self.lat), float(self.alt))

    @staticmethod
    def release(frame: ENU) -> None:
        """Unlinks an ENU frame from ITRF (each ENU frame stays linked, and alive, until then)."""
        get_ITRF().remove_transform(frame)

    def __str__(self) -> str:
        ns = "N" if self.lat >= 0 else "S"
        ew = "E" if self.lon >= 0 else "W"
        label = f"{self.name}: " if self.name else ""
        return f"{label}{abs(self.lat):.4f} {ns}, {abs(self.lon):.4f} {ew}, {self.alt:g} m"


@dataclass(frozen=True)
class Pass:
    """One pass: UTC times (``Time`` scalars; ``rise``/``set`` None when the
    pass is already under way at the start of the span or still under way at
    its end), azimuths from north through east and the maximum elevation [deg]."""

    rise: Time | None
    rise_azimuth: float | None
    culmination: Time
    culmination_azimuth: float
    max_elevation: float
    set: Time | None
    set_azimuth: float | None

    @property
    def duration(self) -> float | None:
        """Seconds from rise to set (None when either is outside the span)."""
        if self.rise is None or self.set is None:
            return None
        return float(self.set - self.rise)


class _SGP4Source:
    """States of an SGP4 model (TEME); ``find_passes_many`` propagates many of
    them from one set of Julian Dates."""

    def __init__(self, propagator: Any, tle: Any = None):
        self.propagator = propagator
        self.satrec = propagator.satrec(tle)
        self.frame = get_TEME()

    def __call__(self, time: Time) -> tuple[Frame, Array, Array]:
        r, v = self.propagator.teme_arrays(time, self.satrec)
        return self.frame, r, v


def sgp4_source(propagator: Any, tle: Any = None) -> Source:
    """States of an ``SGP4`` propagator (TEME), for ``find_passes``."""
    return _SGP4Source(propagator, tle)


def propagator_source(propagator: Any, state: Any) -> Source:
    """States of ``propagator.propagate(time, state)`` in their own frame, for ``find_passes``."""

    def states(time: Time) -> tuple[Frame, Array, Array]:
        eph = propagator.propagate(time, state)
        return eph.frame, np.asarray(eph.r), np.asarray(eph.v)

    return states


class _Failed(Exception):
    def __init__(self, sid: int, error: Exception):
        self.sid, self.error = sid, error


class Sky:
    """Sources seen from an ENU frame, at (source index, ``start + seconds``) pairs.

    ``enu(sid, seconds)`` gives the (N, 3) ENU positions [m] and Earth-fixed
    velocities [m/s]; ``look(sid, seconds)`` the elevation, its rate and the
    azimuth [rad, rad/s, rad]. A call propagates each source once (SGP4
    sources from one array of Julian Dates) and converts through the frame
    graph once per frame.
    """

    def __init__(self, sources: Sequence[Source], enu: ENU, start: Time):
        self.sources = list(sources)
        self.enu_frame = enu
        self.start = start
        self.calls = 0
        self._fast = np.array([isinstance(s, _SGP4Source) for s in self.sources], dtype=bool)
        self._teme = next((s.frame for s in self.sources if isinstance(s, _SGP4Source)), None)

    def times(self, seconds: Any) -> Time:
        t: Time = self.start + seconds
        return t

    def enu(self, sid: Array, seconds: Array) -> tuple[Array, Array]:
        self.calls += 1
        sid = np.asarray(sid, dtype=np.intp)
        n = sid.size
        p = np.empty((n, 3))
        w = np.empty((n, 3))
        if n == 0:
            return p, w
        time = self.start + seconds
        if len(self.sources) == 1 and self._fast[0]:
            return self._one(time)
        order = np.argsort(sid, kind="stable")
        ssorted = sid[order]
        cuts = np.flatnonzero(np.diff(ssorted)) + 1
        starts = np.concatenate([[0], cuts])
        stops = np.concatenate([cuts, [n]])
        fast_rows = self._fast[sid]
        if fast_rows.any():
            rows = order[self._fast[ssorted]]  # SGP4 rows, grouped by source
            jd1, jd2 = sgp4_jd(time)
            jd1 = np.ascontiguousarray(jd1[rows])
            jd2 = np.ascontiguousarray(jd2[rows])
            r = np.empty((rows.size, 3))
            v = np.empty((rows.size, 3))
            k = 0
            for a, b in zip(starts, stops, strict=True):
                src = self.sources[ssorted[a]]
                if not isinstance(src, _SGP4Source):
                    continue
                m = b - a
                err, r[k : k + m], v[k : k + m] = src.satrec.sgp4_array(jd1[k : k + m], jd2[k : k + m])
                failure = first_failure(err, r[k : k + m], v[k : k + m])
                if failure is not None:
                    j, code = failure
                    epoch = epoch_text(time, int(rows[k + j]))
                    raise _Failed(int(ssorted[a]), SGP4Error(code, j, epoch, src.satrec.satnum or None))
                k += m
            r *= 1e3
            v *= 1e3
            sub = time if rows.size == n and np.array_equal(rows, np.arange(n)) else time[rows]
            assert self._teme is not None
            pp, ww = self._teme.transform_to(self.enu_frame, sub, r, v)
            p[rows], w[rows] = np.asarray(pp), np.asarray(ww)
        for a, b in zip(starts, stops, strict=True):
            sidx = int(ssorted[a])
            if self._fast[sidx]:
                continue
            rows = order[a:b]
            sub = time[rows]
            try:
                frame, r, v = self.sources[sidx](sub)
            except (ValueError, NotImplementedError) as e:
                raise _Failed(sidx, e) from None
            pp, ww = frame.transform_to(self.enu_frame, sub, r, v)
            p[rows], w[rows] = np.asarray(pp), np.asarray(ww)
        return p, w

    def _one(self, time: Time) -> tuple[Array, Array]:
        """enu() of a single SGP4 source."""
        src = self.sources[0]
        assert isinstance(src, _SGP4Source)
        try:
            r, v = src.propagator.teme_arrays(time, src.satrec)
        except ValueError as e:
            raise _Failed(0, e) from None
        pp, ww = src.frame.transform_to(self.enu_frame, time, r, v)
        return np.asarray(pp), np.asarray(ww)

    def look(self, sid: Array, seconds: Array) -> tuple[Array, Array, Array]:
        return _look(*self.enu(sid, seconds))


def _look(p: Array, w: Array) -> tuple[Array, Array, Array]:
    """Elevation, elevation rate and azimuth (from north through east) of ENU states."""
    e, n, u = p[:, 0], p[:, 1], p[:, 2]
    h2 = e * e + n * n
    h = np.sqrt(h2)
    el = np.arctan2(u, h)
    # d/dt atan2(u, h) = (h u' - u h') / (h^2 + u^2), h' = (e e' + n n') / h
    eldot = (w[:, 2] * h2 - u * (e * w[:, 0] + n * w[:, 1])) / (h * (h2 + u * u))
    eldot = np.where(np.isfinite(eldot), eldot, 0.0)
    az = np.mod(np.arctan2(e, n), 2.0 * math.pi)
    return el, eldot, az


def _screen(p: Array, w: Array, sin_m: float, cos_m: float) -> tuple[Array, Array, Array, Array, Array, Array]:
    """What the search needs of many states, without trigonometric calls.

    Returns g = rho sin(el - m) (its sign tells above/below the minimum m),
    the distances [m] to the region above the minimum and to the region
    below it (rho sin|el - m|, or rho past a right angle: the nearest point
    is then the station), the sign carrier of the elevation rate and the
    Earth-fixed speed.
    """
    e, n, u = p[:, 0], p[:, 1], p[:, 2]
    h2 = e * e + n * n
    h = np.sqrt(h2)
    rho = np.sqrt(h2 + u * u)
    g = cos_m * u - sin_m * h  # rho sin(el - m)
    c = cos_m * h + sin_m * u  # rho cos(el - m)
    dist = np.where(c > 0.0, np.abs(g), rho)
    d_up = np.where(g < 0.0, dist, 0.0)
    d_down = np.where(g >= 0.0, dist, 0.0)
    rate = w[:, 2] * h2 - u * (e * w[:, 0] + n * w[:, 1])  # h (h^2 + u^2) * elevation rate
    speed = np.sqrt(np.einsum("ij,ij->i", w, w))
    return g, d_up, d_down, rate, rho, speed


def _grid(duration: float, step: float) -> Array:
    n = math.floor(duration / step + 1e-9) + 1
    sec = np.arange(n, dtype=np.float64) * step
    if duration - sec[-1] > 1e-6 * step:
        sec = np.append(sec, duration)
    return sec


def _coarse_factor(step: float, coarse: float | None) -> int:
    target = 960.0 if coarse is None else coarse
    return max(1, round(target / step))


_GRID, _BELOW, _ABOVE, _APART = 0, 1, 2, 3


class _Samples:
    """Evaluated grid points, ordered by source and grid index: source index,
    time [s], ENU states p, w, g = rho sin(el - m) and the
    elevation rate's sign carrier; and what lies between consecutive ones
    (``between[k]`` for samples k and k+1): _GRID (grid neighbours), _BELOW
    (an interval proven to hold no point at or above the minimum), _ABOVE
    (one proven to hold no point below it) or _APART (different sources)."""

    def __init__(self, sid: Array, t: Array, p: Array, w: Array, g: Array, rate: Array, between: Array):
        self.sid, self.t, self.p, self.w = sid, t, p, w
        self.g, self.rate, self.between = g, rate, between


def _hermite_guess(kind: Array, a: Array, b: Array, fa: Array, fb: Array, ga: Array, gb: Array, m: float) -> Array:
    """First guesses of the roots from the cubic Hermite interpolant of the
    elevation over [a, b] (values fa, fb and rates ga, gb at the ends)."""
    h = b - a
    ya, yb, sa, sb = fa, fb, ga * h, gb * h
    # el(s) = c0 + c1 s + c2 s^2 + c3 s^3 on s in [0, 1]
    c0, c1 = ya, sa
    c2 = 3.0 * (yb - ya) - 2.0 * sa - sb
    c3 = 2.0 * (ya - yb) + sa + sb
    # kind 0: root of el - m (Newton on the cubic from the chord's root);
    # kind 1: root of the quadratic el'(s) = c1 + 2 c2 s + 3 c3 s^2 in [0, 1].
    s0 = np.clip(np.where(yb != ya, (m - ya) / (yb - ya), 0.5), 0.0, 1.0)
    for _ in range(4):
        val = c0 + s0 * (c1 + s0 * (c2 + s0 * c3)) - m
        der = c1 + s0 * (2.0 * c2 + s0 * 3.0 * c3)
        s0 = np.clip(np.where(der != 0.0, s0 - val / der, s0), 0.0, 1.0)
    qa, qb, qc = 3.0 * c3, 2.0 * c2, c1
    disc = np.sqrt(np.maximum(qb * qb - 4.0 * qa * qc, 0.0))
    r1 = np.where(qa != 0.0, (-qb - disc) / (2.0 * qa), np.where(qb != 0.0, -qc / qb, 0.5))
    r2 = np.where(qa != 0.0, (-qb + disc) / (2.0 * qa), r1)
    s1 = np.where((r1 >= 0.0) & (r1 <= 1.0), r1, np.where((r2 >= 0.0) & (r2 <= 1.0), r2, 0.5))
    s = np.where(kind == 0, s0, s1)
    s = np.where(np.isfinite(s), s, 0.5)
    return np.asarray(a + s * h)


def _solve(
    sky: Sky, sid: Any, kind: Any, a: Any, b: Any, ea: Any, eb: Any, ga: Any, gb: Any, m: float
) -> tuple[Array, Array, Array]:
    """Roots in [a, b] of el - m (kind 0) or of the elevation rate (kind 1), all at once.

    ea, eb, ga, gb: elevation and elevation rate at the ends, which bracket
    the root (the function changes sign or vanishes there). Newton steps,
    on the elevation (its rate is known) or on the rate (its slope from a
    forward difference), kept inside the shrinking bracket (bisection when
    a step leaves it), from the root of the ends' cubic Hermite interpolant.
    Returns (root, elevation, azimuth) at evaluated points within _TOL of the
    roots.
    """
    kind = np.asarray(kind, dtype=np.int8)
    sid = np.asarray(sid, dtype=np.intp)
    a, b, ea, eb, ga, gb = (np.array(x, dtype=np.float64).reshape(-1) for x in (a, b, ea, eb, ga, gb))
    n = a.size
    root, el_root, az_root = np.full(n, np.nan), np.full(n, np.nan), np.full(n, np.nan)
    if n == 0:
        return root, el_root, az_root
    fa = np.where(kind == 0, ea - m, ga)
    fb = np.where(kind == 0, eb - m, gb)
    c = _hermite_guess(kind, a, b, ea, eb, ga, gb, m)
    tol = np.where(kind == 0, _TOL, 10.0 * _TOL)
    active = np.arange(n)
    for it in range(_MAXIT):
        ck = c[active]
        k0 = kind[active] == 0
        # The rate's slope (for Newton steps on a maximum) by a forward
        # difference, from a second point evaluated in the same call.
        k1 = np.flatnonzero(~k0)
        el, eldot, az = sky.look(
            np.concatenate([sid[active], sid[active][k1]]), np.concatenate([ck, ck[k1] + _DIFF_STEP])
        )
        slope = eldot[: ck.size].copy()
        slope[k1] = (eldot[ck.size :] - eldot[k1]) / _DIFF_STEP
        el, eldot, az = el[: ck.size], eldot[: ck.size], az[: ck.size]
        f = np.where(k0, el - m, eldot)
        # shrink the bracket: c replaces the end whose sign it shares
        ak, bk, fak, fbk = a[active], b[active], fa[active], fb[active]
        to_b = (f > 0.0) == (fbk > 0.0)
        ak = np.where(to_b, ak, ck)
        fak = np.where(to_b, fak, f)
        bk = np.where(to_b, ck, bk)
        fbk = np.where(to_b, f, fbk)
        a[active], b[active], fa[active], fb[active] = ak, bk, fak, fbk
        # next point: Newton, else bisection when the step leaves the bracket
        nxt = ck - f / slope
        inside = np.isfinite(nxt) & (nxt > ak) & (nxt < bk)
        nxt = np.where(inside, nxt, 0.5 * (ak + bk))
        tk = tol[active]
        done = (f == 0.0) | (np.abs(nxt - ck) < tk) | (bk - ak < tk) | (it == _MAXIT - 1)
        idx = active[done]
        root[idx], el_root[idx], az_root[idx] = ck[done], el[done], az[done]
        c[active] = nxt
        active = active[~done]
        if not active.size:
            break
    return root, el_root, az_root


def _reach(speed: Array, rho: Array, lo: Array, hi: Array, dt: Array) -> Array:
    """How far [m] the satellite can move relative to the Earth over each interval.

    Its speed over an interval is at most the larger end-point speed plus the
    largest acceleration in the rotating frame (gravity above the surface,
    centrifugal and Coriolis terms, with generous margins) over half the
    interval.
    """
    vmax = np.maximum(speed[lo], speed[hi])
    radius = np.maximum(rho[lo], rho[hi]) + 6.4e6 + vmax * dt
    accel = _GRAVITY_BOUND + _OMEGA**2 * radius + 2.0 * _OMEGA * (vmax + _GRAVITY_BOUND * dt)
    return np.asarray((vmax + accel * 0.5 * dt) * dt)


def _sample(sky: Sky, nsrc: int, sec: Array, m: float, coarse: float | None, prefilter: bool) -> _Samples:
    """Evaluates the grid where it matters (see the module's docstring)."""
    n = sec.size
    sin_m, cos_m = math.sin(m), math.cos(m)
    k = _coarse_factor(sec[1] - sec[0], coarse) if (prefilter and n > 2) else 1
    idx = np.arange(0, n, k)
    if idx[-1] != n - 1:
        idx = np.append(idx, n - 1)
    sid = np.repeat(np.arange(nsrc), idx.size)
    gidx = np.tile(idx, nsrc)
    p, w = sky.enu(sid, sec[gidx])
    ps, ws = [p], [w]
    cols = [sid, gidx, *_screen(p, w, sin_m, cos_m)]  # sid, idx, g, d_up, d_down, rate, rho, speed
    lo = np.flatnonzero(sid[:-1] == sid[1:])
    hi = lo + 1
    final_lo, final_kind = [], []
    while lo.size:
        grid = cols[1]
        dt = sec[grid[hi]] - sec[grid[lo]]
        reach = _reach(cols[7], cols[6], lo, hi, dt)
        # A point of the other region inside needs the end distances to add up to at most the reach.
        below = cols[3][lo] + cols[3][hi] > reach
        above = cols[4][lo] + cols[4][hi] > reach
        unit = grid[hi] - grid[lo] == 1
        done = unit | below | above
        final_lo.append(lo[done])
        final_kind.append(np.where(unit[done], _GRID, np.where(below[done], _BELOW, _ABOVE)).astype(np.int8))
        lo, hi = lo[~done], hi[~done]
        if not lo.size:
            break
        mid_sid = cols[0][lo]
        mid_idx = (grid[lo] + grid[hi]) // 2
        p, w = sky.enu(mid_sid, sec[mid_idx])
        ps.append(p)
        ws.append(w)
        mid = np.arange(grid.size, grid.size + mid_idx.size)
        cols = [
            np.concatenate([c, x]) for c, x in zip(cols, (mid_sid, mid_idx, *_screen(p, w, sin_m, cos_m)), strict=True)
        ]
        lo, hi = np.concatenate([lo, mid]), np.concatenate([mid, hi])
    sid, grid = cols[0], cols[1]
    order = np.argsort(sid * (n + 1) + grid, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(order.size)
    between = np.full(max(order.size - 1, 0), _APART, dtype=np.int8)
    if final_lo:
        between[rank[np.concatenate(final_lo)]] = np.concatenate(final_kind)
    return _Samples(
        sid[order],
        sec[grid[order]],
        np.concatenate(ps)[order],
        np.concatenate(ws)[order],
        cols[2][order],
        cols[5][order],
        between,
    )


def _check(duration: float, step: float, min_elevation: float, start: Any) -> tuple[float, float, Time]:
    duration = float(duration)
    step = float(step)
    if not (math.isfinite(duration) and duration > 0.0):
        raise ValueError(f"the span must be a positive number of seconds, got {duration!r}")
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"the step must be a positive number of seconds, got {step!r}")
    if duration / step > 5e7:
        raise ValueError(f"{duration / step:.3g} samples (span / step) is too many; take a larger step")
    if not (math.isfinite(min_elevation) and -90.0 < min_elevation < 90.0):
        raise ValueError(f"the minimum elevation must lie in (-90, 90) degrees, got {min_elevation!r}")
    start = start if isinstance(start, Time) else Time(start)
    start = start.utc
    if start.shape != ():
        raise ValueError("the start of the span must be a single epoch")
    return duration, step, start


def find_passes(
    source: Source,
    station: Station | ENU,
    start: Any,
    duration: float,
    step: float = 10.0,
    min_elevation: float = 10.0,
    *,
    prefilter: bool = True,
    coarse: float | None = None,
) -> list[Pass]:
    """Passes of ``source`` over ``station`` from ``start`` for ``duration`` seconds.

    ``step`` [s] is the sampling step of the search, ``min_elevation`` [deg]
    the elevation a pass must reach. ``prefilter=False`` evaluates every grid
    point (the same passes, more work); ``coarse`` [s] sets the spacing of the
    search's first samples (default 960 s). Returns the passes in time order;
    times are UTC ``Time`` scalars, angles in degrees. A failure of the
    source (an SGP4 error at some epoch) is raised.
    """
    found: list[Pass] = find_passes_many(
        [source], station, start, duration, step, min_elevation, prefilter=prefilter, coarse=coarse
    )[0]
    return found


def find_passes_many(
    sources: Sequence[Source],
    station: Station | ENU,
    start: Any,
    duration: float,
    step: float = 10.0,
    min_elevation: float = 10.0,
    *,
    prefilter: bool = True,
    coarse: float | None = None,
    errors: str = "raise",
) -> list[Any]:
    """``find_passes`` for many sources at once: one list of passes per source.

    ``errors="raise"`` raises the first failure of a source; ``errors="keep"``
    puts the exception in that source's place and goes on with the others.
    """
    if errors not in ("raise", "keep"):
        raise ValueError(f"errors must be 'raise' or 'keep', got {errors!r}")
    duration, step, start = _check(duration, step, min_elevation, start)
    enu = station.frame() if isinstance(station, Station) else station
    own_frame = enu is not station
    sources = list(sources)
    result: list[Any] = [None] * len(sources)
    alive = list(range(len(sources)))
    try:
        # Divisions by zero (a satellite at the zenith, an empty bracket) are
        # replaced where they occur.
        with np.errstate(divide="ignore", invalid="ignore"):
            while alive:
                sky = Sky([sources[i] for i in alive], enu, start)
                try:
                    found = _find(sky, len(alive), duration, step, math.radians(min_elevation), prefilter, coarse)
                except _Failed as f:
                    if errors == "raise":
                        raise f.error from None
                    result[alive[f.sid]] = f.error
                    del alive[f.sid]
                    continue
                for i, passes in zip(alive, found, strict=True):
                    result[i] = passes
                break
    finally:
        if own_frame:
            Station.release(enu)
    return result


def _find(
    sky: Sky, nsrc: int, duration: float, step: float, m: float, prefilter: bool, coarse: float | None
) -> list[list[Pass]]:
    sec = _grid(duration, step)
    s = _sample(sky, nsrc, sec, m, coarse, prefilter)
    t, rate, sid = s.t, s.rate, s.sid
    below = s.g < 0.0
    same = s.between != _APART

    # Maxima between consecutive samples (not in intervals proven below the
    # minimum) and crossings of the minimum between grid neighbours, refined
    # together.
    imax = np.flatnonzero(same & (s.between != _BELOW) & (rate[:-1] > 0.0) & (rate[1:] <= 0.0))
    icross = np.flatnonzero(same & (below[:-1] != below[1:]))
    lo = np.concatenate([imax, icross])
    # A pass under way at the start or at the end of the span has its highest point there.
    first = np.flatnonzero(np.concatenate([[True], ~same]))
    last = np.flatnonzero(np.concatenate([~same, [True]]))
    ends = np.concatenate(
        [first[~below[first] & (rate[first] <= 0.0)], last[(last != first) & ~below[last] & (rate[last] >= 0.0)]]
    ).astype(np.intp)
    both = np.concatenate([lo, lo + 1, ends]).astype(np.intp)
    el_s, eldot_s, az_s = _look(s.p[both], s.w[both])
    nl = lo.size
    kind = np.concatenate([np.ones(imax.size, np.int8), np.zeros(icross.size, np.int8)])
    root, el_root, az_root = _solve(
        sky, sid[lo], kind, t[lo], t[lo + 1], el_s[:nl], el_s[nl : 2 * nl], eldot_s[:nl], eldot_s[nl : 2 * nl], m
    )
    tmax = np.concatenate([root[: imax.size], t[ends]])
    elmax = np.concatenate([el_root[: imax.size], el_s[2 * nl :]])
    azmax = np.concatenate([az_root[: imax.size], az_s[2 * nl :]])
    smax = np.concatenate([sid[imax], sid[ends]])
    tcross, azcross = root[imax.size :], az_root[imax.size :]
    cross_at = {int(i): q for q, i in enumerate(icross)}  # pair (i, i + 1) -> its crossing
    keep = elmax >= m
    tmax, elmax, azmax, smax = tmax[keep], elmax[keep], azmax[keep], smax[keep]
    out: list[list[Pass]] = [[] for _ in range(nsrc)]
    if tmax.size == 0:
        return out

    # The last sample below the minimum before each maximum and the first
    # after it, of the same source, bound its pass (-1: none, the pass runs
    # past the span).
    span_key = sec[-1] + 1.0
    key = sid * span_key + t
    kmax = smax * span_key + tmax
    below_idx = np.flatnonzero(below)
    kb = np.searchsorted(below_idx, np.searchsorted(key, kmax, side="right"), side="left") - 1
    rb = below_idx[np.maximum(kb, 0)] if below_idx.size else np.zeros(kb.size, np.intp)
    rise_lo = np.where((kb >= 0) & (sid[rb] == smax), rb, -1) if below_idx.size else np.full(kb.size, -1)
    ka = np.searchsorted(below_idx, np.searchsorted(key, kmax, side="left"), side="left")
    ra = below_idx[np.minimum(ka, below_idx.size - 1)] if below_idx.size else np.zeros(ka.size, np.intp)
    set_hi = np.where((ka < below_idx.size) & (sid[ra] == smax), ra, -1) if below_idx.size else np.full(ka.size, -1)

    # One pass per pair of bounds: its highest maximum.
    best: dict[tuple[int, int, int], int] = {}
    for j in range(tmax.size):
        bounds = (int(smax[j]), int(rise_lo[j]), int(set_hi[j]))
        if bounds not in best or elmax[j] > elmax[best[bounds]]:
            best[bounds] = j
    chosen = sorted(best.values(), key=lambda j: (smax[j], tmax[j]))

    rise: dict[int, tuple[float, float]] = {}  # j -> (time, azimuth)
    sett: dict[int, tuple[float, float]] = {}
    grazing = []  # a maximum between two samples below the minimum: (j, sample, is_rise)
    for j in chosen:
        lo_j, hi_j = int(rise_lo[j]), int(set_hi[j])
        if lo_j >= 0:
            if t[lo_j + 1] <= tmax[j] and sid[lo_j + 1] == smax[j]:
                q = cross_at[lo_j]
                rise[j] = (tcross[q], azcross[q])
            else:
                grazing.append((j, lo_j, True))
        if hi_j >= 0:
            if t[hi_j - 1] >= tmax[j] and sid[hi_j - 1] == smax[j]:
                q = cross_at[hi_j - 1]
                sett[j] = (tcross[q], azcross[q])
            else:
                grazing.append((j, hi_j, False))
    if grazing:
        js = np.array([g[0] for g in grazing])
        ks = np.array([g[1] for g in grazing], dtype=np.intp)
        is_rise = np.array([g[2] for g in grazing])
        el_k, eldot_k, _ = _look(s.p[ks], s.w[ks])
        a = np.where(is_rise, t[ks], tmax[js])
        b = np.where(is_rise, tmax[js], t[ks])
        ea = np.where(is_rise, el_k, elmax[js])
        eb = np.where(is_rise, elmax[js], el_k)
        ga = np.where(is_rise, eldot_k, 0.0)
        gb = np.where(is_rise, 0.0, eldot_k)
        groot, _, gaz = _solve(sky, smax[js], np.zeros(js.size, np.int8), a, b, ea, eb, ga, gb, m)
        for q in range(js.size):
            (rise if is_rise[q] else sett)[int(js[q])] = (groot[q], gaz[q])

    # Times of all events in one Time each (cheaper than one per event).
    jr = [j for j in chosen if j in rise]
    js_ = [j for j in chosen if j in sett]
    t_rise = dict(zip(jr, _times(sky, [rise[j][0] for j in jr]), strict=True))
    t_set = dict(zip(js_, _times(sky, [sett[j][0] for j in js_]), strict=True))
    t_culm = dict(zip(chosen, _times(sky, [tmax[j] for j in chosen]), strict=True))
    for j in chosen:
        r = rise.get(j)
        st = sett.get(j)
        out[int(smax[j])].append(
            Pass(
                t_rise.get(j),
                None if r is None else float(np.degrees(r[1])),
                t_culm[j],
                float(np.degrees(azmax[j])),
                float(np.degrees(elmax[j])),
                t_set.get(j),
                None if st is None else float(np.degrees(st[1])),
            )
        )
    return out


def _times(sky: Sky, seconds: Any) -> list[Time]:
    if not len(seconds):
        return []
    return list(sky.times(np.asarray(seconds, dtype=np.float64)))
