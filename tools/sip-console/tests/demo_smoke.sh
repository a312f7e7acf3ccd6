#!/usr/bin/env bash
# scripts/demo.sh on the built tree: the whole call appears in the
# transcript in order, no password does, and every process the demo started
# is gone afterwards, after a clean run and after a Ctrl-C in mid-call.
#   demo_smoke.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
set -m  # the interrupted demo runs as a job of its own, which may take SIGINT
root=$1
export BUILD_DIR=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tavirel-demo-smoke.XXXXXX")
trap 'rm -rf "$work"' EXIT

out=$work/out
fail() {
  echo "FAIL: $*" >&2
  cat "$out" >&2 || true
  exit 1
}

# Processes whose command line names a demo's work directory.
demo_processes() {
  grep -las 'tavirel-demo\.' /proc/[0-9]*/cmdline | cut -d/ -f3 | sort || true
}
before=$(demo_processes)

# Every PID in the list has ended, nothing is left in the registrar's
# process group (its workers), and no process of the demo's is left that
# the list missed (a PID of a subshell instead of the program's).
check_all_gone() {
  local left
  left=$(comm -13 <(printf '%s\n' "$before") <(demo_processes) | tr '\n' ' ')
  [[ -z ${left// /} ]] || fail "processes of the demo outlived it: $left"
  local name pid stat
  while read -r name pid; do
    if stat=$(cat "/proc/$pid/stat" 2>/dev/null); then
      stat=${stat##*) }
      [[ ${stat%% *} == Z ]] || fail "$name (pid $pid) is still running"
    fi
    [[ $name != kamailio ]] || ! ps -eo pgid= | grep -qx " *$pid" || fail "a kamailio worker of group $pid remains"
  done <"$1"
}

# A whole run.
DEMO_PID_FILE=$work/pids timeout 50 "$root/scripts/demo.sh" --no-build >"$work/out" 2>&1 ||
  fail "the demo exited with status $?"
last=0
for pattern in \
  'bob   \| registered as bob at 127.0.0.1:5060' \
  'alice \| registered as alice at 127.0.0.1:5060' \
  'alice \| tavirel> call bob' \
  'bob   \| \* call: incomingReceived sip:alice@127.0.0.1' \
  'alice \| \* call: streamsRunning sip:bob@127.0.0.1:5060' \
  'alice \| \* call: set up in [0-9]+ ms' \
  'alice \| ok: sent 1 2 3 4 #' \
  'bob   \| tavirel> hangup' \
  'alice \| \* call: released sip:bob@' \
  'demo  \| call set-up time \(MAKE_CALL to streamsRunning\): [0-9]+ ms' \
  'demo  \| stopped: kamailio'; do
  at=$(grep -nE -m1 -- "$pattern" "$work/out" | cut -d: -f1)
  [[ -n $at ]] || fail "no line matching '$pattern'"
  ((at > last)) || fail "'$pattern' is out of order"
  last=$at
done
grep -qF '"sipPassword":"***"' "$work/out" || fail "the REGISTER requests are not shown redacted"
! grep -qE 'alice-secret|bob-secret' "$work/out" || fail "a password appears in the transcript"
[[ $(wc -l <"$work/pids") -eq 8 ]] || fail "the demo named fewer processes than it starts"
check_all_gone "$work/pids"

# Ctrl-C while the call runs.
out=$work/interrupted
: >"$work/pids"
DEMO_PID_FILE=$work/pids "$root/scripts/demo.sh" --no-build >"$work/interrupted" 2>&1 &
demo=$!
for ((i = 0; i < 500; i++)); do
  grep -q 'alice sends DTMF' "$work/interrupted" && break
  sleep 0.02
done
grep -q 'alice sends DTMF' "$work/interrupted" || { kill -TERM "$demo"; fail "the interrupted demo did not reach the call"; }
kill -INT "$demo"
status=0
wait "$demo" || status=$?
((status == 130)) || fail "the interrupted demo exited with status $status, not 130"
grep -q 'demo  | stopped: kamailio' "$work/interrupted" || fail "the interrupted demo did not stop what it started"
check_all_gone "$work/pids"
echo "demo smoke test passed"
