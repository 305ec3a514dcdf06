"""search_batch, and the engine's work on several threads.

A batch row is compared with search() of the same query bit for bit across
index types, metrics, layouts, allowlists, input forms and thread counts (the
same index bytes for any thread count: tests/core/test_parallel.cpp); other
Python threads run while the engine works; many threads may share one index;
Ctrl-C stops long calls and leaves the index as a failed call does; a forked
child works. Sizes stay small: the suite also runs against the sanitized module.
"""

import os
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from conftest import expect_error
import teskra
from teskra import Teskra

DIM = 24
TIMEOUT = 60
LAYOUTS = [{"bit_width": 4}, {"bit_width": 2}, {"bit_width": 4, "n4_dims": 16}]


@pytest.fixture(autouse=True)
def default_threads():
    yield
    teskra.set_num_threads(0)


def make(kind, n=300, seed=0, **kwargs):
    data = np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)
    t = Teskra(DIM, index_type=kind, ivf_nlist=8, ivf_nprobe=2, hnsw_m=8, hnsw_ef_construction=24, **kwargs)
    t.add(np.arange(n), data)
    t.build()
    return t, data


def check_rows(t, queries, k, allowlist, answer, rows=None):
    """Row i of answer is search(rows[i]) (rows: what each query is as search() takes it)."""
    ids, scores, counts = answer
    n = len(queries if rows is None else rows)
    assert ids.shape == scores.shape == (n, k) and counts.shape == (n,)
    assert (ids.dtype, scores.dtype, counts.dtype) == (np.uint64, np.float32, np.int64)
    short = 0
    for i in range(n):
        hits = t.search(queries[i] if rows is None else rows[i], k, allowlist)
        c = len(hits)
        short += c < k
        assert counts[i] == c
        assert ids[i, :c].tolist() == [h["id"] for h in hits]
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
                    answer = t.search_batch(queries, 9, allowlist, threads=threads)
                    short += check_rows(t, queries, 9, allowlist, answer)
    assert short > 0  # the allowlists leave some rows short for every type


def test_any_query_form_gives_the_rows_search_takes():
    t, data = make("brute_force", metric="l2")
    base = np.random.default_rng(2).standard_normal((6, DIM)) * 3
    forms = [
        base.astype(np.float32), base, np.asfortranarray(base.astype(np.float32)), base.astype(np.float16),
        base.astype(">f4"), (base * 10).astype(np.int64), base.astype(np.longdouble),
        base.astype(np.float32)[:, ::-1][:, ::-1].copy()[::2], base.tolist(), [row for row in base.astype(np.float32)],
        base.astype(object),
    ]
    for q in forms:
        # What search() gets for query i (a strided float32 row it refuses; the same values copied).
        rows = [r.copy() if isinstance(r, np.ndarray) and r.dtype == np.float32 else r for r in q]
        check_rows(t, None, 4, None, t.search_batch(q, 4), rows=rows)


def test_batch_errors_and_empty_shapes():
    t, data = make("brute_force")
    expect_error(ValueError, f"query dimension mismatch: expected {DIM}, got 3", lambda: t.search_batch(np.zeros((2, 3)), 1))
    expect_error(ValueError, f"query dimension mismatch: expected {DIM}, got 3", lambda: t.search_batch([data[0], [1, 2, 3]], 1))
    expect_error(ValueError, "argument 'queries': expected a 2-D array, got 1 dimension(s)", lambda: t.search_batch(data[0], 1))
    expect_error(TypeError, "argument 'queries': expected a 2-D array or a sequence of queries, got 'int'",
                 lambda: t.search_batch(5, 1))
    expect_error(OverflowError, "argument 'threads': ", lambda: t.search_batch(data[:1], 1, threads=-1))
    expect_error(RuntimeError, "index is empty", lambda: Teskra(DIM).search_batch(data[:2], 1))
    never_built = Teskra(DIM, index_type="ivf_flat")
    never_built.add([1], data[:1])
    expect_error(RuntimeError, "call build() before search() for IvfFlat indexes", lambda: never_built.search_batch(data[:1], 1))
    for empty in (np.zeros((0, DIM), np.float32), []):
        ids, scores, counts = Teskra(DIM).search_batch(empty, 5)  # no queries: nothing to refuse
        assert ids.shape == scores.shape == (0, 5) and counts.shape == (0,)
    ids, scores, counts = t.search_batch(data[:3], 0)
    assert ids.shape == (3, 0) and counts.tolist() == [0, 0, 0]


def test_thread_setting():
    assert teskra.get_num_threads() == 0
    teskra.set_num_threads(3)
    assert teskra.get_num_threads() == 3
    expect_error(OverflowError, "argument 'n': ", lambda: teskra.set_num_threads(-1))


def test_other_threads_run_while_the_engine_works():
    t, data = make("brute_force", n=20000)
    queries = np.repeat(data[:50], 8, axis=0)
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count, daemon=True)
    counter.start()
    time.sleep(0.05)
    before = ticks[0]
    start = time.perf_counter()
    t.search_batch(queries, 10, threads=1)
    t.add(np.arange(20000, 40000), data)
    elapsed = time.perf_counter() - start
    during = ticks[0] - before
    stop.set()
    counter.join(TIMEOUT)
    # Holding the lock would have left the counter a few switch intervals at most.
    assert during > 1000 * elapsed / 0.005, (during, elapsed)


@pytest.mark.parametrize("kind", ["brute_force", "ivf_flat", "hnsw"])
def test_many_threads_add_and_search_one_index(kind):
    t, data = make(kind, n=200)
    more = np.random.default_rng(4).standard_normal((1200, DIM)).astype(np.float32)
    errors = []

    def adder(part):
        try:
            for start in range(part * 600, part * 600 + 600, 100):
                rows = more[start:start + 100]
                t.add(np.arange(1000 + start, 1100 + start), rows if start % 200 else rows.tolist())
                if kind == "ivf_flat" and part == 0:  # the other adder's vectors wait for a build
                    t.build()
        except BaseException as e:
            errors.append(e)

    def searcher(seed):
        try:
            rng = np.random.default_rng(seed)
            for _ in range(20):
                q = more[rng.integers(0, 1200, 8)]
                ids, scores, counts = t.search_batch(q, 5, threads=2)
                assert (counts == 5).all() and (np.diff(scores, axis=1) <= 0).all()
                assert t.search(q[0], 5)  # single searches meanwhile too
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=adder, args=(p,)) for p in range(2)]
    threads += [threading.Thread(target=searcher, args=(s,)) for s in range(3)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(TIMEOUT)
    assert not any(th.is_alive() for th in threads) and not errors, errors
    if kind == "ivf_flat" and len(t) < 1400:
        t.build()
    assert len(t) == 1400
    found = t.search_batch(more, 1)[0][:, 0]
    assert (found == np.arange(1000, 2200)).mean() > 0.9  # each added vector is there to be found


def interrupt_soon(delay=0.2):
    """Sends this process SIGINT (Ctrl-C) after delay seconds; the main thread raises KeyboardInterrupt."""
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
def test_ctrl_c_stops_long_calls_and_leaves_a_consistent_index():
    data = np.random.default_rng(5).standard_normal((60000, 64)).astype(np.float32)
    # add (Hnsw insertion is long): the vectors before the interruption stay, in order.
    t = Teskra(64, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=64)
    start = time.perf_counter()
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        t.add(np.arange(60000), data)
    assert time.perf_counter() - start < 5
    kept = len(t)
    assert 0 < kept < 60000
    found, _, counts = t.search_batch(data[:kept], 1)
    assert counts.tolist() == [1] * kept and found.max() < kept
    assert (found[:, 0] == np.arange(kept)).mean() > 0.9  # a graph search is approximate
    t.add([99999], data[:1])
    # upsert: an interrupted one changes nothing, here while it inserts into the repaired graph.
    before = t.to_bytes()
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        t.upsert(np.arange(60000), data)
    assert len(t) == kept + 1 and t.to_bytes() == before
    # build: an interrupted one changes nothing.
    ivf = Teskra(64, index_type="ivf_flat", ivf_nlist=512)
    ivf.add(np.arange(60000), data)
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        ivf.build()
    expect_error(RuntimeError, "call build() before search() for IvfFlat indexes", lambda: ivf.search(data[0], 1))
    # search_batch
    flat = Teskra(64)
    flat.add(np.arange(60000), data)
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        for _ in range(1000):  # the signal lands inside one of them
            flat.search_batch(data[:2000], 10, threads=1)
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
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(t) == 3000
