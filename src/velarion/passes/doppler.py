"""Doppler shift of a radio carrier between a ground station and a satellite.

The shift follows from the range rate (positive when the satellite recedes)
through the relativistic longitudinal Doppler factor, beta = range_rate / c:

- one-way, a carrier of frequency f sent by one end and received by the
  other (a downlink received at the station; an uplink received by the
  satellite is shifted alike): ``f * (sqrt((1 - beta) / (1 + beta)) - 1)``;
- two-way, a carrier sent by the station, turned around by the satellite
  (a coherent transponder, a radar echo) and received back at the station:
  ``f * ((1 - beta) / (1 + beta) - 1)``.

The shift is negative while the satellite recedes (the received frequency
is lower) and positive while it approaches. Against the classical first
order, -f * beta, the relativistic factor adds f * beta**2 / 2 (up to
about 2.7e-10 of f in low Earth orbit, 0.12 Hz at 437.8 MHz).

What it neglects, with its size in low Earth orbit (400 km): the transverse
(second-order) Doppler of the velocity across the line of sight, up to
about 3e-10 of f; the gravitational shift between the station and the
satellite, about 4e-11 of f; the light time (the range rate is taken at the
instant of reception, not at the emission a range / c earlier; near the
culmination the range rate changes fast enough for this to reach about
6e-10 of f, and twice that on a two-way link); the ionosphere, the
troposphere and the oscillators' own offsets. At 437.8 MHz these terms are
below 0.5 Hz against shifts of up to about 10 kHz.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["SPEED_OF_LIGHT", "LookAnglesDoppler", "doppler_shift"]

SPEED_OF_LIGHT = 299_792_458.0  # m/s, exact by the definition of the metre


class LookAnglesDoppler(NamedTuple):
    """Look angles with the Doppler shift of a carrier: azimuth (from north
    through east) and elevation [deg], range [m], range rate [m/s]
    (positive when receding) and Doppler shift [Hz] (received minus sent
    frequency), arrays of the epochs' shape."""

    azimuth: NDArray[np.float64]
    elevation: NDArray[np.float64]
    range: NDArray[np.float64]
    range_rate: NDArray[np.float64]
    doppler: NDArray[np.float64]


def check_frequency(frequency: Any) -> float:
    """The carrier frequency as a float [Hz]; ValueError or TypeError unless
    it is one finite positive number."""
    if isinstance(frequency, bool) or not isinstance(frequency, numbers.Real):
        raise TypeError(f"frequency must be a number of hertz, not {type(frequency).__name__}")
    value = float(frequency)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"frequency must be a finite positive number of hertz, got {frequency!r}")
    return value


def doppler_shift(range_rate: Any, frequency: Any, *, two_way: bool = False) -> NDArray[np.float64]:
    """Doppler shift [Hz] (received minus sent frequency) of a carrier of
    ``frequency`` [Hz] for the range rate ``range_rate`` [m/s, positive when
    receding], one-way or, with ``two_way=True``, two-way (see the module's
    text for the formulas and what they neglect). An array of the range
    rate's shape."""
    f = check_frequency(frequency)
    rate = np.asarray(range_rate, dtype=np.float64)
    if not np.isfinite(rate).all():
        raise ValueError("doppler_shift: the range rate must be finite")
    beta = rate / SPEED_OF_LIGHT
    if not (np.abs(beta) < 1.0).all():
        raise ValueError("doppler_shift: the range rate must be smaller than the speed of light")
    # The forms below equal ratio - 1 without its cancellation for small beta.
    two_way_shift = -2.0 * beta / (1.0 + beta)
    if two_way:
        return f * two_way_shift
    return f * two_way_shift / (1.0 + np.sqrt((1.0 - beta) / (1.0 + beta)))
