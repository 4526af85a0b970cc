"""Whole training and assignment runs, checked against NumPy."""

import numpy as np
import pytest

from plovek import KMeans


def labels_of(clusters, n):
    """Checks that ``clusters`` partitions range(n) into ascending lists; returns per-row labels."""
    labels = np.full(n, -1, dtype=np.int64)
    for c, members in enumerate(clusters):
        assert type(members) is list
        assert all(type(i) is int for i in members)
        assert members == sorted(set(members))
        assert np.all(labels[members] == -1)
        labels[members] = c
    assert np.all(labels >= 0)
    return labels


def squared_distances(data, centroids):
    d = data.astype(np.float64)
    c = centroids.astype(np.float64)
    return ((d[:, None, :] - c[None, :, :]) ** 2).sum(axis=2)


def assert_nearest(data, centroids, labels):
    dist = squared_distances(data, centroids)
    best = dist.min(axis=1)
    chosen = dist[np.arange(len(data)), labels]
    assert np.all(chosen <= best + 1e-5 * (1 + best))


@pytest.fixture
def uneven():
    """Five groups of very different sizes in 4-D."""
    rng = np.random.default_rng(7)
    sizes = [150, 40, 25, 60, 5]
    centers = rng.uniform(-10, 10, size=(len(sizes), 4))
    parts = [c + rng.standard_normal((s, 4)) for c, s in zip(centers, sizes)]
    return np.concatenate(parts).astype(np.float32)


def test_euclidean_training_labels_points_by_nearest_centroid(uneven):
    km = KMeans(5).with_euclidean(True).with_iterations(15)
    clusters = km.train(uneven, None)
    assert len(clusters) == 5 and km.is_trained
    labels = labels_of(clusters, len(uneven))
    assert_nearest(uneven, km.centroids, labels)
    assert_nearest(uneven, km.centroids, labels_of(km.assign(uneven, 1), len(uneven)))


@pytest.mark.parametrize("max_diff", [1, 6])
def test_balanced_run_keeps_sizes_within_the_allowed_spread(uneven, max_diff):
    km = KMeans(5).with_euclidean(True).with_balanced(True).with_max_balance_diff(max_diff).with_iterations(8)
    clusters = km.train(uneven, None)
    labels_of(clusters, len(uneven))
    sizes = [len(m) for m in clusters]
    assert max(sizes) - min(sizes) <= max_diff


@pytest.mark.parametrize("balanced", [False, True])
def test_medoids_are_data_rows(uneven, balanced):
    km = KMeans(5).with_euclidean(True).with_use_medoids(True).with_balanced(balanced).with_iterations(5)
    clusters = km.train(uneven, None)
    labels_of(clusters, len(uneven))
    medoids = km.medoid_indices
    assert type(medoids) is list and len(medoids) == 5
    assert all(type(i) is int and 0 <= i < len(uneven) for i in medoids)
    assert np.array_equal(km.centroids, uneven[medoids])
    assert km.with_use_medoids(False).medoid_indices is None


def test_trained_medoids_are_the_exact_medoids_of_converged_clusters():
    # Small integers keep every distance and total exact in f32, so NumPy's integer
    # arithmetic is the reference; well-separated blobs converge long before the last
    # iteration, so the last medoid update saw the final members. Clusters of several
    # hundred members go through the narrowed search and, once stable, the remembered one.
    rng = np.random.default_rng(7)
    centers = np.array([[0, 0, 0], [60, 0, 0], [0, 60, 0], [0, 0, 60]])
    data = (centers[rng.integers(0, 4, size=900)] + rng.integers(-4, 5, size=(900, 3))).astype(np.float32)
    km = KMeans(4).with_euclidean(True).with_use_medoids(True).with_iterations(30)
    clusters = km.train(data, None)
    for c, members in enumerate(clusters):
        rows = data[members].astype(np.int64)
        totals = ((rows[:, None, :] - rows[None, :, :]) ** 2).sum(axis=(1, 2))
        assert km.medoid_indices[c] == members[int(np.argmin(totals))]


@pytest.mark.parametrize("euclidean", [True, False])
def test_scores_round_every_product(euclidean):
    # With products rounded to float32, (a, b) and (b, a) score every (t, t) the same,
    # so assign's lowest-index rule sends every query to cluster 0.
    a, b = np.float32(-0.8268087), np.float32(3.8821914)
    km = KMeans(2).with_euclidean(euclidean).with_iterations(1)
    km.train(np.array([[a, b], [b, a]], np.float32), None)
    t = np.linspace(-5, 5, 201).astype(np.float32)
    assert km.assign(np.stack([t, t], axis=1), 1) == [list(range(201)), []]


def test_balanced_sizes_past_what_f32_can_count():
    """A cluster of more than 2**24 points still shrinks: sizes are counted exactly."""
    n, big = 17_000_000, 16_900_000
    x = np.ones((n, 1), np.float32)
    x[:big, 0] = -1.0  # identical rows share a label: one cluster starts with all of them
    km = KMeans(2).with_euclidean(True).with_iterations(2).with_balanced(True).with_max_balance_diff(1)
    sizes = sorted(len(members) for members in km.train(x, None))
    assert sizes == [n // 2, n // 2]


@pytest.mark.parametrize("balanced", [False, True])
@pytest.mark.parametrize("scale", [1e-23, 1e-22])
def test_inner_product_centroids_are_unit_length_when_their_squares_underflow(scale, balanced):
    rng = np.random.default_rng(3)
    data = (rng.random((20000, 8), dtype=np.float32) - np.float32(0.25)) * np.float32(scale)
    km = KMeans(16).with_iterations(10).with_balanced(balanced)
    km.train(data, None)
    norms = np.linalg.norm(km.centroids.astype(np.float64), axis=1)
    assert np.all(np.abs(norms - 1.0) < 1e-6), (norms.min(), norms.max())
