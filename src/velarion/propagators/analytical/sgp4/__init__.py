"""SGP4 family of analytical propagators.

``tle`` holds the mean-element sets these propagators start from: ``ELSET``
(mean elements at an epoch) and ``TLE`` (a parsed two-line element set).
The SGP4 propagator itself is to sit beside it in this package.
"""

from .tle import ELSET, TLE

__all__ = ["ELSET", "TLE"]
