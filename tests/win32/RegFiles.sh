#!/usr/bin/env bash
# .reg files between the registry backend and Wine's own tools: a key that
# `regedit /E` exported comes back through the backend with every value and
# type, and what the backend exports, `regedit /S` imports and `reg query`
# lists as it was.
# Usage: RegFiles.sh <scripts/wine-run> <settingstore.exe>
set -euo pipefail
wine_run=$1
windows_cli=$2
# Wine reads the command line and writes reg's output in the terminal's
# charset; fixing it keeps the non-ASCII names the same on both sides.
export LC_ALL=C.UTF-8
key="HKCU\\Software\\SettingstoreRegFiles$$"
long="HKEY_CURRENT_USER\\Software\\SettingstoreRegFiles$$"
work=$(mktemp -d)
reg() { "$wine_run" reg "$@" | tr -d '\r'; }
cli() { "$wine_run" "$windows_cli" --type registry --path "$key" "$@"; }
cleanup() {
  reg delete "$key" /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/expect.sh"
cd "$work"

# regedit's export, imported by the backend after the key is gone.
reg add "$key\\Theirs\\Child" /v deep /t REG_DWORD /d 4294967295 /f >/dev/null
reg add "$key\\Theirs" /v number /t REG_DWORD /d 300 /f >/dev/null
reg add "$key\\Theirs" /v text /t REG_SZ /d 'C:\dir\file "quoted"' /f >/dev/null
reg add "$key\\Theirs" /v 'café' /t REG_SZ /d '' /f >/dev/null
reg add "$key\\Theirs" /v bytes /t REG_BINARY /d "$(printf '%02x' $(seq 100 163))" /f >/dev/null
reg add "$key\\Theirs" /v list /t REG_MULTI_SZ /d 'x\0y z' /f >/dev/null
reg add "$key\\Theirs" /ve /d 'the default' /f >/dev/null
before=$(cli dump)
"$wine_run" regedit /E theirs.reg "$long\\Theirs"
expect "regedit writes UTF-16 with its byte-order mark" "fffe" "$(head -c 2 theirs.reg | od -An -tx1 | tr -d ' ')"
reg delete "$key\\Theirs" /f >/dev/null
reg add "$key\\Theirs" /f >/dev/null
"$wine_run" "$windows_cli" --type registry --path "$key\\Theirs" import --format reg / theirs.reg
expect "regedit's export imported whole" "$before" "$(cli dump)"
expect "every type as reg add made it" $'\tstring\t12\nbytes\tbinary\t64\ncaf\xe9\tstring\t1\nlist\tmulti\t7\nnumber\tint\t4\ntext\tstring\t21' \
  "$(cli ls Theirs | grep -av '/$' | sort)"
expect "a dword of all ones" -1 "$(cli get Theirs/Child deep)"

# Our export in both versions, imported by regedit after the key is gone.
cli set Ours number -2 --type int
cli set Ours 'odd "name" \ here' 'C:\dir "quoted"'
cli set Ours 'naïve' 'déjà vu'
cli set Ours bytes "$(printf '%02x' $(seq 0 99))" --type binary
cli set Ours list one 'two words' 'thrée' --type multi
cli set Ours/Sub/Deeper number 7 --type int
reg add "$key\\Ours" /ve /d 'default' /f >/dev/null
before=$(reg query "$key\\Ours" /s)
for version in 5 4; do
  "$wine_run" "$windows_cli" --type registry --path "$key\\Ours" export --format reg --reg-version $version -o "ours$version.reg"
  reg delete "$key\\Ours" /f >/dev/null
  "$wine_run" regedit /S "ours$version.reg"
  expect "regedit imports our version $version file" "$before" "$(reg query "$key\\Ours" /s)"
done
exit $status
