import os
import threading

import numpy as np
import pytest

from teskra import Teskra

# The suite also runs against the module built with AddressSanitizer (make test), which keeps freed
# memory aside for a while and cannot run under address-space limits.
SANITIZED = os.environ.get("TESKRA_SANITIZED") == "1"
TIMEOUT = 60  # every join has one: a hang fails the test instead of stopping the run


def pairs(hits):
    return [(h["id"], h["score"]) for h in hits]


def small(**kwargs):
    """A 4-dimensional index (dot product unless told) holding ids 1..3."""
    t = Teskra(4, **{"metric": "dot", **kwargs})
    t.add([1, 2, 3], [[1, 0, 0, 0], [0, 2, 0, 0], [0.5, 0.5, 3, -1]])
    return t


class Hook(list):
    """Runs an action first when used as a number (float/index) or iterated as a sequence."""

    def __init__(self, items=(), action=None, value=0.5):
        super().__init__(items)
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        return int(self.__float__())

    def __iter__(self):
        self.action()
        return super().__iter__()


def expect_error(cls, text, call):
    """call() raises exactly cls with exactly text; a text naming an argument is a prefix (CPython words the rest)."""
    with pytest.raises(Exception) as e:
        call()
    message = str(e.value)
    if isinstance(e.value, OSError) and e.value.errno is not None:
        message = e.value.strerror  # str() adds "[Errno N]" and the file name
    assert type(e.value) is cls and (message.startswith(text) if text.startswith("argument '") else message == text), (
        type(e.value), message, cls, text)


def filled(dim, n, index_type="brute_force", metric="cosine", seed=0, ids=None, **kwargs):
    """An index of n random vectors (ids 0..n-1 unless given; fitted to them for l2), built; and the vectors."""
    data = np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)
    t = Teskra(dim, metric=metric, index_type=index_type, **kwargs)
    if metric == "l2":
        t.fit(data)
    t.add(np.arange(n) if ids is None else ids, data)
    t.build()
    return t, data


def answers(t, queries, allow, k=10):
    """Single, filtered and batch searches (two threads): ids, order and score bits."""
    out = [t.search(q, k) for q in queries] + [t.search(q, 5, allowlist=allow) for q in queries[:4]]
    ids, scores, counts = t.search_batch(queries, k, threads=2)
    return out, ids.tolist(), scores.view(np.uint32).tolist(), counts.tolist()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_threads(targets):
    """Runs each target in its own thread; fails on a thread that hangs or raises."""
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
