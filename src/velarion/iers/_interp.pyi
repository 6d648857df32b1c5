"""Evaluation loop of velarion.iers.EOP."""

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]

# The status codes of evaluate().
OK: int
HELD: int
NON_FINITE: int
OUT_OF_RANGE: int

def evaluate(
    t: float | _F64, packed: _F64, mjd: _F64, uniform: bool, hold: bool
) -> tuple[int, int, _F64, _F64, _F64, _F64, _F64, _F64, _F64]: ...
