"""Reference frames: the frame registry and transform graph, the standard frames
GCRF, ITRF and TEME with their conversions, topocentric ENU frames, PIC and RPC."""

from collections import deque as deque
from collections.abc import Callable
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self

from velarion.iers import EOP as EOP
from velarion.mathtools.ellipsoid.ellipsoid import Ellipsoid
from velarion.time.time import Time
from velarion.typing import DatetimeLike as DatetimeLike

__capi__: dict[str, Any]

# Rows of x, y, z: a two-dimensional float64 buffer (an array, or a view
# returned by transform_to).
_Rows = NDArray[Any] | memoryview
# A conversion callable: (time, positions, velocities) -> (positions, velocities).
_Conversion = Callable[[Any, Any, Any], Any]

class Frame:
    """Base class of the reference frames: registry, transform graph, conversions."""

    _instances: ClassVar[dict[str, Frame]]
    _transforms: Any
    def __new__(cls, *args: Any, **kwargs: Any) -> Self: ...
    @property
    def name(self) -> str:
        """The registered name of this frame, or 'Unnamed' if not registered."""
    def __class_getitem__(cls, item: str) -> Frame: ...
    @classmethod
    def is_frame(cls, item: str) -> bool: ...
    @classmethod
    def get_route(cls, source: Frame | str, target: Frame | str) -> list[Frame]: ...
    def transforms(self) -> dict[Frame, _Conversion]: ...
    def register_transform(self, target_frame: Frame, transform: _Conversion) -> None: ...
    def remove_transform(self, target_frame: Frame) -> None: ...
    def transform_to(self, frame: Frame | str, time: DatetimeLike, r: _Rows, v: _Rows) -> tuple[memoryview, memoryview]:
        """(positions, velocities) in the target frame, as 2-D float64 memoryviews
        (numpy.asarray turns them into arrays without a copy)."""
    def __hash__(self) -> int: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...

class _GCRF(Frame):
    """Geocentric Celestial Reference Frame (GCRF)."""

    def to_ITRF(
        self, time: DatetimeLike, r_GCRF: _Rows, v_GCRF: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

class _ITRF(Frame):
    """International Terrestrial Reference Frame (ITRF)."""

    def to_GCRF(
        self, time: DatetimeLike, r_ITRF: _Rows, v_ITRF: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
    def to_TEME(
        self, time: DatetimeLike, r_ITRF: _Rows, v_ITRF: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

class _TEME(Frame):
    """True Equator Mean Equinox Frame (TEME)."""

    def to_ITRF(
        self, time: DatetimeLike, r_TEME: _Rows, v_TEME: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

class ENU(Frame):
    """East-North-Up (ENU) Local Tangent Reference Frame of a ground station."""

    def __init__(self, lon: float, lat: float, alt: float, ell: Ellipsoid = ...) -> None: ...
    @property
    def r_station_ITRF(self) -> NDArray[np.float64]: ...
    @property
    def ell(self) -> Ellipsoid: ...
    def rot_to_ITRF(self) -> NDArray[np.float64]: ...
    def rot_from_ITRF(self) -> NDArray[np.float64]: ...
    # Only a Time or None is accepted as `time`; the epoch plays no part.
    def to_ITRF(
        self, time: Time | None, r_ENU: _Rows, v_ENU: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
    def from_ITRF(
        self, time: Time | None, r_ITRF: _Rows, v_ITRF: _Rows
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

class PIC(Frame):
    """Pseudo-Radial, in-track, cross-track"""

class RPC(Frame):
    """Radial, Pseudo-in-track, Cross-track"""

    def __new__(cls, time: Time | None, r: _Rows, v: _Rows, frame: Frame | None) -> Self: ...

def get_GCRF() -> _GCRF: ...
def get_TEME() -> _TEME: ...
def get_ITRF() -> _ITRF: ...
