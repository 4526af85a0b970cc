"""Clustering scikit-learn's bundled handwritten digits with plovek.

Runs plain, balanced and medoid k-means (k=10, squared Euclidean distance) on the
1797 8x8 digit images that ship inside scikit-learn (nothing is downloaded), and
reports for each run the cluster sizes, the cost (mean squared distance of a point
to its assigned centroid), the time taken and how well the clusters agree with the
true digit labels. The ten medoids of the medoid run are written as a PNG picture.

    python examples/digits_demo.py [--out examples/medoid_digits.png] [--threads N]
"""

import argparse
import struct
import time
import zlib
from pathlib import Path

import numpy as np
from sklearn.datasets import load_digits
from sklearn.metrics import adjusted_rand_score

import plovek

K = 10


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


def png_chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_grayscale_png(path, pixels):
    """Writes a 2-D uint8 array as an 8-bit grayscale PNG."""
    height, width = pixels.shape
    rows = b"".join(b"\x00" + pixels[y].tobytes() for y in range(height))  # filter type 0 per row
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(rows, 9))
    png += png_chunk(b"IEND", b"")
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(png)


def medoid_picture(images, scale=8, margin=4):
    """Tiles 8x8 images (values 0..16) side by side, dark ink on a white background."""
    tile = 8 * scale
    width = len(images) * (tile + margin) + margin
    canvas = np.full((tile + 2 * margin, width), 255, dtype=np.uint8)
    for i, image in enumerate(images):
        ink = np.kron(np.asarray(image, dtype=np.float64).reshape(8, 8), np.ones((scale, scale)))
        x = margin + i * (tile + margin)
        canvas[margin:margin + tile, x:x + tile] = (255 - np.clip(ink, 0, 16) * (255 / 16)).astype(np.uint8)
    return canvas


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="examples/medoid_digits.png", help="where to write the medoid picture")
    parser.add_argument("--threads", type=int, default=None, help="worker threads (default: all cores)")
    parser.add_argument("--iterations", type=int, default=25)
    args = parser.parse_args()

    digits = load_digits()
    data = np.ascontiguousarray(digits.data, dtype=np.float32)
    truth = digits.target
    print(f"{len(data)} digit images of {data.shape[1]} pixels, {K} clusters, plovek {plovek.__version__}\n")

    # Builders copy the trained state too, so every model is derived before any training.
    base = plovek.KMeans(K).with_euclidean(True).with_iterations(args.iterations)
    balanced = base.with_balanced(True)
    medoid_model = base.with_use_medoids(True)
    # The worker pool is sized once per process: only the first training passes a count.
    run("plain k-means", base, data, truth, args.threads)
    run("balanced k-means (max size spread 16)", balanced, data, truth, None)
    labels = run("k-medoids", medoid_model, data, truth, None)

    medoids = medoid_model.medoid_indices
    majority = [int(np.bincount(truth[labels == c]).argmax()) if np.any(labels == c) else -1 for c in range(K)]
    print("medoid rows      ", medoids)
    print("medoid digits    ", [int(truth[i]) for i in medoids])
    print("cluster majority ", majority)
    write_grayscale_png(args.out, medoid_picture(data[medoids]))
    print(f"\nwrote {args.out}")


if __name__ == "__main__":
    main()
