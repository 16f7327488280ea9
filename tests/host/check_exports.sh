#!/usr/bin/env bash
# Fails when the shared library exports anything but the public API. With an
# objdump as second argument, LIB is a Windows DLL and its export table is read.
set -euo pipefail
lib=$1
objdump=${2:-}
public='InitializeStorage|DeinitializeStorage|GetStotageVersion'
classes='IAddRef|IStorageKey|INamesEnumerator|IStorageSection|IStorageController|ITraits|IStorageInitializer'
classes+='|Exception|OpenException|CreateException|DeleteException|NotEmptyException|IOException'
classes+='|MarkToDeleteException|TechnicalException|CheckStorageException|ChecksumException|LoadHiveException'
classes+='|LoadStorageFailedException|StorageAccessDeniedException|BadAllocException|ExternalException'
classes+='|InternalStructureException|AssertException|NoThrowStorageFactory|ISectionWatch'
functions='GetRegStorage|SetRegistryDatabase|GetRegType|GetXmlStorage|WatchSection|logger::SetSink|logger::SetLevel'
# Windows adds the virtual thunks and typeinfo of exported classes under these prefixes.
thunks='(non-)?virtual thunk to |construction vtable for |VTT for '
allowed="^(($thunks)?(typeinfo( name)? for |vtable for )?(storage::(($classes)(::|\$)|($functions)\()|CVelXmlParseException(::|\$))|($public)\$)"

if [ -n "$objdump" ]; then
  # The rows of "[Ordinal/Name Pointer] Table": "[   n] name".
  names=$("$objdump" -p "$lib" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')
  symbols=$(c++filt <<<"$names")
else
  symbols=$(nm -D --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^ +/, ""); print }' | c++filt)
fi
[ -n "$symbols" ] || { echo "no exported symbols in $lib"; exit 1; }
unexpected=$(grep -v -E "$allowed" <<<"$symbols" || true)
if [ -n "$unexpected" ]; then
  echo "exported but not public:"
  echo "$unexpected"
  exit 1
fi
for name in InitializeStorage DeinitializeStorage GetStotageVersion; do
  grep -qx "$name" <<<"$symbols" || { echo "missing export: $name"; exit 1; }
done
echo "$(wc -l <<<"$symbols") exported symbols, all public"
