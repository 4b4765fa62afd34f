#!/usr/bin/env bash
# Builds the native programs and tests (ASan + UBSan), the libFuzzer targets
# (clang) and the 32-bit Windows programs (Pelmora.exe, pelmora-cli.exe).
# Usage: tools/build.sh [native|fuzz|windows|release|all]   (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=$(nproc)

if [ "$what" = native ] || [ "$what" = all ]; then
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELMORA_SANITIZE=ON >/dev/null
  ninja -C build/native -j "$jobs"
fi
if [ "$what" = fuzz ] || [ "$what" = all ]; then
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELMORA_SANITIZE=ON -DPELMORA_FUZZ=ON >/dev/null
  ninja -C build/fuzz -j "$jobs" fuzzers
fi
if [ "$what" = release ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMORA_TESTS=OFF >/dev/null
  ninja -C build/release -j "$jobs"
fi
if [ "$what" = windows ] || [ "$what" = all ]; then
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C build/win32 -j "$jobs"
fi
