#!/usr/bin/env bash
# The whole test run: native tests, the installed tree and the Debian package, the native tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, the decoder and tool tests with the plain loops only (no x86 vector code),
# the decoder tests of the arm64 build under qemu-user, a short run of every fuzz target, the
# 32-bit Windows build (compile only: these machines cannot run i386 programs), the Windows
# build's tests under Wine and the Windows zip.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)

run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}

run_preset native
echo "=== native: tests"
ctest --preset native -j "$jobs"
bash scripts/package.sh build/native

run_preset native-asan
echo "=== native-asan: tests"
ctest --preset native-asan -j "$jobs" -LE large

run_preset native-tsan
echo "=== native-tsan: concurrency tests"
ctest --preset native-tsan -j "$jobs" -L concurrency --no-tests=ignore

run_preset native-plain
echo "=== native-plain: decoder and tool tests, plain loops only"
ctest --test-dir build/native-plain/tests/decoder -j "$jobs" --output-on-failure
ctest --test-dir build/native-plain/tests/tools -j "$jobs" -LE large --output-on-failure

run_preset arm64
echo "=== arm64: decoder tests under qemu-user"
ctest --preset arm64 -j "$jobs"

bash scripts/fuzz.sh

run_preset mingw32

run_preset mingw64
echo "=== mingw64: tests under Wine"
# One Wine prefix for the whole run, made before the tests start, and one wineserver kept
# alive across the test programs (a fresh server per program costs seconds each).
wine_run=build/mingw64/wine-run
WINEPREFIX=$PWD/build/mingw64/wine/prefix
export WINEPREFIX
mkdir -p "$WINEPREFIX"
# The window tests need a display, and Wine binds its desktop to the display of the first
# program of the session: start the X server before Wine.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
DISPLAY=":$(cat "$displayfile")"
export DISPLAY
rm -f "$displayfile"
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
"$wine_run" wineboot --init >/dev/null 2>&1
# A test program Wine now and then fails to start (failing at once, with no output) runs once
# more; a test that fails on its own fails both times.
ctest --preset mingw64 -j "$jobs" --output-on-failure --repeat until-pass:2
bash scripts/package-windows.sh --wine "$wine_run" build/mingw64 build/mingw32
