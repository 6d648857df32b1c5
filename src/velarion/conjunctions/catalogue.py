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

from velarion.time.time import Time

__all__ = ["format_tle", "realistic_catalogue", "sample_catalogue"]

_MU_KM = 398600.8  # km^3/s^2 (WGS72)
_EARTH_RADIUS_KM = 6378.135


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


# Constellation shells of the realistic catalogue: (altitude [km], inclination [deg], planes, per plane, label).
_SHELLS = (
    (550.0, 53.0, 72, 22, "STARLINK"),
    (540.0, 53.2, 72, 22, "STARLINK"),
    (570.0, 70.0, 36, 20, "STARLINK"),
    (560.0, 97.6, 10, 43, "STARLINK"),
    (530.0, 43.0, 28, 68, "STARLINK"),
    (525.0, 53.0, 28, 60, "STARLINK"),
    (535.0, 33.0, 28, 80, "STARLINK"),
    (1200.0, 87.9, 18, 36, "ONEWEB"),
)


def realistic_catalogue(epoch: Any = "2024-01-08T00:00:00", *, seed: int = 0, scale: float = 1.0) -> str:
    """Three-line element sets shaped like the public catalogue of active
    satellites: about ``15,000 * scale`` objects whose epochs spread over
    the five days before ``epoch`` (UTC), with

    - constellation shells (``STARLINK-<k>``, ``ONEWEB-<k>``, about 2/3 of
      the catalogue): planes of tens of satellites in near-identical
      circular orbits, evenly phased, and launch trains (``TRAIN-<k>``) of
      dozens of satellites in one plane a few tens of kilometres apart,
      still raising their orbits;
    - formation pairs (``FORM-<k>A``/``B``): one orbit, 1-4 km apart along
      the track;
    - docked objects (``ISS (ZARYA)``, ``ISS (UNITY)``, ...): one element
      set under four catalogue numbers;
    - geostationary satellites (``GEO-<k>``) with co-located pairs
      (``GEOPAIR-<k>A``/``B``: one slot, an inclination offset, about
      1.5 m/s apart as they pass);
    - decaying objects (``DECAY-<k>``): perigee near 150 km and a large
      drag term, which the model stops following within days;
    - deep-space orbits (``MOLNIYA-<k>``, ``GTO-<k>``, ``GPS-<k>``,
      ``GLONASS-<k>``, ``IGSO-<k>``) and the rest of low orbit
      (``OBJ-<k>``: sun-synchronous and other shells, spread altitudes).

    Catalogue numbers run from 1 in that order; a fixed ``seed`` gives the
    same text."""
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
        # Spread epochs; the mean anomaly moves on with the epoch so that the
        # constellation keeps its phasing at the common date.
        ma_at = ma - 360.0 * mm * days
        out.append(format_tle(number, end - days * 86400.0, inc, raan, ecc, argp, ma_at, mm, bstar, name))

    def circular(alt: float) -> float:
        return _mean_motion(alt, alt)[0]

    for alt, inc, planes, per_plane, label in _SHELLS:
        planes = count(planes)
        mm = circular(alt)
        for p in range(planes):
            raan = 360.0 * p / planes
            for k in range(per_plane):
                ma = 360.0 * k / per_plane + 360.0 / per_plane * (p % 4) / 4.0 + float(rng.normal(0.0, 0.01))
                add(
                    f"{label}-{number + 1}",
                    inc + float(rng.normal(0.0, 0.002)),
                    raan + float(rng.normal(0.0, 0.002)),
                    float(rng.uniform(1e-4, 2e-4)),
                    float(rng.uniform(0.0, 360.0)),
                    ma,
                    mm * (1.0 + float(rng.normal(0.0, 2e-6))),
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
    # Decaying objects.
    for _ in range(count(40)):
        perigee = float(rng.uniform(130.0, 170.0))
        mm, ecc = _mean_motion(perigee, perigee + float(rng.uniform(5.0, 60.0)))
        raan, argp, ma = (float(x) for x in rng.uniform(0.0, 360.0, 3))
        add(
            f"DECAY-{number + 1}",
            float(rng.uniform(40.0, 98.0)),
            raan,
            ecc,
            argp,
            ma,
            mm,
            float(rng.uniform(2e-3, 2e-2)),
            float(rng.uniform(0.0, 1.0)),
        )
    # Deep space.
    deep = (
        ("MOLNIYA", 40, (600.0, 39700.0), 63.4, 270.0),
        ("GTO", 60, (250.0, 35786.0), 27.0, None),
        ("GPS", 31, (20180.0, 20190.0), 55.0, None),
        ("GLONASS", 24, (19130.0, 19140.0), 64.8, None),
        ("IGSO", 12, (35700.0, 35880.0), 55.0, None),
    )
    for label, many, (perigee, apogee), inc, argp in deep:
        mm, ecc = _mean_motion(perigee, apogee)
        for _ in range(count(many)):
            add(
                f"{label}-{number + 1}",
                inc + float(rng.normal(0.0, 0.5)),
                float(rng.uniform(0.0, 360.0)),
                ecc,
                float(rng.uniform(0.0, 360.0)) if argp is None else argp + float(rng.normal(0.0, 2.0)),
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
