"""SGP4/SDP4 propagation of mean-element sets.

``SGP4`` turns a ``TLE`` (or any ``ELSET``) into a TEME
``StateVectorEphemeris`` (metres, m/s) at any number of epochs. The orbit
model is Vallado's reference code as maintained in the ``sgp4`` package
(``Satrec``), driven through its array interface: one call covers every
epoch, with no Python loop per epoch.

SGP4 counts time from the element set's epoch in UTC (the epoch of a
two-line element set is UTC), on the ``sgp4`` package's own Julian Date
scale: the UTC calendar date and clock time in days of 86400 s, as its
``jday`` and ``Satrec.twoline2rv`` make them (see ``sgp4_jd``). The model is
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
from sgp4.api import SGP4_ERRORS, WGS72, WGS72OLD, WGS84, Satrec

from velarion.propagators.propagators import Propagator
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time

from .tle import ELSET, TLE

__all__ = [
    "NON_FINITE",
    "SGP4",
    "SGP4Error",
    "epoch_text",
    "first_failure",
    "init_models",
    "sgp4_jd",
    "sgp4init_elements",
    "sgp4init_rows",
]

# Word for word: callers and tests compare the exception texts of this module.

_GRAVITY = {"wgs72": WGS72, "wgs72old": WGS72OLD, "wgs84": WGS84}
# sgp4init counts its epoch in days from 1949 December 31 00:00 UTC.
_JD_1950 = 2433281.5
# 1972 January 1 0h UTC: from then on TAI-UTC is a whole number of seconds.
_JD_1972 = 2441317.5


def sgp4_jd(time: Time) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The epochs of ``time`` as two-part Julian Dates on the ``sgp4``
    package's scale: UTC calendar date and clock time in days of 86400 s.

    ERFA's UTC Julian Dates (``Time.utc.jd12``) spread the 86401 s of a
    day that ends with a leap second over the day, which puts its clock
    times up to a second away from this scale: on such a day the fraction
    is stretched back by the day's length. Before 1972, when UTC stepped by
    fractions of a second and ran at another rate, the calendar date and
    clock time are taken as they are (to the nanosecond); an epoch inside
    such a step keeps ERFA's date.
    """
    utc = time.utc.jd12.reshape(-1, 2)
    midnight = np.floor((utc[:, 0] - 0.5) + utc[:, 1]) + 0.5
    fraction = (utc[:, 0] - midnight) + utc[:, 1]
    if midnight.size == 0:
        return midnight, fraction
    # The days of the epochs (a range when they are close together, as a
    # grid's are) and each day's leap second: the step of TAI-UTC from its
    # start to the next day's.
    first, last = float(midnight.min()), float(midnight.max())
    if last - first <= 4.0 * midnight.size + 366.0:
        days = np.arange(first, last + 1.0)
        index = (midnight - first).astype(np.intp)
    else:
        days, index = np.unique(midnight, return_inverse=True)
    bounds = np.concatenate([days, days + 1.0])
    tai = Time.from_jd(bounds, scale="utc").tai.jd12.reshape(-1, 2)
    dat = ((tai[:, 0] - bounds) + tai[:, 1]) * 86400.0
    leap = np.round(dat[days.size :] - dat[: days.size])
    jd2 = fraction * ((86400.0 + leap[index]) / 86400.0)
    early = midnight < _JD_1972
    if early.any():
        try:
            clock = Time.from_jd(utc[early, 0], utc[early, 1], scale="utc").to_datetime64()
        except ValueError:  # inside a step of UTC, or before 1678 (no UTC steps then)
            jd2[early] = fraction[early]
        else:
            ns = np.asarray(clock, dtype="datetime64[ns]").astype(np.int64).reshape(-1)
            whole, rest = np.divmod(ns, 86_400_000_000_000)
            midnight[early] = whole + 2440587.5
            jd2[early] = rest / 86400e9
    return midnight, jd2


# The code of an SGP4Error for a state the model gave as NaN or infinite
# without an error code of its own.
NON_FINITE = -1


class SGP4Error(ValueError):
    """SGP4 could not give a state: the model's error code at an epoch.

    Attributes: ``code`` (the model's error number; ``NON_FINITE``, -1, for
    a position or velocity the model gave as NaN or infinite without an
    error of its own), ``index`` (the flat index of the first failing
    epoch), ``epoch`` (its ISO UTC text), ``meaning`` (the model's
    explanation of the code) and ``satnum`` (the catalogue number of a
    ``TLE``, None for an element set without one).
    """

    def __init__(self, code: int, index: int, epoch: str, satnum: int | None):
        self.code = code
        self.index = index
        self.epoch = epoch
        self.satnum = satnum
        if code == NON_FINITE:
            self.meaning = "the model gave a non-finite position or velocity (elements outside its domain)"
        else:
            self.meaning = SGP4_ERRORS.get(code, "unknown error")
        sat = f"satellite {satnum}" if satnum is not None else "element set"
        super().__init__(f"SGP4 error {code} for {sat} at {epoch} UTC (epoch index {index}): {self.meaning}")

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its fields (the message alone does not fit __init__), so
        # a failure crosses process boundaries (dask workers) intact.
        return (type(self), (self.code, self.index, self.epoch, self.satnum))


def first_failure(err: NDArray[Any], r: NDArray[np.float64], v: NDArray[np.float64]) -> tuple[int, int] | None:
    """(index, code) of the first epoch whose state the model did not give:
    an error code, or a NaN or infinity with none; None when all are good."""
    bad = (err != 0) | ~np.isfinite(r).all(axis=1) | ~np.isfinite(v).all(axis=1)
    if not bad.any():
        return None
    k = int(np.argmax(bad))
    return k, int(err[k]) if err[k] else NON_FINITE


def epoch_text(time: Time, k: int) -> str:
    """ISO UTC text of the epoch of flat index k (for messages)."""
    jd = time.tai.jd12.reshape(-1, 2)
    return str(Time.from_jd(jd[k, 0], jd[k, 1], scale="tai").utc.iso)


def sgp4init_rows(elsets: Sequence[ELSET]) -> NDArray[np.float64]:
    """The epochs and mean elements ``sgp4init`` starts from, one row per
    element set, in the model's units (minutes, radians, Earth radii):
    (jd, fr, epoch, bstar, ndot, nddot, ecco, argpo, inclo, mo, no_kozai,
    nodeo), with the epoch both as the two-part UTC Julian Date the model
    counts time from (``sgp4_jd``) and in days from 1949 December 31 0h UTC."""
    rows = np.empty((len(elsets), 12))
    if not len(elsets):
        return rows
    utc = []
    for k, elset in enumerate(elsets):
        if elset.epoch.size != 1:
            raise ValueError(f"the element set's epoch must be one date, not {elset.epoch.size}")
        utc.append(elset.epoch.utc.jd12.reshape(2))
        rows[k, 3:] = (
            elset.bstar,
            elset.ndot * 60.0**2,
            elset.nddot * 60.0**3,
            elset.ecc,
            elset.arp,
            elset.inc,
            elset.mea,
            elset.mnm * 60.0,
            elset.raa,
        )
    days = np.array(utc)
    jd1, jd2 = sgp4_jd(Time.from_jd(days[:, 0], days[:, 1], scale="utc"))
    rows[:, 0], rows[:, 1] = jd1, jd2
    rows[:, 2] = (jd1 - _JD_1950) + jd2
    # A TLE starts the model from its text as the reference twoline2rv does
    # (its epoch split and unit conversions, rounding for rounding): the same
    # states as the sgp4 package's Satrec of the same lines, to the bit.
    for k, elset in enumerate(elsets):
        if isinstance(elset, TLE):
            rows[k] = elset._sgp4init_row()
    return rows


def sgp4init_elements(elset: ELSET) -> tuple[float, ...]:
    """One row of ``sgp4init_rows``: what ``sgp4init`` starts from."""
    return tuple(float(x) for x in sgp4init_rows([elset])[0])


def _satrec(elset: ELSET, gravity: int, row: Sequence[float] | None = None) -> Any:
    """The model record of the element set, initialised from its elements
    (what ``TLE`` parsed, never the lines again), in the model's units:
    minutes, radians, Earth radii. ``row``: the element set's row of
    ``sgp4init_rows``, when the caller has it."""
    jd1, jd2, *elements = sgp4init_elements(elset) if row is None else row
    tle = elset if isinstance(elset, TLE) else None
    satnum = getattr(elset, "satnum", 0)
    sat = Satrec()
    # 'i': the improved mode that Satrec.twoline2rv uses.
    sat.sgp4init(gravity, "i", satnum if isinstance(satnum, int) else 0, *elements)
    # The model counts time from these two parts: the epoch as exactly as
    # the element set holds it (the one-number epoch above is good to 0.3 us).
    sat.jdsatepoch, sat.jdsatepochF = jd1, jd2
    if tle is not None:
        # As the line writes it: the model's own Alpha-5 encoding of the
        # number gives I and O for 18xxxx and 23xxxx, letters Alpha-5 skips.
        sat.satnum_str = tle.lines[0][2:7]
        sat.classification = tle.classification
        sat.intldesg = tle.intldesg
        sat.elnum = tle.elnum
        sat.revnum = tle.revnum
        sat.ephtype = tle.ephtype
    else:
        # Another element set that carries these (an OMM record) gives them too.
        for field in ("classification", "intldesg", "elnum", "revnum", "ephtype"):
            value = getattr(elset, field, None)
            if value is not None:
                setattr(sat, field, value)
    return sat


def init_models(propagators: Sequence[SGP4]) -> list[SGP4Error | None]:
    """Initialises the model records of many propagators at once (their
    epochs converted together), for the element set each was given; returns
    for each None, or the ``SGP4Error`` its elements give (a record that
    cannot start)."""
    todo = [p for p in propagators if p.tle is not None and (p._cache is None or p._cache[0] is not p.tle)]
    elsets = [p.tle for p in todo if p.tle is not None and p.tle.epoch.size == 1]
    if elsets:
        rows = dict(zip(map(id, elsets), sgp4init_rows(elsets).tolist(), strict=True))
        for p in todo:
            if p.tle is not None and id(p.tle) in rows:
                p._cache = (p.tle, _satrec(p.tle, _GRAVITY[p.gravity], rows[id(p.tle)]))
    out: list[SGP4Error | None] = []
    for p in propagators:
        try:
            p.satrec()
        except SGP4Error as e:
            out.append(e)
        else:
            out.append(None)
    return out


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
        if cached is not None and cached[0] is elset and not cached[1].error:
            return cached[1]
        sat = cached[1] if cached is not None and cached[0] is elset else _satrec(elset, _GRAVITY[self.gravity])
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
        err, r, v = sat.sgp4_array(*sgp4_jd(time))
        failure = first_failure(err, r, v)
        if failure is not None:
            k, code = failure
            raise SGP4Error(code, k, epoch_text(time, k), sat.satnum or None)
        r *= 1e3
        v *= 1e3
        return np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
