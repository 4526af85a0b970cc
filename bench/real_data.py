"""Real-data workloads for the benchmark: the photographs and digits bundled with scikit-learn.

Run: python bench/real_data.py --save-npy DIR [--photographs nine]
writes each matrix as DIR/<name>.npy (float32, C order), for the C++ benchmarks'
`--data` option. `bench/run_bench.py` times the workloads (names R1..R7).

The data is deterministic (fixed seeds) and built in memory from files that ship with
scikit-learn (china.jpg and flower.jpg, 427 x 640 each, through Pillow; the 8 x 8
digits); nothing is downloaded and nothing is cached on disk. With the photographs
"nine", the photographs are those two and scikit-image's seven colour ones (4,582,349
pixels; scikit-image must be installed): a check that what was tuned on two holds on
photographs in general.
"""

from __future__ import annotations

import argparse
import functools
import statistics
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

ITERATIONS = 25
PATCH_SEED = 29
# Coates & Ng 2011: brightness/contrast normalisation with 10 added to the variance of
# 0-255 pixels, then ZCA whitening with 0.1 added to the eigenvalues.
CONTRAST_EPSILON = 10.0
ZCA_EPSILON = 0.1


SCIKIT_IMAGE_PHOTOGRAPHS = ("astronaut", "coffee", "chelsea", "rocket", "immunohistochemistry", "retina",
                            "hubble_deep_field")
PHOTOGRAPH_SETS = {"sklearn": "china.jpg + flower.jpg", "nine": "9 photographs (scikit-learn's, scikit-image's)"}
_photograph_set = "sklearn"


def use_photographs(name):
    """Builds the photographs' workloads from the set `name` (a key of PHOTOGRAPH_SETS)."""
    global _photograph_set
    if name not in PHOTOGRAPH_SETS:
        raise ValueError(f"photographs: one of {', '.join(PHOTOGRAPH_SETS)}")
    _photograph_set = name
    for built in (photographs, pixels, whitened_patches, unit_patches):
        built.cache_clear()


def photographs_title():
    return PHOTOGRAPH_SETS[_photograph_set]


@functools.cache
def photographs():
    """china.jpg and flower.jpg (with the set "nine", then scikit-image's seven colour
    photographs) as uint8 arrays of (height, width, 3)."""
    from sklearn.datasets import load_sample_images

    images = list(load_sample_images().images)
    if _photograph_set == "nine":
        from skimage import data

        images += [getattr(data, name)() for name in SCIKIT_IMAGE_PHOTOGRAPHS]
    return tuple(images)


@functools.cache
def pixels():
    """Every pixel of both photographs, RGB scaled to [0, 1] as in scikit-learn's colour
    quantisation example: 546,560 x 3."""
    return np.concatenate([image.reshape(-1, 3) for image in photographs()]).astype(np.float32) / np.float32(255)


def patch_windows(size):
    """Per photograph, a view of every size x size window as (y, x, size, size, 3)."""
    return [np.lib.stride_tricks.sliding_window_view(image, (size, size), axis=(0, 1)).transpose(0, 1, 3, 4, 2)
            for image in photographs()]


def sample_patches(size, count, rng, keep=None):
    """`count` distinct windows (overlapping ones allowed) drawn uniformly from both
    photographs, in the order drawn, as float64 rows of size * size * 3 values (y, x,
    channel order) in 0-255; `keep(rows)` may reject some, and as many more are drawn in
    their place."""
    windows = patch_windows(size)
    offsets = np.cumsum([0] + [w.shape[0] * w.shape[1] for w in windows])
    order = rng.permutation(offsets[-1])
    chosen, have, start = [], 0, 0
    while have < count:
        if start >= len(order):
            raise ValueError(f"fewer than {count} usable {size}x{size} patches")
        picked = order[start:start + count - have]
        start += len(picked)
        rows = gather_windows(windows, offsets, picked)
        chosen.append(rows if keep is None else rows[keep(rows)])
        have += len(chosen[-1])
    return np.concatenate(chosen)


def gather_windows(windows, offsets, flat_indices):
    rows = np.empty((len(flat_indices), windows[0][0, 0].size))
    for image, (low, high) in enumerate(zip(offsets[:-1], offsets[1:])):
        inside = (flat_indices >= low) & (flat_indices < high)
        y, x = np.divmod(flat_indices[inside] - low, windows[image].shape[1])
        rows[inside] = windows[image][y, x].reshape(len(y), rows.shape[1])
    return rows


@functools.cache
def whitened_patches():
    """250,000 random 6x6x3 patches, each brightness/contrast normalised, then ZCA
    whitened over the whole set (Coates & Ng 2011): 250,000 x 108."""
    patches = sample_patches(6, 250_000, np.random.default_rng(PATCH_SEED))
    patches -= patches.mean(axis=1, keepdims=True)
    patches /= np.sqrt(patches.var(axis=1, ddof=1, keepdims=True) + CONTRAST_EPSILON)
    patches -= patches.mean(axis=0)
    eigenvalues, eigenvectors = np.linalg.eigh(patches.T @ patches / (len(patches) - 1))
    whitening = (eigenvectors / np.sqrt(eigenvalues + ZCA_EPSILON)) @ eigenvectors.T
    return np.ascontiguousarray(patches @ whitening, dtype=np.float32)


@functools.cache
def unit_patches():
    """280,000 random 8x8x3 patches, each with its mean removed and scaled to unit length:
    280,000 x 192. Flat patches (every value equal: no direction) are drawn again."""
    def has_contrast(rows):
        return np.ptp(rows, axis=1) > 0

    patches = sample_patches(8, 280_000, np.random.default_rng(PATCH_SEED + 1), keep=has_contrast)
    patches -= patches.mean(axis=1, keepdims=True)
    patches /= np.linalg.norm(patches, axis=1, keepdims=True)
    return patches.astype(np.float32)


@functools.cache
def digits():
    """scikit-learn's digits: 1,797 x 64, values 0-16."""
    from sklearn.datasets import load_digits

    return load_digits().data.astype(np.float32)


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    data: Callable[[], np.ndarray]
    k: int
    euclidean: bool = True
    # Trainings of milliseconds: more runs, for a median that holds still.
    min_repeats: int = 1


WORKLOADS = (
    Workload("R1", "colour quantisation: pixels of {photos}", pixels, 16),
    Workload("R2", "colour quantisation: pixels of {photos}", pixels, 64),
    Workload("R3", "colour quantisation: pixels of {photos}", pixels, 256),
    Workload("R4", "whitened 6x6x3 patches (Coates & Ng) of {photos}", whitened_patches, 1600),
    Workload("R5", "unit-length 8x8x3 patches of {photos}", unit_patches, 1024, euclidean=False),
    Workload("R6", "digits", digits, 10, min_repeats=15),
    Workload("R7", "digits", digits, 64, min_repeats=15),
)

MATRICES = {"pixels": pixels, "whitened_patches": whitened_patches, "unit_patches": unit_patches, "digits": digits}


def cluster_sums(data, labels):
    """Per label (0..max), the number of members and the float64 sum of their rows."""
    order = np.argsort(labels, kind="stable")
    present, starts, counts = np.unique(labels[order], return_index=True, return_counts=True)
    sums = np.zeros((int(present[-1]) + 1, data.shape[1]))
    sums[present] = np.add.reduceat(data[order].astype(np.float64), starts, axis=0)
    sizes = np.zeros(len(sums), dtype=np.int64)
    sizes[present] = counts
    return sizes, sums


def final_cost(data, labels, euclidean, chunk=1 << 16):
    """One clustering's cost from its labels alone, the same for every library, in float64:
    the mean squared distance of each point to its cluster's mean, or, for the inner
    product, the mean of x . c with c the unit-length mean of x's cluster (higher is better)."""
    labels = np.asarray(labels, dtype=np.int64).ravel()
    sizes, sums = cluster_sums(data, labels)
    if euclidean:
        centres = sums / np.maximum(sizes, 1)[:, None]
    else:
        centres = sums / np.maximum(np.linalg.norm(sums, axis=1), np.finfo(np.float64).tiny)[:, None]
    total = 0.0
    for start in range(0, len(data), chunk):
        rows = data[start:start + chunk].astype(np.float64)
        nearest = centres[labels[start:start + chunk]]
        if euclidean:
            diff = rows - nearest
            total += float(np.einsum("ij,ij->", diff, diff))
        else:
            total += float(np.einsum("ij,ij->", rows, nearest))
    return total / len(data)


@dataclass(frozen=True)
class Trained:
    """One library's finished training: its labels, read after the timing, and where the
    library may stop early (scikit-learn's Lloyd does once no label changes) the number
    of iterations it ran."""
    labels: Callable[[], np.ndarray]
    iterations: int | None = None


def labels_from_lists(lists, n):
    labels = np.empty(n, dtype=np.int64)
    for cluster, members in enumerate(lists):
        labels[members] = cluster
    return labels


PEER_TITLES = {"faiss": "faiss-cpu", "sklearn": "scikit-learn", "sklearnex": "scikit-learn-intelex"}


def table(workloads, trainers, alternate, repeats, iterations=ITERATIONS):
    """The real-data table's lines. `trainers(euclidean)` names the libraries that have
    that k-means, each a function (data, k, iterations, euclidean) -> Trained; they run
    alternating through `alternate(runners, repeats)`; each cell holds the median time
    and the median of the runs' costs."""
    yield ("| workload | plovek (s) | plovek cost | "
           + " | ".join(f"{title} (s, plovek/peer; cost)" for title in PEER_TITLES.values()) + " | notes |")
    yield "|---" * (4 + len(PEER_TITLES)) + "|"
    for workload in workloads:
        yield workload_row(workload, trainers(workload.euclidean), alternate, repeats, iterations)


def workload_row(workload, trainers, alternate, repeats, iterations):
    data, k, euclidean = workload.data(), workload.k, workload.euclidean
    runs = {name: [] for name in trainers}

    def runner(name):
        return lambda: runs[name].append(trainers[name](data, k, iterations, euclidean))

    times = alternate({name: runner(name) for name in trainers}, max(repeats, workload.min_repeats))
    costs = {name: statistics.median(final_cost(data, run.labels(), euclidean) for run in results)
             for name, results in runs.items()}
    metric = "sq. Euclidean" if euclidean else "inner product (cost: higher is better)"
    title = workload.title.format(photos=photographs_title())
    cells = [f"{workload.name}: {title}, n={len(data):,} d={data.shape[1]} k={k} {metric}, {iterations} it",
             f"{times['plovek']:.3f}", f"{costs['plovek']:.6g}"]
    for name in PEER_TITLES:
        cells.append(f"{times[name]:.3f} ({times['plovek'] / times[name]:.2f}x); {costs[name]:.6g}"
                     if name in times else "-")
    cells.append("; ".join(early_stops(runs, iterations)))
    return "| " + " | ".join(cells) + " |"


def early_stops(runs, iterations):
    for name, results in runs.items():
        ran = [run.iterations for run in results if run.iterations is not None and run.iterations < iterations]
        if ran:
            spread = f"{min(ran)}" if min(ran) == max(ran) else f"{min(ran)}-{max(ran)}"
            yield f"{PEER_TITLES[name]} stopped early ({len(ran)} of {len(results)} runs, after {spread} iterations)"


def save_npy(directory):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for name, build in MATRICES.items():
        matrix = build()
        np.save(directory / f"{name}.npy", np.ascontiguousarray(matrix, dtype=np.float32))
        print(f"{directory / name}.npy: {matrix.shape[0]} x {matrix.shape[1]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--save-npy", metavar="DIR", required=True,
                        help="write " + ", ".join(f"{name}.npy" for name in MATRICES) + " into DIR")
    parser.add_argument("--photographs", choices=PHOTOGRAPH_SETS, default="sklearn",
                        help="the photographs to build from (sklearn: china.jpg and flower.jpg)")
    args = parser.parse_args()
    use_photographs(args.photographs)
    save_npy(args.save_npy)


if __name__ == "__main__":
    main()
