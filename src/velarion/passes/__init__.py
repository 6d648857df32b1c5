"""Passes of satellites over ground stations.

The search itself is in ``velarion.passes.passes`` (its docstring says how
the span is searched); the names below are the ones the command line's
``velarion passes`` uses::

    >>> from velarion.passes import Station, find_passes, sgp4_source
    >>> passes = find_passes(sgp4_source(SGP4(tle)), Station(50.0, 5.1, 385.0), start, 86400.0)
"""

from .passes import Pass, Sky, Source, Station, find_passes, find_passes_many, propagator_source, sgp4_source

__all__ = ["Pass", "Sky", "Source", "Station", "find_passes", "find_passes_many", "propagator_source", "sgp4_source"]
