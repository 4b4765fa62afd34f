#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs every test.
# Real NTFS volumes are made with mkntfs and an ntfs-3g (FUSE) mount: run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh all
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
ctest --test-dir build/fuzz --output-on-failure -j "$(nproc)" -R '^fuzz_'
# The real Pelmora.exe under Wine and Xvfb, driven through its windows. Each
# scenario has its own limits, checked first; the outer ones only keep a
# stuck run from eating CI.
timeout --kill-after=30 600 python3 tests/e2e/rigcheck.py build/win32/src/Pelmora.exe build/native/src/pelmora-cli
timeout --kill-after=30 1800 python3 tests/e2e/e2e.py build/win32/src/Pelmora.exe build/native/src/pelmora-cli

# The Windows CLI's peak memory under Wine on two volume sizes: flat but for the rows.
timeout --kill-after=30 1200 python3 tests/e2e/memory.py build/win32/src/pelmora-cli.exe
