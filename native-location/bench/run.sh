#!/usr/bin/env bash
# Builds the location library and its benchmarks, then prints the figures:
#   native-location/bench/run.sh [samples] [requests]
# BUILD_DIR picks the build directory (default: build/ at the repository root).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build_dir" >&2
fi
cmake --build "$build_dir" --target tavirel_location tavirel_location_bench tavirel_geoclue_test_agent -j2 >&2
out=$build_dir/native-location
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
classpath=$out/tavirel_location_java.jar:$out/bench/tavirel_location_bench.jar
TAVIREL_LOCATION_SIMULATION=$work/scenario.json java -Xmx256m \
  -Djava.library.path="$out" -cp "$classpath" \
  com.kestrum.k207.browser.attendance.location.LocationBench "$@"

# Against a real GeoClue2 daemon on a private bus; it needs root (namespaces,
# the daemon's own user).
if [[ $(id -u) -ne 0 || ! -x /usr/libexec/geoclue ]]; then
  echo "geoclue: skipped (needs root and geoclue-2.0)"
  exit 0
fi
rig=$work/geoclue
mkdir -p "$rig" && chmod 755 "$work" "$rig"
DBUS_SYSTEM_BUS_ADDRESS=unix:path=$rig/bus TAVIREL_LOCATION_DESKTOP_ID=tavirel-allowed TAVIREL_TEST_RIG_DIR=$rig \
  java -Xmx256m -Djava.library.path="$out" -Dtavirel.geoclue.agent="$out/tavirel_geoclue_test_agent" \
  -cp "$classpath" com.kestrum.k207.browser.attendance.location.GeoclueBench
