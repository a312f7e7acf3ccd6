#!/usr/bin/env bash
# The side-by-side benchmark: builds a release build (build-release/, -O2
# -DNDEBUG) of the helper and the location library, builds the benchmark
# programs beside it, and runs them inside a loopback-only network namespace.
# Prints the table; writes the same figures as JSON to build-release/bench.json.
#
#   scripts/bench.sh [driver options]
#
# Options go to the driver (tools/sip-mac-helper/bench/bench_main.cpp), e.g.
# --runs 3, --idle-seconds 10, --calls 3, --only bridge,idle,calls,location.
# Takes about four minutes on two cores; measure on a quiet machine (the load
# averages at each phase are in the JSON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-release}
"$root/scripts/install-deps.sh"

flags=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG")
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" "${flags[@]}" >&2
fi
targets=(tavirel-sip-helper tavirel_sdk_link)
location=()
if [[ -f $root/native-location/bench/CMakeLists.txt && -x $root/native-location/bench/run.sh ]]; then
  targets+=(tavirel_location tavirel_location_bench)
  location=(--location-cmd "$root/native-location/bench/run.sh")
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >&2

helper=$build/tools/sip-mac-helper/tavirel-sip-helper
bench_build=$build/bench
if [[ ! -f $bench_build/CMakeCache.txt ]]; then
  cmake -S "$root/tools/sip-mac-helper/bench" -B "$bench_build" "${flags[@]}" \
    "-DTAVIREL_HELPER_BIN_DEFAULT=$helper" >&2
fi
cmake --build "$bench_build" -j"$(nproc)" --target bench_driver >&2

# The location benchmark's script builds into the same release tree.
export BUILD_DIR=$build
exec unshare --net -- bash -c 'ip link set lo up && exec "$0" "$@"' \
  "$bench_build/bench_driver" --helper "$helper" --json "$build/bench.json" "${location[@]}" "$@"
