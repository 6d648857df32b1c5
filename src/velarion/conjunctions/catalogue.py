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
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from velarion.time.time import Time

__all__ = ["format_tle", "sample_catalogue"]

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
