"""Passes of a satellite over a ground station.

``find_passes(source, station, start, duration, step, min_elevation)`` lists
every pass above a minimum elevation in a time span. ``source`` gives the
satellite's states at any array of epochs (``sgp4_source`` for a TLE,
``propagator_source`` for a state and a propagator such as ``Keplerian``);
the states are carried to the station's ``ENU`` frame through the frame
graph (their frame -> ITRF -> ENU, with the Earth orientation data in use),
so elevation and azimuth are topocentric and geodetic (WGS84 normal).

How the span is searched:

1. The elevation is sampled on the grid ``start + k * step``. A coarse
   subset of the grid is evaluated first. A coarse interval is skipped when
   the satellite cannot reach the visibility cone in it: with d_a, d_b the
   distances of its end points from the cone (elevation >= minimum) and V a
   bound of the Earth-fixed speed over the interval, a visible point inside
   needs d_a + d_b <= V * (t_b - t_a). Every grid point of the other
   intervals is evaluated, so the passes found are those of the full grid.
2. Each local maximum of the elevation between two grid samples is refined
   (root of the elevation rate, computed from the ENU velocity) and kept
   when it reaches the minimum; a maximum between two samples below the
   minimum (a pass shorter than a step) is found too.
3. Rise and set are refined between the last sample below and the first
   above the minimum (or the maximum) by root finding on the elevation.

The root finding (Illinois false position) propagates all the unknowns of
a stage together: each iteration is one propagation and one frame
conversion of a small array, never a Python loop over epochs.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

from velarion.frames.frames import ENU, Frame, get_ITRF
from velarion.time.time import Time

__all__ = ["Pass", "Station", "find_passes", "sgp4_source", "propagator_source", "Sky"]

# Earth rotation rate [rad/s] and a bound of the gravitational acceleration
# above the Earth's surface (GM / (6.31e6 m)^2 = 10.01 m/s^2).
_OMEGA = 7.292115146706798e-5
_GRAVITY_BOUND = 10.5
# Root-finding tolerance on times [s] and iteration cap.
_TOL = 1e-4
_MAXIT = 60

# (frame, time, r, v) at the epochs of a Time: r, v (N, 3) in `frame`.
Source = Callable[[Time], "tuple[Frame, np.ndarray, np.ndarray]"]


@dataclass(frozen=True)
class Station:
    """A ground station: geodetic latitude and longitude [deg], altitude [m] (WGS84)."""

    lat: float
    lon: float
    alt: float = 0.0
    name: str = ""

    def __post_init__(self):
        for field, value in (("lat", self.lat), ("lon", self.lon), ("alt", self.alt)):
            if not math.isfinite(value):
                raise ValueError(f"station {field} must be finite, got {value!r}")
        if not -90.0 <= self.lat <= 90.0:
            raise ValueError(f"station latitude must lie in [-90, 90] degrees, got {self.lat!r}")
        if not -360.0 <= self.lon <= 360.0:
            raise ValueError(f"station longitude must lie in [-360, 360] degrees, got {self.lon!r}")

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


def sgp4_source(propagator, tle=None) -> Source:
    """States of an ``SGP4`` propagator (TEME), for ``find_passes``."""
    from velarion.frames.frames import get_TEME

    sat = propagator.satrec(tle)
    teme = get_TEME()

    def states(time: Time):
        r, v = propagator.teme_arrays(time, sat)
        return teme, r, v

    return states


def propagator_source(propagator, state) -> Source:
    """States of ``propagator.propagate(time, state)`` in their own frame, for ``find_passes``."""

    def states(time: Time):
        eph = propagator.propagate(time, state)
        return eph.frame, np.asarray(eph.r), np.asarray(eph.v)

    return states


class Sky:
    """A source seen from an ENU frame, at ``start + seconds`` (1-D arrays).

    ``enu(seconds)`` gives the (N, 3) ENU positions [m] and Earth-fixed
    velocities [m/s]; ``look(seconds)`` the elevation, its rate and the
    azimuth [rad, rad/s, rad]. Each call is one propagation and one
    conversion through the frame graph.
    """

    def __init__(self, source: Source, enu: ENU, start: Time):
        self.source = source
        self.enu_frame = enu
        self.start = start
        self.calls = 0

    def times(self, seconds) -> Time:
        return self.start + seconds

    def enu(self, seconds: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        self.calls += 1
        time = self.start + seconds
        frame, r, v = self.source(time)
        p, w = frame.transform_to(self.enu_frame, time, r, v)
        return np.asarray(p), np.asarray(w)

    def look(self, seconds: np.ndarray):
        return _look(*self.enu(seconds))


def _look(p: np.ndarray, w: np.ndarray):
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


def _screen(p: np.ndarray, w: np.ndarray, sin_m: float, cos_m: float):
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


def _grid(duration: float, step: float) -> np.ndarray:
    n = int(math.floor(duration / step + 1e-9)) + 1
    sec = np.arange(n, dtype=np.float64) * step
    if duration - sec[-1] > 1e-6 * step:
        sec = np.append(sec, duration)
    return sec


def _coarse_factor(step: float, coarse: float | None) -> int:
    target = 960.0 if coarse is None else coarse
    return max(1, int(round(target / step)))


class _Samples:
    """Evaluated grid points in grid order: grid index, time [s], ENU states
    p, w, g = rho sin(el - m) and the elevation rate's sign carrier; and what
    lies between consecutive ones (``between[k]`` for samples k and k+1):
    _GRID (grid neighbours), _BELOW (an interval proven to hold no point at
    or above the minimum) or _ABOVE (one proven to hold no point below it)."""

    def __init__(self, idx, t, p, w, g, rate, between):
        self.idx, self.t, self.p, self.w, self.g, self.rate, self.between = idx, t, p, w, g, rate, between


_GRID, _BELOW, _ABOVE = 0, 1, 2


def _hermite_guess(kind, a, b, fa, fb, ga, gb, m):
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
    # the interpolant's second derivative there: the rate's slope, for the first secant step
    curv = (2.0 * c2 + 6.0 * c3 * s) / (h * h)
    return a + s * h, curv


def _solve(sky: Sky, kind, a, b, ea, eb, ga, gb, m: float):
    """Roots in [a, b] of el - m (kind 0) or of the elevation rate (kind 1), all at once.

    ea, eb, ga, gb: elevation and elevation rate at the ends, which bracket
    the root (the function changes sign or vanishes there). Newton steps on
    the elevation (its rate is known) or secant steps on the rate, kept
    inside the shrinking bracket (bisection when a step leaves it).
    Returns (root, elevation, azimuth) at evaluated points within _TOL of the
    roots.
    """
    kind = np.asarray(kind, dtype=np.int8)
    a, b, ea, eb, ga, gb = (np.array(x, dtype=np.float64).reshape(-1) for x in (a, b, ea, eb, ga, gb))
    n = a.size
    root, el_root, az_root = np.full(n, np.nan), np.full(n, np.nan), np.full(n, np.nan)
    if n == 0:
        return root, el_root, az_root
    fa = np.where(kind == 0, ea - m, ga)
    fb = np.where(kind == 0, eb - m, gb)
    c, curv = _hermite_guess(kind, a, b, ea, eb, ga, gb, m)
    prev_c, prev_f = np.full(n, np.nan), np.full(n, np.nan)
    tol = np.where(kind == 0, _TOL, 10.0 * _TOL)
    active = np.arange(n)
    for it in range(_MAXIT):
        ck = c[active]
        el, eldot, az = sky.look(ck)
        k0 = kind[active] == 0
        f = np.where(k0, el - m, eldot)
        # shrink the bracket: c replaces the end whose sign it shares
        ak, bk, fak, fbk = a[active], b[active], fa[active], fb[active]
        to_b = (f > 0.0) == (fbk > 0.0)
        ak = np.where(to_b, ak, ck)
        fak = np.where(to_b, fak, f)
        bk = np.where(to_b, ck, bk)
        fbk = np.where(to_b, f, fbk)
        a[active], b[active], fa[active], fb[active] = ak, bk, fak, fbk
        # next point: Newton (kind 0) or secant (kind 1), else bisection
        pc, pf = prev_c[active], prev_f[active]
        slope = np.where(k0, eldot, np.where(np.isfinite(pc) & (ck != pc), (f - pf) / (ck - pc), curv[active]))
        nxt = ck - f / slope
        inside = np.isfinite(nxt) & (nxt > ak) & (nxt < bk)
        nxt = np.where(inside, nxt, 0.5 * (ak + bk))
        tk = tol[active]
        done = (f == 0.0) | (np.abs(nxt - ck) < tk) | (bk - ak < tk) | (it == _MAXIT - 1)
        idx = active[done]
        root[idx], el_root[idx], az_root[idx] = ck[done], el[done], az[done]
        prev_c[active], prev_f[active] = ck, f
        c[active] = nxt
        active = active[~done]
        if not active.size:
            break
    return root, el_root, az_root


def _reach(speed: np.ndarray, rho: np.ndarray, lo: np.ndarray, hi: np.ndarray, dt: np.ndarray) -> np.ndarray:
    """How far [m] the satellite can move relative to the Earth over each interval.

    Its speed over an interval is at most the larger end-point speed plus the
    largest acceleration in the rotating frame (gravity above the surface,
    centrifugal and Coriolis terms, with generous margins) over half the
    interval.
    """
    vmax = np.maximum(speed[lo], speed[hi])
    radius = np.maximum(rho[lo], rho[hi]) + 6.4e6 + vmax * dt
    accel = _GRAVITY_BOUND + _OMEGA**2 * radius + 2.0 * _OMEGA * (vmax + _GRAVITY_BOUND * dt)
    return (vmax + accel * 0.5 * dt) * dt


def _sample(sky: Sky, sec: np.ndarray, m: float, coarse: float | None, prefilter: bool) -> _Samples:
    """Evaluates the grid where it matters (see the module's docstring)."""
    n = sec.size
    sin_m, cos_m = math.sin(m), math.cos(m)
    if not prefilter or n <= 2:
        p, w = sky.enu(sec)
        g, _, _, rate, _, _ = _screen(p, w, sin_m, cos_m)
        return _Samples(np.arange(n), sec, p, w, g, rate, np.full(max(n - 1, 0), _GRID, dtype=np.int8))
    k = _coarse_factor(sec[1] - sec[0], coarse)
    idx = np.arange(0, n, k)
    if idx[-1] != n - 1:
        idx = np.append(idx, n - 1)
    p, w = sky.enu(sec[idx])
    ps, ws = [p], [w]
    cols = [idx, *_screen(p, w, sin_m, cos_m)]  # idx, g, d_up, d_down, rate, rho, speed
    lo = np.arange(idx.size - 1)
    hi = lo + 1
    final_lo, final_kind = [], []
    while lo.size:
        grid = cols[0]
        dt = sec[grid[hi]] - sec[grid[lo]]
        reach = _reach(cols[6], cols[5], lo, hi, dt)
        # A point of the other region inside needs the end distances to add up to at most the reach.
        below = cols[2][lo] + cols[2][hi] > reach
        above = cols[3][lo] + cols[3][hi] > reach
        unit = grid[hi] - grid[lo] == 1
        done = unit | below | above
        final_lo.append(lo[done])
        final_kind.append(np.where(unit[done], _GRID, np.where(below[done], _BELOW, _ABOVE)).astype(np.int8))
        lo, hi = lo[~done], hi[~done]
        if not lo.size:
            break
        mid_idx = (grid[lo] + grid[hi]) // 2
        p, w = sky.enu(sec[mid_idx])
        ps.append(p), ws.append(w)
        mid = np.arange(grid.size, grid.size + mid_idx.size)
        cols = [np.concatenate([c, x]) for c, x in zip(cols, (mid_idx, *_screen(p, w, sin_m, cos_m)))]
        lo, hi = np.concatenate([lo, mid]), np.concatenate([mid, hi])
    grid = cols[0]
    order = np.argsort(grid, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(order.size)
    between = np.empty(order.size - 1, dtype=np.int8)
    between[rank[np.concatenate(final_lo)]] = np.concatenate(final_kind)
    return _Samples(grid[order], sec[grid[order]], np.concatenate(ps)[order], np.concatenate(ws)[order],
                    cols[1][order], cols[4][order], between)


def find_passes(
    source: Source,
    station: Station | ENU,
    start: Time,
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
    prefilter's coarse samples (default 240 s). Returns the passes in time
    order; times are UTC ``Time`` scalars, angles in degrees.
    """
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
    own_frame = not isinstance(station, ENU)
    enu = station.frame() if own_frame else station
    try:
        # Divisions by zero (a satellite at the zenith, an empty bracket) are
        # replaced where they occur.
        with np.errstate(divide="ignore", invalid="ignore"):
            return _find(Sky(source, enu, start), duration, step, math.radians(min_elevation), prefilter, coarse)
    finally:
        if own_frame:
            Station.release(enu)


def _find(sky: Sky, duration: float, step: float, m: float, prefilter: bool, coarse: float | None) -> list[Pass]:
    sec = _grid(duration, step)
    s = _sample(sky, sec, m, coarse, prefilter)
    t, rate = s.t, s.rate
    nsamp = t.size
    below = s.g < 0.0

    # Maxima between consecutive samples (not in intervals proven below the
    # minimum) and crossings of the minimum between grid neighbours, refined
    # together.
    imax = np.flatnonzero((s.between != _BELOW) & (rate[:-1] > 0.0) & (rate[1:] <= 0.0))
    icross = np.flatnonzero(below[:-1] != below[1:])
    lo = np.concatenate([imax, icross])
    ends = []  # a pass under way at the start or at the end has its highest point there
    if nsamp and not below[0] and rate[0] <= 0.0:
        ends.append(0)
    if nsamp > 1 and not below[-1] and rate[-1] >= 0.0:
        ends.append(nsamp - 1)
    both = np.concatenate([lo, lo + 1, ends]).astype(np.intp)
    el_s, eldot_s, az_s = _look(s.p[both], s.w[both])
    nl = lo.size
    kind = np.concatenate([np.ones(imax.size, np.int8), np.zeros(icross.size, np.int8)])
    root, el_root, az_root = _solve(sky, kind, t[lo], t[lo + 1], el_s[:nl], el_s[nl:2 * nl],
                                    eldot_s[:nl], eldot_s[nl:2 * nl], m)
    tmax = np.concatenate([root[: imax.size], t[ends]])
    elmax = np.concatenate([el_root[: imax.size], el_s[2 * nl:]])
    azmax = np.concatenate([az_root[: imax.size], az_s[2 * nl:]])
    tcross, azcross = root[imax.size:], az_root[imax.size:]
    cross_at = {int(i): q for q, i in enumerate(icross)}  # pair (i, i + 1) -> its crossing
    keep = elmax >= m
    tmax, elmax, azmax = tmax[keep], elmax[keep], azmax[keep]
    if tmax.size == 0:
        return []

    # The last sample below the minimum before each maximum and the first
    # after it bound its pass (-1: none, the pass runs past the span).
    below_idx = np.flatnonzero(below)
    kb = np.searchsorted(below_idx, np.searchsorted(t, tmax, side="right"), side="left") - 1
    rise_lo = np.where(kb >= 0, below_idx[np.maximum(kb, 0)], -1)
    ka = np.searchsorted(below_idx, np.searchsorted(t, tmax, side="left"), side="left")
    set_hi = np.where(ka < below_idx.size, below_idx[np.minimum(ka, below_idx.size - 1)], -1)

    # One pass per pair of bounds: its highest maximum.
    best: dict[tuple[int, int], int] = {}
    for j in range(tmax.size):
        key = (int(rise_lo[j]), int(set_hi[j]))
        if key not in best or elmax[j] > elmax[best[key]]:
            best[key] = j
    chosen = sorted(best.values(), key=lambda j: tmax[j])

    rise: dict[int, tuple[float, float]] = {}  # j -> (time, azimuth)
    sett: dict[int, tuple[float, float]] = {}
    grazing = []  # a maximum between two samples below the minimum: (j, sample, is_rise)
    for j in chosen:
        lo_j, hi_j = int(rise_lo[j]), int(set_hi[j])
        if lo_j >= 0:
            if t[lo_j + 1] <= tmax[j]:
                q = cross_at[lo_j]
                rise[j] = (tcross[q], azcross[q])
            else:
                grazing.append((j, lo_j, True))
        if hi_j >= 0:
            if t[hi_j - 1] >= tmax[j]:
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
        groot, _, gaz = _solve(sky, np.zeros(js.size, np.int8), a, b, ea, eb, ga, gb, m)
        for q in range(js.size):
            (rise if is_rise[q] else sett)[int(js[q])] = (groot[q], gaz[q])

    out = []
    for j in chosen:
        r = rise.get(j)
        st = sett.get(j)
        out.append(Pass(
            None if r is None else sky.times(np.float64(r[0])),
            None if r is None else float(np.degrees(r[1])),
            sky.times(np.float64(tmax[j])),
            float(np.degrees(azmax[j])),
            float(np.degrees(elmax[j])),
            None if st is None else sky.times(np.float64(st[0])),
            None if st is None else float(np.degrees(st[1])),
        ))
    return out
