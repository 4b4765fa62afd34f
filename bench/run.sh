#!/usr/bin/env bash
# Times pelmora-cli against The Sleuth Kit's fls and ntfs-3g's ntfsundelete on
# one generated NTFS volume. Needs root (the volume maker mounts with ntfs-3g).
# Usage: bench/run.sh [--runs N] [--files N] [--workdir DIR] [--reuse] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5 files=20000 workdir=build/bench reuse=0 build=1
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --workdir) workdir=$2; shift 2 ;;
    --reuse) reuse=1; shift ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,4p' "$0"; exit 0 ;;
    *) echo "bench: unknown argument $1" >&2; exit 2 ;;
  esac
done

bash tools/setup.sh
[ "$build" -eq 0 ] || bash tools/build.sh release
cli=build/release/src/pelmora-cli
[ -x "$cli" ] || { echo "bench: $cli is missing; build it with tools/build.sh release" >&2; exit 1; }

mkdir -p "$workdir"
vol=$workdir/bench-vol.img
manifest=$workdir/bench-vol.tsv
if [ "$reuse" -eq 1 ] && [ -s "$vol" ] && [ -s "$manifest" ]; then
  echo "bench: reusing $vol" >&2
else
  [ "$(id -u)" -eq 0 ] || { echo "bench: making the volume needs root (ntfs-3g mount)" >&2; exit 1; }
  rm -f "$vol" "$manifest"
  echo "bench: making a volume with $files files" >&2
  python3 tools/mkvolume.py ntfs "$vol" --manifest "$manifest" --set bench --files "$files"
fi

python3 bench/measure.py --cli "$cli" --volume "$vol" --manifest "$manifest" \
  --runs "$runs" --workdir "$workdir" --out "$workdir/results.md"
