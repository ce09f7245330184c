#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs the whole suite in the
# optimised build and in the AddressSanitizer + UndefinedBehaviorSanitizer build, the
# concurrency tests under ThreadSanitizer, and the fuzz targets for a bounded time.
#
#   scripts/test.sh              everything
#   FUZZ_SECONDS=300 scripts/test.sh   fuzz each target longer (30 s by default)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${JOBS:-$(nproc)}
start=$SECONDS

run_preset() {
  local preset=$1
  shift
  echo "==== $preset ===="
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset release

echo "==== installed package ===="
rm -rf build/install build/consumer
cmake --install build/release --prefix "$PWD/build/install" >/dev/null
cmake -S examples/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install" \
  >/dev/null
cmake --build build/consumer
build/consumer/consumer

run_preset asan
run_preset tsan

echo "==== fuzz ===="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target tirn_fuzz_targets
bash fuzz/run.sh build/fuzz "${FUZZ_SECONDS:-30}"

echo "All suites passed in $((SECONDS - start)) s."
