#!/usr/bin/env bash
# Fuzzes the request path for a given time (seconds, default 60) with
# libFuzzer + ASan/UBSan:   scripts/fuzz.sh [seconds]
# A crashing input lands in build-fuzz/findings/; copy it into
# tools/sip-mac-helper/tests/hardening/fuzz/regressions/ once fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$root/build-fuzz
if [[ ! -f $build/CMakeCache.txt ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DSANITIZE=address -DTAVIREL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$build" -j"$(nproc)" --target request_fuzzer >&2
seeds=$root/tools/sip-mac-helper/tests/hardening/fuzz
mkdir -p "$build/corpus" "$build/findings"
log=$build/fuzz.log
# The engine-free paths trace to stderr on purpose (SEND_DTMF); keep that
# noise in the log and show only the verdict.
set +e
"$build/tools/sip-mac-helper/tests/hardening/request_fuzzer" \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/" \
  -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  "$build/corpus" "$seeds/corpus" "$seeds/regressions" > "$log" 2>&1
status=$?
set -e
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)' "$log" || true
if ((status != 0)); then
  echo "fuzzing found a failure; see $log and $build/findings/" >&2
  tail -40 "$log" >&2
fi
exit $status
