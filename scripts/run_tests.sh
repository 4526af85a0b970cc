#!/usr/bin/env bash
# Builds and runs every test: the engine's GoogleTest suite (CTest), then the Python
# module's pytest suite against a freshly installed build.
set -euo pipefail
cd "$(dirname "$0")/.."

# The benchmark programs are built too, so that they keep compiling.
cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Release -DPLOVEK_BUILD_TESTS=ON -DPLOVEK_BUILD_BENCH=ON
cmake --build build/cpp -j 2
ctest --test-dir build/cpp --output-on-failure -j 2

python3 -m pip install -q '.[test]'
python3 -m pytest tests/python -q
