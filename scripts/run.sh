#!/usr/bin/env bash
# Builds the module for Linux and for Windows, decodes the demonstration B-Format signal (a
# sound that circles the listener) through the Linux module with bformat-decode, and says
# where the files are.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

# Linux: the decoder tool and the module it runs (the tool's build brings the module).
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target bformat-decode
# Windows: the module only; scripts/test.sh builds and runs its tests.
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j "$jobs" --target DUrazOdo

demo=$PWD/build/demo
mkdir -p "$demo"
echo
build/native/tools/bformat-decode/bformat-decode -o "$demo/demo-speakers.wav"

native_module=$(readlink -f build/native/tools/bformat-decode/DUrazOdo.so)
windows_module=$(find "$PWD/build/mingw64" -name DUrazOdo.dll -print -quit)
echo
echo "Demonstration, B-Format (W, X, Y, Z):   $demo/demo-bformat.amb"
echo "Demonstration, decoded speaker feeds:   $demo/demo-speakers.wav"
echo "  (front left, front right, back left, back right)"
echo "Decoder tool:     $PWD/build/native/tools/bformat-decode/bformat-decode"
echo "Linux module:     $native_module"
echo "Windows module:   ${windows_module:-not built}"
