"""The SGP4 engine: ``Records``, a compiled, read-only catalogue of SGP4/SDP4
records (one per element set, shareable across threads), and what belongs to
it: the epoch scale the model counts time on (``sgp4_jd``), the gravity
models, the model's error codes and their one translation into
``SGP4Error``.

The model is a C++ port of Vallado's SGP4/SDP4 (the sgp4 package's
``Satrec`` is its test oracle). The ``SGP4`` propagator runs one record of a
catalogue; the pass search and the conjunction screening run whole ones.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.time.time import Time

from ._compiled import NON_FINITE_CODE, Records

__all__ = [
    "ERROR_MEANINGS",
    "GRAVITY_MODELS",
    "MAX_DAYS",
    "NON_FINITE",
    "NON_FINITE_CODE",
    "Records",
    "SGP4Error",
    "elset_epochs",
    "epoch_text",
    "error_at",
    "model_code",
    "sgp4_jd",
]

# Word for word: callers and tests compare the exception texts of this module.

# The model's Earth constants by name: "wgs72" (what element sets are fitted
# with), "wgs72old" and "wgs84".
GRAVITY_MODELS = ("wgs72", "wgs72old", "wgs84")
# How far from its element set's epoch the model goes [days] (the resonance
# integrator steps from the epoch; Records refuses epochs beyond).
MAX_DAYS = 100.0 * 366.0
# 1972 January 1 0h UTC: from then on TAI-UTC is a whole number of seconds.
_JD_1972 = 2441317.5

# The code of an SGP4Error for a state the model gave as NaN or infinite
# without an error code of its own (Records reports it as NON_FINITE_CODE).
NON_FINITE = -1

# The model's explanation of its codes, as the reference code words them.
ERROR_MEANINGS = {
    1: "mean eccentricity is outside the range 0.0 to 1.0",
    2: "nm is less than zero",
    3: "perturbed eccentricity is outside the range 0.0 to 1.0",
    4: "semilatus rectum is less than zero",
    5: "(error 5 no longer in use; it meant the satellite was underground)",
    6: "mrt is less than 1.0 which indicates the satellite has decayed",
    NON_FINITE: "the model gave a non-finite position or velocity (elements outside its domain)",
}


def model_code(code: int) -> int:
    """The SGP4Error code of a code of ``Records`` (its non-finite code is ``NON_FINITE``)."""
    code = int(code)
    return NON_FINITE if code == NON_FINITE_CODE else code


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
        self.meaning = ERROR_MEANINGS.get(code, "unknown error")
        sat = f"satellite {satnum}" if satnum is not None else "element set"
        super().__init__(f"SGP4 error {code} for {sat} at {epoch} UTC (epoch index {index}): {self.meaning}")

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its fields (the message alone does not fit __init__), so
        # a failure crosses process boundaries (dask workers) intact.
        return (type(self), (self.code, self.index, self.epoch, self.satnum))


def sgp4_jd(time: Time) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The epochs of ``time`` as two-part Julian Dates on the model's scale
    (the sgp4 package's): UTC calendar date and clock time in days of 86400 s.

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


def elset_epochs(elsets: Sequence[Any]) -> NDArray[np.float64]:
    """The epochs of element sets (other than TLEs, whose epoch comes from
    their text) on the model's scale, (n, 2): what ``Records`` counts each
    record's time from."""
    utc = np.empty((len(elsets), 2))
    for k, elset in enumerate(elsets):
        if elset.epoch.size != 1:
            raise ValueError(f"the element set's epoch must be one date, not {elset.epoch.size}")
        utc[k] = elset.epoch.utc.jd12.reshape(2)
    jd1, jd2 = sgp4_jd(Time.from_jd(utc[:, 0], utc[:, 1], scale="utc"))
    return np.column_stack([jd1, jd2])


def epoch_text(time: Time, k: int) -> str:
    """ISO UTC text of the epoch of flat index k (for messages)."""
    jd = time.tai.jd12.reshape(-1, 2)
    return str(Time.from_jd(jd[k, 0], jd[k, 1], scale="tai").utc.iso)


def error_at(codes: NDArray[Any], time: Time, satnum: int | None) -> SGP4Error | None:
    """The ``SGP4Error`` of the first non-zero code of ``Records`` states at
    the epochs of ``time`` (one row of codes), or None when all are 0."""
    bad = np.asarray(codes).reshape(-1) != 0
    if not bad.any():
        return None
    k = int(np.argmax(bad))
    return SGP4Error(model_code(codes.reshape(-1)[k]), k, epoch_text(time, k), satnum)
