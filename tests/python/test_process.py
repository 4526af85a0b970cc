"""Process-wide behaviour, each case in a fresh interpreter: the one-time sizing of
the worker pool and the progress lines on file descriptor 1."""

import re

from conftest import run_python

POOL_TAKEN = "Invalid parameter: Thread setup failed: The global thread pool has already been initialized."

SETUP = """
    import io, sys
    import numpy as np
    import plovek
    data = np.random.default_rng(3).random((60, 2), dtype=np.float32)
"""


def test_pool_can_be_sized_only_once():
    proc = run_python(SETUP + """
    first = plovek.KMeans(3)
    print(len(first.train(data, 2)))
    second = plovek.KMeans(3).with_euclidean(True)
    try:
        second.train(data, 2)
    except ValueError as error:
        print(error)
    print(second.is_trained, second.centroids is None)
    second.train(data, None)
    print(second.is_trained)
    """)
    assert proc.stdout.splitlines() == ["3", POOL_TAKEN, "False True", "True"]


def test_default_pool_from_an_unsized_train_blocks_later_sizing():
    proc = run_python(SETUP + """
    plovek.KMeans(3).train(data, None)
    try:
        plovek.KMeans(3).train(data, 0)
    except ValueError as error:
        print(error)
    """)
    assert proc.stdout.splitlines() == [POOL_TAKEN]


def test_a_pool_that_cannot_start_is_refused_and_changes_nothing():
    proc = run_python(SETUP + """
    import os
    km = plovek.KMeans(3).with_euclidean(True)
    for count in (None, 10**6, 2**63):
        try:
            km.train(data, count)
        except ValueError as error:
            print(error)
        print(km.is_trained, km.centroids is None)
    os.environ["RAYON_NUM_THREADS"] = "2"
    print(len(km.train(data, None)))
    """, env={"RAYON_NUM_THREADS": "1000000"})
    lines = proc.stdout.splitlines()
    for count, error in zip([10**6, 10**6, 2**63], lines[0:6:2]):
        assert error.startswith(f"Invalid parameter: Thread setup failed: {count} worker threads requested, at most ")
    assert lines[1:6:2] == ["False True"] * 3 and lines[6:] == ["3"]


def test_progress_lines_go_to_file_descriptor_1():
    proc = run_python(SETUP + """
    captured = io.StringIO()
    sys.stdout = captured
    plovek.KMeans(3).with_iterations(3).with_verbose(True).train(data, None)
    plovek.KMeans(3).with_iterations(2).with_verbose(True).with_balanced(True).with_euclidean(True).train(data, None)
    plovek.KMeans(3).with_iterations(4).train(data, None)
    sys.stdout = sys.__stdout__
    print('captured', len(captured.getvalue()))
    """)
    lines = proc.stdout.splitlines()
    assert lines[-1] == "captured 0"
    iteration = re.compile(r"^Iteration (\d+)/(\d+) \| Cost: -?\d+\.\d{6}$")
    progress = [iteration.match(line).groups() for line in lines if line.startswith("Iteration ")]
    assert progress == [("1", "3"), ("2", "3"), ("3", "3"), ("1", "2"), ("2", "2")]
    assert lines.index("Balancing clusters...") > 3
    others = [line for line in lines[:-1]
              if not line.startswith(("Iteration ", "Balance iteration ")) and line != "Balancing clusters..."]
    assert others == []
