"""The pass search: passes of many satellites over many stations, all
evaluated together.

The search runs on tracks, one per (satellite, station) pair, over the
satellites' interpolated ITRF trajectories (``satellites.Trajectories``)
seen from each station, in compiled code (``velarion.passes._search``).
How the span is searched, for each track:

1. The elevation is sampled on the grid ``start + k * step`` (the span's end
   added when it falls between). Every 960 s of it (``coarse``) first; an
   interval is skipped when the satellite cannot reach the visibility cone
   in it: with d_a, d_b the distances of its end points from the cone
   (elevation >= minimum) and V a bound of the Earth-fixed speed over the
   interval, a visible point inside needs d_a + d_b <= V * (t_b - t_a)
   (plus twice the interpolation tolerance); or, tighter, the chord between
   the end points must come that close to the cone, since the path strays
   from its chord by at most A * (t_b - t_a)**2 / 8 with A a bound of the
   Earth-fixed acceleration (the distance to the cone, a convex set, is
   convex along the chord: it lies above its tangents at the ends; for a
   negative minimum the region below is the convex one). Intervals that cannot hold
   both sides of the minimum are skipped the same way (from the distances
   to the region below it); the others are halved down to grid neighbours.
   Crossings of the minimum are therefore found between grid neighbours, as
   a full scan of the grid finds them.
2. Each local maximum of the elevation between two samples is refined (root
   of the elevation rate, computed from the ENU velocity) and kept when it
   reaches the minimum; a maximum between two samples below the minimum (a
   pass shorter than a step) is found too.
3. Rise and set are refined between the last sample below and the first
   above the minimum (or the maximum) by root finding on the elevation.

``find_passes`` then evaluates each event once more from the exact states
and corrects it (one Newton step), so the events are those of the exact
model.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.time.time import Time

from . import _search
from .satellites import INTERPOLATION_TOLERANCE, THREADS, Trajectories
from .stations import Network

__all__ = ["Events", "Sky", "find_events", "look"]

Array = NDArray[Any]

_COARSE = 960.0  # s between the first samples of the search
_THREADED_TRACKS = 32  # fewer tracks are searched on one thread


@dataclass
class Events:
    """Passes found by the search, one entry per pass: its track, the
    seconds from the start of its rise and set (NaN where the span's edge
    cuts it) and of its highest point, the elevation there [rad], whether
    that point is the span's edge rather than a culmination, and the
    elevation rate's slope there [rad/s^2] (NaN at the edge)."""

    track: Array
    rise: Array
    set: Array
    culmination: Array
    max_elevation: Array
    edge: Array
    curvature: Array

    @staticmethod
    def empty() -> Events:
        z = np.empty(0)
        return Events(np.empty(0, np.intp), z, z, z, z, np.empty(0, bool), z)


class Sky:
    """Tracks (satellite ``sat[k]`` seen from station ``station[k]``) over
    the interpolated trajectories ``traj`` from ``start``."""

    def __init__(self, traj: Trajectories, network: Network, sat: Array, station: Array):
        self.traj = traj
        self.network = network
        self.sat = np.asarray(sat, dtype=np.intp)
        self.station = np.asarray(station, dtype=np.intp)
        self.start: Time = traj.start


def look(p: Array, w: Array) -> tuple[Array, Array, Array]:
    """Elevation, elevation rate and azimuth (from north through east) of ENU states."""
    e, n, u = p[:, 0], p[:, 1], p[:, 2]
    h2 = e * e + n * n
    h = np.sqrt(h2)
    el = np.arctan2(u, h)
    # d/dt atan2(u, h) = (h u' - u h') / (h^2 + u^2), h' = (e e' + n n') / h
    with np.errstate(divide="ignore", invalid="ignore"):
        eldot = (w[:, 2] * h2 - u * (e * w[:, 0] + n * w[:, 1])) / (h * (h2 + u * u))
    eldot = np.where(np.isfinite(eldot), eldot, 0.0)
    az = np.mod(np.arctan2(e, n), 2.0 * math.pi)
    return el, eldot, az


def find_events(
    sky: Sky,
    duration: float,
    step: float,
    min_elevation_rad: float,
    prefilter: bool = True,
    coarse: float | None = None,
    threads: int = THREADS,
) -> Events:
    """The passes of every track of ``sky`` above the minimum elevation
    ``min_elevation_rad`` (see the module's docstring); times in seconds from the start.
    ``prefilter=False`` samples every grid point; ``coarse`` [s] sets the
    spacing of the first samples."""
    if not sky.sat.size:
        return Events.empty()
    traj, network = sky.traj, sky.network
    k = max(1, round((_COARSE if coarse is None else float(coarse)) / step)) if prefilter else 1
    sats = np.column_stack([traj.window0, traj.intervals, traj.spacing]).astype(np.float64)
    stations = np.concatenate([network.offset, network.rotation.reshape(-1, 9)], axis=1)
    tracks = np.column_stack([sky.sat, sky.station]).astype(np.float64)
    rows = _search.find_events(
        traj.table.reshape(8, -1),
        sats,
        stations,
        tracks,
        duration,
        step,
        min_elevation_rad,
        float(min(k, 10**9)),
        INTERPOLATION_TOLERANCE,
        threads if len(tracks) >= _THREADED_TRACKS else 1,
    )
    return Events(
        track=rows[:, 0].astype(np.intp),
        rise=rows[:, 1].copy(),
        set=rows[:, 2].copy(),
        culmination=rows[:, 3].copy(),
        max_elevation=rows[:, 4].copy(),
        edge=rows[:, 5] != 0.0,
        curvature=rows[:, 6].copy(),
    )
