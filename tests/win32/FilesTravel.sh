#!/usr/bin/env bash
# A storage saved by one build opens in the other with every value intact:
# the shared DOM's .dm2 files and the XML .storage files, from the Linux build
# to the Windows build under Wine and back.
# Usage: FilesTravel.sh <linux settingstore> <scripts/wine-run> <settingstore.exe>
set -euo pipefail
linux_cli=$1
wine_run=$2
windows_cli=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

linux() { "$linux_cli" "$@"; }
windows() { "$wine_run" "$windows_cli" "$@"; }

# One value of every type, written by separate processes as a user would.
fill() {
  "$@" set 'App\Window' width 1280 --type int
  "$@" set 'App\Window' title 'Main window'
  "$@" set App blob 00ff7f80 --type binary
  "$@" set 'App\Recent' files a.txt 'b c.txt' --type multi
}

status=0
for type in shared xml; do
  for writer in linux windows; do
    reader=$([ $writer = linux ] && echo windows || echo linux)
    dir=$work/$type-from-$writer
    mkdir -p "$dir"
    windows_dir=$("$wine_run" winepath -w "$dir" | tr -d '\r')
    path_of() { [ "$1" = windows ] && echo "$windows_dir" || echo "$dir"; }

    fill $writer --type $type --path "$(path_of $writer)"
    written=$($writer --type $type --path "$(path_of $writer)" dump)
    read_back=$($reader --type $type --path "$(path_of $reader)" dump)
    width=$($reader --type $type --path "$(path_of $reader)" get 'App\Window' width)
    files=$($reader --type $type --path "$(path_of $reader)" get 'App\Recent' files)
    if [ "$written" != "$read_back" ] || [ "$width" != 1280 ] || [ "$files" != $'a.txt\nb c.txt' ]; then
      echo "FAILED: $type storage written by $writer, read by $reader"
      diff <(echo "$written") <(echo "$read_back") || true
      echo "width: '$width', files: '$files'"
      status=1
    else
      echo "ok: $type storage written by $writer, read by $reader ($(ls -A "$dir" | tr '\n' ' '))"
    fi
  done
done
exit $status
