# A minimal Debian 12 root for checks that must not lean on this machine's
# packages: debootstrap minbase plus git and ca-certificates, from the mirror
# this machine's own apt sources name, with /proc, /dev and /sys bound in.
# Sourced by the scripts that need one; they call fresh_root_make, then
# in_root. Everything is removed again on exit, failure or interrupt.
#
#   FRESH_BASE_CACHE=FILE   cached base root, a tarball kept outside the
#       repository (default /var/cache/tavirel/fresh-root-bookworm.tar);
#       empty to make the base root anew and keep nothing
#
# Needs root. The host gets debootstrap and nothing else.

fresh_suite=bookworm
fresh_base_cache=${FRESH_BASE_CACHE-/var/cache/tavirel/fresh-root-bookworm.tar}
fresh_started=$SECONDS

log() { printf '[%s] %s\n' "$fresh_log_name" "$*" >&2; }

fresh_mounts_under() { findmnt -rn -o TARGET | awk -v t="$target" 'index($0, t) == 1' | sort -r; }

fresh_root_cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Whatever a run left behind inside the root would hold its mounts.
  local p pid
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
    case $(readlink "$p/root" 2>/dev/null) in
      "$target" | "$target"/*) kill -KILL "$pid" 2>/dev/null || true ;;
    esac
  done
  local m
  for _ in 1 2 3; do
    while read -r m; do umount -R "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done < <(fresh_mounts_under)
    [[ -z $(fresh_mounts_under) ]] && break
    sleep 1
  done
  if [[ -n $(fresh_mounts_under) ]]; then
    log "still mounted, left in place: $(fresh_mounts_under | tr '\n' ' ')"
  else
    rm -rf --one-file-system "$work"
  fi
  log "finished in $((SECONDS - fresh_started)) s with status $status"
  exit "$status"
}

# Makes the root at $target (under the temporary $work) and mounts what it
# needs. Sets work, target.
fresh_root_make() {
  "$root/scripts/install-deps.sh" debootstrap

  # The mirror and suites this machine's own apt sources name, so the new
  # root is what an installer on this network would have made.
  local sources mirror
  mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Target-Of: deb' 'Identifier: Packages' | awk -v s="$fresh_suite" '$2 ~ "^" s "(-|$)"' | sort -u)
  mirror=$(printf '%s\n' "${sources[@]}" | awk -v s="$fresh_suite" '$2 == s { print $1; exit }')
  [[ -n $mirror ]] || { log "no apt source for $fresh_suite on this machine"; exit 1; }

  work=$(mktemp -d /var/tmp/tavirel-fresh.XXXXXX)
  target=$work/root
  trap fresh_root_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  if [[ -n $fresh_base_cache && -s $fresh_base_cache ]]; then
    log "base root from the cache $fresh_base_cache"
    mkdir "$target"
    tar -xpf "$fresh_base_cache" -C "$target"
  else
    log "debootstrap --variant=minbase $fresh_suite from $mirror"
    debootstrap --variant=minbase --include=git,ca-certificates "$fresh_suite" "$target" "$mirror" \
      >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
    if [[ -n $fresh_base_cache ]]; then
      mkdir -p "$(dirname "$fresh_base_cache")"
      tar -cpf "$fresh_base_cache.partial" -C "$target" . && mv "$fresh_base_cache.partial" "$fresh_base_cache"
    fi
  fi
  log "base root ready after $((SECONDS - fresh_started)) s"

  # A fresh install's sources: the same mirror, with its updates and security.
  printf 'deb %s %s %s\n' $(printf '%s\n' "${sources[@]}") >"$target/etc/apt/sources.list"
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  # Every installed Debian has these host names, written by its installer;
  # debootstrap writes none.
  [[ -s $target/etc/hosts ]] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
    >"$target/etc/hosts"
  # Package scripts must not start daemons here: the root shares the host's
  # network, and a daemon left running would hold the root's mounts.
  printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
  chmod +x "$target/usr/sbin/policy-rc.d"

  # A machine's root is a mount point; a bare directory is not, and a mount
  # namespace made inside it (the location tests' daemon) could not change
  # its propagation.
  mount --bind "$target" "$target"
  mount --make-private "$target"
  local fs
  for fs in proc dev sys; do
    mount --rbind "/$fs" "$target/$fs"
    mount --make-rslave "$target/$fs"
  done
}

# Runs a command in the root with a login's environment, not the host's:
# nothing set by hand here leaks in. The working directory is $in_root_dir
# (default /root).
in_root() {
  chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c 'cd "$0" && exec "$@"' "${in_root_dir:-/root}" "$@"
}
