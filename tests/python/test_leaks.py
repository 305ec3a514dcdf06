"""Every public call, repeated many times: no memory growth and no reference left behind (a host calls an
embedded index millions of times: a leak of one object per call is an outage no single-call test sees).

Each case repeats its calls in two rounds of N after a warm-up (N / 20 calls, 250 at least) and bounds,
in the round that grew less: tracemalloc (Python allocations still alive) by 8 KiB + 8 bytes per call
(one leaked object is at least a 24-byte float: 1.5 times the bound at N = 10^3, 3 times at 5 * 10^4);
malloc in use (glibc mallinfo2, mapped blocks included: the engine's memory) by 8 KiB + 16 bytes per
call (the smallest native leak is a 32-byte chunk); and sys.getrefcount of every argument and its
elements, since a leaked reference costs no memory. test_the_bounds_catch_one_leak_per_call feeds the
helper deliberately leaking calls. N is 10^3; TESKRA_LEAK_FULL=1 (make check-memory) makes it 5 * 10^4.
Sanitized (TESKRA_SANITIZED=1), ASan's allocator leaves only tracemalloc and reference counts.
TESKRA_LEAK_VERBOSE=1 (with pytest -s) prints the growth measured in each case.
"""

import ctypes
import gc
import os
import pathlib
import sys
import tempfile
import tracemalloc

import numpy as np
import pytest

import teskra
from conftest import SANITIZED, Hook
from teskra import Teskra

N = 50_000 if os.environ.get("TESKRA_LEAK_FULL") == "1" else 1_000


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.malloc.restype, _libc.malloc.argtypes, _libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
NATIVE = not SANITIZED and _mallinfo2 is not None


def malloc_in_use():
    """Bytes the C heap has handed out and not taken back (all arenas, mmapped blocks included)."""
    return (info := _mallinfo2()).uordblks + info.hblkhd


def refcounts(objs):
    """Reference counts of the watched objects and, one and two levels down, of their items."""
    counts = []
    for obj in objs:  # (not into a Hook: iterating one runs its action)
        counts.append(sys.getrefcount(obj))
        for item in obj if type(obj) in (list, tuple) else ():
            counts.append(sys.getrefcount(item))
            counts.extend(sys.getrefcount(x) for x in (item if type(item) in (list, tuple) else ()))
    return counts


def warm_up(n):
    return max(250, n // 20)


def measure(call, n, watch=()):
    """The problems found in two rounds of n calls of call() after a warm-up (traced too, so that the blocks
    free lists keep are traced ones). Each measure is the smaller growth of the two rounds: a leak grows in
    both, a one-off (a table that resizes, a cache that fills) in one."""
    tracemalloc.start()
    for _ in range(warm_up(n)):
        call()
    refs, rounds = refcounts(watch), []
    for _ in range(2):
        gc.collect()
        heap, traced = malloc_in_use() if NATIVE else 0, tracemalloc.get_traced_memory()[0]
        for _ in range(n):
            call()
        gc.collect()
        rounds.append((tracemalloc.get_traced_memory()[0] - traced, malloc_in_use() - heap if NATIVE else 0))
    tracemalloc.stop()
    traced, heap = min(r[0] for r in rounds), min(r[1] for r in rounds)
    if os.environ.get("TESKRA_LEAK_VERBOSE"):
        print(f" {n} calls: tracemalloc {traced} B, malloc {heap} B", end="")
    problems = []
    if traced > 8 * 1024 + 8 * n:
        problems.append(f"tracemalloc grew {traced} bytes")
    if heap > 8 * 1024 + 16 * n:
        problems.append(f"malloc in use grew {heap} bytes")
    changed = [(a, b) for a, b in zip(refs, refcounts(watch)) if a != b]
    if changed:
        problems.append(f"argument reference counts changed: {changed[:5]}")
    return problems


def failing(*calls):
    """One call of each (exception class, function): each must raise its class, so error paths are checked too."""
    def call():
        for exc, fn in calls:
            try:
                fn()
            except exc:
                continue
            raise AssertionError(f"{fn} did not raise {exc.__name__}")
    return call


# ---------------------------------------------------------------------------
# The arguments of every case, watched by every case. Ids above 2^40 and
# freshly built floats are never immortal or cached, so their reference
# counts are meaningful.

DIM = 16
DATA = np.random.default_rng(0).standard_normal((256, DIM)).astype(np.float32)
BIG = 2**40


def ids(n, start=0):
    return [BIG + start + i for i in range(n)]


def rows(n):
    return [[float(x) for x in row] for row in DATA[:n]]


def index(kind="brute_force", metric="cosine", n=64, **kwargs):
    t = Teskra(DIM, metric=metric, index_type=kind, ivf_nlist=8, ivf_nprobe=3, hnsw_m=8, hnsw_ef_construction=32,
               **kwargs)
    t.add(ids(n), DATA[:n])
    if kind == "ivf" and n > 2:
        t.build()
    return t


def boom():
    raise KeyError("from __float__")


# Saves sync the file to disk; on a memory file system that costs nothing. Removed when the run ends.
_SCRATCH = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
b, i, h, unbuilt, empty = index(), index("ivf", n=128), index("hnsw", n=128), index("ivf", n=2), Teskra(DIM)
l2, fitted = index(metric="l2", n4_dims=8), index(metric="l2")
q_list, q_arr, allow, short = rows(1)[0], DATA[5].copy(), ids(20, 10), rows(1)[0][:3]
few_ids, few_rows, few_arr, g_ids, g_arr = ids(4), rows(4), DATA[:4].copy(), ids(64), DATA[:64].copy()
sample, sample_list, two_ids, three_rows = DATA[:16].copy(), rows(8), ids(2), rows(3)
bad_row, strided = rows(2) + [[1.0, 2.0]], np.zeros((4, 2 * DIM), np.float32)[:, ::2]
hook_boom, reentrant = Hook(action=boom), Hook(action=lambda: b.add(two_ids, three_rows[:2]))
paths = [os.path.join(_SCRATCH.name, f"{n}.tskr") for n in range(3)]
missing, garbage = os.path.join(_SCRATCH.name, "no", "such.tskr"), os.path.join(_SCRATCH.name, "garbage.tskr")
pathlib.Path(garbage).write_bytes(b"NOT AN INDEX FILE" * 4)
# Indexes that remove() and upsert() change (each keeps its size), a view that refuses both, and ids
# stored nowhere.
eb, ei, eh = index(), index("ivf", n=128), index("hnsw")
b.save(os.path.join(_SCRATCH.name, "viewed.tskr"))
view, unknown = Teskra.view(os.path.join(_SCRATCH.name, "viewed.tskr")), ids(4, 10_000)
WATCHED = [q_list, q_arr, allow, short, few_ids, few_rows, few_arr, g_ids, g_arr, sample, sample_list, two_ids,
           three_rows, bad_row, strided, hook_boom, reentrant, b, i, h, l2, paths, eb, ei, eh, view, unknown]


def save_load():
    for t, path in zip((b, i, h), paths):
        t.save(path)
        Teskra.load(path)


CASES = {
    "constructor_positional": lambda: Teskra(DIM, "dot", 2, "brute", 0.5, None, 4, 2, 8, 16, 0),
    "add_list_numpy_fortran": lambda: (Teskra(DIM).add(few_ids, few_rows), Teskra(DIM).add(few_ids, few_arr),
                                       Teskra(DIM).add(np.array(few_ids, np.uint64), np.asfortranarray(few_arr))),
    "search_every_type_and_form": lambda: (b.search(q_list, 10), b.search(q_arr, 10, allowlist=allow),
                                           i.search(q_arr, 10, allow), h.search(q_list, 10, allow), l2.search(q_arr, 5)),
    "search_batch_every_type_and_form": lambda: (b.search_batch(few_arr, 10), i.search_batch(few_rows, 5, allow, threads=1),
                                                 h.search_batch(sample, 3, threads=2), teskra.set_num_threads(0),
                                                 teskra.get_num_threads()),
    "exports_and_profiling": lambda: (b.transform_query_np(q_arr), h.transform_query_np(q_list), b.packed_data(),
                                      b.vector_norms(), b.vector_ids(), Teskra.centroids_4bit(), b.centroids_2bit(),
                                      b.profile_variance(sample), b.optimal_n4_dims(sample_list, 3.0)),
    "properties_len_repr": lambda: (len(b), repr(b), b.n_vectors, b.dim, b.bit_width, b.index_type, b.n4_dims,
                                    b.metric, b.padded_dim, b.packed_bytes_per_vec, b.pb4_per_vec, b.is_empty(),
                                    b.is_mixed()),
    "tuning_setters": lambda: (i.set_nprobe(3), h.set_ef_search(24), b.set_nprobe(1), b.build(),
                               Teskra.recommended_m(10**6)),
    "fit_add_l2": lambda: (t := Teskra(DIM, metric="l2"), t.fit(sample), t.fit(sample_list), t.add(few_ids, few_arr)),
    "ivf_add_build_search": lambda: (t := Teskra(DIM, index_type="ivf", ivf_nlist=16, ivf_nprobe=4),
                                     t.add(g_ids, g_arr), t.build(), t.set_nprobe(16), t.search(q_arr, 10)),
    "hnsw_add_build": lambda: (t := Teskra(DIM, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=32),
                               t.add(few_ids, sample_list[:4]), t.add(two_ids, DATA[:2]), t.build(), t.set_ef_search(40)),
    "save_load": save_load,
    "remove_upsert_every_type_and_form": lambda: (
        eb.upsert(few_ids, few_rows), eb.remove(few_ids), eb.add(few_ids, few_arr),
        ei.upsert(np.array(few_ids, np.uint64), few_arr), ei.remove(unknown), eh.upsert(few_ids, few_arr)),
    "constructor_errors": failing(
        (TypeError, lambda: Teskra()), (OverflowError, lambda: Teskra(-1)), (ValueError, lambda: Teskra(2**62)),
        (ValueError, lambda: Teskra(DIM, metric="manhattan")), (ValueError, lambda: Teskra(DIM, index_type="flat")),
        (ValueError, lambda: Teskra(DIM, bit_width=3)), (TypeError, lambda: Teskra(DIM, n4_dims="8")),
        (ValueError, lambda: Teskra(DIM, index_type="hnsw", hnsw_m=1))),
    "add_errors": failing(
        (ValueError, lambda: b.add(two_ids, three_rows)), (ValueError, lambda: b.add(two_ids, DATA[:3])),
        (ValueError, lambda: b.add(ids(3), bad_row)), (ValueError, lambda: b.add(two_ids, DATA[:2, :4])),
        (TypeError, lambda: b.add(ids(4), strided)), (TypeError, lambda: b.add(two_ids, "vectors")),
        (TypeError, lambda: b.add("ids", three_rows[:2])), (OverflowError, lambda: b.add([-1], three_rows[:1])),
        (TypeError, lambda: b.add(two_ids, [q_list, [1.0] * (DIM - 1) + ["x"]])),
        (KeyError, lambda: b.add(two_ids, [q_list, [hook_boom] * DIM]))),
    "search_errors": failing(
        (ValueError, lambda: b.search(short, 3)), (RuntimeError, lambda: empty.search(q_list, 3)),
        (RuntimeError, lambda: unbuilt.search(q_list, 3)), (TypeError, lambda: b.search(q_list, 3, allowlist={1, 2})),
        (OverflowError, lambda: b.search(q_list, -3)), (TypeError, lambda: b.search("query", 3)),
        (KeyError, lambda: b.search([hook_boom] + q_list[1:], 3)),
        (RuntimeError, lambda: b.search([reentrant] + q_list[1:], 3))),
    "search_batch_errors": failing(
        (ValueError, lambda: b.search_batch(DATA[:2, :4], 3)), (RuntimeError, lambda: empty.search_batch(few_arr, 3)),
        (TypeError, lambda: b.search_batch(5, 3)), (KeyError, lambda: b.search_batch([[hook_boom] * DIM], 3))),
    "fit_build_setter_errors": failing(
        (ValueError, lambda: fitted.fit(three_rows)), (ValueError, lambda: Teskra(DIM, metric="l2").fit([])),
        (ValueError, lambda: Teskra(DIM, metric="l2").fit(bad_row)),
        (RuntimeError, lambda: Teskra(DIM, index_type="ivf").build()), (TypeError, lambda: b.build(1)),
        (OverflowError, lambda: b.set_nprobe(-1)), (TypeError, lambda: b.set_ef_search("8"))),
    "remove_upsert_errors": failing(
        (ValueError, lambda: eb.upsert(two_ids, three_rows)), (ValueError, lambda: eb.upsert(two_ids, DATA[:3])),
        (ValueError, lambda: eb.upsert(ids(3), bad_row)), (ValueError, lambda: eh.upsert(two_ids, DATA[:2, :4])),
        (TypeError, lambda: eb.upsert(ids(4), strided)), (TypeError, lambda: eb.remove("ids")),
        (TypeError, lambda: ei.remove({1, 2})), (OverflowError, lambda: eh.remove([-1])),
        (KeyError, lambda: eb.upsert(two_ids, [q_list, [hook_boom] * DIM])),
        (RuntimeError, lambda: view.remove(few_ids)), (RuntimeError, lambda: view.upsert(few_ids, few_arr))),
    "save_load_errors": failing(
        (OSError, lambda: b.save(missing)), (OSError, lambda: Teskra.load(missing)),
        (OSError, lambda: Teskra.load(garbage)), (TypeError, lambda: b.save(b"bytes.tskr")),
        (RuntimeError, lambda: unbuilt.save(garbage))),
    "export_errors": failing(
        (RuntimeError, h.packed_data), (RuntimeError, h.vector_norms), (RuntimeError, unbuilt.vector_ids),
        (ValueError, lambda: b.transform_query_np(short)), (ValueError, lambda: b.profile_variance([])),
        (ValueError, lambda: b.optimal_n4_dims([], 3.0)), (TypeError, lambda: b.optimal_n4_dims(three_rows, "3"))),
}


@pytest.mark.parametrize("name", CASES)
def test_no_growth_over_repeated_calls(name):
    problems = measure(CASES[name], N, WATCHED)
    assert not problems, f"{N} calls: " + "; ".join(problems)


def test_the_bounds_catch_one_leak_per_call():
    """The helper above, fed calls that leak one thing each time, must report it at the N it runs with."""
    kept, held = [], [1.5]
    # One Python float kept per call: tracemalloc.
    assert any("tracemalloc" in p for p in measure(lambda: kept.append(float(len(kept)) + 0.25), N))
    kept.clear()
    # One reference to an argument kept per call, which costs no memory: the reference counts.
    assert any("reference counts" in p for p in measure(lambda: kept.append(held), N, [held]))
    kept.clear()
    if NATIVE:
        # One 24-byte native block per call, invisible to tracemalloc: malloc in use. At 1,000 calls such a
        # leak exceeds the bound by under 8 KiB, which memory another thread of the process frees meanwhile
        # (a finishing thread's cached blocks) can hide; 4,000 calls leave a margin of 55 KiB.
        n = max(N, 4_000)
        pointers = np.zeros(2 * n + warm_up(n), dtype=np.uintp)  # allocated up front: not traced
        count = iter(range(len(pointers)))

        def leak():
            pointers[next(count)] = _libc.malloc(24)

        try:
            assert [p.split()[0] for p in measure(leak, n)] == ["malloc"]
        finally:
            for p in pointers[pointers != 0].tolist():
                _libc.free(p)
