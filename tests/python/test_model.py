"""Model-based test: random call sequences against a NumPy model of the index.

Hypothesis drives one index at a time through construct / fit / add / remove / upsert / build /
search / tuning / exports / save and load, over every index type, metric and code layout, with the
argument forms and mistakes a caller makes. After every call the index must agree with the model:
BruteForce codes, norms, ids and results bit for bit equal to reference.py (equal scores in any
order); IvfFlat and Hnsw lose no vector, return at most k hits sorted by score, each a stored id with
exactly the reference's score for it, within the allowlist, and an IvfFlat search probing every list
finds the reference's top-k scores; a loaded index keeps every vector (BruteForce: identical exports
and results), an IvfFlat index with vectors not yet built is refused before any file appears; every
error has the class and text the model expects.

A removal takes every copy of its ids, waiting IvfFlat vectors included. Removal keeps the IvfFlat
centroids, so a query probes the same lists: k hits must be the best k of what a search for
everything gave just before, without the removed vectors. Small graphs do not always reach every
node, so for Hnsw: no removed id comes back, even filtered, and no survivor comes back more often
than it is stored (reachability: tests/core/test_hnsw.cpp, test_remove.py).

TESKRA_MODEL_EXAMPLES (default 100) and TESKRA_MODEL_STEPS (default 40) size the run, which is
derandomized so that `make test` is reproducible; TESKRA_MODEL_RANDOM=1 (make check-memory)
explores new sequences each run.
"""

import ctypes
import os
import tempfile
from collections import Counter
from dataclasses import dataclass, field

import numpy as np
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import reference as R
from conftest import expect_error, pairs
from teskra import Teskra

EMPTY = "index is empty"
NOT_BUILT = "call build() before search() for IvfFlat indexes"
FIT_AFTER_ADD = "fit() must be called before add() \u2014 index already contains vectors"
EMPTY_SAMPLE = "sample is empty \u2014 provide at least 1 vector for profiling"

# ---------------------------------------------------------------------------
# Strategies.

# Small integers make equal vectors, zero vectors and tied scores common;
# the floats cover the rest. Magnitudes stay where no score overflows.
ELEMENTS = st.one_of(st.integers(-3, 3).map(float), st.floats(-60, 60, width=32))
IDS = st.one_of(st.integers(0, 40), st.sampled_from([2**63, 2**64 - 1]))
ID_FORMS = st.sampled_from([list, tuple, lambda v: np.array(v, np.uint64)])


@dataclass(frozen=True)
class Config:
    kwargs: dict
    dim: int
    metric: str
    kind: str
    layout: R.Layout
    nlist: int = 0
    nprobe: int = 0


@st.composite
def configs(draw):
    dim = draw(st.sampled_from([8, 17, 3, 33, 16, 1, 0, 2, 4, 5, 7, 12, 24]))
    p = R.padded_dim(dim)
    metric_text, metric = draw(st.sampled_from(
        [("cosine", "cosine"), ("dot", "dot"), ("l2", "l2"), ("Euclidean", "l2"), ("DOT_PRODUCT", "dot")]))
    kind_text, kind = draw(st.sampled_from(
        [("brute_force", "BruteForce"), ("ivf", "IvfFlat"), ("hnsw", "Hnsw"), ("Brute-Force", "BruteForce"),
         ("IVF-Flat", "IvfFlat")]))
    bit_width = draw(st.sampled_from([4, 2]))
    kwargs = {"metric": metric_text, "index_type": kind_text, "bit_width": bit_width}
    n4 = p if bit_width == 4 else 0
    if draw(st.booleans()):
        requested = draw(st.integers(0, p + 8))
        kwargs["n4_dims"] = requested
        n4 = min(p, requested) & ~3
    nlist = nprobe = 0
    if kind == "IvfFlat":
        nlist, nprobe = draw(st.sampled_from([3, 1, 2, 5, 16])), draw(st.sampled_from([2, 16, 1, 0]))
        kwargs.update(ivf_nlist=nlist, ivf_nprobe=nprobe)
    elif kind == "Hnsw":
        kwargs.update(hnsw_m=draw(st.sampled_from([4, 2, 3, 8])),
                      hnsw_ef_construction=draw(st.sampled_from([8, 1, 2, 40])),
                      hnsw_ef_search=draw(st.sampled_from([0, 4, 1, 64])))
    return Config(kwargs, dim, metric, kind, R.Layout(p, n4), nlist, nprobe)


def matrix(draw, n, dim):
    m = draw(arrays(np.float32, (n, dim), elements=ELEMENTS))
    if n >= 2 and draw(st.booleans()):  # a repeated vector: tied scores
        m[draw(st.integers(1, n - 1))] = m[0]
    return m


# The same rows in each argument form a caller may use.
FORMS = {"list": lambda m: [[float(x) for x in row] for row in m],
         "tuple": lambda m: tuple(tuple(float(x) for x in row) for row in m),
         "rows32": lambda m: [row.copy() for row in m], "c32": np.ascontiguousarray, "f32": np.asfortranarray,
         "f64": lambda m: m.astype(np.float64)}


def bits(scores):
    return np.asarray(scores, np.float32).view(np.uint32).tolist()


def score_bits(hits):
    return bits([s for _, s in hits])


# ---------------------------------------------------------------------------
# The model of one index.


@dataclass
class Stored:
    ids: list = field(default_factory=list)
    codes: list = field(default_factory=list)  # rows of packed bytes
    norms: list = field(default_factory=list)

    def extend(self, ids, codes, norms):
        self.ids += ids
        self.codes += list(codes)
        self.norms += norms.tolist()

    def take(self, other):
        self.extend(other.ids, other.codes, np.asarray(other.norms, np.float32))
        other.ids, other.codes, other.norms = [], [], []

    def drop(self, ids):
        """Removes every vector stored under one of ids, the rest keeping their order; returns how many went."""
        keep = [j for j, i in enumerate(self.ids) if i not in ids]
        removed = len(self.ids) - len(keep)
        self.ids, self.codes, self.norms = ([v[j] for j in keep] for v in (self.ids, self.codes, self.norms))
        return removed

    def __len__(self):
        return len(self.ids)

    def code_array(self, width):
        return np.array(self.codes, np.uint8).reshape(len(self), width)


class IndexMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        # A memory file system when there is one: saves sync to disk.
        self.tmp = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.saves = 0

    def teardown(self):
        self.tmp.cleanup()

    # -- model state -------------------------------------------------------

    def start(self, cfg, index):
        self.cfg, self.t = cfg, index
        self.flat = Stored()     # BruteForce store; IvfFlat vectors awaiting a build
        self.indexed = Stored()  # IvfFlat list members; Hnsw nodes
        # raw: every vector added, as given (queries that match a stored vector).
        self.built, self.nprobe, self.raw, self.calls = False, None, [], 0

    @property
    def searchable(self):
        return self.flat if self.cfg.kind == "BruteForce" else self.indexed

    def expected_count(self):
        return len(self.flat) if self.cfg.kind == "IvfFlat" and not self.built else len(self.searchable)

    # -- rules -------------------------------------------------------------

    @initialize(cfg=configs(), data=st.data())
    def construct(self, cfg, data):
        t = Teskra(cfg.dim, **cfg.kwargs)
        assert (t.dim, t.metric, t.index_type, t.n4_dims, t.padded_dim, t.packed_bytes_per_vec, t.pb4_per_vec) == (
            cfg.dim, cfg.metric, cfg.kind, cfg.layout.n4, cfg.layout.p, cfg.layout.width, cfg.layout.pb4)
        self.start(cfg, t)
        # Most sequences worth running search a populated index: start from one
        # more often than not (fit, which needs an empty l2 index, still gets its turns).
        if data.draw(st.integers(0, 3), "start populated"):
            self.add(data)
            if cfg.kind == "IvfFlat" and data.draw(st.booleans(), "start built"):
                self.build()

    @precondition(lambda self: self.calls >= 12)
    @rule(cfg=configs(), data=st.data())
    def construct_another(self, cfg, data):
        """A new index replaces the current one, after this one has had its share of calls."""
        self.construct(cfg, data)

    @rule(data=st.data())
    def fit(self, data):
        cfg = self.cfg
        n = data.draw(st.integers(0, 5), "samples")
        sample = matrix(data.draw, n, cfg.dim)
        form = data.draw(st.sampled_from(["list", "c32", "f32", "rows32"]), "form")
        if n and form in ("list", "rows32") and data.draw(st.booleans(), "bad row"):
            bad = data.draw(st.integers(0, n - 1))
            rows = FORMS[form](sample)
            rows[bad] = list(rows[bad]) + [1.0]
            return expect_error(ValueError, f"vector {bad} dimension mismatch: expected {cfg.dim}, got {cfg.dim + 1}",
                                lambda: self.t.fit(rows))
        call = lambda: self.t.fit(FORMS[form](sample))  # noqa: E731
        if cfg.metric != "l2":
            assert call() is None  # no effect whatever the sample
        elif len(self.flat) + len(self.indexed):
            expect_error(ValueError, FIT_AFTER_ADD, call)
        elif n == 0:
            expect_error(ValueError, EMPTY_SAMPLE, call)
        else:
            assert call() is None  # later transforms are read from the index itself

    def draw_batch(self, data):
        n = data.draw(st.one_of(st.integers(1, 12), st.just(0)), "n")
        m = matrix(data.draw, n, self.cfg.dim)
        ids = data.draw(st.lists(IDS, min_size=n, max_size=n), "ids")
        form = data.draw(st.sampled_from(["list", "tuple", "rows32", "c32", "f32", "f64"]), "form")
        return n, m, ids, form, data.draw(ID_FORMS, "id form")

    def store(self, ids, m):
        """The model's side of adding rows m under ids: IvfFlat's wait for a build."""
        cfg = self.cfg
        # The transform before the add: fit parameters are already in place.
        transformed = np.stack([self.transform(row) for row in m]) if len(m) else np.zeros((0, cfg.layout.p), np.float32)
        codes = R.encode(cfg.layout, transformed)
        target = self.flat if cfg.kind != "Hnsw" else self.indexed
        target.extend(ids, codes, R.norms(cfg.layout, codes))
        self.raw += list(m)

    @rule(data=st.data())
    def add(self, data):
        n, m, ids, form, id_form = self.draw_batch(data)
        self.store(ids, m)
        assert self.t.add(id_form(ids), FORMS[form](m)) is None

    @rule(data=st.data())
    def upsert(self, data):
        """Whatever is stored under the batch's ids goes, then the batch is added."""
        n, m, ids, form, id_form = self.draw_batch(data)
        self.forget(set(ids))
        self.store(ids, m)
        assert self.t.upsert(id_form(ids), FORMS[form](m)) is None

    def draw_ids(self, data, most):
        """Up to `most` ids, stored ones and others."""
        known = sorted(set(self.flat.ids + self.indexed.ids))
        return data.draw(st.lists(st.one_of(st.sampled_from(known), IDS) if known else IDS, max_size=most), "ids")

    def forget(self, ids):
        return self.flat.drop(ids) + self.indexed.drop(ids)

    @rule(data=st.data())
    def remove(self, data):
        """Every vector stored under one of the ids goes, each copy; ids stored nowhere are ignored."""
        cfg, t = self.cfg, self.t
        ids, id_form = self.draw_ids(data, 8), data.draw(ID_FORMS, "id form")
        q = matrix(data.draw, 1, cfg.dim)[0]
        searchable = self.expected_count() > 0 and (cfg.kind != "IvfFlat" or self.built)
        # IvfFlat ranks its lists by their centroids, which stay: k = all gives every vector the probed lists hold.
        probed = pairs(t.search(q, 2**63)) if searchable and cfg.kind == "IvfFlat" else None
        expected = self.forget(set(ids))
        assert t.remove(id_form(ids)) == expected
        event(f"{cfg.kind} removed {'none' if not expected else 'some'}")
        if self.expected_count() == 0 or (cfg.kind == "IvfFlat" and not self.built):
            return
        assert t.search(q, 2**63, allowlist=id_form(ids)) == []  # nothing under those ids is left anywhere
        if cfg.kind == "Hnsw":  # the repaired graph names each survivor once at most
            found = Counter(i for i, _ in pairs(t.search(q, self.expected_count())))
            assert found <= Counter(self.indexed.ids)
        if probed is None:
            return
        # The same lists, without the removed vectors: the k best of what is left there.
        k = data.draw(st.sampled_from([1, 3, 1000]), "k")
        left = [h for h in probed if h[0] not in set(ids)]
        hits = pairs(t.search(q, k))
        assert score_bits(hits) == score_bits(left[:k])
        assert all(hits.count(h) <= left.count(h) for h in hits)
        if len(hits) == k and k < len(left):  # among scores tied at the cut, any may come back
            boundary = bits([hits[-1][1]])[0]
            above = lambda hs: sorted(h for h in hs if bits([h[1]])[0] != boundary)  # noqa: E731
            assert above(hits) == above(left[:k])
        else:
            assert sorted(hits) == sorted(left)

    @rule(data=st.data())
    def add_mistake(self, data):
        """A batch whose counts or shapes disagree, given to add or upsert: refused whole, nothing changes."""
        cfg = self.cfg
        call = getattr(self.t, data.draw(st.sampled_from(["add", "upsert"]), "method"))
        n, m, ids, form, id_form = self.draw_batch(data)
        if data.draw(st.booleans(), "shape or count") and (n or form in ("c32", "f32")):
            if form in ("c32", "f32"):
                wide = FORMS[form](np.zeros((n, cfg.dim + 1), np.float32))
                return expect_error(ValueError, f"vector dimension mismatch: expected {cfg.dim}, got {cfg.dim + 1}",
                                    lambda: call(id_form(ids), wide))
            bad = data.draw(st.integers(0, n - 1))
            rows = [list(r) for r in FORMS["list"](m)]
            rows[bad] = rows[bad] + [0.5]
            # Every row is converted before any is checked; a wrong count is reported after.
            ids = ids + [1] if data.draw(st.booleans()) else ids
            return expect_error(ValueError, f"vector {bad} dimension mismatch: expected {cfg.dim}, got {cfg.dim + 1}",
                                lambda: call(id_form(ids), rows))
        wrong = ids + [7] if not ids or data.draw(st.booleans()) else ids[:-1]
        expect_error(ValueError, f"ids length ({len(wrong)}) != vectors length ({n})",
                     lambda: call(id_form(wrong), FORMS[form](m)))

    def transform(self, row):
        q = self.t.transform_query_np(row)
        assert q.shape == (self.cfg.layout.p,) and q.dtype == np.float32
        assert np.array_equal(q.view(np.uint32), self.t.transform_query_np(row.tolist()).view(np.uint32))
        return q

    @rule()
    def build(self):
        cfg, t = self.cfg, self.t
        if cfg.kind != "IvfFlat":
            assert t.build() is None
        elif not len(self.flat):
            expect_error(RuntimeError, EMPTY, t.build)  # nothing new: the lists stay as they are
        else:
            assert t.build() is None
            self.indexed.take(self.flat)  # every vector, old members and new ones
            self.built, self.nprobe = True, cfg.nprobe

    @rule(nprobe=st.sampled_from([0, 1, 2, 3, 16, 2**64 - 1]), ef=st.sampled_from([0, 1, 4, 100, 2**64 - 1]))
    def tune(self, nprobe, ef):
        assert self.t.set_nprobe(nprobe) is None and self.t.set_ef_search(ef=ef) is None
        if self.cfg.kind == "IvfFlat" and self.built:
            self.nprobe = nprobe  # before a build it is lost: the build takes the configured one

    @rule(data=st.data())
    def search(self, data):
        """A new query, or one that matches a stored vector."""
        added = self.raw and data.draw(st.booleans(), "query an added vector")
        self.check_search(data, data.draw(st.sampled_from(self.raw)) if added else matrix(data.draw, 1, self.cfg.dim)[0],
                          None)

    @rule(data=st.data())
    def search_allowlist(self, data):
        allow = self.draw_ids(data, 6)
        self.check_search(data, matrix(data.draw, 1, self.cfg.dim)[0], allow, data.draw(ID_FORMS, "form")(allow))

    @rule(data=st.data())
    def search_wrong_length(self, data):
        q = [0.5] * (self.cfg.dim + data.draw(st.sampled_from([1, 2])))
        expect_error(ValueError, f"query dimension mismatch: expected {self.cfg.dim}, got {len(q)}",
                     lambda: self.t.search(q, 3))

    def check_search(self, data, q, allow, allow_arg=None):
        cfg, t = self.cfg, self.t
        stored = self.searchable
        k = data.draw(st.sampled_from([5, 1, 2, 3, 0, 1000, 2**63]), "k")
        form = data.draw(st.sampled_from(["list", "c32", "f64", "tuple"]), "form")
        query = {"list": q.tolist(), "c32": q, "f64": q.astype(np.float64), "tuple": tuple(q.tolist())}[form]
        call = lambda: t.search(query, k, allowlist=allow_arg)  # noqa: E731
        if self.expected_count() == 0:
            return expect_error(RuntimeError, EMPTY, call)
        if cfg.kind == "IvfFlat" and not self.built:
            return expect_error(RuntimeError, NOT_BUILT, call)
        hits = [(h["id"], h["score"]) for h in call()]
        event(f"{cfg.kind} search with {'no' if not hits else 'some'} hits")

        tq = self.transform(q)
        codes = stored.code_array(cfg.layout.width)
        scores = R.similarity(cfg.metric, R.raw_scores(cfg.layout, tq, codes), np.array(stored.norms, np.float32))
        if cfg.kind == "BruteForce":
            expected = R.search(cfg.layout, cfg.metric, tq, codes, stored.ids, stored.norms, k, allow)
            assert score_bits(hits) == score_bits(expected)
            assert sorted(hits) == sorted(expected)
            return
        # Approximate indexes: every hit is a stored vector with its exact score.
        valid = {}
        for i, s in zip(stored.ids, bits(scores)):
            valid.setdefault(i, set()).add(s)
        assert len(hits) <= k
        assert all(a[1] >= b[1] for a, b in zip(hits, hits[1:]))
        assert all(s in valid.get(i, ()) for (i, _), s in zip(hits, score_bits(hits)))
        if allow is not None:
            assert {i for i, _ in hits} <= set(allow)
        if cfg.kind == "IvfFlat" and k and allow is None:
            if self.nprobe == 0:
                assert hits == []
            elif self.nprobe >= max(cfg.nlist, 1):  # every list probed: the exact top k
                best = sorted(scores.tolist(), reverse=True)[:k]
                assert score_bits(hits) == bits(best)
        if cfg.kind == "Hnsw" and k and allow is None:
            assert hits  # the entry point at least is always scored

    # -- invariants --------------------------------------------------------

    @invariant()
    def agrees_with_the_model(self):
        if not hasattr(self, "t"):
            return
        cfg, t = self.cfg, self.t
        self.calls += 1
        n = self.expected_count()
        assert t.n_vectors == len(t) == n and t.is_empty() == (n == 0)
        assert repr(t) == f"Teskra(dim={cfg.dim}, n={n}, bit_width={t.bit_width}, index_type={cfg.kind})"
        if cfg.kind != "BruteForce":
            for name in ("packed_data", "vector_norms", "vector_ids"):
                expect_error(RuntimeError, f"{name}() is only available for BruteForce indexes", getattr(t, name))
            return
        # A loaded index is checked here too: its exports are the saved index's, byte for byte.
        codes, norms, ids = t.packed_data(), t.vector_norms(), t.vector_ids()
        assert codes.dtype == np.uint8 and codes.shape == (len(self.flat), cfg.layout.width)
        assert np.array_equal(codes, self.flat.code_array(cfg.layout.width))
        assert norms.dtype == np.float32 and bits(norms) == bits(self.flat.norms)
        assert ids.dtype == np.uint64 and ids.tolist() == self.flat.ids
        assert bits(Teskra.centroids_4bit()) == bits(R.CENTROIDS_4BIT)
        assert bits(t.centroids_2bit()) == bits(R.CENTROIDS_2BIT)

    @rule(data=st.data())
    def save_and_load(self, data):
        cfg, t = self.cfg, self.t
        self.saves += 1
        path = os.path.join(self.tmp.name, f"index{self.saves}.tskr")
        if cfg.kind == "IvfFlat" and (not self.built or len(self.flat)):
            # The file holds the lists only: vectors waiting for a build would be
            # dropped without a word, so the save is refused before the file is made.
            text = NOT_BUILT if not self.built else (
                f"cannot save: {len(self.flat)} vectors were added after the last build() and are not in the "
                "index yet; call build() first so that they are saved")
            expect_error(RuntimeError, text, lambda: t.save(path))
            assert not os.path.exists(path)
            return
        assert t.save(path) is None
        event(f"{cfg.kind} saved and loaded")
        loaded = Teskra.load(path)
        assert (loaded.dim, loaded.metric, loaded.index_type, loaded.n4_dims, loaded.bit_width) == (
            t.dim, t.metric, t.index_type, t.n4_dims, t.bit_width)
        if cfg.kind == "BruteForce" and len(self.flat):  # the same order among equal scores too
            q = matrix(data.draw, 1, cfg.dim)[0]
            assert loaded.search(q, 1000) == t.search(q, 1000)
        self.t = loaded
        if cfg.kind == "IvfFlat":  # run-time nprobe falls back to the configured one
            self.nprobe = cfg.nprobe
        if data.draw(st.booleans(), "delete the file"):
            os.remove(path)  # the loaded index owns its data


IndexMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TESKRA_MODEL_EXAMPLES", "100")),
    stateful_step_count=int(os.environ.get("TESKRA_MODEL_STEPS", "40")),
    derandomize=os.environ.get("TESKRA_MODEL_RANDOM") != "1",
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
TestIndexModel = IndexMachine.TestCase


# ---------------------------------------------------------------------------
# The reference's fused multiply-add, checked against the C library's fmaf.

def test_reference_fma_rounds_once():
    fmaf, rng = ctypes.CDLL("libm.so.6").fmaf, np.random.default_rng(7)
    fmaf.restype, fmaf.argtypes = ctypes.c_float, [ctypes.c_float] * 3
    n = 5_000
    # Random operands of every magnitude, and constructed cases where a * b + c
    # lies just off a float32 midpoint: a * b = h * (1 - u^2 * 2^-46) with h
    # half a unit in the last place of c, so rounding through float64 first
    # lands exactly on the midpoint and then breaks the tie the wrong way.
    a = (rng.standard_normal(n) * 2.0 ** rng.integers(-20, 20, n)).astype(np.float32)
    b = (rng.standard_normal(n) * 2.0 ** rng.integers(-20, 20, n)).astype(np.float32)
    c = (rng.standard_normal(n) * 2.0 ** rng.integers(-40, 40, n)).astype(np.float32)
    c_mid = (rng.integers(2**23, 2**24, n) * 2.0 ** rng.integers(-30, 10, n)).astype(np.float32)
    half_ulp = np.spacing(c_mid).astype(np.float64) / 2
    u = rng.integers(1, 64, n)
    a_mid = (2.0 ** np.floor(np.log2(half_ulp) / 2) * (1 + u * 2.0**-23)).astype(np.float32)
    b_mid = (half_ulp / 2.0 ** np.floor(np.log2(half_ulp) / 2) * (1 - u * 2.0**-23)).astype(np.float32)
    sign = rng.choice([-1.0, 1.0], n).astype(np.float32)
    a, b, c = np.concatenate([a, a_mid * sign]), np.concatenate([b, b_mid]), np.concatenate([c, c_mid])
    expected = np.array([fmaf(float(x), float(y), float(z)) for x, y, z in zip(a, b, c)], np.float32)
    assert bits(R.fma32(a, b, c)) == bits(expected)
    # The constructed half really does defeat the naive double rounding.
    naive = (a.astype(np.float64) * b + c).astype(np.float32)
    assert np.count_nonzero(naive.view(np.uint32) != expected.view(np.uint32)) > n // 4
