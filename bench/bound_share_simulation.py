"""Share of the point-centroid distances that exact bounds leave to measure, when a bound
is made exact again only where it is measured (float64, no rounding slack).

Bounds are recorded by a full search at iteration R; from then on, in every iteration:
- groups-path: per point and group of W centroids (nearby centroids together) a lower
  bound, moved by the group's largest drift each iteration; a group whose bound falls
  below the point's own distance is searched whole and its bound made exact (the
  scheme training uses);
- groups-displacement: the same, moved instead by the group's largest displacement
  since the bound was made exact (needs the time of each bound);
- panel-elkan: a lower bound per centroid moved by its own drift; a group of W is
  searched whole where any member's bound fails (O(n k) bounds);
- elkan: the same bounds, only the failing centroids measured, one by one.
Every scheme also measures each point's own centroid. Run:
  python bench/bound_share_simulation.py [centre_scale=0.5] [R=8] [W=16] [n=40000]
"""
import sys

import numpy as np


def blobs(n, d, k, centre_scale, rng):
    centres = rng.normal(size=(k, d)) * centre_scale
    return centres[rng.integers(0, k, n)] + rng.normal(size=(n, d))


def balanced_groups(c, width, rng):
    """Groups of `width` nearby centroids: a few Lloyd steps from random seeds, then each
    centroid to its nearest group with room, nearest pairs first."""
    k, g = len(c), len(c) // width
    seeds = c[rng.choice(k, g, replace=False)]
    for _ in range(5):
        near = ((c[:, None] - seeds[None]) ** 2).sum(2).argmin(1)
        seeds = np.array([c[near == h].mean(0) if (near == h).any() else seeds[h] for h in range(g)])
    cost = ((c[:, None] - seeds[None]) ** 2).sum(2)
    group, room = np.full(k, -1), np.full(g, width)
    for flat in np.argsort(cost, axis=None):
        j, h = divmod(flat, g)
        if group[j] < 0 and room[h] > 0:
            group[j], room[h] = h, room[h] - 1
    return group


def simulate(x, k, record_at, width, iterations=25, seed=1):
    rng = np.random.default_rng(seed)
    n, rows = len(x), np.arange(len(x))
    c = x[rng.choice(n, k, replace=False)].copy()
    norms = (x * x).sum(1)
    shares = {name: [] for name in ("groups-path", "groups-displacement", "panel-elkan", "elkan")}
    history = []
    for it in range(iterations):
        dist = np.sqrt(np.maximum(norms[:, None] - 2 * x @ c.T + (c * c).sum(1)[None], 0))
        history.append(c.copy())
        if it == record_at:
            group = balanced_groups(c, width, rng)
            member = np.eye(k // width, dtype=bool)[group]  # centroid x group
        if it > record_at:
            own = dist[rows, label]
            need_path = group_lower - group_drift[None] < own[:, None]
            displacement = np.sqrt(((c[None] - np.array(history)[:, :]) ** 2).sum(2))  # time x centroid
            group_displacement = np.stack([np.where(in_group, displacement, 0).max(1) for in_group in member.T], 1)
            need_disp = exact_lower - group_displacement[exact_time, np.arange(member.shape[1])] < own[:, None]
            centroid_lower = lower - drift[None]
            centroid_lower[rows, label] = np.inf
            fails = centroid_lower < own[:, None]
            need_panel = fails @ member > 0
            for name, need in (("groups-path", need_path), ("groups-displacement", need_disp), ("panel-elkan", need_panel)):
                shares[name].append((n + need.sum() * width) / (n * k))
            shares["elkan"].append((n + fails.sum()) / (n * k))
        label = dist.argmin(1)
        others = dist.copy()
        others[rows, label] = np.inf
        exact = np.stack([others[:, member[:, h]].min(1) for h in range(member.shape[1])], 1) if it >= record_at else None
        if it == record_at:
            group_lower, exact_lower, lower = exact, exact.copy(), dist.copy()
            exact_time = np.full(exact.shape, it)
        elif it > record_at:
            group_lower = np.where(need_path, exact, group_lower - group_drift[None])
            exact_lower = np.where(need_disp, exact, exact_lower)
            exact_time = np.where(need_disp, it, exact_time)
            lower = np.where(need_panel[:, group], dist, centroid_lower)
            lower[rows, label] = dist[rows, label]
        sums, counts = np.zeros_like(c), np.bincount(label, minlength=k)
        np.add.at(sums, label, x)
        moved = np.where(counts[:, None] > 0, sums / np.maximum(counts, 1)[:, None], c)
        drift = np.sqrt(((moved - c) ** 2).sum(1))
        c = moved
        if it >= record_at:
            group_drift = np.array([drift[member[:, h]].max() for h in range(member.shape[1])])
    return shares


if __name__ == "__main__":
    defaults = (0.5, 8, 16, 40000)
    given = sys.argv[1:] + [None] * (len(defaults) - len(sys.argv[1:]))
    scale, record_at, width, n = (type(d)(g) if g else d for d, g in zip(defaults, given))
    x = blobs(n, 64, 256, scale, np.random.default_rng(0))
    for name, values in simulate(x, 256, record_at, width).items():
        print(f"{name:20s} mean {np.mean(values):.3f}:", " ".join(f"{v:.2f}" for v in values))
