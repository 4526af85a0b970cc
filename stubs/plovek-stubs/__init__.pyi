"""Fast, exact k-means clustering for NumPy float32 matrices (native extension).

Type information for the compiled module ``plovek``, shipped as the PEP 561 stub-only
package ``plovek-stubs`` inside the plovek wheel.
"""

from typing import SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["KMeans", "__version__"]

__version__: str

@final
class KMeans:
    """Python wrapper for the KMeans struct

    ``KMeans(n_clusters)`` creates an untrained model (25 iterations, inner-product
    metric, not balanced, no medoids). Builders return configured copies; ``train``
    fits the model once; ``assign`` lists top-k cluster membership afterwards.
    """

    def __new__(cls, n_clusters: SupportsIndex) -> KMeans:
        """Raises ValueError "Number of clusters must be positive" for 0,
        OverflowError for a negative value or one of 2**64 or more."""

    def with_iterations(self, iters: SupportsIndex) -> KMeans:
        """A copy running ``iters`` training iterations (every one runs, no early stop).

        Raises ValueError "Number of iterations must be positive" for 0."""

    def with_euclidean(self, euclidean: bool | np.bool_) -> KMeans:
        """A copy using squared Euclidean distance (True) or inner-product similarity
        with unit-length centroids (False, the default)."""

    def with_balanced(self, balanced: bool | np.bool_) -> KMeans:
        """A copy that, after training, moves points until the largest and smallest
        cluster differ by at most ``max_balance_diff`` (plus 0.5)."""

    def with_max_balance_diff(self, max_balance_diff: SupportsIndex) -> KMeans:
        """A copy with the allowed cluster-size spread of the balancing phase (default 16).

        Raises ValueError "Max balance difference must be positive" for 0."""

    def with_verbose(self, verbose: bool | np.bool_) -> KMeans:
        """A copy that prints a progress line per iteration on file descriptor 1."""

    def with_use_medoids(self, use_medoids: bool | np.bool_) -> KMeans:
        """A copy whose centroids are kept equal to real data points (medoids)."""

    def train(self, data: NDArray[np.float32], num_threads: SupportsIndex | None) -> list[list[int]]:
        """Fits the model to ``data`` (2-D float32, one point per row; read in place).

        Returns one ascending list of row numbers per cluster. ``num_threads`` sizes the
        process-wide worker pool; only the first sizing in a process succeeds, so pass
        None unless this is the first training. Raises ValueError when already trained,
        with fewer rows than clusters, on NaN or infinite values, or when the pool cannot
        be sized; TypeError for a non-float32 or non-2-D ``data``."""

    def assign(self, data: NDArray[np.float32], k: SupportsIndex) -> list[list[int]]:
        """For each cluster, the ascending row numbers of the points of ``data`` that have
        it among their ``k`` nearest clusters (ties: lower cluster index first).

        Raises ValueError when untrained, for ``k`` = 0, for a different column count,
        or on NaN or infinite values."""

    @property
    def n_clusters(self) -> int: ...
    @property
    def iterations(self) -> int: ...
    @property
    def is_euclidean(self) -> bool: ...
    @property
    def is_balanced(self) -> bool: ...
    @property
    def is_use_medoids(self) -> bool: ...
    @property
    def centroids(self) -> NDArray[np.float32] | None:
        """A new (n_clusters, d) float32 array on every read; None before training."""

    @property
    def medoid_indices(self) -> list[int] | None:
        """The medoid row of each cluster; None unless trained with medoids."""

    @property
    def is_trained(self) -> bool: ...
