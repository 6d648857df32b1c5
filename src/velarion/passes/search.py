"""The pass search: passes of many satellites over many stations, all
evaluated together.

The search runs on tracks, one per (satellite, station) pair, over the
satellites' interpolated ITRF trajectories (``satellites.Trajectories``)
seen from each station, in compiled code (``velarion.passes._search``).
How the span is searched, for each track, and why no crossing of the
minimum is missed: see the kernel, ``kernels/search.hpp``.

``find_passes`` then evaluates each event once more from the exact states
and corrects it (one Newton step), so the events are those of the exact
model.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.time.time import Time
from velarion.utils.threads import resolve_threads, threads_for

from . import _search
from .satellites import INTERPOLATION_TOLERANCE, Trajectories
from .stations import Network, look  # look: importable from here as before

__all__ = ["Events", "Sky", "find_events", "look"]

Array = NDArray[Any]

_COARSE = 960.0  # s between the first samples of the search
_THREADED_TRACKS = 32  # fewer tracks are searched on one thread (see velarion.utils.threads)


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


def find_events(
    sky: Sky,
    duration: float,
    step: float,
    min_elevation_rad: float,
    prefilter: bool = True,
    coarse: float | None = None,
    threads: int | None = None,
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
        threads_for(len(tracks), resolve_threads(threads), _THREADED_TRACKS),
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
