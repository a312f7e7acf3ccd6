#!/usr/bin/env bash
# Proves that a new Debian 12 machine builds and tests the project from the
# README alone: makes a minimal Debian 12 root (debootstrap minbase, plus git
# and ca-certificates), clones the commit under test into it and runs the
# README's commands there: the test command, the helper command answering
# one INITIALIZE, and the demo of a whole call. A package the build needs
# but our install script forgets fails here, however complete the host is.
#
#   scripts/fresh-machine-check.sh          the main suite only (QUICK=1)
#   FRESH_FULL=1 scripts/...                the README's whole test command
#   FRESH_COMMIT=REV                        what to check (default: HEAD)
#   FRESH_BASE_CACHE=FILE                   cached base root, a tarball kept
#       outside the repository (default /var/cache/tavirel/fresh-root-bookworm.tar);
#       empty to make the base root anew and keep nothing
#
# Needs root (debootstrap, chroot, mounts). The host gets debootstrap and
# nothing else; everything the project needs is installed inside the root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse --verify "${FRESH_COMMIT:-HEAD}^{commit}")

if [[ $(id -u) -ne 0 ]]; then
  exec sudo --preserve-env=FRESH_FULL,FRESH_COMMIT,FRESH_BASE_CACHE "$0" "$@"
fi

fresh_log_name=fresh-machine-check
# shellcheck source=lib/fresh-root.sh
source "$root/scripts/lib/fresh-root.sh"
fresh_root_make

# A clone, not a copy of the work tree: untracked or uncommitted files of the
# host cannot help the check.
git clone --quiet --no-local --no-checkout "$root" "$target/root/tavirel"
git -C "$target/root/tavirel" checkout --quiet --detach "$commit"
log "checking $commit"

in_root_dir=/root/tavirel

if [[ ${FRESH_FULL:-} == 1 ]]; then
  in_root scripts/run-tests.sh
else
  in_root env QUICK=1 scripts/run-tests.sh
fi
log "test command passed after $((SECONDS - fresh_started)) s"

request='{"requestId":"1","command":"INITIALIZE"}'
answer=$(printf '%s\n' "$request" | in_root timeout 300 scripts/run-helper.sh 2>"$work/helper.err") || {
  tail -n 30 "$work/helper.err" >&2
  log "the main-job command failed"
  exit 1
}
if [[ $answer != '{"requestId":"1","success":true,'* || $(printf '%s\n' "$answer" | wc -l) -ne 1 ]]; then
  tail -n 30 "$work/helper.err" >&2
  log "the main-job command answered: $answer"
  exit 1
fi
log "main-job command answered: $answer"

# The README's first command: the whole call between two helpers.
if ! in_root timeout 300 scripts/demo.sh >"$work/demo.out" 2>&1 ||
  ! grep -q 'demo  | call set-up time' "$work/demo.out"; then
  tail -n 40 "$work/demo.out" >&2
  log "the demo failed"
  exit 1
fi
log "demo: $(grep -o 'call set-up time.*' "$work/demo.out")"
