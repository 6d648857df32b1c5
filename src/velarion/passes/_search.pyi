"""The pass search over interpolated trajectories (private to velarion.passes)."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def find_events(
    table: Any,
    satellites: Any,
    stations: Any,
    tracks: Any,
    duration: float,
    step: float,
    min_elevation: float,
    coarse: float,
    margin: float,
    threads: int,
) -> NDArray[np.float64]: ...
def hermite_table(nodes: Any, satellites: Any) -> NDArray[np.float64]: ...
