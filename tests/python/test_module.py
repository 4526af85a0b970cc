"""Module initialisation and the shape of the KMeans type."""

import shutil
import subprocess
import weakref

import pytest

import plovek
from conftest import run_python

METHODS = {
    "with_iterations": "($self, iters)",
    "with_euclidean": "($self, euclidean)",
    "with_balanced": "($self, balanced)",
    "with_max_balance_diff": "($self, max_balance_diff)",
    "with_verbose": "($self, verbose)",
    "with_use_medoids": "($self, use_medoids)",
    "train": "($self, data, num_threads)",
    "assign": "($self, data, k)",
}
PROPERTIES = [
    "n_clusters", "iterations", "is_euclidean", "is_balanced",
    "is_use_medoids", "centroids", "medoid_indices", "is_trained",
]


def test_module_attributes():
    assert plovek.__version__ == "0.2.3"
    assert plovek.__all__ == ["KMeans", "__version__"]
    assert plovek.__doc__ == ""
    assert plovek.__name__ == "plovek"
    public = {name for name in vars(plovek) if not name.startswith("__")}
    assert public == {"KMeans"}


def test_type_identity_and_doc():
    cls = plovek.KMeans
    assert cls.__name__ == "KMeans"
    assert cls.__module__ == "builtins"
    assert repr(cls) == "<class 'builtins.KMeans'>"
    assert cls.__doc__ == "Python wrapper for the KMeans struct"
    assert cls.__text_signature__ in (None, "(n_clusters)")


def test_methods_in_order_with_signature_only_docs():
    cls = plovek.KMeans
    callables = [name for name, value in vars(cls).items()
                 if not name.startswith("__") and callable(value)]
    assert callables == list(METHODS)
    for name, signature in METHODS.items():
        method = getattr(cls, name)
        assert method.__doc__ is None, name
        assert method.__text_signature__ == signature, name


def test_properties_are_read_only_with_empty_docs():
    km = plovek.KMeans(3)
    for name in PROPERTIES:
        descriptor = vars(plovek.KMeans)[name]
        assert descriptor.__doc__ == "", name
        with pytest.raises(AttributeError):
            setattr(km, name, 5)
    assert km.n_clusters == 3


def test_instances_are_closed_but_the_type_is_mutable():
    with pytest.raises(TypeError):
        class Sub(plovek.KMeans):  # noqa: F841
            pass
    km = plovek.KMeans(2)
    with pytest.raises(AttributeError):
        km.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(km)
    plovek.KMeans.extra_attribute = 7
    try:
        assert km.extra_attribute == 7
    finally:
        del plovek.KMeans.extra_attribute


def test_import_does_not_import_numpy():
    proc = run_python("""
        import sys
        import plovek
        km = plovek.KMeans(3).with_euclidean(True)
        repr(km), km.centroids, km.medoid_indices
        print('numpy' in sys.modules)
    """)
    assert proc.stdout.strip() == "False"


def test_second_initialisation_fails_with_import_error():
    proc = run_python("""
        import sys
        import plovek
        first = plovek
        del sys.modules['plovek']
        try:
            import plovek
        except ImportError as error:
            print('ImportError', bool(str(error)))
        else:
            print('imported again')
        print(first.KMeans(2).n_clusters)
    """)
    assert proc.stdout.split() == ["ImportError", "True", "2"]


def test_import_into_a_second_interpreter_fails():
    proc = run_python("""
        import plovek
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print('skip')
            raise SystemExit
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, 'import plovek')
        except interpreters.RunFailedError as error:
            print('ImportError' in str(error))
    """)
    if proc.stdout.strip() == "skip":
        pytest.skip("no sub-interpreter support in this Python")
    assert proc.stdout.strip() == "True"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", plovek.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_plovek"]
