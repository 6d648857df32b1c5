"""Satellite passes over a ground station (the work of `velarion passes`), side by side.

velarion: ``velarion.passes.find_passes`` (``find_passes_many`` for the
catalogue, all satellites searched together) on SGP4 states carried to the
station's ENU frame through the frame graph (TEME -> ITRF with the IERS
Earth orientation data -> ENU), sampled every 10 s (the search evaluates the
grid only where a pass can be, see the module), rise, culmination and set
refined by root finding, minimum elevation 10 deg.

Peers (skyfield, same TLEs, station, span and minimum elevation):
- "skyfield find_events": skyfield's own pass finder, which samples the
  elevation every 1/20 of an orbit and refines maxima and crossings to
  about half a second.
- "skyfield 10 s grid": skyfield computing the topocentric altitude on the
  same 10 s grid, then its pass finder for the refined events: the same
  sampling work as velarion's grid.

The catalogue: 1,000 element sets made by perturbing the elements of the
ISS set (inclination, node, eccentricity, perigee, anomaly, mean motion),
deterministic (fixed seed), all with the ISS epoch.
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

import velarion.frames
from velarion.cli import defaults
from velarion.passes import Station, find_passes, find_passes_many, sgp4_source
from velarion.propagators.analytical.sgp4 import SGP4, TLE
from velarion.time.time import Time

STATION = (defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT)
START = (2019, 12, 9)
STEP = 10.0
MIN_EL = 10.0


def _checksum(line: str) -> str:
    return line + str(sum(int(c) if c.isdigit() else c == "-" for c in line) % 10)


def catalogue(n: int = 1000, seed: int = 20191209) -> list[tuple[str, str]]:
    """n element sets perturbed from the ISS set of the embedded sample."""
    rng = np.random.default_rng(seed)
    base1 = defaults.TLE_LINE1
    out = []
    for k in range(n):
        satnum = 70000 + k
        inc = rng.uniform(30.0, 100.0)
        raa = rng.uniform(0.0, 360.0)
        ecc = rng.uniform(0.0001, 0.02)
        arp = rng.uniform(0.0, 360.0)
        mea = rng.uniform(0.0, 360.0)
        mnm = rng.uniform(13.5, 15.8)
        line1 = _checksum(f"1 {satnum:05d}" + base1[7:68])
        line2 = _checksum(
            f"2 {satnum:05d} {inc:8.4f} {raa:8.4f} {round(ecc * 1e7):07d} {arp:8.4f} {mea:8.4f} {mnm:11.8f}{1:5d}"
        )
        out.append((line1, line2))
    return out


def cases() -> list[Case]:
    from skyfield.api import EarthSatellite, load, wgs84

    velarion.frames.register_standard_transforms()
    start = Time(f"{START[0]:04d}-{START[1]:02d}-{START[2]:02d}")
    enu = Station(*STATION).frame()  # one station frame for every run
    ts = load.timescale()
    topos = wgs84.latlon(*STATION)
    t0 = ts.utc(*START)
    out = []

    def vel(sets, days):
        sources = [sgp4_source(SGP4(TLE(*s))) for s in sets]

        def run():
            if len(sources) == 1:
                return find_passes(sources[0], enu, start, days * 86400.0, STEP, MIN_EL)
            return find_passes_many(sources, enu, start, days * 86400.0, STEP, MIN_EL)

        return run

    def sky_events(sets, days):
        sats = [EarthSatellite(*s, ts=ts) for s in sets]
        t1 = ts.utc(START[0], START[1], START[2] + days)

        def run():
            return [sat.find_events(topos, t0, t1, altitude_degrees=MIN_EL) for sat in sats]

        return run

    def sky_grid(sets, days):
        sats = [EarthSatellite(*s, ts=ts) for s in sets]
        t1 = ts.utc(START[0], START[1], START[2] + days)
        grid = ts.utc(*START, 0, 0, np.arange(0.0, days * 86400.0 + 1e-9, STEP))

        def run():
            out = []
            for sat in sats:
                alt = (sat - topos).at(grid).altaz()[0].degrees
                out.append((alt, sat.find_events(topos, t0, t1, altitude_degrees=MIN_EL)))
            return out

        return run

    iss = [(defaults.TLE_LINE1, defaults.TLE_LINE2)]
    out.append(
        Case(
            name="passes, ISS, 7 days at 10 s (per satellite)",
            items=1,
            velarion=vel(iss, 7),
            peers={"skyfield find_events": sky_events(iss, 7), "skyfield 10 s grid": sky_grid(iss, 7)},
            goal=">= 10x skyfield",
        )
    )
    cat = catalogue()
    out.append(
        Case(
            name="passes, 1,000 TLEs, 1 day at 10 s (per satellite)",
            items=len(cat),
            velarion=vel(cat, 1),
            peers={"skyfield find_events": sky_events(cat, 1)},
            goal=">= 10x skyfield",
        )
    )
    return out
