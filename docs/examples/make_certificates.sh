#!/bin/sh
# Makes, in the folder given, the certificates of the secure example: an authority of one's
# own ("ca.pem"), a certificate it signs for a server on 127.0.0.1 ("server.pem",
# "server.key") and one for a client named "reporting" ("client.pem", "client.key"). Each is
# valid for a day. For trying things out only: keep a real authority's key off the servers.
set -eu
folder=$1
mkdir -p "$folder"
cd "$folder"
umask 077
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
# shellcheck disable=SC2086 # $ec holds several options.
openssl req -x509 $ec -keyout ca.key -out ca.pem -days 1 -subj /CN=example-authority \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  2>/dev/null
sign() { # name subject extensions
  # shellcheck disable=SC2086
  openssl req $ec -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf '%s\n' "$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
sign server /CN=localhost "subjectAltName=IP:127.0.0.1,DNS:localhost"
sign client /CN=reporting "extendedKeyUsage=clientAuth"
