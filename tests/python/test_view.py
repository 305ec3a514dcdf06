"""Teskra.view: an index file served in place, read-only. The core checks every damaged file and
layout against load, files replaced under a view and threads sharing one (tests/core/test_view.cpp);
here, what the binding makes of a view."""

import gc
import os
import pickle

import numpy as np
import pytest

import conftest
from conftest import expect_error, resident_bytes
from teskra import Teskra

PROPERTIES = ["n_vectors", "dim", "bit_width", "index_type", "n4_dims", "metric", "padded_dim",
              "packed_bytes_per_vec", "pb4_per_vec", "hnsw_selection"]
QUERIES = np.random.default_rng(5).standard_normal((12, 40)).astype(np.float32)


def saved(path, index_type="brute_force", metric="cosine", n=600, **kw):
    conftest.filled(40, n, index_type, metric, ids=np.arange(n, dtype=np.uint64) * 3 + 1, ivf_nlist=16, ivf_nprobe=4,
                    hnsw_m=8, **kw)[0].save(path)
    return path


def answers(t):
    return conftest.answers(t, QUERIES, list(range(1, 1800, 5)))


# Every type, metric and layout against load: tests/core/test_view.cpp.
@pytest.mark.parametrize("index_type, metric, layout", [
    ("brute_force", "cosine", {"n4_dims": 16}), ("ivf_flat", "l2", {}), ("hnsw", "dot", {"bit_width": 2})])
def test_a_view_answers_saves_and_pickles_as_the_loaded_index(tmp_path, index_type, metric, layout):
    path = saved(tmp_path / "i.tskr", index_type, metric, **layout)
    loaded, view = Teskra.load(path), Teskra.view(path)
    assert view.is_view and not loaded.is_view
    # Changes are refused before the arguments are looked at.
    for call, verb in [(lambda: view.add([1], QUERIES[:1]), "add to"), (lambda: view.add("junk", None), "add to"),
                       (lambda: view.fit(QUERIES[:5]), "fit"), (lambda: view.build(), "build")]:
        expect_error(RuntimeError, f"cannot {verb} a view of an index file: load() it to change it", call)
    assert [getattr(view, p) for p in PROPERTIES] == [getattr(loaded, p) for p in PROPERTIES]
    assert len(view) == len(loaded) == 600 and repr(view) == repr(loaded)
    assert answers(view) == answers(loaded)  # ids, order and score bits
    assert view.to_bytes() == loaded.to_bytes()
    view.save(tmp_path / "copy.tskr")
    assert (tmp_path / "copy.tskr").read_bytes() == loaded.to_bytes()
    # A view pickles as its contents: the copy is an ordinary, changeable index.
    copy = pickle.loads(pickle.dumps(view))
    assert not copy.is_view and answers(copy) == answers(loaded)
    copy.add([99999], QUERIES[:1])
    # Run-time tuning works on a view and is not saved.
    for t in (view, loaded):
        t.set_ef_search(3), t.set_nprobe(1)
    assert answers(view) == answers(loaded) and view.to_bytes() == loaded.to_bytes()


def test_exports_are_read_only_arrays_over_the_file_that_keep_it_mapped(tmp_path):
    path = saved(tmp_path / "i.tskr")
    loaded, view = Teskra.load(path), Teskra.view(path)
    exported = [view.packed_data(), view.vector_ids(), view.vector_norms()]
    for a, b in zip(exported, [loaded.packed_data(), loaded.vector_ids(), loaded.vector_norms()]):
        assert np.array_equal(a, b) and a.dtype == b.dtype and a.shape == b.shape
        assert not a.flags.writeable and not a.flags.owndata and type(a.base).__name__ == "PyCapsule"
        pytest.raises(ValueError, a.__setitem__, 0, 0)
    expected = [a.copy() for a in exported]
    del view
    gc.collect()
    os.remove(path)  # the mapping, not the name, keeps the bytes
    assert all(np.array_equal(a, e) for a, e in zip(exported, expected))
    # 301 codes of 20 bytes put the ids at an odd multiple of 4: they are copied (read-only too), the
    # norms after them are aligned and stay in the file.
    view = Teskra.view(saved(tmp_path / "odd.tskr", n=301, n4_dims=16))
    ids, norms = view.vector_ids(), view.vector_norms()
    assert ids.flags.owndata and not ids.flags.writeable and ids.tolist() == list(range(1, 903, 3))
    assert not norms.flags.owndata and not norms.flags.writeable and len(norms) == 301
    expect_error(RuntimeError, "packed_data() is only available for BruteForce indexes",
                 Teskra.view(saved(tmp_path / "hnsw.tskr", "hnsw")).packed_data)


def test_opening_fails_as_load_fails(tmp_path):
    good = saved(tmp_path / "i.tskr", "ivf_flat").read_bytes()
    (tmp_path / "short.tskr").write_bytes(good[:-3])
    (tmp_path / "magic.tskr").write_bytes(b"XSKR" + good[4:])
    for name in ("short.tskr", "magic.tskr", "missing.tskr", ""):
        errors = [pytest.raises(OSError, opening, tmp_path / name).value for opening in (Teskra.load, Teskra.view)]
        assert [(type(e), str(e)) for e in errors[1:]] == [(type(e), str(e)) for e in errors[:1]]
    expect_error(TypeError, "argument 'path': ", lambda: Teskra.view(3))


def test_opening_a_large_file_keeps_it_out_of_memory(tmp_path):
    # A 20 MB BruteForce file (75,000 vectors of 384 dimensions, 256-byte codes), written directly: the
    # header of a real index with the count raised, then codes, ids and norms.
    n, t = 75_000, Teskra(384)
    t.add([0], np.ones((1, 384), np.float32))
    header = bytearray(t.to_bytes()[:56])
    header[16:24] = n.to_bytes(8, "little")
    path = tmp_path / "large.tskr"
    with open(path, "wb") as f:
        f.write(header)
        f.write(np.random.default_rng(0).integers(0, 256, n * 256, dtype=np.uint8).tobytes())
        f.write(np.arange(n, dtype=np.uint64).tobytes())
        f.write(np.full(n, 11.0, np.float32).tobytes())
    size = path.stat().st_size
    gc.collect()
    before = resident_bytes()
    view = Teskra.view(path)
    grown = resident_bytes() - before
    assert grown < size / 4, (grown, size)
    loaded = Teskra.load(path)  # the measure itself sees a load
    assert resident_bytes() - before - grown > size / 2
    q = np.ones(384, np.float32)
    assert view.search(q, 5) == loaded.search(q, 5) and len(view) == n
