"""Measurement models of ground-station and GNSS-like tracking, with their
partials with respect to the GCRF state of the satellite.

Every observation is one scalar (an azimuth and an elevation taken together
are two observations at the same epoch), so that observations of any mix of
kinds sit in flat arrays and each kind is evaluated for all its rows at once.
Angles are in radians, distances in metres, rates in m/s, frequencies in Hz.

Kinds (``KINDS``):

- ``range``: one-way geometric range from the station at reception to the
  satellite at emission, light time included;
- ``range_rate``: its rate, the projection of the satellite's velocity at
  emission relative to the station's on the line of sight (positive when
  receding);
- ``doppler`` / ``doppler_two_way``: the shift of a carrier of the row's
  ``frequency`` from that range rate, through the relativistic factor of
  ``velarion.passes.doppler``;
- ``azimuth`` / ``elevation``: the direction of the light-time corrected line
  of sight in the station's ENU axes (azimuth from north through east);
- ``right_ascension`` / ``declination``: the same direction in GCRF axes
  (topocentric);
- ``x_gcrf`` ... ``vz_gcrf`` and ``x_itrf`` ... ``vz_itrf``: components of the
  satellite's position and velocity (GNSS-like fixes; no light time).

Light time: the satellite is taken at the emission epoch t - tau, where
tau = |r(t - tau) - s(t)| / c is solved by fixed-point iteration (it gains a
factor v/c per step) on a second-order expansion of the orbit about the
reception epoch t with the two-body acceleration a: r(t - tau) = r - v tau +
a tau^2 / 2, v(t - tau) = v - a tau. The neglected third-order term is below
1e-8 m from LEO to GEO; the perturbing accelerations left out of a (J2:
about 0.015 m/s^2 in LEO) shift the position at emission by under 1e-6 m
and the velocity by about 0.15 mm/s per 10 ms of light time. The partials
include the dependence of tau on the state; they neglect the gradient of
the acceleration over tau (a relative error below 1e-7).

Aberration: the directions (azimuth, elevation, right ascension,
declination) are astrometric, that is geometric lines of sight corrected for
light time only. The aberration due to the station's velocity (Earth
rotation, at most 0.32 arcsecond) and the annual aberration are not applied:
this is the convention of optical astrometry reduced against a star
catalogue in GCRF, where the stars' apparent places share the annual term.
No refraction is modelled.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames import interpolated_cip
from velarion.frames.frames import ENU, get_GCRF
from velarion.passes.doppler import SPEED_OF_LIGHT
from velarion.passes.stations import Network, Station
from velarion.time.time import Time

__all__ = [
    "ANGLE_KINDS",
    "KINDS",
    "STATION_KINDS",
    "Geometry",
    "Observations",
    "predict",
    "residuals",
]

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.

KINDS = (
    "range",
    "range_rate",
    "doppler",
    "doppler_two_way",
    "azimuth",
    "elevation",
    "right_ascension",
    "declination",
    "x_gcrf",
    "y_gcrf",
    "z_gcrf",
    "vx_gcrf",
    "vy_gcrf",
    "vz_gcrf",
    "x_itrf",
    "y_itrf",
    "z_itrf",
    "vx_itrf",
    "vy_itrf",
    "vz_itrf",
)
_CODE = {name: k for k, name in enumerate(KINDS)}
# Kinds measured from a ground station (the others have no station): the first ones.
_N_STATION_KINDS = 8
STATION_KINDS = frozenset(KINDS[:_N_STATION_KINDS])
# Kinds whose residuals wrap around the circle.
ANGLE_KINDS = frozenset({"azimuth", "right_ascension"})
_WRAPPED = np.array([name in ANGLE_KINDS for name in KINDS])
_EARTH_GM = 3.986004418e14


@dataclass(frozen=True, eq=False)
class Observations:
    """Scalar observations: ``time`` (a 1-D ``Time`` of N epochs of
    reception), ``kind`` (N codes into ``KINDS``), ``value`` and ``sigma``
    (N floats, SI units and radians), ``station`` (N indices into
    ``stations``, -1 for kinds without one) and ``frequency`` (N carrier
    frequencies [Hz], NaN for kinds other than Doppler).

    Build it with ``Observations.of`` (kind names, a station per row), or
    join sets with ``Observations.concatenate``."""

    time: Time
    kind: NDArray[np.intp]
    value: Array
    sigma: Array
    station: NDArray[np.intp]
    stations: tuple[Station | ENU, ...] = ()
    frequency: Array = field(default_factory=lambda: np.zeros(0))

    @classmethod
    def of(
        cls,
        time: Any,
        kind: str | Sequence[str],
        value: Any,
        sigma: Any,
        *,
        station: Any = None,
        stations: Sequence[Station | ENU] = (),
        frequency: Any = None,
    ) -> Observations:
        """Observations from kind names (one for all rows or one per row),
        values, sigmas, station indices into ``stations`` (one for all rows,
        or one per row; None for kinds without a station) and, for Doppler
        rows, the carrier frequency [Hz]. ValueError for anything
        inconsistent: an unknown kind, a station kind without a station, a
        sigma that is not finite and positive, a NaN value."""
        t = time if isinstance(time, Time) else Time(time)
        if t.ndim == 0:
            t = Time.from_jd(t.jd1.reshape(1), t.jd2.reshape(1), scale=t.scale)
        if t.ndim != 1:
            raise ValueError(f"observation times must be one-dimensional, got shape {t.shape}")
        n = t.size
        names = [kind] * n if isinstance(kind, str) else list(kind)
        if len(names) != n:
            raise ValueError(f"{len(names)} kinds for {n} observation times")
        unknown = sorted({k for k in names if k not in _CODE})
        if unknown:
            raise ValueError(f"unknown observation kind {unknown[0]!r}; expected one of {', '.join(KINDS)}")
        codes = np.array([_CODE[k] for k in names], dtype=np.intp)
        values = _column(value, n, "values")
        sigmas = _column(sigma, n, "sigmas")
        if station is None:
            st = np.full(n, -1, dtype=np.intp)
        else:
            st = np.broadcast_to(np.asarray(station, dtype=np.intp), (n,)).copy()
        freq = np.full(n, np.nan) if frequency is None else _column(frequency, n, "frequencies")
        return cls(t, codes, values, sigmas, st, tuple(stations), freq)

    def __post_init__(self) -> None:
        if not isinstance(self.time, Time) or self.time.ndim != 1:
            raise ValueError("observations: time must be a one-dimensional Time")
        n = self.time.size
        for name, dtype in (("kind", np.intp), ("value", np.float64), ("sigma", np.float64), ("station", np.intp)):
            object.__setattr__(self, name, np.asarray(getattr(self, name), dtype=dtype))
        object.__setattr__(self, "frequency", np.asarray(self.frequency, dtype=np.float64))
        object.__setattr__(self, "stations", tuple(self.stations))
        if self.frequency.size == 0 and n:
            object.__setattr__(self, "frequency", np.full(n, np.nan))
        for name in ("kind", "value", "sigma", "station", "frequency"):
            if np.shape(getattr(self, name)) != (n,):
                raise ValueError(f"observations: {name} must have one entry per epoch ({n})")
        if ((self.kind < 0) | (self.kind >= len(KINDS))).any():
            raise ValueError("observations: kind codes out of range")
        bad = np.flatnonzero(~np.isfinite(self.value))
        if bad.size:
            raise ValueError(f"observations: value {bad[0]} is not finite (NaN or infinite measurements: {bad.size})")
        bad = np.flatnonzero(~(np.isfinite(self.sigma) & (self.sigma > 0.0)))
        if bad.size:
            raise ValueError(f"observations: sigma {bad[0]} must be finite and positive, got {self.sigma[bad[0]]!r}")
        needs = self.kind < _N_STATION_KINDS
        bad = np.flatnonzero(needs & ((self.station < 0) | (self.station >= len(self.stations))))
        if bad.size:
            raise ValueError(
                f"observations: row {bad[0]} ({KINDS[self.kind[bad[0]]]}) needs a station index into "
                f"{len(self.stations)} stations, got {self.station[bad[0]]}"
            )
        doppler = (self.kind == _CODE["doppler"]) | (self.kind == _CODE["doppler_two_way"])
        bad = np.flatnonzero(doppler & ~(np.isfinite(self.frequency) & (self.frequency > 0.0)))
        if bad.size:
            raise ValueError(f"observations: Doppler row {bad[0]} needs a finite positive carrier frequency")

    def __len__(self) -> int:
        return int(self.time.size)

    @property
    def kind_names(self) -> list[str]:
        """The kind name of each row."""
        return [KINDS[k] for k in self.kind]

    def subset(self, rows: Any) -> Observations:
        """The observations of ``rows`` (indices or a mask), same stations."""
        idx = np.arange(len(self))[rows]
        jd = self.time.jd12.reshape(-1, 2)
        t = Time.from_jd(jd[idx, 0], jd[idx, 1], scale=self.time.scale)
        return Observations(
            t, self.kind[idx], self.value[idx], self.sigma[idx], self.station[idx], self.stations, self.frequency[idx]
        )

    @staticmethod
    def concatenate(parts: Sequence[Observations]) -> Observations:
        """One set of the rows of ``parts``, which must share their stations."""
        if not parts:
            raise ValueError("no observations to join")
        stations = parts[0].stations
        for p in parts[1:]:
            if p.stations != stations:
                raise ValueError("observations to join must share their stations")
        tai = np.concatenate([p.time.tai.jd12.reshape(-1, 2) for p in parts])
        scale = parts[0].time.scale
        return Observations(
            getattr(Time.from_jd(tai[:, 0], tai[:, 1], scale="tai"), scale),
            np.concatenate([p.kind for p in parts]),
            np.concatenate([p.value for p in parts]),
            np.concatenate([p.sigma for p in parts]),
            np.concatenate([p.station for p in parts]),
            stations,
            np.concatenate([p.frequency for p in parts]),
        )


def _column(value: Any, n: int, what: str) -> Array:
    try:
        out: Array = np.broadcast_to(np.asarray(value, dtype=np.float64), (n,)).copy()
    except ValueError:
        raise ValueError(f"observations: {what} must be one number or one per epoch ({n})") from None
    return out


class Geometry:
    """What the models need of the Earth's orientation at the epochs of a set
    of observations, computed once: the GCRF -> ITRF conversion as matrices
    (r_ITRF = A r, v_ITRF = A v + B r), each row's station position and
    velocity in GCRF, and its GCRF -> ENU rotation."""

    def __init__(self, obs: Observations, rotations: tuple[Array, Array] | None = None):
        n = len(obs)
        self.n = n
        if rotations is None:
            self.a, self.b = earth_rotations(obs.time)
        else:
            self.a, self.b = rotations
        self.station_r = np.zeros((n, 3))
        self.station_v = np.zeros((n, 3))
        self.enu = np.zeros((n, 3, 3))
        if obs.stations:
            network = Network(list(obs.stations))
            has = obs.station >= 0
            k = obs.station[has]
            at = self.a[has].transpose(0, 2, 1)  # ITRF -> GCRF
            s_itrf = network.offset[k]
            s_gcrf = np.einsum("nij,nj->ni", at, s_itrf)
            # v_ITRF = 0 = A v + B r for a station fixed to the Earth.
            self.station_r[has] = s_gcrf
            self.station_v[has] = -np.einsum("nij,nj->ni", at, np.einsum("nij,nj->ni", self.b[has], s_gcrf))
            self.enu[has] = network.rotation[k] @ self.a[has]


def earth_rotations(time: Time) -> tuple[Array, Array]:
    """The GCRF -> ITRF conversion at the epochs of a 1-D ``time`` as
    matrices (N, 3, 3): r_ITRF = A r, v_ITRF = A v + B r (the conversion is
    linear: the images of the unit vectors give A and B), computed once per
    distinct epoch."""
    tt = time.tt.jd12.reshape(-1, 2)
    if tt.shape[0] == 0:
        return np.zeros((0, 3, 3)), np.zeros((0, 3, 3))
    unique, inverse = np.unique(tt, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    m = unique.shape[0]
    unit = np.tile(np.eye(3), (m, 1))
    rep = np.repeat(unique, 3, axis=0)
    # the interpolated precession-nutation: within 1e-15 rad, many times faster for dense epochs
    with interpolated_cip(m >= 64):
        rr, vv = get_GCRF().to_ITRF(Time.from_jd(rep[:, 0], rep[:, 1], scale="tt"), unit, np.zeros_like(unit))
    a = np.asarray(rr).reshape(m, 3, 3).transpose(0, 2, 1)
    b = np.asarray(vv).reshape(m, 3, 3).transpose(0, 2, 1)
    return a[inverse], b[inverse]


def _dot(x: Array, y: Array) -> Array:
    out: Array = np.einsum("ij,ij->i", x, y)
    return out


def predict(
    obs: Observations, r: Array, v: Array, geometry: Geometry | None = None, *, partials: bool = True
) -> tuple[Array, Array | None]:
    """Computed observations (N,) of the GCRF states ``r``, ``v`` (N, 3) of
    the satellite at the epochs of ``obs``, and their partials (N, 6) with
    respect to each row's state (x, y, z, vx, vy, vz), or None without
    ``partials``."""
    geometry = Geometry(obs) if geometry is None else geometry
    r = np.asarray(r, dtype=np.float64)
    v = np.asarray(v, dtype=np.float64)
    n = len(obs)
    if r.shape != (n, 3) or v.shape != (n, 3):
        raise ValueError(f"predict: states must have shape ({n}, 3), got {r.shape} and {v.shape}")
    h = np.empty(n)
    jac = np.zeros((n, 6)) if partials else None
    kind = obs.kind
    station_rows = np.flatnonzero(kind < _N_STATION_KINDS)
    if station_rows.size:
        _station_models(obs, geometry, r, v, station_rows, h, jac)
    for base, frame in ((8, "gcrf"), (14, "itrf")):
        rows = np.flatnonzero((kind >= base) & (kind < base + 6))
        if not rows.size:
            continue
        comp = kind[rows] - base
        if frame == "gcrf":
            full = np.concatenate([r[rows], v[rows]], axis=1)
            h[rows] = full[np.arange(rows.size), comp]
            if jac is not None:
                jac[rows, comp] = 1.0
            continue
        a, b = geometry.a[rows], geometry.b[rows]
        ri = np.einsum("nij,nj->ni", a, r[rows])
        vi = np.einsum("nij,nj->ni", a, v[rows]) + np.einsum("nij,nj->ni", b, r[rows])
        full = np.concatenate([ri, vi], axis=1)
        h[rows] = full[np.arange(rows.size), comp]
        if jac is not None:
            # d(r_ITRF)/dr = A; d(v_ITRF)/dr = B, d(v_ITRF)/dv = A
            pos = comp < 3
            c = comp % 3
            j = np.zeros((rows.size, 6))
            j[pos, :3] = a[pos, c[pos], :]
            j[~pos, :3] = b[~pos, c[~pos], :]
            j[~pos, 3:] = a[~pos, c[~pos], :]
            jac[rows] = j
    return h, jac


def _station_models(
    obs: Observations, geo: Geometry, r_all: Array, v_all: Array, rows: NDArray[np.intp], h: Array, jac: Array | None
) -> None:
    c = SPEED_OF_LIGHT
    r, v = r_all[rows], v_all[rows]
    s, sv = geo.station_r[rows], geo.station_v[rows]
    rn = np.linalg.norm(r, axis=1)
    acc = -_EARTH_GM * r / (rn**3)[:, None]
    tau = np.linalg.norm(r - s, axis=1) / c
    for _ in range(4):
        re = r - v * tau[:, None] + 0.5 * acc * (tau**2)[:, None]
        tau = np.linalg.norm(re - s, axis=1) / c
    re = r - v * tau[:, None] + 0.5 * acc * (tau**2)[:, None]
    ve = v - acc * tau[:, None]
    rho = re - s
    d = np.linalg.norm(rho, axis=1)
    u = rho / d[:, None]
    w = ve - sv
    rate = _dot(u, w)
    kind = obs.kind[rows]
    g_rho = np.zeros((rows.size, 3))  # d(observation)/d(line of sight)
    g_ve = np.zeros((rows.size, 3))  # d(observation)/d(velocity at emission)
    out = np.empty(rows.size)

    sel = kind == _CODE["range"]
    out[sel] = d[sel]
    g_rho[sel] = u[sel]

    rate_kinds = (kind == _CODE["range_rate"]) | (kind == _CODE["doppler"]) | (kind == _CODE["doppler_two_way"])
    if rate_kinds.any():
        # d(rate)/d(rho) = w^T (I - u u^T) / d, d(rate)/d(ve) = u^T
        g_rate_rho = (w - u * rate[:, None]) / d[:, None]
        scale = np.ones(rows.size)
        value = rate.copy()
        beta = rate / c
        f = obs.frequency[rows]
        two = kind == _CODE["doppler_two_way"]
        one = kind == _CODE["doppler"]
        if two.any():
            value[two] = f[two] * (-2.0 * beta[two] / (1.0 + beta[two]))
            scale[two] = f[two] * (-2.0 / (1.0 + beta[two]) ** 2) / c
        if one.any():
            b1 = beta[one]
            ratio = np.sqrt((1.0 - b1) / (1.0 + b1))
            value[one] = f[one] * (-2.0 * b1 / (1.0 + b1)) / (1.0 + ratio)
            scale[one] = -f[one] / (ratio * (1.0 + b1) ** 2) / c
        out[rate_kinds] = value[rate_kinds]
        g_rho[rate_kinds] = g_rate_rho[rate_kinds] * scale[rate_kinds, None]
        g_ve[rate_kinds] = u[rate_kinds] * scale[rate_kinds, None]

    enu_kinds = (kind == _CODE["azimuth"]) | (kind == _CODE["elevation"])
    if enu_kinds.any():
        m = geo.enu[rows[enu_kinds]]
        p = np.einsum("nij,nj->ni", m, rho[enu_kinds])
        _angles(p, kind[enu_kinds] == _CODE["azimuth"], m, True, out, g_rho, np.flatnonzero(enu_kinds))

    sky_kinds = (kind == _CODE["right_ascension"]) | (kind == _CODE["declination"])
    if sky_kinds.any():
        p = rho[sky_kinds]
        m = np.broadcast_to(np.eye(3), (p.shape[0], 3, 3))
        _angles(p, kind[sky_kinds] == _CODE["right_ascension"], m, False, out, g_rho, np.flatnonzero(sky_kinds))

    h[rows] = out
    if jac is None:
        return
    # rho = r - v tau + a tau^2/2 - s and c tau = |rho| give
    # d tau = (u.dr - tau u.dv) / k with k = c + u.ve.
    k = c + _dot(u, ve)
    gr_dot_ve = _dot(g_rho, ve)
    gv_dot_a = _dot(g_ve, acc)
    common = (gr_dot_ve + gv_dot_a) / k
    d_r = g_rho - u * common[:, None]
    d_v = -tau[:, None] * (g_rho - u * (gr_dot_ve / k)[:, None]) + g_ve + u * (tau * gv_dot_a / k)[:, None]
    jac[rows, :3] = d_r
    jac[rows, 3:] = d_v


def _angles(
    p: Array, first: NDArray[np.bool_], m: Any, is_enu: bool, out: Array, g_rho: Array, at: NDArray[np.intp]
) -> None:
    """Longitude-like (atan2(p0, p1) for ENU azimuth, atan2(p1, p0) for right
    ascension) and latitude-like angles of the vectors p = m rho, and their
    gradients with respect to rho."""
    x, y, z = p[:, 0], p[:, 1], p[:, 2]
    hsq = x * x + y * y
    hor = np.sqrt(hsq)
    dsq = hsq + z * z
    lon = np.arctan2(x, y) if is_enu else np.arctan2(y, x)
    lon = np.mod(lon, 2.0 * np.pi)
    lat = np.arctan2(z, hor)
    grad = np.zeros_like(p)
    with np.errstate(divide="ignore", invalid="ignore"):
        if is_enu:
            g_lon = np.stack([y / hsq, -x / hsq, np.zeros_like(x)], axis=1)
        else:
            g_lon = np.stack([-y / hsq, x / hsq, np.zeros_like(x)], axis=1)
        g_lat = np.stack([-x * z / (hor * dsq), -y * z / (hor * dsq), hor / dsq], axis=1)
    grad[first] = g_lon[first]
    grad[~first] = g_lat[~first]
    out[at] = np.where(first, lon, lat)
    # back to the line of sight in GCRF: d/drho = (d/dp) m
    g_rho[at] = np.einsum("ni,nij->nj", grad, m)


def residuals(obs: Observations, computed: Array) -> Array:
    """Observed minus computed, angles of the kinds in ``ANGLE_KINDS`` wrapped into [-pi, pi)."""
    res = obs.value - computed
    wrap = _WRAPPED[obs.kind]
    res[wrap] = np.mod(res[wrap] + np.pi, 2.0 * np.pi) - np.pi
    return res


def bias_vector(obs: Observations, biases: Mapping[tuple[int, str], float] | None) -> Array:
    """The additive bias of each row from a mapping (station index, kind) -> bias."""
    out = np.zeros(len(obs))
    if not biases:
        return out
    for (station, kind), value in biases.items():
        if kind not in _CODE:
            raise ValueError(f"unknown observation kind {kind!r} in biases")
        out[(obs.station == station) & (obs.kind == _CODE[kind])] += float(value)
    return out
