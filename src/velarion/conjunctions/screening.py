"""``screen``: the checks of its arguments, the primaries, and the steps of a
screening from the intake to the results.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions.results import Conjunctions
from velarion.propagators.analytical.sgp4.sgp4 import (
    SGP4,
)
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.propagators.failures import Failure
from velarion.time.time import Time
from velarion.utils.progress import Progress, ProgressCallback
from velarion.utils.threads import resolve_threads

from . import risk
from .intake import _Catalogue, _intake
from .refine import _Found
from .results import _results
from .search import _Search

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_PROXIMITY = 7200.0  # s: the default shortest stretch of sustained proximity
_MAX_SAMPLES = 1.0e6  # coarse samples of a span at a given step


def _resolve_primaries(primaries: Any, satellites: list[Any]) -> list[int]:
    """Indices of the primaries among the satellites (appended there when
    they are other objects)."""
    if isinstance(primaries, (ELSET, SGP4, int)):
        primaries = [primaries]
    picked: list[int] = []
    # Maps built once: a catalogue of primaries is as long as the catalogue.
    by_identity: dict[int, int] = {}
    by_satnum: dict[int, list[int]] = {}
    for k, s in enumerate(satellites):
        by_identity.setdefault(id(s), k)
        satnum = getattr(s.tle if isinstance(s, SGP4) else s, "satnum", None)
        if isinstance(satnum, int):
            by_satnum.setdefault(satnum, []).append(k)
    for p in primaries:
        if isinstance(p, (int, np.integer)) and not isinstance(p, bool):
            hits = by_satnum.get(int(p), [])
            if not hits:
                raise ValueError(f"no satellite with catalogue number {int(p)} to screen as a primary")
            picked.extend(hits)
            continue
        if id(p) not in by_identity:
            satellites.append(p)
            by_identity[id(p)] = len(satellites) - 1
        picked.append(by_identity[id(p)])
    return sorted(set(picked))


def screen(
    satellites: Any,
    start: Any,
    duration: float,
    threshold: float = 5000.0,
    *,
    primaries: Any = None,
    errors: str = "report",
    threads: int | None = None,
    step: float | None = None,
    progress: ProgressCallback | None = None,
    proximity: float | None = _PROXIMITY,
    proximity_minima: bool = True,
    covariances: Any = None,
    hbr: float | None = None,
    covariance_frame: str = "RTN",
) -> Conjunctions:
    """Close approaches below ``threshold`` [m] from ``start`` for ``duration`` [s].

    ``satellites``: a sequence of ``TLE`` (or other ``ELSET``) and ``SGP4``
    propagators. All pairs are screened, or with ``primaries`` (satellites,
    or catalogue numbers of satellites in the list) each primary against
    every other satellite. Returns a ``Conjunctions`` list of
    ``Conjunction`` events sorted by TCA, one per local minimum of the
    distance below the threshold; in an event the primary is the primary
    of the pair, or the satellite listed first when both or neither are.
    ``failures`` lists the satellites left out (``errors="raise"`` raises
    the first failure instead); a satellite the model stops following
    within the span keeps its approaches until then, and its failure gives
    the time. ``threads``: threads of the search (default: every core);
    ``step``: the coarse sampling step [s] (default: chosen from the
    orbits; see ``velarion.conjunctions.search``). ``progress``: a callable
    ``progress(done, total)`` told the seconds of the span screened.

    ``proximity`` [s] (default 7200, two hours): a pair that stays closer
    than the threshold for at least that long is one ``Proximity`` record
    per stretch in ``Conjunctions.proximity`` (start, end, smallest
    distance and its time). Its minima stay events too, unless
    ``proximity_minima=False`` (a formation flies within the threshold all
    day: one record instead of one event per orbit). Pairs that share
    (nearly) one state, which have no minimum to list, are always recorded
    there, ``colocated`` true, whatever ``proximity`` (None: no other
    stretches are recorded).

    ``covariances``, ``hbr`` [m] and ``covariance_frame``: each event's
    ``pc`` (see ``velarion.conjunctions.risk``).

    The work streams over windows of time within the memory budget
    (``velarion.utils.budget``); a screening that cannot fit it raises
    ``MemoryBudgetError`` with what to reduce.
    """
    if errors not in ("report", "raise"):
        raise ValueError(f"errors must be 'report' or 'raise', got {errors!r}")
    duration = float(duration)
    threshold = float(threshold)
    if not (math.isfinite(duration) and duration > 0.0):
        raise ValueError(f"the span must be a positive number of seconds, got {duration!r}")
    if not (math.isfinite(threshold) and threshold > 0.0):
        raise ValueError(f"the threshold must be a positive number of metres, got {threshold!r}")
    if step is not None and not (math.isfinite(float(step)) and float(step) > 0.0):
        raise ValueError(f"the step must be a positive number of seconds, got {step!r}")
    if step is not None and duration / float(step) > _MAX_SAMPLES:
        raise ValueError(f"{duration / float(step):.3g} samples (span / step) is too many; take a larger step")
    if proximity is not None:
        proximity = float(proximity)
        if not (math.isfinite(proximity) and proximity >= 0.0):
            raise ValueError(f"proximity must be a non-negative number of seconds or None, got {proximity!r}")
    threads = resolve_threads(threads)
    report = Progress(duration, progress)
    start = start if isinstance(start, Time) else Time(start)
    start = start.utc
    if start.shape != ():
        raise ValueError("the start of the span must be a single epoch")

    sats = list(satellites) if not isinstance(satellites, (ELSET, SGP4)) else [satellites]
    lookup = None if covariances is None else risk.CovarianceLookup(sats, covariances, covariance_frame, hbr)
    chosen = None if primaries is None else _resolve_primaries(primaries, sats)
    intake = _intake(sats, (start, duration))
    maybe, failures = intake.objects, intake.failures
    if errors == "raise" and failures:
        raise failures[0].error
    index = [k for k, o in enumerate(maybe) if o is not None]
    objects = [o for o in maybe if o is not None]
    found = _Found()
    cat = _Catalogue(objects, intake.records, start, duration, threads)
    if len(objects) >= 2 and (chosen is None or chosen):
        is_primary = np.zeros(len(maybe), dtype=bool)
        if chosen is not None:
            is_primary[chosen] = True
        cat.is_primary = is_primary[index] if chosen is not None else None
        search = _Search(cat, cat.is_primary, threshold, threads, step, report)
        found = search.run()
    for k, (error, epoch) in sorted(cat.failed.items()):
        if errors == "raise":
            raise error
        failures.append(Failure(index[k], objects[k].name, objects[k].satnum, epoch, error))
    failures.sort(key=lambda f: f.index)
    events, stretches = _results(cat, found, proximity, bool(proximity_minima))
    if lookup is not None:
        risk.attach_pc(events, lookup)
    report.close()
    return Conjunctions(events, failures, stretches)
