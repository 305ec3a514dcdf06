"""Serving from files and moving indexes around: Teskra.view against load on a
large BruteForce file, two processes viewing one file, and the bytes round
trip.

    python bench/serving.py [--quick] [--json PATH]

runs only this part and prints its table; bench.py runs it once and
report.py renders it. The large file is generated (dimension 384, 1,000,000
vectors; 200,000 with --quick) and written to a temporary directory. Every
opening runs in a fresh interpreter, so the resident memory it reports is the
opening's own.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from compare import Target  # noqa: E402

DIM = 384

# One opening in a child interpreter: time to open, resident growth before
# the first search, then warm QPS. With --hold it also reports the private
# (unshared) resident memory of the process after searching and waits for a
# line on stdin before exiting, so that a second process can map the same
# pages meanwhile.
CHILD = r'''
import json, os, sys, time
import numpy as np
import teskra

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def private():
    total = 0
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1]) * 1024
    return total

path, how, n_queries, hold = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "hold"
queries = np.random.default_rng(1).standard_normal((n_queries, %d)).astype(np.float32)
teskra.set_num_threads(1)
before, private_before = rss(), private()
t0 = time.perf_counter()
index = teskra.Teskra.view(path) if how == "view" else teskra.Teskra.load(path)
open_s = time.perf_counter() - t0
opened = rss()
index.search(queries[0], 10)  # warm: the pages are in
t0 = time.perf_counter()
for q in queries:
    index.search(q, 10)
search_s = time.perf_counter() - t0
print(json.dumps({"open_s": open_s, "rss_growth": opened - before, "qps": n_queries / search_s,
                  "private_growth": private() - private_before}), flush=True)
if hold:
    sys.stdin.readline()
''' % DIM


def make_file(path: Path, n: int) -> None:
    index = __import__("teskra").Teskra(DIM)
    rng = np.random.default_rng(0)
    for start in range(0, n, 100_000):
        count = min(100_000, n - start)
        index.add(np.arange(start, start + count, dtype=np.uint64),
                  rng.standard_normal((count, DIM)).astype(np.float32))
    index.save(str(path))


def open_in_child(path: Path, how: str, n_queries: int, hold: bool = False):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(path), how, str(n_queries), "hold" if hold else "go"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line:
        proc.wait()
        raise RuntimeError(f"{how} of {path} failed (exit {proc.returncode})")
    return json.loads(line), proc


def best_of(runs: list[dict]) -> dict:
    return {"open_s": min(r["open_s"] for r in runs), "rss_growth": min(r["rss_growth"] for r in runs),
            "qps": max(r["qps"] for r in runs), "private_growth": min(r["private_growth"] for r in runs)}


def bytes_round_trip(data) -> dict:
    import teskra
    index = teskra.Teskra(data.dim)
    index.add(np.arange(len(data.base), dtype=np.uint64), data.base)
    out_s = in_s = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        blob = index.to_bytes()
        out_s = min(out_s, time.perf_counter() - t0)
        t0 = time.perf_counter()
        teskra.Teskra.from_bytes(blob)
        in_s = min(in_s, time.perf_counter() - t0)
    return {"bytes": len(blob), "to_bytes_s": out_s, "from_bytes_s": in_s}


def measure(data, quick: bool) -> dict:
    n = 200_000 if quick else 1_000_000
    n_queries = 20
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "large.tskr"
        make_file(path, n)
        size = path.stat().st_size
        opened = {how: best_of([open_in_child(path, how, n_queries)[0] for _ in range(3)]) for how in ("view", "load")}
        # Two processes: the first holds its view open while the second maps and searches the same file.
        first, holder = open_in_child(path, "view", n_queries, hold=True)
        try:
            second, _ = open_in_child(path, "view", n_queries)
        finally:
            holder.communicate("\n")
    return {"when": time.strftime("%Y-%m-%d %H:%M"), "n": n, "file_bytes": size, "view": opened["view"], "load": opened["load"],
            "two_processes": {"first": first, "second": second}, "bytes": bytes_round_trip(data)}


# --- report ------------------------------------------------------------------


def targets(result: dict) -> list[Target]:
    s = result.get("serving")
    if not s:
        return []
    v, ld, n, size = s["view"], s["load"], s["n"], s["file_bytes"]
    ds = f"generated {n // 1000}k x {DIM}"
    out = [Target(ds, "view open", "< 10 ms and < 1 MB resident growth before the first search",
                  f"{v['open_s'] * 1e3:.2f} ms, {v['rss_growth'] / 1e6:.2f} MB", v["open_s"] < 0.010
                  and v["rss_growth"] < 1e6),
           Target(ds, "view search", "warm QPS within 5 % of the loaded index's",
                  f"{v['qps'] / ld['qps']:.2f}x ({v['qps']:,.1f} vs {ld['qps']:,.1f} QPS)", v["qps"] >= 0.95 * ld["qps"])]
    second = s["two_processes"]["second"]["private_growth"]
    out.append(Target(ds, "two processes viewing one file", "second process's private memory < 5 % of the file",
                      f"{second / size * 100:.1f} % ({second / 1e6:.1f} of {size / 1e6:.0f} MB)", second < 0.05 * size))
    b = s["bytes"]
    rate_out, rate_in = b["bytes"] / b["to_bytes_s"] / 1e9, b["bytes"] / b["from_bytes_s"] / 1e9
    out.append(Target(result["key"], "to_bytes / from_bytes (BruteForce 4-bit)", ">= 1 GB/s each",
                      f"{rate_out:.2f} / {rate_in:.2f} GB/s", min(rate_out, rate_in) >= 1.0))
    return out


def section(result: dict) -> list[str]:
    s = result.get("serving")
    if not s:
        return []
    v, ld, size = s["view"], s["load"], s["file_bytes"]
    lines = [f"### Serving from a file (generated {s['n']:,} x {DIM} BruteForce 4-bit, {size / 1e6:,.0f} MB)", "",
             f"Measured {s.get('when', '')}. Each opening in a fresh process; resident growth is measured right "
             "after opening, before any search; best of three.", "",
             "| how | open | resident growth | warm QPS |", "|---|---|---|---|"]
    for name, r in (("`Teskra.view`", v), ("`Teskra.load`", ld)):
        lines.append(f"| {name} | {r['open_s'] * 1e3:,.2f} ms | {r['rss_growth'] / 1e6:,.1f} MB | {r['qps']:,.1f} |")
    two = s["two_processes"]
    lines += ["", f"Two processes viewing the file at once, private resident growth after searching: "
              f"{two['first']['private_growth'] / 1e6:,.1f} MB in the first (measured while it alone maps the file, "
              f"when the kernel counts the file's pages as its own), {two['second']['private_growth'] / 1e6:,.1f} MB "
              "in the second: the codes are page cache both share.", ""]
    b = s["bytes"]
    lines += [f"`to_bytes` / `from_bytes` of {result['key']} BruteForce 4-bit ({b['bytes'] / 1e6:.1f} MB): "
              f"{b['bytes'] / b['to_bytes_s'] / 1e9:.2f} / {b['bytes'] / b['from_bytes_s'] / 1e9:.2f} GB/s.", ""]
    return lines


def main() -> None:
    import argparse
    from data import DEFAULT_REAL, clustered, lsa384, real_available
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    data, key = (lsa384(DEFAULT_REAL), "lsa384") if real_available() else (clustered(50_000, DIM, 100), "clustered")
    result = {"key": key, "serving": measure(data, args.quick)}
    for line in section(result):
        print(line)
    for t in targets(result):
        print(t)
    if args.json:
        Path(args.json).write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
