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
kept. Pairs whose radial ranges (perigee to apogee of the osculating
ellipses at the start and the end, widened by 50 km) do not come within the
threshold are never compared; with primaries, satellites whose radial range
meets no primary's are not even propagated. With primaries the search runs
twice: first at twice the step (with the bound E of that step), then, for
the intervals and pairs the first pass keeps, at the step, sampling only
those satellites at the intervals' midpoints. Each pass keeps every segment
that holds a true distance below the threshold, so the second does too.

Each kept segment is then evaluated with SGP4 at its ends: a local minimum
of the distance is a sign change of rho . drho/dt from negative to positive
(minima of the distance between two orbits are at least a good fraction of
an orbit apart, so a segment of at most 90 s holds at most one). The
bracket is refined by safeguarded Newton steps on the range rate with SGP4's
own states to 1 microsecond, which puts the miss distance within a
millimetre of its minimum. Only minima inside the span are events.

The model is SGP4/SDP4 as the ``sgp4`` package runs it (``Satrec``, with
the elements and gravity model ``SGP4`` initialises it with), in a C++ port
of its own: records built once per satellite, states computed on every core
without the interpreter lock, for the samples and the refinement alike.

A satellite whose element set SGP4 cannot initialise, or that fails at an
epoch of the span (decay, a model error), is reported in ``failures`` and
takes no part in any event; the others are screened as usual.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions import _screen
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

__all__ = ["Conjunction", "Conjunctions", "Failure", "screen"]

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
_TOL = 1e-6  # s, on the time of closest approach
_MAXIT = 60
_CHUNK_STATES = 1_500_000  # coarse states propagated at once
_MAX_DAYS = 36500.0  # from an element set's epoch: the compiled model refuses longer spans
_NON_FINITE_CODE = 255  # the compiled model's code of a non-finite state without an error


@dataclass(frozen=True)
class Conjunction:
    """One close approach: the two satellites (name and catalogue number),
    the time of closest approach ``tca`` (UTC ``Time``), the miss distance
    [m], its components [m] in the primary's RSW axes (``radial``,
    ``in_track``, ``cross_track``: the secondary's position minus the
    primary's) and the relative speed [m/s]."""

    primary: str
    primary_satnum: int | None
    secondary: str
    secondary_satnum: int | None
    tca: Time
    miss_distance: float
    radial: float
    in_track: float
    cross_track: float
    relative_speed: float

    def as_dict(self) -> dict[str, Any]:
        """The event as plain values (``tca`` as ISO UTC text), in field order."""
        return {
            "primary": self.primary,
            "primary_satnum": self.primary_satnum,
            "secondary": self.secondary,
            "secondary_satnum": self.secondary_satnum,
            "tca": str(self.tca.iso),
            "miss_distance": self.miss_distance,
            "radial": self.radial,
            "in_track": self.in_track,
            "cross_track": self.cross_track,
            "relative_speed": self.relative_speed,
        }


class Conjunctions(list[Conjunction]):
    """The events of a screening, sorted by TCA, with the satellites that
    failed in ``failures`` (a list of ``Failure``)."""

    def __init__(self, events: Iterable[Conjunction] = (), failures: Iterable[Failure] = ()):
        super().__init__(events)
        self.failures: list[Failure] = list(failures)


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

    def jd(self, seconds: Array) -> tuple[Array, Array]:
        return sgp4_jd(self.start + np.asarray(seconds, dtype=np.float64))

    def fail(self, k: int, error: Exception, epoch: Time | None = None) -> None:
        self.failed.setdefault(k, (error, epoch))

    def sample(self, ids: Array, seconds: Array) -> tuple[Array, Array, Array]:
        """States [m, m/s] of satellites ``ids`` (an index array) at common
        epochs: (n, m, 3) arrays and the ids that did not fail."""
        jd1, jd2 = self.jd(seconds)
        ids = np.asarray(ids, dtype=np.intp)
        err, r, v = _compiled.sgp4_states(self.records, self.rows[ids], jd1, jd2, self.threads)
        bad = err.any(axis=1)
        if not bad.any():
            return ids, r, v
        for row in np.flatnonzero(bad):
            k = int(ids[row])
            j, code = _first_failure(err[row])
            at = self.start + seconds
            self.fail(k, SGP4Error(code, j, epoch_text(at, j), self.objects[k].satnum), at[j].utc)
        return ids[~bad], r[~bad], v[~bad]

    def states(self, ids: Array, seconds: Array) -> tuple[Array, Array]:
        """States [m, m/s] of satellite ids[q] at seconds[q] (one model call
        per satellite); NaN rows, and a failure, where the model fails."""
        ids = np.asarray(ids, dtype=np.intp)
        seconds = np.asarray(seconds, dtype=np.float64)
        r = np.full((ids.size, 3), np.nan)
        v = np.full((ids.size, 3), np.nan)
        if ids.size == 0:
            return r, v
        jd1, jd2 = self.jd(seconds)
        err, rr, vv = _compiled.sgp4_points(self.records, self.rows[ids], jd1, jd2, self.threads)
        for k in np.unique(ids[err != 0]).tolist():
            if k in self.failed:
                continue
            rows = np.flatnonzero(ids == k)
            j, code = _first_failure(err[rows])
            at = self.start + seconds[rows]
            self.fail(k, SGP4Error(code, j, epoch_text(at, j), self.objects[k].satnum), at[j].utc)
        good = ~np.isin(ids, list(self.failed))
        r[good], v[good] = rr[good], vv[good]
        return r, v


def _bounds(cat: _Catalogue, ids: Array) -> tuple[Array, Array, Array, Array, Array]:
    """Per satellite: lowest and highest radius over the span, largest speed
    and fourth-derivative bound (from the osculating ellipses at the span's
    start and end); the ids that propagate there."""
    ids, r, v = cat.sample(ids, np.array([0.0, cat.duration]))
    a, e = _osculating(r, v)
    bound_ok = np.isfinite(a).all(axis=1) & (a > 0).all(axis=1) & (e < 1.0).all(axis=1)
    for k in ids[~bound_ok]:
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
    for p in primaries:
        if isinstance(p, (int, np.integer)) and not isinstance(p, bool):
            hits = [
                k
                for k, s in enumerate(satellites)
                if getattr(s.tle if isinstance(s, SGP4) else s, "satnum", None) == int(p)
            ]
            if not hits:
                raise ValueError(f"no satellite with catalogue number {int(p)} to screen as a primary")
            picked.extend(hits)
            continue
        for k, s in enumerate(satellites):
            if s is p:
                picked.append(k)
                break
        else:
            satellites.append(p)
            picked.append(len(satellites) - 1)
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
    the first failure instead). ``threads``: threads of the candidate
    search (default: every core); ``step``: the coarse sampling step [s]
    (default: chosen from the orbits; see the module's docstring).
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
    if threads is None:
        threads = _screen.hardware_threads()
    elif not (isinstance(threads, int) and threads >= 1):
        raise ValueError(f"threads must be a positive integer, got {threads!r}")
    start = start if isinstance(start, Time) else Time(start)
    start = start.utc
    if start.shape != ():
        raise ValueError("the start of the span must be a single epoch")

    sats = list(satellites) if not isinstance(satellites, (ELSET, SGP4)) else [satellites]
    chosen = None if primaries is None else _resolve_primaries(primaries, sats)
    intake = _intake(sats, (start, duration))
    maybe, failures = intake.objects, intake.failures
    if errors == "raise" and failures:
        raise failures[0].error
    index = [k for k, o in enumerate(maybe) if o is not None]
    objects = [o for o in maybe if o is not None]
    events: list[Conjunction] = []
    cat = _Catalogue(objects, intake.records, start, duration, threads)
    if len(objects) >= 2 and (chosen is None or chosen):
        is_primary = np.zeros(len(maybe), dtype=bool)
        if chosen is not None:
            is_primary[chosen] = True
        events = _screen_catalogue(cat, is_primary[index] if chosen is not None else None, threshold, threads, step)
    for k, (error, epoch) in sorted(cat.failed.items()):
        if errors == "raise":
            raise error
        failures.append(Failure(index[k], objects[k].name, objects[k].satnum, epoch, error))
    failures.sort(key=lambda f: f.index)
    return Conjunctions(events, failures)


def _screen_catalogue(
    cat: _Catalogue, is_primary: Array | None, threshold: float, threads: int, step: float | None
) -> list[Conjunction]:
    ids, r_min, r_max, speed, snap = _bounds(cat, np.arange(len(cat.objects)))
    if is_primary is not None:
        # Only satellites whose radial range meets a primary's take part.
        prim = is_primary[ids]
        if not prim.any():
            return []
        lo, hi = r_min[prim].min(), r_max[prim].max()
        meets = prim | ((r_min <= hi + threshold) & (r_max + threshold >= lo))
        ids, r_min, r_max, speed, snap = ids[meets], r_min[meets], r_max[meets], speed[meets], snap[meets]
    if ids.size < 2:
        return []
    dt = _choose_step(snap, speed, cat.duration) if step is None else cat.duration / math.ceil(cat.duration / step)
    # With primaries, a first pass at twice the step (its own, larger
    # bound) keeps the pairs and intervals that may hold an approach; only
    # their secondaries are sampled at the step's midpoints for the pass at
    # the step. Both passes are proven as above: no approach is lost, and
    # half the secondaries' samples are saved.
    # (An even number of steps in both modes: the same segments, so the
    # same events to the last digit, with or without primaries.)
    factor = 1 if is_primary is None else _FACTOR
    dt = cat.duration / (_FACTOR * math.ceil(cat.duration / (_FACTOR * dt)))
    substeps = max(1, math.ceil(dt / _SEGMENT))
    bound = _interpolation_bound(snap, speed, dt)
    coarse_bound = _interpolation_bound(snap, speed, factor * dt)
    samples = round(cat.duration / (factor * dt)) + 1
    seconds = np.arange(samples) * (factor * dt)
    seconds[-1] = cat.duration

    # Coarse states chunk by chunk (consecutive chunks share a sample).
    per_chunk = max(2, _CHUNK_STATES // ids.size)
    pairs_i, pairs_j, segments = [], [], []
    live = np.arange(ids.size)
    k0 = 0
    while k0 < samples - 1:
        k1 = min(samples, k0 + per_chunk)
        got, r, v = cat.sample(ids[live], seconds[k0:k1])
        keep = np.isin(ids[live], got)
        live = live[keep]
        if live.size >= 2:
            flags = None if is_primary is None else is_primary[ids[live]].astype(np.uint8)
            ci, cj, cs = _screen.candidates(
                r.reshape(-1, 3),
                v.reshape(-1, 3),
                factor * dt,
                factor * substeps,
                np.ascontiguousarray(coarse_bound[live]),
                np.ascontiguousarray(r_min[live]),
                np.ascontiguousarray(r_max[live]),
                threshold,
                None if flags is None else bytes(flags),
                threads,
            )
            if factor > 1:
                assert flags is not None
                fine = _Fine(cat, ids[live], r, v, flags, factor, dt, substeps, threshold, threads)
                ci, cj, cs = fine.pairs(ci, cj, cs // (factor * substeps), k0, bound[live], r_min[live], r_max[live])
            else:
                cs = cs + k0 * substeps
            pairs_i.append(ids[live][ci])
            pairs_j.append(ids[live][cj])
            segments.append(cs)
        k0 = k1 - 1
    if not pairs_i:
        return []
    return _refine(
        cat,
        np.concatenate(pairs_i),
        np.concatenate(pairs_j),
        np.concatenate(segments),
        dt / substeps,
        is_primary,
        threshold,
    )


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
            fi, fj, fs = _screen.candidates(
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
            out_i.append(members[fi])
            out_j.append(members[fj])
            out_s.append(fs + f * (k0 + k) * self.substeps)
        if not out_i:
            return empty, empty, empty
        return np.concatenate(out_i), np.concatenate(out_j), np.concatenate(out_s)


def _range_rate(cat: _Catalogue, i: Array, j: Array, t: Array) -> tuple[Array, Array, Array, Array, Array, Array]:
    """rho . drho/dt of pairs (i, j) at t, its derivative (two-body
    accelerations), and the states (r_i, v_i, rho, drho)."""
    states_r, states_v = cat.states(np.concatenate([i, j]), np.concatenate([t, t]))
    n = i.size
    ri, vi, rj, vj = states_r[:n], states_v[:n], states_r[n:], states_v[n:]
    rho, drho = rj - ri, vj - vi
    f = np.einsum("ij,ij->i", rho, drho)
    acc = -_MU * states_r / np.linalg.norm(states_r, axis=1, keepdims=True) ** 3
    df = np.einsum("ij,ij->i", drho, drho) + np.einsum("ij,ij->i", rho, acc[n:] - acc[:n])
    return f, df, ri, vi, rho, drho


def _refine(
    cat: _Catalogue,
    pi: Array,
    pj: Array,
    segment: Array,
    delta: float,
    is_primary: Array | None,
    threshold: float,
) -> list[Conjunction]:
    # Unique (pair, segment); the range rate at the segment ends.
    keys = np.unique(np.stack([pi, pj, segment], axis=1), axis=0)
    pi, pj, segment = keys[:, 0], keys[:, 1], keys[:, 2]
    ta = segment * delta
    tb = np.minimum((segment + 1) * delta, cat.duration)
    ends = np.concatenate([ta, tb])
    f, _, _, _, rho, drho = _range_rate(cat, np.concatenate([pi, pi]), np.concatenate([pj, pj]), ends)
    n = pi.size
    fa, fb = f[:n], f[n:]
    minimum = (fa < 0.0) & (fb >= 0.0)
    pi, pj, a, b, fa, fb = pi[minimum], pj[minimum], ta[minimum], tb[minimum], fa[minimum], fb[minimum]
    # First guess: the closest point of straight-line relative motion from the segment's start.
    speed2 = np.einsum("ij,ij->i", drho[:n][minimum], drho[:n][minimum])
    with np.errstate(divide="ignore", invalid="ignore"):
        c = np.where(speed2 > 0.0, a - fa / speed2, 0.5 * (a + b))
    c = np.where((c > a) & (c < b), c, 0.5 * (a + b))
    tca = np.full(pi.size, np.nan)
    active = np.arange(pi.size)
    for it in range(_MAXIT):
        if not active.size:
            break
        fc, dfc, _, _, _, _ = _range_rate(cat, pi[active], pj[active], c[active])
        ak, bk = a[active], b[active]
        left = fc < 0.0
        ak = np.where(left, c[active], ak)
        bk = np.where(left, bk, c[active])
        a[active], b[active] = ak, bk
        with np.errstate(divide="ignore", invalid="ignore"):
            nxt = c[active] - fc / dfc
        inside = np.isfinite(nxt) & (nxt > ak) & (nxt < bk)
        nxt = np.where(inside, nxt, 0.5 * (ak + bk))
        done = ~np.isfinite(fc) | (fc == 0.0) | (np.abs(nxt - c[active]) < _TOL) | (bk - ak < _TOL) | (it == _MAXIT - 1)
        tca[active[done]] = np.where(np.isfinite(fc[done]), nxt[done], np.nan)
        c[active] = nxt
        active = active[~done]
    good = np.isfinite(tca)
    pi, pj, tca = pi[good], pj[good], tca[good]
    _, _, ri, vi, rho, drho = _range_rate(cat, pi, pj, tca)
    miss = np.linalg.norm(rho, axis=1)
    keep = np.isfinite(miss) & (miss < threshold)
    pi, pj, tca, ri, vi, rho, drho, miss = (x[keep] for x in (pi, pj, tca, ri, vi, rho, drho, miss))
    alive = np.array([int(x) not in cat.failed and int(y) not in cat.failed for x, y in zip(pi, pj, strict=True)], bool)
    pi, pj, tca, ri, vi, rho, drho, miss = (x[alive] for x in (pi, pj, tca, ri, vi, rho, drho, miss))
    # The primary of each event: the primary of the pair, else the first listed (pi < pj).
    swap = np.zeros(pi.size, bool) if is_primary is None else (~is_primary[pi] & is_primary[pj])
    if swap.any():
        pi, pj = np.where(swap, pj, pi), np.where(swap, pi, pj)
        ri_s, vi_s = ri + rho, vi + drho
        ri, vi = np.where(swap[:, None], ri_s, ri), np.where(swap[:, None], vi_s, vi)
        rho, drho = np.where(swap[:, None], -rho, rho), np.where(swap[:, None], -drho, drho)
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
    times = list(cat.start + tca[order]) if order.size else []
    out = []
    for q, t in zip(order, times, strict=True):
        p, s = cat.objects[int(pi[q])], cat.objects[int(pj[q])]
        out.append(
            Conjunction(
                p.name,
                p.satnum,
                s.name,
                s.satnum,
                t,
                float(miss[q]),
                float(radial[q]),
                float(in_track[q]),
                float(cross_track[q]),
                float(rel_speed[q]),
            )
        )
    return out
