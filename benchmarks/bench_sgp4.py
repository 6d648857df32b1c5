"""SGP4 states per second: the public ``SGP4`` propagator (one element set,
1,440 epochs of a day, and a geostationary orbit's resonance over ten years)
and the compiled ``Records`` catalogue (many element sets at common epochs),
side by side with the sgp4 package (``Satrec.sgp4_array`` on Julian Dates it
is handed, ``SatrecArray``) and brahe's ``SGPPropagator`` (a list of its
``Epoch`` objects, TEME states)."""

from __future__ import annotations

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.propagators.analytical.sgp4 import ELSET, SGP4, TLE, Records
from velarion.propagators.analytical.sgp4.records import sgp4_jd
from velarion.time.time import Time

ISS = (
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)
GEO = (
    "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
    "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
)


def _one(lines: tuple[str, str], start: str, seconds: np.ndarray, name: str) -> Case:
    tle = TLE(*lines)
    prop = SGP4(tle)
    time = Time(start) + seconds
    peers = {}
    try:
        from sgp4.api import Satrec

        sat = Satrec.twoline2rv(*lines)
        jd1, jd2 = sgp4_jd(time)
        peers["sgp4 (Satrec.sgp4_array)"] = lambda: sat.sgp4_array(jd1, jd2)
    except ImportError:
        pass
    try:
        import brahe

        brahe.initialize_eop()
        bp = brahe.SGPPropagator.from_tle(*lines, 60.0)
        t0 = brahe.Epoch.from_string(start.replace("T", " ") + " UTC")
        epochs = [t0 + float(s) for s in seconds]
        peers["brahe (SGPPropagator.states)"] = lambda: bp.states(epochs)
    except ImportError:
        pass
    return Case(
        name,
        seconds.size,
        lambda: prop.propagate(time),
        peers,
        goal="> brahe",
        min_ratio={"brahe (SGPPropagator.states)": 1.0},
    )


def _catalogue(n: int, m: int) -> Case:
    rng = np.random.default_rng(7)
    base = TLE(*ISS)
    elsets = [
        ELSET(
            base.epoch,
            rng.uniform(0.5, 1.7),
            rng.uniform(0, 6.28),
            rng.uniform(0, 0.02),
            1.0,
            2.0,
            base.mnm * rng.uniform(0.95, 1.05),
            bstar=1e-5,
        )
        for _ in range(n)
    ]
    records = Records(elsets)
    jd1, jd2 = sgp4_jd(Time("2019-12-10") + np.linspace(0.0, 86400.0, m))
    ids = np.arange(n)
    peers = {}
    try:
        from sgp4.api import WGS72, Satrec, SatrecArray

        sats = []
        for row in records.elements:
            sat = Satrec()
            sat.sgp4init(WGS72, "i", 0, *row[2:])
            sat.jdsatepoch, sat.jdsatepochF = row[0], row[1]
            sats.append(sat)
        array = SatrecArray(sats)
        peers["sgp4 (SatrecArray.sgp4)"] = lambda: array.sgp4(jd1, jd2)
    except ImportError:
        pass
    return Case(
        f"Records.states, {n} sets x {m} epochs, 1 thread",
        n * m,
        lambda: records.states(ids, jd1, jd2, 1),
        peers,
    )


def cases() -> list[Case]:
    return [
        _one(ISS, "2019-12-10T00:00:00", np.arange(1440) * 60.0, "SGP4.propagate, ISS, 1440 epochs (a day)"),
        _one(
            GEO,
            "2006-06-26T00:00:00",
            np.linspace(0.0, 3652.5 * 86400.0, 1440),
            "SGP4.propagate, GEO resonance, 1440 epochs over 10 years",
        ),
        _catalogue(1000, 144),
    ]
