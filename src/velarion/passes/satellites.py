"""Satellites of the pass search: what ``find_passes`` and ``look_angles``
accept, their exact ITRF states, and the interpolated trajectories the
search runs on.

A satellite is a ``TLE`` or any other ``ELSET`` (an OMM record from
``load_omm``), an ``SGP4`` propagator with its element set, a
(state, propagator) pair, a ``Satellite`` with a state and a propagator, or
a source: a callable ``time -> (frame, r, v)`` (``sgp4_source``,
``propagator_source``).

Exact states: the SGP4 ones of many satellites come from compiled records
of their elements, built once per search (``sgp4_records``), in one call for
all the epochs and one TEME -> ITRF conversion for all of them; other
sources are propagated and converted to ITRF through the frame graph one
satellite at a time.

Trajectories: each satellite is propagated once, on nodes a fraction of
its fastest angular motion apart (about 13 minutes for a low orbit), and
its ITRF position between nodes is the degree-7 Hermite polynomial of the
positions and velocities at the four nearest nodes (a few metres typically,
under 100 m for a low orbit; each satellite's is checked against exact states between nodes and
its nodes brought closer until it holds). Every station then costs a
rotation and an offset of these states.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames import standard_to_itrf
from velarion.frames.frames import Frame, get_TEME
from velarion.iers import EOPRangeError
from velarion.propagators.analytical.sgp4 import _compiled
from velarion.propagators.analytical.sgp4.sgp4 import (
    NON_FINITE,
    SGP4,
    SGP4Error,
    epoch_text,
    init_models,
    sgp4_jd,
)
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.propagators.propagators import Propagator
from velarion.time.time import Time

from . import _search

__all__ = [
    "Failure",
    "Source",
    "SourceFailed",
    "Trajectories",
    "exact_itrf",
    "one_satellite",
    "propagator_source",
    "satellites_of",
    "sgp4_source",
]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]
# (frame, r, v) at the epochs of a Time: r, v (N, 3) in `frame`.
Source = Callable[[Time], "tuple[Frame, Array, Array]"]

_OMEGA_EARTH = 7.292115146706798e-5  # rad/s
_GM_EARTH = 3.986004418e14
# Node spacing: this angle [rad] of the fastest motion (the orbit at
# perigee, plus the Earth's rotation, in ITRF) between nodes. At 0.8 rad the
# interpolation error of low orbits (SGP4) is 3 m in the median, 40 m at the
# 99th percentile and under 80 m at worst (the one-sided first and last
# intervals); the search's margins and the exact evaluation of every event
# absorb it, and it costs 40% fewer model evaluations than 0.5 rad.
_NODE_ANGLE = 0.8
_NODE_MIN, _NODE_MAX = 20.0, 3600.0  # s
# Largest interpolation error [m] accepted between nodes (checked).
INTERPOLATION_TOLERANCE = 100.0
# The failures that belong to one satellite (its model, its elements); any
# other exception is the caller's and propagates.
_SATELLITE_ERRORS = (ValueError, ArithmeticError, NotImplementedError)
_GRAVITY_CODES = {"wgs72old": 0, "wgs72": 1, "wgs84": 2}
_JD_1950 = 2433281.5
# Many states (node samples, events) are computed on every core (few are
# not worth starting threads for).
THREADS = max(1, min(os.cpu_count() or 1, 64))
_THREADED_STATES = 4096
# The compiled model's code of a state it gives as NaN or infinite without an error.
_NON_FINITE_CODE = 255
# How far from its element set's epoch the compiled model goes [s] (a
# second short of its own bound).
_MODEL_REACH = 100.0 * 366.0 * 86400.0 - 1.0


@dataclass(frozen=True)
class Failure:
    """A satellite that could not be searched: its position in the input
    (``index``), name, catalogue number (None without one), the epoch of the
    failure (a UTC ``Time`` scalar; None when it does not depend on one)
    and the exception."""

    index: int
    satellite: str
    satnum: int | None
    epoch: Time | None
    error: BaseException

    def __str__(self) -> str:
        error = self.error
        if isinstance(error, SGP4Error) and self.epoch is not None:
            # when the model failed, not where in a list of epochs
            when = str((self.epoch.utc + 0.0005).iso)[:23].replace("T", " ")
            return f"{self.satellite}: SGP4 error {error.code} from {when} UTC: {error.meaning}"
        return f"{self.satellite}: {error}"


class SourceFailed(Exception):
    """Raised inside the search when a satellite fails (carries the ``Failure``)."""

    def __init__(self, failure: Failure):
        super().__init__(str(failure))
        self.failure = failure


class _SGP4Source:
    """States of an SGP4 model (TEME); the search propagates many of them
    from one set of Julian Dates."""

    def __init__(self, propagator: SGP4, tle: ELSET | None = None):
        self.propagator = propagator
        self.satrec = propagator.satrec(tle)
        self.frame = get_TEME()
        elset = tle if tle is not None else propagator.tle
        self.name: str = (elset.name if elset is not None else None) or ""
        self.satnum: int | None = getattr(elset, "satnum", None)

    def __call__(self, time: Time) -> tuple[Frame, Array, Array]:
        r, v = self.propagator.teme_arrays(time, self.satrec)
        return self.frame, r, v


def sgp4_source(propagator: SGP4, tle: ELSET | None = None) -> Source:
    """States of an ``SGP4`` propagator (TEME), for ``find_passes``."""
    return _SGP4Source(propagator, tle)


class _PropagatorSource:
    """States of ``propagator.propagate(time, state)`` in their own frame."""

    def __init__(self, propagator: Any, state: Any, name: str = ""):
        self.propagator = propagator
        self.state = state
        self.name = name
        self.satnum: int | None = None

    def __call__(self, time: Time) -> tuple[Frame, Array, Array]:
        eph = self.propagator.propagate(time, self.state)
        return eph.frame, np.asarray(eph.r), np.asarray(eph.v)


def propagator_source(propagator: Any, state: Any) -> Source:
    """States of ``propagator.propagate(time, state)`` in their own frame, for ``find_passes``."""
    return _PropagatorSource(propagator, state)


class Sat:
    """One satellite of a search: its place in the input, name, catalogue
    number, and either an SGP4 model record or a source."""

    def __init__(self, index: int, label: str, satnum: int | None, source: Source):
        self.index = index
        self.label = label
        self.satnum = satnum
        self.source = source
        self.satrec = source.satrec if isinstance(source, _SGP4Source) else None
        # The compiled records of the search's SGP4 satellites and this one's
        # place in them (see ``compile_sgp4``); None: states from the source.
        self.records: object | None = None
        self.record = -1

    def failure(self, error: BaseException, epoch: Time | None) -> Failure:
        return Failure(self.index, self.label, self.satnum, epoch, error)


def _is_pair(obj: Any) -> bool:
    return (
        isinstance(obj, tuple)
        and len(obj) == 2
        and isinstance(obj[1], Propagator)
        and not isinstance(obj[0], (ELSET, SGP4, Propagator))
    )


def _one_satellite(obj: Any) -> bool:
    return isinstance(obj, (ELSET, SGP4)) or _is_pair(obj) or callable(obj) or _is_satellite_object(obj)


def _is_satellite_object(obj: Any) -> bool:
    from velarion.satellite.satellite import Satellite

    return isinstance(obj, Satellite)


def _source_of(obj: Any, index: int) -> tuple[Source, str, int | None]:
    """The source of one satellite of the input, its name and catalogue number."""
    default = f"satellite {index + 1}"
    if isinstance(obj, ELSET):
        obj = SGP4(obj)
    if isinstance(obj, SGP4):
        if obj.tle is None:
            raise TypeError(f"satellite {index}: an SGP4 propagator without an element set")
        src = _SGP4Source(obj)
        satnum = src.satnum
        return src, src.name or (f"satellite {satnum}" if satnum is not None else default), satnum
    if _is_pair(obj):
        state, prop = obj
        return _PropagatorSource(prop, state, default), default, None
    if _is_satellite_object(obj):
        state, prop = obj.state, obj.propagator
        name = obj.name or default
        if prop is None and isinstance(state, ELSET):
            prop = SGP4(state)
        if isinstance(prop, SGP4) and isinstance(state, ELSET):
            src = _SGP4Source(prop, state)
            return src, name, src.satnum
        if prop is None:
            raise TypeError(f"satellite {index}: a Satellite without a propagator")
        return _PropagatorSource(prop, state, name), name, None
    if callable(obj):
        name = getattr(obj, "name", "") or default
        satnum = getattr(obj, "satnum", None)
        return obj, name, satnum if isinstance(satnum, int) else None
    raise TypeError(
        f"satellite {index} must be a TLE, an ELSET, an SGP4 propagator, a (state, propagator) pair, "
        f"a Satellite or a source, not {type(obj).__name__}"
    )


def satellites_of(satellites: Any) -> tuple[list[Sat], list[Failure]]:
    """The satellites of the input (one or a sequence), and those whose
    model could not even start (an SGP4 initialisation error)."""
    items = [satellites] if _one_satellite(satellites) else satellites
    if isinstance(items, (str, bytes)) or not isinstance(items, Sequence):
        raise TypeError(f"satellites must be a satellite or a sequence of them, not {type(satellites).__name__}")
    # The SGP4 models of element sets, started together.
    models = {
        k: SGP4(obj) if isinstance(obj, ELSET) else obj for k, obj in enumerate(items) if isinstance(obj, (ELSET, SGP4))
    }
    started = dict(zip(models, init_models(list(models.values())), strict=True))
    sats: list[Sat] = []
    failed: list[Failure] = []
    for k, obj in enumerate(items):
        error = started.get(k)
        if error is not None:
            elset = models[k].tle
            name = (getattr(elset, "name", None) or "") or f"satellite {error.satnum or k + 1}"
            epoch = getattr(elset, "epoch", None)
            failed.append(Failure(k, name, error.satnum, epoch.utc if epoch is not None else None, error))
            continue
        source, name, satnum = _source_of(models.get(k, obj), k)
        sats.append(Sat(k, name, satnum, source))
    compile_sgp4(sats)
    return sats, failed


def compile_sgp4(sats: Sequence[Sat]) -> None:
    """Builds the compiled records of the SGP4 satellites, once per search,
    from the elements their ``Satrec`` was started from; a satellite the
    compiled model cannot start keeps its ``Satrec`` path."""
    fast: list[tuple[Sat, Any, int]] = []
    for sat in sats:
        if isinstance(sat.source, _SGP4Source) and sat.source.propagator.gravity in _GRAVITY_CODES:
            fast.append((sat, sat.source.satrec, _GRAVITY_CODES[sat.source.propagator.gravity]))
    if not fast:
        return
    names = [
        "jdsatepoch",
        "jdsatepochF",
        "jdsatepoch",
        "bstar",
        "ndot",
        "nddot",
        "ecco",
        "argpo",
        "inclo",
        "mo",
        "no_kozai",
        "nodeo",
    ]
    rows = np.array([[getattr(m, x) for x in names] for _, m, _ in fast], dtype=np.float64)
    rows[:, 2] = (rows[:, 0] - _JD_1950) + rows[:, 1]  # the epoch as sgp4init_rows gives it
    records, codes = _compiled.sgp4_records(rows, bytes(g for _, _, g in fast))
    for k, ((sat, _, _), code) in enumerate(zip(fast, codes.tolist(), strict=True)):
        if code == 0:
            sat.records, sat.record = records, k


def model_reach(sat: Sat, start: Time) -> tuple[float, float]:
    """The seconds from ``start`` between which the satellite's compiled
    model gives states (the whole line for other satellites)."""
    if sat.records is None or sat.satrec is None:
        return -math.inf, math.inf
    jd1, jd2 = sgp4_jd(start + np.zeros(1))
    days = (float(jd1[0]) - float(sat.satrec.jdsatepoch)) + (float(jd2[0]) - float(sat.satrec.jdsatepochF))
    return -days * 86400.0 - _MODEL_REACH, -days * 86400.0 + _MODEL_REACH


def one_satellite(satellite: Any, caller: str) -> Sat:
    """The one satellite ``caller`` takes; its model's failure to start raises."""
    sats, failed = satellites_of(satellite)
    if failed:
        raise failed[0].error
    if len(sats) != 1:
        raise TypeError(f"{caller} takes one satellite, not {len(sats)}")
    return sats[0]


def _failing_epoch(source: Source, time: Time) -> tuple[int, BaseException]:
    """The first epoch (flat index) at which ``source`` fails, by halving the epochs."""
    lo, hi = 0, time.size
    error: BaseException | None = None
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            _itrf_of(source, time[lo:mid])
        except EOPRangeError:
            raise
        except _SATELLITE_ERRORS as e:
            error, hi = e, mid
        else:
            lo = mid
    if error is None or hi - lo == 1:
        try:
            _itrf_of(source, time[lo : lo + 1])
        except EOPRangeError:
            raise
        except _SATELLITE_ERRORS as e:
            error = e
    assert error is not None
    return lo, error


def _itrf_of(source: Source, time: Time) -> tuple[Array, Array]:
    frame, r, v = source(time)
    rr, vv = standard_to_itrf(frame, time, r, v)
    return np.asarray(rr, dtype=np.float64), np.asarray(vv, dtype=np.float64)


def _non_finite(time: Time, k: int) -> ValueError:
    return ValueError(f"the satellite's state at {epoch_text(time, k)} UTC is not finite")


def _records_of(sats: Sequence[Sat], which: Any) -> object | None:
    """The compiled records of the first of satellites ``which`` that has them."""
    for i in which:
        records = sats[int(i)].records
        if records is not None:
            return records
    return None


def exact_itrf(
    sats: Sequence[Sat], sid: Array, time: Time, threads: int = THREADS
) -> tuple[Array, Array, dict[int, Failure]]:
    """Exact ITRF positions [m] and velocities [m/s] of satellite ``sats[sid[k]]``
    at epoch k of ``time`` (one-dimensional), and the failures by satellite
    (their rows are NaN)."""
    sid = np.asarray(sid, dtype=np.intp)
    n = sid.size
    r = np.full((n, 3), np.nan)
    v = np.full((n, 3), np.nan)
    failures: dict[int, Failure] = {}
    if n == 0:
        return r, v, failures
    records = _records_of(sats, range(len(sats)))
    record = np.array([sat.record if sat.records is records else -1 for sat in sats], dtype=np.int64)[sid]
    compiled = record >= 0
    if compiled.any():
        # all compiled rows in one call, each satellite's in their order
        rows = np.flatnonzero(compiled)
        ids = record[rows]
        jd1, jd2 = sgp4_jd(time)
        err, rt, vt = _compiled.sgp4_points(
            records, ids, jd1[rows], jd2[rows], threads if ids.size >= _THREADED_STATES else 1
        )
        good = err == 0
        if not good.all():
            for s in np.unique(sid[rows[~good]]).tolist():
                mine = np.flatnonzero(sid[rows] == s)
                j = int(np.argmax(~good[mine]))
                code = int(err[mine[j]])
                row = int(rows[mine[j]])
                sat = sats[s]
                failures[s] = sat.failure(
                    SGP4Error(NON_FINITE if code == _NON_FINITE_CODE else code, j, epoch_text(time, row), sat.satnum),
                    time[row],
                )
                good[mine] = False
            rt[~good] = 0.0
            vt[~good] = 0.0
        sub = time if rows.size == n else time[rows]
        rm, vm = get_TEME().to_ITRF(sub, rt, vt)
        rr, vv = np.asarray(rm), np.asarray(vm)
        r[rows[good]], v[rows[good]] = rr[good], vv[good]
    if compiled.all():
        return r, v, failures
    # the others through their sources, one satellite at a time
    rest = np.flatnonzero(~compiled)
    order = rest[np.argsort(sid[rest], kind="stable")]
    ssorted = sid[order]
    cuts = np.flatnonzero(np.diff(ssorted)) + 1
    starts = np.concatenate([[0], cuts])
    stops = np.concatenate([cuts, [order.size]])
    for a, b in zip(starts.tolist(), stops.tolist(), strict=True):
        s = int(ssorted[a])
        rows = order[a:b]
        sub = time[rows]
        try:
            rs, vs = _itrf_of(sats[s].source, sub)
        except EOPRangeError:
            raise
        except _SATELLITE_ERRORS:
            j, error = _failing_epoch(sats[s].source, sub)
            failures[s] = sats[s].failure(error, sub[j])
            continue
        if rs.shape != (rows.size, 3) or vs.shape != (rows.size, 3):
            shape = ValueError(f"the source gave states of shape {rs.shape} for {rows.size} epochs")
            failures[s] = sats[s].failure(shape, None)
            continue
        bad = ~(np.isfinite(rs).all(axis=1) & np.isfinite(vs).all(axis=1))
        if bad.any():
            j = int(np.argmax(bad))
            failures[s] = sats[s].failure(_non_finite(sub, j), sub[j])
        else:
            r[rows], v[rows] = rs, vs
    return r, v, failures


def angular_rate(sat: Sat, start: Time) -> float:
    """The fastest angular motion of the satellite about the Earth's centre [rad/s]
    (at perigee), from its mean elements or from its state at ``start``."""
    if sat.satrec is not None:
        n = float(sat.satrec.no_kozai) / 60.0
        e = min(max(float(sat.satrec.ecco), 0.0), 0.99)
        return float(n * (1.0 + e) ** 2 / (1.0 - e * e) ** 1.5)
    try:
        _, r, v = sat.source(start + np.zeros(1))
        r0 = np.asarray(r, dtype=np.float64).reshape(-1)[:3]
        v0 = np.asarray(v, dtype=np.float64).reshape(-1)[:3]
    except EOPRangeError:
        raise
    except _SATELLITE_ERRORS:
        return 2e-3  # the node check and the exact evaluation settle it
    radius = float(np.linalg.norm(r0))
    h = float(np.linalg.norm(np.cross(r0, v0)))
    if not (math.isfinite(radius) and math.isfinite(h) and radius > 0.0 and h > 0.0):
        return 2e-3
    energy = 0.5 * float(v0 @ v0) - _GM_EARTH / radius
    e = math.sqrt(max(0.0, 1.0 + 2.0 * energy * h * h / _GM_EARTH**2))
    perigee = h * h / (_GM_EARTH * (1.0 + e))
    return h / min(perigee, radius) ** 2


def _rounded_intervals(k: Array) -> Array:
    """Interval counts rounded up to (8..15) * 2**e (at most 12.5% more):
    satellites with the same count share their node epochs."""
    k = np.maximum(np.asarray(k, dtype=np.int64), 3)
    e = np.maximum(np.floor(np.log2(k)).astype(np.int64) - 3, 0)
    return np.asarray(-(-k // (1 << e)) * (1 << e), dtype=np.intp)


def _rotations(start: Time, sec: Array) -> tuple[Array, Array]:
    """The TEME -> ITRF conversion at epochs ``start + sec`` as matrices
    (T, 3, 3): r_ITRF = A r, v_ITRF = A v + B r (the conversion is linear:
    the images of the unit vectors give A and B)."""
    t = sec.size
    time = start + np.repeat(sec, 3)
    unit = np.tile(np.eye(3), (t, 1))
    rr, vv = get_TEME().to_ITRF(time, unit, np.zeros_like(unit))
    a = np.asarray(rr).reshape(t, 3, 3).transpose(0, 2, 1)
    b = np.asarray(vv).reshape(t, 3, 3).transpose(0, 2, 1)
    return a, b


def _rotate(m: Array, x: Array) -> Array:
    """m[t] @ x[s, t] for (T, 3, 3) matrices and (S, T, 3) vectors."""
    out = np.empty_like(x)
    for i in range(3):
        out[..., i] = m[:, i, 0] * x[..., 0] + m[:, i, 1] * x[..., 1] + m[:, i, 2] * x[..., 2]
    return out


def group_itrf(
    sats: Sequence[Sat], which: Sequence[int], start: Time, sec: Array, threads: int = THREADS
) -> tuple[Array, Array, dict[int, Failure]]:
    """Exact ITRF states (S, T, 3) of satellites ``which`` at the same epochs
    ``start + sec``: SGP4 ones in one call and one rotation per epoch, the
    others through the frame graph; and the failures by satellite."""
    s, t = len(which), sec.size
    r = np.full((s, t, 3), np.nan)
    v = np.full((s, t, 3), np.nan)
    failures: dict[int, Failure] = {}
    time = start + sec
    records = _records_of(sats, which)
    fast = [k for k, i in enumerate(which) if records is not None and sats[i].records is records]
    if fast:
        jd1, jd2 = sgp4_jd(time)
        ids = np.array([sats[which[k]].record for k in fast], dtype=np.int64)
        err, rt, vt = _compiled.sgp4_states(
            records, ids, jd1, jd2, threads if ids.size * sec.size >= _THREADED_STATES else 1
        )
        bad = err != 0
        for row in np.flatnonzero(bad.any(axis=1)):
            k = int(np.argmax(bad[row]))
            sat = sats[which[fast[row]]]
            code = NON_FINITE if err[row, k] == _NON_FINITE_CODE else int(err[row, k])
            failures[which[fast[row]]] = sat.failure(SGP4Error(code, k, epoch_text(time, k), sat.satnum), time[k])
        a, b = _rotations(start, sec)
        ok = ~bad.any(axis=1)
        rows = np.array(fast)[ok]
        r[rows] = _rotate(a, rt[ok])
        v[rows] = _rotate(a, vt[ok]) + _rotate(b, rt[ok])
    compiled = set(fast)
    others = [k for k in range(s) if k not in compiled]
    if others:
        sid = np.repeat(np.array([which[k] for k in others], dtype=np.intp), t)
        ro, vo, failed = exact_itrf(sats, sid, start + np.tile(sec, len(others)), threads)
        failures.update(failed)
        r[others] = ro.reshape(len(others), t, 3)
        v[others] = vo.reshape(len(others), t, 3)
    return r, v, failures


class Trajectories:
    """ITRF states of satellites from ``start`` over ``duration`` seconds,
    interpolated between exact nodes (see the module's docstring)."""

    def __init__(
        self,
        sats: Sequence[Sat],
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
            spacing = [_NODE_ANGLE / (angular_rate(s, start) + _OMEGA_EARTH) for s in self.sats]
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
        c = np.where(ok, np.clip(spacing, _NODE_MIN, _NODE_MAX), _NODE_MIN)
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
            bad = [s for s in bad if s not in self.failures and self.spacing[s] * 1.01 > _NODE_MIN]
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
