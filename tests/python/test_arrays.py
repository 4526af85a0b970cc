"""How NumPy arrays are read (any layout, no misreads) and how centroids come back."""

import numpy as np
import pytest

from plovek import KMeans


class SubArray(np.ndarray):
    pass


def unaligned_copy(matrix):
    """A writable float32 array equal to ``matrix`` whose data starts one byte off alignment."""
    buffer = bytearray(matrix.nbytes + 1)
    out = np.frombuffer(buffer, dtype=np.float32, offset=1, count=matrix.size).reshape(matrix.shape)
    out[...] = matrix
    assert out.ctypes.data % 4 != 0
    return out


def packed_rows(matrix):
    """A view whose row stride (4*d + 1 bytes) is not a whole number of floats."""
    dtype = np.dtype([("tag", "u1"), ("x", np.float32, (matrix.shape[1],))])
    records = np.zeros(matrix.shape[0], dtype=dtype)
    records["tag"] = 0xFF
    records["x"] = matrix
    view = records["x"]
    assert view.strides[0] % 4 != 0
    return view


def packed_elements(matrix):
    """A view whose row and column strides are both 5 bytes per element apart."""
    dtype = np.dtype([("tag", "u1"), ("v", np.float32)])
    records = np.zeros(matrix.shape, dtype=dtype)
    records["tag"] = 0xAB
    records["v"] = matrix
    view = records["v"]
    assert view.strides[1] == 5
    return view


def read_only(matrix):
    out = matrix.copy()
    out.flags.writeable = False
    return out


LAYOUTS = {
    "fortran": lambda m: np.asfortranarray(m),
    "transposed": lambda m: np.ascontiguousarray(m.T).T,
    "reversed_rows": lambda m: m[::-1],
    "reversed_columns": lambda m: m[:, ::-1],
    "every_second_row": lambda m: m[::2],
    "every_second_column": lambda m: np.repeat(m, 2, axis=1)[:, ::2],
    "fortran_reversed_strided": lambda m: np.asfortranarray(np.repeat(m, 2, axis=0))[::-3, ::-1],
    "broadcast_rows": lambda m: np.broadcast_to(m[7], (9, m.shape[1])),
    "unaligned": unaligned_copy,
    "read_only": read_only,
    "packed_rows": packed_rows,
    "packed_elements": packed_elements,
    "subclass": lambda m: m.view(SubArray),
}


def squared_distances(data, centroids):
    """Squared Euclidean distances, rows of data against rows of centroids (float64)."""
    d = data.astype(np.float64)
    c = centroids.astype(np.float64)
    return ((d[:, None, :] - c[None, :, :]) ** 2).sum(axis=2)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_assign_reads_every_layout_like_a_contiguous_copy(trained, blobs, layout):
    view = LAYOUTS[layout](blobs)
    expected = trained.assign(np.ascontiguousarray(view), 2)
    assert trained.assign(view, 2) == expected
    assert trained.assign(data=view, k=2) == expected


@pytest.mark.parametrize("layout", ["fortran", "reversed_rows", "unaligned", "packed_rows", "packed_elements"])
def test_train_reads_the_logical_matrix(blobs, layout):
    view = LAYOUTS[layout](blobs)
    logical = np.ascontiguousarray(view)
    km = KMeans(4).with_euclidean(True).with_iterations(5)
    clusters = km.train(view, None)
    labels = np.empty(len(logical), dtype=np.int64)
    for c, members in enumerate(clusters):
        labels[members] = c
    dist = squared_distances(logical, km.centroids)
    chosen = dist[np.arange(len(logical)), labels]
    best = dist.min(axis=1)
    assert np.all(chosen <= best + 1e-4 * (1 + best))


def test_input_arrays_are_never_written(trained, blobs):
    data = packed_rows(blobs)
    base = data.base.copy()
    trained.assign(data, 3)
    KMeans(2).train(blobs[::-1], None)
    assert np.array_equal(data.base, base)


class TestRejectedData:
    BAD = {
        "float64": lambda m: m.astype(np.float64),
        "int32": lambda m: m.astype(np.int32),
        "big_endian": lambda m: m.astype(">f4"),
        "one_dimensional": lambda m: m[:, 0].copy(),
        "three_dimensional": lambda m: m[None, :, :],
        "list_of_lists": lambda m: m.tolist(),
        "none": lambda m: None,
    }

    @pytest.mark.parametrize("kind", BAD)
    def test_train_refuses(self, blobs, kind):
        km = KMeans(4)
        with pytest.raises(TypeError) as info:
            km.train(self.BAD[kind](blobs), None)
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 'data': ")
        assert km.is_trained is False
        km.train(np.asarray(blobs, dtype=np.float32), None)
        assert km.is_trained

    @pytest.mark.parametrize("kind", BAD)
    def test_assign_refuses(self, trained, blobs, kind):
        with pytest.raises(TypeError) as info:
            trained.assign(self.BAD[kind](blobs), 1)
        assert str(info.value).startswith("argument 'data': ")

    def test_message_says_what_was_given_and_how_to_fix_it(self, blobs):
        convert = "convert it with numpy.asarray(x, dtype=numpy.float32)"
        for data, got in [(blobs.tolist(), "'list' object; " + convert),
                          (blobs[:5, 0].astype(np.float64), "float64 array with 1 dimension, shape (5,); " + convert
                           + " and reshape it to (points, features)"),
                          (blobs[None], "float32 array with 3 dimensions, shape (1, 240, 3); reshape it to (points, features)")]:
            with pytest.raises(TypeError) as info:
                KMeans(2).train(data, None)
            assert str(info.value) == "argument 'data': expected a 2-D numpy.ndarray of float32, got " + got

    def test_data_is_checked_before_the_count(self, blobs):
        with pytest.raises(TypeError) as info:
            KMeans(2).train(blobs.astype(np.float64), "many")
        assert str(info.value).startswith("argument 'data': ")


class TestCountArguments:
    def test_num_threads_none_is_accepted_but_required(self, blobs):
        with pytest.raises(TypeError) as info:
            KMeans(2).train(blobs)
        assert "KMeans.train()" in str(info.value) and "num_threads" in str(info.value)
        assert KMeans(2).train(data=blobs, num_threads=None) is not None

    def test_num_threads_conversion_errors(self, blobs):
        km = KMeans(2)
        with pytest.raises(OverflowError):
            km.train(blobs, -1)
        with pytest.raises(OverflowError):
            km.train(blobs, 2**64)
        with pytest.raises(TypeError) as info:
            km.train(blobs, 1.5)
        assert str(info.value).startswith("argument 'num_threads': ")
        assert km.is_trained is False

    def test_k_conversion_errors(self, trained, blobs):
        with pytest.raises(TypeError) as info:
            trained.assign(blobs, None)
        assert str(info.value).startswith("argument 'k': ")
        with pytest.raises(OverflowError):
            trained.assign(blobs, -2)
        assert trained.assign(blobs, np.uint64(2**64 - 1)) == [list(range(len(blobs)))] * 4
        assert trained.assign(blobs, True) == trained.assign(blobs, 1)


class TestEdgeShapes:
    def test_zero_rows(self, trained):
        assert trained.assign(np.zeros((0, 3), dtype=np.float32), 2) == [[], [], [], []]

    def test_zero_columns(self):
        km = KMeans(2)
        clusters = km.train(np.zeros((5, 0), dtype=np.float32), None)
        assert sorted(i for members in clusters for i in members) == list(range(5))
        assert km.centroids.shape == (2, 0)
        assert km.assign(np.zeros((3, 0), dtype=np.float32), 1)[0] == [0, 1, 2]


def test_centroids_are_fresh_row_major_copies(trained):
    first = trained.centroids
    second = trained.centroids
    assert first is not second
    assert first.dtype == np.float32 and first.shape == (4, 3)
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
    assert first.strides == (12, 4)
    assert type(first) is np.ndarray
    before = second.copy()
    first[...] = 1e6
    assert np.array_equal(trained.centroids, before)
