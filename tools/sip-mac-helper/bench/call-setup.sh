#!/usr/bin/env bash
# Builds and runs the call set-up benchmark inside a loopback-only network
# namespace, as the test suite runs. Arguments go to the benchmark (number of
# calls, default 7). BUILD_DIR picks the build directory (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build_dir" >&2
fi
# Only the benchmark and the helper it drives.
cmake --build "$build_dir" --target call_setup_bench -j2 >&2
bench=$build_dir/tools/sip-mac-helper/tests/calls/call_setup_bench
exec unshare --net -- bash -c 'ip link set lo up && exec "$0" "$@"' "$bench" "$@"
