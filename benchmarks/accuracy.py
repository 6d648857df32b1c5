"""Accuracy of velarion against independent implementations of the same work.

Each check returns an `Accuracy` row: what was compared, with what, on how
many samples, and the largest difference seen. The oracles are pyerfa (the
same SOFA algorithms, called step by step from Python), astropy (its own
frame machinery and IERS handling), SciPy (numerical integration), the
`sgp4` package and skyfield. Checks whose oracle is not installed are left
out.

    python benchmarks/accuracy.py          # prints the table
"""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

GM = 3.986004418e14
SEED = 20240320


@dataclass
class Accuracy:
    what: str
    oracle: str
    samples: str
    worst: str


def _random_utc_mjd(n: int, rng: np.random.Generator) -> np.ndarray:
    """UTC MJDs 1992-2025, inside the final values of the shipped EOP table."""
    return rng.uniform(48622.0, 60676.0, n)


def _leo_to_geo_states(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    radius = rng.uniform(6.6e6, 4.3e7, n)[:, None]
    w = rng.normal(size=(n, 3))
    w -= (w * u).sum(axis=1, keepdims=True) * u
    w /= np.linalg.norm(w, axis=1, keepdims=True)
    return u * radius, w * np.sqrt(GM / radius)


def _fmt(x: float, unit: str) -> str:
    return f"{x:.2g} {unit}"


def _astropy_on_the_same_file():
    """astropy's Earth orientation set to the finals2000A file velarion reads
    (by default astropy takes the past from the IERS C04 series instead)."""
    from astropy.utils import iers

    import velarion.iers

    return iers.earth_orientation_table.set(iers.IERS_A.open(velarion.iers.table().path))


def time_scales() -> list[Accuracy]:
    import astropy.time as at

    from velarion.time.time import Time

    rng = np.random.default_rng(SEED)
    mjd = _random_utc_mjd(10_000, rng)
    t = Time.from_mjd(mjd, scale="utc")
    with _astropy_on_the_same_file():
        a = at.Time(mjd, format="mjd", scale="utc")
        rows = []
        for scale in ("tt", "ut1"):
            ours = getattr(t, scale).jd12
            theirs = getattr(a, scale)
            d = ((ours[:, 0] - theirs.jd1) + (ours[:, 1] - theirs.jd2)) * 86400.0
            rows.append(
                Accuracy(
                    f"UTC -> {scale.upper()}",
                    "astropy Time (same EOP file)",
                    f"{mjd.size} epochs 1992-2025",
                    _fmt(np.abs(d).max() * 1e9, "ns"),
                )
            )
    return rows


def _erfa_cio(t, e, r, v):
    """GCRF -> ITRF by the SOFA steps, one pyerfa call per step."""
    import erfa

    tt, ut1 = t.tt.jd12, t.ut1.jd12
    x, y, s = erfa.xys00a(tt[:, 0], tt[:, 1])
    q = erfa.c2ixys(x + e.dX, y + e.dY, s)
    rq = erfa.rz(erfa.era00(ut1[:, 0], ut1[:, 1]), q)
    w = erfa.pom00(e.pm_x, e.pm_y, erfa.sp00(tt[:, 0], tt[:, 1]))
    m = erfa.rxr(w, rq)
    om = 7.292115146706798e-5 * (1.0 - e.lod / 86400.0)
    rt = erfa.rxp(rq, r)
    c = np.stack([-om * rt[:, 1], om * rt[:, 0], 0.0 * om], axis=-1)
    return erfa.rxp(m, r), erfa.rxp(m, v) - erfa.rxp(w, c)


def gcrf_itrf_vs_pyerfa() -> list[Accuracy]:
    from velarion.frames.frames import get_GCRF
    from velarion.iers import EOP
    from velarion.time.time import Time

    rng = np.random.default_rng(SEED + 1)
    mjd = _random_utc_mjd(10_000, rng)
    r, v = _leo_to_geo_states(mjd.size, rng)
    t = Time.from_mjd(mjd, scale="utc")
    ro, vo = get_GCRF().to_ITRF(t, r, v)
    re, ve = _erfa_cio(t, EOP(mjd), r, v)
    return [
        Accuracy(
            "GCRF -> ITRF (IAU 2000A, CIO), position / velocity",
            "pyerfa, SOFA steps, same EOP",
            f"{mjd.size} states, LEO-GEO",
            f"{_fmt(np.abs(ro - re).max() * 1e3, 'mm')} / {_fmt(np.abs(vo - ve).max() * 1e6, 'um/s')}",
        )
    ]


def interpolated_cip_vs_exact() -> list[Accuracy]:
    import velarion.frames
    from velarion.frames.frames import get_GCRF
    from velarion.time.time import Time

    rng = np.random.default_rng(SEED + 2)
    rows = []
    for mjd, samples in (
        (60390.0 + np.arange(86_400) / 86400.0, "86,400 states, one day at 1 s, LEO-GEO"),
        (_random_utc_mjd(10_000, rng), "10,000 states, 1992-2025, LEO-GEO"),
    ):
        r, v = _leo_to_geo_states(mjd.size, rng)
        t = Time.from_mjd(mjd, scale="utc")
        re, ve = get_GCRF().to_ITRF(t, r, v)
        with velarion.frames.interpolated_cip():
            ro, vo = get_GCRF().to_ITRF(t, r, v)
        rows.append(
            Accuracy(
                "GCRF -> ITRF in interpolated_cip(), position / velocity",
                "velarion's exact path (the series at every epoch)",
                samples,
                f"{_fmt(np.abs(ro - re).max() * 1e9, 'nm')} / {_fmt(np.abs(vo - ve).max() * 1e12, 'pm/s')}",
            )
        )
    return rows


def frames_vs_astropy() -> list[Accuracy]:
    import astropy.units as u
    from astropy.coordinates import GCRS, ITRS, TEME, CartesianRepresentation
    from astropy.time import Time as ATime

    from velarion.frames.frames import get_GCRF, get_TEME
    from velarion.time.time import Time

    rng = np.random.default_rng(SEED + 2)
    mjd = _random_utc_mjd(2_000, rng)
    r, v = _leo_to_geo_states(mjd.size, rng)
    t = Time.from_mjd(mjd, scale="utc")
    rows = []
    # astropy's GCRS -> ITRS is IAU 2006/2000A without the dX, dY pole
    # offsets, so a difference of a few mas is the model's, not the code's.
    oracle = "astropy GCRS/TEME -> ITRS (same EOP file)"
    with _astropy_on_the_same_file():
        at = ATime(mjd, format="mjd", scale="utc")
        rep = CartesianRepresentation(r.T * u.m)
        for name, ours, source in (
            ("GCRF -> ITRF", get_GCRF().to_ITRF(t, r, v)[0], GCRS(rep, obstime=at)),
            ("TEME -> ITRF", get_TEME().to_ITRF(t, r, v)[0], TEME(rep, obstime=at)),
        ):
            theirs = source.transform_to(ITRS(obstime=at)).cartesian.xyz.to_value(u.m).T
            d = np.linalg.norm(ours - theirs, axis=1)
            mas = np.max(d / np.linalg.norm(r, axis=1)) * 180 / math.pi * 3.6e6
            rows.append(
                Accuracy(
                    f"{name}, position",
                    oracle,
                    f"{mjd.size} states LEO-GEO, 1992-2025",
                    f"{_fmt(d.max() * 1e3, 'mm')} ({mas:.2g} mas)",
                )
            )
    return rows


def keplerian_vs_scipy() -> list[Accuracy]:
    from scipy.integrate import solve_ivp

    from velarion.propagators.analytical.keplerian.keplerian import Keplerian
    from velarion.state.state import COE
    from velarion.time.time import Time

    t0 = Time("2024-03-20T00:00:00", scale="tai")
    rows = []
    for ecc, sma in ((0.001, 6.8e6), (0.7, 2.6e7)):
        coe = COE(t0, ecc=ecc, sma=sma, inc=1.0, raa=0.4, arp=2.0, tra=0.3, GM=GM)
        period = 2 * math.pi * math.sqrt(sma**3 / GM)
        dt = np.linspace(0.0, 10 * period, 401)
        eph = Keplerian(GM).propagate_state(t0 + dt, coe)
        sv = coe.to_sv()

        def f(_t, y):
            rr = y[:3]
            return np.concatenate([y[3:], -GM * rr / np.linalg.norm(rr) ** 3])

        sol = solve_ivp(
            f, (0.0, dt[-1]), np.concatenate([sv.r, sv.v]), method="DOP853", t_eval=dt, rtol=3e-14, atol=1e-10
        )
        d = np.linalg.norm(eph.r - sol.y[:3].T, axis=1)
        rows.append(
            Accuracy(
                f"Keplerian, ecc {ecc}, 10 orbits, position",
                "SciPy DOP853, rtol 3e-14 (its own error dominates)",
                f"{dt.size} epochs",
                _fmt(d.max() * 1e3, "mm"),
            )
        )
    return rows


def geodetic_vs_pyerfa() -> list[Accuracy]:
    import erfa

    from velarion.mathtools.ellipsoid.ellipsoid import WGS84

    rng = np.random.default_rng(SEED + 3)
    n = 100_000
    lat = np.arcsin(rng.uniform(-1, 1, n))
    lon = rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(-1e4, 4e7, n)
    xyz = erfa.gd2gc(1, lon, lat, alt)
    ours = WGS84.geodetic_to_cartesian(lat, lon, alt)
    la, _, al = WGS84.cartesian_to_geodetic(xyz)
    back = np.max(np.abs(np.asarray(al) - alt)) + WGS84.a * np.max(np.abs(np.asarray(la) - lat))
    return [
        Accuracy(
            "geodetic -> Cartesian (WGS84)",
            "pyerfa gd2gc",
            f"{n} points, -10 km to 40 000 km",
            _fmt(np.abs(ours - xyz).max() * 1e3, "mm"),
        ),
        Accuracy(
            "Cartesian -> geodetic (WGS84), height + a * latitude",
            "pyerfa gd2gc input",
            f"{n} points",
            _fmt(back * 1e3, "mm"),
        ),
    ]


ISS = (
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)


def sgp4_checks() -> list[Accuracy]:
    from sgp4.api import WGS72, Satrec

    import velarion.frames
    from velarion.frames.frames import ENU, get_TEME
    from velarion.propagators.analytical.sgp4 import SGP4, TLE

    velarion.frames.register_standard_transforms()
    tle = TLE(*ISS)
    day = tle.epoch + np.arange(0.0, 86400.0, 20.0)
    eph = SGP4(tle).propagate(day)
    sat = Satrec.twoline2rv(*ISS, WGS72)
    jd = day.utc.jd12
    _, rr, _ = sat.sgp4_array(np.ascontiguousarray(jd[:, 0]), np.ascontiguousarray(jd[:, 1]))
    rows = [
        Accuracy(
            "SGP4, TEME position",
            "sgp4 package, same element set",
            f"{day.size} epochs, 1 day",
            _fmt(np.abs(eph.r - rr * 1e3).max() * 1e3, "mm"),
        )
    ]

    from skyfield.api import EarthSatellite, load, wgs84

    lat, lon, alt = 40.45, -4.25, 650.0
    station = ENU(math.radians(lon), math.radians(lat), alt)
    try:
        r_enu, _ = get_TEME().transform_to(station, day, eph.r, eph.v)
        e, n, u = np.asarray(r_enu).T
        el = np.degrees(np.arctan2(u, np.hypot(e, n)))
        az = np.degrees(np.arctan2(e, n)) % 360.0
    finally:
        velarion.frames.frames.get_ITRF().remove_transform(station)
    ts = load.timescale(builtin=True)
    sf = EarthSatellite(*ISS, ts=ts)
    tsf = ts.utc(2019, 12, 9, 16, 38, 29.363424 + np.arange(0.0, 86400.0, 20.0))
    alt_sf, az_sf, _ = (sf - wgs84.latlon(lat, lon, alt)).at(tsf).altaz()
    seen = el > 0.0
    d_el = np.abs(el - alt_sf.degrees)[seen].max()
    d_az = np.abs(((az - az_sf.degrees) + 180.0) % 360.0 - 180.0)[seen].max()
    rows.append(
        Accuracy(
            "SGP4 -> TEME -> ITRF -> ENU, elevation / azimuth above the horizon",
            "skyfield (same TLE and station)",
            f"{int(seen.sum())} samples",
            f"{d_el:.1g} / {d_az:.1g} deg",
        )
    )
    return rows


def passes_vs_skyfield() -> list[Accuracy]:
    """`velarion passes` on its defaults against skyfield's find_events."""
    import csv
    import io
    import subprocess

    from skyfield.api import EarthSatellite, load, wgs84

    from velarion.cli import defaults as d
    from velarion.time.time import Time

    run = subprocess.run(
        [sys.executable, "-m", "velarion", "passes", "--format", "csv"], capture_output=True, text=True, check=True
    )
    ours = list(csv.DictReader(io.StringIO(run.stdout)))
    ts = load.timescale(builtin=True)
    sat = EarthSatellite(d.TLE_LINE1, d.TLE_LINE2, d.TLE_NAME, ts)
    site = wgs84.latlon(d.STATION_LAT, d.STATION_LON, elevation_m=d.STATION_ALT)
    start = Time(d.START)
    t0 = ts.tt_jd(*start.tt.jd12)
    t1 = ts.tt_jd(*(start + d.DAYS * 86400.0).tt.jd12)
    times, events = sat.find_events(site, t0, t1, altitude_degrees=d.MIN_ELEVATION)
    theirs = [times[i : i + 3] for i in range(0, len(events) - 2) if list(events[i : i + 3]) == [0, 1, 2]]
    if len(theirs) != len(ours):
        return [
            Accuracy(
                "passes, rise / culmination / set",
                "skyfield find_events",
                "default run",
                f"{len(ours)} passes vs {len(theirs)}",
            )
        ]
    dt = 0.0
    d_el = 0.0
    for row, ev in zip(ours, theirs, strict=True):
        for key, tsf in zip(("rise", "culmination", "set"), ev, strict=True):
            ref = Time(tsf.utc_iso(places=6))
            dt = max(dt, abs(float(Time(row[key]) - ref)))
        el = (sat - site).at(ev[1]).altaz()[0].degrees
        d_el = max(d_el, abs(float(row["max_elevation"]) - el))
    return [
        Accuracy(
            "`velarion passes`: rise, culmination, set / maximum elevation",
            "skyfield find_events (same TLE, station, day)",
            f"{len(ours)} passes",
            f"{dt:.2g} s / {d_el:.2g} deg",
        )
    ]


CHECKS: list[Callable[[], list[Accuracy]]] = [
    time_scales,
    gcrf_itrf_vs_pyerfa,
    interpolated_cip_vs_exact,
    frames_vs_astropy,
    keplerian_vs_scipy,
    geodetic_vs_pyerfa,
    sgp4_checks,
    passes_vs_skyfield,
]


def rows() -> list[Accuracy]:
    out: list[Accuracy] = []
    for check in CHECKS:
        try:
            out.extend(check())
        except ImportError as exc:  # an oracle (or a velarion module) is missing
            print(f"skipped {check.__name__}: {exc}", file=sys.stderr)
    return out


def markdown(table: list[Accuracy]) -> str:
    lines = ["| quantity | compared with | sample | largest difference |", "|---|---|---|---|"]
    lines += [f"| {a.what} | {a.oracle} | {a.samples} | {a.worst} |" for a in table]
    return "\n".join(lines)


if __name__ == "__main__":
    print(markdown(rows()))
