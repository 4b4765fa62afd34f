#!/usr/bin/env bash
# Sets everything up and shows what Pelmora reads on the bundled demo disk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh release
mkdir -p build/demo
xz -dkc demo/demo-disk.img.xz > build/demo/demo-disk.img
# The demo disk's NTFS partition starts at sector 2048.
build/release/src/pelmora-peek build/demo/demo-disk.img 2048
