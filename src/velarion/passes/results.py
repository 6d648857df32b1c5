"""The results of a pass search: ``Pass``, ``Passes`` (the passes and the
failures), ``LookAngles``, and ``event_times`` over many passes.
"""

from __future__ import annotations

from collections.abc import Iterable
from operator import attrgetter
from typing import Any, NamedTuple, cast

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import ENU
from velarion.time.time import Time

from .satellites import (
    Failure,
)
from .stations import Station

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_EVENTS = ("rise", "culmination", "set")
_SHADOW_EVENTS = ("shadow_entry", "shadow_exit")


class Pass:
    """One pass of a satellite over a station.

    ``satellite`` is the satellite's name, ``satnum`` its catalogue number
    (None without one), ``station`` the ``Station`` (or ``ENU`` frame) it
    was searched from. Times are UTC ``Time`` scalars, azimuths [deg] from
    north through east, ``max_elevation`` [deg]. A pass cut by the span's
    edge (``cut``) has ``rise`` and its azimuth None when it is already
    under way at the start, ``set`` and its azimuth None when it is still
    under way at the end, and ``culmination`` and its azimuth None when its
    highest point in the span is that edge (``max_elevation`` is then the
    elevation there). ``visible`` is None unless the search was asked for
    it, ``shadow_entry`` and ``shadow_exit`` (UTC) are None unless it was
    asked for them or the satellite does not enter or leave the Earth's
    shadow during the pass (see ``find_passes``). Its fields are read-only.
    """

    # A search makes thousands of passes and most of their times are never
    # looked at: a pass found by the search keeps its times as seconds from
    # the span's start (``_origin``) and makes the Time scalar when it is
    # read. A pass made by hand keeps the Times it was given (no origin).
    __slots__ = (
        "_culmination",
        "_culmination_azimuth",
        "_max_elevation",
        "_origin",
        "_rise",
        "_rise_azimuth",
        "_satellite",
        "_satnum",
        "_set",
        "_set_azimuth",
        "_shadow_entry",
        "_shadow_exit",
        "_station",
        "_visible",
    )
    _satellite: str
    _satnum: int | None
    _station: Station | ENU
    _origin: Time | None
    _rise: Time | float | None
    _rise_azimuth: float | None
    _culmination: Time | float | None
    _culmination_azimuth: float | None
    _max_elevation: float
    _set: Time | float | None
    _set_azimuth: float | None
    _visible: bool | None
    _shadow_entry: Time | float | None
    _shadow_exit: Time | float | None
    __match_args__ = (
        "satellite",
        "satnum",
        "station",
        "rise",
        "rise_azimuth",
        "culmination",
        "culmination_azimuth",
        "max_elevation",
        "set",
        "set_azimuth",
        "visible",
        "shadow_entry",
        "shadow_exit",
    )

    def __init__(
        self,
        satellite: str,
        satnum: int | None,
        station: Station | ENU,
        rise: Time | None,
        rise_azimuth: float | None,
        culmination: Time | None,
        culmination_azimuth: float | None,
        max_elevation: float,
        set: Time | None,
        set_azimuth: float | None,
        visible: bool | None = None,
        shadow_entry: Time | None = None,
        shadow_exit: Time | None = None,
    ):
        names = (*_EVENTS, *_SHADOW_EVENTS)
        for name, value in zip(names, (rise, culmination, set, shadow_entry, shadow_exit), strict=True):
            if value is not None and not (isinstance(value, Time) and value.shape == ()):
                raise TypeError(f"{name} must be a Time scalar or None, not {type(value).__name__}")
        self._satellite, self._satnum, self._station, self._origin = satellite, satnum, station, None
        self._rise, self._rise_azimuth = rise, rise_azimuth
        self._culmination, self._culmination_azimuth, self._max_elevation = (
            culmination,
            culmination_azimuth,
            max_elevation,
        )
        self._set, self._set_azimuth, self._visible = set, set_azimuth, visible
        self._shadow_entry, self._shadow_exit = shadow_entry, shadow_exit

    def _time(self, value: Time | float | None) -> Time | None:
        if value is None or isinstance(value, Time):
            return value
        return cast(Time, self._origin) + value  # seconds come with their origin

    satellite = property(attrgetter("_satellite"), doc="The satellite's name.")
    satnum = property(attrgetter("_satnum"), doc="The satellite's catalogue number (None without one).")
    station = property(attrgetter("_station"), doc="The Station (or ENU frame) the pass was searched from.")
    rise_azimuth = property(attrgetter("_rise_azimuth"), doc="Azimuth at rise [deg] (None when cut).")
    culmination_azimuth = property(attrgetter("_culmination_azimuth"), doc="Azimuth at culmination [deg].")
    max_elevation = property(attrgetter("_max_elevation"), doc="The highest elevation in the span [deg].")
    set_azimuth = property(attrgetter("_set_azimuth"), doc="Azimuth at set [deg] (None when cut).")
    visible = property(attrgetter("_visible"), doc="Whether the pass can be seen (None unless asked).")

    @property
    def rise(self) -> Time | None:
        """When the satellite rises above the minimum elevation (UTC; None
        when the pass is under way at the start)."""
        return self._time(self._rise)

    @property
    def culmination(self) -> Time | None:
        """When the satellite is highest (UTC; None when that is the span's edge)."""
        return self._time(self._culmination)

    @property
    def set(self) -> Time | None:
        """When the satellite sets below the minimum elevation (UTC; None
        when the pass is still under way at the end)."""
        return self._time(self._set)

    @property
    def shadow_entry(self) -> Time | None:
        """When the satellite first enters the Earth's shadow during the pass
        (UTC; None when it does not, or when not asked)."""
        return self._time(self._shadow_entry)

    @property
    def shadow_exit(self) -> Time | None:
        """When the satellite first leaves the Earth's shadow during the pass
        (UTC; None when it does not, or when not asked)."""
        return self._time(self._shadow_exit)

    @property
    def cut(self) -> bool:
        """Whether the span's edge cuts the pass (no rise or no set)."""
        return self._rise is None or self._set is None

    @property
    def duration(self) -> float | None:
        """Seconds from rise to set (None when the pass is cut)."""
        rise, set_ = self._rise, self._set
        if rise is None or set_ is None:
            return None
        if isinstance(rise, float) and isinstance(set_, float):
            return set_ - rise
        return float(cast(Time, self.set) - cast(Time, self.rise))

    def _fields(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in Pass.__match_args__)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Pass):
            return NotImplemented
        return self._fields() == other._fields()

    __hash__ = None  # type: ignore[assignment]  # Time scalars are not hashable

    def __repr__(self) -> str:
        fields = ", ".join(f"{n}={v!r}" for n, v in zip(Pass.__match_args__, self._fields(), strict=True))
        return f"Pass({fields})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore_pass, (tuple(getattr(self, slot) for slot in Pass.__slots__),))


def event_times(passes: Iterable[Pass], event: str) -> tuple[Time, NDArray[np.bool_]]:
    """The times of one event (``"rise"``, ``"culmination"``, ``"set"``,
    ``"shadow_entry"`` or ``"shadow_exit"``) of many passes at once: a
    one-dimensional UTC ``Time`` of the passes that have it, in their order,
    and which passes have it (a boolean array)."""
    if not isinstance(event, str) or event not in (*_EVENTS, *_SHADOW_EVENTS):
        raise ValueError(f"event must be 'rise', 'culmination', 'set', 'shadow_entry' or 'shadow_exit', got {event!r}")
    items = list(passes)
    for p in items:
        if not isinstance(p, Pass):
            raise TypeError(f"event_times takes passes, not {type(p).__name__}")
    slot = attrgetter("_" + event)
    values = [slot(p) for p in items]
    have = np.array([v is not None for v in values], dtype=bool)
    present = [v for v in values if v is not None]
    origins = {id(p._origin) for p in items}
    if present and len(origins) == 1 and items[0]._origin is not None:
        # the passes of one search: one addition for all
        times = items[0]._origin + np.array(present, dtype=np.float64)
        return times if times.scale == "utc" else times.utc, have
    epochs = [t.utc for p, v in zip(items, values, strict=True) if v is not None and (t := p._time(v)) is not None]
    jd1 = np.array([float(t.jd1) for t in epochs])
    jd2 = np.array([float(t.jd2) for t in epochs])
    return Time.from_jd(jd1, jd2, scale="utc"), have


def _restore_pass(values: tuple[Any, ...]) -> Pass:
    p = object.__new__(Pass)
    for slot, value in zip(Pass.__slots__, values, strict=True):
        setattr(p, slot, value)
    return p


class Passes(list[Pass]):
    """The passes of a search, sorted by time, and its ``failures``: the
    satellites that could not be searched (``Failure``: the satellite, the
    epoch and the exception)."""

    def __init__(self, passes: Iterable[Pass] = (), failures: Iterable[Failure] = ()):
        super().__init__(passes)
        self.failures: list[Failure] = list(failures)


class LookAngles(NamedTuple):
    """Azimuth (from north through east) and elevation [deg], range [m] and
    range rate [m/s] (positive when receding) of a satellite from a
    station, arrays of the epochs' shape."""

    azimuth: NDArray[np.float64]
    elevation: NDArray[np.float64]
    range: NDArray[np.float64]
    range_rate: NDArray[np.float64]
