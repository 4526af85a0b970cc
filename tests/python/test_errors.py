"""Engine errors as ValueError, and internal failures as PanicException."""

import numpy as np
import pytest

from plovek import KMeans
from conftest import run_python


def snapshot(km):
    centroids = km.centroids
    return repr(km), km.medoid_indices, None if centroids is None else centroids.tobytes()


class TestEngineErrors:
    def test_assign_before_training(self, blobs):
        km = KMeans(3)
        for k in (1, 0):
            with pytest.raises(ValueError) as info:
                km.assign(blobs, k)
            assert str(info.value) == "Clustering has not been trained yet"

    def test_second_training(self, trained, blobs):
        before = snapshot(trained)
        with pytest.raises(ValueError) as info:
            trained.train(blobs, None)
        assert str(info.value) == "Clustering has already been trained"
        assert snapshot(trained) == before

    def test_too_few_points(self):
        km = KMeans(4).with_use_medoids(True)
        before = snapshot(km)
        with pytest.raises(ValueError) as info:
            km.train(np.ones((2, 3), dtype=np.float32), None)
        assert str(info.value) == "Number of points (2) must be at least as large as number of clusters (4)"
        assert snapshot(km) == before

    def test_huge_cluster_count_is_just_too_few_points(self, blobs):
        km = KMeans(2**64 - 1)
        with pytest.raises(ValueError) as info:
            km.train(blobs, None)
        assert str(info.value) == (
            f"Number of points ({len(blobs)}) must be at least as large as number of clusters (18446744073709551615)")
        assert km.with_balanced(True).is_balanced

    def test_dimension_mismatch(self):
        km = KMeans(2).with_euclidean(True)
        km.train(np.random.default_rng(0).random((10, 8), dtype=np.float32), None)
        with pytest.raises(ValueError) as info:
            km.assign(np.zeros((4, 5), dtype=np.float32), 1)
        assert str(info.value) == "Dimension mismatch: expected 8, got 5"

    def test_k_zero(self, trained, blobs):
        before = snapshot(trained)
        with pytest.raises(ValueError) as info:
            trained.assign(blobs, 0)
        assert str(info.value) == "Invalid parameter: k must be positive"
        assert snapshot(trained) == before
        assert trained.assign(blobs, 1) is not None

    def test_values_whose_scores_overflow(self):
        # Finite, but squared norms and sums leave the float32 range: refused like NaN.
        rng = np.random.default_rng(0)
        blobs = np.concatenate([rng.normal(c, .1, (100, 4)) for c in (0, 5, 10)]).astype(np.float32)
        extremes = np.full((100, 4), 3e38, np.float32)
        extremes[::2] *= -1
        models = [KMeans(3).with_euclidean(True),
                  KMeans(3).with_euclidean(True).with_balanced(True).with_max_balance_diff(2),
                  KMeans(3).with_balanced(True), KMeans(3).with_use_medoids(True)]
        for km in models:
            for data in (blobs * np.float32(1e19), extremes):
                before = snapshot(km)
                with pytest.raises(ValueError) as info:
                    km.train(data, None)
                assert str(info.value).startswith("Invalid parameter: data contains values whose scores overflow")
                assert snapshot(km) == before
            km.train(blobs * np.float32(1e16), None)
            assert np.isfinite(km.centroids).all()


def test_numpy_failure_raises_panic_exception():
    proc = run_python("""
        import sys
        sys.modules['numpy'] = None  # any import of numpy now fails
        import plovek
        km = plovek.KMeans(2)
        kinds = []
        for attempt in range(2):
            try:
                km.train([[1.0], [2.0]], None)
            except Exception as error:
                print('caught as Exception', type(error).__name__)
            except BaseException as error:
                kind = type(error)
                kinds.append(kind)
                print(kind.__name__, kind.__bases__ == (BaseException,), kind.__module__)
                print('NumPy' in str(error), type(error.__cause__).__name__)
        print(hasattr(plovek, 'PanicException'), km.is_trained, km.n_clusters, kinds[0] is kinds[1])
    """)
    lines = proc.stdout.splitlines()
    assert lines[0] == "PanicException True plovek"
    assert lines[1] == "True ModuleNotFoundError"
    assert lines[2:4] == lines[0:2]
    assert lines[4] == "False False 2 True"
