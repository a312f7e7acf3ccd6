#!/usr/bin/env bash
# Fails when the protocol reference leaves out a text the helper can put on
# the wire or on stderr: a command's wire name, a payload key's
# missing-value error, an engine failure prefix and the detail forms after
# it, a fixed error text of a command's work (for a text that goes on with a
# variable part, each fixed piece), the SDK messages, the request decoder's
# descriptions, "Not initialized", "Invalid request: ", the encoding
# fallback line, the mirrored state words and the trace prefixes and stages.
#   check_protocol_reference.sh HELPER_SOURCE_DIR PROTOCOL_MD
# Prints each missing text and exits 1; with everything there, prints how
# many texts it checked.
set -euo pipefail
source_dir=$1
reference=$2
[[ -r $reference ]] || { echo "cannot read $reference" >&2; exit 2; }
# Line breaks count as spaces, so a text may wrap in the reference.
doc=$(tr '\n' ' ' < "$reference")
cd "$source_dir"

# The C string literals of stdin, one a line, \" and \\ undone. Literals
# that follow each other with nothing but white space between them are one
# text, as for the compiler.
literals() {
  tr '\n' ' ' |
    { grep -oE '"([^"\\]|\\.)*"([[:space:]]*"([^"\\]|\\.)*")*' || true; } |
    while IFS= read -r group; do
      grep -oE '"([^"\\]|\\.)*"' <<<"$group" | sed -E 's/^"//; s/"$//' | tr -d '\n' |
        sed -E 's/\\"/"/g; s/\\\\/\\/g'
      echo
    done
}

texts=()       # what must appear in the reference as it is
words=()       # bare names, which must appear there in `backticks`
declare -A from  # where each one was first found, for the message
add() {
  local where=$2 kind text
  while IFS= read -r text; do
    kind=$1
    [[ -z $text ]] && continue
    # Pieces of a concatenation that are only punctuation or spaces say
    # nothing on their own.
    [[ $text =~ [[:alnum:]] ]] || continue
    # A bare name (a command, a key, a state word) is looked for as code,
    # so that some other use of the word does not count.
    [[ $text =~ ^[A-Za-z0-9_]+$ ]] && kind=word
    [[ -n ${from["$kind:$text"]+set} ]] && continue
    from["$kind:$text"]=$where
    if [[ $kind == word ]]; then words+=("$text"); else texts+=("$text"); fi
  done
}

# Wire names: the second field of each row of the command table.
add text bridge/commands.cpp < <(grep -oE '\{Command::[A-Za-z]+, "[A-Z_]+"' bridge/commands.cpp |
                                 sed -E 's/.*"([A-Z_]+)"/\1/')
# Payload keys and their missing-value errors: {"key", KeyRule::rule, "error"...
add text bridge/commands.cpp < <(grep -oE '\{"[A-Za-z]+", KeyRule::[a-zA-Z]+, "[^"]*"' bridge/commands.cpp |
                                 sed -E 's/^\{"([A-Za-z]+)", KeyRule::[a-zA-Z]+, "([^"]*)"$/\1\n\2/')
# Engine failure prefixes, and the detail forms that follow them.
add text engine/engine_error.cpp < <(sed -n '/kPrefixes = {/,/};/p' engine/engine_error.cpp | literals)
add text engine/engine_error.cpp < <(sed -n '/^std::string statusFailure/,/^}/p; /^std::string nullFailure/,/^}/p' \
                                       engine/engine_error.cpp | literals)
# The operations and kinds those details name, wherever they are built.
while IFS= read -r file; do
  add text "$file" < <(grep -oE 'statusFailure\("[^"]*"' "$file" | sed -E 's/.*\("(.*)"$/\1 returned value /')
  add text "$file" < <(grep -oE 'nullFailure\("[^"]*"' "$file" | sed -E 's/.*\("(.*)"$/create null \1 value/')
done < <(grep -rlE 'statusFailure\("|nullFailure\("' bridge engine audio calls | sort)
# Fixed texts of failures, each literal piece of the argument: failed("..."),
# fail(request, "..."), a returned outcome text, a decoder description.
while IFS= read -r file; do
  add text "$file" < <(grep -E '(\bfailed|\bfail)\(|DecodeFailure\{|^ *return "[^"]*";' "$file" |
                       grep -vE '^ *//' |
                       sed -E 's/(statusFailure|nullFailure)\("[^"]*"//g' |
                       sed -E 's/.*(\bfailed\(|\bfail\([a-z.]+, |DecodeFailure\{|return )//' | literals)
done < <(find bridge engine audio calls -name '*.cpp' | sort)
# The limits REGISTER's texts are held to.
add text engine/input_limits.cpp < <(grep -E 'too long' engine/input_limits.cpp | literals)
add text engine/input_limits.cpp < <(grep -oE 'tooLong\("[A-Za-z]+"' engine/input_limits.cpp | sed -E 's/.*\("//; s/"$//')
# INITIALIZE's SDK messages and the variable it names.
add text engine/sdk_discovery.h < <(sed -n '/kSdkRootVariable =/,/;/p; /kSdkRootMissingMessage =/,/;/p; /kFrameworkMissingPrefix =/,/;/p' \
                                      engine/sdk_discovery.h | sed -E 's/^[^"]*=//' | literals)
# The invalid-request prefix and the line written for an unencodable answer.
add text bridge/protocol.h < <(sed -n '/kInvalidRequestPrefix =/,/;/p; /kEncodingFallbackResponse =/,/;/p' \
                                 bridge/protocol.h | sed -E 's/^[^"]*=//' | literals)
# Why REGISTER's security keys are refused.
add text engine/account_security.cpp < <(grep -E 'return "' engine/account_security.cpp | sed -E 's/.*return //' | literals)
# The stderr line for a refused certificate, and its reasons.
add text engine/tls_trust.cpp < <(sed -n '/kRefusedPrefix =/,/;/p; /kReasons = {/,/};/p' engine/tls_trust.cpp |
                                  sed -E 's/^[^"]*=//' | literals)
# The mirrored state words.
add word engine/event_mirror.cpp < <(grep -oE '\{"[A-Za-z]+", \{"[A-Za-z]+"' engine/event_mirror.cpp |
                                     sed -E 's/.*\{"([A-Za-z]+)"$/\1/' | sort -u)
add word engine/event_mirror.cpp < <(sed -n '/kCallLogStatuses = {/,/};/p; /kRegistrationStates = {/,/};/p' \
                                       engine/event_mirror.cpp | literals | sort -u)
add word bridge/helper_state.h < <(grep -E 'Str = "' bridge/helper_state.h | literals)
# Trace prefixes and stages.
add text "bridge/ engine/ audio/ calls/" < <(grep -rhoE '\[[A-Z_]+_TRACE\]' bridge engine audio calls | sort -u)
add text "bridge/ engine/ audio/ calls/" < <(grep -rhoE 'stage=[a-z_]+|dtmfStageHead\("[a-z_]+"' bridge engine audio calls |
                     sed -E 's/dtmfStageHead\("/stage=/; s/"$//' | sort -u)
# The engine's own log lines.
add text engine/core_setup.cpp < <(grep -E 'line = "\[LogLevel' engine/core_setup.cpp | literals)

missing=0
for text in "${texts[@]}"; do
  if [[ $doc != *"$text"* ]]; then
    printf '%s: missing from the protocol reference: %s\n' "${from["text:$text"]}" "$text"
    missing=$((missing + 1))
  fi
done
for word in "${words[@]}"; do
  if [[ $doc != *"\`$word\`"* ]]; then
    printf '%s: missing from the protocol reference: `%s`\n' "${from["word:$word"]}" "$word"
    missing=$((missing + 1))
  fi
done

total=$((${#texts[@]} + ${#words[@]}))
if ((total < 100)); then
  echo "only $total texts collected from $source_dir: the collection no longer matches the code" >&2
  exit 1
fi
if ((missing > 0)); then
  echo "$missing of $total texts are missing from $reference" >&2
  exit 1
fi
echo "all $total texts of the helper are in $reference"
