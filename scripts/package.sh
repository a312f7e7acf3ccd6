#!/usr/bin/env bash
# Builds the Debian package into build-package/: a release build of just
# what is installed (the helper and the location library), then CPack, whose
# dependencies dpkg-shlibdeps reads from the binaries. Prints the package's
# path on stdout.
#   scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build-package

"$root/scripts/install-deps.sh"
"$root/scripts/install-deps.sh" dpkg-dev file

# Only the installed targets are built; installing must not build the rest.
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >&2
cmake --build "$dir" -j"$(nproc)" --target tavirel-sip-helper tavirel_location >&2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >&2)
shopt -s nullglob
packages=("$dir"/*.deb)
((${#packages[@]} == 1)) || { echo "package.sh: expected one package in $dir" >&2; exit 1; }
printf '%s\n' "${packages[0]}"
