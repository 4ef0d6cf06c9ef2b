#!/usr/bin/env bash
# Makes the TLS files of a database server's data folder: a CA of its own and
# a server certificate that it signs, for 127.0.0.1 and localhost.
#
#   tls.sh DIR [NAME...]
#       writes DIR/tls/ca.pem, ca-key.pem, server-cert.pem and server-key.pem,
#       once: existing files are kept. NAMEs are further host names or
#       addresses for the server certificate.
#
# ca.pem is what a client is given to check the server with.
set -euo pipefail
dir=${1:?usage: $0 DIR [NAME...]}
shift
tls=$dir/tls
mkdir -p "$tls"
if [ -s "$tls/ca.pem" ] && [ -s "$tls/server-cert.pem" ] && [ -s "$tls/server-key.pem" ]; then
  exit 0
fi
san="IP:127.0.0.1,DNS:localhost"
for n in "$@"; do
  if [[ "$n" =~ ^[0-9.]+$ || "$n" == *:* ]]; then san+=",IP:$n"; else san+=",DNS:$n"; fi
done
work=$(mktemp -d "$tls/.make.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 077
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
  -subj "/CN=korvessa service database CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca-key.pem" -out "$work/ca.pem" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" \
  -keyout "$work/server-key.pem" -out "$work/server.csr" >/dev/null 2>&1
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
  "$san" >"$work/ext.cnf"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" -CAcreateserial \
  -days 3650 -sha256 -extfile "$work/ext.cnf" -out "$work/server-cert.pem" >/dev/null 2>&1
chmod 644 "$work/ca.pem" "$work/server-cert.pem"
mv "$work/ca-key.pem" "$work/server-key.pem" "$tls/"
mv "$work/server-cert.pem" "$tls/"
mv "$work/ca.pem" "$tls/" # last: its presence tells the set is whole
