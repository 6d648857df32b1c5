"""Interpolated ITRF trajectories of the satellites of a search.

Each satellite is propagated once, on nodes a fraction of its fastest
angular motion apart (about 13 minutes for a low orbit), and its ITRF
position between nodes is the degree-7 Hermite polynomial of the positions
and velocities at the four nearest nodes (a few metres typically, under
100 m for a low orbit; each satellite's is checked against exact states
between nodes and its nodes brought closer until it holds). Every station
then costs a rotation and an offset of these states.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.propagators.failures import Failure
from velarion.time.time import Time

from . import _search
from .sources import SearchedSatellite, angular_rate
from .states import THREADS, exact_itrf, group_itrf

__all__ = ["INTERPOLATION_TOLERANCE", "NODE_ANGLE", "NODE_MAX", "NODE_MIN", "OMEGA_EARTH", "Trajectories"]

Array = NDArray[Any]

OMEGA_EARTH = 7.292115146706798e-5  # rad/s
# Node spacing: this angle [rad] of the fastest motion (the orbit at
# perigee, plus the Earth's rotation, in ITRF) between nodes. At 0.8 rad the
# interpolation error of low orbits (SGP4) is 3 m in the median, 40 m at the
# 99th percentile and under 80 m at worst (the one-sided first and last
# intervals); the search's margins and the exact evaluation of every event
# absorb it, and it costs 40% fewer model evaluations than 0.5 rad.
NODE_ANGLE = 0.8
NODE_MIN, NODE_MAX = 20.0, 3600.0  # s
# Largest interpolation error [m] accepted between nodes (checked).
INTERPOLATION_TOLERANCE = 100.0


def _rounded_intervals(k: Array) -> Array:
    """Interval counts rounded up to (8..15) * 2**e (at most 12.5% more):
    satellites with the same count share their node epochs."""
    k = np.maximum(np.asarray(k, dtype=np.int64), 3)
    e = np.maximum(np.floor(np.log2(k)).astype(np.int64) - 3, 0)
    return np.asarray(-(-k // (1 << e)) * (1 << e), dtype=np.intp)


class Trajectories:
    """ITRF states of satellites from ``start`` over ``duration`` seconds,
    interpolated between exact nodes (see the module's docstring)."""

    def __init__(
        self,
        sats: Sequence[SearchedSatellite],
        start: Time,
        duration: float,
        spacing: Sequence[float] | None = None,
        threads: int = THREADS,
    ):
        self.sats = list(sats)
        self.threads = threads
        self.start = start
        self.duration = duration
        self.failures: dict[int, Failure] = {}  # by position in ``sats``
        n = len(self.sats)
        if spacing is None:
            spacing = [NODE_ANGLE / (angular_rate(s, start) + OMEGA_EARTH) for s in self.sats]
        self.spacing = np.empty(n)
        self.intervals = np.empty(n, dtype=np.intp)
        self._nodes: list[Array] = [np.empty((0, 6))] * n
        everyone = np.arange(n)
        self._space(everyone, np.asarray(spacing, dtype=np.float64))
        self._propagate(everyone)
        self._refine()

    def _space(self, which: Array, spacing: Array) -> None:
        """Nodes of satellites ``which`` at most ``spacing`` [s] apart, at least four, evenly over the span."""
        ok = np.isfinite(spacing) & (spacing > 0.0)
        c = np.where(ok, np.clip(spacing, NODE_MIN, NODE_MAX), NODE_MIN)
        self.intervals[which] = _rounded_intervals(np.ceil(self.duration / c))
        self.spacing[which] = self.duration / self.intervals[which]

    def _groups(self, which: Array) -> list[tuple[int, list[int]]]:
        """Satellites ``which`` by interval count."""
        groups: dict[int, list[int]] = {}
        for s in which:
            groups.setdefault(int(self.intervals[s]), []).append(int(s))
        return sorted(groups.items())

    def _propagate(self, which: Array) -> None:
        """Exact states at the nodes of satellites ``which``, then the interpolation table of all."""
        for s in which:
            self.failures.pop(int(s), None)
        for k, members in self._groups(which):
            sec = np.linspace(0.0, self.duration, k + 1)
            r, v, failures = group_itrf(self.sats, members, self.start, sec, self.threads)
            self.failures.update(failures)
            for j, s in enumerate(members):
                self._nodes[s] = np.concatenate([r[j], v[j]], axis=1)
        self._table()

    def _table(self) -> None:
        """The interpolation table: ``table[k, 3 * window + c]`` is the
        coefficient of x^k of ITRF coordinate c [m] of a window of four nodes
        (window w of a satellite covers its nodes w .. w+3)."""
        windows = self.intervals - 2
        self.window0 = (np.cumsum(windows) - windows).astype(np.intp)
        first = np.cumsum(self.intervals + 1) - (self.intervals + 1)
        nodes = np.concatenate(self._nodes) if self._nodes else np.empty((0, 6))
        table = np.column_stack([first, self.intervals, self.spacing]).astype(np.float64)
        self.table = _search.hermite_table(nodes, table).reshape(8, -1, 3)

    def _refine(self, rounds: int = 4) -> None:
        """Brings the nodes closer, and propagates again, for satellites whose
        interpolation misses its tolerance between nodes."""
        for _ in range(rounds):
            # the middle of the first, a central and the last interval of
            # each satellite (the edge ones interpolate one-sided), all in one call
            live = np.array([s for s in range(len(self.sats)) if s not in self.failures], dtype=np.intp)
            k = self.intervals[live]
            middle = np.stack([np.zeros_like(k), k // 2, k - 1], axis=1) + 0.5
            sec = (middle * (self.duration / k)[:, None]).reshape(-1)
            sid = np.repeat(live, 3)
            r, _, failures = exact_itrf(self.sats, sid, self.start + sec, self.threads)
            self.failures.update(failures)
            err = self.check(sid, sec, r).reshape(live.size, 3)
            bad = [int(s) for s, e in zip(live, err, strict=True) if not (e <= INTERPOLATION_TOLERANCE).all()]
            bad = [s for s in bad if s not in self.failures and self.spacing[s] * 1.01 > NODE_MIN]
            if not bad:
                return
            which = np.array(bad, dtype=np.intp)
            self._space(which, self.spacing[which] / 4.0)
            self._propagate(which)

    def itrf(self, sid: Array, seconds: Array) -> tuple[Array, Array]:
        """Interpolated ITRF positions and velocities of satellite ``sid[k]`` at ``start + seconds[k]``."""
        sid = np.asarray(sid, dtype=np.intp)
        spacing = self.spacing[sid]
        u = np.asarray(seconds, dtype=np.float64) / spacing
        w = np.clip(np.floor(u).astype(np.intp) - 1, 0, self.intervals[sid] - 3)
        x = (u - w - 1.5)[:, None]
        idx = w + self.window0[sid]
        # Horner's scheme for the polynomial and its derivative together.
        table = self.table
        p = table[7].take(idx, axis=0)
        d = np.zeros_like(p)
        for k in range(6, -1, -1):
            d *= x
            d += p
            p *= x
            p += table[k].take(idx, axis=0)
        d /= spacing[:, None]
        return p, d

    def check(self, sid: Array, seconds: Array, r_exact: Array) -> Array:
        """The interpolation error [m] at exactly evaluated rows."""
        p, _ = self.itrf(sid, seconds)
        return np.asarray(np.linalg.norm(p - r_exact, axis=1))
