#!/usr/bin/env bash
# Fails when a source file of the helper includes a header of a layer above
# its own. The layers, lowest first:
#   0  base: protocol records and coding, traces, transport, process-wide
#      state (bridge/ but the dispatcher and loop), and platform/ services
#   1  engine/
#   2  audio/ and calls/, which do not include each other
#   3  the dispatcher and request loop (bridge/dispatcher.*,
#      bridge/request_loop.*) and main.cpp, which only wires
# platform/ includes nothing but platform/, so a second platform's backend is
# a file beside the first.
#   check_layers.sh HELPER_SOURCE_DIR
set -euo pipefail
cd "$1"

layer() {
  case $1 in
    bridge/dispatcher.* | bridge/request_loop.* | main.cpp) echo 3 ;;
    audio/* | calls/*) echo 2 ;;
    engine/*) echo 1 ;;
    bridge/* | platform/*) echo 0 ;;
    *) echo none ;;
  esac
}

status=0
while IFS= read -r file; do
  from=$(layer "$file")
  [[ $from == none ]] && continue
  while IFS=: read -r line header; do
    to=$(layer "$header")
    [[ $to == none ]] && continue
    wrong=""
    if ((to > from)); then
      wrong="layer $from includes layer $to"
    elif [[ $from == 2 && ${file%%/*} != "${header%%/*}" && $to == 2 ]]; then
      wrong="audio/ and calls/ do not include each other"
    elif [[ $file == platform/* && $header != platform/* ]]; then
      wrong="platform/ includes only platform/"
    fi
    if [[ -n $wrong ]]; then
      echo "$file:$line: includes \"$header\": $wrong" >&2
      status=1
    fi
  done < <(grep -no '^#include "[^"]*"' "$file" | sed 's/:#include "/:/; s/"$//')
done < <(find bridge engine audio calls platform main.cpp -name '*.h' -o -name '*.cpp' | sort)
exit $status
