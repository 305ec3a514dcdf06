"""make bench: teskra side by side with faiss, hnswlib and usearch, one thread,
one process per data set, then the report and plots in bench/results/; on
lsa384 also batches and threads, all cores against one (parallel.py), serving
from a file and the bytes round trip (serving.py), and removal and churn
(removal.py).

    python bench/bench.py [--quick] [--data DIR] [--out DIR] [--queries N] [--sets a,b,...]

Data sets: lsa384 (the real vectors, when DIR holds them), clustered768
(generated, 100k x 768) and wordvec300 (raw-magnitude vectors for the
dot / l2 limits). --quick shrinks every set, the query count and the sweeps
so the whole run takes a few minutes; the report says it was a quick run.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import signal
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from data import DEFAULT_REAL, single_thread_env  # noqa: E402

single_thread_env()  # before NumPy or any peer loads its thread pool


SETS = ("lsa384", "clustered768", "wordvec300")


def load_set(key: str, plan, folder: Path):
    import data
    if key == "lsa384":
        return data.lsa384(folder, plan.lsa_base, plan.n_queries)
    if key == "clustered768":
        return data.clustered(plan.clustered_n, plan.clustered_dim, plan.n_queries)
    if key == "wordvec300":
        return data.word_vectors(plan.wordvec_n, 300, plan.wordvec_queries)
    raise SystemExit(f"unknown data set {key!r}; known: {', '.join(SETS)}")


def versions() -> dict[str, str]:
    import importlib.metadata as md
    out = {"python": platform.python_version()}
    for dist in ("teskra", "numpy", "faiss-cpu", "hnswlib", "usearch"):
        try:
            out[dist] = md.version(dist)
        except md.PackageNotFoundError:
            pass
    return out


def run_set(key: str, plan, folder: Path) -> dict:
    """Everything measured on one data set; runs in its own process."""
    import ours
    import peers
    from data import normalized
    from harness import measure
    from measure import fix_allocator, log, progress

    fix_allocator()
    t0 = time.perf_counter()
    data = load_set(key, plan, folder)
    log(f"== {data.name}: {len(data.queries)} queries")
    result = {"key": key, "name": data.name, "n": len(data.base), "dim": data.dim, "n_queries": len(data.queries),
              "note": data.note, "quick": plan.quick, "has_save": ours.HAS_SAVE}
    if key == "wordvec300":
        result["raw_magnitude"] = ours.raw_magnitude(data, plan)
        result["wall_s"] = time.perf_counter() - t0
        return result

    truth = data.truth_for("cosine")
    import teskra
    teskra.set_num_threads(1)  # the main tables are one thread; parallel.py measures more
    budgets = [teskra.Teskra(data.dim, **kw).packed_bytes_per_vec for _, _, kw in ours.layouts(data, plan)]
    unit, unit_queries = normalized(data.base), normalized(data.queries)
    our_recipes = ours.recipes(data, plan)
    peer_recipes, missing = peers.recipes(data, unit, plan, budgets)
    ours.warm_up(data)
    peers.warm_up(unit, unit_queries, missing)
    records = []
    jobs = [(s, data.queries) for s in our_recipes] + [(s, unit_queries) for s in peer_recipes]
    for recipe, queries in progress(jobs, f"{key}: indexes", total=len(jobs), quiet=plan.quiet):
        try:
            records.append(measure(recipe, len(data.base), queries, truth, plan))
        except Exception:  # one broken configuration must not sink the data set
            log(f"  {recipe.label} failed:\n{traceback.format_exc()}")
    result.update({"records": records, "missing": missing, "call_overhead_us": ours.call_overhead_us()})
    if key == "lsa384":
        log(f"== {data.name}: filtered graph searches")
        try:
            result["graph_filtered"] = graph_filtered(data, plan)
        except Exception:
            log(f"  filtered searches failed:\n{traceback.format_exc()}")
    if key == "lsa384":
        import parallel
        log(f"== {data.name}: batches and threads")
        result["parallel"] = parallel.measure(data, plan)
        import serving
        log("== serving from a file, bytes round trip")
        try:
            result["serving"] = serving.measure(data, plan.quick)
        except Exception:
            log(f"  serving figures failed:\n{traceback.format_exc()}")
        import removal
        log("== removal and churn")
        try:
            result["removal"] = removal.measure(data, plan.quick)
        except Exception:
            log(f"  removal figures failed:\n{traceback.format_exc()}")
    result["wall_s"] = time.perf_counter() - t0
    return result


def graph_filtered(data, plan) -> dict:
    """Hnsw m 16 and hnswlib with the same allowlists of several shares of the ids."""
    import ours
    import peers
    from data import normalized
    n_queries = min(len(data.queries), 300)
    lists = ours.allowlists(len(data.base))
    truths = ours.filtered_truths(data, lists, n_queries)
    out = {"teskra": ours.graph_filtered(data, plan, lists, truths, n_queries)}
    out["hnswlib"] = peers.hnswlib_filtered(normalized(data.base), normalized(data.queries[:n_queries]), plan,
                                            ours.FILTER_M, 2 * ours.FILTER_M, lists, truths)
    return out


def probe(args) -> None:
    """One Hnsw build in this fresh process, the allocator untouched: its
    resident memory after build() and its peak during the adds."""
    from harness import Plan
    import ours
    import teskra
    if hasattr(teskra, "set_num_threads"):
        teskra.set_num_threads(1)
    plan = Plan.make(args.quick, args.queries, quiet=True)
    key, m = args.probe.split(":")
    data = load_set(key, plan, Path(args.data) if args.data else DEFAULT_REAL)
    Path(args.json).write_text(json.dumps(ours.graph_memory(data, plan, int(m)), default=float))


def child(args) -> None:
    from harness import Plan
    plan = Plan.make(args.quick, args.queries, quiet=args.quiet)
    try:
        result = run_set(args.child, plan, Path(args.data) if args.data else DEFAULT_REAL)
    except Exception:
        result = {"key": args.child, "error": traceback.format_exc()}
    result["versions"] = versions()
    Path(args.json).write_text(json.dumps(result, indent=1, default=float))


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def memory_probes(key: str, args, raw: Path) -> list[dict]:
    """graph_memory for each Hnsw m of the plan, each in a process of its own."""
    from harness import Plan
    out = []
    for m in Plan.make(args.quick).hnsw_ms:
        path = raw / f"{key}.memory{m}.json"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--probe", f"{key}:{m}", "--json", str(path)]
        cmd += ["--quick"] if args.quick else []
        cmd += ["--data", str(args.data)] if args.data else []
        print(f"== {key}: memory of Hnsw m {m} in a fresh process", file=sys.stderr, flush=True)
        subprocess.run(cmd, env=os.environ.copy())
        if path.exists():
            out.append(json.loads(path.read_text()))
            path.unlink()
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small subsets, fewer queries and sweep points")
    ap.add_argument("--data", help="folder with base.f16.npy, queries.f16.npy and gt_*.i32.npy")
    ap.add_argument("--out", default=str(HERE / "results"), help="report folder (default bench/results)")
    ap.add_argument("--queries", type=int, help="queries per data set (default 1000, quick 200)")
    ap.add_argument("--sets", help=f"comma-separated subset of {','.join(SETS)}")
    ap.add_argument("--quiet", action="store_true", help="no progress bars")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--json", help=argparse.SUPPRESS)
    ap.add_argument("--probe", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.probe:
        probe(args)
        return
    if args.child:
        child(args)
        return

    # Stopping the driver stops the data set it is running: subprocess.run
    # kills its child when an exception, SystemExit included, unwinds it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    folder = Path(args.data) if args.data else DEFAULT_REAL
    from data import real_available
    keys = [k.strip() for k in args.sets.split(",")] if args.sets else list(SETS)
    if "lsa384" in keys and not real_available(folder):
        print(f"no real vectors in {folder}: lsa384 skipped, the generated sets stand in", file=sys.stderr)
        keys.remove("lsa384")

    out_dir = Path(args.out)
    raw = out_dir / "raw"
    raw.mkdir(parents=True, exist_ok=True)
    for old in raw.glob("*.json"):
        old.unlink()
    t0 = time.perf_counter()
    results = []
    for key in keys:
        path = raw / f"{key}.json"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--child", key, "--json", str(path)]
        cmd += ["--quick"] if args.quick else []
        cmd += ["--data", str(folder)] if args.data else []
        cmd += ["--queries", str(args.queries)] if args.queries else []
        cmd += ["--quiet"] if args.quiet else []
        proc = subprocess.run(cmd, env=os.environ.copy())
        if path.exists():
            results.append(json.loads(path.read_text()))
        else:
            results.append({"key": key, "error": f"the process for {key} exited with status {proc.returncode}"})
        if key != "wordvec300" and "error" not in results[-1]:
            results[-1]["graph_memory"] = memory_probes(key, args, raw)
            path.write_text(json.dumps(results[-1], indent=1, default=float))  # report.py rereads raw/

    from harness import Plan
    meta = {"quick": args.quick, "repeats": Plan.make(args.quick).repeats,
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "cpu": cpu_name(),
            "cores": os.cpu_count(), "wall_s": time.perf_counter() - t0, "order": keys,
            "versions": next((r["versions"] for r in results if "versions" in r), versions())}
    (raw / "meta.json").write_text(json.dumps(meta, indent=1))
    import report
    path = report.write(results, out_dir, meta)
    print(f"report: {path} ({meta['wall_s'] / 60:.1f} min)")
    if not args.quick and out_dir.resolve() == (HERE / "results").resolve():
        # A full run into the repository's results keeps the README's quoted figures in step.
        done = report.update_readme(HERE.parent / "README.md", report.readme_blocks(results, meta))
        print(f"README.md: refreshed {', '.join(done) or 'nothing (no markers)'}")
    failed = [r["key"] for r in results if "error" in r]
    if failed:
        sys.exit(f"failed data sets: {', '.join(failed)}")


if __name__ == "__main__":
    main()
