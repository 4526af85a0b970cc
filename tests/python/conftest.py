"""Shared helpers for the plovek tests.

The worker pool is process-wide and can be sized only once per process, so every
test in the pytest process itself trains with ``num_threads=None``; anything that
sizes the pool, or needs a fresh interpreter, runs in a subprocess.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import plovek


def make_blobs(n_per_cluster, centers, spread=0.05, seed=0):
    """Points scattered around each row of ``centers``, as a float32 matrix."""
    rng = np.random.default_rng(seed)
    centers = np.asarray(centers, dtype=np.float32)
    points = [c + spread * rng.standard_normal((n_per_cluster, centers.shape[1])) for c in centers]
    return np.concatenate(points).astype(np.float32)


@pytest.fixture
def blobs():
    """240 points in four well separated 3-D groups of 60."""
    centers = [[0, 0, 0], [5, 0, 0], [0, 5, 0], [0, 0, 5]]
    return make_blobs(60, centers, spread=0.2, seed=1)


@pytest.fixture
def trained(blobs):
    """A Euclidean model with four clusters trained on ``blobs``."""
    km = plovek.KMeans(4).with_euclidean(True).with_iterations(10)
    km.train(blobs, None)
    return km


def run_python(code, env=None, check=True):
    """Runs ``code`` in a fresh interpreter and returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc
