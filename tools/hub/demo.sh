#!/bin/sh
# SPDX-License-Identifier: MIT
# A checkout registers a sale through tivax-hub: the hub starts against its
# in-process emulated device on a free loopback port, the sale goes in with
# curl as checkout 1, the JSON answer is printed, the hub stops.
#
#   tools/hub/demo.sh [tivax-hub program] [sale XML]
# Needs curl.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
hub=${1:-$root/build/tools/hub/tivax-hub}
sale=${2:-$root/examples/vendas/venda-minima.xml}
command -v curl >/dev/null || { echo "demo.sh: curl is needed (Debian: curl)" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

umask 077
cat > "$work/hub.conf" <<CONF
codigo_ativacao = 12345678
escutar = 127.0.0.1:0
diario = $work/diario.db
CONF

mkfifo "$work/address"
"$hub" --emulador --config "$work/hub.conf" > "$work/address" 2> "$work/hub.log" &
pid=$!
read -r address < "$work/address" || { cat "$work/hub.log" >&2; exit 1; }

echo "tivax-hub em http://$address/hub/v1; o caixa 1 envia $(basename "$sale"):"
curl -sS --fail-with-body -d numero_caixa=1 -d id_requisicao=demo-venda-1 \
  --data-urlencode "dados_venda@$sale" "http://$address/hub/v1/enviardadosvenda"
echo
echo "a mesma requisição de novo (respondida pelo diário, sem nova venda):"
curl -sS --fail-with-body -d numero_caixa=1 -d id_requisicao=demo-venda-1 \
  --data-urlencode "dados_venda@$sale" "http://$address/hub/v1/enviardadosvenda" | cut -c1-160
echo "..."
echo "diário:"
"$hub" diario --config "$work/hub.conf" --limite 5
