#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian 12 machine. Idempotent:
# quick when everything is already there.
set -euo pipefail

packages=(
  cmake g++ libgtest-dev libbenchmark-dev
  libsqlite3-dev
  python3-dev python3-pytest python3-numpy python3-pip python3-setuptools python3-wheel
  python3-distributed  # Dask, for the batch-job tests only
  gdal-bin python3-gdal
  clang-16 libclang-rt-16-dev
  # The 32-bit ARM build of the core and its tests, run under qemu-user.
  g++-arm-linux-gnueabihf libsqlite3-dev:armhf libgtest-dev:armhf qemu-user
)

# Node.js runs the independent LAZ decoder of the tests; a node from elsewhere will do.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

# The armhf libraries come through multiarch (the update below then lists them).
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  "${sudo_cmd[@]}" dpkg --add-architecture armhf
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The independent LAZ decoder (npm package laz-perf), pinned by the lock file.
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -f "$root/tests/lazperf/node_modules/laz-perf/package.json" ]]; then
  echo "setup: installing the laz-perf test decoder"
  (cd "$root/tests/lazperf" && npm ci --no-audit --no-fund --silent)
fi
