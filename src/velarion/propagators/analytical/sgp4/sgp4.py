"""SGP4/SDP4 propagation of mean-element sets.

``SGP4`` turns a ``TLE`` (or any ``ELSET``) into a TEME
``StateVectorEphemeris`` (metres, m/s) at any number of epochs. The model
runs in the project's compiled port of Vallado's reference code: one record
of a ``Records`` catalogue (see ``records``) per element set, every epoch
in one call, with no Python loop per epoch.

SGP4 counts time from the element set's epoch in UTC (the epoch of a
two-line element set is UTC), on the model's own Julian Date scale: the UTC
calendar date and clock time in days of 86400 s, as the reference's
``jday`` and ``twoline2rv`` make them (see ``sgp4_jd``). The model is
initialised from the elements of the set (``sgp4init``): what ``TLE`` parsed
is what runs. The TEME states then reach ITRF, GCRF and topocentric ENU
frames through the frame graph::

    >>> import velarion.frames
    >>> velarion.frames.register_standard_transforms()
    >>> eph = SGP4(tle).propagate(time)                      # TEME
    >>> r, v = eph.frame.transform_to("ITRF", eph.time, eph.r, eph.v)
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.propagators.propagators import Propagator
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time

from .records import (
    GRAVITY_MODELS,
    NON_FINITE,
    Records,
    SGP4Error,
    epoch_text,
    error_at,
    sgp4_jd,
)
from .tle import ELSET

__all__ = [
    "NON_FINITE",
    "SGP4",
    "SGP4Error",
    "epoch_text",
    "sgp4_jd",
    "sgp4init_elements",
    "sgp4init_rows",
]

# Word for word: callers and tests compare the exception texts of this module.


def sgp4init_rows(elsets: Sequence[ELSET]) -> NDArray[np.float64]:
    """The epochs and mean elements ``sgp4init`` starts from, one row per
    element set, in the model's units (minutes, radians, Earth radii):
    (jd, fr, epoch, bstar, ndot, nddot, ecco, argpo, inclo, mo, no_kozai,
    nodeo), the epoch both as the two-part UTC Julian Date the model counts
    time from (``sgp4_jd``) and in days from 1949 December 31 0h UTC (the
    ``elements`` of their ``Records``). A TLE starts the model from its text
    as the reference's twoline2rv does (its epoch split and unit
    conversions, rounding for rounding)."""
    return np.array(Records(list(elsets)).elements)


def sgp4init_elements(elset: ELSET) -> tuple[float, ...]:
    """One row of ``sgp4init_rows``: what ``sgp4init`` starts from."""
    return tuple(float(x) for x in sgp4init_rows([elset])[0])


class SGP4(Propagator):
    """SGP4/SDP4 propagator of two-line element sets.

    ``SGP4(tle=None, gravity="wgs72")``: ``tle`` is the element set that
    ``propagate_state`` uses when it is given none (a ``TLE`` or any other
    ``ELSET``); ``gravity`` the model's Earth constants, "wgs72" (the
    constants two-line element sets are fitted with), "wgs72old" or "wgs84".

    ``propagate_state(time, state=None)`` returns a ``StateVectorEphemeris``
    in TEME with one row per epoch of ``time`` (anything ``Time`` accepts);
    positions in metres, velocities in m/s. An epoch where the model fails
    (a decayed orbit, an eccentricity out of range) raises ``SGP4Error``
    naming the epoch and the model's explanation.
    """

    def __init__(self, tle: ELSET | None = None, gravity: str = "wgs72"):
        if tle is not None and not isinstance(tle, ELSET):
            raise TypeError(f"tle must be a TLE or another ELSET, not {type(tle).__name__}")
        if not isinstance(gravity, str) or gravity.lower() not in GRAVITY_MODELS:
            raise ValueError(f"unknown gravity model {gravity!r}; expected one of wgs72, wgs72old, wgs84")
        self.gravity = gravity.lower()
        self.tle = tle
        self._cache: tuple[ELSET, Records] | None = None

    def __reduce__(self) -> tuple[Any, ...]:
        # The compiled record is rebuilt where the propagator lands.
        return (type(self), (self.tle, self.gravity))

    def __repr__(self) -> str:
        name = None if self.tle is None else (self.tle.name or getattr(self.tle, "satnum", None))
        return f"SGP4({name!r}, gravity={self.gravity!r})"

    def records(self, state: ELSET | None = None) -> Records:
        """The model record of ``state`` (default: this propagator's element
        set), a ``Records`` catalogue of one; raises ``SGP4Error`` when the
        model cannot start from its elements."""
        elset = self._elset(state)
        cached = self._cache
        if cached is not None and cached[0] is elset:
            records = cached[1]
        else:
            records = Records([elset], self.gravity)
            if state is None or state is self.tle:
                self._cache = (elset, records)
        code = int(records.codes[0])
        if code:
            raise SGP4Error(code, 0, str(elset.epoch.utc.iso), getattr(elset, "satnum", None))
        return records

    def _elset(self, state: ELSET | None) -> ELSET:
        elset = self.tle if state is None else state
        if elset is None:
            raise TypeError("no element set: give SGP4(tle) or propagate_state(time, tle)")
        if not isinstance(elset, ELSET):
            raise TypeError(f"SGP4 propagates a TLE or another ELSET, not {type(elset).__name__}")
        return elset

    def propagate(self, time: Any, state: ELSET | None = None, **kwargs: Any) -> StateVectorEphemeris:
        """Propagate ``state`` (default: this propagator's element set) to the epochs of ``time``."""
        eph: StateVectorEphemeris = super().propagate(time, state, **kwargs)
        return eph

    def propagate_state(self, time: Any, state: ELSET | None = None, **kwargs: Any) -> StateVectorEphemeris:
        """Propagate a mean-element set to one or more epochs (TEME, m and m/s).

        Parameters
        ----------
        time : DatetimeLike
            Target epoch(s): anything the Time constructor accepts.
        state : ELSET, optional
            The element set; default: the one given at construction.
        **kwargs
            Ignored.

        Returns
        -------
        StateVectorEphemeris
            Positions and velocities in TEME, one row per epoch.

        Raises
        ------
        SGP4Error
            At the first epoch where the model reports an error.
        """
        records = self.records(state)
        if not isinstance(time, Time):
            time = Time(time)
        r, v = self.teme_arrays(time, records)
        return StateVectorEphemeris(time, r, v, frame="TEME")

    def teme_arrays(
        self, time: Time, records: Records | None = None
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """TEME positions [m] and velocities [m/s], (N, 3) arrays, at the
        epochs of ``time``, of the first record of ``records`` (default:
        this propagator's element set's)."""
        if records is None:
            records = self.records()
        jd1, jd2 = sgp4_jd(time)
        code, r, v = records.states(_FIRST, jd1, jd2)
        satnum = records.satnums[0]
        error = error_at(code[0], time, satnum or None)
        if error is not None:
            raise error
        return r[0], v[0]


_FIRST = np.zeros(1, dtype=np.int64)
