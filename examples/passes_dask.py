"""Passes of a catalogue over a network of stations, split by satellites
across the processes of a dask.distributed cluster.

The search of one satellite does not depend on the others', so a catalogue
splits into chunks of element sets, each searched by ``find_passes`` in a
worker. Only plain data crosses the process boundary: the element sets as
text, the stations (``Station`` is a plain dataclass), and passes back as
records of numbers and texts. The same code runs on many machines: give
``distributed.Client`` the address of a scheduler instead of a
``LocalCluster``.

    python examples/passes_dask.py                 # 400 satellites, 4 stations, 1 day
    python examples/passes_dask.py -n 2000 --workers 4 --chunks 16

The script checks the distributed result against one ``find_passes`` call
in this process and exits with status 1 if they differ.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any

START = "2024-03-20T00:00:00"
STATIONS = (
    ("Redu", 50.0006, 5.1453, 385.0),
    ("Kiruna", 67.857, 20.964, 402.0),
    ("Canberra", -35.40, 148.98, 688.0),
    ("Svalbard", 78.23, 15.40, 500.0),
)

# One pass: satellite, catalogue number, station, then rise, culmination and
# set in seconds from the start (None where the span's edge cuts the pass)
# and the maximum elevation [deg].
Record = tuple[str, int | None, str, float | None, float | None, float | None, float]


def catalogue_text(n: int, seed: int = 1) -> str:
    """A made-up catalogue of ``n`` low orbits as three-line element sets."""
    from velarion.conjunctions.catalogue import sample_catalogue

    return sample_catalogue(n, START, seed=seed)


def split(text: str, chunks: int) -> list[str]:
    """The element sets of ``text`` in ``chunks`` texts of about equal size."""
    from velarion.propagators.analytical.sgp4 import load_tles

    sets = [f"{t.name or ''}\n{t.lines[0]}\n{t.lines[1]}\n" for t in load_tles(text)]
    size = -(-len(sets) // max(1, chunks))
    return ["".join(sets[k : k + size]) for k in range(0, len(sets), size)]


def passes_chunk(text: str, stations: Any, start: str, duration: float) -> tuple[list[Record], list[str]]:
    """The passes of the element sets of ``text`` over the stations, and the failures (texts).

    Runs in a worker: velarion is imported there, in the worker's process."""
    from velarion.passes import Station, find_passes
    from velarion.propagators.analytical.sgp4 import load_tles
    from velarion.time.time import Time

    t0 = Time(start)
    found = find_passes(
        load_tles(text), [Station(lat, lon, alt, name) for name, lat, lon, alt in stations], t0, duration
    )

    def seconds(t: Any) -> float | None:
        return None if t is None else float(t - t0)

    records = [
        (
            p.satellite,
            p.satnum,
            p.station.name,
            seconds(p.rise),
            seconds(p.culmination),
            seconds(p.set),
            p.max_elevation,
        )
        for p in found
    ]
    return records, [str(f) for f in found.failures]


def in_time_order(records: list[Record]) -> list[Record]:
    """Sorted as ``find_passes`` sorts: by rise (a pass under way at the start first)."""
    return sorted(records, key=lambda r: (0.0 if r[3] is None else r[3], r[1], r[2]))


def search_distributed(client: Any, text: str, chunks: int, duration: float) -> tuple[list[Record], list[str]]:
    """The passes of the whole catalogue, chunk by chunk in the cluster's workers."""
    futures = client.map(passes_chunk, split(text, chunks), stations=STATIONS, start=START, duration=duration)
    records: list[Record] = []
    failures: list[str] = []
    for chunk_records, chunk_failures in client.gather(futures):
        records += chunk_records
        failures += chunk_failures
    return in_time_order(records), failures


def largest_difference(a: list[Record], b: list[Record]) -> float:
    """The largest difference [s or deg] between two lists of the same passes (inf if they are not)."""
    if len(a) != len(b):
        return float("inf")
    worst = 0.0
    for x, y in zip(a, b, strict=True):
        if x[:3] != y[:3]:
            return float("inf")
        for u, v in zip(x[3:], y[3:], strict=True):
            if (u is None) != (v is None):
                return float("inf")
            if u is not None and v is not None:
                worst = max(worst, abs(u - v))
    return worst


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=400, help="satellites (default 400)")
    parser.add_argument("--days", type=float, default=1.0, help="span in days (default 1)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--chunks", type=int, default=8, help="chunks of the catalogue (default 8)")
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    text = catalogue_text(args.n)
    duration = args.days * 86400.0
    t = time.perf_counter()
    single, _ = passes_chunk(text, STATIONS, START, duration)
    t_single = time.perf_counter() - t
    # distributed's constructors carry no annotations.
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)  # type: ignore[no-untyped-call]
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        t = time.perf_counter()
        spread, failures = search_distributed(client, text, args.chunks, duration)
        t_spread = time.perf_counter() - t
    worst = largest_difference(in_time_order(single), spread)
    print(f"{args.n} satellites x {len(STATIONS)} stations x {args.days:g} days: {len(spread)} passes")
    print(f"  one process:               {t_single:.2f} s")
    print(f"  {args.workers} workers, {args.chunks} chunks:      {t_spread:.2f} s")
    print(f"  failures: {len(failures)}; largest difference from one process: {worst:.3g} (s, deg)")
    return 0 if worst <= 1e-3 else 1


if __name__ == "__main__":
    sys.exit(main())
