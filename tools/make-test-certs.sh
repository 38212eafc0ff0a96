#!/usr/bin/env bash
# Makes throw-away certificates for tests in DIR (created if missing):
#   ca.pem                         test CA to trust
#   server.pem, server.key         HOST (default test.morrowvane.com), signed by ca.pem
#   wronghost.pem, wronghost.key   another name (wrong.morrowvane.test), signed by ca.pem
#   rogue-ca.pem                   a second CA, not to be trusted
#   rogue.pem, rogue.key           HOST, signed by rogue-ca.pem
# Usage: tools/make-test-certs.sh DIR [HOST]
set -euo pipefail

dir=${1:?usage: make-test-certs.sh DIR [HOST]}
host=${2:-test.morrowvane.com}
mkdir -p "$dir"
cd "$dir"

make_ca() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$1 for tests" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
}

make_leaf() {  # name dns-name ca
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n' \
    "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial \
    -days 2 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

make_ca ca
make_ca rogue-ca
make_leaf server "$host" ca
make_leaf wronghost wrong.morrowvane.test ca
make_leaf rogue "$host" rogue-ca
rm -f ./*.srl
