#!/usr/bin/env bash
# Sanitizer runs: the tests labelled "asan" in an ASan+UBSan build and those
# labelled "tsan" in a TSan build, each built only as far as they need.
# Run inside the test namespace (scripts/run-tests.sh does that).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

run_labelled() {  # build-dir sanitizer label
  local dir=$root/$1
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$dir" -DSANITIZE="$2" >&2
  fi
  # Builds only what the labelled tests run (the <label>_suite target).
  cmake --build "$dir" -j"$(nproc)" --target "$3_suite" >&2
  (cd "$dir" && ctest --output-on-failure -j2 -L "$3")
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The suppression file says why each entry is a library's and not ours.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tools/sip-mac-helper/tests/hardening/tsan.supp}
# Sanitized programs run several times slower; stretch the tests' deadlines.
export TAVIREL_TEST_TIME_SCALE=${TAVIREL_TEST_TIME_SCALE:-3}

run_labelled build-asan address asan
run_labelled build-tsan thread tsan
