"""Constructor, builders, properties, repr and argument handling of KMeans."""

import numpy as np
import pytest

from plovek import KMeans

FRESH_REPR = ("KMeans(n_clusters=3, iterations=25, euclidean=false, balanced=false, "
              "use_medoids=false, trained=false)")


class Index:
    """An int-like object that converts only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_fresh_object_defaults():
    km = KMeans(3)
    assert repr(km) == FRESH_REPR
    assert str(km) == FRESH_REPR
    assert km.n_clusters == 3 and km.iterations == 25
    assert km.is_euclidean is False and km.is_balanced is False
    assert km.is_use_medoids is False and km.is_trained is False
    assert km.centroids is None and km.medoid_indices is None


class TestConstructor:
    def test_accepted_values(self):
        assert KMeans(n_clusters=4).n_clusters == 4
        assert KMeans(True).n_clusters == 1
        assert KMeans(np.uint8(7)).n_clusters == 7
        assert KMeans(Index(5)).n_clusters == 5
        huge = KMeans(2**64 - 1)
        assert huge.n_clusters == 2**64 - 1
        assert repr(huge).startswith("KMeans(n_clusters=18446744073709551615, ")

    def test_zero_is_refused(self):
        with pytest.raises(ValueError) as info:
            KMeans(0)
        assert str(info.value) == "Number of clusters must be positive"

    @pytest.mark.parametrize("value", [-1, 2**64, Index(-3)])
    def test_out_of_range_is_overflow(self, value):
        with pytest.raises(OverflowError) as info:
            KMeans(value)
        assert not str(info.value).startswith("argument")

    @pytest.mark.parametrize("value", [2.5, "3", None, [3]])
    def test_non_integers_get_the_argument_prefix(self, value):
        with pytest.raises(TypeError) as info:
            KMeans(value)
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 'n_clusters': ")

    def test_prefixed_error_keeps_the_cause(self):
        cause = KeyError("root")

        class Bad:
            def __index__(self):
                raise TypeError("no index here") from cause

        with pytest.raises(TypeError) as info:
            KMeans(Bad())
        assert str(info.value) == "argument 'n_clusters': no index here"
        assert info.value.__cause__ is cause

    def test_other_errors_pass_through_unchanged(self):
        class Odd(TypeError):
            pass

        class Bad:
            def __index__(self):
                raise Odd("subclass")

        with pytest.raises(Odd) as info:
            KMeans(Bad())
        assert str(info.value) == "subclass"

    @pytest.mark.parametrize("args, kwargs, fragment", [
        ((), {}, "missing"),
        ((2, 3), {}, "positional"),
        ((), {"k": 2}, "unexpected keyword argument 'k'"),
        ((2,), {"n_clusters": 2}, "multiple values for argument 'n_clusters'"),
    ])
    def test_argument_matching(self, args, kwargs, fragment):
        with pytest.raises(TypeError) as info:
            KMeans(*args, **kwargs)
        assert "KMeans.__new__()" in str(info.value)
        assert fragment in str(info.value)


class TestBuilders:
    def test_each_builder_returns_a_changed_copy(self):
        base = KMeans(3)
        cases = [
            (base.with_iterations(10), "iterations", 10),
            (base.with_euclidean(True), "is_euclidean", True),
            (base.with_balanced(True), "is_balanced", True),
            (base.with_use_medoids(True), "is_use_medoids", True),
        ]
        for copy, name, value in cases:
            assert copy is not base
            assert type(copy) is KMeans
            assert getattr(copy, name) == value
        assert repr(base) == FRESH_REPR
        assert base.with_max_balance_diff(3) is not base
        assert base.with_verbose(True) is not base
        assert repr(base.with_verbose(True)) == FRESH_REPR
        assert repr(base.with_max_balance_diff(9)) == FRESH_REPR

    def test_chaining_and_repr(self):
        km = KMeans(8).with_iterations(50).with_euclidean(True).with_balanced(True).with_use_medoids(True)
        assert repr(km) == ("KMeans(n_clusters=8, iterations=50, euclidean=true, balanced=true, "
                            "use_medoids=true, trained=false)")
        assert repr(km.with_euclidean(False)).count("euclidean=false") == 1

    def test_keyword_arguments(self):
        assert KMeans(2).with_iterations(iters=4).iterations == 4
        assert KMeans(2).with_euclidean(euclidean=True).is_euclidean is True
        with pytest.raises(TypeError) as info:
            KMeans(2).with_iterations(iterations=4)
        assert "KMeans.with_iterations()" in str(info.value)

    @pytest.mark.parametrize("builder, message", [
        ("with_iterations", "Number of iterations must be positive"),
        ("with_max_balance_diff", "Max balance difference must be positive"),
    ])
    def test_unsigned_builders_refuse_zero(self, builder, message):
        with pytest.raises(ValueError) as info:
            getattr(KMeans(3), builder)(0)
        assert str(info.value) == message

    @pytest.mark.parametrize("builder, parameter", [
        ("with_iterations", "iters"), ("with_max_balance_diff", "max_balance_diff"),
    ])
    def test_unsigned_builders_convert_like_the_constructor(self, builder, parameter):
        method = getattr(KMeans(3), builder)
        assert method(2**64 - 1) is not None
        assert method(np.int64(4)) is not None
        with pytest.raises(OverflowError):
            method(-1)
        with pytest.raises(TypeError) as info:
            method(1.0)
        assert str(info.value).startswith(f"argument '{parameter}': ")

    @pytest.mark.parametrize("builder, parameter", [
        ("with_euclidean", "euclidean"), ("with_balanced", "balanced"),
        ("with_verbose", "verbose"), ("with_use_medoids", "use_medoids"),
    ])
    def test_boolean_builders_accept_only_bools(self, builder, parameter):
        method = getattr(KMeans(3), builder)
        flag = "is_" + parameter if builder != "with_verbose" else None
        for value, expected in ((True, True), (False, False), (np.bool_(True), True), (np.False_, False)):
            copy = method(value)
            if flag:
                assert getattr(copy, flag) is expected
        for value in (1, 0, None, "yes", 1.0, np.int32(1)):
            with pytest.raises(TypeError) as info:
                method(value)
            assert str(info.value).startswith(f"argument '{parameter}': "), value

    def test_builders_copy_trained_state(self, trained, blobs):
        copy = trained.with_iterations(3)
        assert copy.is_trained and copy.iterations == 3
        assert np.array_equal(copy.centroids, trained.centroids)
        assert copy.assign(blobs, 1) == trained.assign(blobs, 1)
        assert trained.iterations == 10
        medoid_view = trained.with_use_medoids(True)
        assert trained.medoid_indices is None
        assert medoid_view.medoid_indices == []

    def test_training_a_copy_leaves_the_source_untouched(self, blobs):
        source = KMeans(4).with_euclidean(True)
        copy = source.with_iterations(5)
        copy.train(blobs, None)
        assert copy.is_trained
        assert source.is_trained is False and source.centroids is None
