#!/usr/bin/env bash
# Checks installing and packaging the native build (default build/native, already built):
#
#  1. `cmake --install` into a temporary DESTDIR; the installed bformat-decode decodes the
#     demonstration with the build tree out of reach (an empty file system mounted over it in
#     a private mount namespace, or, where that is not allowed, the tree moved aside for the
#     run), and its output equals the build tree's byte for byte.
#     The LV2 bundle lies in PREFIX/lib/lv2, where lv2ls finds every plugin and lv2apply
#     runs one with the build tree out of reach.
#     The installed GStreamer plugin, found by gst-launch-1.0 in GStreamer's plugin folder under
#     the prefix, decodes the demonstration through decodebin to the same samples.
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


# The LV2 bundle under `root`/lib/lv2: every plugin listed, the square decodes the
# demonstration with the build tree out of reach, and the library searches no build path.
check_lv2_bundle() {
  local root=$1 bundle=$1/lib/lv2/durazodo.lv2
  for file in manifest.ttl durazodo.ttl durazodo.so; do
    [ -f "$bundle/$file" ] || fail "$bundle/$file is missing"
  done
  local plugins
  plugins=$(grep -c 'a lv2:Plugin' "$bundle/manifest.ttl")
  [ "$(LV2_PATH="$root/lib/lv2" lv2ls | grep -c '^http://durazodo.example/lv2/')" -eq "$plugins" ] ||
    fail "lv2ls does not list the $plugins plugins the manifest of $bundle names"
  if readelf -d "$bundle/durazodo.so" | grep -Eq 'R(UN)?PATH'; then fail "$bundle/durazodo.so has a library search path"; fi
  out_of_reach env LV2_PATH="$root/lib/lv2" lv2apply -i "$work/reference/demo-bformat.amb" -o "$work/lv2-square.wav" \
    http://durazodo.example/lv2/speakers-4 || fail "lv2apply cannot run the square of $bundle"
  echo "LV2 bundle in $root/lib/lv2: $plugins plugins, the square decodes with the build tree out of reach"
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
check_lv2_bundle "$root"

# The GStreamer plugin, when the build has one.
gst_plugindir=$(sed -n 's/^DURAZODO_INSTALL_GST_PLUGINDIR:STRING=//p' "$build/CMakeCache.txt")
if [ -n "$gst_plugindir" ]; then
  plugin="$root/$gst_plugindir/libgstdurazodo.so"
  [ -f "$plugin" ] || fail "cmake --install did not install $prefix/$gst_plugindir/libgstdurazodo.so"
  samples() { python3 tests/gstreamer/wave_data.py "$1"; }
  env GST_PLUGIN_PATH="$root/$gst_plugindir" GST_REGISTRY="$work/gst-registry.bin" \
    gst-launch-1.0 -q filesrc location="$work/reference/demo-bformat.amb" ! decodebin ! wavenc ! \
    filesink location="$work/installed/gst-speakers.wav"
  cmp <(samples "$work/reference/demo-speakers.wav") <(samples "$work/installed/gst-speakers.wav") ||
    fail "the installed GStreamer plugin decoded other samples"
  echo "installed GStreamer plugin: decodebin picks it and decodes the same samples"
fi

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
            usr/share/doc/durazodo/copyright usr/lib/lv2/durazodo.lv2/manifest.ttl \
            usr/lib/lv2/durazodo.lv2/durazodo.ttl usr/lib/lv2/durazodo.lv2/durazodo.so; do
  grep -q " \./$file\$" "$work/contents" || fail "$deb does not hold /$file"
done
grep -q libmysofa1 "$work/depends" || fail "the package does not depend on libmysofa1 (the LV2 headphone plugin)"
if [ -n "$gst_plugindir" ]; then
  grep -q " \./usr/$gst_plugindir/libgstdurazodo.so\$" "$work/contents" || fail "$deb does not hold the GStreamer plugin"
fi
echo "=== Debian package: lintian"
lintian --no-tag-display-limit "$deb" 2>/dev/null | tee "$work/lintian" || true
if grep -q '^E:' "$work/lintian"; then fail "lintian reports errors"; fi
echo "lintian: $(grep -c '^E:' "$work/lintian") errors, $(grep -c '^W:' "$work/lintian") warnings"
dpkg-deb --extract "$deb" "$work/deb"
grep -qx "License: Expat" "$work/deb/usr/share/doc/durazodo/copyright" || fail "the package's copyright file names no MIT licence"
decode_with "$work/deb/usr" "$work/deb-run"
echo "packaged bformat-decode: output equals the build tree's"
check_lv2_bundle "$work/deb/usr"
echo "package: $deb"
