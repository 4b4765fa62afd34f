#!/usr/bin/env bash
# Runs the libFuzzer targets built by `tools/build.sh fuzz`.
#
#   tools/fuzz.sh [--time SECONDS] [--jobs N] [--build DIR] [--scratch] [TARGET...]
#
# TARGET: record runlist volume partitions image recoverypath lznt1 vhd vhdx ewf
# pieces xpress lzx carve (default all).
# Each target runs SECONDS (default 600) from the seeds in tests/fuzz/corpus
# plus its own growing corpus in DIR/corpus/TARGET (default DIR build/fuzz);
# --scratch uses a throw-away corpus instead, as the test command does.
# --jobs runs that many targets side by side. Findings (crash-, leak-,
# timeout-, oom- inputs) go to DIR/findings/TARGET; every run appends its
# executions to DIR/fuzz-runs.tsv, and the totals per target are printed.
# The exit code is 1 when any run ended with a finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=600 jobs=1 build=build/fuzz scratch=0 targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --scratch) scratch=1; shift ;;
    -h|--help) sed -n 2,14p "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(record runlist volume partitions image recoverypath lznt1 vhd vhdx ewf pieces xpress lzx carve reads deep)

max_len() {
  case "$1" in
    volume) echo 262144 ;;
    deep) echo 294912 ;;       # a small volume up to its root's index block, read for what it holds
    partitions|record|image) echo 16384 ;;
    recoverypath) echo 1024 ;;  # whole path cells (254 characters) and long names
    lznt1) echo 65537 ;;        # a whole compression unit of 16 clusters of 4 KiB, and the unit byte
    vhd|vhdx|pieces) echo 16384 ;;  # sparse files: the structures, a few blocks of data
    ewf) echo 32768 ;;          # two sparse segments of stored chunks
    xpress|lzx) echo 70000 ;;   # a chunk table and a few chunks, or one raw 64 KiB chunk
    carve) echo 4096 ;;         # a type byte, a window byte and a small file's structures
    reads) echo 256 ;;          # a disk's shape, eight bad ranges and sixteen reads
    *) echo 4096 ;;
  esac
}

run_one() {
  local target=$1 binary="$build/tests/fuzz_$1" corpus findings log status
  [ -x "$binary" ] || { echo "fuzz: $binary is not built (tools/build.sh fuzz)" >&2; return 1; }
  findings="$build/findings/$target"
  mkdir -p "$findings"
  if [ "$scratch" = 1 ]; then corpus=$(mktemp -d); else corpus="$build/corpus/$target"; mkdir -p "$corpus"; fi
  log=$(mktemp)
  status=0
  "$binary" "$corpus" "tests/fuzz/corpus/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "${execs:-0}" "$status" \
    >>"$build/fuzz-runs.tsv"
  # libFuzzer leaves with 72 when interrupted (SIGINT, SIGTERM): a stopped run, no finding.
  if [ "$status" = 72 ]; then
    echo "fuzz: $target interrupted" >&2
    status=0
  elif [ "$status" != 0 ]; then
    echo "fuzz: $target ended with a finding (exit $status); input in $findings" >&2
    grep -E 'ERROR|SUMMARY|==[0-9]+==|#[0-9]+ 0x' "$log" | head -40 >&2 || true
  fi
  echo "fuzz: $target: ${execs:-0} executions in ${seconds}s"
  rm -f "$log"
  [ "$scratch" = 1 ] && rm -rf "$corpus"
  return "$status"
}

failed=0
running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

if [ "$scratch" = 0 ]; then
  echo "fuzz: executions so far, per target:"
  awk -F'\t' '{ total[$2] += $4; if ($5 != 0 && $5 != 72) found[$2]++ }
              END { for (t in total) printf "  %-13s %12d  runs with a finding: %d\n", t, total[t], found[t] }' \
    "$build/fuzz-runs.tsv" | sort
fi
exit "$failed"
