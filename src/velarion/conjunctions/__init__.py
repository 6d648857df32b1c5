"""Close approaches between the satellites of a catalogue.

``screen(satellites, start, duration, threshold=5000.0, *, primaries=None)``
lists every local minimum of the distance between two satellites that falls
below ``threshold`` metres within ``duration`` seconds from ``start``: all
pairs, or each of ``primaries`` against every other satellite. Each event
gives the time of closest approach (TCA), the miss distance, its radial,
in-track and cross-track components in the primary's RSW axes (R along the
primary's position, W along r x v, S = W x R; see
``velarion.frames.LocalOrbitalFrame``) and the relative speed. The states
are SGP4's, in TEME: the miss vector and the relative velocity are those of
the TEME states, an inertial frame in which RSW axes and relative speeds are
what they are in GCRF up to the frame's own slow rotation (precession and
nutation, about 1e-11 rad/s), far below a millimetre per second here.

How no approach is missed, and the windows the span is screened in: see
``velarion.conjunctions.search``; sustained proximity: see
``velarion.conjunctions.results``.

The model is SGP4/SDP4 in the engine the ``SGP4`` propagator runs (a
``Records`` catalogue of the element sets and gravity models, built once):
states computed on every core without the interpreter lock, for the samples
and the refinement alike.

A satellite whose element set SGP4 cannot initialise is reported in
``failures`` and takes no part in any event. One that fails within the span
(decay, a model error) is reported there with the time of the failure (to a
second) and keeps its approaches until then: it takes part in the
intervals before the first sample where the model fails. The others are
screened as usual.
"""

from velarion.propagators.failures import Failure

from .results import Conjunction, Conjunctions, Proximity
from .screening import screen

__all__ = ["Conjunction", "Conjunctions", "Failure", "Proximity", "screen"]
