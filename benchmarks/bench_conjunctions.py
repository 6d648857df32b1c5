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
none of the peer's (TCA within 1 ms).

Cases: 3,000 low orbits all-vs-all over one day at 5 km; one primary
against 20,000 over seven days at 5 km (velarion alone; the goal is a time).
The catalogues are ``velarion.conjunctions.catalogue.sample_catalogue``
(fixed seeds).

    python benchmarks/bench_conjunctions.py      # one run of each, with the miss check
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.conjunctions import screen
from velarion.conjunctions.catalogue import sample_catalogue
from velarion.propagators.analytical.sgp4 import SGP4, load_tles
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
    from sgp4.api import SatrecArray

    sats = [SGP4(t).satrec() for t in tles]
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


def misses(tles, events, reference):
    """The peer's events that velarion does not report (pair and TCA within 1 ms)."""
    index = {t.satnum: k for k, t in enumerate(tles)}
    t0 = Time(START)
    mine = {}
    for e in events:
        pair = tuple(sorted((index[e.primary_satnum], index[e.secondary_satnum])))
        mine.setdefault(pair, []).append(float(e.tca - t0))
    return [x for x in reference if not any(abs(t - x[2]) < 1e-3 for t in mine.get(x[:2], []))]


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


def main() -> int:
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


if __name__ == "__main__":
    sys.exit(main())
