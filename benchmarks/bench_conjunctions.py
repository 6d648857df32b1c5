"""Conjunction screening, side by side with a k-d tree screen.

velarion: ``velarion.conjunctions.screen`` (coarse SGP4 samples from its
compiled SGP4/SDP4 records and the candidate search, both on every core
without the interpreter lock; refinement with the same model's states).

Peer, "k-d tree every 5 s": what a capable NumPy/SciPy user writes: the
sgp4 package's array propagation (``SatrecArray``) of every object every
5 s, one ``scipy.spatial.cKDTree`` per step with ``query_pairs`` at the
threshold plus the largest closing over half a step (16 km/s x 2.5 s), a
sign change of the range rate between two steps for a local minimum,
refined by ``scipy.optimize.brentq`` on the range rate with the model's
states. Both report the same events: the run checks that velarion misses
none of the peer's (the same pair, TCA within 60 s: the peer finds the
root of the range rate of SGP4's velocities, velarion the minimum of the
distance of its positions, which differ by seconds for slow approaches;
the TCA's precision is the brute-force check's).

Cases: 3,000 low orbits all-vs-all over one day at 5 km; one primary
against 20,000 over seven days at 5 km (velarion alone; the goal is a time).
The catalogues are ``velarion.conjunctions.catalogue.sample_catalogue``
(fixed seeds).

The real-like catalogue (``realistic_catalogue``, 15,000 objects, seed 0):
the all-vs-all screen at 5 km over ``--days`` (default 7) from the
catalogue's date, and the same with every ``STARLINK`` as a primary (about
2/3 of the catalogue, what ``--match starlink`` screens), each in a child
process whose wall time and peak resident memory (``ru_maxrss``: the C++
allocations too) are reported; the k-d tree screen and velarion on the
whole catalogue over ``--kdtree-hours`` (default 2); and the brute-force
check: for every formation, co-located and docked pair, GEO pairs within
drift's reach, ``--pairs`` random pairs of low orbits at overlapping
altitudes and ``--near`` random pairs that come within 60 km at a
one-minute sample of the first day, the distance sampled every 30 s with the sgp4
package's ``SatrecArray`` and each local minimum below the threshold
refined on the positions (``dense_minima``), against the all-vs-all
screen's events for those pairs: minima missed, events not found by the
sampling, and the largest TCA and miss-distance differences.

    python benchmarks/bench_conjunctions.py              # everything, a week
    python benchmarks/bench_conjunctions.py --days 1 --skip-small
"""

from __future__ import annotations

import argparse
import inspect
import json
import math
import os
import pathlib
import resource
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.conjunctions import screen
from velarion.conjunctions.catalogue import realistic_catalogue, sample_catalogue
from velarion.propagators.analytical.sgp4 import load_tles
from velarion.propagators.analytical.sgp4.sgp4 import sgp4_jd
from velarion.time.time import Time

START = "2024-01-01T00:00:00"
THRESHOLD = 5000.0
STEP = 5.0
CLOSING = 16.0e3  # m/s, above any relative speed of two Earth orbits below 2,000 km


def kdtree_screen(tles, start, duration, threshold, chunk=720):
    """[(i, j, tca seconds, miss)] by the k-d tree screen (see the module's docstring)."""
    from scipy.optimize import brentq
    from scipy.spatial import cKDTree
    from sgp4.api import Satrec, SatrecArray

    sats = [Satrec.twoline2rv(*t.lines) for t in tles]
    array = SatrecArray(sats)
    t0 = Time(start)
    seconds = np.arange(0.0, duration + STEP / 2, STEP)
    jd1, jd2 = sgp4_jd(t0 + seconds)
    radius = (threshold + CLOSING * STEP / 2) / 1e3  # km
    found = []
    jd0, fr0 = sgp4_jd(t0)

    def rate(i, j, s):
        _, ri, vi = sats[i].sgp4(jd0[0], fr0[0] + s / 86400.0)
        _, rj, vj = sats[j].sgp4(jd0[0], fr0[0] + s / 86400.0)
        return (rj[0] - ri[0]) * (vj[0] - vi[0]) + (rj[1] - ri[1]) * (vj[1] - vi[1]) + (rj[2] - ri[2]) * (vj[2] - vi[2])

    for a in range(0, seconds.size - 1, chunk):
        b = min(seconds.size, a + chunk + 1)
        _, r, v = array.sgp4(jd1[a:b], jd2[a:b])
        cand = []
        for k in range(b - a):
            pairs = cKDTree(r[:, k]).query_pairs(radius, output_type="ndarray")
            if pairs.size:
                cand.append(np.column_stack([pairs, np.full(len(pairs), k)]))
        if not cand:
            continue
        c = np.concatenate(cand)
        # The minimum near a close step lies in the interval before or after it.
        c = np.unique(np.concatenate([c - [0, 0, 1], c]), axis=0)
        c = c[(c[:, 2] >= 0) & (c[:, 2] < b - a - 1)]
        i, j, k = c[:, 0], c[:, 1], c[:, 2]
        fa = np.einsum("ij,ij->i", r[j, k] - r[i, k], v[j, k] - v[i, k])
        fb = np.einsum("ij,ij->i", r[j, k + 1] - r[i, k + 1], v[j, k + 1] - v[i, k + 1])
        for q in np.flatnonzero((fa < 0.0) & (fb >= 0.0)):
            ii, jj = int(i[q]), int(j[q])
            s0 = seconds[a + k[q]]
            tca = brentq(lambda s, ii=ii, jj=jj: rate(ii, jj, s), s0, s0 + STEP, xtol=1e-6)
            _, ri, _ = sats[ii].sgp4(jd0[0], fr0[0] + tca / 86400.0)
            _, rj, _ = sats[jj].sgp4(jd0[0], fr0[0] + tca / 86400.0)
            miss = 1e3 * float(np.linalg.norm(np.subtract(rj, ri)))
            if miss < threshold:
                found.append((ii, jj, tca, miss))
    return found


def misses(tles, events, reference, start=START):
    """The peer's events that velarion does not report (pair, and TCA within 60 s)."""
    index = {t.satnum: k for k, t in enumerate(tles)}
    t0 = Time(start)
    mine = {}
    for e in events:
        pair = tuple(sorted((index[e.primary_satnum], index[e.secondary_satnum])))
        mine.setdefault(pair, []).append(float(e.tca - t0))
    return [x for x in reference if not any(abs(t - x[2]) < 60.0 for t in mine.get(x[:2], []))]


def _all_vs_all():
    tles = load_tles(sample_catalogue(3000, START, seed=2024))
    return (
        tles,
        (lambda: screen(tles, START, 86400.0, THRESHOLD)),
        (lambda: kdtree_screen(tles, START, 86400.0, THRESHOLD)),
    )


def _one_primary():
    tles = load_tles(sample_catalogue(20001, START, seed=7))
    return tles, (lambda: screen(tles, START, 7 * 86400.0, THRESHOLD, primaries=[tles[0]]))


def cases() -> list[Case]:
    _, vel, peer = _all_vs_all()
    _, one = _one_primary()
    return [
        Case("conjunctions, 3,000 LEO all-vs-all, 1 day, 5 km", 1, vel, {"k-d tree every 5 s": peer}, ">= 20x"),
        Case("conjunctions, 1 vs 20,000 LEO, 7 days, 5 km", 1, one, {}, "< 2 s"),
    ]


# --- The brute-force check: dense sampling of sampled pairs with the sgp4 package.


@dataclass
class Minimum:
    """A local minimum of a pair's distance below the threshold, by dense
    sampling and refinement on the positions (seconds from the start, m)."""

    a: int
    b: int
    seconds: float
    distance: float


@dataclass
class Stretch:
    """Consecutive samples of a pair below the threshold: first and last
    such sample [s], the smallest sampled distance and the largest [m]."""

    a: int
    b: int
    first: float
    last: float
    smallest: float
    largest: float


@dataclass
class Dense:
    minima: list[Minimum]
    stretches: list[Stretch]
    failed: dict[int, float]  # object -> when the model first fails [s] (within 0.1 s)
    pairs: Any  # the sampled pairs (rows of catalogue indices)
    sats: list[Any]  # the model's records (sgp4 package), by catalogue index
    start_jd: float

    def distance(self, a: int, b: int, seconds: float) -> float:
        """The distance [m] of the positions of objects a and b at ``seconds``."""
        ea, ra, _ = self.sats[a].sgp4(self.start_jd, seconds / 86400.0)
        eb, rb, _ = self.sats[b].sgp4(self.start_jd, seconds / 86400.0)
        return math.inf if ea or eb else 1e3 * math.dist(ra, rb)


def _satrecs(text: str) -> list[Any]:
    from sgp4.api import Satrec

    lines = [line for line in text.splitlines() if line.strip()]
    out = []
    k = 0
    while k < len(lines):
        if lines[k].startswith("1 ") and k + 1 < len(lines) and lines[k + 1].startswith("2 "):
            out.append(Satrec.twoline2rv(lines[k], lines[k + 1]))
            k += 2
        else:
            k += 1
    return out


def dense_minima(
    text: str, pairs: Any, start_jd: float, duration: float, threshold: float, step: float = 30.0, chunk: int = 1440
) -> Dense:
    """Every local minimum below ``threshold`` of the distance of each pair
    (rows of catalogue indices into the element sets of ``text``) over
    ``duration`` seconds from the Julian date ``start_jd`` (UTC, as the
    sgp4 package counts it): the distances sampled every ``step`` seconds
    with ``SatrecArray``, each sampled local minimum whose straight-line
    closest point (from the sample's relative state) may lie below the
    threshold refined by a bounded Brent search of the distance of the
    model's positions. Minima of two orbits are tens of minutes apart, so
    a 30 s grid puts one sampled minimum next to each. Also the stretches
    of samples below the threshold, and when objects fail."""
    from scipy.optimize import minimize_scalar
    from sgp4.api import SatrecArray

    sats = _satrecs(text)
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    used, inverse = np.unique(pairs, return_inverse=True)
    ia, ib = inverse.reshape(-1, 2).T
    array = SatrecArray([sats[k] for k in used])
    count = math.ceil(duration / step) + 1
    seconds = np.linspace(0.0, duration, count)
    h = seconds[1] - seconds[0]
    distance = np.empty((pairs.shape[0], count))
    speed = np.empty((pairs.shape[0], count))
    first_bad = np.full(used.size, np.inf)
    for a in range(0, count, chunk):
        b = min(count, a + chunk)
        err, r, v = array.sgp4(np.full(b - a, start_jd), seconds[a:b] / 86400.0)
        bad = err != 0
        r[bad] = np.nan
        v[bad] = np.nan
        rows, cols = np.nonzero(bad)
        np.minimum.at(first_bad, rows, seconds[a + cols])
        distance[:, a:b] = 1e3 * np.linalg.norm(r[ib] - r[ia], axis=2)
        speed[:, a:b] = 1e3 * np.linalg.norm(v[ib] - v[ia], axis=2)
    # Sampled local minima (the span's ends count when the distance falls towards them).
    left = np.concatenate([np.full((pairs.shape[0], 1), np.inf), distance[:, :-1]], axis=1)
    right = np.concatenate([distance[:, 1:], np.full((pairs.shape[0], 1), np.inf)], axis=1)
    low = (distance < left) & (distance <= right)
    # Straight-line closest approach within a step of the sample, with a wide margin for the curvature.
    reach = distance - speed * h
    q, k = np.nonzero(low & (reach < threshold + 0.05 * distance + 1000.0))
    minima: list[Minimum] = []
    for p, kk in zip(q.tolist(), k.tolist(), strict=True):
        sa, sb = sats[used[ia[p]]], sats[used[ib[p]]]

        def dist(s: float, sa: Any = sa, sb: Any = sb) -> float:
            ea, ra, _ = sa.sgp4(start_jd, s / 86400.0)
            eb, rb, _ = sb.sgp4(start_jd, s / 86400.0)
            if ea or eb:
                return math.inf
            return 1e3 * math.dist(ra, rb)

        lo, hi = seconds[max(kk - 1, 0)], seconds[min(kk + 1, count - 1)]
        # In seconds from the bracket's start: the bounded search adds a
        # tolerance of 1.5e-8 of |x| to xatol, 9 ms at day 7 of the span
        # (70 mm of distance at a fast approach), 1 us here.
        res = minimize_scalar(
            lambda u, lo=lo, dist=dist: dist(lo + u), bounds=(0.0, hi - lo), method="bounded", options={"xatol": 1e-7}
        )
        t, d = lo + float(res.x), float(res.fun)
        # Interior minima only: one at the span's ends is no approach within it.
        if d < threshold and 1e-3 < t < duration - 1e-3 and d < min(dist(lo), dist(hi)):
            minima.append(Minimum(int(pairs[p, 0]), int(pairs[p, 1]), t, d))
    stretches: list[Stretch] = []
    below = distance < threshold
    for p in np.flatnonzero(below.any(axis=1)).tolist():
        edges = np.diff(np.concatenate([[0], below[p].astype(np.int8), [0]]))
        for s, e in zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist(), strict=True):
            part = distance[p, s:e]
            stretches.append(
                Stretch(
                    int(pairs[p, 0]), int(pairs[p, 1]), seconds[s], seconds[e - 1], float(part.min()), float(part.max())
                )
            )
    failed = {}
    for k in np.flatnonzero(np.isfinite(first_bad)).tolist():
        # The model's first failure, by bisection to 0.1 s after the last good sample.
        sat, hi = sats[used[k]], float(first_bad[k])
        lo = max(0.0, hi - h)
        while hi - lo > 0.1:
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if sat.sgp4(start_jd, mid / 86400.0)[0] == 0 else (lo, mid)
        failed[int(used[k])] = hi
    return Dense(minima, stretches, failed, pairs, sats, start_jd)


@dataclass
class Check:
    """The screen's events and records against the dense sampling of the
    same pairs: minima missed, events the sampling has not, the largest
    TCA and miss-distance differences (fast and slow approaches apart),
    and sustained stretches without a record."""

    expected: int
    missed: list[Minimum]
    # Largest excess of the oracle's distance at the screen's TCA over its minimum [m]: the
    # measure of a TCA where the distance is flat (a slow approach pins its time down loosely).
    excess: dict[str, float]
    extra: list[tuple[int, int, float, float, float]]
    tca_error: dict[str, float]
    miss_error: dict[str, float]
    stretches: int
    stretches_unreported: list[Stretch]
    # Minima without an event of their own inside a record of sustained proximity of the pair
    # whose smallest distance is at most theirs: ripples of a distance that stays below the
    # threshold, which the record stands for (the screen lists one minimum a segment at most).
    covered: list[Minimum] = field(default_factory=list)


SLOW = 10.0  # m/s: approaches slower than this have a TCA that the distance pins down only loosely
_MATCH = 120.0  # s: an event and a sampled minimum of one pair this close are the same approach


def event_rows(
    result: Any, start: Any
) -> tuple[list[tuple[int, int, float, float, float]], list[tuple[int, int, float, float, float]]]:
    """What ``screen`` returned as plain rows: events (satnum, satnum, TCA
    [s from ``start``], miss [m], relative speed [m/s]) and records of
    sustained proximity (satnum, satnum, start, end [s], smallest distance
    [m]; none when the screen has no such records)."""
    events = [
        (e.primary_satnum, e.secondary_satnum, float(e.tca - start), e.miss_distance, e.relative_speed) for e in result
    ]
    records = [
        (r.primary_satnum, r.secondary_satnum, float(r.start - start), float(r.end - start), r.distance)
        for r in getattr(result, "proximity", [])
    ]
    return events, records


def compare(
    dense: Dense,
    rows: tuple[list[tuple[int, int, float, float, float]], list[tuple[int, int, float, float, float]]],
    satnums: list[int],
    step: float,
    threshold: float,
    proximity: float | None,
    minima: bool = True,
) -> Check:
    """The screen's ``rows`` (``event_rows``) against ``dense`` for the
    sampled pairs. With ``proximity`` (the screen's option; None when it
    has none), a stretch below the threshold for at least that long is a
    record (and its minima events too unless ``minima`` is false);
    stretches within a few steps of that length go either way and are left
    out of the checks, as are minima within 1 cm of the threshold. A
    minimum without an event inside a record of the pair that is no farther
    than it is ``covered``, not missed."""
    events: dict[tuple[int, int], list[tuple[int, int, float, float, float]]] = {}
    for e in rows[0]:
        events.setdefault((min(e[0], e[1]), max(e[0], e[1])), []).append(e)
    records: dict[tuple[int, int], list[tuple[int, int, float, float, float]]] = {}
    for r in rows[1]:
        records.setdefault((min(r[0], r[1]), max(r[0], r[1])), []).append(r)

    def key(a: int, b: int) -> tuple[int, int]:
        return tuple(sorted((satnums[a], satnums[b])))  # type: ignore[return-value]

    slack = 2 * 90.0 + 2 * step
    sustained: list[Stretch] = []
    unclear: list[Stretch] = []
    for s in dense.stretches:
        length = s.last - s.first + step
        if proximity is None or length < proximity - slack:
            continue
        (sustained if length > proximity + slack else unclear).append(s)

    def inside(m: Minimum, group: list[Stretch]) -> bool:
        return any((s.a, s.b) == (m.a, m.b) and s.first - step <= m.seconds <= s.last + step for s in group)

    left_out = [] if minima else sustained + unclear

    def near_failure(a: int, b: int, t: float) -> bool:
        # Within the search's last segments before a failure, either way.
        return any(abs(dense.failed.get(k, math.inf) - t) < 2 * _MATCH for k in (a, b))

    expected = [
        m
        for m in dense.minima
        if abs(m.distance - threshold) > 0.01 and not inside(m, left_out) and not near_failure(m.a, m.b, m.seconds)
    ]
    excess = {"fast": 0.0, "slow": 0.0}
    missed: list[Minimum] = []
    covered: list[Minimum] = []
    tca_error = {"fast": 0.0, "slow": 0.0}
    miss_error = {"fast": 0.0, "slow": 0.0}
    matched: set[int] = set()
    for m in expected:
        near = [e for e in events.get(key(m.a, m.b), []) if abs(e[2] - m.seconds) < _MATCH]
        if not near:
            spans = records.get(key(m.a, m.b), [])
            if any(r[2] - step <= m.seconds <= r[3] + step and r[4] <= m.distance + 1e-3 for r in spans):
                covered.append(m)
            else:
                missed.append(m)
            continue
        e = min(near, key=lambda e: abs(e[2] - m.seconds))
        matched.add(id(e))
        kind = "slow" if e[4] < SLOW else "fast"
        tca_error[kind] = max(tca_error[kind], abs(e[2] - m.seconds))
        miss_error[kind] = max(miss_error[kind], abs(e[3] - m.distance))
        excess[kind] = max(excess[kind], dense.distance(m.a, m.b, e[2]) - m.distance)
    pairs_of = {key(int(a), int(b)): (int(a), int(b)) for a, b in dense.pairs}
    extra = []
    for pair in pairs_of:
        for e in events.get(pair, []):
            if id(e) in matched or abs(e[3] - threshold) < 0.01:
                continue
            a, b = pairs_of[pair]
            if inside(Minimum(a, b, e[2], 0.0), left_out) or near_failure(a, b, e[2]):
                continue
            extra.append(e)
    unreported = []
    if proximity is not None:
        for s in sustained:
            spans = [(r[2], r[3]) for r in records.get(key(s.a, s.b), [])]
            if not any(lo <= s.last + step and hi >= s.first - step for lo, hi in spans):
                unreported.append(s)
    return Check(len(expected), missed, excess, extra, tca_error, miss_error, len(sustained), unreported, covered)


def sample_pairs(text: str, shell_pairs: int, near_pairs: int, start_jd: float, duration: float, seed: int = 0) -> Any:
    """Pairs (rows of catalogue indices) for the brute-force check: every
    formation pair, co-located GEO pair and pair of docked modules, GEO
    pairs less than 100 km apart in longitude drift's reach (mean motions
    within 1e-4 rev/day), and ``shell_pairs`` random pairs of low orbits
    whose mean motions are within 0.03 rev/day (altitudes within about
    10 km: the pairs that can meet), and ``near_pairs`` random pairs of
    those that come within 60 km of each other at a sample of a one-minute
    grid over the span's first day (a k-d tree per sample: slow crossings
    and near misses, where most approaches of the shells are)."""
    lines = text.splitlines()
    names = lines[0::3]
    motion = np.array([float(line[52:63]) for line in lines[2::3]])
    rng = np.random.default_rng(seed)
    out: list[tuple[int, int]] = []
    by_name = {n: k for k, n in enumerate(names)}
    for k, n in enumerate(names):
        if n.endswith("A") and (n.startswith("FORM-") or n.startswith("GEOPAIR-")) and n[:-1] + "B" in by_name:
            out.append((k, by_name[n[:-1] + "B"]))
    docked = [k for k, n in enumerate(names) if n.startswith("ISS (")]
    out += [(a, b) for q, a in enumerate(docked) for b in docked[q + 1 :]]
    geo = np.array([k for k, n in enumerate(names) if n.startswith("GEO-")])
    if geo.size:
        near = np.abs(motion[geo][:, None] - motion[geo][None, :]) < 1e-4
        a, b = np.nonzero(np.triu(near, 1))
        out += [(int(geo[x]), int(geo[y])) for x, y in zip(a, b, strict=True)][:200]
    low = np.flatnonzero(motion > 11.0)
    taken = set(out)
    tries = 0
    goal = len(out) + shell_pairs
    while len(out) < goal and tries < 100 * shell_pairs:
        tries += 1
        a, b = (int(x) for x in rng.choice(low, 2, replace=False))
        if abs(motion[a] - motion[b]) < 0.03 and (min(a, b), max(a, b)) not in taken:
            taken.add((min(a, b), max(a, b)))
            out.append((min(a, b), max(a, b)))
    if near_pairs:
        from scipy.spatial import cKDTree
        from sgp4.api import SatrecArray

        sats = _satrecs(text)
        array = SatrecArray([sats[k] for k in low])
        minutes = np.arange(0.0, min(duration, 86400.0) / 60.0, 1.0)
        found: set[tuple[int, int]] = set()
        for a in range(0, minutes.size, 240):
            _, r, _ = array.sgp4(np.full(minutes[a : a + 240].size, start_jd), minutes[a : a + 240] / 1440.0)
            for k in range(r.shape[1]):
                pos = r[:, k]
                ok = np.isfinite(pos).all(axis=1)
                hits = cKDTree(pos[ok]).query_pairs(60.0, output_type="ndarray")
                rows = np.flatnonzero(ok)[hits]
                found.update(zip(low[rows[:, 0]].tolist(), low[rows[:, 1]].tolist(), strict=True))
        fresh = sorted((min(a, b), max(a, b)) for a, b in found if (min(a, b), max(a, b)) not in taken)
        pick = rng.choice(len(fresh), min(near_pairs, len(fresh)), replace=False) if fresh else []
        out += [fresh[q] for q in sorted(pick)]
    return np.array(out, dtype=np.int64)


# --- The real-like catalogue.

REAL_DATE = "2024-01-08T00:00:00"
REAL_JD = 2460317.5  # REAL_DATE as the sgp4 package counts it (UTC Julian date)


def _screen_options(**options: Any) -> dict[str, Any]:
    """The options this velarion's ``screen`` has."""
    known = inspect.signature(screen).parameters
    return {k: v for k, v in options.items() if k in known}


def child(mode: str, days: float, out: str) -> None:
    """One screen of the real-like catalogue (all-vs-all, or every STARLINK
    as a primary), timed; its peak resident memory; the events as rows."""
    text = realistic_catalogue(REAL_DATE, seed=0)
    tles = load_tles(text)
    primaries = [t for t in tles if t.name.startswith("STARLINK")] if mode == "primaries" else None
    before = resource.getrusage(resource.RUSAGE_SELF)
    t = time.perf_counter()
    result = screen(tles, REAL_DATE, days * 86400.0, THRESHOLD, primaries=primaries)
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_SELF)
    peak = after.ru_maxrss * 1024
    # Processor time of all threads: on a shared machine, what the screen cost
    # whatever the others ran (the wall time on an idle machine is about this
    # over the cores, the search and refinement being parallel).
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    events, records = event_rows(result, Time(REAL_DATE))
    starlink = {t.satnum for t in tles if t.name.startswith("STARLINK")}
    report = {
        "objects": len(tles),
        "primaries": 0 if primaries is None else len(primaries),
        "wall": wall,
        "cpu": cpu,
        "load": os.getloadavg(),
        "peak": peak,
        "events": events,
        "records": records,
        "with_starlink": sum(1 for e in events if e[0] in starlink or e[1] in starlink),
        "failures": [
            (f.satellite, None if f.epoch is None else float(f.epoch - Time(REAL_DATE))) for f in result.failures
        ],
    }
    pathlib.Path(out).write_text(json.dumps(report))


def _run_child(mode: str, days: float) -> dict[str, Any]:
    out = pathlib.Path(f"/tmp/bench_conjunctions_{mode}_{time.time_ns()}.json")
    try:
        subprocess.run([sys.executable, __file__, "--child", mode, "--days", str(days), "--out", str(out)], check=True)
        return json.loads(out.read_text())
    finally:
        out.unlink(missing_ok=True)


def real_like(days: float, kdtree_hours: float, shell_pairs: int, near: int) -> int:
    duration = days * 86400.0
    everything = _run_child("all", days)
    primaries = _run_child("primaries", days)
    print()
    print(f"Real-like catalogue: {everything['objects']} objects, {days:g} days from {REAL_DATE} UTC, 5 km")
    print()
    print("| case | velarion | processor time | load (1, 5, 15 min) | peak memory | events | proximity | failures |")
    print("|---|---|---|---|---|---|---|---|")
    for label, run in (
        ("all-vs-all", everything),
        (f"{primaries['primaries']:,} STARLINK primaries", primaries),
    ):
        load = ", ".join(f"{x:.1f}" for x in run["load"])
        print(
            f"| {label} | {run['wall']:.1f} s | {run['cpu']:.1f} s | {load} | {run['peak'] / 2**30:.2f} GiB | "
            f"{len(run['events'])} | {len(run['records'])} | {len(run['failures'])} |"
        )
    same = primaries["with_starlink"] == everything["with_starlink"]
    print(
        f"\nprimaries / all-vs-all time: {primaries['wall'] / everything['wall']:.2f}; events with a STARLINK: "
        f"{primaries['with_starlink']} / {everything['with_starlink']} ({'same' if same else 'DIFFERENT'})"
    )
    print(f"events a day: {len(everything['events']) / days:.0f}")
    failed = sorted(t for _, t in everything["failures"] if t is not None)
    print(f"failures within the span: {len(failed)}, at days {[round(t / 86400.0, 2) for t in failed]}")

    # The k-d tree screen and velarion on the same hours of the whole catalogue.
    text = realistic_catalogue(REAL_DATE, seed=0)
    tles = load_tles(text)
    span = kdtree_hours * 3600.0
    t = time.perf_counter()
    ours = screen(tles, REAL_DATE, span, THRESHOLD, **_screen_options(proximity=None))
    tv = time.perf_counter() - t
    t = time.perf_counter()
    reference = kdtree_screen(tles, REAL_DATE, span, THRESHOLD)
    tp = time.perf_counter() - t
    missed = misses(tles, ours, reference, REAL_DATE)
    print()
    print("| case | velarion | k-d tree every 5 s | ratio | events (velarion / k-d tree) | missed |")
    print("|---|---|---|---|---|---|")
    print(
        f"| {len(tles)} real-like all-vs-all, {kdtree_hours:g} h, 5 km | {tv:.2f} s | {tp:.1f} s | {tp / tv:.1f}x | "
        f"{len(ours)} / {len(reference)} | {len(missed)} |"
    )

    # The brute-force check of sampled pairs against the all-vs-all run.
    t = time.perf_counter()
    pairs = sample_pairs(text, shell_pairs, near, REAL_JD, duration)
    dense = dense_minima(text, pairs, REAL_JD, duration, THRESHOLD)
    proximity = inspect.signature(screen).parameters.get("proximity")
    rows = ([tuple(e) for e in everything["events"]], [tuple(r) for r in everything["records"]])
    check = compare(
        dense, rows, [t.satnum for t in tles], 30.0, THRESHOLD, None if proximity is None else proximity.default
    )
    tb = time.perf_counter() - t
    print()
    print(
        f"brute-force check ({tb:.0f} s): {len(pairs)} pairs, {check.expected} minima below 5 km, "
        f"{len(check.missed)} missed, {len(check.covered)} inside a record of sustained proximity without "
        f"an event of their own, {len(check.extra)} events not in the sampling; "
        f"largest TCA difference {check.tca_error['fast'] * 1e3:.3f} ms (>= {SLOW:g} m/s), "
        f"{check.tca_error['slow'] * 1e3:.3f} ms (slower); largest miss-distance difference "
        f"{max(check.miss_error.values()) * 1e3:.3f} mm, of the distance at the TCA over the minimum "
        f"{max(check.excess.values()) * 1e3:.3f} mm; {check.stretches} sustained stretches, "
        f"{len(check.stretches_unreported)} without a record"
    )
    for m in check.missed[:10]:
        print(f"  missed: {tles[m.a].name} / {tles[m.b].name} at {m.seconds:.1f} s, {m.distance:.1f} m")
    for m in check.covered[:10]:
        print(f"  in a record: {tles[m.a].name} / {tles[m.b].name} at {m.seconds:.1f} s, {m.distance:.1f} m")
    bad = check.missed or check.extra or check.stretches_unreported or missed or not same
    return 1 if bad else 0


def small_cases() -> int:
    tles, vel, peer = _all_vs_all()
    t = time.perf_counter()
    events = vel()
    tv = time.perf_counter() - t
    t = time.perf_counter()
    reference = peer()
    tp = time.perf_counter() - t
    missed = misses(tles, events, reference)
    print("| case | velarion | k-d tree every 5 s | ratio | events (velarion / k-d tree) | missed |")
    print("|---|---|---|---|---|---|")
    print(
        f"| 3,000 LEO all-vs-all, 1 day, 5 km | {tv:.2f} s | {tp:.1f} s | {tp / tv:.1f}x | "
        f"{len(events)} / {len(reference)} | {len(missed)} |"
    )
    _, one = _one_primary()
    t = time.perf_counter()
    found = one()
    to = time.perf_counter() - t
    print(f"| 1 vs 20,000 LEO, 7 days, 5 km | {to:.2f} s | - | - | {len(found)} | - |")
    return 1 if missed else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=float, default=7.0, help="span of the real-like catalogue's screens")
    parser.add_argument("--kdtree-hours", type=float, default=2.0, help="span of the k-d tree comparison")
    parser.add_argument("--pairs", type=int, default=1000, help="random pairs of the brute-force check")
    parser.add_argument("--near", type=int, default=1000, help="random near pairs of the brute-force check")
    parser.add_argument("--skip-small", action="store_true", help="only the real-like catalogue")
    parser.add_argument("--child", choices=("all", "primaries"), help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.days, args.out)
        return 0
    status = 0 if args.skip_small else small_cases()
    return real_like(args.days, args.kdtree_hours, args.pairs, args.near) or status


if __name__ == "__main__":
    sys.exit(main())
