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

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import ENU
from velarion.time.time import Time
from velarion.utils.threads import resolve_threads

from .doppler import LookAnglesDoppler, check_frequency, doppler_shift
from .driver import _search
from .results import LookAngles, Pass, Passes, event_times
from .satellites import (
    exact_itrf,
    one_satellite,
)
from .stations import Network, Station, look

__all__ = ["LookAngles", "Pass", "Passes", "event_times", "find_passes", "look_angles"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


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
        station's horizon (see ``velarion.bodies.shadow`` for the shadow
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
    found, failures = _search(
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


def look_angles(
    satellite: Any,
    station: Station | ENU,
    time: Any,
    *,
    frequency: float | None = None,
    two_way: bool = False,
    threads: int | None = None,
) -> LookAngles | LookAnglesDoppler:
    """Azimuth and elevation [deg], range [m] and range rate [m/s] of one
    satellite seen from one station at every epoch of ``time`` (arrays of
    its shape), from the exact states. A failure of the satellite's model
    raises.

    With a carrier ``frequency`` [Hz], the result is a ``LookAnglesDoppler``
    that adds the Doppler shift [Hz] of that carrier, one-way (a downlink
    received at the station) or, with ``two_way=True``, two-way (station to
    satellite and back): see ``velarion.passes.doppler``. ``threads``:
    threads of the propagation (default: every core)."""
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
    r, v, failures = exact_itrf(sats, np.zeros(n, dtype=np.intp), flat, resolve_threads(threads))
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
