#!/usr/bin/env bash
# Times N pipelined requests of one command through the helper:
#   tools/sip-mac-helper/bench/pipelined.sh [count] [command]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
helper=${TAVIREL_HELPER_BIN:-$root/build/tools/sip-mac-helper/tavirel-sip-helper}
count=${1:-100000}
command=${2:-GET_CALL_STATE}
input=$(mktemp)
trap 'rm -f "$input"' EXIT
awk -v n="$count" -v c="$command" 'BEGIN { for (i = 0; i < n; i++) printf "{\"requestId\":\"%d\",\"command\":\"%s\"}\n", i, c }' > "$input"
start=$(date +%s.%N)
lines=$("$helper" < "$input" 2>/dev/null | wc -l)
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v n="$lines" -v c="$command" \
  'BEGIN { t = e - s; printf "%d %s responses in %.3f s (%.0f per second)\n", n, c, t, n / t }'
