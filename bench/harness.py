"""One index, measured the same way whoever made it.

An IndexRecipe says how to build an index, ask it one query, read ids from its
answer, turn its tuning knob and save/load it. measure() runs that recipe:
resident-memory growth and time of the build, a sweep of the knob with
recall@10 and queries per second at each value, then save and load when the
library can, and a record fit for JSON.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from data import Truth
from measure import Stopwatch, log, progress, rss_bytes, save_load, time_queries

# Queries the loaded copy of a saved index must answer exactly as the original.
LOAD_CHECK_QUERIES = 20


@dataclass
class Plan:
    """Sizes of a run. The quick plan keeps every index kind but shrinks the
    data, the query count and the sweeps so the whole run stays in minutes."""
    quick: bool = False
    n_queries: int = 1000
    lsa_base: int | None = None  # None: all 50k rows
    clustered_n: int = 100_000
    clustered_dim: int = 768
    wordvec_n: int = 20_000
    wordvec_queries: int = 500
    hnsw_ms: tuple[int, ...] = (16, 32)
    ef_construction: int = 200
    ef_sweep: tuple[int, ...] = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
    nprobe_sweep: tuple[int, ...] = (1, 2, 4, 8, 16, 32, 64, 128)
    nlist: int = 256
    avg_bits: tuple[float, ...] = (2.5, 3.0, 3.5)
    profile_sample: int = 5000
    pq_train: int = 10_000
    pq_niter: int = 10
    rabitq_bits: tuple[int, ...] = (1, 2, 4)
    add_chunk: int = 5000
    repeats: int = 2  # timed passes over the queries; the fastest counts
    quiet: bool = False

    @classmethod
    def make(cls, quick: bool, n_queries: int | None = None, quiet: bool = False) -> "Plan":
        if not quick:
            return cls(n_queries=n_queries or 1000, quiet=quiet)
        return cls(quick=True, n_queries=n_queries or 200, lsa_base=10_000, clustered_n=10_000,
                   wordvec_n=5000, wordvec_queries=100, hnsw_ms=(16,), ef_sweep=(10, 32, 128),
                   nprobe_sweep=(1, 4, 16), nlist=64, profile_sample=2000, pq_train=4000, pq_niter=5,
                   quiet=quiet)

    def nlist_for(self, n: int) -> int:
        # k-means wants tens of points per list; a quick run's subset is small.
        return max(8, min(self.nlist, n // 39))


@dataclass
class IndexRecipe:
    library: str  # "teskra", "faiss", "hnswlib", "usearch"
    label: str  # what the tables call it
    family: str  # "exhaustive", "ivf" or "graph"
    series: str  # points with the same series form one curve in the plots
    build: Callable[[Callable[[Callable[[int, int], None]], None]], Any]
    search: Callable[[Any, np.ndarray], Any]  # (index, query) -> the library's raw answer
    ids: Callable[[Any], list[int]]  # raw answer -> ids, best first
    knob: str | None = None
    knob_values: Sequence[Any] = ()
    set_knob: Callable[[Any, Any], None] | None = None
    save: Callable[[Any, str], None] | None = None
    load: Callable[[str], Any] | None = None
    code_bytes: Callable[[Any], int | None] = lambda index: None
    file_suffix: str = ".bin"
    params: dict = field(default_factory=dict)
    note: str = ""
    tag: str = ""  # a short name for the point in plots ("3.5-bit", "256 B")

    @property
    def ours(self) -> bool:
        return self.library == "teskra"


def chunked_adder(n: int, chunk: int, desc: str, quiet: bool):
    """The add loop every build uses: add(start, stop) over the rows in chunks,
    behind one progress bar, so a minutes-long graph build shows it is moving."""
    def run(add: Callable[[int, int], None]) -> None:
        starts = range(0, n, chunk)
        for s in progress(starts, desc, total=len(starts), quiet=quiet):
            add(s, min(n, s + chunk))
    return run


def measure(recipe: IndexRecipe, n: int, queries: np.ndarray, truth: Truth, plan: Plan) -> dict:
    record: dict[str, Any] = {
        "library": recipe.library, "label": recipe.label, "family": recipe.family, "series": recipe.series,
        "ours": recipe.ours, "knob": recipe.knob, "params": recipe.params, "note": recipe.note, "n": n,
        "tag": recipe.tag,
    }
    before = rss_bytes()
    with Stopwatch() as build:
        index = recipe.build(chunked_adder(n, plan.add_chunk, f"build {recipe.label}", plan.quiet))
    record["build_s"] = build.s
    record["mem_per_vec"] = max(0, rss_bytes() - before) / n
    record["code_bytes"] = recipe.code_bytes(index)

    settings = list(recipe.knob_values) if recipe.knob else [None]
    points = []
    bar = progress(settings, f"sweep {recipe.label}", total=len(settings), quiet=plan.quiet or len(settings) == 1)
    for value in bar:
        if value is not None:
            recipe.set_knob(index, value)
        answers, qps = time_queries(lambda q: recipe.search(index, q), queries, repeats=plan.repeats)
        found = [recipe.ids(a) for a in answers]
        points.append({"knob": value, "recall": truth.recall(found), "qps": qps})
    record["points"] = points

    record.update({"file_per_vec": None, "save_s": None, "load_s": None, "load_ok": None})
    if recipe.save is not None and recipe.load is not None:
        last = settings[-1]
        probe = queries[:LOAD_CHECK_QUERIES]
        expected = [recipe.ids(recipe.search(index, q)) for q in probe]

        def check(loaded) -> bool:
            if last is not None:
                recipe.set_knob(loaded, last)
            return [recipe.ids(recipe.search(loaded, q)) for q in probe] == expected

        try:
            sl = save_load(lambda p: recipe.save(index, str(p)), lambda p: recipe.load(str(p)), check,
                           "index" + recipe.file_suffix)
        except Exception as e:  # a failed save must not cost the rest of the run
            log(f"  {recipe.label}: save/load failed: {e}")
            record["note"] = (record["note"] + "; " if record["note"] else "") + f"save/load failed: {e}"
        else:
            record.update({"file_per_vec": sl["file_bytes"] / n, "save_s": sl["save_s"],
                           "load_s": sl["load_s"], "load_ok": sl["load_ok"]})
    del index
    best = max(points, key=lambda p: p["recall"])
    log(f"  {recipe.label:<34} build {build.s:7.1f}s  mem {record['mem_per_vec']:7.0f} B/vec  "
        f"best recall {best['recall']:.3f} at {best['qps']:,.0f} QPS")
    return record
