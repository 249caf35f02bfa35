#!/usr/bin/env bash
# Builds the module for Linux and for Windows and says where the files are.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)
for preset in native mingw64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
echo
echo "Native build:  build/native"
echo "Windows build: build/mingw64"
