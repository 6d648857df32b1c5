"""Close approaches between the satellites of a catalogue.

``screen(satellites, start, duration, threshold=5000.0, *, primaries=None)``
lists every local minimum of the distance between two satellites that falls
below ``threshold`` metres within ``duration`` seconds from ``start``: all
pairs, or each of ``primaries`` against every other satellite. Each event
gives the time of closest approach (TCA), the miss distance, its radial,
in-track and cross-track components in the primary's RSW axes (R along the
primary's position, W along r x v, S = W x R; see
``velarion.frames.LocalOrbitalFrame``) and the relative speed. The states
are SGP4's, in TEME: the miss vector and the relative velocity are those of
the TEME states, an inertial frame in which RSW axes and relative speeds are
what they are in GCRF up to the frame's own slow rotation (precession and
nutation, about 1e-11 rad/s), far below a millimetre per second here.

How no approach is missed
-------------------------
The span is sampled every ``step`` seconds (a whole fraction of the span);
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
derivatives); every segment holding a true distance below the threshold is
kept. (The cells of its hash grid are sized by all but the widest few
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

Each kept segment is then evaluated with SGP4 at its ends: a local minimum
of the distance is a sign change of rho . drho/dt from negative to positive
(minima of the distance between two orbits are at least a good fraction of
an orbit apart, so a segment of at most 90 s holds at most one). The
bracket is narrowed by safeguarded Newton steps on the range rate with
SGP4's states, then polished on SGP4's positions alone (Newton steps on
d|rho|^2/dt from central differences of the positions): SGP4's velocity is
not the exact derivative of its position, and for slow encounters
(co-located geostationary pairs at 1.5 m/s) the root of rho . drho with it
lies seconds from the minimum of the distance. The TCA is the minimum of
the distance between the model's positions, to a microsecond for fast
encounters and as far as the positions' rounding (about 1e-8 m) resolves
it for slow ones; the miss distance is within a millimetre of the minimum.
Only minima inside the span are events. The refinement runs in C++ on the
SGP4 records (``_screen.refine``), on every core.

The span is screened in windows of coarse samples, one after the other:
each window's states, candidates and refinement fit the memory budget
(``velarion.utils.budget``) whatever the span, and progress and interrupts
are looked at between windows and within the compiled loops. Windows share
their end samples and segments are numbered over the whole span, so a
minimum falls in exactly one segment of one window, and is found once. A
window whose candidates would not fit the budget is split; when one step
of the search cannot fit (a threshold of thousands of kilometres over a
large catalogue), ``MemoryBudgetError`` says what to reduce.

Sustained proximity: the refinement also gives each candidate segment's
end distances; runs of consecutive segments whose ends are all within the
threshold (the relative path over a segment is nearly straight, so the
pair stays close in between) are stretches, reported as ``Proximity``
records when they last ``proximity`` seconds or more, and always when the
pair is co-located (largest distance below 100 m: one element set under two
numbers, whose distance has no minimum to list).

The model is SGP4/SDP4 as the ``sgp4`` package runs it (``Satrec``, with
the elements and gravity model ``SGP4`` initialises it with), in a C++ port
of its own: records built once per satellite, states computed on every core
without the interpreter lock, for the samples and the refinement alike.

A satellite whose element set SGP4 cannot initialise is reported in
``failures`` and takes no part in any event. One that fails within the span
(decay, a model error) is reported there with the time of the failure (to a
second) and keeps its approaches until then: it takes part in the
intervals before the first sample where the model fails. The others are
screened as usual.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions import _screen, risk
from velarion.conjunctions.results import Conjunction, Conjunctions, Proximity
from velarion.passes.satellites import Failure
from velarion.propagators.analytical.sgp4 import _compiled
from velarion.propagators.analytical.sgp4.sgp4 import (
    NON_FINITE,
    SGP4,
    SGP4Error,
    epoch_text,
    sgp4_jd,
    sgp4init_rows,
)
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.time.time import Time
from velarion.utils.budget import MemoryBudgetError, check_fits, format_bytes, items_within, memory_budget
from velarion.utils.progress import Progress, ProgressCallback

__all__ = ["Conjunction", "Conjunctions", "Failure", "Proximity", "screen"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]

# The model's Earth gravitational parameter (WGS72, what element sets are fitted with) [m^3/s^2].
_MU = 3.986008e14
_SHELL_MARGIN = 5.0e4  # m, on the radial range of each satellite
_SNAP_MARGIN = 1.25  # on the two-body fourth derivative
_VELOCITY_ERROR = 1e-3  # of the largest speed
_TARGET_BOUND = 1.0e4  # m: the interpolation bound the default step aims at for most satellites
_SEGMENT = 90.0  # s, longest segment of the candidate search
_FACTOR = 2  # with primaries, the first pass's step in steps
_PROXIMITY = 7200.0  # s: the default shortest stretch of sustained proximity
_COLOCATED = 100.0  # m: largest distance of a pair taken as one state
_GRID_SHARE = 64  # primaries from one satellite in this many: the all-vs-all grid
_MAX_SAMPLES = 1.0e6  # coarse samples of a span at a given step
_MAX_STATES = 2.0e9  # coarse states of all the satellites over the span
_WINDOW_STATES = 400_000  # satellites x intervals of one window: its work stays well under a second a core
_STATE_BYTES = 6 * 8 + 1  # a coarse state and its code
_CANDIDATE_BYTES = 16 + 200  # a candidate segment in the search and in its refinement
_MAX_DAYS = 36500.0  # from an element set's epoch: the compiled model refuses longer spans
_NON_FINITE_CODE = 255  # the compiled model's code of a non-finite state without an error


# The model's Earth constants by name, as the compiled records number them.
_GRAVITY_CODES = {"wgs72old": 0, "wgs72": 1, "wgs84": 2}


@dataclass
class _Object:
    name: str
    satnum: int | None
    record: int  # row of the satellite in the compiled SGP4 records


@dataclass
class _Intake:
    """The satellites that start, the failures of those that do not, and
    the compiled SGP4 records (built once from the element sets)."""

    objects: list[_Object | None]
    failures: list[Failure]
    records: Any


def _intake(satellites: Any, span: tuple[Time, float] | None = None) -> _Intake:
    """SGP4 records of TLEs, other element sets and SGP4 propagators (the
    elements and gravity model ``SGP4`` initialises the model with); None
    (and a failure) where the model cannot start, or where the span (start,
    duration) lies more than a century from the element set's epoch."""
    if isinstance(satellites, (ELSET, SGP4)):
        satellites = [satellites]
    elsets: list[ELSET] = []
    gravity = bytearray()
    for k, sat in enumerate(satellites):
        if isinstance(sat, SGP4):
            elset, model = sat.tle, sat.gravity
        elif isinstance(sat, ELSET):
            elset, model = sat, "wgs72"
        else:
            raise TypeError(
                f"satellite {k} must be a TLE, another ELSET or an SGP4 propagator, not {type(sat).__name__}"
            )
        if elset is None:
            raise TypeError(f"satellite {k} is an SGP4 propagator without an element set")
        if not isinstance(elset, ELSET):
            raise TypeError(f"satellite {k} is an SGP4 propagator of a {type(elset).__name__}, not an ELSET")
        if model not in _GRAVITY_CODES:
            raise ValueError(f"satellite {k}: unknown gravity model {model!r}")
        elsets.append(elset)
        gravity.append(_GRAVITY_CODES[model])
    rows = sgp4init_rows(elsets)
    records, codes = _compiled.sgp4_records(rows, bytes(gravity))
    far = np.zeros(len(elsets), dtype=bool)
    if span is not None and len(elsets):
        jd1, jd2 = sgp4_jd(span[0] + np.array([0.0, span[1]]))
        days = (jd1[:, None] - rows[:, 0]) + (jd2[:, None] - rows[:, 1])
        far = np.abs(days).max(axis=0) > _MAX_DAYS
    objects: list[_Object | None] = []
    failures: list[Failure] = []
    for k, (elset, code) in enumerate(zip(elsets, codes.tolist(), strict=True)):
        satnum = getattr(elset, "satnum", None)
        name = elset.name or (str(satnum) if satnum is not None else f"#{k}")
        if code:
            objects.append(None)
            failed = SGP4Error(code, 0, str(elset.epoch.utc.iso), satnum)
            failures.append(Failure(k, name, satnum, elset.epoch.utc, failed))
        elif far[k]:
            objects.append(None)
            error = ValueError(f"the span lies more than a century from the element set's epoch {elset.epoch.utc.iso}")
            failures.append(Failure(k, name, satnum, None, error))
        else:
            objects.append(_Object(name, satnum, k))
    return _Intake(objects, failures, records)


def _first_failure(codes: Array) -> tuple[int, int]:
    """(index, code) of the first state the compiled model did not give
    (its code 255: a non-finite state without an error of the model's)."""
    j = int(np.argmax(codes != 0))
    code = int(codes[j])
    return j, NON_FINITE if code == _NON_FINITE_CODE else code


def _osculating(r: Array, v: Array) -> tuple[Array, Array]:
    """Semi-major axis and eccentricity of two-body orbits through (r, v)."""
    rn = np.linalg.norm(r, axis=-1)
    energy = 0.5 * np.einsum("...i,...i->...", v, v) - _MU / rn
    a = -_MU / (2.0 * energy)
    h = np.linalg.norm(np.cross(r, v), axis=-1)
    e = np.sqrt(np.maximum(0.0, 1.0 - h * h / (_MU * a)))
    return a, e


def _snap_bound(a: Array, e: Array) -> Array:
    """Largest |d^4 r / dt^4| of two-body motion on ellipses (a, e), from
    256 points of eccentric anomaly (denser in time near perigee), with the
    margin for the other forces."""
    return np.asarray(_SNAP_MARGIN * _screen.snap_bounds(a, e, _MU))


class _Catalogue:
    """The satellites being screened: names, the compiled SGP4 records, and
    the bounds of their paths over the span."""

    def __init__(self, objects: list[_Object], records: Any, start: Time, duration: float, threads: int = 1):
        self.objects = objects
        self.records = records
        self.rows = np.array([o.record for o in objects], dtype=np.int64)
        self.start = start
        self.duration = duration
        self.threads = threads
        # satellite -> (the error, the UTC epoch it happened at or None)
        self.failed: dict[int, tuple[Exception, Time | None]] = {}
        # satellite -> seconds from the start when the model failed (the
        # satellite's approaches until then are kept)
        self.failed_at: dict[int, float] = {}
        self.is_primary: Array | None = None  # per satellite, with primaries

    def jd(self, seconds: Array) -> tuple[Array, Array]:
        return sgp4_jd(self.start + np.asarray(seconds, dtype=np.float64))

    def fail(self, k: int, error: Exception, epoch: Time | None = None) -> None:
        self.failed.setdefault(k, (error, epoch))

    def fail_between(self, ids: Array, good: Array, bad: Array) -> None:
        """The model failed for satellites ``ids`` between ``good`` and
        ``bad`` seconds: the failure's time found to a second by bisection,
        and recorded."""
        ids = np.asarray(ids, dtype=np.intp)
        lo, hi = np.asarray(good, dtype=np.float64).copy(), np.asarray(bad, dtype=np.float64).copy()
        code = np.zeros(ids.size, dtype=np.int64)
        err, _, _ = self.points(ids, hi)
        code[:] = err
        while ids.size and (hi - lo).max() > 1.0:
            mid = 0.5 * (lo + hi)
            err, _, _ = self.points(ids, mid)
            failing = err != 0
            hi = np.where(failing, mid, hi)
            lo = np.where(failing, lo, mid)
            code = np.where(failing, err, code)
        for k, t, c in zip(ids.tolist(), hi.tolist(), code.tolist(), strict=True):
            if k in self.failed:
                continue
            at = self.start + np.array([t])
            c = NON_FINITE if c == _NON_FINITE_CODE else c
            self.failed_at[k] = t
            self.fail(k, SGP4Error(c, 0, epoch_text(at, 0), self.objects[k].satnum), at[0].utc)

    def sample(self, ids: Array, seconds: Array) -> tuple[Array, Array, Array]:
        """States [m, m/s] of satellites ``ids`` (an index array) at common
        epochs: (n, m, 3) arrays and the model's codes (n, m), 0 where it
        gave a state."""
        jd1, jd2 = self.jd(seconds)
        ids = np.asarray(ids, dtype=np.intp)
        err, r, v = _compiled.sgp4_states(self.records, self.rows[ids], jd1, jd2, self.threads)
        return err, r, v

    def points(self, ids: Array, seconds: Array) -> tuple[Array, Array, Array]:
        """States [m, m/s] of satellite ids[q] at seconds[q]: the model's
        codes (n,) and (n, 3) arrays, NaN where the model failed."""
        ids = np.asarray(ids, dtype=np.intp)
        seconds = np.asarray(seconds, dtype=np.float64)
        if ids.size == 0:
            return np.zeros(0, np.uint8), np.zeros((0, 3)), np.zeros((0, 3))
        jd1, jd2 = self.jd(seconds)
        err, r, v = _compiled.sgp4_points(self.records, self.rows[ids], jd1, jd2, self.threads)
        bad = err != 0
        if bad.any():
            r[bad] = np.nan
            v[bad] = np.nan
        return err, r, v

    def states(self, ids: Array, seconds: Array) -> tuple[Array, Array]:
        """States [m, m/s] of satellite ids[q] at seconds[q]; NaN rows where
        the model fails."""
        _, r, v = self.points(ids, seconds)
        return r, v


def _bounds(cat: _Catalogue, ids: Array) -> tuple[Array, Array, Array, Array, Array]:
    """Per satellite: lowest and highest radius over the span, largest speed
    and fourth-derivative bound (from the osculating ellipses at the span's
    start and end, or a minute before the model fails); the ids that
    propagate at the start."""
    ids = np.asarray(ids, dtype=np.intp)
    err, r, v = cat.sample(ids, np.array([0.0, cat.duration]))
    at_start = err[:, 0] != 0
    if at_start.any():
        for row in np.flatnonzero(at_start):
            k = int(ids[row])
            code = NON_FINITE if int(err[row, 0]) == _NON_FINITE_CODE else int(err[row, 0])
            cat.failed_at[k] = 0.0
            cat.fail(
                k, SGP4Error(code, 0, epoch_text(cat.start + np.array([0.0]), 0), cat.objects[k].satnum), cat.start
            )
        ids, err, r, v = ids[~at_start], err[~at_start], r[~at_start], v[~at_start]
    at_end = np.flatnonzero(err[:, 1] != 0)
    if at_end.size:
        # Decaying within the span: the end state a minute before the failure.
        cat.fail_between(ids[at_end], np.zeros(at_end.size), np.full(at_end.size, cat.duration))
        before = np.array([max(0.0, cat.failed_at.get(int(ids[q]), cat.duration) - 60.0) for q in at_end])
        _, r_end, v_end = cat.points(ids[at_end], before)
        r[at_end, 1], v[at_end, 1] = r_end, v_end
    a, e = _osculating(r, v)
    bound_ok = np.isfinite(a).all(axis=1) & (a > 0).all(axis=1) & (e < 1.0).all(axis=1)
    for k in ids[~bound_ok]:
        cat.failed_at.setdefault(int(k), 0.0)
        cat.failed.pop(int(k), None)
        cat.fail(int(k), ValueError("the orbit is not an ellipse at the start or the end of the span"))
    ids, a, e = ids[bound_ok], a[bound_ok], e[bound_ok]
    r_min = (a * (1.0 - e)).min(axis=1) - _SHELL_MARGIN
    r_max = (a * (1.0 + e)).max(axis=1) + _SHELL_MARGIN
    a_high = a.max(axis=1)
    speed = np.sqrt(_MU * (2.0 / np.maximum(r_min, 1.0e6) - 1.0 / a_high))
    snap = np.maximum(_snap_bound(a[:, 0], e[:, 0]), _snap_bound(a[:, 1], e[:, 1]))
    return ids, r_min, r_max, speed, snap


def _interpolation_bound(snap: Array, speed: Array, step: float) -> Array:
    return np.asarray(snap * step**4 / 384.0 + step * _VELOCITY_ERROR * speed / 4.0)


def _choose_step(snap: Array, speed: Array, duration: float) -> float:
    """The coarse step: the longest (up to 15 minutes) at which nine
    satellites in ten have an interpolation bound within 10 km, shortened
    to a whole fraction of the span."""
    steps = np.geomspace(30.0, 900.0, 24)
    within = np.array([np.mean(_interpolation_bound(snap, speed, s) <= _TARGET_BOUND) for s in steps])
    ok = steps[within >= 0.9]
    step = float(ok.max()) if ok.size else 30.0
    return duration / math.ceil(duration / step)


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
    orbits; see the module's docstring). ``progress``: a callable
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
    if threads is None:
        threads = _screen.hardware_threads()
    elif not (isinstance(threads, int) and threads >= 1):
        raise ValueError(f"threads must be a positive integer, got {threads!r}")
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
        dt = (
            _choose_step(snap, speed, cat.duration)
            if self.step is None
            else cat.duration / math.ceil(cat.duration / self.step)
        )
        # With few primaries, a first pass at twice the step (its own, larger
        # bound) keeps the pairs and intervals that may hold an approach; only
        # their secondaries are sampled at the step's midpoints for the pass at
        # the step. Both passes are proven as above: no approach is lost, and
        # half the secondaries' samples are saved.
        # (An even number of steps in both modes: the same segments, so the
        # same events to the last digit, with or without primaries.)
        factor = _FACTOR if is_primary is not None and not many_primaries else 1
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
        """The minima of candidate segments (satellites pi < pj), and the
        segments where the pair is within the threshold at both ends."""
        if pi.size == 0:
            return
        keys = np.unique(np.stack([pi, pj, segment], axis=1), axis=0)
        pi, pj, segment = keys[:, 0], keys[:, 1], keys[:, 2]
        cat, delta = self.cat, self.found.delta
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
            self.threshold,
            self.threads,
        )
        hit = (status == 1) & (tca >= 0.0) & (tca <= cat.duration)
        if hit.any():
            miss = np.linalg.norm(states[hit, 6:9] - states[hit, 0:3], axis=1)
            near = np.flatnonzero(hit)[miss < self.threshold]
            self.found.pi.append(pi[near])
            self.found.pj.append(pj[near])
            self.found.tca.append(tca[near])
            self.found.states.append(states[near])
        close = (status != 2) & (ends < self.threshold).all(axis=1)
        if close.any():
            self.found.close_i.append(pi[close])
            self.found.close_j.append(pj[close])
            self.found.close_segment.append(segment[close])
            self.found.close_ends.append(ends[close])


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


def _stretches(found: _Found, duration: float) -> list[tuple[int, int, float, float, float, float, float]]:
    """Runs of consecutive segments where a pair stays within the threshold:
    (i, j, start [s], end [s], smallest end distance, its time, largest)."""
    ci = found.column("close_i", np.int64)
    if ci.size == 0:
        return []
    cj = found.column("close_j", np.int64)
    seg = found.column("close_segment", np.int64)
    ends = found.column("close_ends", np.float64, (2,))
    order = np.lexsort((seg, cj, ci))
    ci, cj, seg, ends = ci[order], cj[order], seg[order], ends[order]
    # A run breaks where the pair changes or a segment is skipped.
    brk = np.ones(ci.size, dtype=bool)
    brk[1:] = (ci[1:] != ci[:-1]) | (cj[1:] != cj[:-1]) | (seg[1:] != seg[:-1] + 1)
    first = np.flatnonzero(brk)
    last = np.append(first[1:], ci.size) - 1
    delta = found.delta
    low = ends.min(axis=1)
    low_at = (seg + np.argmin(ends, axis=1)) * delta
    out = []
    for a, b in zip(first.tolist(), last.tolist(), strict=True):
        q = a + int(np.argmin(low[a : b + 1]))
        out.append(
            (
                int(ci[a]),
                int(cj[a]),
                float(seg[a] * delta),
                min(float((seg[b] + 1) * delta), duration),
                float(low[q]),
                min(float(low_at[q]), duration),
                float(ends[a : b + 1].max()),
            )
        )
    return out


def _results(
    cat: _Catalogue, found: _Found, proximity: float | None, minima: bool
) -> tuple[list[Conjunction], list[Proximity]]:
    """The events (sorted by TCA) and the stretches of sustained proximity."""
    pi = found.column("pi", np.int64)
    pj = found.column("pj", np.int64)
    tca = found.column("tca", np.float64)
    states = found.column("states", np.float64, (12,))
    # One event per minimum: a minimum polished across a segment's end may
    # come from both segments.
    if pi.size:
        order = np.lexsort((tca, pj, pi))
        pi, pj, tca, states = pi[order], pj[order], tca[order], states[order]
        twin = np.zeros(pi.size, dtype=bool)
        twin[1:] = (pi[1:] == pi[:-1]) & (pj[1:] == pj[:-1]) & (np.abs(tca[1:] - tca[:-1]) < 1e-3)
        pi, pj, tca, states = pi[~twin], pj[~twin], tca[~twin], states[~twin]
    miss = np.linalg.norm(states[:, 6:9] - states[:, 0:3], axis=1)
    keep = np.ones(pi.size, dtype=bool)
    records: list[Proximity] = []
    key = pi * len(cat.objects) + pj
    for i, j, t0, t1, low, low_at, largest in _stretches(found, cat.duration):
        colocated = largest < _COLOCATED
        if not colocated and (proximity is None or t1 - t0 < proximity):
            continue
        lo, hi = (
            np.searchsorted(key, i * len(cat.objects) + j, side="left"),
            np.searchsorted(key, i * len(cat.objects) + j, side="right"),
        )
        inside = lo + np.flatnonzero((tca[lo:hi] >= t0) & (tca[lo:hi] <= t1))
        if inside.size:
            q = int(inside[np.argmin(miss[inside])])
            if miss[q] < low:
                low, low_at = float(miss[q]), float(tca[q])
            if not minima:
                keep[inside] = False
        p, s = cat.objects[i], cat.objects[j]
        records.append(
            Proximity(
                p.name,
                p.satnum,
                s.name,
                s.satnum,
                cat.start + t0,
                cat.start + t1,
                low,
                cat.start + low_at,
                largest,
                colocated,
            )
        )
    records.sort(key=lambda x: (float(x.start - cat.start), x.primary_satnum or 0, x.secondary_satnum or 0))
    pi, pj, tca, states, miss = pi[keep], pj[keep], tca[keep], states[keep], miss[keep]
    # The primary of each event: the primary of the pair, else the first listed (pi < pj).
    is_primary = cat.is_primary
    swap = np.zeros(pi.size, bool) if is_primary is None else (~is_primary[pi] & is_primary[pj])
    if swap.any():
        pi, pj = np.where(swap, pj, pi), np.where(swap, pi, pj)
        states = np.where(swap[:, None], np.concatenate([states[:, 6:], states[:, :6]], axis=1), states)
    ri, vi = states[:, 0:3], states[:, 3:6]
    rho, drho = states[:, 6:9] - ri, states[:, 9:12] - vi
    # RSW components in the primary's axes.
    radial_axis = ri / np.linalg.norm(ri, axis=1, keepdims=True)
    normal = np.cross(ri, vi)
    cross_axis = normal / np.linalg.norm(normal, axis=1, keepdims=True)
    along_axis = np.cross(cross_axis, radial_axis)
    radial = np.einsum("ij,ij->i", rho, radial_axis)
    in_track = np.einsum("ij,ij->i", rho, along_axis)
    cross_track = np.einsum("ij,ij->i", rho, cross_axis)
    rel_speed = np.linalg.norm(drho, axis=1)
    order = np.lexsort((pj, pi, tca))
    states = np.ascontiguousarray(states[order])
    names = [(o.name, o.satnum) for o in cat.objects]
    columns = zip(
        pi[order].tolist(),
        pj[order].tolist(),
        tca[order].tolist(),
        miss[order].tolist(),
        radial[order].tolist(),
        in_track[order].tolist(),
        cross_track[order].tolist(),
        rel_speed[order].tolist(),
        strict=True,
    )
    events = [
        Conjunction._columnar((*names[i], *names[j]), (d, x, y, z, u), cat.start, t, states, row)
        for row, (i, j, t, d, x, y, z, u) in enumerate(columns)
    ]
    return events, records
