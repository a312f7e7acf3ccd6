#!/usr/bin/env bash
# Builds the location library and its benchmark, then prints the figures:
#   native-location/bench/run.sh [samples] [requests]
# BUILD_DIR picks the build directory (default: build/ at the repository root).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build_dir" >&2
fi
cmake --build "$build_dir" --target tavirel_location tavirel_location_bench -j2 >&2
out=$build_dir/native-location
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
TAVIREL_LOCATION_SIMULATION=$work/scenario.json java -Xmx256m \
  -Djava.library.path="$out" \
  -cp "$out/tavirel_location_java.jar:$out/bench/tavirel_location_bench.jar" \
  com.kestrum.k207.browser.attendance.location.LocationBench "$@"
