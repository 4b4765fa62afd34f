#!/usr/bin/env bash
# Remakes the bundled demo disk (demo/demo-disk.img.xz): an MBR disk with one
# NTFS partition at sector 2048 holding the "demo" set. Needs root (ntfs-3g).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 tools/mkvolume.py ntfs "$work/vol.img" --manifest demo/demo-disk.manifest.tsv --set demo --size-mib 16
python3 tools/mkdisk.py "$work/disk.img" "ntfs:$work/vol.img"
xz -9e -T2 -c "$work/disk.img" > demo/demo-disk.img.xz
