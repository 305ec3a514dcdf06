"""save and load as Python sees them: arguments, the loaded object, and which class each error becomes.

The file itself (sizes, bytes, older versions, every truncation, hostile counts, atomic replacement,
links and permissions, loaded indexes of every type, metric and layout answering alike) is tested
byte for byte in tests/core/test_io.cpp; loaded properties and exports in test_model.py; special
files, links other users plant, kept modes and owners, and killed saves in test_file_safety.py;
failing saves in test_faults.py; saving inside a conversion callback in test_reentrancy.py.
"""

import copy
import errno
import multiprocessing
import os
import pickle
import struct

import numpy as np
import pytest

import conftest
from conftest import expect_error, pairs
from teskra import Teskra

NOT_BUILT = "call build() before search() for IvfFlat indexes"


def filled(index_type="brute_force", metric="cosine", dim=20, n=60, **kwargs):
    return conftest.filled(dim, n, index_type, metric, seed=1, ids=np.arange(10, 10 + n, dtype=np.uint64), ivf_nlist=5,
                           ivf_nprobe=2, hnsw_m=6, hnsw_ef_construction=24, **kwargs)


def patched(raw, offset, fmt, value):
    return raw[:offset] + struct.pack(fmt, value) + raw[offset + struct.calcsize(fmt):]


def test_paths_and_error_classes(tmp_path):
    t, _ = filled(dim=100, n=4)
    for bad in (b"x.tskr", None, 3):
        expect_error(TypeError, "argument 'path': ", lambda: t.save(bad))
        expect_error(TypeError, "argument 'path': ", lambda: Teskra.load(bad))

    class BytesPath:
        def __fspath__(self):
            return bytes(tmp_path / "b.tskr")

    # Any os.PathLike, giving str or bytes.
    for given in (tmp_path / "p.tskr", BytesPath()):
        t.save(path=given)
        assert pairs(t.load(path=given).search([1.0] * 100, 3)) == pairs(t.search([1.0] * 100, 3))
    # System failures are the matching OSError subclass, errno and filename set, the text unchanged.
    (tmp_path / "dir.tskr").mkdir()
    (tmp_path / "locked").mkdir(mode=0o500)
    system = [(t.save, tmp_path / "missing" / "x.tskr", FileNotFoundError, errno.ENOENT),
              (Teskra.load, str(tmp_path / "gone"), FileNotFoundError, errno.ENOENT),
              (Teskra.load, tmp_path / "dir.tskr", IsADirectoryError, errno.EISDIR),
              (t.save, tmp_path / "dir.tskr", IsADirectoryError, errno.EISDIR)]
    if os.geteuid() != 0:  # root writes anywhere
        system.append((t.save, tmp_path / "locked" / "x.tskr", PermissionError, errno.EACCES))
    for call, given, cls, code in system:
        with pytest.raises(OSError) as e:
            call(given)
        assert (type(e.value), e.value.errno, e.value.strerror, e.value.filename) == (
            cls, code, "io error: " + os.strerror(code), given)
    keep = tmp_path / "keep.tskr"
    t.save(str(keep))
    raw = keep.read_bytes()
    unbuilt = Teskra(8, index_type="ivf_flat")
    unbuilt.add([1], [[1.0] * 8])
    nul = "io error: file name contained an unexpected NUL byte"
    refused = [(lambda: t.save("a\0b"), OSError, nul), (lambda: Teskra.load("a\0b"), OSError, nul),
               (lambda: unbuilt.save(str(keep)), RuntimeError, NOT_BUILT)]
    # Damaged files (v3 header: 40 bytes, then the body).
    v3 = patched(raw[:40] + raw[56:], 4, "<I", 3)
    damaged = [(b"TSKX" + raw[4:], OSError, "invalid .tskr file: bad magic bytes"),
               (patched(raw, 4, "<I", 7), OSError, "unsupported file version: 7"),
               (raw[:100], OSError, "io error: failed to fill whole buffer"),
               (patched(raw, 12, "<B", 3), ValueError, "invalid metric byte: 3"),
               (patched(raw, 14, "<B", 3), ValueError, "unsupported index type byte: 3"),
               (patched(v3, 32, "<I", 30), ValueError, "invalid bit width: 4 (must be 2 or 4)")]
    path = tmp_path / "bad.tskr"
    for call, cls, text in refused + [(lambda d=d: (path.write_bytes(d), Teskra.load(str(path))), c, m)
                                      for d, c, m in damaged]:
        expect_error(cls, text, call)
    assert keep.read_bytes() == raw
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.tskr", "bad.tskr", "dir.tskr", "keep.tskr", "locked",
                                                          "p.tskr"]
    path.write_bytes(v3)
    assert np.array_equal(Teskra.load(str(path)).packed_data(), t.packed_data())


@pytest.mark.parametrize("index_type, metric, layout", [
    ("brute_force", "l2", {}), ("ivf_flat", "dot", {"bit_width": 2}), ("hnsw", "cosine", {"hnsw_selection": "nearest"})])
def test_files_bytes_pickle_copies_and_processes_round_trip(tmp_path, index_type, metric, layout):
    t, data = filled(index_type, metric, **layout)
    t.save(tmp_path / "t.tskr")
    raw = t.to_bytes()
    assert raw == (tmp_path / "t.tskr").read_bytes()
    # Any buffer, contiguous or not, is taken as a copy.
    strided = memoryview(np.frombuffer(raw, np.uint8).repeat(2)[::2])
    copies = [Teskra.load(tmp_path / "t.tskr"), Teskra.from_bytes(raw), Teskra.from_bytes(bytearray(raw)),
              Teskra.from_bytes(data=strided), pickle.loads(pickle.dumps(t)), copy.copy(t), copy.deepcopy(t)]
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        copies.append(pool.apply(copy.copy, (t,)))
    for u in copies:  # the bytes hold every setting (the Hnsw rule: test_hnsw_selection.py)
        assert type(u) is Teskra and u.to_bytes() == raw and u.hnsw_selection == t.hnsw_selection
        assert pairs(u.search(data[3], 5)) == pairs(t.search(data[3], 5))
    expect_error(OSError, "io error: failed to fill whole buffer", lambda: Teskra.from_bytes(raw[:-9]))
    expect_error(TypeError, "argument 'data': a bytes-like object is required, not 'str'", lambda: Teskra.from_bytes("x"))
    # Vectors waiting for a build would be lost: refused as save refuses them.
    t.add([999], data[:1])
    if index_type == "ivf_flat":
        for call in (t.to_bytes, lambda: pickle.dumps(t)):
            with pytest.raises(RuntimeError, match="^cannot save: 1 vectors were added after the last build"):
                call()
