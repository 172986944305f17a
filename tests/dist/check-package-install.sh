#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages of a `make deb` tree on this machine, as a
# store would, and checks that they work there: the library is found by the
# loader, the tools run, and the tivax-hub service starts the way its unit
# starts it (as its own user, with the installed configuration) and serves
# a checkout through an emulated device. Everything is purged afterwards.
# Root only: it changes the system.
#
#   check-package-install.sh PACKAGE_DIR
set -euo pipefail
packages=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "package install check: skipped (needs root)"; exit 0; }
work=$(mktemp -d)
hub_pid= emulator_pid=
fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  [ -n "$hub_pid" ] && kill "$hub_pid" 2>/dev/null
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null
  wait 2>/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq libtivax1 libtivax-dev tivax-tools \
    python3-tivax tivax-hub >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$packages"/*.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "the packages do not install"; }

grep -q 'libtivax\.so\.1 ' <<<"$(ldconfig -p)" || fail "ldconfig does not know libtivax.so.1"
tivax --help >/dev/null || fail "tivax does not run"
/usr/bin/python3 -c 'import tivax' || fail "the Python module does not import"
id -nG tivax-hub | grep -qw dialout || fail "the tivax-hub user is not in dialout"
conf=/etc/tivax/hub.conf
[ "$(stat -c '%U %a' "$conf")" = "tivax-hub 600" ] || fail "$conf is $(stat -c '%U %a' "$conf")"
unit=$(find /lib/systemd/system /usr/lib/systemd/system -name tivax-hub.service 2>/dev/null | head -n 1)
[ -n "$unit" ] || fail "no tivax-hub.service"
if command -v systemd-analyze >/dev/null; then
  # Only the unit's own lines count: the machine's other units are not ours.
  verify=$(systemd-analyze verify "$unit" 2>&1 | grep -F tivax-hub.service || true)
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
fi

# The device: an emulator whose terminal the hub's user may open, as udev
# opens the real one to dialout.
tivax-emulator --link "$work/port" --codigo codigo-da-loja-1 >"$work/emulator.out" 2>&1 &
emulator_pid=$!
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
[ -e "$work/port" ] || fail "the emulator did not start: $(cat "$work/emulator.out")"
chgrp dialout "$(readlink -f "$work/port")" && chmod 0660 "$(readlink -f "$work/port")"
chmod 0755 "$work"

# The installed configuration holds the example's activation code, with
# which the hub refuses to start; then it is given the device's code, the
# emulator's port and a free address.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${exec_start%% *}" = /usr/bin/tivax-hub ] || fail "the unit runs ${exec_start%% *}"
# shellcheck disable=SC2086
if setpriv --reuid=tivax-hub --regid=tivax-hub --init-groups -- $exec_start >/dev/null 2>"$work/placeholder.log"; then
  fail "the hub started with the example's activation code"
fi
grep -q "ainda é o do exemplo" "$work/placeholder.log" || fail "no word about the example's code: $(cat "$work/placeholder.log")"
sed -i -e "s|^#porta = .*|porta = $work/port|" -e 's|^escutar = .*|escutar = 127.0.0.1:0|' \
  -e 's|^codigo_ativacao = .*|codigo_ativacao = codigo-da-loja-1|' "$conf"
mkfifo "$work/address"
# shellcheck disable=SC2086
setpriv --reuid=tivax-hub --regid=tivax-hub --init-groups -- $exec_start >"$work/address" 2>"$work/hub.log" &
hub_pid=$!
read -r address <"$work/address" || fail "the hub did not start: $(cat "$work/hub.log")"

health=$(curl -sS "http://$address/hub/v1/saude") || fail "no answer from /saude"
grep -q '"conectado"' <<<"$health" || fail "the hub has no device: $health"
status=$(curl -sS -d numero_caixa=1 "http://$address/hub/v1/consultarstatusoperacional") ||
  fail "no answer from consultarstatusoperacional"
grep -q '|10000|' <<<"$status" || fail "consultarstatusoperacional: $status"
kill -TERM "$hub_pid"
wait "$hub_pid" || fail "the hub did not stop cleanly: $(cat "$work/hub.log")"
hub_pid=
[ -s /var/lib/tivax-hub/diario.db ] || fail "the journal is not where the configuration says"
echo "package install check passed: installed, hub served $(cut -c1-60 <<<"$status")..."
