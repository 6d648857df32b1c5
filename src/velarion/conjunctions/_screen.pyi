"""Candidate search of velarion.conjunctions.screen."""

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

def candidates(
    r: _F64,
    v: _F64,
    step: float,
    substeps: int,
    bound: _F64,
    r_min: _F64,
    r_max: _F64,
    threshold: float,
    primary: bytes | None,
    threads: int,
    until: _I64 | None = None,
    primary_grid: bool = False,
    limit: int | None = None,
) -> tuple[_I64, _I64, _I64] | None: ...
def refine(
    records: object,
    jd: float,
    fr: float,
    i: _I64,
    j: _I64,
    ta: _F64,
    tb: _F64,
    threshold: float,
    threads: int,
    slack: _F64 | None = None,
) -> tuple[NDArray[np.uint8], _F64, _F64, _F64]: ...
def snap_bounds(a: _F64, e: _F64, mu: float) -> _F64: ...
