"""The space-weather table: both CelesTrak layouts, the shipped snapshot,
the span checks and hostile files."""

from __future__ import annotations

import numpy as np
import pytest

from velarion.propagators.numerical import spaceweather as sw

CSV_HEADER = (
    "DATE,BSRN,ND,KP1,KP2,KP3,KP4,KP5,KP6,KP7,KP8,KP_SUM,AP1,AP2,AP3,AP4,AP5,AP6,AP7,AP8,AP_AVG,CP,C9,ISN,"
    "F10.7_OBS,F10.7_ADJ,F10.7_DATA_TYPE,F10.7_OBS_CENTER81,F10.7_OBS_LAST81,F10.7_ADJ_CENTER81,F10.7_ADJ_LAST81"
)


@pytest.fixture(scope="module")
def table():
    return sw.SpaceWeather.default()


def test_default_snapshot_holds_published_storm_days(table):
    """The Halloween storms of 2003: daily Ap 204 and 191 (GFZ/NOAA)."""
    i = int(np.searchsorted(table.mjd, 52941.0))  # 2003-10-29
    assert table.mjd[i] == 52941.0
    np.testing.assert_array_equal(table.ap[i : i + 2], [204.0, 191.0])
    np.testing.assert_array_equal(table.ap3[i], [39, 27, 400, 207, 179, 179, 300, 300])
    assert table.f107[i] == 291.7 and table.f107a[i] == 146.8  # observed, not adjusted to 1 AU
    assert np.all(np.diff(table.mjd) == 1.0) and table.mjd[0] == 36112.0  # from 1957-10-01
    # read once, shared read-only
    assert sw.SpaceWeather.default() is table
    with pytest.raises(ValueError, match="read-only"):
        table.ap[0] = 1.0


def csv_from_txt_rows(path, first, count):
    """CSV rows made from the fixed-column file's observed rows, split by blanks."""
    out = [CSV_HEADER]
    with open(path) as f:
        lines = [line.split() for line in f if line[:4].isdigit() and len(line.split()) == 33]
    for t in lines[first : first + count]:
        date = f"{t[0]}-{t[1]}-{t[2]}"
        out.append(
            ",".join(
                [
                    date,
                    t[3],
                    t[4],
                    *t[5:13],
                    t[13],
                    *t[14:22],
                    t[22],
                    t[23],
                    t[24],
                    t[25],
                    t[30],
                    t[26],
                    "OBS",
                    t[31],
                    t[32],
                    t[28],
                    t[29],
                ]
            )
        )
    # a monthly prediction row: no Kp or Ap
    out.append("2041-10-01,2837,1,,,,,,,,,,,,,,,,,,,,,10,70.0,69.2,PRM,70.5,69.8,68.8,69.0")
    return "\n".join(out) + "\n"


def test_csv_and_txt_layouts_agree(table, tmp_path):
    path = tmp_path / "SW-All.csv"
    path.write_text(csv_from_txt_rows(sw.default_path(), 16800, 60))
    ours = sw.read_csv(path)
    i = int(np.searchsorted(table.mjd, ours.mjd[0]))
    for name in ("mjd", "f107", "f107a", "ap", "ap3"):
        np.testing.assert_array_equal(getattr(ours, name), getattr(table, name)[i : i + 60], err_msg=name)


def test_span_checks_name_the_range(table):
    table.check_span(table.first_mjd + 3, table.last_mjd + 0.9)
    with pytest.raises(ValueError, match=r"outside the space-weather table .*serves 1957-10-04 to"):
        table.check_span(table.first_mjd, table.first_mjd + 10)
    with pytest.raises(ValueError, match="give a newer table, constant indices, or hold the ends"):
        table.check_span(table.last_mjd - 1, table.last_mjd + 2)
    table.check_span(table.last_mjd - 1, table.last_mjd + 400, hold=True)
    constant = sw.SpaceWeather.constant(120.0, 130.0, 9.0)
    constant.check_span(0.0, 1e6)
    assert constant.packed() is None
    packed = table.packed(ap_history=True)
    assert packed[:3].tolist() == [table.first_mjd, len(table.mjd), 1.0]
    assert packed.size == 3 + sw.WEATHER_COLUMNS * len(table.mjd)
    with pytest.raises(ValueError, match="non-negative"):
        sw.SpaceWeather.constant(-1.0)


@pytest.mark.parametrize(
    "text,message",
    [
        ("", "empty file"),
        ("DATE,AP1\n2000-01-01,3\n", "missing"),
        (CSV_HEADER + "\n2000-01-01,1,2\n", "3 fields, the header has 31"),
        (CSV_HEADER + "\n" + "2000-13-01" + ",0" * 30 + "\n", "line 2"),
        (CSV_HEADER + "\n" + "\n".join(f"2000-01-0{d}" + ",1" * 30 for d in (1, 3)) + "\n", "not consecutive"),
        (CSV_HEADER + "\n" + "2000-01-01" + ",-1" * 30 + "\n", "negative"),
        ("\x00\x01binary", "NUL"),
    ],
    ids=["empty", "no header", "short row", "bad date", "gap", "negative", "binary"],
)
def test_hostile_csv_refused(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_bytes(text.encode("latin-1"))
    with pytest.raises(ValueError, match=message):
        sw.read_csv(path)


def test_hostile_txt_refused(tmp_path):
    path = tmp_path / "bad.txt"
    path.write_text("BEGIN OBSERVED\n2000 01 01 short\nEND OBSERVED\n")
    with pytest.raises(ValueError, match=r"line 2: .* a daily row has 130"):
        sw.read_txt(path)
    path.write_text("nothing here\n")
    with pytest.raises(ValueError, match="no daily space-weather rows"):
        sw.read_txt(path)
