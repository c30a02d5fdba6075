#!/bin/sh
# Runs the installed form of the resource tool end to end against a private store.
set -u
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export BROLIX_REGISTRY="$dir/sub/registry.reg"
unset BROLIX_ENV
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" set InstallDir 'C:\Brolix\' || fail "set"
"$tool" set-number ArdwenDebugLevel 3 || fail "set-number"
[ "$("$tool" get installdir)" = 'C:\Brolix\' ] || fail "get text"
[ "$("$tool" get ArdwenDebugLevel)" = 3 ] || fail "get number"
grep -q '^"InstallDir"="C:\\\\Brolix\\\\"$' "$BROLIX_REGISTRY" || fail "store text"
grep -q '^"ArdwenDebugLevel"=dword:00000003$' "$BROLIX_REGISTRY" || fail "store number"
"$tool" delete InstallDir || fail "delete"
"$tool" get InstallDir 2>/dev/null; [ $? -eq 2 ] || fail "get of a deleted resource"
"$tool" 2>/dev/null; [ $? -eq 1 ] || fail "no command"
"$tool" help | grep -q BROLIX_REGISTRY || fail "help"
echo "ok"
