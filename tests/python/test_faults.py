"""Fault injection: memory exhaustion and failing writes, each case in its own process.

Running out of address space in the middle of an add, a remove, an upsert, a build, a search or a
load must surface as MemoryError, never as an abort, and leave the index whole and usable (a failed
add, remove or upsert: exactly as it was); a save that cannot complete (file-size limit, read-only
directory) must raise OSError and leave the previous file byte for byte.
Each case runs this file as a child (python test_faults.py CASE DIR), so that limits and crashes
stay out of the test runner. The child caps RLIMIT_AS at its current size plus a series of margins,
from almost nothing up to enough, so the failing allocation moves through the operation (sparsely
but finely at the boundary by default, densely with TESKRA_FAULTS_FULL=1: see sweep); after each
cut it lifts the cap and checks the index, then prints one JSON report for the parent. Address-space
caps and AddressSanitizer's shadow memory exclude each other: skipped under TESKRA_SANITIZED=1.
"""

import json
import os
import resource
import signal
import subprocess
import sys
import tempfile

import numpy as np

if __name__ != "__main__":  # a child does without the test runner (a tenth of a second each)
    import pytest

SANITIZED = os.environ.get("TESKRA_SANITIZED") == "1"
PAGE = resource.getpagesize()
MIB = 1 << 20
FULL = os.environ.get("TESKRA_FAULTS_FULL") == "1"  # make check-memory: the dense sweeps


# ---------------------------------------------------------------------------
# Child side.

def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * PAGE


def attempt(call):
    """"ok", "MemoryError", or the class and text of any other exception call() raised."""
    try:
        call()
        return "ok"
    except MemoryError:
        return "MemoryError"
    except Exception as e:  # reported, and failed by the parent
        return f"{type(e).__name__}: {e.strerror if isinstance(e, OSError) and e.errno else e}"


def under_limit(margin, call):
    """attempt(call) with the address space capped at its current size plus margin bytes; the cap is
    lifted again before anything else runs."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, hard))
    try:
        return attempt(call)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def sweep(top, steps, cut):
    """cut(margin) at margins from almost nothing up to top bytes, then plenty; the outcomes in order.

    TESKRA_FAULTS_FULL=1: `steps` even steps, so that some cut lands in every phase of the operation.
    By default a quarter as many, up to the first that succeeds, with three more between it and the
    last that failed: the boundary, where the operation's last allocations fail, is swept finely
    either way.
    """
    if FULL:
        return [cut(m) for m in [0, 4096, 64 * 1024] + [top * i // steps for i in range(1, steps + 1)] + [top * 4]]
    results, last, coarse = [], 0, max(steps // 4, 1)
    for m in [0, 64 * 1024] + [top * i // coarse for i in range(1, coarse + 1)] + [top * 4]:
        outcome = cut(m)
        if outcome == "ok":
            return results + [cut(last + (m - last) * j // 4) for j in (1, 2, 3)] + [outcome]
        results.append(outcome)
        last = m
    return results


def make(kind, dim, nlist=4, **kwargs):
    from teskra import Teskra
    return Teskra(dim, index_type=kind, hnsw_m=8, hnsw_ef_construction=16, ivf_nlist=nlist, **kwargs)


def check_flat_store(t, reference):
    """The BruteForce store is parallel and a prefix of the reference: whatever was kept is intact."""
    n = t.n_vectors
    codes, norms, ids = t.packed_data(), t.vector_norms(), t.vector_ids()
    assert codes.shape[0] == len(norms) == len(ids) == n == len(t)
    assert ids.tolist() == reference.vector_ids()[:n].tolist()
    assert codes.tobytes() == reference.packed_data()[:n].tobytes()
    assert norms.tobytes() == reference.vector_norms()[:n].tobytes()
    return n


def usable(t, dim):
    """Searches still answer, and the index takes (and builds) more vectors."""
    q = np.linspace(-1, 1, dim, dtype=np.float32)
    assert len(t.search(q, 3)) >= 1
    before = t.n_vectors
    t.add([12345678], q[None, :])
    t.build()
    assert t.n_vectors >= before


def case_change(kind, op, path, n, dim, top, copies=1, steps=24, stored=None):
    """add() of n new vectors, remove(), or upsert() of ids half stored and half new ("insert": all new).

    All or nothing under every cut: a failed call leaves the index's bytes, length and answers as they
    were (a failed add used to keep part of the batch, and a retry then duplicated those ids); a
    successful one leaves exactly the survivors and the new vectors. path: how the ids of a removal,
    or the vectors of an add or upsert, are given; a removal names each id `copies` times (BruteForce
    and IvfFlat remove in place, so only the ids they are given cost memory). stored: how many vectors
    the index holds before (n unless told).
    """
    from teskra import Teskra
    rng = np.random.default_rng(7)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    queries = rng.standard_normal((4, dim)).astype(np.float32)
    stored = n if stored is None else stored
    base_ids = np.arange(stored, dtype=np.uint64)
    # What goes: every other vector, or for an upsert the stored half of its ids.
    gone = {"remove": base_ids[1::2], "upsert": base_ids[1:stored // 2:2]}.get(op, base_ids[:0])
    new_ids = {"remove": gone[:0], "upsert": np.concatenate([gone, base_ids[:len(gone)] + stored]),
               "insert": base_ids[:stored // 2] + stored, "add": np.arange(stored, stored + n, dtype=np.uint64)}[op]
    # The list path shares one row object: the Python input costs nothing, the conversion and the
    # engine allocate.
    vectors = [data[0].tolist()] * len(new_ids) if path == "list" else data[:len(new_ids)]
    kept = np.setdiff1d(base_ids, gone)
    reference = Teskra(dim)  # what a BruteForce index holds after the change
    reference.add(kept, data[kept])
    reference.add(new_ids, np.tile(data[:1], (len(new_ids), 1)) if path == "list" else data[:len(new_ids)])

    def cut(margin):
        t = make(kind, dim)
        t.add(base_ids, data[:stored])
        t.build()
        before = (t.to_bytes(), len(t), [t.search(q, 5) for q in queries])
        if op == "remove":
            ids = np.tile(gone, copies)
            ids = ids.tolist() if path == "list" else ids
            outcome = under_limit(margin, lambda: t.remove(ids))
        else:
            outcome = under_limit(margin, lambda: getattr(t, "add" if op == "add" else "upsert")(new_ids, vectors))
        if outcome != "ok":  # IvfFlat: nothing waits for a build either, or to_bytes() would refuse
            assert (t.to_bytes(), len(t), [t.search(q, 5) for q in queries]) == before
        elif kind == "brute_force":
            assert check_flat_store(t, reference) == reference.n_vectors
        else:
            if op != "remove":
                t.build()  # IvfFlat: the new vectors wait for it
            assert t.n_vectors == reference.n_vectors
            hits = t.search(queries[0], t.n_vectors + 1)
            assert len({h["id"] for h in hits}) == len(hits)
            assert op != "remove" or t.search(queries[0], 5, allowlist=gone) == []
            if kind == "ivf" and len(new_ids):  # a filtered IvfFlat search finds every allowed vector
                found = t.search(queries[0], len(new_ids) + 1, allowlist=new_ids)
                assert sorted(h["id"] for h in found) == new_ids.tolist()
        usable(t, dim)
        return outcome
    return sweep(top, steps, cut)


def case_build(n, dim, rebuild):
    data = np.random.default_rng(2).standard_normal((n, dim)).astype(np.float32)

    def cut(margin):
        t = make("ivf", dim, nlist=32, ivf_nprobe=32)
        first = n // 2 if rebuild else n
        t.add(list(range(first)), data[:first])
        if rebuild:
            t.build()
            t.add(list(range(first, n)), data[first:])
        before = t.n_vectors
        outcome = under_limit(margin, t.build)
        # A failed build leaves the index as it was: the members of the last build searchable, the
        # rest still waiting.
        assert t.n_vectors == (n if outcome == "ok" else before)
        if outcome != "ok":
            assert rebuild or attempt(lambda: t.search(data[0], 1)).startswith("RuntimeError: call build")
            t.build()
        assert t.n_vectors == n and t.search(data[7], 1)[0]["id"] == 7
        return outcome
    return sweep(MIB // 2, 24, cut)


def case_search(n, dim):
    from teskra import Teskra
    data = np.random.default_rng(3).standard_normal((n, dim)).astype(np.float32)
    t = Teskra(dim)
    t.add(list(range(n)), data)
    allow = list(range(0, n, 2))

    def cut(margin):  # every hit becomes a dict: n of them are several megabytes of objects
        outcome = under_limit(margin, lambda: t.search(data[1], n, allowlist=allow))
        assert t.search(data[4], 1, allowlist=allow)[0]["id"] == 4
        return outcome
    return sweep(16 * MIB, 24, cut)


def case_load(kind, n, dim):
    from teskra import Teskra
    data = np.random.default_rng(4).standard_normal((n, dim)).astype(np.float32)
    t = make(kind, dim, nlist=16)
    t.add(list(range(n)), data)
    t.build()
    path = os.path.join(BASE, "index.tskr")
    t.save(path)
    loaded = []
    # Finer steps than elsewhere: the decoded index is about the file's size.
    results = sweep(2 * os.path.getsize(path), 32, lambda m: under_limit(m, lambda: loaded.append(Teskra.load(path))))
    assert len(loaded) == results.count("ok")
    for index in loaded + [Teskra.load(path)]:
        assert index.n_vectors == n and index.search(data[9], 1)[0]["id"] == 9
    return results


def case_construct():
    from teskra import Teskra
    dim = 1 << 21  # 2 MiB of signs; the query and its transform take 8 MiB each
    query = np.ones(dim, np.float32)
    return sweep(48 * MIB, 24, lambda m: under_limit(m, lambda: Teskra(dim).transform_query_np(query)))


def saved_twice(n, dim, seed):
    """An index of n vectors saved into a directory of its own, then given more: (index, path, old bytes)."""
    from teskra import Teskra
    t = Teskra(dim)
    t.add(list(range(n)), np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32))
    directory = tempfile.mkdtemp(dir=BASE)
    os.chmod(directory, 0o755)
    path = os.path.join(directory, "index.tskr")
    t.save(path)
    t.add(list(range(n, 2 * n)), np.random.default_rng(seed + 1).standard_normal((n, dim)).astype(np.float32))
    return t, path, open(path, "rb").read()


def case_save_file_size(n, dim):
    """Saves cut short by RLIMIT_FSIZE at many sizes: the old file survives each."""
    from teskra import Teskra
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    t, path, old = saved_twice(n, dim, 5)
    new_size = len(t.to_bytes())  # larger than the old file
    results = []
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    # Cut inside the header, the codes, the ids and the norms, and one byte short.
    for cut in [0, 1, 4, 31, 57, 100, 1000, len(old) // 2, len(old), new_size - 5 * n, new_size - 1]:
        resource.setrlimit(resource.RLIMIT_FSIZE, (cut, hard))
        try:
            results.append(attempt(lambda: t.save(path)))
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        assert open(path, "rb").read() == old and os.listdir(os.path.dirname(path)) == ["index.tskr"]
    t.save(path)  # no limit: replaced in one step
    assert Teskra.load(path).to_bytes() == t.to_bytes()
    return results


def case_save_read_only(n, dim):
    """Saving into a directory the process may not write."""
    from teskra import Teskra
    t, path, old = saved_twice(n, dim, 6)
    directory = os.path.dirname(path)
    os.chmod(directory, 0o555)
    if os.geteuid() == 0:
        os.setuid(65534)  # root ignores permissions: become an ordinary user (nobody)
    results = [attempt(lambda p=p: t.save(p)) for p in (path, os.path.join(directory, "other.tskr"))]
    assert open(path, "rb").read() == old and os.listdir(directory) == ["index.tskr"]
    assert Teskra.load(path).n_vectors == n and t.n_vectors == 2 * n
    return results


CASES = {
    "add_brute_force_list": lambda: case_change("brute_force", "add", "list", 20_000, 64, 12 * MIB, stored=100),
    "add_brute_force_numpy": lambda: case_change("brute_force", "add", "numpy", 200_000, 32, 10 * MIB, stored=100),
    "add_ivf_list": lambda: case_change("ivf", "add", "list", 20_000, 64, 20 * MIB, stored=100),
    "add_hnsw_numpy": lambda: case_change("hnsw", "add", "numpy", 3_000, 32, 3 * MIB, stored=100),
    "remove_brute_force_list": lambda: case_change("brute_force", "remove", "list", 20_000, 32, 4 * MIB, 16),
    "remove_ivf_numpy": lambda: case_change("ivf", "remove", "numpy", 20_000, 32, 4 * MIB, 16),
    "remove_hnsw_numpy": lambda: case_change("hnsw", "remove", "numpy", 3_000, 32, 2 * MIB),
    "upsert_brute_force_list": lambda: case_change("brute_force", "upsert", "list", 20_000, 64, 12 * MIB),
    "upsert_brute_force_numpy": lambda: case_change("brute_force", "upsert", "numpy", 100_000, 32, 16 * MIB),
    "upsert_ivf_list": lambda: case_change("ivf", "upsert", "list", 10_000, 64, 8 * MIB),
    "upsert_ivf_numpy": lambda: case_change("ivf", "upsert", "numpy", 10_000, 64, 4 * MIB),
    "upsert_hnsw_list": lambda: case_change("hnsw", "upsert", "list", 3_000, 32, 3 * MIB),
    "upsert_hnsw_numpy": lambda: case_change("hnsw", "upsert", "numpy", 3_000, 32, 3 * MIB),
    # Inserted in place, in groups: fine steps, so that a cut lands between two groups.
    "insert_hnsw_numpy": lambda: case_change("hnsw", "insert", "numpy", 3_000, 32, MIB, steps=64),
    "build_ivf": lambda: case_build(8_000, 32, rebuild=False),
    "rebuild_ivf": lambda: case_build(8_000, 32, rebuild=True),
    "search_many_hits": lambda: case_search(50_000, 16),
    "load_brute_force": lambda: case_load("brute_force", 100_000, 32),
    "load_ivf": lambda: case_load("ivf", 30_000, 32),
    "load_hnsw": lambda: case_load("hnsw", 3_000, 32),
    "construct_huge_dim": case_construct,
    "save_file_size_limit": lambda: case_save_file_size(2_000, 32),
    "save_read_only_directory": lambda: case_save_read_only(500, 16),
}


if __name__ == "__main__":
    BASE = sys.argv[2]
    print(json.dumps(CASES[sys.argv[1]]()))
    sys.exit(0)


# ---------------------------------------------------------------------------
# Parent side.

def run_case(name):
    # glibc's malloc keeps freed memory mapped and raises its mmap threshold
    # as large blocks are freed, so an allocation could be served from memory
    # mapped before the limit and never meet it. Fixed thresholds make every
    # growth of the heap, and every large block, count against the limit.
    tunables = "glibc.malloc.mmap_threshold=65536:glibc.malloc.trim_threshold=65536"
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", GLIBC_TUNABLES=tunables)
    # Not under pytest's private temporary tree: the read-only case drops its
    # privileges and must still reach its directory.
    with tempfile.TemporaryDirectory() as base:
        os.chmod(base, 0o755)
        proc = subprocess.run([sys.executable, __file__, name, base], capture_output=True, text=True, timeout=300,
                              env=env, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert proc.returncode == 0, f"child died with {proc.returncode}:\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.skipif(SANITIZED, reason="address-space limits and AddressSanitizer's shadow memory exclude each other")
@pytest.mark.parametrize("name", [n for n in CASES if not n.startswith("save_")])
def test_memory_exhaustion_raises_memory_error_and_keeps_the_index(name):
    outcomes = run_case(name)
    assert set(outcomes) <= {"ok", "MemoryError"}, outcomes
    assert "MemoryError" in outcomes and outcomes[0] != "ok" and outcomes[-1] == "ok", outcomes


@pytest.mark.parametrize("name, error", [("save_file_size_limit", "OSError: io error: File too large"),
                                         ("save_read_only_directory", "PermissionError: io error: Permission denied")])
def test_failed_save_keeps_the_previous_file(name, error):
    outcomes = run_case(name)  # the child saved successfully once the limit was gone
    assert outcomes and all(o == error for o in outcomes), outcomes

