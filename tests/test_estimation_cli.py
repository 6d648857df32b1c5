"""``velarion fit-tle`` and ``velarion od``."""

import csv
import io
import json
import math

import numpy as np
import pytest

from velarion.cli import main
from velarion.cli.csvio import format_rows
from velarion.estimation import KINDS, simulate
from velarion.frames.frames import get_GCRF, get_ITRF, get_TEME
from velarion.passes.stations import Station
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4.sgp4 import SGP4
from velarion.propagators.analytical.sgp4.tle import TLE
from velarion.state.state import StateVector

ISS = TLE(
    "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991",
    "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482",
)
STATIONS = [
    Station(50.0006, 5.1453, 385.0, "Redu"),
    Station(40.4272, -4.2506, 834.0, "Madrid"),
    Station(64.8, -147.5, 200.0, "Fairbanks"),
]


def run(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def gcrf_day():
    eph = SGP4(ISS).propagate(ISS.epoch + np.arange(0.0, 86400.0, 120.0))
    ri, vi = get_TEME().to_ITRF(eph.time, eph.r, eph.v)
    rg, vg = get_ITRF().to_GCRF(eph.time, ri, vi)
    return eph.time, np.asarray(rg), np.asarray(vg)


@pytest.mark.parametrize("fmt", ["tle", "json", "omm"])
def test_fit_tle_writes_the_refitted_element_set(tmp_path, capsys, gcrf_day, fmt):
    path = tmp_path / "states.csv"
    path.write_text(format_rows(*gcrf_day))
    status, out, err = run(["fit-tle", "--states", str(path), "--satnum", "25544", "--format", fmt], capsys)
    assert status == 0, err
    if fmt == "tle":
        lines = out.splitlines()
        assert TLE(*lines).lines[1][:63] == ISS.lines[1][:63]
        assert "position RMS 0.0" in err
    elif fmt == "json":
        doc = json.loads(out)
        assert doc["report"]["position_rms"] < 0.05 and doc["tle"][1][:63] == ISS.lines[1][:63]
    else:
        (omm,) = json.loads(out)
        assert abs(omm["INCLINATION"] - 51.6439) < 1e-6 and omm["NORAD_CAT_ID"] == 25544


def test_fit_tle_reads_an_oem_as_the_states_csv(tmp_path, capsys, gcrf_day):
    from velarion.io import oem
    from velarion.state.ephemeris import StateVectorEphemeris

    time, rg, vg = gcrf_day
    oem.write(
        tmp_path / "iss.oem",
        StateVectorEphemeris(time.utc, rg, vg, get_GCRF()),
        object_name="ISS",
        object_id="1998-067A",
    )
    (tmp_path / "states.csv").write_text(format_rows(*gcrf_day))
    outs = []
    for source in (["--oem", str(tmp_path / "iss.oem")], ["--states", str(tmp_path / "states.csv")]):
        status, out, err = run(["fit-tle", *source, "--satnum", "25544"], capsys)
        assert status == 0, err
        outs.append(out)
    assert outs[0] == outs[1] and TLE(*outs[0].splitlines()).lines[1][:63] == ISS.lines[1][:63]


def _observation_files(tmp_path, gcrf_day):
    time, rg, vg = gcrf_day
    state = StateVector(time[0], rg[0].tolist(), vg[0].tolist())
    truth = Keplerian().propagate(time[0] + np.arange(0.0, 6 * 3600.0, 30.0), state)
    sig = {"range": 5.0, "range_rate": 0.01, "azimuth": 3e-4, "elevation": 3e-4}
    obs = simulate(truth, STATIONS, sig, seed=1)
    rows = ["time,station,kind,value,sigma"]
    for k in range(len(obs)):
        kind = KINDS[obs.kind[k]]
        unit = math.degrees(1.0) if kind in ("azimuth", "elevation") else 1.0
        rows.append(
            f"{obs.time[k].iso},{STATIONS[obs.station[k]].name},{kind},"
            f"{float(obs.value[k]) * unit!r},{float(obs.sigma[k]) * unit!r}"
        )
    (tmp_path / "obs.csv").write_text("\n".join(rows) + "\n")
    (tmp_path / "stations.csv").write_text(
        "name,lat,lon,alt\n" + "".join(f"{s.name},{s.lat},{s.lon},{s.alt}\n" for s in STATIONS)
    )
    (tmp_path / "iss.tle").write_text("\n".join(ISS.lines) + "\n")
    return state


def test_od_recovers_the_simulated_state(tmp_path, capsys, gcrf_day):
    state = _observation_files(tmp_path, gcrf_day)
    base = ["od", "--observations", str(tmp_path / "obs.csv"), "--stations", str(tmp_path / "stations.csv")]
    base += ["--epoch", str(state.time.iso)]
    status, out, err = run([*base, "--initial", str(tmp_path / "iss.tle"), "--format", "json"], capsys)
    assert status == 0, err
    doc = json.loads(out)
    err_pos = np.array(doc["values"][:3]) - np.asarray(state.r)
    assert np.all(np.abs(err_pos) < 4 * np.array(doc["sigma"][:3]))
    assert set(doc["rms"]) == {"range", "range_rate", "azimuth", "elevation"}
    status, out, err = run([*base, "--initial", str(tmp_path / "iss.tle"), "--format", "csv"], capsys)
    rows = list(csv.DictReader(io.StringIO(out)))
    assert status == 0 and len(rows) == len(doc["residuals"])
    status, out, err = run([*base, "--initial", str(tmp_path / "iss.tle")], capsys)
    assert status == 0 and out.startswith("Estimated GCRF state at 2019-12-09T16:38:29")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["fit-tle", "--oem", "{bad}"], "--oem:"),
        (
            ["od", "--observations", "{obs}", "--stations", "{stations}", "--sv", "1", "2", "3", "4", "5", "6"],
            "--sv needs --epoch",
        ),
        (["od", "--observations", "{bad}", "--stations", "{stations}", "--initial", "{tle}"], "unknown kind 'ranges'"),
        (
            ["od", "--observations", "{nostation}", "--stations", "{stations}", "--initial", "{tle}"],
            "no station named 'Kourou'",
        ),
    ],
)
def test_bad_input_is_one_line_and_status_1(tmp_path, capsys, gcrf_day, argv, message):
    _observation_files(tmp_path, gcrf_day)
    (tmp_path / "bad.csv").write_text("time,station,kind,value,sigma\n2019-12-09T17:00:00,Redu,ranges,1,1\n")
    (tmp_path / "nostation.csv").write_text("time,station,kind,value,sigma\n2019-12-09T17:00:00,Kourou,range,1,1\n")
    names = {
        "obs": tmp_path / "obs.csv",
        "stations": tmp_path / "stations.csv",
        "bad": tmp_path / "bad.csv",
        "nostation": tmp_path / "nostation.csv",
        "tle": tmp_path / "iss.tle",
    }
    status, _, err = run([a.format(**names) for a in argv], capsys)
    assert status == 1 and message in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("command", ["fit-tle", "od"])
@pytest.mark.parametrize("place", ["input", "missing folder"])
def test_outputs_never_replace_inputs_nor_go_nowhere(tmp_path, capsys, gcrf_day, command, place):
    _observation_files(tmp_path, gcrf_day)
    (tmp_path / "states.csv").write_text(format_rows(*gcrf_day))
    if command == "fit-tle":
        argv, source = ["fit-tle", "--states", str(tmp_path / "states.csv")], tmp_path / "states.csv"
    else:
        argv = ["od", "--observations", str(tmp_path / "obs.csv"), "--stations", str(tmp_path / "stations.csv")]
        argv += ["--initial", str(tmp_path / "iss.tle")]
        source = tmp_path / "obs.csv"
    before = source.read_text()
    target = source if place == "input" else tmp_path / "missing" / "out.txt"
    status, out, err = run([*argv, "-o", str(target)], capsys)
    assert status == 1 and out == "" and f"cannot write the output {str(target)!r}" in err
    assert source.read_text() == before
