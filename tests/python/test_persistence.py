"""save and load: the file's bytes, round trips, older versions, damaged files, and saves that must not destroy."""

import os
import pathlib
import re
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import pairs
from teskra import Teskra

SHORT = "io error: failed to fill whole buffer"
NOT_BUILT = "call build() before search() for IvfFlat indexes"
TYPES, METRICS = ("brute_force", "ivf_flat", "hnsw"), ("cosine", "dot", "l2")
# magic, version, dim, metric, bit_width, index_type, reserved, n_vectors, seed, n4_dims, reserved,
# ivf_nlist, ivf_nprobe, hnsw_m, hnsw_ef_construction, hnsw_ef_search, has_std_params, reserved
HEADER = struct.Struct("<4sIIBBBBQQIIIIHHHBB")
SEED = 0xDEADBEEFCAFE1337


def filled(index_type="brute_force", metric="cosine", dim=20, n=60, fit=True, **kwargs):
    data = np.random.default_rng(1).standard_normal((n, dim)).astype(np.float32)
    t = Teskra(dim, metric=metric, index_type=index_type,
               **{"ivf_nlist": 5, "ivf_nprobe": 2, "hnsw_m": 6, "hnsw_ef_construction": 24, **kwargs})
    if metric == "l2" and fit:
        t.fit(data)
    t.add(np.arange(10, 10 + n, dtype=np.uint64), data)
    t.build()
    return t, data


def saved(t, path):
    t.save(str(path))
    return path.read_bytes()


def load_error(path, data):
    path.write_bytes(data)
    with pytest.raises(Exception) as e:
        Teskra.load(str(path))
    return type(e.value), str(e.value)


def same_answers(a, b, queries):
    for q in queries:
        assert pairs(a.search(q, 7)) == pairs(b.search(q, 7))
        assert pairs(a.search(q, 5, allowlist=[12, 13, 40, 41, 999])) == pairs(b.search(q, 5, allowlist=[12, 13, 40, 41, 999]))


def test_sizes_and_header_fields(tmp_path):
    assert len(saved(Teskra(768), tmp_path / "empty")) == 56
    t = Teskra(100, metric="l2")
    data = np.random.default_rng(0).standard_normal((3, 100)).astype(np.float32)
    t.add([1, 2, 3], data)
    assert len(raw := saved(t, tmp_path / "three")) == 56 + 3 * 64 + 3 * 8 + 3 * 4 and raw[4:8] == b"\x06\0\0\0"
    fitted = Teskra(100, metric="l2")
    fitted.fit(data)
    fitted.add([1, 2, 3], data)
    assert len(saved(fitted, tmp_path / "fitted")) == 284 + 800
    # The header holds the configuration, not run-time tuning.
    ivf, _ = filled("ivf_flat", ivf_nprobe=8)
    ivf.set_nprobe(32)
    assert HEADER.unpack_from(saved(ivf, tmp_path / "ivf"))[9:13] == (32, 0, 5, 8)
    graph, _ = filled("hnsw", hnsw_ef_construction=70000)
    graph.set_ef_search(100)
    assert HEADER.unpack_from(saved(graph, tmp_path / "graph"))[13:16] == (6, 4464, 0)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("index_type", TYPES)
@pytest.mark.parametrize("layout", [{}, {"bit_width": 2}, {"mixed_ratio": 0.5}])
def test_round_trip_answers_identically_and_saves_the_same_bytes(tmp_path, index_type, metric, layout):
    t, data = filled(index_type, metric, **layout)
    raw = saved(t, tmp_path / "a.tskr")
    u = Teskra.load(str(tmp_path / "a.tskr"))
    assert type(u) is Teskra
    props = ("dim", "metric", "index_type", "bit_width", "n4_dims", "padded_dim", "packed_bytes_per_vec", "n_vectors")
    assert [getattr(u, p) for p in props] == [getattr(t, p) for p in props]
    same_answers(t, u, data[::9] + 0.1)
    if index_type == "brute_force":
        for export in ("packed_data", "vector_norms", "vector_ids"):
            assert np.array_equal(getattr(t, export)(), getattr(u, export)())
    assert saved(u, tmp_path / "b.tskr") == raw
    assert sorted(os.listdir(tmp_path)) == ["a.tskr", "b.tskr"]  # no temporary file left


def test_loaded_index_owns_its_data_and_keeps_working(tmp_path):
    path = tmp_path / "x.tskr"
    ivf, data = filled("ivf_flat")
    ivf.save(str(path))
    u = ivf.load(path=str(path))  # a class method, also reached through an instance
    path.unlink()
    same_answers(ivf, u, data[:3])
    # A later build re-clusters the loaded members with the new ones: nothing is lost.
    u.add([1000, 1001], data[:2] * 2)
    u.build()
    u.set_nprobe(100)
    assert len(u) == 62 and {1000, 1001} <= {h["id"] for h in u.search(data[0], 62)}
    graph, data = filled("hnsw", "l2")
    graph.save(str(path))
    g = Teskra.load(str(path))
    g.add([2000], data[:1] + 0.01)
    assert len(g) == 61 and g.search(data[0] + 0.01, 62)  # inserting into a restored graph works
    with pytest.raises(OSError, match="^io error: No such file or directory$"):
        Teskra.load(str(tmp_path / "gone"))


def test_path_and_refusal_errors_touch_nothing(tmp_path):
    t, _ = filled()
    for bad in (b"x.tskr", pathlib.Path("x.tskr"), None):
        for call in (lambda: t.save(bad), lambda: Teskra.load(bad)):
            with pytest.raises(TypeError, match="^argument 'path': "):
                call()
    for call in (lambda: t.save("a\0b"), lambda: Teskra.load("a\0b")):
        with pytest.raises(OSError, match="^io error: file name contained an unexpected NUL byte$"):
            call()
    with pytest.raises(OSError, match="^io error: No such file or directory$"):
        t.save(str(tmp_path / "missing" / "x.tskr"))
    keep = tmp_path / "keep.tskr"
    keep.write_bytes(b"previous")
    unbuilt = Teskra(20, index_type="ivf_flat")
    unbuilt.add([1], [[1.0] * 20])
    with pytest.raises(RuntimeError, match=f"^{re.escape(NOT_BUILT)}$"):
        unbuilt.save(str(tmp_path / "new.tskr"))
    # Vectors added after a build are in no list: saving would silently drop them.
    ivf, data = filled("ivf_flat")
    ivf.add([500, 501, 502], data[:3])
    with pytest.raises(RuntimeError, match=r"^cannot save: 3 vectors were added after the last build\(\) and are not"):
        ivf.save(str(keep))
    assert keep.read_bytes() == b"previous" and os.listdir(tmp_path) == ["keep.tskr"]
    ivf.build()
    ivf.save(str(keep))
    assert len(Teskra.load(str(keep))) == 63
    # A degree whose lists the file's u16 lengths cannot hold is refused up front.
    with pytest.raises(ValueError, match="^hnsw_m must be at most 32767 for an Hnsw index, got 32768$"):
        Teskra(8, index_type="hnsw", hnsw_m=32768)
    assert Teskra(8, hnsw_m=40000).index_type == "BruteForce"  # ignored by the other types


def test_largest_degree_round_trips(tmp_path):
    t, data = filled("hnsw", dim=4, n=12, hnsw_m=32767)
    assert HEADER.unpack_from(saved(t, tmp_path / "m"))[13] == 32767
    same_answers(t, Teskra.load(str(tmp_path / "m")), data[:2])


class Reenter:
    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 0.0


def test_save_takes_shared_access(tmp_path):
    t, _ = filled(dim=4)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        t.add([1], [[Reenter(lambda: t.save(str(tmp_path / "x"))), 0, 0, 0]])
    assert not (tmp_path / "x").exists()
    t.search([Reenter(lambda: t.save(str(tmp_path / "x"))), 0, 0, 0], 1)  # two readers are fine
    assert (tmp_path / "x").exists()


# ---------------------------------------------------------------------------
# Files of older versions, built by hand.

def v1_file(t, metric_byte=0, bit_width=4):
    codes, ids = t.packed_data(), t.vector_ids()
    head = struct.pack("<4sIIBBBBQQ", b"TSKR", 1, t.dim, metric_byte, bit_width, 0, 0, len(ids), SEED)
    return head + codes.tobytes() + ids.astype("<u8").tobytes()


def raw_scores(t, query):
    """Inner products of the transformed query with each dequantized 4-bit code."""
    codes, centroids = t.packed_data(), Teskra.centroids_4bit()
    nibbles = np.stack([codes & 15, codes >> 4], axis=2).reshape(len(codes), -1)
    return centroids[nibbles].astype(np.float64) @ t.transform_query_np(query)


def test_version_one_loads_without_norms_and_a_later_add_restores_them(tmp_path):
    t, data = filled(dim=24, n=30)
    path = tmp_path / "v1"
    path.write_bytes(v1_file(t))
    u = Teskra.load(str(path))
    assert len(u.vector_norms()) == 0 and np.array_equal(u.packed_data(), t.packed_data())
    q = data[4] + 0.3
    best = u.search(q, 30)
    assert [h["id"] for h in best][:5] == list(u.vector_ids()[np.argsort(-raw_scores(u, q), kind="stable")][:5])
    assert best[0]["score"] == pytest.approx(raw_scores(u, q).max(), rel=1e-5)
    # The first add gives every loaded code its norm: all scores are adjusted alike again.
    extra = data[:2] * 3
    for index in (t, u):
        index.add([700, 701], extra)
    assert np.array_equal(u.vector_norms(), t.vector_norms())
    same_answers(t, u, data[::5])


def test_hand_built_versions_two_to_five(tmp_path):
    t, _ = filled(dim=100, n=4)
    v6 = saved(t, tmp_path / "v6")
    body = v6[56:]

    def at_version(version, header_len, **fields):
        head = bytearray(v6[:header_len])
        struct.pack_into("<I", head, 4, version)
        for offset, (fmt, value) in fields.items():
            struct.pack_into(fmt, head, int(offset[1:]), value)
        return bytes(head) + body

    path = tmp_path / "old"
    for version, length in ((2, 32), (3, 40), (4, 56), (5, 56)):
        path.write_bytes(at_version(version, length))
        u = Teskra.load(str(path))
        assert np.array_equal(u.packed_data(), t.packed_data()) and u.n4_dims == 128
    # Version 2 has no n4_dims: all coordinates at the nominal width.
    two = saved(filled(dim=100, n=4, bit_width=2)[0], tmp_path / "two")
    path.write_bytes(two[:4] + struct.pack("<I", 2) + two[8:32] + two[56:])
    u = Teskra.load(str(path))
    assert (u.n4_dims, u.packed_bytes_per_vec) == (0, 32)
    cases = [
        (at_version(3, 40, o32=("<I", 30)), ValueError, "invalid bit width: 4 (must be 2 or 4)"),
        (at_version(3, 40, o32=("<I", 132)), ValueError, "invalid bit width: 4 (must be 2 or 4)"),
        (at_version(7, 56), OSError, "unsupported file version: 7"),
        (at_version(0, 56), OSError, "unsupported file version: 0"),
        (at_version(6, 56, o12=("<B", 3)), ValueError, "invalid metric byte: 3"),
        (at_version(6, 56, o14=("<B", 3)), ValueError, "unsupported index type byte: 3"),
        (b"TSKX" + v6[4:], OSError, "invalid .tskr file: bad magic bytes"),
        (b"TSK", OSError, SHORT),
    ]
    for data, cls, message in cases:
        assert load_error(path, data) == (cls, message)
    graph, _ = filled("hnsw", dim=8, n=5)
    g6 = saved(graph, tmp_path / "g")
    assert load_error(path, g6[:4] + struct.pack("<I", 4) + g6[8:]) == (
        OSError, "invalid .tskr file: HNSW index version 4 is incompatible with v5 format (neighbor count type "
                 "changed u8\u2192u16). Rebuild the index with the current version.")
    # Version 5 carried the std-params byte without meaning: no block follows, none is read.
    l2, data = filled(dim=8, n=5, metric="l2", fit=False)
    raw = bytearray(saved(l2, tmp_path / "l2"))
    raw[4], raw[54] = 5, 1
    path.write_bytes(bytes(raw))
    same_answers(l2, Teskra.load(str(path)), data)


# ---------------------------------------------------------------------------
# Damaged and hostile files.

@pytest.mark.parametrize("index_type", TYPES)
def test_every_truncation_raises_or_loads_without_norms(tmp_path, index_type):
    t, data = filled(index_type, "l2", dim=8, n=12)
    raw = saved(t, tmp_path / "full")
    norms_at = len(raw) - 12 * 4
    path = tmp_path / "cut"
    for cut in range(len(raw)):
        path.write_bytes(raw[:cut])
        if index_type == "brute_force" and cut >= norms_at:
            u = Teskra.load(str(path))
            assert len(u.vector_norms()) == 0 and np.array_equal(u.vector_ids(), t.vector_ids())
        else:
            with pytest.raises(OSError, match=f"^{SHORT}$"):
                Teskra.load(str(path))


def test_hostile_counts_fail_fast_without_huge_allocations(tmp_path):
    path = tmp_path / "bad"
    flat = bytearray(saved(filled(dim=8, n=5)[0], path))
    struct.pack_into("<Q", flat, 16, 2**60)
    ivf = bytearray(saved(filled("ivf_flat", dim=8, n=30)[0], path))
    lists, members = bytearray(ivf), bytearray(ivf)
    struct.pack_into("<I", lists, 56, 2**32 - 1)
    struct.pack_into("<I", members, 56 + 8 + 8 * 4, 2**32 - 1)
    graph = bytearray(saved(filled("hnsw", dim=8, n=30)[0], path))
    nodes = bytearray(graph)
    struct.pack_into("<I", nodes, 56, 2**32 - 1)
    start = time.perf_counter()
    for data in (flat, lists, members, nodes):
        assert load_error(path, bytes(data)) == (OSError, SHORT)
    assert time.perf_counter() - start < 2
    # A neighbour naming a node the graph lacks, and an entry point beyond it.
    first_list = 56 + 12 + 8 + 4 + 4 + 1  # dim 8: 4-byte codes
    assert struct.unpack_from("<H", graph, first_list)[0] > 0
    link, entry = bytearray(graph), bytearray(graph)
    struct.pack_into("<I", link, first_list + 2, 30)
    struct.pack_into("<I", entry, 60, 1234)
    for data in (link, entry):
        assert load_error(path, bytes(data)) == (
            OSError, "invalid .tskr file: graph links or entry point name a node or layer the graph does not have")
    wide = bytearray(ivf)
    struct.pack_into("<I", wide, 60, 9)
    assert load_error(path, bytes(wide)) == (
        OSError, "invalid .tskr file: IvfFlat centroid length 9 differs from the padded dimension 8")


# ---------------------------------------------------------------------------
# Saving over an existing file.

FAILING_SAVE = """
import resource, signal, sys
import numpy as np
from teskra import Teskra
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
t = Teskra(64)
t.add(list(range(500)), np.ones((500, 64), np.float32))
try:
    t.save(sys.argv[1])
except OSError as e:
    print(e)
"""


def test_a_save_failing_part_way_leaves_the_previous_file(tmp_path):
    target = tmp_path / "index.tskr"
    before = saved(filled(dim=8, n=3)[0], target)
    out = subprocess.run([sys.executable, "-c", FAILING_SAVE, str(target)], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "io error: File too large", out.stderr
    assert target.read_bytes() == before and os.listdir(tmp_path) == ["index.tskr"]


def test_symbolic_links_stay_links_and_new_files_get_umask_permissions(tmp_path):
    t, _ = filled(dim=8, n=3)
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "index.tskr"
    real.write_bytes(b"old")
    real.chmod(0o600)
    link = tmp_path / "current.tskr"
    link.symlink_to("data/index.tskr")
    old_mask = os.umask(0o022)
    try:
        t.save(str(link))
    finally:
        os.umask(old_mask)
    assert link.is_symlink() and os.readlink(link) == "data/index.tskr"
    assert (real.stat().st_mode & 0o777) == 0o644 and len(Teskra.load(str(link))) == 3
