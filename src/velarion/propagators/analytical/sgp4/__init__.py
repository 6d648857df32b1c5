"""SGP4 family of analytical propagators.

``tle`` holds the mean-element sets these propagators start from: ``ELSET``
(mean elements at an epoch) and ``TLE`` (a parsed two-line element set).
``sgp4`` holds ``SGP4``, the propagator that turns them into TEME states
(Vallado's SGP4/SDP4 from the ``sgp4`` package, all epochs in one call).
``catalogue`` reads catalogues of them: ``load_tles`` (two- and three-line
element sets) and ``load_omm`` (OMM records in JSON, CSV or XML).
"""

from .catalogue import OMM, load_omm, load_tles
from .sgp4 import SGP4, SGP4Error
from .tle import ELSET, TLE

__all__ = ["ELSET", "OMM", "SGP4", "TLE", "SGP4Error", "load_omm", "load_tles"]
