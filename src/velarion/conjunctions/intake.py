"""The satellites of a screening: their SGP4 records, built once from the
element sets, and their states at the search's epochs.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.propagators.analytical.sgp4.records import (
    GRAVITY_MODELS,
    Records,
    SGP4Error,
    epoch_text,
    model_code,
    sgp4_jd,
)
from velarion.propagators.analytical.sgp4.sgp4 import SGP4
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.propagators.failures import Failure
from velarion.time.time import Time

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_MAX_DAYS = 36500.0  # from an element set's epoch: the compiled model refuses longer spans


@dataclass
class _Screened:
    """A satellite that takes part in the screening: its name, catalogue
    number and row in the compiled records."""

    name: str
    satnum: int | None
    record: int  # row of the satellite in the compiled SGP4 records


@dataclass
class _Intake:
    """The satellites that start, the failures of those that do not, and
    the compiled SGP4 records (built once from the element sets)."""

    objects: list[_Screened | None]
    failures: list[Failure]
    records: Records


def _intake(satellites: Any, span: tuple[Time, float] | None = None) -> _Intake:
    """SGP4 records of TLEs, other element sets and SGP4 propagators (the
    elements and gravity model ``SGP4`` initialises the model with); None
    (and a failure) where the model cannot start, or where the span (start,
    duration) lies more than a century from the element set's epoch."""
    if isinstance(satellites, (ELSET, SGP4)):
        satellites = [satellites]
    elsets: list[ELSET] = []
    gravity: list[str] = []
    for k, sat in enumerate(satellites):
        if isinstance(sat, SGP4):
            elset, model = sat.tle, sat.gravity
        elif isinstance(sat, ELSET):
            elset, model = sat, "wgs72"
        else:
            raise TypeError(
                f"satellite {k} must be a TLE, another ELSET or an SGP4 propagator, not {type(sat).__name__}"
            )
        if elset is None:
            raise TypeError(f"satellite {k} is an SGP4 propagator without an element set")
        if not isinstance(elset, ELSET):
            raise TypeError(f"satellite {k} is an SGP4 propagator of a {type(elset).__name__}, not an ELSET")
        if model not in GRAVITY_MODELS:
            raise ValueError(f"satellite {k}: unknown gravity model {model!r}")
        elsets.append(elset)
        gravity.append(model)
    records = Records(elsets, gravity)
    rows, codes = records.elements, records.codes
    far = np.zeros(len(elsets), dtype=bool)
    if span is not None and len(elsets):
        jd1, jd2 = sgp4_jd(span[0] + np.array([0.0, span[1]]))
        days = (jd1[:, None] - rows[:, 0]) + (jd2[:, None] - rows[:, 1])
        far = np.abs(days).max(axis=0) > _MAX_DAYS
    objects: list[_Screened | None] = []
    failures: list[Failure] = []
    for k, (elset, code) in enumerate(zip(elsets, codes.tolist(), strict=True)):
        satnum = getattr(elset, "satnum", None)
        name = elset.name or (str(satnum) if satnum is not None else f"#{k}")
        if code:
            objects.append(None)
            failed = SGP4Error(code, 0, str(elset.epoch.utc.iso), satnum)
            failures.append(Failure(k, name, satnum, elset.epoch.utc, failed))
        elif far[k]:
            objects.append(None)
            error = ValueError(f"the span lies more than a century from the element set's epoch {elset.epoch.utc.iso}")
            failures.append(Failure(k, name, satnum, None, error))
        else:
            objects.append(_Screened(name, satnum, k))
    return _Intake(objects, failures, records)


def _first_failure(codes: Array) -> tuple[int, int]:
    """(index, code) of the first state the compiled model did not give
    (as an ``SGP4Error`` code)."""
    j = int(np.argmax(codes != 0))
    return j, model_code(codes[j])


class _Catalogue:
    """The satellites being screened: names, the compiled SGP4 records, and
    the bounds of their paths over the span."""

    def __init__(self, objects: list[_Screened], records: Records, start: Time, duration: float, threads: int = 1):
        self.objects = objects
        self.records = records
        self.rows = np.array([o.record for o in objects], dtype=np.int64)
        self.start = start
        self.duration = duration
        self.threads = threads
        # satellite -> (the error, the UTC epoch it happened at or None)
        self.failed: dict[int, tuple[Exception, Time | None]] = {}
        # satellite -> seconds from the start when the model failed (the
        # satellite's approaches until then are kept)
        self.failed_at: dict[int, float] = {}
        self.is_primary: Array | None = None  # per satellite, with primaries

    def jd(self, seconds: Array) -> tuple[Array, Array]:
        return sgp4_jd(self.start + np.asarray(seconds, dtype=np.float64))

    def fail(self, k: int, error: Exception, epoch: Time | None = None) -> None:
        self.failed.setdefault(k, (error, epoch))

    def fail_between(self, ids: Array, good: Array, bad: Array) -> None:
        """The model failed for satellites ``ids`` between ``good`` and
        ``bad`` seconds: the failure's time found to a second by bisection,
        and recorded."""
        ids = np.asarray(ids, dtype=np.intp)
        lo, hi = np.asarray(good, dtype=np.float64).copy(), np.asarray(bad, dtype=np.float64).copy()
        code = np.zeros(ids.size, dtype=np.int64)
        err, _, _ = self.points(ids, hi)
        code[:] = err
        while ids.size and (hi - lo).max() > 1.0:
            mid = 0.5 * (lo + hi)
            err, _, _ = self.points(ids, mid)
            failing = err != 0
            hi = np.where(failing, mid, hi)
            lo = np.where(failing, lo, mid)
            code = np.where(failing, err, code)
        for k, t, c in zip(ids.tolist(), hi.tolist(), code.tolist(), strict=True):
            if k in self.failed:
                continue
            at = self.start + np.array([t])
            self.failed_at[k] = t
            self.fail(k, SGP4Error(model_code(c), 0, epoch_text(at, 0), self.objects[k].satnum), at[0].utc)

    def sample(self, ids: Array, seconds: Array) -> tuple[Array, Array, Array]:
        """States [m, m/s] of satellites ``ids`` (an index array) at common
        epochs: (n, m, 3) arrays and the model's codes (n, m), 0 where it
        gave a state."""
        jd1, jd2 = self.jd(seconds)
        ids = np.asarray(ids, dtype=np.intp)
        err, r, v = self.records.states(self.rows[ids], jd1, jd2, self.threads)
        return err, r, v

    def points(self, ids: Array, seconds: Array) -> tuple[Array, Array, Array]:
        """States [m, m/s] of satellite ids[q] at seconds[q]: the model's
        codes (n,) and (n, 3) arrays, NaN where the model failed."""
        ids = np.asarray(ids, dtype=np.intp)
        seconds = np.asarray(seconds, dtype=np.float64)
        if ids.size == 0:
            return np.zeros(0, np.uint8), np.zeros((0, 3)), np.zeros((0, 3))
        jd1, jd2 = self.jd(seconds)
        err, r, v = self.records.points(self.rows[ids], jd1, jd2, self.threads)
        bad = err != 0
        if bad.any():
            r[bad] = np.nan
            v[bad] = np.nan
        return err, r, v

    def states(self, ids: Array, seconds: Array) -> tuple[Array, Array]:
        """States [m, m/s] of satellite ids[q] at seconds[q]; NaN rows where
        the model fails."""
        _, r, v = self.points(ids, seconds)
        return r, v
