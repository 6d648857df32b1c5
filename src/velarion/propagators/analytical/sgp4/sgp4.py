"""SGP4/SDP4 propagation of mean-element sets.

``SGP4`` turns a ``TLE`` (or any ``ELSET``) into a TEME
``StateVectorEphemeris`` (metres, m/s) at any number of epochs. The orbit
model is Vallado's reference code as maintained in the ``sgp4`` package
(``Satrec``), driven through its array interface: one call covers every
epoch, with no Python loop per epoch.

SGP4 counts time from the element set's epoch as a UTC Julian Date (the
epoch of a two-line element set is UTC), so the model is given the two-part
UTC Julian Dates of the target times. The TEME states then reach ITRF, GCRF
and topocentric ENU frames through the frame graph::

    >>> import velarion.frames
    >>> velarion.frames.register_standard_transforms()
    >>> eph = SGP4(tle).propagate(time)                      # TEME
    >>> r, v = eph.frame.transform_to("ITRF", eph.time, eph.r, eph.v)
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from sgp4.api import SGP4_ERRORS, WGS72, WGS72OLD, WGS84, Satrec  # type: ignore[import-untyped]

from velarion.propagators.propagators import Propagator
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time

from .tle import ELSET, TLE

__all__ = ["SGP4", "SGP4Error"]

_GRAVITY = {"wgs72": WGS72, "wgs72old": WGS72OLD, "wgs84": WGS84}
# sgp4init counts its epoch in days from 1949 December 31 00:00 UTC.
_JD_1950 = 2433281.5


class SGP4Error(ValueError):
    """SGP4 could not give a state: the model's error code at an epoch.

    Attributes: ``code`` (the model's error number), ``index`` (the flat
    index of the first failing epoch), ``epoch`` (its ISO UTC text),
    ``meaning`` (the model's explanation of the code) and ``satnum``.
    """

    def __init__(self, code: int, index: int, epoch: str, satnum: int | None):
        self.code = code
        self.index = index
        self.epoch = epoch
        self.satnum = satnum
        self.meaning = SGP4_ERRORS.get(code, "unknown error")
        sat = f"satellite {satnum}" if satnum is not None else "element set"
        super().__init__(f"SGP4 error {code} for {sat} at {epoch} UTC (epoch index {index}): {self.meaning}")


def _satrec(elset: ELSET, gravity: int) -> Any:
    if isinstance(elset, TLE):
        line1, line2 = elset.lines
        return Satrec.twoline2rv(line1, line2, gravity)
    # Any other mean-element set: initialise the model from the elements,
    # in its units (minutes, radians, Earth radii).
    jd1, jd2 = elset.epoch.utc.jd12.reshape(-1)[:2]
    sat = Satrec()
    sat.sgp4init(
        gravity, "i", 0,
        (jd1 - _JD_1950) + jd2,
        elset.bstar,
        elset.ndot * 60.0**2,
        elset.nddot * 60.0**3,
        elset.ecc, elset.arp, elset.inc, elset.mea,
        elset.mnm * 60.0,
        elset.raa,
    )
    return sat


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
        if not isinstance(gravity, str) or gravity.lower() not in _GRAVITY:
            raise ValueError(f"unknown gravity model {gravity!r}; expected one of {', '.join(_GRAVITY)}")
        self.gravity = gravity.lower()
        self.tle = tle
        self._cache: tuple[ELSET, Any] | None = None

    def __repr__(self) -> str:
        name = None if self.tle is None else (self.tle.name or getattr(self.tle, "satnum", None))
        return f"SGP4({name!r}, gravity={self.gravity!r})"

    def satrec(self, state: ELSET | None = None) -> Any:
        """The ``sgp4`` model record of ``state`` (default: this propagator's element set)."""
        elset = self._elset(state)
        cached = self._cache
        if cached is not None and cached[0] is elset:
            return cached[1]
        sat = _satrec(elset, _GRAVITY[self.gravity])
        if sat.error:
            raise SGP4Error(int(sat.error), 0, str(elset.epoch.utc.iso), getattr(elset, "satnum", None))
        self._cache = (elset, sat)
        return sat

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
        sat = self.satrec(state)
        if not isinstance(time, Time):
            time = Time(time)
        r, v = self.teme_arrays(time, sat)
        return StateVectorEphemeris(time, r, v, frame="TEME")

    def teme_arrays(self, time: Time, sat: Any = None) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """TEME positions [m] and velocities [m/s], (N, 3) arrays, at the epochs of ``time``."""
        if sat is None:
            sat = self.satrec()
        jd = time.utc.jd12.reshape(-1, 2)
        err, r, v = sat.sgp4_array(np.ascontiguousarray(jd[:, 0]), np.ascontiguousarray(jd[:, 1]))
        if err.any():
            k = int(np.flatnonzero(err)[0])
            epoch = str(Time.from_jd(jd[k, 0], jd[k, 1], scale="utc").iso)
            raise SGP4Error(int(err[k]), k, epoch, sat.satnum)
        r *= 1e3
        v *= 1e3
        return np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
