#!/usr/bin/env bash
# Proves the Debian package on a fresh minimal Debian 12 root, which has
# none of the build's packages: `apt-get install ./PACKAGE.deb` must pull in
# everything the installed programs need, the installed helper must answer
# INITIALIZE with its installed SDK root, a JVM must load the installed
# location library, and removing the package must leave nothing behind.
#
#   scripts/package-check.sh [PACKAGE.deb]   default: what scripts/package.sh builds
#   FRESH_BASE_CACHE=FILE                    as for scripts/fresh-machine-check.sh
#
# Needs root; the host gets debootstrap and nothing else.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ $(id -u) -ne 0 ]]; then
  exec sudo --preserve-env=FRESH_BASE_CACHE "$0" "$@"
fi

package=${1:-$("$root/scripts/package.sh")}
package=$(realpath "$package")
name=$(dpkg-deb --field "$package" Package)
dir=/usr/lib/tavirel

fresh_log_name=package-check
# shellcheck source=lib/fresh-root.sh
source "$root/scripts/lib/fresh-root.sh"
fresh_root_make

apt_in_root() {
  in_root env DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends \
    -o Dpkg::Use-Pty=0 "$@" >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; return 1; }
}

cp "$package" "$target/tmp/"
in_root apt-get update -qq >/dev/null
apt_in_root install "/tmp/$(basename "$package")"
log "installed $(basename "$package") with its dependencies after $((SECONDS - fresh_started)) s"
in_root dpkg-query -L "$name" >"$work/files"

# Nothing the installed binaries link is left unresolved by the package's
# dependencies alone (the JVM comes later and must not be what supplies it).
for binary in "$dir/tavirel-sip-helper" "$dir/libtavirel_location.so"; do
  if in_root ldd "$binary" | grep -q 'not found'; then
    in_root ldd "$binary" >&2
    log "$binary: a library it needs is not pulled in by the package"
    exit 1
  fi
done

answer=$(printf '%s\n' '{"requestId":"1","command":"INITIALIZE"}' |
  in_root timeout 60 "$dir/tavirel-sip-helper" 2>"$work/helper.err") || true
expected='{"requestId":"1","success":true,"payload":{"sdkRoot":"'$dir'/.sdk/current"}}'
if [[ $answer != "$expected" ]]; then
  tail -n 20 "$work/helper.err" >&2
  log "the installed helper answered: $answer"
  exit 1
fi
log "installed helper answered: $answer"

# The JVM is the application's, not the package's: installed only now.
mkdir -p "$target/tmp/check-java"
javac --release 17 -d "$target/tmp/check-java" "$root/packaging/check/LoadInstalledLibrary.java"
apt_in_root install default-jre-headless
loaded=$(in_root java -cp /tmp/check-java LoadInstalledLibrary "$dir/libtavirel_location.so")
[[ $loaded == "loaded $dir/libtavirel_location.so" ]] || { log "the JVM said: $loaded"; exit 1; }
log "a JVM loaded $dir/libtavirel_location.so"

apt_in_root purge "$name"
left=()
while read -r path; do
  # Directories the package shares with the system stay, as they should.
  [[ $path == / || $path == /. || $path == /usr || $path == /usr/lib ]] && continue
  [[ -e $target$path || -L $target$path ]] && left+=("$path")
done <"$work/files"
if ((${#left[@]})) || [[ -e $target$dir ]]; then
  log "left behind after removal: ${left[*]} $([[ -e $target$dir ]] && echo "$dir")"
  exit 1
fi
log "removal left nothing behind ($(wc -l <"$work/files") paths checked)"
