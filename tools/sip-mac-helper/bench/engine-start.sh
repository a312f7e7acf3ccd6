#!/usr/bin/env bash
# Engine start-up and registration figures (INITIALIZE time, idle CPU and
# memory, REGISTER round trip against a local kamailio), run inside a
# loopback-only network namespace as the test suite runs. Arguments go to the
# benchmark: [runs=7] [idle-seconds=20]. BUILD_DIR picks the build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build_dir" >&2
fi
cmake --build "$build_dir" --target engine_start_bench -j2 >&2
bench=$build_dir/tools/sip-mac-helper/tests/engine/engine_start_bench
exec unshare --net -- bash -c 'ip link set lo up && exec "$0" "$@"' "$bench" "$@"
