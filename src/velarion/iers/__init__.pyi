"""Earth orientation parameters from the IERS ``finals2000A`` series."""

import contextlib
import os

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "EOP",
    "EOPRangeError",
    "EOPTable",
    "get_out_of_range",
    "load",
    "load_zero",
    "set_out_of_range",
    "table",
    "use_zero_table",
]

_F64 = NDArray[np.float64]

class EOPRangeError(ValueError):
    """A date outside the Earth orientation table in use."""

    mjd: float
    first_mjd: float
    last_mjd: float
    path: str | None
    def __init__(self, mjd: float, first_mjd: float, last_mjd: float, path: str | None) -> None: ...

class EOPTable:
    """A daily Earth orientation table (values in rad and s)."""

    path: str | None
    is_zero: bool
    first_mjd: float
    last_mjd: float
    mjd: _F64
    pm_x: _F64
    pm_y: _F64
    dX: _F64
    dY: _F64
    lod: _F64
    ut1_utc: _F64
    tai_utc: _F64
    def __init__(
        self,
        path: str | None,
        columns: dict[str, _F64] | None,
        leap: tuple[_F64, _F64],
    ) -> None: ...
    def __len__(self) -> int: ...

class EOP:
    """Earth orientation parameters at UTC Modified Julian Dates."""

    mjd: _F64
    pm_x: _F64
    pm_y: _F64
    dX: _F64
    dY: _F64
    lod: _F64
    ut1_utc: _F64
    def __init__(self, mjd: ArrayLike) -> None: ...

def table() -> EOPTable: ...
def load(path: str | os.PathLike[str] | EOPTable | None = None) -> EOPTable: ...
def load_zero() -> EOPTable: ...
def use_zero_table() -> contextlib.AbstractContextManager[EOPTable]: ...
def set_out_of_range(mode: str) -> str: ...
def get_out_of_range() -> str: ...
