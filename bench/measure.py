"""How the benchmark measures: resident memory, wall time of one-query calls,
file sizes, save/load timing, and progress bars.

Every index in a data set's process is built, measured and dropped in turn,
so its memory is read as the growth of the process's resident set across the
build. glibc would distort that in two ways: freed pages stay in the heap
(later builds reuse them and look free), and the mmap threshold rises after
large frees (later big blocks land in the heap). Fixing the threshold and
trimming the heap before each reading keeps every build's growth its own.
A library's first use also allocates for good (thread pools, BLAS buffers):
the drivers warm every library up before the first reading, so that cost is
not charged to whichever index happens to come first.
"""

from __future__ import annotations

import contextlib
import ctypes
import gc
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3

try:
    _libc = ctypes.CDLL("libc.so.6")
except OSError:  # not glibc: readings are taken as they come
    _libc = None


def fix_allocator() -> None:
    """Large blocks always from mmap (returned to the system when freed),
    and heap tops trimmed eagerly."""
    if _libc is not None:
        _libc.mallopt(_M_MMAP_THRESHOLD, 128 * 1024)
        _libc.mallopt(_M_TRIM_THRESHOLD, 128 * 1024)


def rss_bytes() -> int:
    """Anonymous resident memory (heap and private mappings, not the pages of
    loaded code) after a collection and a heap trim."""
    gc.collect()
    if _libc is not None:
        _libc.malloc_trim(0)
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    with open("/proc/self/statm") as f:  # kernels without the split: all resident pages
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Stopwatch:
    """Elapsed seconds of a with-block."""

    def __enter__(self) -> "Stopwatch":
        self.t0 = time.perf_counter()
        self.s = 0.0
        return self

    def __exit__(self, *exc) -> None:
        self.s = time.perf_counter() - self.t0


def time_queries(search_one: Callable, queries: Sequence, warmup: int = 20, repeats: int = 1,
                 repeat_budget_s: float = 5.0) -> tuple[list, float]:
    """Call search_one once per query, as an application does, and return the
    raw answers with queries per second. Only the calls are timed: turning
    answers into id lists happens afterwards, so each library's timing holds
    its own result building and nothing of ours. A few untimed calls first
    bring code and the index's hot pages into cache. With repeats > 1 the
    fastest pass counts: on a shared machine the others are slowed by
    neighbours, not by the index. No pass starts once repeat_budget_s has
    been spent."""
    for q in queries[:warmup]:
        search_one(q)
    answers = [None] * len(queries)
    best, spent = 0.0, 0.0
    for _ in range(max(1, repeats)):
        if spent > repeat_budget_s:  # a slow index: one long pass already averages out the noise
            break
        t0 = time.perf_counter()
        for i, q in enumerate(queries):
            answers[i] = search_one(q)
        elapsed = time.perf_counter() - t0
        spent += elapsed
        best = max(best, len(queries) / elapsed if elapsed > 0 else float("inf"))
    return answers, best


@contextlib.contextmanager
def quiet_stderr():
    """Silence native libraries that print straight to file descriptor 2
    (faiss's k-means warns about small training sets on every subquantizer)."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


@contextlib.contextmanager
def scratch_dir():
    path = Path(tempfile.mkdtemp(prefix="teskra-bench-"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def path_size(path: Path) -> int:
    """Bytes on disk of a file, or of every file under a folder."""
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size


def save_load(save: Callable[[Path], None], load: Callable[[Path], object],
              check: Callable[[object], bool], name: str) -> dict:
    """Save to a scratch file and load it back: the file size, both times and
    whether the loaded copy passes check (it answers queries as the original
    did). The copy is dropped before the file is removed."""
    with scratch_dir() as folder:
        path = folder / name
        with Stopwatch() as ts:
            save(path)
        size = path_size(path)
        with Stopwatch() as tl:
            loaded = load(path)
        same = bool(check(loaded))
        del loaded
        gc.collect()
        return {"file_bytes": size, "save_s": ts.s, "load_s": tl.s, "load_ok": same}


def progress(iterable: Iterable, desc: str, total: int | None = None, quiet: bool = False):
    """A tqdm bar on stderr, or the bare iterable when tqdm is missing or the
    caller wants silence."""
    if quiet:
        return iterable
    try:
        from tqdm import tqdm
    except ImportError:
        return iterable
    return tqdm(iterable, desc=desc, total=total, leave=False, dynamic_ncols=True, mininterval=0.5)


def log(msg: str) -> None:
    """One status line that does not tear an active progress bar."""
    try:
        from tqdm import tqdm
        tqdm.write(msg, file=sys.stderr)
    except ImportError:
        print(msg, file=sys.stderr, flush=True)
