"""Fault injection: memory exhaustion and failing writes, each case in its own process.

Running out of address space in the middle of an add, a remove, an upsert, a build, a search or a
load must surface as MemoryError, never as an abort, and leave the index whole and usable (a failed
remove or upsert: exactly as it was); a save that cannot complete (file-size limit, read-only
directory) must raise OSError and leave the previous file byte for byte.
Each case runs this file as a child (python test_faults.py CASE DIR), so that limits and crashes
stay out of the test runner. The child caps RLIMIT_AS at its current size plus a series of margins,
from almost nothing up to enough, so the failing allocation moves through the operation; after each
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
import pytest

SANITIZED = os.environ.get("TESKRA_SANITIZED") == "1"
PAGE = resource.getpagesize()
MIB = 1 << 20


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


def margins(top, steps=24):
    """Margins from 0 up to top bytes in even steps (so some cut lands in every phase), then plenty."""
    return [0, 4096, 64 * 1024] + [top * i // steps for i in range(1, steps + 1)] + [top * 4]


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
    t.add([12345], q[None, :])
    t.build()
    assert t.n_vectors >= before


def case_add(kind, path, n, dim, top):
    from teskra import Teskra
    rng = np.random.default_rng(1)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    base_ids = list(range(100))
    new_ids = list(range(1000, 1000 + n))
    row = data[0].tolist()
    reference = Teskra(dim)  # what a BruteForce index holds once everything is added
    reference.add(base_ids, data[:100])
    reference.add(new_ids, [row] * n if path == "list" else data)
    results = []
    for margin in margins(top):
        t = Teskra(dim, index_type=kind, hnsw_m=8, hnsw_ef_construction=16, ivf_nlist=4)
        t.add(base_ids, data[:100])
        if kind == "ivf":
            t.build()
        # The list path shares one row object: the Python input costs nothing,
        # the conversion and the engine allocate.
        vectors = [row] * n if path == "list" else data
        outcome = under_limit(margin, lambda: t.add(new_ids, vectors))
        results.append(outcome)
        # All or nothing: room for the whole batch is made before the first
        # vector is stored (a failed add used to keep part of the batch, and a
        # retry then duplicated those ids).
        if kind == "brute_force":
            added = check_flat_store(t, reference) - len(base_ids)
        elif kind == "hnsw":
            added = t.n_vectors - len(base_ids)
            assert len(t) == t.n_vectors
            hits = t.search(data[0], t.n_vectors)
            assert len({h["id"] for h in hits}) == len(hits) <= t.n_vectors
        else:  # vectors wait for the next build: the built lists are untouched
            assert t.n_vectors == len(base_ids)
            if outcome == "ok":
                t.build()
            else:  # nothing waits for a build
                assert attempt(t.build) == "RuntimeError: index is empty"
            added = t.n_vectors - len(base_ids)
        assert added == (n if outcome == "ok" else 0), (outcome, added)
        usable(t, dim)
    return results


def case_change(kind, op, path, n, dim, top, copies=1, steps=24):
    """remove(), or upsert() of ids half stored and half new ("insert": all new), under every cut.

    All or nothing: a failed call leaves the index's bytes, length and answers as they were; a
    successful one leaves exactly the survivors and the new vectors. path: how the ids of a removal,
    or the vectors of an upsert, are given; a removal names each id `copies` times (BruteForce and
    IvfFlat remove in place, so only the ids they are given cost memory).
    """
    from teskra import Teskra
    rng = np.random.default_rng(7)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    queries = rng.standard_normal((4, dim)).astype(np.float32)
    base_ids = np.arange(n, dtype=np.uint64)
    # What goes: every other vector, or for an upsert the stored half of its ids.
    gone = {"remove": base_ids[1::2], "upsert": base_ids[1:n // 2:2], "insert": base_ids[:0]}[op]
    new_ids = {"remove": base_ids[:0], "upsert": np.concatenate([gone, base_ids[:len(gone)] + n]),
               "insert": base_ids[:n // 2] + n}[op]
    row = data[0].tolist()
    kept = np.setdiff1d(base_ids, gone)
    reference = Teskra(dim)  # what a BruteForce index holds after the change
    reference.add(kept, data[kept])
    reference.add(new_ids, np.tile(data[:1], (len(new_ids), 1)) if path == "list" else data[:len(new_ids)])
    results = []
    for margin in margins(top, steps):
        t = Teskra(dim, index_type=kind, hnsw_m=8, hnsw_ef_construction=16, ivf_nlist=4)
        t.add(base_ids, data)
        t.build()
        before = (t.to_bytes(), len(t), [t.search(q, 5) for q in queries])
        if op == "remove":
            ids = np.tile(gone, copies)
            ids = ids.tolist() if path == "list" else ids
            outcome = under_limit(margin, lambda: t.remove(ids))
        else:
            # The list path shares one row object, as in case_add.
            vectors = [row] * len(new_ids) if path == "list" else data[:len(new_ids)]
            outcome = under_limit(margin, lambda: t.upsert(new_ids, vectors))
        results.append(outcome)
        if outcome != "ok":
            assert (t.to_bytes(), len(t), [t.search(q, 5) for q in queries]) == before
        elif kind == "brute_force":
            check_flat_store(t, reference)
            assert t.n_vectors == reference.n_vectors
        else:
            if op != "remove":
                t.build()  # IvfFlat: the new vectors wait for it
            assert t.n_vectors == reference.n_vectors
            assert op != "remove" or t.search(queries[0], 5, allowlist=gone) == []
            if kind == "ivf" and len(new_ids):  # a filtered IvfFlat search finds every allowed vector
                found = t.search(queries[0], len(new_ids) + 1, allowlist=new_ids)
                assert sorted(h["id"] for h in found) == new_ids.tolist()
        usable(t, dim)
    return results


def case_build(n, dim, rebuild):
    from teskra import Teskra
    data = np.random.default_rng(2).standard_normal((n, dim)).astype(np.float32)
    results = []
    for margin in margins(MIB // 2):
        t = Teskra(dim, index_type="ivf", ivf_nlist=32, ivf_nprobe=32)
        if rebuild:
            t.add(list(range(n // 2)), data[:n // 2])
            t.build()
            t.add(list(range(n // 2, n)), data[n // 2:])
        else:
            t.add(list(range(n)), data)
        before = t.n_vectors
        outcome = under_limit(margin, t.build)
        results.append(outcome)
        # A failed build leaves the index as it was: the members of the last
        # build searchable, the rest still waiting.
        if outcome == "ok":
            assert t.n_vectors == n
        else:
            assert t.n_vectors == before
            if not rebuild:
                with pytest.raises(RuntimeError, match="call build"):
                    t.search(data[0], 1)
        t.build() if outcome != "ok" else None
        assert t.n_vectors == n and t.search(data[7], 1)[0]["id"] == 7
    return results


def case_search(n, dim):
    from teskra import Teskra
    data = np.random.default_rng(3).standard_normal((n, dim)).astype(np.float32)
    t = Teskra(dim)
    t.add(list(range(n)), data)
    allow = list(range(0, n, 2))
    results = []
    for margin in margins(16 * MIB):
        # Every hit becomes a dict: n of them are several megabytes of objects.
        results.append(under_limit(margin, lambda: t.search(data[1], n, allowlist=allow)))
        assert t.search(data[4], 1, allowlist=allow)[0]["id"] == 4
    return results


def case_load(kind, n, dim):
    from teskra import Teskra
    data = np.random.default_rng(4).standard_normal((n, dim)).astype(np.float32)
    t = Teskra(dim, index_type=kind, hnsw_m=8, hnsw_ef_construction=16, ivf_nlist=16)
    t.add(list(range(n)), data)
    t.build()
    path = os.path.join(BASE, "index.tskr")
    t.save(path)
    size = os.path.getsize(path)
    results, loaded = [], []
    # Finer steps than elsewhere: the decoded index is about the file's size.
    for margin in [int(size * i / 16) for i in range(33)] + [4 * size]:
        results.append(under_limit(margin, lambda: loaded.append(Teskra.load(path))))
    assert len(loaded) == results.count("ok")
    for index in loaded + [Teskra.load(path)]:
        assert index.n_vectors == n and index.search(data[9], 1)[0]["id"] == 9
    return results


def case_construct():
    from teskra import Teskra
    dim = 1 << 21  # 2 MiB of signs; the query and its transform take 8 MiB each
    query = np.ones(dim, np.float32)
    return [under_limit(margin, lambda: Teskra(dim).transform_query_np(query)) for margin in margins(48 * MIB)]


def case_save_file_size(n, dim):
    """Saves cut short by RLIMIT_FSIZE at many sizes: the old file survives each."""
    from teskra import Teskra
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    data = np.random.default_rng(5).standard_normal((2 * n, dim)).astype(np.float32)
    t = Teskra(dim)
    t.add(list(range(n)), data[:n])
    directory = tempfile.mkdtemp(dir=BASE)
    path = os.path.join(directory, "index.tskr")
    t.save(path)
    old = open(path, "rb").read()
    t.add(list(range(n, 2 * n)), data[n:])  # the new file is larger than the old one
    scratch = os.path.join(BASE, "size.tskr")
    t.save(scratch)
    new_size = os.path.getsize(scratch)
    results = []
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    # Cut inside the header, the codes, the ids and the norms, and one byte short.
    for cut in [0, 1, 4, 31, 57, 100, 1000, len(old) // 2, len(old), new_size - 5 * n, new_size - 1]:
        resource.setrlimit(resource.RLIMIT_FSIZE, (cut, hard))
        try:
            results.append(attempt(lambda: t.save(path)))
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        assert open(path, "rb").read() == old and os.listdir(directory) == ["index.tskr"]
    t.save(path)  # no limit: replaced in one step
    loaded = Teskra.load(path)
    assert loaded.vector_ids().tolist() == list(range(2 * n))
    assert loaded.packed_data().tobytes() == t.packed_data().tobytes()
    return results


def case_save_read_only(n, dim):
    """Saving into a directory the process may not write."""
    from teskra import Teskra
    t = Teskra(dim)
    t.add(list(range(n)), np.random.default_rng(6).standard_normal((n, dim)).astype(np.float32))
    directory = tempfile.mkdtemp(dir=BASE)
    os.chmod(directory, 0o755)
    path = os.path.join(directory, "index.tskr")
    t.save(path)
    old = open(path, "rb").read()
    t.add([n], np.ones((1, dim), np.float32))
    os.chmod(directory, 0o555)
    if os.geteuid() == 0:
        os.setuid(65534)  # root ignores permissions: become an ordinary user (nobody)
    results = [attempt(lambda p=p: t.save(p)) for p in (path, os.path.join(directory, "other.tskr"))]
    assert open(path, "rb").read() == old and sorted(os.listdir(directory)) == ["index.tskr"]
    assert Teskra.load(path).n_vectors == n and t.n_vectors == n + 1
    return results


CASES = {
    "add_brute_force_list": lambda: case_add("brute_force", "list", 20_000, 64, 12 * MIB),
    "add_brute_force_numpy": lambda: case_add("brute_force", "numpy", 200_000, 32, 10 * MIB),
    "add_ivf_list": lambda: case_add("ivf", "list", 20_000, 64, 20 * MIB),
    "add_hnsw_numpy": lambda: case_add("hnsw", "numpy", 3_000, 32, 3 * MIB),
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
    outcomes = run_case(name)
    failed = [o for o in outcomes if o != "ok"]
    assert failed and all(o == error for o in failed), outcomes
    assert "ok" not in outcomes, outcomes  # the child saved successfully once the limit was gone


if __name__ == "__main__":
    BASE = sys.argv[2]
    print(json.dumps(CASES[sys.argv[1]]()))
