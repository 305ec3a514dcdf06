"""search_batch, the engine's work on several threads, and Python threads sharing indexes.

A batch row is search() of the same query bit for bit across index types, metrics, layouts,
allowlists, input forms and thread counts (the same index bytes for any thread count:
tests/core/test_parallel.cpp). Other Python threads run while the engine works; a call conflicting
with another thread's waits for it (readers share, a writer is alone; the same rule inside one
thread refuses instead: test_reentrancy.py); Ctrl-C stops long calls and leaves the index as a
failed call does; a forked child works. Sizes stay small: the suite also runs sanitized.
"""

import os
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import teskra
from conftest import TIMEOUT, Hook, expect_error, filled, run_threads
from teskra import Teskra

DIM = 24
LAYOUTS = [{"bit_width": 4}, {"bit_width": 2}, {"bit_width": 4, "n4_dims": 16}]


@pytest.fixture
def fast_switching():
    """Ask the interpreter to switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def make(kind, n=300, **kwargs):
    return filled(DIM, n, kind, ivf_nlist=8, ivf_nprobe=2, hnsw_m=8, hnsw_ef_construction=24, **kwargs)


def check_rows(t, rows, k, allowlist, answer):
    """Row i of answer is search(rows[i]); returns how many rows are short of k."""
    ids, scores, counts = answer
    assert ids.shape == scores.shape == (len(rows), k) and counts.shape == (len(rows),)
    assert (ids.dtype, scores.dtype, counts.dtype) == (np.uint64, np.float32, np.int64)
    short = 0
    for i, row in enumerate(rows):
        hits = t.search(row, k, allowlist)
        c = len(hits)
        short += c < k
        assert counts[i] == c and ids[i, :c].tolist() == [h["id"] for h in hits]
        assert scores[i, :c].view(np.uint32).tolist() == np.float32([h["score"] for h in hits]).view(np.uint32).tolist()
        assert not ids[i, c:].any() and np.isnan(scores[i, c:]).all()
    return short


@pytest.mark.parametrize("kind", ["brute_force", "ivf_flat", "hnsw"])
def test_batch_rows_are_single_searches(kind):
    queries = np.random.default_rng(1).standard_normal((12, DIM)).astype(np.float32)
    short = 0
    for metric in ("cosine", "dot", "l2"):
        for layout in LAYOUTS:
            t, data = make(kind, metric=metric, **layout)
            for allowlist in (None, list(range(0, 300, 7)), [3, 5, 1000], []):
                for threads in (1, 3):
                    short += check_rows(t, queries, 9, allowlist, t.search_batch(queries, 9, allowlist, threads=threads))
    assert short > 0  # the allowlists leave some rows short for every type


def test_any_query_form_gives_the_rows_search_takes():
    t, data = make("brute_force", metric="l2")
    base = np.random.default_rng(2).standard_normal((6, DIM)) * 3
    for q in [base.astype(np.float32), base, np.asfortranarray(base.astype(np.float32)), base.astype(np.float16),
              base.astype(">f4"), (base * 10).astype(np.int64), base.astype(np.longdouble),
              base.astype(np.float32)[:, ::-1][:, ::-1].copy()[::2], base.tolist(),
              [row for row in base.astype(np.float32)], base.astype(object)]:
        # What search() gets for query i (a strided float32 row it refuses; the same values copied).
        rows = [r.copy() if isinstance(r, np.ndarray) and r.dtype == np.float32 else r for r in q]
        check_rows(t, rows, 4, None, t.search_batch(q, 4))


def test_empty_batch_shapes_and_the_thread_setting():
    # The errors of both: test_api.py.
    for empty in (np.zeros((0, DIM), np.float32), []):
        ids, scores, counts = Teskra(DIM).search_batch(empty, 5)  # no queries: nothing to refuse
        assert ids.shape == scores.shape == (0, 5) and counts.shape == (0,)
    ids, scores, counts = make("brute_force")[0].search_batch(np.ones((3, DIM)), 0)
    assert ids.shape == (3, 0) and counts.tolist() == [0, 0, 0]
    try:
        assert teskra.get_num_threads() == 0 and teskra.set_num_threads(3) is None and teskra.get_num_threads() == 3
    finally:
        teskra.set_num_threads(0)


def test_other_threads_run_while_the_engine_works():
    t, data = make("brute_force", n=20000)
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    (counter := threading.Thread(target=count, daemon=True)).start()
    time.sleep(0.05)
    before, start = ticks[0], time.perf_counter()
    t.search_batch(np.repeat(data[:50], 8, axis=0), 10, threads=1)
    t.add(np.arange(20000, 40000), data)
    elapsed, during = time.perf_counter() - start, ticks[0] - before
    stop.set()
    counter.join(TIMEOUT)
    # Holding the lock would have left the counter a few switch intervals at most.
    assert during > 1000 * elapsed / 0.005, (during, elapsed)


@pytest.mark.parametrize("kind", ["brute_force", "ivf_flat", "hnsw"])
def test_many_threads_add_and_search_one_index(kind):
    t, data = make(kind, n=200)
    more = np.random.default_rng(4).standard_normal((1200, DIM)).astype(np.float32)

    def adder(part):
        for start in range(part * 600, part * 600 + 600, 100):
            rows = more[start:start + 100]
            t.add(np.arange(1000 + start, 1100 + start), rows if start % 200 else rows.tolist())
            if kind == "ivf_flat" and part == 0:  # the other adder's vectors wait for a build
                t.build()

    def searcher(seed):
        rng = np.random.default_rng(seed)
        for _ in range(20):
            q = more[rng.integers(0, 1200, 8)]
            ids, scores, counts = t.search_batch(q, 5, threads=2)
            assert (counts == 5).all() and (np.diff(scores, axis=1) <= 0).all()
            assert t.search(q[0], 5)  # single searches meanwhile too

    run_threads([lambda p=p: adder(p) for p in range(2)] + [lambda s=s: searcher(s) for s in range(3)])
    if kind == "ivf_flat" and len(t) < 1400:
        t.build()
    assert len(t) == 1400
    found = t.search_batch(more, 1)[0][:, 0]
    assert (found == np.arange(1000, 2200)).mean() > 0.9  # each added vector is there to be found


def test_many_indexes_and_saves_to_one_path(tmp_path, fast_switching):
    """Independent indexes in parallel threads; concurrent saves to one path leave one whole file."""
    shared = tmp_path / "shared.tskr"
    data = np.random.default_rng(2).standard_normal((400, DIM)).astype(np.float32)

    def worker(seed):
        t = Teskra(DIM, metric=("cosine", "dot", "l2")[seed % 3])
        for start in range(0, 400, 50):
            t.add(list(range(seed * 1000 + start, seed * 1000 + start + 50)), data[start:start + 50])
            assert t.search(data[start], 1)[0]["id"] == seed * 1000 + start
            t.save(tmp_path / f"own{seed}.tskr")
            t.save(shared)
        assert Teskra.load(tmp_path / f"own{seed}.tskr").vector_ids().tolist() == t.vector_ids().tolist()

    run_threads([lambda s=s: worker(s) for s in range(6)])
    final = Teskra.load(shared)  # whichever save came last, complete
    assert final.n_vectors == 400 and final.vector_ids().tolist()[0] % 1000 == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([f"own{s}.tskr" for s in range(6)] + ["shared.tskr"])


def started(call, pause=False):
    """Runs call(hook) in a thread, the hook an element whose conversion waits (pause=True: returns once it
    waits, the thread inside the call); the returned finish() lets it go on and gives its outcome."""
    inside, release, outcome = threading.Event(), threading.Event(), {}
    hook = Hook(action=lambda: (inside.set(), release.wait(TIMEOUT)), value=0.25)

    def body():
        try:
            outcome["result"] = call(hook)
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    assert not pause or inside.wait(TIMEOUT)

    def finish():
        release.set()
        thread.join(TIMEOUT)
        assert not thread.is_alive()
        return outcome
    finish.running = thread.is_alive
    return finish


def test_a_call_paused_in_another_thread_makes_conflicting_calls_wait(fast_switching):
    t = Teskra(4)
    t.add([1, 2], [[1, 0, 0, 0], [0, 1, 0, 0]])
    # The adding thread is inside add (exclusive): readers and writers of other threads wait for it.
    finish = started(lambda hook: t.add([3], [[0, 0, hook, 1]]), pause=True)
    waiting = [started(lambda _: t.search([1, 0, 0, 0], 1)), started(lambda _: t.packed_data()),
               started(lambda _: t.set_nprobe(2))]
    time.sleep(0.3)
    assert all(w.running() for w in waiting)
    assert "error" not in finish()
    search, packed, setter = (w() for w in waiting)
    assert search["result"][0]["id"] == 1 and packed["result"].shape == (3, 2) and "error" not in setter
    # A searching thread is inside search (shared): readers go ahead, a writer waits for it.
    finish = started(lambda hook: t.search([hook, 1, 0, 0], 1), pause=True)
    assert t.search([1, 0, 0, 0], 1)[0]["id"] == 1 and t.packed_data().shape == (3, 2)
    writer = started(lambda _: t.add([4], [[0, 0, 1, 0]]))
    time.sleep(0.3)
    assert writer.running()  # (new readers now wait too: the writer goes first)
    assert finish()["result"][0]["id"] == 2
    assert "error" not in writer() and len(t) == 4
    # Dropping the last reference during a call: the call keeps its object alive until it is done.
    holder = [Teskra(4)]
    holder[0].add([1], [[1, 0, 0, 0]])
    finish = started(lambda hook, index=holder[0]: index.search([hook, 0, 0, 0], 1), pause=True)
    holder.clear()
    assert finish()["result"][0]["id"] == 1


def interrupted(call, delay=0.2):
    """Sends this process SIGINT (Ctrl-C) after delay seconds: call() raises KeyboardInterrupt in the main thread."""
    threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        call()


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
def test_ctrl_c_stops_long_calls_and_leaves_a_consistent_index():
    data = np.random.default_rng(5).standard_normal((60000, 64)).astype(np.float32)
    # add (Hnsw insertion is long): the vectors before the interruption stay, in order.
    t = Teskra(64, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=64)
    start = time.perf_counter()
    interrupted(lambda: t.add(np.arange(60000), data))
    assert time.perf_counter() - start < 5
    kept = len(t)
    assert 0 < kept < 60000
    found, _, counts = t.search_batch(data[:kept], 1)
    assert counts.tolist() == [1] * kept and found.max() < kept
    assert (found[:, 0] == np.arange(kept)).mean() > 0.9  # a graph search is approximate
    t.add([99999], data[:1])
    # upsert: an interrupted one changes nothing, here while it inserts into the repaired graph.
    before = t.to_bytes()
    interrupted(lambda: t.upsert(np.arange(60000), data))
    assert len(t) == kept + 1 and t.to_bytes() == before
    # build: an interrupted one changes nothing.
    ivf = Teskra(64, index_type="ivf_flat", ivf_nlist=512)
    ivf.add(np.arange(60000), data)
    interrupted(ivf.build)
    expect_error(RuntimeError, "call build() before search() for IvfFlat indexes", lambda: ivf.search(data[0], 1))
    # search_batch: the signal lands inside one of them (none of whose answers is kept).
    flat = Teskra(64)
    flat.add(np.arange(60000), data)
    interrupted(lambda: any(flat.search_batch(data[:2000], 10, threads=1) is None for _ in range(1000)))
    assert flat.search(data[5], 1)[0]["id"] == 5


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_works_after_threaded_work():
    t, data = make("ivf_flat", n=3000)
    expected = t.search_batch(data[:40], 5, threads=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        pid = os.fork()
    if pid == 0:  # the child: a new pool, the index as it was
        ok = False
        try:
            again = t.search_batch(data[:40], 5, threads=3)
            t.add(np.arange(3000, 3100), data[:100])
            t.build()
            ok = all(np.array_equal(a, b) for a, b in zip(again, expected)) and len(t) == 3100
        finally:
            os._exit(0 if ok else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 and len(t) == 3000
