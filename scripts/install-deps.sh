#!/usr/bin/env bash
# Installs the Debian packages the build and the test suite need. Idempotent:
# packages already present are skipped, and the package index is refreshed
# only when something is actually missing.
#   scripts/install-deps.sh            what the build and the tests need
#   scripts/install-deps.sh PKG...     just those packages (tools of our own
#                                      scripts, such as debootstrap)
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev nlohmann-json3-dev libedit-dev
  liblinphone-dev libpulse-dev
  pulseaudio pulseaudio-utils
  pipewire pipewire-pulse wireplumber
  kamailio kamailio-tls-modules sip-tester linphone-cli baresip-core
  libssl-dev openssl ca-certificates
  default-jdk-headless
  geoclue-2.0 libglib2.0-dev dbus-daemon
  iproute2 util-linux procps netbase
  clang libclang-rt-14-dev
)
(($#)) && packages=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
