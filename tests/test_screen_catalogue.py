"""The real-like catalogue and the screen against a brute-force oracle.

The oracle (``benchmarks/bench_conjunctions.py``: ``dense_minima``) samples
the distance of chosen pairs every 30 s with the sgp4 package's
``SatrecArray`` and refines each local minimum on the positions; the screen
must report every minimum below the threshold that it finds (formation
pairs and docked modules as sustained proximity), and nothing else for
those pairs.
"""

from __future__ import annotations

import importlib.util
import pathlib
import sys
from typing import Any

import numpy as np
import pytest

from velarion.conjunctions import catalogue as catalogue_module
from velarion.conjunctions import screen
from velarion.conjunctions.catalogue import format_tle, realistic_catalogue
from velarion.propagators.analytical.sgp4 import load_tles
from velarion.propagators.analytical.sgp4.sgp4 import sgp4_jd
from velarion.time.time import Time

sgp4_api = pytest.importorskip("sgp4.api")
pytest.importorskip("scipy")

BENCH = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "bench_conjunctions.py"
DATE = "2024-01-08T00:00:00"
DATE_JD = 2460317.5  # DATE as the sgp4 package counts it
SCALE = 0.2
SPAN = 12 * 3600.0
THRESHOLD = 5000.0


def _bench() -> Any:
    if not BENCH.exists():
        pytest.skip("benchmarks/ is not next to the tests")
    spec = importlib.util.spec_from_file_location("bench_conjunctions", BENCH)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules.setdefault("bench_conjunctions", module)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def catalogue() -> dict[str, Any]:
    bench = _bench()
    text = realistic_catalogue(DATE, seed=0, scale=SCALE)
    tles = load_tles(text)
    pairs = bench.sample_pairs(text, 300, 300, DATE_JD, SPAN, seed=1)
    dense = bench.dense_minima(text, pairs, DATE_JD, SPAN, THRESHOLD)
    return {"bench": bench, "text": text, "tles": tles, "pairs": pairs, "dense": dense, "runs": {}}


# The screen's options by name: the defaults; sustained stretches instead
# of their minima; no stretches (but co-located pairs); the shorter step the
# default takes for a catalogue of the full size (this sample is a fifth).
OPTIONS: dict[str, dict[str, Any]] = {
    "default": {},
    "instead": {"proximity_minima": False},
    "none": {"proximity": None},
    "short-step": {"step": 370.0},
}


def _run(catalogue: dict[str, Any], options: str) -> Any:
    if options not in catalogue["runs"]:
        catalogue["runs"][options] = screen(catalogue["tles"], DATE, SPAN, THRESHOLD, **OPTIONS[options])
    return catalogue["runs"][options]


def _check(catalogue: dict[str, Any], options: str) -> Any:
    bench = catalogue["bench"]
    chosen = {**(screen.__kwdefaults__ or {}), **OPTIONS[options]}
    return bench.compare(
        catalogue["dense"],
        bench.event_rows(_run(catalogue, options), Time(DATE)),
        [t.satnum for t in catalogue["tles"]],
        30.0,
        THRESHOLD,
        chosen.get("proximity"),
        chosen.get("proximity_minima", True),
    )


@pytest.mark.parametrize("seed", [0, 5])
def test_the_catalogue_is_reproducible_and_every_set_reads_back(seed: int) -> None:
    text = realistic_catalogue(DATE, seed=seed, scale=SCALE)
    assert text == realistic_catalogue(DATE, seed=seed, scale=SCALE)
    assert text != realistic_catalogue(DATE, seed=seed + 1, scale=SCALE)
    tles = load_tles(text)
    assert len(tles) == round(15000 * SCALE)
    assert [t.satnum for t in tles] == list(range(1, len(tles) + 1))
    # Epochs spread over the five days before the catalogue's date.
    ages = np.array([float(Time(DATE) - t.epoch) for t in tles]) / 86400.0
    assert ages.min() >= -1e-6 and ages.max() <= 5.0 + 1e-6 and ages.max() - ages.min() > 4.0


@pytest.mark.parametrize("seed", [0, 5])
def test_only_decaying_objects_fail_and_at_spread_times_of_the_week(seed: int) -> None:
    text = realistic_catalogue(DATE, seed=seed, scale=SCALE)
    lines = text.splitlines()
    names = lines[0::3]
    sats = sgp4_api.SatrecArray(
        [sgp4_api.Satrec.twoline2rv(a, b) for a, b in zip(lines[1::3], lines[2::3], strict=True)]
    )
    hours = np.arange(0.0, 7 * 24 + 0.5, 0.5)
    err, _, _ = sats.sgp4(np.full(hours.size, DATE_JD), hours / 24.0)
    failing = err.any(axis=1)
    assert {n for n, f in zip(names, failing, strict=True) if f} == {n for n in names if n.startswith("DECAY-")}
    first = hours[err[failing].argmax(axis=1)] / 24.0
    # None fails at the start; they fail over the week, not together.
    assert first.min() > 0.2 and first.max() <= 7.0
    assert first.max() - first.min() > 2.0


@pytest.mark.parametrize("options", ["default", "instead", "none", "short-step"])
def test_no_approach_of_the_sampled_pairs_is_missed(catalogue: dict[str, Any], options: str) -> None:
    check = _check(catalogue, options)
    assert check.expected >= 20  # the sample holds approaches to miss
    assert check.missed == []
    assert check.extra == []
    assert check.stretches_unreported == []
    # Minima a record of sustained proximity stands for are the formations'
    # ripples: few, and only of pairs the screen reports in proximity.
    assert len(check.covered) <= 0.05 * check.expected
    # The documented precision: TCA within 1 ms, the miss distance within 1 mm (fast approaches).
    assert check.tca_error["fast"] < 1e-3
    assert check.miss_error["fast"] < 1e-3
    assert check.miss_error["slow"] < 1e-3


def test_slow_approaches_have_the_minimum_of_the_positions(catalogue: dict[str, Any]) -> None:
    # Co-located GEO pairs pass at about 1.5 m/s and formations at a few
    # m/s: the TCA is the minimum of the distance of the model's positions,
    # not where its velocities put it.
    check = _check(catalogue, "none")
    assert check.miss_error["slow"] < 1e-3
    # Where the distance is this flat the TCA is loose by nature (tens of ms
    # for a formation whose distance swings by metres): the distance of the
    # positions at the reported TCA is what must be the minimum.
    assert check.excess["slow"] < 1e-3
    assert check.excess["fast"] < 1e-3


@pytest.mark.parametrize("kind", ["FORM-", "ISS ("])
def test_formation_and_docked_pairs_are_reported_as_sustained_proximity(catalogue: dict[str, Any], kind: str) -> None:
    tles = catalogue["tles"]
    result = _run(catalogue, "instead")
    group = {t.satnum for t in tles if t.name.startswith(kind)}
    if kind == "FORM-":
        pairs = {(t.satnum, t.satnum + 1) for t in tles if t.name.startswith(kind) and t.name.endswith("A")}
    else:
        pairs = {(a, b) for a in group for b in group if a < b}
    records = [r for r in result.proximity if r.primary_satnum in group and r.secondary_satnum in group]
    assert {tuple(sorted((r.primary_satnum, r.secondary_satnum))) for r in records} == pairs
    assert len(records) == len(pairs)  # one stretch each: they stay together all along
    # The record stands for the pair's per-orbit minima.
    assert not [e for e in result if e.primary_satnum in group and e.secondary_satnum in group]
    # Docked modules are recorded even when no stretches are asked for.
    bare = _run(catalogue, "none").proximity
    assert len([r for r in bare if r.primary_satnum in group and r.secondary_satnum in group]) == (
        len(pairs) if kind == "ISS (" else 0
    )
    start = Time(DATE)
    dense = catalogue["dense"]
    index = {t.satnum: k for k, t in enumerate(tles)}
    for r in records:
        assert abs(float(r.start - start)) <= 95.0 and abs(float(r.end - start) - SPAN) <= 95.0  # a segment
        assert r.colocated == (kind == "ISS (")
        a, b = sorted((index[r.primary_satnum], index[r.secondary_satnum]))
        sampled = [s for s in dense.stretches if (s.a, s.b) == (a, b)]
        assert len(sampled) == 1
        # Never below the oracle's smallest distance, never above what it sampled.
        lowest = min([m.distance for m in dense.minima if (m.a, m.b) == (a, b)] + [sampled[0].smallest])
        assert lowest - 1e-3 <= r.distance <= sampled[0].smallest + 1e-3
        assert r.distance <= r.largest <= sampled[0].largest + 50.0
        assert start <= r.tca <= start + SPAN


def test_decaying_objects_keep_their_approaches_until_they_fail() -> None:
    # A decaying object and its twin a few km across its plane (the same
    # drag: they fall together, passing each other at the nodes twice an
    # orbit: about 60 minima), made to fail two days into the span.
    bench = _bench()
    elements = (51.6, 40.0, 0.003, 120.0, 10.0, 16.3)
    bstar = catalogue_module._drag_to_fail_after(1, Time(DATE), elements, 2.0)
    twin = (elements[0] + 0.03, *elements[1:])
    text = format_tle(1, DATE, *elements, bstar, "DECAY-A") + format_tle(2, DATE, *twin, bstar, "DECAY-B")
    span = 4 * 86400.0
    dense = bench.dense_minima(text, [(0, 1)], DATE_JD, span, THRESHOLD)
    assert set(dense.failed) == {0, 1}
    result = screen(load_tles(text), DATE, span, THRESHOLD, proximity=None)
    assert [f.satnum for f in result.failures] == [1, 2]
    for f in result.failures:
        assert abs(float(f.epoch - Time(DATE)) - dense.failed[f.satnum - 1]) < 2.0
    check = bench.compare(dense, bench.event_rows(result, Time(DATE)), [1, 2], 30.0, THRESHOLD, None)
    assert check.expected >= 50 and check.missed == [] and check.extra == []


@pytest.fixture(scope="module")
def window(catalogue: dict[str, Any]) -> list[Any]:
    """The arguments of the first call of the compiled candidate search in
    a screen of the catalogue (all-vs-all, one window of its samples)."""
    from velarion import conjunctions

    calls: list[Any] = []
    search = conjunctions._screen.candidates

    def spy(*args: Any) -> Any:
        calls.append(args)
        return search(*args)

    patch = pytest.MonkeyPatch()
    patch.setattr(conjunctions._screen, "candidates", spy)
    try:
        screen(catalogue["tles"], DATE, 3 * 3600.0, THRESHOLD, proximity=None)
    finally:
        patch.undo()
    return list(calls[0])


@pytest.mark.parametrize("threshold", [THRESHOLD, 1.0e5])
@pytest.mark.parametrize("inflated", [False, True], ids=["as-is", "loose-bounds"])
def test_the_grid_search_finds_what_every_pair_tested_directly_finds(
    window: list[Any], threshold: float, inflated: bool
) -> None:
    # Each primary against every other object tests every pair of the
    # window directly (no grid); with every object a primary, that is the
    # whole set of candidate segments, which the grid of chord pieces must
    # find exactly (each once). Loose bounds on a few objects make them the
    # widest, tested against all others beside the grid.
    from velarion.conjunctions import _screen

    r, v, step, substeps, bound, r_min, r_max, _, _, _ = window[:10]
    bound = bound.copy()
    if inflated:
        bound[:: max(1, bound.size // 8)] *= 40.0
    args = (r, v, step, substeps, bound, r_min, r_max, threshold)
    grid = _screen.candidates(*args, None, 2)
    direct = _screen.candidates(*args, b"\x01" * bound.size, 2)
    found = {tuple(x) for x in np.stack(grid, axis=1).tolist()}
    expected = {tuple(x) for x in np.stack(direct, axis=1).tolist()}
    assert len(found) == grid[0].size  # each once
    assert found == expected
    assert len(expected) > (50 if threshold == THRESHOLD else 5000)


@pytest.mark.parametrize("threshold", [THRESHOLD, 2.0e4])
def test_the_refinement_floor_drops_only_segments_without_a_minimum_below_the_threshold(
    catalogue: dict[str, Any], window: list[Any], threshold: float
) -> None:
    # The candidate segments of the window refined with and without the
    # interpolation bounds: with them, near misses are dropped on their end
    # states; every minimum below the threshold stays, to the last digit.
    from velarion.conjunctions import _screen
    from velarion.conjunctions.bounds import _bounds, _interpolation_bound
    from velarion.conjunctions.intake import _Catalogue, _intake

    r, v, step, substeps, bound, r_min, r_max = window[:7]
    ci, cj, cs = _screen.candidates(r, v, step, substeps, bound, r_min, r_max, threshold, None, 2)
    keys = np.unique(np.stack([ci, cj, cs], axis=1), axis=0)
    intake = _intake(catalogue["tles"])
    objects = [o for o in intake.objects if o is not None]
    assert len(objects) == len(catalogue["tles"]) == bound.size
    cat = _Catalogue(objects, intake.records, Time(DATE).utc, 3 * 3600.0)
    ids, _, _, speed, snap = _bounds(cat, np.arange(len(objects)))
    assert ids.size == bound.size  # none fails in the first hours: rows are objects
    delta = step / substeps
    slack = _interpolation_bound(snap, speed, delta)
    jd, fr = sgp4_jd(Time(DATE))
    rows = cat.rows[keys[:, 0]], cat.rows[keys[:, 1]]
    ta, tb = keys[:, 2] * delta, (keys[:, 2] + 1) * delta
    common = (intake.records, float(np.ravel(jd)[0]), float(np.ravel(fr)[0]), *rows, ta, tb, threshold, 2)
    plain = _screen.refine(*common)
    floored = _screen.refine(*common, slack[keys[:, 0]] + slack[keys[:, 1]])
    hit = plain[0] == 1
    assert hit.sum() >= 5
    assert np.array_equal(floored[0] == 1, hit)
    assert np.array_equal(floored[1][hit], plain[1][hit]) and np.array_equal(floored[2][hit], plain[2][hit])
    assert np.array_equal(floored[3], plain[3])  # the end distances (sustained proximity) too
    # The floor is what drops most of the near misses without a search.
    dropped = (floored[0] == 3) & np.isnan(floored[1])
    assert dropped.sum() > 0.5 * (plain[0] == 3).sum()


@pytest.mark.parametrize(
    ("slack", "error"),
    [([1.0, 2.0], ValueError), ([-1.0], ValueError), ([np.nan], ValueError), ("far", TypeError)],
    ids=["length", "negative", "nan", "type"],
)
def test_the_refinement_refuses_a_bad_slack(catalogue: dict[str, Any], slack: Any, error: type) -> None:
    from velarion.conjunctions import _screen
    from velarion.conjunctions.intake import _intake

    intake = _intake(catalogue["tles"][:2])
    jd, fr = sgp4_jd(Time(DATE))
    pair = np.array([0], dtype=np.int64), np.array([1], dtype=np.int64)
    ends = np.array([0.0]), np.array([60.0])
    args = (intake.records, float(np.ravel(jd)[0]), float(np.ravel(fr)[0]), *pair, *ends, THRESHOLD, 1)
    assert _screen.refine(*args, None)[0].shape == (1,)
    with pytest.raises(error):
        _screen.refine(*args, np.array(slack) if not isinstance(slack, str) else slack)
