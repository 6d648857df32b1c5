"""The date element type jd_t and the ISO 8601 text parsing and formatting that Time uses."""

from collections.abc import Sequence
from typing import Any, overload

import numpy as np
from numpy.typing import NDArray

jd_t = np.float64

@overload
def parse_iso(texts: str, scale: str = "utc") -> tuple[float, float]: ...
@overload
def parse_iso(
    texts: Sequence[Any] | NDArray[Any], scale: str = "utc"
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
@overload
def format_iso(jd1: float, jd2: float = 0.0, scale: str = "utc", decimals: int | None = None) -> str: ...
@overload
def format_iso(
    jd1: Sequence[float] | NDArray[Any],
    jd2: float | Sequence[float] | NDArray[Any] = 0.0,
    scale: str = "utc",
    decimals: int | None = None,
) -> NDArray[np.str_]: ...
