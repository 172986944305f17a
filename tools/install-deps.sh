#!/usr/bin/env bash
# Installs the Debian packages the build needs. As root, missing packages
# are installed with apt-get; otherwise they are named and the script fails.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config make
          libgtest-dev libgmock-dev libbenchmark-dev
          libpugixml-dev libutfcpp-dev dpkg-dev file python3
          libcpp-httplib-dev libsqlite3-dev nlohmann-json3-dev
          clang libclang-rt-14-dev valgrind)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
