"""SGP4 records of many element sets and their states, compiled."""

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

def sgp4_records(elements: _F64, gravity: int | bytes) -> tuple[object, _I64]: ...
def sgp4_states(
    records: object, ids: _I64, jd: _F64, fr: _F64, threads: int
) -> tuple[NDArray[np.uint8], _F64, _F64]: ...
def sgp4_points(
    records: object, ids: _I64, jd: _F64, fr: _F64, threads: int
) -> tuple[NDArray[np.uint8], _F64, _F64]: ...
