"""The results of a screening: ``Conjunction`` events, ``Proximity``
stretches and the ``Conjunctions`` list that holds both with the failures.

An event keeps its numbers and a row of the screening's columnar store of
states; its ``tca`` (a ``Time``) and its states are built on access, so a
week of a large catalogue (hundreds of thousands of events) costs little
more than the numbers.

Sustained proximity: the refinement also gives each candidate segment's
end distances; runs of consecutive segments whose ends are all within the
threshold (the relative path over a segment is nearly straight, so the
pair stays close in between) are stretches, reported as ``Proximity``
records when they last ``proximity`` seconds or more, and always when the
pair is co-located (largest distance below 100 m: one element set under two
numbers, whose distance has no minimum to list). A segment gives at most
one minimum (from a falling to a rising distance between its ends): within
a stretch, ripples of the distance short enough to put a maximum and a
minimum in one segment (a formation's distance wavering by a fraction of a
metre) are not listed one by one; the record's smallest distance is that
of its segments' ends and listed minima."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.lof import LocalOrbitalFrame
from velarion.propagators.failures import Failure
from velarion.time.time import Time

if TYPE_CHECKING:
    from .intake import _Catalogue
    from .refine import _Found

__all__ = ["Conjunction", "Conjunctions", "Proximity"]

Array = NDArray[Any]

_COLOCATED = 100.0  # m: largest distance of a pair taken as one state

_FIELDS = (
    "primary",
    "primary_satnum",
    "secondary",
    "secondary_satnum",
    "tca",
    "miss_distance",
    "radial",
    "in_track",
    "cross_track",
    "relative_speed",
)


class Conjunction:
    """One close approach: the two satellites (name and catalogue number),
    the time of closest approach ``tca`` (UTC ``Time``), the miss distance
    [m], its components [m] in the primary's RSW axes (``radial``,
    ``in_track``, ``cross_track``: the secondary's position minus the
    primary's) and the relative speed [m/s]. ``primary_state`` and
    ``secondary_state`` are the satellites' ``(r, v)`` at TCA in TEME [m,
    m/s] (None for an event made without them). ``pc``: the probability
    of collision when the screening had covariances (else None)."""

    __slots__ = (
        "_covariances",
        "_row",
        "_seconds",
        "_start",
        "_states",
        "_tca",
        "cross_track",
        "in_track",
        "miss_distance",
        "pc",
        "primary",
        "primary_satnum",
        "radial",
        "relative_speed",
        "secondary",
        "secondary_satnum",
    )

    primary: str
    primary_satnum: int | None
    secondary: str
    secondary_satnum: int | None
    miss_distance: float
    radial: float
    in_track: float
    cross_track: float
    relative_speed: float
    pc: float | None
    _covariances: tuple[Any, Any, float] | None

    def __init__(
        self,
        primary: str,
        primary_satnum: int | None,
        secondary: str,
        secondary_satnum: int | None,
        tca: Time,
        miss_distance: float,
        radial: float,
        in_track: float,
        cross_track: float,
        relative_speed: float,
        *,
        primary_state: tuple[Array, Array] | None = None,
        secondary_state: tuple[Array, Array] | None = None,
    ):
        self.primary, self.primary_satnum = primary, primary_satnum
        self.secondary, self.secondary_satnum = secondary, secondary_satnum
        self.miss_distance, self.radial, self.in_track = miss_distance, radial, in_track
        self.cross_track, self.relative_speed = cross_track, relative_speed
        self._tca: Time | None = tca
        self._start: Time | None = None
        self._seconds = 0.0
        self._states: Array | None = None
        self._row = 0
        self.pc, self._covariances = None, None
        if primary_state is not None and secondary_state is not None:
            row = np.concatenate([np.ravel(x) for x in (*primary_state, *secondary_state)]).astype(np.float64)
            if row.shape != (12,):
                raise ValueError("primary_state and secondary_state must be (r, v) pairs of 3-vectors")
            self._states = row[None, :]

    @classmethod
    def _columnar(
        cls,
        names: tuple[str, int | None, str, int | None],
        numbers: tuple[float, float, float, float, float],
        start: Time,
        seconds: float,
        states: Array,
        row: int,
    ) -> Conjunction:
        """An event whose TCA (``start + seconds``) and states (row ``row``
        of ``states``, (n, 12): r, v of the primary, then the secondary's)
        are built on access."""
        self = cls.__new__(cls)
        self.primary, self.primary_satnum, self.secondary, self.secondary_satnum = names
        self.miss_distance, self.radial, self.in_track, self.cross_track, self.relative_speed = numbers
        self._tca, self._start, self._seconds, self._states, self._row = None, start, seconds, states, row
        self.pc, self._covariances = None, None
        return self

    @property
    def tca(self) -> Time:
        if self._tca is None:
            assert self._start is not None
            self._tca = self._start + self._seconds
        return self._tca

    @property
    def primary_state(self) -> tuple[Array, Array] | None:
        """(r, v) of the primary at TCA, TEME [m, m/s]."""
        if self._states is None:
            return None
        row = self._states[self._row]
        return row[0:3].copy(), row[3:6].copy()

    @property
    def secondary_state(self) -> tuple[Array, Array] | None:
        """(r, v) of the secondary at TCA, TEME [m, m/s]."""
        if self._states is None:
            return None
        row = self._states[self._row]
        return row[6:9].copy(), row[9:12].copy()

    def as_dict(self) -> dict[str, Any]:
        """The event as plain values (``tca`` as ISO UTC text), in field order."""
        out = {name: getattr(self, name) for name in _FIELDS}
        out["tca"] = str(self.tca.iso)
        return out

    def to_cdm(self, **options: Any) -> Any:
        """A CDM of the event (``velarion.conjunctions.risk.event_cdm``)."""
        from velarion.conjunctions.risk import event_cdm

        return event_cdm(self, **options)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Conjunction):
            return NotImplemented
        return self.as_dict() == other.as_dict()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in self.as_dict().items())
        return f"Conjunction({fields})"

    def __reduce__(self) -> tuple[Any, ...]:
        states = (self.primary_state, self.secondary_state)
        args = tuple(getattr(self, name) for name in _FIELDS)
        return (_rebuild, (args, states, (self.pc, self._covariances)))


def _rebuild(args: tuple[Any, ...], states: tuple[Any, Any], risk: tuple[Any, Any] = (None, None)) -> Conjunction:
    event = Conjunction(*args, primary_state=states[0], secondary_state=states[1])
    event.pc, event._covariances = risk
    return event


@dataclass(frozen=True)
class Proximity:
    """A stretch of sustained proximity: two satellites closer than the
    threshold from ``start`` to ``end`` (UTC ``Time``, to the screening's
    segment ends, clipped to the span), the smallest distance seen
    ``distance`` [m] at ``tca``, the largest sampled distance ``largest``
    [m], and ``colocated``: the two share (nearly) one state all along
    (``largest`` below 100 m; docked modules under one element set)."""

    primary: str
    primary_satnum: int | None
    secondary: str
    secondary_satnum: int | None
    start: Time
    end: Time
    distance: float
    tca: Time
    largest: float
    colocated: bool

    @property
    def duration(self) -> float:
        """Length of the stretch [s]."""
        return float(self.end - self.start)

    def as_dict(self) -> dict[str, Any]:
        """The stretch as plain values (times as ISO UTC text), in field order."""
        return {
            "primary": self.primary,
            "primary_satnum": self.primary_satnum,
            "secondary": self.secondary,
            "secondary_satnum": self.secondary_satnum,
            "start": str(self.start.iso),
            "end": str(self.end.iso),
            "distance": self.distance,
            "tca": str(self.tca.iso),
            "largest": self.largest,
            "colocated": self.colocated,
        }


class Conjunctions(list[Conjunction]):
    """The events of a screening, sorted by TCA, with the satellites that
    failed in ``failures`` (a list of ``Failure``) and the stretches of
    sustained proximity in ``proximity`` (a list of ``Proximity``, sorted
    by start)."""

    def __init__(
        self,
        events: Iterable[Conjunction] = (),
        failures: Iterable[Failure] = (),
        proximity: Iterable[Proximity] = (),
    ):
        super().__init__(events)
        self.failures: list[Failure] = list(failures)
        self.proximity: list[Proximity] = list(proximity)


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
    # RSW components in the primary's axes (the rotation's rows).
    if pi.size:
        radial, in_track, cross_track = np.einsum("nij,nj->in", LocalOrbitalFrame("RSW", ri, vi).rotation, rho)
    else:
        radial = in_track = cross_track = np.zeros(0)
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
