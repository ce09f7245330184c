#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the reference server, and
# runs the walkthrough (a client driving all four services through the generated stubs).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-$(nproc)}" --target tirn_walkthrough
exec build/default/examples/tirn_walkthrough "$@"
