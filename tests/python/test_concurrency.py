"""Several Python threads on one index.

Calls let the interpreter lock go while the engine works, and threads also
meet inside a call when Python code runs during argument conversion (here:
an element's __float__ that waits on an event). The access rule decides:
readers share, a writer is alone, and a call that conflicts with another
thread's waits for it instead of failing. Every join has a timeout: a hang
fails the test instead of stopping the run. Work inside the engine on
several threads, and adders and searchers on one index at once:
test_threads.py.
"""

import sys
import threading
import time

import numpy as np
import pytest

from teskra import Teskra

TIMEOUT = 60
DIM = 16


@pytest.fixture(autouse=True)
def fast_switching():
    """Ask the interpreter to switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    errors = []

    def guarded(fn):
        try:
            fn()
        except BaseException as e:  # reported by the test, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(fn,), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock or livelock"
    assert not errors, errors


class Blocking:
    """A number whose conversion runs code in another thread while this one waits."""

    def __init__(self, inside, release):
        self.inside, self.release = inside, release

    def __float__(self):
        self.inside.set()
        assert self.release.wait(TIMEOUT)
        return 0.25


def paused_call(call_with):
    """Starts call_with(hook) in a thread and returns once the hook is running (the thread inside the call)."""
    inside, release = threading.Event(), threading.Event()
    return started(lambda: call_with(Blocking(inside, release)), inside, release)


def started(call, inside=None, release=None):
    """Runs call() in a thread; the returned finish() lets a paused call go on and gives its outcome."""
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    if inside is not None:
        assert inside.wait(TIMEOUT)

    def finish():
        if release is not None:
            release.set()
        thread.join(TIMEOUT)
        assert not thread.is_alive()
        return outcome
    finish.running = thread.is_alive
    return finish


def test_a_call_paused_in_another_thread_makes_conflicting_calls_wait():
    """Access belongs to calls, waited for across threads (every pairing in one thread: test_reentrancy.py)."""
    t = Teskra(4)
    t.add([1, 2], [[1, 0, 0, 0], [0, 1, 0, 0]])
    # The adding thread is inside add (exclusive): readers and writers of other threads wait for it.
    finish = paused_call(lambda hook: t.add([3], [[0, 0, hook, 1]]))
    waiting = [started(lambda: t.search([1, 0, 0, 0], 1)), started(t.packed_data), started(lambda: t.set_nprobe(2))]
    time.sleep(0.3)
    assert all(w.running() for w in waiting)
    assert "error" not in finish()
    search, packed, setter = (w() for w in waiting)
    assert search["result"][0]["id"] == 1 and packed["result"].shape == (3, 2) and "error" not in setter
    # A searching thread is inside search (shared): readers go ahead, a writer waits for it.
    finish = paused_call(lambda hook: t.search([hook, 1, 0, 0], 1))
    assert t.search([1, 0, 0, 0], 1)[0]["id"] == 1 and t.packed_data().shape == (3, 2)
    writer = started(lambda: t.add([4], [[0, 0, 1, 0]]))
    time.sleep(0.3)
    assert writer.running()  # (new readers now wait too: the writer goes first)
    assert finish()["result"][0]["id"] == 2
    assert "error" not in writer() and len(t) == 4


def test_dropping_the_last_reference_during_a_call():
    """The call keeps its object alive; the engine goes when the call is done."""
    holder = [Teskra(4)]
    holder[0].add([1], [[1, 0, 0, 0]])
    finish = paused_call(lambda hook, index=holder[0]: index.search([hook, 0, 0, 0], 1))
    holder.clear()
    assert finish()["result"][0]["id"] == 1


def test_many_indexes_and_saves_to_one_path(tmp_path):
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
