"""The search for candidate segments, window by window.

How no approach is missed
-------------------------
The span is sampled every ``step`` seconds (a whole fraction of the span;
by default the longest step at which nine satellites in ten have the bound
E (below) within 10 km, or, all-vs-all over 5,000 satellites or more,
within 0.3 of the threshold, 500 m at least: see
``velarion.conjunctions.bounds``);
between two samples t_k, t_k + step each satellite's path is replaced by the
cubic Hermite interpolant H of its two end states. For a path whose fourth
derivative stays below D4, the interpolant is off by at most
``D4 step^4 / 384`` (the Peano kernel of cubic Hermite interpolation has one
sign, so the bound holds for the vector). SGP4's velocity is not exactly the
derivative of its position (within about 1e-4 of the speed for real orbits);
an error dv in the end velocities moves H by at most ``step dv / 4`` (the
Hermite velocity basis functions add up to s (1 - s) step). So each
satellite's true path lies within

    E = D4 step^4 / 384 + step dv / 4

of its interpolant, with D4 the largest fourth derivative of two-body motion
on the satellite's orbit (evaluated on its osculating ellipse, the larger of
the span's start and end, with a 25 % margin for J2's short-period terms and
drag) and dv = 1e-3 of its largest speed (ten times what the model shows on
low orbits). The distance of a pair over an interval is then at least the
distance of the pair's relative interpolant less E_i + E_j. The compiled
search (``velarion.conjunctions._screen``) cuts each interval into segments
and keeps a segment when the distance from the origin to the chord of the
relative interpolant over it is at most ``threshold + E_i + E_j`` plus the
largest departure of the cubics from their chords (bounded by their second
derivatives), and when the chord of one of its four pieces passes the same
test with the piece's smaller departure; every segment holding a true
distance below the threshold is kept. (The cells of its grid are sized by all but the widest few
objects, which are compared with every other one directly: the test is the
same for every pair.) Pairs whose radial ranges (perigee to apogee of the osculating
ellipses at the start and the end, widened by 50 km) do not come within the
threshold are never compared; with primaries, satellites whose radial range
meets no primary's are not even propagated. With many primaries (one
satellite in 64 or more) the all-vs-all search runs and keeps the pairs
with a primary; with fewer, the search runs twice: first at twice the step (with the bound E of that step), then, for
the intervals and pairs the first pass keeps, at the step, sampling only
those satellites at the intervals' midpoints. Each pass keeps every segment
that holds a true distance below the threshold, so the second does too.

Each kept segment is then refined to its minimum of the distance (see
``velarion.conjunctions.refine``).

The span is screened in windows of coarse samples, one after the other:
each window's states, candidates and refinement fit the memory budget
(``velarion.utils.budget``) whatever the span, and progress and interrupts
are looked at between windows and within the compiled loops. Windows share
their end samples and segments are numbered over the whole span, so a
minimum falls in exactly one segment of one window, and is found once. A
window whose candidates would not fit the budget is split; when one step
of the search cannot fit (a threshold of thousands of kilometres over a
large catalogue), ``MemoryBudgetError`` says what to reduce.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions import _screen
from velarion.utils.budget import MemoryBudgetError, check_fits, format_bytes, items_within, memory_budget
from velarion.utils.progress import Progress

from .bounds import _bounds, _choose_step, _interpolation_bound, _target_bound
from .intake import _Catalogue
from .refine import _Found, _refine

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_SEGMENT = 95.0  # s, longest segment of the candidate search
_FACTOR = 2  # with primaries, the first pass's step in steps
_GRID_SHARE = 64  # primaries from one satellite in this many: the all-vs-all grid
_MAX_STATES = 2.0e9  # coarse states of all the satellites over the span
_WINDOW_STATES = 400_000  # satellites x intervals of one window: its work stays well under a second a core
_STATE_BYTES = 6 * 8 + 1  # a coarse state and its code
_CANDIDATE_BYTES = 16 + 200  # a candidate segment in the search and in its refinement


class _Search:
    """The search over windows of coarse samples: sample, candidates,
    refinement, one window at a time within the memory budget."""

    def __init__(
        self,
        cat: _Catalogue,
        is_primary: Array | None,
        threshold: float,
        threads: int,
        step: float | None,
        report: Progress,
    ):
        self.cat, self.is_primary, self.threshold, self.threads = cat, is_primary, threshold, threads
        self.step, self.report = step, report
        self.found = _Found()

    def run(self) -> _Found:
        cat, is_primary, threshold = self.cat, self.is_primary, self.threshold
        ids, r_min, r_max, speed, snap = _bounds(cat, np.arange(len(cat.objects)))
        many_primaries = False
        if is_primary is not None:
            # Only satellites whose radial range meets a primary's take part.
            prim = is_primary[ids]
            if not prim.any():
                return self.found
            lo, hi = r_min[prim].min(), r_max[prim].max()
            meets = prim | ((r_min <= hi + threshold) & (r_max + threshold >= lo))
            ids, r_min, r_max, speed, snap = ids[meets], r_min[meets], r_max[meets], speed[meets], snap[meets]
            # Many primaries: the all-vs-all grid, keeping pairs with a
            # primary, costs less than each primary against every satellite.
            many_primaries = int(is_primary[ids].sum()) * _GRID_SHARE >= ids.size
        if ids.size < 2:
            return self.found
        few_primaries = is_primary is not None and not many_primaries
        dt = (
            _choose_step(snap, speed, cat.duration, _target_bound(threshold, ids.size, few_primaries))
            if self.step is None
            else cat.duration / math.ceil(cat.duration / self.step)
        )
        # With few primaries, a first pass at twice the step (its own, larger
        # bound) keeps the pairs and intervals that may hold an approach; only
        # their secondaries are sampled at the step's midpoints for the pass at
        # the step. Both passes are proven as above: no approach is lost, and
        # half the secondaries' samples are saved.
        # (An even number of steps in both modes: at one step, the same
        # segments, so the same events to the last digit, with or without
        # primaries; a few primaries may take a longer default step than
        # all-vs-all of the same catalogue, within the same precision.)
        factor = _FACTOR if few_primaries else 1
        dt = cat.duration / (_FACTOR * math.ceil(cat.duration / (_FACTOR * dt)))
        substeps = max(1, math.ceil(dt / _SEGMENT))
        samples = round(cat.duration / (factor * dt)) + 1
        if ids.size * samples > _MAX_STATES:
            raise ValueError(
                f"{ids.size} satellites at {samples} samples ({ids.size * samples:.3g} states) is too many; "
                "take a larger step, a shorter span or fewer satellites"
            )
        self.dt, self.substeps, self.factor, self.many_primaries = dt, substeps, factor, many_primaries
        self.found.delta = dt / substeps
        # Per satellite: the interpolation bound over one segment, with which
        # the refinement drops segments whose distance provably stays above
        # the threshold (the bound grows with the length: a segment cut short
        # at the span's end is covered too).
        self.segment_bound = np.zeros(len(cat.objects))
        self.segment_bound[ids] = _interpolation_bound(snap, speed, self.found.delta)
        self.ids, self.r_min, self.r_max = ids, r_min, r_max
        self.bound = _interpolation_bound(snap, speed, dt)
        self.coarse_bound = _interpolation_bound(snap, speed, factor * dt)
        seconds = np.arange(samples) * (factor * dt)
        seconds[-1] = cat.duration
        self.seconds = seconds

        # Windows of coarse intervals (consecutive windows share a sample):
        # their states and candidates within the budget, and few enough
        # intervals that progress and interrupts come often.
        per_interval = ids.size * _STATE_BYTES + _CANDIDATE_BYTES * max(64, 8 * ids.size) * substeps * factor
        check_fits(
            2 * ids.size * _STATE_BYTES + per_interval,
            f"screening {ids.size} satellites",
            "screen fewer satellites or lower the threshold",
        )
        fit = items_within(per_interval, fixed=ids.size * _STATE_BYTES, at_least=1)
        width = int(max(1, min(fit, _WINDOW_STATES // ids.size)))
        live = np.arange(ids.size)
        k0 = 0
        while k0 < samples - 1:
            k1 = min(samples - 1, k0 + width)
            after = self.window(live, k0, k1)
            if after is None:  # more candidates than the budget holds: narrower windows
                if k1 - k0 == 1:
                    raise MemoryBudgetError(
                        f"screening {ids.size} satellites at a threshold of {self.threshold:g} m finds more "
                        f"candidate pairs in one step of the search than the memory budget of "
                        f"{format_bytes(memory_budget())} holds: lower the threshold or screen fewer satellites, "
                        "or raise the budget (VELARION_MEMORY_BUDGET or velarion.utils.budget.set_memory_budget)"
                    )
                width = max(1, (k1 - k0) // 2)
                continue
            live = after
            self.report.update(float(seconds[k1]))
            k0 = k1
        return self.found

    def window(self, live: Array, k0: int, k1: int) -> Array | None:
        """Samples k0..k1 (k1 - k0 intervals) of the satellites ``live``
        (rows of self.ids); returns those still followed after it, or None
        (nothing kept) when the window's candidates exceed the budget."""
        cat, ids, seconds = self.cat, self.ids, self.seconds
        err, r, v = cat.sample(ids[live], seconds[k0 : k1 + 1])
        m = k1 - k0 + 1
        bad = err != 0
        until = np.where(bad.any(axis=1), np.argmax(bad, axis=1), m).astype(np.int64)
        failing = np.flatnonzero(until < m)
        if failing.size:
            # Failed in the window: each keeps the intervals before its failure.
            first = until[failing]
            good = seconds[k0 + np.maximum(first - 1, 0)]
            cat.fail_between(ids[live[failing]], good, seconds[k0 + first])
            r[bad], v[bad] = 0.0, 0.0
        keep = until >= 2
        if keep.sum() >= 2:
            rows = live[keep]
            if not self.candidates(rows, r[keep], v[keep], until[keep], k0, m):
                return None
        return np.asarray(live[until == m])

    def candidates(self, rows: Array, r: Array, v: Array, until: Array, k0: int, m: int) -> bool:
        """Candidates of one window, refined: ``rows`` index self.ids.
        False (nothing done) when they would not fit the budget."""
        flags = None if self.is_primary is None else self.is_primary[self.ids[rows]].astype(np.uint8)
        factor, substeps = self.factor, self.substeps
        limit = items_within(_CANDIDATE_BYTES, fixed=r.nbytes + v.nbytes, at_least=1024)
        out = _screen.candidates(
            r.reshape(-1, 3),
            v.reshape(-1, 3),
            factor * self.dt,
            factor * substeps,
            np.ascontiguousarray(self.coarse_bound[rows]),
            np.ascontiguousarray(self.r_min[rows]),
            np.ascontiguousarray(self.r_max[rows]),
            self.threshold,
            None if flags is None else bytes(flags),
            self.threads,
            None if (until == m).all() else until,
            self.many_primaries,
            limit,
        )
        if out is None:
            return False
        ci, cj, cs = out
        if factor > 1:
            assert flags is not None
            fine = _Fine(self.cat, self.ids[rows], r, v, flags, factor, self.dt, substeps, self.threshold, self.threads)
            ci, cj, cs = fine.pairs(
                ci, cj, cs // (factor * substeps), k0, self.bound[rows], self.r_min[rows], self.r_max[rows]
            )
        else:
            cs = cs + k0 * substeps
        self.refine(self.ids[rows][ci], self.ids[rows][cj], cs)
        return True

    def refine(self, pi: Array, pj: Array, segment: Array) -> None:
        _refine(self.cat, self.found, self.threshold, self.threads, pi, pj, segment, self.segment_bound)


class _Fine:
    """The pass at the step after a pass at twice the step, over one chunk
    of coarse samples: each coarse interval with candidates is cut at its
    midpoint, where only the satellites of its candidate pairs are sampled."""

    def __init__(
        self,
        cat: _Catalogue,
        ids: Array,
        r: Array,
        v: Array,
        flags: Array,
        factor: int,
        dt: float,
        substeps: int,
        threshold: float,
        threads: int,
    ):
        self.cat, self.ids, self.r, self.v, self.flags, self.factor = cat, ids, r, v, flags, factor
        self.dt, self.substeps, self.threshold, self.threads = dt, substeps, threshold, threads

    def pairs(
        self, ci: Array, cj: Array, interval: Array, k0: int, bound: Array, r_min: Array, r_max: Array
    ) -> tuple[Array, Array, Array]:
        """Candidate pairs (rows of the chunk) and segments at the step, from
        the candidates (ci, cj) of the chunk's coarse intervals."""
        empty = np.zeros(0, dtype=np.int64)
        if ci.size == 0:
            return empty, empty, empty
        # One midpoint state per (coarse interval, satellite) of a candidate
        # pair, sorted by interval, then by satellite.
        n = self.ids.size
        keys = np.unique(np.concatenate([interval, interval]) * n + np.concatenate([ci, cj]))
        ks, rows = keys // n, keys % n
        f = self.factor
        inner = np.arange(1, f)
        mid_seconds = ((f * (k0 + ks))[:, None] + inner) * self.dt
        rm, vm = self.cat.states(np.repeat(self.ids[rows], f - 1), mid_seconds.reshape(-1))
        rm, vm = rm.reshape(-1, f - 1, 3), vm.reshape(-1, f - 1, 3)
        ok = np.asarray(np.isfinite(rm).all(axis=(1, 2)) & np.isfinite(vm).all(axis=(1, 2)))
        out_i, out_j, out_s = [], [], []
        cuts = np.flatnonzero(np.diff(ks)) + 1
        for part in np.split(np.arange(ks.size), cuts):
            part = part[ok[part]]
            members = rows[part]
            if members.size < 2 or not self.flags[members].any():
                continue
            k = int(ks[part[0]])
            r3 = np.concatenate([self.r[members, k, None], rm[part], self.r[members, k + 1, None]], axis=1)
            v3 = np.concatenate([self.v[members, k, None], vm[part], self.v[members, k + 1, None]], axis=1)
            fine = _screen.candidates(
                r3.reshape(-1, 3),
                v3.reshape(-1, 3),
                self.dt,
                self.substeps,
                np.ascontiguousarray(bound[members]),
                np.ascontiguousarray(r_min[members]),
                np.ascontiguousarray(r_max[members]),
                self.threshold,
                bytes(self.flags[members]),
                1,
            )
            assert fine is not None  # no limit: never None
            fi, fj, fs = fine
            out_i.append(members[fi])
            out_j.append(members[fj])
            out_s.append(fs + f * (k0 + k) * self.substeps)
        if not out_i:
            return empty, empty, empty
        return np.concatenate(out_i), np.concatenate(out_j), np.concatenate(out_s)
