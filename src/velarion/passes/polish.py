"""The polish of the events a search found: each one evaluated from the
exact states and corrected, culminations that move more than a little
solved on the exact states.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .satellites import (
    INTERPOLATION_TOLERANCE,
    Failure,
    exact_itrf,
)
from .search import Events, Sky
from .stations import look

Array = NDArray[Any]


# Culminations: a Newton step from the search's estimate smaller than this
# [s] settles one that is sharp enough; others are solved on the exact states to the tolerance
# [s], the elevation rate's slope from a difference over _CULMINATION_DIFF.
_CULMINATION_SETTLED = 0.01
_CULMINATION_CURVED = 1e-7  # rad/s^2: sharper maxima than this are settled by the step
_CULMINATION_TOLERANCE = 1e-3
_CULMINATION_DIFF = 1.0
_CULMINATION_ITERATIONS = 40


def _azimuth_rate(p: Array, w: Array) -> Array:
    e, n = p[:, 0], p[:, 1]
    h2 = e * e + n * n
    return np.asarray(np.where(h2 > 0.0, (n * w[:, 0] - e * w[:, 1]) / h2, 0.0))


@dataclass
class _Found:
    """Passes of one round of the search, polished: per pass its satellite
    and station (positions in the search's lists), times [s from the start;
    NaN where none], azimuths and elevation [rad]."""

    sat: Array
    station: Array
    rise: Array
    rise_az: Array
    culm: Array
    culm_az: Array
    max_el: Array
    set: Array
    set_az: Array
    edge: Array
    visible: Array  # 1.0 / 0.0, NaN when not asked
    shadow_entry: Array  # NaN when none or not asked
    shadow_exit: Array


def _polish(
    sky: Sky, ev: Events, min_elevation_rad: float, threads: int
) -> tuple[_Found, dict[int, Failure], set[int]]:
    """Evaluates every event of the search from the exact states and corrects
    it (one Newton step; culminations that move more than a little are
    solved on the exact states); returns the passes, the satellites that
    failed at an event, and those whose interpolation missed its tolerance
    there."""
    traj = sky.traj
    npass = ev.track.size
    # rows: rise, set, highest point of each pass (NaN times are left out)
    kind = np.repeat(np.arange(3), npass)
    which = np.tile(np.arange(npass), 3)
    sec = np.concatenate([ev.rise, ev.set, ev.culmination])
    have = np.isfinite(sec)
    kind, which, sec = kind[have], which[have], sec[have]
    track = ev.track[which]
    sat = sky.sat[track]
    r, v, failures = exact_itrf(traj.sats, sat, sky.start + sec, threads)
    err = traj.check(sat, sec, r)
    coarse = {int(s) for s in np.unique(sat[~(err <= INTERPOLATION_TOLERANCE)])} - set(failures)
    p, w = sky.network.to_enu(sky.station[track], r, v)
    el, eldot, az = look(p, w)
    azdot = _azimuth_rate(p, w)
    dt = np.zeros(sec.size)
    crossing = kind < 2
    dt[crossing] = -(el[crossing] - min_elevation_rad) / eldot[crossing]
    culm = (kind == 2) & ~ev.edge[which]
    dt[culm] = -eldot[culm] / ev.curvature[which[culm]]
    # A slow satellite's elevation is so flat at its highest point that the
    # interpolation's metres move the culmination by minutes: those are
    # solved on the exact states.
    curvature = ev.curvature[which]
    unsettled = culm & ~((np.abs(dt) < _CULMINATION_SETTLED) & (np.abs(curvature) > _CULMINATION_CURVED))
    # A correction is a fraction of a second at most; a larger one (a flat
    # rate, a vanishing slope) is not a Newton step worth taking.
    dt = np.where(np.isfinite(dt) & (np.abs(dt) < 1.0), dt, 0.0)
    t = np.clip(sec + dt, 0.0, traj.duration)
    dt = t - sec
    el = np.where(culm, el + 0.5 * eldot * dt, el)
    az = np.mod(az + azdot * dt, 2.0 * math.pi)
    rows = np.flatnonzero(unsettled & ~np.isin(sat, list(failures)))
    if rows.size:
        lo = np.where(np.isfinite(ev.rise[which[rows]]), ev.rise[which[rows]], 0.0)
        hi = np.where(np.isfinite(ev.set[which[rows]]), ev.set[which[rows]], traj.duration)
        tc, elc, azc = _culminations(sky, sat[rows], sky.station[track[rows]], sec[rows], lo, hi, threads)
        t[rows], el[rows], az[rows] = tc, elc, azc

    def column(k: int, values: Array) -> Array:
        out = np.full(npass, np.nan)
        sel = kind == k
        out[which[sel]] = values[sel]
        return out

    found = _Found(
        sat=sky.sat[ev.track],
        station=sky.station[ev.track],
        rise=column(0, t),
        rise_az=column(0, az),
        culm=column(2, t),
        culm_az=column(2, az),
        max_el=column(2, el),
        set=column(1, t),
        set_az=column(1, az),
        edge=ev.edge,
        visible=np.full(npass, np.nan),
        shadow_entry=np.full(npass, np.nan),
        shadow_exit=np.full(npass, np.nan),
    )
    return found, failures, coarse


def _culminations(
    sky: Sky, sat: Array, station: Array, t: Array, lo: Array, hi: Array, threads: int
) -> tuple[Array, Array, Array]:
    """The highest points of passes from the exact positions: the elevation
    at t - h, t, t + h gives its slope and curvature, and Newton steps on
    the slope, kept in the shrinking bracket [lo, hi], find its root (the
    model's velocities are not quite the derivative of its positions: at a
    flat maximum that moves the root by seconds). Returns the times, the
    elevation and the azimuth there [rad]."""
    t, lo, hi = t.copy(), lo.copy(), hi.copy()
    n = t.size
    el = np.full(n, np.nan)
    az = np.full(n, np.nan)
    live = np.arange(n)
    h = _CULMINATION_DIFF
    for _ in range(_CULMINATION_ITERATIONS):
        k = live.size
        tt = np.concatenate([t[live], t[live] - h, t[live] + h])
        ss = np.tile(sat[live], 3)
        r, v, failed = exact_itrf(sky.traj.sats, ss, sky.start + tt, threads)
        p, w = sky.network.to_enu(np.tile(station[live], 3), r, v)
        e, _, a = look(p, w)
        here, before, after = e[:k], e[k : 2 * k], e[2 * k :]
        el[live], az[live] = here, a[:k]
        slope = (after - before) / (2.0 * h)
        curvature = (after - 2.0 * here + before) / (h * h)
        rising = slope > 0.0
        lo[live] = np.where(rising, t[live], lo[live])
        hi[live] = np.where(rising, hi[live], t[live])
        nxt = t[live] - slope / curvature
        inside = np.isfinite(nxt) & (nxt > lo[live]) & (nxt < hi[live]) & (curvature < 0.0)
        nxt = np.where(inside, nxt, 0.5 * (lo[live] + hi[live]))
        done = (np.abs(nxt - t[live]) < _CULMINATION_TOLERANCE) | ~np.isfinite(here)
        done |= hi[live] - lo[live] < _CULMINATION_TOLERANCE
        if failed:
            done |= np.isin(ss[:k], list(failed))
        t[live] = np.where(done, t[live], nxt)
        live = live[~done]
        if not live.size:
            break
    return t, el, az


def _subset(found: _Found, keep: Array) -> _Found:
    return _Found(**{k: getattr(found, k)[keep] for k in found.__dataclass_fields__})
