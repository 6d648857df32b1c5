"""Run the benchmarks and accuracy checks and rewrite README.md's tables.

    python benchmarks/readme_tables.py              # everything (what `make bench` runs)
    python benchmarks/readme_tables.py time frames  # only these speed areas
    python benchmarks/readme_tables.py --no-speed   # accuracy (and sample output) only

The README holds sections between HTML comment markers,
``<!-- velarion:NAME:start -->`` and ``<!-- velarion:NAME:end -->``; this
script replaces what lies between them and leaves every other line alone:

- ``speed``: every case of ``bench_*.py`` (the same cases and timing as
  ``run.py``), with the machine and its load at the time;
- ``accuracy``: the rows of ``accuracy.py``;
- ``passes`` (when the README has that section): the output of
  ``velarion passes`` with its defaults.

Exit status 1 when a speed case misses a goal it states (as ``run.py``);
the README is rewritten all the same.
"""

from __future__ import annotations

import argparse
import datetime as dt
import importlib
import os
import pathlib
import platform
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from common import best_time, fmt_seconds  # noqa: E402

README = HERE.parent / "README.md"


def replace_section(text: str, name: str, body: str) -> str:
    """`text` with the lines between the `name` markers replaced by `body`."""
    start, end = f"<!-- velarion:{name}:start -->", f"<!-- velarion:{name}:end -->"
    pattern = re.compile(re.escape(start) + r"\n.*?" + re.escape(end), re.S)
    found = pattern.findall(text)
    if len(found) != 1:
        raise ValueError(f"README must hold exactly one {start} ... {end} section, found {len(found)}")
    return pattern.sub(lambda _m: f"{start}\n{body.rstrip()}\n{end}", text)


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import numpy

    return f"{cpu}, {os.cpu_count()} cores; Python {platform.python_version()}, NumPy {numpy.__version__}"


def load() -> str:
    try:
        return "/".join(f"{x:.1f}" for x in os.getloadavg())
    except OSError:
        return "n/a"


def speed(areas: list[str]) -> tuple[str, list[str]]:
    """The speed section and the goals missed."""
    started, load_before = dt.datetime.now(dt.timezone.utc), load()
    lines, missed = [], []
    for area in areas:
        mod = importlib.import_module(f"bench_{area}")
        lines += [
            f"**{area}**",
            "",
            "| case | velarion per item | peer | peer per item | peer / velarion |",
            "|---|---|---|---|---|",
        ]
        for case in mod.cases():
            tv = best_time(case.velarion)
            if not case.peers:
                lines.append(f"| {case.name} | {fmt_seconds(tv / case.items)} | - | - | - |")
            for peer, fn in case.peers.items():
                ratio = best_time(fn) / tv
                mark = ""
                if peer in case.min_ratio and ratio < case.min_ratio[peer]:
                    mark = f" (goal {case.min_ratio[peer]:.3g})"
                    missed.append(f"{area}: {case.name} vs {peer}: {ratio:.2f} < {case.min_ratio[peer]:.2f}")
                lines.append(
                    f"| {case.name} | {fmt_seconds(tv / case.items)} | {peer} | "
                    f"{fmt_seconds(tv * ratio / case.items)} | {ratio:.3g}{mark} |"
                )
            print(lines[-1], flush=True)
        lines.append("")
    head = (
        f"Measured {started:%Y-%m-%d %H:%M} UTC on {machine()}; load average (1/5/15 min) "
        f"{load_before} before and {load()} after. Best of 5 rounds per case. On a shared or "
        "busy machine absolute times move; the ratios, taken on the same machine minutes apart, "
        "move less."
    )
    return "\n".join([head, "", *lines]), missed


def accuracy() -> str:
    import accuracy as acc

    return acc.markdown(acc.rows())


def passes_output() -> str | None:
    """The output of `velarion passes` with its defaults (None: no such command)."""
    try:
        importlib.import_module("velarion.__main__")
    except ImportError:
        return None
    run = subprocess.run([sys.executable, "-m", "velarion", "passes"], capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        raise RuntimeError(f"velarion passes failed:\n{run.stderr}")
    return f"```text\n$ velarion passes\n{run.stdout.rstrip()}\n```"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("areas", nargs="*", help="speed areas (default: every bench_*.py)")
    parser.add_argument("--readme", type=pathlib.Path, default=README)
    parser.add_argument("--no-speed", action="store_true")
    parser.add_argument("--no-accuracy", action="store_true")
    args = parser.parse_args(argv)

    text = args.readme.read_text()
    missed: list[str] = []
    if "<!-- velarion:passes:start -->" in text:
        out = passes_output()
        if out is not None:
            text = replace_section(text, "passes", out)
    if not args.no_accuracy:
        print("accuracy ...", flush=True)
        table = accuracy()
        print(table)
        text = replace_section(text, "accuracy", table)
    if not args.no_speed:
        areas = args.areas or sorted(p.stem[len("bench_") :] for p in HERE.glob("bench_*.py"))
        body, missed = speed(areas)
        text = replace_section(text, "speed", body)
    args.readme.write_text(text)
    print(f"rewrote {args.readme}")
    if missed:
        print("\nGoals missed:\n  " + "\n  ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
