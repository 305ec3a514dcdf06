"""Turn the per-data-set measurements into bench/results/latest.md and PNG plots.

    python bench/report.py [RESULTS_DIR] [--readme]

rebuilds the report from the raw JSON files a run left in RESULTS_DIR/raw,
without measuring anything again; with --readme (full runs only) it also
refreshes the measured passages of README.md.
"""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import parallel  # noqa: E402
import removal  # noqa: E402
import serving  # noqa: E402
from compare import (RECALL_TOL, Target, best_peer_at, best_recall, bytes_per_vec, qps_ratios,  # noqa: E402
                     recall_at_bytes, summarize_ratios)

ROOT = HERE.parent
KERNELS_JSON = ROOT / "build" / "bench" / "kernels.json"

# --- finding records -------------------------------------------------------


def by_series(result: dict, series: str) -> list[dict]:
    return [r for r in result["records"] if r["series"] == series]


def one(result: dict, series: str) -> dict | None:
    found = by_series(result, series)
    return found[0] if found else None


def ours(result: dict, family: str | None = None) -> list[dict]:
    return [r for r in result["records"] if r["ours"] and (family is None or r["family"] == family)]


def peers(result: dict, families: tuple[str, ...]) -> list[dict]:
    return [r for r in result["records"] if not r["ours"] and r["family"] in families]


def bf_4bit(result: dict) -> dict | None:
    return next((r for r in ours(result, "exhaustive") if r["params"] == {"bit_width": 4}), None)


def scan_recall(result: dict) -> float | None:
    """Recall@10 of the exhaustive 4-bit scan: the most any search over the codes finds."""
    bf = bf_4bit(result)
    return bf["points"][0]["recall"] if bf else None


def bf_curve(result: dict) -> list[tuple[float, float]]:
    """teskra's exhaustive layouts as (bytes per vector, recall)."""
    return [(bytes_per_vec(r), r["points"][0]["recall"]) for r in ours(result, "exhaustive")]


# --- targets ---------------------------------------------------------------


def targets(result: dict) -> list[Target]:
    ds = result["key"]
    out = []

    ours4, sq4 = bf_4bit(result), one(result, "faiss SQ4 flat")
    goal = "QPS >= 1.5x faiss SQ 4-bit flat"
    if ours4 and sq4:
        ratio = ours4["points"][0]["qps"] / sq4["points"][0]["qps"]
        out.append(Target(ds, "BruteForce 4-bit speed", goal,
                          f"{ratio:.2f}x ({ours4['points'][0]['qps']:,.0f} vs {sq4['points'][0]['qps']:,.0f} QPS)",
                          ratio >= 1.5))
    else:
        out.append(Target(ds, "BruteForce 4-bit speed", goal, "not measured (faiss missing)", None))

    ours_curve = bf_curve(result)
    cmp_rows, worst, skipped = [], None, []
    sq_and_pq = [r for s in ("faiss SQ4 flat", "faiss SQ8 flat", "faiss PQ") for r in by_series(result, s)]
    for peer in sq_and_pq:
        pr = peer["points"][0]["recall"]
        mine = recall_at_bytes(ours_curve, bytes_per_vec(peer))
        if mine is None:
            skipped.append(peer["label"])
            continue
        ratio = mine / pr if pr > 0 else math.inf
        cmp_rows.append(f"{peer['label']} {ratio:.2f}x")
        worst = ratio if worst is None else min(worst, ratio)
    goal = "BruteForce recall@10 at equal bytes >= faiss SQ and PQ"
    if cmp_rows:
        text = f"worst {worst:.2f}x; " + ", ".join(cmp_rows)
        if skipped:
            text += f" (outside our byte range: {', '.join(skipped)})"
        out.append(Target(ds, "BruteForce recall at equal bytes", goal, text, worst >= 1.0))
    else:
        out.append(Target(ds, "BruteForce recall at equal bytes", goal, "no peer within our byte range", None))

    scan = scan_recall(result)
    ceiling = None if scan is None else scan - 0.02
    for ours_h in ours(result, "graph"):
        m = ours_h["params"]["m"]
        for peer_series, peer_name, factor in ((f"hnswlib m{m}", "hnswlib", 1.5), (f"usearch i8 m{m}", "usearch i8", 2.0)):
            peer = one(result, peer_series)
            goal = f"QPS at equal recall >= {factor:g}x {peer_name} (m {m}), up to the scan's recall - 0.02"
            if peer is None:
                out.append(Target(ds, f"Hnsw m {m} speed", goal, f"{peer_name} not measured", None))
                continue
            ratios = [r for r in qps_ratios(ours_h, peer) if ceiling is None or r.recall <= ceiling + 1e-9]
            text, met = summarize_ratios(ratios, factor)
            out.append(Target(ds, f"Hnsw m {m} speed", goal, text, met))
        out += graph_targets(result, ours_h, ceiling)
        peer = one(result, f"hnswlib m{m}")
        goal = f"memory per vector <= 1/3 of hnswlib (m {m})"
        if peer is not None and bytes_per_vec(peer) > 0:
            ratio = bytes_per_vec(ours_h) / bytes_per_vec(peer)
            out.append(Target(ds, f"Hnsw m {m} memory", goal,
                              f"{ratio:.2f}x ({bytes_per_vec(ours_h):,.0f} vs {bytes_per_vec(peer):,.0f} B/vec)",
                              ratio <= 1 / 3))
        else:
            out.append(Target(ds, f"Hnsw m {m} memory", goal, "hnswlib not measured", None))

    ivf, peer = one(result, "teskra IvfFlat"), one(result, "faiss IVF-SQ4")
    goal = "QPS at equal recall >= faiss IVF-SQ 4-bit"
    if ivf and peer:
        text, met = summarize_ratios(qps_ratios(ivf, peer), 1.0)
        out.append(Target(ds, "IvfFlat speed", goal, text, met))
    elif ivf:
        out.append(Target(ds, "IvfFlat speed", goal, "faiss not measured", None))
    return out


# Recall@10 at the default ef (2m) the real data is held to.
DEFAULT_EF_RECALL = {16: 0.90, 32: 0.93}
FILTER_RECALL, FILTER_QPS = 0.95, 0.3


# Resident B/vec after build() the real data is held to.
MEMORY_GOAL = {("lsa384", 16): 460, ("lsa384", 32): 590}


def memory_bound(code_bytes: int, m: int) -> int:
    """Code and norm, id, 2m 4-byte links, and 32 bytes for everything else."""
    return code_bytes + 4 + 8 + 4 * 2 * m + 32


def graph_targets(result: dict, ours_h: dict, ceiling: float | None) -> list[Target]:
    """The graph's own targets: recall at the default ef (real data) or
    within 0.02 of the scan by ef 256 (generated data), build time against
    hnswlib, resident memory after build() and its peak during the adds."""
    ds, m = result["key"], ours_h["params"]["m"]
    out = []
    pts = {p["knob"]: p for p in ours_h["points"]}
    if ds == "lsa384" and m in DEFAULT_EF_RECALL:
        goal = f"recall@10 at the default ef {2 * m} >= {DEFAULT_EF_RECALL[m]:.2f}"
        at = pts.get(2 * m)
        out.append(Target(ds, f"Hnsw m {m} recall", goal, "ef not swept" if at is None else f"{at['recall']:.3f}",
                          None if at is None else at["recall"] >= DEFAULT_EF_RECALL[m]))
    elif ds != "lsa384" and ceiling is not None:
        goal = "recall@10 within 0.02 of the scan's at some ef <= 256"
        reach = sorted(k for k, p in pts.items() if k is not None and k <= 256 and p["recall"] >= ceiling - 1e-9)
        best = max((p for k, p in pts.items() if k <= 256), key=lambda p: p["recall"])
        out.append(Target(ds, f"Hnsw m {m} recall", goal,
                          f"ef {reach[0]}: {pts[reach[0]]['recall']:.3f} (scan {ceiling + 0.02:.3f})" if reach else
                          f"best {best['recall']:.3f} at ef {best['knob']} (scan {ceiling + 0.02:.3f})", bool(reach)))
    peer = one(result, f"hnswlib m{m}")
    goal = f"build time <= 1.0x hnswlib (m {m}, ef_construction {ours_h['params'].get('ef_construction', '?')})"
    if peer is not None and peer["build_s"] > 0:
        ratio = ours_h["build_s"] / peer["build_s"]
        out.append(Target(ds, f"Hnsw m {m} build", goal,
                          f"{ratio:.2f}x ({ours_h['build_s']:.1f} vs {peer['build_s']:.1f} s)", ratio <= 1.0))
    probe = next((p for p in result.get("graph_memory", []) if p["m"] == m), None)
    if probe is not None:
        bound = memory_bound(probe["code_bytes"], m)
        goal = MEMORY_GOAL.get((ds, m), bound)
        out.append(Target(ds, f"Hnsw m {m} resident memory",
                          f"B/vec after build(), no manual trim <= {goal} (code + norm + id + 4 x 2m + 32 = {bound})",
                          f"{probe['final_per_vec']:,.0f} B/vec", probe["final_per_vec"] <= goal))
        ratio = probe["peak_per_vec"] / probe["final_per_vec"] if probe["final_per_vec"] > 0 else math.inf
        out.append(Target(ds, f"Hnsw m {m} peak memory", "peak during add <= 1.5x the final size",
                          f"{ratio:.2f}x ({probe['peak_per_vec']:,.0f} vs {probe['final_per_vec']:,.0f} B/vec)",
                          ratio <= 1.5))
    return out


def filtered_targets(result: dict) -> list[Target]:
    f = result.get("graph_filtered")
    if not f:
        return []
    t, out = f["teskra"], []
    base = t["unfiltered"]
    for row in t["rows"]:
        share = f"{100 * row['share']:g}% allowed"
        r, q = row["recall"] / base["recall"], row["qps"] / base["qps"]
        out.append(Target(result["key"], f"Hnsw m {t['m']} filtered, {share}",
                          f"recall >= {FILTER_RECALL:g}x and QPS >= {FILTER_QPS:g}x the unfiltered search's (ef {t['ef']})",
                          f"recall {row['recall']:.3f} ({r:.2f}x), {row['qps']:,.0f} QPS ({q:.2f}x)",
                          r >= FILTER_RECALL and q >= FILTER_QPS))
    return out


def graph_section(result: dict) -> list[str]:
    """The filtered searches and the memory a user sees, where measured."""
    out = []
    f = result.get("graph_filtered")
    if f:
        t, peer = f["teskra"], f.get("hnswlib")
        out += [f"### Filtered graph searches", "",
                f"Hnsw m {t['m']} at its default ef {t['ef']}, {t['n_queries']} queries, one per call, the allowlist a "
                "NumPy array of row ids (random, one per share); recall@10 against the exact answers among the "
                "allowed vectors. teskra scores allowlists of at most 1/16 of the index exhaustively and walks the "
                "graph for larger ones. hnswlib: float32, the same m, ef and ef_construction, with its `filter=` "
                "callable (a Python call per visited node).", ""]
        rows = [["none", f"{t['unfiltered']['recall']:.3f}", fmt(t["unfiltered"]["qps"]), "1.00x", "", "",
                 fmt(peer["unfiltered_qps"]) if peer else "n/a"]]
        for j, row in enumerate(t["rows"]):
            p = peer["rows"][j] if peer else None
            rows.append([f"{100 * row['share']:g}% ({row['allowed']:,} ids)", f"{row['recall']:.3f}", fmt(row["qps"]),
                         f"{row['qps'] / t['unfiltered']['qps']:.2f}x", str(row["short"]),
                         f"{p['recall']:.3f}" if p else "n/a", fmt(p["qps"]) if p else "n/a"])
        out += table(["allowed", "recall@10", "QPS", "QPS vs unfiltered", "queries short of k", "hnswlib recall@10",
                      "hnswlib QPS"], rows) + [""]
    probes = result.get("graph_memory")
    if probes:
        out += ["### Graph memory as a user sees it", "",
                "Each build in a fresh process with the allocator as it comes (no tuning, no trim): the resident "
                "size after `add` in chunks and `build()`, and the high-water mark during the adds, both counted from "
                "the resident size before the first add.", ""]
        out += table(["index", "B/vec after build()", "bound (code + norm + id + 8m + 32)", "peak B/vec during add",
                      "peak / final", "build s"],
                     [[f"teskra Hnsw 4-bit m {p['m']}", fmt(p["final_per_vec"]), fmt(memory_bound(p["code_bytes"], p["m"])),
                       fmt(p["peak_per_vec"]), f"{p['peak_per_vec'] / p['final_per_vec']:.2f}x",
                       fmt(p["build_s"], ".1f")] for p in probes]) + [""]
    return out


# --- formatting --------------------------------------------------------------


def fmt(x, recipe: str = ",.0f", none: str = "n/a") -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return none
    return format(x, recipe)


def verdict(met: bool | None) -> str:
    return {True: "met", False: "**missed**", None: "n/a"}[met]


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return out


def ratio_cell(qps: float, at) -> str:
    """Our QPS over the peer's; a point below the peer's recall range where
    we are faster is marked as the trade-off it is."""
    if at.qps is None:
        return ""
    ratio = qps / at.qps
    return f"{ratio:.2f}x" + (" (trade-off: peer more accurate)" if at.how == "fastest point" and ratio >= 1 else "")


def save_cells(r: dict, has_save: bool) -> list[str]:
    if r["ours"] and not has_save:
        return ["n/a", "n/a", "n/a"]
    ok = {True: "", False: " (answers differ!)", None: ""}[r.get("load_ok")]
    return [fmt(r.get("file_per_vec")), fmt(r.get("save_s"), ".2f"), fmt(r.get("load_s"), ".3f") + ok]


def exhaustive_section(result: dict) -> list[str]:
    has_save = result.get("has_save", False)
    ex_peers = peers(result, ("exhaustive",))
    peer_bytes_series: dict[str, list[tuple[float, float]]] = {}
    for p in ex_peers:
        peer_bytes_series.setdefault(p["series"], []).append((bytes_per_vec(p), p["points"][0]["recall"]))

    rows = []
    for r in ours(result, "exhaustive") + ex_peers:
        pt = r["points"][0]
        cells = [r["label"], f"{pt['recall']:.3f}", fmt(pt["qps"]), fmt(bytes_per_vec(r)), *save_cells(r, has_save)[:1],
                 fmt(r.get("code_bytes")), fmt(r["build_s"], ".2f"), *save_cells(r, has_save)[1:]]
        if r["ours"]:
            peer, at = best_peer_at(pt["recall"], ex_peers)
            cells.append("n/a" if peer is None else f"{ratio_cell(pt['qps'], at)} {peer['label']} ({at.how})")
            best = None
            for series, pts in peer_bytes_series.items():
                rec = recall_at_bytes(pts, bytes_per_vec(r))
                if rec is not None and (best is None or rec > best[1]):
                    best = (series, rec)
            cells.append("n/a" if best is None else f"{pt['recall'] / best[1]:.2f}x {best[0]} ({best[1]:.3f})")
        else:
            cells += ["", ""]
        rows.append(cells)
    out = ["### Exhaustive scans", ""]
    out += table(["index", "recall@10", "QPS", "mem B/vec", "file B/vec", "code B/vec", "build s", "save s",
                  "load s", "QPS vs best exhaustive peer at equal recall",
                  "recall vs best exhaustive peer at equal bytes"], rows)

    ours_curve = bf_curve(result)
    rows = []
    for p in ex_peers:
        pr = p["points"][0]["recall"]
        mine = recall_at_bytes(ours_curve, bytes_per_vec(p))
        rows.append([p["label"], fmt(bytes_per_vec(p)), f"{pr:.3f}", fmt(mine, ".3f", "outside our range"),
                     "" if mine is None or pr == 0 else f"{mine / pr:.2f}x"])
    out += ["", "Recall at equal bytes, seen from each peer: teskra's BruteForce curve (its layouts as "
            "(bytes, recall) points, upper envelope, linear between layouts) read at the peer's bytes per vector.", ""]
    out += table(["peer", "peer B/vec", "peer recall@10", "teskra recall@10 at these bytes", "ratio"], rows)
    return out


def approximate_section(result: dict) -> list[str]:
    has_save = result.get("has_save", False)
    ann = [r for r in result["records"] if r["family"] in ("ivf", "graph")]
    ann_peers = peers(result, ("ivf", "graph"))
    rows = []
    for r in ann:
        best = max(r["points"], key=lambda p: p["recall"])
        file_c, save_c, load_c = save_cells(r, has_save)
        rows.append([r["label"], fmt(r["build_s"], ".1f"), fmt(bytes_per_vec(r)), file_c, save_c, load_c,
                     f"{best['recall']:.3f} at {r['knob']} {best['knob']} ({fmt(best['qps'])} QPS)"])
    out = ["### Approximate indexes", ""]
    out += table(["index", "build s", "mem B/vec", "file B/vec", "save s", "load s", "best recall@10"], rows)

    rows = []
    for r in ours(result, "ivf") + ours(result, "graph"):
        for p in r["points"]:
            peer, at = best_peer_at(p["recall"], ann_peers)
            rows.append([r["label"], f"{r['knob']} {p['knob']}", f"{p['recall']:.3f}", fmt(p["qps"]),
                         "none reaches it" if peer is None else f"{peer['label']} ({at.how})",
                         fmt(at.qps), ratio_cell(p["qps"], at)])
    out += ["", "teskra's sweeps against the fastest approximate peer at the same recall@10.", ""]
    out += table(["index", "setting", "recall@10", "QPS", "fastest peer at this recall", "peer QPS", "ratio"], rows)

    out += ["", "<details><summary>Every peer sweep point</summary>", ""]
    rows = [[r["label"], f"{r['knob']} {p['knob']}", f"{p['recall']:.3f}", fmt(p["qps"])]
            for r in ann_peers for p in r["points"]]
    out += table(["index", "setting", "recall@10", "QPS"], rows)
    out += ["", "</details>"]
    return out


def island_note(result: dict) -> list[str]:
    """Say so when the graph's recall stalls far below what the same codes
    reach by exhaustive scan: the sign of a graph split into islands."""
    ref = bf_4bit(result)
    if ref is None:
        return []
    ceiling = ref["points"][0]["recall"]
    notes = []
    for r in ours(result, "graph"):
        top = best_recall(r)
        pts = sorted(r["points"], key=lambda p: p["knob"])
        if top < 0.9 * ceiling:
            notes.append(f"- **Hnsw stalls on this set**: {r['label']} reaches at most recall@10 {top:.3f} "
                         f"(ef {pts[0]['knob']}-{pts[-1]['knob']}) while an exhaustive scan of the same 4-bit codes "
                         f"reaches {ceiling:.3f}. The graph links each node to its best-scored neighbours with no "
                         "diversity rule, so on well-separated clusters it splits into islands that a walk from the "
                         "entry point never leaves; more ef does not help. IvfFlat or BruteForce suit such data.")
    return notes


def raw_magnitude_section(result: dict) -> list[str]:
    rows = [[r["metric"], r["treatment"], f"{r['recall']:.3f}", fmt(r["qps"])] for r in result["raw_magnitude"]]
    out = [f"## Raw-magnitude vectors: {result['name']}", "",
           "BruteForce 4-bit. `dot` and unfitted `l2` scale codes for vectors of norm about 1; at norms 2-5 the "
           "rotated coordinates overflow the codebook's range and saturate. Recall is against the exact answers of "
           "the metric in the first column on the vectors as given (a common scale factor leaves every `dot` "
           "ranking unchanged).", ""]
    out += table(["metric", "vectors", "recall@10", "QPS"], rows)
    return out


def kernel_section(ours4_scan: dict[str, float]) -> list[str]:
    if not KERNELS_JSON.exists():
        return []
    rows = json.loads(KERNELS_JSON.read_text())
    if not rows:
        return []
    active = rows[-1]["set"]  # bench_kernels measures the dispatched set last
    sel = [r for r in rows if r["set"] == active and r["form"] == "batch"]
    out = ["## Scoring kernels (bench_kernels, active set: " + active + ")", ""]
    out += table(["layout", "padded dim", "buffer", "GB/s", "M codes/s"],
                 [[r["layout"], str(r["padded_dim"]), r["buffer"], f"{r['gbps']:.2f}", f"{r['codes_per_s'] / 1e6:.1f}"]
                  for r in sel])
    for name, (code_bytes, rate) in ours4_scan.items():
        kern = [r for r in sel if r["layout"] == "4bit" and r["code_bytes"] == code_bytes and r["buffer"] == "mem"]
        if kern:
            share = rate / kern[0]["codes_per_s"]
            out += ["", f"{name}: BruteForce 4-bit scans {rate / 1e6:.1f} M codes/s through search(), "
                    f"{share:.0%} of the kernel's in-memory batch rate."]
    return out


# --- plots -----------------------------------------------------------------

STYLE = {  # series prefix -> (colour, marker)
    "teskra BruteForce": ("#c0392b", "o"), "teskra IvfFlat": ("#e67e22", "s"), "teskra Hnsw": ("#8e1b10", "D"),
    "faiss SQ4 flat": ("#1f77b4", "^"), "faiss SQ8 flat": ("#17becf", "v"), "faiss PQ": ("#2c3e94", "P"),
    "faiss RaBitQ": ("#6a9fd8", "X"), "faiss IVF-SQ4": ("#1f77b4", "s"), "faiss HNSW-SQ4": ("#17becf", "D"),
    "hnswlib": ("#2ca02c", "o"), "usearch i8": ("#9467bd", "^"), "usearch f16": ("#8c564b", "v"),
}


def style(series: str) -> dict:
    colour, marker = next((v for k, v in STYLE.items() if series.startswith(k)), ("#7f7f7f", "."))
    dashed = series.endswith("m16")
    return {"color": colour, "marker": marker, "linestyle": "--" if dashed else "-", "markersize": 5, "linewidth": 1.4}


def _records_by_series(records: list[dict]) -> dict[str, list[dict]]:
    out: dict[str, list[dict]] = {}
    for r in records:
        out.setdefault(r["series"], []).append(r)
    return out


def _count_axis(ax, axis: str) -> None:
    """A log axis labelled 200, 500, 1k, 2k, ... instead of powers of ten."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    def label(v, _pos):
        if v >= 1000:
            return f"{v / 1000:g}k"
        return f"{v:g}"
    target = ax.xaxis if axis == "x" else ax.yaxis
    target.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    target.set_major_formatter(FuncFormatter(label))
    target.set_minor_formatter(NullFormatter())


def _tag(ax, text: str, x: float, y: float, ours: bool, colour: str) -> None:
    """Name a point: teskra's above-left, the peers' below-right, so labels of
    neighbouring curves do not land on each other."""
    offset, ha, va = ((-5, 4), "right", "bottom") if ours else ((5, -4), "left", "top")
    ax.annotate(text, (x, y), textcoords="offset points", xytext=offset, ha=ha, va=va, fontsize=7, color=colour)


def plot(result: dict, out_dir: Path) -> list[str]:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    key, title = result["key"], result["name"]
    files = []

    fig, axes = plt.subplots(1, 2, figsize=(14, 6.4), sharey=True)
    for ax, fams, sub in ((axes[0], ("exhaustive",), "exhaustive scans (points: layouts / code sizes)"),
                          (axes[1], ("ivf", "graph"), "approximate indexes (curves: nprobe / ef sweeps)")):
        recs = [r for r in result["records"] if r["family"] in fams]
        for series, group in _records_by_series(recs).items():
            if fams == ("exhaustive",):
                # One point per build; joined in order of size, each named by its tag.
                group = sorted(group, key=bytes_per_vec)
                pts = [(g["points"][0]["qps"], g["points"][0]["recall"], g.get("tag", "")) for g in group]
            else:
                pts = sorted(((p["qps"], p["recall"], "") for g in group for p in g["points"]), key=lambda p: p[1])
            ax.plot([p[0] for p in pts], [p[1] for p in pts], label=series, **style(series))
            for x, y, tag in pts:
                if tag:
                    _tag(ax, tag, x, y, group[0]["ours"], style(series)["color"])
        ax.set_xscale("log")
        ax.margins(x=0.08)  # room for the tags of the outermost points
        _count_axis(ax, "x")
        ax.set_xlabel("queries per second (one query per call, 1 thread, log scale)")
        ax.set_title(sub, fontsize=11)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="lower left", ncol=2 if len(_records_by_series(recs)) > 6 else 1, framealpha=0.9)
    axes[0].set_ylabel("recall@10 (vs exact float search)")
    axes[0].tick_params(labelleft=True)
    fig.suptitle(f"recall@10 vs QPS: {title}", fontsize=12)
    fig.tight_layout()
    name = f"qps_{key}.png"
    fig.savefig(out_dir / name, dpi=110)
    plt.close(fig)
    files.append(name)

    fig, ax = plt.subplots(figsize=(11, 6.4))
    for series, group in _records_by_series(result["records"]).items():
        group = sorted(group, key=bytes_per_vec)
        exhaustive = group[0]["family"] == "exhaustive"
        st = style(series)
        if not exhaustive:
            # Hollow for m 32 (and indexes without m), half-filled for m 16.
            st.update(markersize=9, linestyle="none", markeredgewidth=1.5)
            st.update(fillstyle="bottom" if series.endswith("m16") else "none")
        ax.plot([bytes_per_vec(g) for g in group], [best_recall(g) for g in group],
                label=series + ("" if exhaustive else " (best sweep point)"), **st)
        for g in group:
            # A tag naming the code size would only repeat the x axis here.
            if exhaustive and g.get("tag") and not g["tag"].endswith(" B"):
                _tag(ax, g["tag"], bytes_per_vec(g), best_recall(g), g["ours"], st["color"])
    ax.set_xscale("log")
    ax.margins(x=0.08)
    _count_axis(ax, "x")
    ax.set_xlabel("bytes per vector (resident memory growth of the build, log scale)")
    ax.set_ylabel("recall@10 (vs exact float search)")
    ax.set_title(f"recall@10 vs bytes per vector: {title}\n"
                 "filled, joined: exhaustive scans; hollow (m 16: half-filled): approximate indexes at their best "
                 "sweep point",
                 fontsize=11)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center left", bbox_to_anchor=(1.01, 0.5), framealpha=0.9)
    fig.tight_layout()
    name = f"bytes_{key}.png"
    fig.savefig(out_dir / name, dpi=110)
    plt.close(fig)
    files.append(name)
    return files


# --- the document ------------------------------------------------------------


HEADLINE_SERIES = ("teskra BruteForce", "teskra IvfFlat", "teskra Hnsw m16", "teskra Hnsw m32", "faiss SQ4 flat",
                   "faiss PQ", "faiss RaBitQ", "faiss IVF-SQ4", "faiss HNSW-SQ4 m32", "hnswlib m16", "hnswlib m32",
                   "usearch i8 m32", "usearch f16 m32")


def operating_point(r: dict, slack: float = 0.02) -> dict:
    """The fastest sweep point within slack of the build's best recall: where
    one would run it, rather than its cheapest or its most expensive setting."""
    top = best_recall(r)
    return max((p for p in r["points"] if p["recall"] >= top - slack), key=lambda p: p["qps"])


def headline_rows(result: dict) -> list[list[str]]:
    """The figures the README quotes: teskra's layouts and indexes and each
    peer's closest counterpart, each at its operating point."""
    rows = []
    for series in HEADLINE_SERIES:
        group = by_series(result, series)
        if series == "teskra BruteForce":
            group = [g for g in group if g.get("tag") in ("4-bit", "3.0", "2-bit")]
        elif series in ("faiss PQ", "faiss RaBitQ"):
            group = sorted(group, key=best_recall)[-1:]
        for r in group:
            p = operating_point(r)
            setting = "" if r["knob"] is None else f"{r['knob']} {p['knob']}"
            rows.append([r["label"], setting, f"{p['recall']:.3f}", fmt(p["qps"]), fmt(bytes_per_vec(r))])
    return rows


README_SERIES = ("teskra BruteForce", "teskra IvfFlat", "teskra Hnsw m32", "faiss SQ4 flat", "faiss PQ",
                 "faiss IVF-SQ4", "hnswlib m32", "usearch i8 m32")


def readme_blocks(results: list[dict], meta: dict) -> dict[str, str]:
    """The README's measured passages, by marker name: the headline tables,
    the raw-magnitude rows, the graph on the generated clusters and its
    filtered searches, from a full run."""
    blocks = {}
    tables = []
    for res in results:
        if "records" not in res:
            continue
        wanted = {rec["label"] for series in README_SERIES for rec in by_series(res, series)}
        rows = [r for r in headline_rows(res) if r[0] in wanted]
        tables += [f"**{res['name']}**, {res['n_queries']} queries:", ""]
        tables += table(["index", "setting", "recall@10", "QPS", "bytes/vec"], rows) + [""]
    if tables:
        blocks["headline"] = "\n".join(
            [f"Measured {meta.get('date', '?')} on {meta.get('cpu', '?')}, one thread; each index at its operating "
             "point (the fastest setting within 0.02 of its best recall@10); bytes/vec is the resident memory the "
             "build added. QPS on a shared machine moves by tens of percent between runs.", ""] + tables).rstrip()
    raw = next((res for res in results if "raw_magnitude" in res), None)
    if raw:
        rows = [[r["metric"], r["treatment"], f"{r['recall']:.3f}"] for r in raw["raw_magnitude"]]
        blocks["raw-magnitude"] = "\n".join(
            [f"On word-vector-like data with norms 2-5 ({raw['name'].split('(')[1].split(',')[0]}, BruteForce "
             "4-bit, recall@10 against each metric's exact answers):", ""] + table(["metric", "vectors", "recall@10"],
                                                                                 rows))
    clusters = []
    for res in results:
        ref = bf_4bit(res) if "records" in res else None
        graphs = ours(res, "graph") if ref else []
        if res.get("key") == "lsa384" or not graphs:
            continue
        scan = ref["points"][0]["recall"]
        parts = []
        for g in graphs:
            reach = sorted((p for p in g["points"] if p["recall"] >= scan - 0.02 - 1e-9), key=lambda p: p["knob"])
            if reach:
                p = reach[0]
                parts.append(f"{g['label'].removeprefix('teskra ')} comes within 0.02 of it at ef {p['knob']} "
                             f"(recall@10 {p['recall']:.3f}, {p['qps']:,.0f} QPS)")
            else:
                ef = [p["knob"] for p in g["points"]]
                parts.append(f"{g['label'].removeprefix('teskra ')} tops out at recall@10 {best_recall(g):.3f} for any "
                             f"ef from {min(ef)} to {max(ef)}")
        clusters.append(f"On the generated {res['name'].split(' (')[0]} set ({res['n']:,} x {res['dim']}) BruteForce "
                        f"over the same codes reaches recall@10 {scan:.3f}; " + "; ".join(parts) + ".")
    if clusters:
        blocks["hnsw-clusters"] = " ".join(clusters)
    filtered = next((res["graph_filtered"] for res in results if res.get("graph_filtered")), None)
    if filtered:
        t = filtered["teskra"]
        rows = [[f"{100 * r['share']:g}%", f"{r['recall']:.3f}", f"{r['qps'] / t['unfiltered']['qps']:.2f}x"]
                for r in t["rows"]]
        blocks["hnsw-filtered"] = "\n".join(
            [f"On lsa384, Hnsw m {t['m']} at ef {t['ef']} (unfiltered: recall@10 {t['unfiltered']['recall']:.3f}), "
             "random allowlists, recall@10 against the exact answers among the allowed vectors:", ""]
            + table(["allowed", "recall@10", "QPS vs unfiltered"], rows))
    return blocks


def update_readme(path: Path, blocks: dict[str, str]) -> list[str]:
    """Replace the text between <!-- bench:NAME --> and <!-- /bench:NAME -->
    for every block given; everything else stays as written. Returns the
    names replaced."""
    text = path.read_text()
    done = []
    for name, body in blocks.items():
        start, end = f"<!-- bench:{name} -->", f"<!-- /bench:{name} -->"
        i, j = text.find(start), text.find(end)
        if i < 0 or j < i:
            continue
        text = text[:i + len(start)] + "\n" + body + "\n" + text[j:]
        done.append(name)
    path.write_text(text)
    return done


def write(results: list[dict], out_dir: Path, meta: dict) -> Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    lines = ["# teskra benchmark results", ""]
    if meta.get("quick"):
        lines += ["> **Quick run** (`--quick`): data subsets, fewer queries and shorter sweeps. The figures show the "
                  "shape of the comparison, not final numbers; run `make bench` for those.", ""]
    lines += [f"Measured {meta.get('date', '?')} on {meta.get('cpu', '?')} ({meta.get('cores', '?')} cores, all runs "
              f"single-threaded but the batch and thread tables); total wall time {meta.get('wall_s', 0) / 60:.1f} min. "
              f"Versions: {', '.join(f'{k} {v}' for k, v in meta.get('versions', {}).items())}.", ""]
    lines += [
        "How the figures are taken:",
        "",
        "- **recall@10**: the share of an index's first 10 answers whose exact float similarity is at least that of "
        "the true 10th neighbour (exact cosine search; for the real set the shipped ground truth names it), averaged "
        "over the queries. That is the share of the exact top 10 found, except that exact ties count whichever tied "
        "vector comes back (the real set holds many identical texts).",
        "- **QPS**: one query per call from Python, as applications call, one thread everywhere (BLAS/OpenMP pools "
        "pinned to 1, `faiss.omp_set_num_threads(1)`, `threads=1` / `num_threads=1` for usearch and hnswlib). Only "
        "the calls are timed, after 20 untimed warm-up queries; each setting runs the query set "
        f"{meta.get('repeats', 2)} times (once when a pass takes over 5 s) and the fastest pass counts.",
        "- **mem B/vec**: growth of the process's resident memory across the build (allocator pinned to return large "
        "blocks, heap trimmed before each reading), divided by the vector count. Every library is measured this way, "
        "so all bytes comparisons and plots use it. **file B/vec**: the saved index file, where the library can save "
        "(teskra: only once `save`/`load` exist, else n/a). **code B/vec**: the per-vector payload the format fixes "
        "(teskra: packed code + 4-byte norm; its 8-byte id is in mem B/vec only).",
        "- **build s**: adding every vector (in chunks of 5000) plus training or `build()`.",
        f"- **At equal recall**: a peer's QPS at our recall is read off its Pareto frontier (the fastest sweep point "
        f"reaching at least each recall), log QPS interpolated linearly in recall between the two bracketing points "
        f"(\"interpolated\"); a point within {RECALL_TOL} counts as \"matched\". Outside the peer's range only "
        "dominance is judged: above its highest recall the peer \"never reaches\" ours (counts for us); below its "
        "lowest recall its \"fastest point\" is shown, which counts against us if it is also faster, and is a "
        "trade-off with no verdict if we are faster.",
        "- **At equal bytes**: recall of the other side's (bytes, recall) curve, linear between measured points; no "
        "extrapolation beyond the measured byte range.",
        "- Peers answer cosine queries on unit-length vectors (inner product); teskra normalizes inside.",
        "",
    ]
    all_targets = [t for res in results if "records" in res
                   for t in targets(res) + filtered_targets(res) + parallel.targets(res, scan_recall(res)) + serving.targets(res)
                   + removal.targets(res)]
    lines += ["## Targets", ""]
    lines += table(["data set", "target", "goal", "measured", "result"],
                   [[t.data_set, t.name, t.goal, t.measured, verdict(t.met)] for t in all_targets])
    lines += ["", "Speed targets at equal recall are met only when every comparable sweep point meets them; the "
              "range shows the worst and best point.", ""]

    for res in results:
        if "records" in res:
            lines += [f"## Headline: {res['name']}", "",
                      "Each index at its operating point: the fastest sweep setting within 0.02 of its best recall@10.",
                      ""]
            lines += table(["index", "setting", "recall@10", "QPS", "mem B/vec"], headline_rows(res)) + [""]

    scans = {}
    for res in results:
        if "error" in res:
            lines += [f"## {res['key']}: failed", "", "```", res["error"][-2000:], "```", ""]
            continue
        if "raw_magnitude" in res:
            lines += raw_magnitude_section(res) + [""]
            continue
        files = plot(res, out_dir)
        lines += [f"## {res['name']}", ""]
        lines += [f"{res['n']:,} vectors of dimension {res['dim']}, {res['n_queries']} queries, metric cosine, k = 10; "
                  f"wall time {res.get('wall_s', 0) / 60:.1f} min." + (f" {res['note']}." if res.get("note") else "")]
        if res.get("missing"):
            lines += ["", f"Not installed, so not measured: {', '.join(res['missing'])}."]
        if not res.get("has_save", False):
            lines += ["", "teskra's `save`/`load` were not available in this build: its file, save and load "
                      "columns read n/a."]
        lines += [""] + [f"![{f}]({f})" for f in files] + [""]
        lines += exhaustive_section(res) + [""]
        lines += approximate_section(res) + [""]
        notes = island_note(res)
        if notes:
            lines += notes + [""]
        lines += graph_section(res)
        ours4 = bf_4bit(res)
        if ours4:
            scans[res["name"]] = (ours4["code_bytes"] - 4, ours4["points"][0]["qps"] * res["n"])
        if res.get("call_overhead_us"):
            lines += [f"Fixed cost of one `search` call (1-vector index, k = 10): {res['call_overhead_us']:.2f} us.",
                      ""]
        lines += parallel.section(res)
        lines += serving.section(res)
        lines += removal.section(res)

    lines += kernel_section(scans)
    path = out_dir / "latest.md"
    path.write_text("\n".join(lines).rstrip() + "\n")
    return path


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    out_dir = Path(args[0]) if args else HERE / "results"
    raw = out_dir / "raw"
    meta = json.loads((raw / "meta.json").read_text()) if (raw / "meta.json").exists() else {}
    results = [json.loads(p.read_text()) for p in sorted(raw.glob("*.json")) if p.name != "meta.json"]
    order = {k: i for i, k in enumerate(meta.get("order", []))}
    results.sort(key=lambda r: order.get(r.get("key"), 99))
    print(write(results, out_dir, meta))
    if not meta.get("quick") and "--readme" in sys.argv:
        print("README blocks updated:", ", ".join(update_readme(ROOT / "README.md", readme_blocks(results, meta))))


if __name__ == "__main__":
    main()
