"""Runs the fuzz harnesses of this folder, each for a bounded time.

    python fuzz/run.py [--seconds S] [--jobs-dir DIR] [harness ...]

Each harness runs in its own process under libFuzzer (atheris) with a
working corpus and its crash artifacts in DIR/<harness>/ (default
build/fuzz), so a later run starts from what earlier runs found. Prints one
line per harness (executions, seconds, executions per second) and exits
non-zero if any harness found a failure; the failing input is then in
DIR/<harness>/crash-* and the harness's log in DIR/<harness>/log.txt.

Reproduce a failure: python fuzz/<harness>.py DIR/<harness>/crash-<hash>
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HARNESSES = sorted(p.stem for p in HERE.glob("*.py") if p.stem not in ("run",) and not p.stem.startswith("_"))
DONE = re.compile(r"Done (\d+) runs in (\d+) second")


def run_one(name: str, seconds: int, root: Path) -> bool:
    work = root / name
    corpus = work / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    log = work / "log.txt"
    cmd = [
        sys.executable, str(HERE / f"{name}.py"), str(corpus),
        f"-max_total_time={seconds}", f"-artifact_prefix={work}/", "-rss_limit_mb=4096",
        "-timeout=30", "-print_final_stats=1",
    ]
    start = time.monotonic()
    with open(log, "w") as out:
        rc = subprocess.call(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    wall = time.monotonic() - start
    text = log.read_text(errors="replace")
    m = DONE.search(text)
    runs = int(m[1]) if m else None
    files = len(list(corpus.iterdir()))
    if rc == 0 and m:
        print(f"{name}: {runs} executions in {wall:.0f} s ({runs / max(wall, 1e-9):.0f}/s), corpus {files} inputs")
        return True
    print(f"{name}: FAILED (exit {rc}) after {wall:.0f} s; log {log}")
    print("\n".join(text.splitlines()[-40:]))
    return False


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=int, default=20, help="time per harness (default 20)")
    ap.add_argument("--jobs-dir", type=Path, default=Path("build/fuzz"), help="corpora and artifacts")
    ap.add_argument("harness", nargs="*", help=f"subset of {', '.join(HARNESSES)}")
    args = ap.parse_args()
    names = args.harness or HARNESSES
    unknown = set(names) - set(HARNESSES)
    if unknown:
        ap.error(f"unknown harness {sorted(unknown)}; have {HARNESSES}")
    results = [run_one(n, args.seconds, args.jobs_dir.resolve()) for n in names]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
