"""Angle helpers."""

from collections.abc import Sequence
from typing import Any, overload

from numpy.typing import NDArray

__capi__: dict[str, Any]

@overload
def atan2_asymmetric(y: float, x: float) -> float: ...
@overload
def atan2_asymmetric(y: float | Sequence[Any] | NDArray[Any], x: float | Sequence[Any] | NDArray[Any]) -> Any:
    """A float64 array for array arguments (a NumPy scalar for 0-d ones)."""
