#!/usr/bin/env bash
# Builds and installs plovek, then clusters scikit-learn's bundled handwritten digits and
# draws the clusters (examples/digits_demo.png).
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

# pip's own lines (and its spinner while the wheel builds) show that the build moves on;
# the C++ compiler's output stays hidden unless pip runs with -v.
step "Installing plovek and the demo's dependencies (scikit-learn, matplotlib) into $(command -v python3);" \
     "compiling the C++ engine takes about 1.5 minutes on 2 cores"
python3 -m pip install --disable-pip-version-check '.[demo]'
step "Clustering scikit-learn's digits (examples/digits_demo.py)"
python3 examples/digits_demo.py "$@"
