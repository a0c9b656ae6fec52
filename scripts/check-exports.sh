#!/usr/bin/env bash
# Compares the export table of a Vexan.dll with the header's declarations:
# every VEXAN_API / VEXAN_PAUSE_API function is exported, under its plain name,
# except that a 32-bit DLL exports the stdcall pause pair decorated
# (_Vexan_Pause@4, _Vexan_Start@0); nothing else is exported. Then links a
# small caller of those exports against the import library next to the DLL.
# Usage: scripts/check-exports.sh <mingw-prefix> <path/to/Vexan.dll>
#   e.g. scripts/check-exports.sh i686-w64-mingw32 build/win32/src/Vexan.dll
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1
dll=$2
header="$root/include/vexan.h"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$prefix" in
i686-*) decorate=1 ;;
*) decorate=0 ;;
esac

# One declaration per line: join the header's lines, drop the comments and
# preprocessor lines, then split at ';'.
grep -v '^#' "$header" | tr '\n' ' ' |
    sed -E 's#/\*([^*]|\*+[^*/])*\*+/# #g' | tr ';' '\n' |
    sed -nE 's/^.*(VEXAN_(PAUSE_)?API .*Vexan_[A-Za-z0-9_]+ *\(.*\)) *$/\1/p' |
    sed -E 's/\s+/ /g' >"$work/declarations"

: >"$work/expected"
while IFS= read -r declaration; do
    name=$(sed -E 's/.*[ *](Vexan_[A-Za-z0-9_]+) ?\(.*/\1/' <<<"$declaration")
    if [[ $decorate == 1 && $declaration == *VEXAN_STDCALL* ]]; then
        # stdcall decoration: the bytes of the arguments, 4 per parameter here
        # (no parameter is wider than 32 bits).
        params=$(sed -E 's/[^(]*\((.*)\).*/\1/' <<<"$declaration" | sed -E 's/^ +| +$//g')
        if [[ $params == void || -z $params ]]; then
            count=0
        else
            count=$(($(tr -cd ',' <<<"$params" | wc -c) + 1))
        fi
        name="_${name}@$((count * 4))"
    fi
    echo "$name" >>"$work/expected"
done <"$work/declarations"
sort -o "$work/expected" "$work/expected"

"$prefix-objdump" -p "$dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^\s*\[ *[0-9]+\] (.+)$/\1/p' | sort >"$work/exported"

expected=$(wc -l <"$work/expected")
if ! diff -u "$work/expected" "$work/exported" >"$work/diff"; then
    echo "check-exports: $dll differs from the header (- missing, + extra):" >&2
    grep -E '^[-+][^-+]' "$work/diff" >&2 || true
    exit 1
fi
echo "check-exports: $dll exports the header's $expected functions, nothing else"

# The import library: a caller of the pause pair and one plain export links.
cat >"$work/caller.c" <<'CALLER'
#define VEXAN_USING_SHARED
#include "vexan.h"
int main(void)
{
    Vexan_Pause(1);
    Vexan_Start();
    return Vexan_GetVersion() == 0;
}
CALLER
import_lib="$(dirname "$dll")/Vexan.lib"
"$prefix-gcc-posix" -std=c99 -Wall -Werror -I"$root/include" "$work/caller.c" "$import_lib" -o "$work/caller.exe"
"$prefix-objdump" -p "$work/caller.exe" >"$work/caller.imports"
grep -q "DLL Name: Vexan.dll" "$work/caller.imports"
echo "check-exports: a caller links against $(basename "$import_lib") and imports from Vexan.dll"
