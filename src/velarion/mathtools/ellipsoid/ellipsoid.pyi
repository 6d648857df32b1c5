"""Reference ellipsoids (WGS84, GRS80, WGS72) and geodetic <-> Cartesian conversions."""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Self

__capi__: dict[str, Any]

class Ellipsoid:
    """Reference ellipsoid of revolution: a [m], f, derived b [m] and e2."""

    def __new__(cls, a: float, f: float, name: str = "") -> Self: ...
    @property
    def a(self) -> float: ...
    @property
    def f(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def e2(self) -> float: ...
    @property
    def name(self) -> str: ...
    def geodetic_to_cartesian(self, lat: ArrayLike, lon: ArrayLike, alt: ArrayLike) -> NDArray[np.float64]:
        """Earth-fixed positions [m], shape broadcast(lat, lon, alt) + (3,)."""
    def cartesian_to_geodetic(self, r: ArrayLike) -> tuple[Any, Any, Any]:
        """(lat, lon, alt) of positions of shape (..., 3): float64 arrays of shape (...)
        (NumPy scalars for a single position)."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

WGS84: Ellipsoid
GRS80: Ellipsoid
WGS72: Ellipsoid
