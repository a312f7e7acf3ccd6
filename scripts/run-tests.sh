#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite inside a
# loopback-only network namespace, so no test traffic can leave the machine
# and the suite's ports never clash with the host's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$root/build"
exec unshare --net -- bash -c 'ip link set lo up && exec ctest --output-on-failure -j2 "$@"' ctest "$@"
