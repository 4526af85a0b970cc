"""Clustering scikit-learn's bundled handwritten digits with plovek.

Runs plain, balanced and medoid k-means (k=10, squared Euclidean distance) on the
1797 8x8 digit images that ship inside scikit-learn (nothing is downloaded), and
reports for each run the cluster sizes, the cost (mean squared distance of a point
to its assigned centroid), the time taken and how well the clusters agree with the
true digit labels. One picture shows the ten medoids of the medoid run and a 2-D PCA
projection of the digits coloured by cluster for the plain and the balanced run.

    python examples/digits_demo.py [--out examples/digits_demo.png] [--threads N]
"""

import argparse
import time
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure  # saved through Agg: no display or pyplot state needed
from scipy.optimize import linear_sum_assignment
from sklearn.datasets import load_digits
from sklearn.decomposition import PCA
from sklearn.metrics import adjusted_rand_score

import plovek

K = 10
MAX_SPREAD = 16


def labels_from_clusters(clusters, n):
    labels = np.empty(n, dtype=np.int64)
    for c, members in enumerate(clusters):
        labels[members] = c
    return labels


def cost(data, centroids, labels):
    """Mean squared Euclidean distance of every point to its assigned centroid."""
    diff = data.astype(np.float64) - centroids.astype(np.float64)[labels]
    return float((diff * diff).sum(axis=1).mean())


def purity(labels, truth):
    """Share of points whose digit is the most common digit of their cluster."""
    hits = sum(np.bincount(truth[labels == c]).max() for c in np.unique(labels))
    return hits / len(truth)


def majority_digits(labels, truth):
    """The most common true digit of each cluster (-1 for an empty one)."""
    return [int(np.bincount(truth[labels == c]).argmax()) if np.any(labels == c) else -1 for c in range(K)]


def match_labels(labels, reference):
    """Renumbers the clusters one-to-one after the reference clusters they share most points with,
    so that both runs' panels colour the same group of digits alike."""
    overlap = np.zeros((K, K), dtype=np.int64)
    np.add.at(overlap, (labels, reference), 1)
    _, renumbered = linear_sum_assignment(-overlap)
    return renumbered[labels]


def run(name, model, data, truth, num_threads):
    start = time.perf_counter()
    clusters = model.train(data, num_threads)
    elapsed = time.perf_counter() - start
    labels = labels_from_clusters(clusters, len(data))
    print(f"{name}:")
    print(f"  sizes    {sorted((len(m) for m in clusters), reverse=True)}")
    print(f"  cost     {cost(data, model.centroids, labels):.3f}")
    print(f"  time     {elapsed * 1000:.1f} ms")
    print(f"  purity   {purity(labels, truth):.3f}")
    print(f"  ARI      {adjusted_rand_score(truth, labels):.3f}\n")
    return labels


def draw_medoids(panel, images, digits, sizes):
    panel.suptitle("k-medoids: the ten medoid images, by the digit they show", weight="bold")
    for ax, c in zip(panel.subplots(1, K), np.argsort(digits, kind="stable")):
        ax.imshow(images[c].reshape(8, 8), cmap="gray_r", vmin=0, vmax=16)
        ax.set_title(f"digit {digits[c]}\n{sizes[c]} members", fontsize=9)
        ax.set_axis_off()


def draw_clusters(ax, projected, labels, truth, title):
    """Scatter of the projected digits by cluster, each cluster marked with its majority digit."""
    ax.scatter(*projected.T, c=labels, cmap="tab10", vmin=-0.5, vmax=K - 0.5, s=6, alpha=0.7, linewidths=0)
    for c, digit in enumerate(majority_digits(labels, truth)):
        if digit >= 0:
            x, y = projected[labels == c].mean(axis=0)
            ax.text(x, y, str(digit), fontsize=12, weight="bold", ha="center", va="center",
                    bbox={"boxstyle": "circle,pad=0.2", "facecolor": "white", "alpha": 0.8})
    sizes = np.bincount(labels, minlength=K)
    ax.set_title(f"{title}\ncluster sizes {sizes.min()} to {sizes.max()}: spread {sizes.max() - sizes.min()}")


def draw_picture(path, data, truth, medoids, medoid_labels, pca, panels):
    """One figure: the medoid row on top, one PCA scatter per (title, labels) entry of panels."""
    figure = Figure(figsize=(12, 7.5), layout="constrained")
    top, bottom = figure.subfigures(2, 1, height_ratios=[1, 4])
    draw_medoids(top, data[medoids], truth[medoids], np.bincount(medoid_labels, minlength=K))
    variance = pca.explained_variance_ratio_.sum()
    bottom.suptitle(f"All digits on their first two principal components ({variance:.0%} of the variance), "
                    "coloured by cluster;\neach cluster is marked with its most common digit", weight="bold")
    projected = pca.transform(data)
    axes = bottom.subplots(1, len(panels), sharex=True, sharey=True)
    for ax, (title, labels) in zip(axes, panels):
        draw_clusters(ax, projected, labels, truth, title)
        ax.set_xlabel("principal component 1")
    axes[0].set_ylabel("principal component 2")
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="examples/digits_demo.png", help="where to write the picture")
    parser.add_argument("--threads", type=int, default=None, help="worker threads (default: all cores)")
    parser.add_argument("--iterations", type=int, default=25)
    args = parser.parse_args()

    digits = load_digits()
    data = np.ascontiguousarray(digits.data, dtype=np.float32)
    truth = digits.target
    print(f"{len(data)} digit images of {data.shape[1]} pixels, {K} clusters, plovek {plovek.__version__}\n")

    # Builders copy the trained state too, so every model is derived before any training.
    base = plovek.KMeans(K).with_euclidean(True).with_iterations(args.iterations)
    balanced = base.with_balanced(True).with_max_balance_diff(MAX_SPREAD)
    medoid_model = base.with_use_medoids(True)
    # The worker pool is sized once per process: only the first training passes a count.
    plain_labels = run("plain k-means", base, data, truth, args.threads)
    balanced_title = f"balanced k-means (max size spread {MAX_SPREAD})"
    balanced_labels = run(balanced_title, balanced, data, truth, None)
    labels = run("k-medoids", medoid_model, data, truth, None)

    medoids = medoid_model.medoid_indices
    print("medoid rows      ", medoids)
    print("medoid digits    ", [int(truth[i]) for i in medoids])
    print("cluster majority ", majority_digits(labels, truth))

    pca = PCA(n_components=2).fit(data)
    print(f"\nPCA: the first two components keep {pca.explained_variance_ratio_.sum():.1%} of the variance")
    panels = [("plain k-means", plain_labels), (balanced_title, match_labels(balanced_labels, plain_labels))]
    draw_picture(args.out, data, truth, medoids, labels, pca, panels)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
