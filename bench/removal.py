"""Removing and replacing vectors: the time of one remove() call on large
BruteForce and IvfFlat indexes and on the Hnsw graph, the recall of a graph
after removals against one built afresh over what is left, and a graph
through rounds of churn (remove, upsert) against a fresh build of its final
contents, in recall and in resident memory.

    python bench/removal.py [--quick] [--json PATH]

runs only this part and prints its tables; bench.py runs it on lsa384 and
report.py renders it. The exhaustive and IvfFlat indexes hold generated
vectors (dimension 384, 1,000,000 of them; 200,000 with --quick); the graph
holds the real vectors (or the generated clusters when they are absent).
Every removal and upsert is timed on a fresh copy of a built index
(from_bytes), the fastest of three counting: the removals on one thread and
on all cores, the upserts on one.
The churned graph and its fresh counterpart are each built and measured in
a child interpreter of their own, so the resident memory each reports is
the index's alone.
"""

from __future__ import annotations

import gc
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from compare import Target  # noqa: E402
from data import K, Truth, exact_topk  # noqa: E402

DIM = 384
SHARE = 0.01  # the removal timed in one call: 1 % of the ids
UPSERT_N = 1000
REPEATS = 3
ADD_CHUNK = 5000  # the graph's adds, as the main tables make them
HNSW_M = 16
EF_CONSTRUCTION = 200  # the default
ROUNDS = 10  # churn rounds, each replacing 10 % of the graph
# Goals.
SCAN_REMOVE_S = 0.5
GRAPH_REMOVE_S = 0.3
REMOVED_RECALL_SLACK = 0.01
CHURN_RECALL_SLACK = 0.02
CHURN_MEMORY_RATIO = 1.05


def cores() -> int:
    import os
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def ids_of(hits) -> list[int]:
    return [h["id"] for h in hits]


def timed_on_copies(blob: bytes, call, threads: int) -> tuple[float, object]:
    """The fastest of REPEATS timed call(copy) on fresh copies of the index in
    blob, on `threads` threads; also what the last call returned."""
    import teskra
    saved = teskra.get_num_threads()
    best, out = float("inf"), None
    try:
        for _ in range(REPEATS):
            copy = teskra.Teskra.from_bytes(blob)
            teskra.set_num_threads(threads)
            t0 = time.perf_counter()
            out = call(copy)
            best = min(best, time.perf_counter() - t0)
            teskra.set_num_threads(saved)
            del copy
            gc.collect()
    finally:
        teskra.set_num_threads(saved)
    return best, out


def removal_timings(blob: bytes, n: int, gone: np.ndarray, replaced: np.ndarray, vectors: np.ndarray) -> dict:
    """remove(gone) on one thread and on all cores, and upsert of `vectors`
    under the existing ids `replaced`, each on fresh copies of blob."""
    def remove(ix):
        count = ix.remove(gone)
        if count != len(gone) or ix.n_vectors != n - len(gone):
            raise RuntimeError(f"remove took {count} of {len(gone)} ids, {ix.n_vectors} of {n} vectors left")
        return count

    def upsert(ix):
        ix.upsert(replaced, vectors)
        return ix.n_vectors

    one, _ = timed_on_copies(blob, remove, 1)
    every, _ = timed_on_copies(blob, remove, 0)
    up, _ = timed_on_copies(blob, upsert, 1)
    return {"removed": len(gone), "remove_s": one, "remove_all_s": every, "upsert_n": len(replaced), "upsert_s": up}


# --- BruteForce and IvfFlat on generated vectors --------------------------------


def scan_figures(index_type: str, n: int, nlist: int | None = None) -> dict:
    """n generated vectors added in chunks of 100,000 (IvfFlat then built on
    all cores), then the removal of 1 % of the ids in one call and an upsert
    of UPSERT_N existing ids."""
    import teskra
    rng = np.random.default_rng(11)
    kwargs = {"index_type": "ivf_flat", "ivf_nlist": nlist} if index_type == "IvfFlat" else {}
    index = teskra.Teskra(DIM, metric="cosine", **kwargs)
    t0 = time.perf_counter()
    for start in range(0, n, 100_000):
        count = min(100_000, n - start)
        index.add(np.arange(start, start + count, dtype=np.uint64),
                  rng.standard_normal((count, DIM), dtype=np.float32))
    add_s = time.perf_counter() - t0
    out = {"index": index_type, "n": n, "dim": DIM, "add_s": add_s}
    if index_type == "IvfFlat":
        saved = teskra.get_num_threads()
        teskra.set_num_threads(0)
        t0 = time.perf_counter()
        index.build()
        out.update(nlist=nlist, build_s=time.perf_counter() - t0)
        teskra.set_num_threads(saved)
    blob = index.to_bytes()
    del index
    gc.collect()
    gone = rng.choice(n, int(n * SHARE), replace=False).astype(np.uint64)
    replaced = rng.choice(n, UPSERT_N, replace=False).astype(np.uint64)
    out.update(removal_timings(blob, n, gone, replaced, rng.standard_normal((UPSERT_N, DIM), dtype=np.float32)))
    return out


# --- the graph ------------------------------------------------------------------


def contents_truth(base: np.ndarray, ids: np.ndarray, rows: np.ndarray, queries: np.ndarray):
    """The exact cosine answers over the vectors an index holds (rows of
    base under ids), and a function from found id lists to (recall@10, hits
    naming ids the index should not hold)."""
    vectors = np.ascontiguousarray(base[rows])
    truth = Truth(vectors, queries, "cosine", exact_topk(vectors, queries, K, "cosine"))
    where = np.full(int(ids.max()) + 1, -1, dtype=np.int64)
    where[ids.astype(np.int64)] = np.arange(len(ids))

    def score(found: list[list[int]]) -> tuple[float, int]:
        positions = [[int(where[i]) if i < len(where) else -1 for i in answer] for answer in found]
        stale = sum(p < 0 for answer in positions for p in answer)
        return truth.recall(positions), stale
    return score


def graph_build(ids: np.ndarray, vectors: np.ndarray):
    """An Hnsw index over ids and their vectors, added in chunks in the
    order given, build() called."""
    import teskra
    index = teskra.Teskra(vectors.shape[1], metric="cosine", index_type="hnsw", hnsw_m=HNSW_M,
                          hnsw_ef_construction=EF_CONSTRUCTION)
    for s in range(0, len(ids), ADD_CHUNK):
        index.add(ids[s:s + ADD_CHUNK], vectors[s:s + ADD_CHUNK])
    index.build()
    return index


def searched(index, queries: np.ndarray) -> tuple[list[list[int]], float]:
    from measure import time_queries
    answers, qps = time_queries(lambda q: index.search(q, K), queries, repeats=2)
    return [ids_of(a) for a in answers], qps


def churn_schedule(n: int, rng: np.random.Generator) -> dict:
    """Which ids go and come in each round. A tenth of the rows is held back;
    the graph starts over the rest under their row numbers. Each round
    removes a random tenth of the ids it holds and upserts as many vectors
    under new ids: the held-back rows first, then the rows removed in
    earlier rounds, in turn, so no row is ever in the graph twice."""
    perm = rng.permutation(n)
    held = n // 10
    queue = perm[:held].astype(np.int64)
    rows = np.sort(perm[held:]).astype(np.int64)
    ids = rows.astype(np.uint64)
    start_ids, start_rows = ids.copy(), rows.copy()
    next_id, rounds = n, []
    for _ in range(ROUNDS):
        count = len(ids) // 10
        pick = rng.choice(len(ids), count, replace=False)
        keep = np.ones(len(ids), dtype=bool)
        keep[pick] = False
        gone_ids, gone_rows = ids[pick], rows[pick]
        new_rows, queue = queue[:count], np.concatenate([queue[count:], gone_rows])
        new_ids = np.arange(next_id, next_id + count, dtype=np.uint64)
        next_id += count
        rounds.append((gone_ids, new_ids, new_rows))
        ids, rows = np.concatenate([ids[keep], new_ids]), np.concatenate([rows[keep], new_rows])
    order = np.argsort(ids, kind="stable")
    return {"start_ids": start_ids, "start_rows": start_rows, "rounds": rounds,
            "final_ids": ids[order], "final_rows": rows[order]}


def graph_figures(data, n_queries: int) -> dict:
    """Hnsw m 16 on the data set: the 1 % removal's time, recall after
    removing 10 % against a fresh build over the survivors, and the churn
    in child interpreters."""
    import teskra
    base, queries = data.base, data.queries[:n_queries]
    n = len(base)
    rng = np.random.default_rng(17)
    all_ids = np.arange(n, dtype=np.uint64)
    t0 = time.perf_counter()
    index = graph_build(all_ids, base)
    build_s = time.perf_counter() - t0
    found, qps = searched(index, queries)
    before = {"recall": contents_truth(base, all_ids, np.arange(n), queries)(found)[0], "qps": qps}
    blob = index.to_bytes()
    del index
    gc.collect()

    tenth = rng.choice(n, n // 10, replace=False).astype(np.uint64)
    first = tenth[:int(n * SHARE)]
    replaced = rng.choice(n, UPSERT_N, replace=False).astype(np.uint64)
    out = {"name": data.name, "n": n, "dim": data.dim, "m": HNSW_M, "ef_construction": EF_CONSTRUCTION,
           "ef": 2 * HNSW_M,
           "n_queries": len(queries), "build_s": build_s, "before": before,
           "timings": removal_timings(blob, n, first, replaced, np.ascontiguousarray(base[rng.permutation(replaced)]))}

    # The rest of the tenth in a second call, then recall over the survivors.
    index = teskra.Teskra.from_bytes(blob)
    del blob
    index.remove(first)
    t0 = time.perf_counter()
    index.remove(tenth[len(first):])
    rest_s = time.perf_counter() - t0
    survivors = np.setdiff1d(all_ids, tenth)
    score = contents_truth(base, survivors, survivors.astype(np.int64), queries)
    found, qps = searched(index, queries)
    recall, stale = score(found)
    out["after_removal"] = {"removed": len(tenth), "rest_removed": len(tenth) - len(first), "rest_s": rest_s,
                            "n": index.n_vectors, "recall": recall, "qps": qps, "stale": stale}
    del index
    gc.collect()
    t0 = time.perf_counter()
    index = graph_build(survivors, np.ascontiguousarray(base[survivors.astype(np.int64)]))
    fresh_s = time.perf_counter() - t0
    found, qps = searched(index, queries)
    recall, stale = score(found)
    out["fresh_after_removal"] = {"n": index.n_vectors, "recall": recall, "qps": qps, "stale": stale,
                                  "build_s": fresh_s}
    del index
    gc.collect()
    out["churn"] = churn_figures(base, queries, rng)
    return out


def churn_figures(base: np.ndarray, queries: np.ndarray, rng: np.random.Generator) -> dict:
    plan = churn_schedule(len(base), rng)
    with tempfile.TemporaryDirectory(prefix="teskra-removal-") as tmp:
        folder = Path(tmp)
        np.save(folder / "base.npy", base)
        np.save(folder / "queries.npy", queries)
        arrays = {"start_ids": plan["start_ids"], "start_rows": plan["start_rows"],
                  "final_ids": plan["final_ids"], "final_rows": plan["final_rows"]}
        for r, (gone, new_ids, new_rows) in enumerate(plan["rounds"]):
            arrays.update({f"gone{r}": gone, f"new_ids{r}": new_ids, f"new_rows{r}": new_rows})
        np.savez(folder / "plan.npz", **arrays)
        churned = in_child(folder, "churn")
        fresh = in_child(folder, "fresh")
    score = contents_truth(base, plan["final_ids"], plan["final_rows"], queries)
    for r in (churned, fresh):
        r["recall"], r["stale"] = score(r.pop("found"))
    return {"rounds": ROUNDS, "per_round": len(plan["rounds"][0][0]), "n": len(plan["final_ids"]),
            "churned": churned, "fresh": fresh}


def in_child(folder: Path, kind: str) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", kind, str(folder)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    path = folder / f"{kind}.json"
    if proc.returncode != 0 or not path.exists():
        raise RuntimeError(f"the {kind} child failed (exit {proc.returncode}):\n{proc.stderr[-3000:]}")
    return json.loads(path.read_text())


def memory() -> dict[str, int]:
    """Anonymous and total resident bytes of this process, after a collection."""
    gc.collect()
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("RssAnon:", "VmRSS:")):
                out[line.split(":")[0]] = int(line.split()[1]) * 1024
    return out


def trim() -> None:
    import ctypes
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def child(kind: str, folder: Path) -> None:
    """One graph in this fresh interpreter: for "churn" built over the start
    contents and put through the rounds, for "fresh" built over the final
    contents. Everything the calls read (vectors, ids) is made before the
    first reading and kept until the last, so the growth between them is
    the index's, as the allocator leaves it; a reading after a heap trim
    follows."""
    import teskra
    teskra.set_num_threads(1)
    base = np.load(folder / "base.npy")
    queries = np.load(folder / "queries.npy")
    plan = np.load(folder / "plan.npz")
    # First use of every call on a small graph, so what stays allocated for
    # good is not charged to the index.
    warm = teskra.Teskra(base.shape[1], metric="cosine", index_type="hnsw", hnsw_m=HNSW_M)
    warm.add(np.arange(200, dtype=np.uint64), base[:200])
    warm.build()
    warm.remove(np.arange(20, dtype=np.uint64))
    warm.upsert(np.arange(20, 40, dtype=np.uint64), base[200:220])
    warm.search(queries[0], K)
    del warm
    out: dict = {}
    if kind == "churn":
        ids, vectors = plan["start_ids"], np.ascontiguousarray(base[plan["start_rows"]])
        rounds = [(plan[f"gone{r}"], plan[f"new_ids{r}"], np.ascontiguousarray(base[plan[f"new_rows{r}"]]))
                  for r in range(ROUNDS)]
    else:
        ids, vectors = plan["final_ids"], np.ascontiguousarray(base[plan["final_rows"]])
        rounds = []
    trim()
    before = memory()
    t0 = time.perf_counter()
    index = graph_build(ids, vectors)
    out["build_s"] = time.perf_counter() - t0
    remove_s, upsert_s = [], []
    for gone, new_ids, new_vectors in rounds:
        t0 = time.perf_counter()
        count = index.remove(gone)
        remove_s.append(time.perf_counter() - t0)
        if count != len(gone):
            raise RuntimeError(f"remove took {count} of {len(gone)} ids")
        t0 = time.perf_counter()
        index.upsert(new_ids, new_vectors)
        upsert_s.append(time.perf_counter() - t0)
    after = memory()
    trim()
    trimmed = memory()
    out.update(remove_s=remove_s, upsert_s=upsert_s, n=index.n_vectors,
               rss=after["RssAnon"] - before["RssAnon"], vmrss=after["VmRSS"] - before["VmRSS"],
               rss_trimmed=trimmed["RssAnon"] - before["RssAnon"])
    out["found"], out["qps"] = searched(index, queries)
    (folder / f"{kind}.json").write_text(json.dumps(out))


# --- all of it ----------------------------------------------------------------


def measure(data, quick: bool) -> dict:
    """Everything above. `data` is the graph's data set (its queries, 200
    of them with quick)."""
    import teskra
    saved = teskra.get_num_threads()
    teskra.set_num_threads(1)
    try:
        n = 200_000 if quick else 1_000_000
        scans = [scan_figures("BruteForce", n), scan_figures("IvfFlat", n, 256)]
        graph = graph_figures(data, min(len(data.queries), 200 if quick else 1000))
    finally:
        teskra.set_num_threads(saved)
    return {"when": time.strftime("%Y-%m-%d %H:%M"), "cores": cores(), "scans": scans, "graph": graph}


# --- report ------------------------------------------------------------------


def _churn_memory(c: dict) -> float:
    return c["churned"]["rss"] / c["fresh"]["rss"] if c["fresh"]["rss"] > 0 else float("inf")


def targets(result: dict) -> list[Target]:
    r = result.get("removal")
    if not r:
        return []
    out = []
    for s in r["scans"]:
        ds = f"generated {s['n'] // 1000}k x {s['dim']}"
        out.append(Target(ds, f"{s['index']} remove 1 %", f"one call <= {SCAN_REMOVE_S:g} s (one thread)",
                          f"{s['remove_s']:.3f} s ({s['removed']:,} ids)", s["remove_s"] <= SCAN_REMOVE_S))
    g = r["graph"]
    ds, t, a, f = result["key"], g["timings"], g["after_removal"], g["fresh_after_removal"]
    # The graph's repair is shared out among the call's threads; a call
    # uses every core unless told otherwise, so the target is judged there.
    out.append(Target(ds, f"Hnsw m {g['m']} remove 1 %",
                      f"one call <= {GRAPH_REMOVE_S:g} s (all {r['cores']} cores, the default)",
                      f"{t['remove_all_s']:.3f} s ({t['removed']:,} ids; one thread {t['remove_s']:.3f} s)",
                      t["remove_all_s"] <= GRAPH_REMOVE_S))
    gap = f["recall"] - a["recall"]
    out.append(Target(ds, f"Hnsw m {g['m']} recall after removing 10 %",
                      f"recall@10 at ef {g['ef']} no more than {REMOVED_RECALL_SLACK:g} below a fresh build's",
                      f"{a['recall']:.3f} vs {f['recall']:.3f} ({-gap:+.3f})", gap <= REMOVED_RECALL_SLACK + 1e-12))
    c = g["churn"]
    gap = c["fresh"]["recall"] - c["churned"]["recall"]
    out.append(Target(ds, f"Hnsw m {g['m']} recall after {c['rounds']} churn rounds",
                      f"recall@10 at ef {g['ef']} no more than {CHURN_RECALL_SLACK:g} below a fresh build's",
                      f"{c['churned']['recall']:.3f} vs {c['fresh']['recall']:.3f} ({-gap:+.3f})",
                      gap <= CHURN_RECALL_SLACK + 1e-12))
    ratio = _churn_memory(c)
    out.append(Target(ds, f"Hnsw m {g['m']} memory after {c['rounds']} churn rounds",
                      f"resident memory <= {CHURN_MEMORY_RATIO:g}x a fresh build's",
                      f"{ratio:.3f}x ({c['churned']['rss'] / 1e6:.1f} vs {c['fresh']['rss'] / 1e6:.1f} MB)",
                      ratio <= CHURN_MEMORY_RATIO))
    return out


def _ms(s: float) -> str:
    return f"{s * 1e3:,.1f} ms"


def section(result: dict) -> list[str]:
    r = result.get("removal")
    if not r:
        return []
    lines = ["### Removal and churn", "",
             f"Measured {r.get('when', '')}. Each call timed on a fresh copy of the built index (`from_bytes`), "
             f"fastest of {REPEATS}; one thread unless the column says all cores ({r['cores']} here). The removed "
             "ids are random, in one call; the upsert replaces the vectors of "
             f"{r['scans'][0]['upsert_n']:,} random existing ids.", "",
             "| index | vectors | remove 1 % | on all cores | upsert | build |", "|---|---|---|---|---|---|"]
    for s in r["scans"]:
        name = f"{s['index']} 4-bit" + (f", nlist {s['nlist']}" if s.get("nlist") else "")
        build = f"{s['build_s']:.1f} s (all cores)" if "build_s" in s else ""
        lines.append(f"| {name} (generated) | {s['n']:,} x {s['dim']} | {_ms(s['remove_s'])} "
                     f"({s['removed']:,} ids) | {_ms(s['remove_all_s'])} | {_ms(s['upsert_s'])} "
                     f"({s['upsert_n']:,}) | {build} |")
    g = r["graph"]
    t, a, f = g["timings"], g["after_removal"], g["fresh_after_removal"]
    lines.append(f"| Hnsw 4-bit m {g['m']} ({result['key']}) | {g['n']:,} x {g['dim']} | {_ms(t['remove_s'])} "
                 f"({t['removed']:,} ids) | {_ms(t['remove_all_s'])} | {_ms(t['upsert_s'])} ({t['upsert_n']:,}) | "
                 f"{g['build_s']:.1f} s |")
    lines += ["", f"Hnsw m {g['m']} on {g['name']}, ef_construction {g['ef_construction']}, the default ef "
              f"{g['ef']}, {g['n_queries']} queries, recall@10 against the exact cosine answers over the vectors "
              "the index holds. \"Stale\" counts hits naming a removed id (there should be none).", "",
              "| graph | vectors | recall@10 | QPS | stale hits |", "|---|---|---|---|---|",
              f"| as built | {g['n']:,} | {g['before']['recall']:.3f} | {g['before']['qps']:,.0f} | |",
              f"| after removing 10 % ({t['removed']:,} ids, then {a['rest_removed']:,} in {a['rest_s']:.2f} s) | "
              f"{a['n']:,} | {a['recall']:.3f} | {a['qps']:,.0f} | {a['stale']} |",
              f"| built afresh over the same ({f['build_s']:.1f} s) | {f['n']:,} | {f['recall']:.3f} | "
              f"{f['qps']:,.0f} | {f['stale']} |"]
    c = g["churn"]
    ch, fr = c["churned"], c["fresh"]
    rounds = [x + y for x, y in zip(ch["remove_s"], ch["upsert_s"])]
    lines += ["", f"Churn: a tenth of the vectors held back, the graph built over the rest ({c['n']:,}), then "
              f"{c['rounds']} rounds each removing a random {c['per_round']:,} ids in one call and upserting as many "
              "vectors under new ids (the held-back ones, then those removed before). Against a graph built afresh "
              "over exactly the final contents, each in a fresh process; resident memory is the anonymous resident "
              "growth from before the build, as the allocator leaves it, and after a heap trim.", "",
              "| graph | recall@10 | QPS | stale hits | resident | after trim |", "|---|---|---|---|---|---|"]
    for name, x in (("churned", ch), ("built afresh", fr)):
        lines.append(f"| {name} | {x['recall']:.3f} | {x['qps']:,.0f} | {x['stale']} | {x['rss'] / 1e6:,.1f} MB | "
                     f"{x['rss_trimmed'] / 1e6:,.1f} MB |")
    lines += ["", f"A round: {_ms(sum(rounds) / len(rounds))} on average ({_ms(min(rounds))} to {_ms(max(rounds))}), "
              f"of which `remove` {_ms(sum(ch['remove_s']) / len(rounds))} and `upsert` "
              f"{_ms(sum(ch['upsert_s']) / len(rounds))}. Churned memory {_churn_memory(c):.3f}x the fresh build's.",
              ""]
    return lines


def main() -> None:
    import argparse
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], Path(args.child[1]))
        return
    from data import DEFAULT_REAL, clustered, lsa384, real_available, single_thread_env
    single_thread_env()  # the children's NumPy
    data, key = (lsa384(DEFAULT_REAL), "lsa384") if real_available() else (clustered(50_000, DIM, 1000), "clustered")
    result = {"key": key, "removal": measure(data, args.quick)}
    for line in section(result):
        print(line)
    print("\n| data set | target | goal | measured | result |\n|---|---|---|---|---|")
    for t in targets(result):
        print(f"| {t.data_set} | {t.name} | {t.goal} | {t.measured} | "
              f"{ {True: 'met', False: '**missed**', None: 'n/a'}[t.met]} |")
    if args.json:
        Path(args.json).write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
