"""Property-based fuzzing of the Python API: random shapes (empty, single-column, as
many rows as clusters), memory layouts, element types, argument types and values and
builder combinations. Every call must either give a valid result or raise a clean
Python exception (never PanicException, never a crash), and leave its object usable."""

import operator
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import plovek
from plovek import KMeans

FUZZ = settings(
    max_examples=150,
    deadline=None,
    database=None,  # nothing written into the source tree
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# The pool is sized once per process: create the default one now, so that any thread
# count given below is refused rather than fixing the size for the other tests.
KMeans(1).train(np.zeros((1, 1), dtype=np.float32), None)

CLEAN = (TypeError, ValueError, OverflowError)
UINT64_MAX = 2**64 - 1


# ---- matrices -----------------------------------------------------------------------

class SubArray(np.ndarray):
    pass


def unaligned(m):
    out = np.frombuffer(bytearray(m.nbytes + 1), dtype=np.float32, offset=1, count=m.size).reshape(m.shape)
    out[...] = m
    return out


def packed_rows(m):
    """Row stride 4*d + 1 bytes: between two floats."""
    records = np.zeros(m.shape[0], dtype=[("tag", "u1"), ("x", np.float32, (m.shape[1],))])
    records["x"] = m
    return records["x"]


def packed_elements(m):
    """Both strides a multiple of 5 bytes."""
    records = np.zeros(m.shape, dtype=[("tag", "u1"), ("v", np.float32)])
    records["v"] = m
    return records["v"]


def read_only(m):
    out = m.copy()
    out.flags.writeable = False
    return out


def strided(m):
    """Odd element strides in both directions inside a larger array."""
    big = np.zeros((3 * m.shape[0] + 1, 3 * m.shape[1] + 1), dtype=np.float32)
    big[1::3, 2::3] = m
    return big[1::3, 2::3]


# Each maps a C-contiguous float32 matrix to the same logical matrix in another layout.
LAYOUTS = {
    "c": lambda m: m,
    "fortran": np.asfortranarray,
    "transposed": lambda m: np.ascontiguousarray(m.T).T,
    "reversed_rows": lambda m: m[::-1].copy()[::-1],
    "reversed_both": lambda m: m[::-1, ::-1].copy()[::-1, ::-1],
    "strided": strided,
    "negative_strided": lambda m: strided(m[::-1, ::-1])[::-1, ::-1],
    "unaligned": unaligned,
    "packed_rows": packed_rows,
    "packed_elements": packed_elements,
    "read_only": read_only,
    "subclass": lambda m: m.view(SubArray),
}

FINITE = st.floats(min_value=-1e3, max_value=1e3, allow_nan=False, width=32)
# Finite values whose squares, sums and products overflow f32.
# Exact float32 values, so that array strategies accept them as they are.
EXTREME = st.sampled_from([float(np.float32(v)) for v in (3e38, -3e38, 1e30, -1e-45, 0.0, -0.0, 1.0)])
NON_FINITE = st.sampled_from([np.nan, np.inf, -np.inf])


@st.composite
def matrices(draw, rows=st.integers(0, 40), cols=st.integers(0, 5), allow_bad_values=True):
    """(array as passed, its contiguous float32 twin or None, description)."""
    n, d = draw(rows), draw(cols)
    kind = draw(st.sampled_from(["plain", "plain", "plain", "duplicates", "extreme", "non_finite"]
                                if allow_bad_values else ["plain", "plain", "duplicates"]))
    elements = {"plain": FINITE, "duplicates": st.sampled_from([0.0, 1.0, -2.5]),
                "extreme": st.one_of(FINITE, EXTREME), "non_finite": st.one_of(FINITE, NON_FINITE)}[kind]
    base = draw(hnp.arrays(np.float32, (n, d), elements=elements))
    layout = draw(st.sampled_from(sorted(LAYOUTS)))
    array = LAYOUTS[layout](base)
    if draw(st.integers(0, 9)) == 0 and n > 0:
        array = np.broadcast_to(array[:1], (n, d))  # a row stride of 0
        base = np.ascontiguousarray(array)
    return array, base, f"{kind}/{layout}"


@st.composite
def wrong_arrays(draw):
    """Arguments that are not two-dimensional float32 arrays."""
    m = draw(hnp.arrays(np.float32, (draw(st.integers(0, 6)), draw(st.integers(0, 3))), elements=FINITE))
    makers = [
        lambda: m.astype(np.float64), lambda: m.astype(np.float16), lambda: m.astype(np.int32),
        lambda: m.astype(">f4"), lambda: m.astype(bool), lambda: m.astype(np.complex64),
        lambda: m.reshape(-1), lambda: m[None], lambda: np.float32(1.0), lambda: m.tolist(),
        lambda: None, lambda: "data", lambda: memoryview(np.ascontiguousarray(m)),
        lambda: np.ma.masked_array(m.astype(np.float64)),
    ]
    return makers[draw(st.integers(0, len(makers) - 1))]()


def overflowing(base):
    """Values whose products or sums leave the f32 range: scores of such points may
    not be numbers, and cannot be ordered."""
    return base.size > 0 and float(np.abs(base).max()) > 1e18


def expect_partition(lists, k, n):
    assert type(lists) is list and len(lists) == k
    flat = []
    for members in lists:
        assert type(members) is list
        assert all(type(i) is int for i in members)
        assert members == sorted(set(members))
        flat.extend(members)
    assert sorted(flat) == list(range(n))


def expect_memberships(lists, clusters, k, n):
    """Each of the n points in exactly min(k, clusters) lists, each list ascending."""
    assert type(lists) is list and len(lists) == clusters
    counts = [0] * n
    for members in lists:
        assert members == sorted(set(members))
        for i in members:
            counts[i] += 1
    assert counts == [min(k, clusters)] * n


def expect_untrained(km):
    assert km.is_trained is False
    assert km.centroids is None and km.medoid_indices is None
    assert repr(km).endswith("trained=false)")


# ---- train --------------------------------------------------------------------------

CONFIGS = st.fixed_dictionaries({
    "iterations": st.integers(1, 3),
    "euclidean": st.booleans(),
    "balanced": st.booleans(),
    "max_balance_diff": st.integers(1, 20),
    "use_medoids": st.booleans(),
    "verbose": st.sampled_from([False, False, False, True]),
})


def configured(n_clusters, config):
    km = KMeans(n_clusters)
    for name, value in config.items():
        km = getattr(km, "with_" + name)(value)
    return km


@FUZZ
@given(data=st.data(), matrix=matrices(), config=CONFIGS)
def test_train_gives_a_partition_or_a_clean_error(data, matrix, config):
    array, base, _ = matrix
    n, d = base.shape
    n_clusters = data.draw(st.integers(1, n + 2), label="n_clusters")
    num_threads = data.draw(st.sampled_from([None] * 6 + [0, 2, -1, 2**64, 1.5, "2", np.int64(3)]),
                            label="num_threads")
    km = configured(n_clusters, config)
    finite = bool(np.isfinite(base).all())

    try:
        lists = km.train(array, num_threads)
    except CLEAN as error:
        # Exactly the failures these arguments allow, and nothing changed.
        if num_threads is None:
            assert isinstance(error, ValueError)
            overflow = str(error).startswith("Invalid parameter: data contains values whose scores overflow")
            assert n < n_clusters or not finite or (overflow and np.abs(base).max() > 1e15)
        elif isinstance(num_threads, (float, str)):
            assert isinstance(error, TypeError) and str(error).startswith("argument 'num_threads': ")
        elif not 0 <= num_threads < 2**64:
            assert isinstance(error, OverflowError)
        else:  # too few points, bad values, or the pool is already sized
            assert isinstance(error, ValueError)
        expect_untrained(km)
        ok = base[(np.abs(base) < 1e15).all(axis=1)] if d else base
        if len(ok) >= n_clusters:
            expect_partition(km.train(np.ascontiguousarray(ok), None), n_clusters, len(ok))
        return

    assert num_threads is None and n >= n_clusters and finite
    expect_partition(lists, n_clusters, n)
    assert km.is_trained
    centroids = km.centroids
    assert centroids.dtype == np.float32 and centroids.shape == (n_clusters, d)
    assert centroids.flags.c_contiguous
    if config["use_medoids"]:
        medoids = km.medoid_indices
        assert len(medoids) == n_clusters and all(0 <= i < n for i in medoids)
        if config["euclidean"]:
            # Medoid centroids are copies of their data rows.
            assert np.array_equal(centroids, base[medoids])
    else:
        assert km.medoid_indices is None

    with pytest.raises(ValueError, match="already been trained"):
        km.train(array, None)
    k = data.draw(st.integers(1, n_clusters + 2), label="k")
    if overflowing(base):
        # Training does not promise centroids that can still be compared with these
        # points; assign may refuse them, but only cleanly.
        try:
            expect_memberships(km.assign(array, k), n_clusters, k, n)
        except ValueError as error:
            assert "values whose scores overflow" in str(error)
    else:
        expect_memberships(km.assign(array, k), n_clusters, k, n)


@FUZZ
@given(argument=wrong_arrays(), n_clusters=st.integers(1, 3))
def test_anything_but_a_float32_matrix_is_a_type_error(argument, n_clusters):
    km = KMeans(n_clusters)
    with pytest.raises(TypeError, match="^argument 'data': "):
        km.train(argument, None)
    expect_untrained(km)


# ---- assign -------------------------------------------------------------------------

MODELS = {}


def trained_model(n_clusters, d, euclidean, use_medoids):
    key = (n_clusters, d, euclidean, use_medoids)
    if key not in MODELS:
        data = np.random.default_rng(n_clusters * 10 + d).standard_normal((40, d)).astype(np.float32)
        km = KMeans(n_clusters).with_euclidean(euclidean).with_use_medoids(use_medoids).with_iterations(3)
        km.train(data, None)
        MODELS[key] = km
    return MODELS[key]


K_VALUES = st.one_of(
    st.integers(0, 8),
    st.sampled_from([UINT64_MAX, 2**63, 2**64, -1, True, np.uint64(UINT64_MAX), np.int8(2), None, 2.0, "1"]),
)


@FUZZ
@given(data=st.data(), n_clusters=st.integers(1, 6), d=st.integers(0, 4), euclidean=st.booleans(),
       use_medoids=st.booleans(), k=K_VALUES)
def test_assign_gives_memberships_or_a_clean_error(data, n_clusters, d, euclidean, use_medoids, k):
    km = trained_model(n_clusters, d, euclidean, use_medoids)
    before = km.centroids
    cols = data.draw(st.sampled_from([d, d, d, d + 1, max(d - 1, 0)]), label="cols")
    array, base, _ = data.draw(matrices(rows=st.integers(0, 30), cols=st.just(cols)), label="matrix")
    n = base.shape[0]
    try:
        lists = km.assign(array, k)
    except CLEAN as error:
        if isinstance(k, (str, float)) or k is None:
            assert isinstance(error, TypeError) and str(error).startswith("argument 'k': ")
        elif int(k) < 0 or int(k) > UINT64_MAX:
            assert isinstance(error, OverflowError)
        else:
            assert isinstance(error, ValueError)
            assert int(k) == 0 or cols != d or not np.isfinite(base).all() or overflowing(base)
    else:
        assert cols == d and 0 < int(k) <= UINT64_MAX
        expect_memberships(lists, n_clusters, int(k), n)
        # The layout never changes the answer.
        assert km.assign(np.ascontiguousarray(base), k) == lists
    assert np.array_equal(km.centroids, before)
    assert km.is_trained


# ---- constructor and builders ------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IntSubclass(int):
    pass


ARGUMENTS = st.one_of(
    st.integers(-3, 40),
    st.sampled_from([2**63, UINT64_MAX, 2**64, -(2**64), 2**100]),
    st.booleans(),
    st.sampled_from([np.bool_(True), np.bool_(False), np.int64(7), np.uint64(UINT64_MAX), np.int8(-1),
                     np.float32(2.0), 1.0, None, "3", b"3", [1], IntSubclass(5), IntSubclass(0)]),
    st.builds(Index, st.one_of(st.integers(-2, 2**65), st.sampled_from(
        [TypeError("nope"), ValueError("bad"), OverflowError("big"), 1.5, "x"]))),
)

UNSIGNED = {"with_iterations": ("iters", "iterations", "Number of iterations must be positive"),
            "with_max_balance_diff": ("max_balance_diff", None, "Max balance difference must be positive")}
BOOLEAN = {"with_euclidean": ("euclidean", "is_euclidean"), "with_balanced": ("balanced", "is_balanced"),
           "with_verbose": ("verbose", None), "with_use_medoids": ("use_medoids", "is_use_medoids")}


def unsigned_value(value):
    """What the unsigned conversion makes of `value`: an int, or the exception type."""
    if isinstance(value, Index):
        value = value.value
        if isinstance(value, BaseException):
            return type(value)
        if not isinstance(value, int):
            return TypeError  # __index__ returned a non-int
    elif isinstance(value, (bool, int, np.integer)):
        value = int(value)
    else:
        # Whatever else __index__ accepts (NumPy 1.x still lets np.bool_ through).
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                value = operator.index(value)
        except TypeError:
            return TypeError
    return int(value) if 0 <= int(value) <= UINT64_MAX else OverflowError


def boolean_value(value):
    if type(value) is bool or isinstance(value, np.bool_):
        return bool(value)
    return TypeError


@FUZZ
# NumPy 1.x still converts np.bool_ through __index__, with a DeprecationWarning.
@pytest.mark.filterwarnings("ignore:In future, it will be an error for 'np.bool_':DeprecationWarning")
@given(steps=st.lists(st.tuples(st.sampled_from(sorted(UNSIGNED) + sorted(BOOLEAN)), ARGUMENTS,
                                st.booleans()), max_size=8),
       start=ARGUMENTS)
def test_constructor_and_builder_chains(steps, start):
    expected = unsigned_value(start)
    if not isinstance(expected, int) or expected == 0:
        with pytest.raises(ValueError if expected == 0 else expected) as raised:
            KMeans(start)
        if expected is TypeError:
            assert str(raised.value).startswith("argument 'n_clusters': ")
        return
    km = KMeans(start)
    state = {"n_clusters": expected, "iterations": 25, "euclidean": False, "balanced": False,
             "use_medoids": False}
    for method, value, by_keyword in steps:
        before = repr(km)
        parameter = (UNSIGNED.get(method) or BOOLEAN[method])[0]
        converted = unsigned_value(value) if method in UNSIGNED else boolean_value(value)
        call = getattr(km, method)
        invoke = (lambda: call(**{parameter: value})) if by_keyword else (lambda: call(value))
        if converted is not TypeError and not isinstance(converted, type) and not (
                method in UNSIGNED and converted == 0):
            result = invoke()
            assert result is not km and type(result) is KMeans
            km = result
            if method == "with_iterations":
                state["iterations"] = converted
            elif method in BOOLEAN and method != "with_verbose":
                state[BOOLEAN[method][0]] = converted
        else:
            error = ValueError if converted == 0 else converted
            with pytest.raises(error) as raised:
                invoke()
            if error is TypeError:
                assert str(raised.value).startswith(f"argument '{parameter}': ")
            assert repr(km) == before
    flag = lambda b: "true" if b else "false"  # noqa: E731
    assert repr(km) == (f"KMeans(n_clusters={state['n_clusters']}, iterations={state['iterations']}, "
                        f"euclidean={flag(state['euclidean'])}, balanced={flag(state['balanced'])}, "
                        f"use_medoids={flag(state['use_medoids'])}, trained=false)")
    assert (km.n_clusters, km.iterations, km.is_euclidean, km.is_balanced, km.is_use_medoids) == (
        state["n_clusters"], state["iterations"], state["euclidean"], state["balanced"], state["use_medoids"])


PARAMETERS = {"train": ("data", "num_threads"), "assign": ("data", "k")}


@FUZZ
@given(method=st.sampled_from(sorted(PARAMETERS)), positional=st.integers(0, 3),
       keywords=st.lists(st.sampled_from(["data", "num_threads", "k", "extra"]), unique=True, max_size=3))
def test_argument_matching(method, positional, keywords):
    data = np.zeros((4, 2), dtype=np.float32)
    km = KMeans(2)
    if method == "assign":
        km.train(data, None)
    values = {"data": data, "num_threads": None, "k": 1, "extra": 0}
    args = [data, None if method == "train" else 1, 0][:positional]
    kwargs = {name: values[name] for name in keywords}
    names = PARAMETERS[method]
    given_names = list(names[:positional]) + keywords
    matches = positional <= 2 and sorted(given_names) == sorted(names)
    if matches:
        lists = getattr(km, method)(*args, **kwargs)
        assert len(lists) == 2
    else:
        with pytest.raises(TypeError, match=rf"KMeans\.{method}\(\)"):
            getattr(km, method)(*args, **kwargs)
        assert km.is_trained == (method == "assign")
