"""Exact ITRF states of the satellites of a search.

The SGP4 ones come from the search's compiled ``Records`` in one call for
all the epochs, and one TEME -> ITRF conversion for all of them; other
sources are propagated and converted to ITRF through the frame graph one
satellite at a time.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames import standard_to_itrf
from velarion.frames.frames import get_TEME
from velarion.iers import EOPRangeError
from velarion.propagators.analytical.sgp4.records import Records, SGP4Error, epoch_text, model_code, sgp4_jd
from velarion.propagators.failures import Failure
from velarion.time.time import Time
from velarion.utils.threads import resolve_threads

from .sources import SATELLITE_ERRORS, SearchedSatellite, Source

__all__ = ["THREADS", "exact_itrf", "group_itrf"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]

# Many states (node samples, events) are computed on every core (few are
# not worth starting threads for).
THREADS = resolve_threads(None)
_THREADED_STATES = 4096


def _failing_epoch(source: Source, time: Time) -> tuple[int, BaseException]:
    """The first epoch (flat index) at which ``source`` fails, by halving the epochs."""
    lo, hi = 0, time.size
    error: BaseException | None = None
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            _itrf_of(source, time[lo:mid])
        except EOPRangeError:
            raise
        except SATELLITE_ERRORS as e:
            error, hi = e, mid
        else:
            lo = mid
    if error is None or hi - lo == 1:
        try:
            _itrf_of(source, time[lo : lo + 1])
        except EOPRangeError:
            raise
        except SATELLITE_ERRORS as e:
            error = e
    assert error is not None
    return lo, error


def _itrf_of(source: Source, time: Time) -> tuple[Array, Array]:
    frame, r, v = source(time)
    rr, vv = standard_to_itrf(frame, time, r, v)
    return np.asarray(rr, dtype=np.float64), np.asarray(vv, dtype=np.float64)


def _non_finite(time: Time, k: int) -> ValueError:
    return ValueError(f"the satellite's state at {epoch_text(time, k)} UTC is not finite")


def _records_of(sats: Sequence[SearchedSatellite], which: Any) -> Records | None:
    """The compiled records of the first of satellites ``which`` that has them."""
    for i in which:
        records = sats[int(i)].records
        if records is not None:
            return records
    return None


def exact_itrf(
    sats: Sequence[SearchedSatellite], sid: Array, time: Time, threads: int = THREADS
) -> tuple[Array, Array, dict[int, Failure]]:
    """Exact ITRF positions [m] and velocities [m/s] of satellite ``sats[sid[k]]``
    at epoch k of ``time`` (one-dimensional), and the failures by satellite
    (their rows are NaN)."""
    sid = np.asarray(sid, dtype=np.intp)
    n = sid.size
    r = np.full((n, 3), np.nan)
    v = np.full((n, 3), np.nan)
    failures: dict[int, Failure] = {}
    if n == 0:
        return r, v, failures
    records = _records_of(sats, range(len(sats)))
    record = np.array([sat.record if sat.records is records else -1 for sat in sats], dtype=np.int64)[sid]
    compiled = record >= 0
    if compiled.any() and records is not None:
        # All compiled rows in one call, each satellite's in the order of
        # its epochs (a resonant orbit's integrator then runs forward once).
        rows = np.flatnonzero(compiled)
        jd1, jd2 = sgp4_jd(time)
        order = np.lexsort(((jd1[rows] - jd1[rows[0]]) + jd2[rows], record[rows]))
        rows_sorted = rows[order]
        ids = record[rows_sorted]
        err_s, rt_s, vt_s = records.points(
            ids, jd1[rows_sorted], jd2[rows_sorted], threads if ids.size >= _THREADED_STATES else 1
        )
        err = np.empty_like(err_s)
        rt, vt = np.empty_like(rt_s), np.empty_like(vt_s)
        err[order], rt[order], vt[order] = err_s, rt_s, vt_s
        good = err == 0
        if not good.all():
            for s in np.unique(sid[rows[~good]]).tolist():
                mine = np.flatnonzero(sid[rows] == s)
                j = int(np.argmax(~good[mine]))
                row = int(rows[mine[j]])
                sat = sats[s]
                error = SGP4Error(model_code(err[mine[j]]), j, epoch_text(time, row), sat.satnum)
                failures[s] = sat.failure(error, time[row])
                good[mine] = False
            rt[~good] = 0.0
            vt[~good] = 0.0
        sub = time if rows.size == n else time[rows]
        rm, vm = get_TEME().to_ITRF(sub, rt, vt)
        rr, vv = np.asarray(rm), np.asarray(vm)
        r[rows[good]], v[rows[good]] = rr[good], vv[good]
    if compiled.all():
        return r, v, failures
    # the others through their sources, one satellite at a time
    rest = np.flatnonzero(~compiled)
    order = rest[np.argsort(sid[rest], kind="stable")]
    ssorted = sid[order]
    cuts = np.flatnonzero(np.diff(ssorted)) + 1
    starts = np.concatenate([[0], cuts])
    stops = np.concatenate([cuts, [order.size]])
    for a, b in zip(starts.tolist(), stops.tolist(), strict=True):
        s = int(ssorted[a])
        rows = order[a:b]
        sub = time[rows]
        try:
            rs, vs = _itrf_of(sats[s].source, sub)
        except EOPRangeError:
            raise
        except SATELLITE_ERRORS:
            j, failed = _failing_epoch(sats[s].source, sub)
            failures[s] = sats[s].failure(failed, sub[j])
            continue
        if rs.shape != (rows.size, 3) or vs.shape != (rows.size, 3):
            shape = ValueError(f"the source gave states of shape {rs.shape} for {rows.size} epochs")
            failures[s] = sats[s].failure(shape, None)
            continue
        bad = ~(np.isfinite(rs).all(axis=1) & np.isfinite(vs).all(axis=1))
        if bad.any():
            j = int(np.argmax(bad))
            failures[s] = sats[s].failure(_non_finite(sub, j), sub[j])
        else:
            r[rows], v[rows] = rs, vs
    return r, v, failures


def _rotations(start: Time, sec: Array) -> tuple[Array, Array]:
    """The TEME -> ITRF conversion at epochs ``start + sec`` as matrices
    (T, 3, 3): r_ITRF = A r, v_ITRF = A v + B r (the conversion is linear:
    the images of the unit vectors give A and B)."""
    t = sec.size
    time = start + np.repeat(sec, 3)
    unit = np.tile(np.eye(3), (t, 1))
    rr, vv = get_TEME().to_ITRF(time, unit, np.zeros_like(unit))
    a = np.asarray(rr).reshape(t, 3, 3).transpose(0, 2, 1)
    b = np.asarray(vv).reshape(t, 3, 3).transpose(0, 2, 1)
    return a, b


def _rotate(m: Array, x: Array) -> Array:
    """m[t] @ x[s, t] for (T, 3, 3) matrices and (S, T, 3) vectors."""
    out = np.empty_like(x)
    for i in range(3):
        out[..., i] = m[:, i, 0] * x[..., 0] + m[:, i, 1] * x[..., 1] + m[:, i, 2] * x[..., 2]
    return out


def group_itrf(
    sats: Sequence[SearchedSatellite], which: Sequence[int], start: Time, sec: Array, threads: int = THREADS
) -> tuple[Array, Array, dict[int, Failure]]:
    """Exact ITRF states (S, T, 3) of satellites ``which`` at the same epochs
    ``start + sec``: SGP4 ones in one call and one rotation per epoch, the
    others through the frame graph; and the failures by satellite."""
    s, t = len(which), sec.size
    r = np.full((s, t, 3), np.nan)
    v = np.full((s, t, 3), np.nan)
    failures: dict[int, Failure] = {}
    time = start + sec
    records = _records_of(sats, which)
    fast = [k for k, i in enumerate(which) if records is not None and sats[i].records is records]
    if fast and records is not None:
        jd1, jd2 = sgp4_jd(time)
        ids = np.array([sats[which[k]].record for k in fast], dtype=np.int64)
        err, rt, vt = records.states(ids, jd1, jd2, threads if ids.size * sec.size >= _THREADED_STATES else 1)
        bad = err != 0
        for row in np.flatnonzero(bad.any(axis=1)):
            k = int(np.argmax(bad[row]))
            sat = sats[which[fast[row]]]
            error = SGP4Error(model_code(err[row, k]), k, epoch_text(time, k), sat.satnum)
            failures[which[fast[row]]] = sat.failure(error, time[k])
        a, b = _rotations(start, sec)
        ok = ~bad.any(axis=1)
        rows = np.array(fast)[ok]
        r[rows] = _rotate(a, rt[ok])
        v[rows] = _rotate(a, vt[ok]) + _rotate(b, rt[ok])
    compiled = set(fast)
    others = [k for k in range(s) if k not in compiled]
    if others:
        sid = np.repeat(np.array([which[k] for k in others], dtype=np.intp), t)
        ro, vo, failed = exact_itrf(sats, sid, start + np.tile(sec, len(others)), threads)
        failures.update(failed)
        r[others] = ro.reshape(len(others), t, 3)
        v[others] = vo.reshape(len(others), t, 3)
    return r, v, failures
