#!/usr/bin/env bash
# check_options.sh BUILD_DIR
# What a user reads and types agrees with what the programs take: every option of --help is
# in the man page as it renders and is offered by the bash completion, and nothing else is
# offered. For tarovue-scan also: the man page's synopsis names, mode by mode, the options of
# the help's synopsis; both list the same watch events; the man page keeps the inventory's
# quotes; values are completed after an option. Runs --help only: nothing touches a network.
# Prints one line per fault and exits 1 when there was any.
set -uo pipefail

build=$1
faults=0
fault() {
  echo "FAULT: $*"
  faults=$((faults + 1))
}
options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
# The page as `man` shows it, one paragraph a line and nothing hyphenated, so that an option
# is never cut at a line's end.
render() { groff -man -Tascii -rLL=10000n -rHY=0 -P-cbou "$1" 2>/dev/null; }
# What the completion offers for the words after the program's name, the last one being
# completed, one a line.
offered() {
  local program=$1
  shift
  bash -c '
    source "$1"
    function=$(complete -p "$2" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    COMP_WORDS=("${@:2}")
    COMP_CWORD=$(($# - 2))
    "$function"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$build/data/bash-completion/$program" "$program" "$@"
}

for program in tarovue-scan tarovue-sim; do
  help=$("$build/$program" --help) || fault "$program --help failed"
  page=$build/man/$program.1
  [ -f "$page" ] || fault "no man page $page"
  missing=$(comm -23 <(options <<<"$help") <(render "$page" | options))
  [ -z "$missing" ] || fault "$program.1 does not describe:" $missing
  offer=$(offered "$program" "" | sort -u)
  missing=$(comm -23 <(options <<<"$help") <(echo "$offer"))
  [ -z "$missing" ] || fault "the completion of $program does not offer:" $missing
  extra=$(comm -13 <(options <<<"$help") <(echo "$offer"))
  [ -z "$extra" ] || fault "the completion of $program offers what --help does not name:" $extra
done

# tarovue-scan's synopsis, one block per mode: the help's lines from "tarovue-scan" to the
# next, the man page's between .br requests.
scan_help=$("$build/tarovue-scan" --help)
help_blocks=$(sed -n '1,/^[^ U]/p' <<<"$scan_help" | sed '$d' |
  awk '/^(Usage: |       )tarovue-scan/ && NR > 1 { print "" } { printf "%s ", $0 } END { print "" }')
man_blocks=$(sed -n '/^\.SH SYNOPSIS/,/^\.SH DESCRIPTION/p' "$build/man/tarovue-scan.1" |
  sed 's/\\-/-/g' | awk '/^\.br/ { print ""; next } { printf "%s ", $0 } END { print "" }')
mapfile -t help_lines <<<"$help_blocks"
mapfile -t man_lines <<<"$man_blocks"
[ "${#help_lines[@]}" -eq "${#man_lines[@]}" ] ||
  fault "the help's synopsis has ${#help_lines[@]} lines, the man page's ${#man_lines[@]}"
for i in "${!help_lines[@]}"; do
  in_help=$(options <<<"${help_lines[$i]}" | tr '\n' ' ')
  in_man=$(options <<<"${man_lines[$i]:-}" | tr '\n' ' ')
  [ "$in_help" = "$in_man" ] ||
    fault "synopsis line $((i + 1)): the help has [$in_help], the man page [$in_man]"
done

events() { tr -s ' \n' ' ' | sed -n 's/.* a line per event (\([^)]*\)).*/\1/p'; }
help_events=$(events <<<"$scan_help")
man_events=$(render "$build/man/tarovue-scan.1" | events)
[ -n "$help_events" ] && [ "$help_events" = "$man_events" ] ||
  fault "watch events: the help lists '$help_events', the man page '$man_events'"

# A .B request once took the quotes for its own and printed {format: tarovue-inventory, ...}.
render "$build/man/tarovue-scan.1" | grep -qF '{"format": "tarovue-inventory", "version": 1,' ||
  fault "tarovue-scan.1 loses the quotes of the inventory's keys"

[ "$(offered tarovue-scan --format "" | tr '\n' ' ')" = "table json csv " ] ||
  fault "--format completes to: $(offered tarovue-scan --format "")"
[ "$(offered tarovue-scan --format = j)" = json ] || fault "--format=j does not complete to json"
[ -z "$(offered tarovue-scan --time "")" ] || fault "--time completes to options"
dir=$(mktemp -d)
touch "$dir/inventory.json"
[ "$(offered tarovue-scan --watch --save "$dir/inv")" = "$dir/inventory.json" ] ||
  fault "--save does not complete a file name: $(offered tarovue-scan --save "$dir/inv")"
rm -rf "$dir"

[ "$faults" -eq 0 ] && echo "options documented and completed"
[ "$faults" -eq 0 ]
