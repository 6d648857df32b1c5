"""Propagate and convert a large orbit catalogue chunk by chunk with Dask.

The catalogue is an (N, 6) array of classical elements (ecc, sma [m], inc,
raa, arp, tra [rad]) in GCRF at a common epoch. Every object is propagated
under two-body motion to a target epoch and its state converted to ITRF,
giving an (N, 6) array of x, y, z [m], vx, vy, vz [m/s].

`propagate_chunk` does the whole job for one block of rows with velarion's
vectorized calls (no loop over objects). Dask's `map_blocks` hands each block
to a worker; the function imports velarion inside the worker, builds the
frame graph there and receives only plain data (a float64 block and ISO
texts). velarion objects (frames, propagators, states) are not picklable by
design, so nothing but arrays and texts crosses the process boundary. The
same code runs on a cluster: point Dask at a distributed scheduler
(`dask.distributed.Client(address)`) instead of the local one.

    python examples/scaleout_dask.py                  # 200 000 objects
    python examples/scaleout_dask.py -n 20000 --chunk 4000 --scheduler threads

The script checks the chunked result against one call on the whole
catalogue and exits with status 1 if they differ.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

import numpy as np
from numpy.typing import NDArray

EPOCH = "2024-03-20T00:00:00"
TARGET = "2024-03-20T06:00:00"


def make_catalogue(n: int, seed: int = 2024) -> NDArray[np.float64]:
    """A synthetic catalogue of `n` elliptic Earth orbits, LEO to beyond GEO."""
    rng = np.random.default_rng(seed)
    return np.column_stack(
        [
            rng.uniform(0.0, 0.25, n),  # ecc
            rng.uniform(6.7e6, 4.5e7, n),  # sma [m]
            rng.uniform(0.0, np.pi, n),  # inc
            rng.uniform(0.0, 2 * np.pi, n),  # raa
            rng.uniform(0.0, 2 * np.pi, n),  # arp
            rng.uniform(0.0, 2 * np.pi, n),  # tra
        ]
    )


def propagate_chunk(elements: NDArray[np.float64], epoch: str, target: str) -> NDArray[np.float64]:
    """(n, 6) GCRF elements at `epoch` -> (n, 6) ITRF states at `target` (ISO UTC texts).

    Runs in a Dask worker: velarion is imported here, in the worker's own
    process, and the standard frame edges are registered there (the frame
    graph is per process; registering again is a no-op).
    """
    import velarion.frames
    from velarion.bodies.bodies import Earth
    from velarion.frames.frames import get_GCRF
    from velarion.state.coe import mea_from_tra, mnm_from_sma, tra_from_mea
    from velarion.state.ephemeris import COEEphemeris
    from velarion.time.time import Time

    velarion.frames.register_standard_transforms()
    n = elements.shape[0]
    t0, t1 = Time(epoch), Time(target)
    epochs = t1 + np.zeros(n)  # one epoch per row
    dt = float(t1 - t0)
    ecc, sma, inc, raa, arp, tra0 = (np.ascontiguousarray(c) for c in elements.T)
    # Two-body motion: the mean anomaly advances at the mean motion.
    tra = tra_from_mea(mea_from_tra(tra0, ecc) + mnm_from_sma(sma, Earth.GM) * dt, ecc)
    eph = COEEphemeris(epochs, frame="GCRF", GM=Earth.GM, ecc=ecc, sma=sma, inc=inc, raa=raa, arp=arp, tra=tra).to_sv()
    r, v = get_GCRF().transform_to("ITRF", epochs, eph.r, eph.v)
    return np.hstack([np.asarray(r), np.asarray(v)])


def worker_pid(block: NDArray[np.float64]) -> NDArray[np.int64]:
    """The id of the process that handles `block` (one value per block)."""
    return np.array([os.getpid()], dtype=np.int64)


def propagate_with_dask(
    elements: NDArray[np.float64], chunk: int, scheduler: str, workers: int | None = None
) -> tuple[NDArray[np.float64], set[int]]:
    """The catalogue propagated block by block; also the ids of the worker processes."""
    import dask
    import dask.array as da
    from dask.base import compute

    # dask.array's constructors and compute() carry no annotations.
    cat = da.from_array(elements, chunks=(chunk, 6))  # type: ignore[no-untyped-call]
    states = cat.map_blocks(propagate_chunk, EPOCH, TARGET, dtype=np.float64, meta=np.empty((0, 6)))
    pids = cat.map_blocks(
        worker_pid, dtype=np.int64, chunks=((1,) * cat.numblocks[0],), drop_axis=1, meta=np.empty(0, np.int64)
    )
    config: dict[str, Any] = {"scheduler": scheduler}
    if workers is not None:
        config["num_workers"] = workers
    with dask.config.set(config):
        out, who = compute(states, pids)  # type: ignore[no-untyped-call]
    return np.asarray(out, dtype=np.float64), {int(p) for p in who}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=200_000, help="catalogue size (default 200000)")
    parser.add_argument("--chunk", type=int, default=25_000, help="rows per block (default 25000)")
    parser.add_argument("--scheduler", choices=("processes", "threads", "synchronous"), default="processes")
    parser.add_argument("--workers", type=int, default=None, help="worker count (default: one per core)")
    args = parser.parse_args(argv)

    elements = make_catalogue(args.n)

    t = time.perf_counter()
    single = propagate_chunk(elements, EPOCH, TARGET)
    t_single = time.perf_counter() - t

    t = time.perf_counter()
    chunked, pids = propagate_with_dask(elements, args.chunk, args.scheduler, args.workers)
    t_dask = time.perf_counter() - t

    worst = float(np.max(np.abs(chunked - single))) if args.n else 0.0
    blocks = -(-args.n // args.chunk)
    print(f"{args.n} objects, {blocks} blocks of <= {args.chunk} rows, scheduler {args.scheduler!r}")
    print(f"  one call:   {t_single:.3f} s in process {os.getpid()}")
    print(f"  dask:       {t_dask:.3f} s in processes {sorted(pids)}")
    print(f"  largest difference from the single call: {worst:.3g} (m, m/s)")
    return 0 if worst <= 1e-6 else 1


if __name__ == "__main__":
    sys.exit(main())
