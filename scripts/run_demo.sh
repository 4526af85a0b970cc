#!/usr/bin/env bash
# Builds and installs plovek, then clusters scikit-learn's bundled handwritten digits and
# draws the clusters (examples/digits_demo.png).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q '.[demo]'
python3 examples/digits_demo.py "$@"
