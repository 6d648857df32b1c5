"""SGP4 family of analytical propagators.

``tle`` holds the mean-element sets these propagators start from: ``ELSET``
(mean elements at an epoch) and ``TLE`` (a parsed two-line element set).
``sgp4`` holds ``SGP4``, the propagator that turns them into TEME states
(the project's compiled port of Vallado's SGP4/SDP4, all epochs in one
call); ``records`` the engine under it, ``Records``, a compiled catalogue
of SGP4 records that the pass search and the screening run too.
``catalogue`` reads catalogues of them: ``load_tles`` (two- and three-line
element sets) and ``load_omm`` (OMM records in JSON, CSV or XML).
"""

from .catalogue import OMM, load_omm, load_tles
from .records import Records, SGP4Error
from .sgp4 import SGP4
from .tle import ELSET, TLE

__all__ = ["ELSET", "OMM", "SGP4", "TLE", "Records", "SGP4Error", "load_omm", "load_tles"]
