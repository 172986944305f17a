#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that one kind of work needs, and no more:
#
#   tools/install-deps.sh [SET] [extra packages...]
#     demo   build the library, the emulator, the tool and the demo
#     test   build and run the whole test suite (the default)
#     deb    build the Debian packages (make deb)
#     check  everything check-all runs: sanitizers, fuzzing, valgrind, lintian
#     browser  the hub's page in a real browser (CI installs it; `make test`
#              skips that test where it is missing)
#
# As root, missing packages are installed with apt-get; otherwise they are
# named and the script fails.
set -euo pipefail

# The demo registers a sale through tivax-hub too: its HTTP, JSON, journal
# and archive (zip) libraries, and curl as the checkout. The emulator signs
# its CF-e with xmlsec1 and OpenSSL.
demo=(g++ cmake ninja-build make pkg-config libpugixml-dev libutfcpp-dev
      libmicrohttpd-dev libsqlite3-dev nlohmann-json3-dev libzip-dev curl
      libxmlsec1-dev libxmlsec1-openssl libssl-dev)
deb=("${demo[@]}" dpkg-dev file)
# xmlsec1 verifies the emulator's signatures in the tests.
test=("${demo[@]}" libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev file
      python3 python3-venv groff-base man-db xmlsec1 prometheus)
browser=("${test[@]}" chromium chromium-driver python3-selenium)
check=("${test[@]}" clang libclang-rt-14-dev valgrind lintian)

set_name=test
if [ $# -gt 0 ] && [[ $1 != -* ]] && [[ " demo test deb check browser " == *" $1 "* ]]; then
  set_name=$1
  shift
fi
declare -n chosen=$set_name
packages=("${chosen[@]}" "$@")

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
