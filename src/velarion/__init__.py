"""velarion: reference-frame conversions and orbit propagation for many epochs at once.

The package's modules are its structure (``velarion.time.time``,
``velarion.frames.frames``, ``velarion.passes``, ...); the common names are
also here, loaded on first use, so that ``import velarion`` stays cheap::

    >>> from velarion import Time, Station, find_passes, load_tles
"""

from __future__ import annotations

from importlib import import_module

TYPE_CHECKING = False  # typing stays unimported

__version__ = "0.1.0"

# name -> the module that defines it
_LAZY = {
    "Time": "velarion.time.time",
    "Frame": "velarion.frames.frames",
    "ENU": "velarion.frames.frames",
    "get_GCRF": "velarion.frames.frames",
    "get_ITRF": "velarion.frames.frames",
    "get_TEME": "velarion.frames.frames",
    "register_standard_transforms": "velarion.frames",
    "StateVector": "velarion.state.state",
    "COE": "velarion.state.state",
    "ELSET": "velarion.propagators.analytical.sgp4",
    "TLE": "velarion.propagators.analytical.sgp4",
    "SGP4": "velarion.propagators.analytical.sgp4",
    "load_tles": "velarion.propagators.analytical.sgp4",
    "load_omm": "velarion.propagators.analytical.sgp4",
    "Keplerian": "velarion.propagators.analytical.keplerian.keplerian",
    "Station": "velarion.passes",
    "Pass": "velarion.passes",
    "find_passes": "velarion.passes",
    "look_angles": "velarion.passes",
}

__all__ = [
    "COE",
    "ELSET",
    "ENU",
    "SGP4",
    "TLE",
    "Frame",
    "Keplerian",
    "Pass",
    "StateVector",
    "Station",
    "Time",
    "__version__",
    "find_passes",
    "get_GCRF",
    "get_ITRF",
    "get_TEME",
    "load_omm",
    "load_tles",
    "look_angles",
    "register_standard_transforms",
]

if TYPE_CHECKING:
    from typing import Any

    from velarion.frames import register_standard_transforms
    from velarion.frames.frames import ENU, Frame, get_GCRF, get_ITRF, get_TEME
    from velarion.passes import Pass, Station, find_passes, look_angles
    from velarion.propagators.analytical.keplerian.keplerian import Keplerian
    from velarion.propagators.analytical.sgp4 import ELSET, SGP4, TLE, load_omm, load_tles
    from velarion.state.state import COE, StateVector
    from velarion.time.time import Time


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'velarion' has no attribute {name!r}")
    value = getattr(import_module(module), name)
    globals()[name] = value  # found here from now on
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
