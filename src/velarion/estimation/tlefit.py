"""Fitting SGP4 mean elements (a two-line element set) to a state ephemeris.

``fit_tle(ephemeris, *, epoch=None, fit_bstar=True)`` finds the mean
elements (and B*) whose SGP4 positions come closest, in the least-squares
sense, to the ephemeris's positions in TEME (a GCRF or ITRF ephemeris is
converted first). The model is the package's compiled SGP4: the partials are
central differences of the model, every perturbed element set over every
epoch in one call. The parameters are the mean motion, e cos(omega),
e sin(omega), the inclination, the node, the mean argument of latitude
M + omega and B*: near-circular orbits stay regular. The fit runs
Levenberg-Marquardt steps over growing spans (half a revolution about the
epoch, then two revolutions, then everything), which carries the osculating
start to the mean elements without losing the phase.

The element set's epoch is ``epoch`` (default: the first epoch of the
ephemeris) rounded to the 1e-8 day that a TLE's epoch field holds, so that
the written TLE runs from the epoch the elements were fitted at. The TLE's
text rounds the elements (1e-4 degree, 1e-7 in eccentricity, 1e-8 rev/day,
five digits of B*): the report gives the position RMS of the fitted
elements and of the TLE as written.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames import interpolated_cip
from velarion.frames.frames import get_GCRF, get_ITRF, get_TEME
from velarion.propagators.analytical.sgp4 import _compiled
from velarion.propagators.analytical.sgp4.sgp4 import sgp4_jd
from velarion.propagators.analytical.sgp4.tle import TLE
from velarion.time.time import Time

from .batch import ConvergenceError, EstimationError, TooFewObservations

__all__ = ["TLEFit", "alpha5", "fit_tle", "tle_lines"]

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.

_XKE = 60.0 / math.sqrt(6378.135**3 / 398600.8)  # WGS72, sqrt(GM) in Earth radii^1.5 per minute
_MU_KM = 398600.8  # km^3/s^2, WGS72
_GRAVITY = {"wgs72old": 0, "wgs72": 1, "wgs84": 2}
_JD_1950 = 2433281.5
_ALPHA5 = "ABCDEFGHJKLMNPQRSTUVWXYZ"  # 10..33: Alpha-5 skips I and O
_TWO_PI = 2.0 * math.pi
# Epochs from which the interpolated precession-nutation pays
_DENSE = 64
# A B* step (1e-6) that moves the positions by less than this [m] (root sum of squares) leaves B* unobserved.
_NO_EFFECT = 1.0e-3
# Central-difference steps of the seven parameters (n [rad/min], e cos w,
# e sin w, i, node, M + w [rad], B* [1/Earth radii]).
_STEPS = np.array([1.0e-9, 1.0e-7, 1.0e-7, 1.0e-7, 1.0e-7, 1.0e-7, 1.0e-6])


@dataclass
class TLEFit:
    """The result of ``fit_tle``: ``tle`` (the fitted ``TLE``), ``omm`` (the
    same elements at full precision as OMM keywords, which
    ``velarion.propagators.analytical.sgp4.catalogue.omm_record`` reads),
    ``rms`` [m] (position RMS of the TLE as written over the ephemeris),
    ``rms_fit`` [m] (of the fitted elements before the TLE's rounding),
    ``max_error`` [m] (largest position difference of the TLE), ``residuals``
    (N, 3) [m] (ephemeris minus TLE, TEME), ``iterations`` and ``elements``
    (the fitted sgp4init row: jd, fr, epoch, bstar, ndot, nddot, ecco,
    argpo, inclo, mo, no_kozai, nodeo); ``bstar_fitted`` (False when B* was
    held: asked for, or moving no position over the span)."""

    tle: TLE
    omm: dict[str, Any]
    rms: float
    rms_fit: float
    max_error: float
    residuals: Array
    iterations: int
    elements: Array
    bstar_fitted: bool = True


def alpha5(satnum: int) -> str:
    """The five columns of a catalogue number in a TLE: digits up to 99999,
    Alpha-5 (a letter for the leading 10..33) up to 339999."""
    if not isinstance(satnum, int) or isinstance(satnum, bool) or not 0 <= satnum <= 339999:
        raise ValueError(f"catalogue number must be an int in [0, 339999], got {satnum!r}")
    if satnum <= 99999:
        return f"{satnum:05d}"
    return _ALPHA5[satnum // 10000 - 10] + f"{satnum % 10000:04d}"


def _checksum(line: str) -> str:
    return str(sum(int(c) if c.isdigit() else (1 if c == "-" else 0) for c in line[:68]) % 10)


def _exponent_field(value: float) -> str:
    """An 8-column decimal-point-assumed exponent field (' 12345-4' = 0.12345e-4)."""
    if value == 0.0:
        return " 00000+0"
    exponent = math.floor(math.log10(abs(value))) + 1
    if exponent < -9:
        return " 00000+0"  # below the field's last digit
    digits = round(abs(value) / 10.0**exponent * 1e5)
    if digits >= 100000:
        digits //= 10
        exponent += 1
    if not -9 <= exponent <= 9:
        raise EstimationError(f"B* {value!r} does not fit a two-line element set's exponent field")
    return f"{'-' if value < 0 else ' '}{digits:05d}{'-' if exponent < 0 else '+'}{abs(exponent)}"


def _epoch_day(epoch: Time) -> tuple[int, float]:
    """(year, day of year with its fraction) of a UTC epoch on the TLE's
    scale (the calendar date and clock time), the day rounded to 1e-8."""
    utc = epoch.utc.jd12.reshape(-1, 2)
    jd1, jd2 = sgp4_jd(Time.from_jd(utc[:1, 0], utc[:1, 1], scale="utc"))
    year = int(str(Time.from_jd(jd1[0], jd2[0], scale="utc").iso)[:4])
    j1, j2 = sgp4_jd(Time([f"{year}-01-01T00:00:00"]))
    day = round(float((jd1[0] - j1[0]) + (jd2[0] - j2[0])) + 1.0, 8)
    if day >= 367.0 or (day >= 366.0 and not _leap(year)):
        year, day = year + 1, round(day - (366.0 if _leap(year) else 365.0), 8)
    return year, day


def _leap(year: int) -> bool:
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def tle_lines(
    row: Array,
    *,
    year: int,
    day: float,
    satnum_text: str = "00000",
    classification: str = "U",
    intldesg: str = "",
    ndot_text: str = " .00000000",
    nddot_text: str = " 00000+0",
    ephtype: int = 0,
    elnum: int = 999,
    revnum: int = 0,
) -> tuple[str, str]:
    """The two lines (checksums included) of sgp4init elements ``row`` at
    the epoch ``year``, ``day``."""
    bstar, ecc, argp, inc, mo, no, node = row[3], row[6], row[7], row[8], row[9], row[10], row[11]
    if not 0.0 <= ecc < 1.0:
        raise EstimationError(f"the fitted eccentricity {ecc!r} is out of [0, 1)")
    ecc_digits = round(ecc * 1e7)
    if ecc_digits > 9999999:
        raise EstimationError(f"the fitted eccentricity {ecc!r} does not fit a TLE")
    line1 = (
        f"1 {satnum_text:>5.5}{classification[:1] or 'U'} {intldesg:<8.8} {year % 100:02d}{day:012.8f} "
        f"{ndot_text:>10.10} {nddot_text:>8.8} {_exponent_field(bstar)} {ephtype % 10:d} {elnum % 10000:4d}"
    )
    inc_deg = math.degrees(inc)
    mean_motion = no * 1440.0 / _TWO_PI
    if not 0.0 < mean_motion < 100.0:
        raise EstimationError(f"the fitted mean motion {mean_motion!r} rev/day does not fit a TLE")
    line2 = (
        f"2 {satnum_text:>5.5} {_angle(inc_deg, 180.0)} {_angle(math.degrees(node) % 360.0, 360.0)} "
        f"{ecc_digits:07d} {_angle(math.degrees(argp) % 360.0, 360.0)} {_angle(math.degrees(mo) % 360.0, 360.0)} "
        f"{mean_motion:11.8f}{revnum % 100000:5d}"
    )
    return line1 + _checksum(line1), line2 + _checksum(line2)


def _angle(deg: float, top: float) -> str:
    text = f"{deg:8.4f}"
    return f"{0.0:8.4f}" if top == 360.0 and text == "360.0000" else text


def _teme_of(ephemeris: Any) -> tuple[Time, Array]:
    time = ephemeris.time
    r = np.asarray(ephemeris.r, dtype=np.float64)
    v = np.asarray(ephemeris.v, dtype=np.float64)
    name = getattr(ephemeris.frame, "name", "")
    if name == "TEME":
        pass
    elif name == "GCRF":
        # the interpolated precession-nutation: within 1e-15 rad, many times faster for dense epochs
        with interpolated_cip(r.shape[0] >= _DENSE):
            ri, vi = get_GCRF().to_ITRF(time, r, v)
        r, v = (np.asarray(x) for x in get_ITRF().to_TEME(time, ri, vi))
    elif name == "ITRF":
        r, v = (np.asarray(x) for x in get_ITRF().to_TEME(time, r, v))
    else:
        rr, vv = ephemeris.frame.transform_to(get_TEME(), time, r, v)
        r, v = np.asarray(rr), np.asarray(vv)
    if r.ndim != 2 or r.shape[1] != 3 or not np.isfinite(r).all() or not np.isfinite(v).all():
        raise ValueError("fit_tle: the ephemeris must hold finite (N, 3) positions and velocities")
    return time, np.concatenate([r, v], axis=1)


def _osculating(x: Array) -> tuple[float, float, float, float, float, float]:
    """(n [rad/min], e, i, node, argp, M) of a TEME state [m, m/s] with WGS72's GM."""
    r = x[:3] / 1e3
    v = x[3:] / 1e3
    rn = float(np.linalg.norm(r))
    h = np.cross(r, v)
    hn = float(np.linalg.norm(h))
    evec = np.cross(v, h) / _MU_KM - r / rn
    e = float(np.linalg.norm(evec))
    energy = float(v @ v) / 2.0 - _MU_KM / rn
    if energy >= 0.0:
        raise EstimationError("fit_tle: the ephemeris is not on a bound orbit")
    a = -_MU_KM / (2.0 * energy)
    inc = math.acos(max(-1.0, min(1.0, h[2] / hn)))
    node_vec = np.array([-h[1], h[0], 0.0])
    nn = float(np.linalg.norm(node_vec))
    node = math.atan2(node_vec[1], node_vec[0]) if nn > 1e-12 * hn else 0.0
    nhat = node_vec / nn if nn > 1e-12 * hn else np.array([1.0, 0.0, 0.0])
    what = np.cross(h / hn, nhat)
    u = math.atan2(float(r @ what), float(r @ nhat))  # argument of latitude
    argp = math.atan2(float(evec @ what), float(evec @ nhat)) if e > 1e-10 else 0.0
    nu = u - argp
    ea = 2.0 * math.atan2(math.sqrt(1.0 - e) * math.sin(nu / 2.0), math.sqrt(1.0 + e) * math.cos(nu / 2.0))
    mean = ea - e * math.sin(ea)
    n = math.sqrt(_MU_KM / a**3) * 60.0
    return n, e, inc, node, argp, mean


def _row_of(q: Array, base: Array) -> Array:
    """An sgp4init row from the fit's parameters."""
    row: Array = base.copy()
    e = math.hypot(q[1], q[2])
    argp = math.atan2(q[2], q[1]) if e > 0.0 else 0.0
    row[3] = q[6]
    row[6] = e
    row[7] = argp % _TWO_PI
    row[8] = q[3]
    row[9] = (q[5] - argp) % _TWO_PI
    row[10] = q[0]
    row[11] = q[4] % _TWO_PI
    return row


def _states(rows: Array, gravity: int, jd: Array, fr: Array) -> tuple[Array, NDArray[np.bool_]]:
    """TEME positions (S, N, 3) [m] of element rows; a mask of the rows the model gave everywhere."""
    records, codes = _compiled.sgp4_records(np.ascontiguousarray(rows), gravity)
    ids = np.arange(rows.shape[0], dtype=np.int64)
    err, r, _ = _compiled.sgp4_states(records, ids, jd, fr, 1)
    ok = (np.asarray(codes) == 0) & ~np.asarray(err).any(axis=1)
    return np.asarray(r), ok


def fit_tle(
    ephemeris: Any,
    *,
    epoch: Any = None,
    fit_bstar: bool = True,
    bstar: float = 0.0,
    template: TLE | None = None,
    satnum: int | None = None,
    name: str | None = None,
    gravity: str = "wgs72",
    max_iterations: int = 50,
) -> TLEFit:
    """SGP4 mean elements (and B* with ``fit_bstar``) fitted to the
    positions of ``ephemeris`` (a ``StateVectorEphemeris`` in TEME, GCRF or
    ITRF; see the module's text). ``bstar``: B* when it is not fitted (and
    the start of its fit); ``template``: a TLE whose catalogue number (as
    written, Alpha-5 kept), classification, designator, derivative fields,
    element and revolution numbers the result takes; else ``satnum``;
    ``name``: the name of the result."""
    if gravity not in _GRAVITY:
        raise ValueError(f"unknown gravity model {gravity!r}; expected one of {', '.join(_GRAVITY)}")
    time, x = _teme_of(ephemeris)
    n = x.shape[0]
    n_par = 7 if fit_bstar else 6
    if 3 * n < n_par or n < 3:
        raise TooFewObservations(f"too few states: {n} for {n_par} elements (three or more are needed)")
    t0 = time[0] if epoch is None else (epoch if isinstance(epoch, Time) else Time(epoch))
    if t0.ndim != 0:
        raise ValueError("fit_tle: epoch must be one date")
    year, day = _epoch_day(t0)
    fields: dict[str, Any] = {}
    if template is not None:
        l1 = template.lines[0]
        fields = dict(
            satnum_text=l1[2:7],
            classification=template.classification,
            intldesg=l1[9:17].strip(),
            ndot_text=l1[33:43],
            nddot_text=l1[44:52],
            ephtype=template.ephtype,
            elnum=template.elnum,
            revnum=template.revnum,
        )
        name = template.name if name is None else name
    elif satnum is not None:
        fields = dict(satnum_text=alpha5(satnum))
    # The epoch columns as the TLE's reader makes them, from a provisional set.
    probe_row = np.zeros(12)
    probe_row[6], probe_row[10] = 0.001, 15.0 * _TWO_PI / 1440.0
    base = np.array(TLE(*tle_lines(probe_row, year=year, day=day, **fields))._sgp4init_row(), dtype=np.float64)
    epoch_time = Time.from_jd(base[0], base[1], scale="utc")
    jd, fr = sgp4_jd(time)
    # minutes from the element set's epoch
    minutes = ((jd - base[0]) + (fr - base[1])) * 1440.0
    k0 = int(np.argmin(np.abs(minutes)))
    no, e, inc, node, argp, mean = _osculating(x[k0])
    mean = mean - no * minutes[k0]
    q = np.array([no, e * math.cos(argp), e * math.sin(argp), inc, node, argp + mean, bstar])
    g = _GRAVITY[gravity]
    period = _TWO_PI / no
    target = x[:, :3]
    iterations = 0
    bstar_held = not fit_bstar
    for span in (0.5 * period, 2.0 * period, math.inf):
        rows_used = np.flatnonzero(np.abs(minutes) <= span / 2.0 if span < math.inf else np.ones(n, bool))
        if rows_used.size < 3:
            continue
        q, used_iterations, bstar_held = _levenberg_marquardt(
            q, base, g, jd[rows_used], fr[rows_used], target[rows_used], fit_bstar, bstar, max_iterations
        )
        iterations += used_iterations
    row = _row_of(q, base)
    r_fit, ok = _states(row[None, :], g, jd, fr)
    if not ok[0]:
        raise EstimationError("fit_tle: the fitted elements fail in SGP4 over the ephemeris's span")
    rms_fit = float(np.sqrt(np.mean(np.sum((r_fit[0] - target) ** 2, axis=1))))
    line1, line2 = tle_lines(row, year=year, day=day, **fields)
    tle = TLE(line1, line2, name)
    tle_row = np.array(tle._sgp4init_row(), dtype=np.float64)
    r_tle, ok = _states(tle_row[None, :], g, jd, fr)
    if not ok[0]:
        raise EstimationError("fit_tle: the TLE as written fails in SGP4 over the ephemeris's span")
    res = target - r_tle[0]
    dist = np.linalg.norm(res, axis=1)
    omm = _omm(row, tle, epoch_time)
    return TLEFit(
        tle=tle,
        omm=omm,
        rms=float(np.sqrt(np.mean(dist**2))),
        rms_fit=rms_fit,
        max_error=float(dist.max()),
        residuals=res,
        iterations=iterations,
        elements=row,
        bstar_fitted=not bstar_held,
    )


def _levenberg_marquardt(
    q: Array,
    base: Array,
    g: int,
    jd: Array,
    fr: Array,
    target: Array,
    fit_bstar: bool,
    bstar: float,
    max_iterations: int,
) -> tuple[Array, int, bool]:
    free = np.arange(7 if fit_bstar else 6)
    m = free.size
    held = [not fit_bstar]
    lam = 1.0e-3
    cost_now = math.inf
    for it in range(1, max_iterations + 1):
        rows = np.empty((1 + 2 * m, 12))
        rows[0] = _row_of(q, base)
        for j, k in enumerate(free):
            dq = np.zeros(7)
            dq[k] = _STEPS[k]
            rows[1 + 2 * j] = _row_of(q + dq, base)
            rows[2 + 2 * j] = _row_of(q - dq, base)
        r, ok = _states(rows, g, jd, fr)
        if not ok.all():
            raise EstimationError(
                "fit_tle: SGP4 fails for the elements being fitted (the ephemeris may be outside the model's domain)"
            )
        res = (target - r[0]).reshape(-1)
        cost_now = float(res @ res)
        jac = np.empty((res.size, m))
        for j, k in enumerate(free):
            jac[:, j] = ((r[1 + 2 * j] - r[2 + 2 * j]) / (2.0 * _STEPS[k])).reshape(-1)
        if m == 7 and np.linalg.norm(jac[:, 6]) * _STEPS[6] < _NO_EFFECT:
            # B* moves no position over the span (far above the atmosphere
            # the model's drag terms vanish): it is held, not fitted.
            free, m, jac = free[:6], 6, jac[:, :6]
            held[0] = True
            if q[6] != bstar:
                q = q.copy()
                q[6] = bstar
                continue
        normal = jac.T @ jac
        rhs = jac.T @ res
        d = np.sqrt(np.diag(normal))
        if not (d > 0.0).all():
            raise EstimationError("fit_tle: an element has no effect on the positions (singular fit)")
        ns = normal / np.outer(d, d)
        rs = rhs / d
        while True:
            step = np.linalg.solve(ns + lam * np.eye(m), rs) / d
            trial = q.copy()
            trial[free] += step
            rt, okt = _states(_row_of(trial, base)[None, :], g, jd, fr)
            cost_t = float(np.sum((target - rt[0]) ** 2)) if okt[0] else math.inf
            if cost_t <= cost_now:
                lam = max(lam / 10.0, 1.0e-15)
                break
            lam *= 10.0
            if lam > 1.0e10:
                return q, it, held[0]  # the minimum to working precision
        change = (cost_now - cost_t) / max(cost_now, 1e-300)
        q = trial
        if change < 1.0e-12 or cost_t / target.size < 1e-12:
            return q, it, held[0]
    raise ConvergenceError(f"fit_tle: no convergence within {max_iterations} iterations", q)


def _omm(row: Array, tle: TLE, epoch: Time) -> dict[str, Any]:
    line1 = tle.lines[0]
    return {
        "CCSDS_OMM_VERS": "2.0",
        "OBJECT_NAME": tle.name or "",
        "OBJECT_ID": tle.intldesg,
        "CENTER_NAME": "EARTH",
        "REF_FRAME": "TEME",
        "TIME_SYSTEM": "UTC",
        "MEAN_ELEMENT_THEORY": "SGP4",
        "EPOCH": str(epoch.iso),
        "MEAN_MOTION": float(row[10] * 1440.0 / _TWO_PI),
        "ECCENTRICITY": float(row[6]),
        "INCLINATION": math.degrees(float(row[8])),
        "RA_OF_ASC_NODE": math.degrees(float(row[11])),
        "ARG_OF_PERICENTER": math.degrees(float(row[7])),
        "MEAN_ANOMALY": math.degrees(float(row[9])),
        "EPHEMERIS_TYPE": tle.ephtype,
        "CLASSIFICATION_TYPE": tle.classification,
        "NORAD_CAT_ID": tle.satnum,
        "ELEMENT_SET_NO": tle.elnum,
        "REV_AT_EPOCH": tle.revnum,
        "BSTAR": float(row[3]),
        "MEAN_MOTION_DOT": float(tle.ndot * 86400.0**2 / _TWO_PI) if line1 else 0.0,
        "MEAN_MOTION_DDOT": float(tle.nddot * 86400.0**3 / _TWO_PI),
    }
