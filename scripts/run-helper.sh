#!/usr/bin/env bash
# Installs what is missing, builds, and starts the helper: it then reads
# requests from stdin, one JSON object per line, and answers on stdout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "$root/build/tools/sip-mac-helper/tavirel-sip-helper"
