#!/usr/bin/env bash
# The programs in action: starts tirn-server on a free port with a temporary data file, drives
# it with the tirn client across the four services (create, list, get, update, delete, an
# error in German, an input refused before it is sent), restarts the server to show that the
# records survived, and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-$(nproc)}" --target tirn-server tirn_cli
bin=build/default/apps

work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null && wait "$server" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the server on a free port and waits (at most 10 s) for the line with its address.
start_server() {
  "$bin/tirn-server" --listen 127.0.0.1:0 --data "$work/records.db" --drain-delay 0 \
    >"$work/out" 2>>"$work/log" &
  server=$!
  for _ in $(seq 100); do
    if grep -q '^listening on ' "$work/out"; then break; fi
    sleep 0.1
  done
  url=$(sed -n 's/^listening on //p' "$work/out")
  if [ -z "$url" ]; then
    echo "the server did not start:" >&2
    cat "$work/log" >&2
    exit 1
  fi
  echo "# tirn-server listening on $url (records in a temporary file)"
}

stop_server() {
  kill -TERM "$server"
  wait "$server"
  server=
  echo "# tirn-server stopped"
}

# Shows a command and its output; a failing command shows its exit status and goes on.
step() {
  echo
  echo "\$ tirn $*"
  local status=0
  "$bin/tirn" --url "$url" "$@" || status=$?
  if [ "$status" -ne 0 ]; then echo "(exit status $status)"; fi
}

start_server

echo
echo "## Key providers (the key derivation key is a secret: it comes from standard input)"
echo
echo "\$ echo '{\"spec\": {..., \"key_derivation_key\": \"...\"}}' | tirn kms.providers create --json -"
echo '{"spec": {"provider": "vault-native", "native_spec": {"key_id": "key-1", "key_derivation_key": "correct horse battery staple"}}}' |
  "$bin/tirn" --url "$url" kms.providers create --json -
step kms.providers create --spec.provider trust-authority
step kms.providers list
step kms.providers update --provider vault-native --spec.native_spec.key_id key-2
step kms.providers get --provider vault-native

echo
echo "## Key servers and attestation services"
step kms.services create --spec.address.hostname kms.example.org --spec.address.port 5696 \
  --spec.trusted_CA.cert_chain MIIBszCCAVmgAwIBAgIU --spec.group production
step attestation.services create --spec.address.hostname attest.example.org \
  --spec.address.port 443 --spec.trusted_CA.cert_chain MIIBszCCAVmgAwIBAgIU \
  --spec.group production
step kms.services list
step attestation.reports list

echo
echo "## An error in German, and an input refused before it is sent"
step --lang de kms.providers get --provider missing
step kms.services create --spec.address.hostname kms.example.org --spec.address.port many

echo
echo "## The records outlive the server"
stop_server
start_server
step kms.providers list
step kms.services list
step kms.providers delete --provider vault-native
step kms.providers get --provider vault-native
stop_server

echo
echo "## The server's log (one line per call; never a secret)"
tail -n 4 "$work/log"
