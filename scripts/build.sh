#!/usr/bin/env bash
# Configures and builds the project into build/ (or $BUILD_DIR with extra
# CMake arguments after the script's own). Quick when nothing changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build_dir" "$@" >&2
fi
cmake --build "$build_dir" -j"$(nproc)" >&2
