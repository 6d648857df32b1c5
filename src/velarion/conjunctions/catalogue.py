"""Made-up catalogues of two-line element sets, for trying out and testing
the screening without downloading one.

``sample_catalogue(n, epoch, seed, close_pairs)`` writes ``n`` low Earth
orbits as three-line element sets (a name line, then two lines with valid
checksums): a random population with the inclinations and altitudes that
crowd low orbit (sun-synchronous, 53 and 86 degree shells, others spread),
among which ``close_pairs`` pairs are planted to meet: half are near copies
of one element set (the same orbit a few hundred metres apart, in sustained
proximity), half fly crossing orbits phased to pass the same point of the
line of nodes a few hundred metres apart. ``format_tle`` writes one set.

``realistic_catalogue(epoch, seed)`` writes a catalogue shaped like the
public catalogue of active satellites (about 15,000 objects): see its
docstring.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from velarion.constants import WGS72_GM, WGS72_RADIUS
from velarion.time.time import Time

__all__ = ["format_tle", "realistic_catalogue", "sample_catalogue"]

_MU_KM = WGS72_GM / 1e9  # km^3/s^2
_EARTH_RADIUS_KM = WGS72_RADIUS / 1e3


def _checksum(line: str) -> int:
    return sum(int(c) if c.isdigit() else (1 if c == "-" else 0) for c in line[:68]) % 10


def _exponent_field(value: float) -> str:
    """A TLE's 8-column decimal-point-assumed exponent field (' 12345-4' = 0.12345e-4)."""
    if value == 0.0:
        return " 00000+0"
    exponent = math.floor(math.log10(abs(value))) + 1
    digits = round(abs(value) / 10.0**exponent * 1e5)
    if digits >= 100000:
        digits //= 10
        exponent += 1
    if not -9 <= exponent <= 9:
        raise ValueError(f"{value!r} does not fit a two-line element set's exponent field")
    return f"{'-' if value < 0 else ' '}{digits:05d}{'-' if exponent < 0 else '+'}{abs(exponent)}"


def format_tle(
    satnum: int,
    epoch: Any,
    inclination: float,
    raan: float,
    eccentricity: float,
    arg_perigee: float,
    mean_anomaly: float,
    mean_motion: float,
    bstar: float = 0.0,
    name: str = "",
) -> str:
    """A three-line element set (two lines when ``name`` is empty), checksums
    included. Angles in degrees, mean motion in revolutions per day, the
    epoch anything ``Time`` accepts (UTC)."""
    if not 0 < satnum <= 99999:
        raise ValueError(f"satnum must lie in [1, 99999], got {satnum!r}")
    if not 0.0 <= eccentricity < 1.0:
        raise ValueError(f"the eccentricity must lie in [0, 1), got {eccentricity!r}")
    t = epoch if isinstance(epoch, Time) else Time(epoch)
    iso = str(t.utc.iso)
    year = int(iso[:4])
    day = float(t.utc - Time(f"{year}-01-01T00:00:00")) / 86400.0 + 1.0
    drag = _exponent_field(bstar)
    line1 = f"1 {satnum:05d}U {'24001A':<8} {year % 100:02d}{day:012.8f}  .00000000  00000+0 {drag} 0  999"
    ecc = f"{round(eccentricity * 1e7):07d}"
    line2 = (
        f"2 {satnum:05d} {inclination % 180.0 if inclination != 180.0 else 180.0:8.4f} {raan % 360.0:8.4f} {ecc} "
        f"{arg_perigee % 360.0:8.4f} {mean_anomaly % 360.0:8.4f} {mean_motion:11.8f}    1"
    )
    line1 += str(_checksum(line1))
    line2 += str(_checksum(line2))
    return f"{name}\n{line1}\n{line2}\n" if name else f"{line1}\n{line2}\n"


def _mean_motion(perigee_km: float, apogee_km: float) -> tuple[float, float]:
    a = _EARTH_RADIUS_KM + 0.5 * (perigee_km + apogee_km)
    ecc = (apogee_km - perigee_km) / (2.0 * a)
    return math.sqrt(_MU_KM / a**3) * 86400.0 / (2.0 * math.pi), ecc


def sample_catalogue(n: int, epoch: Any = "2024-01-01T00:00:00", *, seed: int = 0, close_pairs: int = 0) -> str:
    """Three-line element sets of ``n`` low Earth orbits at ``epoch`` (see
    the module's docstring); catalogue numbers 1 to n, names ``OBJ-<number>``
    (planted pairs ``PAIR-<k>A``/``B``, first in the text)."""
    if not 0 <= 2 * close_pairs <= n <= 99999:
        raise ValueError(f"n must lie in [2 * close_pairs, 99999], got n={n!r}, close_pairs={close_pairs!r}")
    rng = np.random.default_rng(seed)
    out: list[str] = []
    number = 0

    def add(name: str, inc: float, raan: float, ecc: float, argp: float, ma: float, mm: float, bstar: float) -> None:
        nonlocal number
        number += 1
        out.append(format_tle(number, epoch, inc, raan, ecc, argp, ma, mm, bstar, name))

    for k in range(close_pairs):
        perigee = float(rng.uniform(450.0, 900.0))
        mm, ecc = _mean_motion(perigee, perigee + float(rng.uniform(0.0, 20.0)))
        inc, raan, argp, ma = (float(x) for x in rng.uniform([40.0, 0.0, 0.0, 0.0], [100.0, 360.0, 360.0, 360.0]))
        bstar = float(rng.uniform(1e-5, 1e-4))
        add(f"PAIR-{k}A", inc, raan, ecc, argp, ma, mm, bstar)
        if k % 2 == 0:
            # The same orbit, a few hundred metres along and across it.
            add(f"PAIR-{k}B", inc + 0.002, raan, ecc, argp, ma + 0.003, mm, bstar)
        else:
            # Another plane through the same node; both reach it together.
            add(f"PAIR-{k}B", inc + float(rng.uniform(10.0, 60.0)), raan, ecc, argp, ma + 0.002, mm, bstar)
    while number < n:
        kind = rng.random()
        if kind < 0.35:
            inc = float(rng.uniform(96.5, 99.5))
        elif kind < 0.55:
            inc = float(rng.normal(53.0, 0.5))
        elif kind < 0.65:
            inc = float(rng.normal(86.4, 0.3))
        else:
            inc = float(rng.uniform(0.0, 110.0))
        perigee = float(rng.uniform(350.0, 1400.0))
        apogee = (
            perigee + float(rng.exponential(40.0)) + (float(rng.uniform(0.0, 1500.0)) if rng.random() < 0.1 else 0.0)
        )
        mm, ecc = _mean_motion(perigee, apogee)
        argp, raan, ma = (float(x) for x in rng.uniform(0.0, 360.0, 3))
        add(f"OBJ-{number + 1}", inc, raan, ecc, argp, ma, mm, float(rng.uniform(0.0, 2e-4)))
    return "".join(out)


# Constellation shells of the realistic catalogue: (altitude [km], inclination [deg], planes, per plane,
# Walker phasing F, spread of the planes' nodes [deg], label). Slot k of plane p sits at the argument
# of latitude 360 (k / S + F p / (P S)); each F is the one that keeps the satellites of crossing planes
# farthest apart at these plane counts (47 to 72 km: a shell in its slots makes no approach below 5 km).
_SHELLS = (
    (550.0, 53.0, 72, 22, 65, 360.0, "STARLINK"),
    (540.0, 53.2, 72, 22, 13, 360.0, "STARLINK"),
    (570.0, 70.0, 36, 20, 25, 360.0, "STARLINK"),
    (560.0, 97.6, 10, 43, 2, 360.0, "STARLINK"),
    (530.0, 43.0, 28, 68, 11, 360.0, "STARLINK"),
    (525.0, 53.0, 28, 60, 15, 360.0, "STARLINK"),
    (535.0, 33.0, 28, 80, 27, 360.0, "STARLINK"),
    (1200.0, 87.9, 18, 36, 0, 180.0, "ONEWEB"),
)
# Share of a shell's satellites off their slots (raising, lowering, drifting, spares): any phase,
# a few km from the shell's altitude. These make the shells' approaches, as in the real catalogue.
_OFF_SLOT = 0.045
_OFF_SLOT_ALTITUDE = 3.0  # km, standard deviation


def _back_to_epoch(
    inc: float, raan: float, ecc: float, argp: float, ma: float, mm: float, days: float
) -> tuple[float, float, float]:
    """Node, perigee and mean anomaly [deg] ``days`` earlier, by SGP4's
    secular rates (Earth's oblateness; drag and the deep-space terms left
    out) for these elements (angles in degrees, mean motion in rev/day)."""
    if days == 0.0:
        return raan, argp, ma
    from velarion.propagators.analytical.sgp4.records import Records

    radians = math.pi / 180.0
    no_kozai = mm * 2.0 * math.pi / 1440.0  # rad/min
    row = [0.0, 0.0, 26000.0, 0.0, 0.0, 0.0, ecc, argp * radians, inc * radians, ma * radians, no_kozai, raan * radians]
    mdot, argpdot, nodedot = (float(x) for x in Records.from_elements(np.array([row])).secular_rates()[0])
    minutes = days * 1440.0
    degrees = 180.0 / math.pi
    return (
        raan - nodedot * minutes * degrees,
        argp - argpdot * minutes * degrees,
        ma - mdot * minutes * degrees,
    )


# Decaying objects stop being followed this many days after the catalogue's date.
_DECAY_AFTER = (0.3, 6.8)


def _failure_day(line1: str, line2: str, horizon: float = 30.0) -> float:
    """Days from the element set's epoch to the first state SGP4 does not
    give (sampled every 5 minutes; ``inf`` within ``horizon`` days)."""
    from velarion.propagators.analytical.sgp4.records import Records
    from velarion.propagators.analytical.sgp4.tle import TLE

    records = Records([TLE(line1, line2)])
    jd, fr = records.elements[0, :2]
    days = np.arange(0.0, horizon, 5.0 / 1440.0)
    err, _, _ = records.states([0], np.full(days.size, jd), fr + days)
    bad = np.flatnonzero(err[0])
    return float(days[bad[0]]) if bad.size else math.inf


def _drag_to_fail_after(
    satnum: int, epoch: Time, elements: tuple[float, float, float, float, float, float], days: float
) -> float:
    """A drag term with which SGP4 fails ``days`` (to within about an hour)
    after ``epoch`` for these elements (inclination, node, eccentricity,
    perigee, mean anomaly, mean motion): the time to fail scales about as
    the inverse of the drag term, so a few rescalings of a first guess do."""
    bstar = 1e-3
    for _ in range(6):
        text = format_tle(satnum, epoch, *elements, bstar)
        line1, line2 = text.splitlines()
        after = _failure_day(line1, line2)
        if abs(after - days) < 1.0 / 24.0:
            break
        bstar = min(0.5, bstar * (after / days if math.isfinite(after) else 4.0))
    return bstar


def realistic_catalogue(epoch: Any = "2024-01-08T00:00:00", *, seed: int = 0, scale: float = 1.0) -> str:
    """Three-line element sets shaped like the public catalogue of active
    satellites: about ``15,000 * scale`` objects whose epochs spread over
    the five days before ``epoch`` (UTC), with

    - constellation shells (``STARLINK-<k>``, ``ONEWEB-<k>``, about 2/3 of
      the catalogue): Walker patterns of tens of planes spread in node, tens
      of satellites a plane (22 in the 550 km shell), phased so that a shell
      in its slots makes no approach below 5 km; 4.5 % of each shell's
      satellites are off their slots (any phase, a few km from the shell's
      altitude), which makes the shells' approaches, as raising, drifting
      and spare satellites do in the real catalogue; and launch trains
      (``TRAIN-<k>``) of dozens of satellites in one plane a few tens of
      kilometres apart, still raising their orbits;
    - formation pairs (``FORM-<k>A``/``B``): one orbit, 1-4 km apart along
      the track;
    - docked objects (``ISS (ZARYA)``, ``ISS (UNITY)``, ...): one element
      set under four catalogue numbers;
    - geostationary satellites (``GEO-<k>``) with co-located pairs
      (``GEOPAIR-<k>A``/``B``: one slot, an inclination offset, about
      1.5 m/s apart as they pass);
    - decaying objects (``DECAY-<k>``): perigee at 150-200 km and a drag
      term chosen so that SGP4 stops following each one at a time spread
      over the week after ``epoch`` (0.3 to 6.8 days);
    - deep-space orbits (``MOLNIYA-<k>``, ``GTO-<k>``, ``GPS-<k>``,
      ``GLONASS-<k>``, ``IGSO-<k>``) and the rest of low orbit
      (``OBJ-<k>``: sun-synchronous and other shells, spread altitudes).

    The angles are drawn for ``epoch`` and taken back to each element set's
    own epoch with SGP4's secular rates, so that planes and phasing hold at
    ``epoch`` whatever the epochs. Catalogue numbers run from 1 in that
    order; a fixed ``seed`` gives the same text.

    Screened all-vs-all at 5 km for a week from ``epoch`` (seed 0, scale 1),
    it gives about 43,000 approaches a day, most between shell satellites,
    where the real catalogue of 14,710 active satellites gives about 38,000."""
    if not (isinstance(scale, (int, float)) and 0.0 < scale <= 6.0):
        raise ValueError(f"scale must lie in (0, 6], got {scale!r}")
    rng = np.random.default_rng(seed)
    end = epoch if isinstance(epoch, Time) else Time(epoch)
    end = end.utc
    out: list[str] = []
    number = 0

    def count(n: float) -> int:
        return max(1, round(n * scale))

    def add(
        name: str,
        inc: float,
        raan: float,
        ecc: float,
        argp: float,
        ma: float,
        mm: float,
        bstar: float,
        age: float | None = None,
    ) -> None:
        nonlocal number
        number += 1
        days = float(rng.uniform(0.0, 5.0)) if age is None else age
        # Spread epochs: the angles are those at ``epoch``, taken back to the
        # element set's own epoch with the model's secular rates, so that the
        # shells keep their planes and phasing at the common date.
        raan_at, argp_at, ma_at = _back_to_epoch(inc, raan, ecc, argp, ma, mm, days)
        out.append(format_tle(number, end - days * 86400.0, inc, raan_at, ecc, argp_at, ma_at, mm, bstar, name))

    def circular(alt: float) -> float:
        return _mean_motion(alt, alt)[0]

    for alt, inc, planes, per_plane, phasing, spread, label in _SHELLS:
        planes = count(planes)
        for p in range(planes):
            raan = spread * p / planes
            for k in range(per_plane):
                # The slot fixes the argument of latitude (perigee plus mean anomaly, near enough
                # on orbits this circular); the perigee itself is anywhere.
                height = alt
                latitude_arg = 360.0 * (k / per_plane + phasing * p / (planes * per_plane)) + float(
                    rng.normal(0.0, 0.01)
                )
                if rng.random() < _OFF_SLOT:
                    height = alt + float(rng.normal(0.0, _OFF_SLOT_ALTITUDE))
                    latitude_arg = float(rng.uniform(0.0, 360.0))
                argp = float(rng.uniform(0.0, 360.0))
                add(
                    f"{label}-{number + 1}",
                    inc + float(rng.normal(0.0, 0.002)),
                    raan + float(rng.normal(0.0, 0.002)),
                    float(rng.uniform(1e-4, 2e-4)),
                    argp,
                    latitude_arg - argp,
                    circular(height) * (1.0 + float(rng.normal(0.0, 2e-6))),
                    float(rng.uniform(1e-5, 1e-4)),
                )
    # Launch trains: one plane, a string of satellites a few tens of km apart, raising.
    for _ in range(count(12)):
        alt = float(rng.uniform(300.0, 500.0))
        inc, raan, ma0 = (
            float(rng.choice([43.0, 53.0, 70.0, 97.6])),
            float(rng.uniform(0.0, 360.0)),
            float(rng.uniform(0.0, 360.0)),
        )
        age = float(rng.uniform(0.0, 5.0))
        for k in range(int(rng.integers(20, 60))):
            a = alt + 0.3 * k
            add(f"TRAIN-{number + 1}", inc, raan, 1.5e-4, 90.0, ma0 + 0.25 * k, circular(a), 3e-4, age)
    # Formation pairs: one orbit, 1-4 km apart along the track.
    for k in range(count(8)):
        alt = float(rng.uniform(480.0, 720.0))
        inc, raan, ma = float(rng.uniform(50.0, 98.0)), float(rng.uniform(0.0, 360.0)), float(rng.uniform(0.0, 360.0))
        apart = float(rng.uniform(1.0, 4.0)) / (_EARTH_RADIUS_KM + alt) * 180.0 / math.pi
        age = float(rng.uniform(0.0, 5.0))
        mm = circular(alt)
        add(f"FORM-{k}A", inc, raan, 1e-4, 90.0, ma, mm, 2e-5, age)
        add(f"FORM-{k}B", inc, raan, 1e-4, 90.0, ma + apart, mm, 2e-5, age)
    # Docked: one element set under several numbers.
    iss = (51.64, float(rng.uniform(0.0, 360.0)), 5e-4, 80.0, float(rng.uniform(0.0, 360.0)), circular(415.0), 3e-4)
    age = float(rng.uniform(0.0, 2.0))
    for module in ("ISS (ZARYA)", "ISS (UNITY)", "ISS (ZVEZDA)", "ISS (DESTINY)"):
        add(module, *iss, age=age)
    # Geostationary belt and co-located pairs (a 0.027 degree inclination
    # offset: 20 km of cross-track swing, 1.5 m/s as they pass at the nodes,
    # 1-3 km apart along the track).
    geo = _mean_motion(35786.0, 35786.0)[0]
    for _ in range(count(420)):
        add(
            f"GEO-{number + 1}",
            float(rng.uniform(0.0, 6.0)) * float(rng.random() < 0.3),
            float(rng.uniform(0.0, 360.0)),
            float(rng.uniform(1e-5, 5e-4)),
            float(rng.uniform(0.0, 360.0)),
            float(rng.uniform(0.0, 360.0)),
            geo * (1.0 + float(rng.normal(0, 1e-4))),
            0.0,
        )
    for k in range(count(6)):
        raan, argp, ma = (float(x) for x in rng.uniform(0.0, 360.0, 3))
        inc = float(rng.uniform(0.02, 0.08))
        age = float(rng.uniform(0.0, 5.0))
        apart = float(rng.uniform(1.0, 3.0)) / 42164.0 * 180.0 / math.pi
        add(f"GEOPAIR-{k}A", inc, raan, 2e-4, argp, ma, geo, 0.0, age)
        add(f"GEOPAIR-{k}B", inc + 0.027, raan, 2e-4, argp, ma + apart, geo, 0.0, age)
    # Decaying objects: each one's drag term is set so that the model stops following it at a
    # drawn time of the week from ``epoch``, spread over the week.
    for _ in range(count(40)):
        perigee = float(rng.uniform(150.0, 200.0))
        mm, ecc = _mean_motion(perigee, perigee + float(rng.uniform(5.0, 60.0)))
        inc, raan, argp, ma = (float(x) for x in rng.uniform([40.0, 0.0, 0.0, 0.0], [98.0, 360.0, 360.0, 360.0]))
        age = float(rng.uniform(0.0, 1.0))
        fails = age + float(rng.uniform(_DECAY_AFTER[0], _DECAY_AFTER[1]))  # days from the element set's epoch
        raan_at, argp_at, ma_at = _back_to_epoch(inc, raan, ecc, argp, ma, mm, age)
        elements = (inc, raan_at, ecc, argp_at, ma_at, mm)
        bstar = _drag_to_fail_after(number + 1, end - age * 86400.0, elements, fails)
        add(f"DECAY-{number + 1}", inc, raan, ecc, argp, ma, mm, bstar, age)
    # Deep space.
    deep = (
        ("MOLNIYA", 40, (600.0, 39700.0), 63.4, 270.0),
        ("GTO", 60, (250.0, 35786.0), 27.0, None),
        ("GPS", 31, (20180.0, 20190.0), 55.0, None),
        ("GLONASS", 24, (19130.0, 19140.0), 64.8, None),
        ("IGSO", 12, (35700.0, 35880.0), 55.0, None),
    )
    for label, many, (perigee, apogee), inc, perigee_arg in deep:
        mm, ecc = _mean_motion(perigee, apogee)
        for _ in range(count(many)):
            add(
                f"{label}-{number + 1}",
                inc + float(rng.normal(0.0, 0.5)),
                float(rng.uniform(0.0, 360.0)),
                ecc,
                float(rng.uniform(0.0, 360.0)) if perigee_arg is None else perigee_arg + float(rng.normal(0.0, 2.0)),
                float(rng.uniform(0.0, 360.0)),
                mm,
                float(rng.uniform(0.0, 1e-4)) if label == "GTO" else 0.0,
            )
    # The rest of low orbit.
    total = round(15000 * scale)
    while number < total:
        kind = rng.random()
        if kind < 0.45:
            inc = float(rng.uniform(96.5, 99.5))
        elif kind < 0.6:
            inc = float(rng.normal(86.4, 0.3))
        else:
            inc = float(rng.uniform(0.0, 110.0))
        perigee = float(rng.uniform(350.0, 1400.0))
        apogee = (
            perigee + float(rng.exponential(30.0)) + (float(rng.uniform(0.0, 1500.0)) if rng.random() < 0.1 else 0.0)
        )
        mm, ecc = _mean_motion(perigee, apogee)
        argp, raan, ma = (float(x) for x in rng.uniform(0.0, 360.0, 3))
        add(f"OBJ-{number + 1}", inc, raan, ecc, argp, ma, mm, float(rng.uniform(0.0, 2e-4)))
    return "".join(out)
