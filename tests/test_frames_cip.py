"""Interpolated CIP (velarion.frames.interpolated_cip): X, Y and s against
the IAU 2000A series at the epoch itself over centuries, for dense, sparse,
shuffled and single epochs; positions and velocities against the exact path;
the setting local to its thread and task, nested and restored on any exit,
read once per call; the command line inside it unless --exact-cip."""

import asyncio
import contextvars
import threading
from types import SimpleNamespace

import erfa
import numpy as np
import pytest

import velarion.frames
import velarion.iers
from velarion.cli import main
from velarion.frames import frames as ff
from velarion.frames import interpolated_cip
from velarion.time.time import Time

GCRF, ITRF = ff.get_GCRF(), ff.get_ITRF()
J2000 = 2451545.0


@pytest.fixture
def cip_matrix(monkeypatch):
    """Columns 0 and 1 of the celestial-to-terrestrial matrix M of each epoch of a TT Time,
    through GCRF.to_ITRF of the unit vectors x (positions) and y (velocities).

    The Earth orientation values are zero but lod = 86400 s, which makes the Earth
    rotation rate zero: the velocities then convert as M.v, like the positions. With
    no polar motion and no pole offsets, M's third row is the CIP's unit vector
    (X, Y, .) to the last bits, and s turns columns 0 and 1 about the z axis.
    Dates outside the Earth orientation tables hold their UT1-UTC (UT1 is unused
    here beyond the rotation angle, the same on both paths)."""
    monkeypatch.setattr(
        ff,
        "EOP",
        lambda mjd: SimpleNamespace(
            **{k: np.zeros(len(mjd)) for k in ("pm_x", "pm_y", "dX", "dY")}, lod=np.full(len(mjd), 86400.0)
        ),
    )
    previous = velarion.iers.set_out_of_range("hold")

    def columns(t):
        n = t.tt.jd12.reshape(-1, 2).shape[0]
        ex, ey = np.tile([1.0, 0.0, 0.0], (n, 1)), np.tile([0.0, 1.0, 0.0], (n, 1))
        return GCRF.to_ITRF(t, ex, ey)

    yield columns
    velarion.iers.set_out_of_range(previous)


def tt_dates(days_from_j2000):
    return Time.from_jd(J2000 + np.asarray(days_from_j2000, float), scale="tt")


RNG = np.random.default_rng(11)
EPOCH_SETS = {
    # 1800 to 2200, a few hundred epochs far apart: ten nodes each.
    "centuries, sparse": RNG.uniform(-200 * 365.25, 200 * 365.25, 300),
    # Two days at 60 s: hundreds of epochs per 6-hour interval.
    "two days at 60 s": 8700.0 + np.arange(2880) / 1440.0,
    # The same days in random order, and epochs on nodes and a bit off them.
    "shuffled, on and beside nodes": RNG.permutation(
        np.concatenate(
            [
                8700.0 + np.arange(2880) / 1440.0,
                np.arange(-8, 9) * 0.25 + 8700.0,
                np.nextafter(np.arange(-8, 9) * 0.25 + 8700.0, -np.inf),
                np.nextafter(np.arange(-8, 9) * 0.25 - 9000.0, np.inf),
            ]
        )
    ),
    "a single epoch": np.array([-12345.678901]),
}


@pytest.mark.parametrize("days", EPOCH_SETS.values(), ids=EPOCH_SETS.keys())
def test_x_y_s_within_1e_15_rad_of_the_series(days, cip_matrix):
    t = tt_dates(days)
    tt = t.tt.jd12.reshape(-1, 2)
    X, Y, _ = erfa.xys00a(tt[:, 0], tt[:, 1])
    c0_exact, _ = cip_matrix(t)
    with interpolated_cip():
        c0, c1 = cip_matrix(t)
    assert np.abs(c0[:, 2] - X).max() <= 1e-15
    assert np.abs(c1[:, 2] - Y).max() <= 1e-15
    # The turn about z between the two paths' first columns: s's difference.
    turn = np.arctan2(
        c0_exact[:, 0] * c0[:, 1] - c0_exact[:, 1] * c0[:, 0], c0_exact[:, 0] * c0[:, 0] + c0_exact[:, 1] * c0[:, 1]
    )
    assert np.abs(turn).max() <= 1e-15


def test_an_epoch_depends_on_its_own_date_only(cip_matrix):
    # Its values do not change with the other epochs of the call or their order,
    # and on a node they are the series' own, bit for bit.
    days = EPOCH_SETS["two days at 60 s"]
    order = RNG.permutation(days.size)
    nodes = np.arange(-3, 4) * 0.25 + 8700.0
    with interpolated_cip():
        together = cip_matrix(tt_dates(days))
        shuffled = cip_matrix(tt_dates(days[order]))
        alone = [cip_matrix(tt_dates(days[i : i + 1])) for i in (0, 1, 700, 2879)]
        on_nodes = cip_matrix(tt_dates(nodes))
    for a, b in zip(together, shuffled, strict=True):
        np.testing.assert_array_equal(a[order], b)
    for i, single in zip((0, 1, 700, 2879), alone, strict=True):
        for a, b in zip(together, single, strict=True):
            np.testing.assert_array_equal(a[i : i + 1], b)
    for a, b in zip(on_nodes, cip_matrix(tt_dates(nodes)), strict=True):
        np.testing.assert_array_equal(a, b)


class OddDates(Time):
    """A Time whose TT view gives chosen dates (a subclass may give any)."""

    dates = np.zeros((0, 2))

    @property
    def tt(self):
        return SimpleNamespace(jd12=type(self).dates)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e300, -1e300, 2.0**60])
def test_dates_off_the_grid_take_the_series_as_the_exact_path_does(bad, cip_matrix):
    # Beside a date on the grid, which the call interpolates.
    t = OddDates.from_mjd(np.full(3, 60000.0))
    OddDates.dates = np.array([[J2000, 0.1], [bad, 0.0], [J2000, bad]])
    exact = cip_matrix(t)
    with interpolated_cip():
        for a, b in zip(cip_matrix(t), exact, strict=True):
            np.testing.assert_array_equal(a[1:], b[1:])
            assert np.abs(a[0] - b[0]).max() <= 1e-15


def leo_to_geo(n, seed=5):
    rng = np.random.default_rng(seed)
    u = rng.normal(size=(n, 3))
    radius = np.linspace(6.6e6, 4.3e7, n)[:, None]
    r = u / np.linalg.norm(u, axis=1, keepdims=True) * radius
    v = np.cross(r, rng.normal(size=(n, 3)))
    v *= np.sqrt(3.986e14 / radius) / np.linalg.norm(v, axis=1, keepdims=True)
    return r, v


@pytest.mark.parametrize("how", ["GCRF.to_ITRF", "ITRF.to_GCRF", "transform_to TEME"])
def test_positions_and_velocities_agree_with_the_exact_path(how):
    # One day at 10 s with the IERS data, LEO to GEO.
    velarion.frames.register_standard_transforms()
    t = Time.from_mjd(60390.0 + np.arange(8640) / 8640.0, scale="utc")
    r, v = leo_to_geo(8640)
    convert = {
        "GCRF.to_ITRF": GCRF.to_ITRF,
        "ITRF.to_GCRF": ITRF.to_GCRF,
        "transform_to TEME": lambda *a: GCRF.transform_to("TEME", *a),
    }[how]
    r_exact, v_exact = map(np.asarray, convert(t, r, v))
    with interpolated_cip():
        r_fast, v_fast = map(np.asarray, convert(t, r, v))
    assert np.abs(r_fast - r_exact).max() <= 1e-7
    assert np.abs(v_fast - v_exact).max() <= 1e-10
    assert not np.array_equal(r_fast, r_exact)  # it did interpolate


# --- the setting -------------------------------------------------------------

T = Time.from_mjd(60390.0 + np.arange(40) * 0.0137, scale="utc")
R, V = leo_to_geo(40)


@pytest.fixture(scope="module")
def results():
    """GCRF.to_ITRF of T, R, V on each path: which one a call took."""
    exact = GCRF.to_ITRF(T, R, V)
    with interpolated_cip():
        fast = GCRF.to_ITRF(T, R, V)
    assert not np.array_equal(exact[0], fast[0])

    def path():
        got = GCRF.to_ITRF(T, R, V)
        for name, ref in (("exact", exact), ("interpolated", fast)):
            if all(np.array_equal(a, b) for a, b in zip(got, ref, strict=True)):
                return name
        raise AssertionError("neither path's results")

    return path


def test_nested_blocks_and_exits_by_exception_restore_the_setting(results):
    assert results() == "exact"
    with interpolated_cip():
        assert results() == "interpolated"
        with interpolated_cip(False):
            assert results() == "exact"
            with pytest.raises(KeyError), interpolated_cip():
                assert results() == "interpolated"
                raise KeyError("x")
            assert results() == "exact"
        assert results() == "interpolated"
        with pytest.raises(ZeroDivisionError), interpolated_cip(False):
            _ = 1 / 0
        assert results() == "interpolated"
    assert results() == "exact"
    with pytest.raises(TypeError, match="enabled must be a bool, not int"), interpolated_cip(1):  # type: ignore[arg-type]
        pass
    assert results() == "exact"


def test_the_setting_is_local_to_the_thread(results):
    inside, outside = threading.Barrier(2), threading.Barrier(2)
    seen = {}

    def other():
        with interpolated_cip():
            inside.wait()  # the main thread converts now, outside any block
            outside.wait()
            seen["other, in its block"] = results()
        seen["other, after"] = results()

    thread = threading.Thread(target=other)
    thread.start()
    inside.wait()
    seen["main, while the other is in its block"] = results()
    with interpolated_cip():
        outside.wait()
        thread.join()
        seen["main, in its own block"] = results()
    assert seen == {
        "main, while the other is in its block": "exact",
        "other, in its block": "interpolated",
        "other, after": "exact",
        "main, in its own block": "interpolated",
    }
    # A thread started inside a block does not inherit it.
    with interpolated_cip():
        thread = threading.Thread(target=lambda: seen.update(started_inside=results()))
        thread.start()
        thread.join()
    assert seen["started_inside"] == "exact"


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("entered_in", ["copied context", "other thread"])
def test_a_block_ended_in_another_context_ends_where_it_was_entered(results, enabled, entered_in):
    # A generator enters a block in one context and is finished in another:
    # the context it entered in gets its outer setting back, not the block's.
    def generator():
        with interpolated_cip(enabled):
            yield results()

    inner, outer = ("interpolated", "exact") if enabled else ("exact", "interpolated")
    steps = generator()
    seen = []
    if entered_in == "copied context":
        ctx = contextvars.copy_context()
        ctx.run(velarion.frames._INTERPOLATED_CIP.set, not enabled)
        seen.append(ctx.run(next, steps))
        next(steps, None)
        seen.append(ctx.run(results))
    else:
        started, finished = threading.Barrier(2), threading.Barrier(2)

        def other():
            with interpolated_cip(not enabled):
                seen.append(next(steps))
                started.wait()
                finished.wait()
                seen.append(results())

        thread = threading.Thread(target=other)
        thread.start()
        started.wait()
        next(steps, None)
        finished.wait()
        thread.join()
    assert seen == [inner, outer]
    assert results() == "exact"


def test_asyncio_tasks_inherit_the_setting_and_keep_their_own(results):
    async def later():
        await asyncio.sleep(0)
        return results()

    async def in_own_block(entered):
        with interpolated_cip():
            entered.set()
            await asyncio.sleep(0)
            return results()

    async def scenario():
        entered = asyncio.Event()
        with interpolated_cip():
            started_inside = asyncio.create_task(later())  # runs after the block, in a copy of its context
        own = asyncio.create_task(in_own_block(entered))
        await entered.wait()
        while_the_other_is_inside = results()
        return await started_inside, await own, while_the_other_is_inside, results()

    assert asyncio.run(scenario()) == ("interpolated", "interpolated", "exact", "exact")


def test_read_once_at_the_start_of_a_call(results):
    # Python code that the call runs (here a Time subclass's scale view) cannot
    # switch paths half way.
    class Switching(Time):
        @property
        def ut1(self):
            velarion.frames._INTERPOLATED_CIP.set(True)
            return super().ut1

    t = Switching.from_mjd(T.utc.mjd, scale="utc")
    token = velarion.frames._INTERPOLATED_CIP.set(False)
    try:
        exact = GCRF.to_ITRF(T, R, V)
        got = GCRF.to_ITRF(t, R, V)
        assert velarion.frames._INTERPOLATED_CIP.get() is True
    finally:
        velarion.frames._INTERPOLATED_CIP.reset(token)
    for a, b in zip(got, exact, strict=True):
        np.testing.assert_array_equal(a, b)


def test_command_line_conversions_interpolate_unless_exact_cip(tmp_path, capsys):
    velarion.frames.register_standard_transforms()
    texts = [str(s) for s in Time.from_mjd(60390.0 + np.arange(50) / 1440.0, scale="utc").iso]
    t = Time(texts)
    r, v = leo_to_geo(50)
    source = tmp_path / "g.csv"
    rows = [f"{s},{','.join(map(repr, [*a, *b]))}" for s, a, b in zip(texts, r.tolist(), v.tolist(), strict=True)]
    source.write_text("time,x,y,z,vx,vy,vz\n" + "\n".join(rows) + "\n")
    with interpolated_cip():
        fast = GCRF.to_ITRF(t, r, v)
    exact = GCRF.to_ITRF(t, r, v)
    for flags, expected in (([], fast), (["--exact-cip"], exact)):
        assert main(["convert", "--from", "GCRF", "--to", "ITRF", *flags, str(source)]) == 0
        lines = capsys.readouterr().out.splitlines()[1:]
        got = np.array([[float(x) for x in line.split(",")[1:]] for line in lines])
        np.testing.assert_array_equal(got, np.hstack(expected))
    for command in ("convert", "propagate"):
        assert main([command, "--help"]) == 0
        assert "interpolate the precession-nutation" in capsys.readouterr().out
