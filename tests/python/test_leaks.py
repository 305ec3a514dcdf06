"""Every public call, repeated many times: no memory growth and no reference left behind.

A host calls an embedded index millions of times, so a leak of one object per call is an outage that
no single-call test sees. Each case repeats one call N times after a warm-up and bounds four measures:

- tracemalloc (Python allocations made in the loop and still alive): 16 KiB + 8 bytes per call. One
  leaked object is at least 24 bytes (a float), 1.5 to 3 times the bound at the N used here; the
  constant absorbs the interpreter's free lists, which keep freed objects traced.
- malloc in use (glibc mallinfo2), where the engine's vectors live: 128 KiB + 16 bytes per call; the
  smallest leaked native allocation is a 32-byte chunk.
- resident memory (/proc/self/statm), what the host's operator sees: 2 MiB + 16 bytes per call.
  Page-granular and noisy, it is the coarse net.
- sys.getrefcount of every argument and its elements: a leaked reference costs no memory at all.

test_the_bounds_catch_one_leak_per_call feeds the same helper deliberately leaking calls. Cheap calls
run 10^5 times, heavy ones (graph insertion, k-means, save and load) 10^4 (10^5 with
TESKRA_LEAK_FULL=1). Under the sanitizers (TESKRA_SANITIZED=1) ASan's allocator makes the native
measures meaningless: only tracemalloc and reference counts, over 2 * 10^3 calls.
TESKRA_LEAK_VERBOSE=1 (with pytest -s) prints the growth measured in each case.
"""

import ctypes
import gc
import os
import resource
import tempfile
import sys
import tracemalloc
from dataclasses import dataclass

import numpy as np
import pytest

from teskra import Teskra

SANITIZED = os.environ.get("TESKRA_SANITIZED") == "1"
FULL = os.environ.get("TESKRA_LEAK_FULL") == "1"
CHEAP = 2_000 if SANITIZED else 100_000
HEAVY = 2_000 if SANITIZED else (100_000 if FULL else 10_000)

PAGE = resource.getpagesize()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.argtypes = [ctypes.c_void_p]
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def malloc_in_use():
    """Bytes the C heap has handed out and not taken back (all arenas, mmapped blocks included)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def trim():
    """Hands free heap pages back, so that resident memory counts live memory only."""
    if hasattr(_libc, "malloc_trim"):
        _libc.malloc_trim(0)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def refcounts(objs):
    """Reference counts of the watched objects and, one and two levels down, of their items."""
    counts = []
    for obj in objs:
        counts.append(sys.getrefcount(obj))
        if isinstance(obj, (list, tuple)):
            for item in obj:
                counts.append(sys.getrefcount(item))
                if isinstance(item, (list, tuple)):
                    counts.extend(sys.getrefcount(x) for x in item)
    return counts


@dataclass
class Growth:
    n: int
    traced: int
    heap: int
    rss: int
    refs_before: list
    refs_after: list

    def problems(self):
        found = []
        if self.traced > 16 * 1024 + 8 * self.n:
            found.append(f"tracemalloc grew {self.traced} bytes")
        if not SANITIZED and self.heap > 128 * 1024 + 16 * self.n:
            found.append(f"malloc in use grew {self.heap} bytes")
        if not SANITIZED and self.rss > 2 * 1024 * 1024 + 16 * self.n:
            found.append(f"resident memory grew {self.rss} bytes")
        if self.refs_before != self.refs_after:
            changed = [(a, b) for a, b in zip(self.refs_before, self.refs_after) if a != b]
            found.append(f"argument reference counts changed: {changed[:5]}")
        return found


def measure(call, n, watch=()):
    # Warm-up fills free lists, caches and the engine's reusable buffers.
    for _ in range(max(200, n // 20)):
        call()
    gc.collect()
    refs_before = refcounts(watch)
    trim()
    heap0, rss0 = malloc_in_use(), resident_bytes()
    tracemalloc.start()
    for _ in range(n):
        call()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()  # frees the traces before the native measures are read
    trim()
    return Growth(n, traced, malloc_in_use() - heap0, resident_bytes() - rss0, refs_before, refcounts(watch))


def assert_no_leak(call, n, watch=()):
    growth = measure(call, n, watch)
    if os.environ.get("TESKRA_LEAK_VERBOSE"):
        print(f" {n} calls: tracemalloc {growth.traced} B, malloc {growth.heap} B, resident {growth.rss} B", end="")
    assert not growth.problems(), f"{n} calls: " + "; ".join(growth.problems())


def raising(exc, fn, *args, **kwargs):
    """A call that must raise exc every time: the error paths are leak-checked as well."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")
    return call


# ---------------------------------------------------------------------------
# Fixtures of the cases. Ids above 2^40 and freshly built floats are never
# immortal or cached, so their reference counts are meaningful.

DIM = 16
RNG = np.random.default_rng(0)
DATA = RNG.standard_normal((256, DIM)).astype(np.float32)
BIG = 2**40


def ids(n, start=0):
    return [BIG + start + i for i in range(n)]


def rows(n):
    return [[float(x) for x in row] for row in DATA[:n]]


def brute(metric="cosine", **kwargs):
    t = Teskra(DIM, metric=metric, **kwargs)
    t.add(ids(64), DATA[:64])
    return t


def ivf():
    t = Teskra(DIM, index_type="ivf", ivf_nlist=8, ivf_nprobe=3)
    t.add(ids(128), DATA[:128])
    t.build()
    return t


def hnsw():
    t = Teskra(DIM, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=32)
    t.add(ids(128), DATA[:128])
    return t


class Hook:
    """An element whose float conversion runs Python code (here: a re-entrant call or an error)."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


def boom():
    raise KeyError("from __float__")


def case(name, make, heavy=False):
    """make() -> (call, watched arguments)."""
    return pytest.param(make, HEAVY if heavy else CHEAP, id=name)


def ok_cases():
    q_list, q_arr, allow = rows(1)[0], DATA[5].copy(), ids(20, 10)
    few_ids, few_rows, few_arr = ids(4), rows(4), DATA[:4].copy()
    g_ids, g_arr = ids(64), DATA[:64].copy()
    sample, sample_list = DATA[:16].copy(), rows(8)
    b, i, h, l2 = brute(), ivf(), hnsw(), brute("l2", n4_dims=8)

    def properties(t):
        return (len(t), repr(t), t.n_vectors, t.dim, t.bit_width, t.index_type, t.n4_dims, t.metric,
                t.padded_dim, t.packed_bytes_per_vec, t.pb4_per_vec, t.is_empty(), t.is_mixed())

    return [
        case("constructor_positional", lambda: (lambda: Teskra(DIM, "dot", 2, "brute", 0.5, None, 4, 2, 8, 16, 0), [])),
        case("add_list_numpy_fortran", lambda: (lambda: (
            Teskra(DIM).add(few_ids, few_rows), Teskra(DIM).add(few_ids, few_arr),
            Teskra(DIM).add(np.array(few_ids, np.uint64), np.asfortranarray(few_arr))), [few_ids, few_rows, few_arr])),
        case("search_every_type_and_form", lambda: (lambda: (
            b.search(q_list, 10), b.search(q_arr, 10, allowlist=allow), i.search(q_arr, 10, allow),
            h.search(q_list, 10, allow), l2.search(q_arr, 5)), [q_list, q_arr, allow, b])),
        case("exports_and_profiling", lambda: (lambda: (
            b.transform_query_np(q_arr), h.transform_query_np(q_list), b.packed_data(), b.vector_norms(),
            b.vector_ids(), Teskra.centroids_4bit(), b.centroids_2bit(), b.profile_variance(sample),
            b.optimal_n4_dims(sample_list, 3.0)), [q_arr, q_list, b, sample, sample_list])),
        case("properties_len_repr", lambda: (lambda: properties(b), [b])),
        case("tuning_setters", lambda: (lambda: (i.set_nprobe(3), h.set_ef_search(24), b.set_nprobe(1),
                                                 b.build(), Teskra.recommended_m(10**6)), [])),
        case("fit_add_l2", lambda: (lambda: (t := Teskra(DIM, metric="l2"), t.fit(sample), t.fit(sample_list),
                                             t.add(few_ids, few_arr)), [sample, sample_list, few_ids, few_arr])),
        case("ivf_add_build_search", lambda: (lambda: (
            t := Teskra(DIM, index_type="ivf", ivf_nlist=16, ivf_nprobe=4), t.add(g_ids, g_arr), t.build(),
            t.set_nprobe(16), t.search(q_arr, 10)), [g_ids, g_arr, q_arr]), heavy=True),
        case("hnsw_add_build", lambda: (lambda: (
            t := Teskra(DIM, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=32), t.add(g_ids, g_arr), t.build(),
            t.set_ef_search(40)), [g_ids, g_arr]), heavy=True),
        case("save_load", lambda: save_load_cycle(b, i, h), heavy=True),
    ]


# Saves sync the file to disk; on a memory file system that costs nothing, so
# 10^5 of them take seconds instead of minutes. Removed when the run ends.
_SCRATCH = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


def scratch_dir():
    return tempfile.mkdtemp(dir=_SCRATCH.name)


def save_load_cycle(*indexes):
    directory = scratch_dir()
    paths = [os.path.join(directory, f"{n}.tskr") for n in range(len(indexes))]

    def call():
        for index, path in zip(indexes, paths):
            index.save(path)
            Teskra.load(path)
    return call, paths + list(indexes)


def error_cases():
    b, h = brute(), hnsw()
    unbuilt = Teskra(DIM, index_type="ivf")
    unbuilt.add(ids(2), DATA[:2])
    q, short = rows(1)[0], rows(1)[0][:3]
    two_ids, three_rows, bad_row = ids(2), rows(3), rows(2) + [[1.0, 2.0]]
    strided = np.zeros((4, 2 * DIM), np.float32)[:, ::2]
    hook_boom = Hook(boom)
    reentrant = Hook(lambda: b.add(two_ids, three_rows[:2]))
    empty = Teskra(DIM)
    fitted = brute("l2")

    return [
        case("ctor_type_value_overflow", lambda: (lambda: (
            raising(TypeError, Teskra)(), raising(OverflowError, Teskra, -1)(),
            raising(ValueError, Teskra, DIM, metric="manhattan")(),
            raising(ValueError, Teskra, DIM, index_type="flat")(),
            raising(ValueError, Teskra, DIM, bit_width=3)(),
            raising(TypeError, Teskra, DIM, n4_dims="8")(),
            raising(ValueError, Teskra, DIM, index_type="hnsw", hnsw_m=1)(),
            raising(ValueError, Teskra, 2**62)()), [])),
        case("add_count_mismatch", lambda: (lambda: (
            raising(ValueError, b.add, two_ids, three_rows)(),
            raising(ValueError, b.add, two_ids, DATA[:3])()), [two_ids, three_rows])),
        case("add_bad_shapes", lambda: (lambda: (
            raising(ValueError, b.add, ids(3), bad_row)(),
            raising(ValueError, b.add, two_ids, DATA[:2, :4])(),
            raising(TypeError, b.add, ids(4), strided)()), [bad_row, strided])),
        case("add_bad_types", lambda: (lambda: (
            raising(TypeError, b.add, two_ids, "vectors")(),
            raising(TypeError, b.add, "ids", three_rows[:2])(),
            raising(OverflowError, b.add, [-1], three_rows[:1])(),
            raising(TypeError, b.add, two_ids, [q, [1.0] * (DIM - 1) + ["x"]])(),
            raising(KeyError, b.add, two_ids, [q, [hook_boom] * DIM])()), [three_rows, q, hook_boom])),
        case("search_errors", lambda: (lambda: (
            raising(ValueError, b.search, short, 3)(),
            raising(RuntimeError, empty.search, q, 3)(),
            raising(RuntimeError, unbuilt.search, q, 3)(),
            raising(TypeError, b.search, q, 3, allowlist={1, 2})(),
            raising(OverflowError, b.search, q, -3)(),
            raising(TypeError, b.search, "query", 3)(),
            raising(KeyError, b.search, [hook_boom] + q[1:], 3)()), [q, short, hook_boom])),
        case("reentrant_access_error", lambda: (
            raising(RuntimeError, b.search, [reentrant] + q[1:], 3), [q, reentrant])),
        case("fit_build_setter_errors", lambda: (lambda: (
            raising(ValueError, fitted.fit, three_rows)(),
            raising(ValueError, Teskra(DIM, metric="l2").fit, [])(),
            raising(ValueError, Teskra(DIM, metric="l2").fit, bad_row)(),
            raising(RuntimeError, Teskra(DIM, index_type="ivf").build)(),
            raising(TypeError, b.build, 1)(),
            raising(OverflowError, b.set_nprobe, -1)(),
            raising(TypeError, b.set_ef_search, "8")()), [three_rows, bad_row])),
        case("save_load_errors", lambda: save_load_errors(b), heavy=True),
        case("export_errors", lambda: (lambda: (
            raising(RuntimeError, h.packed_data)(), raising(RuntimeError, h.vector_norms)(),
            raising(RuntimeError, unbuilt.vector_ids)(),
            raising(ValueError, b.transform_query_np, short)(),
            raising(ValueError, b.profile_variance, [])(),
            raising(ValueError, b.optimal_n4_dims, [], 3.0)(),
            raising(TypeError, b.optimal_n4_dims, three_rows, "3")()), [short, three_rows])),
    ]


def save_load_errors(index):
    directory = scratch_dir()
    missing, garbage = os.path.join(directory, "no", "such.tskr"), os.path.join(directory, "garbage.tskr")
    with open(garbage, "wb") as f:
        f.write(b"NOT AN INDEX FILE" * 4)
    unbuilt = Teskra(DIM, index_type="ivf")
    unbuilt.add(ids(2), DATA[:2])
    return (lambda: (raising(OSError, index.save, missing)(), raising(OSError, Teskra.load, missing)(),
                     raising(OSError, Teskra.load, garbage)(), raising(TypeError, index.save, b"bytes.tskr")(),
                     raising(RuntimeError, unbuilt.save, garbage)()),
            [missing, garbage])


@pytest.mark.parametrize("make, n", ok_cases() + error_cases())
def test_no_growth_over_repeated_calls(make, n):
    call, watch = make()
    assert_no_leak(call, n, watch)


def test_the_bounds_catch_one_leak_per_call():
    """The helper above, fed calls that leak one thing each time, must report it at every N it runs with."""
    kept, held = [], [1.5]
    for n in sorted({CHEAP, HEAVY}):
        # One Python float kept per call: tracemalloc.
        growth = measure(lambda: kept.append(float(len(kept)) + 0.25), n)
        assert any("tracemalloc" in p for p in growth.problems())
        kept.clear()
        # One reference to an argument kept per call, which costs no memory: the reference counts.
        growth = measure(lambda: kept.append(held), n, [held])
        assert any("reference counts" in p for p in growth.problems())
        kept.clear()
        if not SANITIZED and _mallinfo2 is not None:
            # One 24-byte native block per call, invisible to tracemalloc: malloc in use.
            growth = native_leak(n, 24)
            assert any("malloc" in p for p in growth.problems())
            assert not any("tracemalloc" in p for p in growth.problems())
    if not SANITIZED:
        # Resident memory is the coarse net: 64 native bytes per call show over 10^5 calls.
        assert any("resident" in p for p in native_leak(100_000, 64).problems())


def native_leak(n, size):
    """measure() of a call that mallocs size bytes and never frees them (until the end of the check)."""
    pointers = np.zeros(n + max(200, n // 20), dtype=np.uintp)  # allocated up front: no traced growth
    count = iter(range(len(pointers)))

    def leak():
        p = _libc.malloc(size)
        ctypes.memset(p, 1, size)  # touched, so resident
        pointers[next(count)] = p

    try:
        return measure(leak, n)
    finally:
        for p in pointers[pointers != 0].tolist():
            _libc.free(p)
