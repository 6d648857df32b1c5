"""Satellite passes over a ground station (the work of `velarion passes`), side by side.

velarion: ``velarion.passes.find_passes`` (for the catalogue, all
satellites searched together) on SGP4 states carried to the
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

Catalogue over a network: the 100 low orbits of ``examples/leo100.tle``
(made-up, realistic elements) over 3 stations (north, south, high latitude)
for a day, in one ``find_passes`` call, against skyfield's ``find_events``
over every satellite-station pair; 10 stations against one (each station
costs its frame conversion, not a propagation); and the same job as
``velarion passes --tle examples/leo100.tle --station ... --format csv``
run in this process (``velarion.cli.main``: reading, search, CSV).
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

import velarion.frames
from velarion.cli import defaults, main
from velarion.passes import Station, find_passes, sgp4_source
from velarion.propagators.analytical.sgp4 import SGP4, TLE, load_tles
from velarion.time.time import Time

STATION = (defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT)
START = (2019, 12, 9)
STEP = 10.0
MIN_EL = 10.0
LEO100 = pathlib.Path(__file__).resolve().parent.parent / "examples" / "leo100.tle"
NETWORK = [
    ("Kiruna", 67.857, 20.964, 402.0),
    ("Canberra", -35.40, 148.98, 688.0),
    ("Svalbard", 78.23, 15.40, 500.0),
    ("Redu", 50.0006, 5.1453, 385.0),
    ("Santiago", -33.15, -70.67, 730.0),
    ("Hartebeesthoek", -25.89, 27.69, 1415.0),
    ("Fairbanks", 64.86, -147.85, 150.0),
    ("Kourou", 5.25, -52.80, 20.0),
    ("Perth", -31.80, 115.89, 22.0),
    ("Wallops", 37.94, -75.46, 10.0),
]


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
            return find_passes(sources if len(sources) > 1 else sources[0], enu, start, days * 86400.0, STEP, MIN_EL)

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
    out += network_cases(ts)
    return out


def network_cases(ts: object) -> list[Case]:
    """100 satellites over 3 and 10 stations for a day (see the module's docstring)."""
    from skyfield.api import EarthSatellite, wgs84

    tles = load_tles(LEO100)
    start = Time("2024-03-20")
    three = [Station(lat, lon, alt, name) for name, lat, lon, alt in NETWORK[:3]]
    ten = [Station(lat, lon, alt, name) for name, lat, lon, alt in NETWORK]
    sats = [EarthSatellite(*t.lines, t.name, ts) for t in tles]
    tops = [wgs84.latlon(s.lat, s.lon, s.alt) for s in three]
    t0, t1 = ts.utc(2024, 3, 20), ts.utc(2024, 3, 21)  # type: ignore[attr-defined]

    def search(stations: list[Station]) -> object:
        return lambda: find_passes(tles, stations, start, 86400.0, STEP, MIN_EL)

    def every_pair() -> object:
        return [sat.find_events(top, t0, t1, altitude_degrees=MIN_EL) for sat in sats for top in tops]

    argv = ["passes", "--tle", str(LEO100), "--start", "2024-03-20", "--days", "1", "--format", "csv"]
    argv += [a for name, lat, lon, alt in NETWORK[:3] for a in ("--station", f"{name},{lat},{lon},{alt}")]
    argv += ["-o", "/dev/null"]

    def command_line() -> int:
        status = main(argv)
        if status:
            raise RuntimeError(f"velarion passes exited with status {status}")
        return status

    pairs = len(tles) * len(three)
    return [
        Case(
            name="passes, 100 TLEs x 3 stations, 1 day, one find_passes call (per pair)",
            items=pairs,
            velarion=search(three),
            peers={"skyfield find_events": every_pair},
            goal=">= 30x skyfield",
            min_ratio={"skyfield find_events": 30.0},
        ),
        Case(
            name="passes, 100 TLEs x 10 stations vs x 1 station, 1 day (per satellite)",
            items=len(tles),
            velarion=search(ten),
            peers={"velarion, 1 station": search(ten[:1])},
            goal="10 stations <= 3x one station",
            min_ratio={"velarion, 1 station": 1.0 / 3.0},
        ),
        Case(
            name="velarion passes --tle leo100.tle, 3 stations, 1 day, in one process (per pair)",
            items=pairs,
            velarion=command_line,
            peers={"skyfield find_events": every_pair},
            goal=">= 30x skyfield",
        ),
    ]
