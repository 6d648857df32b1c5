"""velarion.iers: Earth orientation parameters from finals2000A."""

import math
import pathlib
import pickle
import subprocess
import sys
import textwrap
import threading

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
    return max(_field(line, 8, 15) for line in LINES if line[16] == "I")


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
    assert tab.last_mjd == max(_field(line, 8, 15) for line in LINES if _field(line, 59, 68) is not None)
    assert len(tab) == int(tab.last_mjd - tab.first_mjd) + 1
    assert tab.path == str(FILE)
    with pytest.raises(ValueError):
        tab.pm_x[0] = 1.0  # the table's arrays are read-only


# --- the table in use cannot be changed under the evaluation ------------------


@pytest.mark.parametrize(
    "name",
    ["mjd", "pm_x", "ut1_utc", "tai_utc", "first_mjd", "last_mjd", "path", "_packed", "_uniform", "new_attribute"],
)
def test_table_attributes_cannot_be_rebound(name):
    tab = iers.table()
    with pytest.raises(AttributeError, match="read-only"):
        setattr(tab, name, np.zeros(3))
    with pytest.raises(AttributeError, match="read-only"):
        delattr(tab, name)
    with pytest.raises(TypeError, match="initialised again"):
        tab.__init__(None, None, (tab._leap_mjd, tab._leap_dat))


@pytest.mark.parametrize("name", ["mjd", "pm_x", "dX", "lod", "ut1_utc", "tai_utc", "_packed"])
def test_table_arrays_cannot_be_written(name):
    a = getattr(iers.table(), name)
    with pytest.raises(ValueError):
        a[..., 0] = 1.0
    for owner in (a, a.base):
        with pytest.raises(ValueError, match="WRITEABLE"):
            owner.flags.writeable = True


def run_python(code):
    """Runs code in a fresh interpreter: (exit status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def test_rebinding_the_dates_of_the_table_in_use_is_refused():
    status, _, err = run_python("""
        import velarion.iers
        tab = velarion.iers.table()
        tab.mjd = tab.mjd[0] + (tab.mjd - tab.mjd[0]) * 1000.0
    """)
    assert status == 1 and "AttributeError" in err and "read-only" in err


def test_evaluation_reads_no_row_past_the_table():
    # Past the attribute guard (object.__setattr__) and straight into the
    # evaluation: a grid that claims to be uniform daily but spans 1000 times
    # as many days reads its last row, never one past it.
    status, out, err = run_python("""
        import numpy as np
        import velarion.iers as iers
        from velarion.iers._interp import evaluate
        packed = np.zeros((5, 12))
        packed[:, :6] = np.arange(5.0)[:, None]
        mjd = np.arange(5.0) * 1000.0
        status, k, t, pm_x, *_ = evaluate(np.array([3999.5, 2500.0, 0.0]), packed, mjd, True, False)
        print(status, *pm_x)
        tab = iers.table()
        object.__setattr__(tab, "mjd", tab.mjd[0] + (tab.mjd - tab.mjd[0]) * 1000.0)
        e = iers.EOP(tab.mjd[-1] - 1.0)
        print(np.isfinite(e.pm_x).all(), e.pm_x[0] == tab.pm_x[-1])
    """)
    assert status == 0, err
    assert out.split() == ["0", "4.0", "4.0", "0.0", "True", "True"]


@pytest.mark.parametrize(
    "dates, hold, code, index",
    [
        ([1.5, 3.0], False, "OK", -1),
        ([1.5, 9.0, -2.0], True, "HELD", -1),
        ([1.5, 9.0, np.nan], True, "NON_FINITE", 2),
        ([1.5, 9.0, np.nan], False, "OUT_OF_RANGE", 1),
        ([np.inf, 9.0, 1.5], False, "NON_FINITE", 0),
        ([1.5, 2.0, -2.0], True, "HELD", -1),
    ],
)
@pytest.mark.parametrize("spread", [False, True])
def test_evaluation_returns_the_status_codes_the_extension_exports(dates, hold, code, index, spread):
    # velarion.iers reads the codes by name from the extension: each outcome
    # must come back as the constant of its name. Spread over many in-range
    # dates, the dates fall in different threads' ranges: the outcome is
    # still that of the first date that fails.
    from velarion.iers import _interp

    t = np.array(dates)
    if spread:
        t = np.full(2**19 + 5, 1.5)
        where = np.linspace(0, t.size - 1, len(dates)).astype(int)
        t[where] = dates
        index = int(where[index]) if index >= 0 else index
    status, k, *_ = _interp.evaluate(t, np.zeros((4, 12)), np.arange(4.0), True, hold)
    assert (status, k) == (getattr(_interp, code), index)


def _columns():
    tab = iers.table()
    cols = {k: np.array(getattr(tab, k)[:10]) for k in ("mjd", "tai_utc", "pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc")}
    cols["ut1_tai"] = cols["ut1_utc"] - cols["tai_utc"]
    return cols, (tab._leap_mjd, tab._leap_dat)


@pytest.mark.parametrize(
    "edit, match",
    [
        (lambda c: c.pop("lod"), "'lod' is missing"),
        (lambda c: c.update(pm_x=c["pm_x"][:9]), "'pm_x' has 9 days"),
        (lambda c: c.update(mjd=c["mjd"][::-1].copy()), "increasing"),
        (lambda c: c.update(mjd=np.r_[c["mjd"][:5], c["mjd"][4:9]]), "increasing"),
        (lambda c: c["ut1_utc"].__setitem__(3, np.nan), "'ut1_utc' holds a NaN"),
        (lambda c: c["mjd"].__setitem__(9, np.inf), "'mjd' holds a NaN or an infinity"),
        (lambda c: c.update(dX=c["dX"].reshape(2, 5)), "'dX' must be a non-empty one-dimensional"),
        (lambda c: [c.__setitem__(k, np.zeros(0)) for k in list(c)], "non-empty"),
    ],
    ids=[
        "missing column",
        "short column",
        "decreasing dates",
        "duplicate date",
        "NaN value",
        "infinite date",
        "two-dimensional",
        "empty",
    ],
)
def test_hand_made_tables_are_checked(edit, match):
    cols, leap = _columns()
    edit(cols)
    with pytest.raises(ValueError, match=match):
        iers.EOPTable("hand-made", cols, leap)


def test_table_pickles_to_an_equal_table():
    tab = iers.table()
    back = pickle.loads(pickle.dumps(tab))
    assert (back.path, back.first_mjd, back.last_mjd, len(back)) == (tab.path, tab.first_mjd, tab.last_mjd, len(tab))
    assert np.array_equal(back._packed, tab._packed) and back._uniform == tab._uniform
    iers.load(back)
    t = np.linspace(tab.first_mjd, tab.last_mjd, 1001)
    iers.load(tab)
    expected = EOP(t).ut1_utc
    iers.load(back)
    assert np.array_equal(EOP(t).ut1_utc, expected)
    assert pickle.loads(pickle.dumps(EOPTableZero := iers.EOPTable(None, None, (tab._leap_mjd, tab._leap_dat)))).is_zero
    assert EOPTableZero.is_zero


# --- use_zero_table: each block ends itself, whatever the order and thread ----


def _zero_in_force():
    return iers.table().is_zero and EOP(60000.0).ut1_utc[0] == 0.0


def test_zero_blocks_ending_out_of_order():
    outer, inner = iers.use_zero_table(), iers.use_zero_table()
    a = outer.__enter__()
    b = inner.__enter__()
    assert iers.table() is b and _zero_in_force()
    outer.__exit__(None, None, None)  # the outer block ends first
    assert iers.table() is b and _zero_in_force()
    inner.__exit__(None, None, None)
    assert not iers.table().is_zero and EOP(60000.0).ut1_utc[0] != 0.0
    assert a.is_zero and a is not b


def test_zero_block_ended_in_another_thread():
    # A generator holding a block, started here and finished in a thread:
    # the block ends for this thread too.
    def holder():
        with iers.use_zero_table():
            yield

    gen = holder()
    next(gen)
    assert _zero_in_force()
    worker = threading.Thread(target=lambda: next(gen, None))
    worker.start()
    worker.join()
    assert not iers.table().is_zero and EOP(60000.0).ut1_utc[0] != 0.0


def test_zero_block_covers_its_own_thread_only():
    entered, leave = threading.Event(), threading.Event()
    seen = []

    def block():
        with iers.use_zero_table():
            seen.append(_zero_in_force())
            entered.set()
            leave.wait(30)
            seen.append(_zero_in_force())

    worker = threading.Thread(target=block)
    worker.start()
    entered.wait(30)
    here = EOP(60000.0).ut1_utc[0]
    leave.set()
    worker.join()
    assert seen == [True, True]
    assert here != 0.0 and not iers.table().is_zero


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


@pytest.mark.parametrize(
    "value, exc",
    [
        (None, TypeError),
        ("60000", TypeError),
        (b"60000", TypeError),
        (1j, TypeError),
        ([[1, 2], [3]], ValueError),
        (np.array([60000 + 1j]), TypeError),
        (np.array(["60000"]), TypeError),
        (np.array(["2024-01-01"], dtype="datetime64[D]"), TypeError),
    ],
)
def test_bad_types(value, exc):
    with pytest.raises(exc):
        EOP(value)


def test_lod_filled_from_ut1_rate_where_the_file_has_none():
    tab = iers.table()
    given = [_field(line, 8, 15) for line in LINES if _field(line, 80, 86) is not None]
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
    inside = mjd < max(_field(line, 8, 15) for line in LINES if _field(line, 98, 106) is not None)
    dx, dy = a.dcip_xy(jd1[inside], jd2[inside])
    assert np.allclose(e.dX[inside], dx.to_value("rad"), rtol=0, atol=1e-14)
    assert np.allclose(e.dY[inside], dy.to_value("rad"), rtol=0, atol=1e-14)


def _write(tmp_path, lines, name="finals.txt"):
    p = tmp_path / name
    p.write_text("\n".join(lines) + "\n")
    return p


def test_load_another_file_and_back(tmp_path):
    i0 = next(i for i, line in enumerate(LINES) if _field(line, 8, 15) == 58000.0)
    p = _write(tmp_path, LINES[i0 : i0 + 30])
    tab = iers.load(p)
    assert iers.table() is tab and tab.path == str(p)
    assert (tab.first_mjd, tab.last_mjd) == (58000.0, 58029.0)
    assert EOP(58010.0).ut1_utc[0] == pytest.approx(file_row(58010.0)["ut1_utc"], abs=1e-15)
    with pytest.raises(EOPRangeError, match=r"58029\.0"):
        EOP(58030.0)
    iers.load()
    assert iers.table().first_mjd == 41684.0 and iers.table() is not tab
    iers.load(tab)
    assert iers.table() is tab
    assert iers.load(bytes(p)).path == str(p)


def test_load_a_file_with_a_gap_interpolates_over_it(tmp_path):
    i0 = next(i for i, line in enumerate(LINES) if _field(line, 8, 15) == 58000.0)
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
        (lambda ls: [*ls[:3], ls[3][:20] + "x.xxxxxx" + ls[3][28:], *ls[4:]], "line 4"),
        (lambda ls: ls[5:] + ls[:5], "not increasing"),
        (lambda ls: [*ls[:2], ls[2][:18] + "      nan" + ls[2][27:], *ls[3:]], "line 3, columns 19-27: pm_x 'nan'"),
        (lambda ls: [*ls[:2], ls[2][:58] + "       inf" + ls[2][68:], *ls[3:]], "line 3, columns 59-68: ut1_utc 'inf'"),
        (lambda ls: [*ls[:2], ls[2][:79] + "  1e999" + ls[2][86:], *ls[3:]], "lod '1e999' is not a finite number"),
        (lambda ls: ls[:4] + ls[3:], "not increasing"),
        (lambda ls: [*ls[:2], ls[2][:79] + "  999.0" + ls[2][86:], *ls[3:]], "line 3: lod 999.0 is not a plausible"),
        (lambda ls: ["\x00\xff" * 90] * 5, "line 1, columns 8-15: MJD .* is not a number"),
    ],
    ids=[
        "empty",
        "not finals",
        "bad number",
        "unordered",
        "nan",
        "inf",
        "overflow",
        "duplicate day",
        "LOD in us",
        "binary",
    ],
)
def test_load_refuses_malformed_files(tmp_path, edit, match):
    i0 = next(i for i, line in enumerate(LINES) if _field(line, 8, 15) == 58000.0)
    p = _write(tmp_path, edit(LINES[i0 : i0 + 10]))
    with pytest.raises(ValueError, match=match):
        iers.load(p)
    assert iers.table().first_mjd == 41684.0  # the table in use is kept
