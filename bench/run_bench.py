"""Benchmarks plovek against the libraries users would otherwise pick.

Run: python bench/run_bench.py [--only R1,L1,L2,...] [--repeats N] [--peak GFLOPS] [--plovek-only]
    [--photographs nine]
(a short check: --only L1 --repeats 1). Prints Markdown tables: the real data first
(bench/real_data.py, with each run's cost), then the blobs. Every workload runs
with 2 threads everywhere; plovek and its peers alternate, and each time is the median
of --repeats runs. The rate column counts the work of a full search (2 n k d per
assignment) over the time taken: where the bounds skip distances it exceeds what the
arithmetic could do, and its share of the sgemm peak can pass 100%.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

THREADS = 2
# Off with --plovek-only: the peers are not run (for comparing two builds of plovek).
PEERS = True
# Thread counts must be fixed before NumPy, faiss or scikit-learn start their pools.
os.environ.setdefault("RAYON_NUM_THREADS", str(THREADS))
os.environ.setdefault("OMP_NUM_THREADS", str(THREADS))
os.environ.setdefault("OPENBLAS_NUM_THREADS", str(THREADS))


def openblas_core_override():
    """The core for every OpenBLAS where one of those loaded does not know this CPU.

    An older OpenBLAS (faiss-cpu 1.15's bundled 0.3.15) falls back to its generic Prescott
    kernels on a CPU it does not know (Intel's Emerald Rapids, model 207): R4's faiss run
    took 77 s that way and 20 s with the core named. The newest OpenBLAS loaded
    names the core. Read in a child process, before any library here loads one; None where
    nothing needs overriding.
    """
    code = (
        "import json, importlib\n"
        "for m in ('numpy', 'sklearn.cluster', 'faiss'):\n"
        "    try: importlib.import_module(m)\n"
        "    except ImportError: pass\n"
        "import threadpoolctl\n"
        "print(json.dumps([(i.get('version') or '', i.get('architecture') or '') for i in "
        "threadpoolctl.threadpool_info() if i.get('internal_api') == 'openblas']))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    cores = json.loads(out.stdout)
    known = [(tuple(int(p) for p in v.split(".") if p.isdigit()), arch) for v, arch in cores if arch != "Prescott"]
    if not known or len(known) == len(cores):
        return None
    return max(known)[1]


if "OPENBLAS_CORETYPE" not in os.environ:
    OPENBLAS_CORE = openblas_core_override()
    if OPENBLAS_CORE:
        os.environ["OPENBLAS_CORETYPE"] = OPENBLAS_CORE
else:
    OPENBLAS_CORE = None

import numpy as np  # noqa: E402

import plovek  # noqa: E402
import real_data  # noqa: E402


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def alternate(runners, repeats):
    """Times each named runner `repeats` times, interleaved; returns medians."""
    times = {name: [] for name in runners}
    for _ in range(repeats):
        for name, fn in runners.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def measure_peak_gflops():
    """A large square sgemm in a child process, with OpenBLAS's core overrides unset."""
    env = dict(os.environ)
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    code = (
        "import numpy as np, time\n"
        "n = 4096\n"
        "a = np.random.rand(n, n).astype(np.float32); b = np.random.rand(n, n).astype(np.float32)\n"
        "a @ b\n"
        "best = min((lambda s: (a @ b, time.perf_counter() - s)[1])(time.perf_counter()) for _ in range(5))\n"
        "print(2 * n**3 / best / 1e9)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def blobs(n, d, k, seed=0, centre_scale=4):
    rng = np.random.default_rng(seed)
    centers = rng.normal(size=(k, d)).astype(np.float32) * centre_scale
    labels = rng.integers(0, k, size=n)
    return (centers[labels] + rng.normal(size=(n, d)).astype(np.float32)).astype(np.float32)


def sq_cost(data, lists_or_labels, centroids):
    if isinstance(lists_or_labels, list):
        labels = real_data.labels_from_lists(lists_or_labels, len(data))
    else:
        labels = np.asarray(lists_or_labels).ravel()
    diff = data - centroids[labels]
    return float(np.einsum("ij,ij->", diff, diff) / len(data))


def plovek_train(data, k, iterations, euclidean=True, medoids=False, balanced=False, max_diff=16):
    km = plovek.KMeans(k).with_iterations(iterations).with_euclidean(euclidean)
    km = km.with_use_medoids(medoids).with_balanced(balanced).with_max_balance_diff(max_diff)
    lists = km.train(data, None)
    return km, lists


def balance_iterations(data, k, iterations, max_diff, euclidean=False):
    """The number of balance iterations of one balanced training, counted from its progress lines
    (written by the engine to file descriptor 1, which is captured for the call)."""
    km = plovek.KMeans(k).with_iterations(iterations).with_balanced(True).with_max_balance_diff(max_diff)
    km = km.with_euclidean(euclidean).with_verbose(True)
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as captured:
        os.dup2(captured.fileno(), 1)
        try:
            km.train(data, None)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        captured.seek(0)
        return captured.read().decode().count("Balance iteration ")


def faiss_train(data, k, iterations, spherical=False, subsample=False):
    """faiss's k-means; with subsample, its default of training on at most 256 points per centroid."""
    import faiss

    faiss.omp_set_num_threads(THREADS)
    limit = {} if subsample else {"max_points_per_centroid": 10**9}
    km = faiss.Kmeans(data.shape[1], k, niter=iterations, spherical=spherical, seed=int(time.time()) & 0xFFFF,
                      **limit)
    km.train(data)
    return km


def sklearn_train(data, k, iterations, intelex=False):
    """scikit-learn's Lloyd; with intelex, scikit-learn-intelex's (oneDAL's) under the same settings."""
    if intelex:
        from sklearnex.cluster import KMeans
    else:
        from sklearn.cluster import KMeans

    model = KMeans(n_clusters=k, init="random", n_init=1, max_iter=iterations, tol=0.0, algorithm="lloyd")
    return fit_on_onedal(model, data) if intelex else model.fit(data)


def fit_on_onedal(model, data):
    """Fits a scikit-learn-intelex model, refusing a fit that fell back to stock scikit-learn:
    only oneDAL's fit leaves the model its `_onedal_estimator`."""
    import daal4py

    daal4py.daalinit(THREADS)
    model.fit(data)
    if not hasattr(model, "_onedal_estimator"):
        raise RuntimeError("scikit-learn-intelex fell back to stock scikit-learn: no oneDAL k-means was timed")
    return model


def row(name, plovek_s, peers, flops=None, peak=None, note=""):
    cells = [name, f"{plovek_s:.3f}"]
    for peer_name in ("faiss", "sklearn"):
        peer = peers.get(peer_name)
        cells.append(f"{peer:.3f} ({plovek_s / peer:.2f}x)" if peer else "-")
    if flops and peak:
        gflops = flops / plovek_s / 1e9
        cells.append(f"{gflops:.0f} ({100 * gflops / peak:.0f}%)")
    else:
        cells.append("-")
    cells.append(note)
    return "| " + " | ".join(cells) + " |"


def workload_lloyd(name, n, d, k, iterations, euclidean, repeats, peak, centre_scale=4, faiss_defaults=False,
                   with_sklearn=True):
    data = blobs(n, d, k, centre_scale=centre_scale)
    if not euclidean:
        data /= np.linalg.norm(data, axis=1, keepdims=True)
    runners = {"plovek": lambda: plovek_train(data, k, iterations, euclidean=euclidean)}
    # A one-iteration run does everything but iterations - 1 rounds of the loop: the
    # difference is those rounds alone, whose work is the assignment kernel's (plus the
    # fused mean update).
    runners["plovek_one_round"] = lambda: plovek_train(data, k, 1, euclidean=euclidean)
    if PEERS:
        runners["faiss"] = lambda: faiss_train(data, k, iterations, spherical=not euclidean)
    if PEERS and faiss_defaults:
        runners["faiss_defaults"] = lambda: faiss_train(data, k, iterations, spherical=not euclidean, subsample=True)
    if PEERS and euclidean and with_sklearn:
        runners["sklearn"] = lambda: sklearn_train(data, k, iterations)
    times = alternate(runners, repeats)
    # Rates count a full search's work: the bounds skip much of it.
    flops = 2.0 * n * k * d * (iterations + 1)
    loop_gflops = 2.0 * n * k * d * (iterations - 1) / (times["plovek"] - times.pop("plovek_one_round")) / 1e9
    note = f"iteration loop {loop_gflops:.0f} GFLOP/s of full-search work ({100 * loop_gflops / peak:.0f}% of peak)"
    if "faiss_defaults" in times:
        defaults = times.pop("faiss_defaults")
        note += f"; faiss with its defaults (a sample of 256 points per centroid) {defaults:.3f} s"
    metric = "sq. Euclidean" if euclidean else "inner product"
    return row(f"{name}: n={n:,} d={d} k={k} {metric}, {iterations} it", times.pop("plovek"), times, flops, peak,
               note)


def workload_medoids(name, n, d, k, repeats):
    data = blobs(n, d, k)
    times = alternate({
        "plain": lambda: plovek_train(data, k, 25),
        "medoids": lambda: plovek_train(data, k, 25, medoids=True),
    }, repeats)
    return row(f"{name}: medoids, n={n:,} d={d} k={k}", times["medoids"], {},
               note=f"plain run {times['plain']:.3f} s; ratio {times['medoids'] / times['plain']:.2f}x")


def workload_balanced_medoids(repeats):
    data = blobs(16_000, 16, 8)
    times = alternate({
        "euclidean": lambda: plovek_train(data, 8, 25, medoids=True, balanced=True),
        "inner": lambda: plovek_train(data, 8, 25, euclidean=False, medoids=True, balanced=True),
    }, repeats)
    return row("B2: balanced + medoids, n=16,000 d=16 k=8", times["euclidean"], {},
               note=f"inner product {times['inner']:.3f} s")


def workload_balanced(repeats):
    data = blobs(100_000, 32, 100)
    times = alternate({
        "plain": lambda: plovek_train(data, 100, 25),
        "balanced": lambda: plovek_train(data, 100, 25, balanced=True, max_diff=1),
    }, repeats)
    km, lists = plovek_train(data, 100, 25, balanced=True, max_diff=1)
    sizes = [len(m) for m in lists]
    rounds = balance_iterations(data, 100, 25, 1)
    lines = [row("B1: balanced, n=100,000 d=32 k=100, max diff 1", times["balanced"], {},
                 note=f"plain {times['plain']:.3f} s; ratio {times['balanced'] / times['plain']:.2f}x; "
                      f"{rounds} balance iterations; sizes {min(sizes)}..{max(sizes)}; "
                      f"cost {sq_cost(data, lists, km.centroids):.3f}")]
    try:
        from k_means_constrained import KMeansConstrained
    except ImportError:
        return lines
    if not PEERS:
        small = blobs(10_000, 16, 50, seed=1)
        lines.append(row("B1b: balanced, n=10,000 d=16 k=50",
                         median_time(lambda: plovek_train(small, 50, 25, balanced=True, max_diff=1), max(repeats, 15)),
                         {}))
        return lines
    small = blobs(10_000, 16, 50, seed=1)
    size = len(small) // 50
    results = {}

    def run_plovek():
        results["plovek"] = plovek_train(small, 50, 25, balanced=True, max_diff=1)

    def run_constrained():
        results["constrained"] = KMeansConstrained(n_clusters=50, size_min=size, size_max=size, n_init=1,
                                                   max_iter=25, n_jobs=THREADS).fit(small)

    # The peer takes seconds per run: fewer repeats of it; plovek's runs take
    # milliseconds and vary with the random seeding, so more of them.
    plovek_s = median_time(run_plovek, max(repeats, 15))
    peer_s = median_time(run_constrained, min(repeats, 3))
    km_small, lists_small = results["plovek"]
    constrained = results["constrained"]
    lines.append(row("B1b: balanced, n=10,000 d=16 k=50", plovek_s, {}, note=(
        f"k-means-constrained {peer_s:.2f} s ({peer_s / plovek_s:.0f}x slower); "
        f"{balance_iterations(small, 50, 25, 1)} balance iterations; cost plovek "
        f"{sq_cost(small, lists_small, km_small.centroids):.3f} vs "
        f"{sq_cost(small, constrained.labels_, constrained.cluster_centers_):.3f}")))
    return lines


def workload_balanced_ratio(name, n, d, k, euclidean, max_diff, repeats):
    """Balanced against plain training on the same data, alternating: what the balancing phase adds."""
    data = blobs(n, d, k)
    if not euclidean:
        data /= np.linalg.norm(data, axis=1, keepdims=True)
    times = alternate({
        "plain": lambda: plovek_train(data, k, 25, euclidean=euclidean),
        "balanced": lambda: plovek_train(data, k, 25, euclidean=euclidean, balanced=True, max_diff=max_diff),
    }, repeats)
    rounds = balance_iterations(data, k, 25, max_diff, euclidean=euclidean)
    metric = "sq. Euclidean" if euclidean else "inner product"
    return row(f"{name}: balanced, n={n:,} d={d} k={k} {metric}, max diff {max_diff}", times["balanced"], {},
               note=f"plain {times['plain']:.3f} s; ratio {times['balanced'] / times['plain']:.2f}x; "
                    f"{rounds} balance iterations")


def workload_assign(repeats, peak):
    import faiss

    faiss.omp_set_num_threads(THREADS)
    data = blobs(1_000_000, 64, 256)
    km, _ = plovek_train(data[:100_000], 256, 5)
    index = faiss.IndexFlatL2(64)
    index.add(km.centroids)
    runners = {"plovek": lambda: km.assign(data, 4)}
    if PEERS:
        runners["faiss"] = lambda: index.search(data, 4)
    times = alternate(runners, repeats)
    flops = 2.0 * 1_000_000 * 256 * 64
    return row("A1: assign(data, 4), n=1,000,000 d=64, 256 clusters", times.pop("plovek"), times, flops, peak)


def workload_memory(name, n, d, k, iterations):
    # Peak RSS (VmHWM) of a child process. A forked child starts with its parent's
    # high-water mark, so the mark is reset first (writing 5 to clear_refs).
    code = (
        "import json, numpy as np, plovek\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'): return int(line.split()[1])\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "base = peak()\n"
        f"data = np.random.default_rng(0).standard_normal(({n}, {d}), dtype=np.float32)\n"
        "after_data = peak()\n"
        f"plovek.KMeans({k}).with_iterations({iterations}).with_euclidean(True).train(data, None)\n"
        "print(json.dumps([base, after_data, peak()]))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    base, after_data, peak = (v / 1024 for v in json.loads(out.stdout.strip().splitlines()[-1]))
    input_mb = n * d * 4 / 2**20
    limit = after_data + 0.1 * input_mb + 100
    return (f"| {name}: train on {n:,} x {d:,} float32, k={k}, {iterations} it | peak RSS {peak:.0f} MB | - | - | - | "
            f"input {input_mb:.0f} MB, before train {after_data:.0f} MB (interpreter+NumPy {base:.0f} MB), "
            f"train adds {peak - after_data:.0f} MB; limit input+10%+100 MB = {limit:.0f} MB |")


def real_data_trainers(euclidean):
    """The libraries that have a k-means of this metric, for the real-data workloads: each a
    function (data, k, iterations, euclidean) -> real_data.Trained, whose labels are read
    after the timing (faiss's by one more search)."""
    def plovek_run(data, k, iterations, euclidean):
        _, lists = plovek_train(data, k, iterations, euclidean=euclidean)
        return real_data.Trained(lambda: real_data.labels_from_lists(lists, len(data)))

    def faiss_run(data, k, iterations, euclidean):
        km = faiss_train(data, k, iterations, spherical=not euclidean)
        return real_data.Trained(lambda: km.index.search(data, 1)[1])

    def sklearn_run(intelex):
        def run(data, k, iterations, euclidean):
            model = sklearn_train(data, k, iterations, intelex=intelex)
            return real_data.Trained(lambda: model.labels_, model.n_iter_)
        return run

    trainers = {"plovek": plovek_run}
    if PEERS:
        trainers["faiss"] = faiss_run
    if PEERS and euclidean:
        trainers["sklearn"] = sklearn_run(False)
    if PEERS and euclidean and importlib.util.find_spec("sklearnex"):
        trainers["sklearnex"] = sklearn_run(True)
    return trainers


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3, help="runs per workload; the table gives medians (3)")
    parser.add_argument("--only", default="",
                        help="comma-separated workload names (R1-R7 on real data, L1,L1f,L2,L3,L4,W1,W2,M1,M2,B1,B2,A1,"
                             "MEM,MEMW; "
                             "B1 brings B1b)")
    parser.add_argument("--peak", type=float, help="sgemm peak in GFLOP/s (skips measuring it)")
    parser.add_argument("--plovek-only", action="store_true", help="run plovek alone, not its peers")
    parser.add_argument("--photographs", choices=real_data.PHOTOGRAPH_SETS, default="sklearn",
                        help="the photographs of R1-R5 (nine: scikit-learn's two and scikit-image's seven)")
    args = parser.parse_args()
    global PEERS
    PEERS = not args.plovek_only
    real_data.use_photographs(args.photographs)
    wanted = {w.strip().upper() for w in args.only.split(",") if w.strip()}

    def enabled(name):
        return not wanted or name.upper() in wanted

    peak = args.peak or measure_peak_gflops()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    print(f"Machine: {cpu}, {os.cpu_count()} cores; {THREADS} threads everywhere; "
          f"date {time.strftime('%Y-%m-%d')}; sgemm peak {peak:.0f} GFLOP/s"
          + (f"; OPENBLAS_CORETYPE={OPENBLAS_CORE} (an OpenBLAS loaded did not know this CPU)" if OPENBLAS_CORE else "")
          + "\n")
    real = [w for w in real_data.WORKLOADS if enabled(w.name)]
    if real:
        for line in real_data.table(real, real_data_trainers, alternate, args.repeats):
            print(line, flush=True)
        print()
    print("| workload | plovek (s) | faiss-cpu (s, plovek/faiss) | scikit-learn (s, plovek/sklearn) "
          "| plovek full-search work rate, GFLOP/s (% of sgemm peak) | notes |")
    print("|---|---|---|---|---|---|")
    r = args.repeats
    if enabled("L1"):
        print(workload_lloyd("L1", 200_000, 64, 256, 25, True, r, peak), flush=True)
    if enabled("L1f"):
        print(workload_lloyd("L1f", 200_000, 64, 256, 25, True, r, peak, centre_scale=0.5), flush=True)
    if enabled("L2"):
        print(workload_lloyd("L2", 1_000_000, 16, 16, 25, True, r, peak), flush=True)
    if enabled("L3"):
        print(workload_lloyd("L3", 200_000, 128, 1024, 25, False, r, peak), flush=True)
    if enabled("L4"):
        print(workload_lloyd("L4", 500_000, 64, 4096, 25, True, r, peak, faiss_defaults=True, with_sklearn=False),
              flush=True)
    # Rows far longer than their count: the time follows the arithmetic, not the row length.
    if enabled("W1"):
        print(workload_lloyd("W1", 200, 100_000, 10, 25, True, r, peak), flush=True)
    if enabled("W2"):
        print(workload_lloyd("W2", 20, 1_000_000, 10, 25, True, r, peak), flush=True)
    if enabled("M1"):
        print(workload_medoids("M1", 100_000, 32, 10, r), flush=True)
    if enabled("M2"):
        print(workload_medoids("M2", 1_000_000, 16, 4, r), flush=True)
    if enabled("B1"):
        for line in workload_balanced(r):
            print(line, flush=True)
    if enabled("B2"):
        print(workload_balanced_medoids(r), flush=True)
    if enabled("B3"):
        print(workload_balanced_ratio("B3", 200_000, 64, 256, True, 16, r), flush=True)
    if enabled("B4"):
        print(workload_balanced_ratio("B4", 200_000, 64, 256, True, 1, r), flush=True)
    if enabled("B5"):
        print(workload_balanced_ratio("B5", 500_000, 96, 1024, False, 16, r), flush=True)
    if enabled("A1"):
        print(workload_assign(r, peak), flush=True)
    if enabled("MEM"):
        print(workload_memory("MEM", 1_000_000, 128, 64, 3), flush=True)
    if enabled("MEMW"):
        print(workload_memory("MEMW", 20, 1_000_000, 10, 25), flush=True)


if __name__ == "__main__":
    main()
