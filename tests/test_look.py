"""velarion look and look_angles for radio users: the Doppler shift against
skyfield's range, a satellite picked by name, the rows of one pass or above
an elevation against the whole grid, chunked output equal to the whole, and
a long span under a memory limit."""

import csv
import decimal
import io
import json
import os
import pathlib
import resource
import subprocess
import sys
from decimal import Decimal

import numpy as np
import pytest

import velarion.cli
from velarion.cli import defaults, main
from velarion.conjunctions.catalogue import sample_catalogue
from velarion.passes import LookAngles, Station, doppler_shift, look_angles
from velarion.propagators.analytical.sgp4 import TLE
from velarion.time.time import Time

sf = pytest.importorskip("skyfield.api")

C = 299_792_458.0
ISS = (defaults.TLE_LINE1, defaults.TLE_LINE2)
MOLNIYA = (
    "1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
    "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656",
)
REDU = Station(defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT)


def run(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err.splitlines()


def read_csv(text):
    return list(csv.DictReader(io.StringIO(text)))


# --- the Doppler shift ---------------------------------------------------------


@pytest.mark.parametrize("two_way", [False, True], ids=["one-way", "two-way"])
@pytest.mark.parametrize(
    ("lines", "start", "station"),
    [(ISS, "2019-12-09T13:20", REDU), (MOLNIYA, "2006-06-25T12:00", Station(-35.40, 148.98, 688.0))],
    ids=["ISS", "Molniya"],
)
def test_doppler_matches_the_range_derivative(lines, start, station, two_way):
    """The shift through the textbook relativistic factor from a central
    difference of the range: our own (within 0.05 Hz, against 0.12 Hz of the relativistic term) and skyfield's (whose
    range rate differs from ours by up to 0.2 m/s near culmination), at
    437.8 MHz."""
    f = 437.8e6
    time = Time(start) + np.arange(0.0, 900.0, 7.0)
    sat = TLE(*lines)
    ours = look_angles(sat, station, time, frequency=f, two_way=two_way)
    ts = sf.load.timescale()
    observer = sf.wgs84.latlon(station.lat, station.lon, station.alt)
    theirs = sf.EarthSatellite(*lines, "sat", ts) - observer
    tt = time.tt
    h = 0.25
    ranges = {
        "ours": [look_angles(sat, station, time + dt).range for dt in (-h, h)],
        "skyfield": [
            theirs.at(ts.tt_jd(np.asarray(tt.jd1), np.asarray(tt.jd2) + dt / 86400.0)).distance().m for dt in (-h, h)
        ],
    }
    for who, tolerance in (("ours", 0.05), ("skyfield", 0.3)):
        beta = (ranges[who][1] - ranges[who][0]) / (2.0 * h) / C
        factor = np.sqrt((1.0 - beta) / (1.0 + beta))
        want = f * ((factor**2 if two_way else factor) - 1.0)
        assert np.abs(ours.doppler - want).max() < tolerance * (2 if two_way else 1), who
    assert np.abs(ours.doppler).max() > 500.0  # the span holds real shifts


@pytest.mark.parametrize("two_way", [False, True], ids=["one-way", "two-way"])
def test_doppler_shift_is_the_relativistic_factor_at_any_speed(two_way):
    """Against exact rational arithmetic of 1/(gamma (1 + beta)) - 1, the
    receding emitter's shift, from beta = 1e-9 (where ratio - 1 cancels)
    to 0.9."""
    rates = np.array([-0.9, -0.5, -3e-5, -1e-9, 0.0, 1e-9, 3e-5, 0.5, 0.9]) * C
    got = doppler_shift(rates, 1e9, two_way=two_way)
    with decimal.localcontext() as context:
        context.prec = 40
        for rate, value in zip(rates.tolist(), got.tolist(), strict=True):
            beta = Decimal(rate) / Decimal(C)
            ratio_squared = (1 - beta) / (1 + beta)  # (1 / (gamma (1 + beta)))^2
            exact = float(((ratio_squared if two_way else ratio_squared.sqrt()) - 1) * Decimal(10**9))
            assert value == pytest.approx(exact, rel=1e-13, abs=1e-300)


@pytest.mark.parametrize(
    ("kwargs", "error", "fragment"),
    [
        ({"frequency": 0.0}, ValueError, "finite positive"),
        ({"frequency": -437.8e6}, ValueError, "finite positive"),
        ({"frequency": float("nan")}, ValueError, "finite positive"),
        ({"frequency": float("inf")}, ValueError, "finite positive"),
        ({"frequency": True}, TypeError, "number of hertz"),
        ({"frequency": "437.8e6"}, TypeError, "number of hertz"),
        ({"two_way": True}, ValueError, "two_way needs a carrier frequency"),
    ],
)
def test_bad_frequencies_are_refused(kwargs, error, fragment):
    with pytest.raises(error, match=fragment):
        look_angles(TLE(*ISS), REDU, Time("2019-12-09"), **kwargs)


def test_without_a_frequency_the_four_angles_stay():
    time = Time("2019-12-09T13:20") + np.arange(3.0)
    plain = look_angles(TLE(*ISS), REDU, time)
    _, _, _, rate = plain  # callers unpack four
    assert type(plain) is LookAngles and rate is plain.range_rate
    wide = look_angles(TLE(*ISS), REDU, time, frequency=145.8e6)
    assert all(np.array_equal(a, b) for a, b in zip(plain, wide[:4], strict=True))


@pytest.mark.parametrize(
    ("options", "code", "fragment"),
    [
        (["--frequency", "0"], 1, "--frequency must be a positive number of hertz"),
        (["--frequency", "nan"], 1, "--frequency must be a positive number of hertz"),
        (["--frequency", "1e400"], 1, "--frequency must be a positive number of hertz"),
        (["--two-way"], 2, "--two-way goes with --frequency"),
        (["--pass", "0"], 1, "--pass counts the passes of the span from 1"),
        (["--min-elevation", "95"], 1, "--min-elevation must lie between -90 and 90"),
        (["--pass", "1", "--hours", "0.05"], 1, "the span holds 0 passes above 10 deg"),
    ],
)
def test_bad_look_options_are_one_line(options, code, fragment, capsys, tmp_path):
    argv = ["look", "--hours", "0.1", *options, "-o", str(tmp_path / "out.csv")]
    status, out, err = run(argv, capsys)
    assert (status, out, len(err)) == (code, "", 1) and fragment in err[0]
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("two_way", [False, True], ids=["one-way", "two-way"])
def test_cli_doppler_columns(two_way, capsys):
    f = 437.8e6
    argv = ["look", "--start", "2019-12-09T13:20", "--hours", "0.2", "--step", "20", "--frequency", "437.8e6"]
    status, out, err = run([*argv, *(["--two-way"] if two_way else [])], capsys)
    assert status == 0 and err == []
    rows = read_csv(out)
    assert list(rows[0])[-2:] == ["doppler", "received"]
    want = look_angles(TLE(*ISS), REDU, Time([r["time"] for r in rows]), frequency=f, two_way=two_way)
    assert np.allclose([float(r["doppler"]) for r in rows], want.doppler, rtol=0, atol=1.5e-3)
    assert np.allclose([float(r["received"]) - f for r in rows], want.doppler, rtol=0, atol=1.5e-3)


# --- one satellite out of a catalogue --------------------------------------------


@pytest.fixture
def starlinks(tmp_path):
    names = iter(["STARLINK-1007", "STARLINK-10070", "STARLINK-2008", "ISS (ZARYA)"])
    lines = [next(names) if ln.startswith("OBJ-") else ln for ln in sample_catalogue(4, "2019-12-09").splitlines()]
    path = tmp_path / "cat.tle"
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.mark.parametrize(
    ("match", "satnum", "fragments"),
    [
        ("starlink-1007", 1, []),  # exactly one name among two that contain it
        ("zarya", 4, []),
        ("starlink", None, ["not 3", "STARLINK-1007 (1)", "STARLINK-10070 (2)", "STARLINK-2008 (3)"]),
        ("starlink-100", None, ["not 2", "STARLINK-1007 (1)", "STARLINK-10070 (2)"]),
    ],
)
def test_match_picks_one_satellite_or_lists_the_candidates(starlinks, match, satnum, fragments, capsys):
    argv = ["look", "--tle", starlinks, "--match", match, "--start", "2019-12-09T06:00", "--hours", "0.05"]
    status, out, err = run(argv, capsys)
    if satnum is None:
        assert status == 1 and out == "" and len(err) == 1
        assert all(x in err[0] for x in fragments) and "--satnum" in err[0]
        return
    assert status == 0
    status, by_number, _ = run(["look", "--tle", starlinks, "--satnum", str(satnum), *argv[5:]], capsys)
    assert out == by_number


# --- the rows of a pass, or above an elevation ---------------------------------------


def test_pass_and_min_elevation_keep_the_rows_of_the_whole_grid(capsys):
    """--min-elevation keeps the grid's rows at or above it; --pass N the N-th
    run of consecutive rows above it (default 10 deg), as the passes of the
    span are."""
    argv = ["look", "--start", "2019-12-09", "--days", "1", "--step", "10"]
    status, out, _ = run(argv, capsys)
    assert status == 0
    every = read_csv(out)
    elevation = np.array([float(r["elevation"]) for r in every])
    for low in (10.0, 40.0):
        status, out, _ = run([*argv, "--min-elevation", str(low)], capsys)
        assert read_csv(out) == [r for r, e in zip(every, elevation, strict=True) if e >= low]
        above = np.flatnonzero(elevation >= low)
        runs = np.split(above, np.flatnonzero(np.diff(above) > 1) + 1)
        assert len(runs) >= 2
        for number in (1, len(runs)):
            extra = [] if low == 10.0 else ["--min-elevation", str(low)]
            status, out, _ = run([*argv, "--pass", str(number), *extra], capsys)
            assert status == 0 and read_csv(out) == [every[k] for k in runs[number - 1]]
        status, out, err = run([*argv, "--pass", str(len(runs) + 1), "--min-elevation", str(low)], capsys)
        assert status == 1 and out == "" and f"holds {len(runs)} passes above {low:g} deg" in err[0]


# --- chunks and memory -----------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_output_in_chunks_equals_the_whole(fmt, capsys, monkeypatch):
    argv = ["look", "--start", "2019-12-09", "--hours", "5", "--step", "1", "--format", fmt, "--frequency", "2.2e9"]
    monkeypatch.setenv("VELARION_MEMORY_BUDGET", "16M")  # two chunks of 18,001 rows
    status, chunked, _ = run(argv, capsys)
    monkeypatch.setenv("VELARION_MEMORY_BUDGET", "2G")  # one
    status_whole, whole, _ = run(argv, capsys)
    assert status == status_whole == 0 and chunked == whole
    if fmt == "json":  # the text json.dumps gives, as before chunks
        assert json.dumps(json.loads(chunked), indent=1) + "\n" == chunked and len(json.loads(chunked)) == 18001
    else:
        assert chunked.count("\n") == 18002


def _limited(limit):
    def set_limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return set_limit


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs RLIMIT_AS, which the sanitizer's address-space reservations defeat",
)
def test_a_long_span_streams_under_a_memory_limit(tmp_path):
    """600,001 rows (held at once, about 200 MB more than an hour's) within
    128 MB of address space more than a one-hour run takes."""
    # the package these tests imported: an installed one has no extensions under src/
    home = str(pathlib.Path(velarion.cli.__file__).parents[2])
    env = {**os.environ, "PYTHONPATH": home, "VELARION_MEMORY_BUDGET": "32M", "MALLOC_ARENA_MAX": "2"}

    def run_look(hours, path, limit):
        argv = ["look", "--start", "2019-12-09", "--hours", str(hours), "--step", "1", "-o", str(path)]
        code = "import sys, velarion.cli; sys.exit(velarion.cli.main(sys.argv[1:]))"
        return subprocess.run(
            [sys.executable, "-c", code, *argv],
            env=env,
            capture_output=True,
            text=True,
            timeout=600,
            preexec_fn=_limited(limit),
        )

    # the smallest address space a short run needs, to within 32 MB
    low, high = 256 << 20, 2 << 30
    while high - low > 32 << 20:
        middle = (low + high) // 2
        if run_look(1, tmp_path / "short.csv", middle).returncode == 0:
            high = middle
        else:
            low = middle
    done = run_look(600000 / 3600.0, tmp_path / "long.csv", high + (128 << 20))
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "long.csv").read_text().splitlines()
    assert lines[0].startswith("time,azimuth") and len(lines) == 600002
    assert [ln.split(",")[0] for ln in (lines[1], lines[-1])] == ["2019-12-09T00:00:00.000", "2019-12-15T22:40:00.000"]
