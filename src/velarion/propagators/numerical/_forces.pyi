"""Force terms of the numerical propagator, evaluated over many contexts."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

CONTEXT_COLUMNS: int

_F64 = NDArray[np.float64]

def ephemeris_geocentric(packed: ArrayLike, series: int, tdb: ArrayLike) -> _F64: ...
def accelerations(
    term: str,
    contexts: ArrayLike,
    params: ArrayLike,
    ephemeris: ArrayLike | None = None,
    weather: ArrayLike | None = None,
) -> tuple[_F64, _F64, _F64]: ...
def sunlight_fraction(contexts: ArrayLike, params: ArrayLike) -> _F64: ...
def density(contexts: ArrayLike, params: ArrayLike, weather: ArrayLike | None = None) -> _F64: ...
def nrlmsise00(inputs: ArrayLike) -> _F64: ...
def solid_tide(contexts: ArrayLike, gmst: ArrayLike, params: ArrayLike) -> tuple[_F64, _F64]: ...
