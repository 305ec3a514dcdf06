"""Type information for the teskra extension module."""

import os
from collections.abc import Buffer, Callable, Sequence
from typing import Final, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

__version__: Final[str]

def set_num_threads(n: SupportsIndex) -> None:
    """Set how many threads add, build and search_batch use."""

def get_num_threads() -> int:
    """The thread setting of set_num_threads(): 0 means every usable core."""

class Hit(TypedDict):
    id: int
    score: float

# A vector: a 1-D float32 array takes the fast path; any sequence of numbers works.
_Vector = npt.NDArray[np.floating] | npt.NDArray[np.integer] | Sequence[SupportsFloat]
# A batch: a 2-D float32 array (read in place by add and upsert when C-contiguous) or a sequence of vectors.
_Vectors = npt.NDArray[np.floating] | npt.NDArray[np.integer] | Sequence[_Vector]
# Ids: unsigned 64-bit integers; a list, tuple or 1-D integer array (not a set).
_Ids = npt.NDArray[np.integer] | Sequence[SupportsIndex]
# The answer of search_batch: ids uint64 [n, k], scores float32 [n, k], counts int64 [n].
_BatchHits = tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32], npt.NDArray[np.int64]]

@final
class Teskra:
    """Teskra — ultra-low resource embedded vector search engine."""

    def __new__(
        cls,
        dim: SupportsIndex,
        metric: str = "cosine",
        bit_width: SupportsIndex = 4,
        index_type: str = "brute_force",
        mixed_ratio: SupportsFloat | None = None,
        n4_dims: SupportsIndex | None = None,
        ivf_nlist: SupportsIndex = 256,
        ivf_nprobe: SupportsIndex = 8,
        hnsw_m: SupportsIndex = 32,
        hnsw_ef_construction: SupportsIndex = 200,
        hnsw_ef_search: SupportsIndex = 0,
        hnsw_selection: str = "diverse",
    ) -> Teskra: ...
    @property
    def n_vectors(self) -> int:
        """Number of indexed vectors."""
    @property
    def dim(self) -> int:
        """Vector dimension."""
    @property
    def bit_width(self) -> int:
        """Quantization bit width (2 or 4)."""
    @property
    def index_type(self) -> str:
        """Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'."""
    @property
    def n4_dims(self) -> int:
        """Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit)."""
    @property
    def metric(self) -> str:
        """Distance metric: 'cosine', 'dot', or 'l2'."""
    @property
    def padded_dim(self) -> int:
        """RHDH output dimension (`dim.next_power_of_two()`)."""
    @property
    def packed_bytes_per_vec(self) -> int:
        """Bytes per packed vector."""
    @property
    def pb4_per_vec(self) -> int:
        """Bytes in the 4-bit block per packed vector (0 for pure 2-bit)."""
    @property
    def hnsw_selection(self) -> str | None:
        """Hnsw: how nodes choose their neighbours, 'diverse' or 'nearest'; None for other index types."""
    @property
    def is_view(self) -> bool:
        """True for an index served in place from its file by Teskra.view(), which cannot change."""
    def __len__(self) -> int: ...
    def add(self, ids: _Ids, vectors: _Vectors) -> None:
        """Add vectors to the index."""
    def remove(self, ids: _Ids) -> int:
        """Remove vectors from the index."""
    def upsert(self, ids: _Ids, vectors: _Vectors) -> None:
        """Replace the vectors stored under the given ids."""
    def search(self, query: _Vector, k: SupportsIndex, allowlist: _Ids | None = None) -> list[Hit]:
        """Search for the K nearest neighbors."""
    def search_batch(
        self, queries: _Vectors, k: SupportsIndex, allowlist: _Ids | None = None, threads: SupportsIndex = 0
    ) -> _BatchHits:
        """Search for the k nearest neighbours of many queries at once."""
    def fit(self, vectors: _Vectors) -> None:
        """Compute per-dimension standardization parameters for L2 metric."""
    def build(self) -> None:
        """Build the search index."""
    def set_ef_search(self, ef: SupportsIndex) -> None:
        """Update HNSW ef_search at runtime without rebuilding the index."""
    def set_nprobe(self, nprobe: SupportsIndex) -> None:
        """Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS."""
    def save(self, path: str | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Save the index to a .tskr file."""
    def to_bytes(self) -> bytes:
        """The index as the bytes of a .tskr file, exactly what save() writes."""
    @classmethod
    def from_bytes(cls, data: Buffer) -> Teskra:
        """Rebuild an index from the bytes of a .tskr file."""
    def __reduce__(self) -> tuple[Callable[[Buffer], Teskra], tuple[bytes]]:
        """Pickle support: the index travels as its file bytes (see to_bytes)."""
    @staticmethod
    def recommended_m(n: SupportsIndex) -> int:
        """Recommended HNSW M value for a given corpus size."""
    @classmethod
    def load(cls, path: str | os.PathLike[str] | os.PathLike[bytes]) -> Teskra:
        """Load an index from a .tskr file."""
    @classmethod
    def view(cls, path: str | os.PathLike[str] | os.PathLike[bytes]) -> Teskra:
        """Serve a .tskr file in place, read-only, from a memory mapping."""
    def is_empty(self) -> bool:
        """True if the index contains no vectors."""
    def is_mixed(self) -> bool:
        """True when index uses mixed 4-bit/2-bit quantization."""
    def transform_query_np(self, query: _Vector) -> npt.NDArray[np.float32]:
        """Apply the full query pipeline (standardization → RHDH → scale)."""
    def packed_data(self) -> npt.NDArray[np.uint8]:
        """Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``."""
    def vector_norms(self) -> npt.NDArray[np.float32]:
        """Per-vector quantized norms as a float32 numpy array of shape ``[n]``."""
    def vector_ids(self) -> npt.NDArray[np.uint64]:
        """Vector IDs as a uint64 numpy array of shape ``[n]``."""
    @staticmethod
    def centroids_4bit() -> npt.NDArray[np.float32]:
        """4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``."""
    @staticmethod
    def centroids_2bit() -> npt.NDArray[np.float32]:
        """2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``."""
    def profile_variance(self, sample_vecs: _Vectors) -> list[float]:
        """Profile per-dimension variance of RHDH-rotated embeddings."""
    def optimal_n4_dims(self, sample_vecs: _Vectors, avg_bits: SupportsFloat) -> int:
        """Compute the optimal n4_dims for a given average bit budget."""
