#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite inside a
# loopback-only network namespace, so no test traffic can leave the machine
# and the suite's ports never clash with the host's. Then the sanitizer runs
# and a time-boxed fuzzing run.
#   scripts/run-tests.sh            everything
#   QUICK=1 scripts/run-tests.sh    the main suite only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

in_namespace() { unshare --net -- bash -c 'ip link set lo up && exec "$@"' in-namespace "$@"; }

(cd "$root/build" && in_namespace ctest --output-on-failure -j2)
[[ ${QUICK:-} == 1 ]] && exit 0
in_namespace "$root/scripts/run-sanitizers.sh"
"$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
