"""Orbit determination: measurement models of ground stations and GNSS-like
fixes with their partials, simulated tracking, batch least squares, and the
fitting of SGP4 mean elements (a TLE) to a state ephemeris."""

from .batch import (
    ConvergenceError,
    Estimate,
    EstimationError,
    TooFewObservations,
    UnobservableError,
    batch_least_squares,
)
from .dynamics import Dynamics, PropagatorDynamics, as_dynamics
from .measurements import KINDS, Geometry, Observations, predict, residuals
from .simulate import simulate
from .tlefit import TLEFit, fit_tle

__all__ = [
    "KINDS",
    "ConvergenceError",
    "Dynamics",
    "Estimate",
    "EstimationError",
    "Geometry",
    "Observations",
    "PropagatorDynamics",
    "TLEFit",
    "TooFewObservations",
    "UnobservableError",
    "as_dynamics",
    "batch_least_squares",
    "fit_tle",
    "predict",
    "residuals",
    "simulate",
]
