"""Exception texts that callers compare word for word (the command line
shows them as they are, scripts match on them): pinned whole."""

import re

import pytest

from velarion.cli import defaults
from velarion.conjunctions import screen
from velarion.passes import Pass, Station, event_times, find_passes, look_angles
from velarion.propagators.analytical.sgp4 import TLE

ISS = TLE(defaults.TLE_LINE1, defaults.TLE_LINE2)
STATION = Station(50.0, 5.0, 100.0)


def _pass_with_float_rise():
    return Pass("x", None, STATION, 1.0, None, None, None, 10.0, None, None)


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (
            lambda: find_passes(ISS, STATION, ISS.epoch, 3600.0, min_elevation=95.0),
            ValueError,
            "the minimum elevation must lie in (-90, 90) degrees, got 95.0",
        ),
        (
            lambda: find_passes(ISS, STATION, ISS.epoch, -1.0),
            ValueError,
            "the span must be a positive number of seconds, got -1.0",
        ),
        (
            lambda: find_passes(ISS, STATION, ISS.epoch, 3600.0, errors="keep"),
            ValueError,
            "errors must be 'report' or 'raise', got 'keep'",
        ),
        (
            lambda: find_passes(ISS, STATION, ISS.epoch, 3600.0, threads=0),
            ValueError,
            "threads must be a positive integer, got 0",
        ),
        (
            lambda: event_times([], "peak"),
            ValueError,
            "event must be 'rise', 'culmination', 'set', 'shadow_entry' or 'shadow_exit', got 'peak'",
        ),
        (_pass_with_float_rise, TypeError, "rise must be a Time scalar or None, not float"),
        (
            lambda: look_angles(ISS, STATION, ISS.epoch, two_way=True),
            ValueError,
            "two_way needs a carrier frequency",
        ),
        (
            lambda: screen([ISS, ISS], ISS.epoch, 3600.0, 0.0),
            ValueError,
            "the threshold must be a positive number of metres, got 0.0",
        ),
        (
            lambda: screen([ISS, object()], ISS.epoch, 3600.0),
            TypeError,
            "satellite 1 must be a TLE, another ELSET or an SGP4 propagator, not object",
        ),
        (
            lambda: screen([ISS, ISS], ISS.epoch, 3600.0, proximity=-1.0),
            ValueError,
            "proximity must be a non-negative number of seconds or None, got -1.0",
        ),
        (
            lambda: screen([ISS, ISS], ISS.epoch, 3600.0, threads=True),
            ValueError,
            "threads must be a positive integer, got True",
        ),
    ],
)
def test_message_word_for_word(call, error, text):
    with pytest.raises(error, match="^" + re.escape(text) + "$"):
        call()
