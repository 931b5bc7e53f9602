#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite under it, with a larger fuzz campaign and a longer thread stress run.
# Usage: tests/run_sanitized.sh [pytest args], or tests/run_sanitized.sh --build-only
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELTRIX_ASAN_BUILD:-$root/build/asan}"
log="$build.log"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRIX_SANITIZE=ON -DVELTRIX_BUILD_TESTS=ON &&
       cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "sanitizer build failed (full log: $log)" >&2
  exit 1
fi
if [ "${1:-}" = "--build-only" ]; then exit 0; fi
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented: preload the runtimes, use the system allocator so
# ASan sees every buffer, and leave leak checking to the dedicated leak tests (the interpreter
# keeps many allocations alive until exit).
export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export VELTRIX_SANITIZED=1
export VELTRIX_FUZZ_EXAMPLES="${VELTRIX_FUZZ_EXAMPLES:-2000}"
export VELTRIX_STRESS_SECONDS="${VELTRIX_STRESS_SECONDS:-30}"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
cd "$root"
# The native checks compare every instruction-set variant of the kernels with plain loops.
for check in "$build"/*_check; do
  [ -x "$check" ] || continue
  echo "native check: $(basename "$check")"
  "$check" >/dev/null
done
python3 -m pytest -q -p no:cacheprovider "$@"
