#!/usr/bin/env bash
# The registry backend and Wine's own reg.exe on one registry: what
# settingstore.exe writes, reg query lists with the matching types and data,
# and what reg add writes, settingstore.exe reads back.
# Usage: RegistryInterop.sh <scripts/wine-run> <settingstore.exe>
set -euo pipefail
wine_run=$1
windows_cli=$2
key="HKCU\\Software\\SettingstoreInterop$$"
reg() { "$wine_run" reg "$@" | tr -d '\r'; }
cli() { "$wine_run" "$windows_cli" --type registry --path "$key" "$@"; }
trap 'reg delete "$key" /f >/dev/null 2>&1 || true' EXIT

. "$(dirname "$0")/expect.sh"

# The backend opens its path and never creates it.
reg add "$key" /f >/dev/null
cli set Written number 1280 --type int
cli set Written text 'two words'
cli set Written bytes 00ff7f80 --type binary
cli set Written list one two three --type multi
listed=$(reg query "$key\\Written" | sed -n 's/^ \+\([a-z]\+\) \+\(REG_[A-Z_]\+\) \+\(.*\)$/\1 \2 \3/p' | sort)
expect "reg query lists what settingstore wrote" \
  "$(printf '%s\n' 'bytes REG_BINARY 00FF7F80' 'list REG_MULTI_SZ one\0two\0three' \
       'number REG_DWORD 0x500' 'text REG_SZ two words')" "$listed"

reg add "$key\\Added" /v number /t REG_DWORD /d 42 /f >/dev/null
reg add "$key\\Added" /v text /t REG_SZ /d 'from reg' /f >/dev/null
reg add "$key\\Added" /v bytes /t REG_BINARY /d 0a0b0c /f >/dev/null
reg add "$key\\Added" /v list /t REG_MULTI_SZ /d 'x\0y z' /f >/dev/null
expect "REG_DWORD read back" 42 "$(cli get Added number)"
expect "REG_SZ read back" 'from reg' "$(cli get Added text)"
expect "REG_BINARY read back" 0a0b0c "$(cli get Added bytes)"
expect "REG_MULTI_SZ read back" $'x\ny z' "$(cli get Added list)"
expect "types as the backend sees them" $'bytes\tbinary\t3\nlist\tmulti\t7\nnumber\tint\t4\ntext\tstring\t9' \
  "$(cli ls Added | sort)"
exit $status
