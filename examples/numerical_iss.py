"""An ISS-like orbit for 7 days under the full force model, against SGP4.

The initial state is the TLE's SGP4 state at its epoch, carried from TEME
to GCRF; the numerical propagation then uses 70 x 70 EGM2008 gravity, the
Sun and the Moon (DE421), Harris-Priester drag, radiation pressure with the
conical shadow, relativity and the solid tides. Prints the difference to
SGP4 once a day (radial, along-track, cross-track).
"""

from __future__ import annotations

import numpy as np

from velarion.frames import standard_to_itrf
from velarion.frames.frames import get_ITRF, get_TEME
from velarion.propagators.analytical.sgp4 import SGP4, TLE
from velarion.propagators.numerical import ForceModel, Numerical
from velarion.state.state import StateVector

tle = TLE(
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
    name="ISS (ZARYA)",
)
times = tle.epoch + np.arange(0.0, 7 * 86400.0 + 1.0, 86400.0)
teme = SGP4(tle).propagate(times)
r_itrf, v_itrf = standard_to_itrf(get_TEME(), times, teme.r, teme.v)
r, v = (np.asarray(x) for x in get_ITRF().to_GCRF(times, r_itrf, v_itrf))
start = StateVector(times[0], r[0], v[0])

# ISS-like ballistics: ~420 t, ~1,000 m^2 facing the flow on average.
full = ForceModel(
    degree=70, third_body=("sun", "moon"), drag="harris-priester", srp=True, relativity=True, tides=True,
    cd=2.2, cr=1.3, area=1000.0, mass=420000.0,
)  # fmt: skip
eph = Numerical(full, tolerance=1e-3).propagate_state(times, start)

print("| day | radial [m] | along-track [m] | cross-track [m] |")
print("|---|---|---|---|")
for k in range(len(times)):
    d = eph.r[k] - r[k]
    radial = r[k] / np.linalg.norm(r[k])
    cross = np.cross(r[k], v[k])
    cross /= np.linalg.norm(cross)
    along = np.cross(cross, radial)
    print(f"| {k} | {d @ radial:.0f} | {d @ along:.0f} | {d @ cross:.0f} |")
