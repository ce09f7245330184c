#!/usr/bin/env bash
# Installs, through apt-get, what a fresh machine lacks for one command, and nothing more.
# Does nothing when everything is present.
#
#   scripts/setup.sh          build the libraries and the programs (the main command)
#   scripts/setup.sh test     and test them: test frameworks, curl, the fuzzing toolchain,
#                             Node.js and npm
#   scripts/setup.sh bench    and benchmark them against their peers
set -euo pipefail

packages=(cmake ninja-build g++ python3 libboost1.81-dev libboost-program-options1.81-dev rapidjson-dev
  libssl-dev libsqlite3-dev libpq-dev prometheus-cpp-dev)
case "${1:-build}" in
  build) ;;
  test) packages+=(libgtest-dev libgmock-dev curl pkg-config clang-14 libclang-rt-14-dev prometheus
    postgresql haproxy openssl) ;;
  bench) packages+=(libbenchmark-dev libboost-json1.81-dev libsimdjson-dev pkg-config libgrpc++-dev
    libprotobuf-dev protobuf-compiler protobuf-compiler-grpc) ;;
  *)
    echo "usage: scripts/setup.sh [build|test|bench]" >&2
    exit 2
    ;;
esac
# The OpenAPI checks of the test command run on Node.js and npm (tools/openapi): Debian's only
# when the machine has none, so that a newer Node.js already installed is kept.
if [ "${1:-build}" = test ] && ! { command -v node && command -v npm; } >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
