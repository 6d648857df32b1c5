"""Earth orientation parameters: velarion.iers.EOP against astropy's IERS_A
interpolation on the same finals2000A file."""

from __future__ import annotations

import numpy as np
from common import Case


def cases() -> list[Case]:
    import astropy_iers_data
    from astropy.utils import iers as aiers

    import velarion.iers as viers

    viers.load()
    table = aiers.IERS_A.open(astropy_iers_data.IERS_A_FILE)
    tab = viers.table()
    rng = np.random.default_rng(2024)
    n = 1_000_000
    mjd = np.sort(rng.uniform(tab.first_mjd, tab.last_mjd, n))
    jd1, jd2 = mjd + 2400000.5, np.zeros(n)
    one = np.array([60000.25])
    one1, one2 = one + 2400000.5, np.zeros(1)

    def astropy_pm_ut1(j1, j2):
        return lambda: (table.pm_xy(j1, j2), table.ut1_utc(j1, j2))

    def astropy_all(j1, j2):
        return lambda: (table.pm_xy(j1, j2), table.ut1_utc(j1, j2), table.dcip_xy(j1, j2))

    return [
        Case(
            name="EOP at 1e6 dates (all fields) vs pm_xy + ut1_utc",
            items=n,
            velarion=lambda: viers.EOP(mjd),
            peers={"astropy": astropy_pm_ut1(jd1, jd2)},
            goal=">= 10x astropy",
            min_ratio={"astropy": 10.0},
        ),
        Case(
            name="EOP at 1e6 dates vs pm_xy + ut1_utc + dcip_xy",
            items=n,
            velarion=lambda: viers.EOP(mjd),
            peers={"astropy": astropy_all(jd1, jd2)},
            goal=">= 10x astropy",
            min_ratio={"astropy": 10.0},
        ),
        Case(
            name="EOP at 1 date (array of 1)",
            items=1,
            velarion=lambda: viers.EOP(one),
            peers={"astropy": astropy_pm_ut1(one1, one2)},
            goal="a few microseconds",
        ),
        Case(
            name="EOP at 1 date (float)",
            items=1,
            velarion=lambda: viers.EOP(60000.25),
        ),
    ]
