#!/usr/bin/env bash
# The bash completion of kalax against the built tool:
#   completion_test.sh COMPLETION_SCRIPT KALAX
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
tool=$2
failed=0

# Completes the words (the last one is being typed) and prints the candidates.
complete_words() {
    COMP_WORDS=("$tool" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _kalax
    printf '%s\n' "${COMPREPLY[@]}"
}
expect() {
    local want=$1
    shift
    if ! complete_words "$@" | grep -x -- "$want" >/dev/null; then
        echo "FAIL: completing '$*' does not offer '$want' (offers: $(complete_words "$@" | tr '\n' ' '))"
        failed=1
    fi
}
refuse() {
    local unwanted=$1
    shift
    if complete_words "$@" | grep -x -- "$unwanted" >/dev/null; then
        echo "FAIL: completing '$*' offers '$unwanted'"
        failed=1
    fi
}

# Every command the overview lists, and the version option.
commands=$("$tool" --help | awk '/^commands:/ {on = 1; next} on && /^  [a-z]/ {print $1} on && /^$/ {exit}')
[ "$(echo "$commands" | wc -l)" -ge 9 ] || { echo "FAIL: too few commands read: $commands"; failed=1; }
for c in $commands; do expect "$c" ""; done
expect --version --ver
expect snmp-manager help sn
# Each command's own options, and no other command's.
expect --append log --app
expect --delete-after log --del
expect --password-file values --password-
expect --community snmp-manager --com
expect --quiet log-delete --q
refuse --append values --
# Option values: the choices the help lists.
expect alarm log --type ""
expect outputs log --group out
refuse --append log --type ""
exit $failed
