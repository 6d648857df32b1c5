"""The satellites of the pass search, in three modules by what they do:
``sources`` (what the search accepts and what each satellite becomes),
``states`` (their exact ITRF states) and ``trajectories`` (the
interpolated trajectories the search runs on). The failure record is
``velarion.propagators.failures.Failure``. This module keeps the names the
search's modules import.
"""

from velarion.propagators.failures import Failure

from .sources import (
    MODEL_REACH as _MODEL_REACH,
)
from .sources import (
    SearchedSatellite,
    Source,
    angular_rate,
    model_reach,
    one_satellite,
    propagator_source,
    satellites_of,
    sgp4_source,
)
from .states import THREADS, exact_itrf, group_itrf
from .trajectories import (
    INTERPOLATION_TOLERANCE,
    Trajectories,
)
from .trajectories import (
    NODE_ANGLE as _NODE_ANGLE,
)
from .trajectories import (
    NODE_MAX as _NODE_MAX,
)
from .trajectories import (
    NODE_MIN as _NODE_MIN,
)
from .trajectories import (
    OMEGA_EARTH as _OMEGA_EARTH,
)

__all__ = [
    "INTERPOLATION_TOLERANCE",
    "THREADS",
    "_MODEL_REACH",
    "_NODE_ANGLE",
    "_NODE_MAX",
    "_NODE_MIN",
    "_OMEGA_EARTH",
    "Failure",
    "SearchedSatellite",
    "Source",
    "Trajectories",
    "angular_rate",
    "exact_itrf",
    "group_itrf",
    "model_reach",
    "one_satellite",
    "propagator_source",
    "satellites_of",
    "sgp4_source",
]
