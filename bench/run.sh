#!/usr/bin/env bash
# Times pelmora-cli list against The Sleuth Kit's fls, ntfs-3g's ntfsundelete
# and a dd of the $MFT's bytes on big generated NTFS volumes (cached in the
# work dir). Needs root to make a volume (ntfs-3g mount).
# Usage: bench/run.sh [--sizes 20000,100000,1000000] [--runs N] [--workdir DIR]
#                     [--reuse] [--remake] [--jobs J] [--budget S] [--given TOOL=S] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=20000,100000,1000000 runs=5 workdir=build/bench build=1 jobs=2
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=$2; shift 2 ;;
    --files) sizes=$2; shift 2 ;;   # the older name for one size
    --runs) runs=$2; shift 2 ;;
    --workdir) workdir=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --budget) extra+=(--budget "$2"); shift 2 ;;
    --given) extra+=(--given "$2"); shift 2 ;;
    --reuse|--remake) extra+=("$1"); shift ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) echo "bench: unknown argument $1" >&2; exit 2 ;;
  esac
done

# setup.sh fails when one package (today wine32) cannot be had; the benchmark
# needs only some of them, and says which are missing below.
bash tools/setup.sh || echo "bench: tools/setup.sh did not install everything; going on" >&2
for tool in fls istat fsstat ntfsundelete ntfs-3g mkntfs fallocate dd; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (tools/setup.sh installs it)" >&2; exit 1; }
done

win_cli=build/win32/src/pelmora-cli.exe
if [ "$build" -eq 1 ]; then
  bash tools/build.sh release
  # The 32-bit CLI only matters where Wine can run it (Debian's wine warns
  # when its 32-bit half, wine32, is missing).
  if command -v wine >/dev/null && said=$(wine --version 2>&1) && ! grep -q "wine32 is missing" <<<"$said"; then
    bash tools/build.sh windows || echo "bench: the Windows build failed; the Wine section says so" >&2
  fi
fi
cli=build/release/src/pelmora-cli
[ -x "$cli" ] || { echo "bench: $cli is missing; build it with tools/build.sh release" >&2; exit 1; }

mkdir -p "$workdir"
python3 bench/measure.py --cli "$cli" --win-cli "$win_cli" --sizes "$sizes" --runs "$runs" \
  --workdir "$workdir" --jobs "$jobs" ${extra[@]+"${extra[@]}"}
