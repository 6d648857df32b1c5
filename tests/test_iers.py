"""velarion.iers: Earth orientation parameters from finals2000A."""

import math
import pathlib

import numpy as np
import pytest

import velarion.iers as iers
from velarion.iers import EOP, EOPRangeError

astropy_iers_data = pytest.importorskip("astropy_iers_data")

ARCSEC = math.pi / 648000.0
FILE = pathlib.Path(astropy_iers_data.IERS_A_FILE)
LINES = FILE.read_text().splitlines()


def _field(line, a, b):
    """Bytes a..b (1-based, inclusive) of a finals2000A line, or None if blank."""
    text = line[a - 1 : b].strip()
    return float(text) if text else None


def file_row(mjd):
    """The file's values for one day, read straight from its text, in rad and s."""
    for line in LINES:
        if _field(line, 8, 15) == mjd:
            break
    else:
        raise LookupError(mjd)

    def pick(b_cols, a_cols):
        b = _field(line, *b_cols) if b_cols else None
        return b if b is not None else _field(line, *a_cols)

    return {
        "pm_x": pick((135, 144), (19, 27)) * ARCSEC,
        "pm_y": pick((145, 154), (38, 46)) * ARCSEC,
        "ut1_utc": pick((155, 165), (59, 68)),
        "dX": (pick((166, 175), (98, 106)) or 0.0) * ARCSEC / 1000,
        "dY": (pick((176, 185), (117, 125)) or 0.0) * ARCSEC / 1000,
        "lod": (_field(line, 80, 86) or 0.0) / 1000,
        "has_dx": pick((166, 175), (98, 106)) is not None,
        "has_lod": _field(line, 80, 86) is not None,
    }


def tai_utc(mjd):
    """TAI-UTC (s) on a 1973+ date, from the leap-second file."""
    dat = None
    for line in pathlib.Path(astropy_iers_data.IERS_LEAP_SECOND_FILE).read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            parts = line.split()
            if float(parts[0]) <= mjd:
                dat = float(parts[-1])
    return dat


@pytest.fixture(autouse=True)
def _default_table():
    if iers.table().path != str(FILE):
        iers.load()
    shipped = iers.table()
    iers.set_out_of_range("raise")
    yield
    iers.load(shipped)
    iers.set_out_of_range("raise")


def _last_final_mjd():
    return max(_field(l, 8, 15) for l in LINES if l[16] == "I")


DAYS = {
    "first day": 41684.0,
    "Bulletin B era": 50000.0,
    "leap day": 57753.0,
    "after leap": 57754.0,
    "last final": _last_final_mjd(),
    "prediction": _last_final_mjd() + 40,
}


@pytest.mark.parametrize("mjd", DAYS.values(), ids=DAYS.keys())
def test_table_day_equals_the_file_row(mjd):
    row = file_row(mjd)
    e = EOP(np.array([mjd]))
    assert e.pm_x[0] == pytest.approx(row["pm_x"], rel=1e-15, abs=1e-22)
    assert e.pm_y[0] == pytest.approx(row["pm_y"], rel=1e-15, abs=1e-22)
    assert e.ut1_utc[0] == pytest.approx(row["ut1_utc"], rel=1e-15, abs=1e-16)
    if row["has_dx"]:
        assert e.dX[0] == pytest.approx(row["dX"], rel=1e-15, abs=1e-22)
        assert e.dY[0] == pytest.approx(row["dY"], rel=1e-15, abs=1e-22)
    if row["has_lod"]:
        assert e.lod[0] == pytest.approx(row["lod"], rel=1e-15, abs=1e-18)


def test_first_row_takes_bulletin_b_field_by_field():
    # 1973-01-02: Bulletin A UT1-UTC 0.8084178, Bulletin B 0.8075; LOD only in A.
    e = EOP(41684.0)
    assert e.ut1_utc[0] == 0.8075
    assert e.pm_x[0] == pytest.approx(0.143 * ARCSEC, rel=1e-15)
    assert e.dX[0] == pytest.approx(-18.637e-3 * ARCSEC, rel=1e-15)


@pytest.mark.parametrize("mjd", [50000.0, 58000.0, _last_final_mjd() + 10])
def test_midway_is_the_mean_of_neighbouring_days(mjd):
    a, b = file_row(mjd), file_row(mjd + 1)
    e = EOP([mjd + 0.5, mjd + 0.25])
    for key in ("pm_x", "pm_y", "ut1_utc", "dX", "dY"):
        assert getattr(e, key)[0] == pytest.approx((a[key] + b[key]) / 2, rel=1e-12, abs=1e-20), key
        assert getattr(e, key)[1] == pytest.approx(0.75 * a[key] + 0.25 * b[key], rel=1e-12, abs=1e-20), key


def test_ut1_is_continuous_as_ut1_tai_across_the_2016_leap_second():
    before, after = 57753.0, 57754.0
    a, b = file_row(before), file_row(after)
    assert tai_utc(before) == 36.0 and tai_utc(after) == 37.0
    # Midway through the leap day: interpolated in UT1-TAI, expressed with TAI-UTC = 36.
    mid = EOP(before + 0.5).ut1_utc[0]
    assert mid == pytest.approx(((a["ut1_utc"] - 36) + (b["ut1_utc"] - 37)) / 2 + 36, abs=1e-12)
    # Approaching midnight from both sides: UT1-UTC jumps by 1 s, UT1-TAI does not.
    eps = 1e-7
    e = EOP([after - eps, after, after + eps])
    ut1_tai = e.ut1_utc - np.array([36.0, 37.0, 37.0])
    assert e.ut1_utc[1] - e.ut1_utc[0] == pytest.approx(1.0, abs=1e-6)
    assert np.ptp(ut1_tai) < 1e-9


def test_ut1_utc_jumps_only_at_leap_seconds():
    tab = iers.table()
    t = np.arange(tab.first_mjd, tab.last_mjd, 0.25)
    u = EOP(t).ut1_utc
    jumps = t[1:][np.abs(np.diff(u)) > 0.5]
    leap_days = [
        float(line.split()[0])
        for line in pathlib.Path(astropy_iers_data.IERS_LEAP_SECOND_FILE).read_text().splitlines()
        if line.strip() and not line.startswith("#")
    ]
    assert 57754.0 in leap_days and 57204.0 in leap_days
    assert list(jumps) == [d for d in leap_days if tab.first_mjd < d <= tab.last_mjd]
    assert np.all(np.diff(u)[np.abs(np.diff(u)) > 0.5] > 0)  # every leap second so far was positive


def test_table_reports_its_range():
    tab = iers.table()
    assert tab.first_mjd == 41684.0
    assert tab.last_mjd == max(_field(l, 8, 15) for l in LINES if _field(l, 59, 68) is not None)
    assert len(tab) == int(tab.last_mjd - tab.first_mjd) + 1
    assert tab.path == str(FILE)
    with pytest.raises(ValueError):
        tab.pm_x[0] = 1.0  # the table's arrays are read-only


@pytest.mark.parametrize("where", ["before", "after"])
def test_outside_the_table_raises_naming_range_and_date(where):
    tab = iers.table()
    bad = tab.first_mjd - 0.5 if where == "before" else tab.last_mjd + 3.0
    with pytest.raises(EOPRangeError) as info:
        EOP([58000.0, bad])
    assert isinstance(info.value, ValueError)
    msg = str(info.value)
    assert repr(bad) in msg and repr(tab.first_mjd) in msg and repr(tab.last_mjd) in msg
    assert info.value.mjd == bad
    # The very ends are inside.
    EOP([tab.first_mjd, tab.last_mjd])


def test_hold_mode_keeps_end_values():
    tab = iers.table()
    assert iers.set_out_of_range("hold") == "raise"
    e = EOP([tab.first_mjd - 100, tab.last_mjd + 100, 1e7])
    ends = EOP([tab.first_mjd, tab.last_mjd])
    for key in ("pm_x", "pm_y", "dX", "dY", "lod"):
        ref = getattr(ends, key)
        assert getattr(e, key)[0] == ref[0], key
        assert getattr(e, key)[1] == ref[1] and getattr(e, key)[2] == ref[1], key
    # UT1-TAI is held: 100 days before the table lies the 1973-01-01 leap second.
    assert e.ut1_utc[0] == ends.ut1_utc[0] - 1.0
    assert e.ut1_utc[1] == ends.ut1_utc[1] == e.ut1_utc[2]
    assert iers.get_out_of_range() == "hold"
    assert iers.set_out_of_range("raise") == "hold"
    with pytest.raises(EOPRangeError):
        EOP(1e7)


@pytest.mark.parametrize("mode, exc", [("clip", ValueError), ("", ValueError), ("HOLD", ValueError), (1, TypeError)])
def test_unknown_mode_is_refused(mode, exc):
    with pytest.raises(exc):
        iers.set_out_of_range(mode)
    assert iers.get_out_of_range() == "raise"


def test_zero_table():
    with iers.use_zero_table() as tab:
        assert tab.is_zero and iers.table() is tab
        e = EOP([-1e6, 0.0, 60000.5, 1e9])
        for key in ("pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc"):
            assert np.array_equal(getattr(e, key), np.zeros(4)), key
        assert np.array_equal(e.mjd, [-1e6, 0.0, 60000.5, 1e9])
        with pytest.raises(ValueError):
            EOP(np.nan)
    assert not iers.table().is_zero
    iers.load_zero()
    assert EOP(1e9).ut1_utc[0] == 0.0
    iers.load()
    with pytest.raises(EOPRangeError):
        EOP(1e9)


@pytest.mark.parametrize(
    "value, n",
    [
        (60000.25, 1),
        (60000, 1),
        (np.float64(60000.25), 1),
        (np.array(60000.25), 1),
        ([60000.25, 60001.0], 2),
        (np.array([60000, 60001], dtype=np.int32), 2),
        (np.arange(60000.0, 60010.0)[::3], 4),
        (np.arange(60000.0, 60006.0).reshape(2, 3), 6),
        (np.array([60000.25], dtype=">f8"), 1),
        ([], 0),
        (np.zeros(0), 0),
    ],
)
def test_output_arrays(value, n):
    e = EOP(value)
    flat = np.asarray(value, dtype=np.float64).reshape(-1)
    assert np.array_equal(e.mjd, flat)
    for key in EOP.__slots__:
        a = getattr(e, key)
        assert isinstance(a, np.ndarray) and a.dtype == np.float64 and a.shape == (n,), key
        assert a.flags.writeable
    if n:
        ref = EOP(np.ascontiguousarray(flat))
        assert np.array_equal(e.ut1_utc, ref.ut1_utc) and np.array_equal(e.pm_y, ref.pm_y)


@pytest.mark.parametrize("value", [np.nan, [60000.0, np.nan], np.inf, [-np.inf]])
def test_non_finite_dates_are_refused(value):
    with pytest.raises(ValueError, match="finite"):
        EOP(value)


@pytest.mark.parametrize("value, exc", [(None, TypeError), ("60000", TypeError), (b"60000", TypeError), (1j, TypeError), ([[1, 2], [3]], ValueError)])
def test_bad_types(value, exc):
    with pytest.raises(exc):
        EOP(value)


def test_lod_filled_from_ut1_rate_where_the_file_has_none():
    tab = iers.table()
    given = [_field(l, 8, 15) for l in LINES if _field(l, 80, 86) is not None]
    last_given = max(given)
    lod = EOP(np.arange(last_given - 30, last_given + 60)).lod
    # Where both exist the derived rate and the given LOD agree to a few 0.1 ms,
    # so the filled values continue the given ones without a jump.
    assert abs(lod[31] - lod[30]) < 3e-4
    assert np.all(np.abs(lod) < 4e-3)
    # The rule used for the filling, checked where the file gives LOD:
    # LOD = -d(UT1-TAI)/dt, on average over 1000 days to 1 microsecond.
    t = np.arange(55000.0, 56000.0)
    e = EOP(t)
    ut1_tai = e.ut1_utc - np.interp(t, tab.mjd, tab.tai_utc)
    assert np.mean(-np.diff(ut1_tai)) == pytest.approx(np.mean(e.lod[:-1]), abs=1e-6)


def test_agrees_with_astropy_on_the_same_file():
    aiers = pytest.importorskip("astropy.utils.iers")
    a = aiers.IERS_A.open(str(FILE))
    rng = np.random.default_rng(7)
    tab = iers.table()
    mjd = np.concatenate([rng.uniform(tab.first_mjd, tab.last_mjd, 2000), [57753.9, 57754.1, 57753.5]])
    jd1, jd2 = mjd + 2400000.5, np.zeros_like(mjd)
    e = EOP(mjd)
    x, y = a.pm_xy(jd1, jd2)
    assert np.allclose(e.pm_x, x.to_value("rad"), rtol=0, atol=1e-14)
    assert np.allclose(e.pm_y, y.to_value("rad"), rtol=0, atol=1e-14)
    assert np.allclose(e.ut1_utc, a.ut1_utc(jd1, jd2).to_value("s"), rtol=0, atol=1e-9)
    inside = mjd < max(_field(l, 8, 15) for l in LINES if _field(l, 98, 106) is not None)
    dx, dy = a.dcip_xy(jd1[inside], jd2[inside])
    assert np.allclose(e.dX[inside], dx.to_value("rad"), rtol=0, atol=1e-14)
    assert np.allclose(e.dY[inside], dy.to_value("rad"), rtol=0, atol=1e-14)


def _write(tmp_path, lines, name="finals.txt"):
    p = tmp_path / name
    p.write_text("\n".join(lines) + "\n")
    return p


def test_load_another_file_and_back(tmp_path):
    i0 = next(i for i, l in enumerate(LINES) if _field(l, 8, 15) == 58000.0)
    p = _write(tmp_path, LINES[i0 : i0 + 30])
    tab = iers.load(p)
    assert iers.table() is tab and tab.path == str(p)
    assert (tab.first_mjd, tab.last_mjd) == (58000.0, 58029.0)
    assert EOP(58010.0).ut1_utc[0] == pytest.approx(file_row(58010.0)["ut1_utc"], abs=1e-15)
    with pytest.raises(EOPRangeError, match="58029.0"):
        EOP(58030.0)
    iers.load()
    assert iers.table().first_mjd == 41684.0 and iers.table() is not tab
    iers.load(tab)
    assert iers.table() is tab


def test_load_a_file_with_a_gap_interpolates_over_it(tmp_path):
    i0 = next(i for i, l in enumerate(LINES) if _field(l, 8, 15) == 58000.0)
    p = _write(tmp_path, LINES[i0 : i0 + 10] + LINES[i0 + 14 : i0 + 20])  # 58010..58013 missing
    iers.load(p)
    a, b = file_row(58009.0), file_row(58014.0)
    e = EOP([58011.0, 58009.0, 58014.0])
    assert e.pm_x[0] == pytest.approx(a["pm_x"] + 0.4 * (b["pm_x"] - a["pm_x"]), rel=1e-12)
    assert e.pm_x[1] == pytest.approx(a["pm_x"], rel=1e-15) and e.pm_x[2] == pytest.approx(b["pm_x"], rel=1e-15)
    assert EOP(58011.0).pm_x[0] == e.pm_x[0]


@pytest.mark.parametrize(
    "edit, match",
    [
        (lambda ls: [], "no line"),
        (lambda ls: ["x"] * 3, "no line"),
        (lambda ls: ls[:3] + [ls[3][:20] + "x.xxxxxx" + ls[3][28:]] + ls[4:], "line 4"),
        (lambda ls: ls[5:] + ls[:5], "not increasing"),
    ],
    ids=["empty", "not finals", "bad number", "unordered"],
)
def test_load_refuses_malformed_files(tmp_path, edit, match):
    i0 = next(i for i, l in enumerate(LINES) if _field(l, 8, 15) == 58000.0)
    p = _write(tmp_path, edit(LINES[i0 : i0 + 10]))
    with pytest.raises(ValueError, match=match):
        iers.load(p)
    assert iers.table().first_mjd == 41684.0  # the table in use is kept
