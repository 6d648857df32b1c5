"""README.md: its Python tour runs, and what it names exists.

The ```python blocks are run in order as one script, in a child process, so
that the frames it registers and the Earth orientation mode it sets do not
leak into the other tests.
"""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TABLES = ROOT / "benchmarks" / "readme_tables.py"

pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md is not next to the tests")


def python_blocks(text: str) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)


def tour_script() -> str:
    return "\n\n".join(python_blocks(README.read_text()))


@pytest.fixture(scope="module")
def tour_output(tmp_path_factory) -> str:
    script = tmp_path_factory.mktemp("readme") / "readme_tour.py"
    script.write_text(tour_script())
    import velarion

    # The child imports the same velarion as this process (installed or sources).
    home = str(pathlib.Path(velarion.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [home, os.environ.get("PYTHONPATH")])))
    run = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=600, cwd=script.parent, env=env
    )
    assert run.returncode == 0, f"the README tour failed:\n{run.stdout}\n{run.stderr}"
    return run.stdout


def test_tour_covers_the_package():
    code = tour_script()
    for name in [
        "Time(",
        "register_standard_transforms()",
        "transform_to(",
        "ENU(",
        "Keplerian()",
        ".jacobian(",
        "SGP4(",
        "TLE(",
        "Satellite(",
        "EOPRangeError",
        "set_out_of_range(",
        "find_passes(",
        "look_angles(",
        "load_tles(",
    ]:
        assert name in code, name


def test_tour_runs_and_prints_real_results(tour_output):
    out = tour_output
    assert "['GCRF', 'ITRF', 'TEME']" in out
    assert "['GCRF', 'ITRF', 'Unnamed']" in out
    assert "'ISS (ZARYA)' 8640" in out
    assert "is outside the Earth orientation table" in out
    # One day of ISS over a mid-latitude station: several passes, some high.
    m = re.search(r"(\d+) passes above 10 deg, highest ([\d.]+) deg", out)
    assert m and 2 <= int(m.group(1)) <= 8 and 30.0 < float(m.group(2)) <= 90.0
    # A catalogue over three stations: many passes, some of them visible.
    m = re.search(r"(\d+) passes of 100 satellites; (\d+) visible; 0 failures", out)
    assert m and 500 < int(m.group(1)) and 0 < int(m.group(2)) < int(m.group(1))


def test_no_registry_host_or_placeholder_left():
    text = README.read_text()
    assert "(run `make bench` to fill in)" not in text
    assert not re.search(r"pypi\.org|pythonhosted|files\.", text)


@pytest.mark.parametrize("name", ["accuracy", "speed"])
def test_generated_sections_hold_tables(name):
    text = README.read_text()
    body = re.search(rf"<!-- velarion:{name}:start -->\n(.*?)<!-- velarion:{name}:end -->", text, re.S)
    assert body, name
    rows = [line for line in body.group(1).splitlines() if line.startswith("| ") and "---" not in line]
    assert len(rows) >= 5


def test_commands_and_files_it_names_exist():
    text = README.read_text()
    makefile = (ROOT / "Makefile").read_text()
    for target in set(re.findall(r"make ([a-z][a-z-]+)", text)):
        assert re.search(rf"^{re.escape(target)}:", makefile, re.M), f"make {target}"
    assert "readme_tables.py" in makefile  # `make bench` regenerates the tables
    for path in set(re.findall(r"(?:examples|benchmarks|tests)/[\w/]+\.py", text)):
        assert (ROOT / path).exists(), path
    tomllib = pytest.importorskip("tomllib")
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    for extra in re.findall(r'pip install "\.\[(\w+)\]"', text):
        assert extra in extras, extra


# --- the section rewriter of benchmarks/readme_tables.py


@pytest.fixture(scope="module")
def tables():
    if not TABLES.exists():
        pytest.skip("benchmarks/ is not next to the tests")
    sys.path.insert(0, str(TABLES.parent))
    try:
        import readme_tables
    finally:
        sys.path.remove(str(TABLES.parent))
    return readme_tables


def test_rewriter_replaces_only_the_marked_lines(tables):
    text = (
        "intro\n<!-- velarion:speed:start -->\nold\nlines\n<!-- velarion:speed:end -->\n"
        "<!-- velarion:accuracy:start -->\nkept\n<!-- velarion:accuracy:end -->\noutro\n"
    )
    new = tables.replace_section(text, "speed", "| a | b |\n")
    assert new == text.replace("old\nlines\n", "| a | b |\n")
    assert tables.replace_section(new, "speed", "| a | b |") == new  # idempotent


@pytest.mark.parametrize(
    "text",
    [
        "no markers at all\n",
        "<!-- velarion:speed:start -->\nnever closed\n",
        "<!-- velarion:speed:start -->\na\n<!-- velarion:speed:end -->\n" * 2,
    ],
)
def test_rewriter_refuses_missing_or_repeated_markers(tables, text):
    with pytest.raises(ValueError, match="exactly one"):
        tables.replace_section(text, "speed", "x")
