"""Chunked propagation of a catalogue with Dask (examples/scaleout_dask.py).

Dask is an optional extra: the module is skipped when it is missing.
"""

from __future__ import annotations

import os
import pathlib
import sys

import numpy as np
import pytest

pytest.importorskip("dask.array")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
if not (EXAMPLES / "scaleout_dask.py").exists():
    pytest.skip("examples/ is not next to the tests", allow_module_level=True)

# A plain import (not a file load) so that worker processes can import the
# module by name too: spawned workers get the parent's sys.path.
sys.path.insert(0, str(EXAMPLES))
import scaleout_dask as ex  # noqa: E402

GM = 3.986004418e14


def kepler_radius(elements: np.ndarray, dt: float) -> np.ndarray:
    """|r| after dt seconds of two-body motion, by a Newton solve written here."""
    ecc, sma, tra0 = elements[:, 0], elements[:, 1], elements[:, 5]
    eca0 = 2 * np.arctan2(np.sqrt(1 - ecc) * np.sin(tra0 / 2), np.sqrt(1 + ecc) * np.cos(tra0 / 2))
    mea = eca0 - ecc * np.sin(eca0) + np.sqrt(GM / sma**3) * dt
    eca = mea.copy()
    for _ in range(50):
        eca -= (eca - ecc * np.sin(eca) - mea) / (1 - ecc * np.cos(eca))
    return sma * (1 - ecc * np.cos(eca))


@pytest.fixture(scope="module")
def catalogue() -> np.ndarray:
    return ex.make_catalogue(5003, seed=7)


@pytest.fixture(scope="module")
def single(catalogue: np.ndarray) -> np.ndarray:
    return ex.propagate_chunk(catalogue, ex.EPOCH, ex.TARGET)


def test_single_call_is_two_body_motion_in_an_earth_fixed_frame(catalogue, single):
    # The frame rotation keeps lengths: |r| in ITRF is the orbit radius.
    radius = np.linalg.norm(single[:, :3], axis=1)
    np.testing.assert_allclose(radius, kepler_radius(catalogue, 6 * 3600.0), rtol=1e-12, atol=1e-6)
    # ITRF velocity = R (v_inertial - w x r): its size differs from the
    # inertial speed by the Earth's rotation, which vis-viva bounds.
    vis_viva = np.sqrt(GM * (2 / radius - 1 / catalogue[:, 1]))
    speed = np.linalg.norm(single[:, 3:], axis=1)
    assert np.all(np.abs(speed - vis_viva) <= 7.3e-5 * radius * 1.0001)
    assert np.any(np.abs(speed - vis_viva) > 100.0)  # the rotation is really applied


@pytest.mark.parametrize("chunk", [1, 997, 2500, 10**6], ids=["row-by-row", "uneven", "two-blocks", "one-block"])
def test_chunked_threads_equal_the_single_call(catalogue, single, chunk):
    rows = catalogue if chunk > 1 else catalogue[:40]
    out, pids = ex.propagate_with_dask(rows, chunk, "threads")
    assert out.shape == (rows.shape[0], 6) and out.dtype == np.float64
    np.testing.assert_array_equal(out, single[: rows.shape[0]])
    assert pids == {os.getpid()}


def test_chunked_in_worker_processes_equal_the_single_call(catalogue, single):
    out, pids = ex.propagate_with_dask(catalogue, 1300, "processes", workers=2)
    np.testing.assert_array_equal(out, single)
    # Every block ran outside this process, which imported velarion by itself.
    assert pids and os.getpid() not in pids


def test_empty_catalogue():
    out, _ = ex.propagate_with_dask(np.empty((0, 6)), 10, "synchronous")
    assert out.shape == (0, 6)


def test_script_checks_itself(capsys):
    assert ex.main(["-n", "3000", "--chunk", "700", "--scheduler", "synchronous"]) == 0
    assert "largest difference from the single call: 0 " in capsys.readouterr().out


def test_catalogue_passes_on_a_distributed_cluster_equal_one_process():
    # Satellites split across two worker processes (the engine that runs on
    # many machines) give the passes of one find_passes call.
    distributed = pytest.importorskip("distributed")
    import passes_dask

    text = passes_dask.catalogue_text(12, seed=4)
    single, _ = passes_dask.passes_chunk(text, passes_dask.STATIONS, passes_dask.START, 43200.0)
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        spread, failures = passes_dask.search_distributed(client, text, 3, 43200.0)
        pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    assert failures == [] and len(spread) > 20
    assert passes_dask.largest_difference(passes_dask.in_time_order(single), spread) <= 1e-3
