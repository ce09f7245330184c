#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time, each on a scratch copy of its seed
# corpus, and fails on the first crash, leak or sanitizer report.
#
#   bash fuzz/run.sh <build-dir> <seconds per target>
#
# A failing input is kept in <build-dir>/fuzz/artifacts/ for reproduction:
#   <build-dir>/fuzz/value_to_native_fuzz <artifact>
set -euo pipefail

build=${1:?usage: fuzz/run.sh <build-dir> <seconds>}
seconds=${2:?usage: fuzz/run.sh <build-dir> <seconds>}
here=$(cd "$(dirname "$0")" && pwd)
artifacts="$build/fuzz/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for seeds in "$here"/corpus/*/; do
  name=$(basename "$seeds")
  binary="$build/fuzz/${name}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary is missing; build the fuzz preset first" >&2
    exit 1
  fi
  corpus="$work/$name"
  cp -r "$seeds" "$corpus"
  mkdir -p "$artifacts"
  log="$work/$name.log"
  status=0
  "$binary" "$corpus" -max_total_time="$seconds" -rss_limit_mb=4096 -max_len=16384 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/${name}-" \
    >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*/[0-9a-zA-Z]*' "$log" | tail -n 1 || true)
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: ${name}_fuzz FAILED (exit $status) after ${execs:-?} runs; input kept in $artifacts" >&2
    exit 1
  fi
  echo "fuzz: ${name}_fuzz ok: ${execs:-?} runs in ${seconds} s, ${coverage:-no coverage line}"
done
