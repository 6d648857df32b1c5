"""Collision probability kernels of velarion.conjunctions.pc."""

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]
_U8 = NDArray[np.uint8]
_I64 = NDArray[np.int64]

def foster(r: _F64, v: _F64, cov: _F64, hbr: _F64, option: int, threads: int) -> tuple[_U8, _F64]: ...
def chan(r: _F64, v: _F64, cov: _F64, hbr: _F64, option: int, threads: int) -> tuple[_U8, _F64]: ...
def alfano(r: _F64, v: _F64, cov: _F64, hbr: _F64, option: int, threads: int) -> tuple[_U8, _F64, _F64]: ...
def hall(
    r1: _F64, v1: _F64, cov1: _F64, r2: _F64, v2: _F64, cov2: _F64, hbr: _F64, mu: float, threads: int
) -> tuple[_U8, _F64]: ...
def monte_carlo(
    r1: _F64,
    v1: _F64,
    cov1: _F64,
    r2: _F64,
    v2: _F64,
    cov2: _F64,
    hbr: _F64,
    mu: float,
    samples: int,
    seed: int,
    threads: int,
) -> tuple[_U8, _I64]: ...
