"""Times two builds of plovek against each other on the benchmark's workloads.

Run: python bench/compare_builds.py OLD_DIR NEW_DIR [--only L1,L2] [--rounds 5]
Each directory holds a built module (for example a CMake build with
-DPLOVEK_BUILD_PYTHON=ON). The builds alternate, one run_bench.py process per workload,
build and round, so that the machine's slow moments fall on both; the table gives each
workload's median plovek time per build and their ratio.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).with_name("run_bench.py")
ROW = re.compile(r"^\| (?P<name>[A-Z0-9]+[a-z]?): [^|]*\| (?P<seconds>[0-9.]+) \|", re.M)


def run_once(build, workload, peak):
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    out = subprocess.run([sys.executable, str(BENCH), "--only", workload, "--repeats", "1", "--peak", str(peak),
                          "--plovek-only"],
                         env=env, capture_output=True, text=True, check=True).stdout
    return {m["name"]: float(m["seconds"]) for m in ROW.finditer(out)}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--only", default="L1,L2,L3,M1,B1,A1")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    times = {}
    for workload in args.only.split(","):
        for _ in range(args.rounds):
            for build in ("old", "new"):
                for name, seconds in run_once(getattr(args, build), workload, peak=300).items():
                    times.setdefault(name, {"old": [], "new": []})[build].append(seconds)
    print("| workload | old (s) | new (s) | new/old |")
    print("|---|---|---|---|")
    for name, by_build in times.items():
        old, new = (statistics.median(by_build[b]) for b in ("old", "new"))
        print(f"| {name} | {old:.3f} | {new:.3f} | {new / old:.3f} |")


if __name__ == "__main__":
    main()
