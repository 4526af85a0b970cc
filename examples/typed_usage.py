"""plovek in type-checked code: every call below is checked by mypy --strict and pyright.

The installed wheel carries the stub-only package ``plovek-stubs``, so type checkers
and editors see plovek's classes, parameters and return types although the module is
compiled. ``assert_type`` states what a checker must infer; at run time it does nothing.

    python examples/typed_usage.py
    python -m mypy --strict examples/typed_usage.py
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional

import numpy as np
from numpy.typing import NDArray

import plovek

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value, _type):
        return value


def sizes(clusters: list[list[int]]) -> list[int]:
    return [len(members) for members in clusters]


def fit(data: NDArray[np.float32], k: int, *, medoids: bool = False) -> plovek.KMeans:
    """A trained Euclidean model; the configuration is built from chained copies."""
    model = plovek.KMeans(k).with_iterations(np.int64(10)).with_euclidean(True)
    model = model.with_balanced(np.bool_(True)).with_max_balance_diff(4).with_use_medoids(medoids)
    assert_type(model, plovek.KMeans)
    clusters = model.train(data, None)
    assert_type(clusters, list[list[int]])
    print(f"k={model.n_clusters}: sizes {sizes(clusters)}")
    return model


def main() -> None:
    rng = np.random.default_rng(7)
    data = rng.standard_normal((600, 8), dtype=np.float32)
    assert_type(plovek.__version__, str)

    fresh = plovek.KMeans(n_clusters=3)
    untrained_centroids: Optional[NDArray[np.float32]] = fresh.centroids
    assert untrained_centroids is None and fresh.medoid_indices is None and not fresh.is_trained

    model = fit(data, 4, medoids=True)
    centroids = model.centroids
    assert_type(centroids, Optional[NDArray[np.float32]])
    if centroids is not None:  # a trained model always has them
        print("centroids", centroids.shape, centroids.dtype)
    medoids = model.medoid_indices
    assert_type(medoids, Optional[list[int]])
    if medoids is not None:
        print("medoid rows", medoids)

    top2 = model.assign(data[:50], 2)
    assert_type(top2, list[list[int]])
    print("points per cluster among their 2 nearest:", sizes(top2))

    flags: tuple[bool, bool, bool, bool] = (
        model.is_euclidean,
        model.is_balanced,
        model.is_use_medoids,
        model.is_trained,
    )
    iterations: int = model.iterations
    print(repr(model), flags, iterations)

    try:
        model.train(data, None)
    except ValueError as error:
        print("second train:", error)


if __name__ == "__main__":
    main()
