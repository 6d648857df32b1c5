"""velarion.passes for catalogues: passes, look angles and visibility against
skyfield, OMM against TLE, the catalogue readers, failures of one satellite
among others, the short import place."""

import json
import pickle
import subprocess
import sys

import numpy as np
import pytest

from velarion.conjunctions.catalogue import sample_catalogue
from velarion.passes import Pass, Station, event_times, find_passes, look_angles, search, sun_elevation, sunlit
from velarion.propagators.analytical.sgp4 import SGP4, TLE, SGP4Error, load_omm, load_tles
from velarion.time.time import Time

sf = pytest.importorskip("skyfield.api")

START = "2024-03-20"
STATIONS = {
    "north": Station(67.857, 20.964, 402.0, "Kiruna"),
    "south": Station(-35.40, 148.98, 688.0, "Canberra"),
    "high": Station(78.23, 15.40, 500.0, "Svalbard"),
}
DECAYING = (
    "1 28872U 05037B   24079.02012661  .25992681  00000-0  24476-3 0  1532",
    "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708",
)


@pytest.fixture(scope="module")
def catalogue():
    return load_tles(sample_catalogue(8, START, seed=11))


@pytest.fixture(scope="module")
def found(catalogue):
    return find_passes(catalogue, list(STATIONS.values()), START, 86400.0)


@pytest.fixture(scope="module")
def ts():
    return sf.load.timescale()


def _sf_time(ts, time):
    tt = time.tt
    return ts.tt_jd(np.asarray(tt.jd1) + np.asarray(tt.jd2))


@pytest.mark.parametrize("where", list(STATIONS))
def test_catalogue_passes_match_skyfield(where, catalogue, found, ts):
    station = STATIONS[where]
    top = sf.wgs84.latlon(station.lat, station.lon, station.alt)
    t0, t1 = ts.utc(2024, 3, 20), ts.utc(2024, 3, 21)
    total = 0
    for tle in catalogue:
        sat = sf.EarthSatellite(*tle.lines, tle.name, ts)
        t, kind = sat.find_events(top, t0, t1, altitude_degrees=10.0)
        theirs = Time(list(t[kind == 1].utc_iso(places=6))) if (kind == 1).any() else []
        ours = [p for p in found if p.satnum == tle.satnum and p.station is station and p.culmination is not None]
        assert len(ours) == len(theirs)
        for p, c in zip(ours, theirs, strict=True):
            assert abs(float(p.culmination - c)) < 1.0
            assert p.satellite == tle.name
            assert (p.rise is None or p.rise < p.culmination) and (p.set is None or p.culmination < p.set)
        total += len(ours)
    assert total > 10
    # the network's passes over this station are those of searching it alone
    alone = find_passes(catalogue, station, START, 86400.0)
    mine = [p for p in found if p.station is station]
    assert [(p.satnum, round(p.max_elevation, 6)) for p in mine] == [
        (p.satnum, round(p.max_elevation, 6)) for p in alone
    ]


def test_passes_are_sorted_and_cut_at_the_edges(found):
    first = [0.0 if p.rise is None else float(p.rise - Time(START)) for p in found]
    assert first == sorted(first)
    cut = [p for p in found if p.cut]
    assert all(p.duration is None and (p.rise is None or p.set is None) for p in cut)
    assert all(p.duration == pytest.approx(float(p.set - p.rise)) for p in found if not p.cut)


def test_threaded_search_finds_the_same_passes(catalogue, found, monkeypatch):
    # more workers than cores and uneven ranges of tracks
    monkeypatch.setattr(search, "_THREADED_TRACKS", 1)
    again = find_passes(catalogue, list(STATIONS.values()), START, 86400.0, threads=5)
    assert [repr(p) for p in again] == [repr(p) for p in found]


def test_a_pass_keeps_its_fields_through_pickling_and_by_hand(found):
    p = next(p for p in found if not p.cut)
    fields = Pass.__match_args__
    by_hand = Pass(*(getattr(p, name) for name in fields))
    for q in (pickle.loads(pickle.dumps(p)), by_hand):
        assert q == p and repr(q) == repr(p)
        assert q.duration == pytest.approx(p.duration, abs=1e-9) and q.cut is False
    with pytest.raises(AttributeError):
        p.rise = None  # type: ignore[misc]
    with pytest.raises(TypeError, match="rise must be a Time scalar"):
        Pass(*(p.rise.iso if name == "rise" else getattr(p, name) for name in fields))
    # every event of many passes at once, the search's and hand-made ones mixed
    for passes in (found, [by_hand, *found[:5]]):
        for event in ("rise", "culmination", "set"):
            times, have = event_times(passes, event)
            one_by_one = [getattr(q, event) for q in passes]
            assert have.tolist() == [t is not None for t in one_by_one]
            assert [(float(t.jd1), float(t.jd2)) for t in times] == [
                (float(t.jd1), float(t.jd2)) for t in one_by_one if t is not None
            ]
    with pytest.raises(TypeError, match="event_times takes passes, not str"):
        event_times([p, "rise"], "rise")
    with pytest.raises(ValueError, match="event must be"):
        event_times(found, "zenith")


def test_look_angles_match_skyfield(catalogue, ts):
    tle, station = catalogue[0], STATIONS["north"]
    time = Time(START) + np.arange(0.0, 86400.0, 97.0)
    ours = look_angles(tle, station, time)
    top = sf.wgs84.latlon(station.lat, station.lon, station.alt)
    topo = (sf.EarthSatellite(*tle.lines, tle.name, ts) - top).at(_sf_time(ts, time))
    alt, az, dist = topo.altaz()
    *_, rate = topo.frame_latlon_and_rates(top)
    assert np.abs(ours.elevation - alt.degrees).max() < 2e-3
    up = alt.degrees > 1.0  # the azimuth is well defined away from the zenith
    assert np.abs((ours.azimuth - az.degrees + 180.0) % 360.0 - 180.0)[up].max() < 5e-3
    assert np.abs(ours.range - dist.m).max() < 20.0
    assert np.abs(ours.range_rate - rate.m_per_s).max() < 0.2
    utc = time.utc
    grid = look_angles(tle, station, Time.from_jd(utc.jd1.reshape(-1, 1), utc.jd2.reshape(-1, 1), scale="utc"))
    assert grid.range.shape == (time.size, 1)


@pytest.mark.filterwarnings("ignore:The file finals2000A.all has expired")
def test_visibility_matches_skyfield(catalogue, found, ts):
    skyfield_data = pytest.importorskip("skyfield_data")
    eph = sf.Loader(skyfield_data.get_skyfield_data_path(), verbose=False)("de421.bsp")
    station = STATIONS["south"]
    top = sf.wgs84.latlon(station.lat, station.lon, station.alt)
    time = Time(START) + np.arange(0.0, 86400.0, 30.0)
    t = _sf_time(ts, time)
    # the Sun's elevation: ours is geometric, skyfield's apparent (aberration
    # and light time, about 0.01 deg)
    sun = (eph["earth"] + top).at(t).observe(eph["sun"]).apparent().altaz()[0].degrees
    assert np.abs(sun_elevation(station, time) - sun).max() < 0.02
    sats = {tle.satnum: sf.EarthSatellite(*tle.lines, tle.name, ts) for tle in catalogue}
    crossings = 0
    for tle in catalogue[:4]:
        theirs = sats[tle.satnum].at(t).is_sunlit(eph)
        ours = sunlit(tle, time)
        # they may differ only within seconds of a shadow crossing
        change = np.flatnonzero(np.diff(theirs.astype(int)))
        near = np.zeros(time.size, bool)
        near[np.clip(np.concatenate([change, change + 1]), 0, time.size - 1)] = True
        assert not (ours != theirs)[~near].any()
        crossings += change.size
    assert crossings > 4
    # visible passes: sunlit and above 10 deg while the Sun is below -6 deg
    seen = find_passes(catalogue, station, START, 86400.0, visible=True)
    assert [p.satnum for p in seen] == [p.satnum for p in found if p.station is station]
    assert any(p.visible for p in seen) and not all(p.visible for p in seen)
    for p in seen:
        a = 0.0 if p.rise is None else float(p.rise - Time(START))
        b = 86400.0 if p.set is None else float(p.set - Time(START))
        tt = _sf_time(ts, Time(START) + np.linspace(a, b, 60))
        sat = sats[p.satnum]
        ok = (
            ((sat - top).at(tt).altaz()[0].degrees >= 9.9)
            & sat.at(tt).is_sunlit(eph)
            & ((eph["earth"] + top).at(tt).observe(eph["sun"]).apparent().altaz()[0].degrees < -6.0)
        )
        assert p.visible == bool(ok.any())


def _omm_fields(tle):
    """The OMM keywords of a TLE, from the text of its lines (as feeds convert them)."""
    l1, l2 = tle.lines
    year = int(l1[18:20]) + (1900 if int(l1[18:20]) >= 57 else 2000)
    epoch = Time(f"{year}-01-01") + (float(l1[20:32]) - 1.0) * 86400.0
    ndot = float(l1[33:43])
    return {
        "OBJECT_NAME": tle.name,
        "OBJECT_ID": f"20{l1[9:11]}-{l1[11:17].strip()}",
        "EPOCH": str(epoch.utc.iso),
        "MEAN_MOTION": l2[52:63].strip(),
        "ECCENTRICITY": "0." + l2[26:33],
        "INCLINATION": l2[8:16].strip(),
        "RA_OF_ASC_NODE": l2[17:25].strip(),
        "ARG_OF_PERICENTER": l2[34:42].strip(),
        "MEAN_ANOMALY": l2[43:51].strip(),
        "EPHEMERIS_TYPE": "0",
        "CLASSIFICATION_TYPE": "U",
        "NORAD_CAT_ID": str(tle.satnum),
        "ELEMENT_SET_NO": "999",
        "REV_AT_EPOCH": "1",
        "BSTAR": str(tle.bstar),
        "MEAN_MOTION_DOT": repr(ndot),
        "MEAN_MOTION_DDOT": "0",
    }


def _write_omm(path, layout, records):
    if layout == "json":
        path.write_text(json.dumps(records))
    elif layout == "csv":
        keys = list(records[0])
        path.write_text("\n".join([",".join(keys)] + [",".join(r[k] for k in keys) for r in records]) + "\n")
    else:
        blocks = []
        for r in records:
            meta = "".join(f"<{k}>{r[k]}</{k}>" for k in ("OBJECT_NAME", "OBJECT_ID"))
            mean = "".join(f"<{k}>{r[k]}</{k}>" for k in list(r)[2:9])
            tle = "".join(f"<{k}>{r[k]}</{k}>" for k in list(r)[9:])
            blocks.append(
                f"<segment><metadata>{meta}</metadata><data><meanElements>{mean}</meanElements>"
                f"<tleParameters>{tle}</tleParameters></data></segment>"
            )
        path.write_text(f'<?xml version="1.0"?><ndm><omm><body>{"".join(blocks)}</body></omm></ndm>')


@pytest.mark.parametrize("layout", ["json", "csv", "xml"])
def test_omm_gives_the_states_and_passes_of_the_tle(layout, catalogue, tmp_path):
    path = tmp_path / f"gp.{layout}"
    _write_omm(path, layout, [_omm_fields(t) for t in catalogue])
    omm = load_omm(path)
    assert [(o.name, o.satnum, o.intldesg) for o in omm] == [(t.name, t.satnum, t.intldesg) for t in catalogue]
    time = Time(START) + np.arange(0.0, 86400.0, 600.0)
    for o, t in zip(omm, catalogue, strict=True):
        ro, vo = SGP4(o).teme_arrays(time)
        rt, vt = SGP4(t).teme_arrays(time)
        # the TLE's epoch is a day fraction of 8 digits, the OMM's text 6 digits of a second
        assert np.abs(ro - rt).max() < 1e-5 and np.abs(vo - vt).max() < 1e-8  # km, km/s
    station = STATIONS["north"]
    a = find_passes(omm, station, START, 86400.0)
    b = find_passes(catalogue, station, START, 86400.0)
    assert len(a) == len(b) > 3
    for p, q in zip(a, b, strict=True):
        assert (p.satellite, p.satnum) == (q.satellite, q.satnum)
        for x, y in ((p.rise, q.rise), (p.culmination, q.culmination), (p.set, q.set)):
            assert (x is None) == (y is None) and (x is None or abs(float(x - y)) < 1e-3)
        assert p.max_elevation == pytest.approx(q.max_elevation, abs=1e-5)


def test_load_tles_reads_every_layout(catalogue, tmp_path):
    iss = TLE(
        "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
        "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
    )
    text = "\r\n".join(
        ["", "0 ISS (ZARYA)", *iss.lines, "", *catalogue[1].lines, catalogue[2].name, *catalogue[2].lines, ""]
    )
    got = load_tles(text)
    want = [("ISS (ZARYA)", 25544), (None, catalogue[1].satnum), (catalogue[2].name, catalogue[2].satnum)]
    assert [(t.name, t.satnum) for t in got] == want
    path = tmp_path / "cat.tle"
    path.write_text(text)
    assert [t.lines for t in load_tles(path)] == [t.lines for t in got] == [t.lines for t in load_tles(str(path))]
    # an Alpha-5 catalogue number (A0001 = 100001)
    line1 = "1 A0001" + iss.lines[0][7:68]
    line2 = "2 A0001" + iss.lines[1][7:68]
    alpha = load_tles(f"{line1}{_checksum(line1)}\n{line2}{_checksum(line2)}\n")
    assert alpha[0].satnum == 100001


def _checksum(line):
    return sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10


@pytest.mark.parametrize(
    "text, fragment",
    [
        ("NAME\n{l1}\n", "line 2: line 1 of an element set not followed"),
        ("{l2}\n", "line 1: line 2 of an element set without"),
        ("A\nB\n{l1}\n{l2}\n", "line 1: a name line not followed"),
        ("\n\nNAME\n{l1}\n{bad2}\n", "line 5: TLE line 2, column 69"),
    ],
)
def test_load_tles_errors_name_the_line(text, fragment, catalogue):
    l1, l2 = catalogue[0].lines
    bad2 = l2[:-1] + str((int(l2[-1]) + 1) % 10)
    with pytest.raises(ValueError, match=fragment):
        load_tles(text.format(l1=l1, l2=l2, bad2=bad2))


def test_a_failing_satellite_does_not_sink_the_others(catalogue):
    decaying = TLE(*DECAYING, "FALLING")
    station = STATIONS["north"]
    found = find_passes([catalogue[0], decaying, catalogue[1]], station, START, 86400.0)
    alone = find_passes(catalogue[:2], station, START, 86400.0)
    assert [(p.satnum, p.rise) for p in found] == [(p.satnum, p.rise) for p in alone]
    (failure,) = found.failures
    assert failure.satellite == "FALLING" and failure.satnum == 28872 and failure.index == 1
    assert isinstance(failure.error, SGP4Error) and failure.epoch is not None
    assert 0.0 <= float(failure.epoch - Time(START)) <= 86400.0 and "FALLING" in str(failure)
    with pytest.raises(SGP4Error, match="satellite 28872"):
        find_passes([catalogue[0], decaying], station, START, 86400.0, errors="raise")


def test_the_short_import_place_is_lazy():
    code = (
        "import sys, velarion\n"
        "assert 'numpy' not in sys.modules and not [m for m in sys.modules if m.startswith('velarion.frames')]\n"
        "from velarion import Station, find_passes, load_tles, Time, ENU, TLE, SGP4, Keplerian, look_angles\n"
        "import velarion.passes, velarion.time.time\n"
        "assert find_passes is velarion.passes.find_passes and Time is velarion.time.time.Time\n"
        "assert 'find_passes' in dir(velarion)\n"
        "try:\n    velarion.nothing\nexcept AttributeError as e:\n    assert 'nothing' in str(e)\n"
        "else:\n    raise SystemExit('no AttributeError')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize(
    "name, content, fragment",
    [
        ("deep.json", "[" * 100000, "nested too deeply"),
        ("huge.csv", "EPOCH\n" + "x" * 200000 + "\n", "not OMM CSV"),
        ("numbers.json", "[1, 2]", "record 1: a record must be a mapping"),
        ("nan.json", '[{"EPOCH": "2024-03-20T00:00:00", "MEAN_MOTION": "nan"}]', "MEAN_MOTION must be finite"),
        ("date.json", '[{"EPOCH": "2024-13-45T00:00:00", "MEAN_MOTION": 15}]', "record 1: bad EPOCH"),
        ("broken.xml", "<ndm><omm>", "not OMM XML"),
        ("binary.json", b"\xff\xfe[", "UTF-8"),
    ],
)
def test_load_omm_refuses_bad_files(name, content, fragment, tmp_path):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(ValueError, match=fragment):
        load_omm(path)


def test_a_satellite_decaying_in_the_span_keeps_its_passes_until_then():
    from sgp4.api import Satrec

    from velarion.conjunctions.catalogue import format_tle

    tle = load_tles(format_tle(9, START, 51.6, 10.0, 0.0005, 0.0, 0.0, 16.2, 0.01, "LOW"))[0]
    stations = list(STATIONS.values())
    found = find_passes(tle, stations, START, 3 * 86400.0)
    (failure,) = found.failures
    end = float(failure.epoch - Time(START))
    assert 3600.0 < end < 3 * 86400.0 and "epoch index" not in str(failure)
    # the sgp4 package fails between the second before and the second after
    rec = Satrec.twoline2rv(*tle.lines)
    codes = [rec.sgp4(*(failure.epoch + dt).utc.jd12)[0] for dt in (-1.0, 1.0)]
    assert codes[0] == 0 and codes[1] != 0
    before = find_passes(tle, stations, START, end - 600.0)
    kept = [p for p in found if p.set is not None and float(p.set - Time(START)) < end - 600.0]
    assert len(kept) >= 3
    assert [(p.station.name, round(float(p.rise - Time(START)), 3)) for p in kept] == [
        (p.station.name, round(float(p.rise - Time(START)), 3)) for p in before if p.set is not None
    ]


@pytest.mark.parametrize(
    "orbit",
    [(55.0, 30.0, 0.075, 270.0, 10.0, 1.00274), (63.4, 50.0, 0.72, 270.0, 0.0, 2.00614)],
    ids=["IGSO", "HEO"],
)
def test_culminations_of_slow_orbits_match_a_dense_grid_of_skyfield(orbit, ts):
    from velarion.conjunctions.catalogue import format_tle

    tle = load_tles(format_tle(1, START, *orbit[:5], orbit[5], 0.0, "SLOW"))[0]
    station = Station(35.0, 130.0, 0.0, "S")
    found = [p for p in find_passes(tle, station, START, 2 * 86400.0, min_elevation=5.0) if p.culmination is not None]
    assert found
    sat = sf.EarthSatellite(*tle.lines, "SLOW", ts)
    top = sf.wgs84.latlon(35.0, 130.0, 0.0)
    for p in found:
        off = np.arange(-900.0, 900.0, 1.0)
        alt = (sat - top).at(_sf_time(ts, p.culmination + off)).altaz()[0].degrees
        k = int(np.argmax(alt))
        a, b, _ = np.polyfit(off[k - 30 : k + 31], alt[k - 30 : k + 31], 2)
        assert abs(-b / (2.0 * a)) < 0.5
        assert p.max_elevation == pytest.approx(alt.max(), abs=1e-3)


@pytest.mark.parametrize("records", [2, 1], ids=["among others", "alone"])
def test_a_satellite_beyond_the_models_reach_fails_alone_from_the_command_line(records, catalogue, tmp_path, capsys):
    from velarion.cli import main

    old = dict(_omm_fields(catalogue[1]), EPOCH="1910-01-01T00:00:00", OBJECT_NAME="OLD-ONE")
    path = tmp_path / "far.json"
    path.write_text(json.dumps([_omm_fields(catalogue[0]), old][-records:]))
    status = main(["passes", "--omm", str(path), "--start", START, "--format", "csv"])
    out, err = capsys.readouterr()
    (line,) = err.splitlines()
    assert "OLD-ONE" in line and "100 years" in line and "Traceback" not in err
    if records == 2:
        assert status == 0 and line.startswith("velarion passes: warning: ")
        alone = find_passes(catalogue[0], Station(50.0006, 5.1453, 385.0), START, 86400.0)
        assert len(out.splitlines()) == len(alone) + 1 > 1
    else:
        assert status == 1 and line.startswith("velarion passes: error: ") and not out


BOUNDED_SEARCH = """
import resource
from velarion.conjunctions.catalogue import sample_catalogue
from velarion.passes import Station, find_passes
from velarion.propagators.analytical.sgp4 import load_tles
from velarion.time.time import Time
from velarion.utils.budget import set_memory_budget

cat = load_tles(sample_catalogue(600, "2024-03-20", seed=3))
station = Station(50.0, 5.0, 0.0)
find_passes(cat[:2], station, "2024-03-20", 3600.0, threads=2)  # the libraries and threads in place
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + 250 * 2**20, hard))
set_memory_budget("32M")
try:
    found = {call}
except MemoryError as e:
    print("refused:", e)
    raise SystemExit(0)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
set_memory_budget("100G")
whole = {call}
t0 = Time('2024-03-20')
key = lambda p: (p.satnum, p.station.name, None if p.rise is None else round(float(p.rise - t0), 3))
print("found", len(found), [key(p) for p in found] == [key(p) for p in whole])
"""


@pytest.mark.parametrize(
    "call, expect",
    [
        # 600 satellites over 10 days take about 500 MB in one piece: in
        # groups within the budget they fit a limit of half that
        ("find_passes(cat, station, '2024-03-20', 864000.0, threads=2)", "found"),
        ("find_passes(cat[:1], station, '2024-03-20', 1e12, step=1e5, threads=2)", "refused"),
    ],
    ids=["streamed", "refused"],
)
def test_a_search_streams_within_the_memory_budget_or_is_refused_up_front(call, expect):
    code = BOUNDED_SEARCH.replace("{call}", call)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    if expect == "found":
        count, same = proc.stdout.split()[1:]
        assert int(count) > 10000 and same == "True"
    else:
        assert proc.stdout.startswith("refused: find_passes: this search needs about ")
        assert "more than the memory budget of 0.0312 GiB; take a shorter span" in proc.stdout


INTERRUPTED_SEARCH = """
import signal, sys, time
from velarion.cli import main
from velarion.passes import Station, find_passes
from velarion.propagators.analytical.sgp4 import load_tles

# A run started in the background inherits SIGINT ignored: take it back.
signal.signal(signal.SIGINT, signal.default_int_handler)
path = sys.argv[1]
print("start", flush=True)
t0 = time.monotonic()
if sys.argv[2] == "cli":
    status = main(["passes", "--tle", path, "--start", "2024-01-08", "--days", "1000", "-o", path + ".csv"])
    print(f"status {status}", flush=True)
else:
    try:
        find_passes(load_tles(path), Station(50.0, 5.0, 0.0), "2024-01-08", 1000 * 86400.0, progress=print)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@pytest.mark.parametrize("where", ["library", "cli"])
def test_a_long_search_stops_at_ctrl_c(where, tmp_path):
    # Geostationary orbits ten years past their epochs for 1,000 days: a
    # minute of work on a quiet machine, in few groups of satellites.
    import signal
    import time

    from velarion.conjunctions.catalogue import realistic_catalogue

    text = realistic_catalogue("2014-01-08", seed=1, scale=0.3).splitlines()
    geo = [k for k in range(0, len(text), 3) if text[k].startswith("GEO")]
    path = tmp_path / "geo.tle"
    path.write_text("\n".join("\n".join(text[k : k + 3]) for k in geo) + "\n")
    proc = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_SEARCH, str(path), where],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert proc.stdout is not None and proc.stdout.readline().strip() == "start"
        time.sleep(3.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 0, err[-2000:]
    last = out.splitlines()[-1]
    if where == "cli":
        assert last == "status 130" and err.splitlines()[-1] == "velarion passes: interrupted"
        assert not (tmp_path / "geo.tle.csv").exists()
    else:
        assert last == "interrupted" and not err
    assert waited < 10.0, waited


def test_the_command_line_says_what_a_search_beyond_the_memory_budget_needs(catalogue, tmp_path, capsys):
    from velarion.cli import main
    from velarion.utils.budget import budget

    path = tmp_path / "one.tle"
    path.write_text("\n".join((catalogue[0].name, *catalogue[0].lines)) + "\n")
    with budget("32M"):
        status = main(["passes", "--tle", str(path), "--start", START, "--days", "400", "--step", "60"])
    (line,) = capsys.readouterr().err.splitlines()
    assert status == 1 and line.startswith("velarion passes: error: find_passes: this search needs about ")
    assert "more than the memory budget of 0.0312 GiB; take a shorter span" in line


@pytest.mark.parametrize("select", ["highest", "next", "satellite"])
def test_the_sky_plot_draws_the_passes_it_selects_on_their_exact_tracks(select, catalogue, found):
    pytest.importorskip("matplotlib")
    from velarion.cli.plot import pass_tracks, select_tracks
    from velarion.passes.satellites import satellites_of

    station = STATIONS["north"]
    mine = [p for p in found if p.station is station]
    which = str(mine[0].satnum) if select == "satellite" else select
    chosen, note = select_tracks(mine, 4, which)
    assert chosen == sorted(chosen) and len(chosen) == 4 < len(mine)
    assert f"of {len(mine)} passes, the other {len(mine) - 4} in grey" in note
    rest = [p for k, p in enumerate(mine) if k not in chosen]
    if select == "highest":
        assert min(mine[k].max_elevation for k in chosen) >= max(p.max_elevation for p in rest)
    elif select == "next":
        assert chosen == [0, 1, 2, 3]
    else:
        ours = [k for k, p in enumerate(mine) if p.satnum == mine[0].satnum]
        assert chosen == ours[:4]
    # the tracks of all the chosen passes at once are each one's look angles
    sats, _ = satellites_of(catalogue)
    drawn = [mine[k] for k in chosen]
    az, el = pass_tracks(sats, list(STATIONS.values()), drawn, Time(START), 86400.0, points=7)
    compared = 0
    for p, a, e in zip(drawn, az, el, strict=True):
        if p.cut:
            continue
        compared += 1
        tle = next(t for t in catalogue if t.satnum == p.satnum)
        times = p.rise + np.linspace(0.0, 1.0, 7) * p.duration
        angles = look_angles(tle, station, times)
        assert np.allclose(e, angles.elevation, atol=1e-9) and np.allclose(a, angles.azimuth, atol=1e-9)
        assert e[0] == pytest.approx(10.0, abs=1e-3) and e.max() <= p.max_elevation + 1e-6
    assert compared


@pytest.mark.parametrize("quiet", [False, True])
def test_the_command_line_draws_one_sky_chart_per_station_and_says_which_passes(quiet, catalogue, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from velarion.cli import main

    path = tmp_path / "cat.tle"
    path.write_text("".join("\n".join((t.name, *t.lines)) + "\n" for t in catalogue))
    argv = ["passes", "--tle", str(path), "--start", START, "--plot", str(tmp_path / "sky.png"), "--plot-tracks", "3"]
    argv += ["--station", "Kiruna,67.857,20.964,402", "--station", "Canberra,-35.40,148.98,688", "--format", "csv"]
    status = main(argv + ["--quiet"] * quiet)
    out, err = capsys.readouterr()
    assert status == 0 and (tmp_path / "sky.png").read_bytes().startswith(b"\x89PNG")
    rows = out.splitlines()[1:]
    lines = err.splitlines()
    if quiet:
        assert lines == []
    else:
        assert [line.split(":")[1] for line in lines] == [" the sky plot over Kiruna", " the sky plot over Canberra"]
        total = sum(
            f"the 3 highest of {sum(name in r for r in rows)} passes" in line
            for line, name in zip(lines, ("Kiruna", "Canberra"), strict=True)
        )
        assert total == 2


def test_shadow_entries_and_exits_of_passes_match_sunlit(catalogue, tmp_path, capsys):
    # A geostationary satellite at the equinox passes the shadow once a day
    # in one pass of the whole span; the others are low orbits.
    from velarion.cli import main
    from velarion.conjunctions.catalogue import format_tle

    geo = load_tles(format_tle(90, START, 0.05, 100.0, 0.0002, 0.0, 0.0, 1.00274, 0.0, "GEO"))[0]
    sats = [*catalogue, geo]
    stations = [Station(0.0, lon, 0.0, f"E{lon:g}") for lon in (0.0, 120.0, 240.0)]
    found = find_passes(sats, stations, START, 86400.0, eclipses=True)
    plain = find_passes(sats, stations, START, 86400.0)
    assert [(p.satnum, p.station.name, p.max_elevation) for p in found] == [
        (p.satnum, p.station.name, p.max_elevation) for p in plain
    ]
    assert all(p.shadow_entry is None and p.shadow_exit is None for p in plain)
    crossings = {True: 0, False: 0}
    for p in found:
        sat = next(s for s in sats if s.satnum == p.satnum)
        lo = Time(START) if p.rise is None else p.rise
        hi = Time(START) + 86400.0 if p.set is None else p.set
        grid = lo + np.arange(0.0, float(hi - lo), 2.0)
        lit = sunlit(sat, grid)
        changes = np.flatnonzero(lit[1:] != lit[:-1])
        for when, entering in ((p.shadow_entry, True), (p.shadow_exit, False)):
            mine = [k for k in changes.tolist() if bool(lit[k]) == entering]
            if not mine:
                assert when is None
                continue
            assert 0.0 <= float(when - grid[mine[0]]) <= 2.0
            assert sunlit(sat, when + np.array([-0.005, 0.005])).tolist() == [entering, not entering]
            crossings[entering] += 1
    assert min(crossings.values()) >= 3
    assert any(p.satnum == 90 and p.shadow_entry is not None and p.shadow_exit is not None for p in found)
    # the command line's columns
    path = tmp_path / "cat.tle"
    path.write_text("".join("\n".join((t.name, *t.lines)) + "\n" for t in sats))
    where = [f"--station=E{s.lon:g},0,{s.lon:g},0" for s in stations]
    status = main(["passes", "--tle", str(path), "--start", START, "--eclipses", "--format", "json", *where])
    rows = json.loads(capsys.readouterr().out)
    assert status == 0 and len(rows) == len(found)
    for row, p in zip(rows, found, strict=True):
        for event in ("shadow_entry", "shadow_exit"):
            ours = getattr(p, event)
            assert (row[event] is None) == (ours is None)
            assert ours is None or abs(float(Time(row[event]) - ours)) <= 0.0005
