#!/usr/bin/env bash
# Builds the Windows zip from the two Windows build trees, already built, and checks it:
#
#   scripts/package-windows.sh [--wine WINE_RUN] [MINGW64_BUILD [MINGW32_BUILD]]
#
# (defaults build/mingw64 and build/mingw32) writes build/packages/DUrazOdo-VERSION-windows.zip
# holding x64/DUrazOdo.dll, x86/DUrazOdo.dll (debug information stripped), the host headers of
# include/durazodo, README-Windows.txt and LICENSE.txt (both with CRLF line ends). The check unpacks the zip and
# looks at each DLL: its machine, its four entry points, and no import beyond Windows' own
# DLLs. With --wine (the mingw64 tree's wine-run, with a Wine prefix and server up), the
# unpacked 64-bit DLL is also registered and unregistered with regsvr32 under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

wine_run=""
if [ "${1:-}" = "--wine" ]; then
  wine_run=$2
  shift 2
fi
build64=${1:-build/mingw64}
build32=${2:-build/mingw32}

fail() { echo "package-windows: $*" >&2; exit 1; }

version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }
version=$(version_of "$build64")
[ -n "$version" ] || fail "$build64 is not a configured build tree"
[ "$(version_of "$build32")" = "$version" ] || fail "$build64 and $build32 are different versions"

name=DUrazOdo-$version-windows
out=$PWD/build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
mkdir -p "$stage/x64" "$stage/x86" "$out"

x86_64-w64-mingw32-strip --strip-debug -o "$stage/x64/DUrazOdo.dll" "$build64/com/DUrazOdo.dll"
i686-w64-mingw32-strip --strip-debug -o "$stage/x86/DUrazOdo.dll" "$build32/com/DUrazOdo.dll"
headers=(include/durazodo/*.h)
if [ -e "${headers[0]}" ]; then
  mkdir -p "$stage/include/durazodo"
  cp "${headers[@]}" "$stage/include/durazodo/"
fi
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' packaging/windows/README-Windows.txt >"$stage/README-Windows.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

zip=$out/$name.zip
rm -f "$zip"
(cd "$work" && cmake -E tar cf "$zip" --format=zip --mtime=2026-01-01 "$name")

echo "=== Windows zip: $zip"
cmake -E tar tf "$zip" | sort | tee "$work/list"
for entry in "$name/x64/DUrazOdo.dll" "$name/x86/DUrazOdo.dll" "$name/README-Windows.txt" "$name/LICENSE.txt"; do
  grep -qx "$entry" "$work/list" || fail "$zip does not hold $entry"
done
for header in "${headers[@]}"; do
  [ -e "$header" ] || continue
  grep -qx "$name/$header" "$work/list" || fail "$zip does not hold $name/$header"
done

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
check_dll() {  # dll objdump format
  local dll=$1 objdump=$2 format=$3
  "$objdump" -p "$dll" >"$work/headers"
  "$objdump" -f "$dll" | grep -q "file format $format" || fail "$dll is not $format"
  for entry in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
    grep -qE "\] $entry\$" "$work/headers" || fail "$dll does not export $entry"
  done
  local imports
  imports=$(sed -n 's/^\s*DLL Name: //p' "$work/headers" | tr 'A-Z' 'a-z' | sort -u)
  if grep -vqxE '(kernel32|user32|gdi32|advapi32|ole32|oleaut32|winmm|shlwapi|msimg32|shell32|msvcrt|comctl32|api-ms-win-[a-z0-9-]+)\.dll' <<<"$imports"; then
    fail "$dll imports a DLL that Windows does not ship: $(echo $imports)"
  fi
  echo "$(basename "$(dirname "$dll")")/DUrazOdo.dll: $format, four entry points, imports $(echo $imports)"
}
check_dll "$work/unpacked/$name/x64/DUrazOdo.dll" x86_64-w64-mingw32-objdump pei-x86-64
check_dll "$work/unpacked/$name/x86/DUrazOdo.dll" i686-w64-mingw32-objdump pei-i386

if [ -n "$wine_run" ]; then
  dll="Z:$work/unpacked/$name/x64/DUrazOdo.dll"
  "$wine_run" regsvr32 /s "$dll" || fail "regsvr32 under Wine could not register the zip's 64-bit DLL"
  "$wine_run" regsvr32 /s /u "$dll" || fail "regsvr32 under Wine could not unregister the zip's 64-bit DLL"
  echo "x64/DUrazOdo.dll: registered and unregistered with regsvr32 under Wine"
fi
