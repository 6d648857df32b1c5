"""The numerical propagator's data and force models against the packages
that compute the same things: Sun and Moon from DE421 against jplephem,
NRLMSISE-00 against the nrlmsise00 package (the same C code, called per
point from Python) and pymsis (NRL's Fortran, vectorised)."""

from __future__ import annotations

import numpy as np
from common import Case


def cases() -> list[Case]:
    from jplephem.spk import SPK

    from velarion.propagators.numerical import _forces
    from velarion.propagators.numerical.ephemeris import PlanetaryEphemeris, default_kernel_path

    day = 86400.0
    t0 = 24.0 * 365.25 * day
    rng = np.random.default_rng(2024)
    n = 100_000
    tdb = np.sort(rng.uniform(t0, t0 + 30.0 * day, n))
    eph = PlanetaryEphemeris(t0, t0 + 30.0 * day)
    kernel = SPK.open(default_kernel_path())
    sun, emb, earth, moon = kernel[0, 10], kernel[0, 3], kernel[3, 399], kernel[3, 301]
    jd2 = tdb / day

    def jplephem_sun() -> object:
        return sun.compute(2451545.0, jd2) - emb.compute(2451545.0, jd2) - earth.compute(2451545.0, jd2)

    def jplephem_moon() -> object:
        return moon.compute(2451545.0, jd2) - earth.compute(2451545.0, jd2)

    out = [
        Case(
            name="geocentric Sun, 1e5 epochs (DE421)",
            items=n,
            velarion=lambda: eph.geocentric("sun", tdb),
            peers={"jplephem": jplephem_sun},
        ),
        Case(
            name="geocentric Moon, 1e5 epochs (DE421)",
            items=n,
            velarion=lambda: eph.geocentric("moon", tdb),
            peers={"jplephem": jplephem_moon},
        ),
    ]

    m = 2_000
    doy = rng.integers(1, 366, m).astype(float)
    sec, alt = rng.uniform(0, 86400, m), rng.uniform(150, 900, m)
    lat, lon = rng.uniform(-89, 89, m), rng.uniform(-180, 180, m)
    f107, f107a, ap = rng.uniform(65, 250, m), rng.uniform(65, 250, m), rng.uniform(0, 100, m)
    rows = np.column_stack(
        [doy, sec, alt, lat, lon, sec / 3600 + lon / 15, f107a, f107, ap, *([ap] * 7), np.zeros(m), np.ones(m)]
    )
    peers = {}
    try:
        from nrlmsise00._nrlmsise00 import gtd7d

        flags = [0] + [1] * 23

        def c_release() -> object:
            return [
                gtd7d(2000, int(r[0]), r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], flags=flags)[0][5] for r in rows
            ]

        peers["nrlmsise00 (C, per call)"] = c_release
    except ImportError:
        pass
    try:
        import pymsis

        dates = np.datetime64("2003-01-01") + (doy - 1).astype("timedelta64[D]") + sec.astype("timedelta64[s]")
        aps = np.repeat(ap[:, None], 7, axis=1)

        def fortran() -> object:
            return pymsis.calculate(dates, lon, lat, alt, f107, f107a, aps, version=0)

        peers["pymsis (Fortran)"] = fortran
    except ImportError:
        pass
    out.append(
        Case(
            name="NRLMSISE-00 total density, 2000 points",
            items=m,
            velarion=lambda: _forces.nrlmsise00(rows),
            peers=peers,
        )
    )
    return out
