"""Passes of satellites over ground stations, and look angles.

``find_passes(satellites, stations, start, duration, step, min_elevation)``
lists every pass of every satellite over every station above a minimum
elevation in a time span, sorted by time. Each satellite is propagated once
for all stations (see ``velarion.passes.satellites``), every station costs
a rotation and an offset of its states, and all (satellite, station) pairs
are searched together (see ``velarion.passes.search``). Elevation and
azimuth are topocentric and geodetic (WGS84 normal, or the ellipsoid of an
``ENU`` station), from states carried to ITRF through the frame graph with
the Earth orientation data in use. Each event found on the interpolated
states is evaluated once more from the exact states and corrected, so its
time is that of the exact model to well under a millisecond.

``look_angles(satellite, station, time)`` gives azimuth, elevation, range
and range rate at any epochs, from the exact states.
"""

from __future__ import annotations

import gc
import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from operator import attrgetter
from typing import Any, NamedTuple, cast

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import ENU
from velarion.time.time import Time
from velarion.utils.budget import MemoryBudgetError, memory_budget

from .doppler import LookAnglesDoppler, check_frequency, doppler_shift
from .eclipses import shadow_crossings
from .satellites import (
    _MODEL_REACH,
    _NODE_ANGLE,
    _NODE_MAX,
    _NODE_MIN,
    _OMEGA_EARTH,
    INTERPOLATION_TOLERANCE,
    THREADS,
    Failure,
    Sat,
    Trajectories,
    angular_rate,
    exact_itrf,
    model_reach,
    one_satellite,
    satellites_of,
)
from .search import Events, Sky, find_events, look
from .stations import Network, Station, station_list
from .visibility import SAMPLE_STEP, visible_passes

__all__ = ["LookAngles", "Pass", "Passes", "event_times", "find_passes", "find_passes_many", "look_angles"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_EVENTS = ("rise", "culmination", "set")
_SHADOW_EVENTS = ("shadow_entry", "shadow_exit")
_OUT_OF_REACH = "the span lies more than 100 years from the element set's epoch, beyond the model's reach"
_FAILURE_RESOLUTION = 0.5  # s: how closely the time of a satellite's failure is found
_VISIBLE_SAMPLES = 2e6  # samples of the visibility check at once
# The memory of a search: a trajectory node (its states, rotations and
# interpolation window, with the temporaries that make them), a sample of
# a track (per thread).
_NODE_BYTES = 1500.0
_SAMPLE_BYTES = 256.0
_CHUNK_WORK = 1_000_000.0  # node evaluations of the satellites searched at once
_RESONANCE_STEP_COST = 0.1  # a resonance integration step, in node evaluations
_RESONANCE_CALLS = 10.0  # calls of the model for one satellite in a search (nodes, checks, events)
# Culminations: a Newton step from the search's estimate smaller than this
# [s] settles one that is sharp enough; others are solved on the exact states to the tolerance
# [s], the elevation rate's slope from a difference over _CULMINATION_DIFF.
_CULMINATION_SETTLED = 0.01
_CULMINATION_CURVED = 1e-7  # rad/s^2: sharper maxima than this are settled by the step
_CULMINATION_TOLERANCE = 1e-3
_CULMINATION_DIFF = 1.0
_CULMINATION_ITERATIONS = 40


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


def _check(duration: float, step: float, min_elevation: float, start: Any) -> tuple[float, float, Time]:
    duration = float(duration)
    step = float(step)
    min_elevation = float(min_elevation)
    if not (math.isfinite(duration) and duration > 0.0):
        raise ValueError(f"the span must be a positive number of seconds, got {duration!r}")
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"the step must be a positive number of seconds, got {step!r}")
    if duration / step > 5e7:
        raise ValueError(f"{duration / step:.3g} samples (span / step) is too many; take a larger step")
    if not (math.isfinite(min_elevation) and -90.0 < min_elevation < 90.0):
        raise ValueError(f"the minimum elevation must lie in (-90, 90) degrees, got {min_elevation!r}")
    start = start if isinstance(start, Time) else Time(start)
    start = start.utc
    if start.shape != ():
        raise ValueError("the start of the span must be a single epoch")
    return duration, step, start


def _threads(threads: int | None) -> int:
    if threads is None:
        return THREADS
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive integer, got {threads!r}")
    return min(threads, 64)


def _memory_budget() -> tuple[int, type[MemoryError]]:
    """The memory budget [bytes] of one search and the error that refuses
    a request beyond it."""
    return memory_budget(), MemoryBudgetError


def _node_count(sat: Sat, start: Time, duration: float) -> float:
    """About how many trajectory nodes the satellite takes over the span."""
    spacing = _NODE_ANGLE / (angular_rate(sat, start) + _OMEGA_EARTH)
    return duration / min(max(spacing, _NODE_MIN), _NODE_MAX) * 1.125 + 4.0


def _check_memory(sats: list[Sat], start: Time, duration: float, step: float, opts: Any) -> list[float]:
    """Refuses, before any work, a search whose one satellite (its nodes and
    the samples of a track on every thread) would not fit the memory
    budget; returns each satellite's node count."""
    nodes = [_node_count(sat, start, duration) for sat in sats]
    if not nodes:
        return nodes
    points = duration / step + 2.0
    k = 1 if not opts.prefilter else max(1, round((960.0 if opts.coarse is None else float(opts.coarse)) / step))
    per_track = points / k * _SAMPLE_BYTES * (1.0 if k == 1 else 2.0)
    need = max(nodes) * _NODE_BYTES + opts.threads * per_track
    budget, error = _memory_budget()
    if need > budget:
        what = "a shorter span" if max(nodes) * _NODE_BYTES > opts.threads * per_track else "a larger step"
        raise error(
            f"find_passes: this search needs about {need / 2**30:.3g} GiB for one satellite "
            f"({max(nodes):.3g} trajectory nodes, {points:.3g} samples a station), more than the memory "
            f"budget of {budget / 2**30:.3g} GiB; take {what} (or raise VELARION_MEMORY_BUDGET)"
        )
    return nodes


def _work(sat: Sat, start: Time, nodes: float) -> float:
    """The work of a satellite's search, in node evaluations: a resonant
    deep-space orbit (about a day or half a day) integrates from its
    epoch in 12-hour steps to the span once per call of the model (its
    integrator then runs on along the call's sorted epochs)."""
    row = sat.elements
    if row is None:
        return nodes
    revs = float(row[10]) * 1440.0 / (2.0 * math.pi)  # a day
    if not (0.8 <= revs <= 1.2 or 1.8 <= revs <= 2.2):
        return nodes
    lo, _ = model_reach(sat, start)
    days = abs(lo + _MODEL_REACH) / 86400.0
    return nodes + _RESONANCE_CALLS * _RESONANCE_STEP_COST * days / 0.5


def _chunks(sats: list[Sat], start: Time, nodes: list[float]) -> list[list[Sat]]:
    """The satellites in groups searched in turn: each within a share of
    the memory budget and a bounded amount of work (well under a second:
    an interrupt and the progress are looked at between groups)."""
    budget, _ = _memory_budget()
    most = 0.5 * budget / _NODE_BYTES
    out: list[list[Sat]] = []
    group: list[Sat] = []
    load = work = 0.0
    for sat, n in zip(sats, nodes, strict=True):
        w = _work(sat, start, n)
        if group and (load + n > most or work + w > _CHUNK_WORK):
            out.append(group)
            group, load, work = [], 0.0, 0.0
        group.append(sat)
        load += n
        work += w
    if group:
        out.append(group)
    return out


def _azimuth_rate(p: Array, w: Array) -> Array:
    e, n = p[:, 0], p[:, 1]
    h2 = e * e + n * n
    return np.asarray(np.where(h2 > 0.0, (n * w[:, 0] - e * w[:, 1]) / h2, 0.0))


@dataclass
class _Found:
    """Passes of one round of the search, polished: per pass its satellite
    and station (positions in the search's lists), times [s from the start;
    NaN where none], azimuths and elevation [rad]."""

    sat: Array
    station: Array
    rise: Array
    rise_az: Array
    culm: Array
    culm_az: Array
    max_el: Array
    set: Array
    set_az: Array
    edge: Array
    visible: Array  # 1.0 / 0.0, NaN when not asked
    shadow_entry: Array  # NaN when none or not asked
    shadow_exit: Array


def _polish(sky: Sky, ev: Events, m: float, threads: int) -> tuple[_Found, dict[int, Failure], set[int]]:
    """Evaluates every event of the search from the exact states and corrects
    it (one Newton step; culminations that move more than a little are
    solved on the exact states); returns the passes, the satellites that
    failed at an event, and those whose interpolation missed its tolerance
    there."""
    traj = sky.traj
    npass = ev.track.size
    # rows: rise, set, highest point of each pass (NaN times are left out)
    kind = np.repeat(np.arange(3), npass)
    which = np.tile(np.arange(npass), 3)
    sec = np.concatenate([ev.rise, ev.set, ev.culmination])
    have = np.isfinite(sec)
    kind, which, sec = kind[have], which[have], sec[have]
    track = ev.track[which]
    sat = sky.sat[track]
    r, v, failures = exact_itrf(traj.sats, sat, sky.start + sec, threads)
    err = traj.check(sat, sec, r)
    coarse = {int(s) for s in np.unique(sat[~(err <= INTERPOLATION_TOLERANCE)])} - set(failures)
    p, w = sky.network.to_enu(sky.station[track], r, v)
    el, eldot, az = look(p, w)
    azdot = _azimuth_rate(p, w)
    dt = np.zeros(sec.size)
    crossing = kind < 2
    dt[crossing] = -(el[crossing] - m) / eldot[crossing]
    culm = (kind == 2) & ~ev.edge[which]
    dt[culm] = -eldot[culm] / ev.curvature[which[culm]]
    # A slow satellite's elevation is so flat at its highest point that the
    # interpolation's metres move the culmination by minutes: those are
    # solved on the exact states.
    curvature = ev.curvature[which]
    unsettled = culm & ~((np.abs(dt) < _CULMINATION_SETTLED) & (np.abs(curvature) > _CULMINATION_CURVED))
    # A correction is a fraction of a second at most; a larger one (a flat
    # rate, a vanishing slope) is not a Newton step worth taking.
    dt = np.where(np.isfinite(dt) & (np.abs(dt) < 1.0), dt, 0.0)
    t = np.clip(sec + dt, 0.0, traj.duration)
    dt = t - sec
    el = np.where(culm, el + 0.5 * eldot * dt, el)
    az = np.mod(az + azdot * dt, 2.0 * math.pi)
    rows = np.flatnonzero(unsettled & ~np.isin(sat, list(failures)))
    if rows.size:
        lo = np.where(np.isfinite(ev.rise[which[rows]]), ev.rise[which[rows]], 0.0)
        hi = np.where(np.isfinite(ev.set[which[rows]]), ev.set[which[rows]], traj.duration)
        tc, elc, azc = _culminations(sky, sat[rows], sky.station[track[rows]], sec[rows], lo, hi, threads)
        t[rows], el[rows], az[rows] = tc, elc, azc

    def column(k: int, values: Array) -> Array:
        out = np.full(npass, np.nan)
        sel = kind == k
        out[which[sel]] = values[sel]
        return out

    found = _Found(
        sat=sky.sat[ev.track],
        station=sky.station[ev.track],
        rise=column(0, t),
        rise_az=column(0, az),
        culm=column(2, t),
        culm_az=column(2, az),
        max_el=column(2, el),
        set=column(1, t),
        set_az=column(1, az),
        edge=ev.edge,
        visible=np.full(npass, np.nan),
        shadow_entry=np.full(npass, np.nan),
        shadow_exit=np.full(npass, np.nan),
    )
    return found, failures, coarse


def _culminations(
    sky: Sky, sat: Array, station: Array, t: Array, lo: Array, hi: Array, threads: int
) -> tuple[Array, Array, Array]:
    """The highest points of passes from the exact positions: the elevation
    at t - h, t, t + h gives its slope and curvature, and Newton steps on
    the slope, kept in the shrinking bracket [lo, hi], find its root (the
    model's velocities are not quite the derivative of its positions: at a
    flat maximum that moves the root by seconds). Returns the times, the
    elevation and the azimuth there [rad]."""
    t, lo, hi = t.copy(), lo.copy(), hi.copy()
    n = t.size
    el = np.full(n, np.nan)
    az = np.full(n, np.nan)
    live = np.arange(n)
    h = _CULMINATION_DIFF
    for _ in range(_CULMINATION_ITERATIONS):
        k = live.size
        tt = np.concatenate([t[live], t[live] - h, t[live] + h])
        ss = np.tile(sat[live], 3)
        r, v, failed = exact_itrf(sky.traj.sats, ss, sky.start + tt, threads)
        p, w = sky.network.to_enu(np.tile(station[live], 3), r, v)
        e, _, a = look(p, w)
        here, before, after = e[:k], e[k : 2 * k], e[2 * k :]
        el[live], az[live] = here, a[:k]
        slope = (after - before) / (2.0 * h)
        curvature = (after - 2.0 * here + before) / (h * h)
        rising = slope > 0.0
        lo[live] = np.where(rising, t[live], lo[live])
        hi[live] = np.where(rising, hi[live], t[live])
        nxt = t[live] - slope / curvature
        inside = np.isfinite(nxt) & (nxt > lo[live]) & (nxt < hi[live]) & (curvature < 0.0)
        nxt = np.where(inside, nxt, 0.5 * (lo[live] + hi[live]))
        done = (np.abs(nxt - t[live]) < _CULMINATION_TOLERANCE) | ~np.isfinite(here)
        done |= hi[live] - lo[live] < _CULMINATION_TOLERANCE
        if failed:
            done |= np.isin(ss[:k], list(failed))
        t[live] = np.where(done, t[live], nxt)
        live = live[~done]
        if not live.size:
            break
    return t, el, az


def _search_round(
    sats: list[Sat],
    network: Network,
    start: Time,
    duration: float,
    step: float,
    m: float,
    prefilter: bool,
    coarse: float | None,
    spacing: Sequence[float] | None,
    visible: bool,
    threads: int,
    eclipses: bool = False,
) -> tuple[_Found, dict[int, Failure], list[int], Array]:
    """One search over ``sats``: the polished passes (and whether each is
    visible, when asked), the failures and the satellites to search again
    with closer nodes (positions in ``sats``), and the node spacing used."""
    traj = Trajectories(sats, start, duration, spacing, threads)
    failures = dict(traj.failures)
    alive = np.array([s for s in range(len(sats)) if s not in failures], dtype=np.intp)
    nst = len(network)
    sat = np.repeat(alive, nst)
    station = np.tile(np.arange(nst, dtype=np.intp), alive.size)
    sky = Sky(traj, network, sat, station)
    ev = find_events(sky, duration, step, m, prefilter, coarse, threads)
    found, late, again = _polish(sky, ev, m, threads)
    failures.update(late)
    if visible:
        lo = np.where(np.isfinite(found.rise), found.rise, 0.0)
        hi = np.where(np.isfinite(found.set), found.set, duration)
        found.visible = np.empty(lo.size)
        # passes in groups of a bounded number of samples (a slow satellite
        # is above the horizon for the whole span)
        samples = np.cumsum((hi - lo) / SAMPLE_STEP + 2.0)
        group = (samples // _VISIBLE_SAMPLES).astype(np.intp)
        for g in np.unique(group).tolist():
            rows = np.flatnonzero(group == g)
            seen = visible_passes(traj.itrf, network, found.sat[rows], found.station[rows], lo[rows], hi[rows], start)
            found.visible[rows] = seen.astype(np.float64)
    if eclipses:
        lo = np.where(np.isfinite(found.rise), found.rise, 0.0)
        hi = np.where(np.isfinite(found.set), found.set, duration)

        def exact(s: Array, sec: Array) -> Array:
            return exact_itrf(traj.sats, s, start + sec, threads)[0]

        found.shadow_entry, found.shadow_exit = shadow_crossings(traj.itrf, exact, found.sat, lo, hi, start)
    return found, failures, sorted(again), traj.spacing


def _rounds(
    sats: list[Sat], network: Network, start: Time, duration: float, opts: _Options
) -> tuple[list[tuple[_Found, list[Sat]]], dict[int, Failure]]:
    """The passes of ``sats`` (rounds with closer nodes for those whose
    interpolation missed its tolerance at an event) and their failures (by
    position in ``sats``)."""
    rows: list[tuple[_Found, list[Sat]]] = []
    failures: dict[int, Failure] = {}
    pending, place, spacing = sats, list(range(len(sats))), None
    for attempt in range(4):
        found, failed, again, used = _search_round(
            pending,
            network,
            start,
            duration,
            opts.step,
            opts.m,
            opts.prefilter,
            opts.coarse,
            spacing,
            opts.visible,
            opts.threads,
            opts.eclipses,
        )
        failures.update({place[k]: f for k, f in failed.items()})
        if attempt == 3:
            again = []
        keep = ~np.isin(found.sat, np.array(again, dtype=np.intp))
        rows.append((_subset(found, keep), pending))
        if not again:
            break
        pending = [pending[s] for s in again]
        place = [place[s] for s in again]
        spacing = [float(used[s]) / 4.0 for s in again]
    return rows, failures


@dataclass
class _Options:
    step: float
    m: float
    prefilter: bool
    coarse: float | None
    visible: bool
    threads: int
    eclipses: bool = False


def _last_states(sats: list[Sat], start: Time, fail: Array, threads: int) -> tuple[Array, list[Failure | None]]:
    """For satellites that fail ``fail[k]`` seconds after ``start`` and not
    at the start: the last second [s from the start] at which each still
    has a state (halving the time between), and its failure just after
    (None for a satellite that fails at the start too)."""
    n = len(sats)
    sid = np.arange(n, dtype=np.intp)
    _, _, at_start = exact_itrf(sats, sid, start + np.zeros(n), threads)
    lo, hi = np.zeros(n), np.asarray(fail, dtype=np.float64).copy()
    last: list[Failure | None] = [None] * n
    for _ in range(64):
        if not (hi - lo > _FAILURE_RESOLUTION).any():
            break
        mid = 0.5 * (lo + hi)
        _, _, failed = exact_itrf(sats, sid, start + mid, threads)
        for k in range(n):
            if k in failed:
                hi[k], last[k] = mid[k], failed[k]
            else:
                lo[k] = mid[k]
    missing = [k for k in range(n) if last[k] is None and k not in at_start]
    if missing:
        _, _, failed = exact_itrf(sats, sid, start + hi, threads)
        for k in missing:
            last[k] = failed.get(k)
    return lo, [None if k in at_start else last[k] for k in range(n)]


def _search(
    satellites: Any,
    stations: Any,
    start: Any,
    duration: float,
    step: float,
    min_elevation: float,
    prefilter: bool,
    coarse: float | None,
    errors: str,
    visible: bool = False,
    threads: int | None = None,
    progress: Any = None,
    eclipses: bool = False,
) -> tuple[list[Pass], Array, list[Failure], list[Station | ENU]]:
    """The passes, the place of each one's satellite in the input, the failures and the stations."""
    duration, step, start = _check(duration, step, min_elevation, start)
    threads = _threads(threads)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be a callable (done, total), not {type(progress).__name__}")
    sats, failures = satellites_of(satellites)
    if errors == "raise" and failures:
        raise failures[0].error
    stations_ = station_list(stations)
    network = Network(stations_)
    opts = _Options(step, math.radians(min_elevation), prefilter, coarse, visible, threads, eclipses)
    nodes = dict(zip((sat.index for sat in sats), _check_memory(sats, start, duration, step, opts), strict=True))
    # The part of the span each satellite's model reaches: a satellite it
    # leaves before the end is searched up to there.
    whole: list[Sat] = []
    ends: dict[int, tuple[float, Failure]] = {}  # by satellite index: end [s], failure
    for sat in sats:
        lo, hi = model_reach(sat, start)
        if lo > 0.0 or hi <= 0.0 or hi < duration:
            cut = 0.0 if lo > 0.0 or hi <= 0.0 else hi
            failure = sat.failure(ValueError(_OUT_OF_REACH), start + cut)
            if errors == "raise":
                raise failure.error
            if cut > 0.0:
                ends[sat.index] = (cut, failure)
            else:
                failures.append(failure)
        else:
            whole.append(sat)
    rows: list[tuple[_Found, list[Sat]]] = []
    by_index = {sat.index: sat for sat in sats}
    total = float(len(sats))
    done = 0.0
    # Divisions by zero (a satellite at the zenith, an empty bracket) are
    # replaced where they occur.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        late: list[Failure] = []
        for chunk in _chunks(whole, start, [nodes[sat.index] for sat in whole]):
            found, failed = _rounds(chunk, network, start, duration, opts)
            if errors == "raise" and failed:
                raise min(failed.values(), key=lambda f: f.index).error
            rows.extend(found)
            for f in failed.values():
                if f.epoch is not None and float(f.epoch - start) > 0.0:
                    late.append(f)
                else:
                    failures.append(f)
            done += len(chunk)
            if progress is not None:
                progress(done, total)
        # Satellites that fail inside the span keep their passes up to the
        # failure: searched again up to their last state.
        if late:
            cands = [by_index[f.index] for f in late]
            last, after = _last_states(cands, start, np.array([float(f.epoch - start) for f in late]), threads)
            for sat, end, f, first in zip(cands, last.tolist(), late, after, strict=True):
                if first is None or end <= 0.0:
                    failures.append(f)
                else:
                    ends[sat.index] = (end, first)
        for place, (end, failure) in sorted(ends.items()):
            found, failed = _rounds([by_index[place]], network, start, end, opts)
            rows.extend(found)
            failures.append(failed[0] if failed else failure)
    if progress is not None and done < total:
        progress(total, total)
    passes, index = _passes(rows, network, start)
    return passes, index, sorted(failures, key=lambda f: f.index), stations_


def _subset(found: _Found, keep: Array) -> _Found:
    return _Found(**{k: getattr(found, k)[keep] for k in found.__dataclass_fields__})


def _passes(rows: list[tuple[_Found, list[Sat]]], network: Network, start: Time) -> tuple[list[Pass], Array]:
    """Pass objects of the polished passes, sorted by time, and the place
    of each one's satellite in the input."""
    # Thousands of small objects at once: the collector's passes over them
    # while they are made would cost more than making them.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _make_passes(rows, network, start)
    finally:
        if collecting:
            gc.enable()


def _make_passes(rows: list[tuple[_Found, list[Sat]]], network: Network, start: Time) -> tuple[list[Pass], Array]:
    rows = [(found, sats) for found, sats in rows if found.sat.size]
    if not rows:
        return [], np.empty(0, dtype=np.intp)

    def gather(field: str) -> Array:
        return np.concatenate([getattr(found, field) for found, _ in rows])

    def per_satellite(value: Any, dtype: Any) -> Array:
        return np.concatenate([np.array([value(s) for s in sats], dtype=dtype)[found.sat] for found, sats in rows])

    index = per_satellite(lambda s: s.index, np.intp)
    rise, set_, station = gather("rise"), gather("set"), gather("station")
    # by rise (a pass under way at the start first), then input order, then station
    order = np.lexsort((station, index, np.where(np.isfinite(rise), rise, 0.0)))
    index = index[order]

    def column(values: Array, have: Array) -> list[Any]:
        """The values in pass order as Python objects, None where ``have`` is false."""
        out = values[order].astype(object)
        out[~have[order]] = None
        return out.tolist()  # type: ignore[no-any-return]

    has_rise, has_set = np.isfinite(rise), np.isfinite(set_)
    culm, edge = gather("culm"), gather("edge")
    has_culm = np.isfinite(culm) & ~edge
    visible = gather("visible")
    stations = np.empty(len(network.stations), dtype=object)
    stations[:] = network.stations
    columns = (
        per_satellite(lambda s: s.label, object)[order].tolist(),
        per_satellite(lambda s: s.satnum, object)[order].tolist(),
        stations[station[order]].tolist(),
        column(rise, has_rise),
        column(np.degrees(gather("rise_az")), has_rise),
        column(culm, has_culm),
        column(np.degrees(gather("culm_az")), has_culm),
        np.degrees(gather("max_el"))[order].tolist(),
        column(set_, has_set),
        column(np.degrees(gather("set_az")), has_set),
        column(visible != 0.0, ~np.isnan(visible)),
        column(gather("shadow_entry"), ~np.isnan(gather("shadow_entry"))),
        column(gather("shadow_exit"), ~np.isnan(gather("shadow_exit"))),
    )
    made: list[Pass] = []
    new_pass = object.__new__
    # Slot by slot: a pass from the search keeps its times as seconds from
    # the start (see Pass).
    for a, b, c, d, e, f, g, h, i, j, k, x, y in zip(*columns, strict=True):
        p = new_pass(Pass)
        p._satellite, p._satnum, p._station, p._origin = a, b, c, start
        p._rise, p._rise_azimuth, p._culmination, p._culmination_azimuth = d, e, f, g
        p._max_elevation, p._set, p._set_azimuth, p._visible = h, i, j, k
        p._shadow_entry, p._shadow_exit = x, y
        made.append(p)
    return made, index


def find_passes(
    satellites: Any,
    stations: Station | ENU | Sequence[Station | ENU],
    start: Any,
    duration: float,
    step: float = 10.0,
    min_elevation: float = 10.0,
    *,
    visible: bool = False,
    errors: str = "report",
    prefilter: bool = True,
    coarse: float | None = None,
    threads: int | None = None,
    progress: Callable[[float, float], object] | None = None,
    eclipses: bool = False,
) -> Passes:
    """Every pass of every satellite over every station, from ``start`` for ``duration`` seconds.

    Parameters
    ----------
    satellites
        One satellite or a sequence of them: ``TLE`` (or any ``ELSET``, such
        as the OMM records of ``load_omm``), ``SGP4`` propagators, (state,
        propagator) pairs, ``Satellite`` objects, or sources
        (``sgp4_source``, ``propagator_source``), mixed.
    stations
        One ``Station`` or ``ENU`` frame, or a sequence of them.
    start
        The start of the span (a ``Time`` or anything ``Time`` accepts, UTC).
    duration
        The span [s].
    step
        Sampling step of the search [s]: passes are found as a scan of the
        elevation every ``step`` seconds would find them (shorter ones too
        when the elevation's rate shows them), with their events refined.
    min_elevation
        The elevation a pass must reach [deg].
    visible
        Also tell, for each pass, whether it can be seen with the eye
        (``Pass.visible``): whether at some moment of the pass the
        satellite is sunlit while the Sun is more than 6 degrees below the
        station's horizon (see ``velarion.passes.visibility`` for the shadow
        model).
    eclipses
        Also give, for each pass, when the satellite first enters the
        Earth's shadow and first leaves it during the pass
        (``Pass.shadow_entry``, ``Pass.shadow_exit``; None when it does not),
        to a millisecond of the shadow model (see ``velarion.passes.eclipses``).
    errors
        "report" (default): a satellite that fails (an SGP4 error at some
        epoch, a propagator's error, a span beyond the compiled model's
        100 years from the element set's epoch) leaves the others' passes
        whole and is listed in the result's ``failures``, with the epoch of
        its failure; its passes before that epoch are kept (the last one cut
        there when still under way). "raise": the first failure is raised.
    prefilter, coarse
        ``prefilter=False`` evaluates every grid point (the same passes,
        more work); ``coarse`` [s] sets the spacing of the search's first
        samples (default 960 s).
    threads
        Threads of the propagation and the search (default: every core).
    progress
        Called as ``progress(done, total)`` (satellites searched, of all)
        between groups of satellites; an interrupt (Ctrl-C) is taken there
        too.

    The satellites are searched in groups within the memory budget
    (``VELARION_MEMORY_BUDGET``, default 2 GiB); a search whose one
    satellite cannot fit it (a span of centuries, a tiny step) raises
    ``MemoryError`` before any work, saying what to reduce.

    Returns
    -------
    Passes
        A list of ``Pass``, sorted by rise time (a pass under way at the
        start first), with the failures in ``.failures``.
    """
    if errors not in ("report", "raise"):
        raise ValueError(f"errors must be 'report' or 'raise', got {errors!r}")
    found, _, failures, _ = _search(
        satellites,
        stations,
        start,
        duration,
        step,
        min_elevation,
        prefilter,
        coarse,
        errors,
        bool(visible),
        threads,
        progress,
        bool(eclipses),
    )
    return Passes(found, failures)


def find_passes_many(
    sources: Sequence[Any],
    station: Station | ENU,
    start: Any,
    duration: float,
    step: float = 10.0,
    min_elevation: float = 10.0,
    *,
    prefilter: bool = True,
    coarse: float | None = None,
    errors: str = "raise",
) -> list[Any]:
    """``find_passes`` over one station, as one list of passes per satellite.

    ``errors="raise"`` raises the first failure of a satellite;
    ``errors="keep"`` puts the exception in that satellite's place and goes
    on with the others.
    """
    if errors not in ("raise", "keep"):
        raise ValueError(f"errors must be 'raise' or 'keep', got {errors!r}")
    sources = list(sources)
    found, index, failures, _ = _search(
        sources,
        station,
        start,
        duration,
        step,
        min_elevation,
        prefilter,
        coarse,
        "raise" if errors == "raise" else "report",
    )
    result: list[Any] = [[] for _ in sources]
    for k, p in zip(index.tolist(), found, strict=True):
        result[k].append(p)
    for f in failures:
        result[f.index] = f.error
    return result


def look_angles(
    satellite: Any, station: Station | ENU, time: Any, *, frequency: float | None = None, two_way: bool = False
) -> LookAngles | LookAnglesDoppler:
    """Azimuth and elevation [deg], range [m] and range rate [m/s] of one
    satellite seen from one station at every epoch of ``time`` (arrays of
    its shape), from the exact states. A failure of the satellite's model
    raises.

    With a carrier ``frequency`` [Hz], the result is a ``LookAnglesDoppler``
    that adds the Doppler shift [Hz] of that carrier, one-way (a downlink
    received at the station) or, with ``two_way=True``, two-way (station to
    satellite and back): see ``velarion.passes.doppler``."""
    if frequency is not None:
        frequency = check_frequency(frequency)
    elif two_way:
        raise ValueError("two_way needs a carrier frequency")
    time = time if isinstance(time, Time) else Time(time)
    sats = [one_satellite(satellite, "look_angles")]
    if not isinstance(station, (Station, ENU)):
        raise TypeError(f"station must be a Station or an ENU frame, not {type(station).__name__}")
    network = Network([station])
    flat = time if time.ndim == 1 else Time.from_jd(time.jd1.reshape(-1), time.jd2.reshape(-1), scale=time.scale)
    n = flat.size
    r, v, failures = exact_itrf(sats, np.zeros(n, dtype=np.intp), flat)
    if failures:
        raise failures[0].error
    p, w = network.to_enu(np.zeros(n, dtype=np.intp), r, v)
    with np.errstate(divide="ignore", invalid="ignore"):
        el, _, az = look(p, w)
        rng = np.linalg.norm(p, axis=1)
        rate = np.where(rng > 0.0, np.einsum("ij,ij->i", p, w) / rng, 0.0)
    shape = time.shape
    angles = (np.degrees(az).reshape(shape), np.degrees(el).reshape(shape), rng.reshape(shape), rate.reshape(shape))
    if frequency is None:
        return LookAngles(*angles)
    return LookAnglesDoppler(*angles, doppler_shift(angles[3], frequency, two_way=bool(two_way)))
