"""The refinement of candidate segments: the minima of the distance in them,
and the segments where a pair stays within the threshold.

Each kept segment is then evaluated with SGP4 at its ends: a local minimum
of the distance is a sign change of rho . drho/dt from negative to positive
(minima of the distance between two orbits are at least a good fraction of
an orbit apart, so a segment of at most 95 s holds at most one). A
segment whose relative interpolant (of the two end states, within the
bound E of the segment's length of the true paths) stays farther than the
threshold is dropped there, without a search. The
bracket is narrowed by safeguarded Newton steps on the range rate with
SGP4's states, then polished on SGP4's positions alone (Newton steps on
d|rho|^2/dt from central differences of the positions): SGP4's velocity is
not the exact derivative of its position, and for slow encounters
(co-located geostationary pairs at 1.5 m/s) the root of rho . drho with it
lies seconds from the minimum of the distance. The TCA is the minimum of
the distance between the model's positions, to a microsecond for fast
encounters and as far as the positions resolve it for slow ones; the miss
distance is within a millimetre of the minimum. The model's positions are
not smooth below about a micrometre days from the epoch (its angles have
grown to thousands of radians), so where the distance is nearly flat, as
in a formation whose distance changes by micrometres over seconds, two
screens with different steps can put its TCA seconds apart at distances
that differ by micrometres.
Only minima inside the span are events. The refinement runs in C++ on the
SGP4 records (``_screen.refine``), on every core.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions import _screen
from velarion.propagators.analytical.sgp4.records import sgp4_jd

from .intake import _Catalogue

Array = NDArray[Any]


@dataclass
class _Found:
    """What the windows gave: the minima (pairs, TCA [s], states (n, 12))
    and the segments where a pair was closer than the threshold at both
    ends (pairs, segment, distance at the ends)."""

    delta: float = 1.0
    pi: list[Array] = field(default_factory=list)
    pj: list[Array] = field(default_factory=list)
    tca: list[Array] = field(default_factory=list)
    states: list[Array] = field(default_factory=list)
    close_i: list[Array] = field(default_factory=list)
    close_j: list[Array] = field(default_factory=list)
    close_segment: list[Array] = field(default_factory=list)
    close_ends: list[Array] = field(default_factory=list)

    def column(self, name: str, dtype: Any, shape: tuple[int, ...] = ()) -> Array:
        parts = getattr(self, name)
        return np.concatenate(parts) if parts else np.zeros((0, *shape), dtype=dtype)


def _distinct(pi: Array, pj: Array, segment: Array) -> tuple[Array, Array, Array]:
    """The distinct candidates (pi, pj, segment), sorted by pi, pj, segment.
    One int64 key a candidate when the three fit in it: a sort of one column
    is many times faster than numpy's unique of rows (a sort of records)."""
    pi, pj, segment = (np.asarray(x, dtype=np.int64) for x in (pi, pj, segment))
    if pi.size == 0:
        return pi, pj, segment
    n = int(max(pi.max(), pj.max())) + 1
    s = int(segment.max()) + 1
    if min(pi.min(), pj.min(), segment.min()) >= 0 and n * n * s < 2**62:
        key = np.unique((pi * n + pj) * s + segment)
        pair, segment = np.divmod(key, s)
        pi, pj = np.divmod(pair, n)
        return pi, pj, segment
    rows = np.unique(np.stack([pi, pj, segment], axis=1), axis=0)
    return rows[:, 0], rows[:, 1], rows[:, 2]


def _refine(
    cat: _Catalogue,
    found: _Found,
    threshold: float,
    threads: int,
    pi: Array,
    pj: Array,
    segment: Array,
    segment_bound: Array | None = None,
) -> None:
    """The minima of candidate segments (satellites pi < pj), and the
    segments where the pair is within the threshold at both ends.
    ``segment_bound``: per satellite, the interpolation bound over one
    segment, with which segments whose distance provably stays above the
    threshold are dropped without a search."""
    if pi.size == 0:
        return
    pi, pj, segment = _distinct(pi, pj, segment)
    delta = found.delta
    ta = segment * delta
    tb = np.minimum((segment + 1) * delta, cat.duration)
    jd, fr = sgp4_jd(cat.start)
    status, tca, states, ends = _screen.refine(
        cat.records,
        float(np.ravel(jd)[0]),
        float(np.ravel(fr)[0]),
        cat.rows[pi],
        cat.rows[pj],
        ta,
        tb,
        threshold,
        threads,
        None if segment_bound is None else segment_bound[pi] + segment_bound[pj],
    )
    hit = (status == 1) & (tca >= 0.0) & (tca <= cat.duration)
    if hit.any():
        miss = np.linalg.norm(states[hit, 6:9] - states[hit, 0:3], axis=1)
        near = np.flatnonzero(hit)[miss < threshold]
        found.pi.append(pi[near])
        found.pj.append(pj[near])
        found.tca.append(tca[near])
        found.states.append(states[near])
    close = (status != 2) & (ends < threshold).all(axis=1)
    if close.any():
        found.close_i.append(pi[close])
        found.close_j.append(pj[close])
        found.close_segment.append(segment[close])
        found.close_ends.append(ends[close])
