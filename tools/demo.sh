#!/usr/bin/env bash
# Sets everything up and shows Pelmora at work on the bundled demo disk:
# its partitions, the deleted files of its NTFS partition, and their recovery.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh release
mkdir -p build/demo
xz -dkc demo/demo-disk.img.xz > build/demo/demo-disk.img
cli=build/release/src/pelmora-cli
disk=build/demo/demo-disk.img
before=$(sha256sum "$disk" | cut -d' ' -f1)

echo "== pelmora-cli partitions $disk"
"$cli" partitions "$disk"
echo
echo "== pelmora-cli list $disk --partition 1 --drive-text 'D:\\'"
"$cli" list "$disk" --partition 1 --drive-text 'D:\'
echo
rm -rf build/demo/recovered
echo "== pelmora-cli recover $disk --partition 1 --to build/demo/recovered"
"$cli" recover "$disk" --partition 1 --to build/demo/recovered
echo
echo "== the recovered files against what was written before deletion"
(cd build/demo/recovered && find . -type f | sort | while read -r f; do
  want=$(awk -F'\t' -v p="${f#./}" '$3 == p { print $5 }' ../../../demo/demo-disk.manifest.tsv)
  got=$(sha256sum "$f" | cut -d' ' -f1)
  [ "$want" = "$got" ] && echo "identical  ${f#./}" || { echo "DIFFERENT  ${f#./}"; exit 1; }
done)
[ "$(sha256sum "$disk" | cut -d' ' -f1)" = "$before" ] && echo "the disk image is unchanged"
