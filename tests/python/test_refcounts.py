"""No call leaks references, on success or on failure."""

import sys

import numpy as np

from plovek import KMeans

REPEAT = 50


class Index:
    def __index__(self):
        return 2


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def leak(objects, call):
    """Net change of each object's reference count over REPEAT calls (errors ignored),
    measured after a warm-up so that one-time caches (the interpreter's, NumPy's) are
    already filled."""

    def repeat(times):
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError, OverflowError, RuntimeError):
                pass

    repeat(REPEAT)
    before = counts(objects)
    repeat(REPEAT)
    after = counts(objects)
    return [a - b for a, b in zip(after, before)]


def test_successful_calls_keep_reference_counts(trained, blobs):
    km = KMeans(3)
    index = Index()
    calls = [
        lambda: km.with_iterations(index),
        lambda: km.with_euclidean(True),
        lambda: repr(km),
        lambda: (km.n_clusters, km.is_trained, km.centroids, km.medoid_indices),
        lambda: trained.assign(blobs, index),
        lambda: trained.centroids,
        lambda: trained.with_use_medoids(True).medoid_indices,
    ]
    for call in calls:
        assert leak([km, trained, blobs, index, True, None], call) == [0] * 6


def test_training_keeps_reference_counts(blobs):
    models = [KMeans(3).with_iterations(2) for _ in range(REPEAT)]
    before = counts([blobs, models[0]])
    for km in models:
        km.train(blobs, None)
    assert counts([blobs, models[0]]) == before


def test_failing_calls_keep_reference_counts(trained, blobs):
    fresh = KMeans(3)
    wrong = blobs.astype(np.float64)
    bad = 1.5
    calls = [
        lambda: fresh.assign(blobs, 1),            # engine error
        lambda: trained.train(blobs, None),        # engine error after the array is taken
        lambda: trained.assign(blobs, bad),        # conversion error after the array is taken
        lambda: trained.assign(wrong, 1),          # refused array
        lambda: fresh.train(blobs, -1),            # overflow
        lambda: fresh.with_euclidean(bad),         # refused bool
        lambda: fresh.with_iterations(0),          # value check
        lambda: KMeans(bad),                       # constructor
        lambda: fresh.train(blobs, None, None),    # argument matching
        lambda: fresh.train(data=blobs, num_threads=None, extra=bad),
    ]
    for call in calls:
        assert leak([fresh, trained, blobs, wrong, bad], call) == [0] * 5


def test_top_k_lists_share_one_int_per_row_and_release_them():
    data = np.random.default_rng(5).standard_normal((300, 4)).astype(np.float32)
    km = KMeans(6).with_euclidean(True)
    km.train(data, None)
    lists = km.assign(data, 3)
    first_seen = {}
    for members in lists:
        for row in members:
            # Every row appears in 3 lists, each time as the very same int object.
            assert first_seen.setdefault(row, row) is row
    assert len(first_seen) == 300
    row = lists[0][0]
    before = sys.getrefcount(row)
    del lists, members
    assert sys.getrefcount(row) == before - 3
