#!/usr/bin/env bash
# The main job end to end on local defaults: two helpers, alice and bob, each
# driven through the console, register at a private registrar (kamailio);
# alice calls bob, bob answers, alice sends DTMF and mutes, bob hangs up.
# Prints the transcript of both sides (commands, the JSON lines exchanged
# with passwords as ***, answers, state changes, the call set-up time).
#
#   scripts/demo.sh              installs and builds what is missing, then runs
#   scripts/demo.sh --no-build   runs what the build tree holds ($BUILD_DIR,
#                                default build/)
#   scripts/demo.sh --secure     the same call over TLS with SRTP: the
#                                registrar's certificate comes from a CA the
#                                demo makes (openssl), and each side shows
#                                what GET_CALL_SECURITY reports
#   DEMO_PID_FILE=FILE           also writes "name pid" of every process it
#                                starts to FILE (the suite's smoke test checks
#                                that none is left)
#
# Everything runs in a loopback-only network namespace of its own, so the
# registrar's fixed port 5060 is free and nothing leaves the machine. Every
# process it starts is stopped by its PID at the end, also on failure or
# Ctrl-C. Exit status 0 when the whole call went as described.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bin=$build/tools/sip-mac-helper

build_what_is_missing() {
  "$root/scripts/install-deps.sh"
  [[ -f $build/CMakeCache.txt ]] || cmake -S "$root" -B "$build" >&2
  cmake --build "$build" -j"$(nproc)" --target tavirel-sip-helper tavirel_sdk_link tavirel-sip-console >&2
}

build_first=1 secure= inside=
for arg in "$@"; do
  case $arg in
    --no-build) build_first= ;;
    --secure) secure=1 ;;
    --in-namespace) inside=1 ;;
    *) echo "usage: $0 [--no-build] [--secure]" >&2; exit 2 ;;
  esac
done

if [[ -z $inside ]]; then
  [[ -z $build_first ]] || build_what_is_missing
  isolate=(unshare --net)
  [[ $(id -u) -eq 0 ]] || isolate=(unshare --user --map-root-user --net)
  exec "${isolate[@]}" -- bash -c 'ip link set lo up && exec "$0" --in-namespace "$@"' "$0" ${secure:+--secure}
fi

# ---------------------------------------------------------------------------
# Inside the namespace.

port=5060
tls_port=5061
work=$(mktemp -d "${TMPDIR:-/tmp}/tavirel-demo.XXXXXX")
t0=${EPOCHREALTIME//[!0-9]/}
pids=()    # "name pid", in start order
failed=0

elapsed() {  # seconds since the start, with milliseconds
  local now=${EPOCHREALTIME//[!0-9]/}
  local ms=$(((now - t0) / 1000))
  printf '%3d.%03d' $((ms / 1000)) $((ms % 1000))
}
say() { printf '%s demo  | %s\n' "$(elapsed)" "$*"; }

started() {  # name pid
  pids+=("$1 $2")
  [[ -z ${DEMO_PID_FILE:-} ]] || printf '%s %s\n' "$1" "$2" >>"$DEMO_PID_FILE"
}

# Ended, or a zombie waiting for us to reap it.
gone() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }  # the state follows the command name, which may hold anything
  [[ ${stat%% *} == Z ]]
}

stop_pid() {  # pid [group]: TERM, up to 3 s, then KILL
  local pid=$1 target=$1 i
  gone "$pid" && { wait "$pid" 2>/dev/null || true; return 0; }
  [[ ${2:-} == group ]] && target=-$1
  kill -TERM -- "$target" 2>/dev/null || true
  for ((i = 0; i < 60; i++)); do gone "$pid" && break; sleep 0.05; done
  gone "$pid" || kill -KILL -- "$target" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

show_logs() {
  local log
  for log in "$work"/*.log; do
    [[ -s $log ]] || continue
    printf -- '--- last lines of %s ---\n' "${log##*/}" >&2
    tail -n 15 "$log" >&2
  done
}

cleanup() {
  local status=$? name pid i fd
  trap - EXIT INT TERM
  ((status == 0)) || show_logs
  # End of input first: a console then stops its helper in order.
  for fd in "${infd[@]}"; do exec {fd}>&-; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    read -r name pid <<<"${pids[i]}"
    [[ $name == kamailio ]] && stop_pid "$pid" group || stop_pid "$pid"
  done
  say "stopped: ${pids[*]:-nothing}"
  rm -rf "$work"
  exit "$status"
}
declare -A infd=() seen=()
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  say "FAILED: $*" >&2
  exit 1
}

# Waits (at most $3 s, default 15) until a line of $1's console output
# after the last one matched matches the extended regex $2; the line is
# left in $matched.
matched=
expect() {
  local side=$1 pattern=$2 limit=${3:-15} deadline hit
  deadline=$((SECONDS + limit))
  while ((SECONDS <= deadline)); do
    hit=$(tail -n +$((${seen[$side]:-0} + 1)) "$work/$side.out" | grep -nE -m1 -- "$pattern" || true)
    if [[ -n $hit ]]; then
      seen[$side]=$((${seen[$side]:-0} + ${hit%%:*}))
      matched=${hit#*:}
      return 0
    fi
    sleep 0.02
  done
  fail "$side: no line matching '$pattern' within $limit s"
}

send() { printf '%s\n' "$2" >&"${infd[$1]}"; }

# A CA of the demo's own and the registrar's certificate, naming 127.0.0.1
# as an IP entry; the helpers trust that CA through TAVIREL_SIP_ROOT_CA.
make_certificates() {
  local ca=$work/ca
  mkdir -p "$ca"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "/CN=tavirel demo root" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
    -keyout "$ca/root-key.pem" -out "$ca/root.pem" 2>>"$work/openssl.log"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=tavirel demo registrar" \
    -keyout "$ca/registrar-key.pem" -out "$ca/registrar.csr" 2>>"$work/openssl.log"
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$ca/ext.cnf"
  openssl x509 -req -in "$ca/registrar.csr" -CA "$ca/root.pem" -CAkey "$ca/root-key.pem" -CAcreateserial \
    -days 1 -extfile "$ca/ext.cnf" -out "$ca/registrar.pem" 2>>"$work/openssl.log"
  export TAVIREL_SIP_ROOT_CA=$ca/root.pem
}

start_registrar() {
  local modules
  modules=$(dirname "$(find /usr/lib /usr/lib64 -path '*/kamailio/modules/tm.so' -print -quit 2>/dev/null)")
  [[ -f $modules/tm.so ]] || fail "kamailio's modules not found (scripts/install-deps.sh installs them)"
  mkdir -p "$work/kamailio"
  # The suite's registrar: the same accounts and rules the tests use.
  sed -e "s|@SIP_PORT@|$port|g" -e "s|@MODULES_DIR@|$modules|g" -e "s|@RUNTIME_DIR@|$work/kamailio|g" \
    -e "s|@TLS_PORT@|$tls_port|g" \
    "$root/tools/sip-mac-helper/tests/support/kamailio.cfg.in" >"$work/kamailio/kamailio.cfg"
  local tls=()
  if [[ -n $secure ]]; then
    make_certificates
    printf '[server:default]\nmethod = TLSv1.2+\nprivate_key = %s\ncertificate = %s\n' \
      "$work/ca/registrar-key.pem" "$work/ca/registrar.pem" >"$work/kamailio/tls.cfg"
    tls=(-A WITH_TLS)
  fi
  # Its own process group, so its worker processes are stopped with it.
  setsid kamailio -f "$work/kamailio/kamailio.cfg" -DD -E -P "$work/kamailio/kamailio.pid" \
    -Y "$work/kamailio" -w "$work/kamailio" -m 32 -M 4 "${tls[@]}" >"$work/kamailio.log" 2>&1 &
  local pid=$! i
  started kamailio $pid
  for ((i = 0; i < 300; i++)); do
    [[ -n $(ss -Hlun "sport = :$port") ]] && return 0
    gone "$pid" && fail "kamailio exited"
    sleep 0.02
  done
  fail "kamailio did not listen on udp $port"
}

# Runs a program with the private sound server's client environment, in
# place of the calling (sub)shell: started with `&`, `$!` is then the
# program's own PID, which the cleanup stops. (Through a function alone it
# would be a subshell's, and the program would outlive the demo.)
pulse_exec() {
  exec env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY PULSE_SERVER="unix:$work/pa/native" \
    PULSE_RUNTIME_PATH="$work/pa" PULSE_CLIENTCONFIG="$work/pa/client.conf" "$@"
}
pulse_env() { (pulse_exec "$@"); }

start_sound_server() {
  mkdir -p "$work/pa/home/.config/pulse" "$work/pa/state"
  printf 'autospawn = no\n' >"$work/pa/client.conf"
  cat >"$work/pa/daemon.pa" <<EOF
load-module module-native-protocol-unix socket=$work/pa/native auth-anonymous=1
load-module module-null-sink sink_name=demo_speaker sink_properties='device.description="Demo Speaker"'
load-module module-null-source source_name=demo_mic description='Demo Microphone'
set-default-sink demo_speaker
set-default-source demo_mic
EOF
  HOME=$work/pa/home XDG_CONFIG_HOME=$work/pa/home/.config XDG_RUNTIME_DIR=$work/pa \
    PULSE_STATE_PATH=$work/pa/state pulse_exec pulseaudio -n --daemonize=no --system=false \
    --exit-idle-time=-1 --disallow-exit --use-pid-file=no --realtime=no --high-priority=no \
    --log-target=stderr -F "$work/pa/daemon.pa" 2>"$work/pulseaudio.log" &
  local pid=$! i
  started pulseaudio $pid
  for ((i = 0; i < 300; i++)); do
    pulse_env pactl info >/dev/null 2>&1 && return 0
    gone "$pid" && fail "pulseaudio exited"
    sleep 0.05
  done
  fail "pulseaudio did not answer"
}

# A console for $1 on the sound server, its input a FIFO this script
# writes, its output labelled with the side's name and kept in $1.out.
start_console() {
  local side=$1 out in
  mkdir -p "$work/$side/run"
  mkfifo "$work/$side.in"
  : >"$work/$side.out"
  exec {out}> >(while IFS= read -r line; do
    printf '%s\n' "$line" >>"$work/$side.out"
    printf '%s %-5s | %s\n' "$(elapsed)" "$side" "$line"
  done)
  started "$side-output" $!
  HOME=$work/$side XDG_RUNTIME_DIR=$work/$side/run pulse_exec "$bin/tavirel-sip-console" --raw --no-history \
    --helper-log "$work/$side-helper.log" <"$work/$side.in" >&"$out" 2>&1 &
  started "$side-console" $!
  exec {in}>"$work/$side.in"
  infd[$side]=$in
  exec {out}>&-
  expect "$side" '^\* helper: started pid [0-9]+'
  local banner=${matched#*pid }
  started "$side-helper" "${banner%% *}"
}

register() {  # side
  send "$1" init
  expect "$1" '^ok: engine started'
  if [[ -n $secure ]]; then
    send "$1" "register $1 127.0.0.1:$tls_port tls srtp"
  else
    send "$1" "register $1 127.0.0.1:$port"
  fi
  send "$1" "$1-secret"  # the demo registrar's password for $1
  expect "$1" "^registered as $1 "
}

[[ -x $bin/tavirel-sip-console && -x $bin/tavirel-sip-helper ]] ||
  fail "no console or helper in $bin (run without --no-build)"
start_registrar
if [[ -n $secure ]]; then
  say "registrar: kamailio on tls 127.0.0.1:$tls_port, certificate from the demo's own CA (alice and bob, password <name>-secret)"
else
  say "registrar: kamailio on udp 127.0.0.1:$port (alice and bob, password <name>-secret)"
fi
start_sound_server
say "sound server: pulseaudio with a null sink and source"
start_console bob
start_console alice
register bob
register alice

say "alice calls bob"
send alice "call bob"
expect bob '^\* call: incomingReceived sip:alice@'
send bob answer
expect bob '^\* call: streamsRunning sip:alice@'
expect alice '^\* call: streamsRunning sip:bob@' 5
expect alice '^\* call: set up in [0-9]+ ms' 5
setup=$matched

if [[ -n $secure ]]; then
  for side in alice bob; do
    send "$side" security
    expect "$side" '^signalling tls, media srtp \(encrypted\)$'
    say "$side: GET_CALL_SECURITY says: $matched"
  done
fi

say "alice sends DTMF 1234# and mutes"
send alice "dtmf 1234#"
expect alice '^ok: sent 1 2 3 4 #$'
send alice "mute on"
expect alice '^ok$'

say "bob hangs up"
send bob hangup
expect bob '^\* call: released'
expect alice '^\* call: released sip:bob@'

for side in alice bob; do send "$side" quit; done
for side in alice bob; do expect "$side" '^\* helper: exited with status 0$'; done
for entry in "${pids[@]}"; do
  read -r name pid <<<"$entry"
  [[ $name == *-console ]] || continue
  wait "$pid" || fail "$name exited with status $?"
done
setup=${setup#*set up in }
say "call set-up time (MAKE_CALL to streamsRunning): ${setup%% ms*} ms"
say "done in $(elapsed | tr -d ' ') s"
