"""All-vs-all conjunction screening split across a Dask cluster.

The catalogue is cut into groups of primaries; the task of group g screens
its satellites against themselves and every satellite listed after the
group, so every pair is screened by exactly one task (the task of the group
of its first-listed satellite), with the same primary as in one all-vs-all
run. The tasks get the element sets as text and return plain rows; the
merged rows, sorted by TCA, are the events of one process.

    python examples/conjunctions_dask.py        # a local cluster of worker processes

On many machines, pass ``Client("scheduler-address:8786")`` to ``screen_on``.
"""

from __future__ import annotations

import itertools
from typing import Any


def _screen_group(
    text: str, first: int, stop: int, start: str, duration: float, threshold: float
) -> list[dict[str, Any]]:
    from velarion.conjunctions import screen
    from velarion.propagators.analytical.sgp4 import load_tles

    tles = load_tles(text)[first:]
    events = screen(tles, start, duration, threshold, primaries=tles[: stop - first])
    rows = [e.as_dict() for e in events]
    failures = [f"{f.satellite}: {f.error}" for f in events.failures]
    return [*rows, *({"failure": f} for f in failures)]


def screen_on(
    client: Any, text: str, start: str, duration: float, threshold: float = 5000.0, groups: int = 8
) -> tuple[list[dict[str, Any]], list[str]]:
    """Events (as dicts, sorted by TCA) and failure texts of all pairs of the catalogue ``text``."""
    from velarion.propagators.analytical.sgp4 import load_tles

    n = len(load_tles(text))
    bounds = [round(n * g / groups) for g in range(groups + 1)]
    futures = [
        client.submit(_screen_group, text, a, b, start, duration, threshold, pure=False)
        for a, b in itertools.pairwise(bounds)
        if b > a
    ]
    rows = [r for part in client.gather(futures) for r in part]
    events = sorted((r for r in rows if "failure" not in r), key=lambda r: (r["tca"], r["primary_satnum"]))
    failures = sorted({r["failure"] for r in rows if "failure" in r})
    return events, failures


def main() -> None:
    import distributed

    cluster_type: Any = distributed.LocalCluster
    client_type: Any = distributed.Client

    from velarion.conjunctions.catalogue import sample_catalogue

    text = sample_catalogue(600, "2024-01-01T00:00:00", seed=11, close_pairs=6)
    with cluster_type(n_workers=2, threads_per_worker=1, processes=True) as cluster, client_type(cluster) as client:
        events, failures = screen_on(client, text, "2024-01-01T00:00:00", 6 * 3600.0, groups=4)
    print(f"{len(events)} close approaches below 5 km in 6 hours, {len(failures)} failures")
    for e in events[:5]:
        print(f"{e['tca'][:23]}  {e['primary']:>10} {e['secondary']:>10} {e['miss_distance']:9.1f} m")


if __name__ == "__main__":
    main()
