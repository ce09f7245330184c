#!/usr/bin/env bash
# Installs what a fresh machine lacks to build, test, fuzz and benchmark the library, through
# apt-get. Does nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3
  libboost1.81-dev libboost-json1.81-dev libboost-program-options1.81-dev rapidjson-dev
  libsimdjson-dev libssl-dev libsqlite3-dev curl
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
)

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
