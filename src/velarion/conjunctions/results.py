"""The results of a screening: ``Conjunction`` events, ``Proximity``
stretches and the ``Conjunctions`` list that holds both with the failures.

An event keeps its numbers and a row of the screening's columnar store of
states; its ``tca`` (a ``Time``) and its states are built on access, so a
week of a large catalogue (hundreds of thousands of events) costs little
more than the numbers."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.passes.satellites import Failure
from velarion.time.time import Time

__all__ = ["Conjunction", "Conjunctions", "Proximity"]

Array = NDArray[Any]

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
