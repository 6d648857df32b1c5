"""Run every benchmark side by side with its peers and print ratios.

    python benchmarks/run.py [area ...]      # e.g. `time frames`

Exit status 1 when a case misses a goal it states in `min_ratio`.
"""

from __future__ import annotations

import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import best_time, fmt_seconds


def main(argv: list[str]) -> int:
    here = pathlib.Path(__file__).parent
    areas = argv or sorted(p.stem[len("bench_") :] for p in here.glob("bench_*.py"))
    missed = []
    for area in areas:
        mod = importlib.import_module(f"bench_{area}")
        print(f"\n## {area}\n")
        print("| case | velarion per item | peer | peer per item | peer / velarion | goal |")
        print("|---|---|---|---|---|---|")
        for case in mod.cases():
            tv = best_time(case.velarion)
            if case.max_seconds is not None and tv > case.max_seconds:
                missed.append(f"{area}: {case.name}: {fmt_seconds(tv)} > {fmt_seconds(case.max_seconds)}")
            if not case.peers:
                print(f"| {case.name} | {fmt_seconds(tv / case.items)} | - | - | - | {case.goal} |")
            for peer, fn in case.peers.items():
                tp = best_time(fn) * case.items / case.peer_items.get(peer, case.items)
                ratio = tp / tv
                mark = ""
                if peer in case.min_ratio and ratio < case.min_ratio[peer]:
                    mark = " (missed)"
                    missed.append(f"{area}: {case.name} vs {peer}: {ratio:.2f} < {case.min_ratio[peer]:.2f}")
                print(
                    f"| {case.name} | {fmt_seconds(tv / case.items)} | {peer} | "
                    f"{fmt_seconds(tp / case.items)} | {ratio:.2f}{mark} | {case.goal} |"
                )
    if missed:
        print("\nGoals missed:\n  " + "\n  ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
