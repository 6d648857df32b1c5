"""The satellites of the pass search: what ``find_passes`` and
``look_angles`` accept, and what each becomes (a ``SearchedSatellite``).

A satellite is a ``TLE`` or any other ``ELSET`` (an OMM record from
``load_omm``), an ``SGP4`` propagator with its element set, a
(state, propagator) pair, a ``Satellite`` with a state and a propagator, or
a source: a callable ``time -> (frame, r, v)`` (``sgp4_source``,
``propagator_source``). The SGP4 satellites of one search share one
compiled ``Records`` catalogue, built once; the others keep their source.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import Frame, get_TEME
from velarion.iers import EOPRangeError
from velarion.propagators.analytical.sgp4.records import MAX_DAYS, Records, SGP4Error, error_at, sgp4_jd
from velarion.propagators.analytical.sgp4.sgp4 import SGP4
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.propagators.failures import Failure
from velarion.propagators.propagators import Propagator
from velarion.time.time import Time

__all__ = [
    "SearchedSatellite",
    "Source",
    "angular_rate",
    "model_reach",
    "one_satellite",
    "propagator_source",
    "satellites_of",
    "sgp4_source",
]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]
# (frame, r, v) at the epochs of a Time: r, v (N, 3) in `frame`.
Source = Callable[[Time], "tuple[Frame, Array, Array]"]

_GM_EARTH = 3.986004418e14
# How far from its element set's epoch the model goes [s] (a second short
# of its own bound).
MODEL_REACH = MAX_DAYS * 86400.0 - 1.0
# The failures that belong to one satellite (its model, its elements); any
# other exception is the caller's and propagates.
SATELLITE_ERRORS = (ValueError, ArithmeticError, NotImplementedError)


class _SGP4Source:
    """States of an SGP4 model (TEME): record ``record`` of ``records``."""

    def __init__(self, propagator: SGP4, tle: ELSET | None = None, records: Records | None = None, record: int = 0):
        self.propagator = propagator
        self.elset = tle if tle is not None else propagator.tle
        self.records = propagator.records(tle) if records is None else records
        self.record = record
        self.frame = get_TEME()
        self.name: str = (self.elset.name if self.elset is not None else None) or ""
        self.satnum: int | None = getattr(self.elset, "satnum", None)

    def __call__(self, time: Time) -> tuple[Frame, Array, Array]:
        jd1, jd2 = sgp4_jd(time)
        code, r, v = self.records.states(np.array([self.record]), jd1, jd2)
        error = error_at(code[0], time, self.records.satnums[self.record] or None)
        if error is not None:
            raise error
        return self.frame, r[0], v[0]


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


class SearchedSatellite:
    """One satellite of a search: its place in the input, name, catalogue
    number, its source, and for an SGP4 satellite the search's compiled
    records and its place in them (``record``; -1 for the others)."""

    def __init__(self, index: int, label: str, satnum: int | None, source: Source):
        self.index = index
        self.label = label
        self.satnum = satnum
        self.source = source
        self.records: Records | None = None
        self.record = -1
        if isinstance(source, _SGP4Source):
            self.records, self.record = source.records, source.record

    @property
    def elements(self) -> Array | None:
        """The row sgp4init started this satellite's record from (see
        ``Records.elements``), None for a satellite without one."""
        return None if self.records is None else self.records.elements[self.record]

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


def _model_of(obj: Any) -> tuple[ELSET, str] | None:
    """The element set and gravity model of an item of the input that is
    an element set or an SGP4 propagator with one."""
    if isinstance(obj, ELSET):
        return obj, "wgs72"
    if isinstance(obj, SGP4) and obj.tle is not None:
        return obj.tle, obj.gravity
    return None


def satellites_of(satellites: Any) -> tuple[list[SearchedSatellite], list[Failure]]:
    """The satellites of the input (one or a sequence), and those whose
    model could not even start (an SGP4 initialisation error)."""
    items = [satellites] if _one_satellite(satellites) else satellites
    if isinstance(items, (str, bytes)) or not isinstance(items, Sequence):
        raise TypeError(f"satellites must be a satellite or a sequence of them, not {type(satellites).__name__}")
    sats: list[SearchedSatellite] = []
    failed: list[Failure] = []
    sources: list[tuple[int, Source, str, int | None]] = []
    for k, obj in enumerate(items):
        if _model_of(obj) is None:
            source, name, satnum = _source_of(obj, k)
            sources.append((k, source, name, satnum))
    # One catalogue for every SGP4 satellite of the search: the element
    # sets and SGP4 propagators of the input, and the SGP4 sources.
    models = {k: m for k, obj in enumerate(items) if (m := _model_of(obj)) is not None}
    for k, source, _, _ in sources:
        if isinstance(source, _SGP4Source) and source.elset is not None:
            models[k] = (source.elset, source.propagator.gravity)
    order = sorted(models)
    records = Records([models[k][0] for k in order], [models[k][1] for k in order]) if order else None
    place = {k: j for j, k in enumerate(order)}
    given = {k: (source, name, satnum) for k, source, name, satnum in sources}
    for k, obj in enumerate(items):
        if k in given:
            source, name, satnum = given[k]
            if isinstance(source, _SGP4Source) and records is not None and k in place:
                source = _SGP4Source(source.propagator, source.elset, records, place[k])
            sats.append(SearchedSatellite(k, name, satnum, source))
            continue
        assert records is not None
        elset, _ = models[k]
        code = int(records.codes[place[k]])
        satnum = getattr(elset, "satnum", None)
        if code:
            error = SGP4Error(code, 0, str(elset.epoch.utc.iso), satnum)
            name = (getattr(elset, "name", None) or "") or f"satellite {satnum or k + 1}"
            failed.append(Failure(k, name, satnum, elset.epoch.utc, error))
            continue
        prop = obj if isinstance(obj, SGP4) else SGP4(elset)
        source = _SGP4Source(prop, elset, records, place[k])
        label = source.name or (f"satellite {satnum}" if satnum is not None else f"satellite {k + 1}")
        sats.append(SearchedSatellite(k, label, satnum, source))
    return sats, failed


def model_reach(sat: SearchedSatellite, start: Time) -> tuple[float, float]:
    """The seconds from ``start`` between which the satellite's compiled
    model gives states (the whole line for other satellites)."""
    row = sat.elements
    if row is None:
        return -math.inf, math.inf
    jd1, jd2 = sgp4_jd(start + np.zeros(1))
    days = (float(jd1[0]) - float(row[0])) + (float(jd2[0]) - float(row[1]))
    return -days * 86400.0 - MODEL_REACH, -days * 86400.0 + MODEL_REACH


def one_satellite(satellite: Any, caller: str) -> SearchedSatellite:
    """The one satellite ``caller`` takes; its model's failure to start raises."""
    sats, failed = satellites_of(satellite)
    if failed:
        raise failed[0].error
    if len(sats) != 1:
        raise TypeError(f"{caller} takes one satellite, not {len(sats)}")
    return sats[0]


def angular_rate(sat: SearchedSatellite, start: Time) -> float:
    """The fastest angular motion of the satellite about the Earth's centre [rad/s]
    (at perigee), from its mean elements or from its state at ``start``."""
    row = sat.elements
    if row is not None:
        n = float(row[10]) / 60.0
        e = min(max(float(row[6]), 0.0), 0.99)
        return float(n * (1.0 + e) ** 2 / (1.0 - e * e) ** 1.5)
    try:
        _, r, v = sat.source(start + np.zeros(1))
        r0 = np.asarray(r, dtype=np.float64).reshape(-1)[:3]
        v0 = np.asarray(v, dtype=np.float64).reshape(-1)[:3]
    except EOPRangeError:
        raise
    except SATELLITE_ERRORS:
        return 2e-3  # the node check and the exact evaluation settle it
    radius = float(np.linalg.norm(r0))
    h = float(np.linalg.norm(np.cross(r0, v0)))
    if not (math.isfinite(radius) and math.isfinite(h) and radius > 0.0 and h > 0.0):
        return 2e-3
    energy = 0.5 * float(v0 @ v0) - _GM_EARTH / radius
    e = math.sqrt(max(0.0, 1.0 + 2.0 * energy * h * h / _GM_EARTH**2))
    perigee = h * h / (_GM_EARTH * (1.0 + e))
    return h / min(perigee, radius) ** 2
