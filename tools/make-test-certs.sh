#!/usr/bin/env bash
# Makes throw-away certificates for tests in DIR (created if missing):
#   ca.pem                         test CA to trust
#   server.pem, server.key         HOST (default test.morrowvane.com), signed by ca.pem
#   wronghost.pem, wronghost.key   another name (wrong.morrowvane.test), signed by ca.pem
#   rogue-ca.pem                   a second CA, not to be trusted
#   rogue.pem, rogue.key           HOST, signed by rogue-ca.pem
# Usage: tools/make-test-certs.sh DIR [HOST]
set -euo pipefail
mkdir -p "${1:?usage: make-test-certs.sh DIR [HOST]}" && cd "$1"
host=${2:-test.morrowvane.com}
key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)

for ca in ca rogue-ca; do
  openssl req -x509 "${key[@]}" -keyout $ca.key -out $ca.pem -days 2 -subj "/CN=$ca for tests" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
done
for leaf in "server $host ca" "wronghost wrong.morrowvane.test ca" "rogue $host rogue-ca"; do
  set -- $leaf
  openssl req "${key[@]}" -keyout "$1.key" -subj "/CN=$2" 2>/dev/null |
    openssl x509 -req -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 2 -out "$1.pem" -extfile <(printf \
      'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n' "$2") \
      2>/dev/null
done
rm -f ./*.srl
