#!/usr/bin/env bash
# Builds the engine, its GoogleTest suite and the Python module under sanitizers and
# runs the tests against them:
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer: CTest, then pytest against
#         the instrumented module (build-asan/plovek.*.so) in an uninstrumented
#         interpreter that preloads the ASan runtime.
#   tsan  ThreadSanitizer: CTest (the worker pool and every parallel loop).
# Any finding fails the run. Usage: scripts/run_sanitizers.sh [asan|tsan]... (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${JOBS:-2}"
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(asan tsan)

# -O1 keeps the instrumented build and its run short while keeping stack traces usable.
configure_and_build() {
  local dir="$1" flags="$2" python="$3"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -fno-omit-frame-pointer" \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
    -DPLOVEK_BUILD_TESTS=ON -DPLOVEK_BUILD_PYTHON="$python" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_asan() {
  # -Wno-maybe-uninitialized: instrumentation makes GCC warn falsely inside <regex>.
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -Wno-maybe-uninitialized"
  configure_and_build build-asan "$flags" ON
  # Leak detection stays on for the C++ tests: they own every allocation they make.
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_init_order=1:detect_stack_use_after_return=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600

  # The interpreter itself is not instrumented, so the ASan runtime must be loaded
  # before anything else, and its leak report (the interpreter keeps a lot alive at
  # exit by design) is switched off. libstdc++ is preloaded with it: the runtime
  # looks up the C++ throw routine it wraps when it starts, and in a C program that
  # would find none, failing at the first exception the module throws. Subprocesses
  # started by the tests inherit all of this.
  local runtime
  runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  LD_PRELOAD="$runtime" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  PYTHONPATH="$PWD/build-asan${PYTHONPATH:+:$PYTHONPATH}" \
    python3 -m pytest tests/python -q -p no:cacheprovider
}

run_tsan() {
  local flags="-fsanitize=thread -Wno-maybe-uninitialized"
  configure_and_build build-tsan "$flags" OFF
  # The runtime of older compilers maps its shadow memory at fixed addresses that a
  # kernel with more mmap randomisation can collide with; without ASLR it always fits.
  local launcher=()
  if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
    launcher=(setarch "$(uname -m)" -R)
  fi
  # die_after_fork=0: the pool tests fork a process that already runs workers and
  # check that the child starts a pool of its own. TSan refuses new threads in such a
  # child by default, since it cannot vouch for locks held at fork time; the pool's
  # fork handler is exactly what makes that safe, and the child is still checked.
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0" \
    "${launcher[@]}" ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 600
}

for mode in "${modes[@]}"; do
  case "$mode" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "unknown mode: $mode (expected asan or tsan)" >&2; exit 2 ;;
  esac
done
