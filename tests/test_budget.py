"""The memory budget and the progress reports shared by the long computations."""

import io
import os
import subprocess
import sys
import threading

import pytest

from velarion.utils import budget as mb
from velarion.utils.progress import Progress, terminal_bar


@pytest.mark.parametrize(
    ("text", "nbytes"),
    [
        ("4G", 4 * 1024**3),
        ("512M", 512 * 1024**2),
        ("1.5g", int(1.5 * 1024**3)),
        (" 64 MiB ", 64 * 1024**2),
        ("20000000", 20_000_000),
        (3e9, 3_000_000_000),
        ("2T", 2 * 1024**4),
    ],
)
def test_sizes_read_as_powers_of_1024(text, nbytes):
    assert mb.parse_size(text) == nbytes


@pytest.mark.parametrize("bad", ["", "4X", "-1G", "nan", "1e400", "4 G B", "1K", 0, -5, float("inf"), True, None])
def test_bad_sizes_are_refused(bad):
    with pytest.raises((ValueError, TypeError), match="memory"):
        mb.parse_size(bad)


def test_a_block_budget_holds_in_its_context_only():
    seen = {}
    with mb.budget("64M"):
        worker = threading.Thread(target=lambda: seen.setdefault("thread", mb.memory_budget()))
        worker.start()
        worker.join()
        assert mb.memory_budget() == 64 * 1024**2
    assert seen["thread"] == mb.memory_budget() != 64 * 1024**2


def test_a_block_left_in_another_context_does_not_stay_in_force():
    import contextvars

    def steps():
        with mb.budget("32M"):
            yield mb.memory_budget()
        yield mb.memory_budget()

    before = mb.memory_budget()
    gen = steps()
    assert contextvars.copy_context().run(next, gen) == 32 * 1024**2
    assert next(gen) == before
    assert mb.memory_budget() == before


def test_refusal_says_what_needs_how_much_and_what_to_reduce():
    with mb.budget("100M"), pytest.raises(MemoryError, match=r"the search needs about 1 GiB, .*100 MiB: shorten it"):
        mb.check_fits(1024**3, "the search", "shorten it")
    with mb.budget("100M"):
        mb.check_fits(99 * 1024**2, "the search", "shorten it")
        assert mb.items_within(1024**2, fixed=50 * 1024**2) == 50
        assert mb.items_within(1024**3, at_least=2) == 2


def test_environment_sets_the_default_and_a_bad_value_is_named():
    env = dict(os.environ, VELARION_MEMORY_BUDGET="300M")
    code = "from velarion.utils.budget import memory_budget; print(memory_budget())"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert run.stdout.strip() == str(300 * 1024**2), run.stderr
    env["VELARION_MEMORY_BUDGET"] = "lots"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert run.returncode != 0 and "VELARION_MEMORY_BUDGET" in run.stderr


def test_progress_reports_are_rate_limited_and_end_at_the_total():
    calls = []
    p = Progress(10.0, lambda d, t: calls.append((d, t)), interval=3600.0)
    for k in range(1, 11):
        p.update(k)
    p.close()
    p.close()
    assert calls == [(1.0, 10.0), (10.0, 10.0)]
    with pytest.raises(TypeError, match="progress"):
        Progress(1.0, "not callable")  # type: ignore[arg-type]


def test_terminal_bar_draws_only_on_a_terminal_and_clears_at_the_end():
    assert terminal_bar("x", stream=io.StringIO()) is None
    assert terminal_bar("x", enabled=False) is None
    out = io.StringIO()
    bar = terminal_bar("screening", enabled=True, stream=out, delay=0.0)
    assert bar is not None
    bar(5.0, 10.0)
    assert "screening [" in out.getvalue() and " 50.0%" in out.getvalue()
    bar(10.0, 10.0)
    assert out.getvalue().endswith("\r")
    quiet = io.StringIO()
    late = terminal_bar("x", enabled=True, stream=quiet, delay=3600.0)
    assert late is not None
    late(1.0, 2.0)
    late(2.0, 2.0)
    assert quiet.getvalue() == ""
