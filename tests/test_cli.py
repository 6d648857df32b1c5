"""The velarion command line: passes against skyfield's pass finder and an
analytic overhead pass, the pass search's prefilter, ephemeris CSV round
trips, one-line errors with nothing half-written, the sky plot."""

import csv
import io
import json
import math
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import velarion.frames
from velarion.cli import defaults, main
from velarion.frames.frames import get_GCRF, get_ITRF, get_TEME
from velarion.passes import Station, find_passes, propagator_source, sgp4_source
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4 import SGP4, TLE, SGP4Error
from velarion.state.state import StateVector
from velarion.time.time import Time

ISS_2019 = (defaults.TLE_LINE1, defaults.TLE_LINE2)
ISS_2008 = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
MOLNIYA = (
    "1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
    "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656",
)
GEO = (
    "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
    "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
)


@pytest.fixture(autouse=True)
def standard_frames():
    """The standard edges for the test, and the frame graph as it was afterwards
    (other tests check the tables of a fresh start-up)."""
    frames = (get_GCRF(), get_ITRF(), get_TEME())
    before = [dict(f.transforms()) for f in frames]
    velarion.frames.register_standard_transforms()
    yield
    for f, table in zip(frames, before, strict=True):
        for target in list(f.transforms()):
            if target not in table:
                f.remove_transform(target)


def run(argv, capsys):
    """main(argv) in-process: (exit status, stdout, stderr lines)."""
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err.splitlines()


def read_csv(text):
    return list(csv.DictReader(io.StringIO(text)))


# --- passes against skyfield's pass finder ---------------------------------

PASS_CASES = {
    "default ISS over Redu": (
        [],
        ISS_2019,
        (defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT),
        (2019, 12, 9),
        3,
        10.0,
    ),
    "ISS 2008 over Canberra, 30 deg": (
        [
            "--line1",
            ISS_2008[0],
            "--line2",
            ISS_2008[1],
            "--lat",
            "-35.4014",
            "--lon",
            "148.9817",
            "--alt",
            "688",
            "--start",
            "2008-09-20",
            "--min-elevation",
            "30",
        ],
        ISS_2008,
        (-35.4014, 148.9817, 688.0),
        (2008, 9, 20),
        3,
        30.0,
    ),
}


def _events_from_csv(rows):
    events = []
    for row in rows:
        for key, kind in (("rise", 0), ("culmination", 1), ("set", 2)):
            if row[key]:
                events.append((Time(row[key]), kind, row))
    return events


@pytest.mark.parametrize("case", list(PASS_CASES))
def test_passes_agree_with_skyfield(case, capsys):
    sf = pytest.importorskip("skyfield.api")
    args, lines, (lat, lon, alt), (y, m, d), days, min_el = PASS_CASES[case]
    status, out, err = run(["passes", *args, "--days", str(days), "--format", "csv"], capsys)
    assert status == 0 and err == []
    ours = _events_from_csv(read_csv(out))
    ts = sf.load.timescale()
    sat = sf.EarthSatellite(*lines, "sat", ts)
    station = sf.wgs84.latlon(lat, lon, alt)
    t, kinds = sat.find_events(station, ts.utc(y, m, d), ts.utc(y, m, d + days), altitude_degrees=min_el)
    assert len(ours) == len(kinds) > 6
    assert [k for _, k, _ in ours] == list(kinds)
    theirs = Time(list(t.utc_iso(places=6)))
    dt = np.array([float(a - b) for (a, _, _), b in zip(ours, theirs, strict=True)])
    assert np.abs(dt).max() < 1.0
    # maximum elevation: skyfield's highest altitude within 2 s of its
    # culmination (its culmination times are good to about half a second, which
    # near the zenith is worth hundredths of a degree)
    around = (t.tt[kinds == 1][:, None] + np.arange(-2.0, 2.0, 0.002)[None, :] / 86400.0).reshape(-1)
    alt_sf = (sat - station).at(ts.tt_jd(around)).altaz()[0].degrees.reshape(-1, 2000).max(axis=1)
    max_el = np.array([float(row["max_elevation"]) for _, k, row in ours if k == 1])
    assert np.abs(max_el - alt_sf).max() < 0.01


def test_overhead_pass_of_a_circular_equatorial_orbit(capsys):
    # A circular orbit in the equator of date (TEME) seen from the equator passes
    # through the zenith, rising due west and setting due east; from rise to set
    # the satellite sweeps a central angle 2*lam, lam = acos(R cos m / a) - m,
    # at the rate n - dGMST/dt relative to the Earth.
    a, R, m = 6878137.0, 6378137.0, math.radians(10.0)
    v = math.sqrt(3.986004418e14 / a)
    status, out, err = run(
        [
            "passes",
            "--sv",
            str(a),
            "0",
            "0",
            "0",
            str(v),
            "0",
            "--frame",
            "TEME",
            "--epoch",
            "2019-12-09",
            "--lat",
            "0",
            "--lon",
            "5",
            "--alt",
            "0",
            "--hours",
            "8",
            "--format",
            "csv",
        ],
        capsys,
    )
    assert status == 0 and err == []
    rows = read_csv(out)
    assert len(rows) >= 4
    n = v / a
    gmst_rate = 1.002737909350795 * 2.0 * math.pi / 86400.0
    lam = math.acos(R * math.cos(m) / a) - m
    for row in rows:
        assert float(row["max_elevation"]) > 89.99
        assert float(row["rise_azimuth"]) == pytest.approx(270.0, abs=0.01)
        assert float(row["set_azimuth"]) == pytest.approx(90.0, abs=0.01)
        duration = float(Time(row["set"]) - Time(row["rise"]))
        assert duration == pytest.approx(2.0 * lam / (n - gmst_rate), abs=0.002)


# --- the search: the prefilter finds the passes of the full grid -------------


def _sources():
    yield "ISS", sgp4_source(SGP4(TLE(*ISS_2019))), "2019-12-09", 86400.0, (50.0, 5.1, 385.0)
    yield "Molniya", sgp4_source(SGP4(TLE(*MOLNIYA))), "2006-06-25", 2 * 86400.0, (60.0, 30.0, 0.0)
    yield "GEO", sgp4_source(SGP4(TLE(*GEO))), "2006-06-25", 86400.0, (10.0, 10.0, 0.0)
    sv = StateVector(Time("2024-03-20"), [7.2e6, 0.0, 0.0], [0.0, 1.0e3, 7.4e3], frame="GCRF")
    yield "two-body", propagator_source(Keplerian(), sv), "2024-03-20", 86400.0, (-30.0, 120.0, 0.0)


@pytest.mark.parametrize("min_el", [-5.0, 0.0, 10.0, 45.0])
@pytest.mark.parametrize(
    "name, source, start, span, station", list(_sources()), ids=lambda x: x if isinstance(x, str) else ""
)
def test_prefilter_finds_the_passes_of_the_full_grid(name, source, start, span, station, min_el):
    st = Station(*station)
    fast = find_passes(source, st, Time(start), span, 20.0, min_el)
    full = find_passes(source, st, Time(start), span, 20.0, min_el, prefilter=False)
    assert len(fast) == len(full)

    def t(x):
        return np.nan if x is None else float(x - Time(start))

    for p, q in zip(fast, full, strict=True):
        for a, b in ((p.rise, q.rise), (p.culmination, q.culmination), (p.set, q.set)):
            assert (a is None) == (b is None)
            if a is not None:
                assert abs(t(a) - t(b)) < 5e-3
        assert p.max_elevation == pytest.approx(q.max_elevation, abs=1e-6)
        assert p.max_elevation >= min_el
    if name == "GEO":  # in view all day, or never
        assert len(full) <= 1 and all(p.rise is None and p.set is None for p in full)
    else:
        assert len(full) > 0


def test_many_sources_searched_together():
    # SGP4 and two-body sources side by side, one of them failing (a decaying
    # orbit): each list equals the source's own search, the failure keeps its place.
    iss = sgp4_source(SGP4(TLE(*ISS_2019)))
    sv = StateVector(Time("2019-12-09"), [7.0e6, 0.0, 0.0], [0.0, 4.6e3, 6.0e3], frame="GCRF")
    kep = propagator_source(Keplerian(), sv)
    decaying = sgp4_source(
        SGP4(
            TLE(
                "1 28872U 05037B   19340.02012661  .25992681  00000-0  24476-3 0  1537",
                "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708",
            )
        )
    )
    st = Station(50.0, 5.1, 385.0)
    start = Time("2019-12-09")
    found = find_passes([iss, decaying, kep, iss], st, start, 2 * 86400.0, 10.0, 10.0)
    assert [f.index for f in found.failures] == [1]
    assert isinstance(found.failures[0].error, SGP4Error) and found.failures[0].error.satnum == 28872
    with pytest.raises(SGP4Error):
        find_passes([iss, decaying], st, start, 2 * 86400.0, errors="raise")
    # The ISS twice (its passes twice, in input order), the two-body orbit once.
    by_source = {"iss": [p for p in found if p.satnum == 25544], "kep": [p for p in found if p.satnum is None]}
    for key, source, times in (("iss", iss, 2), ("kep", kep, 1)):
        alone = find_passes(source, st, start, 2 * 86400.0, 10.0, 10.0)
        got = by_source[key]
        assert len(got) == times * len(alone) and len(alone) > 3
        for p, q in zip(got[::times], alone, strict=True):
            assert abs(float(p.rise - q.rise)) < 5e-3 and abs(float(p.set - q.set)) < 5e-3
            assert p.max_elevation == pytest.approx(q.max_elevation, abs=1e-6)


def test_a_pass_shorter_than_the_step_is_found():
    # A 10-minute step jumps over the low passes of the ISS; each is still found
    # from the elevation rate between two samples below the minimum.
    source = sgp4_source(SGP4(TLE(*ISS_2019)))
    fine = find_passes(source, Station(50.0, 5.1, 385.0), Time("2019-12-09"), 86400.0, 5.0, 10.0)
    coarse = find_passes(source, Station(50.0, 5.1, 385.0), Time("2019-12-09"), 86400.0, 600.0, 10.0)
    assert len(coarse) == len(fine) > 3
    for p, q in zip(coarse, fine, strict=True):
        assert abs(float(p.rise - q.rise)) < 5e-3 and abs(float(p.set - q.set)) < 5e-3


# --- the default run and its table -------------------------------------------


def test_default_run_prints_the_sample_table(capsys):
    status, out, err = run(["passes"], capsys)
    assert status == 0 and err == []
    assert "ISS (ZARYA)" in out and defaults.STATION_NAME in out and "5 passes" in out
    rows = [line for line in out.splitlines() if line.startswith("2019-12-09 ") and "UTC" not in line]
    assert len(rows) == 5
    status, out_csv, _ = run(["passes", "--format", "csv"], capsys)
    for line, row in zip(rows, read_csv(out_csv), strict=True):
        cells = line.split()
        # to the second: the table's times are the precise times rounded
        for k, key in ((1, "rise"), (4, "culmination"), (8, "set")):
            assert Time(cells[k - 1] + "T" + cells[k]) == Time(str((Time(row[key]) + 0.5).iso)[:19])
        assert float(cells[6]) == pytest.approx(float(row["max_elevation"]), abs=0.005)


def test_python_m_velarion_runs():
    proc = subprocess.run(
        [sys.executable, "-m", "velarion", "passes", "--hours", "14"], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert "Passes of ISS (ZARYA)" in proc.stdout and "2019-12-09 11:47:02" in proc.stdout


# --- CSV round trips ---------------------------------------------------------


def _tle_file(tmp_path, lines=ISS_2019, name="ISS (ZARYA)"):
    path = tmp_path / "iss.tle"
    path.write_text(f"{name}\n{lines[0]}\n{lines[1]}\n")
    return str(path)


def _read_arrays(path):
    rows = read_csv(pathlib.Path(path).read_text())
    return (
        [r["time"] for r in rows],
        np.array([[float(r[k]) for k in ("x", "y", "z")] for r in rows]),
        np.array([[float(r[k]) for k in ("vx", "vy", "vz")] for r in rows]),
    )


def test_propagate_convert_round_trip(tmp_path, capsys):
    tle = _tle_file(tmp_path)
    g, i, g2, i_direct, teme = (str(tmp_path / f) for f in ("g.csv", "i.csv", "g2.csv", "i_direct.csv", "t.csv"))
    base = ["propagate", "--tle", tle, "--start", "2019-12-09T16:00", "--hours", "2", "--step", "30"]
    assert run([*base, "-o", teme], capsys)[0] == 0
    assert run([*base, "--to", "GCRF", "-o", g], capsys)[0] == 0
    assert run([*base, "--to", "itrf", "-o", i_direct], capsys)[0] == 0
    assert run(["convert", "--from", "GCRF", "--to", "ITRF", g, "-o", i], capsys)[0] == 0
    assert run(["convert", "--from", "ITRF", "--to", "GCRF", i, "-o", g2], capsys)[0] == 0

    times, r_t, v_t = _read_arrays(teme)
    assert pathlib.Path(teme).read_text().splitlines()[0] == "time,x,y,z,vx,vy,vz"
    assert len(times) == 241 and times[0] == "2019-12-09T16:00:00.000000" and times[-1] == "2019-12-09T18:00:00.000000"
    # The TEME file holds the propagator's states, digit for digit.
    eph = SGP4(TLE(*ISS_2019)).propagate(Time("2019-12-09T16:00") + np.arange(241) * 30.0)
    np.testing.assert_array_equal(r_t, eph.r)
    np.testing.assert_array_equal(v_t, eph.v)
    t_g, r_g, v_g = _read_arrays(g)
    t_g2, r_g2, v_g2 = _read_arrays(g2)
    assert t_g2 == t_g == times
    np.testing.assert_allclose(r_g2, r_g, rtol=0, atol=1e-6)
    np.testing.assert_allclose(v_g2, v_g, rtol=0, atol=1e-9)
    _, r_i, v_i = _read_arrays(i)
    _, r_id, v_id = _read_arrays(i_direct)
    np.testing.assert_allclose(r_i, r_id, rtol=0, atol=1e-6)
    np.testing.assert_allclose(v_i, v_id, rtol=0, atol=1e-9)
    # an Earth-fixed position keeps its distance from the Earth's centre
    np.testing.assert_allclose(np.linalg.norm(r_i, axis=1), np.linalg.norm(r_g, axis=1), rtol=1e-12)


def test_enu_round_trip_and_station_geometry(tmp_path, capsys):
    g, e, g2 = (str(tmp_path / f) for f in ("g.csv", "e.csv", "g2.csv"))
    station = ["--lat", "50.0006", "--lon", "5.1453", "--alt", "385"]
    assert (
        run(
            [
                "propagate",
                "--line1",
                ISS_2019[0],
                "--line2",
                ISS_2019[1],
                "--start",
                "2019-12-09T13:25:33",
                "--hours",
                "0.0333333",
                "--step",
                "0.5",
                "--to",
                "GCRF",
                "-o",
                g,
            ],
            capsys,
        )[0]
        == 0
    )
    assert run(["convert", "--from", "GCRF", "--to", "ENU", *station, g, "-o", e], capsys)[0] == 0
    assert run(["convert", "--from", "enu", "--to", "GCRF", *station, e, "-o", g2], capsys)[0] == 0
    _, r_g, v_g = _read_arrays(g)
    _, r_e, _ = _read_arrays(e)
    _, r_g2, v_g2 = _read_arrays(g2)
    np.testing.assert_allclose(r_g2, r_g, rtol=0, atol=1e-6)
    np.testing.assert_allclose(v_g2, v_g, rtol=0, atol=1e-9)
    el = np.degrees(np.arctan2(r_e[:, 2], np.hypot(r_e[:, 0], r_e[:, 1])))
    assert el.max() == pytest.approx(81.58, abs=0.01)  # the 13:26 pass of the sample table


def test_propagate_at_listed_times_and_two_body_state(tmp_path, capsys):
    times = tmp_path / "times.txt"
    times.write_text("time\n2024-03-20T12:00:00\n\n2024-03-20T12:30:00.5\n# a comment\n2024-03-21\n")
    status, out, err = run(
        [
            "propagate",
            "--coe",
            "7000e3",
            "0.01",
            "51.6",
            "10",
            "20",
            "30",
            "--epoch",
            "2024-03-20T12:00",
            "--times",
            str(times),
        ],
        capsys,
    )
    assert status == 0 and err == []
    rows = read_csv(out)
    assert [r["time"] for r in rows] == [
        "2024-03-20T12:00:00.000000",
        "2024-03-20T12:30:00.500000",
        "2024-03-21T00:00:00.000000",
    ]
    r = np.array([[float(x[k]) for k in "xyz"] for x in rows])
    radius = np.linalg.norm(r, axis=1)
    assert np.all((radius > 7000e3 * 0.99 - 1) & (radius < 7000e3 * 1.01 + 1))
    # at the epoch: true anomaly 30 deg, radius a (1 - e^2) / (1 + e cos 30)
    assert radius[0] == pytest.approx(7000e3 * (1 - 0.01**2) / (1 + 0.01 * math.cos(math.radians(30))), rel=1e-12)


# --- errors: one line, non-zero status, nothing written ----------------------

GOOD = (
    "time,x,y,z,vx,vy,vz\n2019-12-09T00:00:00,7000000,0,0,0,7500,0\n2019-12-09T00:01:00,6990000,450000,0,-480,7480,0\n"
)
CONVERT_ERRORS = {
    "unknown frame": (GOOD, ["--from", "GCRF", "--to", "HCRF"], ["unknown frame 'HCRF'", "GCRF, ITRF, TEME"]),
    "malformed number": (
        GOOD + "2019-12-09T00:02:00,6980000,9e5,zero,0,7400,0\n",
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 3 (line 4)", "z is not a number", "'zero'"],
    ),
    "missing field": (
        "time,x,y,z,vx,vy,vz\n2019-12-09T00:00:00,7000000,0,0,0,7500,0\n2019-12-09,1,2,3,4,5\n",
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "expected 7 fields", "got 6"],
    ),
    "bad time": (
        "time,x,y,z,vx,vy,vz\n\n2019-13-09T00:00:00,7000000,0,0,0,7500,0\n",
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 1 (line 3)", "bad time", "2019-13-09"],
    ),
    "out-of-range date": (
        GOOD + "2031-06-01T00:00:00,7000000,0,0,0,7500,0\n",
        ["--from", "ITRF", "--to", "GCRF"],
        ["row 3 (line 4)", "2031-06-01", "outside the Earth orientation data"],
    ),
    "non-finite": (
        GOOD.replace("6990000", "nan"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "x is not finite"],
    ),
    "bad header": (GOOD.replace("vz", "w"), ["--from", "GCRF", "--to", "ITRF"], ["line 1", "header"]),
    "no rows": ("time,x,y,z,vx,vy,vz\n", ["--from", "GCRF", "--to", "ITRF"], ["no data rows"]),
    "ENU without station": (GOOD, ["--from", "GCRF", "--to", "ENU"], ["needs a station"]),
    # Numbers are plain ASCII decimals: float() alone takes these.
    "underscores in a number": (
        GOOD.replace("6990000", "6_990_000"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "x is not a number", "'6_990_000'"],
    ),
    "non-ASCII digits": (
        GOOD.replace("6990000", "\u0666990000"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "x is not a number"],
    ),
    "full-width digits": (
        GOOD.replace("7500", "\uff17500"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 1 (line 2)", "vy is not a number"],
    ),
    "infinity spelled out": (
        GOOD.replace("6990000", "-Infinity"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "x is not finite"],
    ),
    "overflowing exponent": (
        GOOD.replace("6990000", "1e999"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 2 (line 3)", "x is not finite"],
    ),
    # NumPy's text arrays drop a trailing NUL, which would make the time valid.
    "NUL after a time": (
        GOOD.replace("00:01:00,", "00:01:00\x00,"),
        ["--from", "GCRF", "--to", "ITRF"],
        ["line 3", "NUL"],
    ),
    "NUL in a number": (GOOD.replace("6990000", "69900\x0000"), ["--from", "GCRF", "--to", "ITRF"], ["line 3", "NUL"]),
    "NUL in a comment": ("# ephem\x00eris\n" + GOOD, ["--from", "GCRF", "--to", "ITRF"], ["line 1", "NUL"]),
    "result overflows": (
        "time,x,y,z,vx,vy,vz\n2019-12-09T00:00:00,1.7e308,1.7e308,1.7e308,0,7500,0\n",
        ["--from", "GCRF", "--to", "ITRF"],
        ["row 1", "not finite"],
    ),
}


def _assert_one_line_error(status, out, err, fragments):
    assert status != 0
    assert len(err) == 1 and err[0].startswith("velarion")
    for f in fragments:
        assert f in err[0]
    assert out == ""


@pytest.mark.parametrize("case", list(CONVERT_ERRORS))
def test_convert_errors(case, tmp_path, capsys):
    text, args, fragments = CONVERT_ERRORS[case]
    src = tmp_path / "in.csv"
    src.write_text(text)
    target = tmp_path / "out.csv"
    status, out, err = run(["convert", *args, str(src), "-o", str(target)], capsys)
    _assert_one_line_error(status, out, err, fragments)
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]  # no output, no temporary left behind


def test_a_failed_run_leaves_an_existing_output_as_it_was(tmp_path, capsys):
    src = tmp_path / "in.csv"
    src.write_text(GOOD + "2019-12-09T00:02:00,1,2,3,4,5,x\n")
    target = tmp_path / "out.csv"
    target.write_text("previous result\n")
    status, _, err = run(["convert", "--from", "GCRF", "--to", "ITRF", str(src), "-o", str(target)], capsys)
    assert status == 1 and "row 3 (line 4)" in err[0]
    assert target.read_text() == "previous result\n"
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]


OTHER_ERRORS = {
    "missing input file": (
        ["convert", "--from", "GCRF", "--to", "ITRF", "{tmp}/nowhere.csv"],
        1,
        ["cannot read", "nowhere.csv", "no such file"],
    ),
    "missing TLE file": (["passes", "--tle", "{tmp}/nowhere.tle"], 1, ["no such file"]),
    "bad TLE checksum": (
        ["passes", "--line1", ISS_2019[0], "--line2", ISS_2019[1][:-1] + "0"],
        1,
        ["bad TLE", "line 2, column 69"],
    ),
    "span out of the EOP table": (
        ["passes", "--start", "2035-01-01"],
        1,
        ["2035-01-01", "outside the Earth orientation data"],
    ),
    "grid out of the EOP table": (
        [
            "propagate",
            "--coe",
            "7e6",
            "0",
            "50",
            "0",
            "0",
            "0",
            "--epoch",
            "2030-01-01",
            "--to",
            "ITRF",
            "--hours",
            "1",
        ],
        1,
        ["2030-01-01T00:00:00", "outside the Earth orientation data"],
    ),
    "bad time in a times file": (
        ["propagate", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--times", "{tmp}/times.txt"],
        1,
        ["row 2 (line 2)", "bad time"],
    ),
    "decayed satellite": (
        [
            "propagate",
            "--line1",
            "1 28872U 05037B   05333.02012661  .25992681  00000-0  24476-3 0  1534",
            "--line2",
            "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708",
            "--days",
            "30",
            "--step",
            "3600",
        ],
        1,
        ["SGP4 error 6", "satellite 28872", "decayed"],
    ),
    "hyperbolic state": (
        ["propagate", "--sv", "7e6", "0", "0", "0", "12e3", "0", "--epoch", "2024-01-01"],
        1,
        ["elliptic", "eccentricity"],
    ),
    "two satellites": (["passes", "--tle", "x.tle", "--coe", "7e6", "0", "50", "0", "0", "0"], 2, ["one satellite"]),
    "state without epoch": (["passes", "--sv", "7e6", "0", "0", "0", "7.5e3", "0"], 2, ["--epoch"]),
    "unknown option": (["passes", "--frobnicate"], 2, ["unrecognized arguments: --frobnicate"]),
    "bad number": (["passes", "--lat", "north"], 2, ["--lat", "invalid float value"]),
    "rotating initial frame": (
        ["passes", "--sv", "7e6", "0", "0", "0", "7.5e3", "0", "--epoch", "2024-01-01", "--frame", "ITRF"],
        1,
        ["inertial frame"],
    ),
    "elements in kilometres": (
        ["propagate", "--coe", "6790", "0.001", "51.6", "0", "0", "0", "--epoch", "2024-01-01"],
        1,
        ["inside the Earth", "6.783 km", "metres"],
    ),
    "state in kilometres": (
        ["passes", "--sv", "6790", "0", "0", "0", "7.66", "0", "--epoch", "2024-01-01"],
        1,
        ["inside the Earth", "metres"],
    ),
    "station below the Earth's centre": (
        ["passes", "--lat", "45", "--lon", "5", "--alt", "-1e7"],
        1,
        ["station altitude", "-10000000.0"],
    ),
    "EOP file is a directory": (["passes", "--eop", "{tmp}"], 1, ["cannot read", "it is a directory"]),
    "TLE file not UTF-8": (["passes", "--tle", "{tmp}/binary.tle"], 1, ["not UTF-8", "0xff"]),
    "no such catalogue number": (
        ["passes", "--tle", "{tmp}/cat.tle", "--satnum", "78,77"],
        1,
        ["catalogue number 77, 78"],
    ),
    "no name matches": (["passes", "--tle", "{tmp}/cat.tle", "--match", "hubble"], 1, ["'hubble'"]),
    "--satnum without a catalogue": (["passes", "--satnum", "5"], 2, ["--tle or --omm"]),
    "bad element set in a catalogue": (["passes", "--tle", "{tmp}/bad.tle"], 1, ["bad.tle', line 5", "column 69"]),
    "bad --station": (["passes", "--station", "Redu,50.0"], 1, ["--station", "NAME,LAT,LON[,ALT]"]),
    "stations file without a header": (["passes", "--stations", "{tmp}/times.txt"], 1, ["header", "name,lat,lon"]),
    "OMM file not JSON": (["passes", "--omm", "{tmp}/gp.json"], 1, ["gp.json", "not JSON"]),
    "look at two satellites": (["look", "--tle", "{tmp}/cat.tle"], 1, ["look takes one satellite", "--satnum"]),
    "propagate a catalogue without a choice": (
        ["propagate", "--tle", "{tmp}/cat.tle"],
        1,
        ["holds 2 element sets", "ISS (25544)", "--satnum N or --match TEXT"],
    ),
    "propagate two picked sets": (["propagate", "--tle", "{tmp}/cat.tle", "--satnum", "25544"], 1, ["2 element sets"]),
    "--satnum and --match share no set": (
        ["passes", "--tle", "{tmp}/cat.tle", "--satnum", "25544", "--match", "hubble"],
        1,
        ["'hubble'", "among the catalogue numbers"],
    ),
    "offset from UTC beyond a day": (["passes", "--start", "2019-12-09T12:00+25:00"], 1, ["at most 24:00"]),
    "local leap second that is none": (["passes", "--start", "2017-01-01T00:58:60+01:00"], 1, ["no leap second"]),
    "offset without a sign": (["passes", "--start", "1h"], 1, ["bad --start", "'now'"]),
    "offset with an unknown unit": (["passes", "--start", "now+2x"], 1, ["bad --start"]),
    "--geodetic with --to": (
        ["propagate", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--geodetic", "--to", "GCRF"],
        2,
        ["replaces --to"],
    ),
}


@pytest.mark.parametrize("case", list(OTHER_ERRORS))
def test_other_errors(case, tmp_path, capsys):
    argv, code, fragments = OTHER_ERRORS[case]
    (tmp_path / "times.txt").write_text("2019-12-09T00:00\n2019-12-09T25:00\n")
    (tmp_path / "binary.tle").write_bytes(b"\xff\xfe1 25544U" + bytes(range(256)))
    (tmp_path / "cat.tle").write_text("\n".join(["ISS", *ISS_2019, *ISS_2008, ""]))
    (tmp_path / "bad.tle").write_text("\n".join(["ISS", *ISS_2019, ISS_2008[0], ISS_2008[1][:-1] + "0", ""]))
    (tmp_path / "gp.json").write_text("[{")
    argv = [a.replace("{tmp}", str(tmp_path)) for a in argv] + ["-o", str(tmp_path / "out.csv")]
    status, out, err = run(argv, capsys)
    _assert_one_line_error(status, out, err, fragments)
    assert status == code
    assert not (tmp_path / "out.csv").exists()


OUTPUT_ERRORS = {
    "-o a directory": (["-o", "{tmp}"], 1, ["cannot write the output", "it is a directory"]),
    "-o ending in a separator": (["-o", "{tmp}/new/"], 1, ["names a directory"]),
    "-o in a missing folder": (["-o", "{tmp}/missing/out.csv"], 1, ["no folder"]),
    "--plot without an extension": (["--plot", "{tmp}/sky"], 1, ["--plot", "needs an extension", ".png"]),
    "--plot in an unknown format": (["--plot", "{tmp}/sky.xyz"], 1, ["unknown image format '.xyz'"]),
    "--plot a directory": (["--plot", "{tmp}/dir.png"], 1, ["cannot write the plot", "it is a directory"]),
    "--plot and -o one file": (["--plot", "{tmp}/sky.png", "-o", "{tmp}/sky.png"], 2, ["the same file"]),
}


@pytest.mark.parametrize("case", list(OUTPUT_ERRORS))
def test_output_paths_are_checked_before_the_work(case, tmp_path, capsys):
    if "--plot" in case:
        pytest.importorskip("matplotlib")
    args, code, fragments = OUTPUT_ERRORS[case]
    (tmp_path / "dir.png").mkdir()
    status, out, err = run(["passes", "--hours", "2", *(a.replace("{tmp}", str(tmp_path)) for a in args)], capsys)
    _assert_one_line_error(status, out, err, fragments)
    assert status == code
    assert sorted(os.listdir(tmp_path)) == ["dir.png"] and os.listdir(tmp_path / "dir.png") == []


def test_negative_numbers_in_exponent_form_are_values(capsys):
    # argparse alone reads '-4.2e6' as an option and stops at it.
    status, out, err = run(
        [
            "propagate",
            "--sv",
            "-4.2e6",
            "-5.0e6",
            "1e3",
            "-5.977e3",
            "5.021e3",
            "0",
            "--epoch",
            "2024-01-01",
            "--hours",
            "0.01",
        ],
        capsys,
    )
    assert status == 0 and err == []
    first = read_csv(out)[0]
    assert [float(first[k]) for k in ("x", "y", "vx")] == pytest.approx([-4.2e6, -5.0e6, -5.977e3], rel=1e-12)


def test_byte_order_mark_is_skipped(tmp_path, capsys, monkeypatch):
    plain = tmp_path / "plain.csv"
    plain.write_text(GOOD)
    marked = tmp_path / "marked.csv"
    marked.write_bytes(b"\xef\xbb\xbf" + GOOD.encode())
    tle = tmp_path / "iss.tle"
    tle.write_bytes(b"\xef\xbb\xbf" + "\n".join(ISS_2019).encode() + b"\n")
    args = ["convert", "--from", "GCRF", "--to", "ITRF"]
    status, expected, err = run([*args, str(plain)], capsys)
    assert status == 0 and err == []
    assert run([*args, str(marked)], capsys)[1] == expected
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(marked.read_bytes()), encoding="utf-8"))
    assert run(args, capsys)[1] == expected
    status, out, err = run(["propagate", "--tle", str(tle), "--hours", "0.1"], capsys)
    assert status == 0 and err == [] and len(read_csv(out)) == 7


def test_binary_standard_input_is_one_line(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"time,x\n\xff\xfe\x00"), encoding="utf-8"))
    status, out, err = run(["convert", "--from", "GCRF", "--to", "ITRF"], capsys)
    _assert_one_line_error(status, out, err, ["<stdin>", "not UTF-8", "0xff"])


@pytest.mark.parametrize(
    "stream, argv, fragment",
    [
        ("stdin", ["convert", "--from", "GCRF", "--to", "ITRF"], "standard input is closed"),
        (
            "stdout",
            ["propagate", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--hours", "0.02"],
            "standard output: it is closed",
        ),
    ],
)
def test_closed_standard_streams(stream, argv, fragment, capsys, monkeypatch):
    # A process started with the descriptor closed has sys.stdin/sys.stdout None.
    monkeypatch.setattr(sys, stream, None)
    status = main(argv)
    monkeypatch.undo()
    out, err = capsys.readouterr()
    _assert_one_line_error(status, out, err.splitlines(), [fragment])


def test_blank_in_the_bstar_mantissa_gives_finite_rows(capsys):
    # The sgp4 package's own reader makes this B* a NaN: every row was NaN and
    # the run succeeded. Now the parsed value runs, as in its canonical form.
    def canonical(line):
        return line[:68] + str(sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10)

    odd = canonical(ISS_2019[0][:53] + "  3879-4" + ISS_2019[0][61:])
    same = canonical(ISS_2019[0][:53] + " 38790-5" + ISS_2019[0][61:])
    outputs = []
    for line1 in (odd, same):
        status, out, err = run(["propagate", "--line1", line1, "--line2", ISS_2019[1], "--hours", "3"], capsys)
        assert status == 0 and err == []
        outputs.append(out)
    assert "nan" not in outputs[0].lower() and outputs[0] == outputs[1]


# --- the sky plot ------------------------------------------------------------


@pytest.mark.parametrize(
    "name, magic", [("sky.png", b"\x89PNG\r\n\x1a\n"), ("sky.SVG", b"<?xml"), ("sky.pdf", b"%PDF")]
)
def test_plot_is_written(tmp_path, capsys, name, magic):
    pytest.importorskip("matplotlib")
    target = tmp_path / name
    status, out, err = run(["passes", "--hours", "14", "--plot", str(target)], capsys)
    assert status == 0 and err == []
    assert "2019-12-09 11:47:02" in out
    assert target.read_bytes().startswith(magic)
    assert sorted(os.listdir(tmp_path)) == [name]


def test_plot_without_matplotlib(tmp_path, capsys, monkeypatch):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib -> ImportError
    target = tmp_path / "sky.png"
    status, out, err = run(["passes", "--plot", str(target)], capsys)
    _assert_one_line_error(status, out, err, ["--plot needs matplotlib", "velarion[plot]"])
    assert os.listdir(tmp_path) == []


def test_help_texts_name_every_subcommand(capsys):
    status, out, _ = run(["--help"], capsys)
    assert status == 0
    for cmd in ("passes", "propagate", "convert"):
        assert cmd in out
        status, text, _ = run([cmd, "--help"], capsys)
        assert status == 0 and "--output" in text


# --- catalogues, networks of stations, look angles ----------------------------

DECAYING = (
    "1 28872U 05037B   19340.02012661  .25992681  00000-0  24476-3 0  1537",
    "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708",
)


def test_catalogue_over_stations(tmp_path, capsys):
    from velarion.cli.rendering import COLUMNS
    from velarion.conjunctions.catalogue import sample_catalogue
    from velarion.propagators.analytical.sgp4 import load_tles

    text = "0 FALLING\n" + "\n".join(DECAYING) + "\n" + sample_catalogue(6, "2019-12-09", seed=5)
    (tmp_path / "cat.tle").write_text(text)
    (tmp_path / "st.csv").write_text("name,lat,lon,alt\nSouth,-35.4,148.98,688\nNorth,67.86,20.96,\n")
    argv = ["passes", "--tle", str(tmp_path / "cat.tle"), "--start", "2019-12-09", "--hours", "12"]
    argv += ["--station", "Redu,50.0006,5.1453,385", "--stations", str(tmp_path / "st.csv")]
    status, out, err = run([*argv, "--format", "csv"], capsys)
    # the failing satellite is one line on standard error; the others' passes are listed
    assert status == 0 and len(err) == 1 and "FALLING" in err[0] and "SGP4 error" in err[0]
    rows = read_csv(out)
    assert tuple(rows[0]) == COLUMNS
    stations = [
        Station(50.0006, 5.1453, 385.0, "Redu"),
        Station(-35.4, 148.98, 688.0, "South"),
        Station(67.86, 20.96, 0.0, "North"),
    ]
    found = find_passes(load_tles(text), stations, Time("2019-12-09"), 43200.0)
    assert len(rows) == len(found) > 10 and {r["station"] for r in rows} == {"Redu", "South", "North"}
    for row, p in zip(rows, found, strict=True):
        assert (row["satellite"], int(row["satnum"])) == (p.satellite, p.satnum)
        assert row["rise"] == ("" if p.rise is None else str((p.rise + 0.0005).iso)[:23])
        assert row["duration"] == ("" if p.duration is None else f"{p.duration:.3f}")
        assert (row["culmination"] == "") == (p.culmination is None)
    status, js, _ = run([*argv, "--format", "json"], capsys)
    records = json.loads(js)
    assert [r["rise"] or "" for r in records] == [r["rise"] for r in rows]
    assert all((r["duration"] is None) == (r["rise"] is None or r["set"] is None) for r in records)
    # --satnum and --match narrow the choice together; a number the file lacks is a warning
    shown = {r["satellite"] for r in rows}
    for numbers, match, want in (("2,3,4", "obj-", {"OBJ-2", "OBJ-3", "OBJ-4"}), ("3,4,77", "-4", {"OBJ-4"})):
        status, table, err = run([*argv, "--satnum", numbers, "--match", match], capsys)
        lines = [ln for ln in table.splitlines() if ln.startswith("OBJ-")]
        assert status == 0 and {ln.split()[0] for ln in lines} == want & shown
        assert [ln for ln in err if "warning" in ln and "catalogue number" in ln] == (
            [
                "velarion passes: warning: "
                + repr(str(tmp_path / "cat.tle"))
                + ": no element set with catalogue number 77"
            ]
            if "77" in numbers
            else []
        )
        assert all(re.fullmatch(r"(\d:\d\d:\d\d|-)", ln.split()[-1]) for ln in lines)
    status, seen, _ = run([*argv, "--visible", "--format", "csv"], capsys)
    visible = find_passes(load_tles(text), stations, Time("2019-12-09"), 43200.0, visible=True)
    assert [r["visible"] for r in read_csv(seen)] == ["true"] * sum(bool(p.visible) for p in visible)
    # --visible-column: every pass, each with its flag
    status, every, _ = run([*argv, "--visible-column", "--format", "csv"], capsys)
    assert [(r["satellite"], r["station"], r["visible"]) for r in read_csv(every)] == [
        (p.satellite, p.station.name, "true" if p.visible else "false") for p in visible
    ]
    (tmp_path / "dead.tle").write_text("\n".join(DECAYING) + "\n")
    status, out, err = run([*argv[:1], "--tle", str(tmp_path / "dead.tle"), *argv[3:]], capsys)
    assert status == 1 and out == "" and "SGP4 error" in err[-1] and "28872" in err[-1]


def test_look_gives_the_look_angles(capsys):
    from velarion.passes import look_angles

    argv = ["look", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--station", "Redu,50.0006,5.1453,385"]
    status, out, err = run([*argv, "--start", "2019-12-09T13:20", "--hours", "0.25", "--step", "30"], capsys)
    assert status == 0 and err == []
    rows = read_csv(out)
    assert list(rows[0]) == ["time", "azimuth", "elevation", "range", "range_rate"] and len(rows) == 31
    time = Time([r["time"] for r in rows])
    want = look_angles(TLE(*ISS_2019), Station(50.0006, 5.1453, 385.0), time)
    for key in ("azimuth", "elevation", "range", "range_rate"):
        assert np.allclose([float(r[key]) for r in rows], getattr(want, key), rtol=0, atol=1e-3)
    status, js, _ = run(
        [*argv, "--start", "2019-12-09T13:20", "--hours", "0.25", "--step", "30", "--format", "json"], capsys
    )
    assert [r["time"] for r in json.loads(js)] == [r["time"] for r in rows]


def test_eop_out_of_range_hold(capsys):
    import velarion.iers

    argv = ["passes", "--start", "2035-01-01", "--hours", "6"]
    status, _, err = run(argv, capsys)
    assert status == 1 and "outside the Earth orientation data" in err[0]
    status, out, err = run([*argv, "--eop-out-of-range", "hold"], capsys)
    assert status == 0 and err == [] and "2035-01-01" in out
    assert velarion.iers.get_out_of_range() == "raise"  # the command's setting ends with it


def test_plot_colours_do_not_repeat():
    pytest.importorskip("matplotlib")
    from velarion.cli.plot import pass_colours

    for n in (3, 10, 11, 40):
        assert len(set(pass_colours(n))) == n


def test_conjunctions_read_omm_as_tle(tmp_path, capsys):
    from test_passes import _omm_fields

    from velarion.conjunctions.catalogue import sample_catalogue
    from velarion.propagators.analytical.sgp4 import load_tles

    text = sample_catalogue(30, "2024-01-01", seed=1, close_pairs=2)
    (tmp_path / "cat.tle").write_text(text)
    (tmp_path / "gp.json").write_text(json.dumps([_omm_fields(t) for t in load_tles(text)]))
    argv = ["conjunctions", "--start", "2024-01-01", "--hours", "3", "--format", "csv"]
    _, by_tle, _ = run([*argv, "--tle", str(tmp_path / "cat.tle")], capsys)
    status, by_omm, err = run([*argv, "--omm", str(tmp_path / "gp.json")], capsys)
    assert status == 0 and err == []
    rows = [
        [(r["primary"], r["secondary"], r["tca"], r["miss_distance"]) for r in read_csv(t)] for t in (by_tle, by_omm)
    ]
    assert rows[0] == rows[1] and len(rows[0]) > 2


# --- start times, time texts, propagate's choices and output -----------------

_DEFAULT_START = Time("2019-12-09T16:38")  # the sample TLE's epoch, down to the minute


def _utc_of(text):
    """The UTC time of an ISO text with its offset, by the standard library."""
    import datetime as dt

    moment = dt.datetime.fromisoformat(text).astimezone(dt.timezone.utc)
    return Time(moment.strftime("%Y-%m-%dT%H:%M:%S.%f"))


START_TEXTS = {
    "offset from UTC": ("2024-03-20T12:00+02:00", _utc_of("2024-03-20T12:00+02:00")),
    "negative offset, seconds and a fraction": (
        "2024-03-20 07:15:30.25-05:30",
        _utc_of("2024-03-20T07:15:30.25-05:30"),
    ),
    "offset without a colon, across a year": ("2024-01-01T01:00+0300", _utc_of("2024-01-01T01:00+03:00")),
    "Z": ("2024-03-20T12:00Z", Time("2024-03-20T12:00")),
    "offsets alone, a sign for both terms": ("-1h30min", _DEFAULT_START - 5400.0),
    "offsets alone, signed terms": ("+1d-2h", _DEFAULT_START + 79200.0),
    "date and an offset": ("2024-03-20+36h", Time("2024-03-20") + 129600.0),
    "a local leap second": ("2017-01-01T00:59:60.5+01:00", Time("2016-12-31T23:59:60.5")),
}


@pytest.mark.parametrize("case", list(START_TEXTS))
def test_start_texts(case, capsys):
    text, want = START_TEXTS[case]
    argv = ["propagate", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--start", text, "--hours", "0.02"]
    status, out, err = run(argv, capsys)
    assert status == 0 and err == []
    first = Time(read_csv(out)[0]["time"])
    assert abs(float(first - want)) < 1e-6


def test_start_now_is_the_clock_and_the_default_start_the_epoch_to_the_minute(capsys):
    import datetime as dt

    base = [
        "propagate",
        "--line1",
        ISS_2008[0],
        "--line2",
        ISS_2008[1],
        "--hours",
        "0.02",
        "--eop-out-of-range",
        "hold",
    ]
    status, out, _ = run([*base, "--start", "now-1d"], capsys)
    clock = Time(dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f"))
    assert status == 0 and abs(float(Time(read_csv(out)[0]["time"]) - clock) + 86400.0) < 60.0
    status, out, _ = run(base, capsys)
    first = Time(read_csv(out)[0]["time"])
    epoch = TLE(*ISS_2008).epoch
    assert 0.0 <= float(epoch - first) < 60.0 and first.iso.endswith(":00")


@pytest.mark.parametrize("decimals", [0, 3, 6])
def test_time_texts_have_one_width_and_round_to_the_nearest(decimals):
    from velarion.cli.rendering import iso_utc

    rng = np.random.default_rng(decimals)
    # around a leap second, and fractions near the rounding boundaries
    base = Time("2016-12-31T23:59:58")
    seconds = np.concatenate([rng.uniform(0.0, 4.0, 500), np.arange(40) * 0.1, 1.9999996 + np.arange(8) * 1e-7])
    texts = iso_utc(base + seconds, decimals)
    assert {len(t) for t in texts} == {19 + (decimals + 1 if decimals else 0)}
    error = (Time(texts) - (base + seconds)) * 10.0**decimals
    assert np.all(np.abs(error) <= 0.5 + 1e-6)


def test_propagate_picks_its_set_of_a_catalogue(tmp_path, capsys):
    (tmp_path / "cat.tle").write_text("\n".join(["ISS", *ISS_2019, "MOLNIYA 1-29", *MOLNIYA, "GEO", *GEO, ""]))
    span = ["--start", "2006-06-25T08:00", "--hours", "1", "--to", "ITRF"]
    picks = {
        ("--satnum", "28626"): GEO,
        ("--match", "molniya"): MOLNIYA,
        ("--satnum", "8195,28626", "--match", "ol"): MOLNIYA,
    }
    for pick, lines in picks.items():
        status, out, err = run(["propagate", "--tle", str(tmp_path / "cat.tle"), *pick, *span], capsys)
        _, direct, _ = run(["propagate", "--line1", lines[0], "--line2", lines[1], *span], capsys)
        assert status == 0 and err == [] and out == direct and len(out.splitlines()) == 62


@pytest.mark.parametrize("lines", [ISS_2019, MOLNIYA, GEO], ids=["ISS", "Molniya", "GEO"])
def test_ground_track_against_erfa(lines, capsys):
    erfa = pytest.importorskip("erfa")
    argv = ["propagate", "--line1", lines[0], "--line2", lines[1], "--hours", "12", "--step", "600"]
    _, itrf, _ = run([*argv, "--to", "ITRF"], capsys)
    status, track, err = run([*argv, "--geodetic"], capsys)
    assert status == 0 and err == [] and track.splitlines()[0] == "time,latitude,longitude,altitude"
    states, points = read_csv(itrf), read_csv(track)
    assert [p["time"] for p in points] == [s["time"] for s in states]
    xyz = np.array([[float(s[k]) for k in "xyz"] for s in states])
    got = np.array([[float(p[k]) for k in ("latitude", "longitude", "altitude")] for p in points])
    # ERFA's closed-form geodetic -> Cartesian (WGS84 = 1) gives the positions back
    back = erfa.gd2gc(1, np.radians(got[:, 1]), np.radians(got[:, 0]), got[:, 2])
    assert np.max(np.linalg.norm(back - xyz, axis=1)) < 1e-7
    # and its iterative inverse agrees (it is itself good to a millimetre at GEO)
    lon, lat, alt = erfa.gc2gd(1, xyz)
    np.testing.assert_allclose(got[:, :2], np.degrees(np.stack([lat, lon], axis=1)), rtol=0, atol=1e-8)
    np.testing.assert_allclose(got[:, 2], alt, rtol=0, atol=1e-2)
    assert np.all((got[:, 1] > -180.0) & (got[:, 1] <= 180.0))


_STREAM_CHILD = """
import sys
from velarion.cli import main
status = main(sys.argv[1:])
peak = [ln.split()[1] for ln in open("/proc/self/status") if ln.startswith("VmPeak")]
print(status, peak[0] if peak else 0, file=sys.stderr)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and sets RLIMIT_AS")
def test_propagate_streams_a_long_span_within_an_address_space_limit(tmp_path):
    import resource

    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(velarion.frames.__file__).parents[2])}
    env.update(VELARION_MEMORY_BUDGET="16M", MALLOC_ARENA_MAX="2")
    argv = ["propagate", "--line1", ISS_2019[0], "--line2", ISS_2019[1], "--to", "ITRF", "--step", "0.025"]

    def child(hours, limit=None):
        def cap():
            if limit is not None:
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        proc = subprocess.run(
            [sys.executable, "-c", _STREAM_CHILD, *argv, "--hours", hours],
            env=env,
            preexec_fn=cap,
            capture_output=True,
            timeout=300,
            check=False,
        )
        status, peak = proc.stderr.decode().split()[-2:]
        return int(status), int(peak) * 1024, proc.stdout

    status, small, _ = child("0.01")
    assert status == 0
    # 2 h at 25 ms: 288,001 rows, some 240 MB if held at once; streamed, the
    # run needs what a short one needs.
    limit = small + 96 * 1024**2
    status, peak, out = child("2", limit)
    rows = out.splitlines()
    assert status == 0 and peak <= limit and len(rows) == 288002
    assert rows[-1].startswith(b"2019-12-09T18:38:00.000000,")
