#!/usr/bin/env bash
# Checks installing and packaging the native build (default build/native, already built):
#
#  1. `cmake --install` into a temporary DESTDIR; the installed bformat-decode decodes the
#     demonstration with the build tree out of reach (an empty file system mounted over it in
#     a private mount namespace, or, where that is not allowed, the tree moved aside for the
#     run), and its output equals the build tree's byte for byte.
#  2. `cpack` builds the Debian package; `dpkg-deb --info` shows it; lintian must report no
#     errors; the package's files lie where the README says, and its bformat-decode, unpacked,
#     decodes the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(cd "${1:-build/native}" && pwd)
work=$(mktemp -d)
moved_aside=""
cleanup() {
  if [ -n "$moved_aside" ] && [ -d "$moved_aside" ]; then mv "$moved_aside" "$build"; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "package: $*" >&2; exit 1; }

# Runs a command with the build tree out of reach, from /, with a bare environment and an
# registry store of its own, new and empty (so no registered build-tree module is found).
out_of_reach() {
  local probe="$build/com/DUrazOdo.so"
  local run=(env -i PATH=/usr/bin:/bin HOME="$work" DURAZODO_REGISTRY="$work/registry" "$@")
  local check='if [ -e "$1" ]; then echo "the build tree is still in reach" >&2; exit 3; fi; shift; cd / && exec "$@"'
  if unshare --mount true 2>/dev/null; then
    unshare --mount bash -c 'mount -t tmpfs -o size=1m,mode=000 none "$1" && shift && eval "$0"' \
      "$check" "$build" "$probe" "${run[@]}"
  else
    moved_aside="$build.out-of-reach.$$"
    mv "$build" "$moved_aside"
    local rc=0
    bash -c "$check" _ "$probe" "${run[@]}" || rc=$?
    mv "$moved_aside" "$build"
    moved_aside=""
    return $rc
  fi
}

# Decodes the demonstration with the bformat-decode under `root` into `out`, checks that the
# module it used is the one under `root`, and that the bytes equal the build tree's.
decode_with() {
  local root=$1 out=$2
  mkdir -p "$out"
  out_of_reach "$root/bin/bformat-decode" -o "$out/demo-speakers.wav" >"$out/summary"
  grep decoder "$out/summary" | grep -qF "$root/bin/../" || { cat "$out/summary"; fail "the decode did not use the module under $root"; }
  cmp "$work/reference/demo-bformat.amb" "$out/demo-bformat.amb" || fail "the demonstration input differs"
  cmp "$work/reference/demo-speakers.wav" "$out/demo-speakers.wav" || fail "$root/bin/bformat-decode decoded other bytes than the build tree"
  out_of_reach "$root/bin/bformat-decode" --version
  out_of_reach "$root/bin/durazodo-regsvr" --version
  for binary in "$root"/bin/* "$root"/lib*/durazodo/*.so; do
    if readelf -d "$binary" | grep -E 'R(UN)?PATH' | grep -vq '\[\$ORIGIN'; then
      fail "$binary searches a library path that is not relative to itself"
    fi
  done
}


mkdir "$work/reference"
DURAZODO_REGISTRY=$work/registry "$build/tools/bformat-decode/bformat-decode" --quiet \
  -o "$work/reference/demo-speakers.wav"

echo "=== install: cmake --install into a temporary DESTDIR"
DESTDIR="$work/stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
root="$work/stage$prefix"
for file in bin/bformat-decode bin/durazodo-regsvr "$libdir/durazodo/DUrazOdo.so" "$libdir/durazodo/libwinplatform.so" \
            share/man/man1/bformat-decode.1.gz share/man/man1/durazodo-regsvr.1.gz \
            share/doc/durazodo/copyright; do
  [ -f "$root/$file" ] || fail "cmake --install did not install $prefix/$file"
done
for header in include/durazodo/*.h; do
  [ -e "$header" ] || continue
  [ -f "$root/$header" ] || fail "cmake --install did not install $prefix/$header"
done
decode_with "$root" "$work/installed"
echo "installed bformat-decode, build tree out of reach: output equals the build tree's"

# Registered with the installed durazodo-regsvr, the installed module decodes as the
# registered filter.
module="$root/$libdir/durazodo/DUrazOdo.so"
out_of_reach "$root/bin/durazodo-regsvr" "$module"
mkdir "$work/registered"
out_of_reach "$root/bin/bformat-decode" -o "$work/registered/demo-speakers.wav" >"$work/registered/summary"
grep -q "registered decoder filter" "$work/registered/summary" || { cat "$work/registered/summary"; fail "the registered module was not used"; }
cmp "$work/reference/demo-speakers.wav" "$work/registered/demo-speakers.wav" || fail "the registered module decoded other bytes"
out_of_reach "$root/bin/bformat-decode" --version | grep -qF "$module, file version" || fail "--version does not name the registered module"
out_of_reach "$root/bin/durazodo-regsvr" -u "$module"
echo "installed durazodo-regsvr: the registered module decodes the same bytes"

echo "=== Debian package: cpack"
rm -f "$build"/packages/durazodo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/packages/durazodo_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --field "$deb" Depends >"$work/depends"
grep -q libsndfile1 "$work/depends" || fail "the package does not depend on libsndfile1"
# The project maintains the package, and the copyright file grants the MIT (Expat) licence.
dpkg-deb --field "$deb" Maintainer | grep -qx "DUrazOdo project <[^>]*>" || fail "the package's maintainer is not the project"
dpkg-deb --contents "$deb" >"$work/contents"
for file in usr/bin/bformat-decode usr/bin/durazodo-regsvr usr/lib/durazodo/DUrazOdo.so \
            usr/lib/durazodo/libwinplatform.so usr/share/man/man1/bformat-decode.1.gz \
            usr/share/doc/durazodo/copyright; do
  grep -q " \./$file\$" "$work/contents" || fail "$deb does not hold /$file"
done
echo "=== Debian package: lintian"
lintian --no-tag-display-limit "$deb" 2>/dev/null | tee "$work/lintian" || true
if grep -q '^E:' "$work/lintian"; then fail "lintian reports errors"; fi
echo "lintian: $(grep -c '^E:' "$work/lintian") errors, $(grep -c '^W:' "$work/lintian") warnings"
dpkg-deb --extract "$deb" "$work/deb"
grep -qx "License: Expat" "$work/deb/usr/share/doc/durazodo/copyright" || fail "the package's copyright file names no MIT licence"
decode_with "$work/deb/usr" "$work/deb-run"
echo "packaged bformat-decode: output equals the build tree's"
echo "package: $deb"
