"""C-level 3-vector routines (mat_x_vec) for the compiled modules."""

from typing import Any

__capi__: dict[str, Any]
