#!/usr/bin/env bash
# Runs the README's first block ("Two minutes") as a user pastes it, less its set-up and build
# line: against the programs in BIN, on a free port and with a data file of its own. Fails when
# any command of the block fails.
#
#   bash docs/quickstart_test.sh README.md build/release/apps
set -euo pipefail
readme=$1
bin=$(cd "$2" && pwd)

work=$(mktemp -d)
trap 'kill "$(jobs -p)" 2>/dev/null || true; rm -rf "$work"' EXIT

# The first sh block after the "Two minutes" heading.
awk '/^## Two minutes/ {found = 1} found && /^```sh$/ {inside = 1; next}
     inside && /^```$/ {exit} inside {print}' "$readme" >"$work/block.sh"
grep -q 'tirn-server' "$work/block.sh" || { echo "no quick start block in $readme"; exit 1; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The set-up and build line goes; the programs are the built ones; the port and the data file
# are this run's.
grep -v 'scripts/setup.sh' "$work/block.sh" |
  sed -e "s#build/default/apps/#$bin/#g" -e "s#7431#$port#g" -e "s#/tmp/records.db#$work/records.db#g" \
    >"$work/run.sh"
echo "wait" >>"$work/run.sh"

cd "$work"
TIRN_SERVER_LISTEN="127.0.0.1:$port" TIRN_SERVER_DRAIN_DELAY=0 TIRN_URL="http://127.0.0.1:$port" \
  timeout 60 bash -euo pipefail "$work/run.sh" >"$work/out" 2>"$work/err" || {
  echo "the README's quick start failed:"; cat "$work/run.sh"; echo "--- stdout"; cat "$work/out"
  echo "--- stderr"; cat "$work/err"; exit 1
}
grep -q '"key_id":"key-1"' "$work/out" || { echo "no provider in the output:"; cat "$work/out"; exit 1; }
echo "the README's quick start ran as pasted"
