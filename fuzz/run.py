"""Runs the fuzz harnesses of this folder, each for a bounded time.

    python fuzz/run.py [--seconds S] [--jobs-dir DIR] [--label TEXT] [harness ...]

Each harness runs in its own process under libFuzzer (atheris) with a
working corpus and its crash artifacts in DIR/<harness>/ (default
build/fuzz), so a later run starts from what earlier runs found: every
stored input is run again first, then new ones are tried. Prints one line
per harness (executions, seconds, executions per second) and exits non-zero
if any harness found a failure; the failing input is then in
DIR/<harness>/crash-* and the harness's log in DIR/<harness>/log.txt.

Under a preloaded AddressSanitizer runtime libFuzzer gets no coverage (the
runtime's coverage hooks take the place of its own), so a sanitized run
replays the corpus that a plain run grew and goes on mutating it blindly.

Reproduce a failure: python fuzz/<harness>.py DIR/<harness>/crash-<hash>
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HARNESSES = sorted(p.stem for p in HERE.glob("*.py") if p.stem not in ("run",) and not p.stem.startswith("_"))
DONE = re.compile(r"Done (\d+) runs in (\d+) second")


def run_one(name: str, seconds: int, root: Path, label: str) -> bool:
    work = root / name
    corpus = work / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    log = work / (f"log-{label}.txt" if label else "log.txt")
    cmd = [
        sys.executable,
        str(HERE / f"{name}.py"),
        str(corpus),
        f"-max_total_time={seconds}",
        f"-artifact_prefix={work}/",
        "-rss_limit_mb=4096",
        "-timeout=30",
        "-print_final_stats=1",
    ]
    start = time.monotonic()
    with open(log, "w") as out:
        rc = subprocess.call(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    wall = time.monotonic() - start
    text = log.read_text(errors="replace")
    m = DONE.search(text)
    runs = int(m[1]) if m else None
    files = len(list(corpus.iterdir()))
    tag = f"{name} ({label})" if label else name
    if rc == 0 and m:
        print(f"{tag}: {runs} executions in {wall:.0f} s ({runs / max(wall, 1e-9):.0f}/s), corpus {files} inputs")
        return True
    print(f"{tag}: FAILED (exit {rc}) after {wall:.0f} s; log {log}")
    print("\n".join(text.splitlines()[-40:]))
    return False


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=int, default=20, help="time per harness (default 20)")
    ap.add_argument("--jobs-dir", type=Path, default=Path("build/fuzz"), help="corpora and artifacts")
    ap.add_argument("--label", default="", help="names this run in the output and its log file")
    ap.add_argument("harness", nargs="*", help=f"subset of {', '.join(HARNESSES)}")
    args = ap.parse_args()
    names = args.harness or HARNESSES
    unknown = set(names) - set(HARNESSES)
    if unknown:
        ap.error(f"unknown harness {sorted(unknown)}; have {HARNESSES}")
    results = [run_one(n, args.seconds, args.jobs_dir.resolve(), args.label) for n in names]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
