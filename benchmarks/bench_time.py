"""Time: text parsing and scale views, side by side with astropy and ERFA.

Cases:
- Time from 1e5 ISO texts (a list of str and an array of str) vs astropy.time.Time.
- The TT view of 1e6 UTC epochs vs astropy (its cached view cleared each call)
  and vs the bare ERFA calls (pyerfa's vectorised utctai + taitt: a C loop
  over the same ERFA routines), the per-epoch cost of the conversion.
- The UT1 view of 1e6 UTC epochs vs astropy (on the same IERS data, with
  automatic downloads off).
- `t1 - t2` of 1e6 epochs vs astropy.
"""

from __future__ import annotations

import numpy as np
from common import Case

N_TEXT = 100_000
N_EPOCH = 1_000_000


def _epochs(n: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return rng.uniform(58000.0, 61000.0, n)  # 2017-09 to 2025-12: inside the IERS table


def cases() -> list[Case]:
    import erfa
    from astropy.time import Time as ATime
    from astropy.utils import iers as a_iers

    from velarion.time.time import Time

    a_iers.conf.auto_download = False
    a_iers.conf.auto_max_age = None

    out: list[Case] = []

    # --- parsing
    mjd_t = _epochs(N_TEXT)
    texts = list(Time.from_mjd(mjd_t).iso)  # nanosecond texts, 'YYYY-MM-DDThh:mm:ss.fffffffff'
    texts = [str(s) for s in texts]
    text_arr = np.array(texts)
    out.append(
        Case(
            name=f"Time(list of {N_TEXT:.0e} ISO str)",
            items=N_TEXT,
            velarion=lambda: Time(texts),
            peers={"astropy": lambda: ATime(texts, format="isot", scale="utc")},
            goal=">= 10x astropy",
            min_ratio={"astropy": 10.0},
        )
    )
    out.append(
        Case(
            name=f"Time(array of {N_TEXT:.0e} ISO str)",
            items=N_TEXT,
            velarion=lambda: Time(text_arr),
            peers={"astropy": lambda: ATime(text_arr, format="isot", scale="utc")},
            goal=">= 10x astropy",
            min_ratio={"astropy": 10.0},
        )
    )

    # --- scale views
    mjd = _epochs(N_EPOCH)
    jd1 = np.floor(mjd) + 2400000.5
    jd2 = mjd - np.floor(mjd)
    t = Time.from_jd(jd1, jd2, scale="utc")
    at = ATime(jd1, jd2, format="jd", scale="utc")

    def astropy_tt():
        del at.cache  # astropy keeps scale views; time the conversion itself
        return at.tt.jd1

    def astropy_ut1():
        del at.cache
        return at.ut1.jd1

    out.append(
        Case(
            name=f"UTC -> TT view, N={N_EPOCH:.0e}",
            items=N_EPOCH,
            velarion=lambda: t.tt.jd12,
            peers={
                "astropy": astropy_tt,
                "bare ERFA (utctai+taitt)": lambda: erfa.taitt(*erfa.utctai(jd1, jd2)),
            },
            goal=">= 10x astropy; per epoch within 2x of bare ERFA",
            min_ratio={"astropy": 10.0, "bare ERFA (utctai+taitt)": 0.5},
        )
    )

    tt = t.tt
    att = at.tt

    def astropy_tt_to_utc():
        del att.cache
        return att.utc.jd1

    out.append(
        Case(
            name=f"TT -> UTC view, N={N_EPOCH:.0e}",
            items=N_EPOCH,
            velarion=lambda: tt.utc.mjd,
            peers={
                "astropy": astropy_tt_to_utc,
                "bare ERFA (tttai+taiutc)": lambda: erfa.taiutc(*erfa.tttai(tt.jd1, tt.jd2)),
            },
            goal=">= 10x astropy; within 2x of bare ERFA",
            min_ratio={"astropy": 10.0, "bare ERFA (tttai+taiutc)": 0.5},
        )
    )

    try:
        import velarion.iers  # noqa: F401

        _ = t.ut1  # loads the table once
        have_iers = True
    except Exception:  # pragma: no cover - the IERS service is missing
        have_iers = False
    if have_iers:
        out.append(
            Case(
                name=f"UTC -> UT1 view, N={N_EPOCH:.0e}",
                items=N_EPOCH,
                velarion=lambda: t.ut1.jd12,
                peers={"astropy": astropy_ut1},
                goal=">= 10x astropy",
                min_ratio={"astropy": 10.0},
            )
        )

    # --- differences
    t0 = t[0]
    at0 = at[0]
    out.append(
        Case(
            name=f"t1 - t2 (UTC, broadcast), N={N_EPOCH:.0e}",
            items=N_EPOCH,
            velarion=lambda: t - t0,
            peers={"astropy": lambda: (at - at0).sec},
            goal=">= 10x astropy",
            min_ratio={"astropy": 10.0},
        )
    )

    # --- the single-epoch hot paths other modules take
    one = Time("2024-03-20T12:00:00")
    aone = ATime("2024-03-20T12:00:00", scale="utc")

    def astropy_one():
        del aone.cache
        return aone.tt.jd1

    out.append(
        Case(
            name="time.tt.jd12.reshape(-1, 2), N=1",
            items=1,
            velarion=lambda: one.tt.jd12.reshape(-1, 2),
            peers={"astropy": astropy_one},
            goal="a few microseconds",
        )
    )
    return out
